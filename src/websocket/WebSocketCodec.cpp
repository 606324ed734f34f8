#include "websocket/WebSocketCodec.h"
#include "platform/Text.h"

#include <openssl/evp.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "platform/CodePage.h"
#include "service/GravaLog.h"

std::string GenerateSecWebSocketAccept(const std::string& SecWebSocketKey) {
  const std::string text = SecWebSocketKey + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_size = 0;
  EVP_Digest(text.data(), text.size(), digest, &digest_size, EVP_sha1(), nullptr);
  unsigned char encoded[4 * ((EVP_MAX_MD_SIZE + 2) / 3) + 1];
  int n = EVP_EncodeBlock(encoded, digest, static_cast<int>(digest_size));
  return std::string(reinterpret_cast<char*>(encoded), static_cast<size_t>(n));
}

namespace norvane::websocket {
namespace {

// A line of the upgrade request: ends at LF, a CR before it is dropped.
std::string read_line(TByteStream& stream) {
  std::string line;
  for (;;) {
    char c = static_cast<char>(stream.ReadByte());
    if (c == '\n') break;
    line += c;
    // The CR that ends a line does not count toward the limit.
    if (line.size() > kMaxHandshakeLine + 1 || (line.size() > kMaxHandshakeLine && c != '\r'))
      throw EHandshakeRefused("Handshake recusado: linha com mais de " +
                              std::to_string(kMaxHandshakeLine) + " bytes.");
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

uint64_t read_big_endian(TByteStream& stream, int bytes) {
  uint8_t buffer[8];
  stream.ReadExact(buffer, static_cast<size_t>(bytes));
  uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value = (value << 8) | buffer[i];
  return value;
}

// Reads up to `length` payload bytes onto the end of `into`, unmasking them when a key is
// given. Before each piece the peer gets kPieceWaitMs to deliver more; when nothing is
// waiting after that the payload is kept as far as it came and the rest, if it ever
// arrives, is read as the start of the next frame.
void read_payload(TByteStream& stream, std::string& into, uint64_t length, const uint8_t* key) {
  const size_t start = into.size();
  uint64_t got = 0;
  while (got < length) {
    size_t waiting = stream.WaitForInput(kPieceWaitMs);
    if (waiting == 0) break;
    size_t piece = static_cast<size_t>(
        std::min<uint64_t>({waiting, kPieceSize, length - got}));
    into.resize(start + got + piece);
    auto* dest = reinterpret_cast<uint8_t*>(into.data()) + start + got;
    stream.ReadExact(dest, piece);
    if (key) UnmaskPayload(dest, piece, key, got);
    got += piece;
  }
}

void write_quietly(TByteStream& stream, const void* data, size_t n) {
  try {
    stream.Write(data, n);
  } catch (const EConnectionClosed&) {
    // The peer may already be gone; the connection is closed right after in any case.
  }
}

std::string convert_to_text(uint8_t opcode, std::string bytes) {
  if (opcode == static_cast<uint8_t>(Opcode::Binary) && bytes.size() >= 2 &&
      static_cast<uint8_t>(bytes[0]) == 0x1F && static_cast<uint8_t>(bytes[1]) == 0x8B)
    bytes = GunzipText(bytes);
  if (!is_valid_utf8(bytes)) throw std::runtime_error("sequência UTF-8 inválida");
  return bytes;
}

// `pong` receives the answer to a ping that came alone; the caller writes it only after the
// input beyond the message was discarded, since a client that has its pong may send at once.
std::string read_message(TByteStream& stream, std::string& pong) {
  std::string message;
  uint8_t message_opcode = 0;
  bool first_frame_seen = false;
  for (;;) {
    uint8_t header[2];
    stream.ReadExact(header, 2);
    const bool fin = header[0] & 0x80;
    const uint8_t opcode = header[0] & 0x0F;
    const bool masked = header[1] & 0x80;
    const uint8_t length7 = header[1] & 0x7F;

    if (opcode == static_cast<uint8_t>(Opcode::Close)) {
      static const uint8_t close_frame[] = {0x88, 0x00};
      write_quietly(stream, close_frame, sizeof close_frame);
      stream.Close();
      GravaLog("Disconectado");
      return {};
    }

    uint64_t length = length7;
    if (length7 == 126) length = read_big_endian(stream, 2);
    if (length7 == 127) length = read_big_endian(stream, 8);
    uint8_t key[4];
    if (masked) stream.ReadExact(key, 4);

    const bool control = opcode == static_cast<uint8_t>(Opcode::Ping) ||
                         opcode == static_cast<uint8_t>(Opcode::Pong);
    const uint64_t collected = control ? 0 : message.size();
    if (length > kMaxPayload || collected + length > kMaxPayload) {
      // 1009: message too big. Nothing of the payload is read or allocated.
      static const uint8_t close_too_big[] = {0x88, 0x02, 0x03, 0xF1};
      write_quietly(stream, close_too_big, sizeof close_too_big);
      stream.Close();
      GravaLog("Mensagem recusada: " + std::to_string(collected + length) +
               " bytes, acima do limite de " + std::to_string(kMaxPayload) + " bytes.");
      return {};
    }

    if (control) {
      // Pings and pongs do not belong to the message: a ping is answered at once and a
      // fragmented message around it goes on. Alone, either yields no text.
      std::string payload;
      read_payload(stream, payload, length, masked ? key : nullptr);
      if (opcode == static_cast<uint8_t>(Opcode::Ping)) {
        payload.resize(std::min<size_t>(payload.size(), 125));
        pong = {static_cast<char>(0x8A), static_cast<char>(payload.size())};
        pong += payload;
        if (!first_frame_seen) return {};
        stream.Write(pong.data(), pong.size());
        pong.clear();
      }
      if (!first_frame_seen) return {};
      continue;
    }

    if (!first_frame_seen) {
      message_opcode = opcode;
      first_frame_seen = true;
    } else if (opcode != static_cast<uint8_t>(Opcode::Continuation)) {
      // A new data frame in the middle of a message starts the message over.
      message.clear();
      message_opcode = opcode;
    }
    read_payload(stream, message, length, masked ? key : nullptr);
    if (fin) break;
  }

  if (message.empty()) return {};
  try {
    return convert_to_text(message_opcode, std::move(message));
  } catch (const std::exception& error) {
    GravaLog(std::string("Erro na conversão: ") + error.what());
    return {};
  }
}

}  // namespace

std::string ReadHandshakeKey(TByteStream& stream) {
  static const std::string kKeyHeader = "Sec-WebSocket-Key:";
  std::string key;
  for (size_t lines = 0;; ++lines) {
    if (lines == kMaxHandshakeLines)
      throw EHandshakeRefused("Handshake recusado: mais de " +
                              std::to_string(kMaxHandshakeLines) + " linhas.");
    std::string line = read_line(stream);
    if (line.empty()) break;
    if (line.compare(0, kKeyHeader.size(), kKeyHeader) == 0)
      key = norvane::trim(line.substr(kKeyHeader.size()));
  }
  return key;
}

std::string HandshakeAnswer(const std::string& accept) {
  return "HTTP/1.1 101 Switching Protocols\r\n"
         "Upgrade: websocket\r\n"
         "Connection: Upgrade\r\n"
         "Sec-WebSocket-Accept: " + accept + "\r\n"
         "Access-Control-Allow-Origin: *\r\n"
         "Access-Control-Allow-Methods: GET, POST, OPTIONS\r\n"
         "Access-Control-Allow-Headers: Content-Type\r\n"
         "Access-Control-Allow-Credentials: true\r\n"
         "\r\n";
}

std::string ReadWebSocketMessage(TByteStream& stream) {
  std::string pong;
  std::string text = read_message(stream, pong);
  // The next message must be sent only after this one was taken; whatever came early goes.
  stream.DiscardInput();
  if (!pong.empty()) stream.Write(pong.data(), pong.size());
  return text;
}

void EncodeTextFrame(std::string_view text, std::string& frame) {
  const uint64_t n = text.size();
  uint8_t header[10];
  size_t header_size;
  header[0] = 0x81;
  if (n <= 125) {
    header[1] = static_cast<uint8_t>(n);
    header_size = 2;
  } else if (n <= 0xFFFF) {
    header[1] = 126;
    header[2] = static_cast<uint8_t>(n >> 8);
    header[3] = static_cast<uint8_t>(n);
    header_size = 4;
  } else {
    header[1] = 127;
    for (int i = 0; i < 8; ++i) header[2 + i] = static_cast<uint8_t>(n >> (56 - 8 * i));
    header_size = 10;
  }
  frame.resize(header_size + text.size());
  std::memcpy(frame.data(), header, header_size);
  if (!text.empty()) std::memcpy(frame.data() + header_size, text.data(), text.size());
}

void UnmaskPayload(uint8_t* data, size_t n, const uint8_t key[4], uint64_t offset) {
  // The key turned to start at this piece's offset, then repeated to eight bytes so the
  // payload is XORed a word at a time; byte order does not matter since both sides are
  // laid out as bytes in memory.
  uint8_t turned[8];
  for (size_t i = 0; i < 8; ++i) turned[i] = key[(offset + i) & 3];
  uint64_t word_key;
  std::memcpy(&word_key, turned, 8);
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    uint64_t w[4];
    std::memcpy(w, data + i, 32);
    w[0] ^= word_key;
    w[1] ^= word_key;
    w[2] ^= word_key;
    w[3] ^= word_key;
    std::memcpy(data + i, w, 32);
  }
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, data + i, 8);
    w ^= word_key;
    std::memcpy(data + i, &w, 8);
  }
  for (; i < n; ++i) data[i] ^= turned[i & 7];
}

