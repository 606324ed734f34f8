#pragma once
// TRiZedIzAde: the one object through which the system uses TEF. It owns the managers
// (one of them current), the list of pending responses and the backup folder, and it
// reaches its host only through its events. This part holds the members the managers use:
// events, pending list, backup folder, selection of the current manager, messages to the
// operator and the cash-register question and commands of the report printing.
//
// No lock anywhere: the host runs one TEF operation at a time, and every event is raised
// synchronously on the calling thread.
#include <memory>
#include <string>

#include "tef/RiZedIzAdeClass.h"

class TRiZedIzAde : public TComponent {
 public:
  explicit TRiZedIzAde(TComponent* AOwner = nullptr);
  ~TRiZedIzAde() override;

  // ---- events, in declared order; an empty function is "not assigned" ----
  TRiZedIzAdeAguardaRespEvent OnAguardaResp;
  TRiZedIzAdeAntesCancelarTransacao OnAntesCancelarTransacao;
  TRiZedIzAdeAntesFinalizarReq OnAntesFinalizarRequisicao;
  TRiZedIzAdeBloqueiaMouseTeclado OnBloqueiaMouseTeclado;
  TRiZedIzAdeComandaECF OnComandaECF;
  TRiZedIzAdeComandaImpressao OnComandaImpressao;
  TRiZedIzAdeComandaECFAbreVinculado OnComandaECFAbreVinculado;
  TRiZedIzAdeComandaECFImprimeVia OnComandaECFImprimeVia;
  TRiZedIzAdeComandaECFPagamento OnComandaECFPagamento;
  TRiZedIzAdeComandaECFSubtotaliza OnComandaECFSubtotaliza;
  TRiZedIzAdeProcessarTransacoesPendentes OnDepoisCancelarTransacoes;
  TRiZedIzAdeProcessarTransacoesPendentes OnDepoisConfirmarTransacoes;
  TRiZedIzAdeCliSiTefExibeMenu OnExibeMenu;
  TRiZedIzAdeCliSiTefObtemCampo OnObtemCampo;
  TRiZedIzAdeCliSiTefObtemCheque OnObtemCheque;
  TRiZedIzAdeSenhaConfirmacao OnObterSenha;
  TRiZedIzAdeExibeMsg OnExibeMsg;
  TRiZedIzAdeObterInfoECF OnInfoECF;
  TRiZedIzAdeExecutaAcao OnLimpaTeclado;
  TRiZedIzAdeMudaEstadoReq OnMudaEstadoReq;
  TRiZedIzAdeMudaEstadoResp OnMudaEstadoResp;
  TRiZedIzAdeExecutaAcao OnRestauraFocoAplicacao;
  TRiZedizAdeCliSiTefExibeQRCode OnExibeQRCode;

  // ---- managers ----
  // Appends a manager created with this object as its owner; the list owns it. The
  // constructor adds the one CliSiTef manager.
  TRiZedIzAdeClass& AddManager(std::unique_ptr<TRiZedIzAdeClass> Manager);
  const TRiZedIzAdeClassList& TEFList() const { return fTEFList; }
  // The current manager, or nullptr before gpCliSiTef has been selected.
  TRiZedIzAdeClass* TefClass() const { return fTefClass; }
  // Selecting gpCliSiTef makes the CliSiTef manager current; any other kind changes only
  // GPAtual and the current manager stays what it was.
  TRiZedIzAdeTipo GPAtual() const { return fGPAtual; }
  void SetGPAtual(TRiZedIzAdeTipo AValue);
  // The current manager's request and response; ERiZedIzAdeErro when none is current.
  TRiZedIzAdeReq& Req() const;
  TRiZedIzAdeResp& Resp() const;
  bool AguardandoResposta() const;

  // ---- pending responses and backups ----
  TRiZedIzAdeRespostasPendentes& RespostasPendentes() { return fpRespostasPendentes; }
  // Folder of the response backups. An empty value reads as the program's folder + "TEF".
  // Refused while the current manager is initialised; stored trimmed, without a trailing
  // separator.
  const std::string& PathBackup();
  void SetPathBackup(const std::string& AValue);

