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

// What each character is: its six bits for the alphabet, else a class with the high bits
// set, so that one OR over a group of four tells whether it is plain alphabet.
constexpr uint8_t kPaddingChar = 0x40, kSkippedChar = 0x80, kStrangerChar = 0xFF;
constexpr std::array<uint8_t, 256> make_values() {
  std::array<uint8_t, 256> values{};
  for (auto& v : values) v = kStrangerChar;
  const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (uint8_t i = 0; i < 64; ++i) values[static_cast<uint8_t>(alphabet[i])] = i;
  values['='] = kPaddingChar;
  values['\r'] = values['\n'] = values[' '] = kSkippedChar;
  return values;
}
constexpr std::array<uint8_t, 256> kValue = make_values();

}  // namespace

size_t TBase64Blocks::Step(const char*& at, const char* end, char* bytes, TCursor& cursor) {
  const auto* in = reinterpret_cast<const uint8_t*>(at);
  const auto* const stop = reinterpret_cast<const uint8_t*>(end);
  auto* out = reinterpret_cast<uint8_t*>(bytes);
  auto* const out_end = out + kPiece;
  while (in < stop && !cursor.broken) {
    if (cursor.have == 0 && !cursor.padded) {
      // Whole groups of four alphabet characters, the bulk of any document.
      while (stop - in >= 4 && out_end - out >= 3) {
        const uint32_t a = kValue[in[0]], b = kValue[in[1]], c = kValue[in[2]], d = kValue[in[3]];
        if ((a | b | c | d) & 0xC0) break;
        const uint32_t v = a << 18 | b << 12 | c << 6 | d;
        out[0] = static_cast<uint8_t>(v >> 16);
        out[1] = static_cast<uint8_t>(v >> 8);
        out[2] = static_cast<uint8_t>(v);
        in += 4;
        out += 3;
      }
      if (in == stop || out_end - out < 3) break;
    }
    // One character at a time: blanks, padding, a group cut by a blank, or a stranger.
    const uint8_t value = kValue[*in++];
    if (value == kSkippedChar) continue;
    if (value == kStrangerChar) {
      cursor.broken = true;
    } else if (value == kPaddingChar) {
      if (cursor.padded) {
        // "==": the second one owed, any more is padding beyond the group.
        cursor.broken = cursor.padding_owed == 0;
        if (!cursor.broken) --cursor.padding_owed;
      } else if (cursor.have < 2) {
        cursor.broken = true;  // a group of one character, or padding where data belongs
      } else {
        // "xx==" gives one byte and "xxx=" two; the bits past them are not looked at.
        if (cursor.have == 2) {
          out[0] = static_cast<uint8_t>(cursor.bits >> 4);
        } else {
          out[0] = static_cast<uint8_t>(cursor.bits >> 10);
          out[1] = static_cast<uint8_t>(cursor.bits >> 2);
        }
        out += cursor.have - 1;
        cursor.padding_owed = 3 - cursor.have;
        cursor.have = 0;
        cursor.padded = true;
      }
    } else if (cursor.padded) {
      cursor.broken = true;  // data after the padding
    } else {
      cursor.bits = cursor.bits << 6 | value;
      if (++cursor.have == 4) {
        out[0] = static_cast<uint8_t>(cursor.bits >> 16);
        out[1] = static_cast<uint8_t>(cursor.bits >> 8);
        out[2] = static_cast<uint8_t>(cursor.bits);
        out += 3;
        cursor.have = 0;
        cursor.bits = 0;
      }
    }
    if (out_end - out < 3) break;
  }
  at = reinterpret_cast<const char*>(in);
  return static_cast<size_t>(out - reinterpret_cast<uint8_t*>(bytes));
}

}  // namespace norvane
