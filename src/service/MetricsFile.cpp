#include "service/MetricsFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/GravaLog.h"

namespace norvane {

namespace {

constexpr const char* kOperationNames[metrics::kOperations] = {"sale", "cancellation", "reprint"};
constexpr const char* kOutcomeNames[metrics::kOutcomes] = {"approved", "declined", "canceled",
                                                           "undone_by_backend", "failed", "pending"};
constexpr const char* kAnswerNames[metrics::kReportAnswers] = {"accepted", "refused", "no_answer"};

void family(std::string& text, const char* name, const char* type, const char* help) {
  text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void sample(std::string& text, const std::string& name, const std::string& labels, double value) {
  char number[32];
  std::snprintf(number, sizeof number, "%.17g", value);
  text += name + (labels.empty() ? "" : "{" + labels + "}") + " " + number + "\n";
}

// A label value with the three characters the format escapes.
std::string label(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == '\\') out += "\\\\";
    else if (c == '"') out += "\\\"";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
  return out;
}

double seconds(TimePoint when) {
  return std::chrono::duration<double>(when.time_since_epoch()).count();
}

}  // namespace

std::string MetricsText(const metrics::Counters& counters, const TMetricsGauges& gauges) {
  std::string text;
  family(text, "norvane_tef_operations_total", "counter",
         "TEF operations since the service started, by kind (sale, cancellation of an earlier sale, reprint) and "
         "how they ended (approved and confirmed, declined by the authoriser, canceled, undone because the sales "
         "back-end refused or did not answer the report, failed before a result).");
  for (int o = 0; o < metrics::kOperations; ++o)
    for (int r = 0; r < metrics::kOutcomes; ++r)
      sample(text, "norvane_tef_operations_total",
             std::string("operation=\"") + kOperationNames[o] + "\",outcome=\"" + kOutcomeNames[r] + "\"",
             static_cast<double>(counters.operations[o][r]));
  family(text, "norvane_tef_reports_total", "counter",
         "Reports of approved payments to the sales back-end, by its answer (accepted: status 200 to 204).");
  for (int a = 0; a < metrics::kReportAnswers; ++a)
    sample(text, "norvane_tef_reports_total", std::string("answer=\"") + kAnswerNames[a] + "\"",
           static_cast<double>(counters.reports[a]));
  family(text, "norvane_tef_recovered_payments_total", "counter",
         "Payments left unsettled by an earlier run, settled by the sales back-end's answer.");
  sample(text, "norvane_tef_recovered_payments_total", "outcome=\"confirmed\"",
         static_cast<double>(counters.recovered_confirmed));
  sample(text, "norvane_tef_recovered_payments_total", "outcome=\"undone\"",
         static_cast<double>(counters.recovered_undone));
  family(text, "norvane_tef_unsettled_payments", "gauge",
         "Approved payments kept in TEF/ until the CliSiTef library has confirmed or undone them (-1: unreadable).");
  sample(text, "norvane_tef_unsettled_payments", "", gauges.unsettled_payments);
  family(text, "norvane_tef_last_payment_timestamp_seconds", "gauge",
         "When the last sale ended, whatever its outcome (absent until one has, since the start).");
  if (counters.last_payment_end != TimePoint{})
    sample(text, "norvane_tef_last_payment_timestamp_seconds", "", seconds(counters.last_payment_end));
  family(text, "norvane_tef_prints_total", "counter", "Documents of \"/print\" printed, or failed, by the print queue.");
  sample(text, "norvane_tef_prints_total", "outcome=\"printed\"", static_cast<double>(counters.prints_done));
  sample(text, "norvane_tef_prints_total", "outcome=\"failed\"", static_cast<double>(counters.prints_failed));
  family(text, "norvane_tef_clients_connected", "gauge", "WebSocket clients connected now (past the handshake).");
  sample(text, "norvane_tef_clients_connected", "", static_cast<double>(gauges.clients_connected));
  family(text, "norvane_tef_clisitef_library_info", "gauge",
         "The CliSiTef library the service loads: real, stand-in (no real payment), refused or missing.");
  sample(text, "norvane_tef_clisitef_library_info", "kind=\"" + label(gauges.library_kind) + "\"", 1);
  family(text, "norvane_tef_build_info", "gauge", "The service's version.");
  sample(text, "norvane_tef_build_info", "version=\"" + label(gauges.version) + "\"", 1);
  family(text, "norvane_tef_start_time_seconds", "gauge", "When the service started, in seconds since the epoch.");
  sample(text, "norvane_tef_start_time_seconds", "", seconds(gauges.start_time));
  return text;
}

bool WriteMetricsFile(const std::string& folder, const std::string& text, std::string& error) {
  std::string base = folder;
  if (!base.empty() && base.back() != '/') base += '/';
  const std::string file = base + kMetricsFileName;
  // The collector reads *.prom only: the file being written is not one.
  const std::string temporary = file + ".tmp";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = temporary + ": " + std::strerror(errno);
    return false;
  }
  bool ok = ::fchmod(fd, 0644) == 0;  // the service's mask would leave it to the service alone
  for (size_t done = 0; ok && done < text.size();) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  if (!ok) error = temporary + ": " + std::strerror(errno);
  ::close(fd);
  if (ok && ::rename(temporary.c_str(), file.c_str()) != 0) {
    error = file + ": " + std::strerror(errno);
    ok = false;
  }
  if (!ok) ::unlink(temporary.c_str());
  return ok;
}

TMetricsWriter::TMetricsWriter(std::string folder, std::function<TMetricsGauges()> gauges)
    : folder_(std::move(folder)), gauges_(std::move(gauges)) {
  task_ = std::make_unique<TPeriodicTask>([] { return std::chrono::milliseconds(kInterval); }, [this] { Write(); });
  metrics::SetOnOperationEnded([task = task_.get()] { task->Poke(); });
}

TMetricsWriter::~TMetricsWriter() {
  metrics::SetOnOperationEnded(nullptr);
  task_.reset();  // joins the thread: what follows runs alone
  Write();
}

void TMetricsWriter::Write() {
  std::string error;
  if (WriteMetricsFile(folder_, MetricsText(metrics::Read(), gauges_()), error)) {
    last_error_.clear();
  } else if (error != last_error_) {
    last_error_ = error;
    GravaLog("Métricas não gravadas: " + error + " (veja [sitef] metrics_folder).");
  }
}

}  // namespace norvane
