// Feeds arbitrary text to the receipt layout parser, drawing into a small preview.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

#include "printing/uGDIPrinter.h"
#include "printing/uLayoutParser.h"

// Pango keeps the font patterns fontconfig gives it in a process-wide cache that is never
// freed; the leak checker would stop every run on them. Our own allocations stay checked.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  norvane::TGDIPrinter printer("");
  printer.BeginPreview(200);
  printer.Initialize();
  try {
    norvane::TLayoutParser(printer).ParseXML(
        std::string(reinterpret_cast<const char*>(data), size));
  } catch (const std::exception&) {
    // Refusing bad input with a message is the expected outcome.
  }
  printer.EndPreview();
  return 0;
}
