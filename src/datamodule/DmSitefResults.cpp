// The TEF component's events other than the dialogue: the result of an approved payment
// (reported to the sales back-end, then confirmed or undone), receipt copies, the answers
// of a workstation without a fiscal printer, and the state changes that drive cancelling.
#include <cstdio>
#include <ctime>
#include <exception>
#include <memory>

#include "routing/JsonText.h"
#include "datamodule/ntDmSitef.h"
#include "datamodule/PaymentRecord.h"
#include "platform/GravaLog.h"
#include "tef/RiZedIzAdeTef.h"
#include "platform/Metrics.h"

using norvane::Json;

namespace {

const char* const kNaoConfirmada = "Ocorreu um erro durante o processo, a transação TEF não será confirmada.";

// An amount in currency units as a JSON number without trailing zeros: 189.23, 10.5, 7.
Json amount_number(Currency value) {
  if (value.Raw() % Currency::kScale == 0) return Json(value.Raw() / Currency::kScale);
  return Json(value.ToDouble());
}

// A local date-time as UTC, "2025-11-26T15:48:41Z", with the zone's offset at that instant.
std::string local_to_utc_text(TDateTime value) {
  int year, month, day, hour, minute, second, millisecond;
  DecodeDate(value, year, month, day);
  DecodeTime(value, hour, minute, second, millisecond);
  std::tm local{};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_sec = second;
  local.tm_isdst = -1;  // the zone decides whether summer time applied then
  const std::time_t instant = std::mktime(&local);
  std::tm utc{};
  gmtime_r(&instant, &utc);
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
  return text;
}

// One backup of the running payment, with its content as the service last wrote it. The
// first write here carries the library's approval over the start record, together with the
// first host keys (the report, or an undo decided at once): one flushed write instead of two.
struct TRunningBackup {
  std::string file;
  std::unique_ptr<TRiZedIzAdeArquivo> content = std::make_unique<TRiZedIzAdeArquivo>();
};

// Writes host keys (899-sequence) into the running payment's backups, flushed to disk, from
// memory. A backup that cannot be written is logged once with what to do. When the report
// follows, a backup still holding only its start record goes: the next start would undo the
// payment by its document while the back-end may have accepted it, so it goes on unprotected
// instead. False when any failed.
bool write_running_backups(std::vector<TRunningBackup>& backups, const std::vector<std::pair<int, std::string>>& values,
                           bool report_follows) {
  bool all = true;
  for (TRunningBackup& backup : backups) {
    if (backup.file.empty()) continue;
    try {
      for (const auto& [sequence, value] : values)
        backup.content->GravaInformacao(kIdentificacaoControle, sequence, EscapaTexto(value));
      backup.content->GravarArquivo(backup.file, true);
      continue;
    } catch (const std::exception& error) {
      all = false;
      GravaLog("Não foi possível gravar no backup do pagamento " + backup.file + " (" + error.what() +
               "); uma queda do serviço antes do fim deste pagamento o deixaria para ser desfeito no próximo "
               "início. Libere espaço em disco e dê ao serviço permissão de gravação na pasta TEF.");
    }
    if (!report_follows) continue;
    try {
      if (ReadPaymentRecord(backup.file).state != TPaymentState::Started) continue;
      ApagaArquivo(backup.file);
      GravaLog("O registro de início " + backup.file + " foi apagado: o pagamento segue sem proteção contra uma "
               "queda do serviço.");
      backup.file.clear();
    } catch (const std::exception& error) {
      GravaLog("Não foi possível conferir o registro de início " + backup.file + " (" + error.what() + ").");
    }
  }
  return all;
}

Json receipt_copy(int copy_number, const std::vector<std::string>& lines) {
  Json copy = Json::object();
  copy["copy_number"] = copy_number;
  copy["data"] = Json::array();
  for (const std::string& line : lines) copy["data"].push_back(line);
  return copy;
}

}  // namespace

