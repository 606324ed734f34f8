// What follows a CliSiTef function: the error shown to the operator, the response handed
// on (printed, or added to the pending list), and the transaction's end in the library.
#include <utility>

#include "platform/CodePage.h"
#include "platform/GravaLog.h"
#include "platform/Text.h"
#include "tef/RiZedIzAdeTef.h"

namespace {

const char* const kTransacaoNaoEfetuada = "Transação \"TEF\" não efetuada.";
const char* const kReterCupom = "Transação efetuada com sucesso.\r\nFavor reter o Cupom";

// Moves the pending list's contents to the caller, whatever the block does: the list owns
// the copies, and a failure must not leave them behind for the next sale.
template <typename F>
void esvaziando_depois(TRiZedIzAdeRespostasPendentes& pendentes, F&& f) {
  try {
    f();
  } catch (...) {
    pendentes.Clear();
    throw;
  }
  pendentes.Clear();
}

// The date ("yyyymmdd") and time ("hhnnss") a transaction is finalised with: the ones given,
// now for those left empty.
std::pair<std::string, std::string> data_hora_ou_agora(const std::string& Data, const std::string& Hora) {
  const TDateTime agora = Now();
  return {Data.empty() ? FormatDateTime("yyyymmdd", agora) : Data,
          Hora.empty() ? FormatDateTime("hhnnss", agora) : Hora};
}

// The log line of a finalisation sent to the library. Documento is UTF-8.
std::string linha_finalizacao(const char* Funcao, bool Confirma, const std::string& Documento,
                              const std::string& Data, const std::string& Hora) {
  return std::string("*** ") + Funcao +
         (Confirma ? " -> Confirmação: SIM Documento: " : " -> Cancelamento: NÃO Documento: ") + Documento +
         " Data: " + Data + " Hora: " + Hora;
}

}  // namespace

bool TRiZedIzAdeCliSiTef::Reimpressao(const TRiZedIzAdeResp& Resp) {
  return Resp.IndiceFPG_ECF() == "113" || Resp.IndiceFPG_ECF() == "114";
}

bool TRiZedIzAdeCliSiTef::MensagemDeNegacao(const std::string& Mensagem) {
  return Mensagem.starts_with(kNegadaPeloAutorizador) || norvane::trim(Mensagem) == kNotificacaoNaoAutorizada;
}

void TRiZedIzAdeCliSiTef::AvaliaErro(int Sts) {
  std::string mensagem;
  switch (Sts) {
    case -1: mensagem = "Módulo não inicializado"; break;
    case -2: mensagem = "Operação cancelada pelo operador"; break;
    case -3: mensagem = "Fornecida uma modalidade inválida"; break;
    case -4: mensagem = "Falta de memória para rodar a função"; break;
    case -5:
      mensagem =
          "Não foi possivel realizar a conexão com o servidor SiTef\r\nPor favor tente mais tarde...";
      break;
    case -6: mensagem = "Operação cancelada pelo usuário"; break;
    default:
      mensagem = Sts < 0 ? "Operadora do cartão de crédito off-line (" + std::to_string(Sts) + ")"
                         : std::string(kNegadaPeloAutorizador) + std::to_string(Sts) + ")";
  }
  GravaLog("AvaliaErro: STS " + std::to_string(Sts));
  Dono().DoExibeMsg(opmExcept, mensagem);
}

void TRiZedIzAdeCliSiTef::VerificaRequisicaoIniciada() {
  if (!fIniciouRequisicao) throw ERiZedIzAdeErro("Nenhuma Requisição Iniciada");
}

void TRiZedIzAdeCliSiTef::ProcessarResposta() {
  GravaLog(Name() + " ProcessarResposta: " + fpReq->Header());
  Dono().SetEstadoResp(respProcessando);
  if (fpResp->fpQtdLinhasComprovante <= 0) return;
  TRiZedIzAdeRespostasPendentes& pendentes = Dono().RespostasPendentes();
  auto copia = std::make_unique<TRiZedIzAdeRespCliSiTef>();
  copia->Assign(*fpResp);
  TRiZedIzAdeResp& adicionada = pendentes.Add(std::move(copia));
  // In service mode the host reports the response and settles it by the back-end's answer;
  // the report printing must then leave it alone, or the document would be settled twice.
  const bool doHospedeiro = Dono().ModoServico() && Dono().Eventos().OnDepoisConfirmarTransacoes;
  std::string backup;
  esvaziando_depois(pendentes, [&] {
    fRelatorioLiquida = !doHospedeiro;
    try {
      ImprimirRelatorio();
    } catch (...) {
      fRelatorioLiquida = true;
      throw;
    }
    fRelatorioLiquida = true;
    if (doHospedeiro) {
      backup = Dono().Resp().ArqBackup();
      adicionada.SetArqBackup(backup);
    }
    if (Dono().Eventos().OnDepoisConfirmarTransacoes)
      Dono().Eventos().OnDepoisConfirmarTransacoes(pendentes);
  });
  // Settled by the host, which removes its backup once the library has settled it, as for
  // a payment.
}

