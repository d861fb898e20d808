// A TURN client of the relaykeeper tests on a loopback socket, built on the codec: requests are
// answered by matching transaction ID; Allocate answers a long-term credential challenge. aPump
// runs while an answer is awaited (the window's tests process Qt events there).
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>

#include "qyn_test_udp.h"
#include "turn_server/turn_server_test_util.h"

class TTestTurnClient {
public:
  // aFirstTid: number of the first transaction ID (TurnTransactionId); clients that talk to one
  // server at the same time use different ranges.
  explicit TTestTurnClient(std::function<void()> aPump = {}, int aFirstTid = 1) : FPump(std::move(aPump)), FNextTid(aFirstTid) {}

  RawClient Socket;

  // Sends a request to 127.0.0.1:aServerPort and reads its answer into VResponse; false when
  // none came within aMs.
  bool Ask(TIdPort aServerPort, uint16_t aType, const std::function<void(TqynSTUN_Message&)>& aFill,
           TqynSTUN_Message& VResponse, int aMs = 10000) {
    const TqynBytes tid = TurnTransactionId(FNextTid++);
    Socket.Send(aServerPort, BuildMessage(aType, QYN_STUN_MAGIC_COOKIE, tid, aFill));
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(aMs);
    while (std::chrono::steady_clock::now() < end) {
      if (FPump) FPump();
      const TqynBytes bytes = Socket.Receive(FPump ? 2 : 100);
      if (bytes.size() < 20 || (bytes[0] & 0xC0) != 0) continue;
      if (!std::equal(tid.begin(), tid.end(), bytes.begin() + 8)) continue;
      ReadResponse(bytes, VResponse);
      return true;
    }
    return false;
  }

  // A request that answers a 401 challenge with the realm and nonce it brings, as aUser (no
  // answer to a challenge without a user name). The final answer is in VResponse.
  bool SignedAsk(TIdPort aServerPort, uint16_t aType, const std::function<void(TqynSTUN_Message&)>& aFill,
                 TqynSTUN_Message& VResponse, const std::string& aUser, const std::string& aPassword, int aMs = 10000) {
    if (!Ask(aServerPort, aType, aFill, VResponse)) return false;
    if (aUser.empty() || ErrorOf(VResponse).first != 401) return true;
    const auto* nonce = VResponse.Attributes().GetAttribute<TqynSTUN_Attribute_NONCE>(stmaNonce);
    const auto* realm = VResponse.Attributes().GetAttribute<TqynSTUN_Attribute_REALM>(stmaRealm);
    if (!nonce || !realm) return true;
    const std::string n = nonce->Nonce(), r = realm->Realm();
    return Ask(aServerPort, aType, [&](TqynSTUN_Message& m) {
      if (aFill) aFill(m);
      m.SetCredentials(stauLongTermCredential);
      m.SetUsername(aUser);
      m.SetRealm(r);
      m.SetPassword(aPassword);
      m.SetNonce(n);
    }, VResponse, aMs);
  }

  // Allocate (UDP), signed when aUser is given.
  // aMs: how long to wait for the answer to the signed request (0: send it and return false).
  bool Allocate(TIdPort aServerPort, TqynSTUN_Message& VResponse, const std::string& aUser = std::string(),
                const std::string& aPassword = std::string(), int aMs = 10000) {
    return SignedAsk(aServerPort, kAllocate, [](TqynSTUN_Message& m) { AddRequestedTransport(m); }, VResponse, aUser, aPassword, aMs);
  }

  // The relayed port of a successful Allocate answer (0 otherwise).
  static TIdPort RelayedPort(const TqynSTUN_Message& aResponse) {
    if (aResponse.Header().MessageType_Class() != stmcResponseSuccess) return 0;
    const auto* relayed = aResponse.Attributes().GetAttribute(stmaXOR_Relayed_Address);
    return relayed ? relayed->Port() : 0;
  }

  bool Binding(TIdPort aServerPort, TqynSTUN_Message& VResponse, int aMs = 10000) {
    return Ask(aServerPort, 0x0001, {}, VResponse, aMs);
  }

private:
  std::function<void()> FPump;
  int FNextTid;
};
