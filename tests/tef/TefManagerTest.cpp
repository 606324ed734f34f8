// The base manager (creation, initialisation, activation, value check, report printing,
// log) and the owner's members it relies on.
#include <ctime>

#include "TefManagerFixture.h"
#include "platform/Clock.h"
#include "platform/ExeFolder.h"
#include "../support/LocalTime.h"
#include "../support/ManualClock.h"

namespace tef_test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

using testing_support::local_time;

struct ClockGuard {
  ~ClockGuard() { norvane::set_clock_for_tests(nullptr); }
};

// ---------------------------------------------------------------------------------------

TEST(TefManagerCreation, AFacadeTakesOnlyManagersMadeForIt) {
  TRiZedIzAde tef, other;
  try {
    tef.AddManager(std::make_unique<TRiZedIzAdeClass>(other));
    FAIL() << "a manager made for another facade must be refused";
  } catch (const ERiZedIzAdeErro& e) {
    EXPECT_STREQ(e.what(), "TRiZedIzAdeClass deve ser criado por TRiZedIzAde");
  }
  EXPECT_TRUE(tef.TEFList().Empty());
}

TEST(TefManagerCreation, DefaultsAndNoCurrentManagerUntilCliSiTefIsSelected) {
  TRiZedIzAde tef;
  const ClockGuard guard;
  norvane::set_clock_for_tests([] { return local_time(2025, 3, 4, 1, 2, 3, 0); });
  TRiZedIzAdeClass& manager = tef.AddManager(std::make_unique<TRiZedIzAdeClass>(tef));
  EXPECT_EQ(manager.IDSeq(), 3723);
  EXPECT_EQ(manager.NumVias(), 2);
  EXPECT_TRUE(manager.AutoAtivarGP());
  EXPECT_EQ(manager.EsperaSTS(), 7);
  EXPECT_FALSE(manager.Inicializado());
  EXPECT_EQ(tef.GPAtual(), gpTefDial);
  EXPECT_EQ(tef.TefClass(), nullptr);
  EXPECT_THROW(tef.Resp(), ERiZedIzAdeErro);

  FakeManager& clisitef = static_cast<FakeManager&>(tef.AddManager(std::make_unique<FakeManager>(tef)));
  tef.SetGPAtual(gpCliSiTef);
  EXPECT_EQ(tef.TefClass(), &clisitef);
  tef.SetGPAtual(gpVeSPague);
  EXPECT_EQ(tef.GPAtual(), gpVeSPague);
  EXPECT_EQ(tef.TefClass(), &clisitef);
  EXPECT_EQ(&tef.Resp(), &clisitef.Resp());
}

// ---------------------------------------------------------------------------------------

class TefManagerTest : public TefFixture {};

TEST_F(TefManagerTest, InicializarUndoesLeftoversActivatesAndLogsOnce) {
  EXPECT_THROW(manager->VerificaInicializado(), ERiZedIzAdeGPNaoInicializado);
  try {
    manager->VerificaInicializado();
  } catch (const ERiZedIzAdeErro& e) {
    EXPECT_STREQ(e.what(), "Gerenciador Padrão: CliSiTef não foi inicializado");
  }
  write_backup(1, "CRT", "31", false);

  manager->SetInicializado(true);
  manager->Inicializar();

  EXPECT_TRUE(manager->Inicializado());
  EXPECT_NO_THROW(manager->VerificaInicializado());
  EXPECT_THAT(manager->calls, ElementsAre("NCN 31", "ATV"));
  EXPECT_THAT(backups_left(), IsEmpty());
  manager->SetInicializado(false);
  EXPECT_FALSE(manager->Inicializado());
  const std::string log = read_file(folder / "tef.log");
  EXPECT_NE(log.find(" - CliSiTef Inicializado\r\n"), std::string::npos);
  EXPECT_NE(log.find(" - CliSiTef CancelarTransacoesPendentesClass \r\n"), std::string::npos);
  EXPECT_NE(log.find(" - CliSiTef DesInicializado\r\n"), std::string::npos);
  // The second Inicializar found the manager initialised and did nothing.
  EXPECT_EQ(log.find(" - CliSiTef Inicializado"), log.rfind(" - CliSiTef Inicializado"));
}

