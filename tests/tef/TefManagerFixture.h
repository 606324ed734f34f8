#pragma once
// A facade with one manager of kind gpCliSiTef whose library calls are recorded instead of
// sent, over a scratch backup folder. The manager's response reads the few request keys the
// backup operations look at, as the CliSiTef response does with its own field codes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "tef/RiZedIzAde.h"
#include "tef/RiZedIzAdeClass.h"

namespace tef_test {

// Reads Header (000-000), DocumentoVinculado (002-000), ValorTotal in cents (003-000),
// Rede (010-000) and NSU (012-000), on top of the component's own 899 keys.
class FakeResp : public TRiZedIzAdeResp {
 public:
  void ConteudoToProperty() override {
    TRiZedIzAdeResp::ConteudoToProperty();
    fpHeader = LeInformacao(0, 0).AsString();
    fpDocumentoVinculado = LeInformacao(2, 0).AsString();
    fpValorTotal = Currency::FromCents(LeInformacao(3, 0).AsInteger());
    fpRede = LeInformacao(10, 0).AsString();
    fpNSU = LeInformacao(12, 0).AsString();
  }
};

class FakeManager : public TRiZedIzAdeClass {
 public:
  explicit FakeManager(TRiZedIzAdeDono& owner) : TRiZedIzAdeClass(owner) {
    SetName("CliSiTef");
    fpTipo = gpCliSiTef;
    fpResp = std::make_unique<FakeResp>();
    fpResp->fpTipoGP = gpCliSiTef;
  }

  using TRiZedIzAdeClass::CNC;
  using TRiZedIzAdeClass::CNF;
  using TRiZedIzAdeClass::ConfirmarTransacoesBackup;
  using TRiZedIzAdeClass::CopiarResposta;
  using TRiZedIzAdeClass::NCN;
  using TRiZedIzAdeClass::VerificaValor;

  // The manager's kind and that of the responses it reads.
  void SetTipo(TRiZedIzAdeTipo tipo) {
    fpTipo = tipo;
    fpResp->fpTipoGP = tipo;
  }
  void SetExe(const std::string& exe) { SetGPExeName(exe); }

  void ATV() override {
    calls.push_back("ATV");
    if (atv_nao_responde) throw ERiZedIzAdeGPNaoResponde("Gerenciador Padrão não está ativo");
  }
  void CNF(const std::string&, const std::string& NSU, const std::string&,
           const std::string&) override {
    calls.push_back("CNF " + NSU);
    if (falhar.count(NSU)) throw ERiZedIzAdeErro("falha na confirmação " + NSU);
  }
  void NCN(const std::string&, const std::string& NSU, const std::string&, Currency,
           const std::string&) override {
    calls.push_back("NCN " + NSU);
    if (falhar.count(NSU)) throw ERiZedIzAdeErro("falha no desfazimento " + NSU);
  }
  bool CNC(const std::string&, const std::string& NSU, TDateTime, Currency) override {
    calls.push_back("CNC " + NSU);
    const bool ok = !falhar.count(NSU);
    // A cancellation is a library function of its own: starting it empties the response,
    // which then holds the cancellation's answer.
    if (cnc_substitui_resposta) {
      fpResp->Clear();
      fpResp->Conteudo().GravaInformacao(0, 0, "CNC");
      fpResp->ConteudoToProperty();
    }
    return ok;
  }

  std::vector<std::string> calls;
  std::set<std::string> falhar;  // NSUs whose confirmation or undo fails
  bool atv_nao_responde = false;
  bool cnc_substitui_resposta = false;
  std::set<TRiZedIzAdeTipo> variantes{gpCliSiTef};  // kinds whose responses it can copy

 protected:
  std::unique_ptr<TRiZedIzAdeResp> NovaRespostaDoTipo(TRiZedIzAdeTipo tipo) const override {
    if (variantes.count(tipo)) return std::make_unique<FakeResp>();
    return TRiZedIzAdeClass::NovaRespostaDoTipo(tipo);
  }
};

struct Mensagem {
  TRiZedIzAdeOperacaoMensagem operacao;
  std::string texto;
  norvane::TimePoint quando;  // the service's clock when it was shown
};

class TefFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = std::filesystem::temp_directory_path() /
             ("tef-test-" + std::to_string(::getpid()) + "-" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder / "TEF");
    tef.SetPathBackup((folder / "TEF").string());
    tef.SetArqLOG((folder / "tef.log").string());
    manager = static_cast<FakeManager*>(&tef.AddManager(std::make_unique<FakeManager>(tef)));
    manager->SetArqLOG(tef.ArqLOG());
    tef.SetGPAtual(gpCliSiTef);
    tef.OnExibeMsg = [this](TRiZedIzAdeOperacaoMensagem op, const std::string& texto,
                            TModalResult& resultado) {
      mensagens.push_back({op, texto, norvane::now()});
      if (op == opmYesNo) resultado = resposta_sim_nao;
    };
  }
  void TearDown() override { std::filesystem::remove_all(folder); }

  std::string backup(int numero) const { return manager->NomeArquivoBackup(numero); }

  // Writes a backup file as CopiarResposta leaves it, with the given request keys.
  void write_backup(int numero, const std::string& header, const std::string& nsu,
                    bool cnf_enviado, const std::string& documento = "") {
    TRiZedIzAdeArquivo arquivo;
    arquivo.GravaInformacao(0, 0, header);
    arquivo.GravaInformacao(2, 0, documento.empty() ? nsu : documento);
    arquivo.GravaInformacao(3, 0, "1050");
    arquivo.GravaInformacao(10, 0, "REDE");
    arquivo.GravaInformacao(12, 0, nsu);
    if (cnf_enviado) arquivo.GravaInformacao(899, 1, "S");
    arquivo.GravarArquivo(backup(numero));
  }

  std::vector<std::string> backups_left() const {
    std::vector<std::string> names;
    for (const std::string& path : norvane::list_matching_files(manager->MascaraArquivosBackup()))
      names.push_back(std::filesystem::path(path).filename().string());
    return names;
  }

  static std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  std::filesystem::path folder;
  TRiZedIzAde tef;
  FakeManager* manager = nullptr;
  std::vector<Mensagem> mensagens;
  TModalResult resposta_sim_nao = mrNo;
};

}  // namespace tef_test
