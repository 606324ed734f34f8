#pragma once
// Test helpers shared by the listener and service tests: a scratch service folder with
// development certificates, a free loopback port, and a small blocking TLS WebSocket client.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

namespace testing_support {

// A client frame: FIN + opcode, the length in the shortest form, masked with a fixed key
// unless `masked` is false.
inline std::string client_frame(uint8_t opcode, const std::string& payload, bool fin = true,
                                bool masked = true) {
  std::string frame;
  frame += static_cast<char>((fin ? 0x80 : 0) | opcode);
  const uint8_t mask_bit = masked ? 0x80 : 0;
  if (payload.size() <= 125) {
    frame += static_cast<char>(mask_bit | payload.size());
  } else if (payload.size() <= 0xFFFF) {
    frame += static_cast<char>(mask_bit | 126);
    frame += static_cast<char>(payload.size() >> 8);
    frame += static_cast<char>(payload.size() & 0xFF);
  } else {
    frame += static_cast<char>(mask_bit | 127);
    for (int i = 7; i >= 0; --i) frame += static_cast<char>((payload.size() >> (8 * i)) & 0xFF);
  }
  std::string body = payload;
  if (masked) {
    const char key[4] = {0x37, static_cast<char>(0xFA), 0x21, 0x3D};
    frame.append(key, 4);
    for (size_t i = 0; i < body.size(); ++i) body[i] ^= key[i % 4];
  }
  return frame + body;
}

// A fresh folder under the system's temp folder, removed when the object goes.
struct ScratchFolder {
  std::string path;
  ScratchFolder() {
    char pattern[] = "/tmp/norvane-test-XXXXXX";
    path = mkdtemp(pattern);
    path += "/";
  }
  ~ScratchFolder() { std::filesystem::remove_all(path); }
};

// Development certificates are made once per test program and copied into each folder.
inline void put_certificates(const std::string& folder) {
  static const ScratchFolder certificates;
  static const std::string made = [] {
    std::string command = std::string(NORVANE_SOURCE_DIR) + "/scripts/make-dev-certs.sh '" +
                          certificates.path + "' >/dev/null";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("make-dev-certs.sh failed");
    return certificates.path + "Certificado";
  }();
  std::filesystem::create_directories(folder + "Certificado");
  for (const char* name : {"server_cert.pem", "server_key.pem", "ca_cert.pem"})
    std::filesystem::copy_file(made + "/" + name, folder + "Certificado/" + name,
                               std::filesystem::copy_options::overwrite_existing);
}

inline uint16_t free_loopback_port() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t size = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  ::close(fd);
  return ntohs(address.sin_port);
}

inline bool port_open(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  bool open = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return open;
}

