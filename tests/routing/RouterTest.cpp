#include <string>
#include <vector>

#include "RoutingFixture.h"

namespace {

using Replies = std::vector<std::string>;

struct RouteCase {
  const char* what;
  std::string message;  // $LIVE, $EXPIRED name sessions the fixture made
  Replies expected;     // empty: the client is told nothing
};

std::string nested(int depth) {
  std::string text = R"({"route":"/version","x":)";
  for (int i = 0; i < depth; ++i) text += "[";
  for (int i = 0; i < depth; ++i) text += "]";
  return text + "}";
}

class RouterTest : public RoutingTest {
 protected:
  std::string Fill(std::string text) {
    for (const auto& [name, value] : {std::pair{std::string("$LIVE"), live_}, {std::string("$EXPIRED"), expired_}}) {
      for (auto at = text.find(name); at != std::string::npos; at = text.find(name)) text.replace(at, name.size(), value);
    }
    return text;
  }
  std::string live_ = "6F9619FF-8B86-4D11-B42D-00C04FC964FF";
  std::string expired_ = "0A1B2C3D-0000-4000-8000-000000000001";
};

TEST_F(RouterTest, AnswersEachRouteBySessionState) {

  const std::vector<RouteCase> cases = {
      {"a plain word is not JSON", "hello", {}},
      {"truncated JSON", R"({"route":"/version")", {}},
      {"a JSON array", R"(["/version"])", {ErrorReply("Mensagem inválida.")}},
      {"a JSON number", "42", {ErrorReply("Mensagem inválida.")}},
      {"nesting ten thousand deep", nested(10000), {ErrorReply("Mensagem inválida.")}},
      {"a number beyond double", R"({"route":"/version","v":1e999})", {ErrorReply("Mensagem inválida.")}},
      {"no route", R"({"type":"version"})", {ErrorReply("Campo route nao encontrado.")}},
      {"/version needs no session", R"({"route":"/version","type":"version","category":"service_exe"})",
       {R"({"type":"version","category":"service_exe","version":"Vers\u00E3o n\u00E3o encontrada","updating":false,)"
        R"("pdv_number":"03"})"}},
      {"/print needs no session", R"({"route":"/print","type":"print"})", {ErrorReply("Campo data nao encontrado.")}},
      {"confirmation skips the session check", R"({"route":"/transaction","type":"confirmation"})", {}},
      {"transaction without session_uuid", R"({"route":"/transaction","type":"transaction"})",
       {ErrorReply("Campo session_uuid nao encontrado.")}},
      {"transaction without type", R"({"route":"/transaction","session_uuid":"$LIVE"})",
       {ErrorReply("Campo type nao encontrado.")}},
      {"transaction with a live session", R"({"route":"/transaction","type":"transaction","session_uuid":"$LIVE"})",
       {ErrorReply("Campo operation nao encontrado.")}},
      // No session start configured the TEF component: the library cannot be reached.
      {"/initialize with a live session", R"({"route":"/initialize","type":"initialize","session_uuid":"$LIVE"})",
       {ErrorReply("Erro ao conectar com servidor TEF: Erro ao conectar com servidor TEF")}},
      {"/pinpad/status with a live session", R"({"route":"/pinpad/status","session_uuid":"$LIVE"})",
       {ErrorReply("Campo type nao encontrado.")}},
      {"/transaction/cancel with a live session",
       R"({"route":"/transaction/cancel","type":"cancellation","session_uuid":"$LIVE"})", {}},
      {"/initialize with an unknown session", R"({"route":"/initialize","session_uuid":"NOPE"})",
       {ErrorReply("Sessão inválida.")}},
      {"session identifiers are case-sensitive",
       R"({"route":"/initialize","session_uuid":"6f9619ff-8b86-4d11-b42d-00c04fc964ff"})",
       {ErrorReply("Sessão inválida.")}},
      {"/initialize with an expired session", R"({"route":"/initialize","session_uuid":"$EXPIRED"})",
       {ErrorReply("Sessão expirada.")}},
      {"unknown route with a live session", R"({"route":"/nothing/here","session_uuid":"$LIVE"})", {}},
      {"unknown route without session_uuid", R"({"route":"/nothing/here"})",
       {ErrorReply("Campo session_uuid nao encontrado.")}},
      {"routes are case-sensitive", R"({"route":"/SESSION/START","type":"session","session_uuid":"NOPE"})",
       {ErrorReply("Sessão inválida.")}},
      {"session start without type", R"({"route":"/session/start","token":"a.b.c"})",
       {ErrorReply("Campo type nao encontrado.")}},
      {"session start without token", R"({"route":"/session/start","type":"session"})",
       {ErrorReply("Campo token nao encontrado.")}},
      {"session start with another type", R"({"route":"/session/start","type":"sessão","token":"a.b.c"})",
       {ErrorReply("Configuração de entrada inválida: type diferente de \"session\".")}},
      {"session start with a bad signature", R"({"route":"/session/start","type":"session","token":"e30.e30.AAAA"})",
       {ErrorReply("Acesso não autorizado.")}},
      {"finish with another type", R"({"route":"/session/finish","type":"close","session_uuid":"$LIVE"})",
       {ErrorReply("Campo type diferente de session.")}},
      {"finish without type", R"({"route":"/session/finish","session_uuid":"$LIVE"})",
       {ErrorReply("Campo type nao encontrado.")}},
      {"finish with an expired session", R"({"route":"/session/finish","type":"session","session_uuid":"$EXPIRED"})",
       {ErrorReply("Sessão expirada.")}},
  };
  for (const auto& c : cases) {
    // Each case starts from the same two sessions (a check removes an expired one).
    probe_.Sessions().DeleteItem(live_);
    probe_.Sessions().DeleteItem(expired_);
    probe_.Sessions().AddItem(live_, clock_ + std::chrono::minutes(10));
    probe_.Sessions().AddItem(expired_, clock_ - std::chrono::seconds(1));
    EXPECT_EQ(Route(Fill(c.message)), c.expected) << c.what;
  }
}

TEST_F(RouterTest, FinishAnswersThenForgetsTheSession) {
  probe_.Sessions().AddItem(live_, clock_ + std::chrono::minutes(10));
  const std::string finish = Fill(R"({"route":"/session/finish","type":"session","session_uuid":"$LIVE"})");
  EXPECT_EQ(Route(finish),
            Replies{R"({"type":"session","status":"finished","message":"Sess\u00E3o finalizada com sucesso."})"});
  EXPECT_EQ(Route(finish), Replies{ErrorReply("Sessão inválida.")});
}

TEST_F(RouterTest, HugeMessagesEndOnlyThemselves) {
  probe_.Sessions().AddItem(live_, clock_ + std::chrono::minutes(10));
  const std::string big(60u << 20, 'x');
  EXPECT_EQ(Route(R"({"route":"/version","data":")" + big + "\"}"), Replies{ErrorReply("Campo type nao encontrado.")});
  EXPECT_EQ(Route(R"({"route":")" + std::string(1u << 20, 'r') + "\"}"),
            Replies{ErrorReply("Campo session_uuid nao encontrado.")});
  EXPECT_EQ(Route(R"({"route":"/session/start","type":"session","token":")" + std::string(1u << 20, 'A') + ".B.C\"}"),
            Replies{ErrorReply("Acesso não autorizado.")});
  // The data module still serves the next message.
  EXPECT_EQ(Route(Fill(R"({"route":"/nothing","session_uuid":"$LIVE"})")), Replies{});
}

}  // namespace
