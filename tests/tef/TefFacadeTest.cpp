// The component's own operations: initialisation, the pending list as a whole (grouping,
// confirming, cancelling), the confirmation that never raises, and the printing of the
// pending responses on the cash register.
#include <algorithm>

#include "TefManagerFixture.h"
#include "../support/ManualClock.h"

namespace tef_test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class TefFacadeTest : public TefFixture {
 protected:
  void SetUp() override {
    TefFixture::SetUp();
    tef.OnComandaECF = [this](TRiZedIzAdeOperacaoECF op, TRiZedIzAdeResp&, int& r) {
      ecf.push_back(enum_name(op));
      r = falha_impressora ? 0 : 1;
    };
    tef.OnComandaImpressao = [](int& r, TRiZedIzAdeResp&, bool) { r = 1; };
    tef.OnComandaECFAbreVinculado = [this](const std::string& coo, const std::string& indice,
                                           Currency valor, int& r) {
      ecf.push_back("vinculado " + coo + " " + indice + " " + valor.Format('.'));
      r = 1;
    };
    tef.OnComandaECFImprimeVia = [this](TRiZedIzAdeTipoRelatorio tipo, int via,
                                        const std::vector<std::string>& linhas, int& r) {
      ecf.push_back(enum_name(tipo) + " " + std::to_string(via) + " " + linhas.front());
      r = falha_impressora ? 0 : 1;
    };
    tef.OnInfoECF = [](TRiZedIzAdeInfoECF, std::string& r) { r = "L"; };
  }

  // A pending response as a payment leaves it.
  TRiZedIzAdeResp& pendente(const std::string& nsu, const std::string& indice, int ordem,
                            int64_t centavos, bool com_vias = true) {
    auto r = std::make_unique<FakeResp>();
    r->fpTipoGP = gpCliSiTef;
    r->fpNSU = nsu;
    r->fpDocumentoVinculado = "DOC" + nsu;
    r->fpValorTotal = Currency::FromCents(centavos);
    r->SetIndiceFPG_ECF(indice);
    r->SetOrdemPagamento(ordem);
    if (com_vias) {
      r->fpImagemComprovante1aVia = {"CLIENTE " + nsu};
      r->fpImagemComprovante2aVia = {"LOJA " + nsu};
    }
    return tef.RespostasPendentes().Add(std::move(r));
  }

  std::vector<std::string> ecf;
  bool falha_impressora = false;
};

TEST_F(TefFacadeTest, InicializarChecksItsEventsAndTheBackupFolderFirst) {
  tef.OnInfoECF = nullptr;
  tef.SetPathBackup((folder / "novo" / "TEF").string());
  try {
    tef.Inicializar(gpCliSiTef);
    FAIL();
  } catch (const ERiZedIzAdeErro& e) {
    EXPECT_STREQ(e.what(), "Evento \"OnInfoECF\" não programado");
  }
  EXPECT_FALSE(std::filesystem::exists(folder / "novo"));

  tef.OnInfoECF = [](TRiZedIzAdeInfoECF, std::string& r) { r = "L"; };
  std::ofstream(folder / "arquivo") << "not a folder";
  tef.SetPathBackup((folder / "arquivo" / "TEF").string());
  try {
    tef.Inicializar(gpCliSiTef);
    FAIL();
  } catch (const ERiZedIzAdeErro& e) {
    EXPECT_EQ(std::string(e.what()),
              "Diretório de Backup não existente:\r\n" + (folder / "arquivo" / "TEF").string());
  }

  // The manager's own failure reaches the caller as one plain message, and is logged.
  tef.SetPathBackup((folder / "TEF").string());
  manager->atv_nao_responde = true;
  manager->SetAutoAtivarGP(false);
  manager->calls.clear();
  EXPECT_NO_THROW(tef.Inicializar(gpCliSiTef));
  EXPECT_TRUE(tef.Inicializado(gpCliSiTef));
  tef.DesInicializar(gpCliSiTef);
  EXPECT_FALSE(tef.Inicializado(gpCliSiTef));
  write_backup(1, "CRT", "1001", true);
  manager->falhar = {"1001"};
  try {
    tef.Inicializar(gpCliSiTef);
    FAIL();
  } catch (const ERiZedIzAdeErro& e) {
    EXPECT_STREQ(e.what(), "Erro ao conectar com servidor TEF");
  }
  EXPECT_FALSE(tef.Inicializado());
  EXPECT_NE(read_file(folder / "tef.log").find("CliSiTef Inicializar: CNC nao efetuado"), std::string::npos);
}

