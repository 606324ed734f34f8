// The CliSiTef manager's transaction operations and the library's command loop: each
// operation starts a library function and, while the library asks for something, answers
// it from the presets and the caller's card data or through the component's events.
#include <charconv>
#include <cstring>
#include <map>
#include <set>
#include <optional>
#include <utility>

#include "platform/CardData.h"
#include "platform/CodePage.h"
#include "platform/GravaLog.h"
#include "platform/Text.h"
#include "tef/RiZedIzAdeCliSiTefCodigos.h"
#include "tef/RiZedIzAdeTef.h"

namespace {

// The library's result while it has a step for the application: the loop goes on.
constexpr int kContinua = 10000;

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

std::string trim_right(const std::string& text) {
  size_t end = text.size();
  while (end > 0 && static_cast<unsigned char>(text[end - 1]) <= ' ') --end;
  return text.substr(0, end);
}

// The library marks line breaks in its messages with "@" or "/n".
std::string converte_mensagem(const std::string& texto) {
  return replace_all(replace_all(texto, "@", "\r\n"), "/n", "\r\n");
}

// Whole-text decimal integer; nullopt otherwise.
std::optional<int> inteiro(const std::string& texto) {
  const std::string t = norvane::trim(texto);
  int valor = 0;
  const auto [fim, erro] = std::from_chars(t.data(), t.data() + t.size(), valor);
  if (t.empty() || erro != std::errc() || fim != t.data() + t.size()) return std::nullopt;
  return valor;
}

// An amount the operator typed, as the library takes it ("12,50"). Both "." and "," are
// taken as the decimal separator, so a thousands separator makes the text unreadable,
// which gives 0.
std::string valor_digitado(const std::string& texto) {
  std::string t = norvane::trim(texto);
  for (char& c : t)
    if (c == ',') c = '.';
  double valor = 0;
  const auto [fim, erro] = std::from_chars(t.data(), t.data() + t.size(), valor,
                                           std::chars_format::fixed);
  if (t.empty() || erro != std::errc() || fim != t.data() + t.size()) valor = 0;
  return Currency::FromDouble(valor).Format(',');
}

// Only the digits of a trimmed text.
std::string digitos(const std::string& texto) {
  std::string out;
  for (char c : norvane::trim(texto))
    if (c >= '0' && c <= '9') out += c;
  return out;
}

// The digits of a text left-padded with "0" to the width, or cut to its first width digits.
std::string digitos_largura(const std::string& texto, size_t largura) {
  std::string d = digitos(texto);
  if (d.size() >= largura) return d.substr(0, largura);
  return std::string(largura - d.size(), '0') + d;
}

template <typename Evento>
const Evento& exigido(const Evento& evento, const char* nome) {
  // A dialogue cannot go on without the handler: say which one is missing rather than
  // failing on an empty call.
  if (!evento) throw ERiZedIzAdeErro(std::string("Evento \"") + nome + "\" não programado");
  return evento;
}

}  // namespace

// State of one run of the command loop.
struct TRiZedIzAdeCliSiTef::Dialogo {
  Dialogo(const std::string& ANumeroCartao, const std::string& ADataVencimento,
          const std::string& ACVV, std::string& AQtdParcela)
      : NumeroCartao(ANumeroCartao), DataVencimento(ADataVencimento), CVV(ACVV),
        QtdParcela(AQtdParcela) {}

  // The caller's card data (single-byte), answered without asking.
  const std::string& NumeroCartao;
  const std::string& DataVencimento;
  const std::string& CVV;
  std::string& QtdParcela;

  // The step the library asks for, as its last call gave it.
  int32_t Comando = 0;    // a ComandoCliSiTef
  int32_t TipoCampo = 0;  // a CampoCliSiTef
  int16_t TamanhoMinimo = 0;
  int16_t TamanhoMaximo = 0;
  std::string TextoAnsi;  // the library's text, single-byte, trailing blanks removed
  std::string Texto;      // the same in UTF-8
  std::string TituloMenu;

  // The answer to the step, for the next call: its text (single-byte), and where the
  // function goes. Voltar goes back a step; Continua false ends the function. The field
  // events hand the two back as their VoltarMenu and Digitado arguments.
  std::string Resposta;
  bool Voltar = false;
  bool Continua = true;

  // The library's "continua" argument for the next call.
  int32_t Seguimento() const {
    if (Voltar) return 1;      // back a step
    if (!Continua) return -1;  // end the function
    return 0;
  }

  // The step asks for an answer: a field read (data, check, amount, bar code).
  bool LeituraDeCampo() const {
    return Comando == cmdLeCampo || Comando == cmdLeCheque || Comando == cmdLeValor ||
           Comando == cmdLeCodigoBarras;
  }
  // The step asks someone something: a field read, a yes-or-no question or a menu.
  bool Pergunta() const { return LeituraDeCampo() || Comando == cmdPerguntaSimNao || Comando == cmdMenu; }

