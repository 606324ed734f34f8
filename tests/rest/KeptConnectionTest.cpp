// The HTTP client keeps its connection to a back-end between requests. A payment's report
// must never reach the back-end twice, even when the kept connection dies under it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "rest/uRest.h"

namespace {

// What the back-end does with each request it reads whole, in order.
enum class Then {
  Answer,               // 200 and the connection stays open
  AnswerAndClose,       // 200, then it closes the connection as an idle one would be
  CloseWithoutAnswer,   // it took the request, then the connection died before the answer
};

// A plain HTTP/1.1 back-end on loopback that serves one connection at a time, counts the
// connections and the requests it read whole, and acts on each as its script says.
class ScriptedBackEnd {
 public:
  explicit ScriptedBackEnd(std::deque<Then> script) : script_(std::move(script)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(listener_, 8) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0 || ::pipe2(stop_, O_CLOEXEC) != 0)
      throw std::runtime_error("back-end não iniciado");
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~ScriptedBackEnd() {
    (void)::write(stop_[1], "x", 1);
    thread_.join();
    ::close(listener_);
    ::close(stop_[0]);
    ::close(stop_[1]);
  }

  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/api/"; }
  int Connections() {
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_;
  }
  int Requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }
  // Waits until the back-end has closed `count` connections.
  void WaitClosed(int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return closed_ >= count; });
  }

 private:
  // Waits for the descriptor or the stop pipe; false when stopping.
  bool Wait(int fd) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {stop_[0], POLLIN, 0}};
    return ::poll(fds, 2, -1) > 0 && !(fds[1].revents & POLLIN);
  }

  void Serve() {
    while (Wait(listener_)) {
      const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection < 0) continue;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        ++connections_;
      }
      ServeConnection(connection);
      ::close(connection);
      std::lock_guard<std::mutex> lock(mutex_);
      ++closed_;
      changed_.notify_all();
    }
  }

  // Reads requests (headers and a Content-Length body) until the client or the script ends it.
  void ServeConnection(int connection) {
    std::string received;
    for (;;) {
      const auto head_end = received.find("\r\n\r\n");
      if (head_end != std::string::npos) {
        std::size_t body = 0;
        const auto at = received.find("Content-Length: ");
        if (at != std::string::npos && at < head_end) body = std::stoul(received.substr(at + 16));
        if (received.size() >= head_end + 4 + body) {
          received.erase(0, head_end + 4 + body);
          Then then = Then::Answer;
          {
            std::lock_guard<std::mutex> lock(mutex_);
            ++requests_;
            if (!script_.empty()) {
              then = script_.front();
              script_.pop_front();
            }
          }
          if (then == Then::CloseWithoutAnswer) return;
          const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
          if (::send(connection, answer.data(), answer.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(answer.size()))
            return;
          if (then == Then::AnswerAndClose) return;
          continue;
        }
      }
      if (!Wait(connection)) return;
      char buffer[4096];
      const ssize_t n = ::recv(connection, buffer, sizeof buffer, 0);
      if (n <= 0) return;
      received.append(buffer, static_cast<std::size_t>(n));
    }
  }

  std::deque<Then> script_;
  int listener_ = -1;
  int stop_[2] = {-1, -1};
  int port_ = 0;
  std::mutex mutex_;
  std::condition_variable changed_;
  int connections_ = 0;
  int requests_ = 0;
  int closed_ = 0;
  std::thread thread_;
};

const std::string kReport = R"({"status":"approved","nsu":"123456"})";

TEST(KeptConnectionTest, RequestsToOneBackEndShareOneConnection) {
  ScriptedBackEnd back_end({Then::Answer, Then::Answer, Then::Answer});
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(ExecuteRequest(TRESTRequestMethod::rmPOST, back_end.Url(), {}, kReport)->StatusCode, 200);
  EXPECT_EQ(back_end.Requests(), 3);
  EXPECT_EQ(back_end.Connections(), 1);
  CloseKeptConnections();
}

TEST(KeptConnectionTest, AConnectionTheBackEndClosedCostsANewOneNotALostReport) {
  ScriptedBackEnd back_end({Then::AnswerAndClose, Then::Answer});
  EXPECT_EQ(ExecuteRequest(TRESTRequestMethod::rmPOST, back_end.Url(), {}, kReport)->StatusCode, 200);
  back_end.WaitClosed(1);
  EXPECT_EQ(ExecuteRequest(TRESTRequestMethod::rmPOST, back_end.Url(), {}, kReport)->StatusCode, 200);
  EXPECT_EQ(back_end.Requests(), 2);
  EXPECT_EQ(back_end.Connections(), 2);
  CloseKeptConnections();
}

// The back-end read the report whole on the kept connection, then the connection died
// without an answer. libcurl by itself would post it again on a new connection, and the
// back-end would then see the same payment twice; the call fails instead, as it does when
// a new connection dies that way.
TEST(KeptConnectionTest, AReportTheBackEndMayHaveTakenIsNeverSentTwice) {
  for (const auto method : {TRESTRequestMethod::rmPOST, TRESTRequestMethod::rmPUT}) {
    ScriptedBackEnd back_end({Then::Answer, Then::CloseWithoutAnswer, Then::Answer});
    EXPECT_EQ(ExecuteRequest(method, back_end.Url(), {}, kReport)->StatusCode, 200);
    try {
      ExecuteRequest(method, back_end.Url(), {}, kReport);
      ADD_FAILURE() << "the second report was answered: it was sent again";
    } catch (const ERestRequestError& error) {
      EXPECT_STREQ(error.what(), "Request Error Empty reply from server");
    }
    EXPECT_EQ(back_end.Requests(), 2);
    CloseKeptConnections();
  }
}

}  // namespace
