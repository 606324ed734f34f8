// The standard manager's key-value response: which fields each file gives.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tef/RiZedIzAdeClass.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

// A response read from lines given in any order (the file layer sorts them).
std::unique_ptr<TRiZedIzAdeRespTXT> resposta(const std::vector<std::string>& linhas) {
  auto r = std::make_unique<TRiZedIzAdeRespTXT>();
  r->Conteudo().AssignLinhas(linhas);
  r->ConteudoToProperty();
  return r;
}

TDateTime data(int y, int m, int d, int h = 0, int n = 0, int s = 0) {
  TDateTime v = 0;
  EXPECT_TRUE(TryEncodeDateTime(y, m, d, h, n, s, 0, v));
  return v;
}

TEST(TefRespTXT, EveryFieldOfTheTableIsReadFromItsKey) {
  int ano, mes, dia;
  DecodeDate(Now(), ano, mes, dia);
  const auto r = resposta({
      "999-999 = 0",
      "000-000 = CRT",
      "001-000 = 42",
      "002-000 = 123",
      "003-000 = 1050",
      "004-000 = 0",
      "005-000 = <CMC7>",
      "006-000 = F",
      "007-000 = 12345678909",
      "008-000 = 31122024",
      "009-000 = 0",
      "010-000 = REDE",
      "011-000 = 10",
      "012-000 = 000777",
      "013-000 = AUT1",
      "014-000 = 15",
      "015-000 = 0102030405",
      "016-000 = 0203040506",
      "017-000 = 1",
      "018-000 = 0",
      "022-000 = 05062024",
      "023-000 = 101112",
      "024-000 = 01072024",
      "025-000 = 000555",
      "026-000 = 0304050607",
      "027-000 = FIN1",
      "030-000 = TRANSA\xC7\xC3O APROVADA",  // Windows-1252, as the manager writes it
      "031-000 = CLIENTE",
      "032-000 = AUTENT",
      "033-000 = 001",
      "034-000 = 1234",
      "035-000 = 5",
      "036-000 = 98765",
      "037-000 = 4",
      "038-000 = 000321",
      "039-000 = 7",
      "040-000 = VISA",
      "707-000 = 1100",
      "708-000 = 200",
      "709-000 = 50",
      "899-001 = S",
      "899-002 = 03",
      "899-003 = 2",
  });
  EXPECT_EQ(r->Header(), "CRT");
  EXPECT_EQ(r->ID(), 42);
  EXPECT_EQ(r->DocumentoVinculado(), "123");
  EXPECT_EQ(r->ValorTotal(), Currency::FromCents(1050));
  EXPECT_EQ(r->fpMoeda, 0);
  EXPECT_EQ(r->fpCMC7, "<CMC7>");
  EXPECT_EQ(r->fpTipoPessoa, 'F');
  EXPECT_EQ(r->fpDocumentoPessoa, "12345678909");
  EXPECT_EQ(r->fpDataCheque, data(2024, 12, 31));
  EXPECT_EQ(r->fpStatusTransacao, "0");
  EXPECT_EQ(r->Rede(), "REDE");
  EXPECT_EQ(r->fpTipoTransacao, 10);
  EXPECT_EQ(r->NSU(), "000777");
  EXPECT_EQ(r->fpCodigoAutorizacaoTransacao, "AUT1");
  EXPECT_EQ(r->fpNumeroLoteTransacao, 15);
  EXPECT_EQ(r->fpDataHoraTransacaoHost, data(ano, 2, 1, 3, 4, 5));
  EXPECT_EQ(r->fpDataHoraTransacaoLocal, data(ano, 3, 2, 4, 5, 6));
  EXPECT_EQ(r->fpTipoParcelamento, 1);
  EXPECT_EQ(r->fpDataHoraTransacaoComprovante, data(2024, 6, 5, 10, 11, 12));
  EXPECT_EQ(r->fpDataPreDatado, data(2024, 7, 1));
  EXPECT_EQ(r->fpNSUTransacaoCancelada, "000555");
  EXPECT_EQ(r->fpDataHoraTransacaoCancelada, data(ano, 4, 3, 5, 6, 7));
  EXPECT_EQ(r->Finalizacao(), "FIN1");
  EXPECT_EQ(r->fpTextoEspecialOperador, "TRANSAÇÃO APROVADA");
  EXPECT_EQ(r->fpTextoEspecialCliente, "CLIENTE");
  EXPECT_EQ(r->fpAutenticacao, "AUTENT");
  EXPECT_EQ(r->fpBanco + "|" + r->fpAgencia + "|" + r->fpAgenciaDC + "|" + r->fpConta + "|" +
                r->fpContaDC + "|" + r->fpCheque + "|" + r->fpChequeDC,
            "001|1234|5|98765|4|000321|7");
  EXPECT_EQ(r->fpNomeAdministradora, "VISA");
  EXPECT_EQ(r->fpValorOriginal, Currency::FromCents(1100));
  EXPECT_EQ(r->Saque(), Currency::FromCents(200));
  EXPECT_EQ(r->Desconto(), Currency::FromCents(50));
  EXPECT_TRUE(r->CNFEnviado());
  EXPECT_EQ(r->IndiceFPG_ECF(), "03");
  EXPECT_EQ(r->OrdemPagamento(), 2);
  EXPECT_EQ(r->fpTrailer, "0");
  EXPECT_TRUE(r->TrailerOk());
  EXPECT_TRUE(r->TransacaoAprovada());
}

