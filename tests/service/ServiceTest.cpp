#include "service/uNorvaneSiTefService.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstdio>
#include <fstream>

#include "../support/LocalTime.h"
#include "../websocket/TlsTestClient.h"
#include "platform/Clock.h"
#include "platform/ExeFolder.h"
#include "platform/SystemdUnit.h"
#include "platform/GravaLog.h"

using testing_support::port_open;
using testing_support::wait_until;

namespace {

// A service object on a scratch exe folder with certificates; its ini file is named after
// the test program's executable (the folder is fake, the base name is real).
class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing_support::put_certificates(folder_.path);
    norvane::set_exe_folder_for_tests(folder_.path);
  }
  void TearDown() override {
    norvane::set_clock_for_tests(nullptr);
    norvane::set_exe_folder_for_tests("");
  }
  std::string ini_path() { return folder_.path + norvane::exe_base_name() + ".ini"; }
  void write_ini(const std::string& text) { std::ofstream(ini_path(), std::ios::binary) << text; }
  std::string log() { return testing_support::read_file(norvane::service_log_file()); }

  testing_support::ScratchFolder folder_;
};

}  // namespace

TEST_F(ServiceTest, PortRule) {
  struct Case {
    const char* ini;  // nullptr: no file at all
    int port;
  } cases[] = {
      {nullptr, 443},
      {"[sitef]\r\nprinter=x\r\n", 443},
      {"[sitef]\r\nserver_port=-5\r\n", 443},
      {"[sitef]\r\nserver_port=0\r\n", 443},
      {"[sitef]\r\nserver_port=8443\r\n", 8443},
      {"[Sitef]\r\nSERVER_PORT=9443\r\n", 9443},
      {"[outra]\r\nserver_port=9443\r\n", 443},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(ini_path());
    if (c.ini) write_ini(c.ini);
    TNorvaneSiTefService service;
    EXPECT_EQ(service.ServerPort(), c.port) << (c.ini ? c.ini : "no file");
    EXPECT_EQ(service.iniConfig.FileName(), ini_path());
  }
}

TEST_F(ServiceTest, TefLogFileIsChosenOnceAtCreation) {
  auto before_midnight = testing_support::local_time(2026, 12, 31, 23, 59, 0);
  norvane::set_clock_for_tests([&] { return before_midnight; });
  TNorvaneSiTefService service;
  EXPECT_EQ(service.TefLogFileName(), folder_.path + "Log/12-2026/TEF-31-12-2026.log");
  EXPECT_TRUE(std::filesystem::is_directory(folder_.path + "Log/12-2026"));
  EXPECT_EQ(NorvaneSiTefService, &service);
  ASSERT_NE(DmSitef, nullptr);

  norvane::set_clock_for_tests([&] { return before_midnight + std::chrono::hours(1); });
  EXPECT_EQ(service.TefLogFileName(), folder_.path + "Log/12-2026/TEF-31-12-2026.log");
}

TEST_F(ServiceTest, StartPauseContinueStop) {
  uint16_t first_port = testing_support::free_loopback_port();
  write_ini("[sitef]\r\nserver_port=" + std::to_string(first_port) + "\r\n");
  TNorvaneSiTefService service;

  bool started = false;
  service.ServiceStart(started);
  EXPECT_TRUE(started);
  ASSERT_TRUE(wait_until([&] { return port_open(first_port); }));

  bool flag = true;
  service.ServicePause(flag);
  EXPECT_EQ(service.ServerThread(), nullptr);
  EXPECT_FALSE(port_open(first_port));

  // Continue reads server_port again.
  uint16_t second_port = testing_support::free_loopback_port();
  write_ini("[sitef]\r\nserver_port=" + std::to_string(second_port) + "\r\n");
  service.ServiceContinue(flag);
  ASSERT_TRUE(wait_until([&] { return port_open(second_port); }));
  EXPECT_FALSE(port_open(first_port));

  bool stopped = false;
  service.ServiceStop(stopped);
  EXPECT_TRUE(stopped);
  EXPECT_EQ(service.ServerThread(), nullptr);
  EXPECT_FALSE(port_open(second_port));

  // Each line once, in this order.
  std::string lines = log();
  size_t at = 0;
  for (const char* text : {"Iniciando servidor socket.", "O serviço foi inciado.",
                           "O serviço foi pausado.", "Iniciando servidor socket.",
                           "O serviço foi retomado.", "O serviço foi parado."}) {
    size_t found = lines.find(std::string("] ") + text + "\n", at);
    ASSERT_NE(found, std::string::npos) << text << " after position " << at << " in\n" << lines;
    at = found + 1;
  }
}