  // Whether the current field carries card data: by its code, or, for a field read, by
  // its title. Answers and values of such a field are masked wherever they are written
  // down (log, response content, backup).
  norvane::CardData DadoDeCartao() const {
    const norvane::CardData pelo_campo = norvane::card_data_of_field(TipoCampo);
    if (pelo_campo != norvane::CardData::none || !LeituraDeCampo()) return pelo_campo;
    return norvane::card_data_of_title(Texto);
  }

  // What card data the text the library handed back may hold, to mask it in the log. At
  // the function's end the block is the answer just given, as a library may hand it back
  // as it was; a value of the result is card data by its field; a message or a question
  // holds none.
  norvane::CardData DadoNoTextoRecebido(int Sts, norvane::CardData Respondido) const {
    if (Sts != kContinua) return Respondido;
    if (Comando == cmdCampoResultado) return DadoDeCartao();
    return norvane::CardData::none;
  }
};

TRiZedIzAdeRespCliSiTef& TRiZedIzAdeCliSiTef::RespCliSiTef() const {
  // The constructor gives this manager a CliSiTef response and nothing replaces it.
  return static_cast<TRiZedIzAdeRespCliSiTef&>(*fpResp);
}

std::string TRiZedIzAdeCliSiTef::Resposta(int TipoCampo) const {
  const std::string prefixo = std::to_string(TipoCampo) + "=";
  for (const std::string& linha : fRespostas)
    if (linha.compare(0, prefixo.size(), prefixo) == 0) return linha.substr(prefixo.size());
  return "";
}

bool TRiZedIzAdeCliSiTef::TemResposta(int TipoCampo) const {
  const std::string prefixo = std::to_string(TipoCampo) + "=";
  for (const std::string& linha : fRespostas)
    if (linha.compare(0, prefixo.size(), prefixo) == 0) return true;
  return false;
}

void TRiZedIzAdeCliSiTef::GravaResposta(int TipoCampo, const std::string& Valor) {
  const std::string prefixo = std::to_string(TipoCampo) + "=";
  for (std::string& linha : fRespostas) {
    if (linha.compare(0, prefixo.size(), prefixo) == 0) {
      linha = prefixo + Valor;
      return;
    }
  }
  fRespostas.push_back(prefixo + Valor);
}

// ---------------------------------------------------------------------------------------
// Operations

bool TRiZedIzAdeCliSiTef::ExecutaFuncao(int32_t Funcao, const std::string& Header,
                                        const std::string& Restricoes) {
  int sts = IniciarFuncao(Funcao, Header, Currency(), "", Restricoes);
  if (sts == kContinua) sts = ContinuarFuncao(false, "", "", "", "0");
  // Ended without an approval, the library holds nothing of it: its start record goes
  // before the error is shown (which may raise).
  if (sts != 0) EncerraInicio();
  if (sts == 0)
    ProcessarResposta();
  else
    AvaliaErro(sts);
  EncerraInicio();  // approved with nothing to back up (no receipt)
  return sts == 0;
}

void TRiZedIzAdeCliSiTef::ATV() { ExecutaFuncao(fOperacaoATV, "ATV", ""); }

bool TRiZedIzAdeCliSiTef::ADM() { return ExecutaFuncao(fOperacaoADM, "ADM", fRestricoes); }

bool TRiZedIzAdeCliSiTef::CNC(const std::string&, const std::string& NSU,
                              TDateTime DataHoraTransacao, Currency Valor) {
  const std::string valor = Valor.Format(decimal_separator());
  GravaResposta(campoValorTransacao, valor);
  GravaResposta(campoValorTransacao147, valor);
  GravaResposta(campoDataTransacaoCancelada, FormatDateTime("ddmmyyyy", DataHoraTransacao));
  GravaResposta(campoNSUTransacaoCancelada, norvane::to_windows1252(NSU));
  return ExecutaFuncao(fOperacaoCNC, "CNC", "");
}

bool TRiZedIzAdeCliSiTef::CHQ(Currency Valor, const std::string& IndiceFPG_ECF,
                              const std::string& DocumentoVinculado, const std::string& CMC7,
                              char TipoPessoa, const std::string& DocumentoPessoa,
                              TDateTime DataCheque, const std::string& Banco,
                              const std::string& Agencia, const std::string& AgenciaDC,
                              const std::string& Conta, const std::string& ContaDC,
                              const std::string& Cheque, const std::string& ChequeDC,
                              const std::string& Compensacao) {
  VerificaValor(Valor);
  GravaResposta(campoTipoPessoa, TipoPessoa == 'J' ? "1" : "0");
  if (!DocumentoPessoa.empty()) GravaResposta(campoCPFCliente, digitos(DocumentoPessoa));
  if (DataCheque != 0) GravaResposta(campoDataPreDatado, FormatDateTime("ddmmyyyy", DataCheque));
  if (!CMC7.empty()) {
    GravaResposta(campoCMC7, "1:" + norvane::to_windows1252(CMC7));
  } else {
    GravaResposta(campoCMC7, "0:" + digitos_largura(Compensacao, 3) + digitos_largura(Banco, 3) +
                                 digitos_largura(Agencia, 4) + digitos_largura(AgenciaDC, 1) +
                                 digitos_largura(Conta, 10) + digitos_largura(ContaDC, 1) +
                                 digitos_largura(Cheque, 6) + digitos_largura(ChequeDC, 1));
  }
  const std::string restricoes = fRestricoes.empty() ? "[15;25]" : fRestricoes;
  int sts = IniciarFuncao(fOperacaoCHQ, "CHQ", Valor, DocumentoVinculado, restricoes);
  if (sts == kContinua) sts = ContinuarFuncao(false, "", "", "", "0");
  if (sts != 0) EncerraInicio();
  if (sts == 0)
    ProcessarRespostaPagamento(IndiceFPG_ECF, Valor);
  else
    AvaliaErro(sts);
  EncerraInicio();
  return sts == 0;
}

