// The file exchange of the base manager against the stand-in standard manager (gp-sim).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "GpSimProcess.h"
#include "platform/CodePage.h"
#include "tef/RiZedIzAde.h"
#include "tef/RiZedIzAdeClass.h"

namespace gp_test {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

// A standard manager over gp-sim's conventional file names in a scratch folder.
class GpManager : public TRiZedIzAdeClass {
 public:
  GpManager(TRiZedIzAdeDono& owner, const fs::path& dir) : TRiZedIzAdeClass(owner) {
    SetName("GPSim");
    fpTipo = gpTefDial;
    fpResp = std::make_unique<TRiZedIzAdeRespTXT>();
    SetArqTmp((dir / "req" / "IntPos.tmp").string());
    SetArqReq((dir / "req" / "IntPos.001").string());
    SetArqSTS((dir / "resp" / "IntPos.Sts").string());
    SetArqResp((dir / "resp" / "IntPos.001").string());
    SetHabilitado(true);
    SetAutoAtivarGP(false);
    SetEsperaSTS(3);
  }
};

struct Mensagem {
  TRiZedIzAdeOperacaoMensagem operacao;
  std::string texto;
};

class GpExchangeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = fs::temp_directory_path() /
             ("tef-gp-" + std::to_string(::getpid()) + "-" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name());
    gp = folder / "gp";
    fs::remove_all(folder);
    fs::create_directories(folder / "TEF");
    fs::create_directories(gp / "req");
    fs::create_directories(gp / "resp");
    tef.SetPathBackup((folder / "TEF").string());
    tef.SetArqLOG((folder / "tef.log").string());
    tef.SetEsperaSleep(10);
    tef.SetAutoFinalizarCupom(false);
    tef.Identificacao().SetNomeAplicacao("Caixa");
    tef.Identificacao().SetVersaoAplicacao("2.1");
    tef.Identificacao().SetRazaoSocial("Loja Exemplo Ltda");
    manager = static_cast<GpManager*>(&tef.AddManager(std::make_unique<GpManager>(tef, gp)));
    manager->SetArqLOG(tef.ArqLOG());
    // The component starts on gpTefDial with no manager; selecting it again makes ours current.
    tef.SetGPAtual(gpNenhum);
    tef.SetGPAtual(gpTefDial);
    tef.OnExibeMsg = [this](TRiZedIzAdeOperacaoMensagem op, const std::string& texto,
                            TModalResult& resultado) {
      mensagens.push_back({op, texto});
      resultado = op == opmYesNo ? mrNo : mrOk;
    };
    // A cash register that takes every command.
    tef.OnInfoECF = [](TRiZedIzAdeInfoECF, std::string& r) { r = "L"; };
    tef.OnComandaECF = [](TRiZedIzAdeOperacaoECF, TRiZedIzAdeResp&, int& r) { r = 1; };
    tef.OnComandaECFImprimeVia = [this](TRiZedIzAdeTipoRelatorio, int via,
                                        const std::vector<std::string>& linhas, int& r) {
      impressas.push_back(std::to_string(via) + ":" + (linhas.empty() ? "" : linhas[0]));
      linhas_impressas = linhas.size();
      r = 1;
    };
  }
  void TearDown() override {
    sim.reset();
    fs::remove_all(folder);
  }

  void start(const std::string& scenario, int delay_ms = 3000) {
    sim = std::make_unique<GpSimProcess>(gp.string(), scenario, delay_ms);
  }
  void start_and_initialise(const std::string& scenario, int delay_ms = 3000) {
    start(scenario, delay_ms);
    manager->Inicializar();
  }

  // The requests gp-sim took, each as its lines; ATV requests left out.
  std::vector<std::vector<std::string>> requests() const {
    std::vector<std::vector<std::string>> all(1);
    std::ifstream in(gp / "gp-sim.journal", std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line == "--") {
        if (!all.back().empty() && all.back()[0] != "000-000 = ATV") all.emplace_back();
        else all.back().clear();
      } else {
        all.back().push_back(line);
      }
    }
    all.pop_back();
    return all;
  }
  std::vector<std::string> headers() const {
    std::vector<std::string> h;
    for (const auto& r : requests()) h.push_back(r.empty() ? "" : r[0].substr(10));
    return h;
  }
  std::vector<std::string> exchange_files() const {
    std::vector<std::string> names;
    for (const char* sub : {"req", "resp"})
      for (const auto& e : fs::directory_iterator(gp / sub))
        names.push_back(std::string(sub) + "/" + e.path().filename().string());
    return names;
  }
  std::vector<std::string> backups() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder / "TEF"))
      names.push_back(e.path().filename().string());
    return names;
  }
  static std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  bool crt(double valor = 10.50) {
    return manager->CRT(Currency::FromDouble(valor), "01", "", "", "", "", "123", 0);
  }

  fs::path folder;
  fs::path gp;
  TRiZedIzAde tef;
  GpManager* manager = nullptr;
  std::unique_ptr<GpSimProcess> sim;
  std::vector<Mensagem> mensagens;
  std::vector<std::string> impressas;  // "copy:first line" of each printed copy
  size_t linhas_impressas = 0;  // lines of the last printed copy

};

