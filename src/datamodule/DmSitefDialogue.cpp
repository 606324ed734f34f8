// The dialogue with the client while a TEF operation runs: the component's questions and
// messages go out as dialogue messages, the client's answers come back from its
// connection's inbox. Everything here runs on the thread of the operation.
#include <chrono>
#include <exception>

#include "platform/Clock.h"
#include "platform/CodePage.h"
#include "platform/Text.h"
#include "routing/JsonText.h"
#include "datamodule/ntDmSitef.h"
#include "platform/GravaLog.h"

using norvane::Json;

namespace {

const char* const kConfirmaCancelamento = "Deseja realmente cancelar esta operação?";
constexpr std::chrono::milliseconds kHighlightTick{500};
constexpr std::chrono::milliseconds kHighlightLength{3000};
constexpr std::chrono::milliseconds kCancellationLook{100};

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

void TDmSitef::RiZedIzAdeExibeMsg(TRiZedIzAdeOperacaoMensagem Operacao, const std::string& Mensagem,
                                  TModalResult& AModalResult) {
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
      if (pMessage == "Sem conexao SiTef") fCancelado = true;
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
      // A notice the operator must see (tear off the copy): shown with a three-second
      // countdown, then left on screen alone.
      fUltimaMsg = pMessage;
      const auto deadline = norvane::now() + kHighlightLength;
      try {
        do {
          norvane::sleep_until(norvane::now() + kHighlightTick);
          const auto left = std::chrono::duration_cast<std::chrono::seconds>(deadline - norvane::now());
          SendDialogueMessage("message", pMessage + " " + std::to_string(left.count() < 0 ? 0 : left.count()), {});
        } while (norvane::now() <= deadline);
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
      if (!TRiZedIzAdeCliSiTef::MensagemDeNegacao(pMessage)) fCancelado = true;
      GravaLog("opmExcept: " + pMessage);
      SendDialogueMessage("confirmation", pMessage, {});
      GetConfirmationResponse(pModalResult);
      break;
  }
}

void TDmSitef::RiZedIzAdeExibeQRCode(const std::string& QRCode) {
  Json reply = Json::object();
  reply["type"] = "qrcode";
  reply["data"] = QRCode;
  SendClientMessage(norvane::write_json(reply));
}

// ---------------------------------------------------------------------------------------
// Questions

void TDmSitef::RiZedIzAdeExibeMenu(const std::string& Titulo, const std::vector<std::string>& Opcoes,
                                   int& ItemSelecionado, bool& VoltarMenu) {
  Json menu = Json::object();
  menu["type"] = "menu";
  menu["title"] = Titulo;
  menu["options"] = Json::array();
  for (const std::string& line : Opcoes) menu["options"].push_back(line);
  menu["can_cancel"] = false;
  menu["back_menu"] = false;
  SendClientMessage(norvane::write_json(menu));
  GetMenuResponse(Opcoes, ItemSelecionado, VoltarMenu);
}

void TDmSitef::RiZedIzAdeObtemCampo(const std::string& Titulo, int TamanhoMinimo, int TamanhoMaximo, int TipoCampo,
                                    TRiZedIzAdeCliSiTefOperacaoCampo Operacao, std::string& Resposta,
                                    bool& Digitado, bool& VoltarMenu) {
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
  SendClientMessage(norvane::write_json(collect));
  GetCollectResponse(Resposta, VoltarMenu);
}

// Check data is never collected from a browser: the library is sent back.
void TDmSitef::RiZedIzAdeObtemCheque(const std::string&, int, TRiZedIzAdeCliSiTefOperacaoCampo, std::string&,
                                     bool&, bool& VoltarMenu) {
  VoltarMenu = true;
}

// The password is typed on the pin-pad, never here.
void TDmSitef::RiZedIzAdeObterSenha(const std::string&, bool& VoltarMenu) { VoltarMenu = false; }

// A malformed answer (a member missing) is told to the client and counts as no answer: it
// must not leave the TEF component's loop, which would leave the library's function
// unfinished.
void TDmSitef::GetMenuResponse(const std::vector<std::string>& Opcoes, int& ItemSelecionado, bool& VoltarMenu) {
  try {
    const Json answer = answer_object(GetClientResponse());
    if (answer.is_object() && GetJsonField(answer, "type") == "menu") {
      const std::string response = norvane::trim(GetJsonField(answer, "response"));
      if (!response.empty()) {
        ItemSelecionado = -1;
        for (std::size_t i = 0; i < Opcoes.size(); ++i) {
          if (same_text_ignoring_case(Opcoes[i], response)) {
            ItemSelecionado = static_cast<int>(i);
            break;
          }
        }
      } else {
        if (GetJsonField(answer, "back_menu") == "true") VoltarMenu = true;
        fCancelado = true;
      }
    }
  } catch (const std::exception& error) {
    SendClientMessage(BuildErrorReply(error.what()));
  }
  if (fCancelado) ConfirmCancellation();
}

void TDmSitef::GetCollectResponse(std::string& Resposta, bool& VoltarMenu) {
  try {
    const Json answer = answer_object(GetClientResponse());
    if (answer.is_object() && GetJsonField(answer, "type") == "collect") {
      if (GetJsonField(answer, "typed") == "true") {
        Resposta = norvane::to_windows1252(GetJsonField(answer, "response"));
      } else if (GetJsonField(answer, "back_menu") == "true") {
        VoltarMenu = true;
      } else {
        fCancelado = true;
      }
    }
  } catch (const std::exception& error) {
    SendClientMessage(BuildErrorReply(error.what()));
  }
  if (fCancelado) ConfirmCancellation();
}

void TDmSitef::GetConfirmationResponse(TModalResult& pModalResult) {
  const Json answer = answer_object(GetClientResponse());
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
  if (FAnswerWaitGaveUp) return;
  SendDialogueMessage("question", kConfirmaCancelamento, {"Sim", "Não"});
  TModalResult answer = mrNone;
  try {
    GetConfirmationResponse(answer);
  } catch (const std::exception& error) {
    SendClientMessage(BuildErrorReply(error.what()));
  }
  if (answer == mrNo) fCancelado = false;
}

// ---------------------------------------------------------------------------------------
// Reading the client

void TDmSitef::BeginDialogue() {
  fLastContentReceived.clear();
  FAnswerWaitGaveUp = false;
  FClientGoneLogged = false;
  FFloodLogged = false;
}

std::string TDmSitef::GetClientResponse() {
  std::string text;
  if (!fLastContentReceived.empty()) {
    text = std::move(fLastContentReceived.front());
    fLastContentReceived.pop_front();
  } else {
    bool gone = false;
    const auto deadline = std::chrono::steady_clock::now() + FClientAnswerTimeout;
    TClientChannel* channel = FClientChannel.load();
    while (text.empty() && !gone) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      if (channel == nullptr) {
        gone = true;
        break;
      }
      TClientRead read = channel->WaitClientMessage(left);
      if (read.kind == TClientRead::Kind::Message) {
        text = std::move(read.text);
      } else if (read.kind != TClientRead::Kind::TimedOut) {
        gone = true;
      }
    }
    if (text.empty()) {
      fCancelado = true;
      FAnswerWaitGaveUp = true;
      if (!gone) {
        GravaLog("GetClientResponse: timeout aguardando resposta do cliente.");
      } else if (!FClientGoneLogged) {
        FClientGoneLogged = true;
        GravaLog("GetClientResponse: o cliente desconectou durante a operação; a operação será cancelada.");
      }
      return std::string();
    }
  }
  FAnswerWaitGaveUp = false;

