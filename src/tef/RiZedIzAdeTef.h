#pragma once
// The CliSiTef manager: drives the CliSiTef library directly (loaded at run time from
// the dll folder) instead of exchanging files with a standard manager, and its response
// record, which records the dialogue's values under their CliSiTef field codes.
//
// Text: address, store, terminal, operator, restrictions and everything exchanged with
// the library are single-byte (Windows-1252); messages and response fields are UTF-8.
#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "tef/RiZedIzAdeCliSiTefCodigos.h"
#include "tef/RiZedIzAdeClass.h"

// The response record of the CliSiTef manager.
class TRiZedIzAdeRespCliSiTef : public TRiZedIzAdeResp {
 public:
  // Every response CliSiTef hands over was approved by it: refusals never become one.
  bool TransacaoAprovada() const override { return true; }
  // Fills the fields from the recorded field codes.
  void ConteudoToProperty() override;
  // Records one value of the dialogue (single-byte) under its field code, escaped. The
  // installment codes 141 and 142 stack up as sequences 1, 2, 3...; every other code
  // is sequence 0 and replaces an earlier value.
  void GravaInformacao(int Identificacao, const std::string& Informacao);

  // Sequences of one field code never go past this: a key holds three digits.
  static constexpr int kMaiorSequencia = 999;
};

// Signatures of the library's entry points (C calling convention, 32-bit integers,
// NUL-terminated single-byte text).
extern "C" {
using TConfiguraIntSiTefInterativoEx = int32_t (*)(const char*, const char*, const char*,
                                                   int32_t, const char*);
using TIniciaFuncaoSiTefInterativo = int32_t (*)(int32_t, const char*, const char*, const char*,
                                                 const char*, const char*, const char*);
using TContinuaFuncaoSiTefInterativo = int32_t (*)(int32_t*, int32_t*, int16_t*, int16_t*, char*,
                                                   int32_t, int32_t);
using TFinalizaFuncaoSiTefInterativo = int32_t (*)(int32_t, const char*, const char*,
                                                   const char*, const char*);
using TFinalizaTransacaoSiTefInterativo = int32_t (*)(int32_t, const char*, const char*,
                                                      const char*);
using TEscreveMensagemPermanentePinPad = int32_t (*)(const char*);
using TObtemQuantidadeTransacoesPendentes = int32_t (*)(const char*, const char*);
using TVerificaPresencaPinPad = int32_t (*)();
using TLeTrilha3 = int32_t (*)(void*);
using TLeCartaoDiretoEx = int32_t (*)(char*, char*, char*, int32_t, int32_t);
using TLeCartaoSeguro = int32_t (*)(const char*);
using TLeCartaoDiretoSeguro = int32_t (*)(const char*, char*, int32_t);
}

class TRiZedIzAdeCliSiTef : public TRiZedIzAdeClass {
 public:
  // The library's file name, kept from the workstation version so that a service folder
  // has the same layout everywhere. The vendor's Linux library has a name of its own,
  // which the application gives with SetNomeBiblioteca.
  static constexpr const char* kNomeBiblioteca = "CliSiTef32I.dll";

  explicit TRiZedIzAdeCliSiTef(TRiZedIzAdeDono& ADono);
  ~TRiZedIzAdeCliSiTef() override;

  // Loads the library, configures it, and settles the responses left in backup files by
  // an earlier run. Nothing happens when already initialised. A configuration error
  // raises ERiZedIzAdeErro with its message; a missing library or function raises
  // ERiZedIzAdeErro "Erro ao carregar a função:<name> de: " + the library's file name.
  void Inicializar() override;
  // Forgets the library's entry points (the library itself stays loaded) and clears the
  // initialised flag.
  void DesInicializar() override;
  // Raises ERiZedIzAdeErro "CliSiTef não pode ser ativado localmente".
  void AtivarGP() override;
  // Nothing to check: the library is always there once loaded.
  void VerificaAtivo() override;
  // Stores 2 whatever it is given: CliSiTef always hands over two copies.
  void SetNumVias(int32_t AValue) override;

