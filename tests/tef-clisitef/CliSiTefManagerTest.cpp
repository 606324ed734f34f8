// The CliSiTef manager's loading and configuration, driven through the stand-in library
// copied into a scratch service folder per test.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/IniFile.h"
#include "tef/RiZedIzAde.h"
#include "tef/RiZedIzAdeTef.h"

namespace fs = std::filesystem;

namespace {

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class CliSiTefManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = fs::temp_directory_path() /
             ("clisitef-manager-" + std::to_string(getpid()) + "-" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder);
    fs::create_directories(folder / "dll");
    fs::copy_file(SIM_LIBRARY, folder / "dll" / "CliSiTef32I.dll");
    fs::copy_file(SIM_SETTINGS, folder / "dll" / "CliSiTef.ini");
    tef = std::make_unique<TRiZedIzAde>();
    tef->AddManager(std::make_unique<TRiZedIzAdeCliSiTef>(*tef));
    tef->SetPathBackup((folder / "TEF").string());
    tef->SetArqLOG((folder / "tef.log").string());
    tef->SetGPAtual(gpCliSiTef);
    manager = tef->TEFCliSiTef();
    ASSERT_EQ(tef->TefClass(), manager);
    ASSERT_NE(manager, nullptr);
    manager->SetPathDLL((folder / "dll").string());
    manager->SetEnderecoIP("127.0.0.1");
    manager->SetCodigoLoja("00000000");
    manager->SetNumeroTerminal("NV000001");
    manager->SetModoServico(true);
  }
  void TearDown() override {
    if (manager) manager->DesInicializar();
    tef.reset();
    fs::remove_all(folder);
  }
  void set_setting(const std::string& key, const std::string& value) {
    norvane::TIniFile((folder / "dll" / "CliSiTef.ini").string()).WriteString("Simulator", key, value);
  }
  // A new file rather than new bytes in the old one: rewriting a library that is still
  // mapped would change code under the running process.
  void install_library(const char* source) {
    fs::remove(folder / "dll" / "CliSiTef32I.dll");
    fs::copy_file(source, folder / "dll" / "CliSiTef32I.dll");
  }
  std::string tef_log() { return read_file(folder / "tef.log"); }

  fs::path folder;
  std::unique_ptr<TRiZedIzAde> tef;
  TRiZedIzAdeCliSiTef* manager = nullptr;
};

TEST_F(CliSiTefManagerTest, DefaultsOfANewManager) {
  EXPECT_EQ(manager->Name(), "CliSiTef");
  EXPECT_EQ(manager->Tipo(), gpCliSiTef);
  EXPECT_EQ(manager->OperacaoCRT(), 0);
  EXPECT_EQ(manager->OperacaoCHQ(), 1);
  EXPECT_EQ(manager->OperacaoADM(), 110);
  EXPECT_EQ(manager->OperacaoATV(), 111);
  EXPECT_EQ(manager->OperacaoReImpressao(), 112);
  EXPECT_EQ(manager->OperacaoCNC(), 200);
  EXPECT_NE(dynamic_cast<TRiZedIzAdeRespCliSiTef*>(&manager->Resp()), nullptr);
  EXPECT_EQ(manager->Resp().TipoGP(), gpCliSiTef);
  for (int vias : {1, 3}) {
    manager->SetNumVias(vias);
    EXPECT_EQ(manager->NumVias(), 2);
  }
}

TEST_F(CliSiTefManagerTest, LibraryPathRule) {
  manager->SetPathDLL("  /opt/tef ");
  EXPECT_EQ(manager->CaminhoBiblioteca(), "/opt/tef/CliSiTef32I.dll");
  manager->SetPathDLL("/opt/tef/");
  EXPECT_EQ(manager->CaminhoBiblioteca(), "/opt/tef/CliSiTef32I.dll");
  manager->SetPathDLL("");
  EXPECT_EQ(manager->CaminhoBiblioteca(), "CliSiTef32I.dll");
}

