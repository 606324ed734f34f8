#pragma once
// The base TEF manager, the response record, the pending-response list and its backups.
//
// A payment approved by the authoriser is only settled (confirmed or undone) after the sale
// is closed. Between the two, the approval lives in the owner's pending list and in a
// numbered backup file; a file left in the backup folder always stands for a transaction
// that was approved and not yet settled, and the next start settles it.
//
// Text follows the component's convention (RiZedIzAdeBase.h): "string" is UTF-8,
// "single-byte" is Windows-1252. Response fields are UTF-8; the content lines single-byte.
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "tef/RiZedIzAdeArquivo.h"
#include "tef/RiZedIzAdeBase.h"
#include "tef/RiZedIzAdeTypes.h"

class TRiZedIzAde;

// ---------------------------------------------------------------------------------------
// The member names of the enumerations, as the TEF log and the messages quote them
// ("opmOK", "opePulaLinhas", "gpCliSiTef"). An ordinal outside the enumeration gives "".
std::string enum_name(TRiZedIzAdeTipo Value);
std::string enum_name(TRiZedIzAdeOperacaoMensagem Value);
std::string enum_name(TRiZedIzAdeOperacaoECF Value);
std::string enum_name(TRiZedIzAdeTipoRelatorio Value);
std::string enum_name(TRiZedIzAdeInfoECF Value);

// ---------------------------------------------------------------------------------------
// A component: a name and the component that owns it. The managers check their owner's
// class through it, and their log lines carry the names.
class TComponent {
 public:
  explicit TComponent(TComponent* AOwner = nullptr) : fOwner(AOwner) {}
  virtual ~TComponent() = default;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const { return fOwner; }
  const std::string& Name() const { return fName; }
  void SetName(const std::string& AValue) { fName = AValue; }

 private:
  TComponent* fOwner;
  std::string fName;
};

// An owning list with typed access: deleting an item or clearing the list frees the items.
template <typename T>
class TRiZedIzAdeObjectList {
 public:
  TRiZedIzAdeObjectList() = default;
  TRiZedIzAdeObjectList(const TRiZedIzAdeObjectList&) = delete;
  TRiZedIzAdeObjectList& operator=(const TRiZedIzAdeObjectList&) = delete;
  virtual ~TRiZedIzAdeObjectList() = default;

  int Count() const { return static_cast<int>(fItems.size()); }
  bool Empty() const { return fItems.empty(); }
  // Index from 0; raises std::out_of_range outside the list.
  T& operator[](int Index) const { return *fItems.at(static_cast<size_t>(Index)); }
  T& Add(std::unique_ptr<T> Item) {
    fItems.push_back(std::move(Item));
    return *fItems.back();
  }
  T& Insert(int Index, std::unique_ptr<T> Item) {
    if (Index < 0 || Index > Count()) throw std::out_of_range("índice fora da lista");
    return **fItems.insert(fItems.begin() + Index, std::move(Item));
  }
  void Delete(int Index) {
    if (Index < 0 || Index >= Count()) throw std::out_of_range("índice fora da lista");
    fItems.erase(fItems.begin() + Index);
  }
  void Clear() { fItems.clear(); }

  auto begin() const { return fItems.begin(); }
  auto end() const { return fItems.end(); }

 private:
  std::vector<std::unique_ptr<T>> fItems;
};

// ---------------------------------------------------------------------------------------
// Response record.

// Who finances the installments.
enum TRiZedIzAdeRespParceladoPor { parcNenhum, parcADM, parcLoja };
// Kind of payment.
enum TRiZedIzAdeRespTipoOperacao { opOutras, opAvista, opParcelado, opPreDatado };

// One installment of a response.
class TRiZedIzAdeRespParcela {
 public:
  TDateTime Vencimento() const { return fVencimento; }
  void SetVencimento(TDateTime AValue) { fVencimento = AValue; }
  Currency Valor() const { return fValor; }
  void SetValor(Currency AValue) { fValor = AValue; }
  const std::string& NSUParcela() const { return fNSUParcela; }
  void SetNSUParcela(const std::string& AValue) { fNSUParcela = AValue; }

