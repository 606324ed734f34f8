#pragma once
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

#include "datamodule/ntDmSitef.h"
#include "platform/Clock.h"
#include "platform/IniFile.h"
#include "websocket/ServerThread.h"

class TPrintQueue;  // the print queue thread (printing/ntPrintQueue.h)
namespace norvane {
class TPeriodicTask;   // platform/PeriodicTask.h
class TMetricsWriter;  // service/MetricsFile.h
}  // namespace norvane

// The service object: owns the configuration file, the data module, the listener thread
// and the print queue. Its events are driven by main(): start before the
// main loop, stop, pause and continue from the signals the loop waits for.
class TNorvaneSiTefService {
 public:
  static constexpr const char* kServiceName = "NorvaneSiTefService";
  static constexpr const char* kTitle = "Norvane TEF Server";
  static constexpr const char* kDescription =
      "Norvane TEF Server - Mantenha este serviço iniciado.";

  TNorvaneSiTefService();   // ServiceCreate
  ~TNorvaneSiTefService();  // ServiceDestroy
  TNorvaneSiTefService(const TNorvaneSiTefService&) = delete;
  TNorvaneSiTefService& operator=(const TNorvaneSiTefService&) = delete;

  void ServiceCreate();
  void ServiceStart(bool& Started);
  void ServiceStop(bool& Stopped);
  void ServicePause(bool& Paused);
  void ServiceContinue(bool& Continued);
  // The main loop: waits for control signals and runs stop, pause and continue; returns
  // once the service has stopped.
  void ServiceExecute();
  // Gives the installed unit its description (runs without a service object, right after
  // INSTALL wrote the unit).
  static void ServiceAfterInstall();
  void ServiceDestroy();

  void StartServer();
  void StopServer();
  void PrintQueueLog(const std::string& AMessage);

  // `server_port` of section `sitef`; 0, negative or missing means 443.
  int ServerPort() const;
  // The TEF component's log file, fixed when the data module was created.
  const std::string& TefLogFileName() const { return FTefLogFileName; }
  TServerThread* ServerThread() const { return FServerThread.get(); }
  TDmSitef& DataModule() { return *FDmSitef; }

  // The data module lives as long as the service object; the listener, created after it
  // and released before it, hands it the client's messages.
  std::unique_ptr<TDmSitef> FDmSitef;
  std::unique_ptr<TServerThread> FServerThread;  // null while the server is stopped
  norvane::TIniFile iniConfig;
  std::unique_ptr<TPrintQueue> FPrintQueue;  // the print queue thread; null after stop
  // Removes old log folders at start and once a day; null after stop.
  std::unique_ptr<norvane::TPeriodicTask> FLogRetention;
  // Writes the metrics file ([sitef] metrics_folder); null when off and after stop.
  std::unique_ptr<norvane::TMetricsWriter> FMetricsWriter;

  // Months of logs kept: `[sitef] log_retention_months`, 12 when absent (0: all).
  int LogRetentionMonths() const;

 private:
  // The log retention and the metrics writer, started with the service and stopped with it.
  void StartBackgroundTasks();
  void StopBackgroundTasks();
  // Connections past the handshake of the listener running now (0 when none), from any thread.
  std::size_t ConnectedClients();
  void create_data_module();
  // Says on standard output, and to systemd, that the service is up: where it listens (or
  // why it does not), its folder and its log, and whether the CliSiTef library is the stand-in.
  void report_started(int port, const std::string& listener_error);
  // What leaves this installation open to any web page: the built-in token key, an empty
  // allowed_origins. An INI that cannot be read (unreadable says why) leaves it shut
  // instead: no session opens.
  struct UnsafeSettings {
    bool built_in_key = false;
    bool any_origin = false;
    std::string unreadable;
  };
  UnsafeSettings unsafe_settings() const;
  std::string FTefLogFileName;
  norvane::TimePoint FStartTime{};
  // Guards FServerThread against the metrics writer's thread, which reads its client count
  // while pause and continue replace it.
  std::mutex FServerThreadGuard;
};

// The process-wide service object (null outside the service's lifetime).
extern TNorvaneSiTefService* NorvaneSiTefService;

namespace norvane {
// The TEF log file for a date: exe folder + "Log/mm-yyyy/TEF-dd-mm-yyyy.log".
std::string tef_log_file_name(int year, int month, int day);
}  // namespace norvane