Json TDmSitef::BuildTransactionData(const TRiZedIzAdeResp& R) const {
  std::string operation;
  if (TRiZedIzAdeCliSiTef::Reimpressao(R)) operation = "reprint";
  else if (CliSiTefManager().CancelandoTransacaoTEF()) operation = "cancellation";
  else if (R.fpDebito) operation = "debit";
  else if (R.fpCredito) operation = "credit";
  else operation = "pix";
  const bool card = operation == "debit" || operation == "credit";

  Json element = Json::object();
  element["sale_id"] = fVenda_Id;
  element["operation"] = operation;
  if (card) element["card_number"] = R.fpNumeroCartao;
  if (operation != "reprint") {
    element["operator"] = R.fpRede;
    if (operation == "cancellation") element["canceled_nsu"] = fNsuCancelamento;
    element["payer_name"] = fPayerName;
    element["institution"] = R.fpInstituicao;
    element["payment_method_code"] = R.fpModalidadePagto;
    element["payment_method_description"] = R.fpModalidadePagtoDescrita;
    element["hash"] = R.fpCodigoHASH;
    element["nsu_code"] = R.fpNSUComprovante;
    element["authorization_code"] = R.fpCodigoAutorizacaoTransacao;
    // The back-end has always received the authorization code here, and reads it so.
    element["establishment_code"] = R.fpCodigoAutorizacaoTransacao;
    element["number_of_installments"] = R.fpQtdParcelas;
    element["transaction_value"] = amount_number(R.fpValorTotal);
    element["transaction_date_time"] = local_to_utc_text(R.fpDataHoraTransacaoHost);
    element["gateway"] = "Software Express";
  }
  element["receipt"] = Json::array();
  if (!R.fpImagemComprovante1aVia.empty()) element["receipt"].push_back(receipt_copy(1, R.fpImagemComprovante1aVia));
  if (!R.fpImagemComprovante2aVia.empty()) element["receipt"].push_back(receipt_copy(2, R.fpImagemComprovante2aVia));
  return element;
}

void TDmSitef::RiZedIzAdeDepoisConfirmarTransacoes(TRiZedIzAdeRespostasPendentes& RespostasPendentes) {
  // The library has answered: from here on the payment can no longer be cancelled.
  if (fPodeCancelar) SetCanCancel(false);
  const std::string document = RiZedIzAde.Resp().DocumentoVinculado();
  // The backups of these responses (one per approved payment; none when it could not be
  // written): each carries the report and then the decision, so that a crash at any point
  // leaves the next start what it needs to settle the payment once.
  std::vector<TRunningBackup> backups;
  for (int i = 0; i < RespostasPendentes.Count(); ++i) {
    if (RespostasPendentes[i].ArqBackup().empty()) continue;
    TRunningBackup& backup = backups.emplace_back();
    backup.file = RespostasPendentes[i].ArqBackup();
    backup.content->Assign(RespostasPendentes[i].Conteudo());
  }
  // The decision is on disk before the library hears it; a backup goes only once the
  // library has settled its payment (after the operation's result is kept). One the library
  // did not settle stays, decided, for the settler, and the client is told "pending".
  auto decide_and_settle = [&](bool confirm, std::int64_t payment_id) {
    write_running_backups(backups,
                          {{kSequenciaDecisao, confirm ? kDecisaoConfirmar : kDecisaoDesfazer},
                           {kSequenciaPagamentoId, std::to_string(payment_id)}},
                          false);
    TestHoldPoint("depois-da-resposta");
    const bool done = ConfirmTefTransaction(confirm, document);
    TestHoldPoint("depois-da-finalizacao");
    if (done) {
      for (const TRunningBackup& backup : backups)
        if (!backup.file.empty()) FSettledBackups.push_back(backup.file);
    } else {
      FSettlementFailed = true;
      GravaLog("Pagamento do documento " + document + " decidido (" + (confirm ? "confirmar" : "desfazer") +
               ") mas não finalizado pela CliSiTef; o backup fica em TEF/ e o serviço tenta de novo sozinho. "
               "Se persistir, verifique a conexão da CliSiTef com o SiTef.");
    }
    return done;
  };

  Json result = Json::object();
  result["type"] = "result";
  if (StopStands()) {
    // Approved while the client asked to cancel: undone at once, so that it neither stays
    // pending in the library nor reaches a later report. The operation's end tells the
    // client, with the one result "canceled".
    GravaLog("Pagamento aprovado depois do pedido de cancelamento do cliente: desfeito.");
    RespostasPendentes.Clear();
    decide_and_settle(false, 0);
    return;
  }
  result["status"] = "approved";
  result["message"] = "Transação TEF concluída com sucesso.";
  Json elements = Json::array();
  try {
    while (!RespostasPendentes.Empty()) {
      elements.push_back(BuildTransactionData(RespostasPendentes[0]));
      RespostasPendentes.Delete(0);
    }
  } catch (...) {
    // Approved by the library and not reported: it must not stay pending there, where the
    // next start would confirm it behind the back-end's back.
    decide_and_settle(false, 0);
    throw;
  }
  result["transaction_data"] = std::move(elements);
  fConcluido = true;

  bool accepted = false, settled = false;
  if (result["transaction_data"].empty()) {
    settled = decide_and_settle(false, 0);
  } else {
    write_running_backups(backups,
                          {{kSequenciaRelatorioEndereco, CallbackBase()},
                           {kSequenciaRelatorioVenda, std::to_string(fVenda_Id)},
                           {kSequenciaRelatorioEmpresa, std::to_string(fEmpresa_Id)},
                           {kSequenciaRelatorioCorpo, norvane::write_json(result)}},
                          true);
    TestHoldPoint("antes-do-relatorio");
    accepted = SendTransactionCallback(result);
    std::int64_t payment_id = 0;
    const Json& first = result["transaction_data"][0];
    if (first.contains("payment_id") && first["payment_id"].is_number_integer())
      payment_id = first["payment_id"].get<std::int64_t>();
    settled = decide_and_settle(accepted, payment_id);
  }
  if (!settled) {
    // The back-end's answer is kept, and the settler finishes it: neither approved nor
    // canceled yet, and never to be charged again.
    result.erase("status");
    result.erase("message");
    result["status"] = "pending";
    result["message"] = kPagamentoPendente;
  } else if (!accepted) {
    result.erase("status");
    result.erase("message");
    result["status"] = "canceled";
    result["message"] = kNaoConfirmada;
  }
  result["idempotency_key"] = FRunningIdempotencyKey;
  fNsuCancelamento.clear();
  SendClientMessage(norvane::write_json(result));
  FOperationOutcome = !settled  ? norvane::metrics::Outcome::Pending
                      : accepted ? norvane::metrics::Outcome::Approved
                                 : norvane::metrics::Outcome::UndoneByBackEnd;
}

