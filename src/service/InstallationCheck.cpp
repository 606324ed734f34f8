#include "service/InstallationCheck.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <locale.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>

#include "datamodule/ntDmSitef.h"
#include "platform/Clock.h"
#include "platform/ElfSection.h"
#include "platform/ExeFolder.h"
#include "platform/FileVersion.h"
#include "platform/IniFile.h"
#include "platform/Installation.h"
#include "platform/LogRetention.h"
#include "platform/SystemdUnit.h"
#include "platform/Text.h"
#include "printing/CupsPrinter.h"
#include "rest/uRest.h"
#include "routing/Jwt.h"
#include "service/uNorvaneSiTefService.h"
#include "tef/RiZedIzAdeTef.h"
#include "websocket/TlsStream.h"
#include "websocket/WebSocketCodec.h"

namespace norvane {

namespace {

namespace fs = std::filesystem;

class Lines {
 public:
  void ok(std::string text) { lines_.push_back({CheckLevel::Ok, std::move(text)}); }
  void unsafe(std::string text) { lines_.push_back({CheckLevel::Unsafe, std::move(text)}); }
  void fatal(std::string text) { lines_.push_back({CheckLevel::Fatal, std::move(text)}); }
  std::vector<CheckLine> take() { return std::move(lines_); }

 private:
  std::vector<CheckLine> lines_;
};

// ---- The user the service runs as, and what the file modes let it do

struct ServiceUser {
  std::string name;
  uid_t uid = 0;
  std::vector<gid_t> groups;
  std::string source;  // where the name came from, for the first line
};

// The unit's "Key=value" when the unit runs this folder's executable, else empty.
std::string unit_value(const std::string& unit, const std::string& key) {
  std::ifstream in(unit);
  std::string line, exec, value;
  while (std::getline(in, line)) {
    line = trim(line);
    if (line.rfind("ExecStart=", 0) == 0) exec = trim(line.substr(10));
    if (line.rfind(key + "=", 0) == 0) value = trim(line.substr(key.size() + 1));
  }
  return exec == exe_folder() + exe_base_name() ? value : std::string();
}

ServiceUser service_user() {
  ServiceUser user;
  const std::string name = TNorvaneSiTefService::kServiceName;
  for (const std::string& unit : {systemd_unit_path(name), "/lib/systemd/system/" + name + ".service"}) {
    user.name = unit_value(unit, "User");
    if (!user.name.empty()) {
      user.source = "the user of " + unit;
      break;
    }
  }
  const bool from_unit = !user.name.empty();
  const passwd* entry = from_unit ? ::getpwnam(user.name.c_str()) : ::getpwuid(::getuid());
  if (!from_unit) user.source = "no installed unit runs this folder: the user running this check";
  if (entry == nullptr) {
    // A unit's user that does not exist yet owns nothing: only the modes for others apply.
    user.uid = from_unit ? static_cast<uid_t>(-1) : ::getuid();
    if (!from_unit) user.name = std::to_string(user.uid);
    return user;
  }
  user.name = entry->pw_name;
  user.uid = entry->pw_uid;
  int count = 64;
  user.groups.resize(static_cast<size_t>(count));
  if (::getgrouplist(entry->pw_name, entry->pw_gid, user.groups.data(), &count) < 0) {
    user.groups.resize(static_cast<size_t>(count));
    ::getgrouplist(entry->pw_name, entry->pw_gid, user.groups.data(), &count);
  }
  user.groups.resize(static_cast<size_t>(std::max(count, 0)));
  return user;
}

// Whether the modes of `path` give the user read (and write) access; a folder also needs
// search. Root is judged by the modes as anyone else: the service never runs as root, and a
// file only root may write is a fault for it. A read-only mount refuses writing to all.
bool user_may(const ServiceUser& user, const std::string& path, bool write) {
  struct stat info{};
  if (::stat(path.c_str(), &info) != 0) return false;
  unsigned bits;
  if (info.st_uid == user.uid)
    bits = (info.st_mode >> 6) & 7u;
  else if (std::find(user.groups.begin(), user.groups.end(), info.st_gid) != user.groups.end())
    bits = (info.st_mode >> 3) & 7u;
  else
    bits = info.st_mode & 7u;
  unsigned need = 4u | (write ? 2u : 0u) | (S_ISDIR(info.st_mode) ? 1u : 0u);
  if ((bits & need) != need) return false;
  if (write) {
    struct statvfs mount{};
    if (::statvfs(path.c_str(), &mount) == 0 && (mount.f_flag & ST_RDONLY) != 0) return false;
  }
  return true;
}

std::string mode_text(const std::string& path) {
  struct stat info{};
  if (::stat(path.c_str(), &info) != 0) return "?";
  const passwd* owner = ::getpwuid(info.st_uid);
  const group* grp = ::getgrgid(info.st_gid);
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
  return std::string(owner ? owner->pw_name : std::to_string(info.st_uid)) + ":" +
         (grp ? grp->gr_name : std::to_string(info.st_gid)) + " " + mode;
}

// ---- Configuration

bool is_integer(const TIniSnapshot& ini, const std::string& key) {
  return !(ini.ReadInteger("sitef", key, INT_MIN) == INT_MIN && ini.ReadInteger("sitef", key, INT_MAX) == INT_MAX);
}

bool valid_origin(const std::string& origin) {
  static const std::regex form("https?://[A-Za-z0-9.-]+(:[0-9]{1,5})?", std::regex::icase);
  return std::regex_match(origin, form);
}

// The keys of [sitef] and what a value must be; the text keys take anything.
enum class KeyKind { Text, Integer, NonNegative, Port, Boolean, Origins };
struct KnownKey {
  const char* name;
  KeyKind kind;
};
constexpr KnownKey kKnownKeys[] = {
    {"server_port", KeyKind::Port},          {"printer", KeyKind::Text},
    {"pdv_number", KeyKind::NonNegative},    {"qrcode_on_pinpad", KeyKind::Boolean},
    {"need_update", KeyKind::Boolean},       {"download_url", KeyKind::Text},
    {"version", KeyKind::Text},              {"jwt_secret", KeyKind::Text},
    {"allowed_origins", KeyKind::Origins},   {"callback_verify_tls", KeyKind::Boolean},
    {"clisitef_library", KeyKind::Text},     {"metrics_folder", KeyKind::Text},
    {"log_retention_months", KeyKind::NonNegative},
};

void check_configuration(Lines& out, const ServiceUser& user, const std::string& path, const TIniSnapshot& ini) {
  if (!fs::exists(path)) {
    out.unsafe(path + " not found: every key takes its default (port 443, the built-in token key, any "
               "origin); create it (the README's \"The service folder\" lists the keys)");
    return;
  }
  if (!user_may(user, path, false)) {
    out.fatal(path + " (" + mode_text(path) + ") is not readable by " + user.name +
              ": a start would use every default; the package sets root:norvane 0660");
    return;
  }
  if (!std::ifstream(path)) {
    out.fatal(path + " cannot be read by this check: run it with sudo");
    return;
  }
  bool all_valid = true;
  std::vector<std::string> keys = ini.Keys("sitef");
  for (const std::string& key : keys) {
    const auto known = std::find_if(std::begin(kKnownKeys), std::end(kKnownKeys),
                                    [&](const KnownKey& k) { return lower_ascii(key) == k.name; });
    if (known == std::end(kKnownKeys)) {
      out.unsafe("[sitef] " + key + " is no key of this service (a typo?); it is ignored");
      all_valid = false;
      continue;
    }
    const std::string value = ini.ReadString("sitef", key, "");
    std::string problem;
    switch (known->kind) {
      case KeyKind::Text:
        break;
      case KeyKind::Integer:
      case KeyKind::Boolean:
        if (!is_integer(ini, key)) problem = "is not a whole number (0 or 1 for a yes/no key): the default is used";
        break;
      case KeyKind::NonNegative:
        if (!is_integer(ini, key) || ini.ReadInteger("sitef", key, 0) < 0)
          problem = "is not a whole number of 0 or more: the default is used";
        break;
      case KeyKind::Port:
        if (!is_integer(ini, key))
          problem = "is not a whole number: a start would listen on 443";
        else if (ini.ReadInteger("sitef", key, 0) > 65535)
          problem = "is no TCP port (1 to 65535): the listener would not open";
        break;
      case KeyKind::Origins:
        for (const std::string& origin : websocket::ParseAllowedOrigins(value))
          if (!valid_origin(origin)) problem += (problem.empty() ? "" : ", ") + std::string("\"") + origin + "\"";
        if (!problem.empty())
          problem = "holds " + problem + ", which no page's origin can match (an origin is https://host or https://host:port)";
        break;
    }
    if (!problem.empty()) {
      out.fatal("[sitef] " + key + "=" + value + " " + problem);
      all_valid = false;
    }
  }
  if (all_valid) out.ok(path + ": " + std::to_string(keys.size()) + " keys of [sitef], every one valid");
}

// ---- Certificate

struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
struct KeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};

std::unique_ptr<X509, X509Free> read_certificate(const std::string& path) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_file(path.c_str(), "r"), BIO_free);
  return std::unique_ptr<X509, X509Free>(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

std::string date_text(std::time_t when) {
  std::tm utc{};
  gmtime_r(&when, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d", &utc);
  return text;
}

std::time_t asn1_time(const ASN1_TIME* time) {
  std::tm tm{};
  ASN1_TIME_to_tm(time, &tm);
  return timegm(&tm);
}

bool check_certificate_file(Lines& out, const ServiceUser& user, const std::string& path, const char* mode) {
  if (!fs::exists(path)) {
    out.fatal(path + " is missing: the port cannot open; install it: sudo install -o " + user.name + " -g " +
              user.name + " -m " + mode + " FILE.pem " + path);
    return false;
  }
  if (!user_may(user, path, false) || !user_may(user, fs::path(path).parent_path().string(), false)) {
    out.fatal(path + " (" + mode_text(path) + ") is not readable by " + user.name +
              ": the port cannot open; give it to that user (chown " + user.name + ")");
    return false;
  }
  return true;
}

void check_certificate(Lines& out, const ServiceUser& user) {
  const std::string folder = exe_folder() + "Certificado/";
  const std::string cert_file = folder + "server_cert.pem", key_file = folder + "server_key.pem",
                    ca_file = folder + "ca_cert.pem";
  const bool cert_there = check_certificate_file(out, user, cert_file, "0640");
  const bool key_there = check_certificate_file(out, user, key_file, "0600");
  const bool ca_there = check_certificate_file(out, user, ca_file, "0640");
  if (!cert_there) return;

  auto cert = read_certificate(cert_file);
  if (!cert) {
    out.fatal(cert_file + " holds no PEM certificate (or this check cannot read it: run it with sudo)");
    return;
  }
  if (key_there) {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_file(key_file.c_str(), "r"), BIO_free);
    std::unique_ptr<EVP_PKEY, KeyFree> key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!key) {
      out.fatal(key_file + " holds no PEM private key without a pass phrase (or this check cannot read it: run it with sudo)");
    } else if (X509_check_private_key(cert.get(), key.get()) != 1) {
      out.fatal(key_file + " is not the key of " + cert_file + ": the port cannot open; install the key the certificate was made for");
    }
  }
  char subject[256] = "";
  X509_NAME_get_text_by_NID(X509_get_subject_name(cert.get()), NID_commonName, subject, sizeof subject);
  const std::time_t now = std::chrono::system_clock::to_time_t(norvane::now());
  const std::time_t not_before = asn1_time(X509_get0_notBefore(cert.get()));
  const std::time_t not_after = asn1_time(X509_get0_notAfter(cert.get()));
  const long days_left = static_cast<long>((not_after - now) / 86400);
  const std::string name = std::string("certificate CN=") + subject;
  if (not_after <= now) {
    out.fatal(name + " expired on " + date_text(not_after) + ": browsers refuse the service; install a new one in " + cert_file);
  } else if (not_before > now) {
    out.fatal(name + " is not valid before " + date_text(not_before) + ": check the workstation's clock");
  } else if (days_left < 30) {
    out.unsafe(name + " expires in " + std::to_string(days_left) + " days (" + date_text(not_after) +
               "): install a new one in " + cert_file + " before then");
  } else {
    out.ok(name + " valid until " + date_text(not_after) + " (" + std::to_string(days_left) + " days)");
  }
  if (!key_there || !ca_there) return;
  // What a start does with the three files, to the letter.
  try {
    SSL_CTX_free(CreateServerTlsContext(cert_file, key_file, ca_file));
    out.ok("certificate, key and CA (" + ca_file + ") load as a start loads them");
  } catch (const std::exception& error) {
    out.fatal(std::string("a start cannot load them: ") + error.what());
  }
}

