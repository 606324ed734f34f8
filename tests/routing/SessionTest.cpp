#include <gmock/gmock.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "RoutingFixture.h"
#include "platform/GravaLog.h"

using norvane::Json;
using Replies = std::vector<std::string>;

namespace {

TEST(TerminalNumber, FitsBranchToFourAndPdvToTwo) {
  const struct {
    std::string branch;
    int pdv;
    const char* expected;
  } cases[] = {
      {"1009", 0, "AG100900"}, {"7", 12, "AG000712"},  {"12345", 3, "AG123403"},
      {"1009", 123, "AG100912"}, {"1009", -1, "AG1009-1"}, {"", 0, "AG000000"},
      {"ção", 5, "AG0ção05"},  // counted in characters, not bytes
  };
  for (const auto& c : cases) EXPECT_EQ(BuildTerminalNumber(c.branch, c.pdv), c.expected) << c.branch << "/" << c.pdv;
}

class SessionTest : public RoutingTest {
 protected:
  // Starts a session with the valid claims changed by `edit` (a null value removes a claim).
  Replies StartWith(const Json& edit) {
    Json claims = ValidClaims();
    for (const auto& [name, value] : edit.items()) {
      if (value.is_null()) claims.erase(name);
      else claims[name] = value;
    }
    return RouteStart(StartMessage(claims));
  }
  std::string ServiceLog() {
    std::ifstream file(norvane::service_log_file());
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  }
};

TEST_F(SessionTest, CreatedReplyHasItsMembersInOrderAndExpiresInUtcHalfAnHourLater) {
  setenv("TZ", "America/Sao_Paulo", 1);  // a local zone three hours off UTC
  tzset();
  const Replies replies = RouteStart(StartMessage(ValidClaims()));
  unsetenv("TZ");
  tzset();
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_THAT(replies[0], testing::MatchesRegex(
                              R"(\{"type":"session","status":"created","message":"Sess\\u00E3o criada com sucesso\.",)"
                              R"("expiration":"2026-05-28T20:56:40\.250Z",)"
                              R"("session_uuid":"[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}",)"
                              R"("store_code":"00000001","terminal_number":"AG100903"\})"));
  EXPECT_EQ(probe_.SaleId(), 42);
  EXPECT_EQ(probe_.CompanyId(), 7);
  EXPECT_EQ(probe_.CallbackUrl(), "https://vendas.example/api/");
  EXPECT_EQ(probe_.TefClaims().ip_address, "10.0.0.5");
  EXPECT_EQ(probe_.TefClaims().operator_name, "CAIXA 1");
  EXPECT_FALSE(probe_.TlsConnection());
}

TEST_F(SessionTest, RefusedStartsAnswerTheFirstFaultInClaimOrderAndMakeNoSession) {
  const struct {
    const char* what;
    Json edit;
    std::string reply;
    bool logged;
  } cases[] = {
      {"no branch code", {{"secctional_code", nullptr}}, "Campo secctional_code nao encontrado.", true},
      {"TLS without store CNPJ", {{"connection_type", "TLS"}, {"store_cnpj", nullptr}},
       "Campo store_cnpj nao encontrado.", true},
      {"TLS without registration token",
       {{"connection_type", "TLS"}, {"store_cnpj", "1"}, {"tef_cnpj", "2"}},
       "Campo registration_token nao encontrado.", true},
      {"ip_address is read before operator", {{"operator", nullptr}, {"ip_address", nullptr}},
       "Campo ip_address nao encontrado.", true},
      {"TEF claims are read before sale_id", {{"additional_parameters", nullptr}, {"sale_id", nullptr}},
       "Campo additional_parameters nao encontrado.", true},
      {"no sale_id", {{"sale_id", nullptr}}, "Campo sale_id nao encontrado.", true},
      {"company_id is read before sale_id is checked", {{"sale_id", 0}, {"company_id", nullptr}},
       "Campo company_id nao encontrado.", true},
      {"sale_id 0", {{"sale_id", 0}}, "ID de venda não informado.", false},
      {"negative sale_id", {{"sale_id", "-5"}}, "ID de venda não informado.", false},
      {"sale_id with a letter", {{"sale_id", "12a"}}, "'12a' não é um valor inteiro válido", true},
      {"sale_id beyond 32 bits", {{"sale_id", 4294967296ll}}, "'4294967296' não é um valor inteiro válido", true},
      {"fractional sale_id", {{"sale_id", 1.5}}, "'1.5' não é um valor inteiro válido", true},
      {"company_id not a number", {{"company_id", "sete"}}, "'sete' não é um valor inteiro válido", true},
      {"blank callback_url", {{"callback_url", " \t "}}, "URL de callback não informada.", false},
      {"no callback_url", {{"callback_url", nullptr}}, "Campo callback_url nao encontrado.", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(StartWith(c.edit), Replies{ErrorReply(c.reply)}) << c.what;
    EXPECT_EQ(probe_.Sessions().Count(), 0u) << c.what;
    const bool in_log = ServiceLog().find("Erro ao iniciar sessão: " + c.reply) != std::string::npos;
    EXPECT_EQ(in_log, c.logged) << c.what;
  }
}

TEST_F(SessionTest, SaleIdZeroStillKeepsTheTefClaims) {
  EXPECT_EQ(StartWith({{"sale_id", 0}, {"store_code", "00000099"}}), Replies{ErrorReply("ID de venda não informado.")});
  EXPECT_EQ(probe_.TefClaims().store_code, "00000099");
}

TEST_F(SessionTest, TlsClaimsKeepOnlyCnpjDigits) {
  const Replies replies = StartWith({{"connection_type", "TLS"},
                                     {"store_cnpj", "12.345.678/0001-90"},
                                     {"tef_cnpj", "98.765.432/0001-10"},
                                     {"registration_token", "AB12-CD34"},
                                     {"sale_id", "42"}});
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_THAT(replies[0], testing::HasSubstr(R"("status":"created")"));
  EXPECT_TRUE(probe_.TlsConnection());
  EXPECT_EQ(probe_.TefClaims().store_cnpj, "12345678000190");
  EXPECT_EQ(probe_.TefClaims().tef_cnpj, "98765432000110");
  EXPECT_EQ(probe_.TefClaims().registration_token, "AB12-CD34");
}

TEST_F(SessionTest, TokenFaultsGetTheirOwnReplies) {
  const std::string good = GenerateJWT(std::string(kSharedTokenSecret), ValidClaims());
  const std::string wrong_secret = GenerateJWT("another secret", ValidClaims());
  auto start = [&](const std::string& token) {
    return Route(R"({"route":"/session/start","type":"session","token":")" + token + "\"}");
  };
  EXPECT_EQ(start(wrong_secret), Replies{ErrorReply("Acesso não autorizado.")});
  EXPECT_EQ(start(good.substr(0, good.rfind('.'))),
            Replies{ErrorReply("Token inválido: o token deve ter três partes separadas por ponto.")});
  EXPECT_EQ(Route(R"({"route":"/session/start","type":"session","token":["a","b"]})"),
            Replies{ErrorReply("Token inválido: o token deve ter três partes separadas por ponto.")});
  EXPECT_EQ(probe_.Sessions().Count(), 0u);
}

TEST_F(SessionTest, SessionIsExpiredExactlyAtItsExpiry) {
  const std::string uuid = StartSession();
  const std::string probe = R"({"route":"/nothing","session_uuid":")" + uuid + "\"}";
  clock_ += std::chrono::seconds(1800) - std::chrono::milliseconds(1);
  EXPECT_EQ(Route(probe), Replies{});  // still live: an unknown route gets no answer
  clock_ += std::chrono::milliseconds(1);
  EXPECT_EQ(Route(probe), Replies{ErrorReply("Sessão expirada.")});
  EXPECT_EQ(Route(probe), Replies{ErrorReply("Sessão inválida.")});  // removed by the check
}

