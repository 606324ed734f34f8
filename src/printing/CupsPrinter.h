#pragma once
#include <cups/cups.h>

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace norvane {

// Where a printer can draw on its default media: the paper's width, the strip at its left
// edge that the head cannot reach, the width it can reach, and the resolution.
struct TPrintablePage {
  double media_width_mm = 80;
  double printable_left_mm = 0;
  double printable_width_mm = 80;
  int dpi_x = 203;
  int dpi_y = 203;
};

// The page width a receipt is drawn on, in pixels, for a printable band AWidthMm wide: the
// band at the horizontal resolution less 2 pixels, as the printer's device context gave
// it. Printing and the preview for a paper size both take it from here, so a line wraps
// on paper exactly where it wraps in the preview.
int receipt_page_width_px(double APrintableWidthMm, int ADpiX);

// CUPS job options, name and value, in the order given.
using TCupsOptions = std::vector<std::pair<std::string, std::string>>;

// One CUPS destination, found by name, and the submission of PDF jobs to it. The receipt
// renderer and the stand-in PDF printing program both send their documents through it, so
// drawing stays apart from where the drawing goes.
class TCupsPrinter {
 public:
  // Finds the destination among the CUPS printers, letter case ignored (the first match
  // wins). Throws "Impressora nao encontrada: ..." when there is none.
  explicit TCupsPrinter(const std::string& AName);

  const std::string& Name() const { return FName; }

  // Empty when the printer takes jobs now; else why not (CUPS refuses them, or it is
  // stopped), as CUPS told when it was found.
  std::string RefusesJobs() const;

  // Resolution and printable band of the default media; 203 dpi and 80 mm of fully
  // printable paper for what the printer does not state.
  TPrintablePage DefaultPage();

  // Sends one PDF document as one job and returns the job's id. Throws when CUPS refuses
  // the job or the document does not arrive whole (the job is then cancelled).
  int SubmitPDF(const std::string& ATitle, const TCupsOptions& AOptions, std::string_view APdf);
  // The same for a PDF file, read in pieces so that a large document is never held whole.
  int SubmitPDFFile(const std::string& ATitle, const TCupsOptions& AOptions,
                    const std::string& APath);

 private:
  struct DestFree {
    void operator()(cups_dest_t* d) const { cupsFreeDests(1, d); }
  };
  struct InfoFree {
    void operator()(cups_dinfo_t* i) const { cupsFreeDestInfo(i); }
  };
  cups_dinfo_t* Info();
  // ANext fills its buffer and answers the bytes given, 0 at the end, -1 on a read error.
  template <typename Source>
  int Submit(const std::string& ATitle, const TCupsOptions& AOptions, Source&& ANext);

  std::string FName;
  std::unique_ptr<cups_dest_t, DestFree> FDest;
  std::unique_ptr<cups_dinfo_t, InfoFree> FInfo;
};

}  // namespace norvane
