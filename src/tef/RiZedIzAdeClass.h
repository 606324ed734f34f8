#pragma once
// The base TEF manager. The response record, the pending list, the component basics and
// the TEF log it builds on have headers of their own, included here.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "tef/RiZedIzAdeArquivo.h"
#include "tef/RiZedIzAdeBase.h"
#include "tef/RiZedIzAdeComponent.h"
#include "tef/RiZedIzAdeDono.h"
#include "tef/RiZedIzAdeLog.h"
#include "tef/RiZedIzAdeNomes.h"
#include "tef/RiZedIzAdeResp.h"
#include "tef/RiZedIzAdeRespTXT.h"
#include "tef/RiZedIzAdeRespostasPendentes.h"
#include "tef/RiZedIzAdeTypes.h"

// ---------------------------------------------------------------------------------------
// The base of every TEF manager. It keeps the state all managers share and implements what
// they share: initialisation state, activation, the report printing of receipts through the
// owner's cash-register operations, the backups of approved responses, the value check of a
// new payment and the TEF log. The transaction operations are slots that each kind of
// manager fills; here they refuse with ERiZedIzAdeErro, since the file-exchange manager
// that would implement them is not part of this system yet.
//
// A manager is owned by the component it is made for and reaches the host only through the
// owner's interface (TRiZedIzAdeDono). Nothing here locks: the owner runs one TEF operation
// at a time on the calling thread.
class TRiZedIzAdeClass : public TComponent {
 public:
  explicit TRiZedIzAdeClass(TRiZedIzAdeDono& ADono);
  ~TRiZedIzAdeClass() override;

  TRiZedIzAdeDono& Dono() const { return fDono; }

  const std::string& ArqLOG() const { return fArqLOG; }
  void SetArqLOG(const std::string& AValue) { fArqLOG = AValue; }
  bool Habilitado() const { return fHabilitado; }
  void SetHabilitado(bool AValue) { fHabilitado = AValue; }
  bool AutoAtivarGP() const { return fAutoAtivarGP; }
  void SetAutoAtivarGP(bool AValue) { fAutoAtivarGP = AValue; }
  int32_t EsperaSTS() const { return fEsperaSTS; }
  void SetEsperaSTS(int32_t AValue) { fEsperaSTS = AValue; }
  const std::string& ArqReq() const { return fArqReq; }
  const std::string& ArqTmp() const { return fArqTmp; }
  const std::string& ArqResp() const { return fArqResp; }
  const std::string& ArqSTS() const { return fArqSTS; }
  const std::string& GPExeName() const { return fGPExeName; }

  bool Inicializado() const { return fpInicializado; }
  // Writing true runs Inicializar, false DesInicializar.
  void SetInicializado(bool AValue);
  TRiZedIzAdeReq& Req() const { return *fpReq; }
  TRiZedIzAdeResp& Resp() const { return *fpResp; }
  TRiZedIzAdeTipo Tipo() const { return fpTipo; }
  int32_t IDSeq() const { return fpIDSeq; }
  int32_t NumVias() const { return fpNumVias; }
  virtual void SetNumVias(int32_t AValue) { fpNumVias = AValue; }
  bool AguardandoResposta() const { return fpAguardandoResposta; }
  // A card (CRT) or cheque (CHQ) payment: the requests a sale's next payment confirms first.
  static bool EPagamento(const std::string& Header) { return Header == "CRT" || Header == "CHQ"; }

  // ---- request steps of the file exchange with a standard manager ----
  // Starts a request: refuses while a wait runs, confirms the sale's earlier card payments
  // before a new one (MultiplosCartoes), checks the manager is active (but for ATV), removes
  // every exchange file, takes the next identifier (or AID when above 0) and writes the
  // header to the temporary file.
  virtual void IniciarRequisicao(const std::string& AHeader, int32_t AID = 0);
  // Writes the application's name and version (701), company (716) and capabilities (706).
  virtual void GravaIdentificacao();
  // Closes the request (trailer, flushed), renames it to the request path and waits up to
  // EsperaSTS seconds for the status file. Raises ERiZedIzAdeGPNaoResponde when none comes
  // and ERiZedIzAdeSTSInvalido when it is of another request; either way no request,
  // status or response file is left behind.
  virtual void FinalizarRequisicao();
  // True unless the response is a standard manager's one of another request or without
  // trailer.
  virtual bool VerificaResposta();
  // Waits, without time limit, for a response of this request; a response of another
  // request is logged, deleted and waited past. A cancel through OnAguardaResp without a
  // response raises ERiZedIzAdeArquivo "...não encontrado".
  virtual void LerRespostaRequisicao();
  // The response read is this request's (header and identifier) but has no trailer yet.
  bool RespostaIncompleta();
  // Ends the response: deletes the response file when asked, clears request and response.
  virtual void FinalizarResposta(bool ApagarResposta);

