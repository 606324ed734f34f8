#include "routing/SessionList.h"

#include <algorithm>

#include <openssl/crypto.h>

namespace {

// The identifier is the client's only credential for its session: compared in constant
// time, so that how long a refusal takes says nothing about how much of a guess was right.
bool same_identifier(const std::string& a, const std::string& b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

auto TSessionList::find(const std::string& id) const
    -> std::unordered_map<std::string, Order::iterator>::const_iterator {
  // The hash finds the candidate; the final comparison still takes the same time however
  // much of a guess matches, so a refusal's timing says nothing about the identifier.
  const auto found = FById.find(id);
  if (found == FById.end() || !same_identifier((*found->second)->FSession_UUID, id)) return FById.end();
  return found;
}

void TSessionList::erase_oldest() {
  FById.erase(FList.front()->FSession_UUID);
  FList.pop_front();
}

void TSessionList::AddItem(const std::string& pSession_UUID, norvane::TimePoint pExpirationDateTime) {
  auto session = std::make_shared<TSession>();
  session->FSession_UUID = pSession_UUID;
  session->FExpirationDateTime = pExpirationDateTime;
  const norvane::TimePoint forget_before = norvane::now() - kExpiredKeptFor;
  std::lock_guard<std::mutex> lock(FLock);
  while (!FList.empty() && FList.front()->FExpirationDateTime <= forget_before) erase_oldest();
  while (FList.size() >= kMaxSessions) erase_oldest();
  const auto existing = FById.find(pSession_UUID);
  if (existing != FById.end()) {
    FList.erase(existing->second);
    FById.erase(existing);
  }
  FList.push_back(std::move(session));
  FById.emplace(pSession_UUID, std::prev(FList.end()));
}

std::shared_ptr<TSession> TSessionList::GetSession(const std::string& pSession_UUID) const {
  std::lock_guard<std::mutex> lock(FLock);
  const auto found = find(pSession_UUID);
  return found == FById.end() ? nullptr : *found->second;
}

void TSessionList::DeleteItem(const std::string& pSession_UUID) {
  std::lock_guard<std::mutex> lock(FLock);
  const auto found = find(pSession_UUID);
  if (found == FById.end()) return;
  FList.erase(found->second);
  FById.erase(found);
}

std::size_t TSessionList::Count() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FList.size();
}