// ---- Access

void check_access(Lines& out, const TIniSnapshot& ini) {
  const std::string secret = ini.ReadString("sitef", "jwt_secret", "");
  if (secret.empty() || secret == kSharedTokenSecret)
    out.unsafe("jwt_secret: the built-in token key, the same on every installation, lets anyone open a session; "
               "set [sitef] jwt_secret to your own key, also in the sales back-end");
  else
    out.ok("jwt_secret: a key of this installation (" + std::to_string(secret.size()) + " characters)");
  const auto origins = websocket::ParseAllowedOrigins(ini.ReadString("sitef", "allowed_origins", ""));
  if (origins.empty()) {
    out.unsafe("allowed_origins is empty: any web page the cashier opens may connect; set [sitef] "
               "allowed_origins to the sales application's origin (https://vendas.example)");
  } else {
    std::string list;
    for (const std::string& origin : origins) list += (list.empty() ? "" : ", ") + origin;
    out.ok("allowed_origins: " + list);
  }
  if (!ini.ReadBool("sitef", "callback_verify_tls", true))
    out.unsafe("callback_verify_tls=0: any certificate is taken for the sales back-end's, so anyone on the "
               "network path can have a payment confirmed; remove it once the back-end has a valid certificate");
}

// ---- CliSiTef library

