#pragma once
// What a TEF manager may ask of the component that owns it: the component's events, the
// messages to the operator, the cash-register commands, the pending list and the backup
// folder, the states it reports and the settings it reads. The managers are given this
// interface when they are made and never see the component's class, so the component can
// include its managers without the managers including it back.
#include <cstdint>
#include <string>
#include <vector>

#include "tef/RiZedIzAdeComponent.h"
#include "tef/RiZedIzAdeTypes.h"

// The component's events, in declared order; an empty function is "not assigned".
struct TRiZedIzAdeEventos {
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
  // Asked by the CliSiTef dialogue after every command: true ends the library's function
  // (continue code -1) before the next call, e.g. when nobody is left to answer it or the
  // service stops. Optional: unassigned, the dialogue only ends as the library decides.
  std::function<bool()> OnInterromperDialogo;
};

// Values the CliSiTef dialogue receives during a transaction and leaves for the host to
// read (UTF-8). The wallet and customer values are emptied at the start of every dialogue;
// the authorisation values keep the first ones received (nothing empties them).
struct TRiZedIzAdeDadosTransacao {
  std::string FIDAmigo;
  std::string fIdDaCarteiraDigital;
  std::string fNomeCarteiraDigital;
  std::string fBandeiraCarteiraDigital;
  std::string fValorAprovadoCarteiraDigital;
  std::string fCPFCliente;
  std::string FCNPJCliente;
  std::string fTelefoneCliente;
  std::string fCodigoRede;
  std::string fCodigoBandeira;
  std::string fCodigoNSU;
  std::string fCodigoNSUHost;
  std::string fCodigoAutorizacao;

  // Empties the seven wallet and customer values.
  void LimparCarteiraECliente() {
    fIdDaCarteiraDigital.clear();
    fNomeCarteiraDigital.clear();
    fBandeiraCarteiraDigital.clear();
    fValorAprovadoCarteiraDigital.clear();
    fCPFCliente.clear();
    FCNPJCliente.clear();
    fTelefoneCliente.clear();
  }
};

// The application's identification, written by standard managers into their requests.
// Each value is stored trimmed.
class TRiZedIzAdeIdentificacao {
 public:
  const std::string& NomeAplicacao() const { return FNomeAplicacao; }
  void SetNomeAplicacao(const std::string& AValue);
  const std::string& RazaoSocial() const { return FRazaoSocial; }
  void SetRazaoSocial(const std::string& AValue);
  const std::string& SoftwareHouse() const { return FSoftwareHouse; }
  void SetSoftwareHouse(const std::string& AValue);
  const std::string& VersaoAplicacao() const { return FVersaoAplicacao; }
  void SetVersaoAplicacao(const std::string& AValue);

 private:
  std::string FNomeAplicacao;
  std::string FRazaoSocial;
  std::string FSoftwareHouse;
  std::string FVersaoAplicacao;
};

class TRiZedIzAdeDono : public TComponent {
 public:
  using TComponent::TComponent;

  virtual TRiZedIzAdeEventos& Eventos() = 0;
  virtual TRiZedIzAdeDadosTransacao& DadosTransacao() = 0;

  // ---- operator and application ----
  virtual TModalResult DoExibeMsg(TRiZedIzAdeOperacaoMensagem Operacao,
                                  const std::string& Mensagem) = 0;
  virtual void RestaurarFocoAplicacao() = 0;
  virtual void BloquearMouseTeclado(bool Bloqueia) = 0;

  // ---- cash register ----
  virtual char EstadoECF() = 0;
  virtual int ComandarECF(TRiZedIzAdeOperacaoECF Operacao) = 0;
  virtual int ECFImprimeVia(TRiZedIzAdeTipoRelatorio TipoRelatorio, int Via,
                            const std::vector<std::string>& ImagemComprovante) = 0;
  virtual int ECFPagamento(const std::string& Indice, double Valor) = 0;
  virtual void FinalizarCupom(bool DesbloquearMouseTecladoNoTermino) = 0;
  virtual void ImprimirTransacoesPendentes() = 0;
  virtual void CancelarTransacoesPendentes() = 0;

  // ---- pending list, current response, backup folder ----
  virtual TRiZedIzAdeRespostasPendentes& RespostasPendentes() = 0;
  virtual TRiZedIzAdeResp& Resp() const = 0;
  virtual const std::string& PathBackup() = 0;
  virtual TRiZedIzAdeTipo GPAtual() const = 0;

  // ---- states the managers report ----
  virtual void SetEstadoReq(TRiZedIzAdeReqEstado AValue) = 0;
  virtual void SetEstadoResp(TRiZedIzAdeRespEstado AValue) = 0;
  virtual bool TransacaoConfirmada() const = 0;
  virtual void SetTransacaoConfirmada(bool AValue) = 0;

  // ---- settings the managers read ----
  virtual bool ModoServico() const = 0;
  virtual bool AutoEfetuarPagamento() const = 0;
  virtual bool AutoFinalizarCupom() const = 0;
  virtual double TrocoMaximo() const = 0;
  virtual bool MultiplosCartoes() const = 0;
  virtual int32_t NumeroMaximoCartoes() const = 0;
  virtual int32_t EsperaSleep() const = 0;
  virtual const std::string& CNPJLoja() const = 0;
  virtual const std::string& CNPJVantor() const = 0;
  virtual bool FornecerTaxaDeEmbarque() const = 0;
  virtual bool FornecerTaxaDeServico() const = 0;
  // What a standard manager's requests carry and how it prints cheque receipts.
  virtual const TRiZedIzAdeIdentificacao& Identificacao() const = 0;
  virtual bool CHQEmGerencial() const = 0;
  // Whether keyboard and mouse are blocked (the standard manager's own screens need them).
  virtual bool TecladoBloqueado() const = 0;
};
