#include "platform/FileVersion.h"

#include "platform/ElfSection.h"

namespace norvane {
namespace {

std::uint32_t read_u32(std::string_view bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (unsigned i = 0; i < 4; ++i) value |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
  return value;
}

std::size_t align4(std::size_t value) { return (value + 3) / 4 * 4; }

}  // namespace

std::optional<FileVersion> parse_version_note(std::string_view notes) {
  // Notes follow one another: name size, descriptor size, type, then the name and the
  // descriptor, each padded to four bytes.
  std::size_t at = 0;
  while (notes.size() - at >= 12) {
    const std::size_t name_size = read_u32(notes, at);
    const std::size_t desc_size = read_u32(notes, at + 4);
    const std::uint32_t type = read_u32(notes, at + 8);
    const std::size_t name_at = at + 12;
    if (name_size > notes.size() - name_at) return std::nullopt;
    const std::size_t desc_at = align4(name_at + name_size);
    if (desc_at > notes.size() || desc_size > notes.size() - desc_at) return std::nullopt;
    if (type == kVersionNoteType && desc_size == 8 &&
        notes.substr(name_at, name_size) == std::string_view(kVersionNoteOwner, sizeof kVersionNoteOwner)) {
      FileVersion version{};
      for (unsigned i = 0; i < 4; ++i) {
        version[i] = static_cast<std::uint16_t>(static_cast<unsigned char>(notes[desc_at + 2 * i]) |
                                                static_cast<unsigned char>(notes[desc_at + 2 * i + 1]) << 8);
      }
      return version;
    }
    const std::size_t next = align4(desc_at + desc_size);
    if (next > notes.size()) return std::nullopt;
    at = next;
  }
  return std::nullopt;
}

std::optional<FileVersion> read_file_version(const std::string& path) {
  const std::optional<std::string> notes = read_elf_section(path, kVersionNoteSection);
  if (!notes) return std::nullopt;
  return parse_version_note(*notes);
}

std::string format_file_version(const FileVersion& version) {
  return std::to_string(version[0]) + "." + std::to_string(version[1]) + "." + std::to_string(version[2]) + "." +
         std::to_string(version[3]);
}

FileVersion parse_version_numbers(std::string_view text) {
  FileVersion numbers{};
  std::size_t at = 0;
  for (auto& number : numbers) {
    while (at < text.size() && (text[at] < '0' || text[at] > '9')) ++at;
    std::uint32_t value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
      value = (value * 10 + static_cast<std::uint32_t>(text[at] - '0')) & 0xFFFFu;
      ++at;
    }
    number = static_cast<std::uint16_t>(value);
  }
  return numbers;
}

}  // namespace norvane
