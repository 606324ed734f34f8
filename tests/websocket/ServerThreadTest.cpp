#include "websocket/ServerThread.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <condition_variable>
#include <iterator>
#include <mutex>
#include <thread>
#include <memory>
#include <vector>

#include "TlsTestClient.h"
#include "platform/ExeFolder.h"
#include "datamodule/ntDmSitef.h"
#include "platform/GravaLog.h"

using testing_support::Frame;
using testing_support::TlsTestClient;
using testing_support::wait_until;

namespace {

// A listener on a free loopback port of a scratch service folder with certificates. Its
// messages go to a data module, except a few that the test's own handler answers, so that
// order and the client wait can be seen: "echo:…" is sent back, "wait:N" waits N ms for the
// client's next message, "hold" keeps the operation thread until the test lets go (then says "released").
class ListenerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing_support::put_certificates(folder_.path);
    norvane::set_exe_folder_for_tests(folder_.path);
    port_ = testing_support::free_loopback_port();
    StartServer({});
  }
  void TearDown() override {
    Release();
    server_.reset();
    norvane::set_exe_folder_for_tests("");
  }
  // With `quick`, "quick:…" is answered "fast:…" on the connection's thread when the
  // listener offers it there ("quick:hold" holds it until the test lets go), "slow:…" on the
  // operation thread otherwise; every other message goes to the operation thread.
  void StartServer(std::vector<std::string> origins, bool quick = false) {
    Release();
    server_.reset();
    TListenerSettings settings;
    settings.Port = port_;
    settings.AllowedOrigins = std::move(origins);
    settings.OnMessage = [this](const std::string& message, TIdContext* connection) {
      handle(message, connection);
    };
    if (quick) {
      settings.OnQuickMessage = [this](const std::string& message, TIdContext*) {
        if (message.rfind("quick:", 0) != 0) return false;
        if (message == "quick:hold") hold();
        listener_->SendClientMessage("fast:" + message);
        return true;
      };
      settings.OnClientGone = [this] { ++clients_gone_; };
    }
    server_ = std::make_unique<TServerThread>(std::move(settings));
    listener_ = server_.get();
    dm_.SetClientChannel(server_.get());
    server_->Start();
    ASSERT_TRUE(wait_until([&] { return server_->Listening(); })) << server_->StartError();
  }
  // True once a "hold" message is held by the operation thread.
  bool Held() {
    return wait_until([&] {
      std::lock_guard<std::mutex> lock(hold_mutex_);
      return held_;
    });
  }
  void Release() {
    std::lock_guard<std::mutex> lock(hold_mutex_);
    held_ = false;
    hold_changed_.notify_all();
  }
  std::string log() { return testing_support::read_file(norvane::service_log_file()); }

  // A client that has finished both handshakes and is the current connection.
  void connect_websocket(TlsTestClient& client) {
    ASSERT_TRUE(client.Connect(port_));
    ASSERT_NE(client.Handshake().find("HTTP/1.1 101 Switching Protocols\r\n"), std::string::npos);
  }
  // The next text frame the client gets (empty when none came in 5 s).
  static std::string next_text(TlsTestClient& client) {
    Frame frame;
    return client.ReadFrame(frame) ? frame.payload : std::string("(nothing)");
  }

  testing_support::ScratchFolder folder_;
  uint16_t port_ = 0;
  TDmSitef dm_;
  std::unique_ptr<TServerThread> server_;
  TServerThread* listener_ = nullptr;  // server_'s, also while it is being destroyed
  std::mutex hold_mutex_;
  std::condition_variable hold_changed_;
  bool held_ = false;
  std::atomic<int> clients_gone_{0};

 private:
  void hold() {
    std::unique_lock<std::mutex> lock(hold_mutex_);
    held_ = true;
    hold_changed_.notify_all();
    hold_changed_.wait(lock, [&] { return !held_; });
  }
  void handle(const std::string& message, TIdContext*) {
    if (message.rfind("echo:", 0) == 0) {
      server_->SendClientMessage(message);
    } else if (message.rfind("wait:", 0) == 0) {
      const TClientRead read = server_->WaitClientMessage(std::chrono::milliseconds(std::stoi(message.substr(5))));
      const char* kinds[] = {"message", "timed out", "disconnected", "stopped"};
      server_->SendClientMessage(std::string(kinds[static_cast<int>(read.kind)]) + ":" + read.text);
    } else if (message == "hold") {
      hold();
      // Through the listener itself: the test may be letting go while it resets server_.
      if (listener_->ClientPresent()) listener_->SendClientMessage("released");
    } else if (message.rfind("quick:", 0) == 0) {
      server_->SendClientMessage("slow:" + message);
    } else {
      dm_.RouteTargeting(message);
    }
  }
};

}  // namespace

