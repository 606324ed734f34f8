#include "platform/Base64.h"

#include <openssl/evp.h>


namespace norvane {

std::optional<std::string> decode_base64(std::string_view text) {
  if (text.size() % 4 != 0 || text.size() > (1u << 30)) return std::nullopt;
  if (text.empty()) return std::string();
  // EVP_DecodeBlock accepts "=" in the middle and leading blanks, and counts the padding
  // as decoded zero bytes; checking the alphabet here keeps those out.
  size_t padding = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool alphabet = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                          (c >= '0' && c <= '9') || c == '+' || c == '/';
    if (c == '=') {
      if (i + 2 < text.size()) return std::nullopt;  // only the last two may be padding
      ++padding;
    } else if (!alphabet || padding > 0) {
      return std::nullopt;
    }
  }
  std::string out(text.size() / 4 * 3, '\0');
  const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(text.data()),
                                static_cast<int>(text.size()));
  if (n < 0) return std::nullopt;
  out.resize(static_cast<size_t>(n) - padding);
  return out;
}

}  // namespace norvane
