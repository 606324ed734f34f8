// What the component does with the whole list of pending responses: confirm them, cancel
// them, group them by payment.
#include <algorithm>

#include "tef/RiZedIzAde.h"

namespace {

// Clears the list however the host's event ends: the list owns the responses, and they
// must not be settled twice.
void avisa_e_esvazia(const TRiZedIzAdeProcessarTransacoesPendentes& evento,
                     TRiZedIzAdeRespostasPendentes& pendentes) {
  try {
    if (evento) evento(pendentes);
  } catch (...) {
    pendentes.Clear();
    throw;
  }
  pendentes.Clear();
}

}  // namespace

void TRiZedIzAde::ConfirmarTransacoesPendentes() {
  GravaLog("ConfirmarTransacoesPendentes");
  for (int i = 0; i < fpRespostasPendentes.Count(); ++i) {
    TRiZedIzAdeResp& r = fpRespostasPendentes[i];
    try {
      SetGPAtual(r.TipoGP());
      if (!r.CNFEnviado()) {
        Atual().CNF(r.Rede(), r.NSU(), r.Finalizacao(), r.DocumentoVinculado());
        r.SetCNFEnviado(true);
      }
      ApagaArquivo(r.fpArqRespPendente);
      ApagaArquivo(r.ArqBackup());
    } catch (const std::exception& e) {
      // Each response is tried once: one that fails keeps its backup file, which the next
      // start settles, and the others still get their confirmation.
      GravaLog("ConfirmarTransacoesPendentes: " + r.NSU() + ": " + e.what());
    }
  }
  avisa_e_esvazia(OnDepoisConfirmarTransacoes, fpRespostasPendentes);
}

void TRiZedIzAde::CancelarTransacoesPendentes() {
  // In service mode the host settles each payment itself as it reports it.
  if (FTEFModoServico) return;
  for (const auto& manager : fTEFList)
    if (manager->Habilitado()) manager->CancelarTransacoesPendentesClass();
  avisa_e_esvazia(OnDepoisCancelarTransacoes, fpRespostasPendentes);
}

void TRiZedIzAde::AgruparRespostasPendentes(TRiZedIzAdeArrayGrupoRespostasPendentes& Grupo) const {
  Grupo.clear();
  for (const auto& r : fpRespostasPendentes) {
    auto grupo = std::find_if(Grupo.begin(), Grupo.end(), [&](const auto& g) {
      return g.IndiceFPG_ECF == r->IndiceFPG_ECF() && g.OrdemPagamento == r->OrdemPagamento();
    });
    if (grupo == Grupo.end())
      grupo = Grupo.insert(Grupo.end(), {r->IndiceFPG_ECF(), r->OrdemPagamento(), Currency()});
    grupo->Valor += r->ValorTotal();
  }
  // Groups of the same order keep the order they were first seen in.
  std::stable_sort(Grupo.begin(), Grupo.end(), [](const auto& a, const auto& b) {
    return a.OrdemPagamento < b.OrdemPagamento;
  });
}
