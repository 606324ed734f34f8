#pragma once
#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "websocket/ClientChannel.h"
#include "websocket/TlsStream.h"

// One client connection. Its socket is read and written only by its own thread, which
// waits on the socket and a wake-up descriptor together: complete messages go to the
// inbox (taken by the listener's operation thread), and frames put on the outgoing queue
// from any thread are written by it.
class TIdContext {
 public:
  TIdContext(int fd, SSL_CTX* context);
  ~TIdContext();
  TIdContext(const TIdContext&) = delete;
  TIdContext& operator=(const TIdContext&) = delete;

  // How far the connection got, for admission: a flood of sockets that never finish TLS or
  // the upgrade is evicted before a client that is getting somewhere.
  enum Progress : int { Accepted = 0, TlsStarted, TlsDone, UpgradeStarted, Established };

  // Safe from any thread. Puts a frame on the outgoing queue; false when the connection has
  // ended or holds too much unsent (then it is closed: a client that never reads cannot
  // make the service hold its replies without bound).
  bool Enqueue(std::string frame);
  // Safe from any thread: the connection's thread closes it and ends at once.
  void Abort();
  bool Ended() const { return ended_; }
  int CurrentProgress() const { return progress_; }

 private:
  friend class TServerThread;
  void wake();

  norvane::TTlsSocket socket_;
  int wake_fd_ = -1;
  std::mutex out_mutex_;  // guards outbox_ and outbox_bytes_
  std::deque<std::string> outbox_;
  size_t outbox_bytes_ = 0;
  // Guarded by the listener's mutex_.
  std::deque<std::string> inbox_;
  size_t inbox_bytes_ = 0;

  std::atomic<int> progress_{Accepted};
  std::atomic<bool> aborted_{false};
  std::atomic<bool> ended_{false};     // the connection is closed (set by its thread)
  std::atomic<bool> finished_{false};  // its thread is about to return: join it
  uint64_t accept_order_ = 0;           // which connection is newer
  std::thread thread_;
};

// Settings the service hands the listener.
struct TListenerSettings {
  int Port = 443;
  // Origins whose pages may connect ("https://vendas.example"); empty: any.
  std::vector<std::string> AllowedOrigins;
  // Runs one client message (on the operation thread, one at a time, in order).
  std::function<void(const std::string& message, TIdContext* connection)> OnMessage;
  // Optional. Offered a message of the current client on its connection's own thread when
  // the operation thread is idle and nothing of the client's waits before it, so that a
  // message answered at once (a session start, a status, a refusal) is not handed to
  // another thread and back. Runs it and returns true, or returns false having done
  // nothing, and the message goes to the operation thread as any other. While it runs it
  // is the operation: no other message and no OnClientGone runs beside it.
  std::function<bool(const std::string& message, TIdContext* connection)> OnQuickMessage;
  // The current client went away or was replaced (on the operation thread).
  std::function<void()> OnClientGone;
};

// The listener: accepts TLS 1.2 connections on every local address and serves each on a
// thread of its own, and runs the current client's messages on one operation thread.
//
// One client at a time: a connection becomes current when its WebSocket handshake is done,
// and the connections accepted before it are then closed (a connection that finishes its
// handshake after a newer one became current is closed instead). A reloaded page or a
// restarted sales application is served at once, even when its old connection was never
// closed cleanly. Only a valid upgrade request takes over.
//
// Threads: SendClientMessage, WaitClientMessage, CurrentConnection, Listening and
// SwitchOff are safe from any thread. WaitClientMessage is meant for the operation thread
// (inside a route): it reads the client whose message is being run.
class TServerThread : public TClientChannel {
 public:
  // Created, not started. A port outside 1 to 65535 raises std::runtime_error.
  explicit TServerThread(TListenerSettings settings);
  ~TServerThread() override;  // switches off and waits, if not done already
  TServerThread(const TServerThread&) = delete;
  TServerThread& operator=(const TServerThread&) = delete;

