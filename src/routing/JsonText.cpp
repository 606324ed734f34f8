#include "routing/JsonText.h"

#include <array>
#include <charconv>
#include <cmath>
#include <stdexcept>
#include <unordered_set>
#include <vector>

namespace norvane {
namespace {

// Builds the tree for nlohmann's SAX parser. Unlike nlohmann's own builder it stops at
// kMaxJsonDepth, keeps the first of duplicate members, and appends members without the
// linear search of ordered_map (a message with a million members would otherwise take
// hours to parse).
class BoundedTreeBuilder {
 public:
  using number_integer_t = Json::number_integer_t;
  using number_unsigned_t = Json::number_unsigned_t;
  using number_float_t = Json::number_float_t;
  using string_t = Json::string_t;
  using binary_t = Json::binary_t;

  explicit BoundedTreeBuilder(Json& root) : root_(root) {}

  bool too_deep() const { return too_deep_; }
  bool too_many() const { return too_many_; }
  bool number_overflow() const { return number_overflow_; }

  bool null() { return add(Json(nullptr)); }
  bool boolean(bool value) { return add(Json(value)); }
  bool number_integer(number_integer_t value) { return add(Json(value)); }
  bool number_unsigned(number_unsigned_t value) { return add(Json(value)); }
  bool number_float(number_float_t value, const string_t&) { return add(Json(value)); }
  bool string(string_t& value) { return add(Json(std::move(value))); }
  bool binary(binary_t&) { return add(Json(nullptr)); }

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

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& error) {
    // 406 is nlohmann's "number overflow": valid JSON whose number no double can hold.
    if (error.id == 406) number_overflow_ = true;
    return false;
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
  bool number_overflow_ = false;
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
  append_number(out, value);  // shortest text that reads back as the same double
}

}  // namespace

JsonParseResult parse_json_text(std::string_view text) {
  JsonParseResult result;
  if (text.size() > kMaxJsonText) {
    result.status = JsonParseStatus::Refused;
    return result;
  }
  BoundedTreeBuilder builder(result.value);
  bool parsed = false;
  try {
    parsed = Json::sax_parse(text, &builder, Json::input_format_t::json, true, false);
  } catch (const std::exception&) {
    parsed = false;  // an error thrown by the lexer instead of reported through parse_error
  }
  if (parsed) {
    result.status = JsonParseStatus::Ok;
  } else {
    result.status = builder.too_deep() || builder.too_many() || builder.number_overflow() ? JsonParseStatus::Refused
                                                                    : JsonParseStatus::NotJson;
    result.value = Json();
  }
  return result;
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
