#include "platform/SystemdUnit.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

#include "platform/SystemdUnitTemplate.h"

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

std::string systemd_unit_text(const std::string& executable) {
  const std::string folder = executable.substr(0, executable.rfind('/'));
  std::string text = kSystemdUnitTemplate;
  for (const auto& [placeholder, value] :
       {std::pair<std::string, std::string>{"@EXECUTABLE@", executable}, {"@FOLDER@", folder}}) {
    for (size_t at = text.find(placeholder); at != std::string::npos;
         at = text.find(placeholder, at + value.size()))
      text.replace(at, placeholder.size(), value);
  }
  return text;
}

bool write_systemd_unit(const std::string& service_name, const std::string& executable,
                        std::string& error) {
  // The folder goes into several settings, some of which take a list of words and some
  // the rest of the line, and "%" starts a systemd specifier: a path with any of these
  // would give a unit that does something else than it says.
  if (executable.empty() || executable[0] != '/' ||
      executable.find_first_of(" \t\n\r%\"'\\") != std::string::npos) {
    error = "a pasta do serviço \"" + executable.substr(0, executable.rfind('/') + 1) +
            "\" tem espaços, aspas, \"%\" ou \"\\\"; mova-a para um caminho sem eles, "
            "como /opt/norvane/";
    return false;
  }
  const std::string path = systemd_unit_path(service_name);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (out) out << systemd_unit_text(executable);
  out.flush();
  if (!out) {
    error = path + ": " + std::strerror(errno);
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
