// The fixture of the TURN server tests on fake sockets: a recording server without
// authentication, the discards and exceptions it reports, and sending requests to it.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "turn_server/turn_server_test_util.h"

struct TTURNFakeSocketFixture : ::testing::Test {
  TTestTURNServer Server;
  std::vector<std::string> Exceptions;
  struct Discard {
    TqynStunMessageMethod Method;
    bool HasMessage;
    std::string Reason;
  };
  std::vector<Discard> Discards;
  std::vector<std::string> ChannelDiscards;
  int Tid = 1;

  TTURNFakeSocketFixture() {
    Server.TURNOptions().Authentication.Enabled = false;
    Server.OnSTUNException = [this](TqynComponent_Base*, const Exception& E) { Exceptions.push_back(E.Message()); };
    Server.OnTURNMessageDiscarded = [this](TqynComponent_Base*, TqynSocketConnection*, TqynStunMessageMethod aMethod,
                                           TqynSTUN_Message* aMessage, const std::string& aReason) {
      Discards.push_back({aMethod, aMessage != nullptr, aReason});
    };
    Server.OnTURNChannelDataDiscarded = [this](TqynComponent_Base*, TqynSocketConnection*, TqynTURNChannelData*,
                                               const std::string& aReason) { ChannelDiscards.push_back(aReason); };
  }

  // aBytes from aSocket; the last datagram the server answered on it (empty for none).
  TqynBytes Exchange(TFakeUDPSocket& aSocket, const TqynBytes& aBytes) {
    aSocket.Sent.clear();
    Server.UDPServerRead(nullptr, &aSocket, aBytes);
    return aSocket.Sent.empty() ? TqynBytes() : aSocket.Sent.back();
  }
  // A request of aType with the next transaction id.
  TqynBytes Request(uint16_t aType, const std::function<void(TqynSTUN_Message&)>& aFill) {
    return BuildMessage(aType, QYN_STUN_MAGIC_COOKIE, TurnTransactionId(Tid++), aFill);
  }
  TqynTURNAllocationRef Allocate(TFakeUDPSocket& aSocket) {
    Exchange(aSocket, Request(kAllocate, [](TqynSTUN_Message& m) { AddRequestedTransport(m); }));
    return Server.GetAllocations()->GetAllocation(&aSocket);
  }
  // The datagrams relayed since the last call.
  std::vector<TRelayed> Take() {
    auto out = Server.Relayed();
    Server.ClearRelayed();
    return out;
  }
};
