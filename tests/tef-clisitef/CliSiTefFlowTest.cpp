// Whole transactions through the component and the stand-in library, in service mode as
// the service runs them: each ends in the response's fields and in the library's journal
// lines for the confirmation or undo.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>

#include "../support/StandInJournal.h"
#include "platform/Clock.h"
#include "platform/IniFile.h"
#include "tef/RiZedIzAde.h"
#include "tef/RiZedIzAdeTef.h"

namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Public: the table's rows prepare and check through it.
class CliSiTefFlowTest : public ::testing::Test {
 public:
  void SetUp() override {
    folder = fs::temp_directory_path() /
             ("clisitef-flow-" + std::to_string(getpid()) + "-" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder);
    fs::create_directories(folder / "dll");
    fs::copy_file(SIM_LIBRARY, folder / "dll" / "CliSiTef32I.dll");
    fs::copy_file(SIM_SETTINGS, folder / "dll" / "CliSiTef.ini");
    set_setting("PollCount", "1");
    set_setting("PollIntervalMs", "0");
  }
  void TearDown() override {
    tef.reset();
    fs::remove_all(folder);
  }

  void set_setting(const std::string& key, const std::string& value) {
    norvane::TIniFile((folder / "dll" / "CliSiTef.ini").string()).WriteString("Simulator", key, value);
  }
  std::string journal() { return read_file(folder / "dll" / "CliSiTef.journal"); }
  // The journal's finalisation lines, each as "confirma=N transacao=outcome".
  std::vector<std::string> finalisations() { return StandInFinalisations(journal()); }
  std::vector<std::string> backups() {
    std::vector<std::string> names;
    if (fs::exists(folder / "TEF"))
      for (const auto& entry : fs::directory_iterator(folder / "TEF"))
        names.push_back(entry.path().filename().string());
    return names;
  }

  // A component as the service sets it up: service mode, every event assigned, and a
  // host that confirms every approved payment it is told about.
  void Start(bool confirma = true, bool servico = true) {
    tef = std::make_unique<TRiZedIzAde>();
    manager = &tef->AddManager(std::make_unique<TRiZedIzAdeCliSiTef>(*tef));
    tef->SetPathBackup((folder / "TEF").string());
    tef->SetArqLOG((folder / "tef.log").string());
    tef->SetModoServico(servico);
    manager->SetModoServico(servico);
    manager->SetPathDLL((folder / "dll").string());
    manager->SetEnderecoIP("127.0.0.1");
    manager->SetCodigoLoja("00000000");
    manager->SetNumeroTerminal("NV000001");
    tef->OnExibeMsg = [this](TRiZedIzAdeOperacaoMensagem op, const std::string& texto,
                             TModalResult& r) {
      mensagens.push_back(enum_name(op) + ":" + texto);
      if (op == opmYesNo) {
        r = respostas_sim_nao.empty() ? mrYes : respostas_sim_nao.front();
        if (!respostas_sim_nao.empty()) respostas_sim_nao.erase(respostas_sim_nao.begin());
      }
    };
    tef->OnComandaECF = [](TRiZedIzAdeOperacaoECF, TRiZedIzAdeResp&, int& r) { r = 1; };
    tef->OnComandaImpressao = [](int& r, TRiZedIzAdeResp&, bool) { r = 1; };
    tef->OnComandaECFAbreVinculado = [](const std::string&, const std::string&, Currency,
                                        int& r) { r = 1; };
    tef->OnComandaECFImprimeVia = [](TRiZedIzAdeTipoRelatorio, int,
                                     const std::vector<std::string>&, int& r) { r = 1; };
    tef->OnInfoECF = [](TRiZedIzAdeInfoECF, std::string& r) { r = "L"; };
    tef->OnExibeMenu = [](const std::string&, const std::vector<std::string>&, int& item,
                          bool&) { item = 0; };
    tef->OnObtemCampo = [](const std::string&, int, int, int tipo,
                           TRiZedIzAdeCliSiTefOperacaoCampo, std::string& resposta, bool&,
                           bool&) {
      if (!resposta.empty()) return;
      if (tipo == 146) resposta = "10,50";
    };
    tef->OnObtemCheque = [](const std::string&, int, TRiZedIzAdeCliSiTefOperacaoCampo,
                            std::string&, bool&, bool&) {};
    tef->OnObterSenha = [](const std::string&, bool&) {};
    tef->OnAguardaResp = [this](const std::string&, int, bool& interromper) {
      interromper = interromper_espera;
    };
    tef->OnExibeQRCode = [this](const std::string& qr) { qrcodes.push_back(qr); };
    tef->OnDepoisConfirmarTransacoes = [this, confirma](TRiZedIzAdeRespostasPendentes& lista) {
      for (int i = 0; i < lista.Count(); ++i) {
        aprovadas.push_back(lista[i].NSU());
        // The host owns the backup from here on: it goes once the library has settled it.
        if (confirma && tef->ConfirmarTransacao(true, lista[i].DocumentoVinculado()) && !lista[i].ArqBackup().empty())
          fs::remove(lista[i].ArqBackup());
      }
      lista.Clear();
    };
    tef->Inicializar(gpCliSiTef);
  }

