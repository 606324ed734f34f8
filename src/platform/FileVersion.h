#pragma once
// File versions, the Linux form of a Windows version resource: an ELF note of our own
// (section ".note.norvane.version", owner "Norvane", type 1) with four 16-bit numbers, written
// into the executable and the stand-in CliSiTef library at build time (cmake/version_note.c.in).
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace norvane {

using FileVersion = std::array<std::uint16_t, 4>;  // major, minor, release, build

inline constexpr char kVersionNoteSection[] = ".note.norvane.version";
inline constexpr char kVersionNoteOwner[] = "Norvane";
inline constexpr std::uint32_t kVersionNoteType = 1;

// The version in the bytes of a note section; none when no note of ours is there. Every
// size is checked: the bytes come from a file that may be anything.
std::optional<FileVersion> parse_version_note(std::string_view notes);

// The version note of a file; none when it cannot be read or carries none.
std::optional<FileVersion> read_file_version(const std::string& path);

// "1.0.12.5".
std::string format_file_version(const FileVersion& version);

// A version text read as four numbers: skip everything that is not a decimal digit, take
// the run of digits that follows (0 when there is none), four times; each number keeps its
// low 16 bits. "1.0.12" reads as 1, 0, 12, 0 and a text without digits as 0, 0, 0, 0.
FileVersion parse_version_numbers(std::string_view text);

}  // namespace norvane
