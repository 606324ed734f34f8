#include <openssl/evp.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "RoutingFixture.h"
#include "printing/ntPrintQueue.h"

namespace {

namespace fs = std::filesystem;
using Replies = std::vector<std::string>;

// "/print" in a scratch service folder with a printer set and both parts of the PDF program
// present; its queue is never started, so what a request queued stays there to be seen.
class PrintRequestTest : public RoutingTest {
 protected:
  void SetUp() override {
    RoutingTest::SetUp();
    Restore();
  }
  // A printer, both parts of the PDF program, the queue.
  void Restore() {
    SetPrinter("Receipt80");
    for (const char* name : {"SumatraPDF.exe", "libmupdf.dll"}) std::ofstream(folder_ + "/" + name) << "x";
    dm_.SetPrintQueue(&queue_);
  }
  void TearDown() override {
    dm_.SetPrintQueue(nullptr);
    RoutingTest::TearDown();
  }

  void SetPrinter(const std::string& printer) {
    std::ofstream(folder_ + "/" + norvane::exe_base_name() + ".ini")
        << "[sitef]\nserver_port=0\npdv_number=3\nprinter=" << printer << "\n";
  }

  // The same message grown past the size from which the router leaves the document where
  // it arrived (an extra member nobody reads): every reply must be the same either way.
  static std::string Large(const std::string& message) {
    norvane::Json value = norvane::parse_json_text(message).value;
    value["padding"] = std::string(100 * 1024, 'x');
    return norvane::write_json(value);
  }

  static std::string Request(const std::string& data, const std::string& file_type = "pdf") {
    norvane::Json message = norvane::Json::object();
    message["route"] = "/print";
    message["type"] = "print";
    message["data"] = data;
    message["file_type"] = file_type;
    return norvane::write_json(message);
  }

  // The print files in the service folder.
  std::vector<std::string> PrintFiles() {
    std::vector<std::string> files;
    for (const auto& entry : fs::directory_iterator(folder_))
      if (entry.path().filename().string().find("_Temp.") != std::string::npos) files.push_back(entry.path());
    return files;
  }

  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  TPrintQueue queue_{"", "Receipt80"};
};

const std::string kPdf = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n1 0 obj <<>> endobj\n%%EOF\n";
const std::string kPdfBase64 = "JVBERi0xLjQKJeLjz9MKMSAwIG9iaiA8PD4+IGVuZG9iagolJUVPRgo=";

TEST_F(PrintRequestTest, RefusalsAndFailuresGetTheirReplies) {
  const std::string bad = "Erro na conversão do arquivo: Base64 inválido.";
  struct Case {
    const char* what;
    std::string message;
    Replies replies;
    const char* before = nullptr;  // set-up: "no printer", "no SumatraPDF.exe", "no libmupdf.dll", "no queue"
  };
  const std::vector<Case> cases = {
      {"type other than print", R"({"route":"/print","type":"printer","data":"QUJD","file_type":"pdf"})",
       {ErrorReply("Campo type diferente de print.")}},
      {"no type", R"({"route":"/print","data":"QUJD","file_type":"pdf"})", {ErrorReply("Campo type nao encontrado.")}},
      {"no data", R"({"route":"/print","type":"print","file_type":"pdf"})", {ErrorReply("Campo data nao encontrado.")}},
      {"blank data", Request(" \r\n\t "), {ErrorReply("Campo \"data\" não foi preenchido.")}},
      {"no file_type", R"({"route":"/print","type":"print","data":"QUJD"})",
       {ErrorReply("Erro ao imprimir: Campo file_type nao encontrado.")}},
      {"file_type in capitals", Request(kPdfBase64, "PDF"),
       {ErrorReply("Tipo do arquivo inválido. Valor permitido [pdf,gdi]")}},
      {"file_type not a known one", Request(kPdfBase64, "png"),
       {ErrorReply("Tipo do arquivo inválido. Valor permitido [pdf,gdi]")}},
      {"no printer set", Request(kPdfBase64, "gdi"), {ErrorReply("Impressora não definida.")}, "no printer"},
      {"PDF without the program", Request(kPdfBase64), {ErrorReply("SumatraPDF não localizado.")}, "no SumatraPDF.exe"},
      {"PDF without its engine", Request(kPdfBase64), {ErrorReply("libmupdf.dll não localizado.")}, "no libmupdf.dll"},
      {"data that is not base64", Request("%PDF-1.4"), {ErrorReply(bad), ErrorReply("Arquivo convertido não localizado.")}},
      {"base64 cut short", Request(kPdfBase64.substr(1)),
       {ErrorReply(bad), ErrorReply("Arquivo convertido não localizado.")}},
      {"padding inside", Request("QQ==QUJD"), {ErrorReply(bad), ErrorReply("Arquivo convertido não localizado.")}},
      {"a tab is not a blank", Request("QUJD\tQUJD"), {ErrorReply(bad), ErrorReply("Arquivo convertido não localizado.")}},
      {"nothing after the data-URL comma", Request("data:application/pdf;base64,"),
       {ErrorReply("Arquivo convertido não localizado.")}},
      {"no queue running", Request(kPdfBase64), {ErrorReply("Erro ao imprimir: Fila de impressão não iniciada.")},
       "no queue"},
  };
  for (const bool large : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (large ? ", large message" : ""));
      const std::string before = c.before ? c.before : "";
      if (before == "no printer") SetPrinter("");
      if (before == "no SumatraPDF.exe") fs::remove(folder_ + "/SumatraPDF.exe");
      if (before == "no libmupdf.dll") fs::remove(folder_ + "/libmupdf.dll");
      if (before == "no queue") dm_.SetPrintQueue(nullptr);
      EXPECT_EQ(Route(large ? Large(c.message) : c.message), c.replies);
      EXPECT_TRUE(PrintFiles().empty()) << "a refused request leaves no file behind";
      EXPECT_EQ(queue_.Count(), 0u);
      Restore();
    }
  }
}

