#include "platform/CardData.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using norvane::CardData;

TEST(CardData, FieldsAreKnownByTheLibrarysCodeOrByTheQuestionsTitle) {
  const std::vector<std::pair<int, CardData>> codes = {
      {512, CardData::card_number}, {2021, CardData::card_number}, {513, CardData::hidden},
      {514, CardData::hidden},      {500, CardData::hidden},       {505, CardData::none},
      {515, CardData::none},        {0, CardData::none},           {-1, CardData::none}};
  for (const auto& [code, kind] : codes) EXPECT_EQ(norvane::card_data_of_field(code), kind) << code;

  const std::vector<std::pair<std::string, CardData>> titles = {
      {"Digite o numero do cartao", CardData::card_number},
      {"Forneca o N\xFAmero do Cart\xE3o", CardData::card_number},  // Windows-1252
      {"Número do cartão", CardData::card_number},                   // UTF-8
      {"Data de vencimento do cartao (MMAA)", CardData::hidden},
      {"Validade do cartao", CardData::hidden},
      {"Codigo de seguranca", CardData::hidden},
      {"Código de segurança (CVV)", CardData::hidden},
      {"Digite a SENHA", CardData::hidden},
      // Asked under a code of the library's own, in its own words.
      {"Digite o cartao", CardData::card_number},
      {"CARTAO", CardData::card_number},
      {"Card number", CardData::card_number},
      {"Ultimos 4 digitos do cartao", CardData::card_number},
      {"Venc. (MMAA)", CardData::hidden},
      {"Validade MM/AA", CardData::hidden},
      {"Data de expiracao", CardData::hidden},
      {"Cod. seg.", CardData::hidden},
      {"CVV2", CardData::hidden},
      {"Codigo do cart\xE3o", CardData::hidden},  // a card's code is its security code
      {"Digite o PIN", CardData::hidden},
      {"Forneca o numero de parcelas", CardData::none},
      {"Forneca o numero do documento (NSU)", CardData::none},
      {"Data da transacao (DDMMAAAA)", CardData::none},
      {"Codigo de barras", CardData::none},
      {"Segunda via", CardData::none},
      {"Digite o valor", CardData::none},
      {"", CardData::none}};
  for (const auto& [title, kind] : titles) EXPECT_EQ(norvane::card_data_of_title(title), kind) << title;
}

TEST(CardData, NumbersKeepFirstSixAndLastFourOtherDataBecomesAsterisks) {
  struct Case {
    CardData kind;
    std::string value, masked;
  } const cases[] = {
      {CardData::card_number, "4111111111111111", "411111******1111"},
      {CardData::card_number, "4111111111111", "411111***1111"},
      {CardData::card_number, "4111111111111111111", "411111*********1111"},
      {CardData::card_number, "411111******1111", "411111******1111"},  // already masked
      {CardData::card_number, "1111", "1111"},                          // nothing to hide
      {CardData::hidden, "1230", "****"},
      {CardData::hidden, "123", "***"},
      {CardData::hidden, "", ""},
      {CardData::none, "1230", "1230"},
  };
  for (const Case& c : cases) EXPECT_EQ(norvane::mask_card_data(c.kind, c.value), c.masked) << c.value;
}

// Texts a library may write anywhere (a message, a title, a field of its own, a receipt),
// as they reach the log, a backup (escaped) or the kept results (JSON).
TEST(CardData, EveryTextWrittenDownHasItsCardNumbersMasked) {
  struct Case {
    const char* why;
    std::string text, written;
  } const cases[] = {
      {"16 digits in a message", "Cartao 4111111111111111 lido", "Cartao 411111******1111 lido"},
      {"groups of four", "Confirma 4111 1111 1111 1111?", "Confirma 4111 11** **** 1111?"},
      {"hyphens", "4111-1111-1111-1111", "4111-11**-****-1111"},
      {"wider gaps", "4111  1111 - 1111 1111", "4111  11** - **** 1111"},
      {"13 digits", "CARTAO:4222222222222", "CARTAO:422222***2222"},
      {"19 digits", "6011000000000000001", "601100*********0001"},
      {"14 digits", "Diners 3056 930902 5904", "Diners 3056 93**** 5904"},
      {"glued to letters", "CARTAO4111111111111111VENC1230", "CARTAO411111******1111VENC1230"},
      {"after an escaped line break", "VIA CLIENTE\\x0A4111111111111111\\x0A", "VIA CLIENTE\\x0A411111******1111\\x0A"},
      {"after a JSON escape", "\"N\\u00BA4111111111111111\\n5555555555554444\"",
       "\"N\\u00BA411111******1111\\n555555******4444\""},
      {"two cards", "4111111111111111 5555555555554444", "411111******1111 555555******4444"},
      {"a number before the card", "2 4111 1111 1111 1111", "2 4111 11** **** 1111"},
      // "1111 1111 1111 10001" passes the check too: both are masked, the card's digits with them.
      {"a number after the card", "4111 1111 1111 1111 10001", "4111 11** **** **** *0001"},
      {"Windows-1252 around", "N\xBA do cart\xE3o: 4111111111111111.", "N\xBA do cart\xE3o: 411111******1111."},
      // Nothing else changes.
      {"Luhn check fails", "NSU 4111111111111112", "NSU 4111111111111112"},
      {"12 digits", "NSU HOST 260612412345", "NSU HOST 260612412345"},
      {"20 digits", "41111111111111110000", "41111111111111110000"},
      {"four blanks apart", "4111    1111 1111 1111", "4111    1111 1111 1111"},
      {"already masked", "VISA 411111******1111", "VISA 411111******1111"},
      {"a date and time", "105-000 = 20260612101101", "105-000 = 20260612101101"},
      {"a GUID", "ABCDEFAB-CDEF-ABCD-8901-234567890122", "ABCDEFAB-CDEF-ABCD-8901-234567890122"},
      {"a hash", "abcdef4111111111111111abcdef0123", "abcdef4111111111111111abcdef0123"},
      {"dates, times, amounts", "[12/06/2026 10:11:12] 10,50 em 12-06-2026", "[12/06/2026 10:11:12] 10,50 em 12-06-2026"},
      {"empty", "", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(norvane::scrub_card_numbers(c.text), c.written) << c.why;
  // Not a date and time (month 13), so a number like any other.
  EXPECT_EQ(norvane::scrub_card_numbers("20261312101102"), "202613****1102");
}

}  // namespace