 protected:
  // Writes the owner's current response to the next free backup file, flushed to disk,
  // sets the response's ArqBackup and returns the path. Numbers run from 001 to 999; when
  // all are taken it raises ERiZedIzAdeErro and the payment stops there.
  virtual std::string CopiarResposta();
  // The first backup file number not in use; raises as CopiarResposta does when none is free.
  std::string ArquivoBackupLivre() const;
  // After ADM and CNC: a response with receipt lines is printed (ImprimirRelatorio) and
  // reported to OnDepoisConfirmarTransacoes alone; otherwise the operator's text is shown.
  virtual void ProcessarResposta();
  // After CRT and CHQ: reads the response; an approved payment is backed up and joins the
  // pending list, a refused one is processed and ended. Returns whether it was approved.
  virtual bool ProcessarRespostaPagamento(const std::string& IndiceFPG_ECF, Currency Valor);

 public:
  // Raises ERiZedIzAdeErro "Nenhuma Requisição Iniciada" when the request has no Header.
  virtual void VerificaRequisicaoIniciada();
  // Prints the receipt copies of the current response through the owner's cash-register
  // operations, asking the operator to retry while the printer fails, then confirms (CNF)
  // or undoes (NCN) the transaction of its backup. Raises ERiZedIzAdeECF "Impressão de
  // Relatório Falhou" when the operator gives up.
  virtual void ImprimirRelatorio();

 protected:
  // At start: confirms (CNF) every transaction whose backup file is left, reports the
  // confirmed responses to the owner's OnDepoisConfirmarTransacoes and asks the operator
  // to reprint. A file whose confirmation fails is logged and stays for the next start.
  virtual void ConfirmarTransacoesBackup();
  // Checks a new payment amount against the pending list before anything is sent; raises
  // ERiZedIzAdeErro with the operator's message. Only SaldoAPagar changes.
  virtual void VerificaValor(Currency Valor);

 public:
  virtual void Inicializar();
  virtual void DesInicializar();
  virtual int LerTrilha3(std::string& AResposta);
  virtual int LerCartaoSeguro();
  virtual void AtivarGP();
  virtual void VerificaAtivo();
  // Undoes every transaction whose backup file is left in the folder: unconfirmed ones
  // (and administrative functions and cancellations) first, latest first, then the
  // confirmed ones with CNC. A file whose undo fails stays for the next start and the pass
  // goes on; the first such error is raised at the end.
  virtual void CancelarTransacoesPendentesClass();
  // Sends the CNF of every pending payment of this manager's kind not yet confirmed and
  // records it (key 899-001) in the response and its backup file.
  virtual void ConfirmarTransacoesAnteriores();

  // Transaction operations. The base exchanges files with a standard manager; the CliSiTef
  // manager replaces them with calls into its library.
  virtual void ATV();
  virtual bool ADM();
  virtual bool CRT(Currency Valor, const std::string& IndiceFPG_ECF,
                   const std::string& NumeroCartao, const std::string& DataVencimento,
                   const std::string& CVV, const std::string& QtdParcela,
                   const std::string& DocumentoVinculado, int32_t Moeda);
  virtual bool CHQ(Currency Valor, const std::string& IndiceFPG_ECF,
                   const std::string& DocumentoVinculado, const std::string& CMC7,
                   char TipoPessoa, const std::string& DocumentoPessoa, TDateTime DataCheque,
                   const std::string& Banco, const std::string& Agencia,
                   const std::string& AgenciaDC, const std::string& Conta,
                   const std::string& ContaDC, const std::string& Cheque,
                   const std::string& ChequeDC, const std::string& Compensacao);
  virtual void NCN();
  virtual void NCN(const std::string& Rede, const std::string& NSU,
                   const std::string& Finalizacao, Currency Valor,
                   const std::string& DocumentoVinculado);
  virtual void CNF();
  virtual void CNF(const std::string& Rede, const std::string& NSU,
                   const std::string& Finalizacao, const std::string& DocumentoVinculado);
  virtual bool CNC();
  virtual bool CNC(const std::string& Rede, const std::string& NSU,
                   TDateTime DataHoraTransacao, Currency Valor);

  // Raises ERiZedIzAdeGPNaoInicializado "Gerenciador Padrão: <name> não foi inicializado".
  void VerificaInicializado() const;
  // Appends "-- dd/mm hh:nn:ss:zzz - <text>" and CR LF to ArqLOG (nothing when it is
  // empty). Never raises.
  void GravaLog(const std::string& AString) const;
  // Several lines, each as above, appended in one go.
  void GravaLog(const std::vector<std::string>& Linhas) const;

