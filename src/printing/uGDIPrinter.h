#pragma once
#include <cairo.h>

#include <cstdint>
#include <memory>
#include <string>

#include "printing/CairoOwners.h"
#include "printing/CupsPrinter.h"
#include "printing/ReceiptBuilder.h"

typedef struct _PangoLayout PangoLayout;

namespace norvane {

// A finished preview: a white 32-bit picture (owned cairo image surface).
class TBitmap {
 public:
  explicit TBitmap(cairo_surface_t* surface) : surface_(surface) {}
  ~TBitmap();
  TBitmap(const TBitmap&) = delete;
  TBitmap& operator=(const TBitmap&) = delete;

  int Width() const;
  int Height() const;
  // 0xRRGGBB of one pixel; white outside the picture.
  uint32_t Pixel(int x, int y) const;
  // Writes the picture as a PNG file; throws std::runtime_error when it cannot.
  void SaveToPNG(const std::string& path) const;
  cairo_surface_t* Surface() const { return surface_; }

 private:
  cairo_surface_t* surface_;
};

// Draws a receipt top to bottom on a printer page or a preview picture, in device pixels,
// keeping a current position and text style. Printing records the drawing and hands it to
// TCupsPrinter as a one-page PDF exactly as tall as what was drawn; previewing draws into
// a picture.
class TGDIPrinter : public TReceiptBuilder {
 public:
  explicit TGDIPrinter(std::string APrinterName);
  ~TGDIPrinter() override;
  TGDIPrinter(const TGDIPrinter&) = delete;
  TGDIPrinter& operator=(const TGDIPrinter&) = delete;

  // Finds the printer among the CUPS destinations (letter case ignored) and opens a page
  // as wide as the printable band of its default media, at its default resolution.
  // Throws "Impressora nao encontrada: ..." when there is no such printer.
  void BeginPrint();
  // Sends the page to the printer as a PDF job titled "Cupom Fiscal"; no surface afterwards.
  void EndPrint();
  // Drops an open job without sending anything; no surface afterwards.
  void CancelPrint();
  bool SendToPrinter();

  // The printing surface without a printer: the printable band of APage, whose PDF (a
  // page as wide as the paper) EndPDF returns instead of sending it. BeginPrint and
  // EndPrint are built on these. The short form takes paper that is printable edge to edge.
  void BeginPDF(const TPrintablePage& APage);
  void BeginPDF(double AMediaWidthMm, int ADpiX, int ADpiY);
  std::string EndPDF();

  // Draws into a white picture AWidthPx wide and 6000 high. Previews are drawn at 96 dpi
  // unless told otherwise (the receipt-preview tool draws at the printer's resolution).
  void BeginPreview(int AWidthPx, int ADpi = 96);
  // The top of the preview, down to the current position plus 8 mm (10 to 6000 pixels
  // high); nullptr when no preview is open.
  std::unique_ptr<TBitmap> EndPreview();

  void Initialize();

  TFontSize CurrentFontSize() const override { return FCurrentSize; }
  void SetAlignment(TTextAlign AAlign) override { FCurrentAlign = AAlign; }
  void SetBold(bool ABold) override { FCurrentBold = ABold; }
  void SetFontSize(TFontSize ASize) override { FCurrentSize = ASize; }
  void SetInverse(bool AInverse) override { FCurrentInv = AInverse; }

  void PrintLine(const std::string& AText) override;
  void PrintText(const std::string& AText) override;
  void PrintRow(const std::string& ALeft, const std::string& ARight, bool ABold) override;
  void PrintHRule() override;
  void PrintLineFeed(int ALines) override;
  void PrintQRCode(const std::string& ABase64Data, const std::string& ATitle) override;
  void PrintImage(const std::string& ABase64Data, int AWidthMm, int AHeightMm) override;
  void Cut(bool APartial) override;

  const std::string& PrinterName() const { return FPrinterName; }
  int NormalFontPt() const { return FNormalPt; }
  void SetNormalFontPt(int APt) { FNormalPt = APt; }
  int LargeFontPt() const { return FLargePt; }
  void SetLargeFontPt(int APt) { FLargePt = APt; }
  int CurrentY() const { return FCurY; }
  int CurrentX() const { return FCurX; }
  int PageWidth() const { return FPageWidth; }
  int MarginLeft() const { return FMarginLeft; }
  int MarginRight() const { return FMarginRight; }
  int DpiY() const { return FDpiY; }
  bool IsPrinting() const { return FIsPrinting; }

  // Unit conversions at the current vertical resolution (used for widths too).
  int PtToPx(int APoints) const;
  int MmToPx(double AMillimetres) const;
  // Height of "Mgy" in the current font; 20 without a surface.
  int LineHeight();
  int TextWidth(const std::string& AText);

  // Nothing moves further down the page than this: it bounds the time and memory a
  // hostile layout (a feed of a billion lines, an image a kilometre tall) can take.
  static constexpr int kMaxCoordinate = 1000000;

  // A printed page is recorded and turned into one PDF page at the end, and cairo's PDF
  // writer takes time that grows with the square of the drawing operations on a page
  // (8000 rules take seconds, a million take days), and keeps every picture until then.
  // A job that draws more than any receipt needs is refused instead of stalling the
  // print worker. Previews draw straight into pixels and need no such bound.
  static constexpr int kMaxPrintOperations = 10000;
  static constexpr int64_t kMaxPrintImagePixels = 32 * 1024 * 1024;

 private:
  void OpenSurface(cairo_surface_t* ASurface, bool AAntialias);
  void CloseSurface();
  void ComputeMargins();
  void ApplyFont();
  void MoveDown(int APixels);
  // Counts one drawing operation (and the pixels of a picture) against the print budget.
  void CountDrawing(int64_t AImagePixels = 0);
  void DrawText(const std::string& AText, int AX, int AY, bool AWhite);
  void FillBlack(int AX, int AY, int AWidth, int AHeight);
  int AlignedX(int AWidth) const;
  void PrintErrorLine(const std::string& AText);
  void PlaceImage(cairo_surface_t* APng, int AX, int AY, int AWidth, int AHeight);
  int RightEdge() const { return FPageWidth - FMarginRight; }
  int ContentWidth() const { return RightEdge() - FMarginLeft; }

  CairoContext FCanvas;
  int FCurY = 0;
  int FCurX = 0;
  int FPageWidth = 0;
  int FMarginLeft = 0;
  int FMarginRight = 0;
  int FMarginTop = 0;
  int FDpiX = 96;
  int FDpiY = 96;
  cairo_surface_t* FPreviewBmp = nullptr;  // FSurface while previewing (not owned)
  bool FIsPrinting = false;
  std::string FPrinterName;
  bool FCurrentBold = false;
  TFontSize FCurrentSize = fsNormal;
  TTextAlign FCurrentAlign = taLeft;
  bool FCurrentInv = false;
  int FNormalPt = 9;
  int FLargePt = 10;

  CairoSurface FSurface;                 // what FCanvas draws on (recording or picture)
  GObjectOwner<PangoLayout> FLayout;
  int FAppliedPx = 0;                    // the font FLayout holds, so it is set only on change
  bool FAppliedBold = false;
  int FPenWidth = 1;                     // the rule widens it, and it stays wide
  TPrintablePage FPage;                  // paper and printable band of the PDF
  std::unique_ptr<TCupsPrinter> FPrinter;  // the printer of the open job
  int FOperations = 0;                   // drawing operations of the open print job
  int64_t FImagePixels = 0;              // picture pixels kept by the open print job
};

}  // namespace norvane
