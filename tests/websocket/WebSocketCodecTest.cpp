#include "websocket/WebSocketCodec.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <deque>

#include "TlsTestClient.h"
#include "platform/ExeFolder.h"
#include "platform/GravaLog.h"

using namespace norvane::websocket;
using testing_support::client_frame;

namespace {

std::string gzip(const std::string& text) {
  z_stream zs{};
  deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&zs, text.size()) + 32, '\0');
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  zs.avail_in = static_cast<uInt>(text.size());
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  deflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

// Every result the decoder gives for these bytes, fed in pieces of `piece` bytes.
std::vector<TReadResult> decode(const std::string& bytes, size_t piece = SIZE_MAX) {
  TFrameDecoder decoder;
  std::vector<TReadResult> results;
  TReadResult result;
  for (size_t at = 0; at < bytes.size(); at += piece) {
    decoder.Append(bytes.data() + at, std::min(piece, bytes.size() - at));
    while (decoder.Next(result)) results.push_back(result);
  }
  return results;
}

std::string texts(const std::vector<TReadResult>& results) {
  std::string all;
  for (const TReadResult& r : results)
    if (r.kind == TReadResult::Kind::Message) all += "[" + r.text + "]";
  return all;
}

const std::string kKey = "dGhlIHNhbXBsZSBub25jZQ==";

std::string upgrade_request(const std::string& extra_headers = "") {
  return "GET /chat HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
         "Sec-WebSocket-Key: " + kKey + "\r\nSec-WebSocket-Version: 13\r\n" + extra_headers + "\r\n";
}

}  // namespace

