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
#include "datamodule/PaymentRecord.h"
#include "tef/RiZedIzAdeArquivo.h"
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
    StopOperation(TStopReason::CashierCancel);
    GravaLog("Setou no cancelamento = true");
  } else {
    GravaLog("Não pode cancelar");
  }
}

void TDmSitef::StartTransaction(const std::string& pContent, TSession* pSession) {
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
  std::optional<std::int32_t> sale_id;
  Currency value;
  std::int32_t installments = 0;
  if (type != "reprint") {
    if (message.contains("sale_id")) sale_id = request_integer(GetJsonField(message, "sale_id"));
    if (message.contains("transaction_value")) value = request_amount(GetJsonField(message, "transaction_value"));
    if (message.contains("number_of_installments"))
      installments = request_integer(GetJsonField(message, "number_of_installments"));
  }
  // A request's sale id is that request's alone: the next request without one pays the
  // session's sale again.
  const std::int32_t operation_sale = sale_id ? *sale_id : pSession != nullptr ? pSession->FVenda_Id : fVenda_Id;
  const std::string fingerprint =
      RequestFingerprint(type, operation, value.Raw(), operation_sale, installments, nsu,
                         type == "cancellation" ? FormatDateTime("yyyymmddhhnnss", date) : std::string());

  // Every payment has one key: the request's, or one made here. A key the service knows is
  // that payment's, whatever became of the service meanwhile: the same request gets how it
  // stands (its kept result, or "pending") and charges nothing; another request with the
  // key is refused.
  std::string idempotency_key;
  if (message.contains("idempotency_key")) {
    idempotency_key = GetJsonField(message, "idempotency_key");
    if (idempotency_key.size() > TResultStore::kMaxKeyLength) {
      SendClientMessage(BuildErrorReply("O campo \"idempotency_key\" passa de " +
                                        std::to_string(TResultStore::kMaxKeyLength) + " caracteres."));
      return;
    }
  }
  if (!idempotency_key.empty()) {
    if (AnswerKnownKey(idempotency_key, fingerprint)) return;
  } else {
    idempotency_key = NewSessionUUID();
  }

  // The one guard against a second operation: taken in one step, so two requests that
  // race can never both pass.
  bool idle = false;
  if (!fProcessando.compare_exchange_strong(idle, true)) {
    SendClientMessage(BuildErrorReply(kOperacaoEmAndamento));
    return;
  }
  fOperacao = operation;
  if (type == "transaction") fPayerName = payer_name;
  fNsuCancelamento = type == "cancellation" ? nsu : std::string();
  fVenda_Id = operation_sale;
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
    // A stop owed to the last operation stays readable until this one starts.
    StopOperation(TStopReason::None);
    BeginDialogue();
    FRunningIdempotencyKey = idempotency_key;
    FRunningFingerprint = fingerprint;
    FRunningSaleId = fVenda_Id;
    FSettledBackups.clear();
    FSettlementFailed = false;
    FOperationOutcome.reset();
    FRunningOperation = type == "cancellation" ? Operation::Cancellation : type == "reprint" ? Operation::Reprint : Operation::Sale;
    FLastResult.clear();
    FKeepingResult = true;
    TRiZedIzAdeCliSiTef& manager = CliSiTefManager();
    // The payment's identity goes into its first backup with the library's approval.
    manager.SetIdentificacaoHospedeiro({{kSequenciaChave, EscapaTexto(idempotency_key)},
                                        {kSequenciaPedido, EscapaTexto(fingerprint)},
                                        {kSequenciaVenda, std::to_string(fVenda_Id)}});
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

    const TOperationEnd end = HowOperationEnded(manager.DialogoInterrompido());
    if (end != TOperationEnd::Approved) {
      const bool canceled = end == TOperationEnd::Canceled;
      if (RiZedIzAde.Inicializado(gpCliSiTef)) RiZedIzAde.CancelarTransacoesPendentes();
      Json result = Json::object();
      result["type"] = "result";
      if (FSettlementFailed) {
        // Approved while a cancel stood, and its undoing did not get through: the settler
        // finishes it, and until then it is pending.
        result["status"] = "pending";
        result["message"] = kPagamentoPendente;
      } else {
        result["status"] = canceled ? "canceled" : "unauthorized";
        result["message"] = kNaoRealizada;
      }
      result["idempotency_key"] = FRunningIdempotencyKey;
      SendClientMessage(norvane::write_json(result));
      FOperationOutcome = canceled ? Outcome::Canceled : Outcome::Declined;
    }
  } catch (const std::exception& error) {
    FOperationOutcome = Outcome::Failed;
    KeepResult(idempotency_key, fingerprint);
    EndDialogue();
    fProcessando = false;
    SendClientMessage(BuildErrorReply(error.what()));
    return;
  }
  KeepResult(idempotency_key, fingerprint);
  EndDialogue();
  fProcessando = false;
}