TEST_F(TefManagerTest, VerificaAtivoStartsAManagerThatDoesNotAnswer) {
  manager->atv_nao_responde = true;
  // Automatic start asked for, but no program to start.
  try {
    manager->VerificaAtivo();
    FAIL();
  } catch (const ERiZedIzAdeErro& e) {
    EXPECT_STREQ(e.what(), "Nome do executável do Gerenciador Padrão não definido");
  }
  ASSERT_EQ(mensagens.size(), 1u);
  EXPECT_EQ(mensagens[0].operacao, opmOK);
  EXPECT_EQ(mensagens[0].texto,
            "O Gerenciador Padrão não está ativo e será ativado automaticamente!");

  // Without automatic start the silence is accepted.
  mensagens.clear();
  manager->calls.clear();
  manager->SetAutoAtivarGP(false);
  EXPECT_NO_THROW(manager->VerificaAtivo());
  EXPECT_THAT(manager->calls, ElementsAre("ATV"));
  EXPECT_THAT(mensagens, IsEmpty());
}

TEST_F(TefManagerTest, AtivarGPStartsTheProgramThroughTheShell) {
  const std::filesystem::path script = folder / "gerenciador padrão's.sh";
  std::ofstream(script) << "#!/bin/sh\ntouch \"$(dirname \"$0\")/started\"\n";
  std::filesystem::permissions(script, std::filesystem::perms::owner_all);
  manager->SetExe(" " + script.string() + " ");
  EXPECT_THROW(manager->AtivarGP(), ERiZedIzAdeGPNaoInicializado);
  manager->Inicializar();
  bool foco = false;
  tef.OnRestauraFocoAplicacao = [&](bool&) { foco = true; };
  manager->AtivarGP();
  EXPECT_TRUE(std::filesystem::exists(folder / "started"));
  EXPECT_TRUE(foco);
}

TEST_F(TefManagerTest, VerificaValorChecksTheAmountAgainstThePendingList) {
  struct Row {
    const char* name;
    int64_t valor_raw;
    double troco_maximo;
    bool multiplos;
    int maximo;
    int pendentes;
    const char* erro;  // "" when accepted
    int64_t saldo_a_pagar_raw;
  };
  const Row rows[] = {
      {"rounds to 0.00", 40, 0, false, 0, 0, "Valor inválido", 0},
      {"negative", -50000, 0, false, 0, 0, "Valor inválido", 0},
      {"a tie rounds to the even cent", 100050, 0, false, 0, 0, "", 100000},
      {"change within the limit", 600000, 10, false, 0, 0, "", 600000},
      {"change beyond the limit", 600100, 10, false, 0, 0,
       "Operação TEF permite Troco Máximo de R$ 10.00", 600100},
      {"no change limit", 9990000, 0, false, 0, 0, "", 9990000},
      {"third card over a limit of two", 10000, 0, true, 2, 2,
       "Multiplos Cartões Limitado a 2 operações.", 10000},
      {"second card under a limit of two", 10000, 0, true, 2, 1, "", 10000},
      {"limit counts only with several cards", 10000, 0, false, 2, 2, "", 10000},
      {"no card limit", 10000, 0, true, 0, 5, "", 10000},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TRiZedIzAdeRespostasPendentes& pendentes = tef.RespostasPendentes();
    pendentes.Clear();
    tef.SetMultiplosCartoes(row.multiplos);
    tef.SetNumeroMaximoCartoes(row.maximo);
    tef.SetTrocoMaximo(row.troco_maximo);
    // A sale of 50.00 whose earlier payments are already on the cash register.
    pendentes.SetValorTotalAPagar(Currency::FromCents(5000));
    pendentes.SetSaldoAPagar(Currency());
    for (int i = 0; i < row.pendentes; ++i)
      pendentes.Add(std::make_unique<TRiZedIzAdeResp>()).SetOrdemPagamento(i + 1);

    try {
      manager->VerificaValor(Currency::FromRaw(row.valor_raw));
      EXPECT_STREQ("", row.erro);
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), row.erro);
    }
    EXPECT_EQ(pendentes.SaldoAPagar().Raw(), row.saldo_a_pagar_raw);
  }
}

