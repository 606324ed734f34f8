#include "printing/CupsPrinter.h"

#include <strings.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <stdexcept>

namespace norvane {

namespace {

constexpr int kDefaultDpi = 203;  // thermal receipt printers

struct OptionsFree {
  int count = 0;
  cups_option_t* options = nullptr;
  ~OptionsFree() { cupsFreeOptions(count, options); }
};

}  // namespace

int receipt_page_width_px(double APrintableWidthMm, int ADpiX) {
  return static_cast<int>(std::lround(APrintableWidthMm * ADpiX / 25.4)) - 2;
}

TCupsPrinter::TCupsPrinter(const std::string& AName) : FName(AName) {
  cups_dest_t* dests = nullptr;
  const int count = cupsGetDests2(CUPS_HTTP_DEFAULT, &dests);
  cups_dest_t* found = nullptr;
  for (int i = 0; i < count && !found; ++i)
    if (strcasecmp(dests[i].name, AName.c_str()) == 0) found = &dests[i];
  cups_dest_t* copy = nullptr;
  if (found) cupsCopyDest(found, 0, &copy);
  cupsFreeDests(count, dests);
  if (!copy)
    throw std::runtime_error("Impressora nao encontrada: \"" + AName +
                             "\"\r\nVerifique se ela esta instalada e online.");
  FDest.reset(copy);
}

std::string TCupsPrinter::RefusesJobs() const {
  auto option = [this](const char* name) {
    const char* value = cupsGetOption(name, FDest->num_options, FDest->options);
    return std::string(value ? value : "");
  };
  if (option("printer-is-accepting-jobs") == "false") return "it is not accepting jobs (cupsaccept)";
  if (option("printer-state") == "5") {  // IPP_PSTATE_STOPPED
    const std::string reason = option("printer-state-reasons");
    return "it is stopped (cupsenable)" + (reason.empty() || reason == "none" ? "" : ": " + reason);
  }
  return {};
}

cups_dinfo_t* TCupsPrinter::Info() {
  if (!FInfo) FInfo.reset(cupsCopyDestInfo(CUPS_HTTP_DEFAULT, FDest.get()));
  if (!FInfo)
    throw std::runtime_error("Falha ao consultar a impressora \"" + FName +
                             "\": " + cupsLastErrorString());
  return FInfo.get();
}

TPrintablePage TCupsPrinter::DefaultPage() {
  TPrintablePage page;
  page.dpi_x = page.dpi_y = kDefaultDpi;
  cups_dinfo_t* info = nullptr;
  try {
    info = Info();
  } catch (const std::runtime_error&) {
    return page;  // a printer that tells nothing gets the receipt defaults
  }
  if (ipp_attribute_t* res =
          cupsFindDestDefault(CUPS_HTTP_DEFAULT, FDest.get(), info, "printer-resolution")) {
    ipp_res_t units;
    int yres = 0;
    const int xres = ippGetResolution(res, 0, &yres, &units);
    if (xres > 0 && yres > 0) {
      page.dpi_x = units == IPP_RES_PER_CM ? static_cast<int>(std::lround(xres * 2.54)) : xres;
      page.dpi_y = units == IPP_RES_PER_CM ? static_cast<int>(std::lround(yres * 2.54)) : yres;
    }
  }
  // Sizes and margins come in hundredths of a millimetre. The printable band is what a
  // Windows device context reports as its width: the paper less both unprintable strips.
  cups_size_t size{};
  if (cupsGetDestMediaDefault(CUPS_HTTP_DEFAULT, FDest.get(), info, 0, &size) &&
      size.width > 0) {
    const int left = std::max(size.left, 0), right = std::max(size.right, 0);
    page.media_width_mm = size.width / 100.0;
    if (left + right < size.width) {
      page.printable_left_mm = left / 100.0;
      page.printable_width_mm = (size.width - left - right) / 100.0;
    } else {
      page.printable_width_mm = page.media_width_mm;
    }
  }
  return page;
}

template <typename Source>
int TCupsPrinter::Submit(const std::string& ATitle, const TCupsOptions& AOptions,
                         Source&& ANext) {
  cups_dinfo_t* info = Info();
  OptionsFree options;
  for (const auto& [name, value] : AOptions)
    options.count = cupsAddOption(name.c_str(), value.c_str(), options.count, &options.options);
  int job_id = 0;
  const ipp_status_t created = cupsCreateDestJob(CUPS_HTTP_DEFAULT, FDest.get(), info, &job_id,
                                                 ATitle.c_str(), options.count, options.options);
  if (created > IPP_STATUS_OK_CONFLICTING || job_id <= 0)
    throw std::runtime_error("Falha ao criar o trabalho de impressao: " +
                             std::string(cupsLastErrorString()));
  bool sent = cupsStartDestDocument(CUPS_HTTP_DEFAULT, FDest.get(), info, job_id,
                                    ATitle.c_str(), CUPS_FORMAT_PDF, 0, nullptr,
                                    1) == HTTP_STATUS_CONTINUE;
  std::string why;
  static thread_local char buffer[64 * 1024];
  while (sent) {
    const long n = ANext(buffer, sizeof buffer);
    if (n < 0) {
      why = "falha ao ler o documento";
      sent = false;
    } else if (n == 0) {
      break;
    } else {
      sent = cupsWriteRequestData(CUPS_HTTP_DEFAULT, buffer, static_cast<size_t>(n)) ==
             HTTP_STATUS_CONTINUE;
    }
  }
  const ipp_status_t finished = cupsFinishDestDocument(CUPS_HTTP_DEFAULT, FDest.get(), info);
  if (!sent || finished > IPP_STATUS_OK_CONFLICTING) {
    if (why.empty()) why = cupsLastErrorString();
    cupsCancelDestJob(CUPS_HTTP_DEFAULT, FDest.get(), job_id);
    throw std::runtime_error("Falha ao enviar o documento para a impressora: " + why);
  }
  return job_id;
}

int TCupsPrinter::SubmitPDF(const std::string& ATitle, const TCupsOptions& AOptions,
                            std::string_view APdf) {
  size_t at = 0;
  return Submit(ATitle, AOptions, [&](char* out, size_t room) -> long {
    const size_t n = std::min(room, APdf.size() - at);
    std::copy_n(APdf.data() + at, n, out);
    at += n;
    return static_cast<long>(n);
  });
}

int TCupsPrinter::SubmitPDFFile(const std::string& ATitle, const TCupsOptions& AOptions,
                                const std::string& APath) {
  std::ifstream in(APath, std::ios::binary);
  if (!in) throw std::runtime_error("Falha ao abrir o documento: " + APath);
  return Submit(ATitle, AOptions, [&](char* out, size_t room) -> long {
    in.read(out, static_cast<std::streamsize>(room));
    if (in.bad()) return -1;
    return static_cast<long>(in.gcount());
  });
}

}  // namespace norvane
