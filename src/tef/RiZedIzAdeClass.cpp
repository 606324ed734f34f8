#include "tef/RiZedIzAdeClass.h"
#include "platform/Text.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "platform/Clock.h"
#include "platform/CodePage.h"
#include "tef/RiZedIzAde.h"

extern char** environ;

namespace {

std::string upper_ascii(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

template <typename E, size_t N>
std::string name_of(E value, const char* const (&names)[N]) {
  const auto i = static_cast<size_t>(value);
  return i < N ? names[i] : "";
}

// The decimal separator of the process's number format settings.
char decimal_separator() {
  const std::lconv* conv = std::localeconv();
  return conv != nullptr && conv->decimal_point != nullptr && conv->decimal_point[0] != '\0'
             ? conv->decimal_point[0]
             : '.';
}

const char* const kMensagemReimprimir =
    "Transação TEF efetuada.\r\nFavor reimprimir último Cupom.\r\nNSU: %s\r\n"
    "Nº Documento: %s\r\n(Para Cielo utilizar os 6 últimos dígitos.)";

std::string replace_first(std::string text, const std::string& what, const std::string& with) {
  const size_t at = text.find(what);
  if (at != std::string::npos) text.replace(at, what.size(), with);
  return text;
}

// The identity of an undone transaction, taken from the manager's own response before it
// was undone. A copy made for the pending list may be of a plainer variant that does not
// read these fields, so the duplicate check must not rely on the copy.
struct TransacaoDesfeita {
  std::string Rede, NSU, Finalizacao, DocumentoVinculado;
  Currency ValorTotal;
};

}  // namespace

// ---------------------------------------------------------------------------------------

std::string enum_name(TRiZedIzAdeTipo Value) {
  static const char* const names[] = {
      "gpNenhum",    "gpTefDial",  "gpTefDisc",   "gpHiperTef", "gpCliSiTef", "gpTefGpu",
      "gpVeSPague",  "gpBanese",   "gpTefAuttar", "gpGoodCard", "gpFoxWin",   "gpCliDTEF",
      "gpPetrocard", "gpCrediShop", "gpTicketCar", "gpConvCard"};
  return name_of(Value, names);
}

std::string enum_name(TRiZedIzAdeOperacaoMensagem Value) {
  static const char* const names[] = {
      "opmOK",          "opmYesNo",    "opmYesNoCustom",       "opmExibirMsgOperador",
      "opmRemoverMsgOperador", "opmExibirMsgCliente", "opmRemoverMsgCliente",
      "opmDestaqueVia", "opmExcept",   "opmQRCode"};
  return name_of(Value, names);
}

std::string enum_name(TRiZedIzAdeOperacaoECF Value) {
  static const char* const names[] = {
      "opeAbreGerencial", "opeFechaGerencial", "opePulaLinhas",   "opeSubTotalizaCupom",
      "opeFechaCupom",    "opeFechaVinculado", "opeCancelaCupom", "opeImprimePagamentos"};
  return name_of(Value, names);
}

std::string enum_name(TRiZedIzAdeTipoRelatorio Value) {
  static const char* const names[] = {"trGerencial", "trVinculado"};
  return name_of(Value, names);
}

std::string enum_name(TRiZedIzAdeInfoECF Value) {
  static const char* const names[] = {"ineSubTotal", "ineEstadoECF", "ineTotalAPagar"};
  return name_of(Value, names);
}

// ---------------------------------------------------------------------------------------
// TEF log

void GravaLogTEF(const std::string& ArqLOG, const std::string& AString) {
  if (ArqLOG.empty()) return;
  try {
    const std::string text =
        norvane::is_valid_utf8(AString) ? norvane::to_windows1252(AString) : AString;
    const std::string line =
        "-- " + FormatDateTime("dd/mm hh:nn:ss:zzz", Now()) + " - " + text + "\r\n";
    std::error_code ec;
    const std::filesystem::path folder = std::filesystem::path(ArqLOG).parent_path();
    if (!folder.empty()) std::filesystem::create_directories(folder, ec);
    const int fd = ::open(ArqLOG.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    // Another process appending to the same log waits, so lines never interleave.
    ::flock(fd, LOCK_EX);
    size_t done = 0;
    while (done < line.size()) {
      const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    ::flock(fd, LOCK_UN);
    ::close(fd);
  } catch (...) {
    // A log write never fails its caller: a line that cannot be written is lost.
  }
}

// ---------------------------------------------------------------------------------------
// TRiZedIzAdeResp

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
      upper_ascii(LeInformacao(kIdentificacaoControle, kSequenciaCNFEnviado).AsString()) == "S";
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

// ---------------------------------------------------------------------------------------
// TRiZedIzAdeRespostasPendentes

Currency TRiZedIzAdeRespostasPendentes::TotalPago() const {
  Currency soma;
  for (const auto& r : *this) soma += r->ValorTotal() - r->Saque();
  return soma.RoundToCentsHalfEven();
}

Currency TRiZedIzAdeRespostasPendentes::TotalDesconto() const {
  Currency soma;
  for (const auto& r : *this) soma += r->Desconto();
  return -soma.RoundToCentsHalfEven();
}

Currency TRiZedIzAdeRespostasPendentes::SaldoRestante() const {
  Currency naoRegistrado;
  for (const auto& r : *this)
    if (r->OrdemPagamento() == 0) naoRegistrado += r->ValorTotal() - r->Saque() + r->Desconto();
  return (fValorTotalAPagar - (fValorDinheiro + naoRegistrado.RoundToCentsHalfEven()))
      .RoundToCentsHalfEven();
}

// ---------------------------------------------------------------------------------------
// TRiZedIzAdeClass: construction, state, log

TRiZedIzAdeClass::TRiZedIzAdeClass(TComponent* AOwner)
    : TComponent(AOwner), fRiZedIzAde(dynamic_cast<TRiZedIzAde*>(AOwner)) {
  if (fRiZedIzAde == nullptr)
    throw ERiZedIzAdeErro("TRiZedIzAdeClass deve ser criado por TRiZedIzAde");
  fpReq = std::make_unique<TRiZedIzAdeReq>();
  fpResp = std::make_unique<TRiZedIzAdeResp>();
  int hour, min, sec, msec;
  DecodeTime(Now(), hour, min, sec, msec);
  fpIDSeq = hour * 3600 + min * 60 + sec;
  fRiZedIzAde->SetEstadoReq(reqNenhum);
  fRiZedIzAde->SetEstadoResp(respNenhum);
}

TRiZedIzAdeClass::~TRiZedIzAdeClass() = default;

void TRiZedIzAdeClass::SetInicializado(bool AValue) {
  if (AValue)
    Inicializar();
  else
    DesInicializar();
}

void TRiZedIzAdeClass::SetArqReq(const std::string& AValue) { fArqReq = norvane::trim(AValue); }
void TRiZedIzAdeClass::SetArqTmp(const std::string& AValue) { fArqTmp = norvane::trim(AValue); }
void TRiZedIzAdeClass::SetArqResp(const std::string& AValue) { fArqResp = norvane::trim(AValue); }
void TRiZedIzAdeClass::SetArqSTS(const std::string& AValue) { fArqSTS = norvane::trim(AValue); }
void TRiZedIzAdeClass::SetGPExeName(const std::string& AValue) { fGPExeName = norvane::trim(AValue); }

void TRiZedIzAdeClass::GravaLog(const std::string& AString) const { GravaLogTEF(fArqLOG, AString); }

void TRiZedIzAdeClass::VerificaInicializado() const {
  if (!fpInicializado)
    throw ERiZedIzAdeGPNaoInicializado("Gerenciador Padrão: " + Name() + " não foi inicializado");
}

void TRiZedIzAdeClass::Inicializar() {
  if (fpInicializado) return;
  ApagaArquivo(fArqTmp);
  ApagaArquivo(fArqReq);
  ApagaArquivo(fArqSTS);
  fpInicializado = true;
  GravaLog(Name() + " Inicializado");
  // A response the standard manager left behind with status "FF" belongs to no request
  // any more.
  if (!fArqResp.empty() && ArquivoExiste(fArqResp)) {
    fpResp->LeArquivo(fArqResp);
    if (upper_ascii(norvane::trim(fpResp->LeInformacao(9, 0).AsString())) == "FF") ApagaArquivo(fArqResp);
  }
  fpResp->Clear();
  CancelarTransacoesPendentesClass();
  VerificaAtivo();
}

void TRiZedIzAdeClass::DesInicializar() {
  fpInicializado = false;
  GravaLog(Name() + " DesInicializado");
}

void TRiZedIzAdeClass::VerificaAtivo() {
  try {
    ATV();
  } catch (const ERiZedIzAdeGPNaoResponde&) {
    if (!fAutoAtivarGP) return;  // not started automatically: the operator starts it
    fRiZedIzAde->DoExibeMsg(
        opmOK, "O Gerenciador Padrão não está ativo e será ativado automaticamente!");
    AtivarGP();
    ATV();
  }
}

void TRiZedIzAdeClass::AtivarGP() {
  if (fGPExeName.empty())
    throw ERiZedIzAdeErro("Nome do executável do Gerenciador Padrão não definido");
  VerificaInicializado();
  // Started through the shell in the background, so the program outlives this call and
  // is not left as a child of ours.
  std::string quoted = "'";
  for (char c : fGPExeName) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  quoted += "'";
  const std::string command = quoted + " >/dev/null 2>&1 &";
  const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
  pid_t pid = 0;
  if (::posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char* const*>(argv), environ) ==
      0) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));
  fRiZedIzAde->RestaurarFocoAplicacao();
}