  // ---- settings read by the managers ----
  const std::string& ArqLOG() const { return fArqLOG; }
  // Managers whose own log path is the previous one follow the new one.
  void SetArqLOG(const std::string& AValue);
  bool AutoAtivarGP() const { return fAutoAtivarGP; }
  void SetAutoAtivarGP(bool AValue) { fAutoAtivarGP = AValue; }
  bool AutoFinalizarCupom() const { return fAutoFinalizarCupom; }
  void SetAutoFinalizarCupom(bool AValue);
  bool AutoEfetuarPagamento() const { return fAutoEfetuarPagamento; }
  void SetAutoEfetuarPagamento(bool AValue);
  bool CHQEmGerencial() const { return fCHQEmGerencial; }
  void SetCHQEmGerencial(bool AValue) { fCHQEmGerencial = AValue; }
  // Largest change a payment may produce, in currency units; 0 or less: no limit.
  double TrocoMaximo() const { return fTrocoMaximo; }
  void SetTrocoMaximo(double AValue) { fTrocoMaximo = AValue; }
  // Milliseconds of the pauses while special texts are shown; 10 to 500.
  int32_t EsperaSleep() const { return fEsperaSleep; }
  void SetEsperaSleep(int32_t AValue);
  bool ExibirMsgAutenticacao() const { return fExibirMsgAutenticacao; }
  void SetExibirMsgAutenticacao(bool AValue) { fExibirMsgAutenticacao = AValue; }
  bool MultiplosCartoes() const { return fMultiplosCartoes; }
  void SetMultiplosCartoes(bool AValue);
  int32_t NumeroMaximoCartoes() const { return fNumeroMaximoCartoes; }
  // 0 or less is stored as 0 (no limit).
  void SetNumeroMaximoCartoes(int32_t AValue);
  bool TransacaoConfirmada() const { return fTransacaoConfirmada; }
  void SetTransacaoConfirmada(bool AValue) { fTransacaoConfirmada = AValue; }
  // Tax numbers of the store and of the software house, sent to CliSiTef at configuration
  // when both are given.
  const std::string& CNPJLoja() const { return fCNPJLoja; }
  void SetCNPJLoja(const std::string& AValue) { fCNPJLoja = AValue; }
  const std::string& CNPJVantor() const { return fCNPJVantor; }
  void SetCNPJVantor(const std::string& AValue) { fCNPJVantor = AValue; }
  bool ModoServico() const { return FTEFModoServico; }
  void SetModoServico(bool AValue) { FTEFModoServico = AValue; }

  // Request and response states, set by the managers; a change raises its event.
  TRiZedIzAdeReqEstado EstadoReq() const { return fEstadoReq; }
  void SetEstadoReq(TRiZedIzAdeReqEstado AValue);
  TRiZedIzAdeRespEstado EstadoResp() const { return fEstadoResp; }
  void SetEstadoResp(TRiZedIzAdeRespEstado AValue);

  // ---- operator, application and cash register ----
  // Shows a message through OnExibeMsg and returns its modal result (preset to mrNone).
  TModalResult DoExibeMsg(TRiZedIzAdeOperacaoMensagem Operacao, const std::string& Mensagem);
  // Raises OnRestauraFocoAplicacao; a service has no window to bring to the front.
  void RestaurarFocoAplicacao();
  // Does nothing: input is never blocked in this system.
  void BloquearMouseTeclado(bool Bloqueia);
  // Asks the host (OnInfoECF). A handler error is logged and raised as ERiZedIzAdeECF.
  std::string InfoECFAsString(TRiZedIzAdeInfoECF Operacao);
  // The cash register's state letter, one of C G L N O P R V (lower case accepted);
  // anything else raises ERiZedIzAdeECF with the list of valid answers.
  char EstadoECF();
  // One command through OnComandaECF; a result of 0 or less raises ERiZedIzAdeECF.
  int ComandarECF(TRiZedIzAdeOperacaoECF Operacao);
  // One receipt copy through OnComandaECFImprimeVia; 0 or less raises ERiZedIzAdeECF.
  int ECFImprimeVia(TRiZedIzAdeTipoRelatorio TipoRelatorio, int Via,
                    const std::vector<std::string>& ImagemComprovante);

  // Writes to the TEF log through the current manager (or straight to ArqLOG when none is
  // current yet).
  void GravaLog(const std::string& AString) const;

 private:
  // Name of the current manager for log lines ("" when none is current).
  std::string NomeGerenciador() const;
  void VerificaSemRespostasPendentes(const char* Propriedade) const;

  bool fAutoAtivarGP = true;
  bool fAutoFinalizarCupom = true;
  bool fAutoEfetuarPagamento = false;
  bool fCHQEmGerencial = false;
  double fTrocoMaximo = 0;
  int32_t fEsperaSleep = 250;
  TRiZedIzAdeReqEstado fEstadoReq = reqNenhum;
  TRiZedIzAdeRespEstado fEstadoResp = respNenhum;
  bool fExibirMsgAutenticacao = true;
  bool fMultiplosCartoes = false;
  int32_t fNumeroMaximoCartoes = 0;
  std::string fPathBackup;
  TRiZedIzAdeTipo fGPAtual = gpNenhum;
  TRiZedIzAdeClass* fTefClass = nullptr;  // not owned: one of fTEFList
  TRiZedIzAdeClassList fTEFList;
  TRiZedIzAdeRespostasPendentes fpRespostasPendentes;
  std::string fArqLOG;
  bool fTransacaoConfirmada = false;
  bool FTEFModoServico = false;
  std::string fCNPJLoja;
  std::string fCNPJVantor;
};