TEST(GenerateSecWebSocketAccept, GivesTheValueOfTheProtocolsSample) {
  EXPECT_EQ(GenerateSecWebSocketAccept("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

TEST(UpgradeRequest, AcceptsOnlyAValidWebSocketUpgrade) {
  const std::vector<std::string> any;
  const std::vector<std::string> only_shop = ParseAllowedOrigins(" https://Vendas.Example/ , http://localhost:8080");
  struct Case {
    const char* name;
    std::string request;
    UpgradeStatus status;
    const std::vector<std::string>* origins = nullptr;
  } cases[] = {
      {"browser request", upgrade_request("Origin: https://anything.example\r\n"), UpgradeStatus::Accepted},
      {"names in lower case, keep-alive too",
       "GET / HTTP/1.1\r\nupgrade: WebSocket\r\nconnection: keep-alive, Upgrade\r\nsec-websocket-key: " + kKey +
           "\r\nsec-websocket-version: 13\r\n\r\n",
       UpgradeStatus::Accepted},
      {"LF line ends", "GET / HTTP/1.1\nUpgrade: websocket\nConnection: Upgrade\nSec-WebSocket-Key: " + kKey +
                           "\nSec-WebSocket-Version: 13\n\n",
       UpgradeStatus::Accepted},
      {"allowed origin", upgrade_request("Origin: https://vendas.example\r\n"), UpgradeStatus::Accepted,
       &only_shop},
      {"no origin: not a web page", upgrade_request(), UpgradeStatus::Accepted, &only_shop},
      {"plain HTTPS request", "GET / HTTP/1.1\r\nHost: x\r\nUser-Agent: curl/8\r\nAccept: */*\r\n\r\n",
       UpgradeStatus::BadRequest},
      {"garbage", "GARBAGE\r\n\r\n", UpgradeStatus::BadRequest},
      {"HTTP/1.0", "GET / HTTP/1.0\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " + kKey +
                       "\r\nSec-WebSocket-Version: 13\r\n\r\n",
       UpgradeStatus::BadRequest},
      {"POST", "POST / HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " + kKey +
                   "\r\nSec-WebSocket-Version: 13\r\n\r\n",
       UpgradeStatus::BadRequest},
      {"no key", "GET / HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n\r\n",
       UpgradeStatus::BadRequest},
      {"key of 15 bytes", "GET / HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                          "Sec-WebSocket-Key: AAAAAAAAAAAAAAAAAAAA\r\nSec-WebSocket-Version: 13\r\n\r\n",
       UpgradeStatus::BadRequest},
      {"no Connection: Upgrade", "GET / HTTP/1.1\r\nUpgrade: websocket\r\nSec-WebSocket-Key: " + kKey +
                                     "\r\nSec-WebSocket-Version: 13\r\n\r\n",
       UpgradeStatus::BadRequest},
      {"no version", "GET / HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " + kKey +
                         "\r\n\r\n",
       UpgradeStatus::BadRequest},
      {"version 8", "GET / HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " + kKey +
                        "\r\nSec-WebSocket-Version: 8\r\n\r\n",
       UpgradeStatus::WrongVersion},
      {"other origin", upgrade_request("Origin: https://evil.example\r\n"), UpgradeStatus::ForbiddenOrigin,
       &only_shop},
      {"line too long", "GET / HTTP/1.1\r\nX-Long: " + std::string(9000, 'x'), UpgradeStatus::BadRequest},
      {"too many lines", "GET / HTTP/1.1\r\n" + [] {
         std::string many;
         for (int i = 0; i < 120; ++i) many += "X: y\r\n";
         return many;
       }(), UpgradeStatus::BadRequest},
      {"not ended yet", "GET / HTTP/1.1\r\nUpgrade: websocket\r\n", UpgradeStatus::Incomplete},
  };
  for (const Case& c : cases) {
    const TUpgradeRequest parsed = ParseUpgradeRequest(c.request, c.origins ? *c.origins : any);
    EXPECT_EQ(parsed.status, c.status) << c.name << ": " << parsed.reason;
    if (c.status == UpgradeStatus::Accepted) {
      EXPECT_EQ(parsed.key, kKey) << c.name;
      EXPECT_EQ(parsed.length, c.request.size()) << c.name;
    }
  }
  // Bytes after the blank line are the first frames, not part of the request.
  const std::string request = upgrade_request();
  EXPECT_EQ(ParseUpgradeRequest(request + client_frame(1, "early"), any).length, request.size());
}

TEST(UpgradeRequest, RefusalsSayWhatTheClientMustChange) {
  EXPECT_EQ(RefusalAnswer(UpgradeStatus::BadRequest).rfind("HTTP/1.1 400 Bad Request\r\n", 0), 0u);
  EXPECT_EQ(RefusalAnswer(UpgradeStatus::ForbiddenOrigin).rfind("HTTP/1.1 403 Forbidden\r\n", 0), 0u);
  const std::string wrong_version = RefusalAnswer(UpgradeStatus::WrongVersion);
  EXPECT_EQ(wrong_version.rfind("HTTP/1.1 426 Upgrade Required\r\n", 0), 0u);
  EXPECT_NE(wrong_version.find("\r\nSec-WebSocket-Version: 13\r\n"), std::string::npos);
}

TEST(EncodeTextFrame, UsesTheShortestLengthForm) {
  struct Case {
    size_t size;
    std::string header;
  } cases[] = {
      {0, std::string("\x81\x00", 2)},
      {125, "\x81\x7D"},
      {126, std::string("\x81\x7E\x00\x7E", 4)},
      {65535, "\x81\x7E\xFF\xFF"},
      {65536, std::string("\x81\x7F\x00\x00\x00\x00\x00\x01\x00\x00", 10)},
  };
  std::string frame = "left over from an earlier, much longer frame";
  for (const Case& c : cases) {
    std::string text(c.size, 'a');
    EncodeTextFrame(text, frame);
    ASSERT_EQ(frame.size(), c.header.size() + c.size) << c.size;
    EXPECT_EQ(frame.substr(0, c.header.size()), c.header) << c.size;
    EXPECT_EQ(frame.substr(c.header.size()), text) << c.size;
  }
}

TEST(FrameDecoder, ReadsWholeMessagesWhateverPiecesTheyComeIn) {
  const std::string json = R"({"route":"/version","versão":"1.0"})";
  const std::string big(70000, 'z');
  struct Case {
    const char* name;
    std::string bytes;
    std::string texts;
  } cases[] = {
      {"masked Hello", client_frame(1, "Hello"), "[Hello]"},
      {"unmasked Hello", client_frame(1, "Hello", true, false), "[Hello]"},
      {"three fragments",
       client_frame(1, "Hel", false) + client_frame(0, "l", false) + client_frame(0, "o"), "[Hello]"},
      {"16-bit length", client_frame(1, std::string(300, 'q')), "[" + std::string(300, 'q') + "]"},
      {"64-bit length", client_frame(1, big), "[" + big + "]"},
      {"gzip in a binary frame", client_frame(2, gzip(json)), "[" + json + "]"},
      {"plain text in a binary frame", client_frame(2, json), "[" + json + "]"},
      {"empty text frame", client_frame(1, ""), ""},
      {"new data frame starts the message over",
       client_frame(1, "lost", false) + client_frame(1, "kept"), "[kept]"},
      {"two messages in one write", client_frame(1, "one") + client_frame(1, "two"), "[one][two]"},
      {"ten messages in one write", [] {
         std::string all;
         for (int i = 0; i < 10; ++i) all += client_frame(1, std::to_string(i));
         return all;
       }(), "[0][1][2][3][4][5][6][7][8][9]"},
  };
  for (const Case& c : cases) {
    for (size_t piece : {SIZE_MAX, size_t{1}, size_t{7}, size_t{4096}}) {
      const auto results = decode(c.bytes, piece);
      EXPECT_EQ(texts(results), c.texts) << c.name << ", pieces of " << piece;
      for (const TReadResult& r : results) EXPECT_EQ(r.reply, "") << c.name;
    }
  }
}

TEST(FrameDecoder, AFrameNotYetWholeIsKeptUntilItIs) {
  TFrameDecoder decoder;
  TReadResult result;
  const std::string frame = client_frame(1, "Hello");
  decoder.Append(frame.data(), 4);
  EXPECT_FALSE(decoder.Next(result));
  EXPECT_TRUE(decoder.InsideMessage());
  decoder.Append(frame.data() + 4, frame.size() - 4);
  ASSERT_TRUE(decoder.Next(result));
  EXPECT_EQ(result.text, "Hello");
  EXPECT_FALSE(decoder.InsideMessage());
}

TEST(FrameDecoder, CloseFrameIsAnsweredAndEndsTheStream) {
  const auto results = decode(client_frame(8, std::string("\x03\xE8", 2)) + client_frame(1, "after"));
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].kind, TReadResult::Kind::Closed);
  EXPECT_EQ(results[0].reply, std::string("\x88\x00", 2));
  EXPECT_EQ(results[0].log, "Disconectado");
}

TEST(FrameDecoder, PingsAreAnsweredWithPongs) {
  auto results = decode(client_frame(9, ""));
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].reply, std::string("\x8A\x00", 2));

  // A ping between two fragments is answered and leaves the message whole.
  results = decode(client_frame(1, "He", false) + client_frame(9, "p1") + client_frame(0, "llo"));
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0].reply, "\x8A\x02p1");
  EXPECT_EQ(texts(results), "[Hello]");
}

