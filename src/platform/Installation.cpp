#include "platform/Installation.h"

#include <sys/stat.h>

#include <filesystem>
#include <system_error>

#include "platform/ExeFolder.h"

namespace norvane {

std::string service_path(const std::string& configured) {
  if (!configured.empty() && configured.front() == '/') return configured;
  return exe_folder() + configured;
}

bool installed_by_package(const std::string& package) {
  struct stat info{};
  return ::stat((exe_folder() + "installed-by/" + package).c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

int count_unsettled_payments(const std::string& tef_folder) {
  std::error_code error;
  if (!std::filesystem::exists(tef_folder, error)) return error ? -1 : 0;
  int count = 0;
  for (auto it = std::filesystem::directory_iterator(tef_folder, error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    const std::string name = it->path().filename().string();
    std::error_code ignored;
    if (!it->is_regular_file(ignored) || name == "results.json") continue;
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0) continue;
    ++count;
  }
  return error ? -1 : count;
}

}  // namespace norvane
