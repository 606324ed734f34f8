// The service's JSON writer against nlohmann's own dump() of the same documents, in the same
// run: a typical reply (mostly ASCII, a few accents and URLs) and a text-heavy one (receipt
// lines full of accents and line feeds, where every such character becomes a \u escape).
// Compare each BM_WriteJson_* figure with its BM_NlohmannDump_* peer.
#include <benchmark/benchmark.h>

#include <string>

#include "routing/JsonText.h"
#include "routing/Jwt.h"
#include "platform/Guid.h"

using norvane::Json;

namespace {

Json typical_reply() {
  Json result = Json::object();
  result["type"] = "result";
  result["status"] = "approved";
  result["message"] = "Transação aprovada.";
  result["session_uuid"] = "6F9619FF-8B86-4D11-B42D-00C04FC964FF";
  result["callback_url"] = "https://vendas.example/api/v1/sales/tef/callback/";
  result["sale_id"] = 123456;
  result["transaction_value"] = 150.75;
  result["installments"] = 3;
  Json data = Json::object();
  for (const char* name : {"nsu", "authorization", "network", "modality", "host_date"}) data[name] = "0000123456";
  data["card"] = "************1234";
  result["data"] = data;
  return result;
}

Json text_heavy_reply() {
  Json receipt = Json::array();
  for (int line = 0; line < 40; ++line) {
    receipt.push_back("CRÉDITO À VISTA  Nº " + std::to_string(line) + "  VALOR: R$ 150,75 — AUTORIZAÇÃO ÓTIMA\n");
  }
  Json reply = Json::object();
  reply["type"] = "receipt";
  reply["copies"] = Json::array({receipt, receipt});
  return reply;
}

void BM_WriteJson_Typical(benchmark::State& state) {
  const Json document = typical_reply();
  for (auto _ : state) benchmark::DoNotOptimize(norvane::write_json(document));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * norvane::write_json(document).size()));
}
void BM_NlohmannDump_Typical(benchmark::State& state) {
  const Json document = typical_reply();
  for (auto _ : state) benchmark::DoNotOptimize(document.dump());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * document.dump().size()));
}
void BM_WriteJson_TextHeavy(benchmark::State& state) {
  const Json document = text_heavy_reply();
  for (auto _ : state) benchmark::DoNotOptimize(norvane::write_json(document));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * norvane::write_json(document).size()));
}
void BM_NlohmannDump_TextHeavy(benchmark::State& state) {
  const Json document = text_heavy_reply();
  for (auto _ : state) benchmark::DoNotOptimize(document.dump());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * document.dump().size()));
}
// nlohmann with ensure_ascii: the closest output to ours (\u escapes, though lower-case and
// without "/" escaped).
void BM_NlohmannDumpAscii_TextHeavy(benchmark::State& state) {
  const Json document = text_heavy_reply();
  for (auto _ : state) benchmark::DoNotOptimize(document.dump(-1, ' ', true));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * document.dump(-1, ' ', true).size()));
}

// Token check of a session start: HMAC verification plus decoding, beside the HMAC alone.
void BM_VerifyJWT_HS256(benchmark::State& state) {
  Json claims = Json::parse(R"({"secctional_code":"1009","ip_address":"10.0.0.5","store_code":"00000001",
    "additional_parameters":"","operator":"CAIXA 1","sale_id":42,"company_id":7,"callback_url":"https://x/"})");
  const std::string token = GenerateJWT(std::string(kSharedTokenSecret), claims);
  for (auto _ : state) benchmark::DoNotOptimize(VerifyJWT(token, kSharedTokenSecret));
}

// The rest of a session start's own work: the message read, and the session's identifier.
void BM_ParseSessionStart(benchmark::State& state) {
  Json claims = Json::parse(R"({"secctional_code":"1009","ip_address":"10.0.0.5","store_code":"00000001",
    "additional_parameters":"","operator":"CAIXA 1","sale_id":42,"company_id":7,"callback_url":"https://x/"})");
  Json message = Json::object();
  message["route"] = "/session/start";
  message["type"] = "session";
  message["token"] = GenerateJWT(std::string(kSharedTokenSecret), claims);
  const std::string text = message.dump();
  for (auto _ : state) benchmark::DoNotOptimize(norvane::parse_json_text(text));
}

void BM_NewGuid(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(norvane::new_guid());
}

BENCHMARK(BM_WriteJson_Typical);
BENCHMARK(BM_NlohmannDump_Typical);
BENCHMARK(BM_WriteJson_TextHeavy);
BENCHMARK(BM_NlohmannDump_TextHeavy);
BENCHMARK(BM_NlohmannDumpAscii_TextHeavy);
BENCHMARK(BM_VerifyJWT_HS256);
BENCHMARK(BM_ParseSessionStart);
BENCHMARK(BM_NewGuid);

}  // namespace

BENCHMARK_MAIN();