  // ---- transaction operations (a library function and its dialogue each) ----
  // Each starts the function and, when the library asks for a dialogue, runs it; a
  // result other than 0 is shown to the operator (AvaliaErro) and the operation answers
  // false. An approved payment (CRT, CHQ) becomes a pending response.
  void ATV() override;
  bool ADM() override;
  using TRiZedIzAdeClass::CNC;
  bool CNC(const std::string& Rede, const std::string& NSU, TDateTime DataHoraTransacao,
           Currency Valor) override;
  bool CHQ(Currency Valor, const std::string& IndiceFPG_ECF,
           const std::string& DocumentoVinculado, const std::string& CMC7, char TipoPessoa,
           const std::string& DocumentoPessoa, TDateTime DataCheque, const std::string& Banco,
           const std::string& Agencia, const std::string& AgenciaDC, const std::string& Conta,
           const std::string& ContaDC, const std::string& Cheque, const std::string& ChequeDC,
           const std::string& Compensacao) override;
  // Card data (single-byte) given here is answered without asking the operator.
  bool CRT(Currency Valor, const std::string& IndiceFPG_ECF, const std::string& NumeroCartao,
           const std::string& DataVencimento, const std::string& CVV,
           const std::string& QtdParcela, const std::string& DocumentoVinculado,
           int32_t Moeda) override;
  // Reads a friend card's track 3 into the component's IDAmigo; AResposta is left as it is.
  int LerTrilha3(std::string& AResposta) override;
  // Reads a card through the pin-pad's reader into the component's IDAmigo.
  int LerCartaoSeguro() override;

  // A response of a reprint: a payment function run with the code of one of the library's
  // reprint functions (113 or 114) as its payment-form index, exactly that text. It moves
  // no money: it is reported as a reprint, and there is nothing of it to settle.
  static bool Reimpressao(const TRiZedIzAdeResp& Resp);

  // ---- the two steps every operation is made of ----
  // Starts a library function; raises ERiZedIzAdeErro "Requisição anterior não concluida"
  // while a dialogue runs. Documento is not used: the document number sent is the
  // request ID, the seconds since midnight.
  int IniciarFuncao(int32_t Funcao, const std::string& Header, Currency Valor,
                    const std::string& Documento, const std::string& Restricoes);
  // The library's command loop, until it ends the function; returns its last result.
  // QtdParcela may be changed by the loop (the count typed at field 505).
  int ContinuarFuncao(bool IDAmigo, const std::string& NumeroCartao,
                      const std::string& DataVencimento, const std::string& CVV,
                      std::string QtdParcela);
  // The exchange buffer of one dialogue: the answer sent must leave room for its NUL.
  static constexpr int32_t kTamanhoBuffer = 20001;

  // ---- after the dialogue ----
  // Shows the library's error result to the operator (opmExcept); raises nothing.
  void AvaliaErro(int Sts);
  // Whether a message this manager shows with opmExcept says that the authoriser declined
  // the operation (the library's "Unauthorized" notice, or the text of a positive result),
  // as opposed to a cancellation or a failure: the host reports the two differently.
  static bool MensagemDeNegacao(const std::string& Mensagem);
  // The library's key-press notice of a decline, and how the text of a positive result begins.
  static constexpr std::string_view kNotificacaoNaoAutorizada = "Unauthorized";
  static constexpr std::string_view kNegadaPeloAutorizador = "Negada pelo autorizador (";
  // Raises ERiZedIzAdeErro "Nenhuma Requisição Iniciada" when no function was started.
  void VerificaRequisicaoIniciada() override;
  // Confirms (service mode only) or undoes the transaction of that document number.
  using TRiZedIzAdeClass::CNF;
  using TRiZedIzAdeClass::NCN;
  void CNF(const std::string& Rede, const std::string& NSU, const std::string& Finalizacao,
           const std::string& DocumentoVinculado) override;
  void NCN(const std::string& Rede, const std::string& NSU, const std::string& Finalizacao,
           Currency Valor, const std::string& DocumentoVinculado) override;
  // Ends the transaction in the library (confirmed or undone) and forgets the presets.
  // DocumentoVinculado is single-byte.
  // In service mode the date and time sent are the payment's own (kept in its response),
  // and a library that answers other than 0 raises ERiZedIzAdeErro: the payment is then
  // not settled, and its backup must stay.
  void FinalizarTransacao(bool Confirma, const std::string& DocumentoVinculado);
  // Settles a payment left by an earlier run, in the library alone: nothing is shown and
  // no event is raised (the host settles it behind a new client's back). DocumentoVinculado
  // is single-byte; Data ("yyyymmdd") and Hora ("hhnnss") are the payment's own (now when
  // empty). Returns the library's answer (0 settled); raises ERiZedIzAdeErro when the
  // library is not loaded.
  int FinalizarPendente(bool Confirma, const std::string& DocumentoVinculado, const std::string& Data,
                        const std::string& Hora);
  // The host's identity lines (sequence of key 899, escaped value), written into the next
  // function's response when it starts, so that its backup carries them from the first write.
  void SetIdentificacaoHospedeiro(std::vector<std::pair<int, std::string>> Linhas) {
    fIdentificacaoHospedeiro = std::move(Linhas);
  }

