#pragma once
#include <cstddef>
#include <string>

#include "printing/ReceiptBuilder.h"

namespace norvane {

// Walks a receipt layout (the small XML language of ".gdi" files) and drives a renderer
// through its operations; it keeps no state of its own between elements. The caller has
// opened the renderer (BeginPrint or BeginPreview, then Initialize) and closes it after.
class TLayoutParser {
 public:
  explicit TLayoutParser(TReceiptBuilder& ABuilder) : FBuilder(ABuilder) {}

  // Throws "Arquivo de leiaute nao encontrado: <path>" when the file is missing, and the
  // XML layer's message when the document does not parse.
  void ParseFile(const std::string& AArquivo);
  // Throws "Conteudo XML vazio." for blank text. The text is UTF-8 whatever its
  // declaration says: it is already characters, not bytes from a file.
  void ParseXML(const std::string& AXML);

  // Layouts are a few kilobytes plus their pictures; anything larger is refused before
  // parsing so that a hostile file cannot take the worker's memory.
  static constexpr size_t kMaxLayoutBytes = 8u * 1024 * 1024;

 private:
  void ParseBuffer(const std::string& ABytes, const char* AUrl, const char* AEncoding);

  TReceiptBuilder& FBuilder;
};

}  // namespace norvane
