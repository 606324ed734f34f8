#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "tef/RiZedIzAdeArquivo.h"

namespace {

namespace fs = std::filesystem;

// A fresh folder per test, removed afterwards.
class TefFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string templ = (fs::temp_directory_path() / "tef-files-XXXXXX").string();
    ASSERT_NE(::mkdtemp(templ.data()), nullptr);
    dir = templ;
  }
  void TearDown() override { fs::remove_all(dir); }

  std::string path(const std::string& name) const { return (dir / name).string(); }
  void write(const std::string& name, const std::string& bytes) const {
    std::ofstream(path(name), std::ios::binary) << bytes;
  }
  std::string read(const std::string& name) const {
    std::ifstream in(path(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  fs::path dir;
};

// ---------------------------------------------------------------------------------------
// Keys and lines

TEST(TefKeys, FormattedFromNumbers) {
  struct Case { int id, seq; const char* key; };
  const Case cases[] = {{3, 0, "003-000"},   {29, 12, "029-012"}, {1234, 5, "1234-005"},
                        {7, 1000, "007-100"}, {0, 0, "000-000"},   {999, 999, "999-999"},
                        {899, 1, "899-001"},  {12, 34567, "012-345"}};
  for (const auto& c : cases) EXPECT_EQ(FormataChave(c.id, c.seq), c.key) << c.id << "," << c.seq;
}

TEST(TefKeys, LinesParsedIntoKeyAndValue) {
  struct Case { const char* line; int id, seq; const char* key; const char* value; };
  const Case cases[] = {
      {"000-000 = CRT", 0, 0, "000-000", "CRT"},
      {"1234-005 = x", 1234, 5, "1234-005", "x"},
      {"007-100 = y", 7, 100, "007-100", "y"},
      {"029-012 = a = b", 29, 12, "029-012", "a = b"},   // only the first separator splits
      {"001-000 =", 1, 0, "001-000", ""},                // ends in " =": empty value
      {"001-000 = ", 1, 0, "001-000", ""},
      {"001-000  =  v ", 1, 0, "001-000 ", " v "},       // the value is not trimmed
      {"sem separador", 0, 0, "", ""},
      {"001-000=x", 0, 0, "", ""},
      {"", 0, 0, "", ""},
      {"abc-def = v", 0, 0, "abc-def", "v"},             // not numbers
      {"1-5 = v", 0, 0, "1-5", "v"},                     // hyphen before the 4th character
      {"12345 = v", 123, 5, "12345", "v"},               // no hyphen: split after 3 characters
      {"001-0005 = v", 1, 0, "001-0005", "v"},           // sequence: three characters only
      {"99999-000 = v", 0, 0, "99999-000", "v"},         // beyond 16 bits
      {" = v", 0, 0, "", "v"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("line \"") + c.line + "\"");
    TRiZedIzAdeLinha linha;
    linha.SetLinha(c.line);
    EXPECT_EQ(linha.Identificacao(), c.id);
    EXPECT_EQ(linha.Sequencia(), c.seq);
    EXPECT_EQ(linha.Chave(), c.key);
    EXPECT_EQ(linha.Informacao().AsString(), c.value);
    EXPECT_EQ(linha.Linha(), c.line);
  }
}

TEST(TefKeys, ReparsingDiscardsEditsOfTheSharedValue) {
  TRiZedIzAdeArquivo arq;
  arq.GravaInformacao(9, 0, "FF");
  arq.LeInformacao(9, 0).SetAsString("edited");
  EXPECT_EQ(arq.LeInformacao(9, 0).AsString(), "FF");
}

// ---------------------------------------------------------------------------------------
// Keyed write and read

TEST(TefArquivo, LinesStayInAscendingKeyOrder) {
  TRiZedIzAdeArquivo arq;
  arq.GravaInformacao(1, 0, "123");
  arq.GravaInformacao(0, 0, "CRT");
  arq.GravaInformacao(899, 1, "S");
  arq.GravaInformacao(29, 12, "x");
  arq.GravaInformacao(3, 0, "1550");
  EXPECT_EQ(arq.Conteudo(), (std::vector<std::string>{"000-000 = CRT", "001-000 = 123",
                                                      "003-000 = 1550", "029-012 = x",
                                                      "899-001 = S"}));
  EXPECT_EQ(arq.GetLinha(0).Identificacao(), 0);
  EXPECT_EQ(arq.GetLinha(4).Chave(), "899-001");
  EXPECT_THROW(arq.GetLinha(5), std::out_of_range);
  EXPECT_THROW(arq.GetLinha(-1), std::out_of_range);
}

TEST(TefArquivo, WritingReplacesAndEmptyValueRemoves) {
  TRiZedIzAdeArquivo arq;
  arq.GravaInformacao(1, 0, "first");
  arq.GravaInformacao("001-000", "second");
  EXPECT_EQ(arq.Conteudo(), std::vector<std::string>{"001-000 = second"});

  arq.GravaInformacao(2, 0, "keep");
  arq.GravaInformacao(1, 0, "");
  EXPECT_EQ(arq.Conteudo(), std::vector<std::string>{"002-000 = keep"});

  arq.GravaInformacao(3, 0, TRiZedIzAdeInformacao());  // absent key, empty value: no change
  EXPECT_EQ(arq.Conteudo(), std::vector<std::string>{"002-000 = keep"});

  // A key differing only in case is a different key for the keyed write, but its line
  // equals the present one ignoring case, so it is not added a second time.
  arq.GravaInformacao("abc", "v");
  arq.GravaInformacao("ABC", "v");
  EXPECT_EQ(arq.Count(), 2);

  // A value is one line: a line break would split it on the next load.
  arq.GravaInformacao(4, 0, "a\r\n005-000 = injected");
  EXPECT_EQ(arq.LeInformacao(4, 0).AsString(), "a  005-000 = injected");
  EXPECT_EQ(arq.LeInformacao(5, 0).AsString(), "");
}

TEST(TefArquivo, MissingKeyReadsAsEmptyWithTheAskedNumbers) {
  TRiZedIzAdeArquivo arq;
  arq.GravaInformacao(1, 0, "5");
  TRiZedIzAdeLinha& linha = arq.LeLinha(7, 100);
  EXPECT_EQ(linha.Identificacao(), 7);
  EXPECT_EQ(linha.Sequencia(), 100);
  EXPECT_EQ(linha.Chave(), "007-100");
  TRiZedIzAdeInformacao& info = arq.LeInformacao(22, 0);
  EXPECT_EQ(info.AsString(), "");
  EXPECT_EQ(info.AsFloat(), 0);
  EXPECT_EQ(info.AsInteger(), 0);
  EXPECT_EQ(info.AsDate(), 0);
  // The same shared object every time: each read overwrites it.
  EXPECT_EQ(&arq.LeInformacao(1, 0), &info);
  EXPECT_EQ(info.AsInteger(), 5);
}

TEST(TefArquivo, AssignCopiesTheLines) {
  TRiZedIzAdeArquivo a, b;
  a.GravaInformacao(0, 0, "CRT");
  b.GravaInformacao(9, 0, "old");
  b.Assign(a);
  EXPECT_EQ(b.Conteudo(), a.Conteudo());
  b.AssignLinhas({"b = 2", "a = 1", "A = 1", "c"});
  EXPECT_EQ(b.Conteudo(), (std::vector<std::string>{"a = 1", "b = 2", "c"}));
}

// ---------------------------------------------------------------------------------------
// Files on disk

TEST_F(TefFilesTest, WrittenFileIsSortedCrLfWindows1252) {
  TRiZedIzAdeReq req;
  req.SetID(123);
  req.SetHeader("CRT");
  req.SetDocumentoPessoa("José Açúcar");  // UTF-8 in, Windows-1252 on disk
  req.Conteudo().GravarArquivo(path("req.tef"), true);
  EXPECT_EQ(read("req.tef"),
            "000-000 = CRT\r\n001-000 = 123\r\n007-000 = Jos\xE9 A\xE7\xFA" "car\r\n");
  EXPECT_FALSE(fs::exists(path("req.tef.tmp")));

  TRiZedIzAdeArquivo vazio;
  vazio.GravarArquivo(path("req.tef"));  // replaces the longer file whole
  EXPECT_EQ(read("req.tef"), "");
}

TEST_F(TefFilesTest, ValueHoldingTheSeparatorSurvivesAFile) {
  TRiZedIzAdeArquivo arq;
  arq.GravaInformacao(29, 1, "TOTAL = R$ 10,50 = OK");
  arq.GravarArquivo(path("a.tef"));
  TRiZedIzAdeArquivo lido;
  lido.LeArquivo(path("a.tef"));
  EXPECT_EQ(lido.LeInformacao(29, 1).AsString(), "TOTAL = R$ 10,50 = OK");
}

TEST_F(TefFilesTest, MissingFileRaisesAndLeavesTheContentEmpty) {
  TRiZedIzAdeArquivo arq;
  arq.GravaInformacao(0, 0, "CRT");
  const std::string name = path("nao-existe.tef");
  try {
    arq.LeArquivo(name);
    FAIL() << "no exception";
  } catch (const ERiZedIzAdeArquivo& e) {
    EXPECT_EQ(e.what(), "Arquivo: \r\n" + name + "\r\nnão encontrado");
  }
  EXPECT_EQ(arq.Count(), 0);
}

TEST_F(TefFilesTest, SystemErrorsRaiseFileErrors) {
  TRiZedIzAdeArquivo arq;
  fs::create_directory(path("pasta"));
  arq.GravaInformacao(0, 0, "CRT");
  EXPECT_THROW(arq.LeArquivo(path("pasta")), ERiZedIzAdeArquivo);
  EXPECT_EQ(arq.Count(), 0);

  arq.GravaInformacao(0, 0, "CRT");
  EXPECT_THROW(arq.GravarArquivo(path("sem-pasta/a.tef"), true), ERiZedIzAdeArquivo);
  EXPECT_THROW(arq.GravarArquivo(path("pasta"), true), ERiZedIzAdeArquivo);
  EXPECT_EQ(arq.Count(), 1);
  EXPECT_TRUE(fs::is_directory(path("pasta")));
  EXPECT_FALSE(fs::exists(path("pasta.tmp")));
}

// What hostile or damaged files read as: no crash, and the line rules applied.
TEST_F(TefFilesTest, DamagedFilesReadByTheLineRules) {
  std::string every_byte;
  for (int b = 0; b < 256; ++b)
    if (b != '\r' && b != '\n') every_byte += static_cast<char>(b);
  const std::string mega(1 << 20, 'A');

  struct Case {
    const char* what;
    std::string bytes;
    std::vector<std::string> lines;
    std::vector<std::pair<std::pair<int, int>, std::string>> values;
  };
  const std::vector<Case> cases = {
      {"1 MiB line", "001-000 = " + mega + "\r\n000-000 = CRT\r\n",
       {"000-000 = CRT", "001-000 = " + mega},
       {{{1, 0}, mega}, {{0, 0}, "CRT"}}},
      {"1 MiB line without a separator", mega, {mega}, {{{0, 0}, ""}}},
      {"no separator anywhere", "000-000=CRT\r\nCRT\r\n", {"000-000=CRT", "CRT"}, {{{0, 0}, ""}}},
      {"keys that are not numbers", "abc-def = 1\r\nxyz = 2\r\n001-000 = 3\r\n",
       {"001-000 = 3", "abc-def = 1", "xyz = 2"},
       {{{1, 0}, "3"}, {{0, 0}, ""}}},
      {"binary bytes", "001-000 = " + every_byte + "\r\n", {"001-000 = " + every_byte},
       {{{1, 0}, every_byte}}},
      {"truncated last line", "000-000 = CRT\r\n001-000 = 12", {"000-000 = CRT", "001-000 = 12"},
       {{{1, 0}, "12"}}},
      {"truncated inside the separator", "000-000 = CRT\r\n001-000 =", {"000-000 = CRT", "001-000 ="},
       {{{1, 0}, ""}}},
      {"LF, CR and mixed breaks", "002-000 = b\n000-000 = a\r001-000 = c\r\n\r\n",
       {"", "000-000 = a", "001-000 = c", "002-000 = b"},
       {{{0, 0}, "a"}, {{1, 0}, "c"}, {{2, 0}, "b"}}},
      {"duplicate lines ignoring case", "abc = 1\r\nABC = 1\r\nabc = 1\r\n", {"abc = 1"}, {}},
      {"same key twice: first match wins", "001-000 = b\r\n001-000 = a\r\n",
       {"001-000 = a", "001-000 = b"}, {{{1, 0}, "a"}}},
      {"empty file", "", {}, {{{0, 0}, ""}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    write("damaged.tef", c.bytes);
    TRiZedIzAdeArquivo arq;
    ASSERT_NO_THROW(arq.LeArquivo(path("damaged.tef")));
    EXPECT_EQ(arq.Conteudo(), c.lines);
    for (const auto& [key, value] : c.values)
      EXPECT_EQ(arq.LeInformacao(key.first, key.second).AsString(), value);
    for (int i = 0; i < arq.Count(); ++i) arq.GetLinha(i);
  }
}

TEST_F(TefFilesTest, OversizedFileIsRefused) {
  {
    const int fd = ::open(path("big.tef").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, TRiZedIzAdeArquivo::kTamanhoMaximoArquivo + 1), 0);
    ::close(fd);
  }
  TRiZedIzAdeArquivo arq;
  EXPECT_THROW(arq.LeArquivo(path("big.tef")), ERiZedIzAdeArquivo);
  EXPECT_EQ(arq.Count(), 0);
}

// ---------------------------------------------------------------------------------------
// The request record

TEST(TefReq, PropertiesWriteTheirKeys) {
  TDateTime dia = 0, momento = 0;
  ASSERT_TRUE(TryEncodeDate(2024, 12, 31, dia));
  ASSERT_TRUE(TryEncodeDateTime(2024, 3, 9, 8, 5, 1, 0, momento));
  using Values = std::vector<std::pair<int, std::optional<std::string>>>;  // nullopt: absent
  struct Case {
    const char* what;
    std::function<void(TRiZedIzAdeReq&)> set;
    Values expected;
  };
  const std::vector<Case> cases = {
      {"Header", [](auto& r) { r.SetHeader("CRT"); }, {{0, "CRT"}}},
      {"ID", [](auto& r) { r.SetID(42); }, {{1, "42"}}},
      {"ID 0", [](auto& r) { r.SetID(7); r.SetID(0); }, {{1, std::nullopt}}},
      {"DocumentoVinculado digits only", [](auto& r) { r.SetDocumentoVinculado("12.345-6"); },
       {{2, "123456"}}},
      {"DocumentoVinculado without digits", [](auto& r) {
         r.SetDocumentoVinculado("1");
         r.SetDocumentoVinculado("a.b-c");
       }, {{2, std::nullopt}}},
      {"ValorTotal 15.50", [](auto& r) { r.SetValorTotal(Currency::FromCents(1550)); }, {{3, "1550"}}},
      {"ValorTotal 0.01", [](auto& r) { r.SetValorTotal(Currency::FromCents(1)); }, {{3, "001"}}},
      {"ValorTotal 0.005", [](auto& r) { r.SetValorTotal(Currency::FromRaw(50)); }, {{3, "001"}}},
      {"ValorTotal 0", [](auto& r) {
         r.SetValorTotal(Currency::FromCents(5));
         r.SetValorTotal(Currency());
       }, {{3, std::nullopt}}},
      {"Moeda 0", [](auto& r) { r.SetMoeda(0); }, {{4, "0"}}},
      {"CMC7", [](auto& r) { r.SetCMC7("<1234<5678>"); }, {{5, "<1234<5678>"}}},
      {"TipoPessoa", [](auto& r) { r.SetTipoPessoa('F'); }, {{6, "F"}}},
      {"DocumentoPessoa", [](auto& r) { r.SetDocumentoPessoa("123.456"); }, {{7, "123.456"}}},
      {"DataCheque", [dia](auto& r) { r.SetDataCheque(dia); }, {{8, "31122024"}}},
      {"DataCheque 0", [dia](auto& r) { r.SetDataCheque(dia); r.SetDataCheque(0); },
       {{8, std::nullopt}}},
      {"Rede", [](auto& r) { r.SetRede("CIELO"); }, {{10, "CIELO"}}},
      {"NSU digits only", [](auto& r) { r.SetNSU(" 00.12-3 "); }, {{12, "00123"}}},
      {"DataHoraTransacaoComprovante", [momento](auto& r) { r.SetDataHoraTransacaoComprovante(momento); },
       {{22, "09032024"}, {23, "080501"}}},
      {"DataHoraTransacaoComprovante 0", [momento](auto& r) {
         r.SetDataHoraTransacaoComprovante(momento);
         r.SetDataHoraTransacaoComprovante(0);
       }, {{22, std::nullopt}, {23, std::nullopt}}},
      {"Finalizacao", [](auto& r) { r.SetFinalizacao("1234;5"); }, {{27, "1234;5"}}},
      {"cheque data", [](auto& r) {
         r.SetBanco("001"); r.SetAgencia("1234"); r.SetAgenciaDC("5"); r.SetConta("9876");
         r.SetContaDC("0"); r.SetCheque("000123"); r.SetChequeDC("X");
       }, {{33, "001"}, {34, "1234"}, {35, "5"}, {36, "9876"}, {37, "0"}, {38, "000123"}, {39, "X"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TRiZedIzAdeReq req;
    c.set(req);
    for (const auto& [id, value] : c.expected) {
      SCOPED_TRACE(id);
      const std::string lido = req.Conteudo().LeInformacao(id, 0).AsString();
      if (value) EXPECT_EQ(lido, *value);
      else EXPECT_EQ(lido, "");
    }
    EXPECT_EQ(static_cast<size_t>(req.Conteudo().Count()),
              std::count_if(c.expected.begin(), c.expected.end(),
                            [](const auto& e) { return e.second.has_value(); }));
  }
}

TEST(TefReq, FieldsKeepTheStoredForm) {
  TRiZedIzAdeReq req;
  req.SetNSU("12.34");
  req.SetDocumentoVinculado("9-8");
  req.SetRede("REDE");
  req.SetHeader("CNC");
  req.SetID(9);
  EXPECT_EQ(req.NSU(), "1234");
  EXPECT_EQ(req.DocumentoVinculado(), "98");
  req.Clear();
  EXPECT_EQ(req.Conteudo().Count(), 0);
  EXPECT_EQ(req.ID(), 0);
  EXPECT_EQ(req.Header(), "");
  EXPECT_EQ(req.Rede(), "REDE");  // the other fields keep their values
  req.GravaInformacao(40, 0, "ação");
  EXPECT_EQ(req.Conteudo().LeInformacao(40, 0).AsString(), "a\xE7\xE3o");
}

// ---------------------------------------------------------------------------------------
// Escaping

TEST(TefEscape, EscapeAndUnescapeCases) {
  struct Case { std::string plain, escaped; };
  const Case cases[] = {
      {"\r\n", "\\x0D\\x0A"},
      {"\xE7", "\\xE7"},
      {"Via do cliente", "Via do cliente"},
      {std::string("a\0b", 3), "a\\x00b"},
      {"\x7F\x80\xFF", "\x7F\\x80\\xFF"},
      {"\\x41", "\\x5Cx41"},   // a backslash before x is escaped, so it reads back
      {"C:\\dir", "C:\\dir"},  // any other backslash stays
      {"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EscapaTexto(c.plain), c.escaped);
    EXPECT_EQ(DesescapaTexto(c.escaped), c.plain);
  }
  struct Loose { const char* text; std::string plain; };
  const Loose loose[] = {
      {"\\xZZ", " "},          // not hexadecimal: a blank
      {"a\\xG1b", "a b"},
      {"\\x4", " "},           // too few characters
      {"end\\x", "end "},
      {"\\x0a\\x0D", "\n\r"},  // either case of hex digit
      {"\\x41\\x41\\x42", "AAB"},
      {"\\\\x41", "\\A"},
      {"x\\y", "x\\y"},
  };
  for (const auto& l : loose) EXPECT_EQ(DesescapaTexto(l.text), l.plain) << l.text;
}

TEST(TefEscape, UnescapeUndoesEscapeForEverySingleByteText) {
  auto round_trip = [](const std::string& s) {
    const std::string escaped = EscapaTexto(s);
    for (unsigned char c : escaped) ASSERT_TRUE(c >= 0x20 && c < 0x80) << int(c);
    ASSERT_EQ(DesescapaTexto(escaped), s);
  };
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  round_trip(all);
  for (int a = 0; a < 256; ++a)
    for (int b = 0; b < 256; ++b) round_trip({static_cast<char>(a), static_cast<char>(b)});
  // Random texts drawn mostly from the characters that make escapes.
  std::mt19937 rng(20261210);
  const std::string tricky = "\\xX0123456789ABCDEFabcdef\r\n";
  for (int i = 0; i < 20000; ++i) {
    std::string s(rng() % 24, ' ');
    for (char& c : s)
      c = rng() % 3 == 0 ? static_cast<char>(rng() % 256) : tricky[rng() % tricky.size()];
    round_trip(s);
  }
}

// ---------------------------------------------------------------------------------------
// Existence and deletion

TEST_F(TefFilesTest, ArquivoExisteMatchesPatterns) {
  write("RiZedIzAde_CliSiTef_003.tef", "x");
  write("RiZedIzAde_CliSiTef_001.tef", "x");
  write("outro.txt", "x");
  fs::create_directory(path("pasta"));
  struct Case { std::string pattern; bool exists; };
  const Case cases[] = {
      {"RiZedIzAde_CliSiTef_001.tef", true}, {"RiZedIzAde_CliSiTef_002.tef", false},
      {"RiZedIzAde_CliSiTef_*.tef", true},   {"RiZedIzAde_CliSiTef_00?.tef", true},
      {"RiZedIzAde_CliSiTef_0?2.tef", false}, {"*", true},
      {"*.TEF", false},                      {"pasta", true},
      {"pas*", true},                        {"nada*", false},
      {".", false},                          {"..", false},
      {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(ArquivoExiste(path(c.pattern)), c.exists) << c.pattern;
  EXPECT_FALSE(ArquivoExiste(path("sem-pasta/*.tef")));
  EXPECT_EQ(norvane::list_matching_files(path("RiZedIzAde_CliSiTef_*.tef")),
            (std::vector<std::string>{path("RiZedIzAde_CliSiTef_001.tef"),
                                      path("RiZedIzAde_CliSiTef_003.tef")}));
}

TEST_F(TefFilesTest, ApagaArquivoDeletesAndReportsSurvivors) {
  write("a.tef", "x");
  ApagaArquivo(path("a.tef"));
  EXPECT_FALSE(fs::exists(path("a.tef")));
  EXPECT_NO_THROW(ApagaArquivo(path("a.tef")));  // already gone
  EXPECT_NO_THROW(ApagaArquivo(""));
  // A file the system will not delete, whoever runs the test.
  try {
    ApagaArquivo("/proc/version");
    FAIL() << "no exception";
  } catch (const ERiZedIzAdeArquivo& e) {
    EXPECT_STREQ(e.what(), "Erro ao apagar o arquivo:\r\n/proc/version");
  }
}

}  // namespace
