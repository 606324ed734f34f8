#include "platform/ElfSection.h"

#include <elf.h>

#include <cstring>
#include <fstream>

namespace norvane {

namespace {

// Reads `size` bytes at `offset`; false when the file is shorter. Every offset and size
// comes from the file itself, so each is checked before it is used.
bool read_at(std::ifstream& in, uint64_t offset, void* out, uint64_t size) {
  in.clear();
  in.seekg(static_cast<std::streamoff>(offset));
  if (!in) return false;
  in.read(static_cast<char*>(out), static_cast<std::streamsize>(size));
  return static_cast<uint64_t>(in.gcount()) == size;
}

}  // namespace

std::optional<std::string> read_elf_section(const std::string& path, const std::string& name) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  in.seekg(0, std::ios::end);
  const uint64_t file_size = static_cast<uint64_t>(in.tellg());

  Elf64_Ehdr header;
  if (!read_at(in, 0, &header, sizeof header)) return std::nullopt;
  if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
      header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_ident[EI_DATA] != ELFDATA2LSB ||
      header.e_shentsize != sizeof(Elf64_Shdr) || header.e_shstrndx >= header.e_shnum ||
      header.e_shoff > file_size ||
      header.e_shnum > (file_size - header.e_shoff) / sizeof(Elf64_Shdr))
    return std::nullopt;

  auto section_header = [&](uint64_t index, Elf64_Shdr& out) {
    return read_at(in, header.e_shoff + index * sizeof(Elf64_Shdr), &out, sizeof out);
  };
  auto contents = [&](const Elf64_Shdr& section) -> std::optional<std::string> {
    if (section.sh_type == SHT_NOBITS || section.sh_offset > file_size ||
        section.sh_size > file_size - section.sh_offset)
      return std::nullopt;
    std::string bytes(section.sh_size, '\0');
    if (!read_at(in, section.sh_offset, bytes.data(), bytes.size())) return std::nullopt;
    return bytes;
  };

  Elf64_Shdr names_header;
  if (!section_header(header.e_shstrndx, names_header)) return std::nullopt;
  const std::optional<std::string> names = contents(names_header);
  if (!names) return std::nullopt;

  for (uint64_t i = 0; i < header.e_shnum; ++i) {
    Elf64_Shdr section;
    if (!section_header(i, section)) return std::nullopt;
    if (section.sh_name >= names->size()) continue;
    if (std::strcmp(names->c_str() + section.sh_name, name.c_str()) == 0)
      return contents(section);
  }
  return std::nullopt;
}

}  // namespace norvane
