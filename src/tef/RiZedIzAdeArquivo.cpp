#include "tef/RiZedIzAdeArquivo.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <stdexcept>
#include <system_error>

#include "platform/CardData.h"
#include "platform/CodePage.h"
#include "tef/RiZedIzAdeResp.h"

namespace {

// Upper case of a Windows-1252 byte: ASCII letters and the accented letters of the page.
unsigned char upper_1252(unsigned char c) {
  if (c >= 'a' && c <= 'z') return static_cast<unsigned char>(c - 32);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<unsigned char>(c - 32);
  switch (c) {
    case 0x9A: return 0x8A;  // š
    case 0x9C: return 0x8C;  // œ
    case 0x9E: return 0x8E;  // ž
    case 0xFF: return 0x9F;  // ÿ
    default: return c;
  }
}

int compare_ignoring_case(const std::string& a, const std::string& b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const unsigned char ca = upper_1252(static_cast<unsigned char>(a[i]));
    const unsigned char cb = upper_1252(static_cast<unsigned char>(b[i]));
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

bool less_ignoring_case(const std::string& a, const std::string& b) {
  return compare_ignoring_case(a, b) < 0;
}

// A decimal integer with an optional sign that fits 16 bits; anything else gives 0.
int16_t parse_int16(const std::string& s) {
  size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  if (i == s.size()) return 0;
  int32_t v = 0;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return 0;
    v = v * 10 + (s[i] - '0');
    if (v > 32768) return 0;
  }
  if (negative) v = -v;
  return v > std::numeric_limits<int16_t>::max() ? 0 : static_cast<int16_t>(v);
}

// Position of the separator that splits a line, or npos. The line is searched with one
// blank appended, so a line ending in " =" still has a separator (and an empty value).
size_t separator_position(const std::string& line) {
  return (line + ' ').find(kSeparadorChave);
}

// A line break inside a value would split its line in two on the next load, and could
// smuggle in a line of another key; a value is one line, so breaks become blanks.
std::string one_line(std::string text) {
  for (char& c : text)
    if (c == '\r' || c == '\n') c = ' ';
  return text;
}

std::string system_error_text(int err) { return std::generic_category().message(err); }

[[noreturn]] void raise_file_error(const char* what, const std::string& name, int err) {
  throw ERiZedIzAdeArquivo(std::string(what) + "\r\n" + name + "\r\n" + system_error_text(err));
}

bool has_wildcards(const std::string& s) { return s.find_first_of("*?") != std::string::npos; }

// "*" any run of characters, "?" exactly one; everything else literally.
bool wildcard_match(const std::string& pattern, const std::string& name) {
  size_t p = 0, n = 0, star = std::string::npos, resume = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = n;
    } else if (star != std::string::npos) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

// Splits a path into the folder prefix as written (with its final "/", or empty) and the
// last component.
void split_path(const std::string& path, std::string& prefix, std::string& last) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    prefix.clear();
    last = path;
  } else {
    prefix = path.substr(0, slash + 1);
    last = path.substr(slash + 1);
  }
}

bool write_all(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

void flush_folder_of(const std::string& path) {
  std::string prefix, last;
  split_path(path, prefix, last);
  const std::string folder = prefix.empty() ? "." : prefix;
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  // Some file systems cannot flush a folder; the file itself is already on disk then, and
  // only the rename could be lost, which leaves the previous complete version.
  (void)::fsync(fd);
  ::close(fd);
}

// Splits text at CR LF, LF or CR; a break at the very end adds no empty line.
std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' || text[i] == '\n') {
      lines.emplace_back(text, start, i - start);
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      start = i + 1;
    }
  }
  if (start < text.size()) lines.emplace_back(text, start, text.size() - start);
  return lines;
}

bool is_hex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return c - 'a' + 10;
}

std::string only_digits(const std::string& text) {
  std::string out;
  for (char c : text)
    if (c >= '0' && c <= '9') out += c;
  return out;
}

}  // namespace

