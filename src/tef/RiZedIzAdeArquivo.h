#pragma once
// Key-value TEF files: lines such as "000-000 = CRT", held sorted, read and written by key.
// Requests, responses and the backup copies of unconfirmed responses all use this layer.
// Lines and values are single-byte (Windows-1252) text; see RiZedIzAdeBase.h.
#include <cstdint>
#include <string>
#include <vector>

#include "tef/RiZedIzAdeBase.h"
#include "tef/RiZedIzAdeTypes.h"

// The separator between key and value. Only its first occurrence splits a line, so a
// value may itself contain it.
inline constexpr const char* kSeparadorChave = " = ";

// The key of an identification and a sequence: "003-000", "029-012", "1234-005". The
// identification keeps all its digits (at least three); the sequence is cut or padded to
// exactly three characters (identification 7, sequence 1000 gives "007-100").
std::string FormataChave(int Identificacao, int Sequencia);

// One line, parsed into its key parts and its value.
class TRiZedIzAdeLinha {
 public:
  TRiZedIzAdeLinha() = default;
  virtual ~TRiZedIzAdeLinha() = default;
  TRiZedIzAdeLinha(const TRiZedIzAdeLinha&) = delete;
  TRiZedIzAdeLinha& operator=(const TRiZedIzAdeLinha&) = delete;

  // The line text as last set (or, when none was set and the identification is not 0,
  // the formatted key, " = " and the value).
  virtual std::string Linha() const;
  // Parses the text: key before the first " = ", value after it, taken as it stands. A
  // line without a separator has identification 0, sequence 0 and an empty value; a
  // line that ends in " =" has an empty value.
  virtual void SetLinha(const std::string& AValue);

  int16_t Identificacao() const { return fIdentificacao; }
  int16_t Sequencia() const { return fSequencia; }
  // The key text: the text before the first " = " of the line.
  std::string Chave() const;
  // The value, as a typed value holder owned by the line.
  TRiZedIzAdeInformacao& Informacao() { return fRiZedIzAdeLinhaInformacao; }
  const TRiZedIzAdeInformacao& Informacao() const { return fRiZedIzAdeLinhaInformacao; }

 private:
  int16_t fIdentificacao = 0;
  TRiZedIzAdeInformacao fRiZedIzAdeLinhaInformacao;
  std::string fLinha;
  int16_t fSequencia = 0;
};

// An ordered set of lines, readable from and writable to a file, with keyed read and
// write. The lines are always sorted by their whole text without regard to case, and a
// line equal (ignoring case) to one present is not added again.
class TRiZedIzAdeArquivo {
 public:
  // Files larger than this are refused when loading: TEF files hold a few hundred lines.
  static constexpr std::uintmax_t kTamanhoMaximoArquivo = 64u * 1024 * 1024;

  TRiZedIzAdeArquivo() = default;
  TRiZedIzAdeArquivo(const TRiZedIzAdeArquivo&) = delete;
  TRiZedIzAdeArquivo& operator=(const TRiZedIzAdeArquivo&) = delete;

  void Clear();
  // Replaces the lines by those of a file (split at CR LF, LF or CR; re-sorted). A name
  // that matches no directory entry raises ERiZedIzAdeArquivo "Arquivo: \r\n<name>\r\nnão
  // encontrado"; a read error raises ERiZedIzAdeArquivo too. The content is empty after
  // any failure.
  void LeArquivo(const std::string& NomeArquivo);
  // Writes the lines, each followed by CR LF, replacing the file. The new text goes to a
  // temporary file beside it that is renamed over the old one, so a crash leaves either
  // the old file or the new one, never a truncated one. With DoFlushToDisk the file and
  // its folder are flushed to disk before returning. Errors raise ERiZedIzAdeArquivo and
  // leave the old file as it was.
  // With MascararCartoes (backups) a card number anywhere in a value is written masked
  // (norvane::scrub_card_numbers), but for the component's own lines (identification 899)
  // other than the report's body: they hold what the host gave, never a library's text,
  // and ids among them must read back exactly. A request for another program is written
  // as it is: it carries a document or a check's line that must reach it unchanged.
  void GravarArquivo(const std::string& NomeArquivo, bool DoFlushToDisk = false,
                     bool MascararCartoes = true);

