// The TEF log keeps its file open between lines; every line still lands in the file that is
// at the log's path when it is written.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "tef/RiZedIzAdeLog.h"

namespace {

namespace fs = std::filesystem;

std::string read(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// How many lines of the file end with " - <text>".
int lines_with(const fs::path& file, const std::string& text) {
  const std::string all = read(file);
  int count = 0;
  for (auto at = all.find(" - " + text + "\r\n"); at != std::string::npos; at = all.find(" - " + text + "\r\n", at + 1))
    ++count;
  return count;
}

TEST(TefLog, EachLineGoesToTheFileAtThePathWhenItIsWritten) {
  struct Case {
    const char* what;
    std::function<void(const fs::path& log, const fs::path& dir)> between;  // done between two lines
  };
  const std::vector<Case> cases = {
      {"nothing", [](const fs::path&, const fs::path&) {}},
      {"the file moved away (a rotation)", [](const fs::path& log, const fs::path& dir) { fs::rename(log, dir / "old.log"); }},
      {"the file deleted", [](const fs::path& log, const fs::path&) { fs::remove(log); }},
      {"its folder removed", [](const fs::path& log, const fs::path&) { fs::remove_all(log.parent_path()); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string templ = (fs::temp_directory_path() / "tef-log-XXXXXX").string();
    ASSERT_NE(::mkdtemp(templ.data()), nullptr);
    const fs::path dir = templ;
    const fs::path log = dir / "Log" / "12-2026" / "TEF-10-12-2026.log";

    GravaLogTEF(log.string(), "primeira");
    c.between(log, dir);
    GravaLogTEF(log.string(), "segunda");
    GravaLogTEF(log.string(), "terceira");

    EXPECT_EQ(lines_with(log, "segunda"), 1);
    EXPECT_EQ(lines_with(log, "terceira"), 1);
    EXPECT_EQ(lines_with(log, "primeira"), c.what == cases[0].what ? 1 : 0);
    if (fs::exists(dir / "old.log")) {
      EXPECT_EQ(read(dir / "old.log").find("segunda"), std::string::npos);
    }
    // Every line whole, in the log's format.
    const std::string all = read(log);
    EXPECT_EQ(all.rfind("-- ", 0), 0u);
    EXPECT_EQ(all.substr(all.size() - 2), "\r\n");
    fs::remove_all(dir);
  }
}

TEST(TefLog, ANewPathStartsItsOwnFileAndTheOldOneKeepsItsLines) {
  std::string templ = (fs::temp_directory_path() / "tef-log-XXXXXX").string();
  ASSERT_NE(::mkdtemp(templ.data()), nullptr);
  const fs::path dir = templ;
  GravaLogTEF((dir / "a.log").string(), "um");
  GravaLogTEF((dir / "b.log").string(), "dois");
  GravaLogTEF((dir / "a.log").string(), "três");
  EXPECT_EQ(lines_with(dir / "a.log", "um"), 1);
  EXPECT_EQ(lines_with(dir / "a.log", "tr\xEAs"), 1);  // written as Windows-1252
  EXPECT_EQ(lines_with(dir / "b.log", "dois"), 1);
  EXPECT_EQ(lines_with(dir / "b.log", "um"), 0);
  fs::remove_all(dir);
}

// A response's fields go to the log together: each its own line in the log's format, in
// order, converted and masked as one line alone is.
TEST(TefLog, SeveralLinesAreWrittenEachInTheLogsFormat) {
  std::string templ = (fs::temp_directory_path() / "tef-log-XXXXXX").string();
  ASSERT_NE(::mkdtemp(templ.data()), nullptr);
  const fs::path dir = templ;
  const fs::path log = dir / "TEF.log";
  GravaLogTEF(log.string(), "antes");
  GravaLogTEF(log.string(), std::vector<std::string>{"100-000 = 0200", "2021-000 = 4111111111111111", "101-000 = Crédito"});
  GravaLogTEF(log.string(), std::vector<std::string>{});

  const std::string all = read(log);
  std::vector<std::string> lines;
  for (size_t at = 0, end; (end = all.find("\r\n", at)) != std::string::npos; at = end + 2) lines.push_back(all.substr(at, end - at));
  ASSERT_EQ(lines.size(), 4u) << all;
  const char* texts[] = {"antes", "100-000 = 0200", "2021-000 = 411111******1111", "101-000 = Cr\xE9" "dito"};
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].rfind("-- ", 0), 0u) << lines[i];
    EXPECT_EQ(lines[i].substr(lines[i].find(" - ") + 3), texts[i]);
  }
  EXPECT_EQ(all.find("4111111111111111"), std::string::npos);
  fs::remove_all(dir);
}

}  // namespace