TEST_F(ServiceTest, StartsWithoutAListenerWhenThePortCannotOpen) {
  std::filesystem::remove_all(folder_.path + "Certificado");
  uint16_t port = testing_support::free_loopback_port();
  write_ini("[sitef]\r\nserver_port=" + std::to_string(port) + "\r\n");
  TNorvaneSiTefService service;
  bool started = false;
  service.ServiceStart(started);
  EXPECT_TRUE(started);
  ASSERT_TRUE(wait_until([&] { return log().find("Servidor socket não iniciado") != std::string::npos; }));
  EXPECT_NE(log().find("] O serviço foi inciado.\n"), std::string::npos);
  EXPECT_FALSE(port_open(port));
  bool stopped = false;
  service.ServiceStop(stopped);
  EXPECT_TRUE(stopped);
}

TEST_F(ServiceTest, APortBeyondSixteenBitsOpensNoListener) {
  write_ini("[sitef]\r\nserver_port=70000\r\n");
  TNorvaneSiTefService service;
  bool started = false;
  service.ServiceStart(started);
  EXPECT_TRUE(started);
  // Not 4464, which is what 70000 becomes in 16 bits.
  EXPECT_EQ(service.ServerThread(), nullptr);
  std::string lines = log();
  EXPECT_NE(lines.find("] Iniciando servidor socket.\n"), std::string::npos) << lines;
  EXPECT_NE(lines.find("] Porta 70000 inválida.\n"), std::string::npos) << lines;
  bool stopped = false;
  service.ServiceStop(stopped);
  EXPECT_TRUE(stopped);
}

namespace {

// Stands in for systemd's notification socket: what the service sends with sd_notify
// arrives here as one datagram.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
      throw std::runtime_error("bind " + path);
    setenv("NOTIFY_SOCKET", path.c_str(), 1);
  }
  ~NotifySocket() {
    unsetenv("NOTIFY_SOCKET");
    ::close(fd_);
    std::filesystem::remove(path_);
  }
  // The next message, or "" when none comes within 10 s.
  std::string next() {
    pollfd wait{fd_, POLLIN, 0};
    if (::poll(&wait, 1, 10000) != 1) return "";
    char buffer[4096];
    ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
  }

 private:
  std::string path_;
  int fd_ = -1;
};

}  // namespace

