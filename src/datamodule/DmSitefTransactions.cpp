// "/transaction" and "/transaction/cancel": one TEF operation at a time, started from the
// client's request and guarded by the data module's flags.
#include <cstdint>
#include <cstdio>
#include <exception>
#include <optional>
#include <stdexcept>

#include "platform/CodePage.h"
#include "platform/Text.h"
#include "routing/JsonText.h"
#include "datamodule/ntDmSitef.h"
#include "platform/GravaLog.h"
#include "platform/Metrics.h"

using norvane::Json;
using norvane::metrics::Operation;
using norvane::metrics::Outcome;

namespace {

const char* const kNaoRealizada = "Transação TEF não realizada.";

// Whole decimal numbers only (optional sign), as a 32-bit integer; anything else raises the
// conversion error with the offending text.
std::int32_t request_integer(const std::string& text) {
  const std::string value = norvane::trim(text);
  std::size_t digits_from = (!value.empty() && (value[0] == '-' || value[0] == '+')) ? 1 : 0;
  bool valid = value.size() > digits_from && value.size() - digits_from <= 10;
  for (std::size_t i = digits_from; valid && i < value.size(); ++i) valid = value[i] >= '0' && value[i] <= '9';
  if (valid) {
    const long long number = std::stoll(value);
    if (number >= INT32_MIN && number <= INT32_MAX) return static_cast<std::int32_t>(number);
  }
  throw std::runtime_error("'" + text + "' não é um valor inteiro válido");
}

// An amount with "," or "." as its decimal separator (the workstation's comma, or the point
// of a JSON number), to the 1/10000 unit; no thousands separators.
Currency request_amount(const std::string& text) {
  const std::string value = norvane::trim(text);
  std::size_t at = (!value.empty() && (value[0] == '-' || value[0] == '+')) ? 1 : 0;
  const bool negative = !value.empty() && value[0] == '-';
  std::int64_t units = 0;
  int integer_digits = 0, fraction_digits = 0;
  bool separator = false, valid = at < value.size();
  std::int64_t round_digit = -1;
  for (; valid && at < value.size(); ++at) {
    const char c = value[at];
    if (c == ',' || c == '.') {
      valid = !separator;
      separator = true;
    } else if (c >= '0' && c <= '9') {
      if (!separator) {
        valid = ++integer_digits <= 14;
        units = units * 10 + (c - '0');
      } else if (fraction_digits < 4) {
        ++fraction_digits;
        units = units * 10 + (c - '0');
      } else if (round_digit < 0) {
        round_digit = c - '0';
      }
    } else {
      valid = false;
    }
  }
  valid = valid && integer_digits + fraction_digits > 0;
  if (!valid) throw std::runtime_error("'" + text + "' não é um valor numérico válido");
  for (; fraction_digits < 4; ++fraction_digits) units *= 10;
  if (round_digit >= 5) ++units;
  return Currency::FromRaw(negative ? -units : units);
}

std::string two_digits(std::int32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%02d", value);
  return text;
}

}  // namespace


bool ParseTransactionDate(const std::string& text, TDateTime& when) {
  // "yyyy-mm-dd" with an optional " hh:nn:ss"; the separators are not looked at.
  const std::size_t blank = text.find(' ');
  const std::string date = text.substr(0, blank);
  const std::string time = blank == std::string::npos ? std::string() : text.substr(blank + 1);
  if (date.size() != 10) return false;
  if (blank != std::string::npos && (time.size() < 8 || time.find(' ') != std::string::npos)) return false;
  auto number = [](const std::string& from, std::size_t at, std::size_t length, int& value) {
    value = 0;
    for (std::size_t i = at; i < at + length; ++i) {
      if (from[i] < '0' || from[i] > '9') return false;
      value = value * 10 + (from[i] - '0');
    }
    return true;
  };
  int year, month, day, hour = 0, minute = 0, second = 0;
  if (!number(date, 0, 4, year) || !number(date, 5, 2, month) || !number(date, 8, 2, day)) return false;
  if (!time.empty() && (!number(time, 0, 2, hour) || !number(time, 3, 2, minute) || !number(time, 6, 2, second)))
    return false;
  return TryEncodeDateTime(year, month, day, hour, minute, second, 0, when);
}