TDmSitef::TOperationEnd TDmSitef::HowOperationEnded(bool dialogue_interrupted) const {
  // A stop that still stands after the approval (the client gone while the receipts were
  // shown) ends the operation as a stop, as it did before the approval.
  if (fConcluido && !StopStands()) return TOperationEnd::Approved;
  // A decline that was shown stays a decline, whatever became of its notice; a dialogue the
  // loop ended itself (nobody to answer, a question in circles) was cancelled.
  const bool stopped = StopStands() || dialogue_interrupted;
  return stopped && !FDeclineShown ? TOperationEnd::Canceled : TOperationEnd::Declined;
}

bool TDmSitef::AnswerKnownKey(const std::string& key, const std::string& fingerprint) {
  TPaymentLookup found = LookUpPayment(key);
  if (found.kind == TPaymentLookup::Kind::Unknown) return false;
  if (!found.fingerprint.empty() && found.fingerprint != fingerprint) {
    SendClientMessage(BuildErrorReply(
        "A chave idempotency_key \"" + key +
        "\" já pertence a outro pedido (outro valor, venda, tipo ou parcelas); nada foi cobrado. "
        "Um pagamento novo precisa de uma chave nova."));
    return true;
  }
  if (found.kind == TPaymentLookup::Kind::Finished) {
    SendClientMessage(norvane::write_json(found.result));
  } else {
    SendClientMessage(norvane::write_json(StatusReply(key, found)));
  }
  return true;
}

Json TDmSitef::StatusReply(const std::string& key, const TPaymentLookup& found) {
  Json reply = Json::object();
  reply["type"] = "transaction_status";
  switch (found.kind) {
    case TPaymentLookup::Kind::Running: reply["status"] = "running"; break;
    case TPaymentLookup::Kind::Pending: reply["status"] = "pending"; break;
    case TPaymentLookup::Kind::Finished: reply["status"] = "finished"; break;
    case TPaymentLookup::Kind::Unknown: reply["status"] = "unknown"; break;
  }
  reply["idempotency_key"] = key;
  reply["sale_id"] = found.sale_id;
  reply["result"] = found.result.is_object() ? found.result : Json(nullptr);
  if (!found.message.empty()) reply["message"] = found.message;
  return reply;
}

TDmSitef::TPaymentLookup TDmSitef::LookUpPayment(const std::string& key) {
  TPaymentLookup found;
  if (key.empty()) return found;
  if (fProcessando && FRunningIdempotencyKey == key) {
    found.kind = TPaymentLookup::Kind::Running;
    found.sale_id = FRunningSaleId;
    found.fingerprint = FRunningFingerprint;
    return found;
  }
  // The backups first: the settler keeps a payment's outcome before its backup goes, so a
  // payment is always found in one or the other.
  for (TPaymentRecord& record : ReadPaymentRecords(CliSiTefManager().MascaraArquivosBackup())) {
    if (record.idempotency_key != key) continue;
    found.kind = TPaymentLookup::Kind::Pending;
    found.sale_id = record.sale_id;
    found.fingerprint = record.fingerprint;
    found.result = record.ReportBody();
    found.message = PendingMessage(record);
    return found;
  }
  TResultStore::Entry kept;
  if (Results().ForKey(key, kept)) {
    found.sale_id = kept.sale_id;
    found.fingerprint = kept.fingerprint;
    const auto status = kept.result.find("status");
    if (status != kept.result.end() && *status == "pending") {
      // Kept as pending by its operation, and its backup gone since: the settler settled it
      // and its outcome is being kept; asked again in a moment, it is there.
      found.kind = TPaymentLookup::Kind::Pending;
      found.result = std::move(kept.result);
      found.message = kPagamentoPendente;
    } else {
      found.kind = TPaymentLookup::Kind::Finished;
      found.result = std::move(kept.result);
    }
  }
  return found;
}

