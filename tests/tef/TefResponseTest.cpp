// The response record and the pending list's totals.
#include <filesystem>
#include <fstream>

#include "TefManagerFixture.h"

namespace tef_test {
namespace {

using ::testing::ElementsAre;

Currency money(const char* text) {
  // "12.345" -> 12.3450, exact (no binary floating point on the way).
  std::string s = text;
  const bool negative = !s.empty() && s[0] == '-';
  if (negative) s.erase(0, 1);
  const size_t dot = s.find('.');
  std::string units = dot == std::string::npos ? s : s.substr(0, dot);
  std::string fraction = dot == std::string::npos ? "" : s.substr(dot + 1);
  fraction.resize(4, '0');
  const int64_t raw = std::stoll(units) * 10000 + std::stoll(fraction);
  return Currency::FromRaw(negative ? -raw : raw);
}

std::unique_ptr<TRiZedIzAdeResp> payment(const char* valor, const char* saque = "0",
                                         const char* desconto = "0", int ordem = 0) {
  auto r = std::make_unique<TRiZedIzAdeResp>();
  r->fpValorTotal = money(valor);
  r->fpSaque = money(saque);
  r->fpDesconto = money(desconto);
  if (ordem != 0) r->SetOrdemPagamento(ordem);
  return r;
}

TEST(TefResponse, ControlKeysAreWrittenIntoTheContent) {
  TRiZedIzAdeResp r;
  r.SetCNFEnviado(false);
  r.SetIndiceFPG_ECF("02");
  r.SetOrdemPagamento(0);
  EXPECT_THAT(r.Conteudo().Conteudo(), ElementsAre("899-001 = N", "899-002 = 02", "899-003 = 0"));

  r.SetCNFEnviado(true);
  r.SetIndiceFPG_ECF("");
  r.SetOrdemPagamento(12);
  EXPECT_THAT(r.Conteudo().Conteudo(), ElementsAre("899-001 = S", "899-003 = 12"));
  EXPECT_TRUE(r.CNFEnviado());
  EXPECT_EQ(r.IndiceFPG_ECF(), "");
  EXPECT_EQ(r.OrdemPagamento(), 12);

  // Writing the backup path only stores it, trimmed.
  r.SetArqBackup("  /tmp/TEF/RiZedIzAde_CliSiTef_001.tef ");
  EXPECT_EQ(r.ArqBackup(), "/tmp/TEF/RiZedIzAde_CliSiTef_001.tef");
  EXPECT_EQ(r.Conteudo().Count(), 2);
}

TEST(TefResponse, ControlKeysAreReadBackFromAnyText) {
  struct Row {
    const char* linhas[3];
    bool cnf;
    const char* indice;
    int ordem;
  };
  const Row rows[] = {
      {{"899-001 = S", "899-002 = 01", "899-003 = 3"}, true, "01", 3},
      {{"899-001 = s", "899-002 = 01 ", "899-003 = 999"}, true, "01 ", 999},
      {{"899-001 = N", "", ""}, false, "", 0},
      {{"899-001 = SIM", "899-003 = abc", ""}, false, "", 0},
      {{"899-002 = \xC7", "899-003 = 99999999999", ""}, false, "Ç", 0},
  };
  for (const Row& row : rows) {
    FakeResp r;
    std::vector<std::string> linhas;
    for (const char* l : row.linhas)
      if (*l) linhas.push_back(l);
    r.Conteudo().AssignLinhas(linhas);
    r.ConteudoToProperty();
    SCOPED_TRACE(row.linhas[0]);
    EXPECT_EQ(r.CNFEnviado(), row.cnf);
    EXPECT_EQ(r.IndiceFPG_ECF(), row.indice);
    EXPECT_EQ(r.OrdemPagamento(), row.ordem);
  }
}

TEST(TefResponse, IndexTextTravelsAsWindows1252) {
  TRiZedIzAdeResp r;
  r.SetIndiceFPG_ECF("Cartão");
  EXPECT_THAT(r.Conteudo().Conteudo(), ElementsAre("899-002 = Cart\xE3o"));
  TRiZedIzAdeResp copia;
  copia.Assign(r);
  EXPECT_EQ(copia.IndiceFPG_ECF(), "Cartão");
}

TEST(TefResponse, ClearResetsFieldsButKeepsKindAndCodes) {
  TRiZedIzAdeResp r;
  r.Conteudo().GravaInformacao(0, 0, "CRT");
  r.Parcelas().Add(std::make_unique<TRiZedIzAdeRespParcela>());
  r.fpImagemComprovante1aVia = {"linha"};
  r.fpNSU = "123";
  r.fpValorTotal = money("10.5");
  r.fpTipoPessoa = 'F';
  r.fpParceladoPor = parcLoja;
  r.fpTipoOperacao = opParcelado;
  r.SetCNFEnviado(true);
  r.SetArqBackup("/x");
  r.fpArqRespPendente = "/y";
  r.fpTipoGP = gpCliSiTef;
  r.fpPendente = true;
  r.fpBandeira = "VISA";

  r.Clear();

  EXPECT_EQ(r.Conteudo().Count(), 0);
  EXPECT_EQ(r.Parcelas().Count(), 0);
  EXPECT_TRUE(r.ImagemComprovante1aVia().empty());
  EXPECT_EQ(r.NSU(), "");
  EXPECT_EQ(r.ValorTotal(), Currency());
  EXPECT_EQ(r.fpTipoPessoa, ' ');
  EXPECT_EQ(r.fpParceladoPor, parcNenhum);
  EXPECT_EQ(r.fpTipoOperacao, opOutras);
  EXPECT_FALSE(r.CNFEnviado());
  EXPECT_EQ(r.ArqBackup(), "");
  EXPECT_EQ(r.fpArqRespPendente, "");
  EXPECT_EQ(r.TipoGP(), gpCliSiTef);
  EXPECT_TRUE(r.Pendente());
  EXPECT_EQ(r.fpBandeira, "VISA");
}

TEST(TefResponse, AssignRebuildsTheFieldsByTheTargetsVariant) {
  FakeResp source;
  source.Conteudo().GravaInformacao(0, 0, "CRT");
  source.Conteudo().GravaInformacao(12, 0, "4711");
  source.ConteudoToProperty();
  source.SetIndiceFPG_ECF("01");
  source.SetArqBackup("/tef/RiZedIzAde_CliSiTef_001.tef");
  source.fpTipoGP = gpCliSiTef;
  source.fpCodigoHASH = "not in the lines";

  TRiZedIzAdeResp plain;
  plain.Assign(source);
  EXPECT_EQ(plain.Conteudo().Conteudo(), source.Conteudo().Conteudo());
  EXPECT_EQ(plain.NSU(), "");  // the plain record does not read request keys
  EXPECT_EQ(plain.IndiceFPG_ECF(), "01");
  EXPECT_EQ(plain.ArqBackup(), source.ArqBackup());
  EXPECT_EQ(plain.TipoGP(), gpCliSiTef);

  FakeResp rich;
  rich.Assign(plain);
  EXPECT_EQ(rich.NSU(), "4711");
  EXPECT_EQ(rich.Header(), "CRT");
  EXPECT_EQ(rich.fpCodigoHASH, "");
}

TEST(TefResponse, LeArquivoOfAMissingFileRaisesAndLeavesItEmpty) {
  FakeResp r;
  r.Conteudo().GravaInformacao(12, 0, "1");
  r.ConteudoToProperty();
  const std::string missing =
      (std::filesystem::temp_directory_path() / "tef-no-such-response.tef").string();
  EXPECT_THROW(r.LeArquivo(missing), ERiZedIzAdeArquivo);
  EXPECT_EQ(r.Conteudo().Count(), 0);
  EXPECT_EQ(r.NSU(), "");
}

TEST(TefResponse, InstallmentsStartEmpty) {
  TRiZedIzAdeRespParcela p;
  EXPECT_EQ(p.Vencimento(), 0);
  EXPECT_EQ(p.Valor(), Currency());
  EXPECT_EQ(p.NSUParcela(), "");
  TRiZedIzAdeRespParcelas list;
  list.Add(std::make_unique<TRiZedIzAdeRespParcela>()).SetNSUParcela("2");
  list.Insert(0, std::make_unique<TRiZedIzAdeRespParcela>()).SetNSUParcela("1");
  EXPECT_EQ(list[0].NSUParcela(), "1");
  EXPECT_EQ(list[1].NSUParcela(), "2");
  EXPECT_THROW(list[2], std::out_of_range);
}

TEST(TefPendingTotals, TotalsRoundToTheEvenCent) {
  struct Row {
    const char* name;
    std::vector<std::function<std::unique_ptr<TRiZedIzAdeResp>()>> responses;
    const char* valor_total_a_pagar;
    const char* valor_dinheiro;
    const char* total_pago;
    const char* total_desconto;
    const char* saldo_restante;
  };
  const Row rows[] = {
      {"no payments", {}, "100", "0", "0", "0", "100"},
      {"two discounts", {[] { return payment("10", "0", "1.5"); }, [] { return payment("20", "0", "2"); }},
       "0", "0", "30", "-3.5", "-33.5"},
      {"one unregistered payment", {[] { return payment("60"); }}, "100", "0", "60", "0", "40"},
      {"the same payment registered", {[] { return payment("60", "0", "0", 1); }}, "100", "0",
       "60", "0", "100"},
      {"cash, cash-back and a registered payment",
       {[] { return payment("50", "10"); }, [] { return payment("30", "0", "0", 2); }}, "120",
       "20", "70", "0", "60"},
      {"half a cent goes down to the even cent", {[] { return payment("0.125"); }}, "1", "0",
       "0.12", "0", "0.88"},
      {"half a cent goes up to the even cent", {[] { return payment("0.135"); }}, "1", "0",
       "0.14", "0", "0.86"},
      {"discounts tie too", {[] { return payment("1", "0", "0.005"); }}, "1", "0", "1", "0",
       "0"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TRiZedIzAdeRespostasPendentes pendentes;
    for (const auto& make : row.responses) pendentes.Add(make());
    pendentes.SetValorTotalAPagar(money(row.valor_total_a_pagar));
    pendentes.SetValorDinheiro(money(row.valor_dinheiro));
    EXPECT_EQ(pendentes.TotalPago().Raw(), money(row.total_pago).Raw());
    EXPECT_EQ(pendentes.TotalDesconto().Raw(), money(row.total_desconto).Raw());
    EXPECT_EQ(pendentes.SaldoRestante().Raw(), money(row.saldo_restante).Raw());
  }
}

}  // namespace
}  // namespace tef_test
