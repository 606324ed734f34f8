// The CliSiTef command loop against a scripted library in this process: each row gives the
// commands the library sends, how the handlers answer, and what must come back to the
// library (answer and continue code) and what the handlers must have been asked.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include "../support/LocalTime.h"
#include "platform/Clock.h"
#include "tef/RiZedIzAde.h"
#include "tef/RiZedIzAdeTef.h"

// The tables' rows name only what they need; the rest keeps its default.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

namespace fs = std::filesystem;

struct Passo {
  int comando;
  int tipo;
  std::string texto;
};

struct Chamada {
  int continua;
  std::string buffer;
};

// The library: hands out the scripted steps, one a call, and records what it was sent.
struct Roteiro {
  std::vector<Passo> passos;
  size_t proximo = 0;
  int resultado_final = 0;
  std::vector<Chamada> chamadas;
  bool primeiro_buffer_zerado = false;
  int tamanho_buffer = 0;
  std::string inicio;  // arguments of the function start
  std::vector<std::string> finalizacoes;
};
Roteiro* roteiro = nullptr;

int32_t inicia(int32_t funcao, const char* valor, const char* documento, const char* data,
               const char* hora, const char* operador, const char* restricoes) {
  roteiro->inicio = std::to_string(funcao) + " " + valor + " " + documento + " " + data + " " +
                    hora + " " + operador + " " + restricoes;
  return 10000;
}

int32_t continua(int32_t* comando, int32_t* tipo, int16_t* minimo, int16_t* maximo, char* buffer,
                 int32_t tamanho, int32_t codigo) {
  if (roteiro->chamadas.empty()) {
    roteiro->tamanho_buffer = tamanho;
    roteiro->primeiro_buffer_zerado = true;
    for (int i = 0; i < tamanho; ++i)
      if (buffer[i] != '\0') roteiro->primeiro_buffer_zerado = false;
  }
  roteiro->chamadas.push_back({codigo, std::string(buffer, strnlen(buffer, tamanho))});
  if (codigo == -1) return -2;
  if (roteiro->proximo >= roteiro->passos.size()) return roteiro->resultado_final;
  const Passo& p = roteiro->passos[roteiro->proximo++];
  *comando = p.comando;
  *tipo = p.tipo;
  *minimo = 1;
  *maximo = 40;
  std::memcpy(buffer, p.texto.c_str(), p.texto.size() + 1);
  return 10000;
}

int32_t finaliza(int32_t confirma, const char* documento, const char*, const char*, const char*) {
  roteiro->finalizacoes.push_back(std::to_string(confirma) + " " + documento);
  return 0;
}

// The CliSiTef manager with the scripted library in place of a loaded one.
class ScriptedCliSiTef : public TRiZedIzAdeCliSiTef {
 public:
  using TRiZedIzAdeCliSiTef::TRiZedIzAdeCliSiTef;
  void UsaRoteiro() {
    xIniciaFuncaoSiTefInterativo = &inicia;
    xContinuaFuncaoSiTefInterativo = &continua;
    xFinalizaFuncaoSiTefInterativo = &finaliza;
  }
  bool Devolucao() const { return fDevolucao; }
  bool Reimpressao() const { return fReimpressao; }
};

// How the handlers answer.
struct Respostas {
  int item_menu = -1;
  bool voltar = false;
  bool digitado = true;
  std::string campo;  // typed answer of OnObtemCampo / OnObtemCheque
  TModalResult sim_nao = mrYes;
  bool interromper = false;
};

struct Linha {
  const char* nome;
  std::vector<Passo> passos;
  Respostas respostas;
  std::function<void(ScriptedCliSiTef&, TRiZedIzAde&)> preparo;
  // Card data given to the loop: number, expiry, security code, installment count.
  std::array<std::string, 4> cartao;
  // What the library received after the scripted steps: answer and continue code of each
  // call after the first.
  std::vector<Chamada> esperado;
  std::vector<std::string> eventos;
  std::function<void(ScriptedCliSiTef&, TRiZedIzAde&)> confere;
};

class CliSiTefLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = fs::temp_directory_path() /
             ("clisitef-loop-" + std::to_string(getpid()) + "-" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder);
    fs::create_directories(folder);
    Novo();
  }
  void TearDown() override {
    roteiro = nullptr;
    norvane::set_clock_for_tests(nullptr);
    fs::remove_all(folder);
  }

  void Novo() {
    tef = std::make_unique<TRiZedIzAde>();
    manager = &tef->AddManager(std::make_unique<ScriptedCliSiTef>(*tef));
    tef->SetPathBackup((folder / "TEF").string());
    tef->SetArqLOG((folder / "tef.log").string());
    tef->SetGPAtual(gpCliSiTef);
    manager->UsaRoteiro();
    eventos.clear();
    tef->OnExibeMsg = [this](TRiZedIzAdeOperacaoMensagem op, const std::string& texto,
                             TModalResult& resultado) {
      eventos.push_back(enum_name(op) + ":" + texto);
      if (op == opmYesNo) resultado = respostas.sim_nao;
    };
    tef->OnExibeMenu = [this](const std::string& titulo, const std::vector<std::string>& opcoes,
                              int& item, bool& voltar) {
      std::string texto = "menu:" + titulo + ":";
      for (const std::string& o : opcoes) texto += o + "|";
      eventos.push_back(texto);
      item = respostas.item_menu;
      voltar = respostas.voltar;
    };
    tef->OnObtemCampo = [this](const std::string& titulo, int, int, int tipo,
                               TRiZedIzAdeCliSiTefOperacaoCampo operacao, std::string& resposta,
                               bool& digitado, bool& voltar) {
      eventos.push_back("campo:" + std::to_string(tipo) + ":" + std::to_string(operacao) + ":" +
                        titulo + ":" + resposta);
      resposta = respostas.campo;
      digitado = respostas.digitado;
      voltar = respostas.voltar;
    };
    tef->OnObtemCheque = [this](const std::string& titulo, int tipo,
                                TRiZedIzAdeCliSiTefOperacaoCampo, std::string& resposta,
                                bool& digitado, bool&) {
      eventos.push_back("cheque:" + std::to_string(tipo) + ":" + titulo);
      resposta = respostas.campo;
      digitado = respostas.digitado;
    };
    tef->OnObterSenha = [this](const std::string& titulo, bool& voltar) {
      eventos.push_back("senha:" + titulo);
      voltar = respostas.voltar;
    };
    tef->OnAguardaResp = [this](const std::string& arquivo, int, bool& interromper) {
      eventos.push_back("aguarda:" + arquivo);
      interromper = respostas.interromper;
    };
    tef->OnExibeQRCode = [this](const std::string& qr) { eventos.push_back("qrcode:" + qr); };
  }

  // Runs one dialogue with the rows' steps; returns the loop's result.
  int Executa(const std::vector<Passo>& passos, const std::array<std::string, 4>& cartao = {}) {
    rot = Roteiro{};
    rot.passos = passos;
    roteiro = &rot;
    EXPECT_EQ(manager->IniciarFuncao(3, "CRT", Currency::FromCents(1050), "", ""), 10000);
    return manager->ContinuarFuncao(false, cartao[0], cartao[1], cartao[2], cartao[3]);
  }

  fs::path folder;
  std::unique_ptr<TRiZedIzAde> tef;
  ScriptedCliSiTef* manager = nullptr;
  Roteiro rot;
  Respostas respostas;
  std::vector<std::string> eventos;
};

const char* const kRemove[] = {"opmRemoverMsgOperador:", "opmRemoverMsgCliente:"};

