#include "routing/JsonText.h"

#include <locale.h>
#include <stdlib.h>

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <unordered_set>
#include <vector>

#include <simdjson.h>

#include "platform/CardData.h"

namespace norvane {
namespace {

// Builds the tree from the reader's values. Unlike nlohmann's own builder it stops at
// kMaxJsonDepth, keeps the first of duplicate members, and appends members without the
// linear search of ordered_map (a message with a million members would otherwise take
// hours to parse).
class BoundedTreeBuilder {
 public:
  using number_integer_t = Json::number_integer_t;
  using number_unsigned_t = Json::number_unsigned_t;
  using number_float_t = Json::number_float_t;
  using string_t = Json::string_t;

  explicit BoundedTreeBuilder(Json& root) : root_(root) {}

  bool too_deep() const { return too_deep_; }
  bool too_many() const { return too_many_; }

  bool null() { return add(Json(nullptr)); }
  bool boolean(bool value) { return add(Json(value)); }
  bool number_integer(number_integer_t value) { return add(Json(value)); }
  bool number_unsigned(number_unsigned_t value) { return add(Json(value)); }
  bool number_float(number_float_t value, const string_t&) { return add(Json(value)); }
  bool string(string_t& value) { return add(Json(std::move(value))); }

  bool start_object(std::size_t) { return open(Json::object()); }
  bool start_array(std::size_t) { return open(Json::array()); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }

  bool key(string_t& name) {
    if (discard_depth_ > 0) return true;
    Frame& frame = frames_.back();
    if (!frame.keys.insert(name).second) {
      discard_next_ = true;
      return true;
    }
    auto& members = static_cast<std::vector<std::pair<const std::string, Json>>&>(
        frame.value->get_ref<Json::object_t&>());
    members.emplace_back(std::move(name), Json());
    member_slot_ = &members.back().second;
    return true;
  }

 private:
  struct Frame {
    Json* value;
    std::unordered_set<std::string> keys;  // used for objects only
  };

  // Puts a value where the grammar says it goes; returns where it now lives, or null
  // when it is dropped (a duplicate member or inside one).
  Json* place(Json&& value) {
    if (discard_depth_ > 0) return nullptr;
    if (discard_next_) {
      discard_next_ = false;
      return nullptr;
    }
    if (frames_.empty()) {
      root_ = std::move(value);
      return &root_;
    }
    Json& parent = *frames_.back().value;
    if (parent.is_array()) {
      auto& items = parent.get_ref<Json::array_t&>();
      items.push_back(std::move(value));
      return &items.back();
    }
    *member_slot_ = std::move(value);
    return member_slot_;
  }

  bool counted() {
    if (++values_ <= kMaxJsonValues) return true;
    too_many_ = true;
    return false;
  }

  bool add(Json&& value) {
    if (!counted()) return false;
    place(std::move(value));
    return true;
  }

  bool open(Json&& container) {
    if (!counted()) return false;
    if (++depth_ > kMaxJsonDepth) {
      too_deep_ = true;
      return false;
    }
    if (discard_depth_ > 0) {
      ++discard_depth_;
      return true;
    }
    Json* where = place(std::move(container));
    if (where == nullptr) {
      discard_depth_ = 1;
      return true;
    }
    frames_.push_back(Frame{where, {}});
    return true;
  }

  bool close() {
    --depth_;
    if (discard_depth_ > 0) {
      --discard_depth_;
      return true;
    }
    frames_.pop_back();
    return true;
  }