// Loads the library in a child process, so that a library that crashes while it loads, or
// leaves threads behind, takes only the child with it. Empty when all twelve functions are
// there; else what is wrong.
std::string library_problem(const std::string& path) {
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return std::string("pipe: ") + std::strerror(errno);
  const pid_t child = ::fork();
  if (child < 0) {
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
    return std::string("fork: ") + std::strerror(errno);
  }
  if (child == 0) {
    ::close(pipe_fds[0]);
    std::string answer;
    void* library = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
      const char* error = ::dlerror();
      answer = std::string("it does not load: ") + (error ? error : "?");
    } else {
      std::string missing;
      for (const char* name : TRiZedIzAdeCliSiTef::kFuncoesBiblioteca)
        if (::dlsym(library, name) == nullptr) missing += (missing.empty() ? "" : ", ") + std::string(name);
      if (!missing.empty()) answer = "it lacks functions the service calls: " + missing;
    }
    for (size_t done = 0; done < answer.size();) {
      const ssize_t n = ::write(pipe_fds[1], answer.data() + done, answer.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    ::_exit(0);
  }
  ::close(pipe_fds[1]);
  std::string answer;
  char buffer[512];
  for (;;) {
    const ssize_t n = ::read(pipe_fds[0], buffer, sizeof buffer);
    if (n > 0) answer.append(buffer, static_cast<size_t>(n));
    else if (n == 0 || errno != EINTR) break;
  }
  ::close(pipe_fds[0]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFSIGNALED(status)) return "it crashed while loading (signal " + std::to_string(WTERMSIG(status)) + ")";
  return answer;
}

void check_library(Lines& out, const ServiceUser& user) {
  const std::string path = CliSiTefLibraryFile();
  const std::string named = CliSiTefLibraryConfigured() ? "[sitef] clisitef_library" : "the default path (no [sitef] clisitef_library)";
  if (!fs::exists(path)) {
    out.fatal("CliSiTef library " + path + " (" + named + ") not found: install the vendor's CliSiTef library and "
              "name its file in [sitef] clisitef_library (README: \"Installing the CliSiTef library\")");
    return;
  }
  if (!user_may(user, path, false)) {
    out.fatal("CliSiTef library " + path + " (" + mode_text(path) + ") is not readable by " + user.name);
    return;
  }
  if (!CliSiTefLibraryRefusal().empty()) {
    out.fatal("CliSiTef library " + path + " is the stand-in, and this package installation has no " +
              std::string(kSimulatorPackage) + ": the service refuses it; install the vendor's library and "
              "name it in [sitef] clisitef_library");
    return;
  }
  if (const std::string problem = library_problem(path); !problem.empty()) {
    out.fatal("CliSiTef library " + path + ": " + problem);
    return;
  }
  if (is_stand_in_library(path)) {
    out.unsafe("CliSiTef library " + path + " is the STAND-IN: every flow runs, but no real payment can be taken; "
               "install the vendor's library for a shop");
    return;
  }
  const auto version = read_file_version(path);
  out.ok("CliSiTef library " + path + " (" + named + "): loads and exports the " +
         std::to_string(TRiZedIzAdeCliSiTef::kFuncoesBiblioteca.size()) + " functions the service calls" +
         (version ? ", version " + format_file_version(*version) : std::string()));
}

// ---- Printer, TEF folder, port, locale, metrics, logs

std::string cups_printer_problem(const std::string& name) {
  try {
    return TCupsPrinter(name).RefusesJobs();
  } catch (const std::exception&) {
    return "unknown to CUPS, or CUPS is not running (lpstat -p lists the printers)";
  }
}

void check_printer(Lines& out, const TIniSnapshot& ini, const CheckOptions& options) {
  const std::string printer = ini.ReadString("sitef", "printer", "");
  if (printer.empty()) {
    out.ok("no printer named ([sitef] printer): the service prints nothing; name a CUPS printer to print through it");
    return;
  }
  const std::string problem = options.printer_problem ? options.printer_problem(printer) : cups_printer_problem(printer);
  if (problem.empty())
    out.ok("printer \"" + printer + "\": known to CUPS and accepting jobs");
  else
    out.unsafe("printer \"" + printer + "\" ([sitef] printer): " + problem);
}

void check_tef_folder(Lines& out, const ServiceUser& user) {
  const std::string folder = exe_folder() + "TEF";
  if (!fs::exists(folder)) {
    if (user_may(user, exe_folder(), true))
      out.ok(folder + "/ will be made at the first payment");
    else
      out.fatal(folder + "/ is missing and " + user.name + " cannot make it: approved payments could not be kept "
                "until settled; sudo install -d -o " + user.name + " -g " + user.name + " -m 0700 " + folder);
    return;
  }
  if (!user_may(user, folder, true)) {
    out.fatal(folder + "/ (" + mode_text(folder) + ") is not writable by " + user.name +
              ": approved payments could not be kept until settled; sudo chown " + user.name + ": " + folder);
    return;
  }
  const int unsettled = count_unsettled_payments(folder);
  if (unsettled > 0)
    out.unsafe(folder + "/ holds " + std::to_string(unsettled) + " payment(s) approved and not yet settled: the first "
               "session start with the CliSiTef library settles them by the back-end's answer; never delete them");
  else if (unsettled < 0)
    out.fatal(folder + "/ cannot be listed by this check: run it with sudo");
  else
    out.ok(folder + "/ writable by " + user.name + ", no unsettled payments");
}

// This installation's certificate, as a TLS client sees the server on the port.
bool port_held_by_this_service(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  if (!connected && errno == EINPROGRESS) {
    pollfd wait{fd, POLLOUT, 0};
    int error = 0;
    socklen_t size = sizeof error;
    connected = ::poll(&wait, 1, 3000) == 1 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
  }
  bool ours = false;
  if (connected) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    timeval limit{3, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    SSL* ssl = context ? SSL_new(context) : nullptr;
    if (ssl != nullptr) {
      SSL_set_fd(ssl, fd);
      if (SSL_connect(ssl) == 1) {
        X509* peer = SSL_get1_peer_certificate(ssl);
        auto mine = read_certificate(exe_folder() + "Certificado/server_cert.pem");
        ours = peer != nullptr && mine && X509_cmp(peer, mine.get()) == 0;
        X509_free(peer);
        SSL_shutdown(ssl);
      }
      SSL_free(ssl);
    }
    SSL_CTX_free(context);
  }
  ::close(fd);
  return ours;
}

void check_port(Lines& out, const TIniSnapshot& ini) {
  int port = ini.ReadInteger("sitef", "server_port", 0);
  if (port <= 0) port = 443;
  if (port > 65535) return;  // said with the configuration
  const std::string name = "port " + std::to_string(port);
  // The listener's own way: one IPv6 socket that takes IPv4 too, else IPv4.
  int error = 0;
  const int yes = 1, no = 0;
  int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0) {
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no);
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_any;
    address.sin6_port = htons(static_cast<uint16_t>(port));
    error = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ? 0 : errno;
  } else {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<uint16_t>(port));
    error = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ? 0 : errno;
  }
  if (fd >= 0) ::close(fd);
  if (error == 0) {
    out.ok(name + " is free");
  } else if (port_held_by_this_service(port)) {
    out.ok(name + " is held by this service (it answers with this installation's certificate)");
  } else if (error == EADDRINUSE) {
    out.fatal(name + " is taken by another program: the service could not listen; stop that program "
              "(ss -ltnp 'sport = :" + std::to_string(port) + "' names it) or set [sitef] server_port");
  } else if (error == EACCES) {
    out.ok(name + " needs a privileged process, which this check is not; the unit gives the service CAP_NET_BIND_SERVICE");
  } else {
    out.fatal(name + " cannot be opened: " + std::strerror(error));
  }
}