TEST_F(CliSiTefLoopTest, CommandTable) {
  const std::string notice =
      "opmOK:Transação já efetuada no sitef\r\nImprima o ultimo comprovante de pagamento e "
      "informe o pagamento manual.";
  auto com_remocao = [](std::vector<std::string> v) {
    v.insert(v.end(), std::begin(kRemove), std::end(kRemove));
    return v;
  };
  auto cancelando = [](ScriptedCliSiTef& m, TRiZedIzAde&) {
    m.SetCancelandoTransacaoTEF(true);
    m.SetCancelandoTransacaoNSU("654321");
    TDateTime data = 0;
    TryEncodeDate(2025, 3, 7, data);
    m.SetCancelandoTransacaoDATA(data);
    m.SetCancelandoTransacaoVALOR(Currency::FromCents(1230));
  };
  auto crt = [](int operacao) {
    return [operacao](ScriptedCliSiTef& m, TRiZedIzAde&) { m.SetOperacaoCRT(operacao); };
  };
  // The same field twenty times, answered alike: a dialogue in circles.
  std::vector<Passo> em_circulo(20, Passo{30, 700, "Campo"});
  std::vector<Chamada> circulo_esperado(19, Chamada{0, "x"});
  circulo_esperado.push_back({-1, "x"});
  std::vector<std::string> circulo_eventos(20, "campo:700:0:Campo:");
  circulo_eventos.insert(circulo_eventos.end(), std::begin(kRemove), std::end(kRemove));
  const Linha linhas[] = {
      {"check fields answered from their presets", {{30, 501, "Tipo"}, {30, 502, "CPF"}, {30, 506, "Data"}}, {},
       [](ScriptedCliSiTef& m, TRiZedIzAde&) {
         m.Respostas() = {"501=1", "502=12345678000195", "506=01022025"};
       },
       {}, {{0, "1"}, {0, "12345678000195"}, {0, "01022025"}}, {}},
      {"check fields without presets are asked", {{30, 501, "Tipo"}, {30, 502, "CPF"}}, {.campo = "0"}, nullptr, {},
       {{0, "0"}, {0, "0"}}, {"campo:501:0:Tipo:", "campo:502:0:CPF:"}},
      {"the same question answered alike twenty times ends the function", em_circulo, {.campo = "x"}, nullptr, {},
       circulo_esperado, circulo_eventos,
       [](ScriptedCliSiTef& m, TRiZedIzAde&) { EXPECT_TRUE(m.DialogoInterrompido()); }},
      {"the application ends the function after a command (its client is gone)", {{1, -1, "Ola"}}, {},
       [](ScriptedCliSiTef&, TRiZedIzAde& t) { t.OnInterromperDialogo = [] { return true; }; }, {},
       {{-1, ""}}, com_remocao({"opmExibirMsgOperador:Ola"}),
       [](ScriptedCliSiTef& m, TRiZedIzAde&) { EXPECT_TRUE(m.DialogoInterrompido()); }},
      {"messages with @ and /n as line breaks",
       {{1, -1, "Ola@mundo/nfim"}, {2, -1, "Cliente"}, {3, -1, "Ambos"}},
       {}, nullptr, {},
       {{0, ""}, {0, ""}, {0, ""}},
       {"opmExibirMsgOperador:Ola\r\nmundo\r\nfim", "opmExibirMsgCliente:Cliente",
        "opmExibirMsgOperador:Ambos", "opmExibirMsgCliente:Ambos"}},
      {"single-byte text reaches the handlers as UTF-8",
       {{1, -1, "Opera\xE7\xE3o"}}, {}, nullptr, {}, {{0, ""}},
       {"opmExibirMsgOperador:Operação"}},
      {"removals", {{11, -1, ""}, {12, -1, ""}, {13, -1, ""}}, {}, nullptr, {},
       {{0, ""}, {0, ""}, {0, ""}},
       {"opmRemoverMsgOperador:", "opmRemoverMsgCliente:", "opmRemoverMsgOperador:",
        "opmRemoverMsgCliente:"}},
      {"yes-no with empty text, yes", {{20, -1, ""}}, {.sim_nao = mrYes}, nullptr, {},
       {{0, "0"}}, {"opmYesNo:CONFIRMA ?"}},
      {"yes-no, any other answer", {{20, -1, "Confirma?"}}, {.sim_nao = mrOk}, nullptr, {},
       {{0, "1"}}, {"opmYesNo:Confirma?"}},
      {"menu with title, index 1", {{4, -1, "Forma"}, {21, -1, "1:Debito;2:Credito;"}},
       {.item_menu = 1}, nullptr, {}, {{0, ""}, {0, "2"}}, {"menu:Forma:1:Debito|2:Credito|"}},
      {"menu left at -1 aborts", {{21, -1, "1:Debito;2:Credito;"}}, {.item_menu = -1}, nullptr,
       {}, {{-1, ""}}, com_remocao({"menu::1:Debito|2:Credito|"})},
      {"menu index past the list aborts", {{21, -1, "1:Debito;2:Credito;"}}, {.item_menu = 2},
       nullptr, {}, {{-1, ""}}, com_remocao({"menu::1:Debito|2:Credito|"})},
      {"menu back", {{21, -1, "1:Debito;2:Credito;"}}, {.voltar = true}, nullptr, {},
       {{1, ""}}, com_remocao({"menu::1:Debito|2:Credito|"})},
      {"card entry menu answered at once with function 2",
       {{21, -1, "1:Magnetico/Chip;2:Digitado;"}}, {}, crt(2), {}, {{0, "1"}}, {}},
      {"function 3, one installment: single payment",
       {{21, -1, "1:A Vista;2:Parcelado;"}}, {}, crt(3), {"", "", "", "01"}, {{0, "1"}}, {}},
      {"function 3, no installment count (00): single payment",
       {{21, -1, "1:A Vista;2:Parcelado;"}}, {}, crt(3), {"", "", "", "00"}, {{0, "1"}}, {}},
      {"function 3, three installments", {{21, -1, "1:A Vista;2:Parcelado;"}}, {}, crt(3),
       {"", "", "", "03"}, {{0, "2"}}, {}},
      {"notice Unauthorized", {{22, -1, "Unauthorized "}}, {}, nullptr, {}, {{1, ""}},
       com_remocao({"opmExcept:Unauthorized"})},
      {"notice Transacao ja efetuada", {{22, -1, "Transacao ja efetuada"}}, {}, nullptr, {},
       {{1, ""}}, com_remocao({notice})},
      {"other notice: nothing shown, back", {{22, -1, "Cartao removido"}}, {}, nullptr, {},
       {{1, ""}}, com_remocao({})},
      {"empty notice", {{22, -1, ""}}, {}, nullptr, {}, {{1, ""}}, com_remocao({})},
      {"wait, not interrupted", {{23, -1, ""}}, {}, nullptr, {}, {{0, ""}}, {"aguarda:23"}},
      {"wait, interrupted", {{23, -1, ""}}, {.interromper = true}, nullptr, {}, {{-1, ""}},
       com_remocao({"aguarda:23"})},
      {"security code given", {{30, 514, "CVV"}}, {}, nullptr, {"", "", "123", ""},
       {{0, "123"}}, {}},
      {"security code typed", {{30, 514, "CVV"}}, {.campo = "999"}, nullptr, {},
       {{0, "999"}}, {"campo:514:4:CVV:"}},
      {"installments given", {{30, 505, "Parcelas"}}, {}, nullptr, {"", "", "", "03"},
       {{0, "03"}}, {}},
      {"installments asked once, then kept", {{30, 505, "Parcelas"}, {30, 505, "Parcelas"}},
       {.campo = "04"}, nullptr, {"", "", "", "00"}, {{0, "04"}, {0, "04"}},
       {"campo:505:0:Parcelas:"}},
      {"card number given: field answered without asking",
       {{30, 512, "Cartao"}, {30, 777, "Outro"}}, {}, nullptr, {"4111", "", "", ""},
       {{0, "4111"}, {0, ""}}, {}},
      {"password", {{30, 500, "Senha"}}, {}, nullptr, {}, {{0, ""}}, {"senha:Senha"}},
      {"cancellation: date, NSU and amount of the sale",
       {{30, 515, "Data"}, {30, 516, "NSU"}, {30, 146, "Valor"}, {34, 146, "Valor"}}, {},
       cancelando, {}, {{0, "07032025"}, {0, "654321"}, {0, "12.30"}, {0, "12.30"}}, {},
       [](ScriptedCliSiTef& m, TRiZedIzAde&) {
         EXPECT_EQ(m.Resp().LeInformacao(515, 0).AsString(), "07032025");
         EXPECT_EQ(m.Resp().LeInformacao(516, 0).AsString(), "654321");
       }},
      {"typed field recorded", {{30, 777, "Codigo"}}, {.campo = "AB"}, nullptr, {},
       {{0, "AB"}}, {"campo:777:0:Codigo:"},
       [](ScriptedCliSiTef& m, TRiZedIzAde&) {
         EXPECT_EQ(m.Resp().LeInformacao(777, 0).AsString(), "AB");
       }},
      {"amount 12.5", {{34, 146, "Valor"}}, {.campo = "12.5"}, nullptr, {}, {{0, "12,50"}},
       {"campo:146:1:Valor:"}},
      {"amount with thousands separator", {{34, 146, "Valor"}}, {.campo = "1.234,56"}, nullptr,
       {}, {{0, "0,00"}}, {"campo:146:1:Valor:"}},
      {"boarding fee not asked", {{34, 146, "Forneca a taxa de embarque"}}, {}, nullptr, {},
       {{0, "0.00"}}, {}},
      {"check data preset", {{31, 517, "Cheque"}}, {},
       [](ScriptedCliSiTef& m, TRiZedIzAde&) { m.Respostas().push_back("517=1:CMC7"); }, {},
       {{0, "1:CMC7"}}, {}},
      {"check data asked", {{31, 517, "Cheque"}}, {.campo = "0:123"}, nullptr, {},
       {{0, "0:123"}}, {"cheque:517:Cheque"}},
      {"bar code", {{35, 900, "Codigo"}}, {.campo = "789"}, nullptr, {}, {{0, "789"}},
       {"campo:900:3:Codigo:"}},
      {"NSU kept from the first value", {{0, 133, "111111"}, {0, 133, "222222"}}, {}, nullptr,
       {}, {{0, ""}, {0, ""}}, {},
       [](ScriptedCliSiTef&, TRiZedIzAde& t) { EXPECT_EQ(t.CodigoNsu(), "111111"); }},
      {"refund and reprint marks, True fields", {{0, 110, "x"}, {0, 56, "y"}, {0, 15, "z"}}, {},
       nullptr, {}, {{0, ""}, {0, ""}, {0, ""}}, {},
       [](ScriptedCliSiTef& m, TRiZedIzAde&) {
         EXPECT_TRUE(m.Devolucao());
         EXPECT_TRUE(m.Reimpressao());
         EXPECT_EQ(m.Resp().LeInformacao(15, 0).AsString(), "True");
       }},
      {"QR code", {{50, 584, "000201QR"}, {50, 1, "nada"}, {52, 4128, "QR@texto"}}, {}, nullptr,
       {}, {{0, ""}, {0, ""}, {0, ""}}, {"qrcode:000201QR", "opmQRCode:QR\r\ntexto"}},
      {"unknown commands send the preset", {{5, 600, ""}, {40, -1, ""}, {99, -1, ""}}, {},
       [](ScriptedCliSiTef& m, TRiZedIzAde&) { m.Respostas().push_back("600=P"); }, {},
       {{0, "P"}, {0, ""}, {0, ""}}, {}},
  };

  for (const Linha& linha : linhas) {
    SCOPED_TRACE(linha.nome);
    Novo();
    respostas = linha.respostas;
    if (linha.preparo) linha.preparo(*manager, *tef);
    const int resultado = Executa(linha.passos, linha.cartao);
    EXPECT_EQ(resultado, linha.esperado.back().continua == -1 ? -2 : 0);
    ASSERT_EQ(rot.chamadas.size(), linha.esperado.size() + 1);
    for (size_t i = 0; i < linha.esperado.size(); ++i) {
      EXPECT_EQ(rot.chamadas[i + 1].continua, linha.esperado[i].continua) << "call " << i + 1;
      EXPECT_EQ(rot.chamadas[i + 1].buffer, linha.esperado[i].buffer) << "call " << i + 1;
    }
    EXPECT_EQ(eventos, linha.eventos);
    if (linha.confere) linha.confere(*manager, *tef);
    EXPECT_FALSE(manager->AguardandoResposta());
  }
}

