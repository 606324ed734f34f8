#include <gtest/gtest.h>
#include <stdlib.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "PrintingTestSupport.h"
#include "printing/ntPrintQueue.h"

namespace {

using namespace norvane::printing_test;
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace std::string_literals;

// The queue's log lines, with a wait for a line to appear (the worker writes them).
class LogLines {
 public:
  void Add(const std::string& line) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back(line);
    }
    changed_.notify_all();
  }
  bool WaitFor(const std::string& part, std::chrono::milliseconds timeout = 120s) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return IndexLocked(part) >= 0; });
  }
  int Index(const std::string& part) {
    std::lock_guard<std::mutex> lock(mutex_);
    return IndexLocked(part);
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
  }
  std::string All() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string all;
    for (const auto& line : lines_) all += line + "\n";
    return all;
  }

 private:
  int IndexLocked(const std::string& part) const {
    for (size_t i = 0; i < lines_.size(); ++i)
      if (lines_[i].find(part) != std::string::npos) return static_cast<int>(i);
    return -1;
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
};

// A queue in a scratch folder whose PDF program is a small shell script written by the
// test: it notes each run in journal.txt ("<arguments> | data-dir:<yes|no>") and then does
// what the test asks (exit with a code, hang).
class PrintQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/norvane-queue-XXXXXX";
    dir_ = mkdtemp(pattern);
    temp_ = dir_ + "/tmp";
    fs::create_directories(temp_);
    setenv("TMPDIR", temp_.c_str(), 1);  // the data folders go here, where the test sees them
  }
  void TearDown() override {
    queue_.reset();
    unsetenv("TMPDIR");
    fs::remove_all(dir_);
  }

  void Program(const std::string& behaviour) {
    program_ = dir_ + "/SumatraPDF.exe";
    write_file(program_,
               "#!/bin/sh\n"
               "dd=; prev=; for a; do [ \"$prev\" = -data-dir ] && dd=$a; prev=$a; done\n"
               "echo \"$* | data-dir:$( [ -d \"$dd\" ] && echo yes || echo no)\" >> '" +
                   dir_ + "/journal.txt'\n" + behaviour + "\n");
    chmod(program_.c_str(), 0755);
  }

  // A queue whose program may take its time (a loaded machine starts a script slowly), but
  // for `program_wait` where a test wants the time-out.
  TPrintQueue& Queue(const std::string& printer = "Receipt80", std::chrono::milliseconds program_wait = 120s) {
    queue_ = std::make_unique<TPrintQueue>(program_, printer);
    queue_->SetOnLog([this](const std::string& line) { log_.Add(line); });
    TPrintQueue::TWaits waits;
    waits.program = program_wait;
    waits.before_delete = 1ms;
    queue_->SetWaits(waits);
    queue_->Start();
    return *queue_;
  }

  std::string File(const std::string& name, const std::string& bytes = "%PDF-1.4\n") {
    const std::string path = dir_ + "/" + name;
    write_file(path, bytes);
    return path;
  }

  std::vector<std::string> Journal() {
    std::vector<std::string> runs;
    std::istringstream in(read_file(dir_ + "/journal.txt"));
    for (std::string line; std::getline(in, line);) runs.push_back(line);
    return runs;
  }

  bool DataFoldersLeft() { return !fs::is_empty(temp_); }

  std::string dir_, temp_, program_;
  LogLines log_;
  std::unique_ptr<TPrintQueue> queue_;
};

TEST_F(PrintQueueTest, PrintsFilesInOrderEachAfterTheOneBeforeIsDeleted) {
  // A third journal line would say that the first file was still there at the second run.
  Program("case \"$*\" in *b.PDF*) [ -e '" + dir_ + "/a.pdf' ] && echo 'a.pdf still there' >> '" + dir_ +
          "/journal.txt';; esac\nexit 0");
  TPrintQueue& queue = Queue();
  const std::string a = File("a.pdf"), b = File("b.PDF");  // capitals: a PDF all the same
  queue.AddToQueue(a);
  queue.AddToQueue(b);
  ASSERT_TRUE(log_.WaitFor("Impressão concluída: " + b)) << log_.All();

  const auto runs = Journal();
  ASSERT_EQ(runs.size(), 2u) << read_file(dir_ + "/journal.txt");
  EXPECT_NE(runs[0].find(a), std::string::npos);
  EXPECT_NE(runs[1].find(b), std::string::npos);
  EXPECT_LT(log_.Index("Impressão concluída: " + a), log_.Index("Iniciando impressão: " + b));
  EXPECT_FALSE(fs::exists(a));
  EXPECT_FALSE(fs::exists(b));
  EXPECT_FALSE(DataFoldersLeft());
  for (const std::string& line : {"Arquivo adicionado na fila: " + a, "Thread de impressão iniciada"s})
    EXPECT_GE(log_.Index(line), 0) << line;
}

