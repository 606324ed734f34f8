// SumatraPDF.exe -print-to PRINTER [-print-settings SETTINGS] -silent -exit-when-done
//                -data-dir FOLDER FILE.pdf
//
// A stand-in, for this service, of the PDF program it starts to print PDF documents: it
// takes that program's command line and prints the file on a CUPS printer. Exit codes:
// 0 the job was accepted, 3 the print settings are not known, 1 anything else (with the
// reason on standard error).
#include <cstdio>
#include <cstring>
#include <string>

#include "PdfPrintEngine.h"

namespace {

int usage(const char* why) {
  std::fprintf(stderr,
               "%s\nuso: SumatraPDF.exe -print-to IMPRESSORA [-print-settings noscale|fit] "
               "-silent -exit-when-done -data-dir PASTA ARQUIVO.pdf\n",
               why);
  return PDFPRINT_ERROR;
}

}  // namespace

int main(int argc, char** argv) {
  const char* printer = nullptr;
  const char* settings = "";
  const char* data_dir = "";
  const char* pdf = nullptr;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    auto value = [&](const char*& into) {
      if (i + 1 >= argc) return false;
      into = argv[++i];
      return true;
    };
    if (std::strcmp(arg, "-print-to") == 0) {
      if (!value(printer)) return usage("Falta o nome da impressora depois de -print-to.");
    } else if (std::strcmp(arg, "-print-settings") == 0) {
      if (!value(settings)) return usage("Falta o valor de -print-settings.");
    } else if (std::strcmp(arg, "-data-dir") == 0) {
      if (!value(data_dir)) return usage("Falta a pasta depois de -data-dir.");
    } else if (std::strcmp(arg, "-silent") == 0 || std::strcmp(arg, "-exit-when-done") == 0) {
      // This program never shows a window and always ends after printing.
    } else if (arg[0] == '-' && arg[1] != '\0') {
      return usage((std::string("Opção desconhecida: ") + arg).c_str());
    } else if (!pdf) {
      pdf = arg;
    } else {
      return usage("Só um arquivo PDF pode ser impresso por vez.");
    }
  }
  if (!printer) return usage("Informe a impressora com -print-to.");
  if (!pdf) return usage("Informe o arquivo PDF.");
  char message[1024] = "";
  const int code = pdfprint_print(printer, settings, data_dir, pdf, message, sizeof message);
  if (code != PDFPRINT_DONE) std::fprintf(stderr, "%s\n", message);
  return code;
}
