#pragma once
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <list>
#include <unordered_map>

#include "platform/Clock.h"

// One client session, started by a "/session/start" message with a valid token.
class TSession {
 public:
  std::string FSession_UUID;
  norvane::TimePoint FExpirationDateTime;  // refused from this instant on
  std::int32_t FVenda_Id = 0;  // the sale id of the token that started it
};

// The sessions, found by identifier through a hash map and kept in the order they were
// started. The service uses it from its operation thread only, but the list does not rely
// on that: every call takes the list's lock. Sessions are handed out as shared pointers: one
// that is removed stays valid for whoever still holds it.
class TSessionList {
 public:
  // An expired session is kept this long after its expiry, so a client that comes back
  // later is told "Sessão expirada." rather than "Sessão inválida."; after that it is
  // dropped when the next session is added, so the list cannot grow over weeks of uptime.
  static constexpr std::chrono::hours kExpiredKeptFor{24};
  // Most sessions kept: past it the oldest go (every session lives as long, so the oldest
  // are the expired ones first). A client that starts sessions in a loop cannot fill memory.
  static constexpr std::size_t kMaxSessions = 10000;

  void AddItem(const std::string& pSession_UUID, norvane::TimePoint pExpirationDateTime);
  // The session with exactly this identifier (case-sensitive), or null.
  std::shared_ptr<TSession> GetSession(const std::string& pSession_UUID) const;
  // Removes the session with this identifier, if any.
  void DeleteItem(const std::string& pSession_UUID);

  std::size_t Count() const;

 private:
  using Order = std::list<std::shared_ptr<TSession>>;
  // The map's entry for an identifier, compared once more in constant time.
  std::unordered_map<std::string, Order::iterator>::const_iterator find(const std::string& id) const;
  void erase_oldest();

  mutable std::mutex FLock;
  Order FList;  // oldest first
  std::unordered_map<std::string, Order::iterator> FById;
};
