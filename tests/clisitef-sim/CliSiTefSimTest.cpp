// Drives the stand-in CliSiTef library through its C interface the way the service's
// interactive loop does: IniciaFuncaoSiTefInterativo, then ContinuaFuncaoSiTefInterativo
// with scripted answers until the result is not 10000.
#include "CliSiTefSim.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr int kContinue = 10000;
constexpr const char* kDocument = "36005";

struct Api {
  decltype(&ConfiguraIntSiTefInterativoEx) Configura;
  decltype(&IniciaFuncaoSiTefInterativo) Inicia;
  decltype(&ContinuaFuncaoSiTefInterativo) Continua;
  decltype(&FinalizaFuncaoSiTefInterativo) FinalizaFuncao;
  decltype(&FinalizaTransacaoSiTefInterativo) FinalizaTransacao;
  decltype(&EscreveMensagemPermanentePinPad) EscreveMensagem;
  decltype(&ObtemQuantidadeTransacoesPendentes) Pendentes;
  decltype(&VerificaPresencaPinPad) PinPad;
  decltype(&LeTrilha3) Trilha3;
  decltype(&LeCartaoDiretoEx) CartaoDireto;
  decltype(&LeCartaoSeguro) CartaoSeguro;
  decltype(&LeCartaoDiretoSeguro) CartaoDiretoSeguro;
};

std::string today(const char* format) {
  time_t now = time(nullptr);
  tm t{};
  localtime_r(&now, &t);
  char text[32];
  strftime(text, sizeof text, format, &t);
  return text;
}

struct Exchange {
  int command;
  int field;
  int min, max;
  std::string text;
};

struct Reply {
  int continua = 0;
  std::string answer;
};

using Responder = std::function<Reply(const Exchange&)>;

struct DialogueRun {
  int start = 0;
  int result = 0;
  std::vector<Exchange> steps;
  std::multimap<int, std::string> fields;  // command 0: field code -> value, in order
  std::string end_buffer;

  std::string field(int code) const {
    auto it = fields.find(code);
    return it == fields.end() ? "<missing>" : it->second;
  }
  int count(int command, const std::string& fragment = "") const {
    int n = 0;
    for (const Exchange& e : steps)
      if (e.command == command && e.text.find(fragment) != std::string::npos) ++n;
    return n;
  }
};

bool is_question(int command) {
  return command == 20 || command == 21 || command == 30 || command == 31 || command == 34;
}

// Answers questions from a list ("<back>" sends continue code 1, "<abort>" -1), acknowledges
// notices with continue code 1 as the service does, and aborts the n-th wait when asked.
Responder scripted(std::vector<std::string> answers, int abort_at_wait = -1) {
  size_t next = 0;
  int waits = 0;
  return [=](const Exchange& e) mutable -> Reply {
    if (e.command == 22) return {1, ""};
    if (e.command == 23) return {++waits == abort_at_wait ? -1 : 0, ""};
    if (!is_question(e.command)) return {0, ""};
    if (next >= answers.size()) {
      ADD_FAILURE() << "no scripted answer for command " << e.command << " \"" << e.text << "\"";
      return {-1, ""};
    }
    const std::string& a = answers[next++];
    if (a == "<back>") return {1, ""};
    if (a == "<abort>") return {-1, ""};
    return {0, a};
  };
}

class StandIn : public ::testing::Test {
 protected:
  fs::path folder;
  void* handle = nullptr;
  Api api{};

