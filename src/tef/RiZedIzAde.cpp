#include "tef/RiZedIzAde.h"
#include "platform/Text.h"
#include "tef/RiZedIzAdeTef.h"

#include <stdexcept>

#include "platform/ExeFolder.h"

TRiZedIzAde::TRiZedIzAde(TComponent* AOwner) : TRiZedIzAdeDono(AOwner) {
  // The host's instance carries this name; the backup log lines quote it.
  SetName("RiZedIzAde");
  SetGPAtual(gpTefDial);
}

TRiZedIzAde::~TRiZedIzAde() {
  // The managers hold a pointer to this object; they go while every member is still whole.
  fpRespostasPendentes.Clear();
  fTefClass = nullptr;
  fTefCliSiTef = nullptr;
  fTEFList.Clear();
}

// ---------------------------------------------------------------------------------------
// Managers

void TRiZedIzAde::Adiciona(std::unique_ptr<TRiZedIzAdeClass> Manager,
                           TRiZedIzAdeCliSiTef* CliSiTef) {
  if (!Manager || &Manager->Dono() != this)
    throw ERiZedIzAdeErro("TRiZedIzAdeClass deve ser criado por TRiZedIzAde");
  fTEFList.Add(std::move(Manager));
  if (CliSiTef != nullptr) fTefCliSiTef = CliSiTef;
}

void TRiZedIzAde::SetGPAtual(TRiZedIzAdeTipo AValue) {
  if (AValue == fGPAtual) return;
  for (const auto& manager : fTEFList)
    if (AValue != gpNenhum && manager->Tipo() == AValue) fTefClass = manager.get();
  fGPAtual = AValue;
}

TRiZedIzAdeReq& TRiZedIzAde::Req() const {
  if (fTefClass == nullptr) throw ERiZedIzAdeErro("Nenhum Gerenciador Padrão selecionado");
  return fTefClass->Req();
}

TRiZedIzAdeResp& TRiZedIzAde::Resp() const {
  if (fTefClass == nullptr) throw ERiZedIzAdeErro("Nenhum Gerenciador Padrão selecionado");
  return fTefClass->Resp();
}

bool TRiZedIzAde::AguardandoResposta() const {
  return fTefClass != nullptr && fTefClass->AguardandoResposta();
}

std::string TRiZedIzAde::NomeGerenciador() const {
  return fTefClass != nullptr ? fTefClass->Name() : std::string();
}

void TRiZedIzAde::GravaLog(const std::string& AString) const {
  if (fTefClass != nullptr)
    fTefClass->GravaLog(AString);
  else
    GravaLogTEF(fArqLOG, AString);
}

// ---------------------------------------------------------------------------------------
// Properties

const std::string& TRiZedIzAde::PathBackup() {
  if (fPathBackup.empty()) fPathBackup = norvane::exe_folder() + "TEF";
  return fPathBackup;
}

void TRiZedIzAde::SetPathBackup(const std::string& AValue) {
  if (AValue == fPathBackup) return;
  if (fTefClass != nullptr && fTefClass->Inicializado())
    throw ERiZedIzAdeErro("PathBackup não pode ser modificado com o RiZedIzAde Inicializado");
  std::string path = norvane::trim(AValue);
  if (!path.empty() && (path.back() == '/' || path.back() == '\\')) path.pop_back();
  fPathBackup = path;
}

void TRiZedIzAde::SetArqLOG(const std::string& AValue) {
  for (const auto& manager : fTEFList)
    if (manager->ArqLOG() == fArqLOG) manager->SetArqLOG(AValue);
  fArqLOG = AValue;
}

void TRiZedIzAde::VerificaSemRespostasPendentes(const char* Propriedade) const {
  if (!fpRespostasPendentes.Empty())
    throw ERiZedIzAdeErro(
        std::string("Existem Respostas Pendentes. Não é possível alterar \"") + Propriedade +
        "\"");
}

void TRiZedIzAde::SetAutoFinalizarCupom(bool AValue) {
  if (AValue == fAutoFinalizarCupom) return;
  VerificaSemRespostasPendentes("AutoFinalizarCupom");
  fAutoFinalizarCupom = AValue;
}

void TRiZedIzAde::SetAutoEfetuarPagamento(bool AValue) {
  if (AValue == fAutoEfetuarPagamento) return;
  VerificaSemRespostasPendentes("AutoEfetuarPagamento");
  fAutoEfetuarPagamento = AValue;
}

void TRiZedIzAde::SetMultiplosCartoes(bool AValue) {
  if (AValue == fMultiplosCartoes) return;
  VerificaSemRespostasPendentes("MultiplosCartoes");
  fMultiplosCartoes = AValue;
}

void TRiZedIzAde::SetNumeroMaximoCartoes(int32_t AValue) {
  fNumeroMaximoCartoes = AValue > 0 ? AValue : 0;
}

void TRiZedIzAde::SetEsperaSleep(int32_t AValue) {
  if (AValue == fEsperaSleep) return;
  if (AValue < 10) throw ERiZedIzAdeErro("Valor mínimo de EsperaSleep deve ser: 10");
  if (AValue > 500) throw ERiZedIzAdeErro("Valor máximo de EsperaSleep deve ser: 500");
  fEsperaSleep = AValue;
}

void TRiZedIzAde::SetEstadoReq(TRiZedIzAdeReqEstado AValue) {
  if (AValue == fEstadoReq) return;
  fEstadoReq = AValue;
  if (OnMudaEstadoReq) OnMudaEstadoReq(AValue);
}

void TRiZedIzAde::SetEstadoResp(TRiZedIzAdeRespEstado AValue) {
  if (AValue == fEstadoResp) return;
  fEstadoResp = AValue;
  if (OnMudaEstadoResp) OnMudaEstadoResp(AValue);
}

// ---------------------------------------------------------------------------------------
// Operator and application

TModalResult TRiZedIzAde::DoExibeMsg(TRiZedIzAdeOperacaoMensagem Operacao,
                                     const std::string& Mensagem) {
  GravaLog(NomeGerenciador() + " DoExibeMsg: Oper: " + enum_name(Operacao) +
           " Mensagem: " + Mensagem);
  if (Operacao == opmOK || Operacao == opmYesNo || Operacao == opmDestaqueVia)
    RestaurarFocoAplicacao();
  // Initialisation insists on this handler; without it a message cannot reach anyone.
  if (!OnExibeMsg) throw ERiZedIzAdeErro("Evento \"OnExibeMsg\" não programado");
  TModalResult resultado = mrNone;
  OnExibeMsg(Operacao, Mensagem, resultado);
  return resultado;
}

void TRiZedIzAde::RestaurarFocoAplicacao() {
  bool tratado = false;
  if (OnRestauraFocoAplicacao) OnRestauraFocoAplicacao(tratado);
  // Unhandled, the application would be brought to the front; a service has no window.
}

void TRiZedIzAde::BloquearMouseTeclado(bool) {}
