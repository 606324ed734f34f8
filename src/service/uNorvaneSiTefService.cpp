#include "service/uNorvaneSiTefService.h"

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>

#include "platform/CardData.h"
#include "platform/Clock.h"
#include "platform/ElfSection.h"
#include "platform/ExeFolder.h"
#include "platform/FileVersion.h"
#include "platform/Installation.h"
#include "platform/LogRetention.h"
#include "platform/PeriodicTask.h"
#include "platform/Text.h"
#include "service/MetricsFile.h"
#include "platform/ServiceSignals.h"
#include "platform/SystemdUnit.h"
#include "printing/ntPrintQueue.h"
#include "datamodule/ntDmSitef.h"
#include "platform/GravaLog.h"
#include "routing/Jwt.h"
#include "tef/RiZedIzAdeTef.h"
#include "websocket/WebSocketCodec.h"

TNorvaneSiTefService* NorvaneSiTefService = nullptr;

namespace norvane {

std::string tef_log_file_name(int year, int month, int day) {
  char month_folder[16], file[32];
  std::snprintf(month_folder, sizeof month_folder, "%02d-%04d", month, year);
  std::snprintf(file, sizeof file, "TEF-%02d-%02d-%04d.log", day, month, year);
  return exe_folder() + "Log/" + month_folder + "/" + file;
}

}  // namespace norvane

TNorvaneSiTefService::TNorvaneSiTefService()
    : iniConfig(norvane::exe_folder() + norvane::exe_base_name() + ".ini") {
  ServiceCreate();
}

TNorvaneSiTefService::~TNorvaneSiTefService() { ServiceDestroy(); }

void TNorvaneSiTefService::ServiceCreate() {
  // The configuration file is opened by the member initialiser: every read goes to disk,
  // so a changed server_port takes effect at the next StartServer.
  NorvaneSiTefService = this;
  create_data_module();
  FServerThread.reset();
}

void TNorvaneSiTefService::create_data_module() {
  FDmSitef = std::make_unique<TDmSitef>();
  DmSitef = FDmSitef.get();
  // The host's share of the data module's creation: the TEF log folder and file name are
  // fixed now, so the TEF log stays in this file however long the service keeps running.
  std::time_t t = std::chrono::system_clock::to_time_t(norvane::now());
  std::tm today{};
  localtime_r(&t, &today);
  FTefLogFileName =
      norvane::tef_log_file_name(today.tm_year + 1900, today.tm_mon + 1, today.tm_mday);
  std::error_code ignored;  // an existing folder is no error; a missing one shows in the log
  std::filesystem::create_directories(
      std::filesystem::path(FTefLogFileName).parent_path(), ignored);
  DmSitef->Tef().SetArqLOG(FTefLogFileName);
}

void TNorvaneSiTefService::ServiceDestroy() {
  StopBackgroundTasks();
  StopServer();
  if (DmSitef == FDmSitef.get()) DmSitef = nullptr;
  FDmSitef.reset();
  if (NorvaneSiTefService == this) NorvaneSiTefService = nullptr;
}

int TNorvaneSiTefService::ServerPort() const {
  int port = iniConfig.ReadInteger("sitef", "server_port", 0);
  return port <= 0 ? 443 : port;
}

void TNorvaneSiTefService::StartServer() {
  GravaLog("Iniciando servidor socket.");
  const int port = ServerPort();
  try {
    StopServer();  // never two listeners: a continue always follows a pause
    TListenerSettings settings;
    settings.Port = port;
    settings.AllowedOrigins =
        norvane::websocket::ParseAllowedOrigins(iniConfig.ReadString("sitef", "allowed_origins", ""));
    TDmSitef* data_module = FDmSitef.get();
    settings.OnMessage = [data_module](const std::string& message, TIdContext*) {
      data_module->RouteTargeting(message);
    };
    settings.OnQuickMessage = [data_module](const std::string& message, TIdContext*) {
      return data_module->RouteQuickly(message);
    };
    settings.OnClientGone = [data_module] { data_module->ClientDisconnected(); };
    {
      std::lock_guard<std::mutex> guard(FServerThreadGuard);
      FServerThread = std::make_unique<TServerThread>(std::move(settings));
    }
    FServerThread->OnStarted = [this, port](const std::string& error) {
      report_started(port, error);
    };
    FDmSitef->SetClientChannel(FServerThread.get());
    FServerThread->Start();
  } catch (const std::exception& error) {
    // The service goes on without a listener until it is paused and continued.
    GravaLog(error.what());
    report_started(port, error.what());
  }
}