  fs::path folder;
  std::unique_ptr<TRiZedIzAde> tef;
  TRiZedIzAdeCliSiTef* manager = nullptr;
  std::vector<std::string> mensagens, qrcodes, aprovadas;
  std::vector<TModalResult> respostas_sim_nao;  // the operator's answers to yes/no, in order
  bool interromper_espera = false;
};

struct Fluxo {
  const char* nome;
  const char* cenario;
  int operacao;
  bool aprovada;
  std::vector<std::string> finalizacoes;  // journal lines for the settlement
  std::function<void(CliSiTefFlowTest&)> preparo;
  std::function<void(CliSiTefFlowTest&)> confere;
};

TEST_F(CliSiTefFlowTest, TransactionsAgainstTheStandIn) {
  const std::string confirmada = "confirma=1 transacao=\"confirmada\"";
  const Fluxo fluxos[] = {
      {"credit sale, no installments asked", "approved", 3, true, {confirmada}, nullptr,
       [](CliSiTefFlowTest& t) {
         EXPECT_TRUE(t.manager->Resp().fpCredito);
         EXPECT_EQ(t.manager->Resp().fpTipoOperacao, opAvista);
         EXPECT_EQ(t.manager->Resp().ValorTotal(), Currency::FromCents(1050));
         EXPECT_FALSE(t.manager->Resp().ImagemComprovante1aVia().empty());
       }},
      {"debit sale", "approved", 2, true, {confirmada}, nullptr,
       [](CliSiTefFlowTest& t) {
         EXPECT_TRUE(t.manager->Resp().fpDebito);
         // Sent in Windows-1252, read as UTF-8.
         EXPECT_EQ(t.manager->Resp().fpModalidadePagtoExtenso, "Débito à vista");
         EXPECT_EQ(t.tef->CodigoNsu(), t.manager->Resp().NSU());
       }},
      {"declined sale", "declined", 2, false, {}, nullptr,
       [](CliSiTefFlowTest& t) {
         EXPECT_EQ(t.mensagens.back(), "opmExcept:Negada pelo autorizador (5)");
       }},
      {"operator abort during the wait", "abort", 2, false, {},
       [](CliSiTefFlowTest& t) { t.interromper_espera = true; },
       [](CliSiTefFlowTest& t) {
         EXPECT_EQ(t.mensagens.back(), "opmExcept:Operação cancelada pelo operador");
       }},
      {"cancellation of an earlier sale", "approved", 200, true, {confirmada},
       [](CliSiTefFlowTest& t) {
         t.manager->SetCancelandoTransacaoTEF(true);
         t.manager->SetCancelandoTransacaoNSU("123456");
         t.manager->SetCancelandoTransacaoDATA(Now());
         t.manager->SetCancelandoTransacaoVALOR(Currency::FromCents(1050));
       },
       [](CliSiTefFlowTest& t) {
         EXPECT_EQ(t.manager->Resp().fpNSUTransacaoCancelada, "123456");
         EXPECT_EQ(t.mensagens.back(),
                   "opmOK:Transação efetuada com sucesso.\r\nFavor reter o Cupom");
       }},
      {"reprint of the last receipt", "approved", 113, true, {}, nullptr,
       [](CliSiTefFlowTest& t) {
         EXPECT_FALSE(t.manager->Resp().ImagemComprovante1aVia().empty());
         EXPECT_TRUE(t.backups().empty());
       }},
      {"instant payment with a QR code", "approved", 122, true, {confirmada},
       [](CliSiTefFlowTest& t) { t.manager->SetRestricoes("{DevolveStringQRCode=1}"); },
       [](CliSiTefFlowTest& t) {
         ASSERT_EQ(t.qrcodes.size(), 1u);
         EXPECT_EQ(t.qrcodes[0].substr(0, 6), "000201");
         EXPECT_EQ(t.tef->NomeCarteiraDigital(), "PIX");
       }},
      {"transaction already done", "alreadydone", 2, false, {}, nullptr,
       [](CliSiTefFlowTest& t) {
         EXPECT_NE(std::find(t.mensagens.begin(), t.mensagens.end(),
                             "opmOK:Transação já efetuada no sitef\r\nImprima o ultimo "
                             "comprovante de pagamento e informe o pagamento manual."),
                   t.mensagens.end());
       }},
      {"no connection", "noconnection", 2, false, {}, nullptr,
       [](CliSiTefFlowTest& t) {
         EXPECT_EQ(t.mensagens.back(),
                   "opmExcept:Não foi possivel realizar a conexão com o servidor SiTef\r\nPor "
                   "favor tente mais tarde...");
       }},
  };
  for (const Fluxo& f : fluxos) {
    SCOPED_TRACE(f.nome);
    fs::remove(folder / "dll" / "CliSiTef.journal");
    set_setting("Scenario", f.cenario);
    mensagens.clear();
    qrcodes.clear();
    aprovadas.clear();
    interromper_espera = false;
    Start();
    manager->SetOperacaoCRT(f.operacao);
    if (f.preparo) f.preparo(*this);
    EXPECT_EQ(tef->CRT(10.5, "01", "", 0, "", "", "", "00"), f.aprovada);
    EXPECT_EQ(aprovadas.size(), f.aprovada ? 1u : 0u);
    EXPECT_EQ(finalisations(), f.finalizacoes) << journal();
    EXPECT_TRUE(backups().empty());
    EXPECT_FALSE(manager->AguardandoResposta());
    f.confere(*this);
    tef.reset();
  }
}