TEST_F(GpExchangeTest, ApprovedCrtIsBackedUpPendingAndConfirmedByCnf) {
  start_and_initialise("approved");
  std::vector<TRiZedIzAdeReqEstado> estados;
  tef.OnMudaEstadoReq = [&](TRiZedIzAdeReqEstado e) { estados.push_back(e); };

  EXPECT_TRUE(crt(10.50));

  // The request carried the sale and the application's identification.
  const auto pedidos = requests();
  ASSERT_EQ(pedidos.size(), 1u);
  EXPECT_THAT(pedidos[0], ElementsAre("000-000 = CRT", ::testing::StartsWith("001-000 = "),
                                      "002-000 = 123", "003-000 = 1050", "004-000 = 0",
                                      "701-000 = Caixa 2.1", "706-000 = 1",
                                      "716-000 = Loja Exemplo Ltda", "999-999 = 0"));
  // The activity check (ATV) runs its own request first.
  EXPECT_THAT(estados, ElementsAre(reqIniciando, reqCriandoArquivo, reqAguardandoResposta,
                                   reqConferindoResposta, reqFinalizada, reqIniciando,
                                   reqCriandoArquivo, reqAguardandoResposta,
                                   reqConferindoResposta, reqFinalizada));
  EXPECT_FALSE(manager->AguardandoResposta());

  ASSERT_EQ(tef.RespostasPendentes().Count(), 1);
  TRiZedIzAdeResp& pendente = tef.RespostasPendentes()[0];
  ASSERT_NE(dynamic_cast<TRiZedIzAdeRespTXT*>(&pendente), nullptr);
  EXPECT_EQ(pendente.NSU(), "000001");
  EXPECT_EQ(pendente.ValorTotal(), Currency::FromCents(1050));
  EXPECT_EQ(pendente.IndiceFPG_ECF(), "01");
  EXPECT_EQ(pendente.TipoGP(), gpTefDial);
  EXPECT_EQ(pendente.ImagemComprovante1aVia()[0], "     COMPROVANTE DE CRÉDITO     ");
  EXPECT_EQ(pendente.fpArqRespPendente, (gp / "resp" / "IntPos.001").string());
  EXPECT_THAT(backups(), ElementsAre("RiZedIzAde_GPSim_001.tef"));
  EXPECT_EQ(pendente.ArqBackup(), (folder / "TEF" / "RiZedIzAde_GPSim_001.tef").string());
  EXPECT_THAT(exchange_files(), ElementsAre("resp/IntPos.001"));  // kept until confirmed

  manager->ConfirmarTransacoesAnteriores();
  ASSERT_EQ(requests().size(), 2u);
  EXPECT_THAT(requests()[1], ::testing::IsSupersetOf({"000-000 = CNF", "002-000 = 123",
                                                      "010-000 = REDE", "012-000 = 000001",
                                                      "027-000 = FIN000001"}));
  EXPECT_TRUE(pendente.CNFEnviado());
  EXPECT_THAT(read_file(pendente.ArqBackup()), HasSubstr("899-001 = S\r\n"));
  EXPECT_THAT(exchange_files(), IsEmpty());
}