bool TRiZedIzAdeCliSiTef::CRT(Currency Valor, const std::string& IndiceFPG_ECF,
                              const std::string& NumeroCartao, const std::string& DataVencimento,
                              const std::string& CVV, const std::string& QtdParcela,
                              const std::string& DocumentoVinculado, int32_t) {
  VerificaValor(Valor);
  const std::string restricoes = fRestricoes.empty() ? "[10];" : fRestricoes;
  if (fOperacaoCRT == 201) {
    const std::string valor = Valor.Format(decimal_separator());
    GravaResposta(campoValorTransacao, valor);
    GravaResposta(campoValorTransacao147, valor);
  }
  int sts = IniciarFuncao(fOperacaoCRT, "CRT", Valor, DocumentoVinculado, restricoes);
  if (sts == kContinua)
    sts = ContinuarFuncao(false, NumeroCartao, DataVencimento, CVV, QtdParcela);
  GravaLog(std::string("CRT -> Result: ") + (sts == 0 ? "-1" : "0"));
  if (sts != 0) EncerraInicio();
  if (sts == 0)
    ProcessarRespostaPagamento(IndiceFPG_ECF, Valor);
  else
    AvaliaErro(sts);
  EncerraInicio();
  return sts == 0;
}

int TRiZedIzAdeCliSiTef::LerTrilha3(std::string&) {
  DefineMensagemPermanentePinPad("ID Amigo");
  int32_t rascunho = 0;
  const int sts = Funcao(xLeTrilha3)(&rascunho);
  if (sts == kContinua) ContinuarFuncao(true, "", "", "", "0");
  DefineMensagemPermanentePinPad("** BOA VIAGEM **");
  return sts;
}

int TRiZedIzAdeCliSiTef::LerCartaoSeguro() {
  Dono().DoExibeMsg(opmExibirMsgOperador, "Passe o cartão");
  Dono().DoExibeMsg(opmExibirMsgCliente, "Passe o cartão");
  char cartao[25] = {};
  char trilha1[129] = {};
  char trilha2[129] = {};
  // Seconds the reader waits for the card.
  constexpr int16_t kEsperaCartao = 30;
  const int sts = Funcao(xLeCartaoDiretoEx)(cartao, trilha1, trilha2, kEsperaCartao, 0);
  // Each buffer is read up to its NUL and never past its end, whatever the library wrote.
  auto texto = [](const char* buffer, size_t tamanho) {
    const void* nul = std::memchr(buffer, '\0', tamanho);
    const size_t n = nul ? static_cast<size_t>(static_cast<const char*>(nul) - buffer) : tamanho;
    return norvane::from_windows1252(trim_right(std::string(buffer, n)));
  };
  const std::string segunda = texto(trilha1, sizeof trilha1);
  const std::string terceira = texto(trilha2, sizeof trilha2);
  std::string& idAmigo = Dono().DadosTransacao().FIDAmigo;
  idAmigo = segunda;
  if (!terceira.empty()) idAmigo = segunda + "\r ( " + terceira + " )";
  Dono().DoExibeMsg(opmRemoverMsgOperador, "");
  Dono().DoExibeMsg(opmRemoverMsgCliente, "");
  DefineMensagemPermanentePinPad("** BOA VIAGEM **");
  return sts;
}

// ---------------------------------------------------------------------------------------
// Start

int32_t TRiZedIzAdeCliSiTef::NovoDocumento(TDateTime Agora, const std::string& Data) {
  // The library knows a payment by its date and document number, so a number is never
  // given twice: the seconds since midnight, moved on past the last one given today (two
  // payments in one second, or a clock set back) and past every number a backup still
  // holds (a payment of this or an earlier day not yet settled).
  int h, m, s, ms;
  DecodeTime(Agora, h, m, s, ms);
  int32_t numero = h * 3600 + m * 60 + s;
  if (Data == fDataUltimoDocumento && numero <= fUltimoDocumento) numero = fUltimoDocumento + 1;
  std::set<int32_t> emBackup;
  for (const std::string& arquivo : norvane::list_matching_files(MascaraArquivosBackup())) {
    try {
      TRiZedIzAdeRespCliSiTef backup;
      backup.LeArquivo(arquivo);
      emBackup.insert(backup.LeInformacao(kIdentificacaoControle, 102).AsInteger());
    } catch (const std::exception&) {
      // A backup that cannot be read holds no number we could clash with in the library.
    }
  }
  while (emBackup.count(numero) != 0) ++numero;
  fDataUltimoDocumento = Data;
  fUltimoDocumento = numero;
  return numero;
}

