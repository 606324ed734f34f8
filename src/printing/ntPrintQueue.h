#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

using TOnPrintLog = std::function<void(const std::string& AMessage)>;

// One worker thread that prints files one at a time, in the order they were added, on one
// printer, and deletes each once printed: PDFs (".pdf") through the outside PDF printing
// program, receipt layouts (".gdi") through the layout parser and the renderer.
//
// Locking: every public method that touches the queue or the print settings takes
// FCritical itself; the worker takes it only to take the next file. Nothing is printed,
// waited for or logged while it is held, so AddToQueue never waits for a job.
class TPrintQueue {
 public:
  // How long the worker waits for things; tests shorten them.
  struct TWaits {
    std::chrono::milliseconds program{30000};         // for the PDF program to end
    std::chrono::milliseconds after_terminate{5000};  // for it to end once killed
    std::chrono::milliseconds before_delete{500};     // for the printer to let go of a file
  };

  // Stores the program's path and the printer's name; the thread runs only after Start.
  TPrintQueue(std::string ASumatraPath, std::string APrinterName);
  // Ends the thread: a job in progress is finished first; files still queued stay on disk,
  // neither printed nor deleted.
  ~TPrintQueue();
  TPrintQueue(const TPrintQueue&) = delete;
  TPrintQueue& operator=(const TPrintQueue&) = delete;

  void Start();

  // Callable from any thread. A file that exists is queued and the worker woken; a missing
  // one is only logged. Nothing is raised to the caller.
  void AddToQueue(const std::string& AFile);

  // Set before Start.
  void SetOnLog(TOnPrintLog AOnLog) { FOnLog = std::move(AOnLog); }
  void SetWaits(const TWaits& AWaits) { FWaits = AWaits; }

  // The "-print-settings" value of the next PDF jobs ("fit" until told otherwise).
  void SetPrintSettings(const std::string& ASettings);
  std::string PrintSettings() const;

  // Files waiting, not counting the one being printed.
  size_t Count() const;

  const std::string& SumatraPath() const { return FSumatraPath; }
  const std::string& PrinterName() const { return FPrinterName; }

  // The command of one PDF job: the arguments the program is started with, and the same
  // as one command line for the log. Empty settings leave their option out.
  struct TCommand {
    std::vector<std::string> args;
    std::string line;
  };
  static TCommand PdfCommand(const std::string& ASumatraPath, const std::string& APrinterName,
                             const std::string& ASettings, const std::string& ADataDir,
                             const std::string& APdfPath);

 private:
  void Log(const std::string& AMessage) const;
  void Execute(std::stop_token AStop);
  // True when the document was printed (false: the failure is logged).
  bool PrintFile(const std::string& APath, const std::string& ASettings);
  void PrintLayout(const std::string& APath);
  bool PrintPdf(const std::string& APath, const std::string& ASettings);
  // Deletes a printed file after the pause that lets the printer release it.
  void DeletePrinted(const std::string& APath);

  std::deque<std::string> FQueue;
  mutable std::mutex FCritical;
  // The event: set when a file is added, reset by the worker when it wakes. jthread's
  // stop request wakes the wait too.
  std::condition_variable_any FEvent;
  bool FSignalled = false;
  std::string FSumatraPath;
  std::string FPrinterName;
  std::string FPrintSettings = "fit";
  TOnPrintLog FOnLog;
  TWaits FWaits;
  std::jthread FThread;  // last: it stops and joins before the fields it uses go
};
