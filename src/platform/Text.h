#pragma once
#include <string>

namespace norvane {

// The text without the blanks and control characters (every byte up to the space) at
// either end. This is how every setting, path and header value of the service is trimmed.
inline std::string trim(const std::string& text) {
  size_t begin = 0, end = text.size();
  while (begin < end && static_cast<unsigned char>(text[begin]) <= ' ') ++begin;
  while (end > begin && static_cast<unsigned char>(text[end - 1]) <= ' ') --end;
  return text.substr(begin, end - begin);
}

// The text with the letters a to z in upper case; other bytes (single-byte accented letters
// among them) stay as they are.
inline std::string upper_ascii(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

// The text with the letters A to Z in lower case; other bytes (UTF-8 included) stay as they
// are, so the result never depends on the locale.
inline std::string lower_ascii(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

}  // namespace norvane
