#pragma once
// TRiZedIzAde: the one object through which the system uses TEF. It owns the managers
// (one of them current), the list of pending responses and the backup folder, and it
// reaches its host only through its events. Its managers reach it only through the
// interface TRiZedIzAdeDono (RiZedIzAdeDono.h), which it implements; its owner gives it
// the managers it uses (AddManager).
//
// No lock anywhere: the host runs one TEF operation at a time, and every event is raised
// synchronously on the calling thread.
#include <memory>
#include <string>

#include "tef/RiZedIzAdeClass.h"

class TRiZedIzAdeCliSiTef;

class TRiZedIzAde : public TRiZedIzAdeDono, public TRiZedIzAdeEventos {
 public:
  explicit TRiZedIzAde(TComponent* AOwner = nullptr);
  ~TRiZedIzAde() override;

  // The events (OnExibeMsg, OnComandaECF...) are the members of TRiZedIzAdeEventos.
  TRiZedIzAdeEventos& Eventos() override { return *this; }
  TRiZedIzAdeDadosTransacao& DadosTransacao() override { return fDadosTransacao; }

  // ---- managers ----
  // Appends a manager made for this object; the list owns it. The component makes no
  // manager itself: its owner gives it the ones it uses. The CliSiTef manager given is
  // the one ConfirmarTransacao addresses whatever manager is current.
  TRiZedIzAdeClass& AddManager(std::unique_ptr<TRiZedIzAdeClass> Manager);
  TRiZedIzAdeCliSiTef& AddManager(std::unique_ptr<TRiZedIzAdeCliSiTef> Manager);
  // The CliSiTef manager, or nullptr before one was given.
  TRiZedIzAdeCliSiTef* TEFCliSiTef() const { return fTefCliSiTef; }
  const TRiZedIzAdeClassList& TEFList() const { return fTEFList; }
  // The current manager, or nullptr before gpCliSiTef has been selected.
  TRiZedIzAdeClass* TefClass() const { return fTefClass; }
  // Selecting gpCliSiTef makes the CliSiTef manager current; any other kind changes only
  // GPAtual and the current manager stays what it was.
  TRiZedIzAdeTipo GPAtual() const override { return fGPAtual; }
  void SetGPAtual(TRiZedIzAdeTipo AValue);
  // The current manager's request and response; ERiZedIzAdeErro when none is current.
  TRiZedIzAdeReq& Req() const;
  TRiZedIzAdeResp& Resp() const override;
  bool AguardandoResposta() const;

  // ---- pending responses and backups ----
  TRiZedIzAdeRespostasPendentes& RespostasPendentes() override { return fpRespostasPendentes; }
  // Folder of the response backups. An empty value reads as the program's folder + "TEF".
  // Refused while the current manager is initialised; stored trimmed, without a trailing
  // separator.
  const std::string& PathBackup() override;
  void SetPathBackup(const std::string& AValue);

