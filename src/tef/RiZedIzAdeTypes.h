#pragma once
// The shared vocabulary of the TEF component: enumerations, event types and exceptions.
// The enumerations are plain (unscoped) enums so that their members read as in the rest of
// the component (gpCliSiTef, opmOK); their ordinals are the declared positions and are
// stored and compared as numbers, so never reorder them.
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tef/RiZedIzAdeBase.h"

class TRiZedIzAdeReq;
class TRiZedIzAdeResp;
class TRiZedIzAdeRespostasPendentes;

// Kind of TEF manager.
enum TRiZedIzAdeTipo {
  gpNenhum,      // 0
  gpTefDial,     // 1
  gpTefDisc,     // 2
  gpHiperTef,    // 3
  gpCliSiTef,    // 4
  gpTefGpu,      // 5
  gpVeSPague,    // 6
  gpBanese,      // 7
  gpTefAuttar,   // 8
  gpGoodCard,    // 9
  gpFoxWin,      // 10
  gpCliDTEF,     // 11
  gpPetrocard,   // 12
  gpCrediShop,   // 13
  gpTicketCar,   // 14
  gpConvCard     // 15
};

// State of the current request.
enum TRiZedIzAdeReqEstado {
  reqNenhum,
  reqIniciando,
  reqCriandoArquivo,
  reqAguardandoResposta,
  reqConferindoResposta,
  reqFinalizada
};

// State of the current response.
enum TRiZedIzAdeRespEstado {
  respNenhum,
  respAguardandoResposta,
  respProcessando,
  respConcluida
};

// Kind of message shown through the message event.
enum TRiZedIzAdeOperacaoMensagem {
  opmOK,
  opmYesNo,
  opmYesNoCustom,
  opmExibirMsgOperador,
  opmRemoverMsgOperador,
  opmExibirMsgCliente,
  opmRemoverMsgCliente,
  opmDestaqueVia,
  opmExcept,
  opmQRCode
};

// Cash-register command.
enum TRiZedIzAdeOperacaoECF {
  opeAbreGerencial,
  opeFechaGerencial,
  opePulaLinhas,
  opeSubTotalizaCupom,
  opeFechaCupom,
  opeFechaVinculado,
  opeCancelaCupom,
  opeImprimePagamentos
};

// Kind of cash-register report.
enum TRiZedIzAdeTipoRelatorio { trGerencial, trVinculado };

// Question to the cash register.
enum TRiZedIzAdeInfoECF { ineSubTotal, ineEstadoECF, ineTotalAPagar };

// Kind of field the library asks the operator to type.
enum TRiZedIzAdeCliSiTefOperacaoCampo { tcString, tcCurrency, tcCMC7, tcBarCode, tcSeguranca };

// Results of the message event: the standard dialog results. The component and its host
// use mrNone, mrOk, mrYes and mrNo.
using TModalResult = int;
inline constexpr TModalResult mrNone = 0;
inline constexpr TModalResult mrOk = 1;
inline constexpr TModalResult mrCancel = 2;
inline constexpr TModalResult mrAbort = 3;
inline constexpr TModalResult mrRetry = 4;
inline constexpr TModalResult mrIgnore = 5;
inline constexpr TModalResult mrYes = 6;
inline constexpr TModalResult mrNo = 7;

// ---------------------------------------------------------------------------------------
// Events. The owner assigns them; an empty std::function means "not assigned". Reference
// parameters that are not const are written back by the handler ("var" parameters); object
// parameters stay owned by the component. Strings are UTF-8 except where the comment says
// single-byte. String lists are vectors of lines.

using TRiZedIzAdeAguardaRespEvent =
    std::function<void(const std::string& Arquivo, int SegundosTimeOut, bool& Interromper)>;
using TRiZedIzAdeAntesCancelarTransacao = std::function<void(TRiZedIzAdeResp& RespostaPendente)>;
using TRiZedIzAdeAntesFinalizarReq = std::function<void(TRiZedIzAdeReq& Req)>;
using TRiZedIzAdeBloqueiaMouseTeclado = std::function<void(bool Bloqueia, bool& Tratado)>;
using TRiZedIzAdeComandaECF =
    std::function<void(TRiZedIzAdeOperacaoECF Operacao, TRiZedIzAdeResp& Resp, int& RetornoECF)>;
using TRiZedIzAdeComandaImpressao =
    std::function<void(int& RetornoImpressao, TRiZedIzAdeResp& Resp, bool Cancelado)>;