TEST_F(CliSiTefLoopTest, StartSendsTheTimeOfDayAsDocumentAndTheAmountInCents) {
  norvane::set_clock_for_tests(
      [] { return testing_support::local_time(2025, 6, 2, 10, 0, 5, 0); });
  rot = Roteiro{};
  roteiro = &rot;
  manager->SetOperador("OP1");
  EXPECT_EQ(manager->IniciarFuncao(2, "CRT", Currency::FromDouble(10.5), "ignored", "[10];"),
            10000);
  EXPECT_EQ(rot.inicio, "2 10,50 36005 20250602 100005 OP1 [10];");
  TRiZedIzAdeResp& r = manager->Resp();
  EXPECT_EQ(r.LeInformacao(899, 100).AsString(), "CRT");
  EXPECT_EQ(r.LeInformacao(899, 101).AsString(), "36005");
  EXPECT_EQ(r.LeInformacao(899, 102).AsString(), "36005");
  EXPECT_EQ(r.LeInformacao(899, 103).AsString(), "1050");
}

TEST_F(CliSiTefLoopTest, FirstCallIsZeroedAndAnAnswerIsCutToTheBuffer) {
  respostas.campo = std::string(30000, '7');
  Executa({{30, 777, "Longo"}});
  ASSERT_EQ(rot.chamadas.size(), 2u);
  EXPECT_TRUE(rot.primeiro_buffer_zerado);
  EXPECT_EQ(rot.tamanho_buffer, 20001);
  EXPECT_EQ(rot.chamadas[0].continua, 0);
  EXPECT_EQ(rot.chamadas[1].buffer, std::string(20000, '7'));
  const std::string log = [&] {
    std::ifstream in(folder / "tef.log", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }();
  EXPECT_NE(log.find("ContinuaFuncaoSiTefInterativo, Chamando: Continua = 0 Buffer = \r\n"),
            std::string::npos);
}

TEST_F(CliSiTefLoopTest, CardDataReachesTheLibraryButIsWrittenDownOnlyMasked) {
  const std::string numero = "4111111111111111";
  struct Caso {
    const char* nome;
    Passo passo;
    std::string digitado;                // typed by the operator, or
    std::array<std::string, 4> cartao;   // given by the caller
    std::string claro;                   // what the library must receive / what it sent
    std::string gravado;                 // what the response content keeps ("-" nothing)
  };
  const Caso casos[] = {
      {"typed card number", {30, 512, "Digite o numero do cartao"}, numero, {}, numero, "411111******1111"},
      {"card number given by the caller", {30, 512, "Cartao"}, "", {numero, "", "", ""}, numero,
       "411111******1111"},
      {"typed expiry date", {30, 513, "Data de vencimento do cartao (MMAA)"}, "1230", {}, "1230", "****"},
      {"expiry date given by the caller", {30, 513, "Validade"}, "", {"", "1230", "", ""}, "1230", "****"},
      {"typed security code", {30, 514, "Codigo de seguranca"}, "8642", {}, "8642", "-"},
      {"security code given by the caller", {30, 514, "CVV"}, "", {"", "", "8642", ""}, "8642", "-"},
      {"card number under a code of another library, known by its title",
       {30, 777, "Forneca o numero do cartao"}, numero, {}, numero, "411111******1111"},
      {"password known by its title", {30, 778, "Digite a senha"}, "97531", {}, "97531", "*****"},
      {"card number handed back by the library", {0, 512, numero}, "", {}, numero, "411111******1111"},
      {"expiry date handed back by the library", {0, 513, "1230"}, "", {}, "1230", "****"},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.nome);
    fs::remove(folder / "tef.log");
    Novo();
    respostas.campo = c.digitado;
    Executa({c.passo}, c.cartao);
    ASSERT_EQ(rot.chamadas.size(), 2u);
    if (c.passo.comando == 30) {
      EXPECT_EQ(rot.chamadas[1].buffer, c.claro);
    }
    EXPECT_EQ(manager->Resp().LeInformacao(c.passo.tipo, 0).AsString(), c.gravado == "-" ? "" : c.gravado);
    std::ifstream in(folder / "tef.log", std::ios::binary);
    const std::string log(std::istreambuf_iterator<char>(in), {});
    // Neither the calls, the library's answers nor the content logged at the end hold it.
    EXPECT_EQ(log.find("= " + c.claro), std::string::npos) << log;
    EXPECT_EQ(log.find(numero), std::string::npos) << log;
    if (c.passo.comando == 30) {
      const std::string masked = c.gravado == "-" ? std::string(c.claro.size(), '*') : c.gravado;
      EXPECT_NE(log.find("Chamando: Continua = 0 Buffer = " + masked + "\r\n"), std::string::npos) << log;
    }
  }
  // Other fields are written as they came.
  Novo();
  respostas.campo = "4111";
  Executa({{30, 777, "Codigo"}});
  EXPECT_EQ(manager->Resp().LeInformacao(777, 0).AsString(), "4111");
}