void TRiZedIzAdeClass::VerificaRequisicaoIniciada() {
  if (fpReq->Header().empty()) throw ERiZedIzAdeErro("Nenhuma Requisição Iniciada");
}

int TRiZedIzAdeClass::LerTrilha3(std::string& AResposta) {
  (void)AResposta;
  Recusa("LerTrilha3");
}

int TRiZedIzAdeClass::LerCartaoSeguro() { Recusa("LerCartaoSeguro"); }

// ---------------------------------------------------------------------------------------
// Slots of the file-exchange manager: refused until it exists.

void TRiZedIzAdeClass::Recusa(const std::string& Operacao) const {
  throw ERiZedIzAdeErro("Operação " + Operacao + " não disponível no Gerenciador Padrão " +
                        Name());
}

void TRiZedIzAdeClass::IniciarRequisicao(const std::string&, int32_t) { Recusa("IniciarRequisicao"); }
void TRiZedIzAdeClass::GravaIdentificacao() { Recusa("GravaIdentificacao"); }
void TRiZedIzAdeClass::FinalizarRequisicao() { Recusa("FinalizarRequisicao"); }
void TRiZedIzAdeClass::VerificaResposta() { Recusa("VerificaResposta"); }
void TRiZedIzAdeClass::LerRespostaRequisicao() { Recusa("LerRespostaRequisicao"); }
void TRiZedIzAdeClass::FinalizarResposta() { Recusa("FinalizarResposta"); }
void TRiZedIzAdeClass::ProcessarResposta() { Recusa("ProcessarResposta"); }
bool TRiZedIzAdeClass::ProcessarRespostaPagamento(const std::string&, Currency) {
  Recusa("ProcessarRespostaPagamento");
}
void TRiZedIzAdeClass::ATV() { Recusa("ATV"); }
bool TRiZedIzAdeClass::ADM() { Recusa("ADM"); }
bool TRiZedIzAdeClass::CRT(Currency, const std::string&, const std::string&, const std::string&,
                           const std::string&, const std::string&, const std::string&, int32_t) {
  Recusa("CRT");
}
bool TRiZedIzAdeClass::CHQ(Currency, const std::string&, const std::string&, const std::string&,
                           char, const std::string&, TDateTime, const std::string&,
                           const std::string&, const std::string&, const std::string&,
                           const std::string&, const std::string&, const std::string&,
                           const std::string&) {
  Recusa("CHQ");
}
void TRiZedIzAdeClass::NCN() { Recusa("NCN"); }
void TRiZedIzAdeClass::NCN(const std::string&, const std::string&, const std::string&, Currency,
                           const std::string&) {
  Recusa("NCN");
}
void TRiZedIzAdeClass::CNF() { Recusa("CNF"); }
void TRiZedIzAdeClass::CNF(const std::string&, const std::string&, const std::string&,
                           const std::string&) {
  Recusa("CNF");
}
bool TRiZedIzAdeClass::CNC() { Recusa("CNC"); }
bool TRiZedIzAdeClass::CNC(const std::string&, const std::string&, TDateTime, Currency) {
  Recusa("CNC");
}