TEST_F(GpExchangeTest, DeclinedCrtShowsTheManagersTextAndLeavesNothing) {
  start_and_initialise("declined");
  EXPECT_FALSE(crt());
  ASSERT_EQ(mensagens.size(), 1u);
  EXPECT_EQ(mensagens[0].operacao, opmOK);
  EXPECT_EQ(mensagens[0].texto, "TRANSAÇÃO NEGADA");
  EXPECT_TRUE(tef.RespostasPendentes().Empty());
  EXPECT_THAT(backups(), IsEmpty());
  EXPECT_THAT(exchange_files(), IsEmpty());
  EXPECT_EQ(tef.EstadoResp(), respConcluida);
}

TEST_F(GpExchangeTest, AdmPrintsItsReceiptConfirmsItAndKeepsTheSalesPendingPayments) {
  start_and_initialise("approved");
  auto anterior = std::make_unique<TRiZedIzAdeRespTXT>();
  anterior->Conteudo().GravaInformacao(12, 0, "999");
  anterior->ConteudoToProperty();
  tef.RespostasPendentes().Add(std::move(anterior));
  std::vector<std::string> relatadas;
  tef.OnDepoisConfirmarTransacoes = [&](TRiZedIzAdeRespostasPendentes& lista) {
    for (const auto& r : lista) relatadas.push_back(r->Header());
  };

  EXPECT_TRUE(manager->ADM());

  EXPECT_THAT(impressas, ElementsAre("1:  RELATÓRIO ADMINISTRATIVO  ",
                                     "2:  RELATÓRIO ADMINISTRATIVO  "));
  EXPECT_THAT(relatadas, ElementsAre("ADM"));
  EXPECT_THAT(headers(), ElementsAre("ADM", "CNF"));
  ASSERT_EQ(tef.RespostasPendentes().Count(), 1);
  EXPECT_EQ(tef.RespostasPendentes()[0].NSU(), "999");
  EXPECT_THAT(backups(), IsEmpty());
  EXPECT_THAT(exchange_files(), IsEmpty());
}

TEST_F(GpExchangeTest, CncSendsTheTransactionGivenOrTheCurrentResponse) {
  start_and_initialise("approved");
  TDateTime quando = 0;
  ASSERT_TRUE(TryEncodeDateTime(2025, 3, 4, 10, 11, 12, 0, quando));

  EXPECT_TRUE(manager->CNC("REDE", "000-123", quando, Currency::FromCents(1050)));
  EXPECT_THAT(requests()[0], ElementsAre("000-000 = CNC", ::testing::StartsWith("001-000 = "),
                                         "003-000 = 1050", "010-000 = REDE", "012-000 = 000123",
                                         "022-000 = 04032025", "023-000 = 101112",
                                         "701-000 = Caixa 2.1", "706-000 = 1",
                                         "716-000 = Loja Exemplo Ltda", "999-999 = 0"));

  // Without arguments: the transaction of the manager's current response.
  TRiZedIzAdeResp& atual = manager->Resp();
  atual.Conteudo().AssignLinhas({"000-000 = CRT", "002-000 = 77", "003-000 = 2500",
                                 "006-000 = J", "010-000 = OUTRA", "012-000 = 000456",
                                 "022-000 = 05032025", "023-000 = 090000", "033-000 = 341"});
  atual.ConteudoToProperty();
  EXPECT_TRUE(manager->CNC());
  EXPECT_THAT(requests()[2], ::testing::IsSupersetOf({"000-000 = CNC", "002-000 = 77",
                                                      "003-000 = 2500", "004-000 = 0",
                                                      "010-000 = OUTRA", "012-000 = 000456",
                                                      "022-000 = 05032025",
                                                      "023-000 = 090000", "006-000 = J",
                                                      "033-000 = 341"}));
  EXPECT_THAT(headers(), ElementsAre("CNC", "CNF", "CNC", "CNF"));  // each receipt printed
}

