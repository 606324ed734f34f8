#include "platform/ExeFolder.h"

#include <limits.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

namespace norvane {
namespace {

std::mutex override_mutex;
std::string override_folder;

std::string read_self_exe() {
  char buffer[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return {};
  return std::string(buffer, static_cast<size_t>(n));
}

// The executable does not move while it runs, so its path is resolved once per process
// (the first caller pays the readlink; the static's initialisation is thread-safe).
const std::string& self_exe() {
  static const std::string path = read_self_exe();
  return path;
}

// Whether a test has pointed the service elsewhere: read without the lock on every call,
// since every file name the service builds starts with exe_folder().
std::atomic<bool> overridden{false};

const std::string& real_folder() {
  static const std::string folder = [] {
    const std::string& path = self_exe();
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
  }();
  return folder;
}

}  // namespace

std::string exe_folder() {
  if (overridden.load(std::memory_order_acquire)) {
    std::lock_guard<std::mutex> lock(override_mutex);
    if (!override_folder.empty()) return override_folder;
  }
  return real_folder();
}

void set_exe_folder_for_tests(const std::string& folder) {
  std::lock_guard<std::mutex> lock(override_mutex);
  override_folder = folder;
  if (!override_folder.empty() && override_folder.back() != '/') override_folder += '/';
  overridden.store(!override_folder.empty(), std::memory_order_release);
}

std::string exe_base_name() {
  static const std::string base_name = [] {
    const std::string& path = self_exe();
    const auto slash = path.rfind('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const auto dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
  }();
  return base_name;
}

}  // namespace norvane