TEST_F(PrintRequestTest, DocumentIsWrittenToANewFileAndQueuedWithoutAReply) {
  std::string wrapped;  // a data-URL prefix and line breaks every 16 characters
  for (size_t at = 0; at < kPdfBase64.size(); at += 16) wrapped += kPdfBase64.substr(at, 16) + "\r\n ";
  struct Case {
    const char* what;
    std::string data;
    std::string file_type;
  };
  const std::vector<Case> cases = {
      {"bare base64", kPdfBase64, "pdf"},
      {"data-URL prefix, wrapped", "data:application/pdf;base64," + wrapped, "pdf"},
      {"a layout needs no PDF program", kPdfBase64, "gdi"},
  };
  fs::remove(folder_ + "/SumatraPDF.exe");  // not needed for "gdi"; "pdf" is checked below with it
  for (const bool large : {false, true})
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.what) + (large ? ", large message" : ""));
    if (c.file_type == "pdf") std::ofstream(folder_ + "/SumatraPDF.exe") << "x";
    for (const std::string& file : PrintFiles()) fs::remove(file);
    TPrintQueue queue("", "Receipt80");
    dm_.SetPrintQueue(&queue);
    EXPECT_EQ(Route(large ? Large(Request(c.data, c.file_type)) : Request(c.data, c.file_type)), Replies{});
    const auto files = PrintFiles();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(std::regex_match(fs::path(files[0]).filename().string(),
                                 std::regex("(0|[1-9][0-9]{0,6})_Temp\\." + c.file_type)))
        << files[0];
    EXPECT_EQ(Read(files[0]), kPdf);
    EXPECT_EQ(queue.Count(), 1u);
    EXPECT_EQ(queue.PrintSettings(), "noscale");
    dm_.SetPrintQueue(nullptr);
    if (c.file_type == "gdi") fs::remove(folder_ + "/SumatraPDF.exe");
  }
}

TEST_F(PrintRequestTest, RequestsNeverOverwriteADocumentStillWaiting) {
  constexpr int kRequests = 50;
  for (int i = 0; i < kRequests; ++i) EXPECT_EQ(Route(Request(kPdfBase64)), Replies{});
  EXPECT_EQ(PrintFiles().size(), size_t(kRequests));
  EXPECT_EQ(queue_.Count(), size_t(kRequests));
}

TEST_F(PrintRequestTest, SixtyMebibytesOfBase64AreWrittenWhole) {
  // 45 MiB of document: the largest a WebSocket message of this service can carry.
  const std::string document = "%PDF-1.4\n" + std::string(45u * 1024 * 1024 - 9, 'A');
  std::string data(60u * 1024 * 1024 + 1, '\0');
  data.resize(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(data.data()),
                              reinterpret_cast<const unsigned char*>(document.data()), static_cast<int>(document.size())));
  ASSERT_EQ(data.size(), 60u * 1024 * 1024);
  EXPECT_EQ(Route(Request(data)), Replies{});
  const auto files = PrintFiles();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(fs::file_size(files[0]), document.size());
  EXPECT_TRUE(Read(files[0]) == document);
  EXPECT_EQ(queue_.Count(), 1u);
}

}  // namespace