std::string TRiZedIzAdeCliSiTef::CopiarResposta() {
  if (fArqInicio.empty()) return TRiZedIzAdeClass::CopiarResposta();
  // The approval goes over the function's start record, in one rename: the file says
  // either "started" or "approved", never neither.
  TRiZedIzAdeResp& resp = Dono().Resp();
  const std::string arquivo = fArqInicio;
  GravaLog(Dono().Name() + " CopiarResposta: " + resp.Header() + " - " + std::to_string(resp.ID()) + " Arq: " + arquivo);
  try {
    resp.Conteudo().GravarArquivo(arquivo, true);
  } catch (...) {
    // The payment goes on unprotected (the caller says so). A start record left behind
    // would have the next start undo a payment the back-end may meanwhile have accepted.
    EncerraInicio();
    throw;
  }
  fArqInicio.clear();
  resp.SetArqBackup(arquivo);
  return arquivo;
}

bool TRiZedIzAdeCliSiTef::ProcessarRespostaPagamento(const std::string& IndiceFPG_ECF,
                                                     Currency Valor) {
  TRiZedIzAdeDono& dono = Dono();
  TRiZedIzAdeRespostasPendentes& pendentes = dono.RespostasPendentes();
  GravaLog("ProcessarRespostaPagamento ...");
  fpResp->SetIndiceFPG_ECF(IndiceFPG_ECF);
  // The approval is on disk before anything else can fail, so that a stop from here on
  // (the process killed while the host reports the payment) leaves it for the next start
  // to settle. A backup that cannot be written (folder read-only or full) must not stop
  // an approved payment before anyone is told: it goes on to its report and settlement,
  // unprotected against a crash, and the failure is said once.
  // In service mode the host writes the approval over the start record itself, in the one
  // flushed write that adds its report (or its undo): nothing leaves the process between
  // the two, and a stop before that write finds the start record, which is undone by its
  // document as the back-end never heard of the payment.
  const bool hospedeiroGrava =
      dono.ModoServico() && dono.Eventos().OnDepoisConfirmarTransacoes && !fArqInicio.empty();
  try {
    if (hospedeiroGrava)
      dono.Resp().SetArqBackup(std::exchange(fArqInicio, std::string()));
    else
      CopiarResposta();
  } catch (const std::exception& e) {
    std::string motivo = e.what();
    for (char& c : motivo)
      if (c == '\r' || c == '\n') c = ' ';  // one log line
    const std::string texto = "Não foi possível gravar o backup do pagamento aprovado em " + dono.PathBackup() +
                              " (" + motivo + "); o pagamento segue sem proteção contra uma queda do serviço. "
                              "Libere espaço em disco e dê ao serviço permissão de gravação nessa pasta.";
    GravaLog(texto);
    ::GravaLog(texto);
    fpResp->SetArqBackup("");
  }
  auto nova = std::make_unique<TRiZedIzAdeRespCliSiTef>();
  nova->Assign(dono.Resp());
  TRiZedIzAdeResp& copia = pendentes.Add(std::move(nova));
  GravaLog("ProcessarRespostaPagamento: RespostasPendentes (" + std::to_string(pendentes.Count()) +
           ")");

  if (dono.ModoServico() && !pendentes.Empty()) {
    // The backup covers a stop while the host reports the payment and settles it; it is the
    // host's from here on, and the host removes it once the library has settled the
    // payment. One the host could not settle (an error on the way, a library that refused
    // the finalisation) stays, for the host to settle later by what it records.
    if (!dono.Eventos().OnDepoisConfirmarTransacoes)
      throw ERiZedIzAdeErro("Evento \"OnDepoisConfirmarTransacoes\" não programado");
    dono.Eventos().OnDepoisConfirmarTransacoes(pendentes);
    return true;
  }

  if (dono.AutoEfetuarPagamento()) EfetuarPagamentoECF(IndiceFPG_ECF, Valor, copia, {});

  if (pendentes.SaldoRestante() <= Currency() && dono.AutoFinalizarCupom()) {
    GravaLog("AutoFinalizarCupom ...");
    dono.FinalizarCupom(false);
    dono.ImprimirTransacoesPendentes();
  }
  return true;
}

