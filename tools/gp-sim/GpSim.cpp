// gp-sim: a stand-in standard TEF manager ("Gerenciador Padrão"). It watches a shared folder
// for request files of a point of sale and answers each with a status file and, for the
// operations that have one, a response file, in the key-value format of TEF files:
//
//   DIR/req/IntPos.tmp   written by the point of sale, renamed to
//   DIR/req/IntPos.001   the request, which gp-sim takes (deletes) and answers with
//   DIR/resp/IntPos.Sts  the status (request taken) and
//   DIR/resp/IntPos.001  the response.
//
// Usage: gp-sim DIR [--scenario NAME] [--delay-ms N]
//
// It waits on inotify and on SIGTERM/SIGINT (signalfd) and never polls. Once its watches
// are set it writes "ready" and a line feed to standard output, so that a test starting it
// can wait on the pipe. Every request it takes is appended to DIR/gp-sim.journal (its lines,
// then a line "--"). Texts with accents are written in Windows-1252, as such managers do.
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;
using Lines = std::map<std::string, std::string>;  // key ("000-000") -> value, sorted by key

const char* const kScenarios[] = {"approved",      "declined", "nostatus", "otherstatus",
                                  "otherresponse", "slow",     "twopiece"};

struct Options {
  fs::path dir;
  std::string scenario = "approved";
  int delay_ms = 3000;
};

void usage_error(const std::string& message) {
  std::cerr << "gp-sim: " << message << "\n"
            << "usage: gp-sim DIR [--scenario approved|declined|nostatus|otherstatus|"
               "otherresponse|slow|twopiece] [--delay-ms N]\n";
  std::exit(2);
}

Options parse_options(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "--scenario" || arg == "--delay-ms") && i + 1 >= argc)
      usage_error(arg + " needs a value");
    if (arg == "--scenario") {
      options.scenario = argv[++i];
      bool known = false;
      for (const char* s : kScenarios) known = known || options.scenario == s;
      if (!known) usage_error("unknown scenario " + options.scenario);
    } else if (arg == "--delay-ms") {
      options.delay_ms = std::atoi(argv[++i]);
    } else if (options.dir.empty() && !arg.starts_with("--")) {
      options.dir = arg;
    } else {
      usage_error("unexpected argument " + arg);
    }
  }
  if (options.dir.empty()) usage_error("the exchange folder is missing");
  return options;
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// "KKK-SSS = value" lines; anything else is ignored.
Lines parse_lines(const std::string& text) {
  Lines lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t sep = line.find(" = ");
    if (sep != std::string::npos) lines.emplace(line.substr(0, sep), line.substr(sep + 3));
  }
  return lines;
}

std::string key(int id, int seq) {
  char text[16];
  std::snprintf(text, sizeof text, "%03d-%03d", id, seq);
  return text;
}

std::string value_of(const Lines& lines, const std::string& k) {
  const auto it = lines.find(k);
  return it == lines.end() ? std::string() : it->second;
}

std::string now_formatted(const char* format) {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof text, format, &tm);
  return text;
}

// Writes next to the target and renames, so the point of sale never sees half a file.
void write_lines(const fs::path& path, const Lines& lines) {
  const fs::path temporary = path.string() + ".gp-sim";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    for (const auto& [k, v] : lines) out << k << " = " << v << "\r\n";
  }
  fs::rename(temporary, path);
}

class Manager {
 public:
  explicit Manager(Options options)
      : options_(std::move(options)),
        request_(options_.dir / "req" / "IntPos.001"),
        status_(options_.dir / "resp" / "IntPos.Sts"),
        response_(options_.dir / "resp" / "IntPos.001"),
        journal_(options_.dir / "gp-sim.journal") {}

  const fs::path& request_path() const { return request_; }
  const fs::path& response_path() const { return response_; }

  // A request is there: take it and answer.
  void take_request() {
    if (!fs::exists(request_) || options_.scenario == "nostatus") return;
    const std::string text = read_file(request_);
    std::error_code ignored;
    fs::remove(request_, ignored);
    std::ofstream(journal_, std::ios::binary | std::ios::app) << text << "--\r\n";

    const Lines request = parse_lines(text);
    const std::string header = value_of(request, "000-000");
    const int id = std::atoi(value_of(request, "001-000").c_str());

    Lines status{{"000-000", header}, {"001-000", std::to_string(id)}, {"999-999", "0"}};
    if (options_.scenario == "otherstatus") status["001-000"] = std::to_string(id + 1);
    write_lines(status_, status);

    if (header != "CRT" && header != "CHQ" && header != "ADM" && header != "CNC") return;
    Lines response = answer(header, id, request);
    if (options_.scenario == "otherresponse" && !sent_other_) {
      // A response of an earlier request first; the right one once the point of sale has
      // thrown that one away.
      Lines other = response;
      other["001-000"] = std::to_string(id - 1);
      write_lines(response_, other);
      sent_other_ = true;
      waiting_for_delete_ = std::move(response);
    } else if (options_.scenario == "twopiece") {
      // As a manager that writes its response in place: the lines without the trailer
      // first, the whole response after --delay-ms.
      Lines first = response;
      first.erase("999-999");
      write_lines(response_, first);
      delayed_ = Delayed{Clock::now() + std::chrono::milliseconds(options_.delay_ms), {},
                         "999-999 = " + response["999-999"] + "\r\n"};
    } else if (options_.scenario == "slow") {
      delayed_ = Delayed{Clock::now() + std::chrono::milliseconds(options_.delay_ms),
                         std::move(response), {}};
    } else {
      write_lines(response_, response);
    }
  }

  // The response file was deleted by the point of sale.
  void response_deleted() {
    if (!waiting_for_delete_) return;
    write_lines(response_, *waiting_for_delete_);
    waiting_for_delete_.reset();
  }

