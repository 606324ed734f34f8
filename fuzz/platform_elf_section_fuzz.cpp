// Feeds arbitrary bytes, as a file in dll/ would be, to the ELF section reader the service
// uses to tell the stand-in CliSiTef library from the real one: every offset and size in
// the file is the file's own, so none may lead to a read outside it.
#include <cstdint>
#include <fstream>
#include <optional>
#include <string>

#include "FuzzWorkFolder.h"
#include "platform/ElfSection.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = fuzz_support::work_folder("platform_elf_section_fuzz") + "/lib.dll";
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  const std::optional<std::string> marker = norvane::read_elf_section(path, NORVANE_STAND_IN_SECTION);
  if (marker && marker->size() > size) __builtin_trap();  // more bytes than the file has
  norvane::read_elf_section(path, ".shstrtab");
  return 0;
}
