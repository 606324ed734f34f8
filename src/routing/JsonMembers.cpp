#include "routing/JsonMembers.h"

#include <stdexcept>

#include "routing/JsonText.h"

namespace norvane {

namespace {

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

void skip_blanks(std::string_view text, size_t& at) {
  while (at < text.size() && blank(text[at])) ++at;
}

// From an opening quote to just after its closing quote; false when there is none.
bool skip_string(std::string_view text, size_t& at) {
  for (++at; at < text.size(); ++at) {
    if (text[at] == '\\') {
      ++at;
    } else if (text[at] == '"') {
      ++at;
      return true;
    }
  }
  return false;
}

// One value of any kind, nested ones included, without recursion.
bool skip_value(std::string_view text, size_t& at) {
  size_t depth = 0;
  do {
    if (at >= text.size()) return false;
    const char c = text[at];
    if (c == '"') {
      if (!skip_string(text, at)) return false;
    } else if (c == '{' || c == '[') {
      ++depth;
      ++at;
    } else if (c == '}' || c == ']') {
      if (depth == 0) return false;
      --depth;
      ++at;
    } else if (depth > 0) {
      ++at;  // separators and scalars inside a nested value
    } else {
      while (at < text.size() && !blank(text[at]) && text[at] != ',' && text[at] != '}' && text[at] != ']') ++at;
    }
  } while (depth > 0);
  return true;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool read_hex4(std::string_view s, size_t at, unsigned& value) {
  if (at + 4 > s.size()) return false;
  value = 0;
  for (size_t i = at; i < at + 4; ++i) {
    const int d = hex_digit(s[i]);
    if (d < 0) return false;
    value = value * 16 + static_cast<unsigned>(d);
  }
  return true;
}

void append_utf8(std::string& out, unsigned cp) {
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

// The inside of a JSON string (between its quotes) with its escapes decoded.
bool unescape(std::string_view s, std::string& out) {
  out.clear();
  out.reserve(s.size());
  for (size_t at = 0; at < s.size(); ++at) {
    if (s[at] != '\\') {
      out.push_back(s[at]);
      continue;
    }
    if (++at >= s.size()) return false;
    switch (s[at]) {
      case '"': out.push_back('"'); break;
      case '\\': out.push_back('\\'); break;
      case '/': out.push_back('/'); break;
      case 'b': out.push_back('\b'); break;
      case 'f': out.push_back('\f'); break;
      case 'n': out.push_back('\n'); break;
      case 'r': out.push_back('\r'); break;
      case 't': out.push_back('\t'); break;
      case 'u': {
        unsigned cp = 0;
        if (!read_hex4(s, at + 1, cp)) return false;
        at += 4;
        if (cp >= 0xD800 && cp <= 0xDBFF) {  // a high surrogate needs its low half
          unsigned low = 0;
          if (at + 2 >= s.size() || s[at + 1] != '\\' || s[at + 2] != 'u' || !read_hex4(s, at + 3, low) ||
              low < 0xDC00 || low > 0xDFFF)
            return false;
          at += 6;
          cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
          return false;
        }
        append_utf8(out, cp);
        break;
      }
      default:
        return false;
    }
  }
  return true;
}

}  // namespace

bool TJsonMembers::Parse(std::string_view text) {
  members_.clear();
  size_t at = 0;
  skip_blanks(text, at);
  if (at >= text.size() || text[at] != '{') return false;
  ++at;
  skip_blanks(text, at);
  if (at < text.size() && text[at] == '}') return true;
  std::string key;
  for (;;) {
    skip_blanks(text, at);
    const size_t key_start = at;
    if (at >= text.size() || text[at] != '"' || !skip_string(text, at)) return false;
    if (!unescape(text.substr(key_start + 1, at - key_start - 2), key)) return false;
    skip_blanks(text, at);
    if (at >= text.size() || text[at] != ':') return false;
    ++at;
    skip_blanks(text, at);
    const size_t value_start = at;
    if (!skip_value(text, at)) return false;
    bool known = false;
    for (const auto& member : members_) known = known || member.first == key;
    if (!known) members_.emplace_back(key, text.substr(value_start, at - value_start));
    skip_blanks(text, at);
    if (at >= text.size()) return false;
    if (text[at++] == '}') return true;
    if (text[at - 1] != ',') return false;
  }
}

std::string_view TJsonMembers::Field(const std::string& name, std::string& storage) const {
  for (const auto& [key, raw] : members_) {
    if (key != name) continue;
    if (raw.size() >= 2 && raw.front() == '"') {
      const std::string_view inside = raw.substr(1, raw.size() - 2);
      if (inside.find('\\') == std::string_view::npos) return inside;
      if (!unescape(inside, storage)) throw std::runtime_error("Mensagem inválida.");
      return storage;
    }
    const JsonParseResult value = parse_json_text(raw);
    if (value.status != JsonParseStatus::Ok) throw std::runtime_error("Mensagem inválida.");
    storage = json_value_text(value.value);
    return storage;
  }
  GetJsonField(Json::object(), name);  // raises "Campo <name> nao encontrado."
  return {};
}

}  // namespace norvane
