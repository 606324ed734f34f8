// The card-number scrub and the title reading against any text a library may send: the
// scrub never changes the length, changes nothing but digits (each into "*"), and leaves no
// Luhn-valid run of 13 to 19 digits bare between two blanks, unless it is a date and time.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/CardData.h"

namespace {

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

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_alnum(char c) { return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  (void)norvane::card_data_of_title(text);

  const std::string scrubbed = norvane::scrub_card_numbers(text);
  if (scrubbed.size() != text.size()) std::abort();
  for (size_t i = 0; i < text.size(); ++i)
    if (scrubbed[i] != text[i] && !(is_digit(text[i]) && scrubbed[i] == '*')) std::abort();

  // A plain run of digits between blanks (no escape, code or GUID around it) is masked when
  // it is a card number.
  for (size_t i = 0; i < scrubbed.size();) {
    if (!is_digit(scrubbed[i])) {
      ++i;
      continue;
    }
    size_t end = i;
    while (end < scrubbed.size() && is_digit(scrubbed[end])) ++end;
    const std::string run = scrubbed.substr(i, end - i);
    const bool alone = (i == 0 || scrubbed[i - 1] == ' ') && (end == scrubbed.size() || scrubbed[end] == ' ') &&
                       (i < 2 || !is_alnum(scrubbed[i - 2])) && (end + 1 >= scrubbed.size() || !is_alnum(scrubbed[end + 1]));
    const bool stamp = run.size() == 14 && (run.rfind("19", 0) == 0 || run.rfind("20", 0) == 0);
    if (alone && !stamp && run.size() >= 13 && run.size() <= 19 && luhn_valid(run)) std::abort();
    i = end;
  }
  return 0;
}
