#include "platform/IniFile.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace {

class IniFileTest : public ::testing::Test {
 protected:
  std::filesystem::path path =
      std::filesystem::temp_directory_path() / ("ini-test-" + std::to_string(::getpid()) + ".ini");
  void TearDown() override { std::filesystem::remove(path); }
  void write(const std::string& text) { std::ofstream(path, std::ios::binary) << text; }
  std::string content() {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
};

TEST_F(IniFileTest, SectionAndKeyNamesIgnoreCase) {
  write("[Sitef]\r\nServer_Port = 8443 \r\nprinter=\"EPSON TM\"\r\n");
  norvane::TIniFile ini(path.string());
  EXPECT_EQ(ini.ReadInteger("sitef", "server_port", 0), 8443);
  EXPECT_EQ(ini.ReadString("SITEF", "PRINTER", ""), "EPSON TM");
  EXPECT_EQ(ini.ReadString("other", "printer", "none"), "none");
}

TEST_F(IniFileTest, IntegersAndBooleansFallBackOnBadText) {
  write("[sitef]\nport=-5\nbad=12abc\nflag=2\noff=0\n");
  norvane::TIniFile ini(path.string());
  EXPECT_EQ(ini.ReadInteger("sitef", "port", 0), -5);
  EXPECT_EQ(ini.ReadInteger("sitef", "bad", 7), 7);
  EXPECT_EQ(ini.ReadInteger("sitef", "missing", 9), 9);
  EXPECT_TRUE(ini.ReadBool("sitef", "flag", false));
  EXPECT_FALSE(ini.ReadBool("sitef", "off", true));
}

TEST_F(IniFileTest, WritesKeepOtherLinesAndCreateTheFile) {
  norvane::TIniFile ini(path.string());
  ASSERT_TRUE(ini.WriteString("sitef", "version", "1.2"));
  write(content() + "; a comment\r\n[other]\r\nx=1\r\n");
  ASSERT_TRUE(ini.WriteBool("SITEF", "need_update", true));
  ASSERT_TRUE(ini.WriteString("Sitef", "VERSION", "1.3"));
  EXPECT_EQ(content(), "[sitef]\r\nversion=1.3\r\nneed_update=1\r\n; a comment\r\n[other]\r\nx=1\r\n");
  EXPECT_EQ(ini.ReadString("other", "x", ""), "1");
}

}  // namespace
