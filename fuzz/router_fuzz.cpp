// Drives the router with arbitrary client text: every route, the session check, the token
// verifier and the JSON reader and writer. A session is kept live so session routes get past
// the check too.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/ExeFolder.h"
#include "routing/JsonText.h"
#include "datamodule/ntDmSitef.h"
#include "../tests/support/DmSitefProbe.h"

namespace {

class DiscardingChannel : public TClientChannel {
 public:
  TClientRead WaitClientMessage(std::chrono::milliseconds) override {
    return {TClientRead::Kind::Disconnected, {}};
  }
  void SendClientMessage(const std::string& pMsg) override {
    // Every reply must itself be a JSON object the client can read.
    const auto parsed = norvane::parse_json_text(pMsg);
    if (parsed.status != norvane::JsonParseStatus::Ok || !parsed.value.is_object()) __builtin_trap();
  }
};

TDmSitef& data_module() {
  static DiscardingChannel channel;
  static TDmSitef* dm = [] {
    norvane::set_exe_folder_for_tests("/tmp/norvane-router-fuzz/");
    auto* created = new TDmSitef();
    created->SetClientChannel(&channel);
    return created;
  }();
  return *dm;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TDmSitef& dm = data_module();
  if (TDmSitefProbe{dm}.Sessions().GetSession("FUZZ") == nullptr) {
    TDmSitefProbe{dm}.Sessions().AddItem("FUZZ", norvane::now() + std::chrono::hours(1));
  }
  dm.RouteTargeting(std::string(reinterpret_cast<const char*>(data), size));
  return 0;
}