// ---------------------------------------------------------------------------------------
// Report printing

class TefReportTest : public TefFixture {
 protected:
  void SetUp() override {
    TefFixture::SetUp();
    tef.OnInfoECF = [this](TRiZedIzAdeInfoECF op, std::string& retorno) {
      ecf.push_back(enum_name(op));
      retorno = estados.empty() ? "L" : estados.front();
      if (!estados.empty()) estados.erase(estados.begin());
    };
    tef.OnComandaECF = [this](TRiZedIzAdeOperacaoECF op, TRiZedIzAdeResp&, int& retorno) {
      ecf.push_back(enum_name(op));
      retorno = 1;
    };
    tef.OnComandaECFImprimeVia = [this](TRiZedIzAdeTipoRelatorio tipo, int via,
                                        const std::vector<std::string>& linhas, int& retorno) {
      ecf.push_back(enum_name(tipo) + " " + std::to_string(via) + ": " + linhas.at(0));
      retorno = 1;
    };
    tef.Req().SetHeader("ADM");
    TRiZedIzAdeResp& resp = manager->Resp();
    resp.Conteudo().GravaInformacao(0, 0, "ADM");
    resp.Conteudo().GravaInformacao(12, 0, "808");
    resp.ConteudoToProperty();
  }

  std::vector<std::string> ecf;
  std::vector<std::string> estados;  // answers to the state question, then "L"
};

TEST_F(TefReportTest, NothingToPrintMakesNoBackup) {
  manager->ImprimirRelatorio();
  EXPECT_THAT(ecf, IsEmpty());
  EXPECT_THAT(backups_left(), IsEmpty());
  EXPECT_THAT(manager->calls, IsEmpty());

  tef.Req().SetHeader("");
  manager->Resp().fpImagemComprovante1aVia = {"VIA 1"};
  try {
    manager->ImprimirRelatorio();
    FAIL();
  } catch (const ERiZedIzAdeErro& e) {
    EXPECT_STREQ(e.what(), "Nenhuma Requisição Iniciada");
  }
}