void TDmSitef::CancelTransactionInProgress(const std::string& pContent) {
  norvane::JsonParseResult storage;
  if (GetJsonField(MessageValue(pContent, storage), "type") != "cancellation") return;
  GravaLog("Entrou no cancelamento.");
  if (fPodeCancelar) {
    fCancelado = true;
    GravaLog("Setou no cancelamento = true");
  } else {
    GravaLog("Não pode cancelar");
  }
}

void TDmSitef::StartTransaction(const std::string& pContent, TSession*) {
  norvane::JsonParseResult storage;
  const Json& message = MessageValue(pContent, storage);
  const std::string type = GetJsonField(message, "type");
  // A late answer of the dialogue that nothing read any more: nothing to do.
  if (type == "confirmation") return;
  if (type != "transaction" && type != "cancellation" && type != "reprint") {
    SendClientMessage(BuildErrorReply("O campo type diferente de transaction"));
    return;
  }
  const std::int32_t operation = request_integer(GetJsonField(message, "operation"));
  std::string payer_name;
  if (type == "transaction") payer_name = GetJsonField(message, "payer_name");
  std::string nsu;
  TDateTime date = 0;
  if (type == "cancellation") {
    nsu = GetJsonField(message, "cancellation_nsu");
    if (norvane::trim(nsu).empty()) {
      SendClientMessage(BuildErrorReply("O campo \"cancellation_nsu\" não foi preenchido."));
      return;
    }
    const std::string date_text = GetJsonField(message, "transaction_date");
    if (norvane::trim(date_text).empty()) {
      SendClientMessage(BuildErrorReply("O campo \"transaction_date\" não foi preenchido."));
      return;
    }
    if (!ParseTransactionDate(date_text, date)) {
      SendClientMessage(BuildErrorReply("O campo \"transaction_date\" não foi preenchido corretamente."));
      return;
    }
  }
  // A request sent again with the key of a finished operation (a page that lost its
  // connection before the result) gets that operation's result again, and charges nothing.
  std::string idempotency_key;
  if (message.contains("idempotency_key")) {
    idempotency_key = GetJsonField(message, "idempotency_key");
    if (idempotency_key.size() > TResultStore::kMaxKeyLength) {
      SendClientMessage(BuildErrorReply("O campo \"idempotency_key\" passa de " +
                                        std::to_string(TResultStore::kMaxKeyLength) + " caracteres."));
      return;
    }
    TResultStore::Entry kept;
    if (Results().ForKey(idempotency_key, kept)) {
      SendClientMessage(norvane::write_json(kept.result));
      return;
    }
  }
  std::optional<std::int32_t> sale_id;
  Currency value;
  std::int32_t installments = 0;
  if (type != "reprint") {
    if (message.contains("sale_id")) sale_id = request_integer(GetJsonField(message, "sale_id"));
    if (message.contains("transaction_value")) value = request_amount(GetJsonField(message, "transaction_value"));
    if (message.contains("number_of_installments"))
      installments = request_integer(GetJsonField(message, "number_of_installments"));
  }

  // The one guard against a second operation: taken in one step, so two requests that
  // race can never both pass.
  bool idle = false;
  if (!fProcessando.compare_exchange_strong(idle, true)) return;
  fOperacao = operation;
  if (type == "transaction") fPayerName = payer_name;
  fNsuCancelamento = type == "cancellation" ? nsu : std::string();
  if (sale_id) fVenda_Id = *sale_id;
  if (type != "reprint") {
    fValorTransacao = value.Raw();
    fQtdParcelas = installments;
  }

  try {
    if (!RiZedIzAde.Inicializado(gpCliSiTef)) RiZedIzAde.Inicializar(gpCliSiTef);
    if (!RiZedIzAde.Inicializado(gpCliSiTef)) {
      fProcessando = false;
      SendClientMessage(BuildErrorReply("SiTef não inicializado."));
      return;
    }
    fConcluido = false;
    fPodeCancelar = false;
    fCancelado = false;
    BeginDialogue();
    FRunningIdempotencyKey = idempotency_key;
    FRunningSaleId = fVenda_Id;
    FRunningOperation = type == "cancellation" ? Operation::Cancellation : type == "reprint" ? Operation::Reprint : Operation::Sale;
    FLastResult.clear();
    FKeepingResult = true;
    TRiZedIzAdeCliSiTef& manager = CliSiTefManager();
    manager.SetOperacaoCRT(fOperacao);
    manager.SetCancelandoTransacaoTEF(false);

    const double amount = Currency::FromRaw(fValorTransacao).ToDouble();
    if (type == "reprint") {
      RiZedIzAde.CRT(1.00, std::to_string(fOperacao), "0", 0, "", "", "", "0");
    } else {
      if (type == "cancellation") {
        manager.SetCancelandoTransacaoNSU(norvane::to_windows1252(fNsuCancelamento));
        manager.SetCancelandoTransacaoDATA(date);
        manager.SetCancelandoTransacaoVALOR(Currency::FromRaw(fValorTransacao));
        manager.SetCancelandoTransacaoTEF(true);
      } else {
        RiZedIzAde.RespostasPendentes().Clear();
        RiZedIzAde.RespostasPendentes().SetValorDinheiro(Currency::FromRaw(fValorTransacao));
        RiZedIzAde.RespostasPendentes().SetValorTotalAPagar(Currency::FromRaw(fValorTransacao));
      }
      RiZedIzAde.CRT(amount, "02", std::to_string(fVenda_Id), 0, "", "", "", two_digits(fQtdParcelas));
    }

    if (fCancelado || !fConcluido) {
      // A decline that was shown stays a decline, whatever became of its notice; a dialogue
      // the loop ended itself (nobody to answer, a question in circles) was cancelled.
      const bool canceled = (fCancelado || manager.DialogoInterrompido()) && !FDeclineShown;
      if (RiZedIzAde.Inicializado(gpCliSiTef)) RiZedIzAde.CancelarTransacoesPendentes();
      Json result = Json::object();
      result["type"] = "result";
      result["status"] = canceled ? "canceled" : "unauthorized";
      result["message"] = kNaoRealizada;
      SendClientMessage(norvane::write_json(result));
      norvane::metrics::CountOperation(FRunningOperation, canceled ? Outcome::Canceled : Outcome::Declined);
    }
  } catch (const std::exception& error) {
    norvane::metrics::CountOperation(FRunningOperation, Outcome::Failed);
    KeepResult(idempotency_key);
    EndDialogue();
    fProcessando = false;
    SendClientMessage(BuildErrorReply(error.what()));
    return;
  }
  KeepResult(idempotency_key);
  EndDialogue();
  fProcessando = false;
}

