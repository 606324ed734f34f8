#include "platform/CodePage.h"

#include <cstdint>
#include <cstring>

namespace norvane {
namespace {

// Code points of bytes 0x80..0x9F; the rest of the page equals Latin-1.
constexpr char32_t kHighControls[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Decodes one UTF-8 sequence at s[i]; returns false (and advances one byte) when invalid.
bool next_code_point(const std::string& s, size_t& i, char32_t& cp) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char b0 = byte(i);
  size_t len;
  char32_t min;
  if (b0 < 0x80) { cp = b0; ++i; return true; }
  if ((b0 & 0xE0) == 0xC0) { len = 2; cp = b0 & 0x1F; min = 0x80; }
  else if ((b0 & 0xF0) == 0xE0) { len = 3; cp = b0 & 0x0F; min = 0x800; }
  else if ((b0 & 0xF8) == 0xF0) { len = 4; cp = b0 & 0x07; min = 0x10000; }
  else { ++i; return false; }
  if (i + len > s.size()) { ++i; return false; }
  for (size_t k = 1; k < len; ++k) {
    unsigned char b = byte(i + k);
    if ((b & 0xC0) != 0x80) { ++i; return false; }
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) { ++i; return false; }
  i += len;
  return true;
}

}  // namespace

std::string to_windows1252(const std::string& utf8) {
  std::string out;
  out.reserve(utf8.size());
  size_t i = 0;
  while (i < utf8.size()) {
    char32_t cp;
    if (!next_code_point(utf8, i, cp)) { out += '?'; continue; }
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) { out += static_cast<char>(cp); continue; }
    char mapped = '?';
    for (int k = 0; k < 32; ++k)
      if (kHighControls[k] == cp) { mapped = static_cast<char>(0x80 + k); break; }
    out += mapped;
  }
  return out;
}

std::string from_windows1252(const std::string& ansi) {
  std::string out;
  out.reserve(ansi.size() + ansi.size() / 4);
  for (unsigned char c : ansi) {
    if (c < 0x80) out += static_cast<char>(c);
    else if (c < 0xA0) append_utf8(out, kHighControls[c - 0x80]);
    else append_utf8(out, c);
  }
  return out;
}

bool is_valid_utf8(const std::string& bytes) {
  size_t i = 0;
  char32_t cp;
  while (i < bytes.size()) {
    // Runs of ASCII, the bulk of every message (a document's base64 is megabytes of it),
    // are passed eight bytes at a time.
    for (uint64_t word; i + 8 <= bytes.size(); i += 8) {
      std::memcpy(&word, bytes.data() + i, 8);
      if (word & 0x8080808080808080ull) break;
    }
    if (i >= bytes.size()) break;
    if (!next_code_point(bytes, i, cp)) return false;
  }
  return true;
}

}  // namespace norvane
