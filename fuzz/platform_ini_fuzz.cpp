// The INI writer against hostile section names, key names and values ("/version" writes what
// a web page sends): whatever it is asked to write, every other key reads back unchanged, a
// refused write leaves the file as it was, and an accepted name reads back what was written.
#include <strings.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "FuzzWorkFolder.h"
#include "platform/IniFile.h"
#include "platform/Text.h"

namespace {

const char kBefore[] =
    "[sitef]\r\njwt_secret=the-key\r\ncallback_verify_tls=1\r\n; a comment\r\n[other]\r\nx=1\r\n";

std::string content(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool same(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Two length bytes, then the section, the key and the value.
  if (size < 2) return 0;
  const std::string input(reinterpret_cast<const char*>(data) + 2, size - 2);
  const size_t section_size = std::min<size_t>(data[0] % 32, input.size());
  const size_t key_size = std::min<size_t>(data[1] % 32, input.size() - section_size);
  const std::string section = input.substr(0, section_size);
  const std::string key = input.substr(section_size, key_size);
  const std::string value = input.substr(section_size + key_size);

  const std::string path = fuzz_support::work_folder("platform_ini_fuzz") + "/fuzz.ini";
  std::ofstream(path, std::ios::binary | std::ios::trunc) << kBefore;
  norvane::TIniFile ini(path);
  const bool written = ini.WriteString(section, key, value);
  if (!written && content(path) != kBefore) __builtin_trap();

  struct Kept {
    const char *section, *key, *value;
  } const kept[] = {{"sitef", "jwt_secret", "the-key"}, {"sitef", "callback_verify_tls", "1"}, {"other", "x", "1"}};
  for (const Kept& k : kept) {
    if (written && same(section, k.section) && same(key, k.key)) continue;
    if (ini.ReadString(k.section, k.key, "<absent>") != k.value) __builtin_trap();
  }
  if (written) {
    // Values are read trimmed and without one pair of surrounding quotes.
    std::string expected = norvane::trim(value);
    if (expected.size() >= 2 && ((expected.front() == '"' && expected.back() == '"') ||
                                 (expected.front() == '\'' && expected.back() == '\'')))
      expected = expected.substr(1, expected.size() - 2);
    if (ini.ReadString(section, key, "<absent>") != expected) __builtin_trap();
  }
  // The key list (read by the installation check) names each key once, every one of them
  // reads back, and a key just written is among them.
  const norvane::TIniSnapshot snapshot = ini.Snapshot();
  for (const char* listed_section : {"sitef", "other"}) {
    const std::vector<std::string> keys = snapshot.Keys(listed_section);
    for (size_t i = 0; i < keys.size(); ++i) {
      // (No value holds a control character: the writer refuses them.)
      if (snapshot.ReadString(listed_section, keys[i], "\x01") == "\x01") __builtin_trap();
      for (size_t j = i + 1; j < keys.size(); ++j)
        if (same(keys[i], keys[j].c_str())) __builtin_trap();
    }
  }
  if (written) {
    const std::vector<std::string> keys = snapshot.Keys(section);
    if (std::none_of(keys.begin(), keys.end(), [&](const std::string& k) { return same(k, key.c_str()); }))
      __builtin_trap();
  }
  return 0;
}