  Json& root_;
  std::vector<Frame> frames_;
  Json* member_slot_ = nullptr;
  std::size_t depth_ = 0;
  std::size_t discard_depth_ = 0;
  bool discard_next_ = false;
  std::size_t values_ = 0;
  bool too_deep_ = false;
  bool too_many_ = false;
};

constexpr char kHexDigits[] = "0123456789ABCDEF";

// Bytes that are written as they are: printable ASCII except the three that are escaped.
constexpr std::array<bool, 256> make_plain_table() {
  std::array<bool, 256> table{};
  for (int c = 0x20; c <= 0x7E; ++c) table[c] = true;
  table['"'] = table['\\'] = table['/'] = false;
  return table;
}
constexpr std::array<bool, 256> kPlain = make_plain_table();

void append_u_escape(std::string& out, unsigned unit) {
  char text[6] = {'\\', 'u', kHexDigits[(unit >> 12) & 0xF], kHexDigits[(unit >> 8) & 0xF],
                  kHexDigits[(unit >> 4) & 0xF], kHexDigits[unit & 0xF]};
  out.append(text, 6);
}

// Decodes one UTF-8 sequence at text[i]; returns its length, or 0 when it is not well formed
// (overlong forms, surrogates and values beyond U+10FFFF included).
std::size_t decode_utf8(const unsigned char* text, std::size_t left, unsigned& code_point) {
  const unsigned char lead = text[0];
  std::size_t length;
  unsigned minimum;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, code_point = lead & 0x1F, minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, code_point = lead & 0x0F, minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, code_point = lead & 0x07, minimum = 0x10000;
  } else {
    return 0;
  }
  if (left < length) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((text[k] & 0xC0) != 0x80) return 0;
    code_point = (code_point << 6) | (text[k] & 0x3F);
  }
  if (code_point < minimum || code_point > 0x10FFFF) return 0;
  if (code_point >= 0xD800 && code_point <= 0xDFFF) return 0;
  return length;
}

void append_string(std::string& out, const std::string& text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  out.push_back('"');
  std::size_t i = 0;
  while (i < size) {
    std::size_t run = i;
    while (run < size && kPlain[bytes[run]]) ++run;
    out.append(text.data() + i, run - i);
    i = run;
    if (i >= size) break;
    const unsigned char c = bytes[i];
    if (c == '"' || c == '\\' || c == '/') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
      ++i;
    } else if (c < 0x80) {
      append_u_escape(out, c);
      ++i;
    } else {
      unsigned code_point = 0;
      const std::size_t length = decode_utf8(bytes + i, size - i, code_point);
      if (length == 0) {
        append_u_escape(out, 0xFFFD);
        ++i;
      } else if (code_point > 0xFFFF) {
        code_point -= 0x10000;
        append_u_escape(out, 0xD800 + (code_point >> 10));
        append_u_escape(out, 0xDC00 + (code_point & 0x3FF));
        i += length;
      } else {
        append_u_escape(out, code_point);
        i += length;
      }
    }
  }
  out.push_back('"');
}

template <typename Number>
void append_number(std::string& out, Number value) {
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, value);
  out.append(text, result.ptr);
}

void append_float(std::string& out, double value) {
  // JSON has no infinity or NaN.
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  // The shortest text that reads back as the same double, written as JavaScript writes
  // numbers: plain digits between 1e-7 and 1e21 (0.0001, not 1e-04), an exponent outside.
  const double magnitude = std::fabs(value);
  char text[400];
  const auto result = magnitude >= 1e-7 && magnitude < 1e21
                          ? std::to_chars(text, text + sizeof text, value, std::chars_format::fixed)
                          : std::to_chars(text, text + sizeof text, value);
  out.append(text, result.ptr);
}

}  // namespace

namespace {

// Bytes a JSON string holds as they are: everything from the space on in ASCII, but for the
// quote and the backslash.
constexpr std::array<bool, 256> make_string_plain() {
  std::array<bool, 256> table{};
  for (int c = 0x20; c < 0x80; ++c) table[c] = true;
  table['"'] = table['\\'] = false;
  return table;
}
constexpr std::array<bool, 256> kStringPlain = make_string_plain();

// Reads JSON text and hands each value to the tree builder. nlohmann's own lexer keeps two
// growing copies of every token (the decoded text and the raw bytes, each doubling as it
// grows), so a message holding one huge string took four times its size at peak; this one
// measures each string before decoding it and holds it once, at its final size.
class TextReader {
 public:
  enum class Outcome { Ok, Syntax, NumberOverflow, Stopped };

  TextReader(std::string_view text, BoundedTreeBuilder& builder)
      : at_(text.data()), end_(text.data() + text.size()), builder_(builder) {}

