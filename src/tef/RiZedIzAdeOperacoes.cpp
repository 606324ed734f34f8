// The component's initialisation and the transaction operations it forwards to the
// current manager.
#include <filesystem>

#include "platform/CodePage.h"
#include "platform/Text.h"
#include "tef/RiZedIzAde.h"
#include "tef/RiZedIzAdeTef.h"

namespace {

std::string ansi(const std::string& utf8) { return norvane::to_windows1252(utf8); }

}  // namespace

TRiZedIzAdeClass& TRiZedIzAde::Atual() const {
  if (fTefClass == nullptr) throw ERiZedIzAdeErro("Nenhum Gerenciador Padrão selecionado");
  return *fTefClass;
}

void TRiZedIzAde::Seleciona(TRiZedIzAdeTipo GP) {
  if (GP != gpNenhum) SetGPAtual(GP);
}

// ---------------------------------------------------------------------------------------
// Initialisation

void TRiZedIzAde::Inicializar(TRiZedIzAdeTipo GP) {
  const std::pair<bool, const char*> exigidos[] = {
      {static_cast<bool>(OnExibeMsg), "Evento \"OnExibeMsg\" não programado"},
      {static_cast<bool>(OnComandaECF), "Evento \"OnComandaECF\" não programado"},
      {static_cast<bool>(OnComandaImpressao), "Evento \"OnComandaImpressão\" não programado"},
      {static_cast<bool>(OnComandaECFAbreVinculado),
       "Evento \"OnComandaECFAbreVinculado\" não programado"},
      {static_cast<bool>(OnComandaECFImprimeVia), "Evento \"OnComandaECFImprimeVia\" não programado"},
      {static_cast<bool>(OnInfoECF), "Evento \"OnInfoECF\" não programado"},
  };
  for (const auto& [atribuido, mensagem] : exigidos)
    if (!atribuido) throw ERiZedIzAdeErro(mensagem);

  const std::string pasta = PathBackup();
  std::error_code ec;
  std::filesystem::create_directories(pasta, ec);
  if (!std::filesystem::is_directory(pasta, ec))
    throw ERiZedIzAdeErro("Diretório de Backup não existente:\r\n" + pasta);

  if (GP != gpNenhum) {
    SetGPAtual(GP);
    TRiZedIzAdeClass& gerenciador = Atual();
    try {
      gerenciador.SetInicializado(true);
      gerenciador.SetHabilitado(true);
    } catch (const std::exception& e) {
      // The operator gets one plain message; what went wrong is in the TEF log.
      GravaLog(gerenciador.Name() + " Inicializar: " + e.what());
      gerenciador.SetInicializado(false);
      throw ERiZedIzAdeErro("Erro ao conectar com servidor TEF");
    }
    return;
  }

  std::string erros;
  for (const auto& gerenciador : fTEFList) {
    if (!gerenciador->Habilitado()) continue;
    try {
      gerenciador->SetInicializado(true);
    } catch (const std::exception& e) {
      gerenciador->SetInicializado(false);
      erros += std::string(e.what()) + "\r\n";
    }
  }
  if (!erros.empty()) throw ERiZedIzAdeErro(erros);
}

void TRiZedIzAde::DesInicializar(TRiZedIzAdeTipo GP) {
  if (GP != gpNenhum) {
    SetGPAtual(GP);
    Atual().SetInicializado(false);
    return;
  }
  for (const auto& gerenciador : fTEFList)
    if (gerenciador->Habilitado()) gerenciador->SetInicializado(false);
}

bool TRiZedIzAde::Inicializado(TRiZedIzAdeTipo GP) {
  Seleciona(GP);
  return fTefClass != nullptr && fTefClass->Inicializado();
}

void TRiZedIzAde::AtivarGP(TRiZedIzAdeTipo GP) {
  if (GP != gpNenhum) {
    SetGPAtual(GP);
    Atual().AtivarGP();
    return;
  }
  for (const auto& gerenciador : fTEFList)
    if (gerenciador->Habilitado()) gerenciador->AtivarGP();
}

// ---------------------------------------------------------------------------------------
// Transactions

void TRiZedIzAde::ATV(TRiZedIzAdeTipo GP) {
  Seleciona(GP);
  Atual().ATV();
}

bool TRiZedIzAde::ADM(TRiZedIzAdeTipo GP) {
  Seleciona(GP);
  return Atual().ADM();
}

bool TRiZedIzAde::CRT(double Valor, const std::string& IndiceFPG_ECF,
                      const std::string& DocumentoVinculado, int32_t Moeda,
                      const std::string& NumeroCartaoDigitado,
                      const std::string& DataVencimentoDigitado, const std::string& CVVDigitado,
                      const std::string& QtdParcela) {
  return Atual().CRT(Currency::FromDoubleHalfEven(Valor), IndiceFPG_ECF,
                     ansi(NumeroCartaoDigitado), ansi(DataVencimentoDigitado), ansi(CVVDigitado),
                     ansi(QtdParcela), DocumentoVinculado, Moeda);
}

