// How the CliSiTef response records the dialogue's field codes and turns them into the
// response's fields.
#include <gtest/gtest.h>

#include <functional>

#include "tef/RiZedIzAdeTef.h"

namespace {

TDateTime date(int y, int m, int d) {
  TDateTime v = 0;
  EXPECT_TRUE(TryEncodeDate(y, m, d, v));
  return v;
}

struct Field {
  int code;
  int sequence;  // -1: recorded through GravaInformacao, as the dialogue does
  std::string value;
};

struct Row {
  const char* name;
  std::vector<Field> fields;
  std::function<void(const TRiZedIzAdeRespCliSiTef&)> check;
};

TEST(CliSiTefResponse, FieldCodesBecomeFields) {
  const Row rows[] = {
      {"credit in installments financed by the administrator", {{100, -1, "0203"}},
       [](const auto& r) {
         EXPECT_FALSE(r.fpDebito);
         EXPECT_TRUE(r.fpCredito);
         EXPECT_EQ(r.fpParceladoPor, parcADM);
         EXPECT_EQ(r.fpTipoOperacao, opParcelado);
         EXPECT_EQ(r.fpModalidadePagto, "0203");
       }},
      {"debit at sight", {{100, -1, "01"}},
       [](const auto& r) {
         EXPECT_TRUE(r.fpDebito);
         EXPECT_FALSE(r.fpCredito);
         EXPECT_EQ(r.fpTipoOperacao, opAvista);
       }},
      {"store-financed installments", {{100, -1, "0202"}},
       [](const auto& r) {
         EXPECT_EQ(r.fpParceladoPor, parcLoja);
         EXPECT_EQ(r.fpTipoOperacao, opParcelado);
       }},
      {"post-dated, then unknown form", {{100, -1, "0201"}},
       [](const auto& r) { EXPECT_EQ(r.fpTipoOperacao, opPreDatado); }},
      {"form that is not a number reads as at sight", {{100, -1, "02xx"}},
       [](const auto& r) { EXPECT_EQ(r.fpTipoOperacao, opAvista); }},
      {"form 7 is another kind", {{100, -1, "0207"}},
       [](const auto& r) { EXPECT_EQ(r.fpTipoOperacao, opOutras); }},
      {"host date-time fills all three", {{105, -1, "20261209153045"}},
       [](const auto& r) {
         TDateTime expected;
         ASSERT_TRUE(TryEncodeDateTime(2026, 12, 9, 15, 30, 45, 0, expected));
         EXPECT_DOUBLE_EQ(r.fpDataHoraTransacaoHost, expected);
         EXPECT_DOUBLE_EQ(r.fpDataHoraTransacaoComprovante, expected);
         EXPECT_DOUBLE_EQ(r.fpDataHoraTransacaoLocal, expected);
       }},
      {"identifiers and texts",
       {{131, -1, "REDE"}, {132, -1, "VISA"}, {133, -1, "123456"}, {134, -1, "654321"},
        {135, -1, "AUT01"}, {156, -1, "00005"}, {157, -1, "EST1"}, {800, -1, "HASH"},
        {2021, -1, "411111******1111"}, {516, -1, "999"}},
       [](const auto& r) {
         EXPECT_EQ(r.fpInstituicao, "REDE");
         EXPECT_EQ(r.fpBandeira, "VISA");
         EXPECT_EQ(r.fpNSU, "123456");
         EXPECT_EQ(r.fpNSUComprovante, "654321");
         EXPECT_EQ(r.fpCodigoAutorizacaoTransacao, "AUT01");
         EXPECT_EQ(r.fpRede, "00005");
         EXPECT_EQ(r.fpCodigoEstabelecimento, "EST1");
         EXPECT_EQ(r.fpCodigoHASH, "HASH");
         EXPECT_EQ(r.fpNumeroCartao, "411111******1111");
         EXPECT_EQ(r.fpNSUTransacaoCancelada, "999");
       }},
      {"total minus discount", {{899, 103, "1050"}, {4029, -1, "050"}},
       [](const auto& r) {
         EXPECT_EQ(r.ValorTotal(), Currency::FromCents(1000));
         EXPECT_EQ(r.Desconto(), Currency::FromCents(50));
       }},
      {"cash back is added to the total", {{899, 103, "1000"}, {130, -1, "2000"}},
       [](const auto& r) {
         EXPECT_EQ(r.Saque(), Currency::FromCents(2000));
         EXPECT_EQ(r.ValorTotal(), Currency::FromCents(3000));
       }},
      {"the component's own keys", {{899, 1, "s"}, {899, 2, "03"}, {899, 3, "2"}, {899, 100, "CRT"},
                                     {899, 101, "77"}, {899, 102, "000123"}},
       [](const auto& r) {
         EXPECT_TRUE(r.CNFEnviado());
         EXPECT_EQ(r.IndiceFPG_ECF(), "03");
         EXPECT_EQ(r.OrdemPagamento(), 2);
         EXPECT_EQ(r.Header(), "CRT");
         EXPECT_EQ(r.ID(), 77);
         EXPECT_EQ(r.DocumentoVinculado(), "000123");
       }},
      // 501 reads as the check operation sends it: 1 a company, 0 a person.
      {"company and cheque", {{501, -1, "1"}, {613, -1, "12345678901234567890ABCDEFGHIJ"}},
       [](const auto& r) {
         EXPECT_EQ(r.fpTipoPessoa, 'J');
         EXPECT_EQ(r.fpCheque, "ABCDEF");
         EXPECT_EQ(r.fpCMC7, "12345678901234567890ABCDEFGHIJ");
       }},
      {"natural person", {{501, -1, "0"}}, [](const auto& r) { EXPECT_EQ(r.fpTipoPessoa, 'F'); }},
      {"receipts with line feeds",
       {{121, -1, "COMPROVANTE\nLOJA\nVALOR 10,50\n"}, {122, -1, "VIA CLIENTE\nOK"}},
       [](const auto& r) {
         EXPECT_EQ(r.ImagemComprovante1aVia(),
                   (std::vector<std::string>{"COMPROVANTE", "LOJA", "VALOR 10,50"}));
         EXPECT_EQ(r.ImagemComprovante2aVia(), (std::vector<std::string>{"VIA CLIENTE", "OK"}));
         EXPECT_EQ(r.fpQtdLinhasComprovante, 3);
         EXPECT_TRUE(r.fMsgImpressao);
       }},
      {"no receipt", {{133, -1, "1"}},
       [](const auto& r) {
         EXPECT_EQ(r.fpQtdLinhasComprovante, 0);
         EXPECT_FALSE(r.fMsgImpressao);
       }},
      {"accented single-byte text reaches the fields as UTF-8", {{131, -1, "CART\xC3O"}},
       [](const auto& r) { EXPECT_EQ(r.fpInstituicao, "CART\xC3\x83O"); }},
      {"installments stack up; only QtdParcelas of them are built",
       {{505, -1, "2"}, {141, -1, "10012027"}, {141, -1, "10022027"}, {141, -1, "10032027"},
        {142, -1, "5000"}, {142, -1, "5025"}, {142, -1, "5050"}},
       [](const auto& r) {
         ASSERT_EQ(r.Parcelas().Count(), 2);
         EXPECT_DOUBLE_EQ(r.Parcelas()[0].Vencimento(), date(2027, 1, 10));
         EXPECT_EQ(r.Parcelas()[0].Valor(), Currency::FromCents(5000));
         EXPECT_DOUBLE_EQ(r.Parcelas()[1].Vencimento(), date(2027, 2, 10));
         EXPECT_EQ(r.Parcelas()[1].Valor(), Currency::FromCents(5025));
         EXPECT_EQ(r.Conteudo().Conteudo().size(), 7u);
       }},
      {"no installments without code 141", {{505, -1, "3"}, {142, -1, "5000"}},
       [](const auto& r) { EXPECT_EQ(r.Parcelas().Count(), 0); }},
      {"an absurd installment count builds no more than three-digit sequences",
       {{511, -1, "2000000000"}, {141, -1, "10012027"}},
       [](const auto& r) { EXPECT_EQ(r.Parcelas().Count(), TRiZedIzAdeRespCliSiTef::kMaiorSequencia); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TRiZedIzAdeRespCliSiTef resp;
    for (const Field& f : row.fields) {
      if (f.sequence < 0)
        resp.GravaInformacao(f.code, f.value);
      else
        resp.Conteudo().GravaInformacao(f.code, f.sequence, f.value);
    }
    resp.ConteudoToProperty();
    row.check(resp);
    EXPECT_TRUE(resp.TransacaoAprovada());
  }
}

TEST(CliSiTefResponse, ValuesAreStoredEscapedAndReadBackWhole) {
  TRiZedIzAdeRespCliSiTef resp;
  resp.GravaInformacao(121, "LINHA 1\nLINHA 2 = FIM\n");
  EXPECT_EQ(resp.Conteudo().LeInformacao(121, 0).AsString(), "LINHA 1\\x0ALINHA 2 = FIM\\x0A");
  resp.GravaInformacao(133, "111");
  resp.GravaInformacao(133, "222");  // a later value replaces the earlier one
  resp.ConteudoToProperty();
  EXPECT_EQ(resp.fpNSU, "222");
  EXPECT_EQ(resp.ImagemComprovante1aVia(), (std::vector<std::string>{"LINHA 1", "LINHA 2 = FIM"}));
}

TEST(CliSiTefResponse, ConteudoToPropertyStartsTheTotalsAfresh) {
  TRiZedIzAdeRespCliSiTef resp;
  resp.Conteudo().GravaInformacao(899, 103, "1000");
  resp.GravaInformacao(100, "01");
  resp.ConteudoToProperty();
  resp.ConteudoToProperty();  // the manager may run it again: nothing adds up twice
  EXPECT_EQ(resp.ValorTotal(), Currency::FromCents(1000));
  EXPECT_TRUE(resp.fpDebito);
}

}  // namespace

namespace {

TEST(CliSiTefResponse, ComponentKeysSurviveACopyAsTheyWereSet) {
  // The index is the application's text; written through its property and read back by the
  // CliSiTef response (as when the pending copy is made), it must come back the same.
  TRiZedIzAdeRespCliSiTef origem;
  origem.GravaInformacao(133, "123456");
  origem.SetIndiceFPG_ECF("Cartão 03");
  origem.SetOrdemPagamento(2);
  origem.SetCNFEnviado(true);
  TRiZedIzAdeRespCliSiTef copia;
  copia.Assign(origem);
  EXPECT_EQ(copia.IndiceFPG_ECF(), "Cartão 03");
  EXPECT_EQ(copia.OrdemPagamento(), 2);
  EXPECT_TRUE(copia.CNFEnviado());
  EXPECT_EQ(copia.NSU(), "123456");
}

}  // namespace