  // Milliseconds until the delayed response is due; -1 when none is.
  int timeout_ms() const {
    if (!delayed_) return -1;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        delayed_->due - Clock::now());
    return static_cast<int>(std::max<int64_t>(left.count(), 0));
  }

  void on_timeout() {
    if (!delayed_ || Clock::now() < delayed_->due) return;
    if (!delayed_->appended.empty()) {
      // The second piece goes at the end of the file as it stands (a file deleted meanwhile
      // gets only that piece, as on a real manager).
      std::ofstream(response_, std::ios::binary | std::ios::app) << delayed_->appended;
    } else {
      write_lines(response_, delayed_->lines);
    }
    delayed_.reset();
  }

 private:
  struct Delayed {
    Clock::time_point due;
    Lines lines;            // written whole, or
    std::string appended;   // appended to the response file as it stands
  };

  Lines answer(const std::string& header, int id, const Lines& request) {
    const bool declined = options_.scenario == "declined" && (header == "CRT" || header == "CHQ");
    char nsu[16];
    std::snprintf(nsu, sizeof nsu, "%06d", ++nsu_counter_);
    Lines r{{"000-000", header},
            {"001-000", std::to_string(id)},
            {"009-000", declined ? "5" : "0"},
            {"010-000", "REDE"},
            {"012-000", nsu},
            {"015-000", now_formatted("%d%m%H%M%S")},
            {"022-000", now_formatted("%d%m%Y")},
            {"023-000", now_formatted("%H%M%S")},
            {"999-999", "0"}};
    for (const char* k : {"002-000", "003-000", "004-000"}) {
      const std::string v = value_of(request, k);
      if (!v.empty()) r[k] = v;
    }
    if (declined) {
      // "TRANSAÇÃO NEGADA", accented letters in Windows-1252.
      r["030-000"] = "TRANSA\xC7\xC3O NEGADA";
      r["028-000"] = "0";
      return r;
    }
    r["013-000"] = "A" + std::string(nsu);
    r["027-000"] = "FIN" + std::string(nsu);
    std::vector<std::string> receipt;
    if (header == "CRT" || header == "CHQ") {
      r["011-000"] = header == "CRT" ? "10" : "0";
      r["040-000"] = "VISA";
      receipt = {"\"     COMPROVANTE DE CR\xC9""DITO     \"", "\"REDE  NSU " + std::string(nsu) + "\"",
                 "\"VALOR: " + value_of(request, "003-000") + "\"", "\"   TRANSA\xC7\xC3O APROVADA   \""};
    } else if (header == "ADM") {
      receipt = {"\"  RELAT\xD3RIO ADMINISTRATIVO  \"", "\"TESTE DE COMUNICA\xC7\xC3O OK\""};
    } else {  // CNC
      r["025-000"] = value_of(request, "012-000");
      receipt = {"\"      CANCELAMENTO      \"",
                 "\"NSU CANCELADO " + value_of(request, "012-000") + "\""};
    }
    r["028-000"] = std::to_string(receipt.size());
    for (size_t i = 0; i < receipt.size(); ++i) r[key(29, static_cast<int>(i + 1))] = receipt[i];
    return r;
  }

  Options options_;
  fs::path request_, status_, response_, journal_;
  int nsu_counter_ = 0;
  bool sent_other_ = false;
  std::optional<Lines> waiting_for_delete_;
  std::optional<Delayed> delayed_;
};

// A file descriptor closed when its owner goes.
struct Fd {
  int fd = -1;
  explicit Fd(int f) : fd(f) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

int main(int argc, char** argv) {
  const Options options = parse_options(argc, argv);
  std::error_code error;
  fs::create_directories(options.dir / "req", error);
  fs::create_directories(options.dir / "resp", error);
  if (error) {
    std::cerr << "gp-sim: cannot create " << options.dir << ": " << error.message() << "\n";
    return 1;
  }

  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  const Fd signal_fd(::signalfd(-1, &signals, SFD_CLOEXEC));
  const Fd inotify_fd(::inotify_init1(IN_CLOEXEC));
  if (signal_fd.fd < 0 || inotify_fd.fd < 0) {
    std::perror("gp-sim");
    return 1;
  }
  const int req_watch = ::inotify_add_watch(inotify_fd.fd, (options.dir / "req").c_str(),
                                            IN_MOVED_TO | IN_CLOSE_WRITE);
  const int resp_watch =
      ::inotify_add_watch(inotify_fd.fd, (options.dir / "resp").c_str(), IN_DELETE);
  if (req_watch < 0 || resp_watch < 0) {
    std::perror("gp-sim: inotify");
    return 1;
  }

  Manager manager(options);
  std::cout << "ready" << std::endl;
  manager.take_request();  // one written before the watch was set

  const std::string request_name = manager.request_path().filename().string();
  const std::string response_name = manager.response_path().filename().string();
  alignas(inotify_event) char buffer[16 * 1024];
  for (;;) {
    pollfd fds[2] = {{signal_fd.fd, POLLIN, 0}, {inotify_fd.fd, POLLIN, 0}};
    const int ready = ::poll(fds, 2, manager.timeout_ms());
    if (ready < 0) {
      if (errno == EINTR) continue;
      std::perror("gp-sim: poll");
      return 1;
    }
    if (fds[0].revents & POLLIN) return 0;  // SIGTERM or SIGINT
    manager.on_timeout();
    if (!(fds[1].revents & POLLIN)) continue;
    const ssize_t n = ::read(inotify_fd.fd, buffer, sizeof buffer);
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      const std::string name = event->len ? event->name : "";
      if (event->wd == req_watch && name == request_name) manager.take_request();
      if (event->wd == resp_watch && name == response_name) manager.response_deleted();
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
}
