#include "printing/ntPrintQueue.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "platform/ChildProcess.h"
#include "platform/Guid.h"
#include "platform/Text.h"
#include "printing/uGDIPrinter.h"
#include "printing/uLayoutParser.h"
#include "platform/Metrics.h"

namespace fs = std::filesystem;

namespace {

// What the program wrote on its standard error, to say why it failed; bounded, since it
// goes into a log line.
std::string program_message(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string text(2048, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(in.gcount()));
  return norvane::trim(text);
}

// A private data folder for one run of the PDF program, in the user's temporary folder.
std::string make_data_dir() {
  std::string guid = norvane::new_guid();
  std::erase(guid, '-');
  if (guid.empty()) throw std::runtime_error("Sem números aleatórios para a pasta temporária.");
  const fs::path temp = fs::weakly_canonical(fs::temp_directory_path());
  const fs::path dir = temp / ("SumatraPDF_" + guid);
  fs::create_directories(dir);
  fs::permissions(dir, fs::perms::owner_all, fs::perm_options::replace);
  return dir.string();
}

}  // namespace

TPrintQueue::TPrintQueue(std::string ASumatraPath, std::string APrinterName)
    : FSumatraPath(std::move(ASumatraPath)), FPrinterName(std::move(APrinterName)) {
  // No log callback is set yet: this line reaches a log only when one is.
  Log("Fila de impressão criada");
}

TPrintQueue::~TPrintQueue() {
  Log("Finalizando fila de impressão");
  if (FThread.joinable()) {
    FThread.request_stop();  // wakes the wait on the event
    FThread.join();          // a job in progress ends first
  }
}

void TPrintQueue::Start() {
  if (!FThread.joinable()) FThread = std::jthread([this](std::stop_token stop) { Execute(stop); });
}

void TPrintQueue::Log(const std::string& AMessage) const {
  if (!FOnLog) return;
  try {
    FOnLog(AMessage);
  } catch (...) {
    // A failing log callback must not stop printing; the line is lost.
  }
}

void TPrintQueue::SetPrintSettings(const std::string& ASettings) {
  std::lock_guard<std::mutex> lock(FCritical);
  FPrintSettings = ASettings;
}

std::string TPrintQueue::PrintSettings() const {
  std::lock_guard<std::mutex> lock(FCritical);
  return FPrintSettings;
}

size_t TPrintQueue::Count() const {
  std::lock_guard<std::mutex> lock(FCritical);
  return FQueue.size();
}

void TPrintQueue::AddToQueue(const std::string& AFile) {
  try {
    std::error_code ec;
    if (!fs::exists(AFile, ec)) {
      Log("Arquivo não encontrado: " + AFile);
      return;
    }
    {
      std::lock_guard<std::mutex> lock(FCritical);
      FQueue.push_back(AFile);
      FSignalled = true;
    }
    Log("Arquivo adicionado na fila: " + AFile);
    FEvent.notify_one();
  } catch (const std::exception& error) {
    Log(std::string("Erro AddToQueue: ") + error.what());
  }
}

void TPrintQueue::Execute(std::stop_token AStop) {
  Log("Thread de impressão iniciada");
  try {
    while (!AStop.stop_requested()) {
      {
        std::unique_lock<std::mutex> lock(FCritical);
        if (!FEvent.wait(lock, AStop, [this] { return FSignalled; })) break;
        FSignalled = false;  // an auto-reset event
      }
      while (!AStop.stop_requested()) {
        std::string path, settings;
        {
          std::lock_guard<std::mutex> lock(FCritical);
          if (FQueue.empty()) break;
          path = std::move(FQueue.front());
          FQueue.pop_front();
          settings = FPrintSettings;
        }
        try {
          Log("Iniciando impressão: " + path);
          norvane::metrics::CountPrint(PrintFile(path, settings));
          Log("Impressão concluída: " + path);
        } catch (const std::exception& error) {
          norvane::metrics::CountPrint(false);
          Log("Erro ao imprimir " + path + " - " + error.what());
        }
      }
    }
  } catch (const std::exception& error) {
    Log(std::string("Erro fatal thread: ") + error.what());
  }
  Log("Thread de impressão finalizada");
}

bool TPrintQueue::PrintFile(const std::string& APath, const std::string& ASettings) {
  const std::string extension = norvane::lower_ascii(fs::path(APath).extension().string());
  if (extension == ".pdf") return PrintPdf(APath, ASettings);
  if (extension == ".gdi") {
    PrintLayout(APath);
    return true;
  }
  Log("ERRO: Tipo de arquivo não suportado.");
  return false;
}

