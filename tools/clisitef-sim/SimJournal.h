#pragma once
#include <string>

namespace clisitef_sim {

// One journal line describes one call: its arguments as name=value pairs, then " = " and
// the result, then anything the call handed back. Texts are quoted with control bytes
// escaped, so every call stays on one line whatever the caller passed.
class JournalLine {
 public:
  explicit JournalLine(const char* function);
  JournalLine& text(const char* name, const char* value);  // null pointer shows as null
  JournalLine& text(const char* name, const std::string& value);
  JournalLine& number(const char* name, long long value);
  // Starts the part after the result: " = result".
  JournalLine& result(long long value);
  // The whole line; a call journaled without a result is closed with ")".
  std::string str() const { return in_result_ ? line_ : line_ + ")"; }

 private:
  void separator();
  std::string line_;
  bool first_ = true;
  bool in_result_ = false;
};

// Appends the line, with the local date and time in front, to the journal file (a name
// relative to the library's folder, or an absolute path). A journal that cannot be
// written never disturbs the payment.
void append_journal(const std::string& journal, const JournalLine& line);

// Texts longer than this are cut in the journal (a whole answer buffer would be 20000 bytes).
constexpr size_t kJournalTextLimit = 4096;

}  // namespace clisitef_sim
