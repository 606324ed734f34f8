#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "routing/JsonText.h"

// The final `result` message of the last operations, each with its sale id and the
// request's idempotency key, kept in one file so that a page that reloads in the middle of
// a payment, or asks again after the service restarted, learns how the payment ended
// instead of charging again.
//
// The file is written whole (a temporary file beside it, flushed, renamed over the old
// one), so a crash leaves the old list or the new one. A file that cannot be read is kept
// aside (results.json.corrupt-<time>), never overwritten: what it held may still be
// wanted. Safe from any thread.
class TResultStore {
 public:
  static constexpr std::size_t kKept = 50;
  // A file longer than this is no store of ours: it is not read (and is replaced at the
  // next write). Fifty results with their receipts are far below it.
  static constexpr std::size_t kMaxFileBytes = 16u * 1024 * 1024;
  // Longest idempotency key kept; a longer one is refused by the request.
  static constexpr std::size_t kMaxKeyLength = 200;

  struct Entry {
    std::int32_t sale_id = 0;
    std::string idempotency_key;  // the payment's key (the request's, or one the service made)
    norvane::Json result;         // the result message as sent
    // What the request asked (see RequestFingerprint): the same key with another request
    // is refused. Empty in a file written before it was kept, and then not checked.
    std::string fingerprint;
  };

  // The file is read on first use, after the service folder is known.
  void SetFile(std::string file);
  // Keeps one finished operation (the oldest beyond kKept go) and writes the file; a write
  // that fails is logged once per failure and the entry kept in memory.
  void Add(Entry entry);
  // The last finished operation of a sale, or of a key; false when none is kept.
  bool LastOfSale(std::int32_t sale_id, Entry& found);
  bool ForKey(const std::string& key, Entry& found);
  // Every kept operation of a sale, newest first, one per key (its newest).
  std::vector<Entry> AllOfSale(std::int32_t sale_id);

  // An entry as the file holds it, card numbers scrubbed.
  static std::string EntryText(const Entry& entry);

 private:
  // The newest entry that matches, copied into `found`.
  bool FindLast(const std::function<bool(const Entry&)>& matches, Entry& found);
  void LoadOnce();  // with lock_ held
  void Write();     // with lock_ held

  std::mutex lock_;  // guards everything below
  std::string file_;
  bool loaded_ = false;
  std::deque<Entry> entries_;  // oldest first
  // Each entry's text in the file, made once when it is kept: a sale rewrites the whole
  // file, and scrubbing and writing fifty results each time cost more than the rest of it.
  std::deque<std::string> texts_;  // beside entries_
};

// The entries of a store file's text, oldest first; elements that are not entries are
// skipped. False when the text is no store at all.
bool ParseResultStore(const std::string& text, std::deque<TResultStore::Entry>& entries);
// The text a store file is written with (card numbers in the results scrubbed).
std::string ResultStoreText(const std::deque<TResultStore::Entry>& entries);
