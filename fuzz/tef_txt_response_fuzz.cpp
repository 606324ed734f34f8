// Feeds arbitrary bytes to a standard manager's response as the file its program wrote:
// loading it, reading every field, checking it against the request it should answer, and
// copying it. Besides crashes it checks that the installments stay within what keys can
// number, that a copy reads the same fields, and that only a file with the request's
// header, identifier and a trailer is taken as its answer.
#include <cstdint>
#include <fstream>
#include <string>

#include "tef/RiZedIzAde.h"
#include "tef/RiZedIzAdeClass.h"
#include "FuzzWorkFolder.h"

namespace {

void check(bool condition) {
  if (!condition) __builtin_trap();
}

class StandardManager : public TRiZedIzAdeClass {
 public:
  explicit StandardManager(TRiZedIzAdeDono& owner) : TRiZedIzAdeClass(owner) {
    SetName("GPFuzz");
    fpTipo = gpTefDial;
    fpResp = std::make_unique<TRiZedIzAdeRespTXT>();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::string arquivo = fuzz_support::work_folder("tef_txt_response_fuzz") + "/IntPos.001";
  std::ofstream(arquivo, std::ios::binary | std::ios::trunc) << input;

  TRiZedIzAde tef;
  auto& manager = static_cast<StandardManager&>(
      tef.AddManager(std::make_unique<StandardManager>(tef)));
  manager.Req().SetHeader("CRT");
  manager.Req().SetID(7);

  auto& resp = static_cast<TRiZedIzAdeRespTXT&>(manager.Resp());
  resp.LeArquivo(arquivo);
  check(resp.Parcelas().Count() <= TRiZedIzAdeRespTXT::kMaiorParcela);
  check(resp.ImagemComprovante1aVia().empty() || !resp.ImagemComprovante2aVia().empty());
  (void)resp.TransacaoAprovada();

  const bool valida = manager.VerificaResposta();
  check(valida == (resp.Header() == "CRT" && resp.ID() == 7 && !resp.fpTrailer.empty()));

  TRiZedIzAdeRespTXT copia;
  copia.Assign(resp);
  check(copia.Header() == resp.Header() && copia.ID() == resp.ID());
  check(copia.ImagemComprovante1aVia() == resp.ImagemComprovante1aVia());
  check(copia.ImagemComprovante2aVia() == resp.ImagemComprovante2aVia());
  check(copia.Parcelas().Count() == resp.Parcelas().Count());
  check(copia.TransacaoAprovada() == resp.TransacaoAprovada());
  return 0;
}