void TDmSitef::RiZedIzAdeComandaECFImprimeVia(TRiZedIzAdeTipoRelatorio, int Via,
                                              const std::vector<std::string>& ImagemComprovante, int& RetornoECF) {
  try {
    Json receipt = Json::object();
    receipt["type"] = "receipt";
    receipt["copy_number"] = Via;
    receipt["data"] = Json::array();
    for (const std::string& line : ImagemComprovante) receipt["data"].push_back(line);
    SendClientMessage(norvane::write_json(receipt));
  } catch (const std::exception& error) {
    // The copy is the client's to print; a failure to send it must not fail the payment.
    GravaLog(std::string("Erro ao enviar comprovante: ") + error.what());
  }
  RetornoECF = 1;
}

void TDmSitef::RiZedIzAdeInfoECF(TRiZedIzAdeInfoECF Operacao, std::string& RetornoECF) {
  switch (Operacao) {
    case ineEstadoECF: {
      const TRiZedIzAdeClass* manager = RiZedIzAde.TefClass();
      const bool initialised = manager != nullptr && manager->Inicializado();
      const TRiZedIzAdeTipo kind = RiZedIzAde.GPAtual();
      RetornoECF = !initialised && (kind == gpCliSiTef || kind == gpVeSPague) ? "R" : "L";
      break;
    }
    case ineSubTotal:
    case ineTotalAPagar:
      RetornoECF = Currency::FromRaw(fValorTransacao).Format(',');
      break;
  }
}

// A new request of the library starts with no stop owed: one owed to the last request was
// for that request.
void TDmSitef::RiZedIzAdeMudaEstadoReq(TRiZedIzAdeReqEstado) { StopOperation(TStopReason::None); }

void TDmSitef::RiZedIzAdeMudaEstadoResp(TRiZedIzAdeRespEstado EstadoResp) {
  const bool waiting = EstadoResp == respAguardandoResposta;
  if (waiting != fPodeCancelar) SetCanCancel(waiting);
}