void TRiZedIzAdeCliSiTef::GravaInicio() {
  fArqInicio.clear();
  TRiZedIzAdeArquivo& conteudo = fpResp->Conteudo();
  conteudo.GravaInformacao(kIdentificacaoControle, kSequenciaIniciado, "1");
  try {
    const std::string arquivo = ArquivoBackupLivre();
    conteudo.GravarArquivo(arquivo, true);
    fArqInicio = arquivo;
    GravaLog(Name() + " GravaInicio: Arq: " + arquivo);
  } catch (const std::exception& e) {
    std::string motivo = e.what();
    for (char& c : motivo)
      if (c == '\r' || c == '\n') c = ' ';  // one log line
    const std::string texto = "Não foi possível gravar o registro de início do pagamento em " + Dono().PathBackup() +
                              " (" + motivo + "); uma queda do serviço antes da aprovação ser gravada deixaria a "
                              "venda pendente na CliSiTef sem que o serviço a conhecesse. Libere espaço em disco e "
                              "dê ao serviço permissão de gravação nessa pasta.";
    GravaLog(texto);
    ::GravaLog(texto);
  }
  // The mark is the record's alone: the approval written over it goes without.
  conteudo.GravaInformacao(kIdentificacaoControle, kSequenciaIniciado, "");
}

void TRiZedIzAdeCliSiTef::EncerraInicio() {
  if (fArqInicio.empty()) return;
  const std::string arquivo = std::exchange(fArqInicio, std::string());
  try {
    ApagaArquivo(arquivo);
  } catch (const std::exception& e) {
    // Left behind, it is undone by document at the next settlement, which finds nothing
    // of it in the library.
    GravaLog(Name() + " EncerraInicio: " + e.what());
  }
}

int TRiZedIzAdeCliSiTef::IniciarFuncao(int32_t Funcao, const std::string& Header, Currency Valor,
                                       const std::string&, const std::string& Restricoes) {
  if (fpAguardandoResposta) throw ERiZedIzAdeErro("Requisição anterior não concluida");
  const auto iniciar = this->Funcao(xIniciaFuncaoSiTefInterativo);
  fIniciouRequisicao = true;
  const TDateTime agora = Now();
  const std::string data = FormatDateTime("yyyymmdd", agora);
  const std::string hora = FormatDateTime("hhnnss", agora);
  const std::string valor = Valor.Format(',');
  fpResp->Clear();
  fpIDSeq = NovoDocumento(agora, data);
  const std::string documento = std::to_string(fpIDSeq);

  TRiZedIzAdeArquivo& conteudo = fpResp->Conteudo();
  conteudo.GravaInformacao(kIdentificacaoControle, 100, Header);
  conteudo.GravaInformacao(kIdentificacaoControle, 101, documento);
  conteudo.GravaInformacao(kIdentificacaoControle, 102, documento);
  conteudo.GravaInformacao(kIdentificacaoControle, 103, std::to_string(Valor.ToCents()));
  conteudo.GravaInformacao(kIdentificacaoControle, kSequenciaDataFiscal, data);
  conteudo.GravaInformacao(kIdentificacaoControle, kSequenciaHoraFiscal, hora);
  for (const auto& [sequencia, valor] : fIdentificacaoHospedeiro)
    conteudo.GravaInformacao(kIdentificacaoControle, sequencia, valor);
  fpResp->fpTipoGP = fpTipo;

  if (FTEFModoServico) GravaInicio();

  GravaLog("*** IniciaFuncaoSiTefInterativo. Modalidade: " + std::to_string(Funcao) +
           " Valor: " + valor + " Documento: " + documento + " Data: " + data + " Hora: " + hora +
           " Operador: " + fOperador + " Restricoes: " + Restricoes);
  return iniciar(Funcao, valor.c_str(), documento.c_str(), data.c_str(), hora.c_str(),
                 fOperador.c_str(), Restricoes.c_str());
}

// ---------------------------------------------------------------------------------------
// Command loop

