#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <limits>
#include <stdexcept>
#include <utility>

#include "platform/Clock.h"
#include "platform/ExeFolder.h"
#include "platform/Guid.h"
#include "platform/IniFile.h"
#include "routing/JsonText.h"
#include "routing/Jwt.h"
#include "datamodule/ntDmSitef.h"
#include "platform/GravaLog.h"

using norvane::Json;

namespace {

constexpr std::chrono::seconds kSessionLifetime{1800};

// Whole decimal numbers only (optional sign), as a 32-bit integer; anything else raises the
// conversion error with the offending text.
std::int32_t text_to_int32(const std::string& text) {
  std::size_t digits_from = (!text.empty() && (text[0] == '-' || text[0] == '+')) ? 1 : 0;
  bool valid = text.size() > digits_from && text.size() - digits_from <= 10;
  for (std::size_t i = digits_from; valid && i < text.size(); ++i) valid = text[i] >= '0' && text[i] <= '9';
  if (valid) {
    const long long value = std::stoll(text);
    if (value >= std::numeric_limits<std::int32_t>::min() && value <= std::numeric_limits<std::int32_t>::max()) {
      return static_cast<std::int32_t>(value);
    }
  }
  throw std::runtime_error("'" + text + "' não é um valor inteiro válido");
}

std::string digits_only(const std::string& text) {
  std::string digits;
  for (const char c : text) {
    if (c >= '0' && c <= '9') digits += c;
  }
  return digits;
}

bool is_blank(const std::string& text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) > ' ') return false;
  }
  return true;
}

std::string token_secret(const norvane::TIniSnapshot& config) {
  const std::string secret = config.ReadString("sitef", "jwt_secret", "");
  return secret.empty() ? std::string(kSharedTokenSecret) : secret;
}

}  // namespace

std::string UnreadableConfigurationText(const std::string& problem) {
  return "O arquivo de configuração " + ServiceConfig().FileName() + " " + problem +
         ": nenhuma sessão é aberta até que ele seja corrigido (sem ele a chave dos tokens seria a de fábrica).";
}

std::string ConfiguredTokenSecret() {
  const norvane::TIniSnapshot config = ServiceConfig().Snapshot();
  // A key unknown is no reason to sign with the built-in one.
  if (!config.Problem().empty()) throw std::runtime_error(UnreadableConfigurationText(config.Problem()));
  return token_secret(config);
}

// Keeps the first n characters of a longer text, pads a shorter one on the left with "0".
// Characters, not bytes: a claim may hold non-ASCII text, and cutting inside a UTF-8
// sequence would put a broken character into the terminal number.
std::string FitText(const std::string& text, std::size_t n) {
  std::size_t count = 0;
  std::size_t end = 0;
  while (end < text.size() && count < n) {
    ++end;
    while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) ++end;
    ++count;
  }
  if (end < text.size()) return text.substr(0, end);
  return std::string(n - count, '0') + text;
}

std::string BuildTerminalNumber(const std::string& branch_code, int pdv_number) {
  return "AG" + FitText(branch_code, 4) + FitText(std::to_string(pdv_number), 2);
}

std::string NewSessionUUID() { return norvane::new_guid(); }

std::string format_iso_utc(norvane::TimePoint when) {
  const auto since_epoch = std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch());
  auto seconds = std::chrono::floor<std::chrono::seconds>(since_epoch);
  const auto millis = (since_epoch - seconds).count();
  const std::time_t whole = static_cast<std::time_t>(seconds.count());
  std::tm utc{};
  gmtime_r(&whole, &utc);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(millis));
  return text;
}

void TDmSitef::ConfigureTefFromClaims(const Json& claims, const std::string& terminal_number,
                                      const norvane::TIniSnapshot& config) {
  TSessionTefClaims read;
  FTLSConnection = false;
  if (claims.contains("connection_type")) read.connection_type = GetJsonField(claims, "connection_type");
  if (read.connection_type == "TLS") {
    FTLSConnection = true;
    read.store_cnpj = digits_only(GetJsonField(claims, "store_cnpj"));
    read.tef_cnpj = digits_only(GetJsonField(claims, "tef_cnpj"));
    read.registration_token = GetJsonField(claims, "registration_token");
  }
  read.ip_address = GetJsonField(claims, "ip_address");
  read.store_code = GetJsonField(claims, "store_code");
  read.terminal_number = terminal_number;
  read.additional_parameters = GetJsonField(claims, "additional_parameters");
  read.operator_name = GetJsonField(claims, "operator");
  FSessionTefClaims = std::move(read);
  ApplyTefConfiguration(FSessionTefClaims, config);
}

