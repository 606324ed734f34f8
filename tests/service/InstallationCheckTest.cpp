#include "service/InstallationCheck.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <condition_variable>
#include <string>

#include "../websocket/TlsTestClient.h"
#include "platform/ExeFolder.h"
#include "platform/Installation.h"
#include "routing/Jwt.h"
#include "websocket/ServerThread.h"

namespace {

namespace fs = std::filesystem;
using norvane::CheckLevel;
using norvane::CheckLine;

// A self-signed certificate valid from `from_days` to `to_days` around now, and its key.
void write_certificate(const std::string& folder, long from_days, long to_days) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 7);
  X509_gmtime_adj(X509_getm_notBefore(cert), from_days * 86400);
  X509_gmtime_adj(X509_getm_notAfter(cert), to_days * 86400);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
  X509_set_issuer_name(cert, X509_get_subject_name(cert));
  X509_set_pubkey(cert, key);
  X509_sign(cert, key, EVP_sha256());
  FILE* out = std::fopen((folder + "Certificado/server_cert.pem").c_str(), "w");
  PEM_write_X509(out, cert);
  std::fclose(out);
  out = std::fopen((folder + "Certificado/server_key.pem").c_str(), "w");
  PEM_write_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr);
  std::fclose(out);
  X509_free(cert);
  EVP_PKEY_free(key);
}

// A key of its own, matching no certificate.
void write_other_key(const std::string& file) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  FILE* out = std::fopen(file.c_str(), "w");
  PEM_write_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr);
  std::fclose(out);
  EVP_PKEY_free(key);
}

// A socket listening on every address: another program on the service's port.
struct PortBlocker {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  explicit PortBlocker(uint16_t port) {
    const int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(fd, 4);
  }
  ~PortBlocker() { ::close(fd); }
};

// What a case breaks: the service folder, and the [sitef] keys of its ini.
struct Installation {
  std::string dir;
  std::map<std::string, std::string> ini;
};

// A shop's installation that is ready for real payments: certificate, a key of its own,
// the sales application's origin, a library in the vendor's place named by the key, a
// writable TEF/ and a free port. Each case breaks one thing of it.
class InstallationCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // No unit of this scratch folder is installed: the check judges for the user running it.
    setenv("NORVANE_SYSTEMD_DIR", units_.path.c_str(), 1);
    Prepare();
  }
  // A new installation, ready for real payments, in a folder of its own.
  void Prepare() {
    scratch_ = std::make_unique<testing_support::ScratchFolder>();
    install_.dir = scratch_->path;
    testing_support::put_certificates(install_.dir);
    norvane::set_exe_folder_for_tests(install_.dir);
    fs::create_directories(install_.dir + "vendor");
    fs::copy_file(VENDOR_LIBRARY, install_.dir + "vendor/libclisitef.so");
    fs::create_directories(install_.dir + "TEF");
    fs::permissions(install_.dir + "TEF", fs::perms::owner_all);
    port_ = testing_support::free_loopback_port();
    install_.ini = {{"server_port", std::to_string(port_)},
            {"pdv_number", "1"},
            {"jwt_secret", "a-key-of-this-shop-0123456789abcdef"},
            {"allowed_origins", "https://vendas.example"},
            {"clisitef_library", "vendor/libclisitef.so"}};
  }
  void TearDown() override {
    unsetenv("NORVANE_SYSTEMD_DIR");
    norvane::set_exe_folder_for_tests("");
  }

  std::vector<CheckLine> Check() {
    std::ofstream ini(install_.dir + norvane::exe_base_name() + ".ini");
    ini << "[sitef]\n";
    for (const auto& [key, value] : install_.ini) ini << key << "=" << value << "\n";
    ini.close();
    norvane::CheckOptions options;
    // Printers known to the test, as CUPS would answer for them.
    options.printer_problem = [](const std::string& name) -> std::string {
      return name == "Recibo80" ? "" : "unknown to CUPS, or CUPS is not running (lpstat -p lists the printers)";
    };
    return norvane::CheckInstallation(options);
  }

  static std::string Shown(const std::vector<CheckLine>& lines) {
    std::string text;
    for (const CheckLine& line : lines) text += norvane::FormatCheckLine(line) + "\n";
    return text;
  }

  testing_support::ScratchFolder units_;
  std::unique_ptr<testing_support::ScratchFolder> scratch_;
  uint16_t port_ = 0;
  Installation install_;
};

