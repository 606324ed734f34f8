// Printing a response's receipt copies in a management report, then settling it.
#include <chrono>
#include <cstdio>

#include "platform/Clock.h"
#include "tef/RiZedIzAdeClass.h"

void TRiZedIzAdeClass::ImprimirRelatorio() {
  VerificaRequisicaoIniciada();
  TRiZedIzAdeResp& resp = *fpResp;
  if (resp.ImagemComprovante1aVia().empty() && resp.ImagemComprovante2aVia().empty()) return;

  GravaLog(Name() + " ImprimirRelatorio: " + resp.Header());
  const std::string backup = CopiarResposta();
  fDono.BloquearMouseTeclado(true);

  bool impresso = false;
  while (true) {
    impresso = ImprimirViasRelatorio();
    if (impresso) break;
    if (fDono.DoExibeMsg(opmYesNo, "Impressora não responde\r\nDeseja imprimir novamente ?") !=
        mrYes)
      break;
  }

  // The transaction is settled here, once: confirmed when its receipt was printed, undone
  // when not. Errors are ignored (the file then stays for the next start, which settles it).
  // A host that settles it itself keeps the backup, for its report and decision.
  if (fRelatorioLiquida && ArquivoExiste(backup)) {
    try {
      if (impresso)
        CNF(resp.Rede(), resp.NSU(), resp.Finalizacao(), resp.DocumentoVinculado());
      else
        NCN(resp.Rede(), resp.NSU(), resp.Finalizacao(), resp.ValorTotal(),
            resp.DocumentoVinculado());
      ApagaArquivo(backup);
    } catch (const std::exception& e) {
      GravaLog(Name() + " ImprimirRelatorio: " + e.what());
    }
  }

  fDono.BloquearMouseTeclado(false);
  if (!impresso) throw ERiZedIzAdeECF("Impressão de Relatório Falhou");
}

bool TRiZedIzAdeClass::ImprimirViasRelatorio() {
  TRiZedIzAdeResp& resp = *fpResp;
  TRiZedIzAdeDono& dono = fDono;
  bool mensagemExibida = false;
  try {
    char estado = dono.EstadoECF();
    if (estado != 'L') {
      if (estado == 'C')
        dono.ComandarECF(opeFechaVinculado);
      else if (estado == 'G' || estado == 'R')
        dono.ComandarECF(opeFechaGerencial);
      else if (estado == 'N' || estado == 'P' || estado == 'V')
        dono.ComandarECF(opeCancelaCupom);
      estado = dono.EstadoECF();
      if (estado != 'L') throw ERiZedIzAdeECF("ECF não está LIVRE");
    }

    const norvane::WaitPoint inicio = norvane::wait_now();
    if (!resp.fpTextoEspecialOperador.empty()) {
      dono.DoExibeMsg(opmExibirMsgOperador, resp.fpTextoEspecialOperador);
      mensagemExibida = true;
    }
    if (!resp.fpTextoEspecialCliente.empty()) {
      dono.DoExibeMsg(opmExibirMsgCliente, resp.fpTextoEspecialCliente);
      mensagemExibida = true;
    }

    bool gerencialAberto = false;
    for (int via = 1; via <= fpNumVias; ++via) {
      const std::vector<std::string>& linhas =
          via == 1 ? resp.ImagemComprovante1aVia() : resp.ImagemComprovante2aVia();
      if (linhas.empty()) continue;
      if (!gerencialAberto) {
        dono.ComandarECF(opeAbreGerencial);
        gerencialAberto = true;
      } else {
        dono.ComandarECF(opePulaLinhas);
        char texto[64];
        std::snprintf(texto, sizeof texto, "Destaque a %dª Via", via);
        dono.DoExibeMsg(opmDestaqueVia, texto);
      }
      dono.ECFImprimeVia(trGerencial, via, linhas);
    }
    if (gerencialAberto) dono.ComandarECF(opeFechaGerencial);

    if (mensagemExibida) {
      // The operator and the customer get at least five seconds to read the texts.
      norvane::sleep_until(inicio + std::chrono::seconds(5));
      dono.DoExibeMsg(opmRemoverMsgOperador, "");
      dono.DoExibeMsg(opmRemoverMsgCliente, "");
    }
    return true;
  } catch (const ERiZedIzAdeECF& e) {
    GravaLog(Name() + " ImprimirRelatorio: " + e.what());
    if (mensagemExibida) {
      dono.DoExibeMsg(opmRemoverMsgOperador, "");
      dono.DoExibeMsg(opmRemoverMsgCliente, "");
    }
    return false;
  }
}