  // Keyed write: removes the line of that key (case-sensitive), then adds key " = " value
  // at its sorted place unless the value is empty. So an empty value removes the key.
  void GravaInformacao(const std::string& Chave, const std::string& Informacao);
  void GravaInformacao(const std::string& Chave, const TRiZedIzAdeInformacao& Informacao);
  void GravaInformacao(int Identificacao, int Sequencia, const std::string& Informacao);
  void GravaInformacao(int Identificacao, int Sequencia, const TRiZedIzAdeInformacao& Informacao);

  // Keyed read. The returned objects belong to this file and are the same object every
  // time: each read overwrites them. A missing key gives the key with an empty value.
  TRiZedIzAdeLinha& LeLinha(int Identificacao, int Sequencia);
  TRiZedIzAdeInformacao& LeInformacao(int Identificacao, int Sequencia);
  // The line at Index (0-based, sorted order), in the same shared object; raises
  // std::out_of_range for an index outside the list.
  TRiZedIzAdeLinha& GetLinha(int Index);

  int Count() const { return static_cast<int>(fStringList.size()); }
  // The sorted lines themselves.
  const std::vector<std::string>& Conteudo() const { return fStringList; }
  // Replaces the lines by a copy of another file's lines.
  void Assign(const TRiZedIzAdeArquivo& Source);
  // Replaces the lines by the given ones, sorted and without case-insensitive duplicates.
  void AssignLinhas(const std::vector<std::string>& Linhas);

 private:
  // Index of the first line that starts with Chave + " = ", or -1.
  int IndiceDaChave(const std::string& Chave) const;
  void AdicionaOrdenado(const std::string& Linha);

  std::vector<std::string> fStringList;
  TRiZedIzAdeLinha fRiZedIzAdeLinha;
};

// The request record: each property stores its field and writes its own key (sequence 0)
// into Conteudo; where a value form is empty the key is removed. String properties are
// UTF-8 and reach the file converted to single-byte text.
class TRiZedIzAdeReq {
 public:
  TRiZedIzAdeReq();
  virtual ~TRiZedIzAdeReq() = default;
  TRiZedIzAdeReq(const TRiZedIzAdeReq&) = delete;
  TRiZedIzAdeReq& operator=(const TRiZedIzAdeReq&) = delete;

  // Removes every line, sets ID to 0 and Header to empty; the other fields keep their values.
  void Clear();
  // Writes one value (UTF-8, converted to single-byte text) under a numbered key.
  void GravaInformacao(int Identificacao, int Sequencia, const std::string& Informacao);

  TRiZedIzAdeArquivo& Conteudo() { return fConteudo; }
  const TRiZedIzAdeArquivo& Conteudo() const { return fConteudo; }

