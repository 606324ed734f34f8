#pragma once
#include <string>

namespace norvane {

// What a field of the payment library carries, as far as writing it down goes: a card number
// may be kept masked (first six and last four digits), an expiry date, a security code or a
// password never (asterisks of the same length stand in for it).
enum class CardData { none, card_number, hidden };

// By the library's field code: 512 is the typed card number and 2021 the number the library
// hands back for the receipt; 513 the expiry date, 514 the security code, 500 a password.
inline CardData card_data_of_field(int field_type) {
  switch (field_type) {
    case 512:
    case 2021: return CardData::card_number;
    case 500:
    case 513:
    case 514: return CardData::hidden;
    default: return CardData::none;
  }
}

// By the title of a question, for a library that asks for card data under a code of its own
// ("Digite o cartao", "Venc. (MMAA)", "Cod. seg.", "Senha"). The title may be Windows-1252 or
// UTF-8, accented or not, abbreviated or not. A title that speaks of an expiry, a security
// code, a password or a card's code is `hidden`; one that speaks of a card otherwise is
// `card_number`. Masking a field that turns out not to be card data only costs detail in a
// log.
CardData card_data_of_title(const std::string& title);

// The card number as it may be shown: first six, asterisks, last four. Already masked numbers
// come out unchanged, and so does a text of ten characters or fewer (no card number is that
// short: it is the masked form some networks hand back, such as the last four digits alone).
inline std::string mask_card_number(const std::string& number) {
  if (number.size() <= 10) return number;
  return number.substr(0, 6) + std::string(number.size() - 10, '*') + number.substr(number.size() - 4);
}

inline std::string mask_card_data(CardData kind, const std::string& value) {
  switch (kind) {
    case CardData::card_number: return mask_card_number(value);
    case CardData::hidden: return std::string(value.size(), '*');
    case CardData::none: break;
  }
  return value;
}

// Every text the service writes down (logs, backups, kept results, the console) passes here,
// whatever the library called the field it came in: each run of 13 to 19 digits, blanks or
// hyphens (three at most) allowed between groups, that passes the Luhn check is masked as a
// card number (first six and last four digits kept, separators kept, the length unchanged).
// A number glued to more digits is none; one glued to letters still is. An escape ("\x0A",
// "\u00E3", "\n") ends a number: its hex digits are not part of it.
// Left as they are, because they are no card number and something reads them back: a date
// and time written yyyymmddhhmmss, a GUID, and digits inside a code of 32 or more letters
// and digits (a hash, an instant-payment id).
std::string scrub_card_numbers(const std::string& text);

}  // namespace norvane
