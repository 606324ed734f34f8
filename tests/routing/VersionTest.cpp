#include <filesystem>
#include <string>
#include <vector>

#include "RoutingFixture.h"
#include "platform/FileVersion.h"
#include "platform/IniFile.h"

namespace {

using norvane::Json;

// The stand-in library carries the project's version note.
const std::string kStandIn = SIM_LIBRARY;

class VersionTest : public RoutingTest {
 protected:
  void SetUp() override {
    RoutingTest::SetUp();
    installed_ = norvane::format_file_version(*norvane::read_file_version(kStandIn));
  }
  Json Ask(const std::string& members) {
    const auto replies = Route(R"({"route":"/version","type":"version",)" + members + "}");
    EXPECT_EQ(replies.size(), 1u);
    return replies.empty() ? Json() : norvane::parse_json_text(replies[0]).value;
  }
  std::string Key(const char* name) {
    return norvane::TIniFile(folder_ + "/" + norvane::exe_base_name() + ".ini").ReadString("sitef", name, "<absent>");
  }
  std::string installed_;
};

TEST_F(VersionTest, ParsesVersionTextsAsFourNumbers) {
  const std::vector<std::pair<std::string, norvane::FileVersion>> cases = {
      {"1.0.12", {1, 0, 12, 0}},          {"1.0.12.5", {1, 0, 12, 5}}, {"Versão não encontrada", {0, 0, 0, 0}},
      {"v2 build 7-3.9", {2, 7, 3, 9}},   {"65537.1", {1, 1, 0, 0}},  {"", {0, 0, 0, 0}},
      {"1..2", {1, 2, 0, 0}}};
  for (const auto& [text, expected] : cases) EXPECT_EQ(norvane::parse_version_numbers(text), expected) << text;
}

TEST_F(VersionTest, OfferedVersionsRecordAnUpdateOnlyForANewerBuild) {
  const norvane::FileVersion current = norvane::parse_version_numbers(installed_);
  auto offered = [&](int major_step, int build_step) {
    return std::to_string(current[0] + major_step) + ".9.9." + std::to_string(current[3] + build_step);
  };
  struct Case {
    std::string version;
    bool updating;
  };
  const std::vector<Case> cases = {
      {offered(0, 1), true},    // a newer build
      {offered(0, 0), false},   // the same build, whatever the minor and release say
      {offered(1, 0), false},   // a newer major with no newer build
      {"0.9.9." + std::to_string(current[3] + 5), current[0] == 0},  // a lower major
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.version);
    const Json reply = Ask(R"("category":"clisitef_dll","version":")" + c.version +
                           R"(","download_url":"https://updates.example/tef.zip")");
    EXPECT_EQ(norvane::write_json(reply), R"({"type":"version","category":"clisitef_dll","version":")" + installed_ +
                                              R"(","updating":)" + (c.updating ? "true" : "false") +
                                              R"(,"pdv_number":"03"})");
    EXPECT_EQ(Key("need_update"), c.updating ? "1" : "0");
    EXPECT_EQ(Key("download_url"), c.updating ? "https://updates.example/tef.zip" : "");
    EXPECT_EQ(Key("version"), c.updating ? c.version : "");
  }
}

TEST_F(VersionTest, AnswersWithoutTouchingTheConfigurationUnlessBothMembersCome) {
  EXPECT_EQ(Ask(R"("category":"clisitef_dll","version":"9.9.9.9")")["updating"], false);
  EXPECT_EQ(Key("need_update"), "<absent>");
  // The test program carries no version note.
  EXPECT_EQ(Ask(R"("category":"service_exe")")["version"], "Versão não encontrada");

  for (const auto& [pdv, text] : std::vector<std::pair<std::string, std::string>>{{"7", "07"}, {"123", "12"}}) {
    SetPdvNumber(pdv);
    EXPECT_EQ(Ask(R"("category":"service_exe")")["pdv_number"], text);
  }
  std::ofstream(folder_ + "/" + norvane::exe_base_name() + ".ini") << "[sitef]\n";
  EXPECT_EQ(Ask(R"("category":"service_exe")")["pdv_number"], "00");
}

