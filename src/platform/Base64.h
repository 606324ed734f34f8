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

}  // namespace norvane