void TNorvaneSiTefService::report_started(int port, const std::string& listener_error) {
  std::string line = "Norvane TEF Server: ";
  if (listener_error.empty())
    line += "listening on wss://localhost:" + std::to_string(port);
  else
    line += "not listening (" + listener_error +
            "); fix it, then pause and continue the service (SIGUSR1, SIGUSR2)";
  line += "; folder " + norvane::exe_folder() + "; log " + norvane::service_log_file();
  if (!CliSiTefLibraryRefusal().empty())
    line += "; CliSiTef: the stand-in at " + CliSiTefLibraryFile() +
            " is refused (no simulator package): install the vendor's library and set [sitef] clisitef_library";
  else if (norvane::is_stand_in_library(CliSiTefLibraryFile()))
    line += "; CliSiTef: STAND-IN library, no real payment can be taken";
  // Last, so that it is what a person reads: what is unsafe and what to set.
  const UnsafeSettings unsafe = unsafe_settings();
  if (!unsafe.unreadable.empty())
    line += "; CONFIGURATION UNREADABLE: " + iniConfig.FileName() + " (" + unsafe.unreadable +
            "); no session opens until it is mended";
  if (unsafe.built_in_key || unsafe.any_origin) {
    line += "; UNSAFE:";
    if (unsafe.built_in_key) line += " the built-in token key lets anyone open a session (set [sitef] jwt_secret)";
    if (unsafe.built_in_key && unsafe.any_origin) line += ",";
    if (unsafe.any_origin) line += " any web page may connect (set [sitef] allowed_origins)";
  }
  // Under systemd standard output goes to the journal, where the line is as useful. A
  // listener's error may quote what a client sent: no card number reaches the console.
  line = norvane::scrub_card_numbers(line);
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
  norvane::notify_service_ready(line);
}

TNorvaneSiTefService::UnsafeSettings TNorvaneSiTefService::unsafe_settings() const {
  const norvane::TIniSnapshot config = iniConfig.Snapshot();
  UnsafeSettings unsafe;
  unsafe.unreadable = config.Problem();
  if (!unsafe.unreadable.empty()) return unsafe;
  const std::string secret = config.ReadString("sitef", "jwt_secret", "");
  unsafe.built_in_key = secret.empty() || secret == kSharedTokenSecret;
  unsafe.any_origin =
      norvane::websocket::ParseAllowedOrigins(config.ReadString("sitef", "allowed_origins", "")).empty();
  return unsafe;
}

void TNorvaneSiTefService::StopServer() {
  if (!FServerThread) return;
  try {
    FServerThread->SwitchOff();
    FServerThread->WaitFor();
  } catch (const std::exception& error) {
    GravaLog(std::string("StopServer erro: ") + error.what());
  }
  if (FDmSitef) FDmSitef->SetClientChannel(nullptr);
  std::lock_guard<std::mutex> guard(FServerThreadGuard);
  FServerThread.reset();
}

std::size_t TNorvaneSiTefService::ConnectedClients() {
  std::lock_guard<std::mutex> guard(FServerThreadGuard);
  return FServerThread ? FServerThread->ConnectedClients() : 0;
}

int TNorvaneSiTefService::LogRetentionMonths() const {
  return iniConfig.ReadInteger("sitef", "log_retention_months", norvane::kDefaultLogRetentionMonths);
}

void TNorvaneSiTefService::StartBackgroundTasks() {
  using namespace std::chrono;
  // Once a day, a few minutes into the new day (by the local clock, as the log folders go).
  auto until_tomorrow = [] {
    const std::time_t t = system_clock::to_time_t(norvane::now());
    std::tm next{};
    localtime_r(&t, &next);
    next.tm_mday += 1;
    next.tm_hour = 0;
    next.tm_min = 5;
    next.tm_sec = 0;
    next.tm_isdst = -1;
    const auto wait = system_clock::from_time_t(std::mktime(&next)) - norvane::now();
    return std::max(duration_cast<milliseconds>(wait), milliseconds(60000));
  };
  const std::string tef_log_folder = std::filesystem::path(FTefLogFileName).parent_path().string();
  FLogRetention = std::make_unique<norvane::TPeriodicTask>(until_tomorrow, [this, tef_log_folder] {
    norvane::apply_log_retention(norvane::exe_folder() + "Log", LogRetentionMonths(), norvane::now(), {tef_log_folder});
  });

  const std::string folder = norvane::trim(iniConfig.ReadString("sitef", "metrics_folder", ""));
  if (folder.empty()) return;
  const auto version = norvane::read_file_version("/proc/self/exe");
  const std::string version_text = version ? norvane::format_file_version(*version) : "unknown";
  FMetricsWriter = std::make_unique<norvane::TMetricsWriter>(norvane::service_path(folder), [this, version_text] {
    norvane::TMetricsGauges gauges;
    gauges.unsettled_payments = norvane::count_unsettled_payments(norvane::exe_folder() + "TEF");
    gauges.clients_connected = ConnectedClients();
    const std::string library = CliSiTefLibraryFile();
    gauges.library_kind = !CliSiTefLibraryRefusal().empty()           ? "refused"
                          : !std::filesystem::exists(library)          ? "missing"
                          : norvane::is_stand_in_library(library)      ? "stand-in"
                                                                       : "real";
    gauges.version = version_text;
    gauges.start_time = FStartTime;
    return gauges;
  });
}

