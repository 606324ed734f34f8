#include "routing/ntDmSitef.h"

TDmSitef* DmSitef = nullptr;

TDmSitef::TDmSitef() = default;
TDmSitef::~TDmSitef() = default;

void TDmSitef::DecodeWebSocketFrame(std::string& DecodedMessage) {
  DecodedMessage.clear();
  if (TClientChannel* channel = FClientChannel.load()) channel->DecodeWebSocketFrame(DecodedMessage);
}

void TDmSitef::SendClientMessage(const std::string& pMsg) {
  if (TClientChannel* channel = FClientChannel.load()) channel->SendClientMessage(pMsg);
}

void TDmSitef::ClientDisconnected() {
  // The TEF component cancels its pending transactions here once it exists.
}
