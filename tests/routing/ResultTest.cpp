#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "RoutingFixture.h"
#include "tef/RiZedIzAdeTef.h"

namespace {

using norvane::Json;

// Runs a test in a fixed time zone (UTC-3 all year) and restores the process's own.
class ZoneGuard {
 public:
  explicit ZoneGuard(const char* zone) {
    if (const char* old = std::getenv("TZ")) old_ = old, had_ = true;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ZoneGuard() {
    if (had_) setenv("TZ", old_.c_str(), 1); else unsetenv("TZ");
    tzset();
  }

 private:
  std::string old_;
  bool had_ = false;
};

class ResultTest : public RoutingTest {
 protected:
  void SetUp() override {
    RoutingTest::SetUp();
    probe_.SaleId() = 42;
    probe_.PayerName() = "Ana Lúcia";
    probe_.CancellationNsu() = "654321";
    R.fpRede = "REDE";
    R.fpNumeroCartao = "411111******1111";
    R.fpInstituicao = "VISA";
    R.fpModalidadePagto = "0200";
    R.fpModalidadePagtoDescrita = "Crédito à vista";
    R.fpCodigoHASH = "ABCDEF";
    R.fpNSUComprovante = "412345";
    R.fpCodigoAutorizacaoTransacao = "A1B2C3";
    R.fpQtdParcelas = 0;
    R.fpValorTotal = Currency::FromRaw(1892300);
    ASSERT_TRUE(TryEncodeDateTime(2025, 11, 26, 12, 48, 41, 0, R.fpDataHoraTransacaoHost));
    R.fpImagemComprovante1aVia = {"VIA CLIENTE", "  VALOR: 189,23  "};
    R.fpImagemComprovante2aVia = {"VIA LOJA"};
  }
  TRiZedIzAdeCliSiTef& Manager() { return dynamic_cast<TRiZedIzAdeCliSiTef&>(dm_.Tef().TEFList()[0]); }
  std::string Element() { return norvane::write_json(dm_.BuildTransactionData(R)); }

  TRiZedIzAdeRespCliSiTef R;
  ZoneGuard zone_{"<-03>3"};
};

const std::string kPaymentMembers =
    R"("payer_name":"Ana L\u00FAcia","institution":"VISA","payment_method_code":"0200",)"
    R"("payment_method_description":"Cr\u00E9dito \u00E0 vista","hash":"ABCDEF","nsu_code":"412345",)"
    R"("authorization_code":"A1B2C3","establishment_code":"A1B2C3","number_of_installments":0,)"
    R"("transaction_value":189.23,"transaction_date_time":"2025-11-26T15:48:41Z","gateway":"Software Express",)";
const std::string kReceipt =
    R"("receipt":[{"copy_number":1,"data":["VIA CLIENTE","  VALOR: 189,23  "]},{"copy_number":2,"data":["VIA LOJA"]}])";

TEST_F(ResultTest, ElementsFollowTheOperationRule) {
  R.fpCredito = true;
  EXPECT_EQ(Element(), R"({"sale_id":42,"operation":"credit","card_number":"411111******1111","operator":"REDE",)" +
                           kPaymentMembers + kReceipt + "}");
  R.fpDebito = true;  // both: debit wins
  EXPECT_EQ(dm_.BuildTransactionData(R)["operation"], "debit");
  R.fpDebito = R.fpCredito = false;
  EXPECT_EQ(Element(), R"({"sale_id":42,"operation":"pix","operator":"REDE",)" + kPaymentMembers + kReceipt + "}");

  Manager().SetCancelandoTransacaoTEF(true);
  R.fpCredito = true;
  EXPECT_EQ(Element(), R"({"sale_id":42,"operation":"cancellation","operator":"REDE","canceled_nsu":"654321",)" +
                           kPaymentMembers + kReceipt + "}");

  R.SetIndiceFPG_ECF("113");  // a reprint wins over everything
  EXPECT_EQ(Element(), R"({"sale_id":42,"operation":"reprint",)" + kReceipt + "}");
  R.SetIndiceFPG_ECF("112");
  EXPECT_EQ(dm_.BuildTransactionData(R)["operation"], "cancellation");
}

TEST_F(ResultTest, AmountsWithoutTrailingZerosAndReceiptCopiesThatExist) {
  const std::vector<std::pair<std::int64_t, std::string>> amounts = {
      {1892300, "189.23"}, {105000, "10.5"}, {70000, "7"}, {1, "0.0001"}, {0, "0"}};
  for (const auto& [raw, text] : amounts) {
    R.fpValorTotal = Currency::FromRaw(raw);
    EXPECT_EQ(norvane::write_json(dm_.BuildTransactionData(R)["transaction_value"]), text);
  }
  R.fpImagemComprovante2aVia.clear();
  EXPECT_EQ(norvane::write_json(dm_.BuildTransactionData(R)["receipt"]),
            R"([{"copy_number":1,"data":["VIA CLIENTE","  VALOR: 189,23  "]}])");
  R.fpImagemComprovante1aVia.clear();
  EXPECT_EQ(norvane::write_json(dm_.BuildTransactionData(R)["receipt"]), "[]");
}

TEST_F(ResultTest, CashRegisterAnswersAndStateChanges) {
  std::string answer;
  dm_.RiZedIzAdeInfoECF(ineEstadoECF, answer);
  EXPECT_EQ(answer, "L");  // no manager selected yet
  dm_.Tef().SetGPAtual(gpCliSiTef);
  dm_.RiZedIzAdeInfoECF(ineEstadoECF, answer);
  EXPECT_EQ(answer, "R");  // asked during the initialisation
  probe_.Amount() = 105000;
  dm_.RiZedIzAdeInfoECF(ineTotalAPagar, answer);
  EXPECT_EQ(answer, "10,50");

  int printed = -1;
  dm_.RiZedIzAdeComandaECFImprimeVia(trVinculado, 2, {"LINHA 1", "LINHA 2"}, printed);
  EXPECT_EQ(printed, 1);
  EXPECT_EQ(channel_.sent.back(), R"({"type":"receipt","copy_number":2,"data":["LINHA 1","LINHA 2"]})");

  channel_.sent.clear();
  dm_.RiZedIzAdeMudaEstadoResp(respAguardandoResposta);
  dm_.RiZedIzAdeMudaEstadoResp(respAguardandoResposta);
  dm_.RiZedIzAdeMudaEstadoResp(respProcessando);
  EXPECT_EQ(channel_.sent, (std::vector<std::string>{R"({"type":"can_cancel","can_cancel":true})",
                                                     R"({"type":"can_cancel","can_cancel":false})"}));
  probe_.OweStop(TDmSitef::TStopReason::CashierCancel);
  dm_.RiZedIzAdeMudaEstadoReq(reqIniciando);
  EXPECT_FALSE(probe_.StopStands());
}

}  // namespace