TEST(FrameDecoder, ConversionErrorsAreReportedAndTheStreamGoesOn) {
  const std::string compressed = gzip(R"({"route":"/version"})");
  struct Case {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"invalid UTF-8 text", client_frame(1, "caf\xC3")},
      {"truncated gzip", client_frame(2, compressed.substr(0, compressed.size() / 2))},
      {"gzip magic then garbage", client_frame(2, "\x1F\x8B garbage that is no deflate data")},
      {"gzip of invalid UTF-8", client_frame(2, gzip("\xFF\xFE"))},
  };
  for (const Case& c : cases) {
    const auto results = decode(c.bytes + client_frame(1, "next"));
    ASSERT_EQ(results.size(), 2u) << c.name;
    EXPECT_EQ(results[0].kind, TReadResult::Kind::ConversionError) << c.name;
    EXPECT_EQ(results[0].log.rfind("Erro na conversão: ", 0), 0u) << c.name << ": " << results[0].log;
    EXPECT_EQ(results[0].reply, "") << c.name;
    EXPECT_EQ(texts(results), "[next]") << c.name;
  }
}

TEST(FrameDecoder, RefusesBrokenFramesAndSizesBeforeTheirPayload) {
  // Lengths are taken from the header alone: no byte of the large payloads exists, and a
  // reader that trusted them would try to allocate exabytes.
  const std::string protocol_error("\x88\x02\x03\xEA", 4), too_big("\x88\x02\x03\xF1", 4);
  struct Case {
    const char* name;
    std::string bytes;
    std::string reply;
  } cases[] = {
      {"RSV1", std::string("\xC1\x80\x00\x00\x00\x00", 6), protocol_error},
      {"RSV3", std::string("\x91\x00", 2), protocol_error},
      {"opcode 3", client_frame(3, "x"), protocol_error},
      {"opcode 0xB", client_frame(0xB, "x"), protocol_error},
      {"opcode 0xF", client_frame(0xF, "x"), protocol_error},
      {"continuation without a start", client_frame(0, "x"), protocol_error},
      {"ping over 125 bytes", client_frame(9, std::string(126, 'p')), protocol_error},
      {"fragmented ping", client_frame(9, "p", false), protocol_error},
      {"fragmented close", client_frame(8, "", false), protocol_error},
      {"2^63", std::string("\x81\xFF\x80\x00\x00\x00\x00\x00\x00\x00" "abcd", 14), too_big},
      {"limit + 1", std::string("\x81\x7F\x00\x00\x00\x00\x04\x00\x00\x01", 10), too_big},
      {"fragments adding up beyond the limit",
       client_frame(1, "x", false) + std::string("\x00\x7F\x00\x00\x00\x00\x04\x00\x00\x00", 10), too_big},
  };
  for (const Case& c : cases) {
    const auto results = decode(c.bytes + client_frame(1, "never read"));
    ASSERT_EQ(results.size(), 1u) << c.name;
    EXPECT_EQ(results[0].kind, TReadResult::Kind::Refused) << c.name;
    EXPECT_EQ(results[0].reply, c.reply) << c.name;
    EXPECT_FALSE(results[0].log.empty()) << c.name;
  }
}

