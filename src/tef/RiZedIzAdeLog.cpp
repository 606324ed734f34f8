#include "tef/RiZedIzAdeLog.h"

#include "platform/AppendFile.h"
#include "platform/CardData.h"
#include "platform/CodePage.h"
#include "tef/RiZedIzAdeBase.h"

namespace {

// The TEF log stays open between lines (see TAppendFile): a payment writes dozens of them.
// Locked, so that lines never interleave with another process's, even after a short write.
norvane::TAppendFile& open_tef_log() {
  static norvane::TAppendFile log(true);
  return log;
}

// One line as the log keeps it, stamped with the time now.
std::string tef_log_line(const std::string& AString) {
  // Fields the manager knows are masked before they get here; this catches a number the
  // library repeats where nobody expects it (a message, a title, a field of its own).
  const std::string text = norvane::scrub_card_numbers(
      norvane::is_valid_utf8(AString) ? norvane::to_windows1252(AString) : AString);
  return "-- " + FormatDateTime("dd/mm hh:nn:ss:zzz", Now()) + " - " + text + "\r\n";
}

}  // namespace

void GravaLogTEF(const std::string& ArqLOG, const std::string& AString) {
  if (ArqLOG.empty()) return;
  try {
    open_tef_log().Append(ArqLOG, tef_log_line(AString));
  } catch (...) {
    // A log write never fails its caller: a line that cannot be written is lost.
  }
}

void GravaLogTEF(const std::string& ArqLOG, const std::vector<std::string>& Linhas) {
  if (ArqLOG.empty() || Linhas.empty()) return;
  try {
    std::string text;
    for (const std::string& linha : Linhas) text += tef_log_line(linha);
    open_tef_log().Append(ArqLOG, text);
  } catch (...) {
    // As for one line: the lines that cannot be written are lost.
  }
}