void check_locale(Lines& out) {
  locale_t locale = ::newlocale(LC_TIME_MASK, "pt_BR.UTF-8", static_cast<locale_t>(nullptr));
  if (locale == static_cast<locale_t>(nullptr)) {
    out.unsafe("the pt_BR.UTF-8 locale is missing: the monthly log folders would take another language's "
               "month names; add it with: dpkg-reconfigure locales");
    return;
  }
  ::freelocale(locale);
  out.ok("the pt_BR.UTF-8 locale is present");
}

void check_metrics_and_logs(Lines& out, const ServiceUser& user, const TIniSnapshot& ini) {
  const std::string metrics = trim(ini.ReadString("sitef", "metrics_folder", ""));
  if (!metrics.empty()) {
    const std::string folder = service_path(metrics);
    if (user_may(user, folder, true))
      out.ok("metrics written to " + folder + "/norvane_tef.prom every 15 s");
    else
      out.unsafe("[sitef] metrics_folder " + folder + " (" + mode_text(folder) + ") is not a folder " + user.name +
                 " can write: no metrics will be written (README: \"Numbers a chain can watch\")");
  }
  const int months = ini.ReadInteger("sitef", "log_retention_months", kDefaultLogRetentionMonths);
  if (months > 0)
    out.ok("logs of the last " + std::to_string(months) + " months are kept in " + exe_folder() + "Log/");
  else
    out.ok("logs are kept for ever in " + exe_folder() + "Log/ ([sitef] log_retention_months=0)");
}

