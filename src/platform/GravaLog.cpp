#include "platform/GravaLog.h"

#include <langinfo.h>
#include <locale.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>

#include "platform/CardData.h"
#include "platform/Clock.h"
#include "platform/ExeFolder.h"
#include "platform/Text.h"

namespace norvane {
namespace {

std::tm local_now() {
  std::time_t t = std::chrono::system_clock::to_time_t(now());
  std::tm tm{};
  localtime_r(&t, &tm);
  return tm;
}

std::string format_tm(const char* format, const std::tm& tm) {
  char buffer[64];
  size_t n = std::strftime(buffer, sizeof buffer, format, &tm);
  return std::string(buffer, n);
}

}  // namespace

std::string month_folder_name(int year, int month) {
  // nl_langinfo follows the process's LC_TIME (set from the environment at start).
  std::string name = nl_langinfo(static_cast<nl_item>(MON_1 + (month - 1)));
  if (!name.empty()) name[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(name[0])));
  return name + "-" + std::to_string(year);
}

namespace {

std::string log_folder_for(const std::tm& tm) {
  return exe_folder() + "Log/" + month_folder_name(tm.tm_year + 1900, tm.tm_mon + 1) + "/";
}

std::string log_file_for(const std::tm& tm) {
  return log_folder_for(tm) + "NorvaneSiTefService " + format_tm("%d-%m-%Y", tm) + ".log";
}

}  // namespace

std::string service_log_folder() { return log_folder_for(local_now()); }

std::string service_log_file() { return log_file_for(local_now()); }

}  // namespace norvane

int GravaLog(const std::string& pStr) {
  try {
    // The clock is read once: a line written across midnight must not get its folder from
    // one day and its file from the next (the file would be opened in a folder never made).
    const std::tm tm = norvane::local_now();
    std::error_code ec;
    std::filesystem::create_directories(norvane::log_folder_for(tm), ec);
    if (ec) return 0;
    std::FILE* file = std::fopen(norvane::log_file_for(tm).c_str(), "ab");
    if (!file) return 0;
    // Blank as the service trims everywhere: a text of only tabs or line ends stamps nothing.
    bool blank = norvane::trim(pStr).empty();
    // Whatever the line quotes (a library's message, a result), no card number is kept.
    std::string line = blank ? std::string()
                             : "[" + norvane::format_tm("%d/%m/%Y %H:%M:%S", tm) + "] " +
                                   norvane::scrub_card_numbers(pStr);
    line += "\n";
    bool ok = std::fwrite(line.data(), 1, line.size(), file) == line.size();
    ok = std::fclose(file) == 0 && ok;
    return ok ? 1 : 0;
  } catch (...) {
    // A log write never raises: a line that cannot be written is lost.
    return 0;
  }
}
