#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <stdexcept>
#include <string>

namespace norvane {

// Raised when a read or write finds the connection closed (by the peer, by the service, or
// by an error on the socket). It leaves the frame reader and ends the connection's handler.
class EConnectionClosed : public std::runtime_error {
 public:
  EConnectionClosed() : std::runtime_error("Conexão fechada.") {}
};

// A connection seen as bytes: what the WebSocket handshake and frame codec read from and
// write to. The TLS socket implements it in the service; tests and the fuzzer feed memory.
//
// Input arrives through Receive() into a buffer of "received, not yet read" bytes. That
// buffer is what the frame reader's 100 ms rule looks at and what DiscardInput() empties.
class TByteStream {
 public:
  virtual ~TByteStream() = default;

  // Bytes already received and not yet read. When there are none, waits up to timeout_ms
  // (-1: as long as it takes) for more; 0 when none came in time.
  size_t WaitForInput(int timeout_ms);
  // Reads exactly n bytes, waiting as long as it takes.
  void ReadExact(void* out, size_t n);
  uint8_t ReadByte();
  // Drops every byte received and not yet read, including what the connection can hand
  // over without waiting. Never raises.
  void DiscardInput();

  // Writes all bytes or raises EConnectionClosed.
  virtual void Write(const void* data, size_t n) = 0;
  // Closes the connection; later reads and writes raise EConnectionClosed.
  virtual void Close() = 0;
  virtual bool Connected() const = 0;

 protected:
  // Appends newly received bytes to `into`, waiting up to timeout_ms (-1: no limit, 0: only
  // what is there now). False when nothing came in time; EConnectionClosed at the end.
  virtual bool Receive(std::string& into, int timeout_ms) = 0;

 private:
  size_t buffered() const { return input_.size() - read_pos_; }
  std::string input_;
  size_t read_pos_ = 0;
};

// A connection played from memory. Each "arrival" is a burst of bytes that comes in one
// go; between arrivals the peer pauses for longer than any finite wait, so a wait with a
// time-out sees only the current burst and a wait without one takes the next. After the
// last arrival the peer has closed. Everything written is kept in `written`.
class TMemoryByteStream : public TByteStream {
 public:
  explicit TMemoryByteStream(std::deque<std::string> arrivals = {})
      : arrivals_(std::move(arrivals)) {}

  void Write(const void* data, size_t n) override;
  void Close() override { closed_ = true; }
  bool Connected() const override { return !closed_; }

  std::string written;

 protected:
  bool Receive(std::string& into, int timeout_ms) override;

 private:
  std::deque<std::string> arrivals_;
  bool closed_ = false;
};

}  // namespace norvane
