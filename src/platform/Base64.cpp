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

namespace {

bool skipped(char c) { return c == '\r' || c == '\n' || c == ' '; }

bool in_alphabet(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         c == '+' || c == '/';
}

}  // namespace

bool TBase64Blocks::Check(std::string_view text, size_t& decoded_size) {
  size_t count = 0, padding = 0;
  for (char c : text) {
    if (skipped(c)) continue;
    if (c == '=') {
      ++padding;
    } else if (!in_alphabet(c) || padding > 0) {
      return false;  // a stranger, or a character after the padding
    }
    ++count;
  }
  if (count % 4 != 0 || padding > 2 || count > (1u << 30)) return false;
  decoded_size = count / 4 * 3 - padding;
  return true;
}

size_t TBase64Blocks::Gather(std::string_view text, size_t at, std::string& clean) {
  clean.clear();
  for (; at < text.size() && clean.size() < kPiece; ++at)
    if (!skipped(text[at])) clean.push_back(text[at]);
  // What remains may be only blanks; taking them now keeps a last empty piece away.
  while (at < text.size() && skipped(text[at])) ++at;
  return at;
}

bool TBase64Blocks::DecodeClean(const std::string& clean, std::string& bytes) {
  const std::optional<std::string> decoded = decode_base64(clean);
  if (!decoded) return false;
  bytes = std::move(*decoded);
  return true;
}

}  // namespace norvane