int TRiZedIzAdeCliSiTef::ContinuarFuncao(bool IDAmigo, const std::string& NumeroCartao,
                                         const std::string& DataVencimento,
                                         const std::string& CVV, std::string QtdParcela) {
  const auto continuar = Funcao(xContinuaFuncaoSiTefInterativo);
  Dialogo d{NumeroCartao, DataVencimento, CVV, QtdParcela};
  // One block for the whole run; every answer is cut to leave room for its NUL.
  std::vector<char> buffer(kTamanhoBuffer, '\0');

  fIniciouRequisicao = true;
  fDevolucao = false;
  fReimpressao = false;
  TRiZedIzAdeDadosTransacao& dados = Dono().DadosTransacao();
  dados.LimparCarteiraECliente();
  fpAguardandoResposta = true;
  dados.FIDAmigo.clear();
  FDialogoInterrompido = false;
  Dono().BloquearMouseTeclado(true);

  // However the run ends (a handler's exception included), input is given back, the
  // response is logged and read, and the next function may start.
  struct FimDaExecucao {
    TRiZedIzAdeCliSiTef& m;
    ~FimDaExecucao() {
      try {
        m.Dono().BloquearMouseTeclado(false);
        m.GravaLog(m.fpResp->Conteudo().Conteudo());
        m.fpResp->ConteudoToProperty();
      } catch (const std::exception& e) {
        m.GravaLog(m.Name() + " ContinuarFuncao: " + e.what());
      }
      m.fpAguardandoResposta = false;
    }
  } fim{*this};

  Repeticoes repeticoes;
  int32_t seguimento = 0;
  while (true) {
    // d still describes the field this answer is for.
    const norvane::CardData respondido = d.DadoDeCartao();
    GravaLog("ContinuaFuncaoSiTefInterativo, Chamando: Continua = " + std::to_string(seguimento) +
             " Buffer = " + norvane::mask_card_data(respondido, norvane::from_windows1252(d.Resposta)));
    const int sts = continuar(&d.Comando, &d.TipoCampo, &d.TamanhoMinimo, &d.TamanhoMaximo,
                              buffer.data(), kTamanhoBuffer, seguimento);
    // The library's text: up to its NUL, never past the block, whatever it wrote.
    const void* nul = std::memchr(buffer.data(), '\0', buffer.size());
    const std::string recebido(buffer.data(), nul ? static_cast<size_t>(static_cast<const char*>(nul) - buffer.data())
                                                  : buffer.size());
    d.TextoAnsi = trim_right(recebido);
    d.Texto = norvane::from_windows1252(d.TextoAnsi);
    d.Resposta.clear();
    d.Voltar = false;
    d.Continua = true;
    GravaLog("ContinuaFuncaoSiTefInterativo, Retornos: STS = " + std::to_string(sts) +
             " ProximoComando = " + std::to_string(d.Comando) +
             " TipoCampo = " + std::to_string(d.TipoCampo) +
             " Buffer = " + norvane::mask_card_data(d.DadoNoTextoRecebido(sts, respondido), d.Texto) +
             " Tam.Min = " + std::to_string(d.TamanhoMinimo) +
             " Tam.Max = " + std::to_string(d.TamanhoMaximo));

    if (sts == kContinua) {
      RespondePasso(d, repeticoes);
    } else {
      GravaLog("*** ContinuaFuncaoSiTefInterativo, Finalizando: STS = " + std::to_string(sts));
      if (sts == 0 && IDAmigo) GuardaIdAmigo(recebido);
    }
    // An answer longer than the block is cut: the library reads at most the block.
    const size_t n = std::min(d.Resposta.size(), static_cast<size_t>(kTamanhoBuffer - 1));
    std::memcpy(buffer.data(), d.Resposta.data(), n);
    buffer[n] = '\0';
    d.Resposta.resize(n);
    if (sts != kContinua) return sts;
    seguimento = d.Seguimento();
  }
}

void TRiZedIzAdeCliSiTef::RespondePasso(Dialogo& d, Repeticoes& repeticoes) {
  if (d.TipoCampo > 0) d.Resposta = Resposta(d.TipoCampo);
  TrataComando(d);
  if (d.Continua && !FDialogoInterrompido) VerificaInterrupcao(d, repeticoes);
  // Leaving the step (back, or the function's end): its messages go.
  if (d.Voltar || !d.Continua) RemoveMensagem(Destino::Ambos);
}

void TRiZedIzAdeCliSiTef::GuardaIdAmigo(const std::string& Trilha) {
  // The friend card's id: ten characters after the track's first one.
  if (Trilha.size() > 1) Dono().DadosTransacao().FIDAmigo += norvane::from_windows1252(Trilha.substr(1, 10));
  RemoveMensagem(Destino::Ambos);
}

void TRiZedIzAdeCliSiTef::VerificaInterrupcao(Dialogo& d, Repeticoes& repeticoes) {
  if (d.Pergunta()) {
    // A dialogue with many different questions is no circle: the count is bounded anyway.
    if (repeticoes.size() > 256) repeticoes.clear();
    const std::string chave =
        std::to_string(d.Comando) + ":" + std::to_string(d.TipoCampo) + ":" + d.TextoAnsi;
    const std::string resposta = (d.Voltar ? "1:" : "0:") + d.Resposta;
    auto& [anterior, vezes] = repeticoes[chave];
    vezes = vezes > 0 && anterior == resposta ? vezes + 1 : 1;
    anterior = resposta;
    if (vezes >= kRepeticoesMaximas) {
      GravaLog("ContinuaFuncaoSiTefInterativo: o comando " + std::to_string(d.Comando) + " (campo " +
               std::to_string(d.TipoCampo) + ") foi pedido " + std::to_string(vezes) +
               " vezes com a mesma resposta; a funcao sera interrompida.");
      InterrompeDialogo(d);
      return;
    }
  }
  const std::function<bool()>& interromper = Dono().Eventos().OnInterromperDialogo;
  if (interromper && interromper()) {
    GravaLog("ContinuaFuncaoSiTefInterativo: interrompida pela aplicacao (cliente ausente ou servico parando).");
    InterrompeDialogo(d);
  }
}