TEST_F(InstallationCheckTest, AShopsInstallationIsReadyForRealPayments) {
  install_.ini["printer"] = "Recibo80";
  const auto lines = Check();
  EXPECT_EQ(norvane::CheckExitStatus(lines), 0) << Shown(lines);
  const std::string shown = Shown(lines);
  for (const char* said : {"every one valid", "valid until", "load as a start loads them", "jwt_secret: a key",
                           "allowed_origins: https://vendas.example", "exports the 12 functions", "printer \"Recibo80\"",
                           "no unsettled payments", "is free", "pt_BR.UTF-8"})
    EXPECT_NE(shown.find(said), std::string::npos) << said << "\n" << shown;
}

// Each broken installation, with its exit status and the line that names the fault.
TEST_F(InstallationCheckTest, EachBrokenInstallationIsNamedWithItsExitStatus) {
  struct Case {
    const char* what;
    std::function<void(Installation&)> breakIt;
    int status;
    CheckLevel level;
    const char* line;
  };
  const Case cases[] = {
      {"no certificate", [](Installation& i) { fs::remove(i.dir + "Certificado/server_cert.pem"); }, 2,
       CheckLevel::Fatal, "server_cert.pem is missing"},
      {"expired certificate", [](Installation& i) { write_certificate(i.dir, -400, -2); }, 2, CheckLevel::Fatal,
       "expired on"},
      {"certificate about to expire", [](Installation& i) { write_certificate(i.dir, -300, 10); }, 1,
       CheckLevel::Unsafe, "expires in "},
      {"key not matching", [](Installation& i) { write_other_key(i.dir + "Certificado/server_key.pem"); }, 2,
       CheckLevel::Fatal, "is not the key of"},
      {"no CA", [](Installation& i) { fs::remove(i.dir + "Certificado/ca_cert.pem"); }, 2, CheckLevel::Fatal,
       "ca_cert.pem is missing"},
      {"built-in key", [](Installation& i) { i.ini["jwt_secret"] = kSharedTokenSecret; }, 1, CheckLevel::Unsafe,
       "built-in token key"},
      {"no origins", [](Installation& i) { i.ini.erase("allowed_origins"); }, 1, CheckLevel::Unsafe,
       "allowed_origins is empty"},
      {"an origin no page can have", [](Installation& i) { i.ini["allowed_origins"] = "vendas.example"; }, 2,
       CheckLevel::Fatal, "allowed_origins=vendas.example holds \"vendas.example\""},
      {"a port that is no number", [](Installation& i) { i.ini["server_port"] = "84a3"; }, 2, CheckLevel::Fatal,
       "server_port=84a3 is not a whole number"},
      {"a misspelt key", [](Installation& i) { i.ini["alowed_origins"] = "x"; }, 1, CheckLevel::Unsafe,
       "alowed_origins is no key"},
      {"missing library", [](Installation& i) { i.ini["clisitef_library"] = "/opt/CliSiTef/libclisitef.so"; }, 2,
       CheckLevel::Fatal, "/opt/CliSiTef/libclisitef.so ([sitef] clisitef_library) not found"},
      {"the stand-in",
       [](Installation& i) {
         fs::copy_file(SIM_LIBRARY, i.dir + "vendor/sim.so");
         i.ini["clisitef_library"] = "vendor/sim.so";
       },
       1, CheckLevel::Unsafe, "is the STAND-IN"},
      {"the stand-in at the default path of a package without the simulator",
       [](Installation& i) {
         fs::create_directories(i.dir + "dll");
         fs::copy_file(SIM_LIBRARY, i.dir + "dll/CliSiTef32I.dll");
         fs::create_directories(i.dir + "installed-by");
         std::ofstream(i.dir + "installed-by/" + norvane::kServerPackage) << "x\n";
         i.ini.erase("clisitef_library");
       },
       2, CheckLevel::Fatal, "the service refuses it"},
      {"a library without one of the functions",
       [](Installation& i) {
         fs::copy_file(INCOMPLETE_LIBRARY, i.dir + "vendor/incomplete.so");
         i.ini["clisitef_library"] = "vendor/incomplete.so";
       },
       2, CheckLevel::Fatal, "it lacks functions the service calls: VerificaPresencaPinPad"},
      {"a file that is no library",
       [](Installation& i) {
         std::ofstream(i.dir + "vendor/libclisitef.so", std::ios::trunc) << "MZ not an ELF file";
       },
       2, CheckLevel::Fatal, "it does not load"},
      {"unknown printer", [](Installation& i) { i.ini["printer"] = "Impressora Sumida"; }, 1, CheckLevel::Unsafe,
       "printer \"Impressora Sumida\" ([sitef] printer): unknown to CUPS"},
      {"read-only TEF/", [](Installation& i) { fs::permissions(i.dir + "TEF", fs::perms::owner_read | fs::perms::owner_exec); },
       2, CheckLevel::Fatal, "is not writable by"},
      {"unsettled backups",
       [](Installation& i) {
         std::ofstream(i.dir + "TEF/RiZedIzAde_CliSiTef_001.tef") << "000-000 = CRT\n";
         std::ofstream(i.dir + "TEF/results.json") << "[]";
       },
       1, CheckLevel::Unsafe, "holds 1 payment(s) approved and not yet settled"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Prepare();
    c.breakIt(install_);
    const auto lines = Check();
    const std::string shown = Shown(lines);
    EXPECT_EQ(norvane::CheckExitStatus(lines), c.status) << shown;
    bool named = false;
    for (const CheckLine& line : lines) named = named || (line.level == c.level && line.text.find(c.line) != std::string::npos);
    EXPECT_TRUE(named) << "no line at that level saying \"" << c.line << "\"\n" << shown;
    fs::permissions(install_.dir + "TEF", fs::perms::owner_all);
  }
}

TEST_F(InstallationCheckTest, APortTakenByAnotherProgramStopsTheStartOneHeldByThisServiceDoesNot) {
  {
    PortBlocker other(port_);
    const auto lines = Check();
    EXPECT_EQ(norvane::CheckExitStatus(lines), 2) << Shown(lines);
    EXPECT_NE(Shown(lines).find("FAIL  port " + std::to_string(port_) + " is taken by another program"),
              std::string::npos) << Shown(lines);
  }
  TListenerSettings settings;
  settings.Port = port_;
  settings.OnMessage = [](const std::string&, TIdContext*) {};
  settings.OnClientGone = [] {};
  TServerThread listener(std::move(settings));
  std::mutex mutex;
  std::condition_variable started;
  bool open = false;
  listener.OnStarted = [&](const std::string&) {
    std::lock_guard<std::mutex> lock(mutex);
    open = true;
    started.notify_all();
  };
  listener.Start();
  {
    std::unique_lock<std::mutex> lock(mutex);
    started.wait(lock, [&] { return open; });
  }
  ASSERT_TRUE(listener.Listening()) << listener.StartError();
  const auto lines = Check();
  EXPECT_EQ(norvane::CheckExitStatus(lines), 0) << Shown(lines);
  EXPECT_NE(Shown(lines).find("ok    port " + std::to_string(port_) + " is held by this service"), std::string::npos)
      << Shown(lines);
  listener.SwitchOff();
  listener.WaitFor();
}

}  // namespace