  // 000-000: the operation code ("CRT", "ADM", "CNC", ...).
  const std::string& Header() const { return fHeader; }
  void SetHeader(const std::string& AValue);
  // 001-000, decimal; 0 removes the key.
  int32_t ID() const { return fID; }
  void SetID(int32_t AValue);
  // 002-000, only the digits of the given text (field and file alike).
  const std::string& DocumentoVinculado() const { return fDocumentoVinculado; }
  void SetDocumentoVinculado(const std::string& AValue);
  // 003-000, cents halves away from zero, at least three digits; 0 removes the key.
  Currency ValorTotal() const { return fValorTotal; }
  void SetValorTotal(Currency AValue);
  // 004-000, decimal, 0 included.
  int32_t Moeda() const { return fMoeda; }
  void SetMoeda(int32_t AValue);
  // 005-000.
  const std::string& CMC7() const { return fCMC7; }
  void SetCMC7(const std::string& AValue);
  // 006-000, one single-byte character; '\0' removes the key.
  char TipoPessoa() const { return fTipoPessoa; }
  void SetTipoPessoa(char AValue);
  // 007-000.
  const std::string& DocumentoPessoa() const { return fDocumentoPessoa; }
  void SetDocumentoPessoa(const std::string& AValue);
  // 008-000, "DDMMYYYY"; 0 removes the key.
  TDateTime DataCheque() const { return fDataCheque; }
  void SetDataCheque(TDateTime AValue);
  // 010-000.
  const std::string& Rede() const { return fRede; }
  void SetRede(const std::string& AValue);
  // 012-000, only the digits of the given text (field and file alike).
  const std::string& NSU() const { return fNSU; }
  void SetNSU(const std::string& AValue);
  // 022-000 "DDMMYYYY" and 023-000 "HHNNSS"; 0 removes both.
  TDateTime DataHoraTransacaoComprovante() const { return fDataHoraTransacaoComprovante; }
  void SetDataHoraTransacaoComprovante(TDateTime AValue);
  // 027-000.
  const std::string& Finalizacao() const { return fFinalizacao; }
  void SetFinalizacao(const std::string& AValue);
  // 033-000 to 039-000: cheque data.
  const std::string& Banco() const { return fBanco; }
  void SetBanco(const std::string& AValue);
  const std::string& Agencia() const { return fAgencia; }
  void SetAgencia(const std::string& AValue);
  const std::string& AgenciaDC() const { return fAgenciaDC; }
  void SetAgenciaDC(const std::string& AValue);
  const std::string& Conta() const { return fConta; }
  void SetConta(const std::string& AValue);
  const std::string& ContaDC() const { return fContaDC; }
  void SetContaDC(const std::string& AValue);
  const std::string& Cheque() const { return fCheque; }
  void SetCheque(const std::string& AValue);
  const std::string& ChequeDC() const { return fChequeDC; }
  void SetChequeDC(const std::string& AValue);

 private:
  std::string fAgencia;
  std::string fAgenciaDC;
  std::string fBanco;
  std::string fCheque;
  std::string fChequeDC;
  std::string fCMC7;
  std::string fConta;
  std::string fContaDC;
  TRiZedIzAdeArquivo fConteudo;
  TDateTime fDataCheque = 0;
  TDateTime fDataHoraTransacaoComprovante = 0;
  std::string fDocumentoPessoa;
  std::string fFinalizacao;
  TRiZedIzAdeInformacao fInformacao;  // scratch holder for typed conversions
  std::string fHeader;
  int32_t fID = 0;
  int32_t fMoeda = 0;
  std::string fNSU;
  std::string fRede;
  char fTipoPessoa = '\0';
  Currency fValorTotal;
  std::string fDocumentoVinculado;
};

// Replaces every byte below 0x20 or of 0x80 and above by "\x" and two upper-case hex
// digits, so the text is 7-bit ("\n" -> "\x0A", "ç" (0xE7) -> "\xE7"). A backslash that is
// followed by "x" is escaped too (as "\x5C"), so that DesescapaTexto(EscapaTexto(s)) == s
// for every single-byte text.
std::string EscapaTexto(const std::string& Texto);
// Replaces each "\x" and the two characters after it by the byte they name in hex; a pair
// that is not hex (or fewer than two characters left) gives a blank. One pass from left to
// right, so bytes produced by a replacement are never read again as part of an escape.
std::string DesescapaTexto(const std::string& Texto);

// True when at least one directory entry other than "." and ".." matches the path; the
// last component may hold the wildcards "*" and "?". Files and folders alike.
bool ArquivoExiste(const std::string& NomeArquivo);
// Deletes a file. Nothing for an empty path or a missing file; raises ERiZedIzAdeArquivo
// "Erro ao apagar o arquivo:\r\n<path>" when the file could not be deleted and is still
// there.
void ApagaArquivo(const std::string& NomeArquivo);

namespace norvane {
// Full paths of the directory entries (files and folders, not "." or "..") that match a
// path whose last component may hold "*" and "?", in ascending byte order of their names.
std::vector<std::string> list_matching_files(const std::string& pattern);
}  // namespace norvane