  const Json message = answer_object(text);
  if (!message.is_object()) return std::string();
  std::string route;
  try {
    route = GetJsonField(message, "route");
  } catch (const std::exception& error) {
    SendClientMessage(BuildErrorReply(error.what()));
    return std::string();
  }
  if (route == "/transaction") return text;
  if (route == "/transaction/cancel") {
    try {
      CancelTransactionInProgress(text);
    } catch (const std::exception& error) {
      SendClientMessage(BuildErrorReply(error.what()));
    }
  }
  return std::string();
}

void TDmSitef::RiZedIzAdeAguardaResp(const std::string& Arquivo, int, bool& Interromper) {
  const TRiZedIzAdeClass* manager = RiZedIzAde.TefClass();
  if (manager != nullptr && manager->Tipo() == gpCliSiTef && Arquivo == "23" && !fPodeCancelar &&
      fUltimaMsg != "Retire o cartao da leitora") {
    SetCanCancel(true);
  }
  CheckClientCancellation();
  if (fCancelado) {
    Interromper = true;
    fCancelado = false;
  }
}

void TDmSitef::CheckClientCancellation() {
  if (fCancelado) return;
  TClientChannel* channel = FClientChannel.load();
  if (channel == nullptr) return;
  TClientRead read = channel->WaitClientMessage(kCancellationLook);
  if (read.kind == TClientRead::Kind::Message) {
    if (!read.text.empty()) TakeMessageDuringWait(read.text);
  } else if (read.kind != TClientRead::Kind::TimedOut) {
    // Nobody is left to answer the library's next question: stop the operation now.
    fCancelado = true;
    if (!FClientGoneLogged) {
      FClientGoneLogged = true;
      GravaLog("CheckClientCancellation: o cliente desconectou durante a operação; a operação será cancelada.");
    }
  }
}

void TDmSitef::TakeMessageDuringWait(const std::string& text) {
  const Json message = answer_object(text);
  // Anything that is not a cancellation, malformed text included, is kept in order for the
  // next answer read, which answers it as it answers any message.
  if (message.is_object() && message.contains("type") && norvane::json_value_text(message.at("type")) == "cancellation") {
    if (fPodeCancelar) fCancelado = true;
    return;
  }
  std::size_t held_bytes = text.size();
  for (const std::string& held : fLastContentReceived) held_bytes += held.size();
  if (fLastContentReceived.size() >= kMaxHeldMessages || held_bytes > kMaxHeldBytes) {
    if (!FFloodLogged) {
      FFloodLogged = true;
      GravaLog("CheckClientCancellation: o cliente enviou mensagens demais durante a operação (mais de " +
               std::to_string(kMaxHeldMessages) + " ou " + std::to_string(kMaxHeldBytes) +
               " bytes); a operação será cancelada e as mensagens seguintes descartadas.");
    }
    fCancelado = true;
    return;
  }
  fLastContentReceived.push_back(text);
}