 private:
  TDateTime fVencimento = 0;
  Currency fValor;
  std::string fNSUParcela;
};

class TRiZedIzAdeRespParcelas : public TRiZedIzAdeObjectList<TRiZedIzAdeRespParcela> {};

// The keys of the component's own inside a response, written by the properties of the
// same name so that they travel with the lines into the backup file and back.
inline constexpr int kIdentificacaoControle = 899;
inline constexpr int kSequenciaCNFEnviado = 1;
inline constexpr int kSequenciaIndiceFPG_ECF = 2;
inline constexpr int kSequenciaOrdemPagamento = 3;

// The response common to all managers: the content lines and the fields read from them.
// The fields that have no rule of their own are public (the host's result message reads
// them directly); the three that write their key into the content, the backup path and the
// owned parts go through their properties. A variant (the CliSiTef response) fills the
// fields from the content in ConteudoToProperty.
class TRiZedIzAdeResp {
 public:
  TRiZedIzAdeResp();
  virtual ~TRiZedIzAdeResp() = default;
  TRiZedIzAdeResp(const TRiZedIzAdeResp&) = delete;
  TRiZedIzAdeResp& operator=(const TRiZedIzAdeResp&) = delete;

  // Empties the content, the installments and both receipt copies and resets the fields
  // (TipoGP, Pendente, the brand, network and merchant codes and the printed-receipt flag
  // keep their values: a variant sets them from its content).
  void Clear();
  // Takes a copy of the source's lines and rebuilds the fields from them by this object's
  // class, then copies ArqBackup and TipoGP. So the target's class decides how the same
  // lines are read.
  void Assign(const TRiZedIzAdeResp& Source);
  // Clear, then load the file (a missing file raises ERiZedIzAdeArquivo), then rebuild the
  // fields from it.
  void LeArquivo(const std::string& NomeArquivo);
  // Keyed read of the content.
  TRiZedIzAdeInformacao& LeInformacao(int Identificacao, int Sequencia);

  // The base response approves everything; variants answer from their content.
  virtual bool TransacaoAprovada() const { return true; }
  // Fills the fields from the content. The base reads only the component's own keys
  // (899-001 to 899-003), so that those three survive every round trip through a backup
  // file whatever the variant; variants read everything else.
  virtual void ConteudoToProperty();

  TRiZedIzAdeArquivo& Conteudo() { return fpConteudo; }
  const TRiZedIzAdeArquivo& Conteudo() const { return fpConteudo; }
  TRiZedIzAdeRespParcelas& Parcelas() { return fpParcelas; }
  const TRiZedIzAdeRespParcelas& Parcelas() const { return fpParcelas; }

  // Key 899-001: "S" or "N"; true when the value in upper case is "S".
  bool CNFEnviado() const { return fpCNFEnviado; }
  void SetCNFEnviado(bool AValue);
  // Key 899-002: the cash register's payment-form index (empty removes the key).
  const std::string& IndiceFPG_ECF() const { return fpIndiceFPG_ECF; }
  void SetIndiceFPG_ECF(const std::string& AValue);
  // Key 899-003: order of the payment on the cash register, 0 while not registered.
  int32_t OrdemPagamento() const { return fpOrdemPagamento; }
  void SetOrdemPagamento(int32_t AValue);
  // Path of this response's backup file; stored trimmed, nothing written into the content.
  const std::string& ArqBackup() const { return fpArqBackup; }
  void SetArqBackup(const std::string& AValue);

  // Convenience readers with the property names of the fields below.
  const std::string& Header() const { return fpHeader; }
  int32_t ID() const { return fpID; }
  const std::string& Rede() const { return fpRede; }
  const std::string& NSU() const { return fpNSU; }
  const std::string& Finalizacao() const { return fpFinalizacao; }
  const std::string& DocumentoVinculado() const { return fpDocumentoVinculado; }
  Currency ValorTotal() const { return fpValorTotal; }
  Currency Saque() const { return fpSaque; }
  Currency Desconto() const { return fpDesconto; }
  TRiZedIzAdeTipo TipoGP() const { return fpTipoGP; }
  bool Pendente() const { return fpPendente; }
  const std::vector<std::string>& ImagemComprovante1aVia() const { return fpImagemComprovante1aVia; }
  const std::vector<std::string>& ImagemComprovante2aVia() const { return fpImagemComprovante2aVia; }

