#include "tef/RiZedIzAdeRespTXT.h"

#include <algorithm>
#include <charconv>
#include <map>

#include "platform/CodePage.h"
#include "platform/Text.h"

namespace {

// One receipt line as the file holds it, without one leading and one trailing double quote.
std::string sem_aspas(std::string linha) {
  if (!linha.empty() && linha.front() == '"') linha.erase(0, 1);
  if (!linha.empty() && linha.back() == '"') linha.pop_back();
  return norvane::from_windows1252(linha);
}

Currency centavos(const TRiZedIzAdeInformacao& valor) { return Currency::FromDouble(valor.AsFloat()); }

}  // namespace

bool TRiZedIzAdeRespTXT::TransacaoAprovada() const {
  const std::string status = norvane::trim(fpStatusTransacao);
  if (norvane::upper_ascii(status) == "P1") return true;
  long numero = 0;
  const char* fim = status.data() + status.size();
  const auto [ptr, ec] = std::from_chars(status.data(), fim, numero);
  return !status.empty() && ec == std::errc() && ptr == fim && numero == 0;
}

void TRiZedIzAdeRespTXT::ConteudoToProperty() {
  TRiZedIzAdeResp::ConteudoToProperty();
  fpImagemComprovante1aVia.clear();
  fpImagemComprovante2aVia.clear();
  fpDataHoraTransacaoComprovante = 0;
  fpParcelas.Clear();

  bool parcelasPresentes = false;
  bool lidas710 = false;
  // Installment lines by their number, gathered in the one pass over the lines.
  struct Parcela {
    std::string vencimento, valor, nsu;
  };
  std::map<int, Parcela> parcelas;

  // A copy: the keyed reads of the content share one line object.
  const std::vector<std::string> linhas = fpConteudo.Conteudo();
  TRiZedIzAdeLinha linha;
  for (const std::string& texto : linhas) {
    linha.SetLinha(texto);
    const TRiZedIzAdeInformacao& valor = linha.Informacao();
    const std::string& s = valor.AsString();
    const std::string utf8 = norvane::from_windows1252(s);
    switch (linha.Identificacao()) {
      case 0:
        // A line without a key separator also reads as identification 0; it is no header.
        if (!linha.Chave().empty()) fpHeader = utf8;
        break;
      case 1: fpID = valor.AsInteger(); break;
      case 2: fpDocumentoVinculado = utf8; break;
      case 3: fpValorTotal = centavos(valor); break;
      case 4: fpMoeda = valor.AsInteger(); break;
      case 5: fpCMC7 = utf8; break;
      case 6: fpTipoPessoa = s.empty() ? ' ' : s[0]; break;
      case 7: fpDocumentoPessoa = utf8; break;
      case 8: fpDataCheque = valor.AsDate(); break;
      case 9: fpStatusTransacao = utf8; break;
      case 10: fpRede = utf8; break;
      case 11: fpTipoTransacao = valor.AsInteger(); break;
      case 12: fpNSU = utf8; break;
      case 13: fpCodigoAutorizacaoTransacao = utf8; break;
      case 14: fpNumeroLoteTransacao = valor.AsInteger(); break;
      case 15: fpDataHoraTransacaoHost = valor.AsTimeStamp(); break;
      case 16: fpDataHoraTransacaoLocal = valor.AsTimeStamp(); break;
      case 17:
        fpTipoParcelamento = valor.AsInteger();
        fpParceladoPor = fpTipoParcelamento == 0   ? parcLoja
                         : fpTipoParcelamento == 1 ? parcADM
                                                   : parcNenhum;
        break;
      case 18: fpQtdParcelas = valor.AsInteger(); break;
      case 19:
        parcelasPresentes = true;
        parcelas[linha.Sequencia()].vencimento = s;
        break;
      case 20: parcelas[linha.Sequencia()].valor = s; break;
      case 21: parcelas[linha.Sequencia()].nsu = utf8; break;
      case 22: fpDataHoraTransacaoComprovante += valor.AsDate(); break;
      case 23: fpDataHoraTransacaoComprovante += valor.AsTime(); break;
      case 24: fpDataPreDatado = valor.AsDate(); break;
      case 25: fpNSUTransacaoCancelada = utf8; break;
      case 26: fpDataHoraTransacaoCancelada = valor.AsTimeStamp(); break;
      case 27: fpFinalizacao = utf8; break;
      case 28:
        fpQtdLinhasComprovante = valor.AsInteger();
        fpImagemComprovante1aVia.clear();
        break;
      case 29: fpImagemComprovante1aVia.push_back(sem_aspas(s)); break;
      case 30: fpTextoEspecialOperador = utf8; break;
      case 31: fpTextoEspecialCliente = utf8; break;
      case 32: fpAutenticacao = utf8; break;
      case 33: fpBanco = utf8; break;
      case 34: fpAgencia = utf8; break;
      case 35: fpAgenciaDC = utf8; break;
      case 36: fpConta = utf8; break;
      case 37: fpContaDC = utf8; break;
      case 38: fpCheque = utf8; break;
      case 39: fpChequeDC = utf8; break;
      case 40: fpNomeAdministradora = utf8; break;
      case 707: fpValorOriginal = centavos(valor); break;
      case 708: fpSaque = centavos(valor); break;
      case 709: fpDesconto = centavos(valor); break;
      // 710/711 is the newer form of the first copy: once it is seen, 712/713 are ignored.
      case 710:
        lidas710 = true;
        fpQtdLinhasComprovante = valor.AsInteger();
        fpImagemComprovante1aVia.clear();
        break;
      case 711: fpImagemComprovante1aVia.push_back(sem_aspas(s)); break;
      case 712:
        if (lidas710) break;
        fpQtdLinhasComprovante = valor.AsInteger();
        fpImagemComprovante1aVia.clear();
        break;
      case 713:
        if (!lidas710) fpImagemComprovante1aVia.push_back(norvane::from_windows1252(s));
        break;
      case 714: fpImagemComprovante2aVia.clear(); break;
      case 715: fpImagemComprovante2aVia.push_back(sem_aspas(s)); break;
      case 999: fpTrailer = utf8; break;
      default: break;
    }
  }

  if (fpImagemComprovante2aVia.empty()) fpImagemComprovante2aVia = fpImagemComprovante1aVia;

  if (parcelasPresentes) {
    const int quantidade = std::clamp(fpQtdParcelas, 0, kMaiorParcela);
    for (int n = 1; n <= quantidade; ++n) {
      auto parcela = std::make_unique<TRiZedIzAdeRespParcela>();
      const auto it = parcelas.find(n);
      if (it != parcelas.end()) {
        parcela->SetVencimento(TRiZedIzAdeInformacao(it->second.vencimento).AsDate());
        parcela->SetValor(centavos(TRiZedIzAdeInformacao(it->second.valor)));
        parcela->SetNSUParcela(it->second.nsu);
      }
      fpParcelas.Add(std::move(parcela));
    }
  }

  const int32_t tipo = fpTipoTransacao;
  fpDebito = (tipo >= 20 && tipo <= 25) || tipo == 40;
  fpCredito = tipo >= 10 && tipo <= 12;
  switch (tipo) {
    case 10: case 20: case 23: fpTipoOperacao = opAvista; break;
    case 11: case 12: case 22: fpTipoOperacao = opParcelado; break;
    case 21: case 24: case 25: fpTipoOperacao = opPreDatado; break;
    case 40:
      fpTipoOperacao = opParcelado;
      fpParceladoPor = parcADM;
      break;
    default: fpTipoOperacao = opOutras; break;
  }
}