// ---------------------------------------------------------------------------------------
// Report printing

void TRiZedIzAdeClass::ImprimirRelatorio() {
  VerificaRequisicaoIniciada();
  TRiZedIzAdeResp& resp = *fpResp;
  if (resp.ImagemComprovante1aVia().empty() && resp.ImagemComprovante2aVia().empty()) return;

  GravaLog(Name() + " ImprimirRelatorio: " + resp.Header());
  const std::string backup = CopiarResposta();
  fRiZedIzAde->BloquearMouseTeclado(true);

  bool impresso = false;
  while (true) {
    impresso = ImprimirViasRelatorio();
    if (impresso) break;
    if (fRiZedIzAde->DoExibeMsg(opmYesNo, "Impressora não responde\r\nDeseja imprimir novamente ?") !=
        mrYes)
      break;
  }

  // The transaction is settled here, once: confirmed when its receipt was printed, undone
  // when not. Errors are ignored (the file then stays for the next start, which settles it).
  if (ArquivoExiste(backup)) {
    try {
      if (impresso)
        CNF(resp.Rede(), resp.NSU(), resp.Finalizacao(), resp.DocumentoVinculado());
      else
        NCN(resp.Rede(), resp.NSU(), resp.Finalizacao(), resp.ValorTotal(),
            resp.DocumentoVinculado());
      ApagaArquivo(backup);
    } catch (const std::exception& e) {
      GravaLog(Name() + " ImprimirRelatorio: " + e.what());
    }
  }

  fRiZedIzAde->BloquearMouseTeclado(false);
  if (!impresso) throw ERiZedIzAdeECF("Impressão de Relatório Falhou");
}