std::string FormataChave(int Identificacao, int Sequencia) {
  std::string id = std::to_string(Identificacao);
  if (id.size() < 3) id.insert(0, 3 - id.size(), '0');
  std::string seq = std::to_string(Sequencia);
  if (seq.size() < 3) seq.insert(0, 3 - seq.size(), '0');
  return id + "-" + seq.substr(0, 3);
}

// ---------------------------------------------------------------------------------------
// TRiZedIzAdeLinha

std::string TRiZedIzAdeLinha::Linha() const {
  if (!fLinha.empty()) return fLinha;
  if (fIdentificacao != 0)
    return FormataChave(fIdentificacao, fSequencia) + kSeparadorChave +
           fRiZedIzAdeLinhaInformacao.AsString();
  return std::string();
}

void TRiZedIzAdeLinha::SetLinha(const std::string& AValue) {
  // The text is parsed again even when it equals the stored one: callers write into the
  // shared value holder, and a later read of the same line must not return their edit.
  fLinha = AValue;
  const size_t sep = separator_position(fLinha);
  if (sep == std::string::npos) {
    fRiZedIzAdeLinhaInformacao.SetAsString(std::string());
    fIdentificacao = 0;
    fSequencia = 0;
    return;
  }
  const std::string chave = fLinha.substr(0, sep);
  fRiZedIzAdeLinhaInformacao.SetAsString(sep + 3 <= fLinha.size() ? fLinha.substr(sep + 3)
                                                                  : std::string());
  // The identification ends at the first hyphen, but never before the fourth character,
  // so a short or hyphen-less key still splits as "III-SSS".
  size_t hyphen = chave.find('-');  // 0-based
  if (hyphen == std::string::npos || hyphen < 3) hyphen = 3;
  fIdentificacao = parse_int16(chave.substr(0, std::min(hyphen, chave.size())));
  fSequencia = hyphen + 1 < chave.size() ? parse_int16(chave.substr(hyphen + 1, 3)) : 0;
}

std::string TRiZedIzAdeLinha::Chave() const {
  if (!fLinha.empty()) {
    const size_t sep = separator_position(fLinha);
    return sep == std::string::npos ? std::string() : fLinha.substr(0, sep);
  }
  if (fIdentificacao != 0) return FormataChave(fIdentificacao, fSequencia);
  return std::string();
}

// ---------------------------------------------------------------------------------------
// TRiZedIzAdeArquivo

void TRiZedIzAdeArquivo::Clear() { fStringList.clear(); }

void TRiZedIzAdeArquivo::AdicionaOrdenado(const std::string& Linha) {
  auto it = std::lower_bound(fStringList.begin(), fStringList.end(), Linha, less_ignoring_case);
  if (it != fStringList.end() && compare_ignoring_case(*it, Linha) == 0) return;
  fStringList.insert(it, Linha);
}

void TRiZedIzAdeArquivo::AssignLinhas(const std::vector<std::string>& Linhas) {
  std::vector<std::string> sorted;
  sorted.reserve(Linhas.size());
  for (const std::string& l : Linhas) sorted.push_back(one_line(l));
  // Stable, so that of lines equal but for case the first one given is the one kept.
  std::stable_sort(sorted.begin(), sorted.end(), less_ignoring_case);
  sorted.erase(std::unique(sorted.begin(), sorted.end(),
                           [](const std::string& a, const std::string& b) {
                             return compare_ignoring_case(a, b) == 0;
                           }),
               sorted.end());
  fStringList = std::move(sorted);
}

void TRiZedIzAdeArquivo::Assign(const TRiZedIzAdeArquivo& Source) {
  if (&Source != this) fStringList = Source.fStringList;
}

