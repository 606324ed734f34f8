#pragma once
#include <chrono>
#include <string>
#include <utility>

// What a wait for the client's next message gave.
struct TClientRead {
  enum class Kind { Message, TimedOut, Disconnected, Stopped } kind;
  std::string text;  // the whole message when kind == Message
};

// Where the data module reads client messages from and writes service messages to: the
// listener's current connection in the service, a scripted peer in tests.
class TClientChannel {
 public:
  virtual ~TClientChannel() = default;
  // Waits up to `timeout` for the next complete message of the client whose operation is
  // running, taking it from that connection's inbox, in order. Disconnected: that client
  // went away or was replaced; Stopped: the service is stopping. Never sleeps in a loop.
  virtual TClientRead WaitClientMessage(std::chrono::milliseconds timeout) = 0;
  // False once the client whose operation is running went away or was replaced, or the
  // service is stopping; true where the channel cannot tell.
  virtual bool ClientPresent() { return true; }
  // Enqueues one text message for the client and returns at once.
  virtual void SendClientMessage(const std::string& pMsg) = 0;
};