TEST_F(GpExchangeTest, ChqSendsTheChequeAndBecomesAPendingPayment) {
  start_and_initialise("approved");
  TDateTime data = 0;
  ASSERT_TRUE(TryEncodeDate(2025, 3, 10, data));
  EXPECT_TRUE(manager->CHQ(Currency::FromCents(2000), "02", "9", "<CMC7>", ' ', "123", data,
                           "341", "0001", "2", "12345", "6", "000777", "8", "compensação"));
  EXPECT_THAT(requests()[0],
              ElementsAre("000-000 = CHQ", ::testing::StartsWith("001-000 = "), "002-000 = 9",
                          "003-000 = 2000", "004-000 = 0", "005-000 = <CMC7>", "007-000 = 123",
                          "008-000 = 10032025", "033-000 = 341", "034-000 = 0001",
                          "035-000 = 2", "036-000 = 12345", "037-000 = 6", "038-000 = 000777",
                          "039-000 = 8", "701-000 = Caixa 2.1", "706-000 = 1",
                          "716-000 = Loja Exemplo Ltda", "999-999 = 0"));
  ASSERT_EQ(tef.RespostasPendentes().Count(), 1);
  EXPECT_EQ(tef.RespostasPendentes()[0].Header(), "CHQ");
}

TEST_F(GpExchangeTest, CashRegisterGivenUpAfterApprovalUndoesThePayment) {
  start_and_initialise("approved");
  tef.SetAutoEfetuarPagamento(true);
  std::vector<TRiZedIzAdeOperacaoECF> comandos;
  tef.OnComandaECF = [&](TRiZedIzAdeOperacaoECF op, TRiZedIzAdeResp&, int& r) {
    comandos.push_back(op);
    r = 1;
  };
  int tentativas = 0;
  tef.OnComandaECFPagamento = [&](const std::string&, Currency, int& r) {
    ++tentativas;
    r = 0;  // the printer fails; the operator answers no to trying again
  };
  crt();
  EXPECT_EQ(tentativas, 1);
  EXPECT_EQ(mensagens[0].texto, "Impressora não responde\r\nDeseja imprimir novamente ?");
  EXPECT_THAT(comandos, ElementsAre(opeCancelaCupom));
  EXPECT_THAT(headers(), ElementsAre("CRT", "NCN"));
  EXPECT_TRUE(tef.RespostasPendentes().Empty());
  EXPECT_THAT(backups(), IsEmpty());
  EXPECT_THAT(exchange_files(), IsEmpty());
}

TEST_F(GpExchangeTest, RefusedPaymentGivenUpUndoesTheSalesEarlierPayments) {
  start_and_initialise("approved");
  EXPECT_TRUE(crt(6.00));
  sim.reset();
  start("declined");
  EXPECT_FALSE(crt(4.50));
  ASSERT_GE(mensagens.size(), 2u);
  EXPECT_EQ(mensagens[0].texto, "TRANSAÇÃO NEGADA");
  EXPECT_EQ(mensagens[1].operacao, opmYesNo);
  EXPECT_EQ(mensagens[1].texto,
            "Gostaria de continuar a transação com outra(s) forma(s) de pagamento ?");
  EXPECT_THAT(headers(), ElementsAre("CRT", "CRT", "NCN"));
  EXPECT_TRUE(tef.RespostasPendentes().Empty());
  EXPECT_THAT(backups(), IsEmpty());
}

