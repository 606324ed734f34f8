#include "platform/GravaLog.h"

#include <gtest/gtest.h>

#include <clocale>
#include <ctime>

#include "../websocket/TlsTestClient.h"
#include "platform/Clock.h"
#include "platform/ExeFolder.h"
#include "../support/LocalTime.h"

namespace {

using testing_support::local_time;

// A scratch exe folder, a fixed clock and the pt_BR month names (when the machine has them).
class GravaLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    norvane::set_exe_folder_for_tests(folder_.path);
    set_time(local_time(2026, 12, 9, 14, 5, 7));
    previous_locale_ = std::setlocale(LC_TIME, nullptr);
    have_pt_br_ = std::setlocale(LC_TIME, "pt_BR.UTF-8") != nullptr;
  }
  void TearDown() override {
    std::setlocale(LC_TIME, previous_locale_.c_str());
    norvane::set_clock_for_tests(nullptr);
    norvane::set_exe_folder_for_tests("");
  }
  void set_time(norvane::TimePoint t) {
    norvane::set_clock_for_tests([t] { return t; });
  }

  testing_support::ScratchFolder folder_;
  std::string previous_locale_;
  bool have_pt_br_ = false;
};

}  // namespace

TEST_F(GravaLogTest, WritesStampedLinesAndBlankTextsAsEmptyLines) {
  struct Case {
    std::string text;
    std::string line;
  } cases[] = {
      {"O serviço foi inciado.", "[09/12/2026 14:05:07] O serviço foi inciado.\n"},
      {"   ", "\n"},
      {"", "\n"},
      {"\t\r\n ", "\n"},
      {" a ", "[09/12/2026 14:05:07]  a \n"},  // not trimmed: two blanks after the bracket
  };
  std::string expected;
  for (const Case& c : cases) {
    EXPECT_EQ(GravaLog(c.text), 1) << c.text;
    expected += c.line;
  }
  EXPECT_EQ(norvane::service_log_file(),
            folder_.path + "Log/" + norvane::month_folder_name(2026, 12) +
                "/NorvaneSiTefService 09-12-2026.log");
  EXPECT_EQ(testing_support::read_file(norvane::service_log_file()), expected);
}

TEST_F(GravaLogTest, MovesToANewFileEachDayAndANewFolderEachMonth) {
  if (!have_pt_br_) GTEST_SKIP() << "pt_BR.UTF-8 locale not generated (scripts/setup.sh does it)";
  set_time(local_time(2026, 12, 31, 23, 59, 59));
  GravaLog("último");
  set_time(local_time(2027, 1, 1, 0, 0, 1));
  GravaLog("primeiro");
  EXPECT_EQ(testing_support::read_file(folder_.path +
                                       "Log/Dezembro-2026/NorvaneSiTefService 31-12-2026.log"),
            "[31/12/2026 23:59:59] último\n");
  EXPECT_EQ(testing_support::read_file(folder_.path +
                                       "Log/Janeiro-2027/NorvaneSiTefService 01-01-2027.log"),
            "[01/01/2027 00:00:01] primeiro\n");
  // Month names with an accent keep it, with only the first letter made upper case.
  EXPECT_EQ(norvane::month_folder_name(2026, 3), "Março-2026");
}

TEST_F(GravaLogTest, AFailedWriteGivesZeroAndRaisesNothing) {
  // A file where the Log folder should be: the folder cannot be made.
  std::ofstream(folder_.path + "Log") << "not a folder";
  EXPECT_EQ(GravaLog("perdida"), 0);
}

TEST_F(GravaLogTest, ALineWrittenAcrossMidnightStaysWithItsOwnStamp) {
  // The clock turns to the next month at the n-th time it is read inside one GravaLog call:
  // folder, file name and stamp must all come from the same reading.
  const norvane::TimePoint last_second = local_time(2026, 12, 31, 23, 59, 59);
  const norvane::TimePoint next_month = local_time(2027, 1, 1, 0, 0, 0);
  const std::string december = folder_.path + "Log/" + norvane::month_folder_name(2026, 12) +
                               "/NorvaneSiTefService 31-12-2026.log";
  const std::string january = folder_.path + "Log/" + norvane::month_folder_name(2027, 1) +
                              "/NorvaneSiTefService 01-01-2027.log";
  for (int turn_at = 2; turn_at <= 6; ++turn_at) {
    std::filesystem::remove_all(folder_.path + "Log");
    int readings = 0;
    norvane::set_clock_for_tests(
        [&] { return ++readings >= turn_at ? next_month : last_second; });
    EXPECT_EQ(GravaLog("virada"), 1) << turn_at;
    const std::string in_december = testing_support::read_file(december);
    const std::string in_january = testing_support::read_file(january);
    EXPECT_TRUE(in_december == "[31/12/2026 23:59:59] virada\n" && in_january.empty())
        << "turn at reading " << turn_at << ": december=" << in_december
        << " january=" << in_january;
  }
}
