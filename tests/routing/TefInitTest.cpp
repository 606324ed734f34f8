#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "RoutingFixture.h"
#include "platform/IniFile.h"
#include "platform/GravaLog.h"

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
  EXPECT_EQ(dm_.RiZedIzAde.CNPJLoja(), "12345678000190");
  EXPECT_EQ(dm_.RiZedIzAde.CNPJVantor(), "98765432000110");

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
  EXPECT_EQ(dm_.RiZedIzAde.CNPJLoja(), "");
  EXPECT_EQ(dm_.RiZedIzAde.CNPJVantor(), "");
  EXPECT_FALSE(dm_.FTLSConnection.load());
}

TEST_F(TefInitTest, AMissingControlFolderIsNoError) {
  fs::remove_all(CliSiTefControlFolder());
  const auto replies = StartTls("TOKEN-2");
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_NE(replies[0].find(R"("status":"created")"), std::string::npos);
  EXPECT_EQ(LogText().find("Pasta de controle"), std::string::npos);
}

}  // namespace