  void Start();
  // Called on the listener's thread once the port is open (with an empty text) or could
  // not be opened (with the reason), before any client is served. Set it before Start().
  std::function<void(const std::string& StartError)> OnStarted;
  // Switches the server off: the listening socket and every connection are closed, and
  // the thread joins every connection thread and the operation thread before it ends.
  // Returns at once.
  void SwitchOff();
  // Waits for the thread to end.
  void WaitFor();

  uint16_t Port() const { return port_; }
  // True once the port is open and until the server is switched off.
  bool Listening() const { return listening_; }
  // The error that kept the port from opening (empty when it opened).
  std::string StartError() const;
  // Connections past the WebSocket handshake and still open. Safe from any thread.
  size_t ConnectedClients() const;

  // Puts a text message on the outgoing queue of the client being served (the one whose
  // message runs, else the current one) and returns at once.
  void SendClientMessage(const std::string& pMsg) override;
  TClientRead WaitClientMessage(std::chrono::milliseconds timeout) override;
  bool ClientPresent() override;

  // The current connection (null when none), kept alive while the caller holds it.
  std::shared_ptr<TIdContext> CurrentConnection();

  // Connections past the WebSocket handshake served at once; when all are taken, the
  // oldest that is not the current client is closed to make room.
  static constexpr size_t kMaxConnections = 16;
  // Connections still in TLS or the upgrade request: their own cap, so that a flood of
  // them never pushes out the client. The one that got least far goes first.
  static constexpr size_t kMaxHalfOpen = 32;
  // Time given to a client to finish TLS and send its upgrade request.
  static constexpr int kHandshakeMs = 10000;
  // A frame that has started and makes no progress for this long closes the connection.
  static constexpr int kStalledFrameMs = 30000;
  // Messages waiting in a connection's inbox: past either bound the client is closed. The
  // count is generous: a sales application may send a burst of "/print" requests, which
  // get no reply, or keep asking things while a payment holds the operation.
  static constexpr size_t kMaxInboxMessages = 1024;
  static constexpr size_t kMaxInboxBytes = 64u * 1024 * 1024;
  // Unsent bytes a connection may hold before it is closed as a client that never reads.
  static constexpr size_t kMaxOutboxBytes = 64u * 1024 * 1024;

 private:
  void Execute();
  void operate();
  bool open_listener();
  void admit(int fd);
  void serve_connection(std::shared_ptr<TIdContext> context);
  bool handshake(const std::shared_ptr<TIdContext>& context, std::string& leftover);
  void serve_messages(const std::shared_ptr<TIdContext>& context, std::string leftover);
  // Runs the message at once or puts it in the inbox; false when the inbox is full.
  bool take_message(const std::shared_ptr<TIdContext>& context, std::string& message);
  bool take_over(const std::shared_ptr<TIdContext>& context);
  // What the operation thread waits for, besides a quick message ending. Under mutex_.
  bool operation_has_work() const;
  void connection_ended(const std::shared_ptr<TIdContext>& context);
  void reap_finished();
  void make_room();  // with mutex_ held
  void close_all_connections();
  void notify_all();

  const TListenerSettings settings_;
  const uint16_t port_;
  SSL_CTX* tls_context_ = nullptr;
  int listen_fd_ = -1;
  int wake_fd_ = -1;  // wakes the accept loop: to stop, or to reap a connection that ended
  std::thread thread_;
  std::thread operation_thread_;
  std::atomic<bool> active_{false};
  std::atomic<bool> listening_{false};

  // Guards the connection list, the current and operating connections, every inbox and
  // start_error_; changes to any of them are announced on changed_.
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::list<std::shared_ptr<TIdContext>> connections_;
  std::shared_ptr<TIdContext> FIdContext;  // the current connection
  std::shared_ptr<TIdContext> operating_;  // whose message runs (operation thread or OnQuickMessage)
  bool quick_running_ = false;             // a connection thread runs OnQuickMessage
  bool client_gone_ = false;               // OnClientGone is owed
  uint64_t accepted_ = 0;
  std::string start_error_;
};
