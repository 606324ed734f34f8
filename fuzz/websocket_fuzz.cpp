// Feeds arbitrary bytes to the WebSocket handshake reader and then to the frame reader, as
// a client would send them after the TLS handshake. The first byte chooses where the input
// splits into two bursts, so the 100 ms piece rule (a payload cut short by a pause) is
// exercised as well.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "platform/ExeFolder.h"
#include "websocket/WebSocketCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool log_elsewhere = [] {
    // Log lines of refused input go to a scratch folder, not beside the fuzzer.
    norvane::set_exe_folder_for_tests("/tmp/norvane-websocket-fuzz/");
    return true;
  }();
  (void)log_elsewhere;
  if (size == 0) return 0;
  const size_t split = size > 1 ? 1 + data[0] % (size - 1) : 1;
  std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::deque<std::string> arrivals{bytes.substr(0, split - 1), bytes.substr(split - 1)};
  norvane::TMemoryByteStream stream(arrivals);
  try {
    norvane::websocket::ReadHandshakeKey(stream);
    while (stream.Connected()) norvane::websocket::ReadWebSocketMessage(stream);
  } catch (const norvane::EConnectionClosed&) {
  } catch (const norvane::websocket::EHandshakeRefused&) {
  }
  return 0;
}
