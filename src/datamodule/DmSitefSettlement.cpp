// What makes a payment of service mode settle exactly once, by the sales back-end's answer,
// through a crash: its backup carries what its report needs and, once the back-end has
// answered, the decision; the first session start after a restart settles what is left.
#include <chrono>
#include <cstdlib>
#include <exception>
#include <string_view>
#include <thread>

#include "datamodule/SalesCallback.h"
#include "datamodule/ntDmSitef.h"
#include "platform/CodePage.h"
#include "platform/GravaLog.h"
#include "platform/Metrics.h"
#include "routing/JsonText.h"
#include "routing/Jwt.h"
#include "tef/RiZedIzAdeTef.h"

namespace {

// A payment's identity in the log: its document number and NSU.
std::string identity(TRiZedIzAdeResp& r) {
  return "documento " + r.DocumentoVinculado() + ", NSU " + r.NSU();
}

std::string host_value(TRiZedIzAdeResp& r, int sequence) {
  return DesescapaTexto(r.LeInformacao(kIdentificacaoControle, sequence).AsString());
}

}  // namespace

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

void TDmSitef::SettleLeftPayments() {
  FSettlementDue = false;
  bool idle = false;
  if (!fProcessando.compare_exchange_strong(idle, true)) return;  // a payment runs: it is not a start
  struct Release {
    std::atomic<bool>& flag;
    ~Release() { flag = false; }
  } release{fProcessando};

  TRiZedIzAdeCliSiTef& manager = CliSiTefManager();
  for (const std::string& file : norvane::list_matching_files(manager.MascaraArquivosBackup())) {
    TRiZedIzAdeRespCliSiTef r;
    try {
      r.LeArquivo(file);
      const std::string decided = r.LeInformacao(kIdentificacaoControle, kSequenciaDecisao).AsString();
      const std::string body = host_value(r, kSequenciaRelatorioCorpo);
      const bool reprint = r.IndiceFPG_ECF() == "113" || r.IndiceFPG_ECF() == "114";
      bool confirm = false;
      std::string outcome;
      if (!decided.empty()) {
        confirm = decided == kDecisaoConfirmar;
        outcome = confirm ? "confirmado pela decisão já recebida do servidor de vendas"
                          : "desfeito pela decisão já recebida do servidor de vendas";
      } else if (body.empty()) {
        outcome = "desfeito: aprovado pela CliSiTef e nunca informado ao servidor de vendas";
      } else {
        std::unique_ptr<TRESTResponse> response;
        try {
          response = PostSalesReport(host_value(r, kSequenciaRelatorioEndereco), body);
        } catch (const std::exception& error) {
          GravaLog("Pagamento pendente (" + identity(r) + ") informado de novo ao servidor de vendas, sem resposta (" +
                   error.what() + "); fica para o próximo início do serviço.");
          continue;
        }
        const TCallbackAnswer answer = ReadCallbackAnswer(*response);
        confirm = answer.Accepted;
        outcome = confirm ? "informado de novo ao servidor de vendas, aceito (payment_id " +
                                std::to_string(answer.PaymentId) + ") e confirmado"
                          : "informado de novo ao servidor de vendas, recusado (" + answer.FailureText +
                                ") e desfeito";
        // The answer is kept before the library hears it: a crash from here on settles
        // the payment by it, without a third report.
        AnnotateBackups({file}, {{kSequenciaDecisao, confirm ? kDecisaoConfirmar : kDecisaoDesfazer}});
      }
      if (!reprint) manager.FinalizarPendente(confirm, norvane::to_windows1252(r.DocumentoVinculado()));
      ApagaArquivo(file);
      GravaLog("Pagamento pendente (" + identity(r) + ") " + outcome + ".");
      if (!reprint) norvane::metrics::CountRecoveredPayment(confirm);
    } catch (const std::exception& error) {
      GravaLog("Não foi possível liquidar o pagamento pendente de " + file + " (" + error.what() +
               "); o backup fica para o próximo início do serviço.");
    }
  }
}