  // Fields in declared order.
  std::string fpAgencia;
  std::string fpAgenciaDC;
  std::string fpAutenticacao;

 protected:
  std::string fpArqBackup;

 public:
  std::string fpArqRespPendente;
  std::string fpBanco;
  std::string fpCheque;
  std::string fpChequeDC;
  std::string fpCMC7;

 protected:
  bool fpCNFEnviado = false;

 public:
  std::string fpCodigoAutorizacaoTransacao;
  std::string fpConta;
  std::string fpCodigoHASH;
  std::string fpNumeroCartao;
  std::string fpEstabelecimento;
  std::string fpContaDC;

 protected:
  TRiZedIzAdeArquivo fpConteudo;

 public:
  TDateTime fpDataCheque = 0;
  TDateTime fpDataHoraTransacaoCancelada = 0;
  TDateTime fpDataHoraTransacaoComprovante = 0;
  TDateTime fpDataHoraTransacaoHost = 0;
  TDateTime fpDataHoraTransacaoLocal = 0;
  TDateTime fpDataPreDatado = 0;
  std::string fpDocumentoPessoa;
  std::string fpFinalizacao;
  std::string fpHeader;
  int32_t fpID = 0;

 protected:
  std::string fpIndiceFPG_ECF;

 public:
  int32_t fpMoeda = 0;
  std::string fpNomeAdministradora;
  std::string fpNSU;
  std::string fpNSUTransacaoCancelada;
  int32_t fpNumeroLoteTransacao = 0;

 protected:
  int32_t fpOrdemPagamento = 0;

 public:
  int32_t fpQtdLinhasComprovante = 0;
  int32_t fpQtdParcelas = 0;
  std::string fpRede;
  std::string fpStatusTransacao;
  std::string fpTextoEspecialCliente;
  std::string fpTextoEspecialOperador;
  TRiZedIzAdeTipo fpTipoGP = gpNenhum;
  char fpTipoPessoa = ' ';  // single-byte; blank when not given
  int32_t fpTipoTransacao = 0;
  std::string fpTrailer;
  Currency fpValorTotal;
  Currency fpValorOriginal;
  Currency fpSaque;
  Currency fpDesconto;
  std::string fpDocumentoVinculado;
  int32_t fpTipoParcelamento = 0;

 protected:
  TRiZedIzAdeRespParcelas fpParcelas;

 public:
  std::vector<std::string> fpImagemComprovante1aVia;
  std::vector<std::string> fpImagemComprovante2aVia;
  TDateTime fpDataVencimento = 0;
  std::string fpInstituicao;
  std::string fpModalidadePagto;
  std::string fpModalidadePagtoDescrita;
  std::string fpModalidadePagtoExtenso;  // property ModalidadeExtenso
  std::string fpCodigoRedeAutorizada;
  bool fpDebito = false;
  bool fpCredito = false;
  TRiZedIzAdeRespParceladoPor fpParceladoPor = parcNenhum;
  Currency fpValorEntradaCDC;
  TDateTime fpDataEntradaCDC = 0;
  TRiZedIzAdeRespTipoOperacao fpTipoOperacao = opOutras;
  std::string fpBandeira;
  std::string fpCodigoRede;
  std::string fpCodigoBandeira;
  std::string fCodigoBandeira;
  std::string fCodigoRede;
  std::string fpCodigoEstabelecimento;
  std::string fpNSUComprovante;
  bool fpPendente = false;  // restored from a backup file at start-up
  bool fMsgImpressao = false;  // the response carried receipt text
};

