#include "SimJournal.h"

#include <sys/time.h>

#include <cstdio>
#include <ctime>

#include "SimSettings.h"
#include "platform/AppendFile.h"
#include "platform/CardData.h"

namespace clisitef_sim {
namespace {

std::string quoted(const char* value, size_t length) {
  std::string out = "\"";
  size_t shown = length < kJournalTextLimit ? length : kJournalTextLimit;
  for (size_t i = 0; i < shown; ++i) {
    unsigned char c = static_cast<unsigned char>(value[i]);
    switch (c) {
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char hex[5];
          std::snprintf(hex, sizeof hex, "\\x%02X", c);
          out += hex;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += "\"";
  if (shown < length) out += "...";
  return out;
}

}  // namespace

JournalLine::JournalLine(const char* function) : line_(function) { line_ += "("; }

void JournalLine::separator() {
  if (in_result_) line_ += " ";
  else if (!first_) line_ += ", ";
  first_ = false;
}

JournalLine& JournalLine::text(const char* name, const char* value) {
  separator();
  line_ += name;
  line_ += "=";
  line_ += value == nullptr ? std::string("null") : quoted(value, std::char_traits<char>::length(value));
  return *this;
}

JournalLine& JournalLine::text(const char* name, const std::string& value) {
  separator();
  line_ += name;
  line_ += "=";
  line_ += quoted(value.data(), value.size());
  return *this;
}

JournalLine& JournalLine::number(const char* name, long long value) {
  separator();
  line_ += name;
  line_ += "=";
  line_ += std::to_string(value);
  return *this;
}

JournalLine& JournalLine::result(long long value) {
  line_ += ") = ";
  line_ += std::to_string(value);
  in_result_ = true;
  return *this;
}

void append_journal(const std::string& journal, const JournalLine& line) {
  if (journal.empty()) return;
  std::string path = journal[0] == '/' ? journal : library_folder() + journal;
  timeval tv{};
  gettimeofday(&tv, nullptr);
  tm local{};
  localtime_r(&tv.tv_sec, &local);
  char stamp[96];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03d ", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(tv.tv_usec / 1000));
  // Like a real library's trace it keeps no card number, whatever text repeats one.
  std::string text = stamp + norvane::scrub_card_numbers(line.str());
  text += "\n";
  // Kept open between calls, as a payment journals some thirty of them; a journal moved or
  // deleted by a test or a developer is started anew at its path. One write on an O_APPEND
  // descriptor keeps lines whole even when two processes share a journal, without a lock. A
  // short or failed journal write is not the payment's problem.
  static norvane::TAppendFile file(false);
  file.Append(path, text);
}

}  // namespace clisitef_sim
