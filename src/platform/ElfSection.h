#pragma once
#include <optional>
#include <string>

namespace norvane {

// The bytes of the section `name` of a 64-bit little-endian ELF file (a shared library or
// an executable), read from the file without loading it. Nothing when the file is missing,
// is not such an ELF file, is cut short, or has no section of that name.
std::optional<std::string> read_elf_section(const std::string& path, const std::string& name);

}  // namespace norvane

// The stand-in CliSiTef library carries a section of this name, so that the service can
// tell it from the real library by reading the file, before anything is loaded.
#define NORVANE_STAND_IN_SECTION ".norvane_stand_in"

namespace norvane {

// True when the library file at `path` is our stand-in (see NORVANE_STAND_IN_SECTION).
inline bool is_stand_in_library(const std::string& path) {
  return read_elf_section(path, NORVANE_STAND_IN_SECTION).has_value();
}

}  // namespace norvane