std::string GunzipText(std::string_view compressed) {
  z_stream zs{};
  if (inflateInit2(&zs, 16 + MAX_WBITS) != Z_OK) throw std::runtime_error("zlib indisponível");
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
  zs.avail_in = static_cast<uInt>(compressed.size());
  std::string out;
  int status = Z_OK;
  while (status != Z_STREAM_END) {
    const size_t chunk = 64 * 1024;
    if (out.size() > kMaxPayload) {  // a small bomb must not fill the memory
      inflateEnd(&zs);
      throw std::runtime_error("texto descomprimido maior que " + std::to_string(kMaxPayload) +
                               " bytes");
    }
    size_t before = out.size();
    out.resize(before + chunk);
    zs.next_out = reinterpret_cast<Bytef*>(out.data() + before);
    zs.avail_out = static_cast<uInt>(chunk);
    status = inflate(&zs, Z_NO_FLUSH);
    out.resize(before + chunk - zs.avail_out);
    if (status == Z_STREAM_END) break;
    if (status == Z_BUF_ERROR || (status == Z_OK && zs.avail_in == 0 && zs.avail_out != 0)) {
      inflateEnd(&zs);
      throw std::runtime_error("dados gzip incompletos");
    }
    if (status != Z_OK) {
      std::string reason = zs.msg ? zs.msg : "erro " + std::to_string(status);
      inflateEnd(&zs);
      throw std::runtime_error("dados gzip inválidos: " + reason);
    }
  }
  inflateEnd(&zs);
  if (out.size() > kMaxPayload)
    throw std::runtime_error("texto descomprimido maior que " + std::to_string(kMaxPayload) +
                             " bytes");
  return out;
}

}  // namespace norvane::websocket