void TRiZedIzAdeArquivo::LeArquivo(const std::string& NomeArquivo) {
  Clear();
  if (!ArquivoExiste(NomeArquivo))
    throw ERiZedIzAdeArquivo("Arquivo: \r\n" + NomeArquivo + "\r\nnão encontrado");

  const int fd = ::open(NomeArquivo.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) raise_file_error("Erro ao ler o arquivo:", NomeArquivo, errno);
  struct FdCloser {
    int fd;
    ~FdCloser() { ::close(fd); }
  } closer{fd};

  struct stat st{};
  if (::fstat(fd, &st) != 0) raise_file_error("Erro ao ler o arquivo:", NomeArquivo, errno);
  if (S_ISDIR(st.st_mode)) raise_file_error("Erro ao ler o arquivo:", NomeArquivo, EISDIR);

  // Read up to one byte beyond the limit, so a file that grows while it is read is caught too.
  std::string text;
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      raise_file_error("Erro ao ler o arquivo:", NomeArquivo, errno);
    }
    if (n == 0) break;
    text.append(buffer, static_cast<size_t>(n));
    if (text.size() > kTamanhoMaximoArquivo)
      raise_file_error("Erro ao ler o arquivo:", NomeArquivo, EFBIG);
  }
  AssignLinhas(split_lines(text));
}

void TRiZedIzAdeArquivo::GravarArquivo(const std::string& NomeArquivo, bool DoFlushToDisk,
                                       bool MascararCartoes) {
  static const std::string proprias = std::to_string(kIdentificacaoControle) + "-";
  static const std::string corpo = FormataChave(kIdentificacaoControle, kSequenciaRelatorioCorpo);
  std::string text;
  for (const std::string& l : fStringList) {
    const bool como_esta =
        !MascararCartoes || (l.compare(0, proprias.size(), proprias) == 0 && l.compare(0, corpo.size(), corpo) != 0);
    text += como_esta ? l : norvane::scrub_card_numbers(l);
    text += "\r\n";
  }

  const std::string temporario = NomeArquivo + ".tmp";
  const int fd = ::open(temporario.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) raise_file_error("Erro ao gravar o arquivo:", NomeArquivo, errno);
  bool ok = write_all(fd, text);
  // The flush of the file is what makes a backup survive a power cut; when it fails the
  // data may never reach the disk, so the caller must hear of it.
  if (ok && DoFlushToDisk) ok = ::fsync(fd) == 0;
  int err = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (ok && ::rename(temporario.c_str(), NomeArquivo.c_str()) != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    ::unlink(temporario.c_str());
    raise_file_error("Erro ao gravar o arquivo:", NomeArquivo, err);
  }
  if (DoFlushToDisk) flush_folder_of(NomeArquivo);
}

int TRiZedIzAdeArquivo::IndiceDaChave(const std::string& Chave) const {
  const std::string prefixo = Chave + kSeparadorChave;
  for (size_t i = 0; i < fStringList.size(); ++i)
    if (fStringList[i].compare(0, prefixo.size(), prefixo) == 0) return static_cast<int>(i);
  return -1;
}

void TRiZedIzAdeArquivo::GravaInformacao(const std::string& Chave, const std::string& Informacao) {
  const std::string chave = one_line(Chave);
  const int i = IndiceDaChave(chave);
  if (i >= 0) fStringList.erase(fStringList.begin() + i);
  if (!Informacao.empty()) AdicionaOrdenado(chave + kSeparadorChave + one_line(Informacao));
}

void TRiZedIzAdeArquivo::GravaInformacao(const std::string& Chave,
                                        const TRiZedIzAdeInformacao& Informacao) {
  GravaInformacao(Chave, Informacao.AsString());
}

void TRiZedIzAdeArquivo::GravaInformacao(int Identificacao, int Sequencia,
                                        const std::string& Informacao) {
  GravaInformacao(FormataChave(Identificacao, Sequencia), Informacao);
}

void TRiZedIzAdeArquivo::GravaInformacao(int Identificacao, int Sequencia,
                                        const TRiZedIzAdeInformacao& Informacao) {
  GravaInformacao(FormataChave(Identificacao, Sequencia), Informacao.AsString());
}

TRiZedIzAdeLinha& TRiZedIzAdeArquivo::LeLinha(int Identificacao, int Sequencia) {
  const std::string chave = FormataChave(Identificacao, Sequencia);
  const int i = IndiceDaChave(chave);
  fRiZedIzAdeLinha.SetLinha(i >= 0 ? fStringList[static_cast<size_t>(i)]
                                   : chave + kSeparadorChave);
  return fRiZedIzAdeLinha;
}

