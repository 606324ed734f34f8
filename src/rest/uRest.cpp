#include "rest/uRest.h"

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace {

struct CurlEasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct CurlListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;
using CurlList = std::unique_ptr<curl_slist, CurlListDeleter>;

const char* method_name(TRESTRequestMethod method) {
  switch (method) {
    case TRESTRequestMethod::rmPOST: return "POST";
    case TRESTRequestMethod::rmPUT: return "PUT";
    case TRESTRequestMethod::rmGET: return "GET";
    case TRESTRequestMethod::rmDELETE: return "DELETE";
    case TRESTRequestMethod::rmPATCH: return "PATCH";
  }
  return "GET";
}

bool sends_body(TRESTRequestMethod method) {
  return method == TRESTRequestMethod::rmPOST || method == TRESTRequestMethod::rmPUT ||
         method == TRESTRequestMethod::rmPATCH;
}

// The request's body, handed to libcurl as it asks for it, and the guard that keeps a
// payment's report from reaching the back-end twice. When a reused (kept) connection closes
// before any byte of the answer came, libcurl sends the whole request again on a new
// connection, body included, even if all of it had gone out: the back-end may have taken
// the report before it closed. To send a body again libcurl first rewinds it through
// CURLOPT_SEEKFUNCTION, which its manual names for this case ("an existing HTTP connection
// is reused too late and the server closes the connection"). libcurl 7.88 has no option
// that turns that retry off; CURLOPT_FRESH_CONNECT or CURLOPT_FORBID_REUSE avoid it only by
// never reusing a connection (a new TLS handshake for every report), so they serve only the
// requests without a body below. Here rewind_body answers CURL_SEEKFUNC_FAIL when the body
// had gone out and no answer came since, and the request fails as a new connection closed
// without an answer would; it allows the rewind when nothing had gone yet, or after an
// answer (a redirect posts the body again to the new place). Without this guard
// KeptConnectionTest.AReportTheBackEndMayHaveTakenIsNeverSentTwice fails: the back-end
// counts the report twice and the call returns its answer.
struct Upload {
  std::string_view body;
  std::size_t sent = 0;
  bool answered = false;  // a status line came since the body was last given
  bool refused_again = false;
};

size_t read_body(char* buffer, size_t size, size_t count, void* user) {
  auto* upload = static_cast<Upload*>(user);
  const std::size_t n = std::min(size * count, upload->body.size() - upload->sent);
  upload->body.copy(buffer, n, upload->sent);
  upload->sent += n;
  return n;
}

int rewind_body(void* user, curl_off_t offset, int origin) {
  auto* upload = static_cast<Upload*>(user);
  if (origin != SEEK_SET || offset != 0) return CURL_SEEKFUNC_CANTSEEK;
  if (upload->sent > 0 && !upload->answered) {
    upload->refused_again = true;
    return CURL_SEEKFUNC_FAIL;
  }
  upload->sent = 0;
  upload->answered = false;
  return CURL_SEEKFUNC_OK;
}

// Received bytes and the reason phrase of the last status line (a redirect or a 100
// Continue starts a new one).
struct Received {
  TRESTResponse* response;
  Upload* upload;
  bool too_large = false;
  // The headers of the last status line are complete (its blank line came).
  bool final_headers_done = false;
};

size_t on_body(char* data, size_t size, size_t count, void* user) {
  auto* received = static_cast<Received*>(user);
  const size_t bytes = size * count;
  if (received->response->Content.size() + bytes > kMaxResponseBytes) {
    received->too_large = true;
    return 0;  // stops the transfer with CURLE_WRITE_ERROR
  }
  received->response->Content.append(data, bytes);
  return bytes;
}

size_t on_header(char* data, size_t size, size_t count, void* user) {
  auto* received = static_cast<Received*>(user);
  const size_t bytes = size * count;
  const std::string line(data, bytes);
  if (line.rfind("HTTP/", 0) == 0) {
    received->upload->answered = true;
    received->response->Content.clear();
    // "HTTP/1.1 201 Created\r\n": the reason phrase follows the second blank.
    std::string reason;
    const auto first = line.find(' ');
    const auto second = first == std::string::npos ? first : line.find(' ', first + 1);
    if (second != std::string::npos) reason = line.substr(second + 1);
    while (!reason.empty() && (reason.back() == '\r' || reason.back() == '\n')) reason.pop_back();
    received->response->StatusText = reason;
    received->final_headers_done = false;
  } else if (line == "\r\n" || line == "\n") {
    received->final_headers_done = true;
  }
  return bytes;
}

bool file_exists(const std::string& path);

struct X509StoreDeleter {
  void operator()(X509_STORE* store) const { X509_STORE_free(store); }
};
using X509StoreOwner = std::unique_ptr<X509_STORE, X509StoreDeleter>;

// When a file was last changed, so that a replaced CA file is read again.
struct FileStamp {
  std::string path;
  timespec changed{};
  off_t size = -1;
  bool operator==(const FileStamp& other) const {
    return path == other.path && changed.tv_sec == other.changed.tv_sec &&
           changed.tv_nsec == other.changed.tv_nsec && size == other.size;
  }
};
FileStamp stamp_of(const std::string& path) {
  FileStamp stamp{path};
  struct stat info {};
  if (!path.empty() && ::stat(path.c_str(), &info) == 0) {
    stamp.changed = info.st_mtim;
    stamp.size = info.st_size;
  }
  return stamp;
}

// Where the system's CAs are: the bundle file and the hashed folder libcurl would read.
struct TrustSettings {
  std::string system_bundle;
  std::string system_folder;
  std::string extra;  // the workstation's own CA file
};

// The CAs a back-end's certificate is checked against: the system's (the ones libcurl would
// load) and the workstation's own CA file. Reading and parsing the system bundle costs tens
// of milliseconds, more than the whole rest of a payment report, so the store is built once
// and shared by every request until one of the two files changes. An X509_STORE may be used
// by several TLS contexts at once; each holds its own reference.
class TrustedCAs {
 public:
  // A reference to the store for these files, built when first asked or when a file
  // changed; null when it cannot be built (the handshake then refuses the certificate).
  X509StoreOwner For(const TrustSettings& settings) {
    const FileStamp system_stamp = stamp_of(settings.system_bundle);
    const FileStamp extra_stamp = stamp_of(settings.extra);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!store_ || !(system_stamp == system_) || !(extra_stamp == extra_) || settings.system_folder != folder_) {
      X509StoreOwner store(X509_STORE_new());
      if (!store) return nullptr;
      // A missing or unreadable file only leaves the other CAs; the refusal that may follow
      // says what to do.
      bool system = false;
      if (file_exists(settings.system_bundle))
        system = X509_STORE_load_file(store.get(), settings.system_bundle.c_str()) == 1;
      if (!settings.system_folder.empty())
        system = X509_STORE_load_path(store.get(), settings.system_folder.c_str()) == 1 || system;
      if (!system) X509_STORE_set_default_paths(store.get());
      if (file_exists(settings.extra)) X509_STORE_load_file(store.get(), settings.extra.c_str());
      // As libcurl sets on its own store: a CA file may hold an intermediate CA (or the
      // back-end's own certificate) and be trusted without the root above it.
      X509_STORE_set_flags(store.get(), X509_V_FLAG_PARTIAL_CHAIN | X509_V_FLAG_TRUSTED_FIRST);
      store_ = std::move(store);
      system_ = system_stamp;
      extra_ = extra_stamp;
      folder_ = settings.system_folder;
    }
    // The caller's reference is taken before another request can replace (and free) it.
    if (X509_STORE_up_ref(store_.get()) != 1) return nullptr;
    return X509StoreOwner(store_.get());
  }

 private:
  std::mutex mutex_;
  X509StoreOwner store_;
  FileStamp system_;
  FileStamp extra_;
  std::string folder_;
};

