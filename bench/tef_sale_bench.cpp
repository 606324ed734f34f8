// A whole credit sale through the component's dialogue loop against the stand-in library
// (no waits, handlers that do nothing, the host confirming at once), and its peer: the
// same library calls, with the same answers, made by a bare driver. The difference per
// library command is the loop's own cost (its log lines, the response record, the events).
#include "CreditSale.h"

namespace {

using namespace credit_sale;

void BM_VendaCreditoPeloLaco(benchmark::State& state) {
  Componente c((pasta() / "laco.log").string());
  for (auto _ : state) c.Venda();
  state.SetItemsProcessed(state.iterations());
  state.counters["comandos"] = static_cast<double>(respostas_da_venda().size());
}

void BM_VendaCreditoSoBiblioteca(benchmark::State& state) { VendaSoBiblioteca(state); }

BENCHMARK(BM_VendaCreditoPeloLaco)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_VendaCreditoSoBiblioteca)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) { return credit_sale::RunBenchmarks(argc, argv); }
