#include <arpa/inet.h>
#include <cups/cups.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "PrintingTestSupport.h"
#include "printing/ntPrintQueue.h"
#include "printing/uGDIPrinter.h"
#include "printing/uLayoutParser.h"

namespace norvane {
namespace {

using namespace printing_test;
namespace fs = std::filesystem;

int free_loopback_port() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
  close(s);
  return ntohs(addr.sin_port);
}

bool accepts_connections(int port) {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(s);
  return ok;
}

// A private CUPS scheduler on a loopback port with one receipt queue whose output is a
// file: the queue's driver hands on the PDF after CUPS's own page handling, so the file
// is what a receipt printer's raster driver would be given.
class PrivateCups : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (geteuid() != 0) return;  // cupsd runs its filters as lp and must start as root
    root_ = fs::path(::testing::TempDir()) / ("cups-" + std::to_string(getpid()));
    fs::remove_all(root_);
    for (const char* dir : {"conf", "spool/tmp", "cache", "state", "log"})
      fs::create_directories(root_ / dir);
    fs::permissions(root_, fs::perms::all);  // filters running as lp read the spool
    port_ = free_loopback_port();
    write_file(root_ / "conf/cupsd.conf",
               "Listen 127.0.0.1:" + std::to_string(port_) + "\n"
               "LogLevel warn\nBrowsing Off\nBrowseLocalProtocols none\nWebInterface No\n"
               "DefaultAuthType None\nPreserveJobFiles Yes\nPreserveJobHistory Yes\n"
               "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
               "<Policy default>\n  <Limit All>\n    Order deny,allow\n  </Limit>\n</Policy>\n");
    const std::string r = root_.string();
    write_file(root_ / "conf/cups-files.conf",
               "ServerRoot " + r + "/conf\nRequestRoot " + r + "/spool\nTempDir " + r +
                   "/spool/tmp\nCacheDir " + r + "/cache\nStateDir " + r +
                   "/state\nAccessLog " + r + "/log/access_log\nErrorLog " + r +
                   "/log/error_log\nPageLog " + r + "/log/page_log\n"
                   "User lp\nGroup lp\nFileDevice Yes\nSandboxing Relaxed\n");
    pid_ = fork();
    if (pid_ == 0) {
      execlp("cupsd", "cupsd", "-f", "-c", (r + "/conf/cupsd.conf").c_str(), "-s",
             (r + "/conf/cups-files.conf").c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    // cupsd offers no readiness signal in the foreground; wait for its port to open.
    for (int i = 0; i < 100 && !accepts_connections(port_); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    setenv("CUPS_SERVER", ("127.0.0.1:" + std::to_string(port_)).c_str(), 1);
    cupsSetServer(nullptr);  // forget a server read before, take CUPS_SERVER
    output_ = (root_ / "out.pdf").string();
    const std::string added =
        run("CUPS_SERVER=127.0.0.1:" + std::to_string(port_) +
            " lpadmin -p Receipt80 -E -v file://" + output_ + " -P '" +
            fixture("receipt80.ppd") + "' && echo ok");
    const std::string added72 =
        run("CUPS_SERVER=127.0.0.1:" + std::to_string(port_) +
            " lpadmin -p Receipt72 -E -v file://" + (root_ / "out72.pdf").string() + " -P '" +
            fixture("receipt80-margins.ppd") + "' && echo ok");
    ready_ = added == "ok\n" && added72 == "ok\n";
  }

  static void TearDownTestSuite() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
    if (!root_.empty()) fs::remove_all(root_);
  }

  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "a private cupsd needs root";
    ASSERT_TRUE(ready_) << "the private cupsd did not start; see " << root_ / "log";
  }