  // ---- settings read by the managers ----
  const std::string& ArqLOG() const { return fArqLOG; }
  // Managers whose own log path is the previous one follow the new one.
  void SetArqLOG(const std::string& AValue);
  bool AutoAtivarGP() const { return fAutoAtivarGP; }
  void SetAutoAtivarGP(bool AValue) { fAutoAtivarGP = AValue; }
  bool AutoFinalizarCupom() const override { return fAutoFinalizarCupom; }
  void SetAutoFinalizarCupom(bool AValue);
  bool AutoEfetuarPagamento() const override { return fAutoEfetuarPagamento; }
  void SetAutoEfetuarPagamento(bool AValue);
  bool CHQEmGerencial() const { return fCHQEmGerencial; }
  void SetCHQEmGerencial(bool AValue) { fCHQEmGerencial = AValue; }
  // Largest change a payment may produce, in currency units; 0 or less: no limit.
  double TrocoMaximo() const override { return fTrocoMaximo; }
  void SetTrocoMaximo(double AValue) { fTrocoMaximo = AValue; }
  // Milliseconds of the pauses while special texts are shown; 10 to 500.
  int32_t EsperaSleep() const override { return fEsperaSleep; }
  void SetEsperaSleep(int32_t AValue);
  bool ExibirMsgAutenticacao() const { return fExibirMsgAutenticacao; }
  void SetExibirMsgAutenticacao(bool AValue) { fExibirMsgAutenticacao = AValue; }
  bool MultiplosCartoes() const override { return fMultiplosCartoes; }
  void SetMultiplosCartoes(bool AValue);
  int32_t NumeroMaximoCartoes() const override { return fNumeroMaximoCartoes; }
  // 0 or less is stored as 0 (no limit).
  void SetNumeroMaximoCartoes(int32_t AValue);
  bool TransacaoConfirmada() const override { return fTransacaoConfirmada; }
  void SetTransacaoConfirmada(bool AValue) override { fTransacaoConfirmada = AValue; }
  // Tax numbers of the store and of the software house, sent to CliSiTef at configuration
  // when both are given.
  const std::string& CNPJLoja() const override { return fCNPJLoja; }
  void SetCNPJLoja(const std::string& AValue) { fCNPJLoja = AValue; }
  const std::string& CNPJVantor() const override { return fCNPJVantor; }
  void SetCNPJVantor(const std::string& AValue) { fCNPJVantor = AValue; }
  bool ModoServico() const override { return FTEFModoServico; }
  void SetModoServico(bool AValue) { FTEFModoServico = AValue; }
  // Whether the CliSiTef dialogue asks the operator for a boarding or a service fee when
  // the library requests one; otherwise it answers 0.
  bool FornecerTaxaDeEmbarque() const override { return fFornecerTaxaDeEmbarque; }
  void SetFornecerTaxaDeEmbarque(bool AValue) { fFornecerTaxaDeEmbarque = AValue; }
  bool FornecerTaxaDeServico() const override { return fFornecerTaxaDeServico; }
  void SetFornecerTaxaDeServico(bool AValue) { fFornecerTaxaDeServico = AValue; }

  // Request and response states, set by the managers; a change raises its event.
  TRiZedIzAdeReqEstado EstadoReq() const { return fEstadoReq; }
  void SetEstadoReq(TRiZedIzAdeReqEstado AValue) override;
  TRiZedIzAdeRespEstado EstadoResp() const { return fEstadoResp; }
  void SetEstadoResp(TRiZedIzAdeRespEstado AValue) override;

  // ---- operator, application and cash register ----
  // Shows a message through OnExibeMsg and returns its modal result (preset to mrNone).
  TModalResult DoExibeMsg(TRiZedIzAdeOperacaoMensagem Operacao,
                          const std::string& Mensagem) override;
  // Raises OnRestauraFocoAplicacao; a service has no window to bring to the front.
  void RestaurarFocoAplicacao() override;
  // Does nothing: input is never blocked in this system.
  void BloquearMouseTeclado(bool Bloqueia) override;
  // Asks the host (OnInfoECF). A handler error is logged and raised as ERiZedIzAdeECF.
  std::string InfoECFAsString(TRiZedIzAdeInfoECF Operacao);
  // The cash register's state letter, one of C G L N O P R V (lower case accepted);
  // anything else raises ERiZedIzAdeECF with the list of valid answers.
  char EstadoECF() override;
  // One command through OnComandaECF; a result of 0 or less raises ERiZedIzAdeECF.
  int ComandarECF(TRiZedIzAdeOperacaoECF Operacao) override;
  // One receipt copy through OnComandaECFImprimeVia; 0 or less raises ERiZedIzAdeECF.
  int ECFImprimeVia(TRiZedIzAdeTipoRelatorio TipoRelatorio, int Via,
                    const std::vector<std::string>& ImagemComprovante) override;

  // Registers a payment of the given form through OnComandaECFPagamento.
  int ECFPagamento(const std::string& Indice, double Valor) override;
  // Only writes its log line: the coupon is the host's.
  void FinalizarCupom(bool DesbloquearMouseTecladoNoTermino) override;
  // Prints every pending response's receipt copies, then confirms or cancels them.
  void ImprimirTransacoesPendentes() override;
  // Outside service mode, undoes every pending transaction of every enabled manager.
  void CancelarTransacoesPendentes() override;

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
  TRiZedIzAdeCliSiTef* fTefCliSiTef = nullptr;  // not owned: one of fTEFList
  TRiZedIzAdeClassList fTEFList;
  TRiZedIzAdeRespostasPendentes fpRespostasPendentes;
  std::string fArqLOG;
  bool fTransacaoConfirmada = false;
  bool FTEFModoServico = false;
  std::string fCNPJLoja;
  std::string fCNPJVantor;
  bool fFornecerTaxaDeEmbarque = false;
  bool fFornecerTaxaDeServico = false;
  TRiZedIzAdeDadosTransacao fDadosTransacao;
};
