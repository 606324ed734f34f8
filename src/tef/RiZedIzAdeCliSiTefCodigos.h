#pragma once
// The numbers the CliSiTef library speaks in, named once for every part of the component:
// the commands of its interactive loop, and the field types of its questions and of the
// values it hands back (a response records each value under its field type).
#include <cstdint>

// What the library asks of the application at one step of the interactive loop.
enum ComandoCliSiTef : int32_t {
  cmdCampoResultado = 0,            // a value of the result (its field type says which)
  cmdMensagemOperador = 1,
  cmdMensagemCliente = 2,
  cmdMensagemAmbos = 3,
  cmdTituloMenu = 4,
  cmdRemoveMensagemOperador = 11,
  cmdRemoveMensagemCliente = 12,
  cmdRemoveMensagemAmbos = 13,
  cmdRemoveTituloMenu = 14,
  cmdPerguntaSimNao = 20,
  cmdMenu = 21,
  cmdAvisoTecla = 22,               // a notice acknowledged with a key
  cmdVerificaInterrupcao = 23,      // the library waits (card, pin-pad) and may be interrupted
  cmdLeCampo = 30,
  cmdLeCheque = 31,
  cmdLeValor = 34,
  cmdLeCodigoBarras = 35,
  cmdQRCode = 50,
  cmdQRCodeOuMensagem = 52,
};

// Field types: of the values the library hands back (with command 0, and in a response),
// of the questions it asks (commands 30 to 35), and of the preset answers.
enum CampoCliSiTef : int32_t {
  campoConfirmacao15 = 15,          // recorded as "True"
  campoConfirmacao25 = 25,          // recorded as "True"
  campoReimpressao56 = 56,
  campoReimpressao57 = 57,
  campoReimpressao58 = 58,
  campoModalidadePagto = 100,       // two digits of kind (01 debit, 02 credit), two of form
  campoModalidadePagtoExtenso = 101,
  campoModalidadePagtoDescrita = 102,
  campoDataHoraTransacao = 105,
  campoIdCarteiraDigital = 106,
  campoNomeCarteiraDigital = 107,
  campoBandeiraCarteiraDigital = 108,
  campoValorAprovadoCarteiraDigital = 109,
  campoDevolucao = 110,
  campoAutenticacao = 120,
  campoComprovante1aVia = 121,
  campoComprovante2aVia = 122,
  campoSaque = 130,
  campoCodigoRede = 131,            // the institution
  campoCodigoBandeira = 132,
  campoCodigoNSU = 133,
  campoCodigoNSUHost = 134,
  campoCodigoAutorizacao = 135,
  campoValorEntradaCDC = 139,
  campoDataEntradaCDC = 140,
  campoVencimentoParcela = 141,     // one per installment, sequences 1, 2, 3...
  campoValorParcela = 142,          // one per installment, beside its due date
  campoValorTransacao = 146,        // the amount; answered from the cancellation being made
  campoValorTransacao147 = 147,     // preset with the same amount as 146
  campoRede = 156,
  campoCodigoEstabelecimento = 157,
  campoSenha = 500,
  campoTipoPessoa = 501,            // of a check: "1" a company (J), "0" a person
  campoCPFCliente = 502,            // also the check holder's document
  campoCNPJCliente = 503,
  campoTelefoneCliente = 504,
  campoQtdParcelas = 505,
  campoDataPreDatado = 506,         // of a check
  campoQtdParcelas511 = 511,        // the installment count too, as some networks send it
  campoNumeroCartao = 512,
  campoDataVencimento = 513,        // of the card, as asked
  campoCodigoSeguranca = 514,       // of the card
  campoDataTransacaoCancelada = 515,
  campoNSUTransacaoCancelada = 516,
  campoCMC7 = 517,
  campoDataVencimentoCartao = 527,  // of the card, as handed back
  campoQRCode = 584,
  campoDadosCheque = 613,           // the check's CMC7 line; its number is characters 21 to 26
  campoBanco = 626,
  campoAgencia = 627,
  campoAgenciaDC = 628,
  campoConta = 629,
  campoContaDC = 630,
  campoMensagemOperador = 732,
  campoCodigoHASH = 800,
  campoNumeroCartaoResposta = 2021,  // the card number the response records
  campoDesconto = 4029,
  campoQRCodeNoPinPad = 4128,
};
