#include "websocket/ServerThread.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <memory>
#include <vector>

#include "TlsTestClient.h"
#include "platform/ExeFolder.h"
#include "routing/ntDmSitef.h"
#include "service/GravaLog.h"

using testing_support::Frame;
using testing_support::TlsTestClient;
using testing_support::wait_until;

namespace {

// A listener on a free loopback port of a scratch service folder with certificates, and
// the data module it routes into.
class ListenerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing_support::put_certificates(folder_.path);
    norvane::set_exe_folder_for_tests(folder_.path);
    DmSitef = new TDmSitef();
    port_ = testing_support::free_loopback_port();
    server_ = std::make_unique<TServerThread>(port_);
    server_->Start();
    ASSERT_TRUE(wait_until([&] { return server_->Listening(); })) << server_->StartError();
  }
  void TearDown() override {
    server_.reset();
    delete DmSitef;
    DmSitef = nullptr;
    norvane::set_exe_folder_for_tests("");
  }
  std::string log() { return testing_support::read_file(norvane::service_log_file()); }

  // A client that has finished both handshakes and is the current connection.
  void connect_websocket(TlsTestClient& client) {
    ASSERT_TRUE(client.Connect(port_));
    ASSERT_NE(client.Handshake().find("HTTP/1.1 101 Switching Protocols\r\n"), std::string::npos);
  }

  testing_support::ScratchFolder folder_;
  uint16_t port_ = 0;
  std::unique_ptr<TServerThread> server_;
};

}  // namespace

TEST_F(ListenerTest, ServesAWebSocketClientOverTls12) {
  TlsTestClient client;
  ASSERT_TRUE(client.Connect(port_));
  std::string answer = client.Handshake();
  EXPECT_NE(answer.find("Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n"),
            std::string::npos);
  ASSERT_TRUE(wait_until([&] { return server_->CurrentConnection() != nullptr; }));
  EXPECT_EQ(DmSitef->FIdContext.load(), server_->CurrentConnection().get());

  // A message is read, routed and answered on the connection's thread: the reply is
  // written while that thread still holds the lock it took for the read.
  client.SendFrame(1, "{}");
  Frame frame;
  ASSERT_TRUE(client.ReadFrame(frame));
  EXPECT_EQ(frame.first_byte, 0x81);
  EXPECT_NE(frame.payload.find("Campo route nao encontrado."), std::string::npos) << frame.payload;

  client.SendFrame(9, "are you there");
  ASSERT_TRUE(client.ReadFrame(frame));
  EXPECT_EQ(frame.first_byte, 0x8A);
  EXPECT_EQ(frame.payload, "are you there");

  client.SendFrame(8, "");
  ASSERT_TRUE(client.ReadFrame(frame));
  EXPECT_EQ(frame.first_byte, 0x88);
  EXPECT_EQ(frame.payload, "");
  EXPECT_TRUE(client.ClosedByServer());
  ASSERT_TRUE(wait_until([&] { return server_->CurrentConnection() == nullptr; }));
  EXPECT_EQ(DmSitef->FIdContext.load(), nullptr);
  EXPECT_NE(log().find("] Disconectado\n"), std::string::npos);
}

namespace {

size_t open_descriptors() {
  return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                           std::filesystem::directory_iterator()));
}

size_t running_threads() {
  std::string status = testing_support::read_file("/proc/self/status");
  return std::stoul(status.substr(status.find("Threads:") + 8));
}

}  // namespace

TEST_F(ListenerTest, AnEndedConnectionLeavesNoSocketOrThreadBehind) {
  const size_t descriptors = open_descriptors(), threads = running_threads();
  // One closed cleanly, one dropped by the client without a word.
  for (bool clean : {true, false}) {
    TlsTestClient client;
    connect_websocket(client);
    if (clean) {
      client.SendFrame(8, "");
      Frame close;
      ASSERT_TRUE(client.ReadFrame(close));
      EXPECT_TRUE(client.ClosedByServer());
    }
  }
  // No other client connects after them: the listener must clean up on its own.
  EXPECT_TRUE(wait_until([&] { return open_descriptors() == descriptors; }))
      << open_descriptors() << " descriptors open, " << descriptors << " before";
  EXPECT_TRUE(wait_until([&] { return running_threads() == threads; }))
      << running_threads() << " threads running, " << threads << " before";
}

TEST_F(ListenerTest, RefusesOtherTlsVersions) {
  for (int version : {TLS1_VERSION, TLS1_1_VERSION, TLS1_3_VERSION}) {
    TlsTestClient client;
    EXPECT_FALSE(client.Connect(port_, version)) << std::hex << version;
  }
  TlsTestClient after;
  EXPECT_TRUE(after.Connect(port_));
}

TEST_F(ListenerTest, ANewerClientTakesOverFromTheCurrentOne) {
  TlsTestClient first, second;
  connect_websocket(first);
  ASSERT_TRUE(wait_until([&] { return server_->CurrentConnection() != nullptr; }));
  auto first_connection = server_->CurrentConnection().get();

  // A TLS connection that never finishes a WebSocket handshake takes nothing over; one
  // that is newer than the taking-over client is left alone.
  TlsTestClient idle, newer;
  ASSERT_TRUE(idle.Connect(port_));
  EXPECT_EQ(server_->CurrentConnection().get(), first_connection);
  ASSERT_TRUE(second.Connect(port_));
  ASSERT_TRUE(newer.Connect(port_));

  ASSERT_NE(second.Handshake().find(" 101 "), std::string::npos);
  EXPECT_TRUE(first.ClosedByServer());
  EXPECT_TRUE(idle.ClosedByServer());
  ASSERT_TRUE(wait_until([&] {
    auto current = server_->CurrentConnection();
    return current && current.get() != first_connection;
  }));
  second.SendFrame(1, "{}");
  Frame frame;
  ASSERT_TRUE(second.ReadFrame(frame));
  EXPECT_NE(frame.payload.find("Campo route nao encontrado."), std::string::npos) << frame.payload;

  // The newer connection was left alone: it can still take over in turn.
  ASSERT_NE(newer.Handshake().find(" 101 "), std::string::npos);
  EXPECT_TRUE(second.ClosedByServer());
}

