#include "PdfPrintEngine.h"

#include <strings.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <fstream>
#include <string>

#include "platform/Text.h"
#include "printing/CupsPrinter.h"

namespace {

void say(char* out, size_t size, const std::string& text) {
  if (out && size) std::snprintf(out, size, "%s", text.c_str());
}

// A PDF starts with "%PDF-" within its first kilobyte (readers allow leading garbage).
bool looks_like_pdf(const char* path, std::string& why) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    why = std::string("Arquivo não encontrado ou ilegível: ") + path;
    return false;
  }
  std::string head(1024, '\0');
  in.read(head.data(), static_cast<std::streamsize>(head.size()));
  head.resize(static_cast<size_t>(in.gcount()));
  if (head.find("%PDF-") == std::string::npos) {
    why = std::string("O arquivo não é um PDF: ") + path;
    return false;
  }
  return true;
}

void journal(const std::string& data_dir, const std::string& line) {
  if (data_dir.empty()) return;
  std::ofstream(data_dir + "/pdfprint.log", std::ios::app) << std::time(nullptr) << ' ' << line
                                                          << '\n';
}

}  // namespace

extern "C" int pdfprint_print(const char* APrinter, const char* ASettings, const char* ADataDir,
                              const char* APdfPath, char* AMessage, size_t AMessageSize) {
  const std::string settings = norvane::trim(ASettings ? ASettings : "");
  const std::string data_dir = ADataDir ? ADataDir : "";
  norvane::TCupsOptions options;
  if (strcasecmp(settings.c_str(), "noscale") == 0) {
    options = {{"print-scaling", "none"}};
  } else if (strcasecmp(settings.c_str(), "fit") == 0) {
    options = {{"print-scaling", "fit"}, {"fit-to-page", "true"}};
  } else if (!settings.empty()) {
    say(AMessage, AMessageSize, "Configuração de impressão desconhecida: " + settings);
    return PDFPRINT_SETTINGS_REFUSED;
  }
  std::string why;
  if (!APdfPath || !looks_like_pdf(APdfPath, why)) {
    say(AMessage, AMessageSize, why.empty() ? "Nenhum arquivo PDF informado." : why);
    return PDFPRINT_ERROR;
  }
  try {
    norvane::TCupsPrinter printer(APrinter ? APrinter : "");
    const std::string title = std::strrchr(APdfPath, '/') ? std::strrchr(APdfPath, '/') + 1 : APdfPath;
    const int job = printer.SubmitPDFFile(title, options, APdfPath);
    journal(data_dir, "trabalho " + std::to_string(job) + " em \"" + printer.Name() + "\": " + APdfPath);
    return PDFPRINT_DONE;
  } catch (const std::exception& error) {
    say(AMessage, AMessageSize, error.what());
    journal(data_dir, std::string("erro: ") + error.what());
    return PDFPRINT_ERROR;
  }
}
