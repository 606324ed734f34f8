// The dialogue with the client while a TEF operation runs: the component's questions and
// messages go out as dialogue messages, the client's answers come back from its
// connection's inbox. Everything here runs on the thread of the operation.
#include <chrono>
#include <exception>
#include <initializer_list>
#include <thread>

#include "platform/Clock.h"
#include "platform/CodePage.h"
#include "platform/Text.h"
#include "routing/JsonText.h"
#include "datamodule/ntDmSitef.h"
#include "platform/GravaLog.h"

using norvane::Json;

namespace {

const char* const kConfirmaCancelamento = "Deseja realmente cancelar esta operação?";
constexpr int kHighlightSeconds = 3;
constexpr std::chrono::milliseconds kCancellationLook{100};
// The check data's two forms: "0:" + 29 digits, "1:" + a CMC7 line of up to 34 characters.
constexpr int kCheckDataMinimum = 2 + 29;
constexpr int kCheckDataMaximum = 2 + 34;

const char* field_operation_name(TRiZedIzAdeCliSiTefOperacaoCampo operation) {
  switch (operation) {
    case tcString: return "string";
    case tcCurrency: return "currency";
    case tcCMC7: return "cmc7";
    case tcBarCode: return "barcode";
    case tcSeguranca: return "segurança";
  }
  return "string";
}

// Menu lines are compared the way the client may have typed them: letters in either case.
bool same_text_ignoring_case(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if ((x >= 'A' && x <= 'Z' ? x + 32 : x) != (y >= 'A' && y <= 'Z' ? y + 32 : y)) return false;
  }
  return true;
}