void TDmSitef::KeepResult(const std::string& idempotency_key) {
  FKeepingResult = false;
  if (FLastResult.empty()) return;  // ended before any result (an error reply said why)
  norvane::JsonParseResult parsed = norvane::parse_json_text(FLastResult);
  FLastResult.clear();
  if (parsed.status != norvane::JsonParseStatus::Ok || !parsed.value.is_object()) return;
  Results().Add({fVenda_Id, idempotency_key, std::move(parsed.value)});
}

void TDmSitef::TransactionStatus(const std::string& pContent, TSession* pSession) {
  norvane::JsonParseResult storage;
  const Json& message = MessageValue(pContent, storage);
  std::int32_t sale_id = pSession != nullptr ? pSession->FVenda_Id : 0;
  if (message.contains("sale_id")) sale_id = request_integer(GetJsonField(message, "sale_id"));
  Json reply = Json::object();
  reply["type"] = "transaction_status";
  TResultStore::Entry kept;
  if (fProcessando && FRunningSaleId == sale_id) {
    reply["status"] = "running";
    reply["sale_id"] = sale_id;
    reply["result"] = nullptr;
  } else if (Results().LastOfSale(sale_id, kept)) {
    reply["status"] = "finished";
    reply["sale_id"] = sale_id;
    reply["result"] = std::move(kept.result);
  } else {
    reply["status"] = "unknown";
    reply["sale_id"] = sale_id;
    reply["result"] = nullptr;
  }
  SendClientMessage(norvane::write_json(reply));
}