TEST_F(VersionTest, RefusesOtherTypesAndCategories) {
  EXPECT_EQ(Route(R"({"route":"/version","type":"versao","category":"service_exe"})"),
            std::vector<std::string>{ErrorReply("Campo type diferente de version.")});
  EXPECT_EQ(Route(R"({"route":"/version","type":"version","category":"Service_exe"})"),
            std::vector<std::string>{ErrorReply("Categoria inválida. Valores permitidos [service_exe, clisitef_dll]")});
  EXPECT_EQ(Route(R"({"route":"/version","type":"version"})"),
            std::vector<std::string>{ErrorReply("Erro ao verificar versão: Campo category nao encontrado.")});
}

TEST_F(VersionTest, RefusesWhatItWouldRecordUnlessVersionAndAddressAreWellFormed) {
  const std::string ini = folder_ + "/" + norvane::exe_base_name() + ".ini";
  auto content = [&] {
    std::ifstream in(ini, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  const std::string before = content();
  const std::string bad_version = "Erro ao verificar versão: version inválida: são esperados quatro números (até 65535) separados por ponto.";
  const std::string bad_url = "Erro ao verificar versão: download_url inválida: é esperado um endereço http:// ou https:// de até "
                              "2048 caracteres, sem espaços nem caracteres de controle.";
  const std::string good_url = "https://updates.example/tef.zip";
  struct Case {
    std::string version, download_url, reply;
  };
  const std::vector<Case> cases = {
      {"1.0.0.65535", "x\r\njwt_secret=evil\r\ncallback_verify_tls=0", bad_url},
      {"1.0.0.65535", "https://a.example/\r\njwt_secret=evil", bad_url},
      {"1.0.0.65535", "https://a.example/x y", bad_url},
      {"1.0.0.65535", std::string("https://a.example/\0x", 20), bad_url},
      {"1.0.0.65535", "https://a.example/\u00e9", bad_url},
      {"1.0.0.65535", "ftp://a.example/x", bad_url},
      {"1.0.0.65535", "https://", bad_url},
      {"1.0.0.65535", "", bad_url},
      {"1.0.0.65535", "https://a.example/" + std::string(2048, 'a'), bad_url},
      {"1.0.0.65535\r\njwt_secret=evil", good_url, bad_version},
      {"1.0.12", good_url, bad_version},
      {"1.0.0.65536", good_url, bad_version},
      {"1.0.0.5.6", good_url, bad_version},
      {"1.0..5", good_url, bad_version},
      {" 1.0.0.5", good_url, bad_version},
      {"v1.0.0.5", good_url, bad_version},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.version + " " + c.download_url.substr(0, 60));
    const Json request = {{"route", "/version"}, {"type", "version"}, {"category", "clisitef_dll"},
                          {"version", c.version}, {"download_url", c.download_url}};
    EXPECT_EQ(Route(request.dump()), std::vector<std::string>{ErrorReply(c.reply)});
    EXPECT_EQ(content(), before);
  }
  // The longest address allowed and an upper-case scheme are recorded.
  const std::string longest = "HTTP://a.example/" + std::string(2048 - 17, 'a');
  EXPECT_EQ(Ask(R"("category":"clisitef_dll","version":"1.0.0.65535","download_url":")" + longest + "\"")["updating"], true);
  EXPECT_EQ(Key("download_url"), longest);
  EXPECT_EQ(Key("version"), "1.0.0.65535");
}

TEST_F(VersionTest, ReadsOnlyWholeNotesOfOurOwn) {
  const std::string note = std::string("\x08\0\0\0\x08\0\0\0\x01\0\0\0Norvane\0", 20) + std::string("\x01\0\0\0\x0c\0\x05\0", 8);
  EXPECT_EQ(norvane::parse_version_note(note), (norvane::FileVersion{1, 0, 12, 5}));
  // Another owner's note first is skipped.
  const std::string gnu = std::string("\x04\0\0\0\x04\0\0\0\x03\0\0\0GNU\0\xAA\xBB\xCC\xDD", 20);
  EXPECT_EQ(norvane::parse_version_note(gnu + note), (norvane::FileVersion{1, 0, 12, 5}));
  // Cut short anywhere, or with a type or owner of another: no version, never a bad read.
  for (std::size_t size = 0; size < note.size(); ++size) {
    EXPECT_FALSE(norvane::parse_version_note(std::string_view(note).substr(0, size)).has_value()) << size;
  }
  std::string other_type = note;
  other_type[8] = 2;
  EXPECT_FALSE(norvane::parse_version_note(other_type).has_value());
  EXPECT_FALSE(norvane::read_file_version(folder_ + "/" + norvane::exe_base_name() + ".ini").has_value());
}

}  // namespace
