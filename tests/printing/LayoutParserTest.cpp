#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "PrintingTestSupport.h"
#include "printing/uLayoutParser.h"

namespace norvane {
namespace {

using namespace printing_test;

// Stands in for the renderer and writes down every call, in order.
class RecordingBuilder : public TReceiptBuilder {
 public:
  std::vector<std::string> calls;
  TFontSize size = fsNormal;

  std::string Joined() const {
    std::string out;
    for (const std::string& c : calls) out += (out.empty() ? "" : "; ") + c;
    return out;
  }

  TFontSize CurrentFontSize() const override { return size; }
  void SetAlignment(TTextAlign a) override {
    calls.push_back(std::string("align:") + (a == taLeft ? "left" : a == taCenter ? "center" : "right"));
  }
  void SetBold(bool b) override { calls.push_back(std::string("bold:") + (b ? "1" : "0")); }
  void SetFontSize(TFontSize s) override {
    size = s;
    const char* names[] = {"normal", "large", "dblheight", "dblwidth"};
    calls.push_back(std::string("size:") + names[s]);
  }
  void SetInverse(bool i) override { calls.push_back(std::string("inverse:") + (i ? "1" : "0")); }
  void PrintLine(const std::string& t) override { calls.push_back("line:" + t); }
  void PrintText(const std::string& t) override { calls.push_back("text:" + t); }
  void PrintRow(const std::string& l, const std::string& r, bool b) override {
    calls.push_back("row:" + l + "|" + r + "|" + (b ? "1" : "0"));
  }
  void PrintHRule() override { calls.push_back("hr"); }
  void PrintLineFeed(int n) override { calls.push_back("feed:" + std::to_string(n)); }
  void PrintQRCode(const std::string& d, const std::string& t) override {
    calls.push_back("qr:" + d + "|" + t);
  }
  void PrintImage(const std::string& d, int w, int h) override {
    calls.push_back("image:" + d + "|" + std::to_string(w) + "|" + std::to_string(h));
  }
  void Cut(bool partial) override { calls.push_back(std::string("cut:") + (partial ? "1" : "0")); }
};

std::string calls_for(const std::string& xml) {
  RecordingBuilder recorder;
  TLayoutParser(recorder).ParseXML(xml);
  return recorder.Joined();
}

TEST(LayoutParser, ElementsMakeTheRendererCallsOfTheirRules) {
  struct Case {
    const char* what;
    const char* xml;
    const char* calls;
  } cases[] = {
      {"names in capitals", "<RECEIPT><LINE>Oi</LINE><Hr/></RECEIPT>",
       "align:left; size:normal; text:Oi ; line:; size:normal; hr"},
      {"bold YES", "<receipt><line bold=\"YES\">a</line></receipt>",
       "align:left; size:normal; bold:1; text:a ; line:; bold:0; size:normal"},
      {"bold 1 with blanks", "<receipt><line bold=\" 1 \">a</line></receipt>",
       "align:left; size:normal; bold:1; text:a ; line:; bold:0; size:normal"},
      {"bold on is false", "<receipt><line bold=\"on\">a</line></receipt>",
       "align:left; size:normal; text:a ; line:; size:normal"},
      {"attribute names keep their case", "<receipt><line Bold=\"true\" SIZE=\"double\">a</line></receipt>",
       "align:left; size:normal; text:a ; line:; size:normal"},
      {"center with bold children is one paragraph",
       "<receipt><center bold=\"true\" size=\"double\">Total\n  a pagar <bold>12,00</bold></center></receipt>",
       "align:center; size:large; bold:1; line:Total a pagar 12,00; bold:0; size:normal; align:left"},
      {"center holding a line renders it as a block",
       "<receipt><center><line>x</line></center></receipt>",
       "align:center; size:normal; align:left; size:normal; text:x ; line:; size:normal; "
       "size:normal; align:left"},
      {"line with inline bold",
       "<receipt><line>Total <bold size=\"double\">12,00</bold></line></receipt>",
       "align:left; size:normal; text:Total ; size:large; bold:1; text:12,00 ; bold:0; "
       "size:normal; line:; size:normal"},
      {"inline bold without size keeps the size, unknown inline elements are transparent",
       "<receipt><line size=\"large\"><b><bold>A</bold></b></line></receipt>",
       "align:left; size:dblheight; bold:1; text:A ; bold:0; size:dblheight; line:; size:normal"},
      {"row with two left cells prints the last",
       "<receipt><row bold=\"true\"><left>a</left><left> b </left><right>c</right><x>y</x></row></receipt>",
       "size:normal; row:b|c|1; size:normal"},
      {"row with a missing cell", "<receipt><row size=\"double\"><right>9</right></row></receipt>",
       "size:large; row:|9|0; size:normal"},
      {"feed counts", "<receipt><feed lines=\"3\"/><feed lines=\"x\"/><feed/><feed lines=\"2.5\"/></receipt>",
       "feed:3; feed:1; feed:1; feed:1"},
      {"CDATA in a line is not printed",
       "<receipt><line>a<![CDATA[ secret ]]>b</line></receipt>",
       "align:left; size:normal; text:a ; text:b ; line:; size:normal"},
      {"CDATA in a title is",
       "<receipt><title size=\"large\">a<![CDATA[ b ]]></title></receipt>",
       "align:center; size:dblheight; bold:1; line:a b; bold:0; size:normal; align:left"},
      {"inverse keeps the size",
       "<receipt><inverse bold=\"1\">  A\r\n   B </inverse></receipt>",
       "align:center; inverse:1; bold:1; line:A B; bold:0; inverse:0; align:left"},
      {"empty qrcode and image",
       "<receipt><qrcode title=\"Pague\"/><image/><qrcode></qrcode></receipt>",
       "qr:|Pague; image:|0|0; qr:|"},
      {"picture text is trimmed, sizes read",
       "<receipt><image width=\"40\" height=\"abc\">\n  QUJD\n</image><qrcode><![CDATA[ REVG ]]></qrcode></receipt>",
       "image:QUJD|40|0; qr:REVG|"},
      {"image inside a line starts a new line",
       "<receipt><line>a<image width=\"10\">QUJD</image></line></receipt>",
       "align:left; size:normal; text:a ; line:; image:QUJD|10|0; line:; size:normal"},
      {"text outside blocks and unknown blocks are skipped",
       "<receipt>solto<line>x</line><unknown><line>y</line></unknown>fim<cut/></receipt>",
       "align:left; size:normal; text:x ; line:; size:normal; cut:1"},
      {"indentation around CDATA in a qrcode is not content",
       "<receipt>\n  <qrcode title=\"Pix\">\n    <![CDATA[REVG]]>\n  </qrcode>\n  <image>\r\n\t<![CDATA[QUJD]]> </image></receipt>",
       "qr:REVG|Pix; image:QUJD|0|0"},
      {"blank-only text between inline elements is dropped, text with blanks is kept",
       "<receipt><line>\n  <bold>A</bold>\n  <bold>B</bold> c </line></receipt>",
       "align:left; size:normal; bold:1; text:A ; bold:0; size:normal; bold:1; text:B ; bold:0; size:normal; "
       "text:c ; line:; size:normal"},
      {"the root is a block too", "<line>so</line>",
       "align:left; size:normal; text:so ; line:; size:normal"},
  };
  for (const Case& c : cases) EXPECT_EQ(calls_for(c.xml), c.calls) << c.what;
}

TEST(LayoutParser, RefusesWhatIsNotALayout) {
  const std::string deep = std::string("<receipt>") + [] {
    std::string s;
    for (int i = 0; i < 10000; ++i) s += "<section>";
    for (int i = 0; i < 10000; ++i) s += "</section>";
    return s;
  }() + "</receipt>";
  struct Case {
    const char* what;
    std::string xml;
    std::string message_start;
  } cases[] = {
      {"blank", "  \r\n\t ", "Conteudo XML vazio."},
      {"not XML", "isto nao e XML", "XML invalido (linha 1):"},
      {"unclosed", "<receipt><line>a</receipt>", "XML invalido (linha 1):"},
      {"ten thousand deep", deep, "XML invalido (linha 1):"},
      {"50 MiB", "<receipt>" + std::string(50u << 20, ' ') + "</receipt>", "Conteudo XML grande demais"},
      {"image holding an element", "<receipt><image><b/></image></receipt>",
       "Elemento \"image\" nao contem um unico no de texto."},
      {"qrcode holding a comment", "<receipt><qrcode>QUJD<!-- x --></qrcode></receipt>",
       "Elemento \"qrcode\" nao contem um unico no de texto."},
  };
  for (const Case& c : cases) {
    RecordingBuilder recorder;
    try {
      TLayoutParser(recorder).ParseXML(c.xml);
      ADD_FAILURE() << c.what << ": no exception";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()).rfind(c.message_start, 0), 0u) << c.what << ": " << e.what();
    }
  }
}