TRiZedIzAdeInformacao& TRiZedIzAdeArquivo::LeInformacao(int Identificacao, int Sequencia) {
  return LeLinha(Identificacao, Sequencia).Informacao();
}

TRiZedIzAdeLinha& TRiZedIzAdeArquivo::GetLinha(int Index) {
  if (Index < 0 || Index >= Count())
    throw std::out_of_range("Índice de linha fora dos limites: " + std::to_string(Index));
  fRiZedIzAdeLinha.SetLinha(fStringList[static_cast<size_t>(Index)]);
  return fRiZedIzAdeLinha;
}

// ---------------------------------------------------------------------------------------
// TRiZedIzAdeReq

TRiZedIzAdeReq::TRiZedIzAdeReq() { Clear(); }

void TRiZedIzAdeReq::Clear() {
  fConteudo.Clear();
  fID = 0;
  fHeader.clear();
}

void TRiZedIzAdeReq::GravaInformacao(int Identificacao, int Sequencia,
                                    const std::string& Informacao) {
  fConteudo.GravaInformacao(Identificacao, Sequencia, norvane::to_windows1252(Informacao));
}

void TRiZedIzAdeReq::SetHeader(const std::string& AValue) {
  fHeader = AValue;
  GravaInformacao(0, 0, fHeader);
}

void TRiZedIzAdeReq::SetID(int32_t AValue) {
  fID = AValue;
  GravaInformacao(1, 0, fID == 0 ? std::string() : std::to_string(fID));
}

void TRiZedIzAdeReq::SetDocumentoVinculado(const std::string& AValue) {
  fDocumentoVinculado = only_digits(AValue);
  GravaInformacao(2, 0, fDocumentoVinculado);
}

void TRiZedIzAdeReq::SetValorTotal(Currency AValue) {
  fValorTotal = AValue;
  const int64_t cents = fValorTotal.ToCents();
  std::string text;
  if (cents != 0) {
    const bool negative = cents < 0;
    text = std::to_string(negative ? -static_cast<uint64_t>(cents) : static_cast<uint64_t>(cents));
    if (text.size() < 3) text.insert(0, 3 - text.size(), '0');
    if (negative) text.insert(0, 1, '-');
  }
  GravaInformacao(3, 0, text);
}

void TRiZedIzAdeReq::SetMoeda(int32_t AValue) {
  fMoeda = AValue;
  GravaInformacao(4, 0, std::to_string(fMoeda));
}

void TRiZedIzAdeReq::SetCMC7(const std::string& AValue) {
  fCMC7 = AValue;
  GravaInformacao(5, 0, fCMC7);
}

void TRiZedIzAdeReq::SetTipoPessoa(char AValue) {
  fTipoPessoa = AValue;
  // The character is single-byte already; a NUL stands for "no type" and writes no line.
  fConteudo.GravaInformacao(6, 0, fTipoPessoa == '\0' ? std::string() : std::string(1, fTipoPessoa));
}

void TRiZedIzAdeReq::SetDocumentoPessoa(const std::string& AValue) {
  fDocumentoPessoa = AValue;
  GravaInformacao(7, 0, fDocumentoPessoa);
}

void TRiZedIzAdeReq::SetDataCheque(TDateTime AValue) {
  fDataCheque = AValue;
  fInformacao.SetAsDate(fDataCheque);
  fConteudo.GravaInformacao(8, 0, fInformacao);
}

void TRiZedIzAdeReq::SetRede(const std::string& AValue) {
  fRede = AValue;
  GravaInformacao(10, 0, fRede);
}

void TRiZedIzAdeReq::SetNSU(const std::string& AValue) {
  fNSU = only_digits(AValue);
  GravaInformacao(12, 0, fNSU);
}

void TRiZedIzAdeReq::SetDataHoraTransacaoComprovante(TDateTime AValue) {
  fDataHoraTransacaoComprovante = AValue;
  fInformacao.SetAsDate(fDataHoraTransacaoComprovante);
  fConteudo.GravaInformacao(22, 0, fInformacao);
  // A date-time of 0 removes both keys, even though midnight alone would be a valid time.
  if (fDataHoraTransacaoComprovante == 0) fInformacao.SetAsString(std::string());
  else fInformacao.SetAsTime(fDataHoraTransacaoComprovante);
  fConteudo.GravaInformacao(23, 0, fInformacao);
}

