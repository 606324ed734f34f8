#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "RoutingFixture.h"

namespace {

using norvane::Json;

class TransactionTest : public RoutingTest {
 protected:
  void SetUp() override {
    RoutingTest::SetUp();
    session_ = StartSession();
    // The back-end accepts every payment and records what it was sent; nothing leaves the machine.
    dm_.SetExecuteRequest([this](TRESTRequestMethod, const std::string& url, const TArrayParamRequest&,
                                 const std::string& body) {
      posted_.push_back(url + "\n" + body);
      return std::make_unique<TRESTResponse>(TRESTResponse{201, "Created", R"({"data":1234})"});
    });
    channel_.sent.clear();
  }
  std::string Request(const std::string& members) {
    return R"({"route":"/transaction","session_uuid":")" + session_ + R"(",)" + members + "}";
  }
  int Starts() {
    const std::string journal = Journal();
    int count = 0;
    for (auto at = journal.find("IniciaFuncaoSiTefInterativo("); at != std::string::npos;
         at = journal.find("IniciaFuncaoSiTefInterativo(", at + 1))
      ++count;
    return count;
  }
  // An answer of the dialogue: a menu line or "Sim"/"Não" in `response`.
  static std::string Answer(const std::string& kind, const std::string& response) {
    return R"({"route":"/transaction","type":")" + kind + R"(","response":")" + response + R"(","back_menu":false})";
  }
  std::string session_;
  std::vector<std::string> posted_;
};

TEST_F(TransactionTest, RequestsAreCheckedBeforeAnythingStarts) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"("type":"Transaction","operation":3)", "O campo type diferente de transaction"},
      {R"("type":"transaction","payer_name":"x")", "Campo operation nao encontrado."},
      {R"("type":"transaction","operation":3)", "Campo payer_name nao encontrado."},
      {R"("type":"cancellation","operation":200,"cancellation_nsu":" ","transaction_date":"2025-11-26")",
       "O campo \"cancellation_nsu\" não foi preenchido."},
      {R"("type":"cancellation","operation":200,"cancellation_nsu":"1","transaction_date":"")",
       "O campo \"transaction_date\" não foi preenchido."},
      {R"("type":"cancellation","operation":200,"cancellation_nsu":"1","transaction_date":"26/11/2025")",
       "O campo \"transaction_date\" não foi preenchido corretamente."},
      {R"("type":"cancellation","operation":200,"cancellation_nsu":"1","transaction_date":"2025-11-26 15:48")",
       "O campo \"transaction_date\" não foi preenchido corretamente."},
      {R"("type":"cancellation","operation":200,"cancellation_nsu":"1","transaction_date":"2025-02-30")",
       "O campo \"transaction_date\" não foi preenchido corretamente."},
      {R"("type":"transaction","operation":"3x","payer_name":"x")", "'3x' não é um valor inteiro válido"},
      {R"("type":"transaction","operation":3,"payer_name":"x","transaction_value":"1.234,56")",
       "'1.234,56' não é um valor numérico válido"},
      {R"("type":"transaction","operation":3,"payer_name":"x")", "Valor inválido"},
  };
  for (const auto& [members, reply] : cases) {
    EXPECT_EQ(Route(Request(members)), std::vector<std::string>{ErrorReply(reply)}) << members;
    EXPECT_FALSE(dm_.OperationRunning()) << members;
  }
  EXPECT_EQ(Starts(), 0);
  TDateTime when = 0, expected = 0;
  ASSERT_TRUE(ParseTransactionDate("2025-11-26 15:48:41", when));
  ASSERT_TRUE(TryEncodeDateTime(2025, 11, 26, 15, 48, 41, 0, expected));
  EXPECT_EQ(when, expected);
}