TEST_F(PrintQueueTest, PdfProgramIsGivenTheCommandLineOfTheSettings) {
  Program("exit 0");
  TPrintQueue& queue = Queue("Caixa 1");
  queue.SetPrintSettings("  noscale ");
  const std::string pdf = File("doc.pdf");
  queue.AddToQueue(pdf);
  ASSERT_TRUE(log_.WaitFor("Impressão concluída: " + pdf)) << log_.All();
  const auto runs = Journal();
  ASSERT_EQ(runs.size(), 1u);
  // The data folder: the temporary folder + "SumatraPDF_" + 32 upper-case hex digits.
  const std::string prefix = "-print-to Caixa 1 -print-settings noscale -silent -exit-when-done -data-dir " +
                             fs::canonical(temp_).string() + "/SumatraPDF_";
  ASSERT_EQ(runs[0].rfind(prefix, 0), 0u) << runs[0];
  const std::string rest = runs[0].substr(prefix.size());
  EXPECT_EQ(rest.find_first_not_of("0123456789ABCDEF"), 32u) << rest;
  EXPECT_EQ(rest.substr(32), " " + pdf + " | data-dir:yes");

  const auto built = TPrintQueue::PdfCommand("/s/SumatraPDF.exe", "Caixa 1", "", "/t/d", "/x/1_Temp.pdf");
  EXPECT_EQ(built.line,
            "\"/s/SumatraPDF.exe\" -print-to \"Caixa 1\" -silent -exit-when-done -data-dir \"/t/d\" \"/x/1_Temp.pdf\"");
}

struct ExitCase {
  const char* what;
  const char* behaviour;  // the script's last lines
  const char* settings;
  size_t runs;
  const char* logged;  // a line the run must log ("" when no warning or error)
  const char* said = "";  // what the program said on its standard error, in that line
  bool times_out = false;  // the program is given a short wait, which it outlasts
};

TEST_F(PrintQueueTest, ExitCodesRetryAndTimeout) {
  const std::vector<ExitCase> cases = {
      {"0 is success", "exit 0", "noscale", 1, ""},
      {"2 is success too", "exit 2", "noscale", 1, ""},
      {"5 is an error", "echo 'papel acabou' >&2; exit 5", "noscale", 1,
       "Processo encerrado com erro (ExitCode: 5)\r\nCmd: \"", "\r\npapel acabou"},
      {"3 with settings runs once more without them",
       "case \"$*\" in *-print-settings*) exit 3;; esac; exit 0", "noscale", 2,
       "Aviso: SumatraPDF retornou ExitCode 3 para -print-settings (\"noscale\"). Repetindo sem -print-settings."},
      {"3 without settings is only an error", "exit 3", "", 1, "Processo encerrado com erro (ExitCode: 3)"},
      {"a program that hangs is stopped", "exec sleep 600", "noscale", 1, "Timeout aguardando SumatraPDF.\r\nCmd: ", "", true},
  };
  for (const ExitCase& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(dir_ + "/journal.txt");
    log_.Clear();
    Program(c.behaviour);
    TPrintQueue& queue = c.times_out ? Queue("Receipt80", 1500ms) : Queue();
    queue.SetPrintSettings(c.settings);
    const std::string pdf = File("job.pdf");
    queue.AddToQueue(pdf);
    ASSERT_TRUE(log_.WaitFor("Impressão concluída: " + pdf)) << log_.All();
    EXPECT_EQ(Journal().size(), c.runs);
    if (*c.logged) {
      EXPECT_GE(log_.Index(c.logged), 0) << log_.All();
      if (*c.said) {
        EXPECT_EQ(log_.Index(c.logged), log_.Index(c.said)) << log_.All();
      }
    }
    const bool error_logged = log_.Index("Processo encerrado") >= 0 || log_.Index("Timeout") >= 0;
    EXPECT_EQ(error_logged, *c.logged != '\0' && c.runs == 1) << log_.All();
    if (c.runs == 2) {
      EXPECT_EQ(Journal()[1].find("-print-settings"), std::string::npos);
    }
    EXPECT_FALSE(fs::exists(pdf)) << "printed or not, the file goes";
    EXPECT_FALSE(DataFoldersLeft());
    queue_.reset();
  }
}

