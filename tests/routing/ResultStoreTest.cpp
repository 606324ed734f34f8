// The kept results of the last operations: what the status route and repeated idempotency
// keys answer from, across a restart of the service.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "datamodule/ResultStore.h"

namespace {

namespace fs = std::filesystem;

norvane::Json Result(const std::string& status) {
  norvane::Json result = norvane::Json::object();
  result["type"] = "result";
  result["status"] = status;
  return result;
}

class ResultStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() / ("norvane-results-" + std::to_string(getpid()));
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    file_ = (folder_ / "results.json").string();
  }
  void TearDown() override { fs::remove_all(folder_); }
  fs::path folder_;
  std::string file_;
};

TEST_F(ResultStoreTest, KeepsTheLastFiftyWhole_AcrossARestart) {
  {
    TResultStore store;
    store.SetFile(file_);
    for (int i = 1; i <= 60; ++i) store.Add({i, "k" + std::to_string(i), Result(i % 2 ? "approved" : "canceled"), ""});
    store.Add({7, "", Result("unauthorized"), ""});  // the same sale again: the last one counts
  }
  struct stat info {};
  ASSERT_EQ(::stat(file_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_FALSE(fs::exists(file_ + ".tmp"));

  TResultStore again;  // a restarted service reads the file
  again.SetFile(file_);
  TResultStore::Entry found;
  EXPECT_FALSE(again.LastOfSale(11, found));  // among the oldest, gone
  EXPECT_FALSE(again.ForKey("k11", found));
  ASSERT_TRUE(again.LastOfSale(12, found));
  EXPECT_EQ(found.result, Result("canceled"));
  ASSERT_TRUE(again.ForKey("k59", found));
  EXPECT_EQ(found.sale_id, 59);
  ASSERT_TRUE(again.LastOfSale(7, found));
  EXPECT_EQ(found.result, Result("unauthorized"));
  EXPECT_FALSE(again.ForKey("", found));  // no key names no operation
}

TEST_F(ResultStoreTest, AFileThatIsNoStoreIsReplacedAtTheNextResult) {
  for (const char* text : {"not json", R"({"results":{}})", R"([1,2])"}) {
    SCOPED_TRACE(text);
    std::ofstream(file_, std::ios::trunc) << text;
    TResultStore store;
    store.SetFile(file_);
    TResultStore::Entry found;
    EXPECT_FALSE(store.LastOfSale(1, found));
    store.Add({1, "a", Result("approved"), ""});
    TResultStore again;
    again.SetFile(file_);
    ASSERT_TRUE(again.ForKey("a", found));
    EXPECT_EQ(found.result, Result("approved"));
  }
}

}  // namespace