TEST_F(ListenerTest, ServesAWebSocketClientOverTls12) {
  TlsTestClient client;
  ASSERT_TRUE(client.Connect(port_));
  std::string answer = client.Handshake();
  EXPECT_EQ(answer, "HTTP/1.1 101 Switching Protocols\r\n"
                    "Upgrade: websocket\r\n"
                    "Connection: Upgrade\r\n"
                    "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n"
                    "Access-Control-Allow-Origin: *\r\n"
                    "Access-Control-Allow-Methods: GET, POST, OPTIONS\r\n"
                    "Access-Control-Allow-Headers: Content-Type\r\n"
                    "Access-Control-Allow-Credentials: true\r\n"
                    "\r\n");
  ASSERT_TRUE(wait_until([&] { return server_->CurrentConnection() != nullptr; }));

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
  EXPECT_NE(log().find("] Disconectado\n"), std::string::npos);
}

TEST_F(ListenerTest, BadUpgradeRequestsGetTheirStatusAndTakeNothingOver) {
  StartServer({"https://vendas.example"});
  TlsTestClient current;
  connect_websocket(current);
  const std::string tail = "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
  struct Case {
    const char* name;
    std::string request;
    std::string status;
  } cases[] = {
      {"plain HTTPS request", "GET / HTTP/1.1\r\nHost: localhost\r\nAccept: */*\r\n\r\n", "400 Bad Request"},
      {"garbage", "GARBAGE\r\n\r\n", "400 Bad Request"},
      {"HTTP/1.0", "GET / HTTP/1.0\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n" + tail +
                       "Sec-WebSocket-Version: 13\r\n\r\n", "400 Bad Request"},
      {"POST", "POST / HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n" + tail +
                   "Sec-WebSocket-Version: 13\r\n\r\n", "400 Bad Request"},
      {"no key", "GET / HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                 "Sec-WebSocket-Version: 13\r\n\r\n", "400 Bad Request"},
      {"version 8", "GET / HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n" + tail +
                        "Sec-WebSocket-Version: 8\r\n\r\n", "426 Upgrade Required"},
      {"page of another origin", "GET / HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n" + tail +
                                     "Sec-WebSocket-Version: 13\r\nOrigin: https://evil.example\r\n\r\n",
       "403 Forbidden"},
  };
  for (const Case& c : cases) {
    TlsTestClient intruder;
    ASSERT_TRUE(intruder.Connect(port_)) << c.name;
    intruder.Send(c.request);
    EXPECT_EQ(intruder.ReadUntilClosed().rfind("HTTP/1.1 " + c.status + "\r\n", 0), 0u) << c.name;
    // The sales application's connection is still the one served.
    current.SendFrame(1, "echo:" + std::string(c.name));
    EXPECT_EQ(next_text(current), "echo:" + std::string(c.name));
  }
  EXPECT_NE(log().find("] Handshake recusado: origem \"https://evil.example\" não permitida.\n"),
            std::string::npos);
}

TEST_F(ListenerTest, EveryMessageGetsItsReplyInOrder) {
  TlsTestClient client;
  connect_websocket(client);
  for (int count : {2, 10}) {
    std::string burst;
    for (int i = 0; i < count; ++i) burst += testing_support::client_frame(1, "echo:" + std::to_string(i));
    client.Send(burst);  // one write
    for (int i = 0; i < count; ++i) EXPECT_EQ(next_text(client), "echo:" + std::to_string(i)) << count;
  }
  // A payload that pauses half-way is waited for, and what follows it is a frame of its own.
  for (int pause_ms : {300, 3000}) {
    const std::string frame = testing_support::client_frame(1, "echo:paused " + std::to_string(pause_ms));
    client.Send(frame.substr(0, 9));
    std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
    client.Send(frame.substr(9) + testing_support::client_frame(1, "echo:after"));
    EXPECT_EQ(next_text(client), "echo:paused " + std::to_string(pause_ms));
    EXPECT_EQ(next_text(client), "echo:after");
  }
}

// Records come in whatever pieces TCP makes of them: one cut short is waited for on the
// socket, and several that came together are all read, though the socket has nothing more.
TEST_F(ListenerTest, TlsRecordsAreReadWhateverPiecesTheyComeIn) {
  TlsTestClient client;
  connect_websocket(client);
  const std::string cut = client.SealRecord(testing_support::client_frame(1, "echo:cut"));
  client.SendRaw(cut.substr(0, 10));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  client.SendRaw(cut.substr(10, cut.size() - 13));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  client.SendRaw(cut.substr(cut.size() - 3));
  EXPECT_EQ(next_text(client), "echo:cut");

  std::string together;
  for (int i = 0; i < 3; ++i) together += client.SealRecord(testing_support::client_frame(1, "echo:" + std::to_string(i)));
  client.SendRaw(together);  // one write
  for (int i = 0; i < 3; ++i) EXPECT_EQ(next_text(client), "echo:" + std::to_string(i));

  // A client that sends its first message with its upgrade request, in one write.
  TlsTestClient eager;
  ASSERT_TRUE(eager.Connect(port_));
  std::string upgrade_and_frame = eager.SealRecord(TlsTestClient::UpgradeRequest());
  upgrade_and_frame += eager.SealRecord(testing_support::client_frame(1, "echo:eager"));  // sealed second
  eager.SendRaw(upgrade_and_frame);
  ASSERT_NE(eager.HandshakeAnswer().find("HTTP/1.1 101 Switching Protocols\r\n"), std::string::npos);
  EXPECT_EQ(next_text(eager), "echo:eager");
}

TEST_F(ListenerTest, AMessageAnsweredOnItsConnectionsThreadNeverOvertakesWhatCameBefore) {
  StartServer({}, true);
  TlsTestClient client;
  connect_websocket(client);
  client.SendFrame(1, "quick:idle");
  EXPECT_EQ(next_text(client), "fast:quick:idle");

  // While an operation runs, it is queued behind it and answered by the operation thread.
  client.SendFrame(1, "hold");
  ASSERT_TRUE(Held());
  client.SendFrame(1, "quick:held");
  client.SendFrame(1, "echo:after");
  Release();
  EXPECT_EQ(next_text(client), "released");
  // Slow when it came before the release, and fast only once the operation is over.
  EXPECT_THAT(next_text(client), testing::AnyOf("fast:quick:held", "slow:quick:held"));
  EXPECT_EQ(next_text(client), "echo:after");

  // A dialogue waiting for the client's answer gets it, whatever it is.
  client.Send(testing_support::client_frame(1, "wait:5000") + testing_support::client_frame(1, "quick:answer"));
  EXPECT_EQ(next_text(client), "message:quick:answer");

  // In a burst, each reply comes in the order of the messages, whichever thread answers.
  client.Send(testing_support::client_frame(1, "echo:1") + testing_support::client_frame(1, "quick:2") +
              testing_support::client_frame(1, "echo:3"));
  EXPECT_EQ(next_text(client), "echo:1");
  EXPECT_THAT(next_text(client), testing::AnyOf("fast:quick:2", "slow:quick:2"));
  EXPECT_EQ(next_text(client), "echo:3");
}

TEST_F(ListenerTest, TheReplacedClientsGoodbyeWaitsForAMessageRunOnItsConnectionsThread) {
  StartServer({}, true);
  TlsTestClient client;
  connect_websocket(client);
  client.SendFrame(1, "quick:hold");
  ASSERT_TRUE(Held());
  TlsTestClient newer;
  connect_websocket(newer);
  newer.SendFrame(1, "echo:newer");  // waits, as the client's goodbye does
  EXPECT_EQ(clients_gone_, 0);
  Release();
  EXPECT_EQ(next_text(newer), "echo:newer");
  EXPECT_EQ(clients_gone_, 1);
}

TEST_F(ListenerTest, AWriteFromAnotherThreadReachesAnIdleClientAtOnce) {
  TlsTestClient client;
  connect_websocket(client);
  ASSERT_TRUE(wait_until([&] { return server_->CurrentConnection() != nullptr; }));
  std::thread([&] { server_->SendClientMessage("from elsewhere"); }).join();
  EXPECT_EQ(next_text(client), "from elsewhere");
}

TEST_F(ListenerTest, TheRunningOperationReadsTheClientsNextMessage) {
  TlsTestClient client;
  connect_websocket(client);
  client.SendFrame(1, "wait:5000");
  client.SendFrame(1, "the answer");
  EXPECT_EQ(next_text(client), "message:the answer");
  client.SendFrame(1, "wait:50");
  EXPECT_EQ(next_text(client), "timed out:");

  // A newer client ends the wait of the replaced one; the reply goes nowhere.
  client.SendFrame(1, "wait:10000");
  TlsTestClient newer;
  connect_websocket(newer);
  EXPECT_TRUE(client.ClosedByServer());
  newer.SendFrame(1, "echo:served");
  EXPECT_EQ(next_text(newer), "echo:served");
}

TEST_F(ListenerTest, AClientThatFloodsTheInboxIsClosed) {
  TlsTestClient client;
  connect_websocket(client);
  client.SendFrame(1, "hold");
  ASSERT_TRUE(Held());
  std::string burst;
  for (size_t i = 0; i <= TServerThread::kMaxInboxMessages; ++i) burst += testing_support::client_frame(1, "echo:x");
  client.Send(burst);
  Frame frame;
  ASSERT_TRUE(client.ReadFrame(frame));
  EXPECT_EQ(frame.first_byte, 0x88);
  EXPECT_EQ(frame.payload, "\x03\xF0");  // 1008
  EXPECT_TRUE(client.ClosedByServer());
  EXPECT_NE(log().find("] Conexão fechada: mais de " + std::to_string(TServerThread::kMaxInboxMessages) + " mensagens"),
            std::string::npos);
}

TEST_F(ListenerTest, ABrokenFrameClosesWith1002AndTheNextClientIsServed) {
  TlsTestClient client;
  connect_websocket(client);
  client.Send(testing_support::client_frame(3, "x"));
  Frame frame;
  ASSERT_TRUE(client.ReadFrame(frame));
  EXPECT_EQ(frame.first_byte, 0x88);
  EXPECT_EQ(frame.payload, "\x03\xEA");
  EXPECT_TRUE(client.ClosedByServer());
  EXPECT_NE(log().find("] Quadro recusado: opcode 3 desconhecido.\n"), std::string::npos);

  TlsTestClient next;
  connect_websocket(next);
  next.SendFrame(1, "echo:ok", true, false);  // unmasked client frames are still taken
  EXPECT_EQ(next_text(next), "echo:ok");
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

TEST_F(ListenerTest, PlainConnectsThatNeverSpeakTakeNoThread) {
  TlsTestClient current;
  connect_websocket(current);
  const size_t threads = running_threads();
  // Sockets that connect and never start TLS, as a connect flood opens them: twice as many
  // as there are places for half-open connections.
  std::vector<int> silent;
  for (size_t i = 0; i < 2 * TServerThread::kMaxHalfOpen; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    silent.push_back(fd);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port_);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  }
  // A client that connects after them is served, and no thread waits on the silent ones:
  // the only new thread is that client's.
  TlsTestClient next;
  connect_websocket(next);
  next.SendFrame(1, "echo:after");
  EXPECT_EQ(next_text(next), "echo:after");
  EXPECT_LE(running_threads(), threads + 1);
  // Closed without a word, they are dropped as they come in, still without a thread.
  for (int fd : silent) ::close(fd);
  TlsTestClient last;
  connect_websocket(last);
  last.SendFrame(1, "echo:last");
  EXPECT_EQ(next_text(last), "echo:last");
  EXPECT_LE(running_threads(), threads + 2);
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
  // More sockets that open TLS and never send the upgrade request than there are places.
  std::vector<std::unique_ptr<TlsTestClient>> idle;
  for (size_t i = 0; i <= TServerThread::kMaxHalfOpen; ++i) {
    idle.push_back(std::make_unique<TlsTestClient>());
    ASSERT_TRUE(idle.back()->Connect(port_)) << i;
  }
  // Room was made from one idle socket (the one whose handshake the service had seen get
  // least far, so under load not always the oldest), never from the current client.
  auto closed = [&] {
    return std::count_if(idle.begin(), idle.end(), [](const auto& socket) { return socket->InputWaiting(); });
  };
  ASSERT_TRUE(wait_until([&] { return closed() >= 1; }));
  EXPECT_EQ(closed(), 1);
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
    EXPECT_EQ(endless_header.ReadUntilClosed().rfind("HTTP/1.1 400 Bad Request\r\n", 0), 0u);
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
    TListenerSettings settings;
    settings.Port = port;
    TServerThread server(settings);
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