bool TDmSitef::CreateSession(const std::string& pConfig, bool may_initialise) {
  Json claims;
  // The token's secret, the workstation number and the TEF settings come from one read of
  // the INI, and so does every helper below that reads it (the library's path among them).
  const norvane::TIniReadPass one_read;
  const norvane::TIniSnapshot config = ServiceConfig().Snapshot();
  if (!config.Problem().empty()) {
    // A cut or emptied file has lost its jwt_secret: the built-in key would then let anyone in.
    GravaLog(UnreadableConfigurationText(config.Problem()));
    SendClientMessage(BuildErrorReply("A configuração do serviço não pôde ser lida; nenhuma sessão é aberta até que "
                                      "ela seja corrigida (veja o log do serviço)."));
    return true;
  }
  try {
    norvane::JsonParseResult storage;
    const Json* message = ParsedMessage(pConfig, storage);
    if (message == nullptr || !message->is_object()) {
      SendClientMessage(BuildErrorReply("Configuração de entrada inválida."));
      return true;
    }
    if (GetJsonField(*message, "type") != "session") {
      SendClientMessage(BuildErrorReply("Configuração de entrada inválida: type diferente de \"session\"."));
      return true;
    }
    const std::string token = GetJsonField(*message, "token");
    try {
      claims = VerifyJWT(token, token_secret(config));
      const auto now = std::chrono::duration_cast<std::chrono::seconds>(norvane::now().time_since_epoch());
      if (!TokenTimesValid(claims, now.count())) throw EJwtUnverified("Token fora da validade.");
    } catch (const EJwtUnverified&) {
      SendClientMessage(BuildErrorReply("Acesso não autorizado."));
      return true;
    }
  } catch (const std::exception& error) {  // a missing member, or a token that is not three parts
    SendClientMessage(BuildErrorReply(error.what()));
    return true;
  }

  try {
    const std::string terminal_number =
        BuildTerminalNumber(GetJsonField(claims, "secctional_code"), config.ReadInteger("sitef", "pdv_number", 0));
    if (!may_initialise && !TefConfigurationStands(claims, terminal_number)) return false;
    ConfigureTefFromClaims(claims, terminal_number, config);

    fVenda_Id = text_to_int32(GetJsonField(claims, "sale_id"));
    fEmpresa_Id = text_to_int32(GetJsonField(claims, "company_id"));
    if (fVenda_Id < 1) {
      SendClientMessage(BuildErrorReply("ID de venda não informado."));
      return true;
    }
    fCallbackURL = GetJsonField(claims, "callback_url");
    if (is_blank(fCallbackURL)) {
      SendClientMessage(BuildErrorReply("URL de callback não informada."));
      return true;
    }

    const std::string session_uuid = NewSessionUUID();
    // An empty identifier would be matched by any message naming "" as its session.
    if (session_uuid.empty()) throw std::runtime_error("Não foi possível gerar o identificador da sessão.");
    const norvane::TimePoint expiration = norvane::now() + kSessionLifetime;

    Json reply = Json::object();
    reply["type"] = "session";
    reply["status"] = "created";
    reply["message"] = "Sessão criada com sucesso.";
    reply["expiration"] = format_iso_utc(expiration);
    reply["session_uuid"] = session_uuid;
    reply["store_code"] = FSessionTefClaims.store_code;
    reply["terminal_number"] = FSessionTefClaims.terminal_number;
    FSessionList.AddItem(session_uuid, expiration);
    if (const std::shared_ptr<TSession> session = FSessionList.GetSession(session_uuid)) session->FVenda_Id = fVenda_Id;
    SendClientMessage(norvane::write_json(reply));
  } catch (const std::exception& error) {
    GravaLog(std::string("Erro ao iniciar sessão: ") + error.what());
    SendClientMessage(BuildErrorReply(error.what()));
    return true;
  }
  // The library is configured: what a crash or a failed settlement left is settled by the
  // settler, behind this client's back, now rather than at its next retry (a test without
  // the settler settles it here). A start that changed nothing while nothing is pending
  // leaves the settler asleep: its pass over the backups would find nothing, and would hold
  // the library while the client's next message wants it.
  if (FSettler.joinable()) {
    if (std::exchange(FSettlementDue, false) || FSettlerLeftPending) WakeSettler();
  } else if (FSettlementDue) {
    FSettlementDue = false;
    SettleLeftPayments();
  }
  return true;
}

bool TDmSitef::ValidateSession(const std::string& pContent, std::shared_ptr<TSession>& pSession) {
  pSession.reset();
  norvane::JsonParseResult storage;
  const Json* message = ParsedMessage(pContent, storage);
  if (message == nullptr || !message->is_object()) {
    SendClientMessage(BuildErrorReply("Os dados recebidos são inválidos."));
    return false;
  }
  std::string session_uuid;
  try {
    session_uuid = GetJsonField(*message, "session_uuid");
  } catch (const std::exception& error) {
    SendClientMessage(BuildErrorReply(error.what()));
    return false;
  }
  std::shared_ptr<TSession> session = FSessionList.GetSession(session_uuid);
  if (!session) {
    SendClientMessage(BuildErrorReply("Sessão inválida."));
    return false;
  }
  if (norvane::now() >= session->FExpirationDateTime) {
    SendClientMessage(BuildErrorReply("Sessão expirada."));
    FSessionList.DeleteItem(session_uuid);
    return false;
  }
  pSession = std::move(session);
  return true;
}

void TDmSitef::FinishSession(const std::string& pContent, TSession* pSession) {
  norvane::JsonParseResult storage;
  const Json* message = ParsedMessage(pContent, storage);
  if (GetJsonField(message ? *message : Json(), "type") != "session") {
    SendClientMessage(BuildErrorReply("Campo type diferente de session."));
    return;
  }
  try {
    Json reply = Json::object();
    reply["type"] = "session";
    reply["status"] = "finished";
    reply["message"] = "Sessão finalizada com sucesso.";
    SendClientMessage(norvane::write_json(reply));
    if (pSession != nullptr) FSessionList.DeleteItem(pSession->FSession_UUID);
  } catch (const std::exception& error) {
    SendClientMessage(BuildErrorReply(std::string("Erro ao finalizar sessão: ") + error.what()));
    fProcessando = false;
  }
}
