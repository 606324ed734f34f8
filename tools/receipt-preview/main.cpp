// receipt-preview [--paper 58|80] [--dpi N] LAYOUT OUT.png
//
// Draws a receipt layout the way the receipt printer will, into a PNG as wide as a printer
// whose whole paper width is printable draws it at that resolution, so that a receipt can
// be designed without printing: a line wraps here where it wraps on paper.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "printing/uGDIPrinter.h"
#include "printing/uLayoutParser.h"

namespace {

int usage() {
  std::fprintf(stderr,
               "uso: receipt-preview [--paper 58|80] [--dpi N] LEIAUTE SAIDA.png\n"
               "  --paper  largura do papel em milimetros (58 ou 80; padrao 80)\n"
               "  --dpi    resolucao da impressora (72 a 1200; padrao 203)\n");
  return 2;
}

bool read_number(const char* text, int& value) {
  char* end = nullptr;
  const long n = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || n < 0 || n > 100000) return false;
  value = static_cast<int>(n);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int paper_mm = 80;
  int dpi = 203;
  std::string files[2];
  int file_count = 0;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--paper") == 0 && i + 1 < argc) {
      if (!read_number(argv[++i], paper_mm) || (paper_mm != 58 && paper_mm != 80)) return usage();
    } else if (std::strcmp(arg, "--dpi") == 0 && i + 1 < argc) {
      if (!read_number(argv[++i], dpi) || dpi < 72 || dpi > 1200) return usage();
    } else if (arg[0] == '-' && arg[1] != '\0') {
      return usage();
    } else if (file_count < 2) {
      files[file_count++] = arg;
    } else {
      return usage();
    }
  }
  if (file_count != 2) return usage();

  try {
    norvane::TGDIPrinter printer("");
    printer.BeginPreview(norvane::receipt_page_width_px(paper_mm, dpi), dpi);
    printer.Initialize();
    norvane::TLayoutParser(printer).ParseFile(files[0]);
    printer.EndPreview()->SaveToPNG(files[1]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "receipt-preview: %s\n", e.what());
    return 1;
  }
  return 0;
}