void check_back_end(Lines& out, const std::string& url) {
  if (url.rfind("https://", 0) != 0) {
    out.unsafe(url + " is not an https:// address: the back-end's certificate cannot be verified");
    return;
  }
  TRestOptions options;
  options.VerifyTLS = true;
  options.ExtraCAFile = exe_folder() + "Certificado/ca_cert.pem";
  options.Timeout = std::chrono::seconds(15);
  try {
    const auto response = ExecuteRequest(TRESTRequestMethod::rmGET, url, {}, "", options);
    out.ok("sales back-end " + url + " answered (HTTP " + std::to_string(response->StatusCode) +
           ") with a verified certificate");
  } catch (const ERestCertificateRefused& error) {
    out.unsafe("sales back-end " + url + ": its certificate is not trusted (" + error.what() +
               "); install the CA that signed it in the system or in Certificado/ca_cert.pem");
  } catch (const std::exception& error) {
    out.unsafe("sales back-end " + url + " cannot be reached: " + error.what());
  }
}

}  // namespace

std::vector<CheckLine> CheckInstallation(const CheckOptions& options) {
  Lines out;
  const ServiceUser user = service_user();
  std::string who = "checking " + exe_folder() + " for the user " + user.name + " (" + user.source + ")";
  if (::geteuid() != 0 && ::geteuid() != user.uid) who += "; run it with sudo to read what that user reads";
  out.ok(who);
  const std::string ini_path = exe_folder() + exe_base_name() + ".ini";
  const TIniSnapshot ini = TIniFile(ini_path).Snapshot();
  check_configuration(out, user, ini_path, ini);
  check_certificate(out, user);
  check_access(out, ini);
  check_library(out, user);
  check_printer(out, ini, options);
  check_tef_folder(out, user);
  check_port(out, ini);
  check_locale(out);
  check_metrics_and_logs(out, user, ini);
  if (!options.callback_url.empty()) check_back_end(out, options.callback_url);
  return out.take();
}

int CheckExitStatus(const std::vector<CheckLine>& lines) {
  int status = 0;
  for (const CheckLine& line : lines) status = std::max(status, static_cast<int>(line.level));
  return status;
}

std::string FormatCheckLine(const CheckLine& line) {
  switch (line.level) {
    case CheckLevel::Ok: return "ok    " + line.text;
    case CheckLevel::Unsafe: return "WARN  " + line.text;
    case CheckLevel::Fatal: return "FAIL  " + line.text;
  }
  return line.text;
}

int RunInstallationCheck(const CheckOptions& options) {
  const std::vector<CheckLine> lines = CheckInstallation(options);
  for (const CheckLine& line : lines) std::printf("%s\n", FormatCheckLine(line).c_str());
  const int status = CheckExitStatus(lines);
  static const char* const verdicts[] = {
      "CHECK: ready to take real payments.",
      "CHECK: the service can run, but what the WARN lines say is unsafe or missing.",
      "CHECK: the service cannot start or take payments: mend the FAIL lines.",
  };
  std::printf("%s\n", verdicts[status]);
  std::fflush(stdout);
  return status;
}

}  // namespace norvane
