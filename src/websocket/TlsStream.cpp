#include "websocket/TlsStream.h"

#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

namespace norvane {
namespace {

std::string last_tls_error() {
  unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "erro desconhecido";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

}  // namespace

SSL_CTX* CreateServerTlsContext(const std::string& cert_file, const std::string& key_file,
                                const std::string& ca_file) {
  SSL_CTX* context = SSL_CTX_new(TLS_server_method());
  if (!context) throw std::runtime_error("TLS: " + last_tls_error());
  auto fail = [&](const std::string& what) {
    std::string reason = last_tls_error();
    SSL_CTX_free(context);
    throw std::runtime_error("TLS: " + what + ": " + reason);
  };
  if (!SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) ||
      !SSL_CTX_set_max_proto_version(context, TLS1_2_VERSION))
    fail("versão do protocolo");
  if (SSL_CTX_use_certificate_file(context, cert_file.c_str(), SSL_FILETYPE_PEM) != 1)
    fail(cert_file);
  if (SSL_CTX_use_PrivateKey_file(context, key_file.c_str(), SSL_FILETYPE_PEM) != 1)
    fail(key_file);
  if (SSL_CTX_check_private_key(context) != 1) fail(key_file);
  // The CA completes the chain sent to clients.
  if (SSL_CTX_load_verify_locations(context, ca_file.c_str(), nullptr) != 1) fail(ca_file);
  SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
  SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION);
  SSL_CTX_set_mode(context, SSL_MODE_AUTO_RETRY);
  return context;
}

TTlsStream::TTlsStream(int fd, SSL_CTX* context) : fd_(fd), ssl_(SSL_new(context)) {
  if (!ssl_) throw std::runtime_error("TLS: " + last_tls_error());
  SSL_set_fd(ssl_, fd_);
}

TTlsStream::~TTlsStream() {
  SSL_free(ssl_);
  ::close(fd_);
}

bool TTlsStream::wait_socket(short events, int timeout_ms) {
  pollfd p{fd_, events, 0};
  for (;;) {
    int n = ::poll(&p, 1, timeout_ms);
    if (n >= 0) return n > 0;  // errors and hang-ups count as ready: the next call reports them
    if (errno != EINTR) return true;
  }
}

bool TTlsStream::AcceptTls(int timeout_ms) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (aborted_) return false;
    ERR_clear_error();
    int result = SSL_accept(ssl_);
    if (result == 1) return true;
    int error = SSL_get_error(ssl_, result);
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    if (error == SSL_ERROR_WANT_READ) {
      if (!wait_socket(POLLIN, static_cast<int>(left.count()))) return false;
    } else if (error == SSL_ERROR_WANT_WRITE) {
      if (!wait_socket(POLLOUT, static_cast<int>(left.count()))) return false;
    } else {
      ERR_clear_error();
      return false;
    }
  }
}

bool TTlsStream::Receive(std::string& into, int timeout_ms) {
  if (!Connected()) throw EConnectionClosed();
  char buffer[16 * 1024];
  for (;;) {
    ERR_clear_error();
    int n = SSL_read(ssl_, buffer, sizeof buffer);
    if (n > 0) {
      into.append(buffer, static_cast<size_t>(n));
      return true;
    }
    int error = SSL_get_error(ssl_, n);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
      if (aborted_) throw EConnectionClosed();
      // A TLS record may arrive in several TCP segments; each wait gets the whole time-out,
      // which only matters for a peer that dribbles single bytes.
      if (!wait_socket(error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, timeout_ms)) return false;
      continue;
    }
    closed_ = true;
    ERR_clear_error();
    throw EConnectionClosed();
  }
}

void TTlsStream::Write(const void* data, size_t n) {
  if (!Connected()) throw EConnectionClosed();
  const char* bytes = static_cast<const char*>(data);
  while (n > 0) {
    ERR_clear_error();
    size_t written = 0;
    int result = SSL_write_ex(ssl_, bytes, n, &written);
    if (result == 1) {
      bytes += written;
      n -= written;
      continue;
    }
    int error = SSL_get_error(ssl_, result);
    if ((error == SSL_ERROR_WANT_WRITE || error == SSL_ERROR_WANT_READ) && !aborted_) {
      wait_socket(error == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN, -1);
      continue;
    }
    closed_ = true;
    ERR_clear_error();
    throw EConnectionClosed();
  }
}

void TTlsStream::Close() {
  if (closed_) return;
  closed_ = true;
  if (!aborted_) {
    ERR_clear_error();
    SSL_shutdown(ssl_);  // best effort: the peer may be gone, and nothing waits for its answer
    ERR_clear_error();
  }
  ::shutdown(fd_, SHUT_RDWR);
}

void TTlsStream::Abort() {
  if (!aborted_.exchange(true)) ::shutdown(fd_, SHUT_RDWR);
}

}  // namespace norvane
