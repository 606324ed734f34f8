#pragma once
// The service's numbers as a Prometheus text-format file, for node_exporter's textfile
// collector: no port of its own, a file in a folder the collector reads.
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "platform/Clock.h"
#include "platform/Metrics.h"
#include "platform/PeriodicTask.h"

namespace norvane {

// What is measured at the moment of writing, rather than counted.
struct TMetricsGauges {
  int unsettled_payments = 0;  // backups in TEF/ (-1: the folder could not be read)
  std::size_t clients_connected = 0;
  std::string library_kind;    // "real", "stand-in", "refused" (the stand-in, refused) or "missing"
  std::string version;         // the service's file version
  TimePoint start_time{};
};

// The file's name in its folder (the collector reads every *.prom file there).
inline constexpr char kMetricsFileName[] = "norvane_tef.prom";

// The text of the file: HELP and TYPE for every family, every label combination present (at
// 0 until something is counted), so that a rate can be taken from the first scrape on.
std::string MetricsText(const metrics::Counters& counters, const TMetricsGauges& gauges);

// Replaces folder/norvane_tef.prom whole (a new file renamed over the old one, so the
// collector never reads half of it), readable by everyone: it holds no payment's data, and
// the collector runs as a user of its own. False with the reason when it could not.
bool WriteMetricsFile(const std::string& folder, const std::string& text, std::string& error);

// Writes the file at once, every 15 s and as soon as an operation has ended, on a thread of
// its own, and a last time when it is released. A write that fails is logged once, and again
// only when the failure changes.
class TMetricsWriter {
 public:
  static constexpr std::chrono::seconds kInterval{15};

  TMetricsWriter(std::string folder, std::function<TMetricsGauges()> gauges);
  ~TMetricsWriter();
  TMetricsWriter(const TMetricsWriter&) = delete;
  TMetricsWriter& operator=(const TMetricsWriter&) = delete;

 private:
  void Write();

  const std::string folder_;
  const std::function<TMetricsGauges()> gauges_;
  std::string last_error_;  // the writer's thread alone
  std::unique_ptr<TPeriodicTask> task_;
};

}  // namespace norvane
