#include "websocket/WebSocketCodec.h"
#include "platform/Text.h"

#include <openssl/evp.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <stdexcept>

#include "platform/CodePage.h"

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

bool equals_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.front()) <= ' ') text.remove_prefix(1);
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.remove_suffix(1);
  return text;
}

// True when the comma-separated list holds `token` (any letter case).
bool list_contains(std::string_view list, std::string_view token) {
  while (!list.empty()) {
    size_t comma = list.find(',');
    if (equals_ignoring_case(trimmed(list.substr(0, comma)), token)) return true;
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  return false;
}

// A key is 16 random bytes in base64: 22 characters of the alphabet and "==".
bool valid_key(std::string_view key) {
  if (key.size() != 24 || key.substr(22) != "==") return false;
  for (size_t i = 0; i < 22; ++i) {
    const char c = key[i];
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '/') return false;
  }
  // The last character before the padding carries 2 bits of data and 4 of zero.
  return std::string_view("AQgw").find(key[21]) != std::string_view::npos;
}

std::string origin_form(std::string_view origin) {
  std::string text(trimmed(origin));
  while (!text.empty() && text.back() == '/') text.pop_back();
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

TUpgradeRequest refused(UpgradeStatus status, std::string reason, size_t length) {
  TUpgradeRequest request;
  request.status = status;
  request.reason = std::move(reason);
  request.length = length;
  return request;
}

uint64_t big_endian(const uint8_t* bytes, int n) {
  uint64_t value = 0;
  for (int i = 0; i < n; ++i) value = (value << 8) | bytes[i];
  return value;
}

std::string convert_to_text(uint8_t opcode, std::string bytes) {
  if (opcode == static_cast<uint8_t>(Opcode::Binary) && bytes.size() >= 2 &&
      static_cast<uint8_t>(bytes[0]) == 0x1F && static_cast<uint8_t>(bytes[1]) == 0x8B)
    bytes = GunzipText(bytes);
  if (!is_valid_utf8(bytes)) throw std::runtime_error("sequência UTF-8 inválida");
  return bytes;
}

}  // namespace