// The client's answer as an object, or null for empty text and for text that is no object.
Json answer_object(const std::string& text) {
  if (text.empty()) return Json();
  norvane::JsonParseResult parsed = norvane::parse_json_text(text);
  if (parsed.status != norvane::JsonParseStatus::Ok || !parsed.value.is_object()) return Json();
  return std::move(parsed.value);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Messages

void TDmSitef::SendDialogueMessage(const char* type, const std::string& message,
                                   const std::vector<std::string>& options) {
  Json reply = Json::object();
  reply["type"] = type;
  reply["message"] = message;
  reply["options"] = Json::array();
  for (const std::string& option : options) reply["options"].push_back(option);
  reply["can_cancel"] = false;
  SendClientMessage(norvane::write_json(reply));
}

void TDmSitef::SendSampleMsg(const std::string& pMsg) { SendDialogueMessage("message", pMsg, {}); }

void TDmSitef::SetCanCancel(bool pValue) {
  fPodeCancelar = pValue;
  Json reply = Json::object();
  reply["type"] = "can_cancel";
  reply["can_cancel"] = pValue;
  SendClientMessage(norvane::write_json(reply));
}

void TDmSitef::EndCancellableWait() {
  const TRiZedIzAdeClass* manager = RiZedIzAde.TefClass();
  if (fPodeCancelar && manager != nullptr && manager->Tipo() == gpCliSiTef) SetCanCancel(false);
}

void TDmSitef::RiZedIzAdeExibeMsg(TRiZedIzAdeOperacaoMensagem Operacao, const std::string& Mensagem,
                                  TModalResult& AModalResult) {
  EndCancellableWait();
  try {
    ControlDisplayMessage(Mensagem, Operacao, AModalResult);
  } catch (const std::exception& error) {
    SendClientMessage(BuildErrorReply(error.what()));
  }
}

void TDmSitef::ControlDisplayMessage(const std::string& pMessage, TRiZedIzAdeOperacaoMensagem pOperation,
                                     TModalResult& pModalResult) {
  switch (pOperation) {
    case opmOK:
      SendDialogueMessage("confirmation", pMessage, {"Ok"});
      GetConfirmationResponse(pModalResult);
      // The library has lost its server: whatever the answer, the operation cannot go on.
      if (pMessage == "Sem conexao SiTef") StopOperation(TStopReason::LibraryEnded);
      break;
    case opmYesNo:
      SendDialogueMessage("question", pMessage, {"Sim", "Não"});
      GetConfirmationResponse(pModalResult);
      break;
    case opmYesNoCustom:
      SendDialogueMessage("question", pMessage, {"Sim", "Não", "Reimprimir"});
      GetConfirmationResponse(pModalResult);
      break;
    case opmExibirMsgOperador:
    case opmRemoverMsgOperador:
    case opmExibirMsgCliente:
    case opmQRCode:
      SendDialogueMessage("message", pMessage, {});
      break;
    case opmRemoverMsgCliente:
      break;
    case opmDestaqueVia: {
      // A notice the operator must see (tear off the copy): shown with a countdown of
      // kHighlightSeconds, one message a second ("… 3", "… 2", "… 1"), then left on screen
      // alone when the time is up. Each tick is measured from the start, so the whole
      // notice lasts what its countdown says.
      fUltimaMsg = pMessage;
      const auto start = norvane::wait_now();
      try {
        for (int left = kHighlightSeconds; left > 0; --left) {
          SendDialogueMessage("message", pMessage + " " + std::to_string(left), {});
          norvane::sleep_until(start + std::chrono::seconds(kHighlightSeconds - left + 1));
        }
      } catch (...) {
        SendDialogueMessage("message", pMessage, {});
        throw;
      }
      SendDialogueMessage("message", pMessage, {});
      break;
    }
    case opmExcept:
      // The operation has failed. A decline by the authoriser is told to the client as
      // "unauthorized"; anything else (the operator's or customer's cancellation, no
      // connection) as "canceled".
      if (TRiZedIzAdeCliSiTef::MensagemDeNegacao(pMessage))
        FDeclineShown = true;
      else
        StopOperation(TStopReason::LibraryEnded);
      GravaLog("opmExcept: " + pMessage);
      SendDialogueMessage("confirmation", pMessage, {});
      GetConfirmationResponse(pModalResult);
      break;
  }
}

void TDmSitef::RiZedIzAdeExibeQRCode(const std::string& QRCode) {
  EndCancellableWait();
  Json reply = Json::object();
  reply["type"] = "qrcode";
  reply["data"] = QRCode;
  SendClientMessage(norvane::write_json(reply));
}

// ---------------------------------------------------------------------------------------
// Questions

void TDmSitef::RiZedIzAdeExibeMenu(const std::string& Titulo, const std::vector<std::string>& Opcoes,
                                   int& ItemSelecionado, bool& VoltarMenu) {
  EndCancellableWait();
  Json menu = Json::object();
  menu["type"] = "menu";
  menu["title"] = Titulo;
  menu["options"] = Json::array();
  for (const std::string& line : Opcoes) menu["options"].push_back(line);
  menu["can_cancel"] = false;
  menu["back_menu"] = false;
  const std::string text = norvane::write_json(menu);
  // A cancel the client takes back ("Não") asks the menu again: the library must get a
  // choice, and -1 would end its function.
  do {
    SendClientMessage(text);
    GetMenuResponse(Opcoes, ItemSelecionado, VoltarMenu);
  } while (FAskAgain);
}

void TDmSitef::RiZedIzAdeObtemCampo(const std::string& Titulo, int TamanhoMinimo, int TamanhoMaximo, int TipoCampo,
                                    TRiZedIzAdeCliSiTefOperacaoCampo Operacao, std::string& Resposta,
                                    bool& Digitado, bool& VoltarMenu) {
  EndCancellableWait();
  Json collect = Json::object();
  collect["type"] = "collect";
  collect["title"] = Titulo;
  collect["minimum_size"] = TamanhoMinimo;
  collect["maximum_size"] = TamanhoMaximo;
  collect["field_type"] = TipoCampo;
  collect["field_operation"] = field_operation_name(Operacao);
  collect["can_cancel"] = false;
  collect["back_menu"] = VoltarMenu;
  collect["typed"] = Digitado;
  const std::string text = norvane::write_json(collect);
  do {
    SendClientMessage(text);
    GetCollectResponse(Resposta, VoltarMenu);
  } while (FAskAgain);
  // A cancel that stood (confirmed, or no answer will come) ends the library's function
  // here: going on with the preset answer would only ask the next question.
  if (StopStands() && !VoltarMenu) Digitado = false;
}

// Check data ("1:" + the CMC7 line, or "0:" + the 29 digits of the check) is asked like a
// field, with field_operation "cmc7". Sending the library back instead, as a service with
// no reader once did, made it ask its previous question again, answered without asking,
// then the check data again: a payment that never ended. The library names no sizes for
// this answer, so the field carries the bounds of its two forms: "0:" + 29 digits is the
// shortest, "1:" + a CMC7 line of 30 digits and its four marks the longest. A page that
// enforces the sizes it is given can then take either.
void TDmSitef::RiZedIzAdeObtemCheque(const std::string& Titulo, int TipoCampo, TRiZedIzAdeCliSiTefOperacaoCampo,
                                     std::string& Resposta, bool& Digitado, bool& VoltarMenu) {
  RiZedIzAdeObtemCampo(Titulo, kCheckDataMinimum, kCheckDataMaximum, TipoCampo, tcCMC7, Resposta, Digitado,
                       VoltarMenu);
}

// The password is typed on the pin-pad, never here.
void TDmSitef::RiZedIzAdeObterSenha(const std::string&, bool& VoltarMenu) {
  EndCancellableWait();
  VoltarMenu = false;
}

// A malformed answer (a member missing) is told to the client and counts as no answer: it
// must not leave the TEF component's loop, which would leave the library's function
// unfinished. When no choice came and no cancel stands (the client answered "Não" to the
// cancel question, or its answer was malformed), FAskAgain tells the caller to ask again.
void TDmSitef::GetMenuResponse(const std::vector<std::string>& Opcoes, int& ItemSelecionado, bool& VoltarMenu) {
  bool chosen = false;
  try {
    const Json answer = answer_object(GetClientResponse({"menu"}));
    if (answer.is_object()) {
      const std::string response = norvane::trim(GetJsonField(answer, "response"));
      if (!response.empty()) {
        chosen = true;
        ItemSelecionado = -1;
        for (std::size_t i = 0; i < Opcoes.size(); ++i) {
          if (same_text_ignoring_case(Opcoes[i], response)) {
            ItemSelecionado = static_cast<int>(i);
            break;
          }
        }
      } else {
        if (GetJsonField(answer, "back_menu") == "true") VoltarMenu = true;
        StopOperation(TStopReason::CashierCancel);
      }
    }
  } catch (const std::exception& error) {
    SendClientMessage(BuildErrorReply(error.what()));
  }
  if (StopStands()) ConfirmCancellation();
  if (StopStands()) {
    // The cancel stands: -1 ends the library's function, whatever "back" said.
    ItemSelecionado = -1;
    VoltarMenu = false;
  }
  FAskAgain = !StopStands() && !VoltarMenu && !chosen;
}

void TDmSitef::GetCollectResponse(std::string& Resposta, bool& VoltarMenu) {
  bool typed = false;
  try {
    const Json answer = answer_object(GetClientResponse({"collect"}));
    if (answer.is_object()) {
      if (GetJsonField(answer, "typed") == "true") {
        Resposta = norvane::to_windows1252(GetJsonField(answer, "response"));
        typed = true;
      } else if (GetJsonField(answer, "back_menu") == "true") {
        VoltarMenu = true;
      } else {
        StopOperation(TStopReason::CashierCancel);
      }
    }
  } catch (const std::exception& error) {
    SendClientMessage(BuildErrorReply(error.what()));
  }
  if (StopStands()) ConfirmCancellation();
  FAskAgain = !StopStands() && !VoltarMenu && !typed;
}

void TDmSitef::GetConfirmationResponse(TModalResult& pModalResult) {
  const Json answer = answer_object(GetClientResponse({"confirmation", "question"}));
  if (!answer.is_object()) return;
  const std::string type = GetJsonField(answer, "type");
  if (type == "confirmation") {
    pModalResult = mrNone;
  } else if (type == "question") {
    const std::string response = GetJsonField(answer, "response");
    if (response == "Sim") pModalResult = mrYes;
    else if (response == "Não") pModalResult = mrNo;
    else if (response == "Reimprimir") pModalResult = mrOk;
  }
}

void TDmSitef::ConfirmCancellation() {
  // A client that did not answer in time, or went away, cannot answer this either.
  if (FNobodyAnswers != TStopReason::None) return;
  SendDialogueMessage("question", kConfirmaCancelamento, {"Sim", "Não"});
  TModalResult answer = mrNone;
  try {
    GetConfirmationResponse(answer);
  } catch (const std::exception& error) {
    SendClientMessage(BuildErrorReply(error.what()));
  }
  if (answer == mrNo) StopOperation(TStopReason::None);
}

bool TDmSitef::DialogueMustEnd() {
  if (FNobodyAnswers != TStopReason::None) return true;
  TClientChannel* channel = FClientChannel.load();
  if (channel == nullptr || channel->ClientPresent()) return false;
  ClientGoneEndsOperation();
  return true;
}

void TDmSitef::ClientGoneEndsOperation() {
  FNobodyAnswers = TStopReason::ClientGone;
  StopOperation(TStopReason::ClientGone);
  if (FClientGoneLogged) return;
  FClientGoneLogged = true;
  GravaLog("o cliente desconectou durante a operação ou o serviço está parando; a operação será cancelada.");
}

// ---------------------------------------------------------------------------------------
// Reading the client

void TDmSitef::BeginDialogue() {
  fLastContentReceived.clear();
  // The notice of an earlier operation ("Retire o cartao da leitora") must not keep this
  // one's card wait from being cancelled.
  fUltimaMsg.clear();
  FNobodyAnswers = TStopReason::None;
  FClientGoneLogged = false;
  FFloodLogged = false;
  FAskAgain = false;
  FDeclineShown = false;
  FRunningIdempotencyKey.clear();
}

std::string TDmSitef::GetClientResponse(std::initializer_list<const char*> kinds) {
  // One time-out (or a client gone) ends the operation: no later question waits again.
  if (FNobodyAnswers != TStopReason::None) {
    StopOperation(FNobodyAnswers);
    return std::string();
  }
  const auto deadline = std::chrono::steady_clock::now() + FClientAnswerTimeout;
  for (;;) {
    std::string text;
    if (!fLastContentReceived.empty()) {
      text = std::move(fLastContentReceived.front());
      fLastContentReceived.pop_front();
    } else {
      bool gone = false;
      TClientChannel* channel = FClientChannel.load();
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (channel == nullptr) {
        gone = true;
      } else if (left.count() > 0) {
        TClientRead read = channel->WaitClientMessage(left);
        if (read.kind == TClientRead::Kind::Message) {
          text = std::move(read.text);
        } else if (read.kind != TClientRead::Kind::TimedOut) {
          gone = true;
        }
      }
      if (text.empty()) {
        if (!gone && std::chrono::steady_clock::now() < deadline) continue;  // an empty message
        if (gone) {
          ClientGoneEndsOperation();
        } else {
          FNobodyAnswers = TStopReason::NoAnswer;
          StopOperation(TStopReason::NoAnswer);
          GravaLog("GetClientResponse: timeout aguardando resposta do cliente.");
        }
        return std::string();
      }
    }
    switch (HandleMessageDuringOperation(text)) {
      case DuringOperation::Answer: {
        // An answer of another kind (a late answer to an earlier question) is no answer
        // to this one: the question keeps waiting.
        const Json message = answer_object(text);
        const std::string type = norvane::json_value_text(message.at("type"));
        for (const char* kind : kinds)
          if (type == kind) return text;
        if (kinds.size() == 0) return text;
        break;
      }
      case DuringOperation::Cancel:
        if (StopStands()) return std::string();
        break;
      case DuringOperation::Handled:
        break;
    }
  }
}

TDmSitef::DuringOperation TDmSitef::HandleMessageDuringOperation(const std::string& text) {
  const norvane::JsonParseResult parsed = norvane::parse_json_text(text);
  if (parsed.status != norvane::JsonParseStatus::Ok || !parsed.value.is_object()) {
    SendClientMessage(BuildErrorReply(kMensagemInvalida));
    return DuringOperation::Handled;
  }
  const Json& message = parsed.value;
  try {
    if (!message.contains("route")) {
      // A bare {"type":"cancellation"} is the cancel gesture of the wait.
      if (message.contains("type") && norvane::json_value_text(message.at("type")) == "cancellation") {
        if (fPodeCancelar) StopOperation(TStopReason::CashierCancel);
        return DuringOperation::Cancel;
      }
      GetJsonField(message, "route");  // raises the missing-member error
    }
    const std::string route = GetJsonField(message, "route");
    if (route == "/transaction") {
      const std::string type = GetJsonField(message, "type");
      if (type == "transaction" || type == "cancellation" || type == "reprint") {
        // A request with a key is routed as any request: the running payment's own request
        // sent again is told it runs, a key the service knows gets its payment's answer, and
        // a new key is told to wait (the operation guard refuses it). Without a key it can
        // only be a new payment: told to wait.
        if (message.contains("idempotency_key")) RouteTargeting(text);
        else SendClientMessage(BuildErrorReply(kOperacaoEmAndamento));
        return DuringOperation::Handled;
      }
      return DuringOperation::Answer;
    }
    if (route == "/transaction/cancel") {
      CancelTransactionInProgress(text);
      return DuringOperation::Cancel;
    }
    if (route == "/pinpad/status" || route == "/initialize" || route == "/session/start") {
      // These need the library (or reconfigure it), which the running operation holds.
      SendClientMessage(BuildErrorReply(kOperacaoEmAndamento));
      return DuringOperation::Handled;
    }
  } catch (const std::exception& error) {
    SendClientMessage(BuildErrorReply(error.what()));
    return DuringOperation::Handled;
  }
  // "/print", "/version", "/transaction/status", "/session/finish" and unknown routes do not
  // touch the library: served now, as when no operation runs. The router is entered again
  // from inside the running operation, one level deep and no more: it keeps the outer
  // message aside and puts it back, the library's turn is already this thread's, and none
  // of these routes starts a dialogue (a "/transaction" routed from here is answered by its
  // key or refused by the operation guard), so nothing waits on the client in there.
  RouteTargeting(text);
  return DuringOperation::Handled;
}

void TDmSitef::RiZedIzAdeAguardaResp(const std::string& Arquivo, int, bool& Interromper) {
  const TRiZedIzAdeClass* manager = RiZedIzAde.TefClass();
  if (manager != nullptr && manager->Tipo() == gpCliSiTef && Arquivo == "23" && !fPodeCancelar &&
      fUltimaMsg != "Retire o cartao da leitora") {
    SetCanCancel(true);
  }
  CheckClientCancellation();
  if (HandStopToLibrary()) Interromper = true;
}

void TDmSitef::CheckClientCancellation() {
  if (StopStands()) return;
  TClientChannel* channel = FClientChannel.load();
  if (channel == nullptr) return;
  TClientRead read = channel->WaitClientMessage(kCancellationLook);
  if (read.kind == TClientRead::Kind::Message) {
    if (!read.text.empty()) TakeMessageDuringWait(read.text);
  } else if (read.kind != TClientRead::Kind::TimedOut) {
    // Nobody is left to answer the library's next question: stop the operation now.
    ClientGoneEndsOperation();
  }
}

void TDmSitef::TakeMessageDuringWait(const std::string& text) {
  // Requests are served or refused at once; cancellations applied; an answer is kept in
  // order for the next answer read.
  if (HandleMessageDuringOperation(text) != DuringOperation::Answer) return;
  std::size_t held_bytes = text.size();
  for (const std::string& held : fLastContentReceived) held_bytes += held.size();
  if (fLastContentReceived.size() >= kMaxHeldMessages || held_bytes > kMaxHeldBytes) {
    if (!FFloodLogged) {
      FFloodLogged = true;
      GravaLog("CheckClientCancellation: o cliente enviou mensagens demais durante a operação (mais de " +
               std::to_string(kMaxHeldMessages) + " ou " + std::to_string(kMaxHeldBytes) +
               " bytes); a operação será cancelada e as mensagens seguintes descartadas.");
    }
    StopOperation(TStopReason::ClientFlood);
    return;
  }
  fLastContentReceived.push_back(text);
}