void TRiZedIzAdeCliSiTef::InterrompeDialogo(Dialogo& d) {
  FDialogoInterrompido = true;
  d.Continua = false;
  d.Voltar = false;
}

void TRiZedIzAdeCliSiTef::TrataComando(Dialogo& d) {
  switch (d.Comando) {
    case cmdCampoResultado: GuardaValorResultado(d); break;
    case cmdMensagemOperador: MostraMensagem(Destino::Operador, d.Texto); break;
    case cmdMensagemCliente: MostraMensagem(Destino::Cliente, d.Texto); break;
    case cmdMensagemAmbos: MostraMensagem(Destino::Ambos, d.Texto); break;
    case cmdTituloMenu: d.TituloMenu = d.Texto; break;
    case cmdRemoveMensagemOperador: RemoveMensagem(Destino::Operador); break;
    case cmdRemoveMensagemCliente: RemoveMensagem(Destino::Cliente); break;
    case cmdRemoveMensagemAmbos: RemoveMensagem(Destino::Ambos); break;
    case cmdRemoveTituloMenu: d.TituloMenu.clear(); break;
    case cmdPerguntaSimNao: PerguntaSimNao(d); break;
    case cmdMenu: EscolheNoMenu(d); break;
    case cmdAvisoTecla: MostraAviso(d); break;
    case cmdVerificaInterrupcao: AguardaBiblioteca(d); break;
    case cmdLeCampo: LeCampo(d); break;
    case cmdLeCheque: LeCheque(d); break;
    case cmdLeValor: LeValor(d); break;
    case cmdLeCodigoBarras: LeCodigoBarras(d); break;
    case cmdQRCode: MostraQRCode(d); break;
    case cmdQRCodeOuMensagem: MostraQRCodeOuMensagem(d); break;
    default:
      // Commands this system does not know: the answer (preset or empty) goes back as is.
      break;
  }
}

// ---------------------------------------------------------------------------------------
// Values of the result: recorded in the response, some kept for the host

void TRiZedIzAdeCliSiTef::GuardaValorResultado(Dialogo& d) {
  TRiZedIzAdeDadosTransacao& dados = Dono().DadosTransacao();
  auto se_vazio = [&](std::string& campo) {
    if (campo.empty()) campo = d.Texto;
  };
  const bool confirmacao = d.TipoCampo == campoConfirmacao15 || d.TipoCampo == campoConfirmacao25;
  RespCliSiTef().GravaInformacao(d.TipoCampo,
                                 confirmacao ? "True" : norvane::mask_card_data(d.DadoDeCartao(), d.TextoAnsi));
  switch (d.TipoCampo) {
    case campoReimpressao56:
    case campoReimpressao57:
    case campoReimpressao58: fReimpressao = true; break;
    case campoIdCarteiraDigital: se_vazio(dados.fIdDaCarteiraDigital); break;
    case campoNomeCarteiraDigital: se_vazio(dados.fNomeCarteiraDigital); break;
    case campoBandeiraCarteiraDigital: se_vazio(dados.fBandeiraCarteiraDigital); break;
    case campoValorAprovadoCarteiraDigital: se_vazio(dados.fValorAprovadoCarteiraDigital); break;
    case campoDevolucao: fDevolucao = true; break;
    case campoCodigoRede: se_vazio(dados.fCodigoRede); break;
    case campoCodigoBandeira: se_vazio(dados.fCodigoBandeira); break;
    case campoCodigoNSU: se_vazio(dados.fCodigoNSU); break;
    case campoCodigoNSUHost: se_vazio(dados.fCodigoNSUHost); break;
    case campoCodigoAutorizacao: se_vazio(dados.fCodigoAutorizacao); break;
    case campoSenha:
      exigido(Dono().Eventos().OnObterSenha, "OnObterSenha")(d.Texto, d.Voltar);
      break;
    case campoCPFCliente: se_vazio(dados.fCPFCliente); break;
    case campoCNPJCliente: se_vazio(dados.FCNPJCliente); break;
    case campoTelefoneCliente: se_vazio(dados.fTelefoneCliente); break;
    case campoMensagemOperador: Dono().DoExibeMsg(opmExibirMsgOperador, converte_mensagem(d.Texto)); break;
    case campoCodigoHASH:
      if (FCodigoHASH.empty()) FCodigoHASH = d.Texto;
      break;
    default: break;
  }
}

// ---------------------------------------------------------------------------------------
// Messages, notices and QR codes: shown, nothing to answer

void TRiZedIzAdeCliSiTef::MostraMensagem(Destino Para, const std::string& Texto) {
  const std::string mensagem = converte_mensagem(Texto);
  if (Para != Destino::Cliente) Dono().DoExibeMsg(opmExibirMsgOperador, mensagem);
  if (Para != Destino::Operador) Dono().DoExibeMsg(opmExibirMsgCliente, mensagem);
}

