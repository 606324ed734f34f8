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
#include <type_traits>
#include <vector>

#include "tef/RiZedIzAdeClass.h"
#include "tef/RiZedIzAdeTef.h"

// The pending responses of one payment: same cash-register payment form and order.
struct TRiZedIzAdeGrupoRespostasPendentes {
  std::string IndiceFPG_ECF;
  int32_t OrdemPagamento = 0;
  Currency Valor;  // the summed total of the group's responses
};
using TRiZedIzAdeArrayGrupoRespostasPendentes = std::vector<TRiZedIzAdeGrupoRespostasPendentes>;

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
  template <typename T>
  T& AddManager(std::unique_ptr<T> Manager) {
    T* manager = Manager.get();
    TRiZedIzAdeCliSiTef* clisitef = nullptr;
    if constexpr (std::is_base_of_v<TRiZedIzAdeCliSiTef, T>) clisitef = manager;
    Adiciona(std::move(Manager), clisitef);
    return *manager;
  }
  // The CliSiTef manager, or nullptr before one was given.
  TRiZedIzAdeCliSiTef* TEFCliSiTef() const { return fTefCliSiTef; }
  const TRiZedIzAdeClassList& TEFList() const { return fTEFList; }
  // The current manager, or nullptr before gpCliSiTef has been selected.
  TRiZedIzAdeClass* TefClass() const { return fTefClass; }
  // Selecting a kind makes the manager of that kind current (the CliSiTef manager for
  // gpCliSiTef); a kind no manager has changes only GPAtual, and the current manager stays
  // what it was.
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
  bool CHQEmGerencial() const override { return fCHQEmGerencial; }
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

  // Nothing blocks keyboard and mouse in this system.
  bool TecladoBloqueado() const override { return fTecladoBloqueado; }

  // Request and response states, set by the managers; a change raises its event.
  TRiZedIzAdeReqEstado EstadoReq() const { return fEstadoReq; }
  void SetEstadoReq(TRiZedIzAdeReqEstado AValue) override;
  TRiZedIzAdeRespEstado EstadoResp() const { return fEstadoResp; }
  void SetEstadoResp(TRiZedIzAdeRespEstado AValue) override;

  // ---- initialisation; GP other than gpNenhum first selects that kind of manager ----
  // Checks the six events the managers cannot do without and the backup folder (created
  // when missing), then initialises the selected manager (or every enabled one with
  // gpNenhum). A failure of the selected manager is logged and raised as "Erro ao conectar
  // com servidor TEF".
  void Inicializar(TRiZedIzAdeTipo GP = gpNenhum);
  void DesInicializar(TRiZedIzAdeTipo GP = gpNenhum);
  bool Inicializado(TRiZedIzAdeTipo GP = gpNenhum);
  void AtivarGP(TRiZedIzAdeTipo GP = gpNenhum);

  // ---- transactions, forwarded to the current manager; money in currency units, text UTF-8 ----
  void ATV(TRiZedIzAdeTipo GP = gpNenhum);
  bool ADM(TRiZedIzAdeTipo GP = gpNenhum);
  bool CRT(double Valor, const std::string& IndiceFPG_ECF, const std::string& DocumentoVinculado = "",
           int32_t Moeda = 0, const std::string& NumeroCartaoDigitado = "",
           const std::string& DataVencimentoDigitado = "", const std::string& CVVDigitado = "",
           const std::string& QtdParcela = "");
  bool CHQ(double Valor, const std::string& IndiceFPG_ECF, const std::string& DocumentoVinculado,
           const std::string& CMC7, char TipoPessoa, const std::string& DocumentoPessoa,
           TDateTime DataCheque, const std::string& Banco, const std::string& Agencia,
           const std::string& AgenciaDC, const std::string& Conta, const std::string& ContaDC,
           const std::string& Cheque, const std::string& ChequeDC, const std::string& Compensacao);
  bool CNC(const std::string& Rede, const std::string& NSU, TDateTime DataHoraTransacao,
           double Valor);
  void CNF(const std::string& Rede, const std::string& NSU, const std::string& Finalizacao,
           const std::string& DocumentoVinculado);
  void NCN(const std::string& Rede, const std::string& NSU, const std::string& Finalizacao,
           double Valor, const std::string& DocumentoVinculado);
  // Ends a CliSiTef transaction (confirmed or undone) by its document number, whatever
  // manager is current. Never raises: a failure is logged and answered false.
  bool ConfirmarTransacao(bool Confirma, const std::string& DocumentoVinculado);
  // Confirms every pending response not yet confirmed (a failure is logged and the walk
  // goes on), deletes their files, tells OnDepoisConfirmarTransacoes and empties the list.
  void ConfirmarTransacoesPendentes();
  // The pending responses grouped by payment form and order, sorted by order (stable).
  void AgruparRespostasPendentes(TRiZedIzAdeArrayGrupoRespostasPendentes& Grupo) const;
  // Friend-card reads through the current manager.
  std::string LerTrilha3();
  std::string LerCartaoSeguro();

  // ---- values of the last CliSiTef dialogue, for the host to read ----
  const std::string& IDAmigo() const { return fDadosTransacao.FIDAmigo; }
  const std::string& CodigoRede() const { return fDadosTransacao.fCodigoRede; }
  const std::string& CodigoBandeira() const { return fDadosTransacao.fCodigoBandeira; }
  const std::string& CodigoNsu() const { return fDadosTransacao.fCodigoNSU; }
  const std::string& CodigoNSUHost() const { return fDadosTransacao.fCodigoNSUHost; }
  const std::string& CodigoAutorizacao() const { return fDadosTransacao.fCodigoAutorizacao; }
  const std::string& IdDaCarteiraDigital() const { return fDadosTransacao.fIdDaCarteiraDigital; }
  const std::string& NomeCarteiraDigital() const { return fDadosTransacao.fNomeCarteiraDigital; }
  const std::string& BandeiraCarteiraDigital() const { return fDadosTransacao.fBandeiraCarteiraDigital; }
  const std::string& ValorAprovadoCarteiraDigital() const { return fDadosTransacao.fValorAprovadoCarteiraDigital; }
  const std::string& CPFCliente() const { return fDadosTransacao.fCPFCliente; }
  const std::string& CNPJCliente() const { return fDadosTransacao.FCNPJCliente; }
  const std::string& TelefoneCliente() const { return fDadosTransacao.fTelefoneCliente; }

  // ---- further settings ----
  TRiZedIzAdeIdentificacao& Identificacao() { return fIdentificacao; }
  const TRiZedIzAdeIdentificacao& Identificacao() const override { return fIdentificacao; }
  int32_t NumVias() const { return fNumVias; }
  void SetNumVias(int32_t AValue);
  // Milliseconds slept between the checks of the pauses while special texts are shown.
  int32_t EsperaSTS() const { return fEsperaSTS; }
  void SetEsperaSTS(int32_t AValue);
  const std::string& ImpressoraCupom() const { return fImpressoraCupom; }
  void SetImpressoraCupom(const std::string& AValue) { fImpressoraCupom = AValue; }
  bool Televenda() const { return FTelevenda; }
  void SetTelevenda(bool AValue) { FTelevenda = AValue; }
  std::string About() const { return "RiZedIzAde Ver: 4.3.4"; }
  // The current manager's exchange files and program (empty for CliSiTef).
  std::string ArqReq() const;
  std::string ArqResp() const;
  std::string ArqSTS() const;
  std::string ArqTemp() const;
  std::string GPExeName() const;

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

  // The answer to OnInfoECF as a number ("." or "," as decimal separator), DefaultValue
  // when it is not one, rounded to cents. The default -98787158 makes such an answer an
  // ERiZedIzAdeErro.
  double InfoECFAsDouble(TRiZedIzAdeInfoECF Operacao, int DefaultValue);
  // Subtotal with a discount (negative) or surcharge, then the payments' printing.
  int ECFSubtotaliza(double DescAcres);
  // Opens a coupon linked to a payment.
  int ECFAbreVinculado(const std::string& COO, const std::string& Indice, double Valor);
  // Does nothing.
  void ConfirmarESolicitarImpressaoTransacoesPendentes() {}
  // Raises OnLimpaTeclado; there is no keyboard queue to empty in a service.
  void LimparTeclado();
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
  // Appends a manager to the list; the CliSiTef one is also remembered as TEFCliSiTef.
  void Adiciona(std::unique_ptr<TRiZedIzAdeClass> Manager, TRiZedIzAdeCliSiTef* CliSiTef);
  // The current manager; ERiZedIzAdeErro when none is current.
  TRiZedIzAdeClass& Atual() const;
  void Seleciona(TRiZedIzAdeTipo GP);
  // The cash-register command result: 0 or less is logged and raised as ERiZedIzAdeECF,
  // with NaoTratado for a command the handler left alone (negative) and Erro for 0.
  int ResultadoECF(int Retorno, const std::string& NaoTratado, const std::string& Erro) const;
  // Prints one pending response's copies (a step of ImprimirTransacoesPendentes).
  struct Impressao;
  void ImprimirResposta(Impressao& Imp, int Indice, TRiZedIzAdeTipoRelatorio Tipo);
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
  bool fTecladoBloqueado = false;
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
  TRiZedIzAdeIdentificacao fIdentificacao;
  int32_t fNumVias = 2;
  int32_t fEsperaSTS = 7;
  std::string fImpressoraCupom;
  bool FTelevenda = false;
  bool fFornecerTaxaDeEmbarque = false;
  bool fFornecerTaxaDeServico = false;
  TRiZedIzAdeDadosTransacao fDadosTransacao;
};
