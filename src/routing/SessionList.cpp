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

void TSessionList::AddItem(const std::string& pSession_UUID, norvane::TimePoint pExpirationDateTime,
                           TIdContext* pIdContext) {
  auto session = std::make_shared<TSession>();
  session->FIdContext = pIdContext;
  session->FSession_UUID = pSession_UUID;
  session->FExpirationDateTime = pExpirationDateTime;
  const norvane::TimePoint forget_before = norvane::now() - kExpiredKeptFor;
  std::lock_guard<std::mutex> lock(FLock);
  std::erase_if(FList, [&](const std::shared_ptr<TSession>& old) {
    return old->FExpirationDateTime <= forget_before;
  });
  FList.push_back(std::move(session));
}

std::shared_ptr<TSession> TSessionList::GetSession(const std::string& pSession_UUID) const {
  std::lock_guard<std::mutex> lock(FLock);
  for (const auto& session : FList) {
    if (same_identifier(session->FSession_UUID, pSession_UUID)) return session;
  }
  return nullptr;
}

void TSessionList::DeleteItem(const std::string& pSession_UUID) {
  std::lock_guard<std::mutex> lock(FLock);
  const auto found = std::find_if(FList.begin(), FList.end(), [&](const std::shared_ptr<TSession>& session) {
    return same_identifier(session->FSession_UUID, pSession_UUID);
  });
  if (found != FList.end()) FList.erase(found);
}

std::size_t TSessionList::Count() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FList.size();
}