inline bool wait_until(const std::function<bool()>& condition, int timeout_ms = 5000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// One WebSocket frame as the server sent it.
struct Frame {
  uint8_t first_byte = 0;
  std::string payload;
};

// A blocking TLS client with a 5 s receive time-out, so that a test never hangs.
class TlsTestClient {
 public:
  ~TlsTestClient() {
    if (ssl_) SSL_free(ssl_);
    if (context_) SSL_CTX_free(context_);
    if (fd_ >= 0) ::close(fd_);
  }

  bool Connect(uint16_t port, int tls_version = TLS1_2_VERSION) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    timeval timeout{5, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return false;
    context_ = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_min_proto_version(context_, tls_version);
    SSL_CTX_set_max_proto_version(context_, tls_version);
    ssl_ = SSL_new(context_);
    SSL_set_fd(ssl_, fd_);
    bool ok = SSL_connect(ssl_) == 1;
    ERR_clear_error();
    return ok;
  }

  void Send(const std::string& bytes) {
    if (SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size())) <= 0)
      throw std::runtime_error("write failed");
  }

  // The TLS record that sending these bytes would put on the wire, made without sending it,
  // so that a test can send it in pieces with SendRaw. Records carry a sequence number:
  // they must go on the wire in the order they were sealed.
  std::string SealRecord(const std::string& bytes) {
    BIO* memory = BIO_new(BIO_s_mem());
    BIO_up_ref(SSL_get_rbio(ssl_));  // the socket's BIO stays for reading
    SSL_set0_wbio(ssl_, memory);
    if (SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size())) <= 0) throw std::runtime_error("seal failed");
    (void)BIO_flush(SSL_get_wbio(ssl_));  // through the buffer the handshake may have left in front
    char* data = nullptr;
    const long size = BIO_get_mem_data(memory, &data);
    std::string record(data, static_cast<size_t>(size));
    SSL_set0_wbio(ssl_, BIO_new_socket(fd_, BIO_NOCLOSE));
    return record;
  }

  void SendRaw(const std::string& bytes) {
    if (::send(fd_, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()))
      throw std::runtime_error("raw write failed");
  }

  // Bytes up to and including the blank line that ends the server's handshake answer.
  std::string Handshake(const std::string& key = "dGhlIHNhbXBsZSBub25jZQ==") {
    Send(UpgradeRequest(key));
    return HandshakeAnswer();
  }
  static std::string UpgradeRequest(const std::string& key = "dGhlIHNhbXBsZSBub25jZQ==") {
    return "GET / HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Key: " + key + "\r\nSec-WebSocket-Version: 13\r\n\r\n";
  }
  std::string HandshakeAnswer() {
    std::string answer;
    while (answer.size() < 4 || answer.compare(answer.size() - 4, 4, "\r\n\r\n") != 0) {
      char c;
      if (SSL_read(ssl_, &c, 1) != 1) break;
      answer += c;
    }
    return answer;
  }

  // A client frame (masked unless told otherwise), as browsers send them.
  void SendFrame(uint8_t opcode, const std::string& payload, bool fin = true, bool masked = true) {
    Send(client_frame(opcode, payload, fin, masked));
  }

  // Reads exactly n bytes; false when the connection ends first.
  bool ReadExact(std::string& out, size_t n) {
    out.resize(n);
    size_t got = 0;
    while (got < n) {
      int r = SSL_read(ssl_, out.data() + got, static_cast<int>(n - got));
      if (r <= 0) {
        ERR_clear_error();
        return false;
      }
      got += static_cast<size_t>(r);
    }
    return true;
  }

  bool ReadFrame(Frame& frame) {
    std::string header;
    if (!ReadExact(header, 2)) return false;
    frame.first_byte = static_cast<uint8_t>(header[0]);
    uint64_t length = static_cast<uint8_t>(header[1]) & 0x7F;
    std::string extended;
    if (length == 126 || length == 127) {
      if (!ReadExact(extended, length == 126 ? 2 : 8)) return false;
      length = 0;
      for (char c : extended) length = (length << 8) | static_cast<uint8_t>(c);
    }
    return ReadExact(frame.payload, length);
  }

  // Everything the server sends until it closes the connection (or 5 s pass).
  std::string ReadUntilClosed() {
    std::string all;
    char buffer[4096];
    for (;;) {
      int r = SSL_read(ssl_, buffer, sizeof buffer);
      if (r <= 0) break;
      all.append(buffer, static_cast<size_t>(r));
    }
    ERR_clear_error();
    return all;
  }

  // True when something (data, an alert or the end of the stream) is waiting to be read,
  // without waiting for it.
  bool InputWaiting() {
    if (SSL_pending(ssl_) > 0) return true;
    pollfd waiting{fd_, POLLIN, 0};
    return ::poll(&waiting, 1, 0) > 0;
  }

  // True when the server closed the connection (end of stream or reset) within 5 s.
  bool ClosedByServer() {
    char c;
    int r = SSL_read(ssl_, &c, 1);
    if (r > 0) return false;
    int error = SSL_get_error(ssl_, r);
    ERR_clear_error();
    // A receive time-out shows as "want read"; a close with or without close_notify, or a
    // reset, as anything else.
    return error != SSL_ERROR_WANT_READ &&
           !(error == SSL_ERROR_SYSCALL && (errno == EAGAIN || errno == EWOULDBLOCK));
  }

 private:
  int fd_ = -1;
  SSL_CTX* context_ = nullptr;
  SSL* ssl_ = nullptr;
};

}  // namespace testing_support
