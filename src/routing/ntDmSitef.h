#pragma once
#include <atomic>
#include <string>

class TIdContext;  // a client connection of the listener (websocket/ServerThread.h)

// Where the data module reads client messages from and writes service messages to: the
// listener's current connection in the service, a scripted peer in tests.
class TClientChannel {
 public:
  virtual ~TClientChannel() = default;
  // Reads one whole message; empty when no text resulted (close, empty, conversion error).
  virtual void DecodeWebSocketFrame(std::string& DecodedMessage) = 0;
  virtual void SendClientMessage(const std::string& pMsg) = 0;
};

// The one data module: routes client messages to their operations and holds the TEF
// component, the sessions and the running operation's state.
class TDmSitef {
 public:
  TDmSitef();
  virtual ~TDmSitef();
  TDmSitef(const TDmSitef&) = delete;
  TDmSitef& operator=(const TDmSitef&) = delete;

  // The listener (or a test) names the channel that every read and write uses.
  void SetClientChannel(TClientChannel* channel) { FClientChannel = channel; }

  // Read one message from, and write one service message to, the current client.
  void DecodeWebSocketFrame(std::string& DecodedMessage);
  void SendClientMessage(const std::string& pMsg);

  // Dispatches one client message to the operation of its route.
  void RouteTargeting(const std::string& pContent, TIdContext* pIdContext);

  // Called by the listener on the closing connection's thread.
  void ClientDisconnected();

  std::atomic<bool> FProcessandoMsg{false};
  std::atomic<TIdContext*> FIdContext{nullptr};

 private:
  std::atomic<TClientChannel*> FClientChannel{nullptr};
};

// The process-wide data module (created by the service object).
extern TDmSitef* DmSitef;
