#include "platform/IniFile.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>

#include <fcntl.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
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

// Files left beside the INI (a temporary file a write did not clean up).
std::vector<std::string> LeftBeside(const std::filesystem::path& path) {
  std::vector<std::string> left;
  for (const auto& entry : std::filesystem::directory_iterator(path.parent_path())) {
    const std::string name = entry.path().filename().string();
    if (name != path.filename().string() && name.rfind(path.filename().string(), 0) == 0) left.push_back(name);
  }
  return left;
}

TEST_F(IniFileTest, AWriteTheDiskCannotTakeLeavesTheOldFileWhole) {
  const std::string before = "[sitef]\r\njwt_secret=the-key\r\npdv_number=4\r\n";
  write(before);
  norvane::TIniFile ini(path.string());
  // A file-size limit stands for the full disk: the write fails part-way, as it would there.
  struct rlimit old {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old;
  small.rlim_cur = 4096;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool written = ini.WriteString("sitef", "download_url", "https://updates.example/" + std::string(8000, 'a'));
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, old_handler);

  EXPECT_FALSE(written);
  EXPECT_EQ(content(), before);
  EXPECT_EQ(LeftBeside(path), std::vector<std::string>{});
}

TEST_F(IniFileTest, AWriteKeepsTheFilesModeAndOwner) {
  write("[sitef]\r\njwt_secret=the-key\r\n");
  std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                                         std::filesystem::perms::group_read);
  struct stat before {};
  ASSERT_EQ(::stat(path.c_str(), &before), 0);
  norvane::TIniFile ini(path.string());
  ASSERT_TRUE(ini.WriteString("sitef", "version", "1.2.3.4"));
  struct stat after {};
  ASSERT_EQ(::stat(path.c_str(), &after), 0);
  EXPECT_EQ(after.st_mode & 07777, 0640u);
  EXPECT_EQ(after.st_uid, before.st_uid);
  EXPECT_EQ(after.st_gid, before.st_gid);
  EXPECT_NE(after.st_ino, before.st_ino) << "written in place, not replaced";
  EXPECT_EQ(ini.ReadString("sitef", "jwt_secret", ""), "the-key");
  EXPECT_EQ(LeftBeside(path), std::vector<std::string>{});
}

TEST_F(IniFileTest, AFileThatCannotBeReadIsNeverWrittenOverAndGivesNoValues) {
  // What a rewrite cut short leaves (nothing, or blocks of zeros) and a file that is no file.
  const struct {
    const char* what;
    std::string text;
    bool folder;
  } cases[] = {
      {"empty", "", false},
      {"zeros", std::string("[sitef]\r\npdv_number=4\r\n") + std::string(32, '\0'), false},
      {"a folder", "", true},
  };
  norvane::TIniFile ini(path.string());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(path);
    if (c.folder) {
      std::filesystem::create_directory(path);
    } else {
      write(c.text);
    }
    EXPECT_NE(ini.Snapshot().Problem(), "");
    EXPECT_EQ(ini.ReadInteger("sitef", "pdv_number", -1), -1);
    EXPECT_FALSE(ini.WriteBool("sitef", "need_update", true));
    if (!c.folder) {
      EXPECT_EQ(content(), c.text);
    }
    EXPECT_EQ(LeftBeside(path), std::vector<std::string>{});
  }
  std::filesystem::remove_all(path);
  EXPECT_EQ(ini.Snapshot().Problem(), "") << "a missing file is no problem: it has no keys";
}