TrustedCAs& trusted_cas() {
  static TrustedCAs cas;
  return cas;
}

// Hands the TLS context of a request the shared store of trusted CAs.
CURLcode use_trusted_cas(CURL*, void* ssl_context, void* user) {
  X509StoreOwner store = trusted_cas().For(*static_cast<const TrustSettings*>(user));
  if (!store) return CURLE_OUT_OF_MEMORY;
  SSL_CTX_set_cert_store(static_cast<SSL_CTX*>(ssl_context), store.release());  // takes our reference
  return CURLE_OK;
}

bool file_exists(const std::string& path) {
  struct stat info {};
  return !path.empty() && ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// "https://host:port" of an address, the key its kept connection is found by.
std::string origin_of(const std::string& url) {
  const auto scheme = url.find("://");
  if (scheme == std::string::npos) return url;
  const auto end = url.find_first_of("/?#", scheme + 3);
  return url.substr(0, end);
}

// One libcurl handle per back-end, kept between requests: it holds the open connection
// (keep-alive) and the TLS session, so the next report skips the TCP and TLS handshakes, or
// at least resumes the TLS session when the connection is gone. A handle is taken out for
// a request and given back after it; a request made while another holds the back-end's
// handle gets a new one, and only one is kept.
class KeptHandles {
 public:
  CurlEasy Take(const std::string& origin) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const auto kept = handles_.find(origin);
      if (kept != handles_.end()) {
        CurlEasy handle = std::move(kept->second);
        handles_.erase(kept);
        return handle;
      }
    }
    return CurlEasy(curl_easy_init());
  }
  // Options are cleared (they point into the finished request); the connections and the
  // TLS sessions stay.
  void Give(const std::string& origin, CurlEasy handle) {
    curl_easy_reset(handle.get());
    std::lock_guard<std::mutex> lock(mutex_);
    handles_.try_emplace(origin, std::move(handle));
  }
  void Clear() {
    std::map<std::string, CurlEasy> closing;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      closing.swap(handles_);
    }
  }

 private:
  std::mutex mutex_;
  std::map<std::string, CurlEasy> handles_;
};

