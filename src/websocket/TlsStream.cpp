#include "websocket/TlsStream.h"

#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
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

TTlsSocket::TTlsSocket(int fd, SSL_CTX* context) : fd_(fd), ssl_(SSL_new(context)) {
  if (!ssl_) {
    ::close(fd_);
    throw std::runtime_error("TLS: " + last_tls_error());
  }
  SSL_set_fd(ssl_, fd_);
  // A write cut short by a full socket goes on later from where it stopped, possibly from
  // a buffer that moved meanwhile (the outgoing queue owns the bytes).
  SSL_set_mode(ssl_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // Records are read from the socket as many at a time as have come, not a header and then
  // its body: one read(2) for a message where there were two. What is read ahead stays in
  // the session until asked for: no poll of the socket sees it.
  SSL_set_read_ahead(ssl_, 1);
}

TTlsSocket::~TTlsSocket() {
  SSL_free(ssl_);
  ::close(fd_);
}

TTlsSocket::Io TTlsSocket::wants(int result) {
  const int error = SSL_get_error(ssl_, result);
  if (error == SSL_ERROR_WANT_READ) return Io::WantRead;
  if (error == SSL_ERROR_WANT_WRITE) return Io::WantWrite;
  closed_ = true;
  ERR_clear_error();
  return Io::Closed;
}

TTlsSocket::Io TTlsSocket::Accept() {
  if (closed_) return Io::Closed;
  ERR_clear_error();
  const int result = SSL_accept(ssl_);
  return result == 1 ? Io::Done : wants(result);
}

TTlsSocket::Io TTlsSocket::Read(std::string& into, size_t limit) {
  if (closed_) return Io::Closed;
  char buffer[16 * 1024];
  size_t total = 0;
  while (total < limit) {
    ERR_clear_error();
    const int n = SSL_read(ssl_, buffer, static_cast<int>(std::min(sizeof buffer, limit - total)));
    if (n <= 0) {
      // Bytes read before an end are handed over; the next call reports the end.
      const Io next = wants(n);
      return total > 0 ? Io::Done : next;
    }
    into.append(buffer, static_cast<size_t>(n));
    total += static_cast<size_t>(n);
    if (static_cast<size_t>(n) < kLargestRecord && !SSL_has_pending(ssl_)) break;  // as in ReadInto
  }
  return Io::Done;
}

TTlsSocket::Io TTlsSocket::ReadInto(char* data, size_t n, size_t& got) {
  got = 0;
  if (closed_) return Io::Closed;
  while (got < n) {
    ERR_clear_error();
    size_t piece = 0;
    if (SSL_read_ex(ssl_, data + got, n - got, &piece) != 1) {
      // Bytes read before an end are handed over; the next call reports the end.
      const Io next = wants(0);
      return got > 0 ? Io::Done : next;
    }
    got += piece;
    // A record shorter than the largest ends what the client sent for now, when nothing
    // more was read ahead: the socket's next bytes come with the next poll, so no read is
    // made only to learn that there are none yet.
    if (piece < kLargestRecord && !SSL_has_pending(ssl_)) break;
  }
  return Io::Done;
}


TTlsSocket::Io TTlsSocket::Write(const char* data, size_t n, size_t& written) {
  written = 0;
  if (closed_) return Io::Closed;
  while (written < n) {
    ERR_clear_error();
    size_t piece = 0;
    const int result = SSL_write_ex(ssl_, data + written, n - written, &piece);
    if (result != 1) return wants(result);
    written += piece;
  }
  return Io::Done;
}

void TTlsSocket::Close() {
  if (!closed_) {
    ERR_clear_error();
    SSL_shutdown(ssl_);  // best effort: the peer may be gone, and nothing waits for its answer
    ERR_clear_error();
  }
  closed_ = true;
  ::shutdown(fd_, SHUT_RDWR);
}

}  // namespace norvane