using TRiZedIzAdeComandaECFAbreVinculado =
    std::function<void(const std::string& COO, const std::string& IndiceECF, Currency Valor,
                       int& RetornoECF)>;
using TRiZedIzAdeComandaECFImprimeVia =
    std::function<void(TRiZedIzAdeTipoRelatorio TipoRelatorio, int Via,
                       const std::vector<std::string>& ImagemComprovante, int& RetornoECF)>;
using TRiZedIzAdeComandaECFPagamento =
    std::function<void(const std::string& IndiceECF, Currency Valor, int& RetornoECF)>;
using TRiZedIzAdeComandaECFSubtotaliza = std::function<void(Currency DescAcre, int& RetornoECF)>;
using TRiZedIzAdeProcessarTransacoesPendentes =
    std::function<void(TRiZedIzAdeRespostasPendentes& RespostasPendentes)>;
using TRiZedIzAdeCliSiTefExibeMenu =
    std::function<void(const std::string& Titulo, const std::vector<std::string>& Opcoes,
                       int& ItemSelecionado, bool& VoltarMenu)>;
// Resposta is single-byte. Digitado comes true and is the function's go-on flag: a handler
// that clears it ends the function; one that sets VoltarMenu sends it back a step.
using TRiZedIzAdeCliSiTefObtemCampo =
    std::function<void(const std::string& Titulo, int TamanhoMinimo, int TamanhoMaximo,
                       int TipoCampo, TRiZedIzAdeCliSiTefOperacaoCampo Operacao,
                       std::string& Resposta, bool& Digitado, bool& VoltarMenu)>;
// Resposta is single-byte; Digitado and VoltarMenu as for TRiZedIzAdeCliSiTefObtemCampo.
using TRiZedIzAdeCliSiTefObtemCheque =
    std::function<void(const std::string& Titulo, int TipoCampo,
                       TRiZedIzAdeCliSiTefOperacaoCampo Operacao, std::string& Resposta,
                       bool& Digitado, bool& VoltarMenu)>;
using TRiZedIzAdeSenhaConfirmacao = std::function<void(const std::string& Titulo, bool& VoltarMenu)>;
using TRiZedIzAdeExibeMsg =
    std::function<void(TRiZedIzAdeOperacaoMensagem Operacao, const std::string& Mensagem,
                       TModalResult& AModalResult)>;
using TRiZedIzAdeObterInfoECF =
    std::function<void(TRiZedIzAdeInfoECF Operacao, std::string& RetornoECF)>;
using TRiZedIzAdeExecutaAcao = std::function<void(bool& Tratado)>;
using TRiZedIzAdeMudaEstadoReq = std::function<void(TRiZedIzAdeReqEstado EstadoReq)>;
using TRiZedIzAdeMudaEstadoResp = std::function<void(TRiZedIzAdeRespEstado EstadoResp)>;
// The name keeps its historical lower-case "z"; the second name spells it like the others.
using TRiZedizAdeCliSiTefExibeQRCode = std::function<void(const std::string& QRCode)>;
using TRiZedIzAdeCliSiTefExibeQRCode = TRiZedizAdeCliSiTefExibeQRCode;

// ---------------------------------------------------------------------------------------
// Exceptions. Every error of the component can be caught as ERiZedIzAdeErro; the message is
// the UTF-8 text shown to the operator.

class ERiZedIzAdeErro : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The standard manager does not answer.
class ERiZedIzAdeGPNaoResponde : public ERiZedIzAdeErro {
 public:
  using ERiZedIzAdeErro::ERiZedIzAdeErro;
};

// A manager is used before its initialisation.
class ERiZedIzAdeGPNaoInicializado : public ERiZedIzAdeErro {
 public:
  using ERiZedIzAdeErro::ERiZedIzAdeErro;
};

// An invalid status file of the standard manager.
class ERiZedIzAdeSTSInvalido : public ERiZedIzAdeErro {
 public:
  using ERiZedIzAdeErro::ERiZedIzAdeErro;
};

// A TEF file cannot be read or deleted.
class ERiZedIzAdeArquivo : public ERiZedIzAdeErro {
 public:
  using ERiZedIzAdeErro::ERiZedIzAdeErro;
};

// A cash-register command or question failed.
class ERiZedIzAdeECF : public ERiZedIzAdeErro {
 public:
  using ERiZedIzAdeErro::ERiZedIzAdeErro;
};
