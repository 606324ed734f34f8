// Feeds arbitrary bytes as the version note section of a file, so that a damaged or hostile
// file in the service or library folder can never make the version check read out of bounds.
// A version that is found must read back the same from its text.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/FileVersion.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto version = norvane::parse_version_note(std::string_view(reinterpret_cast<const char*>(data), size));
  if (version && norvane::parse_version_numbers(norvane::format_file_version(*version)) != *version) __builtin_trap();
  return 0;
}
