#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "RoutingFixture.h"
#include "platform/CodePage.h"
#include "platform/GravaLog.h"

namespace {

using norvane::Json;

std::string Answer(const std::string& json_members) { return R"({"route":"/transaction",)" + json_members + "}"; }

const std::vector<std::string> kLines = {"1:A Vista", "2:Parcelado pelo Estabelecimento"};
const std::string kAskCancel =
    R"({"type":"question","message":"Deseja realmente cancelar esta opera\u00E7\u00E3o?","options":["Sim","N\u00E3o"],"can_cancel":false})";

class DialogueTest : public RoutingTest {
 protected:
  struct Menu {
    int item = -1;
    bool back = false;
  };
  Menu RunMenu() {
    Menu menu;
    dm_.RiZedIzAdeExibeMenu("Selecione", kLines, menu.item, menu.back);
    return menu;
  }
  bool Interrupted() {
    bool interrupt = false;
    dm_.RiZedIzAdeAguardaResp("23", 0, interrupt);
    return interrupt;
  }
  std::string LogText() {
    std::ifstream file(norvane::service_log_file());
    return std::string(std::istreambuf_iterator<char>(file), {});
  }
};

TEST_F(DialogueTest, MenuAnswersSelectGoBackOrCancel) {
  struct Case {
    const char* what;
    std::vector<std::string> answers;
    int item;
    bool back;
    bool cancelled;
    bool asked_to_confirm;
  };
  const std::vector<Case> cases = {
      {"a line in other letter case", {Answer(R"("type":"menu","response":" 2:PARCELADO pelo estabelecimento ","back_menu":false)")},
       1, false, false, false},
      {"a text that is no line", {Answer(R"("type":"menu","response":"3:Outro","back_menu":false)")}, -1, false, false, false},
      {"back, then not cancelling",
       {Answer(R"("type":"menu","response":"","back_menu":true)"), Answer(R"("type":"question","response":"Não")")},
       -1, true, false, true},
      {"nothing chosen, then cancelling",
       {Answer(R"("type":"menu","response":"","back_menu":false)"), Answer(R"("type":"question","response":"Sim")")},
       -1, false, true, true},
      // Neither is an answer to the menu: it keeps waiting for one.
      {"an answer of another kind, then a line",
       {Answer(R"("type":"collect","typed":true,"response":"1")"), Answer(R"("type":"menu","response":"1:A Vista","back_menu":false)")},
       0, false, false, false},
      {"another route, then a line",
       {R"({"route":"/outra","type":"menu","response":"2:Parcelado pelo Estabelecimento"})",
        Answer(R"("type":"menu","response":"1:A Vista","back_menu":false)")},
       0, false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    probe_.OweStop(TDmSitef::TStopReason::None);
    channel_.sent.clear();
    for (const auto& answer : c.answers) channel_.Queue(answer);
    const Menu menu = RunMenu();
    EXPECT_EQ(menu.item, c.item);
    EXPECT_EQ(menu.back, c.back);
    EXPECT_EQ(probe_.StopStands(), c.cancelled);
    ASSERT_FALSE(channel_.sent.empty());
    EXPECT_EQ(channel_.sent[0],
              R"({"type":"menu","title":"Selecione","options":["1:A Vista","2:Parcelado pelo Estabelecimento"],)"
              R"("can_cancel":false,"back_menu":false})");
    EXPECT_EQ(channel_.sent.size() == 2 && channel_.sent[1] == kAskCancel, c.asked_to_confirm);
  }
  // The cancellation that stayed is handed to the component at its next wait, once.
  probe_.OweStop(TDmSitef::TStopReason::CashierCancel);
  EXPECT_TRUE(Interrupted());
  EXPECT_FALSE(probe_.StopStands());
}

TEST_F(DialogueTest, CollectHandsBackTypedTextInTheSingleByteCodePageOrGoesBack) {
  std::string response = "preset";
  bool typed = true, back = false;
  channel_.Queue(Answer(R"("type":"collect","typed":true,"response":"José 12","back_menu":false)"));
  dm_.RiZedIzAdeObtemCampo("Nome", 1, 20, 500, tcSeguranca, response, typed, back);
  EXPECT_EQ(response, norvane::to_windows1252("José 12"));
  EXPECT_EQ(channel_.sent.at(0),
            R"({"type":"collect","title":"Nome","minimum_size":1,"maximum_size":20,"field_type":500,)"
            R"("field_operation":"seguran\u00E7a","can_cancel":false,"back_menu":false,"typed":true})");

  channel_.sent.clear();
  channel_.Queue(Answer(R"("type":"collect","typed":false,"response":"","back_menu":true)"));
  dm_.RiZedIzAdeObtemCampo("Nome", 1, 20, 500, tcString, response, typed, back);
  EXPECT_TRUE(back);
  EXPECT_TRUE(typed);  // left as it came
  EXPECT_FALSE(probe_.StopStands());
  EXPECT_EQ(channel_.sent.size(), 1u);  // nothing asked
}

TEST_F(DialogueTest, MessagesAndTheirAnswers) {
  struct Case {
    TRiZedIzAdeOperacaoMensagem operation;
    const char* text;
    std::string answer;  // empty: none is read
    std::string sent;
    TModalResult result;
    bool cancelled;
  };
  const std::vector<Case> cases = {
      {opmYesNoCustom, "Imprimir?", Answer(R"("type":"question","response":"Reimprimir")"),
       R"({"type":"question","message":"Imprimir?","options":["Sim","N\u00E3o","Reimprimir"],"can_cancel":false})", mrOk,
       false},
      {opmYesNo, "Confirma?", Answer(R"("type":"question","response":"Não")"),
       R"({"type":"question","message":"Confirma?","options":["Sim","N\u00E3o"],"can_cancel":false})", mrNo, false},
      {opmOK, "Sem conexao SiTef", Answer(R"("type":"confirmation")"),
       R"({"type":"confirmation","message":"Sem conexao SiTef","options":["Ok"],"can_cancel":false})", mrNone, true},
      {opmExcept, "Módulo não inicializado", Answer(R"("type":"confirmation")"),
       R"({"type":"confirmation","message":"M\u00F3dulo n\u00E3o inicializado","options":[],"can_cancel":false})", mrNone,
       true},
      // A decline is not a cancellation: the sale ends "unauthorized".
      {opmExcept, "Unauthorized", Answer(R"("type":"confirmation")"),
       R"({"type":"confirmation","message":"Unauthorized","options":[],"can_cancel":false})", mrNone, false},
      {opmExibirMsgCliente, "Insira o cartao", "",
       R"({"type":"message","message":"Insira o cartao","options":[],"can_cancel":false})", 99, false},
      {opmRemoverMsgCliente, "x", "", "", 99, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    probe_.OweStop(TDmSitef::TStopReason::None);
    channel_.sent.clear();
    if (!c.answer.empty()) channel_.Queue(c.answer);
    TModalResult result = 99;
    dm_.RiZedIzAdeExibeMsg(c.operation, c.text, result);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(probe_.StopStands(), c.cancelled);
    EXPECT_EQ(channel_.sent, c.sent.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.sent});
  }
}

// Garbage while a question waits is told to the client and is no answer: the question
// keeps waiting (a menu whose answer lacked a member is put again) for a real answer.
TEST_F(DialogueTest, MalformedAnswersAreToldToTheClientAndTheQuestionWaitsOn) {
  channel_.Queue("no JSON at all");
  channel_.Queue(R"({"type":"menu","response":"1:A Vista"})");    // no route
  channel_.Queue(Answer(R"("response":"1:A Vista")"));             // no type
  channel_.Queue(Answer(R"("type":"menu","back_menu":false)"));    // no response
  channel_.Queue(Answer(R"("type":"menu","response":"2:Parcelado pelo Estabelecimento","back_menu":false)"));
  const Menu menu = RunMenu();
  EXPECT_EQ(menu.item, 1);
  EXPECT_FALSE(probe_.StopStands());
  const std::string menu_text = channel_.sent.at(0);
  EXPECT_EQ(channel_.sent, (std::vector<std::string>{menu_text, ErrorReply("Mensagem inválida."),
                                                     ErrorReply("Campo route nao encontrado."),
                                                     ErrorReply("Campo type nao encontrado."),
                                                     ErrorReply("Campo response nao encontrado."), menu_text}));

  TModalResult result = 99;
  channel_.sent.clear();
  channel_.Queue(Answer(R"("response":"Sim")"));  // no type
  channel_.Queue(Answer(R"("type":"question","response":"Sim")"));
  dm_.RiZedIzAdeExibeMsg(opmYesNo, "Confirma?", result);
  EXPECT_EQ(result, mrYes);
  EXPECT_EQ(channel_.sent.at(1), ErrorReply("Campo type nao encontrado."));
}

// Requests that need the library, or a new operation, are refused at once while a question
// waits; none of them answers it.
TEST_F(DialogueTest, RequestsDuringAQuestionAreRefusedAndAreNoAnswer) {
  probe_.OperationGuard() = true;
  const std::string busy = ErrorReply(TDmSitef::kOperacaoEmAndamento);
  channel_.Queue(R"({"route":"/pinpad/status","type":"status","session_uuid":"x"})");
  channel_.Queue(R"({"route":"/initialize","type":"initialize","session_uuid":"x"})");
  channel_.Queue(Answer(R"("type":"transaction","operation":3,"payer_name":"B")"));
  channel_.Queue(Answer(R"("type":"menu","response":"1:A Vista","back_menu":false)"));
  EXPECT_EQ(RunMenu().item, 0);
  EXPECT_EQ(std::vector<std::string>(channel_.sent.begin() + 1, channel_.sent.end()),
            (std::vector<std::string>{busy, busy, busy}));
  probe_.OperationGuard() = false;
}

// "Não" to the cancel question puts the menu or the field again; "Sim" ends the library's
// function (index -1, or typed false) even when the client had asked to go back.
TEST_F(DialogueTest, ACancelTakenBackAsksAgainAndOneThatStandsEndsTheFunction) {
  channel_.Queue(Answer(R"("type":"menu","response":"","back_menu":false)"));
  channel_.Queue(Answer(R"("type":"question","response":"Não")"));
  channel_.Queue(Answer(R"("type":"menu","response":"1:A Vista","back_menu":false)"));
  EXPECT_EQ(RunMenu().item, 0);
  EXPECT_EQ(channel_.sent.size(), 3u);  // menu, cancel question, menu again
  EXPECT_EQ(channel_.sent[2], channel_.sent[0]);

  channel_.sent.clear();
  std::string response;
  bool typed = true, back = false;
  channel_.Queue(Answer(R"("type":"collect","typed":false,"response":"","back_menu":false)"));
  channel_.Queue(Answer(R"("type":"question","response":"Não")"));
  channel_.Queue(Answer(R"("type":"collect","typed":true,"response":"42","back_menu":false)"));
  dm_.RiZedIzAdeObtemCampo("Parcelas", 1, 2, 505, tcString, response, typed, back);
  EXPECT_EQ(response, "42");
  EXPECT_TRUE(typed);
  EXPECT_EQ(channel_.sent.size(), 3u);

  channel_.Queue(Answer(R"("type":"collect","typed":false,"response":"","back_menu":false)"));
  channel_.Queue(Answer(R"("type":"question","response":"Sim")"));
  dm_.RiZedIzAdeObtemCampo("Parcelas", 1, 2, 505, tcString, response, typed, back);
  EXPECT_FALSE(typed);
  EXPECT_FALSE(back);

  probe_.OweStop(TDmSitef::TStopReason::None);
  channel_.Queue(Answer(R"("type":"menu","response":"","back_menu":true)"));
  channel_.Queue(Answer(R"("type":"question","response":"Sim")"));
  const Menu menu = RunMenu();
  EXPECT_EQ(menu.item, -1);
  EXPECT_FALSE(menu.back);
}

TEST_F(DialogueTest, MessagesArrivingDuringWaitsAreKeptInOrder) {
  // Two answers that came early, while the component waited: neither is lost.
  channel_.Queue(Answer(R"("type":"menu","response":"1:A Vista","back_menu":false)"));
  channel_.Queue(Answer(R"("type":"menu","response":"2:Parcelado pelo Estabelecimento","back_menu":false)"));
  EXPECT_FALSE(Interrupted());
  EXPECT_FALSE(Interrupted());
  EXPECT_EQ(RunMenu().item, 0);
  EXPECT_EQ(RunMenu().item, 1);
}

// A client that keeps sending during a payment's waits: the dialogue holds its messages for
// later answers up to a bound; past it the client is flooding the payment, which is
// cancelled (said once in the log) and what comes after is dropped. The held answers are
// still read in order.
TEST_F(DialogueTest, AClientThatFloodsAPaymentCancelsIt) {
  const std::size_t held = TDmSitef::kMaxHeldMessages;
  // The held answers choose the first line; the two past the bound, and the last one (still
  // unread when the answers are taken), the second.
  for (std::size_t i = 0; i < held + 3; ++i)
    channel_.Queue(Answer(i < held ? R"("type":"menu","response":"1:A Vista","back_menu":false)"
                                   : R"("type":"menu","response":"2:Parcelado pelo Estabelecimento","back_menu":false)"));
  for (std::size_t i = 0; i < held; ++i) ASSERT_FALSE(Interrupted()) << i;
  EXPECT_TRUE(Interrupted());
  const std::string log = LogText();
  EXPECT_NE(log.find("o cliente enviou mensagens demais durante a operação"), std::string::npos);
  EXPECT_TRUE(Interrupted());
  EXPECT_EQ(LogText(), log);  // said once
  // Every held answer, in order; then the one still waiting: the two past the bound are gone.
  for (std::size_t i = 0; i < held; ++i) ASSERT_EQ(RunMenu().item, 0) << i;
  EXPECT_EQ(RunMenu().item, 1);
  EXPECT_EQ(channel_.Waiting(), 0u);
}

TEST_F(DialogueTest, CancellationDuringAWaitInterruptsOnlyWhenAllowed) {
  const std::string kOpened = R"({"type":"can_cancel","can_cancel":true})";
  dm_.Tef().SetGPAtual(gpCliSiTef);
  TModalResult result = mrNone;
  dm_.RiZedIzAdeExibeMsg(opmDestaqueVia, "Retire o cartao da leitora", result);  // keeps cancelling closed
  channel_.sent.clear();
  channel_.Queue(R"({"route":"/transaction/cancel","type":"cancellation"})");
  EXPECT_FALSE(Interrupted());  // not allowed yet: dropped
  EXPECT_EQ(channel_.sent, std::vector<std::string>{});

  dm_.RiZedIzAdeExibeMsg(opmDestaqueVia, "Destaque a 1\u00AA Via", result);
  channel_.sent.clear();
  EXPECT_FALSE(Interrupted());  // the wait for the card opens cancelling
  EXPECT_EQ(channel_.sent, std::vector<std::string>{kOpened});
  channel_.Queue(R"({"route":"/transaction/cancel","type":"cancellation"})");
  EXPECT_TRUE(Interrupted());
  EXPECT_FALSE(Interrupted());
  EXPECT_EQ(channel_.sent, std::vector<std::string>{kOpened});  // opened once
}

// Once the library goes on from its wait (the card read, the code paid), a cancel can no
// longer stop the payment: whatever the library does next first tells the client so, and a
// cancel sent after that is logged and dropped, not taken as the answer.
TEST_F(DialogueTest, TheLibraryGoingOnFromItsWaitEndsCancelling) {
  const std::string kOpened = R"({"type":"can_cancel","can_cancel":true})";
  const std::string kClosed = R"({"type":"can_cancel","can_cancel":false})";
  const std::string kCancel = R"({"route":"/transaction/cancel","type":"cancellation"})";
  struct Row {
    const char* what;
    std::vector<std::string> answers;  // the cancel sent late comes first
    std::function<void()> next;        // the library's next command
  };
  TModalResult modal = mrNone;
  std::string typed;
  bool digitado = false, back = false;
  const std::vector<Row> rows = {
      {"a message", {}, [&] { dm_.RiZedIzAdeExibeMsg(opmExibirMsgCliente, "Digite a senha", modal); }},
      {"a question", {kCancel, Answer(R"("type":"question","response":"Sim")")},
       [&] { dm_.RiZedIzAdeExibeMsg(opmYesNo, "Confirma 3 parcelas de R$ 3,50?", modal); }},
      {"a menu", {kCancel, Answer(R"("type":"menu","response":"1:A Vista","back_menu":false)")},
       [&] { EXPECT_EQ(RunMenu().item, 0); }},
      {"a field", {kCancel, Answer(R"("type":"collect","typed":true,"response":"3")")},
       [&] { dm_.RiZedIzAdeObtemCampo("Parcelas", 1, 2, 505, tcString, typed, digitado, back); }},
      {"a QR code", {}, [&] { dm_.RiZedIzAdeExibeQRCode("000201"); }},
      {"the password", {}, [&] { dm_.RiZedIzAdeObterSenha("Senha", back); }},
  };
  dm_.Tef().SetGPAtual(gpCliSiTef);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    channel_.sent.clear();
    EXPECT_FALSE(Interrupted());  // the wait for the card opens cancelling
    EXPECT_EQ(channel_.sent, std::vector<std::string>{kOpened});
    channel_.sent.clear();
    for (const auto& answer : row.answers) channel_.Queue(answer);
    row.next();
    ASSERT_FALSE(channel_.sent.empty());
    EXPECT_EQ(channel_.sent.front(), kClosed);
    EXPECT_EQ(std::count(channel_.sent.begin(), channel_.sent.end(), kClosed), 1);
    EXPECT_FALSE(probe_.StopStands());
    EXPECT_EQ(channel_.Waiting(), 0u);  // the answer was read, the cancel did not stand for it
    EXPECT_EQ(std::count(channel_.sent.begin(), channel_.sent.end(), kAskCancel), 0);
  }
  EXPECT_NE(LogText().find("Não pode cancelar"), std::string::npos);
  if (modal != mrYes) ADD_FAILURE() << "the question got no \"Sim\"";
  EXPECT_EQ(typed, "3");
}

TEST_F(DialogueTest, ACancellationReadAsAnAnswerGoesToTheCancelOperation) {
  dm_.Tef().SetGPAtual(gpCliSiTef);
  EXPECT_FALSE(Interrupted());  // the wait for the card opens cancelling
  channel_.Queue(R"({"route":"/transaction/cancel","type":"cancellation"})");
  EXPECT_EQ(dm_.GetClientResponse(), "");
  EXPECT_NE(LogText().find("Setou no cancelamento = true"), std::string::npos);
  EXPECT_TRUE(Interrupted());  // handed to the component at its next wait
}

TEST_F(DialogueTest, NoAnswerInTimeCancelsWithoutAskingAgain) {
  dm_.SetClientAnswerTimeout(std::chrono::milliseconds(30));
  const Menu menu = RunMenu();
  EXPECT_EQ(menu.item, -1);
  EXPECT_EQ(dm_.StopOwed(), TDmSitef::TStopReason::NoAnswer);
  EXPECT_EQ(channel_.sent.size(), 1u);  // the menu only: a silent client is not asked to confirm
  EXPECT_NE(LogText().find("GetClientResponse: timeout aguardando resposta do cliente."), std::string::npos);
  EXPECT_TRUE(Interrupted());
  // One time-out ends the operation: the next question does not wait again, and the
  // component is told to end its function.
  dm_.SetClientAnswerTimeout(std::chrono::hours(1));
  EXPECT_EQ(RunMenu().item, -1);
  EXPECT_TRUE(dm_.DialogueMustEnd());
}

TEST_F(DialogueTest, AClientThatLeavesEndsTheDialogueAtOnce) {
  channel_.Disconnect();
  std::string response;
  bool typed = true, back = false;
  dm_.RiZedIzAdeObtemCampo("Valor", 1, 9, 146, tcCurrency, response, typed, back);
  EXPECT_EQ(dm_.StopOwed(), TDmSitef::TStopReason::ClientGone);
  EXPECT_TRUE(Interrupted());
  EXPECT_TRUE(Interrupted());  // the wait sees the client gone again
  const std::string log = LogText();
  const auto first = log.find("o cliente desconectou");
  EXPECT_NE(first, std::string::npos);
  EXPECT_EQ(log.find("o cliente desconectou", first + 1), std::string::npos);  // said once
}

// A notice the operator must see counts down three seconds on the service's clock, "3",
// "2" and "1" a second apart, then stays alone once the three seconds are over.
TEST_F(DialogueTest, HighlightedNoticeCountsDownThreeSecondsThenStays) {
  const norvane::TimePoint start = clock_;
  std::vector<std::pair<std::string, std::chrono::milliseconds>> shown;  // text, and when
  channel_.on_send = [&](const std::string& text) {
    shown.emplace_back(text, std::chrono::duration_cast<std::chrono::milliseconds>(clock_ - start));
  };
  TModalResult result = mrNone;
  dm_.RiZedIzAdeExibeMsg(opmDestaqueVia, "Retire a via", result);
  auto message = [](const std::string& text) {
    return R"({"type":"message","message":")" + text + R"(","options":[],"can_cancel":false})";
  };
  using std::chrono::milliseconds;
  const std::vector<std::pair<std::string, milliseconds>> expected = {
      {message("Retire a via 3"), milliseconds(0)},
      {message("Retire a via 2"), milliseconds(1000)},
      {message("Retire a via 1"), milliseconds(2000)},
      {message("Retire a via"), milliseconds(3000)},
  };
  EXPECT_EQ(shown, expected);
}

TEST_F(DialogueTest, QrCodeAndCheckAndPasswordEvents) {
  dm_.RiZedIzAdeExibeQRCode("00020101021226");
  EXPECT_EQ(channel_.sent.at(0), R"({"type":"qrcode","data":"00020101021226"})");
  // Check data is asked as a field of its own kind, and the typed data handed back.
  std::string response;
  bool typed = true, back = false;
  channel_.Queue(Answer(R"("type":"collect","typed":true,"response":"1:<34191753<0040005145>700000001237:","back_menu":false)"));
  dm_.RiZedIzAdeObtemCheque("Passe o cheque", 517, tcString, response, typed, back);
  EXPECT_EQ(response, "1:<34191753<0040005145>700000001237:");
  EXPECT_FALSE(back);
  EXPECT_TRUE(typed);
  EXPECT_EQ(channel_.sent.at(1),
            R"({"type":"collect","title":"Passe o cheque","minimum_size":31,"maximum_size":36,"field_type":517,)"
            R"("field_operation":"cmc7","can_cancel":false,"back_menu":false,"typed":true})");
  back = true;
  dm_.RiZedIzAdeObterSenha("Senha", back);
  EXPECT_FALSE(back);
  EXPECT_EQ(channel_.sent.size(), 2u);
}

}  // namespace
