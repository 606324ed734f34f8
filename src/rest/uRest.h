#pragma once
// A small HTTP client for the service's outward calls (the sales back-end's callback), on
// libcurl. curl_global_init must have run once, before any thread started (main does it).
#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

enum class TRESTRequestMethod { rmPOST, rmPUT, rmGET, rmDELETE, rmPATCH };

// A request header of the caller's, sent as "nome: valor" (the callback sends none; query,
// form and URL-segment parameters had no caller and are gone).
struct TParamRequest {
  std::string nome;
  std::string valor;
};

using TArrayParamRequest = std::vector<TParamRequest>;

// What came back: the last answer after any redirects.
struct TRESTResponse {
  long StatusCode = 0;
  std::string StatusText;  // the reason phrase of the status line ("Created")
  std::string Content;
  // The body went beyond kMaxResponseBytes: it was not read further, and Content holds
  // nothing of it. The status still stands.
  bool ContentTooLarge = false;
  // The status line and headers came, and then the body stopped short (the connection
  // closed or broke): Content holds nothing of it. The status still stands.
  bool ContentCutShort = false;
};

// How the peer's certificate is checked and how long a call may take.
struct TRestOptions {
  // Verify the server's certificate chain and name against the system's CAs and ExtraCAFile.
  // Off accepts any certificate, so anyone on the path can answer in the server's place.
  bool VerifyTLS = true;
  std::string ExtraCAFile;  // PEM; ignored when empty or missing
  std::chrono::milliseconds Timeout{60000};
};

// Raised for a call that got no HTTP answer (no connection, time-out, TLS failure). The
// message is "Request Error " + the reason.
class ERestRequestError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The server's certificate was refused by the check of TRestOptions::VerifyTLS.
class ERestCertificateRefused : public ERestRequestError {
 public:
  using ERestRequestError::ERestRequestError;
};

// A back-end answer body larger than this is not read (ContentTooLarge): the callback's answer
// is a small JSON object, and its status decides.
inline constexpr std::size_t kMaxResponseBytes = 1024 * 1024;

// One request: Accept "*/*", Accept-Charset "UTF-8, *;q=0.8", no user agent, redirects
// followed (a POST is posted again to the new place; an https address is never redirected
// to plain http), the body (when not empty) as application/json. HTTP error statuses come
// back as responses; only a call without an answer raises.
std::unique_ptr<TRESTResponse> ExecuteRequest(TRESTRequestMethod Method, const std::string& URL,
                                              const TArrayParamRequest& Params, const std::string& Body,
                                              const TRestOptions& Options = {});

// Closes the connections ExecuteRequest keeps open between requests (one per back-end);
// before curl_global_cleanup.
void CloseKeptConnections();

// The signature of ExecuteRequest, so that the data module can be handed another in tests.
using TExecuteRequest = std::function<std::unique_ptr<TRESTResponse>(
    TRESTRequestMethod, const std::string&, const TArrayParamRequest&, const std::string&)>;
