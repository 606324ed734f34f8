#include <memory>
#include <string>
#include <vector>

#include "RoutingFixture.h"
#include "datamodule/SalesCallback.h"
#include "platform/GravaLog.h"

namespace {

using norvane::Json;

struct Call {
  TRESTRequestMethod method;
  std::string url;
  std::string body;
};

class CallbackTest : public RoutingTest {
 protected:
  void SetUp() override {
    RoutingTest::SetUp();
    probe_.CompanyId() = 7;
    dm_.SetExecuteRequest([this](TRESTRequestMethod method, const std::string& url, const TArrayParamRequest&,
                                 const std::string& body) {
      calls_.push_back({method, url, body});
      if (!transport_error_.empty()) throw ERestRequestError("Request Error " + transport_error_);
      return std::make_unique<TRESTResponse>(answer_);
    });
  }
  static Json Result() {
    return Json::parse(R"({"type":"result","status":"approved","message":"ok","transaction_data":[{"sale_id":42}]})");
  }
  std::string LogText() {
    std::ifstream file(norvane::service_log_file());
    return std::string(std::istreambuf_iterator<char>(file), {});
  }
  std::vector<Call> calls_;
  TRESTResponse answer_{201, "Created", R"({"data":1234})"};
  std::string transport_error_;
};

TEST_F(CallbackTest, PostsTheResultToTheBaseAddressWithOneSlash) {
  const std::string token = GenerateJWT(ConfiguredTokenSecret());
  for (const std::string base : {"https://vendas.example/api", "https://vendas.example/api/"}) {
    probe_.CallbackUrl() = base;
    Json result = Result();
    EXPECT_TRUE(dm_.SendTransactionCallback(result));
    EXPECT_EQ(calls_.back().url, "https://vendas.example/api/v1/sales/tef/callback/" + token);
    EXPECT_EQ(calls_.back().method, TRESTRequestMethod::rmPOST);
    EXPECT_EQ(calls_.back().body, norvane::write_json(Result()));  // before payment_id was added
    EXPECT_EQ(norvane::write_json(result["transaction_data"][0]), R"({"sale_id":42,"payment_id":1234,"company_id":7})");
  }
  EXPECT_EQ(probe_.CallbackUrl(), "https://vendas.example/api/");
}

TEST_F(CallbackTest, TheBackEndsAnswerDecides) {
  struct Case {
    TRESTResponse answer;
    bool accepted;
    std::int64_t payment_id;
    std::string log;  // a line the log must hold ("" for none)
  };
  const std::vector<Case> cases = {
      {{201, "Created", R"({"data":1234})"}, true, 1234, ""},
      {{200, "OK", R"({"data":"987"})"}, true, 987, ""},
      {{204, "No Content", ""}, true, 0, ""},
      {{200, "OK", R"({"id":5})"}, true, 0, ""},
      {{201, "Created", R"({"data":12.5})"}, true, 0, "sem id de pagamento inteiro"},
      {{200, "OK", "<html>ok</html>"}, true, 0, "sem um objeto JSON"},
      {{422, "Unprocessable Entity", R"({"message":"Venda já paga"})"}, false, 0,
       "Erro ao registrar transação na API: Code: 422 - Message: Venda já paga"},
      {{502, "Bad Gateway", "<html>bad gateway</html>"}, false, 0, "Erro ao registrar transação na API: 502 - Bad Gateway"},
      {{500, "Internal Server Error", ""}, false, 0, "Erro ao registrar transação na API: 500 - Internal Server Error"},
      {{302, "Found", ""}, false, 0, "Erro ao registrar transação na API: 302 - Found"},
  };
  probe_.CallbackUrl() = "https://vendas.example/api/";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer.Content);
    answer_ = c.answer;
    channel_.sent.clear();
    Json result = Result();
    EXPECT_EQ(dm_.SendTransactionCallback(result), c.accepted);
    EXPECT_EQ(result["transaction_data"][0]["payment_id"], c.payment_id);
    EXPECT_EQ(result["transaction_data"][0]["company_id"], 7);
    // A refusal is told to the client, with the back-end's status and message, as a
    // transport failure is; an acceptance sends nothing here.
    const std::string logged = "Erro ao registrar transação na API: ";
    if (c.accepted) {
      EXPECT_TRUE(channel_.sent.empty());
    } else {
      ASSERT_EQ(c.log.rfind(logged, 0), 0u);
      EXPECT_EQ(channel_.sent, std::vector<std::string>{
                                   ErrorReply("Erro ao registrar transação: " + c.log.substr(logged.size()))});
    }
    if (!c.log.empty()) {
      EXPECT_NE(LogText().find(c.log), std::string::npos);
    }
  }
}

TEST_F(CallbackTest, NoAnswerIsLoggedAndToldToTheClient) {
  probe_.CallbackUrl() = "";
  transport_error_ = "Connection refused";
  Json result = Result();
  EXPECT_FALSE(dm_.SendTransactionCallback(result));
  EXPECT_EQ(calls_.back().url.rfind("v1/sales/tef/callback/", 0), 0u);
  EXPECT_EQ(channel_.sent, std::vector<std::string>{
                               ErrorReply("Erro ao registrar transação: Request Error Connection refused")});
  const std::string log = LogText();
  EXPECT_NE(log.find("Erro ao registrar transação na API: Request Error Connection refused"), std::string::npos);
  EXPECT_NE(log.find(R"("payment_id":0,"company_id":7)"), std::string::npos);
}

TEST_F(CallbackTest, SetTransactionDataValueWritesTheFirstElementOnly) {
  Json result = Json::parse(R"({"transaction_data":[{"a":1,"b":2},{"a":9}]})");
  EXPECT_TRUE(TDmSitef::SetTransactionDataValue(result, "a", "texto"));
  EXPECT_TRUE(TDmSitef::SetTransactionDataValue(result, "c", nullptr));
  EXPECT_TRUE(TDmSitef::SetTransactionDataValue(result, "d", 2.5));
  EXPECT_EQ(norvane::write_json(result), R"({"transaction_data":[{"b":2,"a":"texto","c":null,"d":2.5},{"a":9}]})");
  for (const char* text : {R"({})", R"({"transaction_data":[]})", R"({"transaction_data":{}})"}) {
    Json other = Json::parse(text);
    EXPECT_FALSE(TDmSitef::SetTransactionDataValue(other, "a", 1)) << text;
    EXPECT_EQ(norvane::write_json(other), text);
  }
}

}  // namespace
