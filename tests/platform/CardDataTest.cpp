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
      {"Forneca o numero de parcelas", CardData::none},
      {"Forneca o numero do documento (NSU)", CardData::none},
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

}  // namespace
