#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace norvane {

// Every JSON value of the service keeps its members in the order they were added, so
// replies come out in the order the client expects.
using Json = nlohmann::ordered_json;

// Client text is hostile. The reader is iterative, but everything that walks
// the resulting tree (writer, destructor, copies) recurses, so nesting is bounded here;
// the size bound keeps one message from holding several copies of a huge text in memory.
inline constexpr std::size_t kMaxJsonDepth = 128;
inline constexpr std::size_t kMaxJsonText = 64u * 1024u * 1024u;
// Values in one text (every scalar, object and array counts): far above any receipt, and it
// keeps a message of tiny values from taking many times its size as a tree.
inline constexpr std::size_t kMaxJsonValues = 1000000;

enum class JsonParseStatus {
  Ok,
  NotJson,  // a syntax error: not JSON at all
  Refused,  // JSON that this service will not take: too deep, too long, too many values, a number beyond double
};

struct JsonParseResult {
  JsonParseStatus status = JsonParseStatus::NotJson;
  Json value;
};

// Parses one JSON text. When an object names the same member twice the first one counts
// (later ones are dropped), so every reader of a message sees the same value.
JsonParseResult parse_json_text(std::string_view text);

// A JSON object read without copying the text of one of its members, the document of a
// "/print" (megabytes of base64): `message` is what parse_json_text gives for the text but
// with that member's value an empty string, and `member` is its value where it lies in the
// text. The first member of that name counts, as in parse_json_text.
struct JsonWithStringView {
  Json message;
  std::string_view member;
};

// Gives nothing whenever it could differ from parse_json_text, and the caller then reads the
// text with it: a text that is not a JSON object within every bound, no such member, a
// member whose value is not a string of printable ASCII without escapes, a member name with
// an escape before it, a text with more structural characters than the scan keeps (its
// index would outgrow the text). The member is found by a structural scan (simdjson) that reads the
// text where it lies when it has room after it (SIMDJSON_PADDING bytes of capacity), and a
// copy otherwise.
std::optional<JsonWithStringView> parse_json_viewing_member(const std::string& text, std::string_view name);

// The service's JSON text: compact, members in insertion order, every character outside
// printable ASCII as \uXXXX with upper-case hex (a surrogate pair beyond U+FFFF), "/" as "\/".
// A byte that is not part of well-formed UTF-8 is written as U+FFFD.
std::string write_json(const Json& value);
void append_json(std::string& out, const Json& value);

// The value with every string passed through scrub_card_numbers (platform/CardData.h), for
// a JSON text kept on disk. The member "idempotency_key" is kept as it is: the page chose it,
// and a payment is found by it exactly.
Json scrub_card_numbers_in(const Json& value);

// The text of a scalar as GetJsonField gives it: a string as it is, a number as its JSON
// text, true/false as "true"/"false", null as empty text; objects and arrays as JSON text.
std::string json_value_text(const Json& value);

}  // namespace norvane

// The text of the named member of a JSON object (see json_value_text). A missing member, or
// a value that is not an object, raises std::runtime_error "Campo <name> nao encontrado.".
std::string GetJsonField(const norvane::Json& object, const std::string& name);

// {"type":"error","message":text}, the reply to every refused or failed request.
std::string BuildErrorReply(const std::string& text);
