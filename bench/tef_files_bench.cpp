// The TEF file layer keeps its lines in one sorted list and finds keys by a linear scan.
// These benchmarks measure that scan against a hash map over the same lines (the peer a
// rewrite would reach for), and the price of flushing a backup file to disk against a
// plain write of it, on a response of realistic size.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <unordered_map>

#include "tef/RiZedIzAdeArquivo.h"

namespace {

// A CliSiTef response carries a few hundred lines: fields plus receipt lines.
void fill_response(TRiZedIzAdeArquivo& arq, int lines) {
  for (int i = 0; i < lines; ++i)
    arq.GravaInformacao(i % 900, i / 900 + 1, EscapaTexto("VALOR DA LINHA " + std::to_string(i)));
}

void BM_KeyedRead_LinearScan(benchmark::State& state) {
  TRiZedIzAdeArquivo arq;
  fill_response(arq, static_cast<int>(state.range(0)));
  int id = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(arq.LeInformacao(id, 1).AsString().size());
    id = (id + 37) % static_cast<int>(state.range(0));
  }
}
BENCHMARK(BM_KeyedRead_LinearScan)->Arg(50)->Arg(300);

void BM_KeyedRead_HashMapPeer(benchmark::State& state) {
  std::unordered_map<std::string, std::string> map;
  for (int i = 0; i < state.range(0); ++i)
    map[FormataChave(i % 900, i / 900 + 1)] = EscapaTexto("VALOR DA LINHA " + std::to_string(i));
  int id = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(map.find(FormataChave(id, 1))->second.size());
    id = (id + 37) % static_cast<int>(state.range(0));
  }
}
BENCHMARK(BM_KeyedRead_HashMapPeer)->Arg(50)->Arg(300);

void write_backup(benchmark::State& state, bool flush) {
  const auto folder = std::filesystem::temp_directory_path() /
                      ("tef_files_bench_" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  TRiZedIzAdeArquivo arq;
  fill_response(arq, 300);
  const std::string name = (folder / "RiZedIzAde_CliSiTef_001.tef").string();
  for (auto _ : state) arq.GravarArquivo(name, flush);
  std::filesystem::remove_all(folder);
}

void BM_WriteBackup_Flushed(benchmark::State& state) { write_backup(state, true); }
void BM_WriteBackup_NotFlushedPeer(benchmark::State& state) { write_backup(state, false); }
BENCHMARK(BM_WriteBackup_Flushed)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_WriteBackup_NotFlushedPeer)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
