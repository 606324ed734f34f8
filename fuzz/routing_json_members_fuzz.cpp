// The top-level member reader of "/print" against the whole JSON parser: for every text the
// router takes as an object, each member reads the same as GetJsonField gives it.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

#include "routing/JsonMembers.h"
#include "routing/JsonText.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const norvane::JsonParseResult parsed = norvane::parse_json_text(text);
  norvane::TJsonMembers members;
  const bool read = members.Parse(text);
  if (parsed.status != norvane::JsonParseStatus::Ok || !parsed.value.is_object()) return 0;
  if (!read) __builtin_trap();  // an object the router takes must be readable
  std::string names[] = {"type", "data", "file_type", "route"};
  for (auto it = parsed.value.begin(); it != parsed.value.end(); ++it) names[3] = it.key();
  for (const std::string& name : names) {
    std::string expected, storage, got;
    bool expected_error = false, got_error = false;
    try { expected = GetJsonField(parsed.value, name); } catch (const std::exception&) { expected_error = true; }
    try { got = std::string(members.Field(name, storage)); } catch (const std::exception&) { got_error = true; }
    if (expected_error != got_error || expected != got) __builtin_trap();
  }
  return 0;
}
