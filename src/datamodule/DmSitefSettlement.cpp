// What makes a payment of service mode settle exactly once, by the sales back-end's answer,
// through a crash: its backup carries what its report needs and, once the back-end has
// answered, the decision; the first session start after a restart settles what is left.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <string_view>
#include <thread>

#include "datamodule/SalesCallback.h"
#include "datamodule/ntDmSitef.h"
#include "datamodule/PaymentRecord.h"
#include "platform/CodePage.h"
#include "platform/GravaLog.h"
#include "platform/Metrics.h"
#include "routing/JsonText.h"
#include "routing/Jwt.h"
#include "tef/RiZedIzAdeTef.h"

void TestHoldPoint(std::string_view name) {
  // Only the end-to-end tests set this: they kill the service (SIGKILL) at a named point of
  // a payment's settlement, once the line below is in the log, to prove what the next start
  // does with what the crash left.
  static const char* const point = std::getenv("NORVANE_TEST_HOLD_AT");
  if (point == nullptr || name != point) return;
  GravaLog("Ponto de teste alcançado: " + std::string(name));
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

std::string TDmSitef::CallbackBase() {
  if (!fCallbackURL.empty() && fCallbackURL.back() != '/') fCallbackURL += '/';
  return fCallbackURL;
}

std::unique_ptr<TRESTResponse> TDmSitef::PostSalesReport(const std::string& base, const std::string& body) {
  const std::string url = base + "v1/sales/tef/callback/" + GenerateJWT(ConfiguredTokenSecret());
  return FExecuteRequest(TRESTRequestMethod::rmPOST, url, {}, body);
}

bool TDmSitef::AnnotateBackups(const std::vector<std::string>& files,
                               const std::vector<std::pair<int, std::string>>& values) {
  bool all = true;
  for (const std::string& file : files) {
    try {
      TRiZedIzAdeResp backup;
      backup.LeArquivo(file);
      for (const auto& [sequence, value] : values)
        backup.Conteudo().GravaInformacao(kIdentificacaoControle, sequence, EscapaTexto(value));
      backup.Conteudo().GravarArquivo(file, true);
    } catch (const std::exception& error) {
      all = false;
      GravaLog("Não foi possível gravar no backup do pagamento " + file + " (" + error.what() +
               "); uma queda do serviço antes do fim deste pagamento o deixaria para ser desfeito no próximo "
               "início. Libere espaço em disco e dê ao serviço permissão de gravação na pasta TEF.");
    }
  }
  return all;
}

namespace {

// The outcome a settled payment leaves under its key, as its page would have been told.
norvane::Json settled_result(const TPaymentRecord& record) {
  norvane::Json result = record.ReportBody();
  if (!result.is_object()) result = norvane::Json::object();
  result["type"] = "result";
  result.erase("status");
  result.erase("message");
  if (record.confirm) {
    result["status"] = "approved";
    result["message"] = "Transação TEF concluída com sucesso.";
    TDmSitef::SetTransactionDataValue(result, "payment_id", record.payment_id);
    TDmSitef::SetTransactionDataValue(result, "company_id", record.company_id);
  } else {
    result["status"] = "canceled";
    result["message"] = record.report_body.empty()
                            ? "Ocorreu um erro durante o processo, a transação TEF não será confirmada."
                            : "O servidor de vendas recusou o pagamento; a transação TEF foi desfeita.";
  }
  result.erase("idempotency_key");
  result["idempotency_key"] = record.idempotency_key;
  return result;
}

// The outcome of a payment the service stopped during, before its approval was written:
// whatever the library had approved of it is undone, so nothing was charged.
norvane::Json interrupted_result(const TPaymentRecord& record) {
  norvane::Json result = norvane::Json::object();
  result["type"] = "result";
  result["status"] = "canceled";
  result["message"] = "O serviço parou durante esta operação, antes de ela ser aprovada; a CliSiTef desfez o que "
                      "houvesse dela e nada foi cobrado. Uma nova tentativa precisa de uma chave nova.";
  result["idempotency_key"] = record.idempotency_key;
  return result;
}

}  // namespace

bool TDmSitef::SettleLeftPayments(std::stop_token stop) {
  TRiZedIzAdeCliSiTef& manager = CliSiTefManager();
  // What is left, read while no operation runs: none of these backups is a running payment's.
  std::vector<TPaymentRecord> records;
  {
    // Waits while an operation runs; the service stops only once its operation has ended.
    TLibraryTurn turn(*this);
    for (const std::string& file : norvane::list_matching_files(manager.MascaraArquivosBackup())) {
      try {
        records.push_back(ReadPaymentRecord(file));
      } catch (const std::exception& error) {
        GravaLog("Não foi possível ler o backup do pagamento pendente " + file + " (" + error.what() +
                 "); ele fica em TEF/ para ser conferido.");
      }
    }
  }
  if (records.empty()) return false;

  bool left = false;
  // The reports, with no turn held: a back-end that does not answer holds nobody. The
  // answer is kept before the library hears it, so a crash from here on settles the
  // payment by it without a third report.
  for (TPaymentRecord& r : records) {
    if (stop.stop_requested()) return true;
    if (r.state != TPaymentState::Reported) continue;
    const std::string name = "documento " + r.document + ", NSU " + r.nsu;
    std::unique_ptr<TRESTResponse> response;
    try {
      response = PostSalesReport(r.report_address, r.report_body);
    } catch (const std::exception& error) {
      GravaLog("Pagamento pendente (" + name + ") informado de novo ao servidor de vendas, sem resposta (" +
               error.what() + "); fica pendente, e o serviço o envia de novo daqui a pouco e a cada início.");
      left = true;
      continue;
    }
    const TCallbackAnswer answer = ReadCallbackAnswer(*response);
    if (!answer.Warning.empty()) GravaLog(answer.Warning);
    r.confirm = answer.Accepted;
    r.payment_id = answer.PaymentId;
    r.state = TPaymentState::Decided;
    GravaLog("Pagamento pendente (" + name + ") informado de novo ao servidor de vendas: " +
             (r.confirm ? "aceito (payment_id " + std::to_string(answer.PaymentId) + ")"
                        : "recusado (" + answer.FailureText + ")") + ".");
    if (!AnnotateBackups({r.file}, {{kSequenciaDecisao, r.confirm ? kDecisaoConfirmar : kDecisaoDesfazer},
                                    {kSequenciaPagamentoId, std::to_string(r.payment_id)}})) {
      left = true;
      r.state = TPaymentState::Reported;  // not settled on an answer that is not on disk
    }
  }

  // The library, between two operations, once a session start has configured it.
  if (stop.stop_requested()) return true;
  TLibraryTurn turn(*this);
  if (!RiZedIzAde.Inicializado(gpCliSiTef) || !manager.Inicializado()) return true;  // settled after a session start
  for (TPaymentRecord& r : records) {
    if (r.state == TPaymentState::Reported) continue;
    if (r.state == TPaymentState::Started) {
      if (!SettleInterruptedStart(r)) left = true;
      continue;
    }
    const std::string name = "documento " + r.document + ", NSU " + r.nsu;
    try {
      std::string outcome;
      if (r.state == TPaymentState::Decided) {
        outcome = r.confirm ? "confirmado pela decisão do servidor de vendas"
                            : "desfeito pela decisão do servidor de vendas";
      } else {
        outcome = "desfeito: aprovado pela CliSiTef e nunca informado ao servidor de vendas";
        r.confirm = false;
        if (!AnnotateBackups({r.file}, {{kSequenciaDecisao, kDecisaoDesfazer}})) {
          left = true;
          continue;
        }
      }
      if (!r.reprint) {
        const int sts = manager.FinalizarPendente(r.confirm, r.document, r.date, r.time);
        if (sts != 0) {
          GravaLog("Pagamento pendente (" + name + ") não finalizado pela CliSiTef (retorno " + std::to_string(sts) +
                   "); o backup fica em TEF/ e o serviço tenta de novo. Se persistir, verifique a conexão da "
                   "CliSiTef com o SiTef.");
          left = true;
          continue;
        }
      }
      // The outcome is kept under the payment's key before its backup goes: a page that
      // asks by its key finds the payment in one or the other.
      if (!r.idempotency_key.empty()) Results().Add({r.sale_id, r.idempotency_key, settled_result(r), r.fingerprint});
      ApagaArquivo(r.file);
      GravaLog("Pagamento pendente (" + name + ") " + outcome + ".");
      if (!r.reprint) norvane::metrics::CountRecoveredPayment(r.confirm);
    } catch (const std::exception& error) {
      left = true;
      GravaLog("Não foi possível liquidar o pagamento pendente de " + r.file + " (" + error.what() +
               "); o backup fica em TEF/ e o serviço tenta de novo.");
    }
  }
  return left;
}

bool TDmSitef::SettleInterruptedStart(const TPaymentRecord& r) {
  const std::string name = "documento " + r.document;
  try {
    // A record whose key already has an outcome belongs to an operation that ended (its
    // approval could not be written over it): the library was settled by that operation.
    TResultStore::Entry kept;
    const bool ended = !r.idempotency_key.empty() && Results().ForKey(r.idempotency_key, kept);
    if (!ended) {
      const int sts = CliSiTefManager().FinalizarPendente(false, r.document, r.date, r.time);
      if (sts != 0) {
        GravaLog("Pagamento interrompido antes da aprovação (" + name + ") não desfeito pela CliSiTef (retorno " +
                 std::to_string(sts) + "); o registro fica em TEF/ e o serviço tenta de novo. Se persistir, "
                 "verifique a conexão da CliSiTef com o SiTef.");
        return false;
      }
      if (!r.idempotency_key.empty()) Results().Add({r.sale_id, r.idempotency_key, interrupted_result(r), r.fingerprint});
    }
    ApagaArquivo(r.file);
    GravaLog("Pagamento interrompido antes da aprovação (" + name + ") desfeito" +
             (ended ? ": a operação já tinha terminado." : ": nada foi cobrado."));
    return true;
  } catch (const std::exception& error) {
    GravaLog("Não foi possível desfazer o pagamento interrompido de " + r.file + " (" + error.what() +
             "); o registro fica em TEF/ e o serviço tenta de novo.");
    return false;
  }
}

void TDmSitef::StartSettler() {
  if (FSettler.joinable()) return;
  FSettler = std::jthread([this](std::stop_token stop) {
    // A payment left pending is tried again after 15 s, then after twice as long each
    // time, up to ten minutes; a wake-up (a session start, a payment that left its backup)
    // tries at once.
    constexpr std::chrono::seconds kFirstRetry{15}, kLongestRetry{600};
    std::chrono::seconds retry = kFirstRetry;
    while (!stop.stop_requested()) {
      const bool pending = SettleLeftPayments(stop);
      FSettlerLeftPending = pending;
      std::unique_lock<std::mutex> lock(FSettlerLock);
      if (pending) {
        FSettlerWake.wait_for(lock, stop, retry, [this] { return FSettlerWoken; });
        retry = std::min(retry * 2, kLongestRetry);
      } else {
        FSettlerWake.wait(lock, stop, [this] { return FSettlerWoken; });
        retry = kFirstRetry;
      }
      FSettlerWoken = false;
    }
  });
}

void TDmSitef::StopSettler() {
  if (!FSettler.joinable()) return;
  FSettler.request_stop();
  FSettler.join();
}

void TDmSitef::WakeSettler() {
  if (!FSettler.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(FSettlerLock);
    FSettlerWoken = true;
  }
  FSettlerWake.notify_all();
}