TUpgradeRequest ParseUpgradeRequest(std::string_view bytes,
                                    const std::vector<std::string>& allowed_origins) {
  // Lines end at LF; a CR before it is dropped. The request ends at the first empty line.
  std::vector<std::string_view> lines;
  size_t at = 0, length = 0;
  for (;;) {
    const size_t lf = bytes.find('\n', at);
    const size_t line_end = lf == std::string_view::npos ? bytes.size() : lf;
    std::string_view line = bytes.substr(at, line_end - at);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.size() > kMaxHandshakeLine)
      return refused(UpgradeStatus::BadRequest,
                     "linha com mais de " + std::to_string(kMaxHandshakeLine) + " bytes", bytes.size());
    if (lf == std::string_view::npos) return {};  // the line goes on
    at = lf + 1;
    if (line.empty()) {
      length = at;
      break;
    }
    if (lines.size() == kMaxHandshakeLines)
      return refused(UpgradeStatus::BadRequest,
                     "mais de " + std::to_string(kMaxHandshakeLines) + " linhas", at);
    lines.push_back(line);
  }
  if (lines.empty()) return refused(UpgradeStatus::BadRequest, "pedido vazio", length);

  const std::string_view request_line = lines[0];
  const size_t space1 = request_line.find(' ');
  const size_t space2 = space1 == std::string_view::npos ? space1 : request_line.find(' ', space1 + 1);
  if (space2 == std::string_view::npos || request_line.substr(0, space1) != "GET" ||
      space2 == space1 + 1 || request_line.substr(space2 + 1) != "HTTP/1.1")
    return refused(UpgradeStatus::BadRequest, "linha de pedido \"" +
                   std::string(request_line.substr(0, 200)) + "\" não é GET <caminho> HTTP/1.1", length);

  std::string_view upgrade, connection, version, key, origin;
  bool has_version = false, has_origin = false;
  for (size_t i = 1; i < lines.size(); ++i) {
    const size_t colon = lines[i].find(':');
    if (colon == std::string_view::npos || colon == 0)
      return refused(UpgradeStatus::BadRequest, "cabeçalho sem nome", length);
    const std::string_view name = lines[i].substr(0, colon);
    const std::string_view value = trimmed(lines[i].substr(colon + 1));
    if (equals_ignoring_case(name, "Upgrade")) upgrade = value;
    else if (equals_ignoring_case(name, "Connection")) connection = value;
    else if (equals_ignoring_case(name, "Sec-WebSocket-Version")) version = value, has_version = true;
    else if (equals_ignoring_case(name, "Sec-WebSocket-Key")) key = value;
    else if (equals_ignoring_case(name, "Origin")) origin = value, has_origin = true;
  }
  if (!equals_ignoring_case(upgrade, "websocket"))
    return refused(UpgradeStatus::BadRequest, "sem \"Upgrade: websocket\"", length);
  if (!list_contains(connection, "Upgrade"))
    return refused(UpgradeStatus::BadRequest, "sem \"Connection: Upgrade\"", length);
  if (!has_version) return refused(UpgradeStatus::BadRequest, "sem Sec-WebSocket-Version", length);
  if (version != "13")
    return refused(UpgradeStatus::WrongVersion,
                   "versão \"" + std::string(version.substr(0, 20)) + "\" do protocolo", length);
  if (!valid_key(key)) return refused(UpgradeStatus::BadRequest, "Sec-WebSocket-Key inválida", length);
  if (has_origin && !allowed_origins.empty()) {
    const std::string form = origin_form(origin);
    bool allowed = false;
    for (const std::string& one : allowed_origins) allowed = allowed || one == form;
    if (!allowed)
      return refused(UpgradeStatus::ForbiddenOrigin,
                     "origem \"" + std::string(origin.substr(0, 200)) + "\" não permitida", length);
  }
  TUpgradeRequest request;
  request.status = UpgradeStatus::Accepted;
  request.key = std::string(key);
  request.length = length;
  return request;
}

std::vector<std::string> ParseAllowedOrigins(std::string_view text) {
  std::vector<std::string> origins;
  while (!text.empty()) {
    const size_t comma = text.find(',');
    std::string one = origin_form(text.substr(0, comma));
    if (!one.empty()) origins.push_back(std::move(one));
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return origins;
}

std::string RefusalAnswer(UpgradeStatus status) {
  const char* line = "HTTP/1.1 400 Bad Request\r\n";
  std::string extra;
  if (status == UpgradeStatus::WrongVersion) {
    line = "HTTP/1.1 426 Upgrade Required\r\n";
    extra = "Sec-WebSocket-Version: 13\r\n";
  } else if (status == UpgradeStatus::ForbiddenOrigin) {
    line = "HTTP/1.1 403 Forbidden\r\n";
  }
  return std::string(line) + extra + "Content-Length: 0\r\nConnection: close\r\n\r\n";
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


std::string CloseFrame(uint16_t code) {
  return {static_cast<char>(0x88), 0x02, static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)};
}

void TFrameDecoder::Append(const char* data, size_t n) {
  while (n > 0 && !ended_) {
    const TSpace space = Space(n);
    const size_t k = std::min(n, space.size);
    std::memcpy(space.data, data, k);
    Filled(k);
    data += k;
    n -= k;
  }
}

TFrameDecoder::TSpace TFrameDecoder::Space(size_t most) {
  most = std::max<size_t>(most, 1);
  if (payload_left_ > 0 && !ended_) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(most, payload_left_));
    space_in_message_ = true;
    space_start_ = message_.size();
    message_.resize(space_start_ + n);  // within the room reserved from the header
    return {message_.data() + space_start_, n};
  }
  if (pos_ > 0 && pos_ == buffer_.size()) {
    buffer_.clear();
    pos_ = 0;
  }
  // Headers and small frames come in pieces of a TLS record or a few: the buffer is not
  // grown by a large read only to be shrunk back.
  most = std::min<size_t>(most, 64 * 1024);
  space_in_message_ = false;
  space_start_ = buffer_.size();
  buffer_.resize(space_start_ + most);
  return {buffer_.data() + space_start_, most};
}

