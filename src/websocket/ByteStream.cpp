#include "websocket/ByteStream.h"

#include <cstring>

namespace norvane {

size_t TByteStream::WaitForInput(int timeout_ms) {
  if (buffered() == 0) {
    input_.clear();
    read_pos_ = 0;
    Receive(input_, timeout_ms);
  }
  return buffered();
}

void TByteStream::ReadExact(void* out, size_t n) {
  auto* dest = static_cast<uint8_t*>(out);
  while (n > 0) {
    if (buffered() == 0) WaitForInput(-1);
    size_t take = std::min(n, buffered());
    std::memcpy(dest, input_.data() + read_pos_, take);
    read_pos_ += take;
    dest += take;
    n -= take;
  }
}

uint8_t TByteStream::ReadByte() {
  uint8_t byte;
  ReadExact(&byte, 1);
  return byte;
}

void TByteStream::DiscardInput() {
  input_.clear();
  read_pos_ = 0;
  try {
    std::string dropped;
    while (Receive(dropped, 0)) dropped.clear();
  } catch (const EConnectionClosed&) {
    // A closed connection has nothing left to drop; the next read reports the close.
  }
}

void TMemoryByteStream::Write(const void* data, size_t n) {
  if (closed_) throw EConnectionClosed();
  written.append(static_cast<const char*>(data), n);
}

bool TMemoryByteStream::Receive(std::string& into, int timeout_ms) {
  // The peer having sent everything does not close our side: writes still go through.
  if (closed_ || arrivals_.empty()) throw EConnectionClosed();
  if (timeout_ms >= 0) return false;  // the next burst comes later than any finite wait
  into += arrivals_.front();
  arrivals_.pop_front();
  return true;
}

}  // namespace norvane
