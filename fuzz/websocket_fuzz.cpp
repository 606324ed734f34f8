// Feeds arbitrary bytes to the WebSocket upgrade-request parser and then to the frame
// decoder, as a client would send them after the TLS handshake. The first byte chooses
// where the input splits into two arrivals, so frames cut anywhere are exercised as well,
// and how the second arrival is read.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <cstdint>
#include <string>

#include "websocket/WebSocketCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  namespace ws = norvane::websocket;
  if (size == 0) return 0;
  const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  const size_t split = bytes.empty() ? 0 : data[0] % (bytes.size() + 1);
  static const std::vector<std::string> origins = ws::ParseAllowedOrigins("https://a.example, http://b");

  // The request may end anywhere; what follows its blank line is frames.
  size_t frames_from = 0;
  for (size_t end : {split, bytes.size()}) {
    const ws::TUpgradeRequest request = ws::ParseUpgradeRequest(std::string_view(bytes).substr(0, end), origins);
    if (request.status == ws::UpgradeStatus::Incomplete) continue;
    if (request.length > end) __builtin_trap();
    frames_from = request.length;
    break;
  }

  ws::TFrameDecoder decoder;
  ws::TReadResult result;
  size_t held_text = 0;
  for (size_t end : {split, bytes.size()}) {
    if (end <= frames_from) continue;
    // The first arrival is copied in whole; the second is read the connection's way, into
    // the decoder's Space in reads of a size the first byte picks, with results taken
    // between reads.
    const size_t read = end == split ? end - frames_from : 1 + data[0] % 61;
    while (frames_from < end) {
      const ws::TFrameDecoder::TSpace space = decoder.Space(read);
      if (space.size == 0) __builtin_trap();
      const size_t n = std::min({space.size, read, end - frames_from});
      std::memcpy(space.data, bytes.data() + frames_from, n);
      decoder.Filled(n);
      frames_from += n;
      while (decoder.Next(result)) {
        if (result.kind == ws::TReadResult::Kind::Message && result.text.empty()) __builtin_trap();
        held_text += result.text.size();
      }
    }
  }
  if (held_text > bytes.size() && held_text > ws::kMaxPayload) __builtin_trap();
  return 0;
}