TEST(LayoutParser, EntitiesAreNeitherFetchedNorExpanded) {
  const std::string secret = ::testing::TempDir() + "secret-" + std::to_string(getpid()) + ".txt";
  write_file(secret, "SEGREDO");
  const std::string xxe = "<?xml version=\"1.0\"?><!DOCTYPE receipt [<!ENTITY x SYSTEM \"file://" +
                          secret + "\">]><receipt><title>a&x;b</title><line>&x;</line></receipt>";
  RecordingBuilder recorder;
  try {
    TLayoutParser(recorder).ParseXML(xxe);
  } catch (const std::runtime_error&) {
    // refusing the document is as good as leaving the entity out
  }
  EXPECT_EQ(recorder.Joined().find("SEGREDO"), std::string::npos) << recorder.Joined();
  std::filesystem::remove(secret);

  // A billion laughs: ten levels of ten references each.
  std::string bomb = "<?xml version=\"1.0\"?><!DOCTYPE receipt [<!ENTITY l0 \"ha\">";
  for (int i = 1; i <= 10; ++i) {
    bomb += "<!ENTITY l" + std::to_string(i) + " \"";
    for (int j = 0; j < 10; ++j) bomb += "&l" + std::to_string(i - 1) + ";";
    bomb += "\">";
  }
  bomb += "]><receipt><title>&l10;</title></receipt>";
  RecordingBuilder bombed;
  try {
    TLayoutParser(bombed).ParseXML(bomb);
  } catch (const std::runtime_error&) {
  }
  EXPECT_LT(bombed.Joined().size(), 1000u) << "nothing expanded";
}