TEST_F(SessionTest, EachStartMakesAnIndependentSession) {
  const std::string first = StartSession();
  const std::string second = StartSession();
  ASSERT_NE(first, second);
  const std::string finish = R"({"route":"/session/finish","type":"session","session_uuid":")";
  EXPECT_EQ(Route(finish + first + "\"}").size(), 1u);
  EXPECT_EQ(Route(R"({"route":"/nothing","session_uuid":")" + second + "\"}"), Replies{});
  EXPECT_EQ(Route(finish + first + "\"}"), Replies{ErrorReply("Sessão inválida.")});
}

TEST_F(SessionTest, LongExpiredSessionsAreDroppedWhileRecentOnesStillReportExpired) {
  const std::string old_session = StartSession();
  clock_ += std::chrono::hours(25);
  const std::string recent = StartSession();
  clock_ += std::chrono::hours(1);
  StartSession();
  EXPECT_EQ(probe_.Sessions().Count(), 2u);  // the 25-hour-old one is gone
  EXPECT_EQ(Route(R"({"route":"/x","session_uuid":")" + old_session + "\"}"), Replies{ErrorReply("Sessão inválida.")});
  EXPECT_EQ(Route(R"({"route":"/x","session_uuid":")" + recent + "\"}"), Replies{ErrorReply("Sessão expirada.")});
}

