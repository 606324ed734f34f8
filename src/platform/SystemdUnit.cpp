#include "platform/SystemdUnit.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace norvane {

std::string systemd_unit_folder() {
  const char* folder = std::getenv("NORVANE_SYSTEMD_DIR");
  std::string result = folder && *folder ? folder : "/etc/systemd/system";
  if (result.back() != '/') result += '/';
  return result;
}

std::string systemd_unit_path(const std::string& service_name) {
  return systemd_unit_folder() + service_name + ".service";
}

bool write_systemd_unit(const std::string& service_name, const std::string& executable,
                        std::string& error) {
  const std::string folder = executable.substr(0, executable.rfind('/') + 1);
  std::ofstream out(systemd_unit_path(service_name), std::ios::binary | std::ios::trunc);
  if (!out) {
    error = systemd_unit_path(service_name) + ": " + std::strerror(errno);
    return false;
  }
  // Type=simple: the process stays in the foreground; systemd's stop sends SIGTERM and
  // "systemctl kill -s SIGUSR1/SIGUSR2" pauses and continues. Month names in the log
  // folder come from LC_TIME, which a unit does not inherit from any login.
  out << "[Unit]\n"
         "After=network-online.target\n"
         "Wants=network-online.target\n"
         "\n"
         "[Service]\n"
         "Type=simple\n"
         "ExecStart=" << (executable.find(' ') == std::string::npos ? executable
                                                                  : '"' + executable + '"')
      << "\n"
         "WorkingDirectory=" << folder << "\n"
         "Environment=LC_TIME=pt_BR.UTF-8\n"
         "KillSignal=SIGTERM\n"
         "TimeoutStopSec=30\n"
         "Restart=on-failure\n"
         "\n"
         "[Install]\n"
         "WantedBy=multi-user.target\n";
  out.flush();
  if (!out) {
    error = systemd_unit_path(service_name) + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool set_systemd_unit_description(const std::string& service_name,
                                  const std::string& description) {
  const std::string path = systemd_unit_path(service_name);
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  in.close();

  bool in_unit = false, written = false;
  size_t unit_header = lines.size();
  for (size_t i = 0; i < lines.size(); ++i) {
    if (!lines[i].empty() && lines[i][0] == '[') {
      in_unit = lines[i] == "[Unit]";
      if (in_unit) unit_header = i;
    } else if (in_unit && lines[i].rfind("Description=", 0) == 0) {
      lines[i] = "Description=" + description;
      written = true;
    }
  }
  if (!written) {
    if (unit_header == lines.size()) {
      lines.insert(lines.begin(), {"[Unit]", "Description=" + description, ""});
    } else {
      lines.insert(lines.begin() + static_cast<long>(unit_header) + 1,
                   "Description=" + description);
    }
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  for (const std::string& line : lines) out << line << "\n";
  out.flush();
  return static_cast<bool>(out);
}

bool remove_systemd_unit(const std::string& service_name, std::string& error) {
  const std::string path = systemd_unit_path(service_name);
  if (std::remove(path.c_str()) != 0 && errno != ENOENT) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace norvane
