#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "PrintingTestSupport.h"
#include "printing/uGDIPrinter.h"
#include "printing/uLayoutParser.h"

namespace norvane {
namespace {

using namespace printing_test;

// A receipt printer's page: 600 pixels at 203 dpi leaves a content width of 560.
constexpr int kWidth = 600;
constexpr int kDpi = 203;

std::string png_header(uint32_t width, uint32_t height) {
  std::string png("\x89PNG\r\n\x1a\n", 8);
  png += std::string("\0\0\0\x0d", 4) + "IHDR";
  for (uint32_t v : {width, height})
    for (int shift = 24; shift >= 0; shift -= 8) png.push_back(char((v >> shift) & 0xFF));
  png += std::string("\x08\x06\0\0\0", 5) + std::string("\0\0\0\0", 4);  // depth, colour, CRC
  png += std::string("\0\0\0\x0a", 4) + "IDAT" + std::string(10, '\x78') + "CRC!";
  return png;
}

class Preview {
 public:
  Preview() : printer("") {
    printer.BeginPreview(kWidth, kDpi);
    printer.Initialize();
  }
  std::unique_ptr<TBitmap> Finish() { return printer.EndPreview(); }
  TGDIPrinter printer;
};

// What wraps in the preview must wrap on paper: the preview tool's picture for a paper
// size is exactly as wide as the page printing draws on for that paper.
TEST(GDIPrinterGeometry, PreviewOfAPaperSizeIsAsWideAsPrintingOnIt) {
  const std::string layout = ::testing::TempDir() + "preview-" + std::to_string(getpid()) + ".gdi";
  const std::string png = layout + ".png";
  write_file(layout, "<receipt><line>x</line></receipt>");
  for (const int paper : {58, 80}) {
    TGDIPrinter printing("");
    printing.BeginPDF(paper, 203, 203);
    run(std::string(NORVANE_BINARY_DIR) + "/tools/receipt-preview/receipt-preview --paper " +
        std::to_string(paper) + " --dpi 203 '" + layout + "' '" + png + "'");
    const std::string bytes = read_file(png);
    ASSERT_GE(bytes.size(), 24u) << "no preview for " << paper << " mm";
    const int width = (uint8_t(bytes[16]) << 24) | (uint8_t(bytes[17]) << 16) | (uint8_t(bytes[18]) << 8) |
                      uint8_t(bytes[19]);
    EXPECT_EQ(width, printing.PageWidth()) << paper << " mm";
    if (paper == 80) {
      EXPECT_EQ(width, 637);
    }
  }
  std::filesystem::remove(layout);
  std::filesystem::remove(png);
}

TEST(GDIPrinterGeometry, FiguresAt203DpiMatchTheReceiptPrinter) {
  Preview p;
  struct Case {
    const char* what;
    int actual, expected;
  } cases[] = {
      {"9 points", p.printer.PtToPx(9), 25},
      {"10 points", p.printer.PtToPx(10), 28},
      {"left margin", p.printer.MarginLeft(), 8},
      {"right margin", p.printer.MarginRight(), 32},
      {"QR square (35 mm)", p.printer.MmToPx(35), 280},
      {"8 mm below the preview", p.printer.MmToPx(8), 64},
  };
  for (const Case& c : cases) EXPECT_EQ(c.actual, c.expected) << c.what;
}

TEST(GDIPrinterGeometry, LineHeightFollowsTheWholePixelFontSize) {
  Preview p;
  // "Mgy" in Liberation Sans is 1.117 em high (plus up to a pixel of rounding of its
  // ascent and descent); the em is 25 pixels for 9 points and 28 for 10 points. Every
  // enlarged size prints at the large point size, none stretched.
  const int normal = p.printer.LineHeight();
  EXPECT_GE(normal, 28);
  EXPECT_LE(normal, 29);
  for (TFontSize size : {fsLarge, fsDblHeight, fsDblWidth}) {
    p.printer.SetFontSize(size);
    EXPECT_GE(p.printer.LineHeight(), 31) << size;
    EXPECT_LE(p.printer.LineHeight(), 32) << size;
  }
  p.printer.SetFontSize(fsLarge);
  const int large = p.printer.LineHeight();
  p.printer.SetFontSize(fsDblWidth);
  EXPECT_EQ(p.printer.LineHeight(), large);
  TGDIPrinter no_surface("");
  EXPECT_EQ(no_surface.LineHeight(), 20);
}

TEST(GDIPrinterGeometry, ImageWithoutSizeFillsTheContentWidthKeepingItsShape) {
  Preview p;
  const int h = p.printer.LineHeight();
  p.printer.PrintImage(base64(read_file(fixture("black-200x100.png"))), 0, 0);
  EXPECT_EQ(p.printer.CurrentY(), h / 2 + 280);
  const auto bmp = p.Finish();
  const Box box = ink_box(*bmp);
  EXPECT_EQ(box.left, 8);
  EXPECT_EQ(box.right, 8 + 560 - 1);
  EXPECT_EQ(box.top, 0);
  EXPECT_EQ(box.bottom, 280 - 1);
}

TEST(GDIPrinterGeometry, ImageSizedInMillimetresFollowsTheAlignment) {
  Preview p;
  p.printer.SetAlignment(taRight);
  p.printer.PrintImage(base64(read_file(fixture("black-200x100.png"))), 10, 5);
  const Box box = ink_box(*p.Finish());
  EXPECT_EQ(box.right, kWidth - 32 - 1);
  EXPECT_EQ(box.right - box.left + 1, 80);   // 10 mm
  EXPECT_EQ(box.bottom - box.top + 1, 40);   // 5 mm
}

TEST(GDIPrinterGeometry, QRCodeIsA35MillimetreSquareCentredInTheContent) {
  Preview p;
  const int h = p.printer.LineHeight();
  p.printer.PrintQRCode(base64(read_file(fixture("black-200x100.png"))), "");
  EXPECT_EQ(p.printer.CurrentY(), h + 280);
  const Box box = ink_box(*p.Finish());
  EXPECT_EQ(box.left, 8 + (560 - 280) / 2);
  EXPECT_EQ(box.right - box.left + 1, 280);
  EXPECT_EQ(box.top, 0);
  EXPECT_EQ(box.bottom - box.top + 1, 280);
}

TEST(GDIPrinterText, ParagraphWrapsAtBlanksAndLetsAnOverlongWordOverflow) {
  Preview p;
  const int h = p.printer.LineHeight();
  const std::string word(40, 'W');  // far wider than 560 pixels
  p.printer.SetAlignment(taCenter);
  p.printer.PrintLine("ab " + word + " cd");
  EXPECT_EQ(p.printer.CurrentY(), 3 * h);
  EXPECT_EQ(p.printer.CurrentX(), 8);
  const auto bmp = p.Finish();
  const Box long_line = ink_box(*bmp, h, 2 * h);
  EXPECT_GE(long_line.left, 8) << "a centred line never starts left of the margin";
  EXPECT_LT(long_line.left, 8 + 4);
  EXPECT_GE(long_line.right, kWidth - 1 - 2) << "the word is not broken, it overflows";
  const Box first = ink_box(*bmp, 0, h), last = ink_box(*bmp, 2 * h, 3 * h);
  EXPECT_GT(first.left, 250) << "short lines are centred";
  EXPECT_GT(last.left, 250);
}

TEST(GDIPrinterText, InlineTextBreaksBetweenCharactersAtTheRightEdge) {
  Preview p;
  const int h = p.printer.LineHeight();
  p.printer.PrintText("Total: ");
  const int after_label = p.printer.CurrentX();
  EXPECT_GT(after_label, 8);
  p.printer.PrintText(std::string(60, 'W'));
  EXPECT_GT(p.printer.CurrentY(), 0) << "continued on a next line";
  EXPECT_EQ(p.printer.CurrentY() % h, 0);
  const auto bmp = p.Finish();
  const Box first = ink_box(*bmp, 0, h);
  EXPECT_LE(first.right, kWidth - 32) << "no piece passes the right edge";
  EXPECT_GT(first.right, kWidth - 32 - 30) << "the first line is filled up to the edge";
  const Box second = ink_box(*bmp, h, 2 * h);
  EXPECT_LT(second.left, 8 + 4) << "the rest continues at the left margin";
}

TEST(GDIPrinterText, InverseLineIsABlackBandWithWhiteText) {
  Preview p;
  p.printer.SetInverse(true);
  p.printer.SetAlignment(taCenter);
  p.printer.PrintLine("CUPOM");
  const auto bmp = p.Finish();
  EXPECT_TRUE(is_ink(bmp->Pixel(8, 2)));
  EXPECT_TRUE(is_ink(bmp->Pixel(kWidth - 33, 27)));
  EXPECT_FALSE(is_ink(bmp->Pixel(7, 2))) << "the band stops at the margins";
  EXPECT_FALSE(is_ink(bmp->Pixel(kWidth - 32, 2)));
  int white_inside = 0;
  for (int x = 250; x < 350; ++x)
    for (int y = 5; y < 23; ++y) white_inside += !is_ink(bmp->Pixel(x, y));
  EXPECT_GT(white_inside, 50) << "the letters are cut out of the band";
}

TEST(GDIPrinterText, RowPutsTheRightCellFlushAgainstTheRightEdge) {
  Preview p;
  const int h = p.printer.LineHeight();
  p.printer.PrintRow("TOTAL", "12,10", true);
  EXPECT_EQ(p.printer.CurrentY(), h);
  const auto bmp = p.Finish();
  const Box left = ink_box(*bmp, 0, h);
  EXPECT_LT(left.left, 8 + 4);
  EXPECT_GT(left.right, kWidth - 32 - 4);
  EXPECT_LE(left.right, kWidth - 32);
}

TEST(GDIPrinterText, RuleAndFeedsMoveByTheirFixedSteps) {
  Preview p;
  const int h = p.printer.LineHeight();
  p.printer.PrintHRule();
  EXPECT_EQ(p.printer.CurrentY(), h);
  p.printer.PrintLineFeed(3);
  EXPECT_EQ(p.printer.CurrentY(), h + 3 * 30);
  p.printer.PrintLineFeed(0);
  p.printer.PrintLineFeed(-5);
  EXPECT_EQ(p.printer.CurrentY(), h + 3 * 30);
  // A hostile count stops at the bottom limit instead of looping a billion times.
  p.printer.PrintLineFeed(2000000000);
  EXPECT_EQ(p.printer.CurrentY(), TGDIPrinter::kMaxCoordinate);
  const auto bmp = p.Finish();
  const Box rule = ink_box(*bmp, 0, h);
  EXPECT_EQ(rule.top, h / 2 - 1);
  EXPECT_EQ(rule.bottom, h / 2 + 1);
  EXPECT_EQ(rule.left, 8);
  EXPECT_EQ(rule.right, kWidth - 32 - 1);
}

TEST(GDIPrinterText, DrawingWithoutASurfaceDoesNothing) {
  TGDIPrinter printer("");
  printer.PrintLine("x");
  printer.PrintQRCode("", "t");
  printer.PrintLineFeed(5);
  EXPECT_EQ(printer.CurrentY(), 0);
  EXPECT_EQ(printer.EndPreview(), nullptr);
  EXPECT_EQ(printer.EndPDF(), "");
}

// Renders through the printing path (a PDF) and reads the text back.
std::string printed_text(const std::function<void(TGDIPrinter&)>& draw) {
  TGDIPrinter printer("");
  printer.BeginPDF(80, kDpi, kDpi);
  printer.Initialize();
  draw(printer);
  const std::string path = ::testing::TempDir() + "printed-" + std::to_string(getpid()) + ".pdf";
  write_file(path, printer.EndPDF());
  const std::string text = pdf_text(path);
  std::filesystem::remove(path);
  return text;
}

TEST(GDIPrinterImages, BadPictureDataPrintsABracketedLineInstead) {
  const std::string qr = base64(read_file(fixture("qrcode.png")));
  struct Case {
    const char* what;
    std::string data;
    bool qrcode;
    std::string expected;
  } cases[] = {
      {"empty QR", "  \r\n ", true, "[SEM DADOS DE QR CODE]"},
      {"not base64", "!!!!", true, "[QR CODE — ERRO: Base64 inválido]"},
      {"cut base64", qr.substr(0, qr.size() - 3), true, "[QR CODE — ERRO: Base64 inválido]"},
      {"not a PNG", base64("GIF89a not a png"), false,
       "[IMAGEM — ERRO: Os dados não são uma imagem PNG]"},
      {"no width", base64(png_header(0, 10)), true,
       "[QR CODE — ERRO: PNG inválido ou sem dimensões]"},
      {"no height", base64(png_header(10, 0)), false,
       "[IMAGEM — ERRO: Imagem inv\\u00e1lida ou vazia]"},
      {"giant", base64(png_header(100000, 100000)), false,
       "[IMAGEM — ERRO: PNG grande demais: 100000 x 100000 pixels]"},
      {"truncated", base64(read_file(fixture("qrcode.png")).substr(0, 60)), true,
       "[QR CODE — ERRO: PNG ilegível:"},
  };
  for (const Case& c : cases) {
    const std::string text = printed_text([&](TGDIPrinter& p) {
      if (c.qrcode)
        p.PrintQRCode(c.data, "");
      else
        p.PrintImage(c.data, 0, 0);
      p.PrintLine("continua");
    });
    EXPECT_NE(text.find(c.expected), std::string::npos) << c.what << ": " << text;
    EXPECT_NE(text.find("continua"), std::string::npos) << c.what << ": the receipt goes on";
  }
}

TEST(GDIPrinterImages, EmptyQRCodeStillPrintsItsTitleAndAnEmptyImageNothing) {
  EXPECT_EQ(printed_text([](TGDIPrinter& p) { p.PrintQRCode("", "Pague com PIX"); }),
            "Pague com PIX [SEM DADOS DE QR CODE]");
  EXPECT_EQ(printed_text([](TGDIPrinter& p) { p.PrintImage("\r\n", 0, 0); }), "");
}

TEST(GDIPrinterPdf, PageIsTheMediaWidthAndExactlyAsTallAsTheDrawing) {
  TGDIPrinter printer("");
  printer.BeginPDF(80, kDpi, kDpi);
  printer.Initialize();
  const int h = printer.LineHeight();
  printer.PrintLine("PRIMEIRA LINHA");
  printer.PrintLineFeed(2);
  printer.PrintLine("ULTIMA LINHA");
  const int height_px = printer.CurrentY();
  EXPECT_EQ(height_px, h + 60 + h);
  const std::string path = ::testing::TempDir() + "page-" + std::to_string(getpid()) + ".pdf";
  write_file(path, printer.EndPDF());
  EXPECT_FALSE(printer.IsPrinting());
  const std::string info = run("pdfinfo '" + path + "'");
  EXPECT_NE(info.find("Pages:           1"), std::string::npos) << info;
  double width_pt = 0, height_pt = 0;
  const size_t at = info.find("Page size:");
  ASSERT_NE(at, std::string::npos) << info;
  ASSERT_EQ(std::sscanf(info.c_str() + at, "Page size: %lf x %lf", &width_pt, &height_pt), 2);
  EXPECT_NEAR(width_pt, 80 * 72 / 25.4, 0.01);
  EXPECT_NEAR(height_pt, height_px * 72.0 / kDpi, 0.01);
  EXPECT_EQ(pdf_text(path), "PRIMEIRA LINHA ULTIMA LINHA");
  std::filesystem::remove(path);
}

// A blank PNG of the given size, as base64 (compresses to a few kilobytes).
std::string blank_png_base64(int width, int height) {
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
  std::string png;
  cairo_surface_write_to_png_stream(
      s,
      [](void* out, const unsigned char* data, unsigned int length) {
        static_cast<std::string*>(out)->append(reinterpret_cast<const char*>(data), length);
        return CAIRO_STATUS_SUCCESS;
      },
      &png);
  cairo_surface_destroy(s);
  return base64(png);
}

TEST(GDIPrinterPdf, PrintJobDrawingMoreThanAnyReceiptIsRefusedInsteadOfStallingTheQueue) {
  // Twenty thousand rules fit in a small layout; turning them into one PDF page would
  // keep the print worker busy for many seconds (a million of them, for days).
  std::string rules = "<receipt>";
  for (int i = 0; i < 20000; ++i) rules += "<hr/>";
  rules += "</receipt>";
  TGDIPrinter printer("");
  printer.BeginPDF(80, kDpi, kDpi);
  printer.Initialize();
  try {
    TLayoutParser(printer).ParseXML(rules);
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Cupom grande demais para imprimir.");
  }
  printer.CancelPrint();

  // A preview draws pixels directly and has no such bound.
  Preview p;
  TLayoutParser(p.printer).ParseXML(rules);
  EXPECT_GT(p.printer.CurrentY(), 20000);

  // Every picture of a print job is kept until the page is written: past a budget of
  // pixels the next one prints its bracketed line and the receipt goes on.
  const std::string big = blank_png_base64(3000, 3000);
  const std::string text = printed_text([&](TGDIPrinter& pr) {
    for (int i = 0; i < 4; ++i) pr.PrintImage(big, 10, 10);
    pr.PrintLine("continua");
  });
  EXPECT_EQ(text, "[IMAGEM — ERRO: Imagens demais no cupom] continua");
}

}  // namespace
}  // namespace norvane