TEST_F(SessionTest, TokenTimesAreHonouredWithAMinuteOfLeeway) {
  const std::int64_t now = 1780000000;  // the fixture's clock, in whole seconds
  const Replies refused{ErrorReply("Acesso não autorizado.")};
  struct Case {
    const char* name;
    Json times;
    bool accepted;
  } cases[] = {
      {"no exp (tokens of back-ends in use)", Json::object(), true},
      {"exp ahead", {{"exp", now + 600}}, true},
      {"exp passed within the leeway", {{"exp", now - 60}}, true},
      {"exp passed beyond the leeway", {{"exp", now - 61}}, false},
      {"exp long passed", {{"exp", 1700000000}}, false},
      {"nbf within the leeway", {{"nbf", now + 60}}, true},
      {"nbf beyond the leeway", {{"nbf", now + 120}}, false},
      {"exp that is not a number", {{"exp", "tomorrow"}}, false},
  };
  for (const Case& c : cases) {
    Json claims = ValidClaims();
    for (const auto& [name, value] : c.times.items()) claims[name] = value;
    const Replies replies = RouteStart(StartMessage(claims));
    ASSERT_EQ(replies.size(), 1u) << c.name;
    if (c.accepted) {
      EXPECT_NE(replies[0].find("\"status\":\"created\""), std::string::npos) << c.name << ": " << replies[0];
    } else {
      EXPECT_EQ(replies, refused) << c.name;
    }
  }
}

TEST_F(SessionTest, AConfiguredSecretReplacesTheBuiltInOne) {
  std::ofstream(folder_ + "/" + norvane::exe_base_name() + ".ini")
      << "[sitef]\npdv_number=3\njwt_secret=only this workstation's secret\n";
  auto start = [&](const std::string& secret) {
    Json message = Json::object();
    message["route"] = "/session/start";
    message["type"] = "session";
    message["token"] = GenerateJWT(secret, ValidClaims());
    return RouteStart(norvane::write_json(message));
  };
  EXPECT_EQ(start(std::string(kSharedTokenSecret)), Replies{ErrorReply("Acesso não autorizado.")});
  const Replies replies = start("only this workstation's secret");
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_NE(replies[0].find("\"status\":\"created\""), std::string::npos) << replies[0];
}

TEST_F(SessionTest, AConfigurationThatCannotBeReadRefusesSessionsInsteadOfTakingTheBuiltInKey) {
  const std::string ini = folder_ + "/" + norvane::exe_base_name() + ".ini";
  // What a rewrite cut short by a full disk or a crash leaves, and a file nobody can read.
  const struct {
    const char* what;
    std::function<void()> leave;
    const char* logged;
  } cases[] = {
      {"empty", [&] { std::ofstream(ini, std::ios::trunc); }, "está vazio"},
      {"zeros", [&] { std::ofstream(ini, std::ios::binary) << std::string(64, '\0'); }, "contém bytes nulos"},
      {"a folder", [&] { std::filesystem::remove(ini); std::filesystem::create_directory(ini); }, "não pôde ser lido"},
  };
  for (const auto& c : cases) {
    c.leave();
    EXPECT_EQ(RouteStart(StartMessage(ValidClaims())),
              Replies{ErrorReply("A configuração do serviço não pôde ser lida; nenhuma sessão é aberta até que ela "
                                 "seja corrigida (veja o log do serviço).")})
        << c.what;
    EXPECT_NE(ServiceLog().find("O arquivo de configuração " + ini + " " + c.logged), std::string::npos) << c.what;
    EXPECT_THROW(ConfiguredTokenSecret(), std::runtime_error) << c.what;
    std::filesystem::remove(ini);
  }
  // Mended (here: gone, so every key takes its default), sessions open again.
  const Replies replies = RouteStart(StartMessage(ValidClaims()));
  ASSERT_FALSE(replies.empty());
  EXPECT_NE(replies.back().find("\"status\":\"created\""), std::string::npos) << replies.back();
}

