#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "RoutingFixture.h"
#include "platform/IniFile.h"
#include "platform/GravaLog.h"
#include "platform/Installation.h"

namespace {

using norvane::Json;
namespace fs = std::filesystem;

// Session starts with the TLS gateway: CONFITLS.INI for the library and its control folder,
// which a new registration moves away (under a root of the test's own).
class TefInitTest : public RoutingTest {
 protected:
  void SetUp() override {
    RoutingTest::SetUp();
    setenv("NORVANE_CLISITEF_ROOT", (folder_ + "/CliSiTef").c_str(), 1);
    fs::create_directories(CliSiTefControlFolder());
  }
  void TearDown() override {
    unsetenv("NORVANE_CLISITEF_ROOT");
    RoutingTest::TearDown();
  }
  std::vector<std::string> StartTls(const std::string& token) {
    Json claims = ValidClaims();
    claims["connection_type"] = "TLS";
    claims["store_cnpj"] = "12.345.678/0001-90";
    claims["tef_cnpj"] = "98765432000110";
    claims["registration_token"] = token;
    return RouteStart(StartMessage(claims));
  }
  std::string Tls(const char* key) {
    return norvane::TIniFile(folder_ + "/dll/CONFITLS.INI").ReadString("ConfiguracaoTLS", key, "<absent>");
  }
  std::string LogText() {
    std::ifstream file(norvane::service_log_file());
    return std::string(std::istreambuf_iterator<char>(file), {});
  }
  // The control folder's name after a move at the fixture's clock: "-ddmmyyyyhhnnss".
  std::string MovedName() {
    const std::time_t when = std::chrono::system_clock::to_time_t(clock_);
    std::tm local{};
    localtime_r(&when, &local);
    char suffix[32];
    std::strftime(suffix, sizeof suffix, "-%d%m%Y%H%M%S", &local);
    return CliSiTefControlFolder() + suffix;
  }
};

TEST_F(TefInitTest, ANewRegistrationTokenRewritesTheFileAndMovesTheControlFolder) {
  std::ofstream(folder_ + "/CliSiTef/NaoExcluirControleCliSiTef/estado.dat") << "old";
  StartTls("TOKEN-1");
  EXPECT_EQ(Tls("TipoComunicacaoExterna"), "TLSGWP");
  EXPECT_NE(Tls("URLTLS"), "<absent>");
  EXPECT_EQ(Tls("TokenRegistro"), "TOKEN-1");
  EXPECT_TRUE(fs::exists(MovedName() + "/estado.dat"));
  EXPECT_FALSE(fs::exists(CliSiTefControlFolder()));
  const std::string log = LogText();
  EXPECT_NE(log.find("Alterou Token de Registro SiTef de \"\" para \"TOKEN-1\""), std::string::npos);
  EXPECT_NE(log.find("Pasta de controle do SiTef renomeada para: " + MovedName()), std::string::npos);
  EXPECT_EQ(dm_.Tef().CNPJLoja(), "12345678000190");
  EXPECT_EQ(dm_.Tef().CNPJVantor(), "98765432000110");

  // The library made a new folder; the same token again leaves it where it is.
  fs::create_directories(CliSiTefControlFolder());
  clock_ += std::chrono::seconds(5);
  StartTls("TOKEN-1");
  EXPECT_TRUE(fs::exists(CliSiTefControlFolder()));
  EXPECT_FALSE(fs::exists(MovedName()));
}

TEST_F(TefInitTest, AStartWithoutTlsDeletesTheFileAndEmptiesTheCnpjs) {
  StartTls("TOKEN-1");
  ASSERT_TRUE(fs::exists(folder_ + "/dll/CONFITLS.INI"));
  Route(StartMessage(ValidClaims()));
  EXPECT_FALSE(fs::exists(folder_ + "/dll/CONFITLS.INI"));
  EXPECT_EQ(dm_.Tef().CNPJLoja(), "");
  EXPECT_EQ(dm_.Tef().CNPJVantor(), "");
  EXPECT_FALSE(probe_.TlsConnection());
}

TEST_F(TefInitTest, EveryStartWithoutTlsDeletesATlsFileWhoeverMadeIt) {
  const std::string file = folder_ + "/dll/CONFITLS.INI";
  const auto put_back = [&] { std::ofstream(file) << "[ConfiguracaoTLS]\nTokenRegistro=OLD\n"; };
  put_back();  // from before this process (an earlier run)
  Route(StartMessage(ValidClaims()));
  EXPECT_FALSE(fs::exists(file));
  // Made again by someone else: the next start deletes it, though it changes nothing else
  // and is answered on the connection's thread.
  put_back();
  channel_.sent.clear();
  ASSERT_TRUE(dm_.RouteQuickly(StartMessage(ValidClaims())));
  ASSERT_EQ(channel_.sent.size(), 1u);
  EXPECT_NE(channel_.sent[0].find(R"("status":"created")"), std::string::npos);
  EXPECT_FALSE(fs::exists(file));
}

TEST_F(TefInitTest, AMissingControlFolderIsNoError) {
  fs::remove_all(CliSiTefControlFolder());
  const auto replies = StartTls("TOKEN-2");
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_NE(replies[0].find(R"("status":"created")"), std::string::npos);
  EXPECT_EQ(LogText().find("Pasta de controle"), std::string::npos);
}

// `[sitef] clisitef_library` names the library file wherever the vendor's package put it:
// the library is loaded from there, its own files (CONFITLS.INI) are written beside it, and
// "/version" reads that file.
TEST_F(TefInitTest, TheLibraryKeyLoadsALibraryAtAnotherPath) {
  for (const bool absolute : {false, true}) {
    SCOPED_TRACE(absolute ? "absolute path" : "relative to the service folder");
    const std::string folder = folder_ + (absolute ? "/opt-vendor/lib" : "/vendor");
    fs::create_directories(folder);
    fs::copy_file(folder_ + "/dll/CliSiTef32I.dll", folder + "/libclisitef.so");
    fs::copy_file(folder_ + "/dll/CliSiTef.ini", folder + "/CliSiTef.ini");
    std::ofstream(folder_ + "/" + norvane::exe_base_name() + ".ini")
        << "[sitef]\npdv_number=3\nclisitef_library="
        << (absolute ? folder + "/libclisitef.so" : "vendor/libclisitef.so") << "\n";
    TDmSitef dm;  // a first start: the library is loaded now
    dm.SetClientChannel(&channel_);
    dm.Tef().SetArqLOG(folder_ + "/tef.log");
    Json claims = ValidClaims();
    claims["connection_type"] = "TLS";
    claims["store_cnpj"] = "12345678000190";
    claims["tef_cnpj"] = "98765432000110";
    claims["registration_token"] = "TOKEN-1";
    channel_.sent.clear();
    dm.RouteTargeting(StartMessage(claims));
    ASSERT_FALSE(channel_.sent.empty());
    EXPECT_NE(channel_.sent.back().find(R"("status":"created")"), std::string::npos) << channel_.sent.back();
    std::ifstream journal(folder + "/CliSiTef.journal");
    const std::string calls(std::istreambuf_iterator<char>(journal), {});
    EXPECT_NE(calls.find("ConfiguraIntSiTefInterativoEx"), std::string::npos);
    EXPECT_EQ(dynamic_cast<TRiZedIzAdeCliSiTef&>(dm.Tef().TEFList()[0]).CaminhoBiblioteca(), folder + "/libclisitef.so");
    EXPECT_EQ(norvane::TIniFile(folder + "/CONFITLS.INI").ReadString("ConfiguracaoTLS", "TokenRegistro", ""), "TOKEN-1");
    EXPECT_FALSE(fs::exists(folder_ + "/dll/CONFITLS.INI"));
    channel_.sent.clear();
    dm.RouteTargeting(R"({"route":"/version","type":"version","category":"clisitef_dll"})");
    ASSERT_EQ(channel_.sent.size(), 1u);
    const Json version = norvane::parse_json_text(channel_.sent[0]).value;
    EXPECT_NE(version.value("version", ""), "Versão não encontrada") << channel_.sent[0];
  }
}

// A package installation without the simulator package never pays with a stand-in found at
// the key's default path; the simulator package, or a key that names the file, allows it.
TEST_F(TefInitTest, TheStandInAtTheDefaultPathIsRefusedInAPackageInstallationWithoutTheSimulator) {
  struct Case {
    const char* what;
    std::vector<std::string> packages;
    bool key_names_it;
    bool refused;
  };
  const Case cases[] = {
      {"a development folder (no package)", {}, false, false},
      {"the server package alone", {norvane::kServerPackage}, false, true},
      {"the server package and the simulator", {norvane::kServerPackage, norvane::kSimulatorPackage}, false, false},
      {"the server package alone, the key naming the stand-in", {norvane::kServerPackage}, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(folder_ + "/installed-by");
    fs::create_directories(folder_ + "/installed-by");
    for (const std::string& package : c.packages) std::ofstream(folder_ + "/installed-by/" + package) << "x\n";
    std::ofstream(folder_ + "/" + norvane::exe_base_name() + ".ini")
        << "[sitef]\npdv_number=3\n" << (c.key_names_it ? "clisitef_library=dll/CliSiTef32I.dll\n" : "");
    TDmSitef dm;
    dm.SetClientChannel(&channel_);
    dm.Tef().SetArqLOG(folder_ + "/tef.log");
    channel_.sent.clear();
    dm.RouteTargeting(StartMessage(ValidClaims()));
    ASSERT_FALSE(channel_.sent.empty());
    const std::string& reply = channel_.sent.back();
    if (c.refused) {
      EXPECT_NE(reply.find("simulador da CliSiTef"), std::string::npos) << reply;
      EXPECT_NE(reply.find(norvane::kSimulatorPackage), std::string::npos) << reply;
      EXPECT_FALSE(dynamic_cast<TRiZedIzAdeCliSiTef&>(dm.Tef().TEFList()[0]).BibliotecaCarregada());
    } else {
      EXPECT_NE(reply.find(R"("status":"created")"), std::string::npos) << reply;
    }
  }
}

}  // namespace