  // Small library calls; each raises ERiZedIzAdeErro "Erro ao iniciar \"TEF\"" when the
  // library is not loaded.
  int DefineMensagemPermanentePinPad(const std::string& Mensagem);
  int ObtemQuantidadeTransacoesPendentes(TDateTime Data, const std::string& CupomFiscal);
  // "Erro na DLL ou arquivo .INI do PINPAD" (-1), "Nenhum PINPAD conectado..." (0),
  // "PINPAD conectado com sucesso..." (1), "" for any other answer.
  std::string VerificarPresencaPinPad();

  // The library's path: PathDLL trimmed, with a trailing "/", then the file name
  // (NomeBiblioteca); the bare file name (the loader's search path) when PathDLL is empty.
  std::string CaminhoBiblioteca() const;
  // The additional-parameter string of the configuration call.
  static std::string MontaParametrosAdicionais(const std::vector<std::string>& Parametros,
                                               const std::string& CNPJLoja,
                                               const std::string& CNPJVantor);

  // ---- settings (single-byte text) ----
  const std::string& EnderecoIP() const { return fEnderecoIP; }
  void SetEnderecoIP(const std::string& AValue) { fEnderecoIP = AValue; }
  const std::string& CodigoLoja() const { return fCodigoLoja; }
  void SetCodigoLoja(const std::string& AValue) { fCodigoLoja = AValue; }
  const std::string& NumeroTerminal() const { return fNumeroTerminal; }
  void SetNumeroTerminal(const std::string& AValue) { fNumeroTerminal = AValue; }
  const std::string& Operador() const { return fOperador; }
  void SetOperador(const std::string& AValue) { fOperador = AValue; }
  const std::vector<std::string>& ParametrosAdicionais() const { return fParametrosAdicionais; }
  void SetParametrosAdicionais(const std::vector<std::string>& AValue) { fParametrosAdicionais = AValue; }
  const std::string& Restricoes() const { return fRestricoes; }
  void SetRestricoes(const std::string& AValue) { fRestricoes = AValue; }
  // Preset answers, one "type=answer" line per field type.
  std::vector<std::string>& Respostas() { return fRespostas; }
  const std::string& PathDLL() const { return fPathDLL; }
  void SetPathDLL(const std::string& AValue) { fPathDLL = AValue; }
  // The library's file name inside PathDLL; kNomeBiblioteca until set (an empty text
  // goes back to it).
  const std::string& NomeBiblioteca() const { return fNomeBiblioteca; }
  void SetNomeBiblioteca(const std::string& AValue) { fNomeBiblioteca = AValue.empty() ? kNomeBiblioteca : AValue; }
  bool ModoServico() const { return FTEFModoServico; }
  void SetModoServico(bool AValue) { FTEFModoServico = AValue; }

