#include "platform/Base64.h"

#include <openssl/evp.h>

#include <algorithm>
#include <array>


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

// What each byte is to a base64 text with blanks: a table, as a document is megabytes long.
enum ByteClass : unsigned char { kStranger, kAlphabet, kPadding, kSkipped };
constexpr std::array<unsigned char, 256> make_byte_classes() {
  std::array<unsigned char, 256> classes{};
  for (int c = 'A'; c <= 'Z'; ++c) classes[c] = kAlphabet;
  for (int c = 'a'; c <= 'z'; ++c) classes[c] = kAlphabet;
  for (int c = '0'; c <= '9'; ++c) classes[c] = kAlphabet;
  classes['+'] = classes['/'] = kAlphabet;
  classes['='] = kPadding;
  classes['\r'] = classes['\n'] = classes[' '] = kSkipped;
  return classes;
}
constexpr std::array<unsigned char, 256> kByteClass = make_byte_classes();

}  // namespace

bool TBase64Blocks::Check(std::string_view text, size_t& decoded_size) {
  size_t count = 0, padding = 0;
  for (const char c : text) {
    switch (kByteClass[static_cast<unsigned char>(c)]) {
      case kAlphabet:
        if (padding > 0) return false;  // a character after the padding
        ++count;
        break;
      case kPadding:
        ++padding;
        ++count;
        break;
      case kSkipped:
        break;
      default:
        return false;  // a stranger
    }
  }
  if (count % 4 != 0 || padding > 2 || count > (1u << 30)) return false;
  decoded_size = count / 4 * 3 - padding;
  return true;
}

size_t TBase64Blocks::Gather(std::string_view text, size_t at, std::string& clean, std::string_view& piece) {
  // Most documents come without line breaks: a stretch with nothing to skip is decoded
  // where it lies.
  const size_t end = std::min(text.size(), at + kPiece);
  bool plain = true;
  for (size_t i = at; i < end; ++i) plain &= !skipped(text[i]);
  if (plain) {
    piece = text.substr(at, end - at);
    at = end;
  } else {
    clean.clear();
    for (; at < text.size() && clean.size() < kPiece; ++at)
      if (!skipped(text[at])) clean.push_back(text[at]);
    piece = clean;
  }
  // What remains may be only blanks; taking them now keeps a last empty piece away.
  while (at < text.size() && skipped(text[at])) ++at;
  return at;
}

bool TBase64Blocks::DecodeClean(std::string_view clean, std::string& bytes) {
  // Check has seen the whole text: only the alphabet, and padding only at its very end. A
  // piece is a multiple of four characters (kPiece is, and so is the whole).
  if (clean.size() % 4 != 0) return false;
  size_t padding = 0;
  while (padding < 2 && padding < clean.size() && clean[clean.size() - 1 - padding] == '=') ++padding;
  bytes.resize(clean.size() / 4 * 3);
  if (clean.empty()) return true;
  const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                reinterpret_cast<const unsigned char*>(clean.data()), static_cast<int>(clean.size()));
  if (n < 0) return false;
  bytes.resize(static_cast<size_t>(n) - padding);
  return true;
}

}  // namespace norvane
