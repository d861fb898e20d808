// Helpers of the TURN client tests: an event recorder for the TURN client, a client fixture
// pointed at a scripted loopback server (stun_client_test_util.h), answers built with the codec,
// and a socket object for feeding crafted datagrams straight into the component.
#pragma once

#include <string>
#include <vector>

#include "qynClock.h"
#include "qynP2P_TURN_Client.h"
#include "stun_client/stun_client_test_util.h"

namespace turn_client_test {

using namespace stun_client_test;

inline const std::string kUser = "qyn_user";
inline const std::string kPassword = "kiwi_tea";
inline const std::string kRealm = "Qynwire";

// What the TURN client reported (on top of the STUN recorder's successes, errors, exceptions).
struct TTURNEvents : TEvents {
  std::vector<TqynTURN_ResponseAllocation> Allocations;
  std::vector<uint32_t> Refreshes;
  std::vector<std::vector<std::string>> Permissions;
  std::vector<TqynTURN_ResponseChannelBind> Channels;
  std::vector<TqynTURN_ResponseDataIndication> Data;
  std::vector<std::pair<uint16_t, TqynBytes>> ChannelData;
  std::vector<std::pair<std::string, int>> ICMP; // peer, ICMP type

  void Attach(TqynTURNClient_Base& aClient, bool aErrors = true) {
    TEvents::Attach(aClient, aErrors);
    aClient.OnTURNAllocate = [this](TqynComponent_Base*, TqynSocketConnection*, TqynSTUN_Message*,
                                    TqynTURN_ResponseAllocation* a) {
      std::lock_guard<std::mutex> lock(Lock);
      Allocations.push_back(*a);
    };
    aClient.OnTURNRefresh = [this](TqynComponent_Base*, TqynSocketConnection*, TqynSTUN_Message*,
                                   TqynTURN_ResponseRefresh* r) {
      std::lock_guard<std::mutex> lock(Lock);
      Refreshes.push_back(r->FLifetime);
    };
    aClient.OnTURNCreatePermission = [this](TqynComponent_Base*, TqynSocketConnection*, TqynSTUN_Message*,
                                            TqynTURN_ResponseCreatePermission* p) {
      std::lock_guard<std::mutex> lock(Lock);
      Permissions.push_back(p->IPAddresses());
    };
    aClient.OnTURNChannelBind = [this](TqynComponent_Base*, TqynSocketConnection*, TqynSTUN_Message*,
                                       TqynTURN_ResponseChannelBind* c) {
      std::lock_guard<std::mutex> lock(Lock);
      Channels.push_back(*c);
    };
    aClient.OnTURNDataIndication = [this](TqynComponent_Base*, TqynSocketConnection*, TqynSTUN_Message*,
                                          TqynTURN_ResponseDataIndication* d) {
      std::lock_guard<std::mutex> lock(Lock);
      Data.push_back(*d);
    };
    aClient.OnTURNICMPIndication = [this](TqynComponent_Base*, TqynSocketConnection*, TqynSTUN_Message*,
                                          TqynTURN_ResponseICMPIndication* i) {
      std::lock_guard<std::mutex> lock(Lock);
      ICMP.emplace_back(i->FPeerIP, i->FICMP ? i->FICMP->ICMPType() : -1);
    };
    aClient.OnTURNChannelData = [this](TqynComponent_Base*, TqynSocketConnection*, TqynTURNChannelData* c) {
      std::lock_guard<std::mutex> lock(Lock);
      ChannelData.emplace_back(c->ChannelID(), c->Data());
    };
  }
  template <typename T> size_t Size(const std::vector<T>& aList) {
    std::lock_guard<std::mutex> lock(Lock);
    return aList.size();
  }
  template <typename T> T At(const std::vector<T>& aList, size_t i) {
    std::lock_guard<std::mutex> lock(Lock);
    return aList.at(i);
  }
  std::vector<std::string> AllExceptions() {
    std::lock_guard<std::mutex> lock(Lock);
    return Exceptions;
  }
};

// Shifts the clock for the life of the object (and removes every shift at its end).
struct TClockShift {
  ~TClockShift() { QynClockReset(); }
  void By(int64_t aSeconds) { QynClockShift(aSeconds * 1000); }
};

// Attribute readers of a received request.
inline const TqynSTUN_Attribute* Attr(const TRequest& r, TqynStunMessageAttribute aType) {
  return r.Message->Attributes().GetAttribute(aType);
}
inline std::vector<const TqynSTUN_Attribute*> AllAttrs(const TRequest& r, TqynStunMessageAttribute aType) {
  std::vector<const TqynSTUN_Attribute*> out;
  for (const auto& a : r.Message->Attributes())
    if (a->AttributeType() == aType) out.push_back(a.get());
  return out;
}

inline void AddLifetime(TqynSTUN_Message& m, uint32_t aLifetime) {
  m.Attributes().Add<TqynSTUN_Attribute_LIFETIME>()->SetLifetime(aLifetime);
}
inline void AddXorRelayed(TqynSTUN_Message& m, const std::string& aIP, uint16_t aPort, uint16_t aFamily = 1) {
  auto* a = m.Attributes().Add<TqynSTUN_Attribute_XOR_RELAYED_ADDRESS>();
  a->SetAddress(aIP);
  a->SetPort(aPort);
  a->SetFamily(aFamily);
  a->SetTransactionId(m.Header().TransactionId());
}
inline void AddXorPeer(TqynSTUN_Message& m, const std::string& aIP, uint16_t aPort, uint16_t aFamily = 1) {
  auto* a = m.Attributes().Add<TqynSTUN_Attribute_XOR_PEER_ADDRESS>();
  a->SetAddress(aIP);
  a->SetPort(aPort);
  a->SetFamily(aFamily);
  a->SetTransactionId(m.Header().TransactionId());
}

// A success to a request: Allocate gets relayed 203.0.113.5:49152, mapped 198.51.100.2:61000 and
// the lifetime; Refresh its lifetime; others nothing.
inline TqynBytes Success(const TRequest& r, uint32_t aLifetime = 600) {
  return BuildAnswer(*r.Message, stmcResponseSuccess, [&](TqynSTUN_Message& m) {
    const TqynStunMessageMethod method = r.Message->Header().MessageType_Method();
    if (method == stmmAllocate) {
      AddXorRelayed(m, "203.0.113.5", 49152);
      AddXorMapped(m, "198.51.100.2", 61000);
      AddLifetime(m, aLifetime);
    } else if (method == stmmRefresh) {
      AddLifetime(m, aLifetime);
    }
  });
}

inline TqynBytes Error(const TRequest& r, uint16_t aCode, const std::string& aReason) {
  return BuildAnswer(*r.Message, stmcResponseError, [&](TqynSTUN_Message& m) { AddErrorCode(m, aCode, aReason); });
}

inline TqynBytes ChallengeAnswer(const TRequest& r, uint16_t aCode, const std::string& aNonce,
                                 const std::string& aRealm = kRealm) {
  return BuildAnswer(*r.Message, stmcResponseError, [&](TqynSTUN_Message& m) { AddChallenge(m, aCode, aRealm, aNonce); });
}

// An indication from the server (method Data) with the given attributes.
inline TqynBytes Indication(const std::function<void(TqynSTUN_Message&)>& aFill) {
  TqynSTUN_Message request;
  request.Header().SetMessageType_Method(stmmData);
  request.Header().SetTransactionId(NewTransactionId());
  return BuildAnswer(request, stmcIndication, aFill);
}

// A socket object as the UDP client hands one to the component.
struct TFakeSocket : TqynUDPSocket {
  TFakeSocket() {
    SetIP("192.0.2.10");
    SetPort(3478);
    SetLocalIP("192.0.2.20");
    SetLocalPort(50000);
  }
  void WriteData(const TqynBytes&) override {}
  void WriteData(const std::string&) override {}
};

// A client on the read thread of its transport (neNoSync) pointed at a scripted server; no
// retransmissions unless a test asks for them, so every datagram the server sees is one request.
struct TURNClientTest : ::testing::Test {
  TTURNEvents Events;
  TClockShift Clock;
  TqynTURNClient Client;
  TFakeSocket Socket;