bool TRiZedIzAdeClass::ImprimirViasRelatorio() {
  TRiZedIzAdeResp& resp = *fpResp;
  TRiZedIzAde& dono = *fRiZedIzAde;
  bool mensagemExibida = false;
  try {
    char estado = dono.EstadoECF();
    if (estado != 'L') {
      if (estado == 'C')
        dono.ComandarECF(opeFechaVinculado);
      else if (estado == 'G' || estado == 'R')
        dono.ComandarECF(opeFechaGerencial);
      else if (estado == 'N' || estado == 'P' || estado == 'V')
        dono.ComandarECF(opeCancelaCupom);
      estado = dono.EstadoECF();
      if (estado != 'L') throw ERiZedIzAdeECF("ECF não está LIVRE");
    }

    const norvane::TimePoint inicio = norvane::now();
    if (!resp.fpTextoEspecialOperador.empty()) {
      dono.DoExibeMsg(opmExibirMsgOperador, resp.fpTextoEspecialOperador);
      mensagemExibida = true;
    }
    if (!resp.fpTextoEspecialCliente.empty()) {
      dono.DoExibeMsg(opmExibirMsgCliente, resp.fpTextoEspecialCliente);
      mensagemExibida = true;
    }

    bool gerencialAberto = false;
    for (int via = 1; via <= fpNumVias; ++via) {
      const std::vector<std::string>& linhas =
          via == 1 ? resp.ImagemComprovante1aVia() : resp.ImagemComprovante2aVia();
      if (linhas.empty()) continue;
      if (!gerencialAberto) {
        dono.ComandarECF(opeAbreGerencial);
        gerencialAberto = true;
      } else {
        dono.ComandarECF(opePulaLinhas);
        char texto[64];
        std::snprintf(texto, sizeof texto, "Destaque a %dª Via", via);
        dono.DoExibeMsg(opmDestaqueVia, texto);
      }
      dono.ECFImprimeVia(trGerencial, via, linhas);
    }
    if (gerencialAberto) dono.ComandarECF(opeFechaGerencial);

    if (mensagemExibida) {
      // The operator and the customer get at least five seconds to read the texts.
      const auto fim = inicio + std::chrono::seconds(5);
      while (norvane::now() < fim)
        std::this_thread::sleep_for(std::chrono::milliseconds(dono.EsperaSleep()));
      dono.DoExibeMsg(opmRemoverMsgOperador, "");
      dono.DoExibeMsg(opmRemoverMsgCliente, "");
    }
    return true;
  } catch (const ERiZedIzAdeECF& e) {
    GravaLog(Name() + " ImprimirRelatorio: " + e.what());
    if (mensagemExibida) {
      dono.DoExibeMsg(opmRemoverMsgOperador, "");
      dono.DoExibeMsg(opmRemoverMsgCliente, "");
    }
    return false;
  }
}

