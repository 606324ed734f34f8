#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The WebSocket handshake and frame codec (RFC 6455). It knows bytes, not sockets: the
// connection hands it what arrived and writes what it returns, so the same code runs on a
// TLS connection, in tests and under the fuzzer. It reports; the caller logs.

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
// Room kept after the bytes of a large message that arrives in one frame: the JSON reader
// scans whole blocks past a text's end and reads a text in place only when the room is
// there (else it copies it once).
constexpr size_t kMessageTailRoom = 64;
// Close codes the service sends.
constexpr uint16_t kCloseProtocolError = 1002;
constexpr uint16_t kClosePolicy = 1008;
constexpr uint16_t kCloseTooBig = 1009;

// ---- Handshake

enum class UpgradeStatus {
  Incomplete,      // the request has not ended yet: hand over more bytes
  Accepted,        // a valid upgrade: answer with HandshakeAnswer(accept of `key`)
  BadRequest,      // 400
  WrongVersion,    // 426 with the version the service speaks
  ForbiddenOrigin, // 403
};

struct TUpgradeRequest {
  UpgradeStatus status = UpgradeStatus::Incomplete;
  std::string key;     // Sec-WebSocket-Key when accepted
  std::string reason;  // why it was refused, for the log
  size_t length = 0;   // bytes of the request, blank line included (what follows is frames)
};

// Reads the upgrade request at the start of `bytes`. Only `GET <path> HTTP/1.1` with
// `Upgrade: websocket`, a `Connection` naming `Upgrade`, version 13 and a key of 16 bytes in
// base64 is accepted; header names are matched without regard to case. An `Origin` outside
// `allowed_origins` (when that list is not empty) is refused; a request without `Origin`
// comes from no web page and is let through.
TUpgradeRequest ParseUpgradeRequest(std::string_view bytes,
                                    const std::vector<std::string>& allowed_origins);
// "https://a, https://b" as a list; blanks around each origin and a trailing "/" are dropped.
std::vector<std::string> ParseAllowedOrigins(std::string_view text);
// The 101 answer for a given accept value, every line ended by CR LF.
std::string HandshakeAnswer(const std::string& accept);
// The answer for a refused request (400, 403 or 426), which then closes.
std::string RefusalAnswer(UpgradeStatus status);

// ---- Frames

// What one step of reading gave.
struct TReadResult {
  enum class Kind {
    Message,          // `text` holds a whole message (UTF-8, gzip already inflated)
    Control,          // a ping, pong or empty message: nothing to route
    ConversionError,  // the message could not be turned into text: logged, not answered
    Closed,           // the client closed: answer written, connection ends
    Refused,          // the client broke the protocol or a limit: close frame, connection ends
  } kind = Kind::Control;
  std::string text;
  std::string reply;  // bytes to write back now (pong, close frame); may be empty
  std::string log;    // line for the service log; may be empty
};

// Turns received bytes into whole messages. Bytes may come in any pieces: a frame whose
// payload has not arrived yet is kept until it has, and bytes behind a message are the
// start of the next one, never dropped.
//
// A data frame whose payload is still on its way is received straight into the message's
// own buffer, sized from the frame's header (and grown for each further fragment): the
// connection reads into Space() and says how much came with Filled(), so a large message
// is written once, unmasked where it lies, and handed over as it is.
class TFrameDecoder {
 public:
  // Copies received bytes in (through Space and Filled).
  void Append(const char* data, size_t n);
  // Where the next received bytes go, at most `most` (at least 1) of them: the message's
  // buffer while a frame's payload is coming, else the buffer of frame headers and small
  // frames. Its size is never more than the current frame's payload still owed, so bytes
  // of the next frame never land in the message. Valid until the next call on the decoder.
  struct TSpace {
    char* data;
    size_t size;
  };
  TSpace Space(size_t most);
  // `n` bytes (at most the size of the last Space) were written at its start.
  void Filled(size_t n);
  // The next result of the bytes appended so far; false when more bytes are needed. After
  // Closed or Refused it gives nothing more.
  bool Next(TReadResult& result);
  // True while a frame or a fragmented message has started and not ended.
  bool InsideMessage() const { return pos_ < buffer_.size() || in_message_; }
  // Bytes held (received and unread, plus the fragments of an unfinished message).
  size_t Held() const { return buffer_.size() - pos_ + message_.size(); }

 private:
  TReadResult refuse(uint16_t code, std::string log);
  void take_front(size_t n);
  // Room in message_ for `more` bytes and the reader's tail room, grown by doubling so that
  // a message in many fragments is not copied once per fragment.
  void reserve_message(size_t more);
  bool finish_message(TReadResult& result);
  std::string buffer_;
  size_t pos_ = 0;
  std::string message_;
  uint8_t message_opcode_ = 0;
  bool in_message_ = false;
  bool ended_ = false;
  // The data frame whose payload is being received into message_.
  uint64_t payload_left_ = 0;    // bytes still owed
  uint64_t payload_offset_ = 0;  // bytes of it received so far (the masking key's phase)
  uint8_t key_[4] = {0, 0, 0, 0};
  bool masked_ = false;
  bool frame_fin_ = false;
  bool frame_received_ = false;  // its payload is whole: Next goes on from there
  size_t space_start_ = 0;       // where the last Space began in its buffer
  bool space_in_message_ = false;
};

// A close frame with a status code (no reason text).
std::string CloseFrame(uint16_t code);

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
