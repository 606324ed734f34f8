// The file exchange with a standard manager: the point of sale writes a request file, the
// manager's program answers with a status file (request taken) and then a response file.
// Every step runs on the caller's thread; the waits sleep between looks at the folder.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/CodePage.h"
#include "platform/Text.h"
#include "tef/RiZedIzAdeClass.h"

namespace {

const char* const kImpressoraNaoResponde = "Impressora não responde\r\nDeseja imprimir novamente ?";

// A response of another request is logged whole so that the operator's support can see what
// the manager wrote; beyond this much the log keeps only the start.
constexpr size_t kMaiorTextoNoLog = 64 * 1024;

// The file's lines as UTF-8 text, like the rest of the log line they join.
std::string texto_do_arquivo(const TRiZedIzAdeArquivo& Arquivo) {
  std::string texto;
  for (const std::string& linha : Arquivo.Conteudo()) {
    if (texto.size() > kMaiorTextoNoLog) return texto + "...";
    texto += norvane::from_windows1252(linha) + "\r\n";
  }
  return texto;
}

// The cheque's keys, which a CHQ sends and a CNC repeats from the cheque's response.
struct DadosCheque {
  const std::string& CMC7;
  char TipoPessoa;
  const std::string& DocumentoPessoa;
  TDateTime DataCheque;
  const std::string &Banco, &Agencia, &AgenciaDC, &Conta, &ContaDC, &Cheque, &ChequeDC;
};

void grava_cheque(TRiZedIzAdeReq& req, const DadosCheque& c) {
  req.SetCMC7(c.CMC7);
  if (c.TipoPessoa != ' ') req.SetTipoPessoa(c.TipoPessoa);  // a blank is "not given"
  req.SetDocumentoPessoa(c.DocumentoPessoa);
  req.SetDataCheque(c.DataCheque);
  req.SetBanco(c.Banco);
  req.SetAgencia(c.Agencia);
  req.SetAgenciaDC(c.AgenciaDC);
  req.SetConta(c.Conta);
  req.SetContaDC(c.ContaDC);
  req.SetCheque(c.Cheque);
  req.SetChequeDC(c.ChequeDC);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Request

void TRiZedIzAdeClass::IniciarRequisicao(const std::string& AHeader, int32_t AID) {
  if (fpAguardandoResposta) throw ERiZedIzAdeErro("Requisição anterior não concluida");
  GravaLog(Name() + " IniciarRequisicao: " + AHeader);
  VerificaInicializado();
  // The card payments already approved in this sale are confirmed before the next starts.
  if (fDono.MultiplosCartoes() && EPagamento(AHeader)) ConfirmarTransacoesAnteriores();
  if (AHeader != "ATV") VerificaAtivo();

  fDono.SetEstadoReq(reqIniciando);
  fpReq->Clear();
  fpResp->Clear();
  ApagaArquivo(fArqTmp);
  ApagaArquivo(fArqReq);
  ApagaArquivo(fArqResp);
  ApagaArquivo(fArqSTS);

  if (AID > 0)
    fpIDSeq = AID;
  else
    ++fpIDSeq;
  fpReq->SetHeader(AHeader);
  fpReq->SetID(fpIDSeq);
  fpReq->Conteudo().GravarArquivo(fArqTmp, false, /*MascararCartoes=*/false);
}

void TRiZedIzAdeClass::GravaIdentificacao() {
  const TRiZedIzAdeIdentificacao& id = fDono.Identificacao();
  const std::string aplicacao = norvane::trim(id.NomeAplicacao() + " " + id.VersaoAplicacao());
  if (!aplicacao.empty()) fpReq->GravaInformacao(701, 0, aplicacao);
  if (!id.RazaoSocial().empty()) fpReq->GravaInformacao(716, 0, id.RazaoSocial());
  if (aplicacao.empty() && id.RazaoSocial().empty()) return;
  // 3: the automation subtotals the coupon itself; 1: it does not.
  const bool subtotaliza =
      fDono.Eventos().OnComandaECFSubtotaliza && !fDono.AutoEfetuarPagamento();
  fpReq->GravaInformacao(706, 0, subtotaliza ? "3" : "1");
}

void TRiZedIzAdeClass::FinalizarRequisicao() {
  VerificaRequisicaoIniciada();
  const std::string etapa = Name() + " FinalizarRequisicao: " + fpReq->Header();
  fDono.SetEstadoReq(reqCriandoArquivo);
  if (fDono.Eventos().OnAntesFinalizarRequisicao) fDono.Eventos().OnAntesFinalizarRequisicao(*fpReq);

  GravaLog(etapa + ", Fechando arquivo: " + fArqTmp);
  fpReq->GravaInformacao(999, 999, "0");
  fpReq->Conteudo().GravarArquivo(fArqTmp, true, /*MascararCartoes=*/false);

  GravaLog(etapa + ", Renomeando: " + fArqTmp + " para: " + fArqReq);
  if (std::rename(fArqTmp.c_str(), fArqReq.c_str()) != 0)
    throw ERiZedIzAdeArquivo("Erro ao Renomear:\r\n" + fArqTmp + "para:\r\n" + fArqReq);

  fDono.SetEstadoReq(reqAguardandoResposta);
  const norvane::WaitPoint prazo = norvane::wait_now() + std::chrono::seconds(fEsperaSTS);
  GravaLog(etapa + ", Aguardando: " + fArqSTS);
  if (!AguardaArquivo(fArqSTS, etapa, &prazo)) {
    // A request nobody took must not stay for the manager to find when it starts: it
    // would run a transaction that no one waits for.
    ApagaArquivo(fArqReq);
    throw ERiZedIzAdeGPNaoResponde("O gerenciador padrão " + Name() + " não está ativo !");
  }

  fDono.SetEstadoReq(reqConferindoResposta);
  GravaLog(etapa + ", Verificando conteudo de: " + fArqSTS);
  bool valido = false;
  try {
    fpResp->LeArquivo(fArqSTS);
    valido = VerificaResposta();
  } catch (const ERiZedIzAdeArquivo& e) {
    // A status file that cannot be read (too large, a folder) is as good as a wrong one.
    GravaLog(etapa + ": " + e.what());
  }
  ApagaArquivo(fArqTmp);
  ApagaArquivo(fArqSTS);
  if (!valido) {
    // The request goes too: the manager answered something else, and a request left in
    // the folder would be taken for a new one.
    ApagaArquivo(fArqReq);
    ApagaArquivo(fArqResp);
    fpReq->Clear();
    fpResp->Clear();
    throw ERiZedIzAdeSTSInvalido("Falha na comunicação com o Gereciador Padrão: " + Name());
  }
  fDono.SetEstadoReq(reqFinalizada);
}

bool TRiZedIzAdeClass::AguardaArquivo(const std::string& Arquivo, const std::string& Etapa,
                                      const norvane::WaitPoint* Prazo) {
  const TRiZedIzAdeAguardaRespEvent& aguarda = fDono.Eventos().OnAguardaResp;
  const norvane::WaitPoint inicio = norvane::wait_now();
  struct Aguardando {
    std::atomic<bool>& flag;
    explicit Aguardando(std::atomic<bool>& f) : flag(f) { flag = true; }
    ~Aguardando() { flag = false; }
  };
  bool existe = false;
  {
    const Aguardando aguardando(fpAguardandoResposta);
    bool interromper = false;
    while (true) {
      std::this_thread::sleep_for(std::chrono::milliseconds(fDono.EsperaSleep()));
      const norvane::WaitPoint agora = norvane::wait_now();
      if (aguarda) {
        const auto segundos = std::chrono::duration_cast<std::chrono::seconds>(
            Prazo ? *Prazo - agora : agora - inicio);
        aguarda(Arquivo, static_cast<int>(std::max<int64_t>(segundos.count(), 0)), interromper);
      }
      existe = ArquivoExiste(Arquivo);
      if (existe || interromper || (Prazo && norvane::wait_now() > *Prazo)) break;
    }
    GravaLog(Etapa + ", Fim da Espera de: " + Arquivo + " " + (existe ? "Recebido" : "Não recebido"));
  }
  if (aguarda) {
    bool interromper = false;
    aguarda(Arquivo, -1, interromper);
  }
  return existe;
}

// True unless a standard manager's response belongs to another request or was cut short.
bool TRiZedIzAdeClass::VerificaResposta() {
  const auto* txt = dynamic_cast<const TRiZedIzAdeRespTXT*>(fpResp.get());
  if (txt == nullptr) return true;
  return txt->Header() == fpReq->Header() && txt->ID() == fpReq->ID() && txt->TrailerOk();
}

// ---------------------------------------------------------------------------------------
// Response

bool TRiZedIzAdeClass::RespostaIncompleta() {
  const auto* txt = dynamic_cast<const TRiZedIzAdeRespTXT*>(fpResp.get());
  return txt != nullptr && txt->Header() == fpReq->Header() && txt->ID() == fpReq->ID() && !txt->TrailerOk();
}

void TRiZedIzAdeClass::LerRespostaRequisicao() {
  VerificaRequisicaoIniciada();
  fpResp->Clear();
  const std::string etapa = Name() + " LerRespostaRequisicao: " + fpReq->Header();
  // The manager's own screens need keyboard and mouse.
  if (fpReq->Header() != "CNF" && fpReq->Header() != "ATV" && fDono.TecladoBloqueado())
    fDono.BloquearMouseTeclado(false);
  fDono.SetEstadoResp(respAguardandoResposta);

  try {
    while (true) {
      GravaLog(etapa + ", Aguardando: " + fArqResp);
      const bool recebido = AguardaArquivo(fArqResp, etapa, nullptr);
      GravaLog(etapa + ", Verificando conteudo de: " + fArqResp);
      std::string motivo;
      try {
        // Without a file (a cancelled wait) this raises "...não encontrado".
        fpResp->LeArquivo(fArqResp);
        if (VerificaResposta()) break;
        if (recebido && RespostaIncompleta()) {
          // The response of this request, without its trailer yet: the manager is still
          // writing it. It is read again until whole, for as long as a status is waited for;
          // one still without a trailer then is dropped as any invalid response.
          GravaLog(etapa + ", Resposta ainda sem o trailer, lida de novo: " + fArqResp);
          const auto limite = std::chrono::steady_clock::now() + std::chrono::seconds(fEsperaSTS);
          while (RespostaIncompleta() && std::chrono::steady_clock::now() < limite) {
            std::this_thread::sleep_for(std::chrono::milliseconds(fDono.EsperaSleep()));
            if (ArquivoExiste(fArqResp)) fpResp->LeArquivo(fArqResp);
          }
          if (VerificaResposta()) break;
        }
        motivo = texto_do_arquivo(fpResp->Conteudo());
      } catch (const ERiZedIzAdeArquivo& e) {
        if (!recebido || !ArquivoExiste(fArqResp)) throw;
        motivo = e.what();  // there but unreadable (too large, a folder): skipped as well
      }
      GravaLog(etapa + ", Arquivo inválido desprezado: \"" + fArqResp + "\"\r\n" + motivo);
      fpResp->Clear();
      ApagaArquivo(fArqResp);
      if (!recebido) fpResp->LeArquivo(fArqResp);  // cancelled: raises "...não encontrado"
    }
  } catch (...) {
    fpResp->fpTipoGP = fpTipo;
    fDono.SetEstadoResp(respNenhum);
    ApagaArquivo(fArqReq);
    throw;
  }
  fpResp->fpTipoGP = fpTipo;
  fDono.SetEstadoResp(respNenhum);
  ApagaArquivo(fArqReq);
}

void TRiZedIzAdeClass::ProcessarResposta() {
  VerificaRequisicaoIniciada();
  GravaLog(Name() + " ProcessarResposta: " + fpReq->Header());
  fDono.SetEstadoResp(respProcessando);

  if (fpResp->fpQtdLinhasComprovante <= 0) {
    if (!fpResp->fpTextoEspecialOperador.empty())
      fDono.DoExibeMsg(opmOK, fpResp->fpTextoEspecialOperador);
    return;
  }

  // The handler is told of this response alone; the payments of the sale already pending
  // are set aside meanwhile and put back afterwards, so that none of them is lost.
  TRiZedIzAdeRespostasPendentes& pendentes = fDono.RespostasPendentes();
  struct PostasDeLado {
    TRiZedIzAdeRespostasPendentes& lista;
    std::vector<std::unique_ptr<TRiZedIzAdeResp>> itens;
    ~PostasDeLado() {
      lista.Clear();
      for (auto& item : itens) lista.Add(std::move(item));
    }
  } deLado{pendentes, pendentes.TakeAll()};

  auto copia = std::make_unique<TRiZedIzAdeRespTXT>();
  copia->Assign(*fpResp);
  pendentes.Add(std::move(copia));
  ImprimirRelatorio();
  if (fDono.Eventos().OnDepoisConfirmarTransacoes)
    fDono.Eventos().OnDepoisConfirmarTransacoes(pendentes);
}

bool TRiZedIzAdeClass::ProcessarRespostaPagamento(const std::string& IndiceFPG_ECF,
                                                  Currency Valor) {
  LerRespostaRequisicao();
  GravaLog(Name() + " ProcessarRespostaPagamento: " + fpReq->Header() + " - " +
           std::to_string(fpReq->ID()) + " Indice: " + IndiceFPG_ECF +
           " Valor:" + Valor.Format(decimal_separator()));
  const bool aprovada = fpResp->TransacaoAprovada();
  TRiZedIzAdeRespostasPendentes& pendentes = fDono.RespostasPendentes();
  const Currency saldoAntes = pendentes.SaldoRestante();

  if (aprovada) {
    fpResp->SetIndiceFPG_ECF(IndiceFPG_ECF);
    CopiarResposta();
    auto nova = std::make_unique<TRiZedIzAdeRespTXT>();
    nova->Assign(*fpResp);
    nova->fpArqRespPendente = fArqResp;
    TRiZedIzAdeResp& copia = pendentes.Add(std::move(nova));
    if (fDono.AutoEfetuarPagamento())
      EfetuarPagamentoECF(IndiceFPG_ECF, Valor, copia, {.BloquearTeclado = true, .ChequeEmGerencialComo999 = true});
    // The response file stays: it belongs to the pending payment until its confirmation.
    FinalizarResposta(false);
    if (fDono.AutoFinalizarCupom() && pendentes.SaldoRestante() <= Currency()) {
      fDono.FinalizarCupom(false);
      fDono.ImprimirTransacoesPendentes();
    }
    return true;
  }

  ProcessarEFinalizarResposta();
  if (Valor >= saldoAntes && !pendentes.Empty() &&
      fDono.DoExibeMsg(opmYesNo,
                       "Gostaria de continuar a transação com outra(s) forma(s) de pagamento ?") !=
          mrYes)
    CancelarCupomEPendentes();
  return false;
}

void TRiZedIzAdeClass::EfetuarPagamentoECF(const std::string& IndiceFPG_ECF, Currency Valor,
                                          TRiZedIzAdeResp& Copia, TRegistroECF Como) {
  TRiZedIzAdeRespostasPendentes& pendentes = fDono.RespostasPendentes();
  // Keyboard and mouse come back however the registration ends, an error included.
  struct Desbloqueio {
    TRiZedIzAdeDono* dono;
    ~Desbloqueio() {
      if (dono != nullptr) dono->BloquearMouseTeclado(false);
    }
  } desbloqueio{Como.BloquearTeclado ? &fDono : nullptr};
  if (Como.BloquearTeclado) fDono.BloquearMouseTeclado(true);
  bool registrado = false;
  while (!registrado) {
    try {
      fDono.ECFPagamento(IndiceFPG_ECF, Valor.ToDouble());
      registrado = true;
    } catch (const ERiZedIzAdeECF& e) {
      GravaLog(Name() + " ProcessarRespostaPagamento: " + e.what());
      if (fDono.DoExibeMsg(opmYesNo, kImpressoraNaoResponde) != mrYes) break;
    }
  }
  if (!registrado) {
    CancelarCupomEPendentes();
    return;
  }
  pendentes.SetSaldoAPagar((pendentes.SaldoAPagar() - Valor).RoundToCentsHalfEven());
  // Cheques printed in a management report carry 999 instead of their order.
  Copia.SetOrdemPagamento(Como.ChequeEmGerencialComo999 && Copia.Header() == "CHQ" && fDono.CHQEmGerencial()
                              ? 999
                              : pendentes.Count() + 1);
}

void TRiZedIzAdeClass::CancelarCupomEPendentes() {
  try {
    fDono.ComandarECF(opeCancelaCupom);
  } catch (const std::exception& e) {
    // The sale is being given up already: the coupon's cancellation is tried once and its
    // failure logged, and the pending transactions are undone all the same.
    GravaLog(Name() + " CancelarCupom: " + e.what());
  }
  if (!fDono.ModoServico()) fDono.CancelarTransacoesPendentes();
}

void TRiZedIzAdeClass::FinalizarResposta(bool ApagarResposta) {
  fDono.SetEstadoResp(respConcluida);
  GravaLog(Name() + " FinalizarResposta: " + fpReq->Header());
  if (ApagarResposta) ApagaArquivo(fArqResp);
  fpReq->Clear();
  fpResp->Clear();
}

// ---------------------------------------------------------------------------------------
// Transaction operations

void TRiZedIzAdeClass::ATV() {
  IniciarRequisicao("ATV");
  FinalizarRequisicao();
}

bool TRiZedIzAdeClass::ConcluirOperacao() {
  GravaIdentificacao();
  FinalizarRequisicao();
  LerRespostaRequisicao();
  const bool aprovada = fpResp->TransacaoAprovada();
  ProcessarEFinalizarResposta();
  return aprovada;
}

void TRiZedIzAdeClass::ProcessarEFinalizarResposta() {
  try {
    ProcessarResposta();
  } catch (...) {
    FinalizarResposta(true);
    throw;
  }
  FinalizarResposta(true);
}

bool TRiZedIzAdeClass::ADM() {
  IniciarRequisicao("ADM");
  return ConcluirOperacao();
}

bool TRiZedIzAdeClass::CRT(Currency Valor, const std::string& IndiceFPG_ECF,
                           const std::string& /*NumeroCartao*/,
                           const std::string& /*DataVencimento*/, const std::string& /*CVV*/,
                           const std::string& /*QtdParcela*/,
                           const std::string& DocumentoVinculado, int32_t Moeda) {
  // The card is read by the manager's program itself: typed card data is not sent.
  VerificaValor(Valor);
  IniciarRequisicao("CRT");
  fpReq->SetDocumentoVinculado(DocumentoVinculado);
  fpReq->SetValorTotal(Valor);
  fpReq->SetMoeda(Moeda);
  GravaIdentificacao();
  FinalizarRequisicao();
  return ProcessarRespostaPagamento(IndiceFPG_ECF, Valor);
}

bool TRiZedIzAdeClass::CHQ(Currency Valor, const std::string& IndiceFPG_ECF,
                           const std::string& DocumentoVinculado, const std::string& CMC7,
                           char TipoPessoa, const std::string& DocumentoPessoa,
                           TDateTime DataCheque, const std::string& Banco,
                           const std::string& Agencia, const std::string& AgenciaDC,
                           const std::string& Conta, const std::string& ContaDC,
                           const std::string& Cheque, const std::string& ChequeDC,
                           const std::string& /*Compensacao*/) {
  VerificaValor(Valor);
  IniciarRequisicao("CHQ");
  TRiZedIzAdeReq& req = *fpReq;
  req.SetDocumentoVinculado(DocumentoVinculado);
  req.SetValorTotal(Valor);
  grava_cheque(req, {CMC7, TipoPessoa, DocumentoPessoa, DataCheque, Banco, Agencia, AgenciaDC,
                     Conta, ContaDC, Cheque, ChequeDC});
  req.SetMoeda(0);
  GravaIdentificacao();
  FinalizarRequisicao();
  LerRespostaRequisicao();
  std::exception_ptr erro;
  if (fpResp->fpQtdLinhasComprovante <= 0 && fpResp->fpStatusTransacao == "0") {
    try {
      ProcessarResposta();
    } catch (...) {
      erro = std::current_exception();
    }
  }
  const bool aprovada = ProcessarRespostaPagamento(IndiceFPG_ECF, Valor);
  if (erro) std::rethrow_exception(erro);
  return aprovada;
}

bool TRiZedIzAdeClass::CNC() {
  // Taken before the request starts, which clears the response.
  TRiZedIzAdeRespTXT r;
  r.Assign(*fpResp);
  IniciarRequisicao("CNC");
  TRiZedIzAdeReq& req = *fpReq;
  req.SetDocumentoVinculado(r.DocumentoVinculado());
  req.SetValorTotal(r.ValorTotal());
  grava_cheque(req, {r.fpCMC7, r.fpTipoPessoa, r.fpDocumentoPessoa, r.fpDataCheque, r.fpBanco,
                     r.fpAgencia, r.fpAgenciaDC, r.fpConta, r.fpContaDC, r.fpCheque,
                     r.fpChequeDC});
  req.SetRede(r.Rede());
  req.SetNSU(r.NSU());
  req.SetDataHoraTransacaoComprovante(r.fpDataHoraTransacaoComprovante);
  req.SetMoeda(r.fpMoeda);
  return ConcluirOperacao();
}

bool TRiZedIzAdeClass::CNC(const std::string& Rede, const std::string& NSU,
                           TDateTime DataHoraTransacao, Currency Valor) {
  // The arguments may be the response's own fields, which the request start clears.
  const std::string rede = Rede, nsu = NSU;
  IniciarRequisicao("CNC");
  fpReq->SetValorTotal(Valor);
  fpReq->SetRede(rede);
  fpReq->SetNSU(nsu);
  fpReq->SetDataHoraTransacaoComprovante(DataHoraTransacao);
  return ConcluirOperacao();
}

void TRiZedIzAdeClass::CNF() {
  const TRiZedIzAdeResp& r = *fpResp;
  CNF(r.Rede(), r.NSU(), r.Finalizacao(), r.DocumentoVinculado());
}

void TRiZedIzAdeClass::CNF(const std::string& Rede, const std::string& NSU,
                           const std::string& Finalizacao, const std::string& DocumentoVinculado) {
  EnviarFinalizacao("CNF", Rede, NSU, Finalizacao, DocumentoVinculado);
}

void TRiZedIzAdeClass::EnviarFinalizacao(const std::string& Header, std::string Rede, std::string NSU,
                                         std::string Finalizacao, std::string DocumentoVinculado) {
  // Taken by value: the arguments may be the response's own fields, which the request start
  // clears.
  IniciarRequisicao(Header);
  fpReq->SetDocumentoVinculado(DocumentoVinculado);
  fpReq->SetRede(Rede);
  fpReq->SetNSU(NSU);
  fpReq->SetFinalizacao(Finalizacao);
  FinalizarRequisicao();
}

void TRiZedIzAdeClass::NCN() {
  const TRiZedIzAdeResp& r = *fpResp;
  NCN(r.Rede(), r.NSU(), r.Finalizacao(), r.ValorTotal(), r.DocumentoVinculado());
}

void TRiZedIzAdeClass::NCN(const std::string& Rede, const std::string& NSU,
                           const std::string& Finalizacao, Currency Valor,
                           const std::string& DocumentoVinculado) {
  // Copies: the arguments may be the response's own fields, which the request clears.
  const std::string rede = Rede, nsu = NSU;
  EnviarFinalizacao("NCN", Rede, NSU, Finalizacao, DocumentoVinculado);
  if (fpTipo == gpTefAuttar) return;

  std::string detalhes;
  if (!rede.empty()) detalhes += "Rede: " + rede + "\r\n";
  if (!nsu.empty()) detalhes += "NSU: " + nsu + "\r\n";
  if (Valor != Currency()) detalhes += "Valor: " + Valor.Format(decimal_separator());
  std::string mensagem = "Última Transação TEF foi cancelada";
  if (!detalhes.empty()) mensagem += "\r\n\r\n" + detalhes;
  fDono.DoExibeMsg(opmOK, mensagem);
}