// ---------------------------------------------------------------------------------------
// The responses approved during the running sale and not yet settled, with the payment
// totals derived from them. Amounts are summed exactly in Currency and rounded to the cent
// with ties to the even cent.
class TRiZedIzAdeRespostasPendentes : public TRiZedIzAdeObjectList<TRiZedIzAdeResp> {
 public:
  Currency SaldoAPagar() const { return fSaldoAPagar; }
  void SetSaldoAPagar(Currency AValue) { fSaldoAPagar = AValue; }
  Currency Acumulado() const { return fAcumulado; }
  void SetAcumulado(Currency AValue) { fAcumulado = AValue; }
  Currency ValorTotalAPagar() const { return fValorTotalAPagar; }
  void SetValorTotalAPagar(Currency AValue) { fValorTotalAPagar = AValue; }
  Currency ValorDinheiro() const { return fValorDinheiro; }
  void SetValorDinheiro(Currency AValue) { fValorDinheiro = AValue; }

  // Sum of ValorTotal - Saque of every response.
  Currency TotalPago() const;
  // Minus the sum of the discounts: a discount total reads as a negative amount.
  Currency TotalDesconto() const;
  // ValorTotalAPagar - (ValorDinheiro + the payments not yet registered on the cash
  // register, that is those whose OrdemPagamento is 0, with their discounts).
  Currency SaldoRestante() const;

 private:
  Currency fSaldoAPagar;
  Currency fAcumulado;
  Currency fValorTotalAPagar;
  Currency fValorDinheiro;
};

// ---------------------------------------------------------------------------------------
// The base of every TEF manager. It keeps the state all managers share and implements what
// they share: initialisation state, activation, the report printing of receipts through the
// owner's cash-register operations, the backups of approved responses, the value check of a
// new payment and the TEF log. The transaction operations are slots that each kind of
// manager fills; here they refuse with ERiZedIzAdeErro, since the file-exchange manager
// that would implement them is not part of this system yet.
//
// A manager must be owned by a TRiZedIzAde and reaches the host only through it. Nothing
// here locks: the owner runs one TEF operation at a time on the calling thread.
class TRiZedIzAdeClass : public TComponent {
 public:
  // Raises ERiZedIzAdeErro "TRiZedIzAdeClass deve ser criado por TRiZedIzAde" unless
  // the owner is a TRiZedIzAde.
  explicit TRiZedIzAdeClass(TComponent* AOwner);
  ~TRiZedIzAdeClass() override;

  TRiZedIzAde& RiZedIzAde() const { return *fRiZedIzAde; }

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

  // Request steps of the file-exchange manager.
  virtual void IniciarRequisicao(const std::string& AHeader, int32_t AID = 0);
  virtual void GravaIdentificacao();
  virtual void FinalizarRequisicao();
  virtual void VerificaResposta();
  virtual void LerRespostaRequisicao();
  virtual void FinalizarResposta();

 protected:
  // Writes the owner's current response to the next free backup file, flushed to disk,
  // sets the response's ArqBackup and returns the path. Numbers run from 001 to 999; when
  // all are taken it raises ERiZedIzAdeErro and the payment stops there.
  virtual std::string CopiarResposta();
  virtual void ProcessarResposta();
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
  // std::runtime_error with the operator's message. Only SaldoAPagar changes.
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

  // Transaction operations (kinds of manager fill them; the base refuses).
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
  // manager ("copy by kind"). The base knows the plain record for gpCliSiTef; a manager
  // that has a variant of its own (the CliSiTef response) returns it instead, so that its
  // copies carry every field. Other kinds raise ERiZedIzAdeErro.
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
  bool fpAguardandoResposta = false;
  bool fpSalvarArquivoBackup = true;

 private:
  // One attempt of the report printing; false when the cash register failed.
  bool ImprimirViasRelatorio();
  [[noreturn]] void Recusa(const std::string& Operacao) const;

  TRiZedIzAde* fRiZedIzAde;
};

class TRiZedIzAdeClassList : public TRiZedIzAdeObjectList<TRiZedIzAdeClass> {};

// Appends one TEF log line to a file ("-- dd/mm hh:nn:ss:zzz - text" CR LF, the time from
// norvane::now()). UTF-8 text is written as Windows-1252; text that is not UTF-8 is taken
// as single-byte already. Nothing for an empty path; never raises.
void GravaLogTEF(const std::string& ArqLOG, const std::string& AString);