  int32_t OperacaoATV() const { return fOperacaoATV; }
  void SetOperacaoATV(int32_t AValue) { fOperacaoATV = AValue; }
  int32_t OperacaoADM() const { return fOperacaoADM; }
  void SetOperacaoADM(int32_t AValue) { fOperacaoADM = AValue; }
  int32_t OperacaoCRT() const { return fOperacaoCRT; }
  void SetOperacaoCRT(int32_t AValue) { fOperacaoCRT = AValue; }
  int32_t OperacaoCHQ() const { return fOperacaoCHQ; }
  void SetOperacaoCHQ(int32_t AValue) { fOperacaoCHQ = AValue; }
  int32_t OperacaoCNC() const { return fOperacaoCNC; }
  void SetOperacaoCNC(int32_t AValue) { fOperacaoCNC = AValue; }
  int32_t OperacaoReImpressao() const { return fOperacaoReImpressao; }
  void SetOperacaoReImpressao(int32_t AValue) { fOperacaoReImpressao = AValue; }

  int32_t NumeroParcela() const { return FNumeroParcela; }
  void SetNumeroParcela(int32_t AValue) { FNumeroParcela = AValue; }
  const std::string& CodigoHASH() const { return FCodigoHASH; }
  void SetCodigoHASH(const std::string& AValue) { FCodigoHASH = AValue; }
  const std::string& CodigoBandeiraAutorizada() const { return fCodigoBandeira; }
  void SetCodigoBandeiraAutorizada(const std::string& AValue) { fCodigoBandeira = AValue; }
  const std::string& CodigoRedeAutorizada() const { return fCodigoRede; }
  void SetCodigoRedeAutorizada(const std::string& AValue) { fCodigoRede = AValue; }
  const std::string& CodigoNSU() const { return fOrigiNSU; }
  void SetCodigoNSU(const std::string& AValue) { fOrigiNSU = AValue; }
  const std::string& CodigoNSUHost() const { return fOrigiNSUHost; }
  void SetCodigoNSUHost(const std::string& AValue) { fOrigiNSUHost = AValue; }

  // The sale being cancelled; the application sets these around a cancellation.
  const std::string& CancelandoTransacaoNSU() const { return FCancelandoTransacaoNSU; }
  void SetCancelandoTransacaoNSU(const std::string& AValue) { FCancelandoTransacaoNSU = AValue; }
  TDateTime CancelandoTransacaoDATA() const { return FCancelandoTransacaoDATA; }
  void SetCancelandoTransacaoDATA(TDateTime AValue) { FCancelandoTransacaoDATA = AValue; }
  Currency CancelandoTransacaoVALOR() const { return FCancelandoTransacaoVALOR; }
  void SetCancelandoTransacaoVALOR(Currency AValue) { FCancelandoTransacaoVALOR = AValue; }
  bool CancelandoTransacaoTEF() const { return FCancelandoTransacaoTEF; }
  void SetCancelandoTransacaoTEF(bool AValue) { FCancelandoTransacaoTEF = AValue; }

  // Published dialogue events; the dialogue raises the component's events instead.
  TRiZedIzAdeCliSiTefExibeMenu OnExibeMenu;
  TRiZedIzAdeCliSiTefObtemCampo OnObtemCampo;
  TRiZedIzAdeCliSiTefObtemCheque OnObtemCheque;
  TRiZedizAdeCliSiTefExibeQRCode OnExibeQRCode;

  // True when all twelve entry points are found.
  bool BibliotecaCarregada() const;
  // The twelve entry points' names, in the order CarregarFuncoes looks them up (an
  // installation check looks for the same names in a library file).
  static constexpr std::array<const char*, 12> kFuncoesBiblioteca = {
      "ConfiguraIntSiTefInterativoEx", "IniciaFuncaoSiTefInterativo", "LeTrilha3", "LeCartaoSeguro",
      "LeCartaoDiretoSeguro", "LeCartaoDiretoEx", "ContinuaFuncaoSiTefInterativo",
      "FinalizaFuncaoSiTefInterativo", "FinalizaTransacaoSiTefInterativo", "EscreveMensagemPermanentePinPad",
      "ObtemQuantidadeTransacoesPendentes", "VerificaPresencaPinPad"};

  // The same question asked this many times in a row with the same answer is a dialogue
  // that goes round in circles (an answer the library refuses, a step back onto a question
  // answered without asking): the run ends it instead of spinning.
  static constexpr int kRepeticoesMaximas = 20;
  // The last run was ended that way, or because OnInterromperDialogo asked for it.
  bool DialogoInterrompido() const { return FDialogoInterrompido; }