void TRiZedIzAdeCliSiTef::RemoveMensagem(Destino De) {
  if (De != Destino::Cliente) Dono().DoExibeMsg(opmRemoverMsgOperador, "");
  if (De != Destino::Operador) Dono().DoExibeMsg(opmRemoverMsgCliente, "");
}

void TRiZedIzAdeCliSiTef::MostraAviso(Dialogo& d) {
  const std::string texto = d.Texto.empty() ? "PRESSIONE <ENTER>" : d.Texto;
  const std::string aparado = norvane::trim(texto);
  if (aparado == TRiZedIzAdeCliSiTef::kNotificacaoNaoAutorizada)
    Dono().DoExibeMsg(opmExcept, texto);
  else if (aparado == "Transacao ja efetuada")
    Dono().DoExibeMsg(opmOK,
                      "Transação já efetuada no sitef\r\nImprima o ultimo comprovante de "
                      "pagamento e informe o pagamento manual.");
  // The notice is acknowledged by going back, whatever it said.
  d.Continua = false;
  d.Voltar = true;
}

void TRiZedIzAdeCliSiTef::MostraQRCode(Dialogo& d) {
  if (d.TipoCampo == campoQRCode) exigido(Dono().Eventos().OnExibeQRCode, "OnExibeQRCode")(d.Texto);
}

void TRiZedIzAdeCliSiTef::MostraQRCodeOuMensagem(Dialogo& d) {
  if (d.TipoCampo == campoQRCodeNoPinPad)
    Dono().DoExibeMsg(opmQRCode, converte_mensagem(d.Texto));
  else
    MostraMensagem(Destino::Ambos, d.Texto);
}

void TRiZedIzAdeCliSiTef::AguardaBiblioteca(Dialogo& d) {
  bool interromper = false;
  exigido(Dono().Eventos().OnAguardaResp, "OnAguardaResp")("23", 0, interromper);
  if (interromper) d.Continua = false;
}

// ---------------------------------------------------------------------------------------
// Questions: answered from the presets and the caller's card data, or asked

void TRiZedIzAdeCliSiTef::PerguntaSimNao(Dialogo& d) {
  // The library takes "0" for yes.
  const TModalResult escolha = Dono().DoExibeMsg(opmYesNo, d.Texto.empty() ? "CONFIRMA ?" : d.Texto);
  d.Resposta = escolha == mrYes ? "0" : "1";
}

void TRiZedIzAdeCliSiTef::LeCampo(Dialogo& d) {
  Dono().BloquearMouseTeclado(false);
  RespondeCampo(d);
  Dono().BloquearMouseTeclado(true);
}

void TRiZedIzAdeCliSiTef::LeCheque(Dialogo& d) {
  Dono().BloquearMouseTeclado(false);
  if (d.TipoCampo != campoCMC7) {
    PedeCampo(d, d.TipoCampo, tcCMC7);
  } else if (norvane::trim(d.Resposta).empty()) {
    // No preset check data: asked. (Preset, it is the answer as it stands.)
    bool& digitado = d.Continua;  // the event clears it to end the function
    exigido(Dono().Eventos().OnObtemCheque, "OnObtemCheque")(d.Texto, campoCMC7, tcString, d.Resposta,
                                                             digitado, d.Voltar);
  }
  Dono().BloquearMouseTeclado(true);
}

void TRiZedIzAdeCliSiTef::LeCodigoBarras(Dialogo& d) {
  Dono().BloquearMouseTeclado(false);
  PedeCampo(d, d.TipoCampo, tcBarCode);
  Dono().BloquearMouseTeclado(true);
}

void TRiZedIzAdeCliSiTef::EscolheNoMenu(Dialogo& d) {
  const std::string& texto = d.Texto;
  const bool cartao = texto == "1:Magnetico/Chip;2:Digitado;";
  const bool aVista = texto.compare(0, 9, "1:A Vista") == 0;
  if (fOperacaoCRT == 2 && (cartao || texto.compare(0, 15, "1:VISA ELECTRON") == 0 || aVista)) {
    d.Resposta = "1";
    return;
  }
  if (fOperacaoCRT == 3 && (cartao || aVista)) {
    // No count, 0 or 1 installments all mean a single payment.
    d.Resposta = !aVista || inteiro(d.QtdParcela).value_or(0) <= 1 ? "1" : "2";
    return;
  }

  std::vector<std::string> opcoes;
  size_t inicio = 0;
  while (inicio < texto.size()) {
    size_t fim = texto.find(';', inicio);
    if (fim == std::string::npos) fim = texto.size();
    opcoes.push_back(texto.substr(inicio, fim - inicio));
    inicio = fim + 1;
  }
  int item = -1;
  Dono().BloquearMouseTeclado(false);
  exigido(Dono().Eventos().OnExibeMenu, "OnExibeMenu")(d.TituloMenu, opcoes, item, d.Voltar);
  Dono().BloquearMouseTeclado(true);
  if (d.Voltar) return;
  if (item >= 0 && item < static_cast<int>(opcoes.size())) {
    const std::string& opcao = opcoes[static_cast<size_t>(item)];
    const size_t dois_pontos = opcao.find(':');
    d.Resposta = norvane::to_windows1252(
        dois_pontos == std::string::npos ? std::string() : opcao.substr(0, dois_pontos));
  } else {
    d.Continua = false;
  }
}