KeptHandles& kept_handles() {
  static KeptHandles handles;
  return handles;
}

// Servers commonly close a connection idle for 5 s (Node's and Apache's default). A
// connection the back-end is closing just as a report goes out is the one case where the
// report fails without an answer (it is never sent twice), so a kept connection is used
// only while well inside that time; after it a new one is made, resuming the TLS session.
constexpr long kKeptConnectionSeconds = 4;

}  // namespace

void CloseKeptConnections() { kept_handles().Clear(); }

std::unique_ptr<TRESTResponse> ExecuteRequest(TRESTRequestMethod Method, const std::string& URL,
                                              const TArrayParamRequest& Params, const std::string& Body,
                                              const TRestOptions& Options) {
  const std::string origin = origin_of(URL);
  CurlEasy handle = kept_handles().Take(origin);
  if (!handle) throw ERestRequestError("Request Error não foi possível criar a requisição HTTP");
  CURL* curl = handle.get();

  CurlList headers(curl_slist_append(nullptr, "Accept: */*"));
  curl_slist* last = curl_slist_append(headers.get(), "Accept-Charset: UTF-8, *;q=0.8");
  for (const TParamRequest& param : Params)
    last = curl_slist_append(headers.get(), (param.nome + ": " + param.valor).c_str());
  // libcurl would otherwise ask the server for "100 Continue" before a larger body.
  last = curl_slist_append(headers.get(), "Expect:");
  if (!Body.empty()) last = curl_slist_append(headers.get(), "Content-Type: application/json");
  if (last == nullptr) throw ERestRequestError("Request Error sem memória para os cabeçalhos");

  auto response = std::make_unique<TRESTResponse>();
  Upload upload{Body};
  Received received{response.get(), &upload};
  char error_text[CURL_ERROR_SIZE] = "";
  const bool secure = URL.rfind("https:", 0) == 0;
  TrustSettings trust;

  curl_easy_setopt(curl, CURLOPT_URL, URL.c_str());
  curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method_name(Method));
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
  if (Method == TRESTRequestMethod::rmGET) {
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  } else if (!Body.empty() || sends_body(Method)) {
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(Body.size()));
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, read_body);
    curl_easy_setopt(curl, CURLOPT_READDATA, &upload);
    curl_easy_setopt(curl, CURLOPT_SEEKFUNCTION, rewind_body);
    curl_easy_setopt(curl, CURLOPT_SEEKDATA, &upload);
  }
  // Without a body there is nothing to hold back a second sending of the request, so a
  // request that may change something starts on a connection of its own.
  if (Body.empty() && Method != TRESTRequestMethod::rmGET) curl_easy_setopt(curl, CURLOPT_FRESH_CONNECT, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXAGE_CONN, kKeptConnectionSeconds);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(curl, CURLOPT_POSTREDIR, static_cast<long>(CURL_REDIR_POST_ALL));
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(Options.Timeout.count()));
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);  // threads: no SIGALRM for name look-ups
  curl_easy_setopt(curl, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, Options.VerifyTLS ? 1L : 0L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, Options.VerifyTLS ? 2L : 0L);
  if (Options.VerifyTLS) {
    // The CA bundle libcurl would read for itself on every request; it reads nothing now,
    // and the shared store is put in its place.
    char* system_bundle = nullptr;
    if (curl_easy_getinfo(curl, CURLINFO_CAINFO, &system_bundle) == CURLE_OK && system_bundle != nullptr)
      trust.system_bundle = system_bundle;
    char* system_folder = nullptr;
    if (curl_easy_getinfo(curl, CURLINFO_CAPATH, &system_folder) == CURLE_OK && system_folder != nullptr)
      trust.system_folder = system_folder;
    trust.extra = Options.ExtraCAFile;
    curl_easy_setopt(curl, CURLOPT_CAINFO, nullptr);
    curl_easy_setopt(curl, CURLOPT_CAPATH, nullptr);
    curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, use_trusted_cas);
    curl_easy_setopt(curl, CURLOPT_SSL_CTX_DATA, &trust);
    // libcurl would keep the first store in the kept handle and put it back in every later
    // connection, so a changed CA file would never count; the shared store is the one cache.
    curl_easy_setopt(curl, CURLOPT_CA_CACHE_TIMEOUT, 0L);
  }
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, on_body);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &received);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, on_header);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &received);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error_text);

  const CURLcode result = curl_easy_perform(curl);
  // The handle goes back with its connection, whatever the outcome; libcurl closes one
  // that cannot serve again.
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response->StatusCode);
  kept_handles().Give(origin, std::move(handle));
  if (result == CURLE_WRITE_ERROR && received.too_large) {
    // The answer came, with a status; only its body is beyond what is read.
    response->Content.clear();
    response->ContentTooLarge = true;
    return response;
  }
  const long status = response->StatusCode;
  if (result != CURLE_OK && status >= 200 && (status < 300 || status >= 400) && received.final_headers_done) {
    // The answer came, with its status line and headers, and only its body was cut off (the
    // peer closed early, or stopped sending): the status stands, as for a body too large.
    // A back-end that answered 201 has recorded the payment, and undoing it would be wrong.
    response->Content.clear();
    response->ContentCutShort = true;
    return response;
  }
  if (result != CURLE_OK) {
    std::string reason = error_text[0] != '\0' ? error_text : curl_easy_strerror(result);
    if (upload.refused_again) reason = "Empty reply from server";
    if (result == CURLE_PEER_FAILED_VERIFICATION) throw ERestCertificateRefused("Request Error " + reason);
    throw ERestRequestError("Request Error " + reason);
  }
  return response;
}