// Two requests at once, as from two connections: the guard lets exactly one through, and
// the other is told to wait and changes nothing of the running one.
TEST_F(TransactionTest, OnlyOneOfTwoRacingRequestsRuns) {
  SetStandIn({"Scenario=abort"});  // the card is awaited until the operation is cancelled
  const std::string first = Request(R"("type":"transaction","operation":2,"payer_name":"A","transaction_value":1,"sale_id":11)");
  const std::string second = Request(R"("type":"transaction","operation":2,"payer_name":"B","transaction_value":2,"sale_id":22)");
  std::mutex mutex;
  std::condition_variable done;
  int returned = 0;
  auto run = [&](const std::string& request) {
    dm_.StartTransaction(request, nullptr);
    std::lock_guard<std::mutex> lock(mutex);
    ++returned;
    done.notify_all();
  };
  std::thread a(run, first);
  std::thread b(run, second);
  // The one that got in asks how the card is entered and waits for the client; the other
  // has returned, told to wait.
  channel_.WaitUntilAsked();
  {
    std::unique_lock<std::mutex> lock(mutex);
    done.wait(lock, [&] { return returned == 1; });
  }
  EXPECT_EQ(Starts(), 1);
  const std::string payer = probe_.PayerName();
  const int sale = probe_.SaleId();
  EXPECT_TRUE((payer == "A" && sale == 11) || (payer == "B" && sale == 22)) << payer << sale;
  EXPECT_TRUE(dm_.OperationRunning());
  channel_.Disconnect();
  a.join();
  b.join();
  EXPECT_EQ(Starts(), 1);
  EXPECT_EQ(probe_.PayerName(), payer);
  EXPECT_FALSE(dm_.OperationRunning());
  EXPECT_EQ(Finalisations(), std::vector<std::string>{});  // nothing approved, nothing settled
  const auto sent = channel_.Sent();
  EXPECT_EQ(std::count(sent.begin(), sent.end(), ErrorReply(TDmSitef::kOperacaoEmAndamento)), 1);
  EXPECT_EQ(std::count_if(sent.begin(), sent.end(), [](const std::string& m) { return m.find(R"("type":"error")") != std::string::npos; }), 1);
}


// A whole credit sale as the client takes it: the two menus answered, the back-end told and
// accepting, the payment confirmed in the library and the result with the receipts.
TEST_F(TransactionTest, AnApprovedSaleIsReportedConfirmedAndAnswered) {
  // Three installments: the component picks the plan and types the count the request gave;
  // the client only confirms them.
  channel_.Queue(Answer("question", "Sim"));
  dm_.StartTransaction(Request(R"("type":"transaction","operation":3,"payer_name":"Ana","transaction_value":"10,50","sale_id":42,"number_of_installments":3)"), nullptr);

  std::vector<std::string> kinds;
  Json result;
  for (const auto& text : channel_.Sent()) {
    const Json message = norvane::parse_json_text(text).value;
    const std::string kind = message.value("type", "");
    if (kinds.empty() || kinds.back() != kind) kinds.push_back(kind);
    if (kind == "question") {
      EXPECT_EQ(message["message"], "Confirma 3 parcelas de R$ 3,50?");
    }
    if (kind == "result") result = message;
  }
  EXPECT_EQ(kinds, (std::vector<std::string>{"message", "question", "message", "result"}));
  ASSERT_TRUE(result.is_object());
  EXPECT_EQ(result["status"], "approved");
  ASSERT_EQ(result["transaction_data"].size(), 1u);
  const Json& element = result["transaction_data"][0];
  EXPECT_EQ(element["sale_id"], 42);
  EXPECT_EQ(element["operation"], "credit");
  EXPECT_EQ(element["payer_name"], "Ana");
  EXPECT_EQ(element["transaction_value"], 10.5);
  EXPECT_EQ(element["number_of_installments"], 3);
  EXPECT_EQ(element["payment_id"], 1234);
  EXPECT_EQ(element["receipt"].size(), 2u);

  // The back-end was sent the same result before the payment id was known.
  ASSERT_EQ(posted_.size(), 1u);
  EXPECT_EQ(posted_[0].rfind("https://vendas.example/api/v1/sales/tef/callback/", 0), 0u) << posted_[0];
  const Json body = norvane::parse_json_text(posted_[0].substr(posted_[0].find('\n') + 1)).value;
  EXPECT_EQ(body["status"], "approved");
  EXPECT_FALSE(body["transaction_data"][0].contains("payment_id"));

  EXPECT_EQ(Finalisations(), std::vector<std::string>{R"(confirma=1 transacao="confirmada")"}) << Journal();
  EXPECT_FALSE(dm_.OperationRunning());
}

