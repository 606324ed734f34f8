#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "websocket/ByteStream.h"

// The WebSocket handshake and frame codec (RFC 6455). It knows bytes, not sockets: it
// reads from and writes to a TByteStream, so the same code runs on a TLS connection and on
// memory buffers. The caller holds the connection's lock around each call.

// Accept value of the handshake: SHA-1 of the key followed by the protocol's fixed GUID,
// encoded in base64.
std::string GenerateSecWebSocketAccept(const std::string& SecWebSocketKey);

namespace norvane::websocket {

enum class Opcode : uint8_t {
  Continuation = 0x0,
  Text = 0x1,
  Binary = 0x2,
  Close = 0x8,
  Ping = 0x9,
  Pong = 0xA,
};

// Longest line of the upgrade request and most lines in it: far above what browsers send,
// small enough that a client cannot make the service hold an endless header.
constexpr size_t kMaxHandshakeLine = 8 * 1024;
constexpr size_t kMaxHandshakeLines = 100;
// Largest message accepted, after decompression too. Lengths above it are refused before
// anything is allocated for them: a 64-bit length from the client is never trusted.
constexpr uint64_t kMaxPayload = 64ull * 1024 * 1024;
// How long the reader waits for the next piece of a payload before keeping what came.
constexpr int kPieceWaitMs = 100;
constexpr size_t kPieceSize = 8192;

// Raised when the upgrade request breaks the limits above; the connection is then dropped.
class EHandshakeRefused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads the upgrade request up to its empty line and returns the Sec-WebSocket-Key value
// (empty when there is none).
std::string ReadHandshakeKey(TByteStream& stream);
// The 101 answer for a given accept value, every line ended by CR LF.
std::string HandshakeAnswer(const std::string& accept);

// Reads one whole message and returns its text: empty for a close frame, a ping or pong, an
// empty payload, a refused size or a conversion error (the last two leave one log line).
// A close frame is answered with 0x88 0x00 and closes the stream; a ping is answered with a
// pong. Before returning, input received beyond the message is discarded.
std::string ReadWebSocketMessage(TByteStream& stream);

// One unmasked final text frame carrying `text`, written into `frame` (its capacity is
// reused between calls).
void EncodeTextFrame(std::string_view text, std::string& frame);

// XORs payload bytes with the masking key; `offset` is the position of data[0] within the
// frame's payload, so a payload read in pieces unmasks piece by piece.
void UnmaskPayload(uint8_t* data, size_t n, const uint8_t key[4], uint64_t offset);

// Inflates a gzip stream (RFC 1952) into text; raises std::runtime_error with the reason
// when the data is broken or would inflate beyond kMaxPayload.
std::string GunzipText(std::string_view compressed);

}  // namespace norvane::websocket
