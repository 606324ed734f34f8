// Base64 spread over text with line breaks and blanks, as "/print" documents arrive: the
// one-pass checking decoder must agree with cleaning the text and decoding it whole.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Base64.h"

namespace {

void check(std::string_view text) {
  std::string clean;
  for (char c : text)
    if (c != '\r' && c != '\n' && c != ' ') clean.push_back(c);
  const auto whole = norvane::decode_base64(clean);

  std::string pieces;
  size_t decoded_size = 0;
  const bool decoded = norvane::TBase64Blocks::Decode(text, [&](std::string_view bytes) {
    pieces.append(bytes);
    return true;
  }, decoded_size);
  if (decoded != whole.has_value()) __builtin_trap();
  if (decoded_size != pieces.size()) __builtin_trap();
  if (decoded && pieces != *whole) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  check(text);
  // The input repeated past a few pieces, so that pieces end at every kind of place (for
  // one input in eight: decoding 120 KiB under the sanitizers is slow).
  if (size > 0 && size % 4 == 0 && (data[0] & 7) == 0) {
    std::string repeated;
    while (repeated.size() < 120 * 1024) repeated.append(text);
    check(repeated);
  }
  return 0;
}
