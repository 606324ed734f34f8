// Feeds arbitrary text to the reader of the kept payment results (a file another process or a
// damaged disk may have changed). Besides crashes it checks what the status route relies on:
// at most the kept number of entries, each with a result object, and the text the store
// writes for them reads back as the same entries (sale, key and fingerprint, in order).
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
  for (const TResultStore::Entry& entry : entries)
    if (!entry.result.is_object()) __builtin_trap();
  std::deque<TResultStore::Entry> again;
  if (!ParseResultStore(ResultStoreText(entries), again)) __builtin_trap();
  if (again.size() != entries.size()) __builtin_trap();
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (again[i].sale_id != entries[i].sale_id || again[i].idempotency_key != entries[i].idempotency_key ||
        again[i].fingerprint != entries[i].fingerprint || !again[i].result.is_object())
      __builtin_trap();
  }
  return 0;
}
