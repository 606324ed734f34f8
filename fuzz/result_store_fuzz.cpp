// Feeds arbitrary text to the reader of the kept payment results (a file another process or a
// damaged disk may have changed). Besides crashes it checks what the status route relies on:
// at most the kept number of entries, each with a result object, and a store read back from
// what was written holds the same entries.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "datamodule/ResultStore.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::deque<TResultStore::Entry> entries;
  if (!ParseResultStore(text, entries) && !entries.empty()) __builtin_trap();
  if (entries.size() > TResultStore::kKept) __builtin_trap();
  norvane::Json list = norvane::Json::array();
  for (const TResultStore::Entry& entry : entries) {
    if (!entry.result.is_object()) __builtin_trap();
    norvane::Json item = norvane::Json::object();
    item["sale_id"] = entry.sale_id;
    item["idempotency_key"] = entry.idempotency_key;
    item["result"] = entry.result;
    list.push_back(std::move(item));
  }
  norvane::Json root = norvane::Json::object();
  root["results"] = std::move(list);
  std::deque<TResultStore::Entry> again;
  if (!ParseResultStore(norvane::write_json(root), again)) __builtin_trap();
  if (again.size() != entries.size()) __builtin_trap();
  return 0;
}