// The connection's way of receiving: each read goes into the decoder's Space and fills as
// much of it as the stream has (at most `read` bytes), so a Space reaching past the
// current frame's payload would swallow the start of the next frame.
std::vector<TReadResult> receive(TFrameDecoder& decoder, const std::string& bytes, size_t read) {
  std::vector<TReadResult> results;
  TReadResult result;
  for (size_t at = 0; at < bytes.size();) {
    const TFrameDecoder::TSpace space = decoder.Space(1024 * 1024);
    const size_t n = std::min({space.size, read, bytes.size() - at});
    std::memcpy(space.data, bytes.data() + at, n);
    decoder.Filled(n);
    at += n;
    while (decoder.Next(result)) results.push_back(std::move(result));
  }
  return results;
}

TEST(FrameDecoder, LargeMessagesAreReceivedWholeIntoTheirOwnBuffer) {
  std::string document;
  for (size_t i = 0; document.size() < 3 * 1024 * 1024; ++i) document += "bloco " + std::to_string(i) + ";";
  const size_t third = document.size() / 3;
  struct Case {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"one frame", client_frame(1, document)},
      {"one unmasked frame", client_frame(1, document, true, false)},
      {"three fragments and a ping between",
       client_frame(1, document.substr(0, third), false) + client_frame(9, "p") +
           client_frame(0, document.substr(third, third), false) + client_frame(0, document.substr(2 * third))},
      {"a thousand small fragments", [&] {
         std::string all;
         const size_t piece = document.size() / 1000 + 1;
         for (size_t at = 0; at < document.size(); at += piece)
           all += client_frame(at == 0 ? 1 : 0, document.substr(at, piece), at + piece >= document.size());
         return all;
       }()},
  };
  for (const Case& c : cases) {
    for (size_t read : {size_t{1000}, size_t{16 * 1024}, size_t{1024 * 1024}}) {
      TFrameDecoder decoder;
      // A small message right behind the large one, in the same stream.
      const auto results = receive(decoder, c.bytes + client_frame(1, "next"), read);
      std::string large, small;
      for (const TReadResult& r : results) {
        if (r.kind != TReadResult::Kind::Message) continue;
        (large.empty() ? large : small) = r.text;
        if (r.text.size() > 1024) {
          // The JSON reader reads a text in place only with this room behind it.
          EXPECT_GE(r.text.capacity() - r.text.size(), kMessageTailRoom) << c.name;
        }
      }
      EXPECT_TRUE(large == document) << c.name << ", reads of " << read << ": " << large.size() << " bytes";
      EXPECT_EQ(small, "next") << c.name << ", reads of " << read;
      EXPECT_FALSE(decoder.InsideMessage()) << c.name;
      EXPECT_EQ(decoder.Held(), 0u) << c.name;
    }
  }
}

TEST(FrameDecoder, AHeaderHoldsOnlyTheBytesThatCameNotTheLengthItClaims) {
  // 60 MiB announced, a few bytes sent: what is held is what came.
  TFrameDecoder decoder;
  const std::string header("\x81\xFF\x00\x00\x00\x00\x03\xC0\x00\x00" "abcd", 14);
  const auto results = receive(decoder, header + "0123456789", 4096);
  EXPECT_TRUE(results.empty());
  EXPECT_TRUE(decoder.InsideMessage());
  EXPECT_EQ(decoder.Held(), 10u);
  // A second frame's header arriving now is payload of the first, not a frame.
  EXPECT_TRUE(receive(decoder, client_frame(1, "x"), 4096).empty());
  EXPECT_EQ(decoder.Held(), 10u + client_frame(1, "x").size());
}

TEST(UnmaskPayload, PiecesAtAnyOffsetMatchTheWholePayload) {
  const uint8_t key[4] = {0x01, 0x82, 0x43, 0xC4};
  std::string plain;
  for (int i = 0; i < 1000; ++i) plain += static_cast<char>(i * 7);
  std::string whole = plain;
  auto* bytes = reinterpret_cast<uint8_t*>(whole.data());
  for (size_t i = 0; i < whole.size(); ++i) bytes[i] ^= key[i % 4];

  for (size_t split : {1, 3, 5, 8, 33, 999}) {
    std::string pieces = whole;
    auto* data = reinterpret_cast<uint8_t*>(pieces.data());
    UnmaskPayload(data, split, key, 0);
    UnmaskPayload(data + split, pieces.size() - split, key, split);
    EXPECT_EQ(pieces, plain) << split;
  }
}