 protected:
  std::unique_ptr<TRiZedIzAdeResp> NovaRespostaDoTipo(TRiZedIzAdeTipo Tipo) const override;
  void ProcessarResposta() override;
  bool ProcessarRespostaPagamento(const std::string& IndiceFPG_ECF, Currency Valor) override;
  // In service mode the approval is written over the function's start record (GravaInicio).
  std::string CopiarResposta() override;

  // Service mode: the function's response as it starts (its host identity, date, time and
  // document), written to a backup file marked kSequenciaIniciado before the library is
  // called. The library can approve at any step of the dialogue, before the approval
  // reaches a backup; with this record on disk a stop in between leaves the next start the
  // date and document to undo it by. A record that cannot be written is logged, and the
  // function goes on without it.
  void GravaInicio();
  // The function ended without leaving its approval in the record: the record goes.
  void EncerraInicio();
  std::string fArqInicio;

  // The preset answer for a field type ("" when none), and setting one (replacing the
  // earlier answer for that type).
  std::string Resposta(int TipoCampo) const;
  bool TemResposta(int TipoCampo) const;
  void GravaResposta(int TipoCampo, const std::string& Valor);

  // Looks up every entry point still missing, in the library's order; raises on the
  // first one that cannot be found (those found stay set).
  void CarregarFuncoes();
  // Forgets all twelve entry points; the library stays loaded.
  void DescarregarFuncoes();

  bool fIniciouRequisicao = false;
  std::vector<std::pair<int, std::string>> fIdentificacaoHospedeiro;
  // The last document number given, and its date: the next of that date is higher.
  std::string fDataUltimoDocumento;
  int32_t fUltimoDocumento = -1;
  int32_t NovoDocumento(TDateTime Agora, const std::string& Data);
  bool fReimpressao = false;
  bool fDevolucao = false;
  std::string fCodigoLoja;
  std::string fEnderecoIP;
  std::string fNumeroTerminal;
  int32_t fOperacaoADM = 110;
  int32_t fOperacaoATV = 111;
  int32_t fOperacaoCHQ = 1;
  int32_t fOperacaoCNC = 200;
  int32_t fOperacaoCRT = 0;
  int32_t fOperacaoReImpressao = 112;
  std::string fOperador;
  std::vector<std::string> fParametrosAdicionais;
  std::vector<std::string> fRespostas;
  std::string fRestricoes;
  std::string fPathDLL;
  std::string fNomeBiblioteca = kNomeBiblioteca;
  TConfiguraIntSiTefInterativoEx xConfiguraIntSiTefInterativoEx = nullptr;
  TIniciaFuncaoSiTefInterativo xIniciaFuncaoSiTefInterativo = nullptr;
  TLeTrilha3 xLeTrilha3 = nullptr;
  TLeCartaoSeguro xLeCartaoSeguro = nullptr;
  TLeCartaoDiretoEx xLeCartaoDiretoEx = nullptr;
  TLeCartaoDiretoSeguro xLeCartaoDiretoSeguro = nullptr;
  TFinalizaTransacaoSiTefInterativo xFinalizaTransacaoSiTefInterativo = nullptr;
  TFinalizaFuncaoSiTefInterativo xFinalizaFuncaoSiTefInterativo = nullptr;
  TContinuaFuncaoSiTefInterativo xContinuaFuncaoSiTefInterativo = nullptr;
  TEscreveMensagemPermanentePinPad xEscreveMensagemPermanentePinPad = nullptr;
  TObtemQuantidadeTransacoesPendentes xObtemQuantidadeTransacoesPendentes = nullptr;
  TVerificaPresencaPinPad xVerificaPresencaPinPad = nullptr;
  int32_t FNumeroParcela = 0;
  std::string fCodigoBandeira;
  std::string fCodigoRede;
  std::string fOrigiNSU;
  std::string fOrigiNSUHost;
  std::string FCancelandoTransacaoNSU;
  TDateTime FCancelandoTransacaoDATA = 0;
  Currency FCancelandoTransacaoVALOR;
  bool FCancelandoTransacaoTEF = false;
  std::string FCodigoHASH;
  bool FTEFModoServico = false;
  bool FDialogoInterrompido = false;

