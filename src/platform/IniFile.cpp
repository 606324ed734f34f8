#include "platform/IniFile.h"
#include "platform/Text.h"

#include <charconv>
#include <fstream>
#include <sstream>
#include <strings.h>
#include <vector>

namespace norvane {
namespace {

bool same_name(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strcasecmp(a.c_str(), b.c_str()) == 0;
}

std::vector<std::string> read_lines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// "[name]" gives name; anything else gives false.
bool section_of(const std::string& line, std::string& name) {
  std::string t = norvane::trim(line);
  if (t.size() < 2 || t.front() != '[') return false;
  auto close = t.find(']');
  if (close == std::string::npos) return false;
  name = norvane::trim(t.substr(1, close - 1));
  return true;
}

bool key_of(const std::string& line, std::string& key, std::string& value) {
  auto eq = line.find('=');
  if (eq == std::string::npos) return false;
  key = norvane::trim(line.substr(0, eq));
  value = norvane::trim(line.substr(eq + 1));
  return !key.empty() && key[0] != ';';
}

bool has_control_character(const std::string& text) {
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < ' ' || byte == 0x7F) return true;
  }
  return false;
}

// A name is written only when a read finds it again as it is: no control characters (a line
// break would start a line of its own), no blanks at either end (a read trims them), and
// nothing that a read takes for the end of a name or for a comment.
bool readable_section_name(const std::string& name) {
  return !name.empty() && !has_control_character(name) && norvane::trim(name) == name &&
         name.find(']') == std::string::npos;
}

bool readable_key_name(const std::string& name) {
  return !name.empty() && !has_control_character(name) && norvane::trim(name) == name &&
         name.find('=') == std::string::npos && name.front() != ';' && name.front() != '[';
}

std::string read_value(const std::vector<std::string>& lines, const std::string& section,
                       const std::string& key, const std::string& default_value) {
  bool in_section = false;
  for (const std::string& line : lines) {
    std::string name, k, v;
    if (section_of(line, name)) {
      in_section = same_name(name, section);
    } else if (in_section && key_of(line, k, v) && same_name(k, key)) {
      if (v.size() >= 2 && ((v.front() == '"' && v.back() == '"') ||
                            (v.front() == '\'' && v.back() == '\'')))
        v = v.substr(1, v.size() - 2);
      return v;
    }
  }
  return default_value;
}

int integer_value(std::string text, int default_value) {
  if (!text.empty() && text[0] == '+') text.erase(0, 1);
  int value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return default_value;
  return value;
}

}  // namespace

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& default_value) const {
  return Snapshot().ReadString(section, key, default_value);
}

int TIniFile::ReadInteger(const std::string& section, const std::string& key,
                          int default_value) const {
  return Snapshot().ReadInteger(section, key, default_value);
}

bool TIniFile::ReadBool(const std::string& section, const std::string& key,
                        bool default_value) const {
  return Snapshot().ReadBool(section, key, default_value);
}

TIniSnapshot TIniFile::Snapshot() const { return TIniSnapshot(read_lines(path_)); }

std::string TIniSnapshot::ReadString(const std::string& section, const std::string& key,
                                     const std::string& default_value) const {
  return read_value(lines_, section, key, default_value);
}

int TIniSnapshot::ReadInteger(const std::string& section, const std::string& key,
                              int default_value) const {
  return integer_value(ReadString(section, key, ""), default_value);
}

bool TIniSnapshot::ReadBool(const std::string& section, const std::string& key,
                            bool default_value) const {
  return ReadInteger(section, key, default_value ? 1 : 0) != 0;
}

std::vector<std::string> TIniSnapshot::Keys(const std::string& section) const {
  std::vector<std::string> keys;
  bool in_section = false;
  for (const std::string& line : lines_) {
    std::string name, k, v;
    if (section_of(line, name)) {
      in_section = same_name(name, section);
    } else if (in_section && key_of(line, k, v)) {
      bool listed = false;
      for (const std::string& key : keys) listed = listed || same_name(key, k);
      if (!listed) keys.push_back(k);
    }
  }
  return keys;
}

bool TIniFile::WriteString(const std::string& section, const std::string& key,
                           const std::string& value) {
  // A value holding a line break (or any other control character) would add lines of its
  // own, keys that whoever supplied the value chose: refused, and the file is left alone.
  if (!readable_section_name(section) || !readable_key_name(key) || has_control_character(value))
    return false;
  std::vector<std::string> lines = read_lines(path_);
  bool in_section = false, written = false;
  long section_end = -1;  // index after the last line of the matching section
  for (size_t i = 0; i < lines.size() && !written; ++i) {
    std::string name, k, v;
    if (section_of(lines[i], name)) {
      if (in_section) break;
      in_section = same_name(name, section);
      if (in_section) section_end = static_cast<long>(i) + 1;
    } else if (in_section) {
      if (key_of(lines[i], k, v)) {
        if (same_name(k, key)) {
          lines[i] = k + "=" + value;
          written = true;
        }
        section_end = static_cast<long>(i) + 1;  // a new key goes after the last one
      }
    }
  }
  if (!written) {
    if (section_end < 0) {
      if (!lines.empty() && !norvane::trim(lines.back()).empty()) lines.emplace_back();
      lines.push_back("[" + section + "]");
      lines.push_back(key + "=" + value);
    } else {
      lines.insert(lines.begin() + section_end, key + "=" + value);
    }
  }
  std::ofstream out(path_, std::ios::binary | std::ios::trunc);
  for (const std::string& line : lines) out << line << "\r\n";
  out.flush();
  return static_cast<bool>(out);
}

bool TIniFile::WriteInteger(const std::string& section, const std::string& key, int value) {
  return WriteString(section, key, std::to_string(value));
}

bool TIniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
  return WriteString(section, key, value ? "1" : "0");
}

}  // namespace norvane