  void SetUp() override { Events.Attach(Client); }
  void Point(uint16_t aPort) {
    PointAt(Client, aPort);
    Client.RetransmissionOptions().Enabled = false;
  }
  void LongTerm() {
    Client.TURNOptions().Authentication.Credentials = stauLongTermCredential;
    Client.TURNOptions().Authentication.Username = kUser;
    Client.TURNOptions().Authentication.Password = kPassword;
  }
  // Hands a datagram to the component as its transport would (exceptions reach OnSTUNException).
  void Deliver(const TqynBytes& aBytes) { Client.DoUDPClientRead(nullptr, &Socket, aBytes); }
  // Waits until the server has seen aCount datagrams and returns the last.
  TRequest Nth(TFakeUDPServer& aServer, size_t aCount) {
    EXPECT_TRUE(WaitUntil([&] { return aServer.Count() >= aCount; })) << "datagram " << aCount << " did not arrive";
    return aServer.Count() >= aCount ? aServer.Received(aCount - 1) : TRequest{};
  }
  // Requests of a method in the request table (sent and not yet answered).
  int Pending(TqynStunMessageMethod aMethod) {
    int n = 0;
    TqynSTUNRequestsQueue* requests = Client.GetRequests();
    for (int i = 0; i < requests->Count(); ++i) {
      const auto item = requests->GetItemByIndexAs<TqynSTUNRequestItem>(i);
      if (item && item->Method() == aMethod) ++n;
    }
    return n;
  }
};

} // namespace turn_client_test