void TNorvaneSiTefService::StopBackgroundTasks() {
  FMetricsWriter.reset();  // writes a last time
  FLogRetention.reset();
}

void TNorvaneSiTefService::PrintQueueLog(const std::string& AMessage) {
  GravaLog("[Impressora] " + AMessage);
}

void TNorvaneSiTefService::ServiceStart(bool& Started) {
  // At every start, so that a production workstation never takes payments against the
  // stand-in unnoticed.
  if (const std::string refusal = CliSiTefLibraryRefusal(); !refusal.empty())
    GravaLog("Atenção: " + refusal);
  else if (norvane::is_stand_in_library(CliSiTefLibraryFile()))
    GravaLog("Atenção: " + CliSiTefLibraryFile() +
             " é o simulador da CliSiTef; nenhum pagamento real será feito. Em produção, "
             "instale a biblioteca CliSiTef da Software Express em seu lugar.");
  // Also at every start: the packaged defaults let any web page the cashier opens mint a
  // token, open a session and start a payment on the pin-pad.
  const UnsafeSettings unsafe = unsafe_settings();
  if (!unsafe.unreadable.empty()) GravaLog(UnreadableConfigurationText(unsafe.unreadable));
  if (unsafe.built_in_key || unsafe.any_origin)
    GravaLog(std::string("Atenção: instalação desprotegida: ") +
             (unsafe.built_in_key ? "a chave dos tokens é a chave de fábrica, qualquer um pode abrir uma sessão "
                             "(defina [sitef] jwt_secret); "
                           : "") +
             (unsafe.any_origin ? "qualquer página web pode se conectar (defina [sitef] allowed_origins com a origem "
                           "da aplicação de vendas); "
                         : "") +
             "veja \"Securing an installation\" no README.");
  FStartTime = norvane::now();
  StartServer();
  StartBackgroundTasks();
  // Payments a crash left are reported again at once, off every client's path.
  FDmSitef->StartSettler();
  try {
    const std::string printer = iniConfig.ReadString("sitef", "printer", "");
    auto queue = std::make_unique<TPrintQueue>(norvane::exe_folder() + "SumatraPDF.exe", printer);
    queue->SetOnLog([this](const std::string& message) { PrintQueueLog(message); });
    queue->Start();
    FPrintQueue = std::move(queue);
    FDmSitef->SetPrintQueue(FPrintQueue.get());
    Started = true;
    GravaLog("O serviço foi inciado.");
  } catch (const std::exception& error) {
    Started = false;
    GravaLog(std::string("Erro ao iniciar serviço: ") + error.what());
  }
}

void TNorvaneSiTefService::ServiceStop(bool& Stopped) {
  try {
    // The queue goes before the listener: no request reaches it once it is taken out,
    // and releasing it waits for the job in progress.
    if (FDmSitef) FDmSitef->SetPrintQueue(nullptr);
    if (FDmSitef && FDmSitef->OperationRunning())
      GravaLog("Parada pedida durante uma operação TEF: o serviço termina quando ela terminar (um pagamento "
               "aprovado, depois da resposta do servidor de vendas ou do fim do prazo dela).");
    std::unique_ptr<TPrintQueue> queue = std::move(FPrintQueue);
    queue.reset();
    StopBackgroundTasks();
    StopServer();
    if (FDmSitef) FDmSitef->StopSettler();
    GravaLog("O serviço foi parado.");
    Stopped = true;
  } catch (const std::exception&) {
    Stopped = false;
  }
}

void TNorvaneSiTefService::ServicePause(bool& Paused) {
  (void)Paused;
  StopServer();
  GravaLog("O serviço foi pausado.");
}

void TNorvaneSiTefService::ServiceContinue(bool& Continued) {
  (void)Continued;
  StartServer();
  GravaLog("O serviço foi retomado.");
}

void TNorvaneSiTefService::ServiceExecute() {
  bool paused = false;
  for (;;) {
    int signal_number = norvane::wait_for_service_signal();
    if (signal_number == SIGTERM || signal_number == SIGINT) {
      bool stopped = true;
      ServiceStop(stopped);
      if (stopped) return;
    } else if (signal_number == SIGUSR1 && !paused) {
      // Pause and continue only from the other state, as a service manager allows them.
      bool flag = true;
      ServicePause(flag);
      paused = true;
    } else if (signal_number == SIGUSR2 && paused) {
      bool flag = true;
      ServiceContinue(flag);
      paused = false;
    }
  }
}

void TNorvaneSiTefService::ServiceAfterInstall() {
  norvane::set_systemd_unit_description(kServiceName, kDescription);
}
