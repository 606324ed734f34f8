#pragma once
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "routing/JsonText.h"

// The key shared with the sales back-end: it verifies the session tokens the back-end
// issues and signs the tokens this service sends to the back-end's callback.
inline constexpr std::string_view kSharedTokenSecret = "Hw4Tq8Zn2Kb6Xp1Rj9Lc3Vm7Ds5Fy0Ue";

// A token longer than this is refused before any decoding; real ones are a few hundred bytes.
inline constexpr std::size_t kMaxTokenLength = 64 * 1024;

// The token is not three dot-separated parts: the client sent something that is not a
// compact JWS at all, and gets this error's own text.
class EJwtNotCompact : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The token has the right shape but cannot be trusted: undecodable part, header without a
// usable HMAC `alg` ("none" and public-key algorithms included), wrong signature, a payload
// that is not a JSON object, or a token beyond kMaxTokenLength.
class EJwtUnverified : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Checks a compact JWS signed with HS256, HS384 or HS512 (the header's `alg` chooses) and
// returns its claims object. The time claims are checked apart (TokenTimesValid).
norvane::Json VerifyJWT(std::string_view token, std::string_view secret);

// Time claims may be off by this much between the back-end's clock and the workstation's.
inline constexpr std::int64_t kTokenLeewaySeconds = 60;

// True when the token's `exp` (if present) has not passed more than the leeway ago and its
// `nbf` (if present) is not more than the leeway ahead of `now_seconds` (Unix time). A time
// claim that is not a number makes the token unusable. A token without `exp` stays valid:
// back-ends in use mint such tokens.
bool TokenTimesValid(const norvane::Json& claims, std::int64_t now_seconds);

// Signs Claims (an object; null gives {}) with HMAC-SHA-384 under SecretKey and returns the
// compact serialisation. The key is used whatever its length.
std::string GenerateJWT(const std::string& SecretKey, const norvane::Json& Claims = norvane::Json());

namespace norvane {
// base64url without padding (RFC 7515).
std::string base64url_encode(std::string_view bytes);
// Strict: only the url alphabet, no padding, no length that leaves a lone character, and the
// unused low bits of the last character must be zero (one text per byte string).
bool base64url_decode(std::string_view text, std::string& bytes);
}  // namespace norvane
