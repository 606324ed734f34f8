#include "platform/CardData.h"

#include <algorithm>
#include <cstddef>
#include <vector>

#include "platform/CodePage.h"

namespace norvane {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_hex(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_alnum(char c) { return is_digit(c) || is_letter(c); }

// ---- titles --------------------------------------------------------------------------------

// The title in lower-case ASCII: Windows-1252 (or UTF-8 made so) accented letters become their
// base letter, any other byte a blank, so "Código de Segurança" reads "codigo de seguranca".
std::string folded(const std::string& title) {
  static constexpr char kLatinLetters[] =
      "aaaaaaaceeeeiiiidnooooo ouuuuyts"   // 0xC0 to 0xDF
      "aaaaaaaceeeeiiiidnooooo ouuuuyty";  // 0xE0 to 0xFF
  const std::string ansi = is_valid_utf8(title) ? to_windows1252(title) : title;
  std::string out;
  out.reserve(ansi.size());
  for (char c : ansi) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 'A' && byte <= 'Z') out += static_cast<char>(byte - 'A' + 'a');
    else if (byte >= 0xC0) out += kLatinLetters[byte - 0xC0];
    else if (byte >= 0x80) out += ' ';
    else out += c;
  }
  return out;
}

std::vector<std::string> words_of(const std::string& text) {
  std::vector<std::string> words;
  std::string word;
  for (char c : text) {
    if (is_alnum(c)) {
      word += c;
    } else if (!word.empty()) {
      words.push_back(word);
      word.clear();
    }
  }
  if (!word.empty()) words.push_back(word);
  return words;
}

bool starts_with(const std::string& word, const char* prefix) { return word.rfind(prefix, 0) == 0; }

// ---- card numbers in any text --------------------------------------------------------------

constexpr std::size_t kShortestCard = 13;
constexpr std::size_t kLongestCard = 19;
// Hashes (32 hexadecimal digits and more) and instant-payment ids (26 to 35 letters and
// digits, the end-to-end id 32) are codes; a card number glued to this many letters is not
// something a library writes.
constexpr std::size_t kShortestCode = 32;
constexpr std::size_t kWidestGap = 3;

// Length of the escape at `at` ("\x0A" 4, "\u00E3" 6, "\n" and the like 2); 0 when none.
std::size_t escape_length(const std::string& t, std::size_t at) {
  if (t[at] != '\\' || at + 1 >= t.size()) return 0;
  const char kind = t[at + 1];
  auto hex_run = [&](std::size_t from, std::size_t count) {
    if (from + count > t.size()) return false;
    for (std::size_t i = from; i < from + count; ++i)
      if (!is_hex(t[i])) return false;
    return true;
  };
  if (kind == 'x' && hex_run(at + 2, 2)) return 4;
  if (kind == 'u' && hex_run(at + 2, 4)) return 6;
  return is_digit(kind) ? 0 : 2;
}

// A GUID (8-4-4-4-12 hexadecimal digits) starting at `at`, not inside a longer code.
bool guid_at(const std::string& t, std::size_t at) {
  static constexpr char kShape[] = "hhhhhhhh-hhhh-hhhh-hhhh-hhhhhhhhhhhh";
  constexpr std::size_t kLength = sizeof kShape - 1;
  if (at + kLength > t.size()) return false;
  if (at > 0 && is_alnum(t[at - 1])) return false;
  if (at + kLength < t.size() && is_alnum(t[at + kLength])) return false;
  for (std::size_t i = 0; i < kLength; ++i) {
    if (kShape[i] == '-' ? t[at + i] != '-' : !is_hex(t[at + i])) return false;
  }
  return true;
}

// The characters that belong to no number: escapes, GUIDs and long codes.
std::vector<bool> outside_numbers(const std::string& t) {
  std::vector<bool> outside(t.size(), false);
  for (std::size_t i = 0; i < t.size();) {
    const std::size_t escape = escape_length(t, i);
    const std::size_t length = escape > 0 ? escape : guid_at(t, i) ? 36 : 0;
    for (std::size_t k = i; k < i + length; ++k) outside[k] = true;
    i += length > 0 ? length : 1;
  }
  for (std::size_t i = 0; i < t.size();) {
    if (outside[i] || !is_alnum(t[i])) {
      ++i;
      continue;
    }
    std::size_t end = i;
    bool letters = false;
    while (end < t.size() && !outside[end] && is_alnum(t[end])) letters |= is_letter(t[end++]);
    if (letters && end - i >= kShortestCode)
      for (std::size_t k = i; k < end; ++k) outside[k] = true;
    i = end;
  }
  return outside;
}

struct Group {
  std::size_t begin, end;  // one run of digits: [begin, end)
};