TEST_F(CliSiTefManagerTest, InitialisesWithTheStandInAndLogsTheConfiguration) {
  manager->SetParametrosAdicionais({"PortaPinPad=AUTO_USB"});
  manager->Inicializar();
  EXPECT_TRUE(manager->Inicializado());
  EXPECT_TRUE(manager->BibliotecaCarregada());
  const std::string log = tef_log();
  EXPECT_NE(log.find("*** ConfiguraIntSiTefInterativoEx. EnderecoIP: 127.0.0.1 CodigoLoja: 00000000 "
                     "NumeroTerminal: NV000001 Resultado: 0 ParametrosAdicionais: "
                     "[PortaPinPad=AUTO_USB];{ValorIncluiTaxa=0;};"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("CliSiTef Inicializado CliSiTEF"), std::string::npos) << log;

  // Already initialised: nothing happens, not even a log line.
  const size_t size = log.size();
  manager->Inicializar();
  EXPECT_EQ(tef_log().size(), size);
}

TEST_F(CliSiTefManagerTest, MissingLibraryOrFunctionLeavesTheManagerUninitialised) {
  fs::remove(folder / "dll" / "CliSiTef32I.dll");
  try {
    manager->Inicializar();
    FAIL() << "no library, yet initialised";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "Erro ao carregar a função:ConfiguraIntSiTefInterativoEx de: CliSiTef32I.dll");
  }
  EXPECT_FALSE(manager->Inicializado());

  // Not a shared object at all.
  std::ofstream(folder / "dll" / "CliSiTef32I.dll", std::ios::trunc) << "MZ this is not a library";
  EXPECT_THROW(manager->Inicializar(), std::runtime_error);
  EXPECT_FALSE(manager->Inicializado());

  install_library(INCOMPLETE_LIBRARY);
  try {
    manager->Inicializar();
    FAIL() << "a function is missing, yet initialised";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "Erro ao carregar a função:VerificaPresencaPinPad de: CliSiTef32I.dll");
  }
  EXPECT_FALSE(manager->Inicializado());
  // Half-loaded: the pin-pad calls still refuse instead of calling a missing function.
  EXPECT_THROW(manager->VerificarPresencaPinPad(), std::runtime_error);
}

// Unloading the library would wipe what it holds in memory (its approved, unsettled
// sales), so a re-initialisation only looks the entry points up again; only a library
// that failed to load whole is released, so that a corrected folder takes effect.
TEST_F(CliSiTefManagerTest, TheLibraryStaysLoadedAcrossReinitialisationButAFailedLoadIsReleased) {
  const std::string path = (folder / "dll" / "CliSiTef32I.dll").string();
  auto loaded = [](const std::string& library) {
    void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle) dlclose(handle);
    return handle != nullptr;
  };
  manager->Inicializar();
  manager->DesInicializar();
  EXPECT_FALSE(manager->Inicializado());
  EXPECT_FALSE(manager->BibliotecaCarregada());
  EXPECT_TRUE(loaded(path));
  manager->Inicializar();
  EXPECT_TRUE(manager->Inicializado());
  manager->DesInicializar();

  // Another folder, whose library lacks an entry point: refused and given back whole.
  fs::create_directories(folder / "dll2");
  fs::copy_file(INCOMPLETE_LIBRARY, folder / "dll2" / "CliSiTef32I.dll");
  fs::copy_file(SIM_SETTINGS, folder / "dll2" / "CliSiTef.ini");
  manager->SetPathDLL((folder / "dll2").string());
  EXPECT_THROW(manager->Inicializar(), ERiZedIzAdeErro);
  EXPECT_FALSE(manager->Inicializado());
  EXPECT_FALSE(loaded((folder / "dll2" / "CliSiTef32I.dll").string()));
  // The right library put there: the next start takes it.
  fs::remove(folder / "dll2" / "CliSiTef32I.dll");
  fs::copy_file(SIM_LIBRARY, folder / "dll2" / "CliSiTef32I.dll");
  manager->Inicializar();
  EXPECT_TRUE(manager->Inicializado());
}

TEST_F(CliSiTefManagerTest, ConfigurationResults) {
  const std::map<int, std::string> errors = {
      {1, "Endereço IP inválido ou não resolvido"},
      {2, "Código da loja inválido"},
      {3, "Código de terminal inválido"},
      {6, "Erro na inicialização do TCP/IP"},
      {7, "Falta de memória"},
      {8, "Não encontrou a dll do \"TEF\" ou ela está com problemas"},
      {10, "O PinPad não está devidamente configurado no arquivo CliSiTef.ini"},
      {11, "Dados inválidos passados pela automação."},
      {12, "Modo seguro não ativo (possível falta de configuração no servidor SiTef do arquivo .cha)."},
      {13, "Caminho da DLL inválido (o caminho completo das bibliotecas está muito grande)."},
  };
  for (int result = 0; result <= 14; ++result) {
    SCOPED_TRACE("result " + std::to_string(result));
    set_setting("ConfigureResult", std::to_string(result));
    auto error = errors.find(result);
    if (error == errors.end()) {
      EXPECT_NO_THROW(manager->Inicializar());
      EXPECT_TRUE(manager->Inicializado());
    } else {
      try {
        manager->Inicializar();
        ADD_FAILURE() << "configured";
      } catch (const ERiZedIzAdeErro& e) {
        EXPECT_EQ(e.what(), error->second);
      }
      EXPECT_FALSE(manager->Inicializado());
    }
    manager->DesInicializar();
  }
}