TEST_F(SessionTest, OnlyAStartThatLeavesTheLibraryAsItIsIsAnsweredAtOnce) {
  // The first start initialises the library: it is left to the operation thread untouched.
  EXPECT_FALSE(dm_.RouteQuickly(StartMessage(ValidClaims())));
  EXPECT_TRUE(channel_.Sent().empty());
  EXPECT_EQ(probe_.Sessions().Count(), 0u);
  ASSERT_FALSE(StartSession().empty());

  const struct {
    const char* edit;
    bool at_once;
  } cases[] = {
      {R"({})", true},
      {R"({"sale_id":43,"operator":"CAIXA 2"})", true},
      {R"({"ip_address":"10.0.0.6"})", false},   // another server: initialised again
      {R"({"store_code":"00000002"})", false},
      {R"({"secctional_code":"2000"})", false},  // another terminal number
      {R"({"connection_type":"TLS","store_cnpj":"1","tef_cnpj":"2","registration_token":"new"})", false},
      {R"({"store_code":null})", false},  // the usual path says what is missing
  };
  for (const auto& c : cases) {
    Json claims = ValidClaims();
    const Json edit = Json::parse(c.edit);
    for (const auto& [name, value] : edit.items()) {
      if (value.is_null()) claims.erase(name);
      else claims[name] = value;
    }
    channel_.sent.clear();
    const std::size_t sessions = probe_.Sessions().Count();
    const TSessionTefClaims before = probe_.TefClaims();
    EXPECT_EQ(dm_.RouteQuickly(StartMessage(claims)), c.at_once) << c.edit;
    if (c.at_once) {
      ASSERT_EQ(channel_.Sent().size(), 1u) << c.edit;
      EXPECT_NE(channel_.Sent()[0].find("\"status\":\"created\""), std::string::npos) << channel_.Sent()[0];
      EXPECT_EQ(probe_.Sessions().Count(), sessions + 1) << c.edit;
      EXPECT_EQ(probe_.SaleId(), claims["sale_id"].get<int>()) << c.edit;
    } else {
      EXPECT_TRUE(channel_.Sent().empty()) << c.edit;
      EXPECT_EQ(probe_.Sessions().Count(), sessions) << c.edit;
      EXPECT_EQ(probe_.TefClaims().ip_address, before.ip_address) << c.edit;
      EXPECT_EQ(probe_.TefClaims().operator_name, before.operator_name) << c.edit;
    }
  }
}

TEST_F(SessionTest, RoutesThatUseTheLibraryOrWaitAreNeverAnsweredAtOnce) {
  const std::string session = StartSession();
  for (const char* route : {"/transaction", "/transaction/cancel", "/initialize", "/pinpad/status", "/print"}) {
    channel_.sent.clear();
    EXPECT_FALSE(dm_.RouteQuickly(std::string(R"({"route":")") + route + R"(","type":"x","session_uuid":")" + session + "\"}"))
        << route;
    EXPECT_TRUE(channel_.Sent().empty()) << route;
  }
  // Refusals and the session's own routes are answered where they arrive, as the router answers them.
  const struct {
    std::string message;
    std::string reply;
  } answered[] = {
      {R"({"route":"/transaction/status","session_uuid":"nope"})", ErrorReply("Sessão inválida.")},
      {R"({"route":"/nowhere","session_uuid":"nope"})", ErrorReply("Sessão inválida.")},
      {R"([1,2])", ErrorReply(TDmSitef::kMensagemInvalida)},
      {R"({"route":"/session/finish","type":"session","session_uuid":")" + session + "\"}",
       R"({"type":"session","status":"finished","message":"Sess\u00E3o finalizada com sucesso."})"},
  };
  for (const auto& c : answered) {
    channel_.sent.clear();
    EXPECT_TRUE(dm_.RouteQuickly(c.message)) << c.message;
    EXPECT_EQ(channel_.Sent(), Replies{c.reply}) << c.message;
  }
  EXPECT_EQ(probe_.Sessions().GetSession(session), nullptr);
}

TEST(SessionList, KeepsAtMostItsBoundDroppingTheOldestFirst) {
  TSessionList list;
  const auto expiry = norvane::now() + std::chrono::minutes(30);
  for (std::size_t i = 0; i <= TSessionList::kMaxSessions; ++i) list.AddItem("S" + std::to_string(i), expiry);
  EXPECT_EQ(list.Count(), TSessionList::kMaxSessions);
  EXPECT_EQ(list.GetSession("S0"), nullptr);
  ASSERT_NE(list.GetSession("S1"), nullptr);
  EXPECT_EQ(list.GetSession("S1")->FSession_UUID, "S1");
  EXPECT_NE(list.GetSession("S" + std::to_string(TSessionList::kMaxSessions)), nullptr);
  EXPECT_EQ(list.GetSession("s1"), nullptr);  // identifiers are compared exactly
  list.DeleteItem("S1");
  EXPECT_EQ(list.GetSession("S1"), nullptr);
  EXPECT_EQ(list.Count(), TSessionList::kMaxSessions - 1);
}

}  // namespace