// ---------------------------------------------------------------------------------------
// Backups

std::string TRiZedIzAdeClass::NomeArquivoBackup(int Numero) const {
  char numero[8];
  std::snprintf(numero, sizeof numero, "%03d", Numero);
  return fRiZedIzAde->PathBackup() + "/RiZedIzAde_" + Name() + "_" + numero + ".tef";
}

std::string TRiZedIzAdeClass::MascaraArquivosBackup() const {
  return fRiZedIzAde->PathBackup() + "/RiZedIzAde_" + Name() + "_*.tef";
}

std::unique_ptr<TRiZedIzAdeResp> TRiZedIzAdeClass::NovaRespostaDoTipo(TRiZedIzAdeTipo Tipo) const {
  if (Tipo == gpCliSiTef) return std::make_unique<TRiZedIzAdeResp>();
  throw ERiZedIzAdeErro("Resposta do gerenciador " + enum_name(Tipo) + " não suportada");
}

std::unique_ptr<TRiZedIzAdeResp> TRiZedIzAdeClass::CopiaDaResposta(
    const TRiZedIzAdeResp& Source) const {
  std::unique_ptr<TRiZedIzAdeResp> copia = NovaRespostaDoTipo(Source.TipoGP());
  copia->Assign(Source);
  return copia;
}

std::string TRiZedIzAdeClass::CopiarResposta() {
  TRiZedIzAdeResp& resp = fRiZedIzAde->Resp();
  std::string arquivo;
  for (int numero = 1; numero <= kMaiorNumeroBackup && arquivo.empty(); ++numero) {
    const std::string nome = NomeArquivoBackup(numero);
    if (!ArquivoExiste(nome)) arquivo = nome;
  }
  if (arquivo.empty())
    throw ERiZedIzAdeErro("Não há número livre para o backup da transação TEF em:\r\n" +
                          fRiZedIzAde->PathBackup() +
                          "\r\nConfirme ou cancele as transações pendentes.");

  GravaLog(fRiZedIzAde->Name() + " CopiarResposta: " + resp.Header() + " - " +
           std::to_string(resp.ID()) + " Arq: " + arquivo);
  resp.Conteudo().GravarArquivo(arquivo, true);
  resp.SetArqBackup(arquivo);
  return arquivo;
}