  Outcome read() {
    // A byte order mark before the text is allowed and ignored.
    if (end_ - at_ >= 3 && std::string_view(at_, 3) == "\xEF\xBB\xBF") at_ += 3;
    bool want_value = true;
    for (;;) {
      skip_blanks();
      if (want_value) {
        if (at_ == end_) return Outcome::Syntax;
        const char c = *at_;
        if (c == '{' || c == '[') {
          ++at_;
          if (!(c == '{' ? builder_.start_object(kUnknownSize) : builder_.start_array(kUnknownSize)))
            return Outcome::Stopped;
          open_.push_back(c);
          skip_blanks();
          if (at_ < end_ && *at_ == (c == '{' ? '}' : ']')) {
            ++at_;
            if (!close()) return Outcome::Stopped;
            want_value = false;
          } else if (c == '{') {
            const Outcome key = member_name();
            if (key != Outcome::Ok) return key;
          }
          continue;
        }
        const Outcome value = scalar();
        if (value != Outcome::Ok) return value;
        want_value = false;
        continue;
      }
      if (open_.empty()) return at_ == end_ ? Outcome::Ok : Outcome::Syntax;
      if (at_ == end_) return Outcome::Syntax;
      const char c = *at_++;
      if (c == ',') {
        want_value = true;
        if (open_.back() == '{') {
          skip_blanks();
          const Outcome key = member_name();
          if (key != Outcome::Ok) return key;
        }
      } else if (c == (open_.back() == '{' ? '}' : ']')) {
        if (!close()) return Outcome::Stopped;
      } else {
        return Outcome::Syntax;
      }
    }
  }

 private:
  static constexpr std::size_t kUnknownSize = static_cast<std::size_t>(-1);

  void skip_blanks() {
    while (at_ < end_ && (*at_ == ' ' || *at_ == '\t' || *at_ == '\n' || *at_ == '\r')) ++at_;
  }

  bool close() {
    const char kind = open_.back();
    open_.pop_back();
    return kind == '{' ? builder_.end_object() : builder_.end_array();
  }

  bool literal(std::string_view word) {
    if (static_cast<std::size_t>(end_ - at_) < word.size() || std::string_view(at_, word.size()) != word)
      return false;
    at_ += word.size();
    return true;
  }

  // `"name"` then `:`; the value follows.
  Outcome member_name() {
    if (at_ == end_ || *at_ != '"' || !string_token(text_)) return Outcome::Syntax;
    skip_blanks();
    if (at_ == end_ || *at_ != ':') return Outcome::Syntax;
    ++at_;
    return builder_.key(text_) ? Outcome::Ok : Outcome::Stopped;
  }

  Outcome scalar() {
    bool accepted = true;
    switch (*at_) {
      case '"':
        if (!string_token(text_)) return Outcome::Syntax;
        accepted = builder_.string(text_);
        break;
      case 't':
        if (!literal("true")) return Outcome::Syntax;
        accepted = builder_.boolean(true);
        break;
      case 'f':
        if (!literal("false")) return Outcome::Syntax;
        accepted = builder_.boolean(false);
        break;
      case 'n':
        if (!literal("null")) return Outcome::Syntax;
        accepted = builder_.null();
        break;
      default:
        return number();
    }
    return accepted ? Outcome::Ok : Outcome::Stopped;
  }

  static bool digit(char c) { return c >= '0' && c <= '9'; }

  // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)? ; a whole number is kept as an integer
  // when 64 bits hold it (unsigned when not negative), else as a double.
  Outcome number() {
    const char* start = at_;
    if (at_ < end_ && *at_ == '-') ++at_;
    if (at_ == end_ || !digit(*at_)) return Outcome::Syntax;
    if (*at_ == '0') {
      ++at_;
    } else {
      while (at_ < end_ && digit(*at_)) ++at_;
    }
    bool whole = true;
    if (at_ < end_ && *at_ == '.') {
      whole = false;
      ++at_;
      if (at_ == end_ || !digit(*at_)) return Outcome::Syntax;
      while (at_ < end_ && digit(*at_)) ++at_;
    }
    if (at_ < end_ && (*at_ == 'e' || *at_ == 'E')) {
      whole = false;
      ++at_;
      if (at_ < end_ && (*at_ == '+' || *at_ == '-')) ++at_;
      if (at_ == end_ || !digit(*at_)) return Outcome::Syntax;
      while (at_ < end_ && digit(*at_)) ++at_;
    }
    if (whole) {
      if (*start == '-') {
        Json::number_integer_t value = 0;
        if (std::from_chars(start, at_, value).ec == std::errc())
          return builder_.number_integer(value) ? Outcome::Ok : Outcome::Stopped;
      } else {
        Json::number_unsigned_t value = 0;
        if (std::from_chars(start, at_, value).ec == std::errc())
          return builder_.number_unsigned(value) ? Outcome::Ok : Outcome::Stopped;
      }
    }
    // strtod rounds what is too small to zero and what is too large to infinity, which no
    // JSON text can carry back: that is refused, not rounded.
    const std::string digits(start, at_);
    const double value = ::strtod_l(digits.c_str(), nullptr, c_locale());
    if (!std::isfinite(value)) return Outcome::NumberOverflow;
    return builder_.number_float(value, digits) ? Outcome::Ok : Outcome::Stopped;
  }