TEST(LayoutParser, FileIsReadInItsDeclaredEncodingAndMissingOrHugeFilesAreRefused) {
  const std::string path = ::testing::TempDir() + "latin1-" + std::to_string(getpid()) + ".gdi";
  write_file(path, "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><receipt><title>P\xC3O</title></receipt>");
  RecordingBuilder recorder;
  TLayoutParser(recorder).ParseFile(path);
  EXPECT_NE(recorder.Joined().find("line:P\xC3\x83O"), std::string::npos) << recorder.Joined();
  std::filesystem::remove(path);

  try {
    TLayoutParser(recorder).ParseFile("/nao/existe.gdi");
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Arquivo de leiaute nao encontrado: /nao/existe.gdi");
  }

  const std::string huge = ::testing::TempDir() + "huge-" + std::to_string(getpid()) + ".gdi";
  write_file(huge, "<receipt>");
  std::filesystem::resize_file(huge, 50u << 20);  // 50 MiB, refused before it is read
  try {
    TLayoutParser(recorder).ParseFile(huge);
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Arquivo de leiaute grande demais", 0), 0u) << e.what();
  }
  std::filesystem::remove(huge);
}

// Forwards to the real renderer and notes the band of rows every text call occupies.
class BandRecorder : public TReceiptBuilder {
 public:
  explicit BandRecorder(TGDIPrinter& p) : p_(p) {}
  std::vector<std::pair<int, int>> bands;  // [top, bottom) of each printed text line

  TFontSize CurrentFontSize() const override { return p_.CurrentFontSize(); }
  void SetAlignment(TTextAlign a) override { p_.SetAlignment(a); }
  void SetBold(bool b) override { p_.SetBold(b); }
  void SetFontSize(TFontSize s) override { p_.SetFontSize(s); }
  void SetInverse(bool i) override { p_.SetInverse(i); }
  void PrintLine(const std::string& t) override { Note(!t.empty(), [&] { p_.PrintLine(t); }); }
  void PrintText(const std::string& t) override {
    const int top = p_.CurrentY();
    p_.PrintText(t);
    bands.emplace_back(top, p_.CurrentY() + p_.LineHeight());
  }
  void PrintRow(const std::string& l, const std::string& r, bool b) override {
    Note(true, [&] { p_.PrintRow(l, r, b); });
  }
  void PrintHRule() override { Note(true, [&] { p_.PrintHRule(); }); }
  void PrintLineFeed(int n) override { p_.PrintLineFeed(n); }
  void PrintQRCode(const std::string& d, const std::string& t) override {
    Note(true, [&] { p_.PrintQRCode(d, t); });
  }
  void PrintImage(const std::string& d, int w, int h) override { p_.PrintImage(d, w, h); }
  void Cut(bool partial) override { p_.Cut(partial); }

 private:
  template <class F>
  void Note(bool inked, F draw) {
    const int top = p_.CurrentY();
    draw();
    if (inked) bands.emplace_back(top, p_.CurrentY());
  }
  TGDIPrinter& p_;
};

TEST(LayoutPreview, SampleReceiptHasInkOnEveryLineAndItsQRCodeDecodes) {
  TGDIPrinter printer("");
  printer.BeginPreview(640, 203);
  printer.Initialize();
  BandRecorder bands(printer);
  TLayoutParser(bands).ParseFile(fixture("receipt.gdi"));
  const int bottom = printer.CurrentY();
  const auto bmp = printer.EndPreview();
  ASSERT_NE(bmp, nullptr);
  EXPECT_EQ(bmp->Height(), bottom + printer.MmToPx(8));
  EXPECT_EQ(bmp->Width(), 640);

  ASSERT_GE(bands.bands.size(), 12u);
  for (const auto& [top, end] : bands.bands)
    EXPECT_FALSE(ink_box(*bmp, top, end).empty()) << "no ink in rows " << top << "-" << end;
  // Between the last text line and the bottom margin the paper stays blank.
  EXPECT_TRUE(ink_box(*bmp, bottom, bmp->Height()).empty());

  const std::string png = ::testing::TempDir() + "receipt-" + std::to_string(getpid()) + ".png";
  bmp->SaveToPNG(png);
  EXPECT_EQ(run("zbarimg -q --raw '" + png + "'"),
            "https://nfce.norvane.example/consulta?chave=35260512345678000199650010000012341000012345\n");
  std::filesystem::remove(png);
}

}  // namespace
}  // namespace norvane
