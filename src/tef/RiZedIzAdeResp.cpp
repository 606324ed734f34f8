#include "tef/RiZedIzAdeResp.h"

#include "platform/CodePage.h"
#include "platform/Text.h"

TRiZedIzAdeResp::TRiZedIzAdeResp() { Clear(); }

void TRiZedIzAdeResp::Clear() {
  fpConteudo.Clear();
  fpParcelas.Clear();
  fpImagemComprovante1aVia.clear();
  fpImagemComprovante2aVia.clear();
  fpHeader.clear();
  fpID = 0;
  fpAgencia.clear();
  fpAgenciaDC.clear();
  fpAutenticacao.clear();
  fpBanco.clear();
  fpCheque.clear();
  fpChequeDC.clear();
  fpCMC7.clear();
  fpCodigoAutorizacaoTransacao.clear();
  fpConta.clear();
  fpContaDC.clear();
  fpDataCheque = 0;
  fpDataHoraTransacaoCancelada = 0;
  fpDataHoraTransacaoComprovante = 0;
  fpDataHoraTransacaoHost = 0;
  fpDataHoraTransacaoLocal = 0;
  fpDataPreDatado = 0;
  fpDocumentoPessoa.clear();
  fpFinalizacao.clear();
  fpMoeda = 0;
  fpNomeAdministradora.clear();
  fpNSU.clear();
  fpNSUTransacaoCancelada.clear();
  fpNumeroLoteTransacao = 0;
  fpQtdLinhasComprovante = 0;
  fpQtdParcelas = 0;
  fpRede.clear();
  fpStatusTransacao.clear();
  fpTextoEspecialCliente.clear();
  fpTextoEspecialOperador.clear();
  fpTipoPessoa = ' ';
  fpTipoTransacao = 0;
  fpTrailer.clear();
  fpValorTotal = Currency();
  fpValorOriginal = Currency();
  fpSaque = Currency();
  fpDesconto = Currency();
  fpDocumentoVinculado.clear();
  fpTipoParcelamento = 0;
  fpValorEntradaCDC = Currency();
  fpDataEntradaCDC = 0;
  fpParceladoPor = parcNenhum;
  fpTipoOperacao = opOutras;
  fpCredito = false;
  fpDebito = false;
  fpCNFEnviado = false;
  fpIndiceFPG_ECF.clear();
  fpOrdemPagamento = 0;
  fpArqBackup.clear();
  fpArqRespPendente.clear();
}

void TRiZedIzAdeResp::Assign(const TRiZedIzAdeResp& Source) {
  if (&Source == this) return;
  fpConteudo.Assign(Source.fpConteudo);
  ConteudoToProperty();
  fpArqBackup = Source.fpArqBackup;
  fpTipoGP = Source.fpTipoGP;
}

void TRiZedIzAdeResp::LeArquivo(const std::string& NomeArquivo) {
  Clear();
  fpConteudo.LeArquivo(NomeArquivo);
  ConteudoToProperty();
}

TRiZedIzAdeInformacao& TRiZedIzAdeResp::LeInformacao(int Identificacao, int Sequencia) {
  return fpConteudo.LeInformacao(Identificacao, Sequencia);
}

void TRiZedIzAdeResp::ConteudoToProperty() {
  fpCNFEnviado =
      norvane::upper_ascii(LeInformacao(kIdentificacaoControle, kSequenciaCNFEnviado).AsString()) == "S";
  fpIndiceFPG_ECF = norvane::from_windows1252(
      LeInformacao(kIdentificacaoControle, kSequenciaIndiceFPG_ECF).AsString());
  fpOrdemPagamento = LeInformacao(kIdentificacaoControle, kSequenciaOrdemPagamento).AsInteger();
}

void TRiZedIzAdeResp::SetCNFEnviado(bool AValue) {
  fpCNFEnviado = AValue;
  fpConteudo.GravaInformacao(kIdentificacaoControle, kSequenciaCNFEnviado, AValue ? "S" : "N");
}

void TRiZedIzAdeResp::SetIndiceFPG_ECF(const std::string& AValue) {
  fpIndiceFPG_ECF = AValue;
  fpConteudo.GravaInformacao(kIdentificacaoControle, kSequenciaIndiceFPG_ECF,
                             norvane::to_windows1252(AValue));
}

void TRiZedIzAdeResp::SetOrdemPagamento(int32_t AValue) {
  fpOrdemPagamento = AValue;
  fpConteudo.GravaInformacao(kIdentificacaoControle, kSequenciaOrdemPagamento,
                             std::to_string(AValue));
}

void TRiZedIzAdeResp::SetArqBackup(const std::string& AValue) { fpArqBackup = norvane::trim(AValue); }