void TRiZedIzAdeReq::SetFinalizacao(const std::string& AValue) {
  fFinalizacao = AValue;
  GravaInformacao(27, 0, fFinalizacao);
}

void TRiZedIzAdeReq::SetBanco(const std::string& AValue) {
  fBanco = AValue;
  GravaInformacao(33, 0, fBanco);
}

void TRiZedIzAdeReq::SetAgencia(const std::string& AValue) {
  fAgencia = AValue;
  GravaInformacao(34, 0, fAgencia);
}

void TRiZedIzAdeReq::SetAgenciaDC(const std::string& AValue) {
  fAgenciaDC = AValue;
  GravaInformacao(35, 0, fAgenciaDC);
}

void TRiZedIzAdeReq::SetConta(const std::string& AValue) {
  fConta = AValue;
  GravaInformacao(36, 0, fConta);
}

void TRiZedIzAdeReq::SetContaDC(const std::string& AValue) {
  fContaDC = AValue;
  GravaInformacao(37, 0, fContaDC);
}

void TRiZedIzAdeReq::SetCheque(const std::string& AValue) {
  fCheque = AValue;
  GravaInformacao(38, 0, fCheque);
}

void TRiZedIzAdeReq::SetChequeDC(const std::string& AValue) {
  fChequeDC = AValue;
  GravaInformacao(39, 0, fChequeDC);
}

// ---------------------------------------------------------------------------------------
// Text and file utilities

std::string EscapaTexto(const std::string& Texto) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(Texto.size());
  for (size_t i = 0; i < Texto.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(Texto[i]);
    // A backslash before "x" would read back as the start of an escape.
    const bool starts_escape = c == '\\' && i + 1 < Texto.size() && Texto[i + 1] == 'x';
    if (c < 0x20 || c >= 0x80 || starts_escape) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string DesescapaTexto(const std::string& Texto) {
  std::string out;
  out.reserve(Texto.size());
  size_t i = 0;
  while (i < Texto.size()) {
    if (Texto[i] == '\\' && i + 1 < Texto.size() && Texto[i + 1] == 'x') {
      const size_t available = std::min<size_t>(2, Texto.size() - (i + 2));
      if (available == 2 && is_hex(Texto[i + 2]) && is_hex(Texto[i + 3]))
        out += static_cast<char>(hex_value(Texto[i + 2]) * 16 + hex_value(Texto[i + 3]));
      else
        out += ' ';
      i += 2 + available;
    } else {
      out += Texto[i++];
    }
  }
  return out;
}

namespace norvane {

std::vector<std::string> list_matching_files(const std::string& pattern) {
  std::string prefix, mask;
  split_path(pattern, prefix, mask);
  std::vector<std::string> names;
  if (mask.empty()) return names;
  DIR* dir = ::opendir(prefix.empty() ? "." : prefix.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (wildcard_match(mask, name)) names.push_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  for (std::string& name : names) name = prefix + name;
  return names;
}

}  // namespace norvane

bool ArquivoExiste(const std::string& NomeArquivo) {
  std::string prefix, last;
  split_path(NomeArquivo, prefix, last);
  if (last.empty() || last == "." || last == "..") return false;
  if (has_wildcards(last)) return !norvane::list_matching_files(NomeArquivo).empty();
  struct stat st{};
  return ::lstat(NomeArquivo.c_str(), &st) == 0;
}

void ApagaArquivo(const std::string& NomeArquivo) {
  if (NomeArquivo.empty()) return;
  // Once the unlink succeeded the file is gone: one of that name seen afterwards is a new
  // file another program (a standard manager answering) has just written, not a failure.
  if (::unlink(NomeArquivo.c_str()) == 0) return;
  struct stat st{};
  if (::lstat(NomeArquivo.c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
    throw ERiZedIzAdeArquivo("Erro ao apagar o arquivo:\r\n" + NomeArquivo);
}
