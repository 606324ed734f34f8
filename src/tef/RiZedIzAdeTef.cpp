#include "tef/RiZedIzAdeTef.h"
#include "platform/Text.h"

#include <dlfcn.h>

#include <algorithm>
#include <stdexcept>

#include "platform/CodePage.h"

namespace {

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// Leading decimal integer of a text, the default when it is not one.
int to_int_or(const std::string& text, int default_value) {
  if (text.empty()) return default_value;
  size_t pos = 0;
  try {
    int value = std::stoi(text, &pos);
    return pos == text.size() ? value : default_value;
  } catch (const std::exception&) {
    return default_value;
  }
}

// A receipt copy as the library sends it (lines ended by LF) into UTF-8 lines. A final
// line feed ends the last line rather than starting an empty one.
std::vector<std::string> receipt_lines(const std::string& single_byte) {
  std::vector<std::string> lines;
  std::string text = replace_all(single_byte, "\r\n", "\n");
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(norvane::from_windows1252(text.substr(start, end - start)));
    start = end + 1;
  }
  return lines;
}

Currency as_currency(const TRiZedIzAdeInformacao& value) {
  return Currency::FromDouble(value.AsFloat());
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Response record

void TRiZedIzAdeRespCliSiTef::GravaInformacao(int Identificacao, const std::string& Informacao) {
  int sequencia = 0;
  if (Identificacao == campoVencimentoParcela || Identificacao == campoValorParcela) {
    sequencia = 1;
    while (sequencia < kMaiorSequencia &&
           !fpConteudo.LeInformacao(Identificacao, sequencia).AsString().empty())
      ++sequencia;
  }
  if (Identificacao == campoComprovante1aVia || Identificacao == campoComprovante2aVia) fMsgImpressao = true;
  fpConteudo.GravaInformacao(Identificacao, sequencia, EscapaTexto(Informacao));
}

void TRiZedIzAdeRespCliSiTef::ConteudoToProperty() {
  fpValorTotal = Currency();
  fpImagemComprovante1aVia.clear();
  fpImagemComprovante2aVia.clear();
  fpDebito = false;
  fpCredito = false;

  bool parcelas_presentes = false;
  // A copy: setting a field never writes the content here, but the keyed reads of the
  // content share one line object.
  const std::vector<std::string> linhas = fpConteudo.Conteudo();
  TRiZedIzAdeLinha linha;
  for (const std::string& texto : linhas) {
    linha.SetLinha(texto);
    const std::string bruto = linha.Informacao().AsString();
    const TRiZedIzAdeInformacao valor(DesescapaTexto(bruto));
    const std::string& s = valor.AsString();
    const std::string utf8 = norvane::from_windows1252(s);
    switch (linha.Identificacao()) {
      case campoModalidadePagto: {
        fpModalidadePagto = utf8;
        int tipo = to_int_or(s.substr(0, std::min<size_t>(2, s.size())), 0);
        if (tipo == 1) fpDebito = true;
        if (tipo == 2) fpCredito = true;
        int forma = s.size() > 2 ? to_int_or(s.substr(2, 2), 0) : 0;
        if (forma == 2) fpParceladoPor = parcLoja;
        if (forma == 3) fpParceladoPor = parcADM;
        fpTipoOperacao = forma == 0   ? opAvista
                         : forma == 1 ? opPreDatado
                         : (forma == 2 || forma == 3) ? opParcelado
                                                      : opOutras;
        break;
      }
      case campoModalidadePagtoExtenso: fpModalidadePagtoExtenso = utf8; break;
      case campoModalidadePagtoDescrita: fpModalidadePagtoDescrita = utf8; break;
      case campoDataHoraTransacao: {
        TDateTime quando = valor.AsTimeStampSQL();
        fpDataHoraTransacaoComprovante = quando;
        fpDataHoraTransacaoHost = quando;
        fpDataHoraTransacaoLocal = quando;
        break;
      }
      case campoAutenticacao: fpAutenticacao = utf8; break;
      case campoComprovante1aVia: fpImagemComprovante1aVia = receipt_lines(s); break;
      case campoComprovante2aVia: fpImagemComprovante2aVia = receipt_lines(s); break;
      case campoSaque:
        fpSaque = as_currency(valor);
        fpValorTotal += fpSaque;
        break;
      case campoCodigoRede: fpInstituicao = utf8; break;
      case campoCodigoBandeira: fpBandeira = utf8; break;
      case campoCodigoNSU: fpNSU = utf8; break;
      case campoCodigoNSUHost: fpNSUComprovante = utf8; break;
      case campoCodigoAutorizacao: fpCodigoAutorizacaoTransacao = utf8; break;
      case campoValorEntradaCDC: fpValorEntradaCDC = as_currency(valor); break;
      case campoDataEntradaCDC: fpDataEntradaCDC = valor.AsDate(); break;
      case campoVencimentoParcela: parcelas_presentes = true; break;
      case campoRede: fpRede = utf8; break;
      case campoCodigoEstabelecimento: fpCodigoEstabelecimento = utf8; break;
      // The check operation sends 1 for a company ("J") and 0 for a person ("F").
      case campoTipoPessoa: fpTipoPessoa = valor.AsInteger() == 1 ? 'J' : 'F'; break;
      case campoCPFCliente: fpDocumentoPessoa = utf8; break;
      case campoQtdParcelas:
      case campoQtdParcelas511: fpQtdParcelas = valor.AsInteger(); break;
      case campoDataPreDatado: fpDataPreDatado = valor.AsDate(); break;
      case campoDataTransacaoCancelada: fpDataHoraTransacaoCancelada = valor.AsDate(); break;
      case campoNSUTransacaoCancelada: fpNSUTransacaoCancelada = utf8; break;
      case campoDataVencimentoCartao: fpDataVencimento = valor.AsDate(); break;
      case campoDadosCheque:
        fpCheque = s.size() > 20 ? norvane::from_windows1252(s.substr(20, 6)) : std::string();
        fpCMC7 = utf8;
        break;
      case campoBanco: fpBanco = utf8; break;
      case campoAgencia: fpAgencia = utf8; break;
      case campoAgenciaDC: fpAgenciaDC = utf8; break;
      case campoConta: fpConta = utf8; break;
      case campoContaDC: fpContaDC = utf8; break;
      case campoCodigoHASH: fpCodigoHASH = utf8; break;
      case kIdentificacaoControle:
        switch (linha.Sequencia()) {
          // The component's own keys are read as stored, without unescaping.
          case kSequenciaCNFEnviado: {
            std::string upper = bruto;
            std::transform(upper.begin(), upper.end(), upper.begin(),
                           [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
            fpCNFEnviado = upper == "S";
            break;
          }
          // Stored single-byte by its property, held as UTF-8 like every field.
          case kSequenciaIndiceFPG_ECF: fpIndiceFPG_ECF = norvane::from_windows1252(bruto); break;
          case kSequenciaOrdemPagamento: fpOrdemPagamento = valor.AsInteger(); break;
          case 100: fpHeader = utf8; break;
          case 101: fpID = valor.AsInteger(); break;
          case 102: fpDocumentoVinculado = utf8; break;
          case 103: fpValorTotal += as_currency(valor); break;
          default: break;
        }
        break;
      case campoNumeroCartaoResposta: fpNumeroCartao = utf8; break;
      case campoDesconto:
        fpDesconto = as_currency(valor);
        fpValorTotal -= fpDesconto;
        break;
      default: break;
    }
  }

  fpQtdLinhasComprovante = static_cast<int32_t>(
      std::max(fpImagemComprovante1aVia.size(), fpImagemComprovante2aVia.size()));

  fpParcelas.Clear();
  if (parcelas_presentes) {
    // The count comes from the library; sequences stop at three digits, so more
    // installments than that cannot have been recorded.
    int quantidade = std::clamp(fpQtdParcelas, 0, kMaiorSequencia);
    for (int n = 1; n <= quantidade; ++n) {
      auto parcela = std::make_unique<TRiZedIzAdeRespParcela>();
      parcela->SetVencimento(
          TRiZedIzAdeInformacao(DesescapaTexto(fpConteudo.LeInformacao(campoVencimentoParcela, n).AsString())).AsDate());
      parcela->SetValor(as_currency(
          TRiZedIzAdeInformacao(DesescapaTexto(fpConteudo.LeInformacao(campoValorParcela, n).AsString()))));
      fpParcelas.Add(std::move(parcela));
    }
  }
}

// ---------------------------------------------------------------------------------------
// Manager

TRiZedIzAdeCliSiTef::TRiZedIzAdeCliSiTef(TRiZedIzAdeDono& ADono) : TRiZedIzAdeClass(ADono) {
  SetArqReq("");
  SetArqResp("");
  SetArqSTS("");
  SetArqTmp("");
  SetGPExeName("");
  fpTipo = gpCliSiTef;
  SetName("CliSiTef");
  auto resposta = std::make_unique<TRiZedIzAdeRespCliSiTef>();
  resposta->fpTipoGP = gpCliSiTef;
  fpResp = std::move(resposta);
}

// The library stays loaded: releasing the manager does not unload it.
TRiZedIzAdeCliSiTef::~TRiZedIzAdeCliSiTef() = default;

std::unique_ptr<TRiZedIzAdeResp> TRiZedIzAdeCliSiTef::NovaRespostaDoTipo(
    TRiZedIzAdeTipo Tipo) const {
  if (Tipo == gpCliSiTef) {
    auto resposta = std::make_unique<TRiZedIzAdeRespCliSiTef>();
    resposta->fpTipoGP = gpCliSiTef;
    return resposta;
  }
  return TRiZedIzAdeClass::NovaRespostaDoTipo(Tipo);
}

void TRiZedIzAdeCliSiTef::SetNumVias(int32_t) { fpNumVias = 2; }

std::string TRiZedIzAdeCliSiTef::CaminhoBiblioteca() const {
  std::string pasta = norvane::trim(fPathDLL);
  if (pasta.empty()) return fNomeBiblioteca;
  if (pasta.back() != '/') pasta += '/';
  return pasta + fNomeBiblioteca;
}

bool TRiZedIzAdeCliSiTef::BibliotecaCarregada() const {
  return xConfiguraIntSiTefInterativoEx && xIniciaFuncaoSiTefInterativo && xLeTrilha3 &&
         xLeCartaoSeguro && xLeCartaoDiretoSeguro && xLeCartaoDiretoEx &&
         xContinuaFuncaoSiTefInterativo && xFinalizaFuncaoSiTefInterativo &&
         xFinalizaTransacaoSiTefInterativo && xEscreveMensagemPermanentePinPad &&
         xObtemQuantidadeTransacoesPendentes && xVerificaPresencaPinPad;
}

void TRiZedIzAdeCliSiTef::CarregarFuncoes() {
  const std::string caminho = CaminhoBiblioteca();
  if (fBiblioteca && caminho != fCaminhoCarregado) {
    // Another library now: its entry points come from the new file. The old one stays
    // loaded (it may hold sales of its own in memory).
    DescarregarFuncoes();
    fBiblioteca = nullptr;
  }
  if (!fBiblioteca) {
    fBiblioteca = dlopen(caminho.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!fBiblioteca) {
      const char* erro = dlerror();
      GravaLog(std::string("dlopen ") + caminho + ": " + (erro ? erro : ""));
    }
    fCaminhoCarregado = caminho;
  }
  auto carrega = [this](auto& referencia, const char* nome) {
    using Tipo = std::remove_reference_t<decltype(referencia)>;
    if (referencia) return;
    void* endereco = fBiblioteca ? dlsym(fBiblioteca, nome) : nullptr;
    if (!endereco) {
      // A library that lacks an entry point is no CliSiTef: it is given back whole, so
      // that the next attempt loads the file afresh (a corrected PathDLL, a new file).
      DescarregarFuncoes();
      if (fBiblioteca) dlclose(fBiblioteca);
      fBiblioteca = nullptr;
      throw ERiZedIzAdeErro(std::string("Erro ao carregar a função:") + nome + " de: " +
                            fNomeBiblioteca);
    }
    referencia = reinterpret_cast<Tipo>(endereco);
  };
  carrega(xConfiguraIntSiTefInterativoEx, kFuncoesBiblioteca[0]);
  carrega(xIniciaFuncaoSiTefInterativo, kFuncoesBiblioteca[1]);
  carrega(xLeTrilha3, kFuncoesBiblioteca[2]);
  carrega(xLeCartaoSeguro, kFuncoesBiblioteca[3]);
  carrega(xLeCartaoDiretoSeguro, kFuncoesBiblioteca[4]);
  carrega(xLeCartaoDiretoEx, kFuncoesBiblioteca[5]);
  carrega(xContinuaFuncaoSiTefInterativo, kFuncoesBiblioteca[6]);
  carrega(xFinalizaFuncaoSiTefInterativo, kFuncoesBiblioteca[7]);
  carrega(xFinalizaTransacaoSiTefInterativo, kFuncoesBiblioteca[8]);
  carrega(xEscreveMensagemPermanentePinPad, kFuncoesBiblioteca[9]);
  carrega(xObtemQuantidadeTransacoesPendentes, kFuncoesBiblioteca[10]);
  carrega(xVerificaPresencaPinPad, kFuncoesBiblioteca[11]);
}

void TRiZedIzAdeCliSiTef::DescarregarFuncoes() {
  xConfiguraIntSiTefInterativoEx = nullptr;
  xIniciaFuncaoSiTefInterativo = nullptr;
  xLeTrilha3 = nullptr;
  xLeCartaoSeguro = nullptr;
  xLeCartaoDiretoEx = nullptr;
  xLeCartaoDiretoSeguro = nullptr;
  xFinalizaTransacaoSiTefInterativo = nullptr;
  xFinalizaFuncaoSiTefInterativo = nullptr;
  xContinuaFuncaoSiTefInterativo = nullptr;
  xEscreveMensagemPermanentePinPad = nullptr;
  xObtemQuantidadeTransacoesPendentes = nullptr;
  xVerificaPresencaPinPad = nullptr;
}

std::string TRiZedIzAdeCliSiTef::MontaParametrosAdicionais(
    const std::vector<std::string>& Parametros, const std::string& CNPJLoja,
    const std::string& CNPJVantor) {
  std::string texto;
  for (const std::string& linha : Parametros) texto += linha + "\r\n";
  std::string resultado = "[" + replace_all(norvane::trim(texto), "\r\n", ";") + "];";
  resultado += "{ValorIncluiTaxa=0;};";
  if (!CNPJLoja.empty() && !CNPJVantor.empty())
    resultado += "[ParmsClient=1=" + norvane::trim(CNPJLoja) + ";2=" + norvane::trim(CNPJVantor) + "];";
  return resultado;
}

void TRiZedIzAdeCliSiTef::Inicializar() {
  if (fpInicializado) return;
  CarregarFuncoes();

  const std::string parametros =
      MontaParametrosAdicionais(fParametrosAdicionais, Dono().CNPJLoja(), Dono().CNPJVantor());
  // Written before the call, so it always reads "Resultado: 0".
  GravaLog("*** ConfiguraIntSiTefInterativoEx. EnderecoIP: " + fEnderecoIP +
           " CodigoLoja: " + fCodigoLoja + " NumeroTerminal: " + fNumeroTerminal +
           " Resultado: 0" + " ParametrosAdicionais: " + parametros);
  int resultado = xConfiguraIntSiTefInterativoEx(fEnderecoIP.c_str(), fCodigoLoja.c_str(),
                                                 fNumeroTerminal.c_str(), 0, parametros.c_str());
  std::string mensagem;
  switch (resultado) {
    case 1: mensagem = "Endereço IP inválido ou não resolvido"; break;
    case 2: mensagem = "Código da loja inválido"; break;
    case 3: mensagem = "Código de terminal inválido"; break;
    case 6: mensagem = "Erro na inicialização do TCP/IP"; break;
    case 7: mensagem = "Falta de memória"; break;
    case 8: mensagem = "Não encontrou a dll do \"TEF\" ou ela está com problemas"; break;
    case 10: mensagem = "O PinPad não está devidamente configurado no arquivo CliSiTef.ini"; break;
    case 11: mensagem = "Dados inválidos passados pela automação."; break;
    case 12:
      mensagem = "Modo seguro não ativo (possível falta de configuração no servidor SiTef do arquivo .cha).";
      break;
    case 13:
      mensagem = "Caminho da DLL inválido (o caminho completo das bibliotecas está muito grande).";
      break;
    default: break;  // 0 and every other value: configured
  }
  if (!mensagem.empty()) {
    if (!FTEFModoServico) {
      try {
        Dono().DoExibeMsg(opmOK, mensagem);
      } catch (const std::exception& e) {
        // The configuration error is what the caller must hear about, not a failure to
        // show it (a host without a message handler, say).
        GravaLog(Name() + " Inicializar: " + e.what());
      }
    }
    throw ERiZedIzAdeErro(mensagem);
  }

  GravaLog(Name() + " Inicializado CliSiTEF");
  try {
    Dono().EstadoECF();
  } catch (const std::exception&) {
    // The cash register's state is only asked here; a workstation without one still
    // takes payments, so its failure is ignored.
  }
  fpInicializado = true;
  ConfirmarTransacoesBackup();
}

void TRiZedIzAdeCliSiTef::DesInicializar() {
  DescarregarFuncoes();
  TRiZedIzAdeClass::DesInicializar();
}

void TRiZedIzAdeCliSiTef::AtivarGP() {
  throw ERiZedIzAdeErro("CliSiTef não pode ser ativado localmente");
}

void TRiZedIzAdeCliSiTef::VerificaAtivo() {}

int TRiZedIzAdeCliSiTef::DefineMensagemPermanentePinPad(const std::string& Mensagem) {
  if (!xEscreveMensagemPermanentePinPad) throw ERiZedIzAdeErro("Erro ao iniciar \"TEF\"");
  return xEscreveMensagemPermanentePinPad(Mensagem.c_str());
}

int TRiZedIzAdeCliSiTef::ObtemQuantidadeTransacoesPendentes(TDateTime Data,
                                                            const std::string& CupomFiscal) {
  if (!xObtemQuantidadeTransacoesPendentes) throw ERiZedIzAdeErro("Erro ao iniciar \"TEF\"");
  const std::string data = FormatDateTime("yyyymmdd", Data);
  return xObtemQuantidadeTransacoesPendentes(data.c_str(),
                                             CupomFiscal.empty() ? nullptr : CupomFiscal.c_str());
}

std::string TRiZedIzAdeCliSiTef::VerificarPresencaPinPad() {
  // A library that failed half-way through loading may have the first without the second.
  if (!xEscreveMensagemPermanentePinPad || !xVerificaPresencaPinPad) throw ERiZedIzAdeErro("Erro ao iniciar \"TEF\"");
  switch (xVerificaPresencaPinPad()) {
    case -1: return "Erro na DLL ou arquivo .INI do PINPAD";
    case 0: return "Nenhum PINPAD conectado...";
    case 1: return "PINPAD conectado com sucesso...";
    default: return "";
  }
}
