// A typical receipt (about 40 lines, a table of rows, rules and a 35 mm QR code) at
// 203 dpi: how long parsing, drawing and PDF encoding each take, and the whole print
// path against the preview path as its peer.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <fstream>
#include <sstream>
#include <string>

#include "printing/uGDIPrinter.h"
#include "printing/uLayoutParser.h"

namespace {

using namespace norvane;

std::string typical_receipt() {
  std::ifstream in(std::string(NORVANE_SOURCE_DIR) + "/tests/printing/fixtures/qrcode.png",
                   std::ios::binary);
  std::stringstream png;
  png << in.rdbuf();
  const std::string bytes = png.str();
  std::string qr(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  qr.resize(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(qr.data()),
                            reinterpret_cast<const unsigned char*>(bytes.data()),
                            static_cast<int>(bytes.size())));
  std::string xml = "<receipt><header><title size=\"double\">MERCADO CENTRAL</title>"
                    "<center>Av. Brasil, 1500 - Centro - Campinas/SP</center>"
                    "<center>CNPJ 12.345.678/0001-99  IE 123.456.789.110</center></header><hr/>"
                    "<inverse bold=\"true\">DOCUMENTO AUXILIAR DA NFC-e</inverse>";
  for (int i = 1; i <= 24; ++i)
    xml += "<row><left>" + std::to_string(i) + " PRODUTO DE EXEMPLO " + std::to_string(i * 7) +
           " UN</left><right>" + std::to_string(i * 3) + ",90</right></row>";
  xml += "<hr/><row bold=\"yes\"><left>TOTAL</left><right>R$ 1.234,56</right></row>"
         "<row><left>Cartao de debito</left><right>1.234,56</right></row>"
         "<line>Consumidor: <bold>CPF 123.456.789-00</bold></line>"
         "<line>NFC-e n 000123 Serie 001 Emissao 10/05/2026 14:32:10</line>"
         "<line>Chave de acesso: 3526 0512 3456 7800 0199 6500 1000 0012 3410 0001 2345</line>"
         "<feed lines=\"1\"/><qrcode title=\"Consulte pelo QR Code\">" + qr + "</qrcode>"
         "<center>Obrigado pela preferencia!</center><feed lines=\"3\"/><cut/></receipt>";
  return xml;
}

const std::string& receipt() {
  static const std::string xml = typical_receipt();
  return xml;
}

// Parses and walks the layout without drawing anything.
class NullBuilder : public TReceiptBuilder {
 public:
  TFontSize CurrentFontSize() const override { return fsNormal; }
  void SetAlignment(TTextAlign) override {}
  void SetBold(bool) override {}
  void SetFontSize(TFontSize) override {}
  void SetInverse(bool) override {}
  void PrintLine(const std::string&) override {}
  void PrintText(const std::string&) override {}
  void PrintRow(const std::string&, const std::string&, bool) override {}
  void PrintHRule() override {}
  void PrintLineFeed(int) override {}
  void PrintQRCode(const std::string&, const std::string&) override {}
  void PrintImage(const std::string&, int, int) override {}
  void Cut(bool) override {}
};

void BM_Parse(benchmark::State& state) {
  NullBuilder builder;
  for (auto _ : state) TLayoutParser(builder).ParseXML(receipt());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Parse);

void BM_ParseAndDraw(benchmark::State& state) {
  for (auto _ : state) {
    TGDIPrinter printer("");
    printer.BeginPDF(80, 203, 203);
    printer.Initialize();
    TLayoutParser(printer).ParseXML(receipt());
    printer.CancelPrint();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ParseAndDraw);

void BM_ParseDrawAndEncodePdf(benchmark::State& state) {
  size_t bytes = 0;
  for (auto _ : state) {
    TGDIPrinter printer("");
    printer.BeginPDF(80, 203, 203);
    printer.Initialize();
    TLayoutParser(printer).ParseXML(receipt());
    bytes = printer.EndPDF().size();
  }
  state.counters["pdf_bytes"] = static_cast<double>(bytes);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ParseDrawAndEncodePdf);

// Peer: the same receipt drawn into a 203 dpi preview picture instead of a PDF.
void BM_Preview(benchmark::State& state) {
  for (auto _ : state) {
    TGDIPrinter printer("");
    printer.BeginPreview(639, 203);
    printer.Initialize();
    TLayoutParser(printer).ParseXML(receipt());
    benchmark::DoNotOptimize(printer.EndPreview());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Preview);

}  // namespace

BENCHMARK_MAIN();
