#include "printing/uGDIPrinter.h"

#include <cairo-pdf.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "platform/Base64.h"
#include "printing/CupsPrinter.h"

namespace norvane {

namespace {

constexpr int kPreviewHeight = 6000;
constexpr int kMaxPreviewWidth = 4000;  // 80 mm at 1200 dpi fits; 96 MB of picture at most
constexpr int kFeedStep = 30;           // a fixed feed step, whatever the resolution

// Pictures larger than this are refused before decoding: the PNG header alone can ask
// for 100000 x 100000 pixels (40 GB), which no receipt needs.
constexpr uint32_t kMaxImageSide = 10000;
constexpr uint64_t kMaxImagePixels = 16u * 1024 * 1024;

// MulDiv of the Windows API: a * b / c rounded to the nearest, halves away from zero.
int mul_div(int64_t a, int64_t b, int64_t c) {
  const int64_t p = a * b;
  const int64_t q = (p >= 0) ? (p + c / 2) / c : (p - c / 2) / c;
  return static_cast<int>(std::clamp<int64_t>(q, -TGDIPrinter::kMaxCoordinate,
                                               TGDIPrinter::kMaxCoordinate));
}

// Pango refuses (and warns about) text that is not UTF-8; a stray byte becomes "?" so
// the rest of the line still prints.
std::string valid_utf8(const std::string& text) {
  const char* end = nullptr;
  if (g_utf8_validate(text.data(), static_cast<gssize>(text.size()), &end)) return text;
  std::string out;
  const char* p = text.data();
  const char* const stop = text.data() + text.size();
  while (p < stop) {
    if (g_utf8_validate(p, stop - p, &end)) {
      out.append(p, stop);
      break;
    }
    out.append(p, end);
    out.push_back('?');
    p = end + 1;
  }
  return out;
}

std::string clean_image_data(const std::string& data) {
  std::string out;
  out.reserve(data.size());
  for (char c : data)
    if (c != '\r' && c != '\n' && c != ' ') out.push_back(c);
  // Trim what is left (tabs and other control characters at the ends).
  size_t b = 0, e = out.size();
  while (b < e && static_cast<unsigned char>(out[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(out[e - 1]) <= ' ') --e;
  return out.substr(b, e - b);
}

uint32_t read_be32(const std::string& s, size_t at) {
  return (uint32_t(uint8_t(s[at])) << 24) | (uint32_t(uint8_t(s[at + 1])) << 16) |
         (uint32_t(uint8_t(s[at + 2])) << 8) | uint32_t(uint8_t(s[at + 3]));
}

struct PngReader {
  const std::string* bytes;
  size_t at = 0;
  static cairo_status_t Read(void* closure, unsigned char* data, unsigned int length) {
    auto* self = static_cast<PngReader*>(closure);
    if (self->bytes->size() - self->at < length) return CAIRO_STATUS_READ_ERROR;
    std::memcpy(data, self->bytes->data() + self->at, length);
    self->at += length;
    return CAIRO_STATUS_SUCCESS;
  }
};

class DecodeError : public std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Base64 text of a PNG to a picture. A picture without width or height throws
// AEmptyMessage; anything else that goes wrong throws its own message.
cairo_surface_t* decode_png(const std::string& cleaned, const char* AEmptyMessage) {
  const std::optional<std::string> bytes = decode_base64(cleaned);
  if (!bytes) throw DecodeError("Base64 inválido");
  static const char kSignature[] = "\x89PNG\r\n\x1a\n";
  if (bytes->size() < 8 || bytes->compare(0, 8, kSignature, 8) != 0)
    throw DecodeError("Os dados não são uma imagem PNG");
  if (bytes->size() < 24 || bytes->compare(12, 4, "IHDR") != 0)
    throw DecodeError("PNG sem cabeçalho IHDR");
  const uint32_t width = read_be32(*bytes, 16);
  const uint32_t height = read_be32(*bytes, 20);
  if (width == 0 || height == 0) throw DecodeError(AEmptyMessage);
  if (width > kMaxImageSide || height > kMaxImageSide ||
      uint64_t(width) * height > kMaxImagePixels)
    throw DecodeError("PNG grande demais: " + std::to_string(width) + " x " +
                      std::to_string(height) + " pixels");
  PngReader reader{&*bytes};
  cairo_surface_t* png = cairo_image_surface_create_from_png_stream(&PngReader::Read, &reader);
  const cairo_status_t status = cairo_surface_status(png);
  if (status != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(png);
    throw DecodeError(std::string("PNG ilegível: ") + cairo_status_to_string(status));
  }
  if (cairo_image_surface_get_width(png) <= 0 || cairo_image_surface_get_height(png) <= 0) {
    cairo_surface_destroy(png);
    throw DecodeError(AEmptyMessage);
  }
  return png;
}

cairo_status_t append_to_string(void* closure, const unsigned char* data, unsigned int length) {
  static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
  return CAIRO_STATUS_SUCCESS;
}

// Locale-independent decimal text: the service runs under pt_BR, whose printf would
// write "80,00" into a CUPS option.
std::string decimal(double value) {
  char buf[32];
  auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 2);
  return std::string(buf, r.ptr);
}

}  // namespace

// --- TBitmap -----------------------------------------------------------------------------

TBitmap::~TBitmap() { cairo_surface_destroy(surface_); }

int TBitmap::Width() const { return cairo_image_surface_get_width(surface_); }
int TBitmap::Height() const { return cairo_image_surface_get_height(surface_); }

uint32_t TBitmap::Pixel(int x, int y) const {
  if (x < 0 || y < 0 || x >= Width() || y >= Height()) return 0xFFFFFF;
  cairo_surface_flush(surface_);
  const unsigned char* row =
      cairo_image_surface_get_data(surface_) + y * cairo_image_surface_get_stride(surface_);
  uint32_t v;
  std::memcpy(&v, row + x * 4, 4);
  return v & 0xFFFFFF;
}

void TBitmap::SaveToPNG(const std::string& path) const {
  const cairo_status_t status = cairo_surface_write_to_png(surface_, path.c_str());
  if (status != CAIRO_STATUS_SUCCESS)
    throw std::runtime_error("Falha ao gravar " + path + ": " + cairo_status_to_string(status));
}

// --- TGDIPrinter: surfaces ---------------------------------------------------------------

TGDIPrinter::TGDIPrinter(std::string APrinterName) : FPrinterName(std::move(APrinterName)) {}

TGDIPrinter::~TGDIPrinter() { CloseSurface(); }

void TGDIPrinter::OpenSurface(cairo_surface_t* ASurface, bool AAntialias) {
  CloseSurface();
  FSurface.reset(ASurface);
  FCanvas.reset(cairo_create(FSurface.get()));
  FLayout.reset(pango_cairo_create_layout(FCanvas.get()));
  // Metrics are hinted to whole pixels in both modes, so a preview breaks lines exactly
  // where the printer will. Printed text is not smoothed: a thermal head has no grey.
  cairo_font_options_t* options = cairo_font_options_create();
  cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_ON);
  cairo_font_options_set_antialias(options,
                                   AAntialias ? CAIRO_ANTIALIAS_DEFAULT : CAIRO_ANTIALIAS_NONE);
  pango_cairo_context_set_font_options(pango_layout_get_context(FLayout.get()), options);
  pango_layout_context_changed(FLayout.get());
  cairo_font_options_destroy(options);
  if (!AAntialias) cairo_set_antialias(FCanvas.get(), CAIRO_ANTIALIAS_NONE);
  FPenWidth = 1;
  FAppliedPx = 0;
  FOperations = 0;
  FImagePixels = 0;
}

void TGDIPrinter::CloseSurface() {
  FLayout.reset();
  FCanvas.reset();
  FSurface.reset();
  FPreviewBmp = nullptr;  // was FSurface while previewing
  FPrinter.reset();
  FIsPrinting = false;
}

void TGDIPrinter::ComputeMargins() {
  FMarginLeft = MmToPx(1);
  FMarginRight = MmToPx(4);
  FMarginTop = 0;
  FCurX = FMarginLeft;
  FCurY = FMarginTop;
}

int TGDIPrinter::PtToPx(int APoints) const { return mul_div(APoints, FDpiY, 72); }

int TGDIPrinter::MmToPx(double AMillimetres) const {
  const double px = std::nearbyint(FDpiY * AMillimetres / 25.4);  // ties to even
  return static_cast<int>(std::clamp<double>(px, -kMaxCoordinate, kMaxCoordinate));
}

void TGDIPrinter::BeginPDF(double AMediaWidthMm, int ADpiX, int ADpiY) {
  TPrintablePage page;
  page.media_width_mm = page.printable_width_mm = AMediaWidthMm;
  page.dpi_x = ADpiX;
  page.dpi_y = ADpiY;
  BeginPDF(page);
}

void TGDIPrinter::BeginPDF(const TPrintablePage& APage) {
  if (APage.media_width_mm <= 0 || APage.media_width_mm > 2000 || APage.printable_left_mm < 0 ||
      APage.printable_width_mm <= 0 ||
      APage.printable_left_mm + APage.printable_width_mm > APage.media_width_mm + 0.01 ||
      APage.dpi_x <= 0 || APage.dpi_y <= 0 || APage.dpi_x > 4800 || APage.dpi_y > 4800)
    throw std::invalid_argument("Pagina de impressao invalida");
  // The drawing is recorded, not rasterised: it becomes vector text in the PDF, and the
  // page height is only known once the receipt has been drawn.
  OpenSurface(cairo_recording_surface_create(CAIRO_CONTENT_COLOR_ALPHA, nullptr), false);
  FIsPrinting = true;
  FPage = APage;
  FDpiX = APage.dpi_x;
  FDpiY = APage.dpi_y;
  // Only the printable band is drawn on, as a printer's device context offers it: a page
  // as wide as the paper would put the right-aligned amounts where the head cannot reach.
  FPageWidth = receipt_page_width_px(APage.printable_width_mm, APage.dpi_x);
  ComputeMargins();
}

std::string TGDIPrinter::EndPDF() {
  if (!FIsPrinting) return std::string();
  const double width_pt = FPage.media_width_mm * 72 / 25.4;
  const double height_pt = std::max(FCurY, 1) * 72.0 / FDpiY;
  std::string pdf;
  CairoSurface page(
      cairo_pdf_surface_create_for_stream(&append_to_string, &pdf, width_pt, height_pt));
  {
    CairoContext cr(cairo_create(page.get()));
    // The band drawn on starts where the printable area does, not at the paper's edge.
    cairo_translate(cr.get(), FPage.printable_left_mm * 72 / 25.4, 0);
    cairo_scale(cr.get(), 72.0 / FDpiX, 72.0 / FDpiY);
    cairo_set_source_surface(cr.get(), FSurface.get(), 0, 0);
    cairo_paint(cr.get());
  }
  cairo_surface_finish(page.get());
  const cairo_status_t status = cairo_surface_status(page.get());
  page.reset();
  CloseSurface();
  if (status != CAIRO_STATUS_SUCCESS)
    throw std::runtime_error(std::string("Falha ao gerar o PDF do cupom: ") +
                             cairo_status_to_string(status));
  return pdf;
}

void TGDIPrinter::BeginPrint() {
  auto printer = std::make_unique<TCupsPrinter>(FPrinterName);
  BeginPDF(printer->DefaultPage());
  FPrinter = std::move(printer);
}

void TGDIPrinter::EndPrint() {
  if (!FIsPrinting) return;
  // EndPDF closes the surface; the printer is still needed to send the page.
  std::unique_ptr<TCupsPrinter> printer = std::move(FPrinter);
  const double height_mm = std::max(FCurY, 1) * 25.4 / FDpiY;
  const double width_mm = FPage.media_width_mm;
  const std::string pdf = EndPDF();
  if (!printer) return;  // a PDF page opened without a printer has nowhere to go
  // The page is exactly as long as the receipt, so a roll printer feeds and cuts there.
  const TCupsOptions options = {
      {"media", "Custom." + decimal(width_mm) + "x" + decimal(height_mm) + "mm"},
      {"orientation-requested", "3"}};
  printer->SubmitPDF("Cupom Fiscal", options, pdf);
}

void TGDIPrinter::CancelPrint() {
  if (FIsPrinting) CloseSurface();
}

bool TGDIPrinter::SendToPrinter() {
  EndPrint();
  return true;
}

void TGDIPrinter::BeginPreview(int AWidthPx, int ADpi) {
  if (AWidthPx <= 0 || AWidthPx > kMaxPreviewWidth || ADpi <= 0 || ADpi > 4800)
    throw std::invalid_argument("Tamanho de previa invalido");
  cairo_surface_t* bmp = cairo_image_surface_create(CAIRO_FORMAT_RGB24, AWidthPx, kPreviewHeight);
  if (cairo_surface_status(bmp) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(bmp);
    throw std::runtime_error("Sem memoria para a previa");
  }
  OpenSurface(bmp, true);
  FPreviewBmp = bmp;
  cairo_set_source_rgb(FCanvas.get(), 1, 1, 1);
  cairo_paint(FCanvas.get());
  FDpiX = FDpiY = ADpi;
  FPageWidth = AWidthPx;
  ComputeMargins();
}

std::unique_ptr<TBitmap> TGDIPrinter::EndPreview() {
  if (!FPreviewBmp) return nullptr;
  const int width = cairo_image_surface_get_width(FPreviewBmp);
  const int height = std::clamp(FCurY + MmToPx(8), 10, kPreviewHeight);
  cairo_surface_t* out = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
  {
    CairoContext cr(cairo_create(out));
    cairo_set_source_surface(cr.get(), FPreviewBmp, 0, 0);
    cairo_paint(cr.get());
  }
  CloseSurface();
  return std::make_unique<TBitmap>(out);
}

void TGDIPrinter::Initialize() {
  FCurX = FMarginLeft;
  FCurY = FMarginTop;
  FCurrentBold = false;
  FCurrentSize = fsNormal;
  FCurrentAlign = taLeft;
  FCurrentInv = false;
}

// --- TGDIPrinter: text -------------------------------------------------------------------

void TGDIPrinter::ApplyFont() {
  if (!FLayout) return;
  const int points = FCurrentSize == fsNormal ? FNormalPt : FLargePt;
  const int pixels = PtToPx(points);
  if (pixels == FAppliedPx && FCurrentBold == FAppliedBold) return;  // measuring is hot
  FAppliedPx = pixels;
  FAppliedBold = FCurrentBold;
  PangoFontDescription* font = pango_font_description_new();
  pango_font_description_set_family(font, "Arial");  // fontconfig gives Liberation Sans
  // The point size is turned into whole pixels first, as the printer's font mapper does:
  // 9 points at 203 dpi are 25 pixels, not 25.375.
  pango_font_description_set_absolute_size(font, double(pixels) * PANGO_SCALE);
  // Normal text is already bold on purpose: thin strokes fade on thermal paper.
  pango_font_description_set_weight(font, FCurrentBold ? PANGO_WEIGHT_HEAVY : PANGO_WEIGHT_BOLD);
  pango_layout_set_font_description(FLayout.get(), font);
  pango_font_description_free(font);
}

int TGDIPrinter::TextWidth(const std::string& AText) {
  if (!FLayout) return 0;
  ApplyFont();
  const std::string text = valid_utf8(AText);
  pango_layout_set_text(FLayout.get(), text.data(), static_cast<int>(text.size()));
  int width = 0, height = 0;
  pango_layout_get_pixel_size(FLayout.get(), &width, &height);
  return width;
}

int TGDIPrinter::LineHeight() {
  if (!FLayout) return 20;
  ApplyFont();
  pango_layout_set_text(FLayout.get(), "Mgy", 3);
  PangoRectangle logical;
  pango_layout_get_extents(FLayout.get(), nullptr, &logical);
  return static_cast<int>(std::lround(double(logical.height) / PANGO_SCALE));
}

void TGDIPrinter::MoveDown(int APixels) {
  FCurY = static_cast<int>(std::clamp<int64_t>(int64_t(FCurY) + APixels, -kMaxCoordinate,
                                                kMaxCoordinate));
}

void TGDIPrinter::CountDrawing(int64_t AImagePixels) {
  if (!FIsPrinting) return;
  if (++FOperations > kMaxPrintOperations)
    throw std::runtime_error("Cupom grande demais para imprimir.");
  if (AImagePixels > kMaxPrintImagePixels - FImagePixels)
    throw std::runtime_error("Imagens demais no cupom");
  FImagePixels += AImagePixels;
}

void TGDIPrinter::DrawText(const std::string& AText, int AX, int AY, bool AWhite) {
  CountDrawing();
  const std::string text = valid_utf8(AText);
  pango_layout_set_text(FLayout.get(), text.data(), static_cast<int>(text.size()));
  cairo_set_source_rgb(FCanvas.get(), AWhite ? 1 : 0, AWhite ? 1 : 0, AWhite ? 1 : 0);
  cairo_move_to(FCanvas.get(), AX, AY);
  pango_cairo_show_layout(FCanvas.get(), FLayout.get());
  cairo_set_source_rgb(FCanvas.get(), 0, 0, 0);
}

void TGDIPrinter::FillBlack(int AX, int AY, int AWidth, int AHeight) {
  CountDrawing();
  cairo_set_source_rgb(FCanvas.get(), 0, 0, 0);
  cairo_rectangle(FCanvas.get(), AX, AY, AWidth, AHeight);
  cairo_fill(FCanvas.get());
}

int TGDIPrinter::AlignedX(int AWidth) const {
  int x = FMarginLeft;
  if (FCurrentAlign == taCenter)
    x = FMarginLeft + (ContentWidth() - AWidth) / 2;  // C++ division rounds toward zero
  else if (FCurrentAlign == taRight)
    x = RightEdge() - AWidth;
  return std::max(x, FMarginLeft);
}

void TGDIPrinter::PrintLine(const std::string& AText) {
  if (!FCanvas) return;
  ApplyFont();
  const int h = LineHeight();
  if (AText.empty()) {
    MoveDown(h);
    FCurX = FMarginLeft;
    return;
  }
  std::vector<std::string> lines;
  if (TextWidth(AText) <= ContentWidth()) {
    lines.push_back(AText);
  } else {
    std::string line;
    size_t start = 0;
    while (start <= AText.size()) {
      size_t blank = AText.find(' ', start);
      if (blank == std::string::npos) blank = AText.size();
      const std::string word = AText.substr(start, blank - start);
      const std::string candidate = line.empty() ? word : line + " " + word;
      if (line.empty() || TextWidth(candidate) <= ContentWidth()) {
        line = candidate;
      } else {
        lines.push_back(line);
        line = word;
      }
      start = blank + 1;
    }
    if (!line.empty()) lines.push_back(line);
  }
  for (const std::string& line : lines) {
    const int width = TextWidth(line);
    if (FCurrentInv) FillBlack(FMarginLeft, FCurY, ContentWidth(), h);
    DrawText(line, AlignedX(width), FCurY, FCurrentInv);
    MoveDown(h);
  }
  FCurX = FMarginLeft;
}

void TGDIPrinter::PrintText(const std::string& AText) {
  if (!FCanvas) return;
  ApplyFont();
  const int h = LineHeight();
  if (AText.empty()) return;
  const std::string text = valid_utf8(AText);

  auto draw_piece = [&](const std::string& piece, int width) {
    if (FCurrentInv) FillBlack(FCurX, FCurY, width, h);
    DrawText(piece, FCurX, FCurY, FCurrentInv);
    FCurX += width;
  };
  const int whole = TextWidth(text);
  if (FCurX + whole <= RightEdge()) {
    draw_piece(text, whole);
    return;
  }
  // Character boundaries, so that a piece never splits a UTF-8 sequence.
  std::vector<size_t> ends;
  for (const char* p = text.data(); p < text.data() + text.size(); p = g_utf8_next_char(p))
    ends.push_back(static_cast<size_t>(g_utf8_next_char(p) - text.data()));

  size_t first = 0;  // index into ends of the first character not yet printed
  while (first < ends.size()) {
    const size_t from = first == 0 ? 0 : ends[first - 1];
    auto width_of = [&](size_t count) {
      return TextWidth(text.substr(from, ends[first + count - 1] - from));
    };
    const size_t remaining = ends.size() - first;
    // The longest prefix that fits: widths grow with the prefix, so gallop then bisect
    // instead of measuring 1, 2, 3 ... characters (quadratic on a long run of text).
    auto longest_fitting = [&](int room) -> size_t {
      size_t good = 0, bad = remaining + 1;
      for (size_t probe = 1; probe <= remaining; probe *= 2) {
        if (width_of(probe) <= room) {
          good = probe;
        } else {
          bad = probe;
          break;
        }
      }
      if (bad == remaining + 1 && good < remaining) {
        if (width_of(remaining) <= room) return remaining;
        bad = remaining;
      }
      while (bad - good > 1) {
        const size_t mid = good + (bad - good) / 2;
        if (width_of(mid) <= room) good = mid; else bad = mid;
      }
      return good;
    };
    size_t count = longest_fitting(RightEdge() - FCurX);
    if (count == 0) {
      MoveDown(h);
      FCurX = FMarginLeft;
      count = std::max<size_t>(1, longest_fitting(ContentWidth()));
    }
    const std::string piece = text.substr(from, ends[first + count - 1] - from);
    draw_piece(piece, TextWidth(piece));
    first += count;
    if (first < ends.size()) {
      MoveDown(h);
      FCurX = FMarginLeft;
    }
  }
}

void TGDIPrinter::PrintRow(const std::string& ALeft, const std::string& ARight, bool ABold) {
  if (!FCanvas) return;
  const bool remembered = FCurrentBold;
  FCurrentBold = ABold;
  ApplyFont();
  const int h = LineHeight();
  if (FCurrentInv) FillBlack(FMarginLeft, FCurY, ContentWidth(), h);
  DrawText(ALeft, FMarginLeft, FCurY, FCurrentInv);
  DrawText(ARight, RightEdge() - TextWidth(ARight), FCurY, FCurrentInv);
  MoveDown(h);
  FCurX = FMarginLeft;
  FCurrentBold = remembered;
}

void TGDIPrinter::PrintHRule() {
  if (!FCanvas) return;
  ApplyFont();
  const int h = LineHeight();
  FPenWidth = 3;
  // A 3-pixel pen centred on the row covers the row above and the row below it.
  FillBlack(FMarginLeft, FCurY + h / 2 - 1, ContentWidth(), 3);
  MoveDown(h);
  FCurX = FMarginLeft;
}

void TGDIPrinter::PrintLineFeed(int ALines) {
  if (!FCanvas) return;
  for (int i = 0; i < ALines && FCurY < kMaxCoordinate; ++i) {
    MoveDown(kFeedStep);
    // One dot at the left edge keeps the fed space part of the page.
    const int half = FPenWidth / 2;
    FillBlack(-half, FCurY - 1 - half, FPenWidth, FPenWidth);
  }
}

void TGDIPrinter::Cut(bool) {}

// --- TGDIPrinter: pictures ---------------------------------------------------------------

void TGDIPrinter::PrintErrorLine(const std::string& AText) {
  SetAlignment(taCenter);
  PrintLine(AText);
  SetAlignment(taLeft);
}

void TGDIPrinter::PlaceImage(cairo_surface_t* APng, int AX, int AY, int AWidth, int AHeight) {
  const int w = cairo_image_surface_get_width(APng);
  const int h = cairo_image_surface_get_height(APng);
  CountDrawing(int64_t(w) * h);
  // Transparent parts print as paper, not as black.
  cairo_surface_t* white = cairo_image_surface_create(CAIRO_FORMAT_RGB24, w, h);
  CairoSurface owner(white);
  {
    CairoContext cr(cairo_create(white));
    cairo_set_source_rgb(cr.get(), 1, 1, 1);
    cairo_paint(cr.get());
    cairo_set_source_surface(cr.get(), APng, 0, 0);
    cairo_paint(cr.get());
  }
  if (AWidth <= 0 || AHeight <= 0) return;

  cairo_save(FCanvas.get());
  cairo_rectangle(FCanvas.get(), AX, AY, AWidth, AHeight);
  cairo_clip(FCanvas.get());
  cairo_translate(FCanvas.get(), AX, AY);
  cairo_scale(FCanvas.get(), double(AWidth) / w, double(AHeight) / h);
  cairo_set_source_surface(FCanvas.get(), white, 0, 0);
  // Enlarged pictures (QR codes are small PNGs drawn 35 mm wide) keep hard module edges;
  // reduced ones are averaged so that thin strokes do not vanish.
  const bool enlarging = AWidth >= w && AHeight >= h;
  cairo_pattern_set_filter(cairo_get_source(FCanvas.get()),
                           enlarging ? CAIRO_FILTER_NEAREST : CAIRO_FILTER_GOOD);
  cairo_paint(FCanvas.get());
  cairo_restore(FCanvas.get());
}

void TGDIPrinter::PrintQRCode(const std::string& ABase64Data, const std::string& ATitle) {
  if (!FCanvas) return;
  if (!ATitle.empty()) {
    SetAlignment(taCenter);
    SetBold(true);
    PrintLine(ATitle);
    SetBold(false);
    SetAlignment(taLeft);
  }
  const std::string data = clean_image_data(ABase64Data);
  if (data.empty()) {
    PrintErrorLine("[SEM DADOS DE QR CODE]");
    return;
  }
  try {
    CairoSurface png(decode_png(data, "PNG inválido ou sem dimensões"));
    const int side = MmToPx(35);
    const int x = FMarginLeft + (ContentWidth() - side) / 2;
    PlaceImage(png.get(), x, FCurY, side, side);
    ApplyFont();
    MoveDown(LineHeight() + side);
    FCurX = FMarginLeft;
  } catch (const std::exception& e) {
    PrintErrorLine(std::string("[QR CODE — ERRO: ") + e.what() + "]");
  }
}

void TGDIPrinter::PrintImage(const std::string& ABase64Data, int AWidthMm, int AHeightMm) {
  if (!FCanvas) return;
  const std::string data = clean_image_data(ABase64Data);
  if (data.empty()) return;
  try {
    CairoSurface png(decode_png(data, "Imagem inv\\u00e1lida ou vazia"));
    const int width = AWidthMm < 1 ? ContentWidth() : MmToPx(AWidthMm);
    int height;
    if (AHeightMm < 1) {
      const double h = std::round(double(width) * cairo_image_surface_get_height(png.get()) /
                                  cairo_image_surface_get_width(png.get()));
      height = static_cast<int>(std::min<double>(h, kMaxCoordinate));
    } else {
      height = MmToPx(AHeightMm);
    }
    PlaceImage(png.get(), AlignedX(width), FCurY, width, height);
    ApplyFont();
    MoveDown(LineHeight() / 2 + height);
    FCurX = FMarginLeft;
  } catch (const std::exception& e) {
    PrintErrorLine(std::string("[IMAGEM — ERRO: ") + e.what() + "]");
  }
}

}  // namespace norvane
