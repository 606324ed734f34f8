#pragma once
#include <string>

namespace norvane {

// The workstation's ANSI code page is Windows-1252. Text inside the TEF component, in
// TEF files and in library arguments is single-byte 1252; text toward clients is UTF-8.
// These two functions are the only place where one becomes the other.

// UTF-8 to Windows-1252. A character the code page lacks, and any invalid UTF-8
// sequence, becomes '?'.
std::string to_windows1252(const std::string& utf8);

// Windows-1252 to UTF-8. The five bytes the code page leaves undefined (0x81, 0x8D,
// 0x8F, 0x90, 0x9D) map to the control characters of the same number, as Windows does.
std::string from_windows1252(const std::string& ansi);

// True when the bytes are well-formed UTF-8 (no overlongs, no surrogates, at most U+10FFFF).
bool is_valid_utf8(const std::string& bytes);

}  // namespace norvane
