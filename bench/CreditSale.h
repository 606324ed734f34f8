#pragma once
// A credit sale against the stand-in library, shared by the TEF and payment benchmarks: the
// component set up to run it with handlers that do nothing and a host that confirms at
// once, the answers such a sale sends the library, and the same calls made by a bare
// driver (the peer: what the library alone costs).
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/IniFile.h"
#include "tef/RiZedIzAde.h"
#include "tef/RiZedIzAdeTef.h"

namespace credit_sale {

namespace fs = std::filesystem;

// A scratch folder with the stand-in library in dll/, set to answer at once (no polls).
inline const fs::path& pasta() {
  static const fs::path folder = [] {
    fs::path f = fs::temp_directory_path() / ("credit-sale-bench-" + std::to_string(getpid()));
    fs::remove_all(f);
    fs::create_directories(f / "dll");
    fs::copy_file(SIM_LIBRARY, f / "dll" / "CliSiTef32I.dll");
    fs::copy_file(SIM_SETTINGS, f / "dll" / "CliSiTef.ini");
    norvane::TIniFile ini((f / "dll" / "CliSiTef.ini").string());
    ini.WriteString("Simulator", "PollCount", "0");
    ini.WriteString("Simulator", "PollIntervalMs", "0");
    return f;
  }();
  return folder;
}

struct Componente {
  TRiZedIzAde tef;
  TRiZedIzAdeCliSiTef* manager;

  explicit Componente(const std::string& log) {
    manager = &tef.AddManager(std::make_unique<TRiZedIzAdeCliSiTef>(tef));
    tef.SetPathBackup((pasta() / "TEF").string());
    tef.SetArqLOG(log);
    tef.SetModoServico(true);
    manager->SetModoServico(true);
    manager->SetPathDLL((pasta() / "dll").string());
    manager->SetEnderecoIP("127.0.0.1");
    manager->SetCodigoLoja("00000000");
    manager->SetNumeroTerminal("NV000001");
    manager->SetOperacaoCRT(3);
    tef.OnExibeMsg = [](TRiZedIzAdeOperacaoMensagem, const std::string&, TModalResult&) {};
    tef.OnComandaECF = [](TRiZedIzAdeOperacaoECF, TRiZedIzAdeResp&, int& r) { r = 1; };
    tef.OnComandaImpressao = [](int& r, TRiZedIzAdeResp&, bool) { r = 1; };
    tef.OnComandaECFAbreVinculado = [](const std::string&, const std::string&, Currency,
                                       int& r) { r = 1; };
    tef.OnComandaECFImprimeVia = [](TRiZedIzAdeTipoRelatorio, int,
                                    const std::vector<std::string>&, int& r) { r = 1; };
    tef.OnInfoECF = [](TRiZedIzAdeInfoECF, std::string& r) { r = "L"; };
    tef.OnExibeMenu = [](const std::string&, const std::vector<std::string>&, int& item,
                         bool&) { item = 0; };
    tef.OnObtemCampo = [](const std::string&, int, int, int, TRiZedIzAdeCliSiTefOperacaoCampo,
                          std::string&, bool&, bool&) {};
    tef.OnObterSenha = [](const std::string&, bool&) {};
    tef.OnAguardaResp = [](const std::string&, int, bool&) {};
    tef.OnDepoisConfirmarTransacoes = [this](TRiZedIzAdeRespostasPendentes& lista) {
      for (int i = 0; i < lista.Count(); ++i)
        tef.ConfirmarTransacao(true, lista[i].DocumentoVinculado());
      lista.Clear();
    };
    tef.Inicializar(gpCliSiTef);
  }
  void Venda() {
    if (!tef.CRT(10.5, "01", "", 0, "", "", "", "00")) throw std::runtime_error("venda negada");
  }
};

// The answers the loop sent, in order, read back from its log lines.
inline std::vector<std::pair<int, std::string>> respostas_da_venda() {
  const std::string log = (pasta() / "gravacao.log").string();
  fs::remove(log);
  {
    Componente c(log);
    c.Venda();
  }
  std::vector<std::pair<int, std::string>> respostas;
  std::ifstream in(log, std::ios::binary);
  std::string linha;
  const std::string marca = "ContinuaFuncaoSiTefInterativo, Chamando: Continua = ";
  while (std::getline(in, linha)) {
    const size_t at = linha.find(marca);
    if (at == std::string::npos) continue;
    std::string resto = linha.substr(at + marca.size());
    if (!resto.empty() && resto.back() == '\r') resto.pop_back();
    const size_t buffer = resto.find(" Buffer = ");
    respostas.emplace_back(std::stoi(resto.substr(0, buffer)), resto.substr(buffer + 10));
  }
  return respostas;
}

// The same sale without the component: start, the recorded answers, confirmation.
inline void VendaSoBiblioteca(benchmark::State& state) {
  const auto respostas = respostas_da_venda();
  void* biblioteca = dlopen((pasta() / "dll" / "CliSiTef32I.dll").c_str(), RTLD_NOW);
  auto configura = reinterpret_cast<TConfiguraIntSiTefInterativoEx>(
      dlsym(biblioteca, "ConfiguraIntSiTefInterativoEx"));
  auto inicia = reinterpret_cast<TIniciaFuncaoSiTefInterativo>(
      dlsym(biblioteca, "IniciaFuncaoSiTefInterativo"));
  auto continua = reinterpret_cast<TContinuaFuncaoSiTefInterativo>(
      dlsym(biblioteca, "ContinuaFuncaoSiTefInterativo"));
  auto finaliza = reinterpret_cast<TFinalizaFuncaoSiTefInterativo>(
      dlsym(biblioteca, "FinalizaFuncaoSiTefInterativo"));
  configura("127.0.0.1", "00000000", "NV000001", 0, "[];{ValorIncluiTaxa=0;};");
  std::vector<char> buffer(TRiZedIzAdeCliSiTef::kTamanhoBuffer);
  int documento = 0;
  for (auto _ : state) {
    const std::string doc = std::to_string(++documento % 86400);
    inicia(3, "10,50", doc.c_str(), "20250602", "100005", "", "[10];");
    std::fill(buffer.begin(), buffer.end(), '\0');
    int32_t comando = 0, tipo = 0;
    int16_t minimo = 0, maximo = 0;
    for (const auto& [codigo, resposta] : respostas) {
      std::memcpy(buffer.data(), resposta.c_str(), resposta.size() + 1);
      if (continua(&comando, &tipo, &minimo, &maximo, buffer.data(),
                   TRiZedIzAdeCliSiTef::kTamanhoBuffer, codigo) != 10000)
        break;
    }
    finaliza(1, doc.c_str(), "20250602", "100006", "");
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["comandos"] = static_cast<double>(respostas.size());
  dlclose(biblioteca);
}

// Runs the registered benchmarks, then removes the scratch folder.
inline int RunBenchmarks(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  fs::remove_all(pasta());
  return 0;
}

}  // namespace credit_sale
