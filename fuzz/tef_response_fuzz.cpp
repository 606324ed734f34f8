// Feeds arbitrary bytes to the response record and the backup passes as a backup file left
// by an earlier run: loading it, reading the component's own keys, writing them back, and
// the start-up confirmation and the undo of everything left in the folder. Besides crashes
// it checks that the control keys survive a write and a reload, and that both passes end
// with the file settled or kept, never repeated.
#include <unistd.h>

#include <cstdint>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>

#include "tef/RiZedIzAde.h"
#include "tef/RiZedIzAdeClass.h"
#include "FuzzWorkFolder.h"

namespace {

void check(bool condition) {
  if (!condition) __builtin_trap();
}

// Confirms and undoes by counting; fails for one NSU so the failure paths run too.
class CountingManager : public TRiZedIzAdeClass {
 public:
  explicit CountingManager(TRiZedIzAdeDono& owner) : TRiZedIzAdeClass(owner) {
    SetName("CliSiTef");
    fpTipo = gpCliSiTef;
    fpResp->fpTipoGP = gpCliSiTef;
  }
  using TRiZedIzAdeClass::CNC;
  using TRiZedIzAdeClass::CNF;
  using TRiZedIzAdeClass::ConfirmarTransacoesBackup;
  using TRiZedIzAdeClass::NCN;
  void CNF(const std::string&, const std::string&, const std::string&,
           const std::string&) override {
    ++calls;
  }
  void NCN(const std::string&, const std::string&, const std::string&, Currency,
           const std::string&) override {
    ++calls;
  }
  bool CNC(const std::string&, const std::string&, TDateTime, Currency) override {
    ++calls;
    return true;
  }
  int calls = 0;
};

const std::string& work_folder() { return fuzz_support::work_folder("tef_response_fuzz"); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  TRiZedIzAde tef;
  tef.SetPathBackup(work_folder());
  tef.OnExibeMsg = [](TRiZedIzAdeOperacaoMensagem, const std::string&, TModalResult&) {};
  auto& manager = static_cast<CountingManager&>(
      tef.AddManager(std::make_unique<CountingManager>(tef)));
  tef.SetGPAtual(gpCliSiTef);
  const std::string arquivo = manager.NomeArquivoBackup(1);

  // The record: load and read its keys; keys written from those values read back the same
  // after a trip through a file.
  std::ofstream(arquivo, std::ios::binary | std::ios::trunc) << input;
  TRiZedIzAdeResp resp;
  resp.LeArquivo(arquivo);
  TRiZedIzAdeResp escrita;
  escrita.SetCNFEnviado(resp.CNFEnviado());
  escrita.SetIndiceFPG_ECF(resp.IndiceFPG_ECF());
  escrita.SetOrdemPagamento(resp.OrdemPagamento());
  escrita.Conteudo().GravarArquivo(arquivo, false);
  TRiZedIzAdeResp relida;
  relida.LeArquivo(arquivo);
  check(relida.CNFEnviado() == resp.CNFEnviado());
  check(relida.OrdemPagamento() == resp.OrdemPagamento());
  check(relida.Conteudo().Conteudo() == escrita.Conteudo().Conteudo());

  // The passes: each settles the one file once.
  std::ofstream(arquivo, std::ios::binary | std::ios::trunc) << input;
  try {
    manager.CancelarTransacoesPendentesClass();
  } catch (const ERiZedIzAdeErro&) {
    // A file that cannot be settled is reported and kept.
  }
  check(manager.calls <= 1);
  std::ofstream(arquivo, std::ios::binary | std::ios::trunc) << input;
  manager.calls = 0;
  manager.ConfirmarTransacoesBackup();
  check(manager.calls == 1);
  check(!std::filesystem::exists(arquivo));
  check(tef.RespostasPendentes().Empty());
  return 0;
}
