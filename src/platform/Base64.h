#pragma once
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
// nothing else), checked by the rules of decode_base64 and decoded piece by piece, so that
// a document of tens of megabytes is never held twice.
class TBase64Blocks {
 public:
  // Checks the whole text; false when what is left after skipping is not well-formed.
  static bool Check(std::string_view text, size_t& decoded_size);
  // Decodes a checked text, handing each piece to write (false from it stops the
  // decoding and is answered here).
  template <typename Write>
  static bool Decode(std::string_view text, Write&& write) {
    std::string clean, bytes;
    for (size_t at = 0; at < text.size();) {
      std::string_view piece;
      at = Gather(text, at, clean, piece);
      if (!DecodeClean(piece, bytes) || !write(std::string_view(bytes))) return false;
    }
    return true;
  }

 private:
  static constexpr size_t kPiece = 48 * 1024;  // cleaned characters per piece, a multiple of 4
  // The next piece from `at`: a view of the text where it has nothing to skip, else its
  // characters gathered into `clean`. Returns where the piece after it starts.
  static size_t Gather(std::string_view text, size_t at, std::string& clean, std::string_view& piece);
  static bool DecodeClean(std::string_view clean, std::string& bytes);
};

}  // namespace norvane