bool luhn_valid(const std::string& digits) {
  int sum = 0;
  bool twice = false;
  for (auto it = digits.rbegin(); it != digits.rend(); ++it) {
    int d = *it - '0';
    if (twice && (d *= 2) > 9) d -= 9;
    sum += d;
    twice = !twice;
  }
  return sum % 10 == 0;
}

// yyyymmddhhnnss: the host's date and time of a payment, which the service reads back.
bool date_time_stamp(const std::string& digits) {
  if (digits.size() != 14) return false;
  auto number = [&](std::size_t at, std::size_t count) { return std::stoi(digits.substr(at, count)); };
  const int year = number(0, 4), month = number(4, 2), day = number(6, 2);
  return year >= 1900 && year <= 2099 && month >= 1 && month <= 12 && day >= 1 && day <= 31 &&
         number(8, 2) <= 23 && number(10, 2) <= 59 && number(12, 2) <= 59;
}

class Scrubber {
 public:
  Scrubber(const std::string& text, std::string& out) : t_(text), out_(out) {}

  // The groups of one run, joined by blanks or hyphens. Every span of whole groups that is a
  // card number is masked, overlapping ones too: in "4111 1111 1111 1111 12345" the card and
  // a span starting inside it ("1111 1111 1111 12345") may both pass the check, and masking
  // only one of them could leave the other's middle digits, the card's among them, showing.
  void Run(const std::vector<Group>& groups) {
    for (std::size_t first = 0; first < groups.size(); ++first) {
      std::string digits;
      for (std::size_t last = first; last < groups.size(); ++last) {
        digits.append(t_, groups[last].begin, groups[last].end - groups[last].begin);
        if (digits.size() > kLongestCard) break;
        if (digits.size() >= kShortestCard && luhn_valid(digits) && !(last == first && date_time_stamp(digits)))
          Mask(groups, first, last, digits.size());
      }
    }
  }

 private:
  // Reads the digits from the text as given and writes the asterisks into the copy, so that
  // overlapping spans are judged on the digits as they came.
  void Mask(const std::vector<Group>& groups, std::size_t first, std::size_t last, std::size_t digits) {
    std::size_t seen = 0;
    for (std::size_t k = first; k <= last; ++k) {
      for (std::size_t at = groups[k].begin; at < groups[k].end; ++at, ++seen)
        if (seen >= 6 && seen + 4 < digits) out_[at] = '*';
    }
  }

  const std::string& t_;
  std::string& out_;
};

}  // namespace

CardData card_data_of_title(const std::string& title) {
  const std::string text = folded(title);
  const std::vector<std::string> words = words_of(text);
  bool card = false, code = false, hidden = false;
  for (const std::string& w : words) {
    if (starts_with(w, "cart") || w == "card") card = true;
    if (w == "cod" || starts_with(w, "codig") || w == "code") code = true;
    if (starts_with(w, "venc") || starts_with(w, "valid") || starts_with(w, "expir") ||
        starts_with(w, "segur") || starts_with(w, "senha") || starts_with(w, "cvv") ||
        starts_with(w, "cvc") || starts_with(w, "passw") || w == "seg" || w == "pin" ||
        w == "mmaa" || w == "mmyy")
      hidden = true;
  }
  if (text.find("mm/aa") != std::string::npos || text.find("mm/yy") != std::string::npos) hidden = true;
  // A card's code ("Codigo do cartao") is its security code.
  if (hidden || (card && code)) return CardData::hidden;
  return card ? CardData::card_number : CardData::none;
}

std::string scrub_card_numbers(const std::string& text) {
  // Most texts (a log line of the dialogue, a field of a backup) hold too few digits for any
  // card number; they are given back without the search, which costs a pass of its own for
  // escapes, GUIDs and codes.
  if (static_cast<std::size_t>(std::count_if(text.begin(), text.end(), is_digit)) < kShortestCard) return text;
  std::string out = text;
  const std::vector<bool> outside = outside_numbers(text);
  Scrubber scrubber(text, out);
  std::vector<Group> run;
  std::size_t i = 0;
  while (i < text.size()) {
    if (outside[i] || !is_digit(text[i])) {
      ++i;
      continue;
    }
    std::size_t end = i;
    while (end < text.size() && !outside[end] && is_digit(text[end])) ++end;
    // A group joins the run when only blanks and hyphens, three at most ("4111 - 1111"),
    // stand between it and the last.
    if (!run.empty()) {
      bool joined = i - run.back().end <= kWidestGap;
      for (std::size_t k = run.back().end; joined && k < i; ++k)
        joined = (text[k] == ' ' || text[k] == '-') && !outside[k];
      if (!joined) {
        scrubber.Run(run);
        run.clear();
      }
    }
    run.push_back({i, end});
    i = end;
  }
  if (!run.empty()) scrubber.Run(run);
  return out;
}

}  // namespace norvane