TEST_F(ListenerTest, IdleSocketsCannotLockTheNextClientOut) {
  TlsTestClient current;
  connect_websocket(current);
  // Enough sockets that open TLS and never send the upgrade request to fill every place.
  std::vector<std::unique_ptr<TlsTestClient>> idle;
  for (size_t i = 0; i < TServerThread::kMaxConnections; ++i) {
    idle.push_back(std::make_unique<TlsTestClient>());
    ASSERT_TRUE(idle.back()->Connect(port_)) << i;
  }
  // Room was made from the oldest idle socket, never from the current client.
  EXPECT_TRUE(idle.front()->ClosedByServer());
  current.SendFrame(1, "{}");
  Frame reply;
  ASSERT_TRUE(current.ReadFrame(reply));
  EXPECT_NE(reply.payload.find("Campo route nao encontrado."), std::string::npos) << reply.payload;

  // A restarted sales application still gets in.
  TlsTestClient next;
  connect_websocket(next);
  next.SendFrame(1, "{}");
  ASSERT_TRUE(next.ReadFrame(reply));
  EXPECT_NE(reply.payload.find("Campo route nao encontrado."), std::string::npos) << reply.payload;
}

TEST_F(ListenerTest, BadInputCostsOnlyItsOwnConnection) {
  {
    TlsTestClient endless_header;
    ASSERT_TRUE(endless_header.Connect(port_));
    endless_header.Send("GET / HTTP/1.1\r\nX-Long: " + std::string(9000, 'x'));
    EXPECT_TRUE(endless_header.ClosedByServer());
  }
  {
    TlsTestClient huge_length;
    connect_websocket(huge_length);
    huge_length.Send(std::string("\x82\xFF\x7F\xFF\xFF\xFF\xFF\xFF\xFF\xFF" "abcd", 14));
    Frame frame;
    ASSERT_TRUE(huge_length.ReadFrame(frame));
    EXPECT_EQ(frame.first_byte, 0x88);
    EXPECT_EQ(frame.payload, "\x03\xF1");
    EXPECT_TRUE(huge_length.ClosedByServer());
  }
  {
    TlsTestClient garbage;
    ASSERT_TRUE(garbage.Connect(port_));
    try {
      garbage.Send(std::string("\x16\x03\x01\x00\x00\xFF\xFF\r\n\r\n", 11));  // "handshake", then frames
      garbage.Send(std::string("\x8F\x80\x00\x00\x00\x00", 6));
    } catch (const std::exception&) {
      // The service may already have dropped it.
    }
  }
  std::string lines = log();
  EXPECT_NE(lines.find("] Handshake recusado: linha com mais de 8192 bytes.\n"), std::string::npos);
  EXPECT_NE(lines.find("] Mensagem recusada: "), std::string::npos);

  TlsTestClient next;
  connect_websocket(next);
  next.SendFrame(9, "");
  Frame pong;
  ASSERT_TRUE(next.ReadFrame(pong));
  EXPECT_EQ(pong.first_byte, 0x8A);
}

TEST_F(ListenerTest, SwitchingOffClosesEveryConnectionAndThePort) {
  TlsTestClient tcp_only_client_socket, in_tls, in_handshake, connected;
  // A client that opened the port and said nothing, one inside the WebSocket handshake,
  // and one connected and waiting for its next message.
  int raw = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port_);
  ASSERT_EQ(::connect(raw, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_TRUE(in_handshake.Connect(port_));
  in_handshake.Send("GET / HTTP/1.1\r\n");
  connect_websocket(connected);

  server_->SwitchOff();
  server_->WaitFor();  // returns only once every connection thread has ended
  EXPECT_FALSE(server_->Listening());
  EXPECT_TRUE(in_handshake.ClosedByServer());
  EXPECT_TRUE(connected.ClosedByServer());
  EXPECT_FALSE(testing_support::port_open(port_));
  EXPECT_EQ(server_->CurrentConnection(), nullptr);
  ::close(raw);
}

TEST(ListenerWithoutCertificates, LogsWhyThePortDidNotOpen) {
  testing_support::ScratchFolder folder;
  norvane::set_exe_folder_for_tests(folder.path);
  uint16_t port = testing_support::free_loopback_port();
  {
    TServerThread server(port);
    server.Start();
    server.WaitFor();  // the thread ends at once
    EXPECT_FALSE(server.Listening());
    EXPECT_NE(server.StartError().find("server_cert.pem"), std::string::npos);
  }
  EXPECT_FALSE(testing_support::port_open(port));
  EXPECT_NE(testing_support::read_file(norvane::service_log_file())
                .find("] Servidor socket não iniciado: "),
            std::string::npos);
  norvane::set_exe_folder_for_tests("");
}
