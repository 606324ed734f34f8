#include "tef/RiZedIzAdeClass.h"

#include "platform/Text.h"

TRiZedIzAdeClass::TRiZedIzAdeClass(TRiZedIzAdeDono& ADono) : TComponent(&ADono), fDono(ADono) {
  fpReq = std::make_unique<TRiZedIzAdeReq>();
  fpResp = std::make_unique<TRiZedIzAdeResp>();
  int hour, min, sec, msec;
  DecodeTime(Now(), hour, min, sec, msec);
  fpIDSeq = hour * 3600 + min * 60 + sec;
  fDono.SetEstadoReq(reqNenhum);
  fDono.SetEstadoResp(respNenhum);
}

TRiZedIzAdeClass::~TRiZedIzAdeClass() = default;

void TRiZedIzAdeClass::SetInicializado(bool AValue) {
  if (AValue)
    Inicializar();
  else
    DesInicializar();
}

void TRiZedIzAdeClass::SetArqReq(const std::string& AValue) { fArqReq = norvane::trim(AValue); }
void TRiZedIzAdeClass::SetArqTmp(const std::string& AValue) { fArqTmp = norvane::trim(AValue); }
void TRiZedIzAdeClass::SetArqResp(const std::string& AValue) { fArqResp = norvane::trim(AValue); }
void TRiZedIzAdeClass::SetArqSTS(const std::string& AValue) { fArqSTS = norvane::trim(AValue); }
void TRiZedIzAdeClass::SetGPExeName(const std::string& AValue) { fGPExeName = norvane::trim(AValue); }

void TRiZedIzAdeClass::GravaLog(const std::string& AString) const { GravaLogTEF(fArqLOG, AString); }

void TRiZedIzAdeClass::GravaLog(const std::vector<std::string>& Linhas) const { GravaLogTEF(fArqLOG, Linhas); }

void TRiZedIzAdeClass::VerificaInicializado() const {
  if (!fpInicializado)
    throw ERiZedIzAdeGPNaoInicializado("Gerenciador Padrão: " + Name() + " não foi inicializado");
}

void TRiZedIzAdeClass::Inicializar() {
  if (fpInicializado) return;
  ApagaArquivo(fArqTmp);
  ApagaArquivo(fArqReq);
  ApagaArquivo(fArqSTS);
  fpInicializado = true;
  GravaLog(Name() + " Inicializado");
  // A response the standard manager left behind with status "FF" belongs to no request
  // any more.
  if (!fArqResp.empty() && ArquivoExiste(fArqResp)) {
    fpResp->LeArquivo(fArqResp);
    if (norvane::upper_ascii(norvane::trim(fpResp->LeInformacao(9, 0).AsString())) == "FF") ApagaArquivo(fArqResp);
  }
  fpResp->Clear();
  CancelarTransacoesPendentesClass();
  VerificaAtivo();
}

void TRiZedIzAdeClass::DesInicializar() {
  fpInicializado = false;
  GravaLog(Name() + " DesInicializado");
}

void TRiZedIzAdeClass::VerificaAtivo() {
  try {
    ATV();
  } catch (const ERiZedIzAdeGPNaoResponde&) {
    if (!fAutoAtivarGP) return;  // not started automatically: the operator starts it
    fDono.DoExibeMsg(
        opmOK, "O Gerenciador Padrão não está ativo e será ativado automaticamente!");
    AtivarGP();
    ATV();
  }
}

void TRiZedIzAdeClass::VerificaRequisicaoIniciada() {
  if (fpReq->Header().empty()) throw ERiZedIzAdeErro("Nenhuma Requisição Iniciada");
}

void TRiZedIzAdeClass::Recusa(const std::string& Operacao) const {
  throw ERiZedIzAdeErro("Operação " + Operacao + " não disponível no Gerenciador Padrão " +
                        Name());
}

int TRiZedIzAdeClass::LerTrilha3(std::string& AResposta) {
  (void)AResposta;
  Recusa("LerTrilha3");
}

int TRiZedIzAdeClass::LerCartaoSeguro() { Recusa("LerCartaoSeguro"); }

// ---------------------------------------------------------------------------------------
// Value check

void TRiZedIzAdeClass::VerificaValor(Currency Valor) {
  const Currency v = Valor.RoundToCentsHalfEven();
  if (v <= Currency()) throw ERiZedIzAdeErro("Valor inválido");

  TRiZedIzAdeRespostasPendentes& pendentes = fDono.RespostasPendentes();
  pendentes.SetSaldoAPagar(v);

  const double trocoMaximo = fDono.TrocoMaximo();
  if (trocoMaximo > 0) {
    const Currency troco = Currency::FromDouble(trocoMaximo);
    if (v > pendentes.SaldoRestante() + troco)
      throw ERiZedIzAdeErro("Operação TEF permite Troco Máximo de R$ " +
                               troco.Format(decimal_separator()));
  }

  const int32_t maximo = fDono.NumeroMaximoCartoes();
  if (fDono.MultiplosCartoes() && maximo > 0 && pendentes.Count() >= maximo)
    throw ERiZedIzAdeErro("Multiplos Cartões Limitado a " + std::to_string(maximo) +
                             " operações.");
}