// Outside service mode an approved payment is registered on the cash register at once
// (AutoEfetuarPagamento); a cash register that fails is retried while the operator says
// yes, and giving up cancels the coupon and settles the pending payments.
TEST_F(CliSiTefFlowTest, DesktopPaymentIsRegisteredOnTheCashRegisterOrGivenUp) {
  struct Caso {
    const char* nome;
    int falhas;                          // attempts the cash register fails before it works
    std::vector<TModalResult> operador;  // answers to "Impressora não responde..."
    int tentativas;
    bool registrado;
  };
  const Caso casos[] = {
      {"registered at once", 0, {}, 1, true},
      {"fails once, operator retries", 1, {mrYes}, 2, true},
      {"fails, operator gives up", 5, {mrNo}, 1, false},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.nome);
    fs::remove_all(folder / "TEF");  // no payment of an earlier case left to settle
    set_setting("Scenario", "approved");
    mensagens.clear();
    respostas_sim_nao = c.operador;
    Start(true, false);
    tef->SetAutoEfetuarPagamento(true);
    tef->SetAutoFinalizarCupom(false);  // the coupon stays open: a registered payment stays pending
    std::vector<TRiZedIzAdeOperacaoECF> comandos;
    tef->OnComandaECF = [&](TRiZedIzAdeOperacaoECF op, TRiZedIzAdeResp&, int& r) {
      comandos.push_back(op);
      r = 1;
    };
    int tentativas = 0;
    tef->OnComandaECFPagamento = [&](const std::string& indice, Currency valor, int& r) {
      EXPECT_EQ(indice, "01");
      EXPECT_EQ(valor, Currency::FromCents(1050));
      r = ++tentativas > c.falhas ? 1 : 0;
    };
    manager->SetOperacaoCRT(3);
    EXPECT_TRUE(tef->CRT(10.5, "01", "", 0, "", "", "", "00"));
    EXPECT_EQ(tentativas, c.tentativas);
    const auto perguntas = std::count(mensagens.begin(), mensagens.end(),
                                      "opmYesNo:Impressora não responde\r\nDeseja imprimir novamente ?");
    EXPECT_EQ(perguntas, static_cast<long>(c.operador.size()));
    if (c.registrado) {
      EXPECT_TRUE(comandos.empty());
      ASSERT_EQ(tef->RespostasPendentes().Count(), 1);
      EXPECT_EQ(tef->RespostasPendentes().SaldoAPagar(), Currency());  // this payment paid the sale
      EXPECT_EQ(tef->RespostasPendentes()[0].OrdemPagamento(), 2);
      EXPECT_EQ(backups().size(), 1u);  // kept until the coupon is closed
    } else {
      EXPECT_EQ(comandos, std::vector<TRiZedIzAdeOperacaoECF>{opeCancelaCupom});
      EXPECT_TRUE(tef->RespostasPendentes().Empty());
      EXPECT_TRUE(backups().empty());  // settled by the cancellation of the pending payments
    }
    tef.reset();
  }
}

