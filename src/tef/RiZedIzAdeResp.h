#pragma once
// The response record common to all managers.
//
// Text follows the component's convention (RiZedIzAdeBase.h): "string" is UTF-8,
// "single-byte" is Windows-1252. Response fields are UTF-8; the content lines single-byte.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tef/RiZedIzAdeArquivo.h"
#include "tef/RiZedIzAdeBase.h"
#include "tef/RiZedIzAdeComponent.h"
#include "tef/RiZedIzAdeTypes.h"

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
// The settlement the host decided for a payment of service mode, written into its backup
// before the library is told: "C" confirm, "D" undo. A backup that holds it is settled by
// it alone, whatever happened after.
inline constexpr int kSequenciaDecisao = 4;
inline constexpr char kDecisaoConfirmar[] = "C";
inline constexpr char kDecisaoDesfazer[] = "D";
// What the host needs to report a payment of service mode again after a crash, written
// into its backup (escaped to 7-bit text) before the first report: the callback base
// address, the sale id, the company id and the report's body.
inline constexpr int kSequenciaRelatorioEndereco = 10;
inline constexpr int kSequenciaRelatorioVenda = 11;
inline constexpr int kSequenciaRelatorioEmpresa = 12;
inline constexpr int kSequenciaRelatorioCorpo = 13;
// The back-end's id of the payment, written with its decision (0 when it gave none), so
// that the outcome told after a restart carries it.
inline constexpr int kSequenciaPagamentoId = 14;
// The host's identity of the payment, written (escaped) into its first line by the host
// before the library starts, so the first backup already carries it: the idempotency key,
// the request the key is bound to, and the sale the payment is for.
inline constexpr int kSequenciaChave = 20;
inline constexpr int kSequenciaPedido = 21;
inline constexpr int kSequenciaVenda = 22;
// Marks the record a function of service mode leaves on disk before the library starts it
// ("1"): the library has approved nothing under it that the record knows of. The approval
// is written over it, without the mark.
inline constexpr int kSequenciaIniciado = 23;
// The date ("yyyymmdd") and time ("hhnnss") the payment was started with. The library
// knows a payment by its date and document number, so its finalisation sends these again,
// however late it comes (a payment left overnight is finalised under its own day).
inline constexpr int kSequenciaDataFiscal = 104;
inline constexpr int kSequenciaHoraFiscal = 105;

class TRiZedIzAdeResp;
// True for a backup the host took over (its report written, or its decision): only the
// host settles it, by that decision or by the answer to the report.
bool DoHospedeiro(TRiZedIzAdeResp& r);

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