void TDmSitef::WireTefEvents() {
  RiZedIzAde.OnAguardaResp = [this](const std::string& Arquivo, int SegundosTimeOut, bool& Interromper) {
    RiZedIzAdeAguardaResp(Arquivo, SegundosTimeOut, Interromper);
  };
  RiZedIzAde.OnExibeMsg = [this](TRiZedIzAdeOperacaoMensagem Operacao, const std::string& Mensagem,
                                 TModalResult& AModalResult) { RiZedIzAdeExibeMsg(Operacao, Mensagem, AModalResult); };
  RiZedIzAde.OnRestauraFocoAplicacao = [](bool& Tratado) { Tratado = false; };
  // No fiscal printer stands behind this service: every cash-register command succeeds.
  RiZedIzAde.OnComandaECF = [](TRiZedIzAdeOperacaoECF, TRiZedIzAdeResp&, int& RetornoECF) { RetornoECF = 1; };
  RiZedIzAde.OnComandaImpressao = [](int& RetornoImpressao, TRiZedIzAdeResp&, bool) { RetornoImpressao = 1; };
  RiZedIzAde.OnComandaECFPagamento = [](const std::string&, Currency, int& RetornoECF) { RetornoECF = 1; };
  RiZedIzAde.OnComandaECFAbreVinculado = [](const std::string&, const std::string&, Currency, int& RetornoECF) {
    RetornoECF = 1;
  };
  RiZedIzAde.OnComandaECFImprimeVia = [this](TRiZedIzAdeTipoRelatorio TipoRelatorio, int Via,
                                             const std::vector<std::string>& ImagemComprovante, int& RetornoECF) {
    RiZedIzAdeComandaECFImprimeVia(TipoRelatorio, Via, ImagemComprovante, RetornoECF);
  };
  RiZedIzAde.OnInfoECF = [this](TRiZedIzAdeInfoECF Operacao, std::string& RetornoECF) {
    RiZedIzAdeInfoECF(Operacao, RetornoECF);
  };
  RiZedIzAde.OnDepoisConfirmarTransacoes = [this](TRiZedIzAdeRespostasPendentes& RespostasPendentes) {
    RiZedIzAdeDepoisConfirmarTransacoes(RespostasPendentes);
  };
  // fProcessando stays with the operation that set it: clearing it while the library still
  // runs would let a second operation in.
  RiZedIzAde.OnAntesCancelarTransacao = [](TRiZedIzAdeResp&) {};
  RiZedIzAde.OnDepoisCancelarTransacoes = [](TRiZedIzAdeRespostasPendentes&) {};
  RiZedIzAde.OnMudaEstadoReq = [this](TRiZedIzAdeReqEstado EstadoReq) { RiZedIzAdeMudaEstadoReq(EstadoReq); };
  RiZedIzAde.OnMudaEstadoResp = [this](TRiZedIzAdeRespEstado EstadoResp) { RiZedIzAdeMudaEstadoResp(EstadoResp); };
  RiZedIzAde.OnExibeMenu = [this](const std::string& Titulo, const std::vector<std::string>& Opcoes,
                                  int& ItemSelecionado, bool& VoltarMenu) {
    RiZedIzAdeExibeMenu(Titulo, Opcoes, ItemSelecionado, VoltarMenu);
  };
  RiZedIzAde.OnObtemCampo = [this](const std::string& Titulo, int TamanhoMinimo, int TamanhoMaximo, int TipoCampo,
                                   TRiZedIzAdeCliSiTefOperacaoCampo Operacao, std::string& Resposta, bool& Digitado,
                                   bool& VoltarMenu) {
    RiZedIzAdeObtemCampo(Titulo, TamanhoMinimo, TamanhoMaximo, TipoCampo, Operacao, Resposta, Digitado, VoltarMenu);
  };
  RiZedIzAde.OnObtemCheque = [this](const std::string& Titulo, int TipoCampo, TRiZedIzAdeCliSiTefOperacaoCampo Operacao,
                                    std::string& Resposta, bool& Digitado, bool& VoltarMenu) {
    RiZedIzAdeObtemCheque(Titulo, TipoCampo, Operacao, Resposta, Digitado, VoltarMenu);
  };
  RiZedIzAde.OnObterSenha = [this](const std::string& Titulo, bool& VoltarMenu) { RiZedIzAdeObterSenha(Titulo, VoltarMenu); };
  RiZedIzAde.OnExibeQRCode = [this](const std::string& QRCode) { RiZedIzAdeExibeQRCode(QRCode); };
  RiZedIzAde.OnInterromperDialogo = [this] { return DialogueMustEnd(); };
}