TEST_F(TefFacadeTest, AgruparRespostasPendentesGroupsByFormAndOrderSortedByOrder) {
  pendente("1", "01", 2, 1000);
  pendente("2", "01", 1, 500);
  pendente("3", "01", 2, 250);
  pendente("4", "02", 1, 100);
  TRiZedIzAdeArrayGrupoRespostasPendentes grupos;
  grupos.push_back({"velho", 9, Currency()});
  tef.AgruparRespostasPendentes(grupos);
  std::vector<std::string> lidos;
  for (const auto& g : grupos)
    lidos.push_back(g.IndiceFPG_ECF + " " + std::to_string(g.OrdemPagamento) + " " +
                    g.Valor.Format('.'));
  EXPECT_THAT(lidos, ElementsAre("01 1 5.00", "02 1 1.00", "01 2 12.50"));
}

TEST_F(TefFacadeTest, ServiceModeLeavesThePendingListToTheHost) {
  pendente("1", "01", 0, 1000);
  write_backup(1, "CRT", "1", false);
  bool avisado = false;
  tef.OnDepoisCancelarTransacoes = [&](TRiZedIzAdeRespostasPendentes&) { avisado = true; };
  manager->SetHabilitado(true);
  tef.SetModoServico(true);
  tef.CancelarTransacoesPendentes();
  EXPECT_EQ(tef.RespostasPendentes().Count(), 1);
  EXPECT_FALSE(avisado);
  EXPECT_THAT(manager->calls, IsEmpty());

  tef.SetModoServico(false);
  tef.CancelarTransacoesPendentes();
  EXPECT_TRUE(tef.RespostasPendentes().Empty());
  EXPECT_TRUE(avisado);
  EXPECT_THAT(manager->calls, ElementsAre("NCN 1"));
}

TEST_F(TefFacadeTest, ConfirmarTransacoesPendentesGoesOnPastAFailure) {
  pendente("1", "01", 1, 100);
  pendente("2", "01", 2, 100).SetCNFEnviado(true);
  pendente("3", "01", 3, 100);
  manager->falhar = {"1"};
  int avisados = 0;
  tef.OnDepoisConfirmarTransacoes = [&](TRiZedIzAdeRespostasPendentes& l) { avisados = l.Count(); };
  tef.ConfirmarTransacoesPendentes();
  EXPECT_THAT(manager->calls, ElementsAre("CNF 1", "CNF 3"));
  EXPECT_EQ(avisados, 3);
  EXPECT_TRUE(tef.RespostasPendentes().Empty());
}

TEST_F(TefFacadeTest, ConfirmarTransacaoAnswersFalseWithoutRaising) {
  // No CliSiTef manager given, then one whose library is not loaded.
  EXPECT_FALSE(tef.ConfirmarTransacao(true, "36005"));
  TRiZedIzAde outro;
  outro.AddManager(std::make_unique<TRiZedIzAdeCliSiTef>(outro));
  outro.TEFCliSiTef()->SetModoServico(true);
  EXPECT_FALSE(outro.ConfirmarTransacao(true, "36005"));
}

TEST_F(TefFacadeTest, AFailedStartUpConfirmationIsNotReportedAsDone) {
  write_backup(1, "CRT", "1001", false);
  manager->falhar = {"1001"};
  manager->ConfirmarTransacoesBackup();
  EXPECT_FALSE(tef.TransacaoConfirmada());
  EXPECT_TRUE(mensagens.empty());
  EXPECT_THAT(backups_left(), ElementsAre("RiZedIzAde_CliSiTef_001.tef"));
}

TEST_F(TefFacadeTest, PrintingPendingResponsesOpensOneLinkedCouponPerPayment) {
  pendente("1", "01", 1, 1000);
  pendente("2", "02", 2, 500);
  tef.ImprimirTransacoesPendentes();
  EXPECT_THAT(ecf, ElementsAre("vinculado DOC1 01 10.00", "trVinculado 1 CLIENTE 1",
                               "trVinculado 2 LOJA 1", "opeFechaVinculado",
                               "vinculado DOC2 02 5.00", "trVinculado 1 CLIENTE 2",
                               "trVinculado 2 LOJA 2", "opeFechaVinculado"));
  EXPECT_THAT(manager->calls, ElementsAre("CNF 1", "CNF 2"));
  EXPECT_TRUE(tef.RespostasPendentes().Empty());
}

