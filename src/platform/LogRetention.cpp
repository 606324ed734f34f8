#include "platform/LogRetention.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <regex>
#include <system_error>

#include "platform/GravaLog.h"

namespace norvane {

namespace {

namespace fs = std::filesystem;

// The month a folder of the service's logs holds, as year * 12 + month - 1; -1 for any other
// name. Only names the service makes count: "mm-yyyy" and the LC_TIME month name + "-yyyy".
int folder_month(const std::string& name) {
  const auto dash = name.rfind('-');
  if (dash == std::string::npos || name.size() - dash != 5) return -1;
  const std::string year_text = name.substr(dash + 1);
  if (!std::all_of(year_text.begin(), year_text.end(), [](char c) { return c >= '0' && c <= '9'; })) return -1;
  const int year = std::atoi(year_text.c_str());
  for (int month = 1; month <= 12; ++month) {
    char numeric[8];
    std::snprintf(numeric, sizeof numeric, "%02d", month);
    if (name == std::string(numeric) + "-" + year_text || name == month_folder_name(year, month))
      return year * 12 + month - 1;
  }
  return -1;
}

// The service's own log files: "NorvaneSiTefService dd-mm-yyyy.log" and "TEF-dd-mm-yyyy.log".
bool own_log_file(const std::string& name) {
  static const std::regex form(R"((NorvaneSiTefService |TEF-)\d\d-\d\d-\d{4}\.log)");
  return std::regex_match(name, form);
}

}  // namespace

std::vector<std::string> apply_log_retention(const std::string& log_folder, int months, TimePoint now,
                                             const std::vector<std::string>& keep) {
  std::vector<std::string> removed;
  if (months <= 0) return removed;
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  std::tm local{};
  localtime_r(&t, &local);
  const int oldest_kept = (local.tm_year + 1900) * 12 + local.tm_mon - (months - 1);

  std::error_code error;
  for (auto it = fs::directory_iterator(log_folder, error); !error && it != fs::directory_iterator();
       it.increment(error)) {
    std::error_code ignored;
    if (!it->is_directory(ignored) || it->is_symlink(ignored)) continue;
    const fs::path folder = it->path();
    const int month = folder_month(folder.filename().string());
    if (month < 0 || month >= oldest_kept) continue;
    if (std::any_of(keep.begin(), keep.end(), [&](const std::string& k) {
          return fs::equivalent(fs::path(k), folder, ignored);
        }))
      continue;
    int files = 0;
    for (auto file = fs::directory_iterator(folder, ignored); !ignored && file != fs::directory_iterator();
         file.increment(ignored)) {
      std::error_code unused;
      if (file->is_regular_file(unused) && !file->is_symlink(unused) && own_log_file(file->path().filename().string()) &&
          fs::remove(file->path(), unused))
        ++files;
    }
    const bool gone = fs::remove(folder, ignored);  // only when nothing else is left in it
    if (files > 0 || gone) {
      GravaLog("Retenção de logs: " + std::to_string(files) + " arquivo(s) de " + folder.string() +
               (gone ? " removidos com a pasta" : " removidos (a pasta fica: guarda outros arquivos)") +
               ", mais antigos que " + std::to_string(months) + " meses.");
      removed.push_back(folder.string());
    }
  }
  return removed;
}

}  // namespace norvane
