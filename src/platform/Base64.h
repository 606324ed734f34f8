#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace norvane {

// Standard base64 (RFC 4648 alphabet, "=" padding) to bytes. The text must already be
// free of line breaks and blanks; callers clean it the way their format asks. Returns
// nothing when the text is not well-formed base64 (a length that is not a multiple of
// four, a character outside the alphabet, padding anywhere but at the end).
std::optional<std::string> decode_base64(std::string_view text);

// Base64 with line breaks and blanks spread through it (every CR, LF and ' ' is skipped,
// nothing else), held to the rules of decode_base64 and decoded in one pass that checks as
// it goes: a document of tens of megabytes is read once and never held twice.
class TBase64Blocks {
 public:
  // Decodes the text, handing the bytes to `write` in pieces (false from it stops the
  // decoding). False when the text is not well-formed or `write` said false: what was
  // handed over until then is only a start, and the caller drops it. `decoded_size` says
  // how many bytes were handed over.
  template <typename Write>
  static bool Decode(std::string_view text, Write&& write, size_t& decoded_size) {
    char bytes[kPiece];
    TCursor cursor;
    const char* at = text.data();
    const char* const end = at + text.size();
    decoded_size = 0;
    while (at < end) {
      const size_t n = Step(at, end, bytes, cursor);
      if (cursor.broken) return false;
      decoded_size += n;
      if (n > 0 && !write(std::string_view(bytes, n))) return false;
    }
    return cursor.Whole();
  }

 private:
  static constexpr size_t kPiece = 48 * 1024;  // decoded bytes per piece, a multiple of 3
  // Where the decoding is between two steps: the characters of an unfinished group of four,
  // and the padding still owed once a group ended with "=".
  struct TCursor {
    uint32_t bits = 0;
    int have = 0;
    int padding_owed = 0;
    bool padded = false;  // the text's data has ended: only blanks and owed "=" may follow
    bool broken = false;
    bool Whole() const { return !broken && have == 0 && padding_owed == 0; }
  };
  // Decodes from `at` on into `bytes` (room for kPiece) until the room or the text ends;
  // returns how many bytes it wrote and moves `at` past what it read.
  static size_t Step(const char*& at, const char* end, char* bytes, TCursor& cursor);
};

}  // namespace norvane
