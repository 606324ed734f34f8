#pragma once
// The engine of the stand-in PDF printing program, built as its own library so that the
// program, like the one it stands in for, runs only with its engine beside it.
#include <cstddef>

extern "C" {

// Exit codes of the program, as the print queue reads them.
enum { PDFPRINT_DONE = 0, PDFPRINT_ERROR = 1, PDFPRINT_SETTINGS_REFUSED = 3 };

// Prints the PDF file on the named CUPS printer. ASettings: "noscale" (no scaling), "fit"
// (fit to the page) or empty (the printer's default); anything else is refused with
// PDFPRINT_SETTINGS_REFUSED before anything is sent. ADataDir, when not empty, is the
// only place the engine writes to (a journal of its jobs). On failure AMessage receives
// why, in a sentence.
__attribute__((visibility("default"))) int pdfprint_print(
    const char* APrinter, const char* ASettings, const char* ADataDir, const char* APdfPath,
    char* AMessage, size_t AMessageSize);

}