std::string TDmSitef::PendingMessage(const TPaymentRecord& record) {
  switch (record.state) {
    case TPaymentState::Decided:
      return std::string(record.confirm ? "Aceito" : "Recusado") +
             " pelo servidor de vendas; falta a CliSiTef " + (record.confirm ? "confirmar" : "desfazer") +
             " o pagamento, o que o serviço faz sozinho na próxima tentativa. Não cobre de novo.";
    case TPaymentState::Reported:
      return "Aprovado no cartão; o servidor de vendas ainda não respondeu ao relatório do pagamento. O serviço "
             "o envia de novo sozinho, e o confirma ou desfaz pela resposta. Não cobre de novo; se o servidor de "
             "vendas estiver fora do ar, confira a venda nele quando voltar.";
    case TPaymentState::Started:
      return "O serviço parou durante o pagamento, antes de saber se ele foi aprovado; ele desfaz na CliSiTef o "
             "que houver dele assim que ela estiver configurada (no próximo início de sessão), e nada fica cobrado. "
             "Não cobre de novo antes disso.";
    default:
      return "Aprovado no cartão e nunca informado ao servidor de vendas; o serviço o desfaz sozinho assim que a "
             "CliSiTef estiver configurada (no próximo início de sessão).";
  }
}

void TDmSitef::KeepResult(const std::string& idempotency_key, const std::string& fingerprint) {
  FKeepingResult = false;
  if (!FLastResult.empty()) {
    norvane::JsonParseResult parsed = norvane::parse_json_text(FLastResult);
    FLastResult.clear();
    if (parsed.status == norvane::JsonParseStatus::Ok && parsed.value.is_object())
      Results().Add({fVenda_Id, idempotency_key, std::move(parsed.value), fingerprint});
  }
  // Settled and told: the journal of these payments is complete.
  for (const std::string& file : FSettledBackups) {
    try {
      ApagaArquivo(file);
    } catch (const std::exception& error) {
      GravaLog("Não foi possível apagar o backup do pagamento já liquidado " + file + " (" + error.what() +
               "); o serviço o reconhecerá como liquidado pelo resultado guardado.");
    }
  }
  FSettledBackups.clear();
  if (FSettlementFailed) WakeSettler();
  if (FOperationOutcome) norvane::metrics::CountOperation(FRunningOperation, *FOperationOutcome);
  FOperationOutcome.reset();
}

void TDmSitef::TransactionStatus(const std::string& pContent, TSession* pSession) {
  norvane::JsonParseResult storage;
  const Json& message = MessageValue(pContent, storage);
  if (message.contains("idempotency_key")) {
    const std::string key = GetJsonField(message, "idempotency_key");
    SendClientMessage(norvane::write_json(StatusReply(key, LookUpPayment(key))));
    return;
  }
  std::int32_t sale_id = pSession != nullptr ? pSession->FVenda_Id : 0;
  if (message.contains("sale_id")) sale_id = request_integer(GetJsonField(message, "sale_id"));
  Json reply = Json::object();
  reply["type"] = "transaction_status";
  // Every payment of the sale: the pending ones first (each by its key), then the kept
  // results, newest first. A sale paid in parts has several.
  Json results = Json::array();
  for (TPaymentRecord& record : ReadPaymentRecords(CliSiTefManager().MascaraArquivosBackup())) {
    if (record.sale_id != sale_id || record.idempotency_key.empty()) continue;
    // The running payment's own record: said below as running.
    if (fProcessando && record.idempotency_key == FRunningIdempotencyKey) continue;
    Json item = Json::object();
    item["idempotency_key"] = record.idempotency_key;
    item["status"] = "pending";
    item["result"] = record.ReportBody();
    results.push_back(std::move(item));
  }
  for (TResultStore::Entry& kept : Results().AllOfSale(sale_id)) {
    bool listed = false;
    for (const Json& item : results) listed = listed || item["idempotency_key"] == kept.idempotency_key;
    if (listed) continue;
    Json item = Json::object();
    item["idempotency_key"] = kept.idempotency_key;
    item["status"] = "finished";
    item["result"] = std::move(kept.result);
    results.push_back(std::move(item));
  }
  TResultStore::Entry kept;
  if (fProcessando && FRunningSaleId == sale_id) {
    reply["status"] = "running";
    reply["sale_id"] = sale_id;
    reply["idempotency_key"] = FRunningIdempotencyKey;
    reply["result"] = nullptr;
  } else if (Results().LastOfSale(sale_id, kept)) {
    reply["status"] = "finished";
    reply["sale_id"] = sale_id;
    reply["idempotency_key"] = kept.idempotency_key;
    reply["result"] = std::move(kept.result);
  } else {
    reply["status"] = "unknown";
    reply["sale_id"] = sale_id;
    reply["result"] = nullptr;
  }
  reply["results"] = std::move(results);
  SendClientMessage(norvane::write_json(reply));
}
