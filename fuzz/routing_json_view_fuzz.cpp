// The reader that leaves a message's long string member where it lies must agree with the
// tree reader on every text it accepts: the same tree but for that member, and the member's
// text exactly the string the tree reader gives. Whatever it declines goes to the tree
// reader, so declining is always safe; accepting wrongly is the fault looked for.
#include <cstddef>
#include <cstdint>
#include <string>

#include "routing/JsonText.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Room after the text as a received message has it, and a text without it (copied once).
  for (const bool padded : {true, false}) {
    std::string text;
    if (padded) text.reserve(size + 64);
    text.assign(reinterpret_cast<const char*>(data), size);
    const auto viewed = norvane::parse_json_viewing_member(text, "data");
    if (!viewed) continue;
    const norvane::JsonParseResult whole = norvane::parse_json_text(text);
    if (whole.status != norvane::JsonParseStatus::Ok || !whole.value.is_object()) __builtin_trap();
    const auto member = whole.value.find("data");
    if (member == whole.value.end() || !member->is_string() || *member != std::string(viewed->member)) __builtin_trap();
    norvane::Json rest = whole.value;
    rest["data"] = "";
    if (rest != viewed->message) __builtin_trap();
    if (viewed->member.data() < text.data() || viewed->member.data() + viewed->member.size() > text.data() + text.size())
      __builtin_trap();
  }
  return 0;
}
