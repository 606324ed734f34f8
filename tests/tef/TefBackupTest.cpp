// Backups of approved responses: numbering, durability, confirmation at start, confirmation
// during the sale and the undo of everything left behind.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "TefManagerFixture.h"

namespace tef_test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class TefBackupTest : public TefFixture {
 protected:
  // Makes the manager's response look like an approved payment.
  void approve(const std::string& nsu, const std::string& documento) {
    TRiZedIzAdeResp& resp = manager->Resp();
    resp.Clear();
    resp.Conteudo().GravaInformacao(0, 0, "CRT");
    resp.Conteudo().GravaInformacao(2, 0, documento);
    resp.Conteudo().GravaInformacao(3, 0, "2599");
    resp.Conteudo().GravaInformacao(12, 0, nsu);
    resp.ConteudoToProperty();
  }
};

TEST_F(TefBackupTest, NextBackupTakesTheLowestFreeNumber) {
  write_backup(1, "CRT", "1", false);
  write_backup(3, "CRT", "3", false);
  approve("77", "10");
  const std::string first = manager->CopiarResposta();
  EXPECT_EQ(first, (folder / "TEF" / "RiZedIzAde_CliSiTef_002.tef").string());
  EXPECT_EQ(manager->Resp().ArqBackup(), first);
  EXPECT_EQ(manager->CopiarResposta(), backup(4));

  TRiZedIzAdeResp reloaded;
  reloaded.LeArquivo(first);
  EXPECT_EQ(reloaded.Conteudo().Conteudo(), manager->Resp().Conteudo().Conteudo());
  EXPECT_NE(read_file(folder / "tef.log").find("RiZedIzAde CopiarResposta: CRT - 0 Arq: " + first),
            std::string::npos);
}

TEST_F(TefBackupTest, AllNumbersTakenRefusesThePayment) {
  for (int numero = 1; numero <= TRiZedIzAdeClass::kMaiorNumeroBackup; ++numero)
    std::ofstream(backup(numero)) << "000-000 = CRT\r\n";
  approve("77", "10");
  try {
    manager->CopiarResposta();
    FAIL() << "a 1000th backup must be refused";
  } catch (const ERiZedIzAdeErro& e) {
    EXPECT_NE(std::string(e.what()).find("Não há número livre"), std::string::npos);
  }
  EXPECT_EQ(manager->Resp().ArqBackup(), "");
  EXPECT_FALSE(std::filesystem::exists(folder / "TEF" / "RiZedIzAde_CliSiTef_1000.tef"));
}