// systemd (Type=notify) learns the service is up once the port is open, or has failed to
// open; the same line goes to standard output for a person running it by hand, and says
// when dll/ holds the stand-in CliSiTef library, which the log also says at every start.
TEST_F(ServiceTest, SaysItIsUpWhereItListensAndWhetherTheLibraryIsTheStandIn) {
  const std::string stand_in = std::string(NORVANE_BINARY_DIR) + "/tools/clisitef-sim/CliSiTef32I.dll";
  struct Case {
    bool certificate, stand_in, secured;
  } cases[] = {{true, false, true}, {true, true, false}, {false, true, true}, {true, false, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "certificate " << c.certificate << ", stand-in " << c.stand_in
                                    << ", secured " << c.secured);
    std::filesystem::remove_all(folder_.path + "Certificado");
    std::filesystem::remove_all(folder_.path + "dll");
    std::filesystem::remove_all(folder_.path + "Log");
    if (c.certificate) testing_support::put_certificates(folder_.path);
    if (c.stand_in) {
      std::filesystem::create_directories(folder_.path + "dll");
      std::filesystem::copy_file(stand_in, folder_.path + "dll/CliSiTef32I.dll");
    }
    const uint16_t port = testing_support::free_loopback_port();
    write_ini("[sitef]\r\nserver_port=" + std::to_string(port) + "\r\n" +
              (c.secured ? "jwt_secret=a-key-of-this-shop\r\nallowed_origins=https://pdv.example\r\n" : ""));
    NotifySocket systemd(folder_.path + "notify");
    TNorvaneSiTefService service;

    testing::internal::CaptureStdout();
    bool started = false;
    service.ServiceStart(started);
    const std::string message = systemd.next();
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(started);

    // Where it listens (or why not), then the folder and the log, then the library.
    const std::string where = "; folder " + folder_.path + "; log " + norvane::service_log_file();
    const std::string expected_start =
        c.certificate ? "listening on wss://localhost:" + std::to_string(port) + where
                      : "not listening (TLS: ";
    const std::string status = "READY=1\nSTATUS=Norvane TEF Server: ";
    ASSERT_EQ(message.rfind(status + expected_start, 0), 0u) << message;
    EXPECT_EQ(console, message.substr(std::string("READY=1\nSTATUS=").size()) + "\n");
    EXPECT_EQ(port_open(port), c.certificate);
    if (!c.certificate) {
      EXPECT_NE(message.find("); fix it, then pause and continue the service (SIGUSR1, SIGUSR2)" + where),
                std::string::npos) << message;
    }

    const bool says_stand_in = message.find("; CliSiTef: STAND-IN library") != std::string::npos;
    EXPECT_EQ(says_stand_in, c.stand_in) << message;
    const bool logs_stand_in =
        log().find("] Atenção: " + folder_.path + "dll/CliSiTef32I.dll é o simulador da CliSiTef; "
                   "nenhum pagamento real será feito.") != std::string::npos;
    EXPECT_EQ(logs_stand_in, c.stand_in) << log();

    // The built-in token key and an empty allowed_origins: one warning in the log, and the
    // console line ends with what is unsafe and what to set.
    const std::string unsafe =
        "; UNSAFE: the built-in token key lets anyone open a session (set [sitef] jwt_secret), "
        "any web page may connect (set [sitef] allowed_origins)";
    const bool ends_unsafe = message.size() >= unsafe.size() &&
                             message.compare(message.size() - unsafe.size(), unsafe.size(), unsafe) == 0;
    EXPECT_EQ(ends_unsafe, !c.secured) << message;
    const std::string warning =
        "] Atenção: instalação desprotegida: a chave dos tokens é a chave de fábrica, qualquer um pode abrir uma "
        "sessão (defina [sitef] jwt_secret); qualquer página web pode se conectar (defina [sitef] allowed_origins "
        "com a origem da aplicação de vendas); veja \"Securing an installation\" no README.";
    const std::string text = log();
    const size_t first = text.find(warning);
    EXPECT_EQ(first != std::string::npos, !c.secured) << text;
    if (first != std::string::npos) {
      EXPECT_EQ(text.find(warning, first + 1), std::string::npos) << text;
    }

    bool stopped = false;
    service.ServiceStop(stopped);
  }
}