void TRiZedIzAdeClass::ConfirmarTransacoesAnteriores() {
  GravaLog("ConfirmarTransacoesAnteriores");
  TRiZedIzAdeRespostasPendentes& pendentes = fRiZedIzAde->RespostasPendentes();
  for (int i = 0; i < pendentes.Count(); ++i) {
    TRiZedIzAdeResp& r = pendentes[i];
    if (r.CNFEnviado() || r.TipoGP() != fRiZedIzAde->GPAtual()) continue;
    if (r.Header().empty() || std::string("CRT|CHQ").find(r.Header()) == std::string::npos)
      continue;
    CNF(r.Rede(), r.NSU(), r.Finalizacao(), r.DocumentoVinculado());
    r.SetCNFEnviado(true);
    if (!r.ArqBackup().empty()) r.Conteudo().GravarArquivo(r.ArqBackup(), true);
    ApagaArquivo(r.fpArqRespPendente);
  }
}

void TRiZedIzAdeClass::CancelarTransacoesPendentesClass() {
  GravaLog(Name() + " CancelarTransacoesPendentesClass ");

  // Unconfirmed payments, administrative functions and cancellations are undone first,
  // latest first; confirmed payments (which need a CNC) follow in their listed order.
  std::vector<std::string> primeiro, depois;
  for (const std::string& arquivo : norvane::list_matching_files(MascaraArquivosBackup())) {
    bool aDesfazer = true;
    try {
      fpResp->LeArquivo(arquivo);
      aDesfazer = fpResp->Header() == "CNC" || fpResp->Header() == "ADM" || !fpResp->CNFEnviado();
    } catch (const std::exception& e) {
      // An unreadable file is tried again below, where its failure is reported.
      GravaLog(Name() + " CancelarTransacoesPendentesClass: " + e.what());
    }
    (aDesfazer ? primeiro : depois).push_back(arquivo);
  }
  std::vector<std::string> arquivos(primeiro.rbegin(), primeiro.rend());
  arquivos.insert(arquivos.end(), depois.begin(), depois.end());
  if (!fArqResp.empty() && ArquivoExiste(fArqResp)) arquivos.push_back(fArqResp);

  const bool porDocumento = fpTipo == gpCliSiTef;
  std::vector<TransacaoDesfeita> desfeitas;
  std::string primeiroErro;
  // Each file is taken once: one whose undo fails stays in the folder for the next start,
  // and the pass goes on with the next file.
  for (const std::string& arquivo : arquivos) {
    if (!ArquivoExiste(arquivo)) continue;
    try {
      fpResp->LeArquivo(arquivo);
      const TRiZedIzAdeResp& r = *fpResp;
      bool duplicada = false;
      for (const TransacaoDesfeita& d : desfeitas) {
        if (porDocumento ? d.DocumentoVinculado == r.DocumentoVinculado()
                         : d.Rede == r.Rede() && d.NSU == r.NSU() &&
                               d.Finalizacao == r.Finalizacao() && d.ValorTotal == r.ValorTotal())
          duplicada = true;
      }
      if (duplicada) {
        ApagaArquivo(arquivo);
        continue;
      }

      std::unique_ptr<TRiZedIzAdeResp> copia = CopiaDaResposta(r);
      if (fRiZedIzAde->OnAntesCancelarTransacao) {
        try {
          fRiZedIzAde->OnAntesCancelarTransacao(*copia);
        } catch (...) {
          // The host's handler only observes the undo; its failure must not stop it.
        }
      }
      // Taken before the undo: a CNC starts a library function of its own, which empties
      // the manager's response (r) and fills it with the cancellation's answer.
      const TransacaoDesfeita identidade{r.Rede(), r.NSU(), r.Finalizacao(),
                                         r.DocumentoVinculado(), r.ValorTotal()};
      const TDateTime dataHora = r.fpDataHoraTransacaoHost;
      if (!r.CNFEnviado() || r.Header() == "CHQ") {
        NCN(identidade.Rede, identidade.NSU, identidade.Finalizacao, identidade.ValorTotal,
            identidade.DocumentoVinculado);
      } else if (!CNC(identidade.Rede, identidade.NSU, dataHora, identidade.ValorTotal)) {
        throw ERiZedIzAdeErro("CNC nao efetuado");
      }
      desfeitas.push_back(identidade);
      ApagaArquivo(arquivo);
    } catch (const std::exception& e) {
      GravaLog(Name() + " CancelarTransacoesPendentesClass: " + arquivo + ": " + e.what());
      if (primeiroErro.empty()) primeiroErro = e.what();
    }
  }

  if (fpTipo == gpTefAuttar && !desfeitas.empty())
    fRiZedIzAde->DoExibeMsg(opmOK, "Transação TEF não Efetuada Reter o Cupom Fiscal!");
  if (!primeiroErro.empty()) throw ERiZedIzAdeErro(primeiroErro);
}

