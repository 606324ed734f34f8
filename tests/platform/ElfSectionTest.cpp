#include "platform/ElfSection.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace {

const std::string kStandIn = std::string(NORVANE_BINARY_DIR) + "/tools/clisitef-sim/CliSiTef32I.dll";

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

TEST(ElfSection, TellsTheStandInFromAnyOtherFile) {
  ASSERT_TRUE(std::filesystem::exists(kStandIn)) << kStandIn;
  const std::optional<std::string> marker =
      norvane::read_elf_section(kStandIn, NORVANE_STAND_IN_SECTION);
  ASSERT_TRUE(marker.has_value());
  EXPECT_EQ(std::string(marker->c_str()), "Norvane CliSiTef stand-in");
  EXPECT_TRUE(norvane::is_stand_in_library(kStandIn));

  // An ELF file without the section (this test program), and the sections every ELF has.
  EXPECT_FALSE(norvane::is_stand_in_library("/proc/self/exe"));
  EXPECT_TRUE(norvane::read_elf_section("/proc/self/exe", ".text").has_value());
}

// Whatever sits in dll/ is read before anything is loaded: a broken or foreign file must
// give "not the stand-in", never a read beyond the file or a crash.
TEST(ElfSection, DamagedOrForeignFilesHaveNoSection) {
  const std::string image = read_file(kStandIn);
  ASSERT_GT(image.size(), 4096u);
  auto with_byte = [&](size_t at, char value) {
    std::string copy = image;
    copy[at] = value;
    return copy;
  };
  struct Case {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"empty file", ""},
      {"text file", "[Simulator]\nScenario=approved\n"},
      {"ELF header only", image.substr(0, 64)},
      {"cut before the section table", image.substr(0, image.size() / 2)},
      {"32-bit class", with_byte(4, 1)},
      {"big-endian data", with_byte(5, 2)},
      {"section table far beyond the end", with_byte(0x28 + 5, 0x7f)},
      {"section count beyond the file", with_byte(0x3c + 1, 0x7f)},
  };
  const std::string path = std::filesystem::temp_directory_path() /
                           ("elf-section-test-" + std::to_string(::getpid()));
  for (const Case& c : cases) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << c.bytes;
    EXPECT_FALSE(norvane::is_stand_in_library(path)) << c.what;
  }
  std::filesystem::remove(path);
  EXPECT_FALSE(norvane::is_stand_in_library(path)) << "missing file";
}
