#include "platform/LogRetention.h"

#include <gtest/gtest.h>

#include <atomic>
#include <clocale>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>

#include "../support/LocalTime.h"
#include "../websocket/TlsTestClient.h"
#include "platform/ExeFolder.h"
#include "platform/GravaLog.h"
#include "platform/PeriodicTask.h"

namespace {

namespace fs = std::filesystem;
using testing_support::local_time;

// Log folders of past months made by hand, as a workstation has them after a few years,
// beside what is not the service's log: payment backups, other folders, other files.
class LogRetentionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    norvane::set_exe_folder_for_tests(folder_.path);
    previous_locale_ = std::setlocale(LC_TIME, nullptr);
    std::setlocale(LC_TIME, "pt_BR.UTF-8");  // the names are made with the same function either way
    norvane::set_clock_for_tests([] { return local_time(2026, 12, 9, 10, 0, 0); });
  }
  void TearDown() override {
    norvane::set_clock_for_tests(nullptr);
    std::setlocale(LC_TIME, previous_locale_.c_str());
    norvane::set_exe_folder_for_tests("");
  }
  std::string Log() { return folder_.path + "Log/"; }
  // A month's two folders, each with its day's file.
  void MakeMonth(int year, int month) {
    char numeric[16], day[16];
    std::snprintf(numeric, sizeof numeric, "%02d-%04d", month, year);
    std::snprintf(day, sizeof day, "03-%02d-%04d", month, year);
    const std::string service = Log() + norvane::month_folder_name(year, month);
    fs::create_directories(service);
    std::ofstream(service + "/NorvaneSiTefService " + day + ".log") << "[03/01/2025 08:00:01] O serviço foi inciado.\n";
    fs::create_directories(Log() + numeric);
    std::ofstream(Log() + numeric + "/TEF-" + day + ".log") << "--03/01 08:00:01.000 - CRT\n";
  }
  std::set<std::string> Left() {
    std::set<std::string> left;
    for (const auto& entry : fs::directory_iterator(Log())) left.insert(entry.path().filename().string());
    return left;
  }

  testing_support::ScratchFolder folder_;
  std::string previous_locale_;
};

TEST_F(LogRetentionTest, OnlyTheServicesOwnFoldersOfOldMonthsGo) {
  for (auto [year, month] : {std::pair{2026, 12}, {2026, 10}, {2026, 9}, {2025, 12}, {2024, 1}}) MakeMonth(year, month);
  // Not the service's: a folder of another name, a month folder holding a file of someone else's.
  fs::create_directories(Log() + "exportado");
  std::ofstream(Log() + "exportado/vendas.csv") << "1;2\n";
  std::ofstream(Log() + "09-2026/anotacoes.txt") << "guardar\n";
  std::ofstream(Log() + "leia-me.txt") << "x\n";
  // The payments not yet settled and the kept results, beside the logs.
  fs::create_directories(folder_.path + "TEF");
  std::ofstream(folder_.path + "TEF/RiZedIzAde_CliSiTef_001.tef") << "000-000 = CRT\n";
  std::ofstream(folder_.path + "TEF/results.json") << "[]";

  const auto removed = norvane::apply_log_retention(Log(), 3, norvane::now());

  const std::string dec = norvane::month_folder_name(2026, 12), oct = norvane::month_folder_name(2026, 10);
  EXPECT_EQ(Left(), (std::set<std::string>{dec, "12-2026", oct, "10-2026", "09-2026", "exportado", "leia-me.txt"}));
  EXPECT_EQ(removed.size(), 6u);  // September's service folder, and both of 12-2025 and 01-2024; 09-2026 is kept
  EXPECT_TRUE(fs::exists(Log() + "09-2026/anotacoes.txt"));
  EXPECT_FALSE(fs::exists(Log() + "09-2026/TEF-03-09-2026.log"));
  EXPECT_TRUE(fs::exists(Log() + "exportado/vendas.csv"));
  EXPECT_TRUE(fs::exists(folder_.path + "TEF/RiZedIzAde_CliSiTef_001.tef"));
  EXPECT_TRUE(fs::exists(folder_.path + "TEF/results.json"));
  // Each folder is said in the service log.
  std::ifstream log(norvane::service_log_file());
  const std::string text(std::istreambuf_iterator<char>(log), {});
  EXPECT_NE(text.find("Retenção de logs"), std::string::npos);
  EXPECT_NE(text.find("01-2024"), std::string::npos);
}

TEST_F(LogRetentionTest, TheFolderOfTheTefLogStillWrittenStaysAndZeroKeepsAll) {
  MakeMonth(2025, 1);
  MakeMonth(2024, 1);
  EXPECT_TRUE(norvane::apply_log_retention(Log(), 0, norvane::now()).empty());
  EXPECT_EQ(Left().size(), 4u);
  // A service started in January 2025 and never restarted still writes its TEF log there.
  norvane::apply_log_retention(Log(), 12, norvane::now(), {Log() + "01-2025"});
  // (This month's service folder holds the log line that said what went.)
  EXPECT_EQ(Left(), (std::set<std::string>{"01-2025", norvane::month_folder_name(2026, 12)}));
}

// The task runs at once, again when poked, and a stop ends its wait at once (a stop that
// waited out the hour would hang the test).
TEST(PeriodicTaskTest, RunsAtOnceAndWhenPokedAndStopsWithoutWaitingOutItsInterval) {
  std::mutex mutex;
  std::condition_variable ran;
  int runs = 0;
  norvane::TPeriodicTask task([] { return std::chrono::hours(1); }, [&] {
    std::lock_guard<std::mutex> lock(mutex);
    ++runs;
    ran.notify_all();
  });
  auto wait_for_runs = [&](int n) {
    std::unique_lock<std::mutex> lock(mutex);
    ran.wait(lock, [&] { return runs >= n; });
  };
  wait_for_runs(1);
  task.Poke();
  wait_for_runs(2);
  task.Stop();
  EXPECT_EQ(runs, 2);
}

}  // namespace
