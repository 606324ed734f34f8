#include "datamodule/ResultStore.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <vector>

#include "platform/GravaLog.h"

using norvane::Json;

bool ParseResultStore(const std::string& text, std::deque<TResultStore::Entry>& entries) {
  entries.clear();
  const norvane::JsonParseResult parsed = norvane::parse_json_text(text);
  if (parsed.status != norvane::JsonParseStatus::Ok || !parsed.value.is_object()) return false;
  const auto list = parsed.value.find("results");
  if (list == parsed.value.end() || !list->is_array()) return false;
  for (const Json& item : *list) {
    if (!item.is_object()) continue;
    const auto sale = item.find("sale_id");
    const auto key = item.find("idempotency_key");
    const auto result = item.find("result");
    if (sale == item.end() || !sale->is_number_integer() || result == item.end() || !result->is_object()) continue;
    const std::int64_t sale_id = sale->get<std::int64_t>();
    if (sale_id < std::numeric_limits<std::int32_t>::min() || sale_id > std::numeric_limits<std::int32_t>::max())
      continue;
    TResultStore::Entry entry;
    entry.sale_id = static_cast<std::int32_t>(sale_id);
    if (key != item.end() && key->is_string()) entry.idempotency_key = key->get<std::string>();
    const auto fingerprint = item.find("fingerprint");
    if (fingerprint != item.end() && fingerprint->is_string()) entry.fingerprint = fingerprint->get<std::string>();
    entry.result = *result;
    entries.push_back(std::move(entry));
  }
  while (entries.size() > TResultStore::kKept) entries.pop_front();
  return true;
}

void TResultStore::SetFile(std::string file) {
  std::lock_guard<std::mutex> lock(lock_);
  file_ = std::move(file);
  loaded_ = false;
  entries_.clear();
  texts_.clear();
}

void TResultStore::LoadOnce() {
  if (loaded_ || file_.empty()) return;
  loaded_ = true;
  std::ifstream in(file_, std::ios::binary);
  if (!in) return;  // nothing kept yet
  std::string text;
  char buffer[65536];
  bool too_long = false;
  while (!too_long && (in.read(buffer, sizeof buffer) || in.gcount() > 0)) {
    text.append(buffer, static_cast<std::size_t>(in.gcount()));
    too_long = text.size() > kMaxFileBytes;
  }
  in.close();
  if (!too_long && ParseResultStore(text, entries_)) {
    for (const Entry& entry : entries_) texts_.push_back(EntryText(entry));
    return;
  }
  // Overwriting it would forget every key it holds, and a repeated key would then charge
  // again: it is kept aside for a person to look at, and the store starts afresh.
  entries_.clear();
  texts_.clear();
  const std::string aside = file_ + ".corrupt-" + std::to_string(std::time(nullptr));
  const bool moved = ::rename(file_.c_str(), aside.c_str()) == 0;
  GravaLog("Resultados TEF: o arquivo " + file_ + (too_long ? " passa de " + std::to_string(kMaxFileBytes) + " bytes"
                                                            : std::string(" não pôde ser lido")) +
           (moved ? "; foi guardado como " + aside
                  : "; não foi possível guardá-lo à parte (" + std::string(std::strerror(errno)) + ")") +
           ". Os resultados que ele tinha não são mais informados por \"/transaction/status\" (os pagamentos "
           "ainda pendentes continuam achados pela chave); confira esses pagamentos no sistema de vendas.");
  if (!moved) file_.clear();  // never written over: results stay in memory only
}

std::string TResultStore::EntryText(const Entry& entry) {
  Json item = Json::object();
  item["sale_id"] = entry.sale_id;
  item["idempotency_key"] = entry.idempotency_key;
  item["fingerprint"] = entry.fingerprint;
  item["result"] = norvane::scrub_card_numbers_in(entry.result);
  return norvane::write_json(item);
}

namespace {

// {"results":[...]} from the entries' texts, as the whole list written at once would be.
template <typename Texts>
std::string JoinedResults(const Texts& texts) {
  std::size_t size = 16;
  for (const std::string& item : texts) size += item.size() + 1;
  std::string text;
  text.reserve(size);
  text += "{\"results\":[";
  bool first = true;
  for (const std::string& item : texts) {
    if (!first) text += ',';
    first = false;
    text += item;
  }
  text += "]}";
  return text;
}

}  // namespace

std::string ResultStoreText(const std::deque<TResultStore::Entry>& entries) {
  std::vector<std::string> texts;
  texts.reserve(entries.size());
  for (const TResultStore::Entry& entry : entries) texts.push_back(TResultStore::EntryText(entry));
  return JoinedResults(texts);
}

void TResultStore::Write() {
  // Each entry's text was made once, when it was kept.
  const std::string text = JoinedResults(texts_);

  const std::string temporary = file_ + ".tmp";
  // The results carry receipts: readable by the service's user only.
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  bool ok = fd >= 0;
  int error = ok ? 0 : errno;
  for (std::size_t done = 0; ok && done < text.size();) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      error = errno;
    } else {
      done += static_cast<std::size_t>(n);
    }
  }
  if (ok && ::fsync(fd) != 0) {
    ok = false;
    error = errno;
  }
  if (fd >= 0 && ::close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (ok && ::rename(temporary.c_str(), file_.c_str()) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    ::unlink(temporary.c_str());
    GravaLog("Resultados TEF: não foi possível gravar " + file_ + ": " + std::strerror(error) +
             ". O resultado fica só em memória até o serviço parar; verifique a pasta TEF.");
    return;
  }
  // The rename itself reaches the disk with the folder.
  const std::string folder = file_.substr(0, file_.find_last_of('/') + 1);
  const int dir = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
}

void TResultStore::Add(Entry entry) {
  std::lock_guard<std::mutex> lock(lock_);
  LoadOnce();
  texts_.push_back(EntryText(entry));
  entries_.push_back(std::move(entry));
  while (entries_.size() > kKept) {
    entries_.pop_front();
    texts_.pop_front();
  }
  if (!file_.empty()) Write();
}

bool TResultStore::LastOfSale(std::int32_t sale_id, Entry& found) {
  return FindLast([sale_id](const Entry& entry) { return entry.sale_id == sale_id; }, found);
}

bool TResultStore::ForKey(const std::string& key, Entry& found) {
  if (key.empty()) return false;
  return FindLast([&key](const Entry& entry) { return entry.idempotency_key == key; }, found);
}

std::vector<TResultStore::Entry> TResultStore::AllOfSale(std::int32_t sale_id) {
  std::lock_guard<std::mutex> lock(lock_);
  LoadOnce();
  std::vector<Entry> found;
  for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) {
    if (it->sale_id != sale_id) continue;
    const bool newer_kept = !it->idempotency_key.empty() &&
                            std::any_of(found.begin(), found.end(), [&](const Entry& e) {
                              return e.idempotency_key == it->idempotency_key;
                            });
    if (!newer_kept) found.push_back(*it);
  }
  return found;
}

bool TResultStore::FindLast(const std::function<bool(const Entry&)>& matches, Entry& found) {
  std::lock_guard<std::mutex> lock(lock_);
  LoadOnce();
  for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) {
    if (matches(*it)) {
      found = *it;
      return true;
    }
  }
  return false;
}