TEST_F(TefBackupTest, BackupIsOnDiskWhenCopiarRespostaReturns) {
  approve("4242", "99");
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Nothing after the call runs: no destructor, no buffered output, no exit handler.
    manager->CopiarResposta();
    ::raise(SIGKILL);
    ::_exit(1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

  TRiZedIzAdeResp reloaded;
  reloaded.LeArquivo(backup(1));
  EXPECT_EQ(reloaded.Conteudo().Conteudo(), manager->Resp().Conteudo().Conteudo());
  EXPECT_EQ(read_file(backup(1)), "000-000 = CRT\r\n002-000 = 99\r\n003-000 = 2599\r\n012-000 = 4242\r\n");
}

TEST_F(TefBackupTest, ReloadedBackupKeepsTheConfirmationState) {
  approve("555", "12");
  manager->Resp().SetIndiceFPG_ECF("03");
  TRiZedIzAdeResp& pendente =
      tef.RespostasPendentes().Add(std::make_unique<FakeResp>());
  pendente.Assign(manager->Resp());
  pendente.SetArqBackup(manager->CopiarResposta());
  pendente.SetOrdemPagamento(2);
  pendente.fpArqRespPendente = (folder / "resp.001").string();
  std::ofstream(pendente.fpArqRespPendente) << "x";

  manager->ConfirmarTransacoesAnteriores();

  EXPECT_THAT(manager->calls, ElementsAre("CNF 555"));
  EXPECT_FALSE(std::filesystem::exists(pendente.fpArqRespPendente));
  TRiZedIzAdeResp reloaded;
  reloaded.LeArquivo(pendente.ArqBackup());
  EXPECT_TRUE(reloaded.CNFEnviado());
  EXPECT_EQ(reloaded.IndiceFPG_ECF(), "03");
  EXPECT_EQ(reloaded.OrdemPagamento(), 2);
  EXPECT_NE(read_file(pendente.ArqBackup()).find("899-001 = S\r\n"), std::string::npos);
}

TEST_F(TefBackupTest, ConfirmarTransacoesAnterioresSendsOnlyUnconfirmedPaymentsOfThisKind) {
  struct Row {
    const char* header;
    const char* nsu;
    bool cnf_enviado;
    TRiZedIzAdeTipo tipo;
  };
  // Parts of the two payment headers ("RT", "C", "|") are other operations, not payments.
  const Row rows[] = {{"CRT", "1", false, gpCliSiTef}, {"CHQ", "2", false, gpCliSiTef},
                      {"CRT", "3", true, gpCliSiTef},  {"ADM", "4", false, gpCliSiTef},
                      {"CNC", "5", false, gpCliSiTef}, {"CRT", "6", false, gpVeSPague},
                      {"RT", "7", false, gpCliSiTef},  {"C", "8", false, gpCliSiTef},
                      {"|", "9", false, gpCliSiTef}};
  for (const Row& row : rows) {
    FakeResp source;
    source.Conteudo().GravaInformacao(0, 0, row.header);
    source.Conteudo().GravaInformacao(12, 0, row.nsu);
    if (row.cnf_enviado) source.SetCNFEnviado(true);
    source.fpTipoGP = row.tipo;
    tef.RespostasPendentes().Add(std::make_unique<FakeResp>()).Assign(source);
  }
  manager->ConfirmarTransacoesAnteriores();
  EXPECT_THAT(manager->calls, ElementsAre("CNF 1", "CNF 2"));
  for (int i = 0; i < tef.RespostasPendentes().Count(); ++i)
    EXPECT_EQ(tef.RespostasPendentes()[i].CNFEnviado(), i < 2 || rows[i].cnf_enviado) << rows[i].header;
}

TEST_F(TefBackupTest, ConfirmarTransacoesBackupConfirmsEveryFileLeft) {
  write_backup(1, "CRT", "1001", false, "501");
  write_backup(2, "CRT", "1002", true, "502");
  write_backup(3, "CRT", "1003", false, "503");
  tef.RespostasPendentes().Add(std::make_unique<FakeResp>());  // left from an earlier sale
  std::vector<std::string> reported;
  tef.OnDepoisConfirmarTransacoes = [&](TRiZedIzAdeRespostasPendentes& lista) {
    for (const auto& r : lista) reported.push_back(r->NSU() + (r->Pendente() ? " pendente" : ""));
  };

  manager->ConfirmarTransacoesBackup();

  EXPECT_THAT(manager->calls, ElementsAre("CNF 1001", "CNF 1002", "CNF 1003"));
  EXPECT_THAT(reported, ElementsAre("1001 pendente", "1002 pendente", "1003 pendente"));
  EXPECT_TRUE(tef.RespostasPendentes().Empty());
  EXPECT_THAT(backups_left(), IsEmpty());
  EXPECT_TRUE(tef.TransacaoConfirmada());
  ASSERT_EQ(mensagens.size(), 1u);
  EXPECT_EQ(mensagens[0].operacao, opmOK);
  EXPECT_EQ(mensagens[0].texto,
            "Transação TEF efetuada.\r\nFavor reimprimir último Cupom.\r\n"
            "NSU: 1001\r\n1002\r\n1003\r\n\r\n"
            "Nº Documento: 501\r\n502\r\n503\r\n\r\n"
            "(Para Cielo utilizar os 6 últimos dígitos.)");
}

TEST_F(TefBackupTest, ConfirmarTransacoesBackupKeepsAFailingFileAndGoesOn) {
  write_backup(1, "CRT", "1001", false);
  write_backup(2, "CRT", "1002", false);
  write_backup(3, "CRT", "1003", false);
  manager->falhar = {"1002"};

  EXPECT_NO_THROW(manager->ConfirmarTransacoesBackup());
  EXPECT_THAT(manager->calls, ElementsAre("CNF 1001", "CNF 1002", "CNF 1003"));
  EXPECT_THAT(backups_left(), ElementsAre("RiZedIzAde_CliSiTef_002.tef"));
  ASSERT_EQ(mensagens.size(), 1u);
  EXPECT_NE(mensagens[0].texto.find("NSU: 1001\r\n1003\r\n\r\n"), std::string::npos);

  // The next start tries the file that was left, once.
  manager->calls.clear();
  manager->falhar.clear();
  manager->ConfirmarTransacoesBackup();
  EXPECT_THAT(manager->calls, ElementsAre("CNF 1002"));
  EXPECT_THAT(backups_left(), IsEmpty());
}

TEST_F(TefBackupTest, ConfirmarTransacoesBackupWithoutFilesSaysNothing) {
  bool reported = false;
  tef.OnDepoisConfirmarTransacoes = [&](TRiZedIzAdeRespostasPendentes&) { reported = true; };
  tef.SetTransacaoConfirmada(true);
  manager->ConfirmarTransacoesBackup();
  EXPECT_FALSE(reported);
  EXPECT_FALSE(tef.TransacaoConfirmada());
  EXPECT_THAT(mensagens, IsEmpty());
  EXPECT_THAT(manager->calls, IsEmpty());
}

TEST_F(TefBackupTest, HandlerFailureStillEmptiesThePendingList) {
  write_backup(1, "CRT", "1001", false);
  tef.OnDepoisConfirmarTransacoes = [](TRiZedIzAdeRespostasPendentes&) {
    throw std::runtime_error("API fora do ar");
  };
  EXPECT_THROW(manager->ConfirmarTransacoesBackup(), std::runtime_error);
  EXPECT_TRUE(tef.RespostasPendentes().Empty());
  EXPECT_THAT(backups_left(), IsEmpty());
}

TEST_F(TefBackupTest, CancelarUndoesUnconfirmedLatestFirstThenCancelsConfirmed) {
  write_backup(1, "CRT", "1", true);
  write_backup(2, "CRT", "2", false);
  write_backup(3, "ADM", "3", true);
  write_backup(4, "CRT", "4", true);
  write_backup(5, "CRT", "5", false);
  write_backup(6, "CHQ", "6", true);
  std::vector<std::string> before;
  tef.OnAntesCancelarTransacao = [&](TRiZedIzAdeResp& copia) {
    before.push_back(copia.NSU());
    throw std::runtime_error("the host's failure is ignored");
  };

  manager->CancelarTransacoesPendentesClass();

  EXPECT_THAT(manager->calls, ElementsAre("NCN 5", "CNC 3", "NCN 2", "CNC 1", "CNC 4", "NCN 6"));
  EXPECT_THAT(before, ElementsAre("5", "3", "2", "1", "4", "6"));
  EXPECT_THAT(backups_left(), IsEmpty());
  EXPECT_THAT(mensagens, IsEmpty());
}

TEST_F(TefBackupTest, CancelarDropsFilesOfATransactionAlreadyUndone) {
  // Two payments of one coupon: undoing the document undoes both in CliSiTef.
  write_backup(1, "CRT", "1", false, "900");
  write_backup(2, "CRT", "2", false, "900");
  write_backup(3, "CRT", "3", false, "901");
  manager->CancelarTransacoesPendentesClass();
  EXPECT_THAT(manager->calls, ElementsAre("NCN 3", "NCN 2"));
  EXPECT_THAT(backups_left(), IsEmpty());
}

TEST_F(TefBackupTest, CancelarKnowsWhatItUndidEvenWhenTheUndoReplacesTheResponse) {
  // Two files of one confirmed payment (a rewrite interrupted by a crash leaves both); the
  // CNC runs a library function that overwrites the manager's response.
  manager->cnc_substitui_resposta = true;
  write_backup(1, "CRT", "1", true, "900");
  write_backup(2, "CRT", "1", true, "900");
  manager->CancelarTransacoesPendentesClass();
  EXPECT_THAT(manager->calls, ElementsAre("CNC 1"));
  EXPECT_THAT(backups_left(), IsEmpty());

  manager->calls.clear();
  manager->SetTipo(gpVeSPague);
  manager->variantes = {gpVeSPague};
  write_backup(1, "CRT", "2", true, "901");
  write_backup(2, "CRT", "2", true, "902");
  manager->CancelarTransacoesPendentesClass();
  EXPECT_THAT(manager->calls, ElementsAre("CNC 2"));
  EXPECT_THAT(backups_left(), IsEmpty());
}

TEST_F(TefBackupTest, CancelarDropsDuplicatesByNetworkNsuAndValueForOtherKinds) {
  manager->SetTipo(gpVeSPague);
  manager->variantes = {gpVeSPague};
  write_backup(1, "CRT", "1", false, "900");
  write_backup(2, "CRT", "1", false, "901");  // same network, NSU, finalisation and value
  write_backup(3, "CRT", "3", false, "900");
  manager->CancelarTransacoesPendentesClass();
  EXPECT_THAT(manager->calls, ElementsAre("NCN 3", "NCN 1"));
  EXPECT_THAT(backups_left(), IsEmpty());
}

TEST_F(TefBackupTest, CancelarKeepsAFailingFileGoesOnAndReportsTheFailure) {
  write_backup(1, "CRT", "1", true);
  write_backup(2, "CRT", "2", true);
  write_backup(3, "CRT", "3", false);
  manager->falhar = {"1", "3"};  // CNC answers false for 1; the NCN of 3 raises
  try {
    manager->CancelarTransacoesPendentesClass();
    FAIL() << "the failed undo must be reported";
  } catch (const ERiZedIzAdeErro& e) {
    EXPECT_STREQ(e.what(), "falha no desfazimento 3");
  }
  EXPECT_THAT(manager->calls, ElementsAre("NCN 3", "CNC 1", "CNC 2"));
  EXPECT_THAT(backups_left(),
              ElementsAre("RiZedIzAde_CliSiTef_001.tef", "RiZedIzAde_CliSiTef_003.tef"));

  manager->calls.clear();
  manager->falhar = {"1"};
  try {
    manager->CancelarTransacoesPendentesClass();
    FAIL() << "a CNC answered false must be reported";
  } catch (const ERiZedIzAdeErro& e) {
    EXPECT_STREQ(e.what(), "CNC nao efetuado");
  }
  EXPECT_THAT(manager->calls, ElementsAre("NCN 3", "CNC 1"));
  EXPECT_THAT(backups_left(), ElementsAre("RiZedIzAde_CliSiTef_001.tef"));
}

TEST_F(TefBackupTest, CancelarTellsTheOperatorToKeepTheCouponForTefAuttar) {
  manager->SetTipo(gpTefAuttar);
  manager->SetName("Auttar");
  manager->variantes = {gpTefAuttar};
  write_backup(1, "CRT", "8", false);
  manager->CancelarTransacoesPendentesClass();
  EXPECT_THAT(manager->calls, ElementsAre("NCN 8"));
  ASSERT_EQ(mensagens.size(), 1u);
  EXPECT_EQ(mensagens[0].operacao, opmOK);
  EXPECT_EQ(mensagens[0].texto, "Transação TEF não Efetuada Reter o Cupom Fiscal!");
}

TEST_F(TefBackupTest, ResponsesOfAStandardManagerAreCopiedAsItsKeyValueResponse) {
  manager->SetTipo(gpTefDial);
  manager->SetName("TefDial");
  manager->variantes.clear();
  write_backup(1, "CRT", "8", false);
  std::string nsu_da_copia;
  tef.OnAntesCancelarTransacao = [&](TRiZedIzAdeResp& copia) {
    ASSERT_NE(dynamic_cast<TRiZedIzAdeRespTXT*>(&copia), nullptr);
    nsu_da_copia = copia.NSU();
  };
  manager->CancelarTransacoesPendentesClass();
  EXPECT_EQ(nsu_da_copia, "8");
  EXPECT_THAT(manager->calls, ElementsAre("NCN 8"));
  EXPECT_THAT(backups_left(), IsEmpty());
}

TEST_F(TefBackupTest, UnreadableAndHostileBackupFilesDoNotStopThePass) {
  write_backup(1, "CRT", "1", false);
  // Binary bytes, a line without separator, a key that is not a number, a 1 MiB line and
  // a truncated last line.
  std::ofstream(backup(2), std::ios::binary)
      << std::string("\x00\xff\x01garbage\r\nabc-def = x\r\n", 25) << std::string(1 << 20, 'A')
      << "\r\n899-001 = S\r\n000-000 = CR";
  std::filesystem::create_directory(backup(3));  // a folder where a file is expected
  write_backup(4, "CRT", "4", false);

  EXPECT_THROW(manager->CancelarTransacoesPendentesClass(), ERiZedIzAdeErro);
  EXPECT_THAT(manager->calls, ElementsAre("NCN 4", "NCN 1", "CNC "));
  EXPECT_THAT(backups_left(), ElementsAre("RiZedIzAde_CliSiTef_003.tef"));
}

}  // namespace
}  // namespace tef_test
