#pragma once
#include <string>

#include "platform/Text.h"

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
// ("Digite o numero do cartao", "Data de vencimento do cartao (MMAA)", "Codigo de seguranca",
// "Digite a senha"). The text may be Windows-1252 or UTF-8: only unaccented parts are looked
// for. Masking a field that turns out not to be card data only costs detail in a log.
inline CardData card_data_of_title(const std::string& title) {
  const std::string t = lower_ascii(title);
  auto has = [&](const char* part) { return t.find(part) != std::string::npos; };
  if (has("mero do cart")) return CardData::card_number;
  if (has("vencimento") || has("validade") || has("seguran") || has("cvv") || has("cvc") ||
      has("senha"))
    return CardData::hidden;
  return CardData::none;
}

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

}  // namespace norvane
