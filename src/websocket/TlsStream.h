#pragma once
#include <openssl/ssl.h>

#include <string>

namespace norvane {

// The server's TLS settings: TLS 1.2 only, certificate, key and CA from the given files, no
// client certificate asked for. Raises std::runtime_error with the reason when a file is
// missing or does not fit.
SSL_CTX* CreateServerTlsContext(const std::string& cert_file, const std::string& key_file,
                                const std::string& ca_file);

// One accepted TLS connection on a non-blocking socket. It never waits: each call does what
// the socket allows now and says what it needs next, so that the connection's one thread
// can wait on the socket and its wake-up descriptor together.
class TTlsSocket {
 public:
  enum class Io { Done, WantRead, WantWrite, Closed };

  TTlsSocket(int fd, SSL_CTX* context);
  ~TTlsSocket();
  TTlsSocket(const TTlsSocket&) = delete;
  TTlsSocket& operator=(const TTlsSocket&) = delete;

  int Fd() const { return fd_; }
  // One step of the TLS handshake.
  Io Accept();
  // Appends what can be read now (at most `limit` bytes); Done when something was read.
  Io Read(std::string& into, size_t limit);
  // Reads what can be read now straight into `data` (at most `n` bytes); `got` says how
  // many. Done when something was read. Unless `n` bytes came, what the TLS layer read ahead
  // is all handed out, but for part of a record whose rest is still on its way: a poll of
  // the socket then tells when more can be read.
  Io ReadInto(char* data, size_t n, size_t& got);
  // Writes as much of the bytes as the socket takes now; `written` says how many.
  Io Write(const char* data, size_t n, size_t& written);
  // Sends close_notify (best effort) and shuts the socket down.
  void Close();

 private:
  static constexpr size_t kLargestRecord = 16 * 1024;  // of plain bytes, in TLS 1.2
  Io wants(int result);
  int fd_;
  SSL* ssl_;
  bool closed_ = false;
};

}  // namespace norvane