  // Waits until the queue has finished every job, then returns the last job's id.
  static int wait_for_jobs(const char* queue = "Receipt80") {
    for (int i = 0; i < 300; ++i) {
      cups_job_t* jobs = nullptr;
      const int active = cupsGetJobs2(CUPS_HTTP_DEFAULT, &jobs, queue, 0, CUPS_WHICHJOBS_ACTIVE);
      cupsFreeJobs(active, jobs);
      if (active == 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    cups_job_t* jobs = nullptr;
    const int all = cupsGetJobs2(CUPS_HTTP_DEFAULT, &jobs, queue, 0, CUPS_WHICHJOBS_ALL);
    int id = 0;
    std::string title;
    for (int i = 0; i < all; ++i)
      if (jobs[i].id > id) {
        id = jobs[i].id;
        title = jobs[i].title;
        last_state_ = jobs[i].state;
      }
    last_title_ = title;
    cupsFreeJobs(all, jobs);
    return id;
  }

  static std::pair<double, double> page_size(const std::string& pdf) {
    const std::string info = run("pdfinfo '" + pdf + "'");
    double w = 0, h = 0;
    const size_t at = info.find("Page size:");
    if (at != std::string::npos) std::sscanf(info.c_str() + at, "Page size: %lf x %lf", &w, &h);
    return {w, h};
  }

  static int job_count(const char* queue) {
    cups_job_t* jobs = nullptr;
    const int all = cupsGetJobs2(CUPS_HTTP_DEFAULT, &jobs, queue, 0, CUPS_WHICHJOBS_ALL);
    cupsFreeJobs(all, jobs);
    return all;
  }

  static std::string spool_file(int job) {
    char doc[32];
    std::snprintf(doc, sizeof doc, "d%05d-001", job);
    return (root_ / "spool" / doc).string();
  }

  // Left and right ends of the words pdftotext finds on the page, in points.
  static std::pair<double, double> text_span(const std::string& pdf) {
    const std::string boxes = run("pdftotext -bbox '" + pdf + "' -");
    double left = 1e9, right = -1;
    for (size_t at = boxes.find("<word "); at != std::string::npos; at = boxes.find("<word ", at + 1)) {
      double x_min = 0, y_min = 0, x_max = 0;
      if (std::sscanf(boxes.c_str() + at, "<word xMin=\"%lf\" yMin=\"%lf\" xMax=\"%lf\"", &x_min, &y_min, &x_max) == 3) {
        left = std::min(left, x_min);
        right = std::max(right, x_max);
      }
    }
    return {left, right};
  }

  static inline fs::path root_;
  static inline int port_ = 0;
  static inline pid_t pid_ = -1;
  static inline bool ready_ = false;
  static inline std::string output_;
  static inline std::string last_title_;
  static inline ipp_jstate_t last_state_ = IPP_JSTATE_PENDING;
};

TEST_F(PrivateCups, ReceiptPrintsAsOnePdfPageOfTheMediaWidth) {
  TGDIPrinter printer("receipt80");  // the queue is Receipt80: letter case does not matter
  printer.BeginPrint();
  EXPECT_EQ(printer.DpiY(), 203) << "the queue's resolution";
  // The queue's media is 227 points (80.08 mm) wide: 640 pixels at 203 dpi.
  EXPECT_EQ(printer.PageWidth(), 640 - 2) << "the media width less two pixels";
  printer.Initialize();
  TLayoutParser(printer).ParseFile(fixture("receipt.gdi"));
  const int drawn_px = printer.CurrentY();
  printer.EndPrint();
  EXPECT_FALSE(printer.IsPrinting());

  const int job = wait_for_jobs();
  ASSERT_GT(job, 0);
  EXPECT_EQ(last_title_, "Cupom Fiscal");
  EXPECT_EQ(last_state_, IPP_JSTATE_COMPLETED);

  // What the queue was given: one page exactly as tall as the drawing.
  char doc[32];
  std::snprintf(doc, sizeof doc, "d%05d-001", job);
  const auto [sent_w, sent_h] = page_size((root_ / "spool" / doc).string());
  EXPECT_NEAR(sent_w, 227, 0.01);
  EXPECT_NEAR(sent_h, drawn_px * 72.0 / 203, 0.01);

  // What came out of the queue.
  ASSERT_TRUE(fs::exists(output_));
  EXPECT_NE(run("pdfinfo '" + output_ + "'").find("Pages:           1"), std::string::npos);
  const auto [out_w, out_h] = page_size(output_);
  EXPECT_NEAR(out_w, 227, 1.0) << "the media width";
  EXPECT_NEAR(out_h, sent_h, 1.0);
  const std::string text = pdf_text(output_);
  for (const char* line : {"PADARIA BOM PÃO", "CNPJ 12.345.678/0001-99", "CUPOM DE VENDA",
                           "2 x Pão francês 1,60", "TOTAL R$ 12,10",
                           "Pagamento: Cartão de débito", "Obrigado pela preferência!"})
    EXPECT_NE(text.find(line), std::string::npos) << line << " not in: " << text;
}

TEST_F(PrivateCups, CancelledJobSendsNothingAndUnknownPrinterIsReported) {
  const int before = wait_for_jobs();
  {
    TGDIPrinter cancelled("Receipt80");
    cancelled.BeginPrint();
    cancelled.PrintLine("nunca impresso");
    cancelled.CancelPrint();
    EXPECT_FALSE(cancelled.IsPrinting());
    cancelled.EndPrint();  // nothing open any more: nothing to send
    TGDIPrinter destroyed("Receipt80");
    destroyed.BeginPrint();
    destroyed.PrintLine("nunca impresso");
  }
  EXPECT_EQ(wait_for_jobs(), before);

  TGDIPrinter unknown("Impressora Fantasma");
  try {
    unknown.BeginPrint();
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(),
                 "Impressora nao encontrada: \"Impressora Fantasma\"\r\n"
                 "Verifique se ela esta instalada e online.");
  }
  EXPECT_FALSE(unknown.IsPrinting());
}

TEST_F(PrivateCups, ReceiptIsDrawnOnlyOnThePrintableBand) {
  // Receipt72's paper is 80 mm wide, of which the head reaches the middle 72 mm.
  TGDIPrinter printer("Receipt72");
  printer.BeginPrint();
  const TPrintablePage page = TCupsPrinter("Receipt72").DefaultPage();
  EXPECT_NEAR(page.printable_left_mm, 4.0, 0.01);
  EXPECT_NEAR(page.printable_width_mm, 72.08, 0.01);
  EXPECT_EQ(printer.PageWidth(), receipt_page_width_px(72.08, 203));
  printer.Initialize();
  printer.PrintRow("TOTAL", "R$ 12,10", true);
  printer.EndPrint();

  const int job = wait_for_jobs("Receipt72");
  ASSERT_GT(job, 0);
  const auto [width, height] = page_size(spool_file(job));
  EXPECT_NEAR(width, 227, 0.01) << "the page is the whole paper";
  const auto [left, right] = text_span(spool_file(job));
  const double mm = 72 / 25.4;
  EXPECT_GE(left, 4 * mm + 1 * mm - 1) << "the 1 mm margin starts at the printable edge";
  EXPECT_LE(right, (4 + 72.08) * mm) << "the amount ends inside the printable band";
  EXPECT_GE(right, (4 + 72.08 - 4) * mm - 1) << "flush with the right margin of the band";
}

// The print queue on a real printer: an indented layout through the renderer, and a PDF
// through the stand-in PDF program; each ends as a job and its file is deleted.
TEST_F(PrivateCups, QueuePrintsLayoutsAndPdfsAndDeletesTheirFiles) {
  const fs::path dir = root_ / "queue";
  fs::create_directories(dir);
  const std::string layout = (dir / "1_Temp.gdi").string();
  write_file(layout, "<receipt>\n  <line>Indentado</line>\n  <qrcode title=\"Pix\">\n    <![CDATA[" +
                         base64(read_file(fixture("qrcode.png"))) + "]]>\n  </qrcode>\n</receipt>\n");
  const std::string pdf = (dir / "2_Temp.pdf").string();
  TGDIPrinter drawn("");
  drawn.BeginPDF(80, 203, 203);
  drawn.Initialize();
  drawn.PrintLine("Documento PDF");
  write_file(pdf, drawn.EndPDF());

  std::mutex mutex;
  std::condition_variable logged;
  std::string log;
  {
    TPrintQueue queue(std::string(NORVANE_BINARY_DIR) + "/tools/pdfprint/SumatraPDF.exe", "receipt80");
    queue.SetOnLog([&](const std::string& line) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        log += line + "\n";
      }
      logged.notify_all();
    });
    queue.Start();
    wait_for_jobs();
    const int before = job_count("Receipt80");
    queue.AddToQueue(layout);
    queue.SetPrintSettings("noscale");
    queue.AddToQueue(pdf);
    {
      std::unique_lock<std::mutex> lock(mutex);
      EXPECT_TRUE(logged.wait_for(lock, std::chrono::seconds(60),
                                  [&] { return log.find("Impressão concluída: " + pdf) != std::string::npos; }))
          << log;
    }
    EXPECT_FALSE(fs::exists(layout));
    EXPECT_FALSE(fs::exists(pdf));
    wait_for_jobs();
    EXPECT_EQ(job_count("Receipt80"), before + 2) << log;
    EXPECT_EQ(last_state_, IPP_JSTATE_COMPLETED);
    EXPECT_EQ(last_title_, "2_Temp.pdf");
  }
  EXPECT_NE(log.find("Impresso com sucesso em: receipt80"), std::string::npos) << log;
  EXPECT_EQ(log.find("Erro"), std::string::npos) << log;
  EXPECT_EQ(log.find("Processo encerrado"), std::string::npos) << log;
}

}  // namespace
}  // namespace norvane
