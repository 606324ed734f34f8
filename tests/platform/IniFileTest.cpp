#include "platform/IniFile.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

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

TEST_F(IniFileTest, HostileValuesAndNamesAreRefusedAndEveryOtherKeyReadsBackUnchanged) {
  const std::string before = "[sitef]\r\njwt_secret=the-key\r\ncallback_verify_tls=1\r\ndownload_url=\r\n"
                             "[other]\r\nx=1\r\n";
  write(before);
  struct Case {
    std::string section, key, value;
  };
  const std::vector<Case> cases = {
      {"sitef", "download_url", "x\r\njwt_secret=evil\r\ncallback_verify_tls=0"},
      {"sitef", "download_url", "x\njwt_secret=evil"},
      {"sitef", "download_url", "x\rjwt_secret=evil"},
      {"sitef", "download_url", std::string("x\0jwt_secret=evil", 17)},
      {"sitef", "download_url", "tab\there"},
      {"sitef", "download_url", "escape\x1b[2J"},
      {"sitef", "download_url", "delete\x7f"},
      {"sitef", "jwt_secret\r\nx", "1"},
      {"sitef", "jwt_secret=evil\r\nk", "1"},
      {"sitef", "a=b", "1"},
      {"sitef", "", "1"},
      {"sitef", " jwt_secret", "evil"},
      {"sitef", ";comment", "1"},
      {"sitef", "[sitef]", "1"},
      {"sitef]\r\njwt_secret=evil\r\n[x", "k", "1"},
      {"other]x", "k", "1"},
      {"", "k", "1"},
      {" sitef", "jwt_secret", "evil"},
  };
  norvane::TIniFile ini(path.string());
  for (const Case& c : cases) {
    SCOPED_TRACE("[" + c.section + "] " + c.key + "=" + c.value);
    EXPECT_FALSE(ini.WriteString(c.section, c.key, c.value));
    EXPECT_EQ(content(), before);
    EXPECT_EQ(ini.ReadString("sitef", "jwt_secret", ""), "the-key");
    EXPECT_EQ(ini.ReadInteger("sitef", "callback_verify_tls", -1), 1);
    EXPECT_EQ(ini.ReadString("sitef", "download_url", "<absent>"), "");
    EXPECT_EQ(ini.ReadString("other", "x", ""), "1");
  }
  // Printable text, accented letters in any encoding among it, is still written as given.
  ASSERT_TRUE(ini.WriteString("sitef", "download_url", "https://updates.example/t\xC3\xA9" "f?a=1&b=[2];3"));
  EXPECT_EQ(ini.ReadString("sitef", "download_url", ""), "https://updates.example/t\xC3\xA9" "f?a=1&b=[2];3");
  EXPECT_EQ(ini.ReadString("sitef", "jwt_secret", ""), "the-key");
}

}  // namespace
