#pragma once
// The life of one payment of service mode, read from its backup under TEF/, which is the
// payment's journal: each state is written there, flushed to disk, before the step it
// allows, and a start of the service finishes what the backup says, never guesses.
//
//   Started   the operation runs: before the library starts it, its record is written with
//             the payment's key, the request the key is bound to, its sale, and the date
//             and document the library is given (the library may approve it at any step
//             of the dialogue, before the approval can be written)
//   Approved  the library approved it: the approval is written over the record (a sale of
//             the running operation goes from Started to Reported in one write)
//   Reported  the report to the sales back-end is written into the backup, before it is sent
//   Decided   the back-end's answer (confirm or undo) is written, before the library hears it
//   Settled   the library settled it: its outcome is kept under its key (results.json),
//             then the backup goes
//
// A backup found at any state is finished from there: Started is undone by its date and
// document (whatever the library approved under them, the back-end never heard of it),
// Approved is undone, Reported is reported again and settled by that answer, Decided is
// settled by its decision.
//
// A sale flushes four writes of its own (each a temporary file written and flushed, renamed
// over the old one, the folder flushed), each before the step it guards:
//   the start record   before the library is called: a stop in the dialogue is undone
//   approval + report  before the report is sent: a stop from here on reports it again
//                      instead of undoing a payment the back-end may have accepted
//   the decision       before the library hears it: a stop settles by it, never by a second
//                      answer that could differ
//   results.json       before the backup goes: its key is found in one or the other
// The removal of the backup is not flushed: one that comes back after a power cut is
// settled again by its decision (a repeat the library takes as done), its outcome already kept.
#include <cstdint>
#include <string>
#include <vector>

#include "routing/JsonText.h"

enum class TPaymentState { Started, Approved, Reported, Decided, Settled };

struct TPaymentRecord {
  std::string file;  // the backup
  TPaymentState state = TPaymentState::Approved;
  std::string idempotency_key;  // empty in a backup written before keys were kept
  std::string fingerprint;
  std::int32_t sale_id = 0;
  std::int32_t company_id = 0;  // from its report
  std::string document;  // single-byte, as the library was given it
  std::string date;      // "yyyymmdd" the payment was started with (empty in an older backup)
  std::string time;      // "hhnnss"
  std::string nsu;
  bool reprint = false;  // a reprint moves no money: nothing to settle in the library
  std::string report_address, report_body;
  bool confirm = false;  // the decision, when Decided
  std::int64_t payment_id = 0;

  // The report's body as a JSON object (the result sent so far); null before it is written.
  norvane::Json ReportBody() const;
};

// Reads one backup; raises (the file's own error) when it cannot be read.
TPaymentRecord ReadPaymentRecord(const std::string& file);
// Every backup matching the mask that can be read (one that cannot is logged and skipped).
std::vector<TPaymentRecord> ReadPaymentRecords(const std::string& mask);

// What a "/transaction" request asks, in one text: the same idempotency key sent with
// another request (another amount, sale, kind or installments) is another payment, and is
// refused instead of being answered with the first one's outcome.
std::string RequestFingerprint(const std::string& type, std::int32_t operation, std::int64_t amount,
                               std::int32_t sale_id, std::int32_t installments, const std::string& nsu,
                               const std::string& date);