TEST_F(CliSiTefLoopTest, AHandlerErrorEndsTheRunAndTheNextFunctionMayStart) {
  tef->OnExibeMenu = [](const std::string&, const std::vector<std::string>&, int&, bool&) {
    throw std::runtime_error("cliente desconectado");
  };
  EXPECT_THROW(Executa({{21, -1, "1:A;2:B;"}}), std::runtime_error);
  EXPECT_FALSE(manager->AguardandoResposta());
  // No handler at all: the error names the event rather than failing on an empty call.
  tef->OnExibeMenu = nullptr;
  try {
    Executa({{21, -1, "1:A;2:B;"}});
    FAIL();
  } catch (const ERiZedIzAdeErro& e) {
    EXPECT_STREQ(e.what(), "Evento \"OnExibeMenu\" não programado");
  }
  // A non-numeric installment count is refused at field 505.
  EXPECT_THROW(Executa({{30, 505, "Parcelas"}}, {"", "", "", "x"}), ERiZedIzAdeErro);
  EXPECT_FALSE(manager->AguardandoResposta());
}

TEST_F(CliSiTefLoopTest, AvaliaErroMessages) {
  const std::pair<int, const char*> linhas[] = {
      {-1, "Módulo não inicializado"},
      {-2, "Operação cancelada pelo operador"},
      {-5, "Não foi possivel realizar a conexão com o servidor SiTef\r\nPor favor tente mais tarde..."},
      {-6, "Operação cancelada pelo usuário"},
      {-7, "Operadora do cartão de crédito off-line (-7)"},
      {5, "Negada pelo autorizador (5)"},
  };
  for (const auto& [sts, mensagem] : linhas) {
    eventos.clear();
    manager->AvaliaErro(sts);
    EXPECT_EQ(eventos, std::vector<std::string>{std::string("opmExcept:") + mensagem});
  }
}