TEST(TefRespTXT, ReceiptCopiesFollowTheirPrecedence) {
  struct Row {
    const char* caso;
    std::vector<std::string> linhas;
    int qtd;
    std::vector<std::string> via1, via2;
  };
  const Row rows[] = {
      {"029 lines, quotes stripped once at each end; the second copy repeats the first",
       {"028-000 = 2", "029-001 = \"\"A\"\"", "029-002 = B\""},
       2, {"\"A\"", "B"}, {"\"A\"", "B"}},
      {"710/711 replace 028/029",
       {"028-000 = 1", "029-001 = \"OLD\"", "710-000 = 2", "711-001 = \"N1\"", "711-002 = N2"},
       2, {"N1", "N2"}, {"N1", "N2"}},
      {"712/713 give the first copy when 710 is absent, quotes kept",
       {"712-000 = 1", "713-001 = \"X\""},
       1, {"\"X\""}, {"\"X\""}},
      {"712/713 are ignored once 710 was read",
       {"710-000 = 1", "711-001 = Y", "712-000 = 5", "713-001 = Z"},
       1, {"Y"}, {"Y"}},
      {"714/715 give the second copy",
       {"028-000 = 1", "029-001 = LOJA", "714-000 = 2", "715-001 = \"CLI1\"", "715-002 = CLI2"},
       1, {"LOJA"}, {"CLI1", "CLI2"}},
      {"no receipt", {"000-000 = ADM"}, 0, {}, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.caso);
    const auto r = resposta(row.linhas);
    EXPECT_EQ(r->fpQtdLinhasComprovante, row.qtd);
    EXPECT_THAT(r->ImagemComprovante1aVia(), ElementsAreArray(row.via1));
    EXPECT_THAT(r->ImagemComprovante2aVia(), ElementsAreArray(row.via2));
  }
}

TEST(TefRespTXT, StatusDecidesApproval) {
  struct Row {
    const char* status;
    bool aprovada;
  } const rows[] = {{"0", true},  {"00", true}, {" 000 ", true}, {"p1", true}, {"P1", true},
                    {"5", false}, {"", false},  {"0x", false},  {"P", false}, {"-1", false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.status);
    const auto r = resposta({std::string("009-000 = ") + row.status});
    EXPECT_EQ(r->TransacaoAprovada(), row.aprovada);
  }
  EXPECT_FALSE(resposta({"000-000 = CRT"})->TrailerOk());
}

TEST(TefRespTXT, TransactionTypeGivesKindOfPayment) {
  struct Row {
    const char* tipo;
    bool debito, credito;
    TRiZedIzAdeRespTipoOperacao operacao;
    TRiZedIzAdeRespParceladoPor parceladoPor;
  } const rows[] = {
      {"10", false, true, opAvista, parcNenhum},    {"11", false, true, opParcelado, parcNenhum},
      {"12", false, true, opParcelado, parcNenhum}, {"20", true, false, opAvista, parcNenhum},
      {"21", true, false, opPreDatado, parcNenhum}, {"22", true, false, opParcelado, parcNenhum},
      {"23", true, false, opAvista, parcNenhum},    {"25", true, false, opPreDatado, parcNenhum},
      {"40", true, false, opParcelado, parcADM},    {"30", false, false, opOutras, parcNenhum},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.tipo);
    const auto r = resposta({std::string("011-000 = ") + row.tipo, "017-000 = 7"});
    EXPECT_EQ(r->fpDebito, row.debito);
    EXPECT_EQ(r->fpCredito, row.credito);
    EXPECT_EQ(r->fpTipoOperacao, row.operacao);
    EXPECT_EQ(r->fpParceladoPor, row.parceladoPor);
  }
  EXPECT_EQ(resposta({"017-000 = 0"})->fpParceladoPor, parcLoja);
  EXPECT_EQ(resposta({"017-000 = 1"})->fpParceladoPor, parcADM);
}

TEST(TefRespTXT, InstallmentsAreBuiltFromTheirLinesUpToTheCount) {
  const auto r = resposta({"018-000 = 3", "019-001 = 10012025", "020-001 = 500",
                           "021-001 = N1", "019-002 = 10022025", "020-002 = 550"});
  ASSERT_EQ(r->Parcelas().Count(), 3);
  EXPECT_EQ(r->Parcelas()[0].Vencimento(), data(2025, 1, 10));
  EXPECT_EQ(r->Parcelas()[0].Valor(), Currency::FromCents(500));
  EXPECT_EQ(r->Parcelas()[0].NSUParcela(), "N1");
  EXPECT_EQ(r->Parcelas()[1].Valor(), Currency::FromCents(550));
  EXPECT_EQ(r->Parcelas()[2].Valor(), Currency());  // counted, but the file lists only two

  // Without a 019 line the count alone builds nothing; a hostile count is cut at what a
  // key can number.
  EXPECT_TRUE(resposta({"018-000 = 3", "020-001 = 500"})->Parcelas().Empty());
  EXPECT_EQ(resposta({"018-000 = 2000000000", "019-001 = 10012025"})->Parcelas().Count(),
            TRiZedIzAdeRespTXT::kMaiorParcela);
}

TEST(TefRespTXT, TenThousandReceiptLinesAreReadWhole) {
  std::vector<std::string> linhas{"000-000 = CRT", "028-000 = 10000"};
  for (int i = 0; i < 10000; ++i)
    linhas.push_back(FormataChave(29, 1 + i % 999) + " = L" + std::to_string(i));
  const auto r = resposta(linhas);
  EXPECT_EQ(r->fpQtdLinhasComprovante, 10000);
  EXPECT_EQ(r->ImagemComprovante1aVia().size(), 10000u);
  EXPECT_EQ(r->ImagemComprovante2aVia().size(), 10000u);
}

}  // namespace