TEST_F(PrintQueueTest, UnsupportedMissingAndUnstartableFilesStay) {
  program_ = dir_ + "/no-such-program";
  TPrintQueue& queue = Queue("Impressora Fantasma");
  const std::string text = File("notes.txt", "hello");
  const std::string pdf = File("doc.pdf");
  const std::string layout = File("receipt.gdi", "<receipt><line>x</line></receipt>");
  queue.AddToQueue(dir_ + "/missing.pdf");
  EXPECT_GE(log_.Index("Arquivo não encontrado: " + dir_ + "/missing.pdf"), 0);
  EXPECT_EQ(queue.Count(), 0u) << "nothing queued for a missing file";
  queue.AddToQueue(text);
  queue.AddToQueue(pdf);
  queue.AddToQueue(layout);
  ASSERT_TRUE(log_.WaitFor("Erro ao imprimir " + layout + " - Impressora nao encontrada")) << log_.All();
  EXPECT_GE(log_.Index("ERRO: Tipo de arquivo não suportado."), 0);
  EXPECT_GE(log_.Index("Erro ao imprimir " + pdf + " - No such file or directory"), 0) << log_.All();
  for (const std::string& file : {text, pdf, layout}) EXPECT_TRUE(fs::exists(file)) << file;
  EXPECT_FALSE(DataFoldersLeft());
}

TEST_F(PrintQueueTest, StoppingWaitsForTheJobInProgressAndLeavesTheRest) {
  // The job reads a FIFO: it ends only once the test writes to it, after the stop was asked.
  const std::string gate = dir_ + "/gate";
  ASSERT_EQ(mkfifo(gate.c_str(), 0600), 0);
  Program("read line < '" + gate + "'; touch '" + dir_ + "/finished'; exit 0");
  TPrintQueue& queue = Queue();
  const std::string first = File("first.pdf"), second = File("second.pdf");
  queue.AddToQueue(first);
  queue.AddToQueue(second);
  ASSERT_TRUE(log_.WaitFor("Iniciando impressão: " + first));
  // What the job had done at the moment the stop returned: a stop that returns before the
  // job has ended (cutting it, or leaving it running) sees no "finished" file.
  std::promise<bool> finished_when_stopped;
  std::thread stopping([this, &finished_when_stopped] {
    queue_.reset();
    finished_when_stopped.set_value(fs::exists(dir_ + "/finished"));
  });
  ASSERT_TRUE(log_.WaitFor("Finalizando fila de impressão"));
  // Opened for reading and writing, the FIFO neither blocks the test nor loses the line
  // before the job opens it.
  const int release = open(gate.c_str(), O_RDWR);
  ASSERT_GE(release, 0);
  ASSERT_EQ(write(release, "go\n", 3), 3);
  stopping.join();
  close(release);
  EXPECT_TRUE(finished_when_stopped.get_future().get()) << "the stop returned before the running job ended\n"
                                                        << log_.All();
  EXPECT_GE(log_.Index("Impressão concluída: " + first), 0);
  EXPECT_FALSE(fs::exists(first));
  EXPECT_TRUE(fs::exists(second)) << "a queued file is neither printed nor deleted";
  EXPECT_EQ(log_.Index("Iniciando impressão: " + second), -1);
  EXPECT_GE(log_.Index("Finalizando fila de impressão"), 0);
  EXPECT_GE(log_.Index("Thread de impressão finalizada"), 0);
}

}  // namespace