  void SetUp() override {
    char name[] = "/tmp/clisitef-sim-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    folder = name;
    fs::copy_file(CLISITEF_SIM_LIBRARY, folder / "CliSiTef32I.dll");
    settings("");
    handle = dlopen((folder / "CliSiTef32I.dll").c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    resolve(api.Configura, "ConfiguraIntSiTefInterativoEx");
    resolve(api.Inicia, "IniciaFuncaoSiTefInterativo");
    resolve(api.Continua, "ContinuaFuncaoSiTefInterativo");
    resolve(api.FinalizaFuncao, "FinalizaFuncaoSiTefInterativo");
    resolve(api.FinalizaTransacao, "FinalizaTransacaoSiTefInterativo");
    resolve(api.EscreveMensagem, "EscreveMensagemPermanentePinPad");
    resolve(api.Pendentes, "ObtemQuantidadeTransacoesPendentes");
    resolve(api.PinPad, "VerificaPresencaPinPad");
    resolve(api.Trilha3, "LeTrilha3");
    resolve(api.CartaoDireto, "LeCartaoDiretoEx");
    resolve(api.CartaoSeguro, "LeCartaoSeguro");
    resolve(api.CartaoDiretoSeguro, "LeCartaoDiretoSeguro");
  }

  void TearDown() override {
    if (handle) dlclose(handle);
    fs::remove_all(folder);
  }

  template <typename F>
  void resolve(F& f, const char* name) {
    f = reinterpret_cast<F>(dlsym(handle, name));
    ASSERT_NE(f, nullptr) << name;
  }

  // Quick waits so a dialogue runs in no time; `extra` lines come after and win.
  void settings(const std::string& extra) {
    std::ofstream(folder / "CliSiTef.ini") << "[Simulator]\nPollCount=2\nPollIntervalMs=0\n"
                                           << extra;
  }

  int configure() { return api.Configura("127.0.0.1", "00000000", "SE000001", 0, "[];"); }

  std::vector<std::string> journal() const {
    std::vector<std::string> lines;
    std::ifstream in(folder / "CliSiTef.journal");
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  DialogueRun drive(int function, const char* amount, Responder respond, const char* restrictions = "") {
    DialogueRun run;
    run.start = api.Inicia(function, amount, kDocument, today("%Y%m%d").c_str(), "100005",
                           "OPERADOR", restrictions);
    run.result = run.start;
    std::vector<char> buffer(20001, 0);
    int32_t command = 0, field = 0;
    int16_t min = 0, max = 0;
    int continua = 0;
    for (int calls = 0; run.result == kContinue; ++calls) {
      if (calls == 400) {
        ADD_FAILURE() << "dialogue does not end";
        break;
      }
      run.result = api.Continua(&command, &field, &min, &max, buffer.data(), 20001, continua);
      std::string text(buffer.data());
      if (run.result != kContinue) {
        run.end_buffer = text;
        break;
      }
      Exchange e{command, field, min, max, text};
      run.steps.push_back(e);
      if (command == 0) run.fields.emplace(field, text);
      Reply reply = respond(e);
      continua = reply.continua;
      std::fill(buffer.begin(), buffer.end(), 0);
      std::copy(reply.answer.begin(), reply.answer.end(), buffer.begin());
    }
    return run;
  }
};

// ---------------------------------------------------------------- scenarios

struct ScenarioCase {
  const char* name;
  std::string settings;
  int function;
  const char* amount;
  const char* restrictions;
  std::vector<std::string> answers;
  int abort_at_wait;
  int result;
  // Field code and value; a value starting with "~" only has to be contained.
  std::vector<std::pair<int, std::string>> fields;
  // Command and a fragment of its text that must have been handed over.
  std::vector<std::pair<int, std::string>> shown;
};

void PrintTo(const ScenarioCase& c, std::ostream* os) { *os << c.name; }

class Scenarios : public StandIn, public ::testing::WithParamInterface<ScenarioCase> {};

const std::string kToday = today("%d%m%Y");

INSTANTIATE_TEST_SUITE_P(
    EachScenario, Scenarios,
    ::testing::Values(
        ScenarioCase{"MenuDebit", "", 0, "10,50", "", {"2", "1"}, -1, 0,
                     {{100, "0100"}, {2021, "411111******1111"}, {121, "~VIA CLIENTE"},
                      {122, "~VIA ESTABELECIMENTO"}, {121, "~VALOR: R$ 10,50"}},
                     {{21, "2:Cartao de Debito"}, {21, "1:Magnetico/Chip;2:Digitado;"},
                      {23, ""}, {2, "Digite a senha"}}},
        ScenarioCase{"DebitTypedCard", "Scenario=debit\n", 0, "5,00", "",
                     {"2", "4111111111111112", "4111111111111111", "1229", "123"}, -1, 0,
                     {{100, "0100"}},
                     {{30, "Digite o numero do cartao"}, {22, "Cartao invalido"}}},
        ScenarioCase{"CreditInstallments", "", 3, "10,00", "", {"1", "2", "3", "0"}, -1, 0,
                     {{100, "0202"}, {142, "3,34"}, {141, "~"}},
                     {{21, "2:Parcelado pelo Estabelecimento"}, {30, "numero de parcelas"},
                      {20, "Confirma 3 parcelas de R$ 3,33?"}}},
        ScenarioCase{"CreditRetriesThenCash", "", 3, "10,00", "",
                     {"1", "3", "1", "4", "1", "1"}, -1, 0, {{100, "0200"}},
                     {{22, "Numero de parcelas invalido"}, {20, "Confirma 4 parcelas"}}},
        ScenarioCase{"PixCommand50", "", 122, "25,00", "{DevolveStringQRCode=1}", {}, -1, 0,
                     {{100, "0500"}, {107, "PIX"}, {109, "25,00"}},
                     {{50, "000201"}, {50, "5405" "25.00"}, {1, "Aguardando pagamento"}}},
        ScenarioCase{"PixCommand52", "Scenario=pix\nQRCodeCommand=52\n", 2, "25,00", "", {}, -1,
                     0, {{100, "0500"}}, {{52, "000201"}}},
        ScenarioCase{"PixOnPinPad", "", 122, "25,00", "", {}, -1, 0, {{100, "0500"}},
                     {{2, "Leia o QR Code no PinPad"}}},
        ScenarioCase{"CheckFromPresets", "", 1, "80,00", "",
                     {"1", "12345678000195", "1:12345678<12345678>123456789012:", ""}, -1, 0,
                     {{501, "1"}, {502, "12345678000195"}}, {{31, "cheque"}}},
        ScenarioCase{"Declined", "Scenario=declined\nDeclineCode=51\n", 2, "10,00", "", {"1"},
                     -1, 51, {}, {{3, "Transacao nao autorizada"}}},
        ScenarioCase{"UnauthorizedNotice", "Scenario=unauthorized\n", 2, "10,00", "", {"1"}, -1, 5,
                     {}, {{22, "Unauthorized"}}},
        ScenarioCase{"NoConnection", "Scenario=noconnection\n", 0, "10,00", "", {}, -1, -5, {},
                     {{3, "Sem conexao SiTef"}, {22, "Sem conexao SiTef"}}},
        ScenarioCase{"AlreadyDone", "Scenario=alreadydone\n", 2, "10,00", "", {"1"}, -1, 11, {},
                     {{22, "Transacao ja efetuada"}}},
        ScenarioCase{"CustomerCancelsOnPinPad", "Scenario=customerabort\n", 2, "10,00", "",
                     {"1"}, -1, -6, {}, {{3, "Operacao cancelada pelo cliente"}}},
        ScenarioCase{"CardWaitUntilOperatorAborts", "Scenario=abort\n", 2, "10,00", "", {"1"},
                     25, -2, {}, {{3, "Insira ou passe o cartao"}}},
        ScenarioCase{"QrWaitUntilOperatorAborts", "Scenario=abort\n", 122, "10,00",
                     "{DevolveStringQRCode=1}", {}, 6, -2, {}, {{50, "000201"}}},
        ScenarioCase{"OperatorAbortsAtMenu", "", 0, "10,00", "", {"<abort>"}, -1, -2, {}, {}},
        ScenarioCase{"BackFromCardMenuToPaymentKinds", "", 0, "10,00", "",
                     {"2", "<back>", "3", "1", "1"}, -1, 0, {{100, "0200"}},
                     {{21, "1:A Vista;2:Parcelado"}}},
        ScenarioCase{"GivesUpAfterThreeBadAnswers", "", 0, "10,00", "", {"9", "x", ""}, -1, -2,
                     {}, {{22, "Opcao invalida"}, {22, "Excedido o numero de tentativas"}}},
        ScenarioCase{"Cancellation", "", 200, "0,00", "", {kToday, "123456", "12.30", "1"}, -1,
                     0, {{110, "1"}, {515, kToday}, {516, "123456"}, {121, "~CANCELAMENTO"},
                         {121, "~VALOR: R$ 12,30"}},
                     {{30, "Data da transacao"}, {30, "NSU"}, {34, "valor da transacao"}}},
        ScenarioCase{"CancellationRefusesFutureDateAndZeroValue", "Scenario=cancellation\n", 0,
                     "0,00", "", {"31129999", kToday, "1", "0,00", "7,00", "1"}, -1, 0,
                     {{516, "1"}}, {{22, "Data invalida"}, {22, "Valor invalido"}}},
        ScenarioCase{"ReprintLast", "", 113, "1,00", "", {}, -1, 0,
                     {{57, "000001"}, {58, "1,00"}, {56, kToday}, {121, "~REIMPRESSAO"},
                      {122, "~REIMPRESSAO"}},
                     {}},
        ScenarioCase{"ReprintChosenFromMenu", "Scenario=reprint\n", 0, "1,00", "",
                     {"2", kToday, "4242"}, -1, 0, {{57, "4242"}, {56, kToday}},
                     {{21, "2:Reimpressao de comprovante especifico"}}},
        ScenarioCase{"AdminCommunicationTest", "", 110, "0,00", "", {"1"}, -1, 0, {},
                     {{4, "Menu administrativo"}, {3, "Teste de comunicacao"}}},
        ScenarioCase{"AdminSalesSummary", "Scenario=admin\n", 2, "0,00", "", {"4"}, -1, 0,
                     {{121, "~RESUMO DE VENDAS"}}, {}}),
    [](const ::testing::TestParamInfo<ScenarioCase>& info) { return info.param.name; });

TEST_P(Scenarios, ReachesItsEndAndJournalsIt) {
  const ScenarioCase& c = GetParam();
  settings(c.settings);
  ASSERT_EQ(configure(), 0);
  DialogueRun run = drive(c.function, c.amount, scripted(c.answers, c.abort_at_wait), c.restrictions);
  ASSERT_EQ(run.start, kContinue);
  EXPECT_EQ(run.result, c.result);
  for (const auto& [code, value] : c.fields) {
    bool found = false;
    for (auto [it, end] = run.fields.equal_range(code); it != end; ++it)
      found |= value[0] == '~' ? it->second.find(value.substr(1)) != std::string::npos
                               : it->second == value;
    EXPECT_TRUE(found) << "field " << code << " = " << value << " (got " << run.field(code)
                       << ")";
  }
  for (const auto& [command, fragment] : c.shown)
    EXPECT_GT(run.count(command, fragment), 0) << "command " << command << " " << fragment;
  std::vector<std::string> lines = journal();
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines.back().find("ContinuaFuncaoSiTefInterativo("), std::string::npos);
  EXPECT_NE(lines.back().find(") = " + std::to_string(c.result)), std::string::npos)
      << lines.back();
}

// ---------------------------------------------------------------- approved values

TEST_F(StandIn, ApprovedSaleHandsOverRealisticValues) {
  ASSERT_EQ(configure(), 0);
  DialogueRun run = drive(2, "10,50", scripted({"1"}));
  ASSERT_EQ(run.result, 0);
  EXPECT_TRUE(std::regex_match(run.field(105), std::regex(R"(20\d{12})"))) << run.field(105);
  EXPECT_EQ(run.field(105).substr(0, 8), today("%Y%m%d"));
  EXPECT_TRUE(std::regex_match(run.field(133), std::regex(R"(\d{6})")));
  EXPECT_TRUE(std::regex_match(run.field(134), std::regex(R"(\d{12})")));
  EXPECT_TRUE(std::regex_match(run.field(135), std::regex(R"([0-9A-Z]{6})")));
  EXPECT_TRUE(std::regex_match(run.field(800), std::regex(R"([0-9A-F]{32})")));
  for (int code : {131, 132, 156, 157}) EXPECT_NE(run.field(code), "<missing>") << code;
  // Receipts are lines separated by line feeds, every line short enough for a printer.
  for (int code : {121, 122}) {
    std::string receipt = run.field(code);
    EXPECT_GT(std::count(receipt.begin(), receipt.end(), '\n'), 8);
    EXPECT_NE(receipt.find("NSU: " + run.field(133)), std::string::npos);
    EXPECT_NE(receipt.find("AUT: " + run.field(135)), std::string::npos);
  }
  // A second sale gets another NSU.
  DialogueRun second = drive(2, "1,00", scripted({"1"}));
  EXPECT_NE(second.field(133), run.field(133));
}

TEST_F(StandIn, InstalledSettingsApproveEveryPaymentFunction) {
  std::ifstream in(CLISITEF_SIM_DEFAULT_INI);
  std::string ini((std::istreambuf_iterator<char>(in)), {});
  ASSERT_NE(ini.find("PollIntervalMs=500"), std::string::npos);
  ini.replace(ini.find("PollIntervalMs=500"), 18, "PollIntervalMs=0");
  std::ofstream(folder / "CliSiTef.ini") << ini;
  ASSERT_EQ(configure(), 0);
  // An operator who picks the first option of every menu and types valid values.
  Responder first_choice = [](const Exchange& e) -> Reply {
    if (e.command == 21) return {0, e.text.substr(0, e.text.find(':'))};
    if (e.command == 20) return {0, "0"};
    if (e.command == 30 || e.command == 31) return {0, e.field == 517 ? "0:123" : ""};
    return {e.command == 22 ? 1 : 0, ""};
  };
  for (int function : {0, 1, 2, 3, 122}) {
    DialogueRun run = drive(function, "10,00", first_choice, "{DevolveStringQRCode=1}");
    EXPECT_EQ(run.result, 0) << "function " << function;
    EXPECT_NE(run.field(121), "<missing>") << "function " << function;
  }
}

TEST_F(StandIn, SettingsAreReadAgainAtEveryStart) {
  ASSERT_EQ(configure(), 0);
  EXPECT_EQ(drive(2, "10,00", scripted({"1"})).result, 0);
  settings("Scenario=declined\n");
  EXPECT_EQ(drive(2, "10,00", scripted({"1"})).result, 5);
  settings("Scenario=noconnection\n");
  EXPECT_EQ(drive(2, "10,00", scripted({})).result, -5);
}

// ---------------------------------------------------------------- finalisation

TEST_F(StandIn, FinalisationJournalsConfirmOrUndoAndSettlesThePendingSale) {
  ASSERT_EQ(configure(), 0);
  const std::string date = today("%Y%m%d");
  ASSERT_EQ(drive(2, "10,00", scripted({"1"})).result, 0);
  EXPECT_EQ(api.Pendentes(date.c_str(), nullptr), 1);
  EXPECT_EQ(api.Pendentes(date.c_str(), "99999"), 0);  // another coupon
  api.FinalizaFuncao(1, kDocument, date.c_str(), "100010", "");
  EXPECT_EQ(api.Pendentes(date.c_str(), nullptr), 0);

  ASSERT_EQ(drive(3, "20,00", scripted({"1", "1"})).result, 0);
  api.FinalizaFuncao(0, kDocument, date.c_str(), "100020", "");
  api.FinalizaTransacao(1, "777", date.c_str(), "100030");

  std::vector<std::string> finals;
  for (const std::string& line : journal())
    if (line.find("Finaliza") != std::string::npos) finals.push_back(line);
  ASSERT_EQ(finals.size(), 3u);
  EXPECT_NE(finals[0].find("FinalizaFuncaoSiTefInterativo(confirma=1, cupom=\"36005\""),
            std::string::npos) << finals[0];
  EXPECT_NE(finals[0].find("transacao=\"confirmada\""), std::string::npos);
  EXPECT_NE(finals[1].find("(confirma=0, cupom=\"36005\""), std::string::npos);
  EXPECT_NE(finals[1].find("transacao=\"desfeita\""), std::string::npos);
  EXPECT_NE(finals[2].find("FinalizaTransacaoSiTefInterativo(confirma=1, cupom=\"777\""),
            std::string::npos);
  EXPECT_NE(finals[2].find("nenhuma transacao pendente"), std::string::npos);
}

// A second finalisation of a settled sale (its caller crashed before recording the first)
// changes nothing and says how the sale had ended, whatever the second one asks.
TEST_F(StandIn, ASecondFinalisationOfASettledSaleChangesNothing) {
  ASSERT_EQ(configure(), 0);
  const std::string date = today("%Y%m%d");
  ASSERT_EQ(drive(2, "10,00", scripted({"1"})).result, 0);
  api.FinalizaFuncao(1, kDocument, date.c_str(), "100010", "");
  api.FinalizaFuncao(1, kDocument, date.c_str(), "100011", "");
  api.FinalizaFuncao(0, kDocument, date.c_str(), "100012", "");
  std::vector<std::string> outcomes;
  for (const std::string& line : journal())
    if (line.find("FinalizaFuncaoSiTefInterativo(") != std::string::npos) outcomes.push_back(line.substr(line.find("transacao=")));
  EXPECT_EQ(outcomes, (std::vector<std::string>{R"(transacao="confirmada")", R"(transacao="ja confirmada")",
                                                R"(transacao="ja confirmada")"}));
  EXPECT_EQ(api.Pendentes(date.c_str(), nullptr), 0);
}

// A process killed inside a finalisation, with the outcome written and the sale still in the
// pending file: the sale was not settled, and the next finalisation settles it, once.
TEST_F(StandIn, AFinalisationCutOffBeforeTheSaleLeftThePendingFileIsMadeByTheNext) {
  ASSERT_EQ(configure(), 0);
  const std::string date = today("%Y%m%d");
  ASSERT_EQ(drive(2, "10,00", scripted({"1"})).result, 0);
  std::ofstream(folder / "CliSiTef.finalizadas") << kDocument << "\t123456\tconfirmada\t" << date << "\n";
  EXPECT_EQ(api.Pendentes(date.c_str(), nullptr), 1);
  api.FinalizaFuncao(0, kDocument, date.c_str(), "100010", "");
  api.FinalizaFuncao(1, kDocument, date.c_str(), "100011", "");
  std::vector<std::string> outcomes;
  for (const std::string& line : journal())
    if (line.find("FinalizaFuncaoSiTefInterativo(") != std::string::npos) outcomes.push_back(line.substr(line.find("transacao=")));
  EXPECT_EQ(outcomes, (std::vector<std::string>{R"(transacao="desfeita")", R"(transacao="ja desfeita")"}));
  EXPECT_EQ(api.Pendentes(date.c_str(), nullptr), 0);
  std::ifstream in(folder / "CliSiTef.finalizadas");
  std::string settled((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(std::count(settled.begin(), settled.end(), '\n'), 1) << settled;
  EXPECT_NE(settled.find("\tdesfeita\t"), std::string::npos) << settled;
}

TEST_F(StandIn, PendingCountCanBeSetAndChecksItsDate) {
  settings("PendingCount=7\n");
  EXPECT_EQ(api.Pendentes(today("%Y%m%d").c_str(), nullptr), 7);
  EXPECT_EQ(api.Pendentes("2025-1-1", nullptr), -20);
  EXPECT_EQ(api.Pendentes(nullptr, nullptr), -20);
}

// ---------------------------------------------------------------- configuration

struct ConfigureCase {
  const char* address;
  const char* store;
  const char* terminal;
  int reserved;
  const char* parameters;
  int setting;  // ConfigureResult
  int result;
  bool configured;  // a function can be started afterwards
};

TEST_F(StandIn, ConfigurationChecksItsArgumentsAndAnswersTheSetResult) {
  const ConfigureCase cases[] = {
      {"127.0.0.1", "00000000", "SE000001", 0, "[A=1;B=2];{ValorIncluiTaxa=0;};", 0, 0, true},
      {"", "00000000", "SE000001", 0, "", 0, 1, false},
      {nullptr, "00000000", "SE000001", 0, "", 0, 1, false},
      {"host name", "00000000", "SE000001", 0, "", 0, 1, false},
      {"127.0.0.1", "", "SE000001", 0, "", 0, 2, false},
      {"127.0.0.1", "123456789", "SE000001", 0, "", 0, 2, false},
      {"127.0.0.1", "00000000", "", 0, "", 0, 3, false},
      {"127.0.0.1", "00000000", "SE00/001", 0, "", 0, 3, false},
      {"127.0.0.1", "00000000", "SE000001", 0, "[A=1;{B=2}];", 0, 11, false},
      {"127.0.0.1", "00000000", "SE000001", 0, "[A=1", 0, 11, false},
      {"127.0.0.1", "00000000", "SE000001", 5, "", 0, 11, false},
  };
  for (const ConfigureCase& c : cases) {
    settings("ConfigureResult=" + std::to_string(c.setting) + "\n");
    EXPECT_EQ(api.Configura(c.address, c.store, c.terminal, c.reserved, c.parameters), c.result)
        << (c.address ? c.address : "null") << " " << c.store << " " << c.terminal;
    int start = api.Inicia(2, "1,00", kDocument, today("%Y%m%d").c_str(), "100005", "", "");
    EXPECT_EQ(start, c.configured ? kContinue : -1) << c.result;
  }
  // Every result of the table can be set; the error ones leave the library unconfigured,
  // any other counts as configured.
  for (int setting : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}) {
    settings("ConfigureResult=" + std::to_string(setting) + "\n");
    EXPECT_EQ(configure(), setting);
    bool configured = setting == 4 || setting == 5 || setting == 9 || setting == 14;
    int start = api.Inicia(2, "1,00", kDocument, today("%Y%m%d").c_str(), "100005", "", "");
    EXPECT_EQ(start, configured ? kContinue : -1) << setting;
  }
  EXPECT_NE(journal().front().find("ConfiguraIntSiTefInterativoEx(endereco=\"127.0.0.1\", "
                                   "loja=\"00000000\", terminal=\"SE000001\", reservado=0, "
                                   "parametros=\"[A=1;B=2];{ValorIncluiTaxa=0;};\") = 0"),
            std::string::npos)
      << journal().front();
}

TEST_F(StandIn, FunctionStartChecksItsArguments) {
  const std::string date = today("%Y%m%d");
  EXPECT_EQ(api.Inicia(2, "1,00", kDocument, date.c_str(), "100005", "", ""), -1);
  ASSERT_EQ(configure(), 0);
  EXPECT_EQ(api.Inicia(999, "1,00", kDocument, date.c_str(), "100005", "", ""), -3);
  for (const char* amount : {"10.50", "10,5", ",50", "", "1a,00"})
    EXPECT_EQ(api.Inicia(2, amount, kDocument, date.c_str(), "100005", "", ""), -20) << amount;
  EXPECT_EQ(api.Inicia(2, nullptr, kDocument, date.c_str(), "100005", "", ""), -20);
  EXPECT_EQ(api.Inicia(2, "1,00", kDocument, "20251340", "100005", "", ""), -20);
  EXPECT_EQ(api.Inicia(2, "1,00", kDocument, date.c_str(), "250000", "", ""), -20);
  EXPECT_EQ(api.Inicia(2, "1,00", "", date.c_str(), "100005", "", ""), -20);
  EXPECT_EQ(api.Inicia(2, "1,00", kDocument, date.c_str(), "100005", nullptr, nullptr), kContinue);
}

// ---------------------------------------------------------------- buffers

TEST_F(StandIn, ContinuationNeverWritesPastTheCallersBuffer) {
  ASSERT_EQ(configure(), 0);
  ASSERT_EQ(api.Inicia(0, "1,00", kDocument, today("%Y%m%d").c_str(), "100005", "", ""),
            kContinue);
  int32_t command, field;
  int16_t min, max;
  // Eight bytes for a longer text: seven of it and the NUL, and the guard bytes behind
  // stay untouched.
  char block[16];
  std::fill(std::begin(block), std::end(block), '#');
  block[0] = '\0';
  ASSERT_EQ(api.Continua(&command, &field, &min, &max, block, 8, 0), kContinue);
  EXPECT_EQ(command, 1);
  EXPECT_STREQ(block, "Conecta");
  EXPECT_EQ(std::string(block + 8, 8), std::string(8, '#'));
  while (command != 21)
    ASSERT_EQ(api.Continua(&command, &field, &min, &max, block, 8, 0), kContinue);

  // An answer without a NUL is read no further than the size given: "2" picks debit.
  std::fill(std::begin(block), std::end(block), '2');
  do {
    ASSERT_EQ(api.Continua(&command, &field, &min, &max, block, 1, 0), kContinue);
  } while (command != 21);
  EXPECT_EQ(block[0], '\0');  // no room for the card menu, still terminated
  EXPECT_EQ(block[1], '2');

  EXPECT_EQ(api.Continua(nullptr, &field, &min, &max, block, 8, 0), -20);
  EXPECT_EQ(api.Continua(&command, &field, &min, &max, block, 0, 0), -20);
  EXPECT_EQ(api.Continua(&command, &field, &min, &max, block, 8, -1), -2);
  EXPECT_EQ(api.Continua(&command, &field, &min, &max, block, 8, 0), -12);  // nothing running
}

TEST_F(StandIn, JournalKeepsEveryCallOnOneLine) {
  ASSERT_EQ(configure(), 0);
  DialogueRun run = drive(2, "10,00", scripted({"1"}));
  ASSERT_EQ(run.result, 0);
  std::vector<std::string> lines = journal();
  // Configure, start, and one line per continuation (every step and the end).
  EXPECT_EQ(lines.size(), 2 + run.steps.size() + 1);
  std::regex stamp(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \w+\(.*)");
  for (const std::string& line : lines) EXPECT_TRUE(std::regex_match(line, stamp)) << line;
  EXPECT_NE(lines[1].find("IniciaFuncaoSiTefInterativo(funcao=2, valor=\"10,00\", cupom=\"36005\""),
            std::string::npos);
  // Receipts are journaled with their line feeds escaped.
  bool receipt = false;
  for (const std::string& line : lines)
    receipt |= line.find("campo=121") != std::string::npos &&
               line.find("VIA CLIENTE\\n\"") != std::string::npos;
  EXPECT_TRUE(receipt);
  EXPECT_NE(lines.back().find(") = 0 nsu=\"" + run.field(133) + "\" valor=\"10,00\""),
            std::string::npos) << lines.back();
}

// The journal stays open between calls; a journal a test moves or deletes away between two
// payments is started anew at its path, and the second payment's calls land there alone.
TEST_F(StandIn, JournalMovedOrDeletedIsStartedAnewAtItsPath) {
  for (const bool moved : {true, false}) {
    SCOPED_TRACE(moved ? "moved away" : "deleted");
    ASSERT_EQ(configure(), 0);
    ASSERT_EQ(drive(2, "10,00", scripted({"1"})).result, 0);
    if (moved) fs::rename(folder / "CliSiTef.journal", folder / "old.journal");
    else fs::remove(folder / "CliSiTef.journal");
    ASSERT_EQ(drive(2, "20,00", scripted({"1"})).result, 0);
    const std::vector<std::string> lines = journal();
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.front().find("IniciaFuncaoSiTefInterativo(funcao=2, valor=\"20,00\""), std::string::npos)
        << lines.front();
    for (const std::string& line : lines) EXPECT_EQ(line.find("valor=\"10,00\""), std::string::npos) << line;
    if (moved) {
      std::ifstream in(folder / "old.journal");
      const std::string old((std::istreambuf_iterator<char>(in)), {});
      EXPECT_NE(old.find("valor=\"10,00\""), std::string::npos);
      EXPECT_EQ(old.find("valor=\"20,00\""), std::string::npos);
    }
  }
}

// ---------------------------------------------------------------- pin-pad and card reads

TEST_F(StandIn, PinPadPresenceAndMessageAreSettable) {
  for (int presence : {-1, 0, 1, 2}) {
    settings("PinPad=" + std::to_string(presence) + "\nPinPadMessageResult=3\n");
    EXPECT_EQ(api.PinPad(), presence);
    EXPECT_EQ(api.EscreveMensagem("** BOA VIAGEM **"), presence == 1 ? 3 : -43) << presence;
  }
  EXPECT_NE(journal().back().find("EscreveMensagemPermanentePinPad(mensagem=\"** BOA VIAGEM **\")"),
            std::string::npos);
}

TEST_F(StandIn, TrackThreeReadLeavesTheFriendIdInTheBuffer) {
  settings("FriendId=9876543210\n");
  char scratch[4] = {1, 2, 3, 4};
  EXPECT_EQ(api.Trilha3(scratch), -1);  // not configured yet
  ASSERT_EQ(configure(), 0);
  ASSERT_EQ(api.Trilha3(scratch), kContinue);
  std::vector<char> buffer(20001, 0);
  int32_t command, field;
  int16_t min, max;
  int result = kContinue, continuations = 0;
  while (result == kContinue && ++continuations < 50)
    result = api.Continua(&command, &field, &min, &max, buffer.data(), 20001, 0);
  ASSERT_EQ(result, 0);
  EXPECT_EQ(std::string(buffer.data()).substr(1, 10), "9876543210");

  settings("Track3Result=-43\n");
  EXPECT_EQ(api.Trilha3(scratch), -43);
  settings("PinPad=0\n");
  EXPECT_EQ(api.Trilha3(scratch), -43);
}

TEST_F(StandIn, DirectCardReadFillsBoundedBuffers) {
  settings("CardTrack1=" + std::string(300, 'T') + "\nCardTrack2=;1234=5678?\n");
  char masked[25 + 4], track1[129 + 4], track2[129 + 4];
  std::fill(std::begin(masked), std::end(masked), '#');
  std::fill(std::begin(track1), std::end(track1), '#');
  std::fill(std::begin(track2), std::end(track2), '#');
  EXPECT_EQ(api.CartaoDireto(masked, track1, track2, 30, 0), 0);
  EXPECT_STREQ(masked, "411111******1111");
  EXPECT_EQ(std::string(track1), std::string(128, 'T'));
  EXPECT_EQ(std::string(track1 + 129, 4), "####");
  EXPECT_STREQ(track2, ";1234=5678?");

  settings("CardReadResult=-2\n");
  EXPECT_EQ(api.CartaoDireto(masked, track1, track2, 30, 0), -2);
  EXPECT_STREQ(track1, "");
  settings("PinPad=0\n");
  EXPECT_EQ(api.CartaoDireto(masked, track1, track2, 30, 0), -43);
  EXPECT_EQ(api.CartaoDireto(nullptr, track1, track2, 30, 0), -20);
}

}  // namespace