  // The decimal point is "." whatever locale the process runs in.
  static locale_t c_locale() {
    static const locale_t c = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return c;
  }

  static int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  // The four hex digits of a \u escape at at_ (just past "\u").
  bool hex4(unsigned& unit) {
    if (end_ - at_ < 4) return false;
    unit = 0;
    for (int i = 0; i < 4; ++i) {
      const int v = hex_value(at_[i]);
      if (v < 0) return false;
      unit = (unit << 4) | static_cast<unsigned>(v);
    }
    at_ += 4;
    return true;
  }

  static void append_utf8(std::string& out, unsigned cp) {
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }

  // A string token at at_ (on its opening quote), decoded into `out`: escapes resolved,
  // UTF-8 checked, control characters refused.
  bool string_token(std::string& out) {
    ++at_;
    // Most strings are plain ASCII without escapes: taken in one pass when they are.
    const char* plain = at_;
    while (plain < end_ && kStringPlain[static_cast<unsigned char>(*plain)]) ++plain;
    if (plain < end_ && *plain == '"') {
      out.assign(at_, plain);
      at_ = plain + 1;
      return true;
    }
    // The decoded text is never longer than the raw one: measure first, allocate once.
    const char* close = at_;
    for (;;) {
      while (close < end_ && *close != '"' && *close != '\\') ++close;
      if (close == end_) return false;
      if (*close == '"') break;
      close += 2;
      if (close > end_) return false;
    }
    out.clear();
    out.reserve(static_cast<std::size_t>(close - at_));
    for (;;) {
      const char* run = at_;
      while (run < end_ && kStringPlain[static_cast<unsigned char>(*run)]) ++run;
      out.append(at_, run);
      at_ = run;
      if (at_ == end_) return false;
      const auto c = static_cast<unsigned char>(*at_);
      if (c == '"') {
        ++at_;
        return true;
      }
      if (c < 0x20) return false;
      if (c >= 0x80) {
        unsigned code_point = 0;
        const std::size_t length = decode_utf8(reinterpret_cast<const unsigned char*>(at_),
                                               static_cast<std::size_t>(end_ - at_), code_point);
        if (length == 0) return false;
        out.append(at_, length);
        at_ += length;
        continue;
      }
      // A backslash.
      ++at_;
      if (at_ == end_) return false;
      const char escaped = *at_++;
      switch (escaped) {
        case '"': out.push_back('"'); break;
        case '\\': out.push_back('\\'); break;
        case '/': out.push_back('/'); break;
        case 'b': out.push_back('\b'); break;
        case 'f': out.push_back('\f'); break;
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        case 't': out.push_back('\t'); break;
        case 'u': {
          unsigned unit = 0;
          if (!hex4(unit)) return false;
          if (unit >= 0xDC00 && unit <= 0xDFFF) return false;  // a low surrogate alone
          if (unit >= 0xD800 && unit <= 0xDBFF) {
            unsigned low = 0;
            if (end_ - at_ < 2 || at_[0] != '\\' || at_[1] != 'u') return false;
            at_ += 2;
            if (!hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
            unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
          }
          append_utf8(out, unit);
          break;
        }
        default:
          return false;
      }
    }
  }

  const char* at_;
  const char* const end_;
  BoundedTreeBuilder& builder_;
  std::vector<char> open_;  // '{' or '[' for each container still open
  std::string text_;        // the string token being read
};

}  // namespace

JsonParseResult parse_json_text(std::string_view text) {
  JsonParseResult result;
  if (text.size() > kMaxJsonText) {
    result.status = JsonParseStatus::Refused;
    return result;
  }
  BoundedTreeBuilder builder(result.value);
  TextReader::Outcome outcome = TextReader::Outcome::Syntax;
  try {
    outcome = TextReader(text, builder).read();
  } catch (const std::exception&) {
    outcome = TextReader::Outcome::Syntax;
  }
  if (outcome == TextReader::Outcome::Ok) {
    result.status = JsonParseStatus::Ok;
  } else {
    const bool refused =
        outcome == TextReader::Outcome::NumberOverflow || builder.too_deep() || builder.too_many();
    result.status = refused ? JsonParseStatus::Refused : JsonParseStatus::NotJson;
    result.value = Json();
  }
  return result;
}

namespace {

// Sixteen bytes compared at once (SSE2, NEON): a document is megabytes of text, and a
// byte at a time would make these scans cost more than the TLS that brought it.
typedef unsigned char Bytes16 __attribute__((vector_size(16)));

Bytes16 load16(const unsigned char* at) {
  Bytes16 v;
  std::memcpy(&v, at, sizeof v);
  return v;
}

bool any_set(Bytes16 v) {
  uint64_t halves[2];
  std::memcpy(halves, &v, sizeof halves);
  return (halves[0] | halves[1]) != 0;
}

// True when every byte is printable ASCII other than the backslash: a string token of such
// bytes reads as exactly those bytes.
bool plain_string_bytes(std::string_view text) {
  const auto* at = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t left = text.size();
  auto bad = [](unsigned char c) { return (c < 0x20) | (c > 0x7E) | (c == '\\'); };
  for (; left >= 64; at += 64, left -= 64) {
    Bytes16 found = {};
    for (int i = 0; i < 64; i += 16) {
      const Bytes16 v = load16(at + i);
      found |= reinterpret_cast<Bytes16>((v < 0x20) | (v > 0x7E) | (v == '\\'));
    }
    if (any_set(found)) return false;
  }
  for (; left > 0; ++at, --left)
    if (bad(*at)) return false;
  return true;
}

// The structural scan keeps four bytes for each structural character of the text (and for
// each value after one), so a text of tiny values would take several times its size: only a
// text with few of them is scanned (a document's base64 has none), any other is left to the
// tree reader.
constexpr std::size_t kMaxScannedStructurals = 64 * 1024;

bool few_structurals(std::string_view text) {
  const auto* at = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t left = text.size();
  std::size_t count = 0;
  auto structural = [](unsigned char c) {
    return static_cast<std::size_t>((c == '{') | (c == '}') | (c == '[') | (c == ']') | (c == ',') | (c == ':') |
                                    (c == '"'));
  };
  // Each byte lane counts up to 255 hits (one per 16 bytes read), then is added up.
  while (left >= 16) {
    Bytes16 lanes = {};
    for (int round = 0; round < 255 && left >= 16; ++round, at += 16, left -= 16) {
      const Bytes16 v = load16(at);
      lanes -= reinterpret_cast<Bytes16>((v == '{') | (v == '}') | (v == '[') | (v == ']') | (v == ',') |
                                         (v == ':') | (v == '"'));
    }
    for (int i = 0; i < 16; ++i) count += lanes[i];
    if (count > kMaxScannedStructurals) return false;
  }
  for (; left > 0; ++at, --left) count += structural(*at);
  return count <= kMaxScannedStructurals;
}

}  // namespace

std::optional<JsonWithStringView> parse_json_viewing_member(const std::string& text, std::string_view name) {
  if (text.size() > kMaxJsonText || !few_structurals(text)) return std::nullopt;
  // The structural scan reads whole blocks past the end of the text; a text received
  // with room after it is read where it lies, any other is copied once.
  std::optional<simdjson::padded_string> copy;
  simdjson::padded_string_view input(text.data(), text.size(), text.capacity());
  if (text.capacity() - text.size() < simdjson::SIMDJSON_PADDING) {
    copy.emplace(text.data(), text.size());
    input = *copy;
  }
  // Where the scan reads: the text itself or its copy; positions found are offsets into both.
  const char* const base = copy ? copy->data() : text.data();
  const char* const end = base + text.size();
  simdjson::ondemand::parser parser;
  simdjson::ondemand::document document;
  simdjson::ondemand::object object;
  if (parser.iterate(input).get(document) != simdjson::SUCCESS || document.get_object().get(object) != simdjson::SUCCESS)
    return std::nullopt;
  for (auto field : object) {
    if (field.error() != simdjson::SUCCESS) return std::nullopt;
    // The member name as written; one with an escape could spell the name another way.
    const char* key = field.key().value_unsafe().raw();
    const char* key_end = static_cast<const char*>(std::memchr(key, '"', static_cast<std::size_t>(end - key)));
    if (key_end == nullptr) return std::nullopt;
    const std::string_view key_text(key, static_cast<std::size_t>(key_end - key));
    if (key_text.find('\\') != std::string_view::npos) return std::nullopt;
    if (key_text != name) continue;  // values are skipped; the tree reader checks them below
    std::string_view token;
    if (field.value().raw_json_token().get(token) != simdjson::SUCCESS || token.empty() || token.front() != '"')
      return std::nullopt;
    const char* open = token.data();
    const char* close = static_cast<const char*>(std::memchr(open + 1, '"', static_cast<std::size_t>(end - open - 1)));
    if (close == nullptr) return std::nullopt;
    const std::string_view member(text.data() + (open + 1 - base), static_cast<std::size_t>(close - open - 1));
    const char* const after = text.data() + (close - base);  // the closing quote in `text`
    if (!plain_string_bytes(member)) return std::nullopt;
    // The same text with the member's value empty: the tree reader gives it every bound
    // and error it gives the whole (the value left out is one plain string either way).
    std::string rest;
    rest.reserve(text.size() - member.size());
    rest.append(text.data(), member.data());
    rest.append(after, text.data() + text.size());
    JsonParseResult parsed = parse_json_text(rest);
    if (parsed.status != JsonParseStatus::Ok || !parsed.value.is_object()) return std::nullopt;
    return JsonWithStringView{std::move(parsed.value), member};
  }
  return std::nullopt;
}

void append_json(std::string& out, const Json& value) {
  switch (value.type()) {
    case Json::value_t::object: {
      out.push_back('{');
      bool first = true;
      for (const auto& [name, member] : value.get_ref<const Json::object_t&>()) {
        if (!first) out.push_back(',');
        first = false;
        append_string(out, name);
        out.push_back(':');
        append_json(out, member);
      }
      out.push_back('}');
      break;
    }
    case Json::value_t::array: {
      out.push_back('[');
      bool first = true;
      for (const auto& item : value.get_ref<const Json::array_t&>()) {
        if (!first) out.push_back(',');
        first = false;
        append_json(out, item);
      }
      out.push_back(']');
      break;
    }
    case Json::value_t::string:
      append_string(out, value.get_ref<const std::string&>());
      break;
    case Json::value_t::boolean:
      out += value.get<bool>() ? "true" : "false";
      break;
    case Json::value_t::number_integer:
      append_number(out, value.get<Json::number_integer_t>());
      break;
    case Json::value_t::number_unsigned:
      append_number(out, value.get<Json::number_unsigned_t>());
      break;
    case Json::value_t::number_float:
      append_float(out, value.get<double>());
      break;
    case Json::value_t::null:
    case Json::value_t::binary:
    case Json::value_t::discarded:
      out += "null";
      break;
  }
}

std::string write_json(const Json& value) {
  std::string out;
  out.reserve(128);
  append_json(out, value);
  return out;
}

Json scrub_card_numbers_in(const Json& value) {
  switch (value.type()) {
    case Json::value_t::string:
      return scrub_card_numbers(value.get_ref<const std::string&>());
    case Json::value_t::array: {
      Json out = Json::array();
      for (const Json& item : value) out.push_back(scrub_card_numbers_in(item));
      return out;
    }
    case Json::value_t::object: {
      Json out = Json::object();
      for (const auto& [name, item] : value.items())
        out[name] = name == "idempotency_key" ? item : scrub_card_numbers_in(item);
      return out;
    }
    default:
      return value;
  }
}

std::string json_value_text(const Json& value) {
  std::string text;
  switch (value.type()) {
    case Json::value_t::string:
      return value.get<std::string>();
    case Json::value_t::null:
      return text;
    case Json::value_t::number_integer:
      append_number(text, value.get<Json::number_integer_t>());
      return text;
    case Json::value_t::number_unsigned:
      append_number(text, value.get<Json::number_unsigned_t>());
      return text;
    case Json::value_t::number_float:
      append_float(text, value.get<double>());
      return text;
    default:
      return write_json(value);
  }
}

}  // namespace norvane

std::string GetJsonField(const norvane::Json& object, const std::string& name) {
  if (object.is_object()) {
    const auto member = object.find(name);
    if (member != object.end()) return norvane::json_value_text(*member);
  }
  throw std::runtime_error("Campo " + name + " nao encontrado.");
}

std::string BuildErrorReply(const std::string& text) {
  norvane::Json reply = norvane::Json::object();
  reply["type"] = "error";
  reply["message"] = text;
  return norvane::write_json(reply);
}