// Reads of a file left alone are served from memory: every way a file changes must still
// be seen, even one that keeps its size and its modification time.
TEST_F(IniFileTest, EveryChangeOfTheFileIsReadEvenWhenItsSizeOrTimeStaysTheSame) {
  const std::filesystem::path beside = path.string() + ".new";
  const std::filesystem::path linked = path.string() + ".old";
  // Modified long ago (always the same instant): what is read of it is kept.
  const auto set_old_time = [](const std::filesystem::path& file) {
    const timespec times[2] = {{0, UTIME_OMIT}, {1700000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
  };
  const struct {
    const char* what;
    std::function<void()> change;
    int expected;  // -1: no value (a problem, or no file)
    bool problem;
  } cases[] = {
      {"edited in place, same size", [&] { write("[sitef]\npdv_number=2\n"); }, 2, false},
      {"grown, its time put back", [&] { write("[sitef]\npdv_number=22\n"); set_old_time(path); }, 22, false},
      {"replaced by a rename, same size and time",
       [&] {
         // The old file kept by a link, so that the new one cannot get its inode.
         std::filesystem::create_hard_link(path, linked);
         std::ofstream(beside, std::ios::binary) << "[sitef]\npdv_number=3\n";
         set_old_time(beside);
         std::filesystem::rename(beside, path);
       },
       3, false},
      {"emptied, its time put back", [&] { write(""); set_old_time(path); }, -1, true},
      {"removed", [&] { std::filesystem::remove(path); }, -1, false},
  };
  norvane::TIniFile ini(path.string());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(linked);
    write("[sitef]\npdv_number=1\n");
    set_old_time(path);
    EXPECT_EQ(ini.ReadInteger("sitef", "pdv_number", -1), 1);
    EXPECT_EQ(ini.ReadInteger("sitef", "pdv_number", -1), 1);
    c.change();
    EXPECT_EQ(ini.ReadInteger("sitef", "pdv_number", -1), c.expected);
    EXPECT_EQ(ini.Snapshot().Problem().empty(), !c.problem);
  }
  std::filesystem::remove(linked);
}

TEST_F(IniFileTest, AWriteOfTheValueTheFileHoldsLeavesTheFileAlone) {
  write("[sitef]\r\nurl=a\r\nspaced = b\r\n");
  norvane::TIniFile ini(path.string());
  const auto inode = [&] {
    struct stat info {};
    ::stat(path.c_str(), &info);
    return info.st_ino;
  };
  const auto before = inode();
  EXPECT_TRUE(ini.WriteString("sitef", "url", "a"));
  EXPECT_EQ(inode(), before);
  // Written otherwise than a write would: written again, as a write writes it.
  EXPECT_TRUE(ini.WriteString("sitef", "spaced", "b"));
  EXPECT_EQ(content(), "[sitef]\r\nurl=a\r\nspaced=b\r\n");
  EXPECT_TRUE(ini.WriteString("sitef", "url", "c"));
  EXPECT_EQ(ini.ReadString("sitef", "url", ""), "c");
}

TEST_F(IniFileTest, AReadPassSeesOneVersionOfTheFileAndItsOwnWrites) {
  write("[sitef]\npdv_number=1\n");
  norvane::TIniFile ini(path.string());
  {
    const norvane::TIniReadPass pass;
    EXPECT_EQ(ini.ReadInteger("sitef", "pdv_number", -1), 1);
    write("[sitef]\npdv_number=2\n");  // by someone else, during the pass
    {
      const norvane::TIniReadPass nested;
      EXPECT_EQ(ini.ReadInteger("sitef", "pdv_number", -1), 1);
    }
    EXPECT_EQ(ini.ReadInteger("sitef", "pdv_number", -1), 1);
    // A write through the file replaces what the pass read: the file as written is read.
    ASSERT_TRUE(ini.WriteString("sitef", "url", "a"));
    EXPECT_EQ(ini.ReadInteger("sitef", "pdv_number", -1), 2);
    EXPECT_EQ(ini.ReadString("sitef", "url", ""), "a");
  }
  write("[sitef]\npdv_number=3\n");
  EXPECT_EQ(ini.ReadInteger("sitef", "pdv_number", -1), 3);  // the pass is over

  // A write during a pass goes by the file as it is now, not by what the pass read.
  write("[sitef]\nurl=a\n");
  {
    const norvane::TIniReadPass pass;
    EXPECT_EQ(ini.ReadString("sitef", "url", ""), "a");
    write("[sitef]\nurl=b\n");  // by someone else, during the pass
    ASSERT_TRUE(ini.WriteString("sitef", "url", "a"));
  }
  EXPECT_EQ(ini.ReadString("sitef", "url", ""), "a");

  // A file with a problem is looked at again at each read, pass or not.
  write("");
  const norvane::TIniReadPass pass;
  EXPECT_FALSE(ini.Snapshot().Problem().empty());
  write("[sitef]\npdv_number=4\n");
  EXPECT_EQ(ini.ReadInteger("sitef", "pdv_number", -1), 4);
}

}  // namespace
