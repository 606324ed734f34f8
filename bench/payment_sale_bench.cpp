// Where the time of a credit sale goes inside the service, without the network: the whole
// "/transaction" through the data module (the client answering at once, a back-end that
// accepts every report at once), beside its peer in the same run: the bare library calls
// with the same answers, the stand-in's own share. The difference is the service's own work
// (dialogue loop, bridge, the payment's backup, result and report). Neither waits on a
// timer: the stand-in polls nothing and a credit sale in service mode shows no highlighted
// notice. bench/tef_sale_bench splits the component's loop from the library the same way.
#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>

#include "CreditSale.h"
#include "platform/ExeFolder.h"
#include "routing/JsonText.h"
#include "routing/Jwt.h"
#include "datamodule/ntDmSitef.h"

namespace {

using namespace credit_sale;

// The client: takes every message and never has anything to say (a sale without
// installments asks nothing).
class SilentClient : public TClientChannel {
 public:
  TClientRead WaitClientMessage(std::chrono::milliseconds) override { return {TClientRead::Kind::TimedOut, {}}; }
  void SendClientMessage(const std::string& text) override {
    ++sent;
    if (text.find(R"("type":"result")") != std::string::npos) last_result = text;
  }
  int sent = 0;
  std::string last_result;
};

// The one data module of this process: its library stays loaded, and its file must not be
// copied over while it is.
struct DataModuleSale;
DataModuleSale& data_module();

struct DataModuleSale {
  SilentClient client;
  TDmSitef dm;

  DataModuleSale() {
    const fs::path folder = pasta() / "service";
    fs::create_directories(folder / "dll");
    fs::copy_file(pasta() / "dll" / "CliSiTef32I.dll", folder / "dll" / "CliSiTef32I.dll", fs::copy_options::none);
    fs::copy_file(pasta() / "dll" / "CliSiTef.ini", folder / "dll" / "CliSiTef.ini", fs::copy_options::none);
    norvane::set_exe_folder_for_tests(folder.string() + "/");
    // The INI a shop gets from the package, with its comments, as a session start reads it.
    std::ofstream(folder / (norvane::exe_base_name() + ".ini"))
        << std::ifstream(NORVANE_SOURCE_DIR "/packaging/SvcNorvaneSiTef.ini").rdbuf();
    setenv("NORVANE_CLISITEF_ROOT", (folder / "CliSiTef").c_str(), 1);
    dm.Tef().SetArqLOG((folder / "tef.log").string());
    dm.SetClientChannel(&client);
    dm.SetExecuteRequest([](TRESTRequestMethod, const std::string&, const TArrayParamRequest&, const std::string&) {
      return std::make_unique<TRESTResponse>(TRESTResponse{201, "Created", R"({"data":1234})"});
    });
    const norvane::Json claims = norvane::Json::parse(R"({"secctional_code":"1009","ip_address":"127.0.0.1",
      "store_code":"00000001","additional_parameters":"","operator":"CAIXA 1","sale_id":42,"company_id":7,
      "callback_url":"https://vendas.example/api/"})");
    norvane::Json start = norvane::Json::object();
    start["route"] = "/session/start";
    start["type"] = "session";
    start["token"] = GenerateJWT(std::string(kSharedTokenSecret), claims);
    start_text = norvane::write_json(start);
    dm.RouteTargeting(start_text);
  }
  std::string start_text;
  ~DataModuleSale() {
    dm.SetClientChannel(nullptr);
    unsetenv("NORVANE_CLISITEF_ROOT");
    norvane::set_exe_folder_for_tests("");
  }
  void Sale() {
    client.last_result.clear();
    dm.StartTransaction(R"({"route":"/transaction","type":"transaction","operation":3,"payer_name":"Bench",)"
                        R"("transaction_value":"10,50","sale_id":42})", nullptr);
    if (client.last_result.find(R"("status":"approved")") == std::string::npos)
      throw std::runtime_error("venda não aprovada: " + client.last_result);
  }
};

DataModuleSale& data_module() {
  static DataModuleSale sale;
  return sale;
}

void BM_VendaPeloModuloDeDados(benchmark::State& state) {
  DataModuleSale& sale = data_module();
  sale.client.sent = 0;
  for (auto _ : state) sale.Sale();
  state.SetItemsProcessed(state.iterations());
  state.counters["mensagens"] = benchmark::Counter(sale.client.sent, benchmark::Counter::kAvgIterations);
}

void BM_VendaSoBiblioteca(benchmark::State& state) { VendaSoBiblioteca(state); }

// A session start once the library is up, as the connection's thread answers it: the
// service's own work in a "/session/start" round trip, without the transport.
void BM_InicioDeSessao(benchmark::State& state) {
  DataModuleSale& sale = data_module();
  // An INI changed in the last seconds is read again at every look, as a just-written one
  // would be; the service's has been there for longer when its clients come.
  static const bool settled = [] {
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));
    return true;
  }();
  benchmark::DoNotOptimize(settled);
  for (auto _ : state) {
    if (!sale.dm.RouteQuickly(sale.start_text)) throw std::runtime_error("início de sessão não atendido na hora");
  }
}

BENCHMARK(BM_VendaPeloModuloDeDados)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_VendaSoBiblioteca)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_InicioDeSessao)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) { return credit_sale::RunBenchmarks(argc, argv); }