TEST_F(CliSiTefManagerTest, ConfigurationErrorOutsideServiceModeIsShownToTheOperator) {
  std::vector<std::string> shown;
  tef->OnExibeMsg = [&](TRiZedIzAdeOperacaoMensagem, const std::string& text, TModalResult&) {
    shown.push_back(text);
  };
  manager->SetModoServico(false);
  set_setting("ConfigureResult", "2");
  EXPECT_THROW(manager->Inicializar(), ERiZedIzAdeErro);
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0], "Código da loja inválido");

  shown.clear();
  manager->SetModoServico(true);
  EXPECT_THROW(manager->Inicializar(), ERiZedIzAdeErro);
  EXPECT_TRUE(shown.empty());

  // With nobody to show it to, the caller still hears the configuration error itself.
  tef->OnExibeMsg = nullptr;
  manager->SetModoServico(false);
  try {
    manager->Inicializar();
    FAIL();
  } catch (const ERiZedIzAdeErro& e) {
    EXPECT_STREQ(e.what(), "Código da loja inválido");
  }
}

TEST_F(CliSiTefManagerTest, AdditionalParameterString) {
  struct Row {
    std::vector<std::string> lines;
    std::string loja, vantor, expected;
  };
  const Row rows[] = {
      {{}, "", "", "[];{ValorIncluiTaxa=0;};"},
      {{"A=1", "B=2"}, " 123 ", "456", "[A=1;B=2];{ValorIncluiTaxa=0;};[ParmsClient=1=123;2=456];"},
      {{"A=1", "B=2"}, "123", "", "[A=1;B=2];{ValorIncluiTaxa=0;};"},
      {{"A=1", "B=2"}, "", "456", "[A=1;B=2];{ValorIncluiTaxa=0;};"},
      {{"  A=1", "", "B=2  "}, "", "", "[A=1;;B=2];{ValorIncluiTaxa=0;};"},
  };
  for (const Row& row : rows)
    EXPECT_EQ(TRiZedIzAdeCliSiTef::MontaParametrosAdicionais(row.lines, row.loja, row.vantor), row.expected);
}

TEST_F(CliSiTefManagerTest, PinPadPresenceAnswers) {
  EXPECT_THROW(manager->VerificarPresencaPinPad(), std::runtime_error);
  EXPECT_THROW(manager->DefineMensagemPermanentePinPad("x"), std::runtime_error);
  EXPECT_THROW(manager->ObtemQuantidadeTransacoesPendentes(0, ""), std::runtime_error);
  manager->Inicializar();
  const std::pair<const char*, const char*> rows[] = {
      {"-1", "Erro na DLL ou arquivo .INI do PINPAD"},
      {"0", "Nenhum PINPAD conectado..."},
      {"1", "PINPAD conectado com sucesso..."},
      {"2", ""},
  };
  for (auto [answer, text] : rows) {
    set_setting("PinPad", answer);
    EXPECT_EQ(manager->VerificarPresencaPinPad(), text) << "answer " << answer;
  }
}

TEST_F(CliSiTefManagerTest, PendingCountAndPinPadMessageReachTheLibrary) {
  manager->Inicializar();
  set_setting("PendingCount", "4");
  set_setting("PinPadMessageResult", "7");
  TDateTime data;
  ASSERT_TRUE(TryEncodeDate(2026, 12, 9, data));
  EXPECT_EQ(manager->ObtemQuantidadeTransacoesPendentes(data, ""), 4);
  EXPECT_EQ(manager->DefineMensagemPermanentePinPad("NORVANE"), 7);
  const std::string journal = read_file(folder / "dll" / "CliSiTef.journal");
  EXPECT_NE(journal.find("20261209"), std::string::npos) << journal;
  EXPECT_NE(journal.find("NORVANE"), std::string::npos) << journal;
}

TEST_F(CliSiTefManagerTest, AtivarGPIsRefused) {
  try {
    manager->AtivarGP();
    FAIL();
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "CliSiTef não pode ser ativado localmente");
  }
  EXPECT_NO_THROW(manager->VerificaAtivo());
}

}  // namespace