TEST_F(TransactionTest, ASessionStartedOnTheListenersThreadCarriesTheVeryNextPayment) {
  // The library is initialised as this token asks (SetUp's start): this start is answered
  // where it arrived, from another thread, and its sale is the payment's.
  Json claims = ValidClaims();
  claims["sale_id"] = 43;
  bool quick = false;
  std::thread([&] { quick = dm_.RouteQuickly(StartMessage(claims)); }).join();
  ASSERT_TRUE(quick);
  ASSERT_EQ(channel_.Sent().size(), 1u);
  session_ = norvane::parse_json_text(channel_.Sent()[0]).value.value("session_uuid", "");
  ASSERT_FALSE(session_.empty()) << channel_.Sent()[0];
  channel_.sent.clear();

  channel_.Queue(Answer("question", "Sim"));
  dm_.RouteTargeting(Request(R"("type":"transaction","operation":3,"payer_name":"Ana","transaction_value":"10,50","sale_id":43,"number_of_installments":3)"));
  Json result;
  for (const auto& text : channel_.Sent()) {
    const Json message = norvane::parse_json_text(text).value;
    if (message.value("type", "") == "result") result = message;
  }
  ASSERT_TRUE(result.is_object()) << channel_.Sent().back();
  EXPECT_EQ(result["status"], "approved");
  EXPECT_EQ(result["transaction_data"][0]["sale_id"], 43);
  ASSERT_EQ(posted_.size(), 1u);
  EXPECT_EQ(Finalisations(), std::vector<std::string>{R"(confirma=1 transacao="confirmada")"}) << Journal();
}

// How a sale that is not approved ends for the client: one result, and the library's
// error shown first as a confirmation.
TEST_F(TransactionTest, ASaleThatFailsEndsUnauthorizedOrCanceledByItsCause) {
  struct Case {
    std::vector<std::string> stand_in;
    std::vector<std::string> answers;
    std::string shown;   // the confirmation of the library's error
    std::string status;
  };
  const std::string ok = R"({"route":"/transaction","type":"confirmation"})";
  const std::vector<Case> cases = {
      {{"Scenario=declined"}, {ok}, "Negada pelo autorizador (5)", "unauthorized"},
      {{"Scenario=declined", "DeclineCode=51"}, {ok}, "Negada pelo autorizador (51)", "unauthorized"},
      // The library's own notice of the decline comes first, then the positive result.
      {{"Scenario=unauthorized"}, {ok, ok}, "Unauthorized", "unauthorized"},
      // The client cancels while the card is awaited.
      {{"Scenario=abort", "PollCount=1000000"}, {R"({"route":"/transaction/cancel","type":"cancellation"})", ok},
       "Operação cancelada pelo operador", "canceled"},
      {{"Scenario=noconnection"}, {ok, ok},
       "Não foi possivel realizar a conexão com o servidor SiTef\r\nPor favor tente mais tarde...", "canceled"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stand_in.back());
    SetStandIn(c.stand_in);
    std::filesystem::remove(folder_ + "/dll/CliSiTef.journal");
    channel_.sent.clear();
    for (const auto& answer : c.answers) channel_.Queue(answer);
    dm_.StartTransaction(Request(R"("type":"transaction","operation":3,"payer_name":"Ana","transaction_value":5)"), nullptr);
    const auto sent = channel_.Sent();
    ASSERT_FALSE(sent.empty());
    // Every result names its payment by the key the service made for it.
    const Json result = Json::parse(sent.back());
    EXPECT_EQ(sent.back(), R"({"type":"result","status":")" + c.status +
                               R"(","message":"Transa\u00E7\u00E3o TEF n\u00E3o realizada.","idempotency_key":")" +
                               result.value("idempotency_key", std::string()) + R"("})");
    EXPECT_EQ(result.value("idempotency_key", std::string()).size(), 36u);
    EXPECT_EQ(std::count_if(sent.begin(), sent.end(), [](const std::string& m) { return m.find(R"("type":"result")") != std::string::npos; }), 1);
    {
      Json shown = Json::object();
      shown["type"] = "confirmation";
      shown["message"] = c.shown;
      shown["options"] = Json::array();
      shown["can_cancel"] = false;
      EXPECT_NE(std::find(sent.begin(), sent.end(), norvane::write_json(shown)), sent.end());
    }
    EXPECT_FALSE(dm_.OperationRunning());
    EXPECT_EQ(probe_.StopStands(), c.status == "canceled");
    EXPECT_EQ(Finalisations(), std::vector<std::string>{}) << Journal();  // nothing approved, nothing settled
  }
}

}  // namespace