bool TRiZedIzAde::CHQ(double Valor, const std::string& IndiceFPG_ECF,
                      const std::string& DocumentoVinculado, const std::string& CMC7,
                      char TipoPessoa, const std::string& DocumentoPessoa, TDateTime DataCheque,
                      const std::string& Banco, const std::string& Agencia,
                      const std::string& AgenciaDC, const std::string& Conta,
                      const std::string& ContaDC, const std::string& Cheque,
                      const std::string& ChequeDC, const std::string& Compensacao) {
  return Atual().CHQ(Currency::FromDoubleHalfEven(Valor), IndiceFPG_ECF, DocumentoVinculado, CMC7,
                     TipoPessoa, DocumentoPessoa, DataCheque, Banco, Agencia, AgenciaDC, Conta,
                     ContaDC, Cheque, ChequeDC, Compensacao);
}

bool TRiZedIzAde::CNC(const std::string& Rede, const std::string& NSU,
                      TDateTime DataHoraTransacao, double Valor) {
  return Atual().CNC(Rede, NSU, DataHoraTransacao, Currency::FromDoubleHalfEven(Valor));
}

void TRiZedIzAde::CNF(const std::string& Rede, const std::string& NSU,
                      const std::string& Finalizacao, const std::string& DocumentoVinculado) {
  Atual().CNF(Rede, NSU, Finalizacao, DocumentoVinculado);
}

void TRiZedIzAde::NCN(const std::string& Rede, const std::string& NSU,
                      const std::string& Finalizacao, double Valor,
                      const std::string& DocumentoVinculado) {
  Atual().NCN(Rede, NSU, Finalizacao, Currency::FromDoubleHalfEven(Valor), DocumentoVinculado);
}

bool TRiZedIzAde::ConfirmarTransacao(bool Confirma, const std::string& DocumentoVinculado) {
  try {
    if (fTefCliSiTef == nullptr) throw ERiZedIzAdeErro("Gerenciador CliSiTef não disponível");
    fTefCliSiTef->FinalizarTransacao(Confirma, ansi(DocumentoVinculado));
    return true;
  } catch (const std::exception& e) {
    GravaLog("ConfirmarTransacao: " + DocumentoVinculado + ": " + e.what());
    return false;
  }
}

std::string TRiZedIzAde::LerTrilha3() {
  std::string resposta;
  Atual().LerTrilha3(resposta);
  return norvane::from_windows1252(resposta);
}

std::string TRiZedIzAde::LerCartaoSeguro() {
  Atual().LerCartaoSeguro();
  return fDadosTransacao.FIDAmigo;
}

// ---------------------------------------------------------------------------------------
// Settings

void TRiZedIzAdeIdentificacao::SetNomeAplicacao(const std::string& AValue) {
  FNomeAplicacao = norvane::trim(AValue);
}
void TRiZedIzAdeIdentificacao::SetRazaoSocial(const std::string& AValue) {
  FRazaoSocial = norvane::trim(AValue);
}
void TRiZedIzAdeIdentificacao::SetSoftwareHouse(const std::string& AValue) {
  FSoftwareHouse = norvane::trim(AValue);
}
void TRiZedIzAdeIdentificacao::SetVersaoAplicacao(const std::string& AValue) {
  FVersaoAplicacao = norvane::trim(AValue);
}

void TRiZedIzAde::SetNumVias(int32_t AValue) {
  for (const auto& gerenciador : fTEFList)
    if (gerenciador->NumVias() == fNumVias) gerenciador->SetNumVias(AValue);
  fNumVias = AValue;
}

void TRiZedIzAde::SetEsperaSTS(int32_t AValue) {
  for (const auto& gerenciador : fTEFList)
    if (gerenciador->EsperaSTS() == fEsperaSTS) gerenciador->SetEsperaSTS(AValue);
  fEsperaSTS = AValue;
}

std::string TRiZedIzAde::ArqReq() const { return fTefClass ? fTefClass->ArqReq() : ""; }
std::string TRiZedIzAde::ArqResp() const { return fTefClass ? fTefClass->ArqResp() : ""; }
std::string TRiZedIzAde::ArqSTS() const { return fTefClass ? fTefClass->ArqSTS() : ""; }
std::string TRiZedIzAde::ArqTemp() const { return fTefClass ? fTefClass->ArqTmp() : ""; }
std::string TRiZedIzAde::GPExeName() const { return fTefClass ? fTefClass->GPExeName() : ""; }

void TRiZedIzAde::LimparTeclado() {
  bool tratado = false;
  if (OnLimpaTeclado) OnLimpaTeclado(tratado);
}
