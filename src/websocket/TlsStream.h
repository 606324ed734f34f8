#pragma once
#include <openssl/ssl.h>

#include <atomic>

#include "websocket/ByteStream.h"

namespace norvane {

// The server's TLS settings: TLS 1.2 only, certificate, key and CA from the given files, no
// client certificate asked for. Raises std::runtime_error with the reason when a file is
// missing or does not fit.
SSL_CTX* CreateServerTlsContext(const std::string& cert_file, const std::string& key_file,
                                const std::string& ca_file);

// One accepted TLS connection. The socket is non-blocking and every wait is a poll(), so a
// wait with a time-out really waits and Abort() from another thread wakes any wait at once.
class TTlsStream : public TByteStream {
 public:
  TTlsStream(int fd, SSL_CTX* context);
  ~TTlsStream() override;
  TTlsStream(const TTlsStream&) = delete;
  TTlsStream& operator=(const TTlsStream&) = delete;

  // The TLS handshake, before any data is read; false when it fails or takes longer than
  // timeout_ms (a client that opens the port and says nothing does not hold a thread).
  bool AcceptTls(int timeout_ms);

  void Write(const void* data, size_t n) override;
  void Close() override;
  bool Connected() const override { return !closed_ && !aborted_; }

  // Safe from any thread: shuts the socket down so that the connection's own thread,
  // wherever it waits, finds the connection closed. The descriptor stays reserved until
  // the stream is destroyed, so it cannot be reused under that thread.
  void Abort();
  bool Aborted() const { return aborted_; }

 protected:
  bool Receive(std::string& into, int timeout_ms) override;

 private:
  // Waits for the socket to become readable or writable; false on time-out.
  bool wait_socket(short events, int timeout_ms);
  int fd_;
  SSL* ssl_;
  bool closed_ = false;
  std::atomic<bool> aborted_{false};
};

}  // namespace norvane
