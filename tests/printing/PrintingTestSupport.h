#pragma once
#include <openssl/evp.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "printing/uGDIPrinter.h"

namespace norvane::printing_test {

inline std::string fixture(const std::string& name) {
  return std::string(NORVANE_SOURCE_DIR) + "/tests/printing/fixtures/" + name;
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string base64(const std::string& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(bytes.data()),
                                static_cast<int>(bytes.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

// Standard output of a shell command (its standard error is dropped).
inline std::string run(const std::string& command) {
  std::string out;
  FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
  if (!pipe) return out;
  std::array<char, 4096> buf;
  size_t n;
  while ((n = fread(buf.data(), 1, buf.size(), pipe)) > 0) out.append(buf.data(), n);
  pclose(pipe);
  return out;
}

// pdftotext output with every run of white space made one blank, so that a line the
// receipt wrapped still reads as one text.
inline std::string pdf_text(const std::string& pdf_path) {
  const std::string raw = run("pdftotext -raw '" + pdf_path + "' -");
  std::string out;
  for (char c : raw) {
    const bool space = c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\f';
    if (space && (out.empty() || out.back() == ' ')) continue;
    out.push_back(space ? ' ' : c);
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

inline bool is_ink(uint32_t rgb) {
  const int r = (rgb >> 16) & 0xFF, g = (rgb >> 8) & 0xFF, b = rgb & 0xFF;
  return r + g + b < 3 * 128;
}

struct Box {
  int left = -1, top = -1, right = -1, bottom = -1;  // inclusive; -1 when there is no ink
  bool empty() const { return left < 0; }
};

// Bounding box of the dark pixels in rows [y0, y1) of a picture.
inline Box ink_box(const TBitmap& bmp, int y0 = 0, int y1 = -1) {
  if (y1 < 0 || y1 > bmp.Height()) y1 = bmp.Height();
  Box box;
  for (int y = std::max(y0, 0); y < y1; ++y)
    for (int x = 0; x < bmp.Width(); ++x)
      if (is_ink(bmp.Pixel(x, y))) {
        if (box.empty()) box = {x, y, x, y};
        box.left = std::min(box.left, x);
        box.right = std::max(box.right, x);
        box.top = std::min(box.top, y);
        box.bottom = std::max(box.bottom, y);
      }
  return box;
}

}  // namespace norvane::printing_test
