// The backup files of approved responses, and the passes that settle them.
#include <cstdio>

#include "platform/Text.h"
#include "tef/RiZedIzAdeClass.h"

namespace {

const char* const kMensagemReimprimir =
    "Transação TEF efetuada.\r\nFavor reimprimir último Cupom.\r\nNSU: %s\r\n"
    "Nº Documento: %s\r\n(Para Cielo utilizar os 6 últimos dígitos.)";

std::string replace_first(std::string text, const std::string& what, const std::string& with) {
  const size_t at = text.find(what);
  if (at != std::string::npos) text.replace(at, what.size(), with);
  return text;
}

// The identity of an undone transaction, taken from the manager's own response before it
// was undone. A copy made for the pending list may be of a plainer variant that does not
// read these fields, so the duplicate check must not rely on the copy.
struct TransacaoDesfeita {
  std::string Rede, NSU, Finalizacao, DocumentoVinculado;
  Currency ValorTotal;
};

}  // namespace

bool DoHospedeiro(TRiZedIzAdeResp& r) {
  return !r.LeInformacao(kIdentificacaoControle, kSequenciaDecisao).AsString().empty() ||
         !r.LeInformacao(kIdentificacaoControle, kSequenciaRelatorioCorpo).AsString().empty();
}

std::string TRiZedIzAdeClass::NomeArquivoBackup(int Numero) const {
  char numero[8];
  std::snprintf(numero, sizeof numero, "%03d", Numero);
  return fDono.PathBackup() + "/RiZedIzAde_" + Name() + "_" + numero + ".tef";
}

std::string TRiZedIzAdeClass::MascaraArquivosBackup() const {
  return fDono.PathBackup() + "/RiZedIzAde_" + Name() + "_*.tef";
}

std::unique_ptr<TRiZedIzAdeResp> TRiZedIzAdeClass::NovaRespostaDoTipo(TRiZedIzAdeTipo Tipo) const {
  if (Tipo == gpCliSiTef) return std::make_unique<TRiZedIzAdeResp>();
  return std::make_unique<TRiZedIzAdeRespTXT>();
}

std::unique_ptr<TRiZedIzAdeResp> TRiZedIzAdeClass::CopiaDaResposta(
    const TRiZedIzAdeResp& Source) const {
  std::unique_ptr<TRiZedIzAdeResp> copia = NovaRespostaDoTipo(Source.TipoGP());
  copia->Assign(Source);
  return copia;
}

std::string TRiZedIzAdeClass::ArquivoBackupLivre() const {
  for (int numero = 1; numero <= kMaiorNumeroBackup; ++numero) {
    const std::string nome = NomeArquivoBackup(numero);
    if (!ArquivoExiste(nome)) return nome;
  }
  throw ERiZedIzAdeErro("Não há número livre para o backup da transação TEF em:\r\n" +
                        fDono.PathBackup() +
                        "\r\nConfirme ou cancele as transações pendentes.");
}

std::string TRiZedIzAdeClass::CopiarResposta() {
  TRiZedIzAdeResp& resp = fDono.Resp();
  const std::string arquivo = ArquivoBackupLivre();
  GravaLog(fDono.Name() + " CopiarResposta: " + resp.Header() + " - " +
           std::to_string(resp.ID()) + " Arq: " + arquivo);
  resp.Conteudo().GravarArquivo(arquivo, true);
  resp.SetArqBackup(arquivo);
  return arquivo;
}

void TRiZedIzAdeClass::ConfirmarTransacoesAnteriores() {
  GravaLog("ConfirmarTransacoesAnteriores");
  TRiZedIzAdeRespostasPendentes& pendentes = fDono.RespostasPendentes();
  for (int i = 0; i < pendentes.Count(); ++i) {
    TRiZedIzAdeResp& r = pendentes[i];
    if (r.CNFEnviado() || r.TipoGP() != fDono.GPAtual()) continue;
    if (!EPagamento(r.Header())) continue;
    CNF(r.Rede(), r.NSU(), r.Finalizacao(), r.DocumentoVinculado());
    r.SetCNFEnviado(true);
    if (!r.ArqBackup().empty()) r.Conteudo().GravarArquivo(r.ArqBackup(), true);
    ApagaArquivo(r.fpArqRespPendente);
  }
}