TEST_F(GpExchangeTest, NcnTellsTheOperatorWithTheDetailsItHas) {
  start_and_initialise("approved");
  const std::string valor = Currency::FromCents(1050).Format(decimal_separator());
  struct Row {
    const char* rede;
    const char* nsu;
    int64_t centavos;
    std::string texto;
  } const rows[] = {
      {"REDE", "123", 1050,
       "Última Transação TEF foi cancelada\r\n\r\nRede: REDE\r\nNSU: 123\r\nValor: " + valor},
      {"", "123", 0, "Última Transação TEF foi cancelada\r\n\r\nNSU: 123\r\n"},
      {"", "", 0, "Última Transação TEF foi cancelada"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.texto);
    mensagens.clear();
    manager->NCN(row.rede, row.nsu, "FIN", Currency::FromCents(row.centavos), "55");
    ASSERT_EQ(mensagens.size(), 1u);
    EXPECT_EQ(mensagens[0].operacao, opmOK);
    EXPECT_EQ(mensagens[0].texto, row.texto);
  }
  EXPECT_THAT(requests()[0], ::testing::IsSupersetOf({"000-000 = NCN", "002-000 = 55",
                                                      "010-000 = REDE", "012-000 = 123",
                                                      "027-000 = FIN"}));
}

TEST_F(GpExchangeTest, NoStatusFileWithinEsperaSTSMeansTheManagerIsNotActive) {
  start("nostatus");
  manager->SetEsperaSTS(1);
  manager->Inicializar();  // its activity check fails, ignored without AutoAtivarGP
  std::vector<int> segundos;
  tef.OnAguardaResp = [&](const std::string& arquivo, int s, bool&) {
    EXPECT_EQ(arquivo, (gp / "resp" / "IntPos.Sts").string());
    segundos.push_back(s);
  };
  try {
    manager->ATV();
    FAIL() << "a manager that does not answer must be reported";
  } catch (const ERiZedIzAdeGPNaoResponde& e) {
    EXPECT_STREQ(e.what(), "O gerenciador padrão GPSim não está ativo !");
  }
  ASSERT_GE(segundos.size(), 3u);
  EXPECT_EQ(segundos.front(), 0);  // whole seconds left of one
  EXPECT_EQ(segundos.back(), -1);  // the end of the wait
  EXPECT_FALSE(manager->AguardandoResposta());
  // The request nobody took is gone, so a manager started later does not run it.
  EXPECT_THAT(exchange_files(), IsEmpty());
  EXPECT_THAT(read_file(folder / "tef.log"),
              HasSubstr(norvane::to_windows1252(
                  "GPSim FinalizarRequisicao: ATV, Fim da Espera de: " +
                  (gp / "resp" / "IntPos.Sts").string() + " Não recebido")));
}

TEST_F(GpExchangeTest, StatusOfAnotherRequestIsInvalidAndLeavesNoFile) {
  start("otherstatus");
  EXPECT_THROW(manager->Inicializar(), ERiZedIzAdeSTSInvalido);
  try {
    crt();
    FAIL() << "a status file of another request must be refused";
  } catch (const ERiZedIzAdeSTSInvalido& e) {
    EXPECT_STREQ(e.what(), "Falha na comunicação com o Gereciador Padrão: GPSim");
  }
  EXPECT_THAT(exchange_files(), IsEmpty());
  EXPECT_EQ(manager->Req().Header(), "");
  EXPECT_TRUE(tef.RespostasPendentes().Empty());
}

TEST_F(GpExchangeTest, ResponseOfAnotherRequestIsSkippedUntilTheRightOneArrives) {
  start_and_initialise("otherresponse");
  EXPECT_TRUE(crt());
  ASSERT_EQ(tef.RespostasPendentes().Count(), 1);
  EXPECT_EQ(tef.RespostasPendentes()[0].ID(), manager->IDSeq());
  const std::string log = read_file(folder / "tef.log");
  EXPECT_THAT(log, HasSubstr(norvane::to_windows1252(
                       "GPSim LerRespostaRequisicao: CRT, Arquivo inválido desprezado: \"" +
                       (gp / "resp" / "IntPos.001").string() + "\"\r\n000-000 = CRT\r\n")));
  EXPECT_THAT(log, HasSubstr("001-000 = " + std::to_string(manager->IDSeq() - 1) + "\r\n"));
}