void TRiZedIzAdeCliSiTef::PedeCampo(Dialogo& d, int TipoCampo,
                                    TRiZedIzAdeCliSiTefOperacaoCampo Operacao) {
  bool& digitado = d.Continua;  // the event clears it to end the function
  exigido(Dono().Eventos().OnObtemCampo, "OnObtemCampo")(d.Texto, d.TamanhoMinimo, d.TamanhoMaximo, TipoCampo,
                                                         Operacao, d.Resposta, digitado, d.Voltar);
}

void TRiZedIzAdeCliSiTef::RespondeCampo(Dialogo& d) {
  const int tipo = d.TipoCampo;
  // The check presets answer these; a check started without them (a payment function
  // chosen by the caller, or the library's own menu) asks them like any other field, so a
  // step back from the check data lands on a question someone answers, not on an empty
  // answer sent again and again.
  if ((tipo == campoTipoPessoa || tipo == campoCPFCliente || tipo == campoDataPreDatado) &&
      TemResposta(tipo))
    return;
  if (tipo == campoCodigoSeguranca) {
    if (!d.CVV.empty())
      d.Resposta = d.CVV;
    else
      PedeCampo(d, campoCodigoSeguranca, tcSeguranca);
    return;
  }
  if (tipo == campoSenha) {
    exigido(Dono().Eventos().OnObterSenha, "OnObterSenha")(d.Texto, d.Voltar);
    return;
  }
  if (FCancelandoTransacaoTEF &&
      (tipo == campoDataTransacaoCancelada || tipo == campoNSUTransacaoCancelada ||
       tipo == campoValorTransacao)) {
    d.Resposta = RespostaDoCancelamento(tipo);
    RespCliSiTef().GravaInformacao(tipo, d.Resposta);
    return;
  }

  if (tipo == campoNumeroCartao && !d.NumeroCartao.empty()) d.Resposta = d.NumeroCartao;
  if (tipo == campoDataVencimento && !d.DataVencimento.empty()) d.Resposta = d.DataVencimento;
  if (tipo == campoQtdParcelas && d.QtdParcela != "01" && !d.QtdParcela.empty()) {
    const std::optional<int> parcelas = inteiro(d.QtdParcela);
    if (!parcelas)
      throw ERiZedIzAdeErro("Quantidade de parcelas inválida: " +
                            norvane::from_windows1252(d.QtdParcela));
    if (*parcelas > 0) {
      d.Resposta = d.QtdParcela;
    } else {
      PedeCampo(d, campoQtdParcelas, tcString);
      if (d.Continua) d.QtdParcela = d.Resposta;
    }
  } else if (d.NumeroCartao.empty() && d.DataVencimento.empty()) {
    PedeCampo(d, tipo, tcString);
  }
  // The content goes to the log and the payment's backup: a card number is kept masked,
  // an expiry date not at all; nothing reads either back.
  RespCliSiTef().GravaInformacao(tipo, norvane::mask_card_data(d.DadoDeCartao(), d.Resposta));
}

std::string TRiZedIzAdeCliSiTef::RespostaDoCancelamento(int TipoCampo) const {
  switch (TipoCampo) {
    case campoDataTransacaoCancelada: return FormatDateTime("ddmmyyyy", FCancelandoTransacaoDATA);
    case campoNSUTransacaoCancelada: return norvane::to_windows1252(FCancelandoTransacaoNSU);
    default: return FCancelandoTransacaoVALOR.Format(decimal_separator());  // campoValorTransacao
  }
}

void TRiZedIzAdeCliSiTef::LeValor(Dialogo& d) {
  if (d.TipoCampo == campoValorTransacao && FCancelandoTransacaoTEF) {
    d.Resposta = RespostaDoCancelamento(campoValorTransacao);
    RespCliSiTef().GravaInformacao(campoValorTransacao, d.Resposta);
    return;
  }
  auto pergunta = [&] {
    Dono().BloquearMouseTeclado(false);
    PedeCampo(d, d.TipoCampo, tcCurrency);
    Dono().BloquearMouseTeclado(true);
    d.Resposta = valor_digitado(d.Resposta);
  };
  // Fees are asked only when the component is told to; otherwise, like the Visa Electron
  // withdrawal, they are answered 0 without asking.
  bool perguntar = true;
  if (d.Texto == "Forneca a taxa de embarque")
    perguntar = Dono().FornecerTaxaDeEmbarque();
  else if (d.Texto == "Forneca a taxa de servico")
    perguntar = Dono().FornecerTaxaDeServico();
  else if (d.Texto == "VISA ELECTRON\nSAQUE")
    perguntar = false;
  if (perguntar)
    pergunta();
  else
    d.Resposta = Currency().Format(decimal_separator());
}