TEST(SystemdUnit, InstallWritesTheUnitWithItsDescriptionAndUninstallRemovesIt) {
  testing_support::ScratchFolder units;
  setenv("NORVANE_SYSTEMD_DIR", units.path.c_str(), 1);
  const std::string path = units.path + "NorvaneSiTefService.service";
  EXPECT_EQ(norvane::systemd_unit_path("NorvaneSiTefService"), path);

  // No unit yet: the description has nowhere to go and nothing is created.
  TNorvaneSiTefService::ServiceAfterInstall();
  EXPECT_FALSE(std::filesystem::exists(path));

  std::string error;
  ASSERT_TRUE(norvane::write_systemd_unit("NorvaneSiTefService", "/opt/norvane/SvcNorvaneSiTef",
                                          error)) << error;
  TNorvaneSiTefService::ServiceAfterInstall();
  TNorvaneSiTefService::ServiceAfterInstall();  // again: still one description line
  std::string unit = testing_support::read_file(path);
  EXPECT_NE(unit.find("\n[Unit]\nDescription=Norvane TEF Server - Mantenha este serviço iniciado.\n"),
            std::string::npos) << unit;
  EXPECT_EQ(unit.find("Description=", unit.find("Description=") + 1), std::string::npos);
  EXPECT_NE(unit.find("\nExecStart=/opt/norvane/SvcNorvaneSiTef\n"), std::string::npos);
  EXPECT_NE(unit.find("\nWorkingDirectory=/opt/norvane\n"), std::string::npos);
  EXPECT_NE(unit.find("\nReadWritePaths=/opt/norvane -/opt/norvane/Log -/opt/norvane/TEF"),
            std::string::npos);
  EXPECT_NE(unit.find("\nUser=norvane\n"), std::string::npos);
  EXPECT_NE(unit.find("\nWantedBy=multi-user.target\n"), std::string::npos);
  EXPECT_EQ(unit.find('@'), unit.find("@system-service")) << "a placeholder left in\n" << unit;

  ASSERT_TRUE(norvane::remove_systemd_unit("NorvaneSiTefService", error)) << error;
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_TRUE(norvane::remove_systemd_unit("NorvaneSiTefService", error)) << "already gone is fine";

  // A unit file splits some settings into words and reads "%" as a specifier: a path that
  // would be read otherwise is refused, with what to do, and nothing is written.
  for (const char* executable : {"/opt/norvane tef/SvcNorvaneSiTef", "/opt/100%/SvcNorvaneSiTef",
                                 "/opt/\"x\"/SvcNorvaneSiTef", "relative/SvcNorvaneSiTef"}) {
    EXPECT_FALSE(norvane::write_systemd_unit("NorvaneSiTefService", executable, error)) << executable;
    EXPECT_NE(error.find("/opt/norvane/"), std::string::npos) << error;
    EXPECT_FALSE(std::filesystem::exists(path)) << executable;
  }

  setenv("NORVANE_SYSTEMD_DIR", "/nonexistent/folder", 1);
  EXPECT_FALSE(norvane::write_systemd_unit("NorvaneSiTefService", "/x/SvcNorvaneSiTef", error));
  EXPECT_NE(error.find("/nonexistent/folder/NorvaneSiTefService.service"), std::string::npos);
  unsetenv("NORVANE_SYSTEMD_DIR");
}

// What the service runs beside the listener: the log retention, applied at the start, and the
// metrics file, written while it runs and a last time at the stop; the stop joins both.
TEST_F(ServiceTest, AStartAppliesTheLogRetentionAndTheStopWritesTheMetricsALastTime) {
  std::filesystem::create_directories(folder_.path + "Log/01-2020");
  std::ofstream(folder_.path + "Log/01-2020/TEF-02-01-2020.log") << "--02/01 10:00:00.000 - CRT\n";
  std::filesystem::create_directories(folder_.path + "metrics");
  write_ini("[sitef]\r\nserver_port=" + std::to_string(testing_support::free_loopback_port()) +
            "\r\nmetrics_folder=metrics\r\nlog_retention_months=24\r\n");
  {
    TNorvaneSiTefService service;
    bool started = false;
    service.ServiceStart(started);
    ASSERT_TRUE(started);
    bool stopped = false;
    service.ServiceStop(stopped);
    EXPECT_EQ(service.FLogRetention, nullptr);
    EXPECT_EQ(service.FMetricsWriter, nullptr);
  }
  EXPECT_FALSE(std::filesystem::exists(folder_.path + "Log/01-2020"));
  const std::string metrics = folder_.path + "metrics/norvane_tef.prom";
  const std::string text = testing_support::read_file(metrics);
  EXPECT_NE(text.find("norvane_tef_clients_connected 0\n"), std::string::npos) << text;
  EXPECT_NE(text.find("norvane_tef_clisitef_library_info{kind=\"missing\"} 1\n"), std::string::npos) << text;
  // Readable by the collector's own user; nothing half-written is left beside it.
  EXPECT_EQ(std::filesystem::status(metrics).permissions() & std::filesystem::perms::all,
            std::filesystem::perms(0644));
  EXPECT_FALSE(std::filesystem::exists(metrics + ".tmp"));
}