void TRiZedIzAdeCliSiTef::CNF(const std::string&, const std::string&, const std::string&,
                              const std::string& DocumentoVinculado) {
  if (FTEFModoServico) FinalizarTransacao(true, norvane::to_windows1252(DocumentoVinculado));
}

void TRiZedIzAdeCliSiTef::NCN(const std::string&, const std::string&, const std::string&,
                              Currency, const std::string& DocumentoVinculado) {
  FinalizarTransacao(false, norvane::to_windows1252(DocumentoVinculado));
}

int TRiZedIzAdeCliSiTef::FinalizarPendente(bool Confirma, const std::string& DocumentoVinculado,
                                           const std::string& Data, const std::string& Hora) {
  const auto finaliza = Funcao(xFinalizaFuncaoSiTefInterativo);
  fRespostas.clear();
  fIniciouRequisicao = false;
  const auto [data, hora] = data_hora_ou_agora(Data, Hora);
  GravaLog(linha_finalizacao("FinalizaFuncaoSiTefInterativo", Confirma, norvane::from_windows1252(DocumentoVinculado),
                             data, hora) +
           " ParamAdc: ");
  const int sts = finaliza(Confirma ? 1 : 0, DocumentoVinculado.c_str(), data.c_str(), hora.c_str(), "");
  if (sts != 0) GravaLog("FinalizaFuncaoSiTefInterativo: STS " + std::to_string(sts));
  return sts;
}

void TRiZedIzAdeCliSiTef::FinalizarTransacao(bool Confirma,
                                             const std::string& DocumentoVinculado) {
  TRiZedIzAdeDono& dono = Dono();
  fRespostas.clear();
  fIniciouRequisicao = false;
  if (fReimpressao) return;  // a reprint leaves nothing to settle

  const std::string documento = norvane::from_windows1252(DocumentoVinculado);
  if (FTEFModoServico) {
    // The library knows the payment by the date and time it was started with, which its
    // response keeps (one without them is finalised as of now, as FinalizarPendente does).
    const std::string data = dono.Resp().LeInformacao(kIdentificacaoControle, kSequenciaDataFiscal).AsString();
    const std::string hora =
        data.empty() ? std::string() : dono.Resp().LeInformacao(kIdentificacaoControle, kSequenciaHoraFiscal).AsString();
    const int sts = FinalizarPendente(Confirma, DocumentoVinculado, data, hora);
    if (sts != 0)
      throw ERiZedIzAdeErro("A CliSiTef não finalizou a transação do documento " + documento + " (retorno " +
                            std::to_string(sts) + ")");
    if (fDevolucao) dono.DoExibeMsg(opmOK, kReterCupom);
  } else if (dono.Resp().fMsgImpressao && !dono.TransacaoConfirmada()) {
    const auto [data, hora] = data_hora_ou_agora("", "");  // before the receipt is printed
    const auto finaliza = Funcao(xFinalizaTransacaoSiTefInterativo);
    int retornoImpressao = -1;
    dono.BloquearMouseTeclado(false);
    if (!dono.Eventos().OnComandaImpressao)
      throw ERiZedIzAdeErro("Evento \"OnComandaImpressão\" não programado");
    dono.Eventos().OnComandaImpressao(retornoImpressao, dono.Resp(), fDevolucao);
    if (!dono.ModoServico()) Confirma = retornoImpressao != 0;
    GravaLog(linha_finalizacao("FinalizaTransacaoSiTefInterativo", Confirma, documento, data, hora));
    finaliza(Confirma ? 1 : 0, DocumentoVinculado.c_str(), data.c_str(), hora.c_str());
    if (fDevolucao) dono.DoExibeMsg(opmOK, kReterCupom);
  }
  if (!Confirma) {
    dono.DoExibeMsg(opmOK, kTransacaoNaoEfetuada);
    GravaLog(documento);
  }
}
