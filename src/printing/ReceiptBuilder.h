#pragma once
#include <string>

namespace norvane {

enum TFontSize { fsNormal, fsLarge, fsDblHeight, fsDblWidth };
enum TTextAlign { taLeft, taCenter, taRight };

// The drawing operations the layout parser drives. TGDIPrinter draws them; tests put a
// recorder in its place to see which calls a layout makes without looking at pixels.
class TReceiptBuilder {
 public:
  virtual ~TReceiptBuilder() = default;

  virtual TFontSize CurrentFontSize() const = 0;
  virtual void SetAlignment(TTextAlign AAlign) = 0;
  virtual void SetBold(bool ABold) = 0;
  virtual void SetFontSize(TFontSize ASize) = 0;
  virtual void SetInverse(bool AInverse) = 0;

  virtual void PrintLine(const std::string& AText) = 0;
  virtual void PrintText(const std::string& AText) = 0;
  virtual void PrintRow(const std::string& ALeft, const std::string& ARight, bool ABold) = 0;
  virtual void PrintHRule() = 0;
  virtual void PrintLineFeed(int ALines) = 0;
  virtual void PrintQRCode(const std::string& ABase64Data, const std::string& ATitle) = 0;
  virtual void PrintImage(const std::string& ABase64Data, int AWidthMm, int AHeightMm) = 0;
  virtual void Cut(bool APartial) = 0;
};

}  // namespace norvane