void TFrameDecoder::Filled(size_t n) {
  if (!space_in_message_) {
    // After Closed or Refused nothing more is kept.
    buffer_.resize(ended_ ? space_start_ : std::min(buffer_.size(), space_start_ + n));
    return;
  }
  space_in_message_ = false;
  n = std::min(n, message_.size() - space_start_);
  message_.resize(space_start_ + n);
  if (masked_) UnmaskPayload(reinterpret_cast<uint8_t*>(message_.data()) + space_start_, n, key_, payload_offset_);
  payload_offset_ += n;
  payload_left_ -= n;
  if (payload_left_ == 0) frame_received_ = true;
}

void TFrameDecoder::take_front(size_t n) {
  pos_ += n;
  if (pos_ == buffer_.size()) {
    buffer_.clear();
    pos_ = 0;
    // A large message's buffer goes back; the usual small ones keep theirs.
    if (buffer_.capacity() > 1024 * 1024) buffer_.shrink_to_fit();
  } else if (pos_ > 64 * 1024 && pos_ > buffer_.size() / 2) {
    buffer_.erase(0, pos_);
    pos_ = 0;
  }
}

void TFrameDecoder::reserve_message(size_t more) {
  const size_t needed = message_.size() + more + kMessageTailRoom;
  if (message_.capacity() >= needed) return;
  // Lengths were checked against kMaxPayload before: doubling stops at that bound.
  const size_t bound = static_cast<size_t>(kMaxPayload) + kMessageTailRoom;
  message_.reserve(std::max(needed, std::min(bound, 2 * message_.capacity())));
}

TReadResult TFrameDecoder::refuse(uint16_t code, std::string log) {
  ended_ = true;
  buffer_ = std::string();
  message_ = std::string();
  pos_ = 0;
  payload_left_ = 0;
  frame_received_ = false;
  space_in_message_ = false;
  TReadResult result;
  result.kind = TReadResult::Kind::Refused;
  result.reply = CloseFrame(code);
  result.log = std::move(log);
  return result;
}

bool TFrameDecoder::finish_message(TReadResult& result) {
  in_message_ = false;
  std::string whole = std::move(message_);
  message_ = std::string();
  result = TReadResult{};
  if (whole.empty()) {
    result.kind = TReadResult::Kind::Control;
    return true;
  }
  try {
    result.text = convert_to_text(message_opcode_, std::move(whole));
    result.kind = TReadResult::Kind::Message;
  } catch (const std::exception& error) {
    result.kind = TReadResult::Kind::ConversionError;
    result.log = std::string("Erro na conversão: ") + error.what();
  }
  return true;
}