void TRiZedIzAdeClass::ConfirmarTransacoesBackup() {
  TRiZedIzAdeRespostasPendentes& pendentes = fRiZedIzAde->RespostasPendentes();
  pendentes.Clear();
  const std::vector<std::string> arquivos = norvane::list_matching_files(MascaraArquivosBackup());
  fRiZedIzAde->SetTransacaoConfirmada(!arquivos.empty());

  std::string nsus, documentos;
  // Each file is taken once: one whose confirmation fails stays in the folder for the
  // next start, and the pass goes on with the next file.
  for (const std::string& arquivo : arquivos) {
    if (!ArquivoExiste(arquivo)) continue;
    try {
      fpResp->LeArquivo(arquivo);
      const TRiZedIzAdeResp& r = *fpResp;
      CNF(r.Rede(), r.NSU(), r.Finalizacao(), r.DocumentoVinculado());
      std::unique_ptr<TRiZedIzAdeResp> copia = CopiaDaResposta(r);
      copia->fpPendente = true;
      pendentes.Add(std::move(copia));
      if (!norvane::trim(r.NSU()).empty()) nsus += r.NSU() + "\r\n";
      if (!norvane::trim(r.DocumentoVinculado()).empty()) documentos += r.DocumentoVinculado() + "\r\n";
      ApagaArquivo(arquivo);
    } catch (const std::exception& e) {
      GravaLog(Name() + " ConfirmarTransacoesBackup: " + arquivo + ": " + e.what());
    }
  }

  if (fRiZedIzAde->OnDepoisConfirmarTransacoes && !pendentes.Empty()) {
    try {
      fRiZedIzAde->OnDepoisConfirmarTransacoes(pendentes);
    } catch (...) {
      pendentes.Clear();
      throw;
    }
  }
  pendentes.Clear();

  if (!arquivos.empty()) {
    std::string texto = replace_first(kMensagemReimprimir, "%s", nsus);
    texto = replace_first(texto, "%s", documentos);
    fRiZedIzAde->DoExibeMsg(opmOK, texto);
  }
}

// ---------------------------------------------------------------------------------------
// Value check

void TRiZedIzAdeClass::VerificaValor(Currency Valor) {
  const Currency v = Valor.RoundToCentsHalfEven();
  if (v <= Currency()) throw std::runtime_error("Valor inválido");

  TRiZedIzAdeRespostasPendentes& pendentes = fRiZedIzAde->RespostasPendentes();
  pendentes.SetSaldoAPagar(v);

  const double trocoMaximo = fRiZedIzAde->TrocoMaximo();
  if (trocoMaximo > 0) {
    const Currency troco = Currency::FromDouble(trocoMaximo);
    if (v > pendentes.SaldoRestante() + troco)
      throw std::runtime_error("Operação TEF permite Troco Máximo de R$ " +
                               troco.Format(decimal_separator()));
  }

  const int32_t maximo = fRiZedIzAde->NumeroMaximoCartoes();
  if (fRiZedIzAde->MultiplosCartoes() && maximo > 0 && pendentes.Count() >= maximo)
    throw std::runtime_error("Multiplos Cartões Limitado a " + std::to_string(maximo) +
                             " operações.");
}