// A cancellation (CNC) prints its receipt in a management report; in service mode the host
// reports it and settles it, and the report printing leaves it alone: one finalisation.
TEST_F(CliSiTefFlowTest, ACancellationInServiceModeIsSettledOnceByTheHost) {
  Start();
  EXPECT_TRUE(tef->CNC("REDE", "123456", Now(), 10.5));
  EXPECT_EQ(aprovadas.size(), 1u);
  EXPECT_EQ(finalisations(), std::vector<std::string>{"confirma=1 transacao=\"confirmada\""}) << journal();
  EXPECT_TRUE(backups().empty());
}

TEST_F(CliSiTefFlowTest, FriendCardIdComesFromTheTrack3Dialogue) {
  Start();
  EXPECT_EQ(tef->LerTrilha3(), "");
  EXPECT_EQ(tef->IDAmigo(), "0123456789");
  const std::string j = journal();
  EXPECT_NE(j.find("EscreveMensagemPermanentePinPad(mensagem=\"ID Amigo\")"), std::string::npos);
  EXPECT_NE(j.find("EscreveMensagemPermanentePinPad(mensagem=\"** BOA VIAGEM **\")"),
            std::string::npos);
}

}  // namespace

// The library knows a payment by its date and document number. Two payments started in the
// same second, or while an earlier one still waits in a backup under the next number, never
// share a number; and a payment settled on a later day is finalised under its own date.
TEST_F(CliSiTefFlowTest, APaymentKeepsItsOwnDocumentNumberAndDate) {
  std::tm start{};
  start.tm_year = 2026 - 1900;
  start.tm_mon = 11;
  start.tm_mday = 10;
  start.tm_hour = 23;
  start.tm_min = 59;
  start.tm_sec = 58;
  start.tm_isdst = -1;
  const norvane::TimePoint frozen = std::chrono::system_clock::from_time_t(std::mktime(&start));
  norvane::TimePoint clock = frozen;
  norvane::set_clock_for_tests([&clock] { return clock; });
  struct Restore {
    ~Restore() { norvane::set_clock_for_tests(nullptr); }
  } restore;
  const std::string seconds = std::to_string(23 * 3600 + 59 * 60 + 58);
  const std::string next = std::to_string(23 * 3600 + 59 * 60 + 59);
  const std::string after_backup = std::to_string(23 * 3600 + 59 * 60 + 60);

  Start(/*confirma=*/false);  // the host keeps each payment pending, as after a failed report
  manager->SetOperacaoCRT(3);
  std::vector<std::string> documents, backups_held;
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(tef->CRT(10.5, "01", "", 0, "", "", "", "00"));
    documents.push_back(manager->Resp().DocumentoVinculado());
  }
  EXPECT_EQ(documents, (std::vector<std::string>{seconds, next}));
  // A new run of the service forgets the last number given, but not the backups: the
  // numbers they hold are skipped.
  tef.reset();
  Start(false);
  manager->SetOperacaoCRT(3);
  ASSERT_TRUE(tef->CRT(10.5, "01", "", 0, "", "", "", "00"));
  EXPECT_EQ(manager->Resp().DocumentoVinculado(), after_backup);

  // Finalised the next day, under the payment's own date and time.
  clock = frozen + std::chrono::hours(1);
  const std::string day = "20261210";
  ASSERT_EQ(manager->FinalizarPendente(true, seconds, day, "235958"), 0);
  ASSERT_EQ(manager->FinalizarPendente(true, next, "20261211", "235958"), 0);  // the wrong day
  EXPECT_EQ(finalisations(), (std::vector<std::string>{"confirma=1 transacao=\"confirmada\"",
                                                       "confirma=1 transacao=\"nenhuma transacao pendente\""}))
      << journal();
}
