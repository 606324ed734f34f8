// Throughput of the frame codec's two bulk steps on an 8 MiB payload, each against memcpy
// of the same bytes in the same run: unmasking a client frame's payload, and encoding a
// service message into a text frame. The ratios are printed after the table.
#include <benchmark/benchmark.h>

#include <cstring>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "websocket/WebSocketCodec.h"

namespace {

constexpr size_t kPayload = 8 * 1024 * 1024;

void BM_Memcpy(benchmark::State& state) {
  std::vector<uint8_t> from(kPayload, 'a'), to(kPayload);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), kPayload);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kPayload);
}
BENCHMARK(BM_Memcpy);

void BM_Unmask(benchmark::State& state) {
  std::vector<uint8_t> payload(kPayload, 'a');
  const uint8_t key[4] = {0x37, 0xFA, 0x21, 0x3D};
  for (auto _ : state) {
    norvane::websocket::UnmaskPayload(payload.data(), payload.size(), key, 0);
    benchmark::DoNotOptimize(payload.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kPayload);
}
BENCHMARK(BM_Unmask);

void BM_EncodeTextFrame(benchmark::State& state) {
  const std::string text(kPayload, 'a');
  std::string frame;
  for (auto _ : state) {
    norvane::websocket::EncodeTextFrame(text, frame);
    benchmark::DoNotOptimize(frame.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kPayload);
}
BENCHMARK(BM_EncodeTextFrame);

// Keeps each benchmark's bytes per second to print the ratios to memcpy at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      auto rate = run.counters.find("bytes_per_second");
      if (rate != run.counters.end()) rates[run.benchmark_name()] = rate->second.value;
    }
  }
  std::map<std::string, double> rates;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  double peer = reporter.rates["BM_Memcpy"];
  if (peer > 0) {
    for (const char* name : {"BM_Unmask", "BM_EncodeTextFrame"})
      if (reporter.rates.count(name))
        std::cout << name << " / memcpy throughput: " << reporter.rates[name] / peer << "\n";
  }
  benchmark::Shutdown();
  return 0;
}
