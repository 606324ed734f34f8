// Feeds arbitrary bytes to the TEF file layer: as one line, as a whole file loaded from disk
// and as escaped text. Besides crashes it checks the invariants callers rely on: a line
// reads back as set, a loaded file survives a write and a reload unchanged (written as a
// backup, it differs only by digits masked), and unescaping an escaped text gives the text
// back.
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "tef/RiZedIzAdeArquivo.h"
#include "FuzzWorkFolder.h"

namespace {

const std::string& work_folder() { return fuzz_support::work_folder("tef_files_fuzz"); }

void check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);

  TRiZedIzAdeLinha linha;
  linha.SetLinha(input);
  check(linha.Linha() == input);
  check(input.compare(0, linha.Chave().size(), linha.Chave()) == 0);

  check(DesescapaTexto(input).size() <= input.size());
  check(DesescapaTexto(EscapaTexto(input)) == input);

  const std::string original = work_folder() + "/entrada.tef";
  const std::string copia = work_folder() + "/copia.tef";
  std::ofstream(original, std::ios::binary | std::ios::trunc) << input;
  TRiZedIzAdeArquivo arq;
  arq.LeArquivo(original);
  for (int i = 0; i < arq.Count(); ++i) arq.GetLinha(i).Informacao().AsFloat();
  arq.LeInformacao(0, 0).AsTimeStampSQL();
  arq.GravarArquivo(copia, false, /*MascararCartoes=*/false);
  TRiZedIzAdeArquivo relido;
  relido.LeArquivo(copia);
  check(relido.Conteudo() == arq.Conteudo());

  // Written as a backup, the same text with at most some digits turned into asterisks.
  std::string plain;
  for (const std::string& linha : arq.Conteudo()) plain += linha + "\r\n";
  arq.GravarArquivo(copia, false);
  std::ifstream in(copia, std::ios::binary);
  const std::string masked((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  check(masked.size() == plain.size());
  for (size_t i = 0; i < plain.size(); ++i)
    check(masked[i] == plain[i] || (plain[i] >= '0' && plain[i] <= '9' && masked[i] == '*'));
  return 0;
}