// A manager that writes its response in place: read before its trailer is there, the file is
// read again until whole, never deleted half written (the rest would then arrive alone).
TEST_F(GpExchangeTest, AResponseStillBeingWrittenIsReadAgainUntilWhole) {
  start_and_initialise("twopiece", 1500);  // the trailer well after the first look
  EXPECT_TRUE(crt());
  ASSERT_EQ(tef.RespostasPendentes().Count(), 1);
  EXPECT_EQ(tef.RespostasPendentes()[0].ID(), manager->IDSeq());
  const std::string log = read_file(folder / "tef.log");
  EXPECT_THAT(log, HasSubstr("GPSim LerRespostaRequisicao: CRT, Resposta ainda sem o trailer, lida de novo: "));
  EXPECT_THAT(log, Not(HasSubstr(norvane::to_windows1252("Arquivo inválido desprezado"))));
}

TEST_F(GpExchangeTest, CancelThroughOnAguardaRespEndsTheWaitForTheResponse) {
  start_and_initialise("slow", 30000);
  const std::string resposta = (gp / "resp" / "IntPos.001").string();
  int voltas = 0;
  std::string recusa;
  std::vector<int> segundos;
  tef.OnAguardaResp = [&](const std::string& arquivo, int s, bool& interromper) {
    if (arquivo != resposta) return;
    segundos.push_back(s);
    if (voltas++ == 0) {
      // A new request while this one waits is refused.
      try {
        manager->ATV();
      } catch (const ERiZedIzAdeErro& e) {
        recusa = e.what();
      }
    }
    if (voltas == 3) interromper = true;
  };
  try {
    crt();
    FAIL() << "a cancelled wait without a response must raise";
  } catch (const ERiZedIzAdeArquivo& e) {
    EXPECT_EQ(std::string(e.what()), "Arquivo: \r\n" + resposta + "\r\nnão encontrado");
  }
  EXPECT_EQ(recusa, "Requisição anterior não concluida");
  EXPECT_THAT(segundos, ElementsAre(0, 0, 0, -1));
  EXPECT_FALSE(manager->AguardandoResposta());
  EXPECT_EQ(tef.EstadoResp(), respNenhum);
  EXPECT_TRUE(tef.RespostasPendentes().Empty());
  EXPECT_THAT(exchange_files(), IsEmpty());
}

TEST_F(GpExchangeTest, MultiplosCartoesConfirmsTheFirstCardBeforeTheSecondCrt) {
  start_and_initialise("approved");
  tef.SetMultiplosCartoes(true);
  EXPECT_TRUE(crt(6.00));
  EXPECT_TRUE(crt(4.50));
  const auto pedidos = requests();
  EXPECT_THAT(headers(), ElementsAre("CRT", "CNF", "CRT"));
  EXPECT_THAT(pedidos[1], ::testing::Contains("012-000 = 000001"));
  ASSERT_EQ(tef.RespostasPendentes().Count(), 2);
  EXPECT_TRUE(tef.RespostasPendentes()[0].CNFEnviado());
  EXPECT_FALSE(tef.RespostasPendentes()[1].CNFEnviado());
  EXPECT_THAT(backups(), ::testing::UnorderedElementsAre("RiZedIzAde_GPSim_001.tef",
                                                         "RiZedIzAde_GPSim_002.tef"));
}

// ---------------------------------------------------------------------------------------
// Hostile files, written by the test itself from the wait handler in place of a manager.

class GpHostileFilesTest : public GpExchangeTest {
 protected:
  void SetUp() override {
    GpExchangeTest::SetUp();
    tef.OnAguardaResp = [this](const std::string& arquivo, int, bool& interromper) {
      if (arquivo == sts() && fs::exists(req())) answer_status();
      if (arquivo == resp() && !fs::exists(resp())) {
        if (respostas.empty()) interromper = true;
        else {
          write(resp(), respostas.front());
          respostas.erase(respostas.begin());
        }
      }
    };
    manager->Inicializar();
  }