void TRiZedIzAdeClass::CancelarTransacoesPendentesClass() {
  GravaLog(Name() + " CancelarTransacoesPendentesClass ");

  // Unconfirmed payments, administrative functions and cancellations are undone first,
  // latest first; confirmed payments (which need a CNC) follow in their listed order.
  std::vector<std::string> primeiro, depois;
  for (const std::string& arquivo : norvane::list_matching_files(MascaraArquivosBackup())) {
    bool aDesfazer = true;
    try {
      fpResp->LeArquivo(arquivo);
      if (DoHospedeiro(*fpResp)) {
        // Reported to (or decided by) the sales back-end: only its answer settles it.
        GravaLog(Name() + " CancelarTransacoesPendentesClass: " + arquivo + " fica para a aplicação");
        continue;
      }
      aDesfazer = fpResp->Header() == "CNC" || fpResp->Header() == "ADM" || !fpResp->CNFEnviado();
    } catch (const std::exception& e) {
      // An unreadable file is tried again below, where its failure is reported.
      GravaLog(Name() + " CancelarTransacoesPendentesClass: " + e.what());
    }
    (aDesfazer ? primeiro : depois).push_back(arquivo);
  }
  std::vector<std::string> arquivos(primeiro.rbegin(), primeiro.rend());
  arquivos.insert(arquivos.end(), depois.begin(), depois.end());
  if (!fArqResp.empty() && ArquivoExiste(fArqResp)) arquivos.push_back(fArqResp);

  const bool porDocumento = fpTipo == gpCliSiTef;
  std::vector<TransacaoDesfeita> desfeitas;
  std::string primeiroErro;
  // Each file is taken once: one whose undo fails stays in the folder for the next start,
  // and the pass goes on with the next file.
  for (const std::string& arquivo : arquivos) {
    if (!ArquivoExiste(arquivo)) continue;
    try {
      fpResp->LeArquivo(arquivo);
      const TRiZedIzAdeResp& r = *fpResp;
      bool duplicada = false;
      for (const TransacaoDesfeita& d : desfeitas) {
        if (porDocumento ? d.DocumentoVinculado == r.DocumentoVinculado()
                         : d.Rede == r.Rede() && d.NSU == r.NSU() &&
                               d.Finalizacao == r.Finalizacao() && d.ValorTotal == r.ValorTotal())
          duplicada = true;
      }
      if (duplicada) {
        ApagaArquivo(arquivo);
        continue;
      }

      std::unique_ptr<TRiZedIzAdeResp> copia = CopiaDaResposta(r);
      if (fDono.Eventos().OnAntesCancelarTransacao) {
        try {
          fDono.Eventos().OnAntesCancelarTransacao(*copia);
        } catch (...) {
          // The host's handler only observes the undo; its failure must not stop it.
        }
      }
      // Taken before the undo: a CNC starts a library function of its own, which empties
      // the manager's response (r) and fills it with the cancellation's answer.
      const TransacaoDesfeita identidade{r.Rede(), r.NSU(), r.Finalizacao(),
                                         r.DocumentoVinculado(), r.ValorTotal()};
      const TDateTime dataHora = r.fpDataHoraTransacaoHost;
      if (!r.CNFEnviado() || r.Header() == "CHQ") {
        NCN(identidade.Rede, identidade.NSU, identidade.Finalizacao, identidade.ValorTotal,
            identidade.DocumentoVinculado);
      } else if (!CNC(identidade.Rede, identidade.NSU, dataHora, identidade.ValorTotal)) {
        throw ERiZedIzAdeErro("CNC nao efetuado");
      }
      desfeitas.push_back(identidade);
      ApagaArquivo(arquivo);
    } catch (const std::exception& e) {
      GravaLog(Name() + " CancelarTransacoesPendentesClass: " + arquivo + ": " + e.what());
      if (primeiroErro.empty()) primeiroErro = e.what();
    }
  }

  if (fpTipo == gpTefAuttar && !desfeitas.empty())
    fDono.DoExibeMsg(opmOK, "Transação TEF não Efetuada Reter o Cupom Fiscal!");
  if (!primeiroErro.empty()) throw ERiZedIzAdeErro(primeiroErro);
}

void TRiZedIzAdeClass::ConfirmarTransacoesBackup() {
  TRiZedIzAdeRespostasPendentes& pendentes = fDono.RespostasPendentes();
  pendentes.Clear();
  const std::vector<std::string> arquivos = norvane::list_matching_files(MascaraArquivosBackup());
  if (fDono.ModoServico()) {
    // In service mode only the sales back-end decides a payment: the host settles each
    // backup by the decision it holds, or by the answer to its report sent again. Nothing
    // is confirmed here, and nothing is shown to whoever started the session.
    if (!arquivos.empty())
      GravaLog(Name() + " ConfirmarTransacoesBackup: " + std::to_string(arquivos.size()) +
               " backup(s) deixado(s) para a aplicação liquidar");
    fDono.SetTransacaoConfirmada(false);
    return;
  }
  // Only a transaction actually confirmed here counts: a file whose confirmation failed
  // stays for the next start and is reported to no one as done.
  int confirmadas = 0;

  std::string nsus, documentos;
  // Each file is taken once: one whose confirmation fails stays in the folder for the
  // next start, and the pass goes on with the next file.
  for (const std::string& arquivo : arquivos) {
    if (!ArquivoExiste(arquivo)) continue;
    try {
      fpResp->LeArquivo(arquivo);
      const TRiZedIzAdeResp& r = *fpResp;
      CNF(r.Rede(), r.NSU(), r.Finalizacao(), r.DocumentoVinculado());
      std::unique_ptr<TRiZedIzAdeResp> copia = CopiaDaResposta(r);
      copia->fpPendente = true;
      pendentes.Add(std::move(copia));
      if (!norvane::trim(r.NSU()).empty()) nsus += r.NSU() + "\r\n";
      if (!norvane::trim(r.DocumentoVinculado()).empty()) documentos += r.DocumentoVinculado() + "\r\n";
      ++confirmadas;
      ApagaArquivo(arquivo);
    } catch (const std::exception& e) {
      GravaLog(Name() + " ConfirmarTransacoesBackup: " + arquivo + ": " + e.what());
    }
  }

  fDono.SetTransacaoConfirmada(confirmadas > 0);
  if (fDono.Eventos().OnDepoisConfirmarTransacoes && !pendentes.Empty()) {
    try {
      fDono.Eventos().OnDepoisConfirmarTransacoes(pendentes);
    } catch (...) {
      pendentes.Clear();
      throw;
    }
  }
  pendentes.Clear();

  if (confirmadas > 0) {
    std::string texto = replace_first(kMensagemReimprimir, "%s", nsus);
    texto = replace_first(texto, "%s", documentos);
    fDono.DoExibeMsg(opmOK, texto);
  }
}
