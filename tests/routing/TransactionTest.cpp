#include <string>
#include <thread>
#include <vector>

#include "RoutingFixture.h"

namespace {

class TransactionTest : public RoutingTest {
 protected:
  void SetUp() override {
    RoutingTest::SetUp();
    session_ = StartSession();
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
  std::string session_;
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
    EXPECT_FALSE(dm_.fProcessando.load()) << members;
  }
  EXPECT_EQ(Starts(), 0);
  TDateTime when = 0, expected = 0;
  ASSERT_TRUE(ParseTransactionDate("2025-11-26 15:48:41", when));
  ASSERT_TRUE(TryEncodeDateTime(2025, 11, 26, 15, 48, 41, 0, expected));
  EXPECT_EQ(when, expected);
}

// Two requests at once, as from two connections: the guard lets exactly one through, and
// the one dropped changes nothing of the running one.
TEST_F(TransactionTest, OnlyOneOfTwoRacingRequestsRuns) {
  SetStandIn({"Scenario=abort"});  // the card is awaited until the operation is cancelled
  dm_.SetClientAnswerTimeout(std::chrono::milliseconds(50));
  const std::string first = Request(R"("type":"transaction","operation":2,"payer_name":"A","transaction_value":1,"sale_id":11)");
  const std::string second = Request(R"("type":"transaction","operation":2,"payer_name":"B","transaction_value":2,"sale_id":22)");
  std::thread a([&] { dm_.StartTransaction(first, nullptr); });
  std::thread b([&] { dm_.StartTransaction(second, nullptr); });
  // Whichever got in waits for the card; the client goes and the wait ends it.
  while (Starts() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const std::string payer = dm_.fPayerName;
  const int sale = dm_.fVenda_Id;
  EXPECT_TRUE((payer == "A" && sale == 11) || (payer == "B" && sale == 22)) << payer << sale;
  channel_.Disconnect();
  a.join();
  b.join();
  EXPECT_EQ(Starts(), 1);
  EXPECT_EQ(dm_.fPayerName, payer);
  EXPECT_FALSE(dm_.fProcessando.load());
  EXPECT_EQ(Journal().find(R"(transacao="confirmada")"), std::string::npos);
}

}  // namespace
