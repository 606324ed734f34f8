// Feeds arbitrary field values to the CliSiTef response, as the library would hand them
// over during a dialogue, and arbitrary content lines as a backup file would bring them
// back; then builds the fields from them. Besides crashes it checks that the receipt line
// count agrees with the receipt copies and that installments never exceed what a key holds.
#include <cstdint>
#include <string>
#include <vector>

#include "tef/RiZedIzAdeTef.h"

namespace {
void check(bool condition) {
  if (!condition) __builtin_trap();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);

  // Dialogue values: records of a two-byte field code and a value up to the next NUL.
  TRiZedIzAdeRespCliSiTef dialogue;
  size_t at = 0;
  while (at + 2 <= input.size()) {
    int code = (static_cast<unsigned char>(input[at]) << 8 | static_cast<unsigned char>(input[at + 1])) % 5000;
    at += 2;
    size_t end = input.find('\0', at);
    if (end == std::string::npos) end = input.size();
    dialogue.GravaInformacao(code, input.substr(at, end - at));
    at = end + 1;
  }
  dialogue.ConteudoToProperty();
  check(dialogue.fpQtdLinhasComprovante >= 0);
  check(static_cast<size_t>(dialogue.fpQtdLinhasComprovante) ==
        std::max(dialogue.ImagemComprovante1aVia().size(), dialogue.ImagemComprovante2aVia().size()));
  check(dialogue.Parcelas().Count() <= TRiZedIzAdeRespCliSiTef::kMaiorSequencia);

  // Content lines as they come back from a file.
  TRiZedIzAdeRespCliSiTef stored;
  std::vector<std::string> lines;
  size_t start = 0;
  while (start <= input.size()) {
    size_t end = input.find('\n', start);
    if (end == std::string::npos) end = input.size();
    lines.push_back(input.substr(start, end - start));
    start = end + 1;
  }
  stored.Conteudo().AssignLinhas(lines);
  stored.ConteudoToProperty();
  check(stored.Parcelas().Count() <= TRiZedIzAdeRespCliSiTef::kMaiorSequencia);

  // A copy reads the same lines the same way.
  TRiZedIzAdeRespCliSiTef copy;
  copy.Assign(stored);
  check(copy.ValorTotal() == stored.ValorTotal());
  check(copy.fpNSU == stored.fpNSU);
  return 0;
}