TEST_F(TefReportTest, PrintsTheCopiesInOneManagementReportThenConfirms) {
  struct Row {
    const char* name;
    std::vector<std::string> segunda_via;
    std::vector<std::string> esperado;
    std::vector<std::string> mensagens;
  };
  const Row rows[] = {
      {"empty second copy",
       {},
       {"ineEstadoECF", "opeAbreGerencial", "trGerencial 1: VIA 1", "opeFechaGerencial"},
       {}},
      {"two copies",
       {"VIA 2"},
       {"ineEstadoECF", "opeAbreGerencial", "trGerencial 1: VIA 1", "opePulaLinhas",
        "trGerencial 2: VIA 2", "opeFechaGerencial"},
       {"Destaque a 2ª Via"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ecf.clear();
    mensagens.clear();
    manager->calls.clear();
    manager->Resp().fpImagemComprovante1aVia = {"VIA 1"};
    manager->Resp().fpImagemComprovante2aVia = row.segunda_via;

    manager->ImprimirRelatorio();

    EXPECT_EQ(ecf, row.esperado);
    std::vector<std::string> textos;
    for (const Mensagem& m : mensagens) {
      EXPECT_EQ(m.operacao, opmDestaqueVia);
      textos.push_back(m.texto);
    }
    EXPECT_EQ(textos, row.mensagens);
    EXPECT_THAT(manager->calls, ElementsAre("CNF 808"));
    EXPECT_THAT(backups_left(), IsEmpty());
  }
}

TEST_F(TefReportTest, ClosesWhatTheCashRegisterHasOpenBeforePrinting) {
  struct Row {
    const char* estado;
    const char* comando;
  };
  for (const Row& row : {Row{"C", "opeFechaVinculado"}, Row{"g", "opeFechaGerencial"},
                         Row{"R", "opeFechaGerencial"}, Row{"N", "opeCancelaCupom"},
                         Row{"P", "opeCancelaCupom"}, Row{"V", "opeCancelaCupom"}}) {
    SCOPED_TRACE(row.estado);
    ecf.clear();
    estados = {row.estado};
    manager->Resp().fpImagemComprovante1aVia = {"VIA 1"};
    manager->ImprimirRelatorio();
    EXPECT_THAT(ecf, ElementsAre("ineEstadoECF", row.comando, "ineEstadoECF", "opeAbreGerencial",
                                 "trGerencial 1: VIA 1", "opeFechaGerencial"));
  }
}

TEST_F(TefReportTest, BusyCashRegisterAsksToRetryAndGivingUpUndoes) {
  manager->Resp().fpImagemComprovante1aVia = {"VIA 1"};
  estados = {"V", "V", "O", "O"};
  resposta_sim_nao = mrYes;
  int perguntas = 0;
  tef.OnExibeMsg = [&](TRiZedIzAdeOperacaoMensagem op, const std::string& texto,
                       TModalResult& resultado) {
    mensagens.push_back({op, texto, norvane::now()});
    if (op == opmYesNo) resultado = ++perguntas == 1 ? mrYes : mrNo;
  };

  try {
    manager->ImprimirRelatorio();
    FAIL() << "giving up must be reported";
  } catch (const ERiZedIzAdeECF& e) {
    EXPECT_STREQ(e.what(), "Impressão de Relatório Falhou");
  }
  ASSERT_EQ(mensagens.size(), 2u);
  EXPECT_EQ(mensagens[0].operacao, opmYesNo);
  EXPECT_EQ(mensagens[0].texto, "Impressora não responde\r\nDeseja imprimir novamente ?");
  EXPECT_THAT(ecf, ElementsAre("ineEstadoECF", "opeCancelaCupom", "ineEstadoECF",
                               "ineEstadoECF", "ineEstadoECF"));
  EXPECT_THAT(manager->calls, ElementsAre("NCN 808"));
  EXPECT_THAT(backups_left(), IsEmpty());
  // The TEF log is Windows-1252.
  EXPECT_NE(read_file(folder / "tef.log").find("ECF n\xE3o est\xE1 LIVRE"), std::string::npos);
}

TEST_F(TefReportTest, SpecialTextsStayFiveSecondsThenAreRemoved) {
  const auto start = local_time(2025, 1, 2, 10, 0, 0, 0);
  const testing_support::ManualClock clock(start);
  TRiZedIzAdeResp& resp = manager->Resp();
  resp.fpImagemComprovante1aVia = {"VIA 1"};
  resp.fpTextoEspecialOperador = "Confira a assinatura";
  resp.fpTextoEspecialCliente = "Obrigado";
  manager->ImprimirRelatorio();
  std::vector<std::string> vistas;
  for (const Mensagem& m : mensagens) {
    const auto segundos = std::chrono::duration_cast<std::chrono::seconds>(m.quando - start).count();
    vistas.push_back(std::to_string(segundos) + " s " + enum_name(m.operacao) + " " + m.texto);
  }
  EXPECT_THAT(vistas, ElementsAre("0 s opmExibirMsgOperador Confira a assinatura",
                                  "0 s opmExibirMsgCliente Obrigado", "5 s opmRemoverMsgOperador ",
                                  "5 s opmRemoverMsgCliente "));
  EXPECT_THAT(manager->calls, ElementsAre("CNF 808"));
}

// ---------------------------------------------------------------------------------------
// The owner's cash-register operations and messages

TEST_F(TefManagerTest, EstadoECFAcceptsOnlyTheKnownLetters) {
  std::string answer;
  tef.OnInfoECF = [&](TRiZedIzAdeInfoECF, std::string& retorno) {
    if (answer == "throw") throw std::runtime_error("porta serial fechada");
    retorno = answer;
  };
  const std::string invalid =
      "Retorno de \"OnInfoEcf( ineEstadoECF, Retorno )\" deve ser:\r\n\"L\" = Livre\r\n\"V\" = "
      "Venda de Itens\r\n\"P\" - Pagamento (ou SubTotal efetuado)\r\n\"C\" ou \"R\" - CDC ou "
      "Cupom Vinculado\r\n\"G\" ou \"R\" - Relatório Gerencial\r\n\"N\" - Recebimento Não "
      "Fiscal\r\n\"O\" - Outro";
  struct Row {
    const char* answer;
    char estado;
    std::string erro;
  };
  const Row rows[] = {{"L", 'L', ""},     {"l", 'L', ""},      {"vENDA", 'V', ""},
                      {"o", 'O', ""},     {"", 0, invalid},    {"X", 0, invalid},
                      {" L", 0, invalid}, {"\xE7", 0, invalid}, {"throw", 0, "porta serial fechada"}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.answer);
    answer = row.answer;
    try {
      EXPECT_EQ(tef.EstadoECF(), row.estado);
      EXPECT_EQ(row.erro, "");
    } catch (const ERiZedIzAdeECF& e) {
      EXPECT_EQ(e.what(), row.erro);
    }
  }
}

TEST_F(TefManagerTest, CommandsNotHandledOrFailedRaiseTheirMessages) {
  int retorno = -1;
  tef.OnComandaECF = [&](TRiZedIzAdeOperacaoECF, TRiZedIzAdeResp&, int& r) { r = retorno; };
  tef.OnComandaECFImprimeVia = [&](TRiZedIzAdeTipoRelatorio, int, const std::vector<std::string>&,
                                   int& r) { r = retorno; };
  struct Row {
    int retorno;
    const char* comanda;
    const char* via;
  };
  const Row rows[] = {
      {-1, "Operação [opePulaLinhas] não tratada em \"OnComandaECF\"",
       "\"OnComandaECFImprimeVia\" não tratado"},
      {-7, "Operação [opePulaLinhas] não tratada em \"OnComandaECF\"",
       "\"OnComandaECFImprimeVia\" não tratado"},
      {0, "Erro ao imprimir comprovante \"TEF\"", "Erro ao executar \"OnComandaECFImprimeVia\""},
      {1, "", ""},
      {5, "", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.retorno);
    retorno = row.retorno;
    try {
      EXPECT_EQ(tef.ComandarECF(opePulaLinhas), row.retorno);
      EXPECT_STREQ(row.comanda, "");
    } catch (const ERiZedIzAdeECF& e) {
      EXPECT_STREQ(e.what(), row.comanda);
    }
    try {
      EXPECT_EQ(tef.ECFImprimeVia(trGerencial, 1, {"x"}), row.retorno);
      EXPECT_STREQ(row.via, "");
    } catch (const ERiZedIzAdeECF& e) {
      EXPECT_STREQ(e.what(), row.via);
    }
  }
  tef.OnComandaECF = nullptr;
  EXPECT_THROW(tef.ComandarECF(opeAbreGerencial), ERiZedIzAdeECF);
}

TEST_F(TefManagerTest, DoExibeMsgLogsBringsTheApplicationBackAndReturnsTheAnswer) {
  int focos = 0;
  tef.OnRestauraFocoAplicacao = [&](bool&) { ++focos; };
  resposta_sim_nao = mrYes;
  EXPECT_EQ(tef.DoExibeMsg(opmYesNo, "Continuar?"), mrYes);
  EXPECT_EQ(tef.DoExibeMsg(opmExibirMsgCliente, "Aguarde"), mrNone);
  EXPECT_EQ(tef.DoExibeMsg(opmOK, "Pronto"), mrNone);
  EXPECT_EQ(focos, 2);
  EXPECT_NE(read_file(folder / "tef.log").find(" - CliSiTef DoExibeMsg: Oper: opmYesNo Mensagem: Continuar?\r\n"),
            std::string::npos);
  tef.OnExibeMsg = nullptr;
  EXPECT_THROW(tef.DoExibeMsg(opmOK, "x"), std::runtime_error);
}

TEST_F(TefManagerTest, LogLineFormatAndEncoding) {
  const ClockGuard guard;
  norvane::set_clock_for_tests([] { return local_time(2024, 12, 31, 23, 59, 58, 7); });
  const std::filesystem::path log = folder / "Log" / "TEF-31-12-2024.log";
  manager->SetArqLOG(log.string());
  manager->GravaLog("Transação aprovada");
  manager->GravaLog(std::string("single-byte \xE7"));
  EXPECT_EQ(read_file(log),
            "-- 31/12 23:59:58:007 - Transa\xE7\xE3o aprovada\r\n"
            "-- 31/12 23:59:58:007 - single-byte \xE7\r\n");

  // Logging off, or impossible, is silent.
  manager->SetArqLOG("");
  EXPECT_NO_THROW(manager->GravaLog("x"));
  manager->SetArqLOG(folder.string());
  EXPECT_NO_THROW(manager->GravaLog("x"));
}

TEST_F(TefManagerTest, OwnerPropertiesKeepTheirLimits) {
  // ArqLOG follows the facade where the manager had the facade's path.
  tef.SetArqLOG((folder / "novo.log").string());
  EXPECT_EQ(manager->ArqLOG(), (folder / "novo.log").string());

  tef.SetEsperaSleep(10);
  tef.SetEsperaSleep(500);
  EXPECT_THROW(tef.SetEsperaSleep(9), std::runtime_error);
  EXPECT_THROW(tef.SetEsperaSleep(501), std::runtime_error);
  EXPECT_EQ(tef.EsperaSleep(), 500);
  tef.SetNumeroMaximoCartoes(-3);
  EXPECT_EQ(tef.NumeroMaximoCartoes(), 0);

  tef.RespostasPendentes().Add(std::make_unique<TRiZedIzAdeResp>());
  EXPECT_NO_THROW(tef.SetMultiplosCartoes(false));
  try {
    tef.SetMultiplosCartoes(true);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Existem Respostas Pendentes. Não é possível alterar \"MultiplosCartoes\"");
  }
  EXPECT_THROW(tef.SetAutoEfetuarPagamento(true), std::runtime_error);
  EXPECT_THROW(tef.SetAutoFinalizarCupom(false), std::runtime_error);

  std::vector<int> estados;
  tef.OnMudaEstadoResp = [&](TRiZedIzAdeRespEstado e) { estados.push_back(e); };
  tef.SetEstadoResp(respAguardandoResposta);
  tef.SetEstadoResp(respAguardandoResposta);
  tef.SetEstadoResp(respNenhum);
  EXPECT_THAT(estados, ElementsAre(respAguardandoResposta, respNenhum));
}

TEST_F(TefManagerTest, PathBackupIsTrimmedDefaultsBesideTheProgramAndIsFixedWhileInitialised) {
  TRiZedIzAde other;
  other.SetPathBackup("  /var/tef/TEF/ ");
  EXPECT_EQ(other.PathBackup(), "/var/tef/TEF");
  norvane::set_exe_folder_for_tests(folder.string() + "/");
  other.SetPathBackup("");
  EXPECT_EQ(other.PathBackup(), folder.string() + "/TEF");
  norvane::set_exe_folder_for_tests("");

  manager->Inicializar();
  try {
    tef.SetPathBackup("/elsewhere");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "PathBackup não pode ser modificado com o RiZedIzAde Inicializado");
  }
  EXPECT_NO_THROW(tef.SetPathBackup(tef.PathBackup()));
}

}  // namespace
}  // namespace tef_test