 private:
  TRiZedIzAdeRespCliSiTef& RespCliSiTef() const;
  // ---- the command loop (ContinuarFuncao), one step per call of the library ----
  struct Dialogo;
  // How often each question was answered the same way in a row (by command, field and text).
  using Repeticoes = std::map<std::string, std::pair<std::string, int>>;
  // One step the library asks for (result 10000): the preset answer for its field, the
  // command's own handling, then the checks that may end the run.
  void RespondePasso(Dialogo& d, Repeticoes& repeticoes);
  // Hands the step to the handler of its command (ComandoCliSiTef); an unknown command is
  // answered with the preset answer, or nothing.
  void TrataComando(Dialogo& d);
  // After a step: ends the run (InterrompeDialogo) when the same question came back too
  // often with the same answer, or when the component's OnInterromperDialogo asks for it.
  void VerificaInterrupcao(Dialogo& d, Repeticoes& repeticoes);
  void InterrompeDialogo(Dialogo& d);
  // The friend card's id read from the track the library handed back at the function's end.
  void GuardaIdAmigo(const std::string& Trilha);

  // Command 0: records a value of the result in the response, keeps some for the host.
  void GuardaValorResultado(Dialogo& d);
  // Commands 1 to 3 and 11 to 13: the library's message shown to, or taken from, the
  // operator, the customer or both (operator first).
  enum class Destino { Operador, Cliente, Ambos };
  void MostraMensagem(Destino Para, const std::string& Texto);
  void RemoveMensagem(Destino De);
  // Command 22: a notice, acknowledged by going back.
  void MostraAviso(Dialogo& d);
  // Command 23: the library waits (card, pin-pad); OnAguardaResp may end the function.
  void AguardaBiblioteca(Dialogo& d);
  // Commands 50 and 52: a QR code for the screen or the pin-pad (52 may be a message).
  void MostraQRCode(Dialogo& d);
  void MostraQRCodeOuMensagem(Dialogo& d);
  // Command 20: yes or no, answered "0" for yes.
  void PerguntaSimNao(Dialogo& d);
  // Command 21: a menu, answered by the chosen option's number.
  void EscolheNoMenu(Dialogo& d);
  // Command 30: a field, answered from the presets, the caller's card data or the
  // cancellation being made, else asked (RespondeCampo does it with input unblocked).
  void LeCampo(Dialogo& d);
  void RespondeCampo(Dialogo& d);
  // Command 31: check data (CMC7 from the preset or OnObtemCheque, other fields asked).
  void LeCheque(Dialogo& d);
  // Command 34: an amount (the cancellation's, a fee answered 0 unless asked for, or typed).
  void LeValor(Dialogo& d);
  // Command 35: a bar code, asked.
  void LeCodigoBarras(Dialogo& d);
  // The cancellation's date, NSU or amount, for the field that asks for it.
  std::string RespostaDoCancelamento(int TipoCampo) const;
  // OnObtemCampo for the current command, with its text and sizes; the event's Digitado
  // is the run's go-on flag (cleared, it ends the function).
  void PedeCampo(Dialogo& d, int TipoCampo, TRiZedIzAdeCliSiTefOperacaoCampo Operacao);

  // A function whose approved response is printed and reported (ATV, ADM, CNC): start,
  // dialogue, then ProcessarResposta or AvaliaErro. True when approved.
  bool ExecutaFuncao(int32_t Funcao, const std::string& Header, const std::string& Restricoes);
  // Raises ERiZedIzAdeErro "Erro ao iniciar \"TEF\"" when the entry point is not loaded.
  template <typename F>
  F Funcao(F f) const {
    if (!f) throw ERiZedIzAdeErro("Erro ao iniciar \"TEF\"");
    return f;
  }

  // The library stays loaded for the life of the process once configured: unloading it
  // would discard what it holds in memory (approved, unsettled sales). Only a library
  // that failed to load whole is released, so that a corrected path takes effect.
  void* fBiblioteca = nullptr;
  std::string fCaminhoCarregado;  // path fBiblioteca was loaded from
};