bool TFrameDecoder::Next(TReadResult& result) {
  for (;;) {
    if (ended_ || payload_left_ > 0) return false;
    if (frame_received_) {
      // The payload of a frame received into the message is whole.
      frame_received_ = false;
      if (frame_fin_) return finish_message(result);
      continue;
    }
    const size_t available = buffer_.size() - pos_;
    if (available < 2) return false;
    const auto* bytes = reinterpret_cast<const uint8_t*>(buffer_.data()) + pos_;
    const bool fin = bytes[0] & 0x80;
    const uint8_t rsv = bytes[0] & 0x70;
    const uint8_t opcode = bytes[0] & 0x0F;
    const bool masked = bytes[1] & 0x80;
    const uint8_t length7 = bytes[1] & 0x7F;
    const bool control = opcode >= 0x8;

    // Everything the header alone can refuse is refused before its payload arrives.
    if (rsv) {
      result = refuse(kCloseProtocolError, "Quadro recusado: bits RSV sem extensão negociada.");
      return true;
    }
    if ((opcode > 0x2 && opcode < 0x8) || opcode > 0xA) {
      result = refuse(kCloseProtocolError, "Quadro recusado: opcode " + std::to_string(opcode) + " desconhecido.");
      return true;
    }
    if (control && (!fin || length7 > 125)) {
      result = refuse(kCloseProtocolError,
                      "Quadro recusado: quadro de controle fragmentado ou com mais de 125 bytes.");
      return true;
    }
    if (opcode == static_cast<uint8_t>(Opcode::Continuation) && !in_message_) {
      result = refuse(kCloseProtocolError, "Quadro recusado: continuação sem início de mensagem.");
      return true;
    }

    size_t header = 2;
    uint64_t length = length7;
    if (length7 == 126) header += 2;
    if (length7 == 127) header += 8;
    if (available < header) return false;
    if (length7 == 126) length = big_endian(bytes + 2, 2);
    if (length7 == 127) length = big_endian(bytes + 2, 8);
    const bool restarts = !control && opcode != static_cast<uint8_t>(Opcode::Continuation);
    const uint64_t collected = control || restarts ? 0 : message_.size();
    if (length > kMaxPayload || collected + length > kMaxPayload) {
      result = refuse(kCloseTooBig, "Mensagem recusada: " + std::to_string(collected + length) +
                                        " bytes, acima do limite de " + std::to_string(kMaxPayload) +
                                        " bytes.");
      return true;
    }
    if (masked) header += 4;
    if (available < header) return false;

    uint8_t key[4] = {0, 0, 0, 0};
    if (masked) std::memcpy(key, bytes + header - 4, 4);
    const char* payload = buffer_.data() + pos_ + header;
    const size_t n = static_cast<size_t>(length);

    if (control) {
      if (available < header + n) return false;
      std::string data(payload, n);
      take_front(header + n);
      if (masked) UnmaskPayload(reinterpret_cast<uint8_t*>(data.data()), n, key, 0);
      result = TReadResult{};
      if (opcode == static_cast<uint8_t>(Opcode::Close)) {
        ended_ = true;
        result.kind = TReadResult::Kind::Closed;
        result.reply = std::string("\x88\x00", 2);
        result.log = "Disconectado";
        return true;
      }
      if (opcode == static_cast<uint8_t>(Opcode::Ping)) {
        result.reply = {static_cast<char>(0x8A), static_cast<char>(n)};
        result.reply += data;
      }
      result.kind = TReadResult::Kind::Control;
      return true;
    }

    if (restarts) {
      // A new data frame in the middle of a message starts the message over.
      message_.clear();
      message_opcode_ = opcode;
      in_message_ = true;
    }
    const size_t here = std::min(available - header, n);
    if (message_.empty() && fin && pos_ == 0 && here == n && header + n == buffer_.size()) {
      // A whole message in one frame that fills the buffer: the buffer itself becomes the
      // message, so a large one is never held twice.
      buffer_.erase(0, header);
      if (masked) UnmaskPayload(reinterpret_cast<uint8_t*>(buffer_.data()), n, key, 0);
      message_ = std::move(buffer_);
      buffer_ = std::string();
      pos_ = 0;
      return finish_message(result);
    }
    // The message's buffer gets room for the whole frame now; what of the payload is here
    // moves into it, and the rest is received there directly.
    reserve_message(n);
    const size_t start = message_.size();
    message_.append(payload, here);
    if (masked) UnmaskPayload(reinterpret_cast<uint8_t*>(message_.data()) + start, here, key, 0);
    take_front(header + here);
    if (here < n) {
      payload_left_ = n - here;
      payload_offset_ = here;
      std::memcpy(key_, key, 4);
      masked_ = masked;
      frame_fin_ = fin;
      return false;
    }
    if (fin) return finish_message(result);
  }
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