  std::string req() const { return (gp / "req" / "IntPos.001").string(); }
  std::string sts() const { return (gp / "resp" / "IntPos.Sts").string(); }
  std::string resp() const { return (gp / "resp" / "IntPos.001").string(); }
  static void write(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  }
  // The request's header and identifier as "000-000 = CRT\r\n001-000 = 7\r\n".
  std::string request_key() const {
    const std::string pedido = read_file(req());
    const size_t fim = pedido.find("\r\n", pedido.find("001-000"));
    return pedido.substr(0, fim + 2);
  }
  void answer_status() {
    std::string texto = status ? status(request_key()) : request_key() + "999-999 = 0\r\n";
    write(sts(), texto);
    fs::remove(req());
  }

  std::function<std::string(const std::string&)> status;  // request key -> status text
  std::vector<std::string> respostas;  // written in turn, each once the last one is gone
};

TEST_F(GpHostileFilesTest, BadStatusFilesAreRefusedAndLeaveNoFile) {
  struct Row {
    const char* caso;
    std::function<std::string(const std::string&)> status;
  } const rows[] = {
      {"truncated", [](const std::string& k) { return k.substr(0, k.size() - 5); }},
      {"without trailer", [](const std::string& k) { return k; }},
      {"of another request",
       [](const std::string& k) { return "000-000 = ADM\r\n" + k.substr(15) + "999-999 = 0\r\n"; }},
      {"in UTF-16",
       [](const std::string& k) {
         std::string wide = "\xFF\xFE";
         for (char c : k + "999-999 = 0\r\n") wide += std::string{c, '\0'};
         return wide;
       }},
      {"a folder (last: it stays)", [this](const std::string&) {
         fs::create_directory(sts());
         return std::string();
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.caso);
    status = row.status;
    EXPECT_THROW(manager->ATV(), ERiZedIzAdeSTSInvalido);
    EXPECT_FALSE(fs::exists(req()));
    EXPECT_FALSE(fs::exists(resp()));
    EXPECT_FALSE(fs::is_regular_file(sts()));
  }
}

TEST_F(GpHostileFilesTest, BadResponsesAreSkippedUntilAGoodOneComes) {
  const std::string cabeca = "000-000 = ADM\r\n";
  manager->SetNumVias(1);
  // The identifier the ADM will carry: one past the activity check's.
  const std::string id = "001-000 = " + std::to_string(manager->IDSeq() + 2) + "\r\n";
  std::string dez_mil;
  for (int i = 1; i <= 10000; ++i)
    dez_mil += FormataChave(29, 1 + i % 999) + " = LINHA " + std::to_string(i) + "\r\n";
  respostas = {
      cabeca + id + "009-000 = 0\r\n028-000 = 1\r\n029-00",           // truncated
      cabeca + id + "009-000 = 0\r\n",                                // without trailer
      cabeca + "001-000 = 1\r\n009-000 = 0\r\n999-999 = 0\r\n",      // another request
      std::string("\xFF\xFE" "0\0" "0\0" "0\0", 8),                   // UTF-16
      cabeca + id + "009-000 = 0\r\n028-000 = 10000\r\n" + dez_mil + "999-999 = 0\r\n",
  };
  EXPECT_TRUE(manager->ADM());
  ASSERT_EQ(impressas.size(), 1u);
  EXPECT_EQ(linhas_impressas, 10000u);
  EXPECT_THAT(respostas, IsEmpty());
  EXPECT_THAT(exchange_files(), IsEmpty());
  const std::string log = read_file(folder / "tef.log");
  size_t desprezados = 0;
  for (size_t at = log.find("desprezado"); at != std::string::npos; at = log.find("desprezado", at + 1))
    ++desprezados;
  EXPECT_EQ(desprezados, 4u);
}

}  // namespace
}  // namespace gp_test
