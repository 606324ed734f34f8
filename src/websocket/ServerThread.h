#pragma once
#include <openssl/ssl.h>

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "routing/ntDmSitef.h"
#include "websocket/TlsStream.h"

enum class TClientState { csHandshake, csConnected };

// Per-connection state, attached when the connection's handler first runs.
struct TClientData {
  TClientState State = TClientState::csHandshake;
};

// One client connection: its TLS stream, its state and the thread that serves it.
class TIdContext {
 public:
  TIdContext(int fd, SSL_CTX* context) : Stream(fd, context) {}
  norvane::TTlsStream Stream;
  std::unique_ptr<TClientData> Data;

 private:
  friend class TServerThread;
  std::thread thread_;
  std::atomic<bool> finished_{false};
  uint64_t accept_order_ = 0;  // which connection is newer
};

// The listener: accepts TLS 1.2 connections on every local address and serves each on a
// thread of its own. All reading and writing goes to one current connection, guarded by
// IOHandlerLock.
//
// One client at a time: a connection becomes current when its WebSocket handshake is done,
// and the connections accepted before it are then closed (a connection that finishes its
// handshake after a newer one became current is closed instead). A reloaded page or a restarted sales
// application is served at once, even when its old connection was never closed cleanly.
class TServerThread : public TClientChannel {
 public:
  // Created, not started. A port outside 1 to 65535 raises std::runtime_error.
  explicit TServerThread(int Port);
  ~TServerThread() override;         // switches off and waits, if not done already
  TServerThread(const TServerThread&) = delete;
  TServerThread& operator=(const TServerThread&) = delete;

  void Start();
  // Called on the listener's thread once the port is open (with an empty text) or could
  // not be opened (with the reason), before any client is served. Set it before Start().
  std::function<void(const std::string& StartError)> OnStarted;
  // Switches the server off: the listening socket and every connection are closed, and
  // the thread joins every connection thread before it ends. Returns at once.
  void SwitchOff();
  // Waits for the thread to end.
  void WaitFor();

  uint16_t Port() const { return port_; }
  // True once the port is open and until the server is switched off.
  bool Listening() const { return listening_; }
  // The error that kept the port from opening (empty when it opened).
  std::string StartError() const;

  // Held for the whole read of one message (including the wait for it) and the whole write
  // of one; re-entrant so that the thread running an operation can write inside a read.
  std::recursive_mutex IOHandlerLock;

  // Read one message from, and write one text message to, the current connection.
  void DecodeWebSocketFrame(std::string& DecodedMessage) override;
  void SendClientMessage(const std::string& pMsg) override;

  // Waits up to timeout_ms for data on the current connection; false when there is no
  // connection, it is closed, or nothing came.
  bool WaitForClientData(int timeout_ms);

  // The current connection (null when none), kept alive while the caller holds it.
  std::shared_ptr<TIdContext> CurrentConnection();

  // Connections most served at once, so that a flood of idle sockets cannot take every
  // thread. When all are taken, the oldest one that is not the current client is closed to
  // make room: refusing the newcomer instead would lock the sales application out for good
  // once enough sockets sat idle in the WebSocket handshake, which has no time-out.
  static constexpr size_t kMaxConnections = 16;
  // Time given to a client to finish the TLS handshake.
  static constexpr int kTlsHandshakeMs = 10000;

  // Connection handlers (each runs on the connection's thread).
  void WebSocketHandshake(TIdContext* AContext);

 private:
  void Execute();
  bool open_listener();
  void serve_connection(std::shared_ptr<TIdContext> context);
  void execute_once(const std::shared_ptr<TIdContext>& context);
  void on_disconnect(const std::shared_ptr<TIdContext>& context);
  void take_over(TIdContext* context);
  void reap_finished();
  void make_room();  // with connections_mutex_ held
  void close_all_connections();

  const uint16_t port_;
  SSL_CTX* tls_context_ = nullptr;
  int listen_fd_ = -1;
  int wake_fd_ = -1;  // wakes the accept loop: to stop, or to reap a connection that ended
  std::thread thread_;
  std::atomic<bool> active_{false};
  std::atomic<bool> listening_{false};

  mutable std::mutex connections_mutex_;  // guards connections_, FIdContext, start_error_
  std::list<std::shared_ptr<TIdContext>> connections_;
  std::shared_ptr<TIdContext> FIdContext;  // the current connection
  uint64_t accepted_ = 0;
  std::string start_error_;
};