void TPrintQueue::PrintLayout(const std::string& APath) {
  norvane::TGDIPrinter printer(FPrinterName);
  norvane::TLayoutParser parser(printer);
  Log("Iniciando impressao em \"" + FPrinterName + "\"...");
  printer.BeginPrint();
  printer.Initialize();
  parser.ParseFile(APath);
  printer.EndPrint();
  Log("Impresso com sucesso em: " + FPrinterName);
  DeletePrinted(APath);
}

TPrintQueue::TCommand TPrintQueue::PdfCommand(const std::string& ASumatraPath,
                                              const std::string& APrinterName,
                                              const std::string& ASettings,
                                              const std::string& ADataDir,
                                              const std::string& APdfPath) {
  TCommand command;
  // Values are quoted in the command line shown in the log; option names are not.
  auto add = [&command](const std::string& part, bool quoted) {
    command.args.push_back(part);
    if (!command.line.empty()) command.line += ' ';
    command.line += quoted ? "\"" + part + "\"" : part;
  };
  add(ASumatraPath, true);
  add("-print-to", false);
  add(APrinterName, true);
  if (!ASettings.empty()) {
    add("-print-settings", false);
    add(ASettings, true);
  }
  add("-silent", false);
  add("-exit-when-done", false);
  add("-data-dir", false);
  add(ADataDir, true);
  add(APdfPath, true);
  return command;
}

bool TPrintQueue::PrintPdf(const std::string& APath, const std::string& ASettings) {
  const std::string data_dir = make_data_dir();
  const std::string settings = norvane::trim(ASettings);
  const std::string stderr_path = (fs::path(data_dir) / "stderr.txt").string();

  struct Run {
    std::string text;  // "Cmd: " + the command line + CR LF + "Data-dir: " + the folder
    norvane::TChildProcess::TWaitResult result = norvane::TChildProcess::TWaitResult::Finished;
    int exit_code = 0;
  };
  auto run = [&](const std::string& with_settings) {
    Run r;
    const TCommand command =
        PdfCommand(FSumatraPath, FPrinterName, with_settings, data_dir, APath);
    r.text = "Cmd: " + command.line + "\r\nData-dir: " + data_dir;
    norvane::TChildProcess program(command.args, stderr_path);
    r.result = program.WaitFor(FWaits.program, r.exit_code);
    if (r.result == norvane::TChildProcess::TWaitResult::TimedOut) {
      program.Terminate();
      int ignored = 0;
      if (program.WaitFor(FWaits.after_terminate, ignored) !=
          norvane::TChildProcess::TWaitResult::Finished)
        Log("Aviso: processo não respondeu ao TerminateProcess");
      r.exit_code = 0;
    }
    return r;
  };

  Run last;
  try {
    last = run(settings);
    if (last.result == norvane::TChildProcess::TWaitResult::Finished && last.exit_code == 3 &&
        !settings.empty()) {
      Log("Aviso: SumatraPDF retornou ExitCode 3 para -print-settings (\"" + settings +
          "\"). Repetindo sem -print-settings.");
      last = run("");
    }
  } catch (...) {
    // The program did not start, or waiting for it failed: the PDF stays, and the worker
    // logs why; the folder made for the run goes.
    std::error_code ignored;
    fs::remove_all(data_dir, ignored);
    throw;
  }

  const bool printed = last.result != norvane::TChildProcess::TWaitResult::TimedOut &&
                       (last.exit_code == 0 || last.exit_code == 2);
  if (last.result == norvane::TChildProcess::TWaitResult::TimedOut) {
    Log("Timeout aguardando SumatraPDF.\r\n" + last.text);
  } else if (last.exit_code != 0 && last.exit_code != 2) {
    std::string line = "Processo encerrado com erro (ExitCode: " +
                       std::to_string(last.exit_code) + ")\r\n" + last.text;
    const std::string why = program_message(stderr_path);
    if (!why.empty()) line += "\r\n" + why;
    Log(line);
  }

  try {
    if (fs::exists(data_dir)) fs::remove_all(data_dir);
  } catch (const std::exception& error) {
    Log(std::string("Aviso: falha ao remover data-dir temporário: ") + error.what());
  }
  DeletePrinted(APath);
  return printed;
}

void TPrintQueue::DeletePrinted(const std::string& APath) {
  try {
    if (fs::exists(APath)) {
      std::this_thread::sleep_for(FWaits.before_delete);
      fs::remove(APath);
    }
  } catch (const std::exception& error) {
    Log(std::string("Aviso: falha ao remover arquivo PDF: ") + error.what());
  }
}