TEST_F(TefFacadeTest, PrintingOrder999GoesToAManagementReport) {
  pendente("1", "01", 999, 1000);
  tef.ImprimirTransacoesPendentes();
  EXPECT_THAT(ecf, ElementsAre("opeAbreGerencial", "trGerencial 1 CLIENTE 1", "opePulaLinhas",
                               "trGerencial 2 LOJA 1", "opeFechaGerencial"));
  EXPECT_NE(std::find_if(mensagens.begin(), mensagens.end(),
                         [](const Mensagem& m) {
                           return m.operacao == opmDestaqueVia && m.texto == "Destaque a 1ª Via";
                         }),
            mensagens.end());
}

TEST_F(TefFacadeTest, PrintingWithoutCopiesShowsTheSpecialTextsInOneMessage) {
  TRiZedIzAdeResp& r = pendente("1", "01", 1, 1000, /*com_vias=*/false);
  r.fpTextoEspecialOperador = "Operador";
  r.fpTextoEspecialCliente = "Cliente";
  tef.ImprimirTransacoesPendentes();
  EXPECT_THAT(ecf, IsEmpty());
  ASSERT_FALSE(mensagens.empty());
  EXPECT_EQ(mensagens[0].operacao, opmOK);
  EXPECT_EQ(mensagens[0].texto, "Operador\r\n\r\nCliente");
}

TEST_F(TefFacadeTest, SpecialTextsOfAPrintedResponseStayFiveSecondsThenAreRemoved) {
  const norvane::TimePoint start{std::chrono::seconds(1780000000)};
  const testing_support::ManualClock clock(start);
  TRiZedIzAdeResp& r = pendente("1", "01", 1, 1000);
  r.fpTextoEspecialOperador = "Operador";
  r.fpTextoEspecialCliente = "Cliente";
  tef.ImprimirTransacoesPendentes();
  std::vector<std::string> vistas;
  for (const Mensagem& m : mensagens) {
    const auto segundos = std::chrono::duration_cast<std::chrono::seconds>(m.quando - start).count();
    vistas.push_back(std::to_string(segundos) + " s " + enum_name(m.operacao) + " " + m.texto);
  }
  EXPECT_THAT(vistas, ElementsAre("0 s opmExibirMsgOperador Operador", "0 s opmExibirMsgCliente Cliente",
                                  "5 s opmRemoverMsgOperador ", "5 s opmRemoverMsgCliente "));
  EXPECT_THAT(manager->calls, ElementsAre("CNF 1"));
}

TEST_F(TefFacadeTest, AFailingPrinterAnsweredNoCancelsTheCouponAndEmptiesTheList) {
  pendente("1", "01", 1, 1000);
  write_backup(1, "CRT", "1", false);
  manager->SetHabilitado(true);
  falha_impressora = true;
  resposta_sim_nao = mrNo;
  tef.ImprimirTransacoesPendentes();
  EXPECT_EQ(ecf.back(), "opeCancelaCupom");
  EXPECT_THAT(manager->calls, ElementsAre("NCN 1"));
  EXPECT_TRUE(tef.RespostasPendentes().Empty());
  EXPECT_THAT(backups_left(), IsEmpty());
  EXPECT_EQ(std::count_if(mensagens.begin(), mensagens.end(),
                          [](const Mensagem& m) { return m.operacao == opmYesNo; }),
            1);
}

TEST_F(TefFacadeTest, InfoECFAsDoubleReadsBothSeparatorsAndReportsNonNumbers) {
  std::string resposta;
  tef.OnInfoECF = [&](TRiZedIzAdeInfoECF, std::string& r) { r = resposta; };
  for (const char* texto : {"12,5", " 12.5 "}) {
    resposta = texto;
    EXPECT_DOUBLE_EQ(tef.InfoECFAsDouble(ineSubTotal, -98787158), 12.5);
  }
  resposta = "abc";
  try {
    tef.InfoECFAsDouble(ineSubTotal, -98787158);
    FAIL();
  } catch (const ERiZedIzAdeErro& e) {
    EXPECT_STREQ(e.what(), "Erro na conversão do Valor Retornado de: OnInfoECF( ineSubTotal)");
  }
  EXPECT_DOUBLE_EQ(tef.InfoECFAsDouble(ineSubTotal, 7), 7);
}

}  // namespace
}  // namespace tef_test