TEST_F(CliSiTefLoopTest, FinalisationInServiceMode) {
  manager->SetModoServico(true);
  rot = Roteiro{};
  roteiro = &rot;
  // A reprint leaves nothing to settle, but the presets are forgotten.
  rot.passos = {{0, 56, "x"}};
  manager->Respostas().push_back("146=1.00");
  manager->IniciarFuncao(112, "ADM", Currency(), "", "");
  manager->ContinuarFuncao(false, "", "", "", "0");
  manager->FinalizarTransacao(true, "36005");
  EXPECT_TRUE(rot.finalizacoes.empty());
  EXPECT_TRUE(manager->Respostas().empty());
  EXPECT_TRUE(eventos.empty());

  // An undo is sent and the operator told; a confirmed refund asks to keep the coupon.
  Executa({});
  manager->NCN("", "", "", Currency(), "36005");
  EXPECT_EQ(rot.finalizacoes, std::vector<std::string>{"0 36005"});
  EXPECT_EQ(eventos, std::vector<std::string>{"opmOK:Transação \"TEF\" não efetuada."});
  eventos.clear();
  Executa({{0, 110, "devolucao"}});
  manager->CNF("", "", "", "36006");
  EXPECT_EQ(rot.finalizacoes.back(), "1 36006");
  EXPECT_EQ(eventos,
            std::vector<std::string>{"opmOK:Transação efetuada com sucesso.\r\nFavor reter o Cupom"});
  // Outside service mode a confirmation sends nothing.
  manager->SetModoServico(false);
  const size_t antes = rot.finalizacoes.size();
  manager->CNF("", "", "", "36007");
  EXPECT_EQ(rot.finalizacoes.size(), antes);
}

}  // namespace
