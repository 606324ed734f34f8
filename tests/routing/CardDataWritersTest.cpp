// Every place the service writes text down (service log, TEF log, a payment's backup, the
// kept results) given the texts a library may send anywhere, with the card number in them:
// no file holds the number, each holds its masked form, and what is read back by its key or
// by its format comes back as written.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "datamodule/ResultStore.h"
#include "platform/ExeFolder.h"
#include "platform/GravaLog.h"
#include "tef/RiZedIzAdeLog.h"
#include "tef/RiZedIzAdeResp.h"

namespace {

namespace fs = std::filesystem;

// Hostile texts: the number, where it stands in them, and how a file must show it.
struct Hostile {
  const char* where;
  std::string text;
  std::string number;  // as written in the text
  std::string masked;  // as every file must show it
};

const std::vector<Hostile>& HostileTexts() {
  static const std::vector<Hostile> texts = {
      {"a message", "Cartao 4111111111111111 lido", "4111111111111111", "411111******1111"},
      {"a message, groups", "Cartao 5555 5555 5555 4444 lido", "5555 5555 5555 4444", "5555 55** **** 4444"},
      {"a question", "Confirma o cartao 4111-1111-1111-1111?", "4111-1111-1111-1111", "4111-11**-****-1111"},
      {"a title", "Cod. seg. do cartao 4222222222222", "4222222222222", "422222***2222"},
      {"a result field", "CARTAO 6011000000000000001", "6011000000000000001", "601100*********0001"},
      {"a receipt line", "VISA\n4000000000000000006\n", "4000000000000000006", "400000*********0006"},
  };
  return texts;
}

// Not card numbers: they stay whole wherever they are written.
const std::vector<std::string>& Innocent() {
  static const std::vector<std::string> texts = {"NSU 4111111111111112", "20260612101101", "ABCDEFAB-CDEF-ABCD-8901-234567890122"};
  return texts;
}

std::string read_file(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class CardDataWritersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() / ("norvane-card-writers-" + std::to_string(getpid()));
    fs::remove_all(folder_);
    fs::create_directories(folder_ / "TEF");
    norvane::set_exe_folder_for_tests(folder_.string() + "/");
  }
  void TearDown() override {
    norvane::set_exe_folder_for_tests("");
    fs::remove_all(folder_);
  }
  // Every file under the folder with its text.
  std::vector<std::pair<std::string, std::string>> Files() const {
    std::vector<std::pair<std::string, std::string>> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder_))
      if (entry.is_regular_file()) files.emplace_back(entry.path().string(), read_file(entry.path()));
    return files;
  }
  fs::path folder_;
};

TEST_F(CardDataWritersTest, NoFileTheServiceWritesHoldsACardNumberWhateverTheLibraryCalledIt) {
  const std::string tef_log = (folder_ / "Log" / "TEF-12-06-2026.log").string();
  TRiZedIzAdeResp backup;
  norvane::Json receipt = norvane::Json::array();
  int field = 4500;
  for (const Hostile& h : HostileTexts()) {
    GravaLog(h.text);
    GravaLogTEF(tef_log, h.text);
    backup.Conteudo().GravaInformacao(++field, 0, EscapaTexto(h.text));
    receipt.push_back(h.text);
  }
  for (const std::string& text : Innocent()) {
    GravaLog(text);
    GravaLogTEF(tef_log, text);
    backup.Conteudo().GravaInformacao(++field, 0, EscapaTexto(text));
    receipt.push_back(text);
  }
  // The host's own lines of a backup are written as given; its report's body is the
  // library's fields again, and is masked like them.
  backup.Conteudo().GravaInformacao(kIdentificacaoControle, kSequenciaRelatorioVenda, "4012888888881881");
  backup.Conteudo().GravaInformacao(kIdentificacaoControle, kSequenciaRelatorioCorpo,
                                    EscapaTexto("{\"receipt\":[\"Cartao 4111111111111111\"]}"));
  const std::string backup_file = (folder_ / "TEF" / "RiZedIzAde_CliSiTef_001.tef").string();
  backup.Conteudo().GravarArquivo(backup_file, true);

  norvane::Json result = norvane::Json::object();
  result["type"] = "result";
  result["transaction_data"] = norvane::Json::array({{{"receipt", receipt}, {"idempotency_key", "4012888888881881"}}});
  TResultStore store;
  store.SetFile((folder_ / "TEF" / "results.json").string());
  store.Add({42, "5555555555554444", result, ""});

  const auto files = Files();
  ASSERT_EQ(files.size(), 4u) << "the service log, the TEF log, the backup and the results";
  for (const auto& [file, text] : files) {
    SCOPED_TRACE(file);
    for (const Hostile& h : HostileTexts()) {
      EXPECT_EQ(text.find(h.number), std::string::npos) << h.where;
      EXPECT_NE(text.find(h.masked), std::string::npos) << h.where;
    }
    for (const std::string& innocent : Innocent()) EXPECT_NE(text.find(innocent), std::string::npos) << innocent;
  }
  EXPECT_NE(read_file(backup_file).find("899-011 = 4012888888881881"), std::string::npos);
  EXPECT_NE(read_file(backup_file).find("Cartao 411111******1111"), std::string::npos);
  EXPECT_EQ(read_file(backup_file).find("Cartao 4111111111111111"), std::string::npos);

  // A payment is found again by its key, and its kept copy has the key as the page chose it.
  TResultStore reopened;
  reopened.SetFile((folder_ / "TEF" / "results.json").string());
  TResultStore::Entry kept;
  ASSERT_TRUE(reopened.ForKey("5555555555554444", kept));
  EXPECT_EQ(kept.result["transaction_data"][0]["idempotency_key"], "4012888888881881");
}

TEST_F(CardDataWritersTest, ARequestForAnotherProgramIsWrittenAsGiven) {
  // A check's line and a company's tax id may look like card numbers; the standard manager
  // must get them unchanged.
  TRiZedIzAdeArquivo request;
  request.GravaInformacao(5, 0, "4111111111111111");
  const std::string file = (folder_ / "IntPos.001").string();
  request.GravarArquivo(file, true, /*MascararCartoes=*/false);
  EXPECT_NE(read_file(file).find("005-000 = 4111111111111111"), std::string::npos);
}

}  // namespace