  // The backup file of number 1 to 999 in the owner's backup folder
  // (".../RiZedIzAde_CliSiTef_001.tef" for the CliSiTef manager), and the pattern that
  // lists them all.
  std::string NomeArquivoBackup(int Numero) const;
  std::string MascaraArquivosBackup() const;
  static constexpr int kMaiorNumeroBackup = 999;

 protected:
  // The five paths and the executable of the file-exchange manager, stored trimmed.
  void SetArqReq(const std::string& AValue);
  void SetArqTmp(const std::string& AValue);
  void SetArqResp(const std::string& AValue);
  void SetArqSTS(const std::string& AValue);
  void SetGPExeName(const std::string& AValue);

  // A new, empty response of the variant that reads a response of the given kind of
  // manager ("copy by kind"): the plain record for gpCliSiTef, the standard manager's
  // key-value response for every other kind. A manager that has a variant of its own (the
  // CliSiTef response) returns it instead, so that its copies carry every field.
  virtual std::unique_ptr<TRiZedIzAdeResp> NovaRespostaDoTipo(TRiZedIzAdeTipo Tipo) const;
  // A copy of a response made by NovaRespostaDoTipo for the response's own kind.
  std::unique_ptr<TRiZedIzAdeResp> CopiaDaResposta(const TRiZedIzAdeResp& Source) const;

  std::string fArqLOG;
  std::string fArqReq;
  std::string fArqTmp;
  std::string fArqResp;
  std::string fArqSTS;
  bool fAutoAtivarGP = true;
  int32_t fEsperaSTS = 7;
  std::string fGPExeName;
  bool fHabilitado = false;
  bool fpInicializado = false;
  std::unique_ptr<TRiZedIzAdeReq> fpReq;
  std::unique_ptr<TRiZedIzAdeResp> fpResp;  // a variant replaces it with its own record
  TRiZedIzAdeTipo fpTipo = gpNenhum;
  int32_t fpIDSeq = 0;
  int32_t fpNumVias = 2;
  // Whether ImprimirRelatorio settles the transaction it printed (CNF printed, NCN not).
  // Off while a host of service mode settles it itself, by the sales back-end's answer:
  // each document has one owner, so it is settled once.
  bool fRelatorioLiquida = true;
  // Set while a dialogue runs; atomic so that a look from outside the operation's thread
  // (a test's) reads it whole.
  std::atomic<bool> fpAguardandoResposta{false};

  // How a manager registers a payment: the file exchange blocks keyboard and mouse around
  // it and numbers a cheque printed in a management report 999; CliSiTef does neither.
  struct TRegistroECF {
    bool BloquearTeclado = false;
    bool ChequeEmGerencialComo999 = false;
  };
  // Registers an approved payment on the cash register (AutoEfetuarPagamento), asking the
  // operator to retry while it fails; on giving up cancels the coupon and, outside service
  // mode, the pending transactions. Once registered, lowers the balance to pay and gives
  // the copy in the pending list its payment order.
  void EfetuarPagamentoECF(const std::string& IndiceFPG_ECF, Currency Valor,
                           TRiZedIzAdeResp& Copia, TRegistroECF Como);

 private:
  // One attempt of the report printing; false when the cash register failed.
  bool ImprimirViasRelatorio();
  // Waits for a file: sleeps EsperaSleep, hands each turn to OnAguardaResp (with the whole
  // seconds left until Prazo, or elapsed when there is no deadline), until the file is
  // there, the deadline passes or the handler interrupts. Logs the end with Etapa ("<name>
  // FinalizarRequisicao: CRT") and returns whether the file is there. AguardandoResposta is
  // true exactly during the wait, even when the handler raises.
  bool AguardaArquivo(const std::string& Arquivo, const std::string& Etapa,
                      const norvane::WaitPoint* Prazo);
  // What ADM and both CNCs do after their request keys: identification, request, response,
  // processing. Returns whether the response approved the operation.
  bool ConcluirOperacao();
  // ProcessarResposta, then FinalizarResposta(true) whether it failed or not.
  void ProcessarEFinalizarResposta();
  // Cancels the cash register's coupon and, outside service mode, the pending transactions.
  void CancelarCupomEPendentes();
  // The request that confirms (CNF) or undoes (NCN) a transaction, identified by its
  // network, NSU, finalisation and linked document.
  void EnviarFinalizacao(const std::string& Header, std::string Rede, std::string NSU,
                         std::string Finalizacao, std::string DocumentoVinculado);
  [[noreturn]] void Recusa(const std::string& Operacao) const;

  TRiZedIzAdeDono& fDono;
};

class TRiZedIzAdeClassList : public TRiZedIzAdeObjectList<TRiZedIzAdeClass> {};

