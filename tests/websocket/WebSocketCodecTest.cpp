#include "websocket/WebSocketCodec.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <deque>

#include "TlsTestClient.h"
#include "platform/ExeFolder.h"
#include "service/GravaLog.h"

using norvane::EConnectionClosed;
using norvane::TMemoryByteStream;
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

// Points the service log at a scratch folder so each test can read the lines it caused.
class CodecTest : public ::testing::Test {
 protected:
  void SetUp() override { norvane::set_exe_folder_for_tests(folder_.path); }
  void TearDown() override { norvane::set_exe_folder_for_tests(""); }
  std::string log() { return testing_support::read_file(norvane::service_log_file()); }
  testing_support::ScratchFolder folder_;
};

}  // namespace

TEST(GenerateSecWebSocketAccept, GivesTheValueOfTheProtocolsSample) {
  EXPECT_EQ(GenerateSecWebSocketAccept("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

TEST(Handshake, FindsTheKeyLineAsWritten) {
  struct Case {
    const char* name;
    std::string request;
    std::string key;
  } cases[] = {
      {"crlf lines, key trimmed", "GET / HTTP/1.1\r\nSec-WebSocket-Key:   abc==  \r\nHost: x\r\n\r\n",
       "abc=="},
      {"lf lines", "GET / HTTP/1.1\nSec-WebSocket-Key: abc==\n\n", "abc=="},
      {"later line wins", "Sec-WebSocket-Key: one\r\nSec-WebSocket-Key: two\r\n\r\n", "two"},
      {"other letter case is not the key", "sec-websocket-key: abc==\r\n\r\n", ""},
      {"no key at all", "GET / HTTP/1.1\r\n\r\n", ""},
  };
  for (const Case& c : cases) {
    TMemoryByteStream stream({c.request});
    EXPECT_EQ(ReadHandshakeKey(stream), c.key) << c.name;
  }
}

TEST(Handshake, AnswerHasTheLinesInOrder) {
  EXPECT_EQ(HandshakeAnswer(GenerateSecWebSocketAccept("dGhlIHNhbXBsZSBub25jZQ==")),
            "HTTP/1.1 101 Switching Protocols\r\n"
            "Upgrade: websocket\r\n"
            "Connection: Upgrade\r\n"
            "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n"
            "Access-Control-Allow-Origin: *\r\n"
            "Access-Control-Allow-Methods: GET, POST, OPTIONS\r\n"
            "Access-Control-Allow-Headers: Content-Type\r\n"
            "Access-Control-Allow-Credentials: true\r\n"
            "\r\n");
}

TEST(Handshake, RefusesAnEndlessHeader) {
  std::string longest(kMaxHandshakeLine, 'x');
  TMemoryByteStream fits({"X-Long: " + longest.substr(8) + "\r\n\r\n"});
  EXPECT_EQ(ReadHandshakeKey(fits), "");

  TMemoryByteStream too_long({longest + "y\r\n\r\n"});
  EXPECT_THROW(ReadHandshakeKey(too_long), EHandshakeRefused);

  std::string many;
  for (size_t i = 0; i <= kMaxHandshakeLines; ++i) many += "X: y\r\n";
  TMemoryByteStream too_many({many + "\r\n"});
  EXPECT_THROW(ReadHandshakeKey(too_many), EHandshakeRefused);

  TMemoryByteStream cut({"GET / HTTP/1.1\r\nSec-WebSocket-Key: a"});
  EXPECT_THROW(ReadHandshakeKey(cut), EConnectionClosed);
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

TEST_F(CodecTest, ReadsWholeMessages) {
  const std::string json = R"({"route":"/version","versão":"1.0"})";
  const std::string big(70000, 'z');
  struct Case {
    const char* name;
    std::string bytes;
    std::string text;
  } cases[] = {
      {"masked Hello", client_frame(1, "Hello"), "Hello"},
      {"unmasked Hello", client_frame(1, "Hello", true, false), "Hello"},
      {"three fragments",
       client_frame(1, "Hel", false) + client_frame(0, "l", false) + client_frame(0, "o"), "Hello"},
      {"16-bit length", client_frame(1, std::string(300, 'q')), std::string(300, 'q')},
      {"64-bit length", client_frame(1, big), big},
      {"gzip in a binary frame", client_frame(2, gzip(json)), json},
      {"plain text in a binary frame", client_frame(2, json), json},
      {"empty text frame", client_frame(1, ""), ""},
      {"new data frame starts the message over",
       client_frame(1, "lost", false) + client_frame(1, "kept"), "kept"},
  };
  for (const Case& c : cases) {
    TMemoryByteStream stream({c.bytes});
    EXPECT_EQ(ReadWebSocketMessage(stream), c.text) << c.name;
    EXPECT_EQ(stream.written, "") << c.name;
  }
}

TEST_F(CodecTest, CloseFrameIsAnsweredAndClosesTheConnection) {
  TMemoryByteStream stream({client_frame(8, std::string("\x03\xE8", 2))});
  EXPECT_EQ(ReadWebSocketMessage(stream), "");
  EXPECT_EQ(stream.written, std::string("\x88\x00", 2));
  EXPECT_FALSE(stream.Connected());
  EXPECT_NE(log().find("] Disconectado\n"), std::string::npos);
}

TEST_F(CodecTest, PingsAreAnsweredWithPongs) {
  TMemoryByteStream empty_ping({client_frame(9, "")});
  EXPECT_EQ(ReadWebSocketMessage(empty_ping), "");
  EXPECT_EQ(empty_ping.written, std::string("\x8A\x00", 2));

  // A ping between two fragments is answered and leaves the message whole.
  TMemoryByteStream inside({client_frame(1, "He", false) + client_frame(9, "p1") +
                            client_frame(0, "llo")});
  EXPECT_EQ(ReadWebSocketMessage(inside), "Hello");
  EXPECT_EQ(inside.written, "\x8A\x02p1");
}

TEST_F(CodecTest, ConversionErrorsGiveEmptyTextAndOneLogLine) {
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
    std::filesystem::remove(norvane::service_log_file());
    TMemoryByteStream stream({c.bytes, client_frame(1, "next")});
    EXPECT_EQ(ReadWebSocketMessage(stream), "") << c.name;
    std::string lines = log();
    EXPECT_NE(lines.find("] Erro na conversão: "), std::string::npos) << c.name;
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 1) << c.name;
    EXPECT_EQ(ReadWebSocketMessage(stream), "next") << c.name << ": the connection goes on";
  }
}

TEST_F(CodecTest, RefusesAPayloadAboveTheLimitWithoutReadingIt) {
  // Lengths are taken from the header alone: no byte of these payloads exists, and a
  // reader that trusted them would try to allocate exabytes.
  struct Case {
    const char* name;
    std::string header;
  } cases[] = {
      {"2^63", std::string("\x81\xFF\x80\x00\x00\x00\x00\x00\x00\x00" "abcd", 14)},
      {"limit + 1", std::string("\x81\x7F\x00\x00\x00\x00\x04\x00\x00\x01", 10)},
      {"fragments adding up beyond the limit",
       client_frame(1, "x", false) + std::string("\x00\x7F\x00\x00\x00\x00\x04\x00\x00\x00", 10)},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(norvane::service_log_file());
    TMemoryByteStream stream({c.header});
    EXPECT_EQ(ReadWebSocketMessage(stream), "") << c.name;
    EXPECT_FALSE(stream.Connected()) << c.name;
    EXPECT_EQ(stream.written, std::string("\x88\x02\x03\xF1", 4)) << c.name;
    EXPECT_NE(log().find("] Mensagem recusada: "), std::string::npos) << c.name;
  }
}

TEST_F(CodecTest, APayloadThatStopsArrivingIsCutShort) {
  // Bursts: the frame's first part, then (after a pause) the rest. The rest is read as the
  // start of the next frame; here it happens to be a whole frame of its own.
  std::string frame = client_frame(1, "Hello", true, false);
  TMemoryByteStream stream({frame.substr(0, 4), client_frame(1, "next", true, false)});
  EXPECT_EQ(ReadWebSocketMessage(stream), "He");
  EXPECT_EQ(ReadWebSocketMessage(stream), "next");
}

TEST_F(CodecTest, InputBeyondTheMessageIsDiscarded) {
  TMemoryByteStream stream({client_frame(1, "first") + client_frame(1, "too early"),
                            client_frame(1, "after the answer")});
  EXPECT_EQ(ReadWebSocketMessage(stream), "first");
  EXPECT_EQ(ReadWebSocketMessage(stream), "after the answer");
}

TEST_F(CodecTest, ATruncatedFrameEndsTheConnection) {
  for (std::string bytes : {std::string("\x81"), std::string("\x81\xFE\x01"),
                            std::string("\x81\x85\x01\x02")}) {
    TMemoryByteStream stream({bytes});
    EXPECT_THROW(ReadWebSocketMessage(stream), EConnectionClosed);
  }
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
