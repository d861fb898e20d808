// qyn-test-labels: unit
// qyn-test-libs: qyn_turn_server qyn_stun_server
//
// Allocate and Refresh on a fake socket: the checks, lifetimes, the expiry scan on a shifted
// clock, the quota, relay ports, the signing of TURN responses and hostile requests.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "turn_server/turn_server_test_util.h"

namespace {

struct TurnFixture : ::testing::Test {
  TTestTURNServer Server;
  TFakeUDPSocket Client{"192.0.2.1", 5000, "198.51.100.7", 3478};
  std::vector<std::string> Exceptions;
  std::vector<std::pair<TqynSocketConnection*, std::string>> Deleted;
  int Created = 0;
  int Tid = 1;

  TurnFixture() {
    Server.TURNOptions().Authentication.Enabled = false;
    Server.OnSTUNException = [this](TqynComponent_Base*, const Exception& E) { Exceptions.push_back(E.Message()); };
    Server.OnSTUNRequestAuthorization = [](TqynComponent_Base*, TqynSTUN_Message*, const std::string& aUsername,
                                           const std::string&, std::string& Password) {
      if (aUsername == kTurnUser) Password = kTurnPassword;
      if (aUsername == "other") Password = "other_pw";
    };
    Server.OnTURNCreateAllocation = [this](TqynComponent_Base*, TqynSocketConnection*, TqynTURNAllocationItem*) { ++Created; };
    Server.OnTURNDeleteAllocation = [this](TqynComponent_Base*, TqynSocketConnection* aSocket, TqynTURNAllocationItem* a) {
      Deleted.emplace_back(aSocket, a->Key());
    };
  }
  ~TurnFixture() override { QynClockReset(); }

  TqynBytes Exchange(TFakeUDPSocket& aSocket, const TqynBytes& aRequest) {
    aSocket.Sent.clear();
    Server.UDPServerRead(nullptr, &aSocket, aRequest);
    EXPECT_LE(aSocket.Sent.size(), 1u);
    return aSocket.Sent.empty() ? TqynBytes() : aSocket.Sent[0];
  }
  TqynBytes Request(uint16_t aType, const std::function<void(TqynSTUN_Message&)>& aFill, const TqynBytes* aTid = nullptr) {
    return BuildMessage(aType, QYN_STUN_MAGIC_COOKIE, aTid ? *aTid : TurnTransactionId(Tid++), aFill);
  }
  TqynBytes AllocateRequest(const std::function<void(TqynSTUN_Message&)>& aExtra = {}, const TqynBytes* aTid = nullptr) {
    return Request(kAllocate, [&](TqynSTUN_Message& m) {
      AddRequestedTransport(m);
      if (aExtra) aExtra(m);
    }, aTid);
  }
  // Response read (and verified with aKey when given).
  TqynSTUN_Message Read(const TqynBytes& aBytes, const TqynBytes* aKey = nullptr) {
    TqynSTUN_Message m;
    if (!aBytes.empty()) ReadResponse(aBytes, m, aKey);
    return m;
  }
  uint16_t ErrorCodeOf(const TqynBytes& aBytes) { return ErrorOf(Read(aBytes)).first; }
  TqynTURNAllocationRef AllocationOf(TFakeUDPSocket& aSocket) { return Server.GetAllocations()->GetAllocation(&aSocket); }
  uint32_t LifetimeOf(const TqynBytes& aBytes) {
    TqynSTUN_Message m = Read(aBytes);
    const auto* l = m.Attributes().GetAttribute<TqynSTUN_Attribute_LIFETIME>(stmaLifetime);
    return l ? l->Lifetime() : 0xFFFFFFFFu;
  }
  bool HasBinding(const std::string& aIP, TIdPort aPort) { return Server.GetUDPServer()->GetBinding(aIP, aPort) != nullptr; }
};

TEST_F(TurnFixture, DefaultSuccessResponseHasTheDocumentedAttributeOrder) {
  const TqynBytes response = Exchange(Client, AllocateRequest());
  ASSERT_EQ(TypeField(response), 0x0103);
  TqynSTUN_Message m = Read(response);
  EXPECT_EQ(m.Fingerprint(), stfsFingerprintValid);
  // Unsigned request (authentication off): FINGERPRINT, and no MESSAGE-INTEGRITY.
  EXPECT_EQ(AttributeTypes(m), (std::vector<TqynStunMessageAttribute>{stmaXOR_Relayed_Address, stmaLifetime, stmaXOR_Mapped_Address,
                                                                      stmaMapped_Address, stmaSoftware, stmaFingerprint}));
  const auto* relayed = m.Attributes().GetAttribute<TqynSTUN_Attribute_XOR_RELAYED_ADDRESS>(stmaXOR_Relayed_Address);
  ASSERT_NE(relayed, nullptr);
  EXPECT_EQ(relayed->Address(), "198.51.100.7");
  EXPECT_GE(relayed->Port(), 49152);
  EXPECT_LT(relayed->Port(), 65535);
  EXPECT_EQ(LifetimeOf(response), 600u);
  const auto a = AllocationOf(Client);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->RelayPort(), relayed->Port());
  EXPECT_EQ(a->Key(), "198.51.100.734781" "92.0.2.150009");
  EXPECT_EQ(Created, 1);
  // The relay binding is a binding of the UDP server, named after its port.
  TIdSocketHandle* b = Server.GetUDPServer()->GetBinding("198.51.100.7", relayed->Port());
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->Name(), "Relay_" + std::to_string(relayed->Port()));
}

TEST_F(TurnFixture, RetransmittedAllocateIsIgnoredAndASecondOneGets437) {
  const TqynBytes tid = TurnTransactionId(900);
  const TqynBytes first = AllocateRequest({}, &tid);
  ASSERT_EQ(TypeField(Exchange(Client, first)), 0x0103);
  EXPECT_TRUE(Exchange(Client, first).empty()); // same transaction: no answer at all
  EXPECT_EQ(ErrorCodeOf(Exchange(Client, AllocateRequest())), 437);
  EXPECT_EQ(Created, 1);
  EXPECT_TRUE(Exceptions.empty());
}

struct AllocateCheck {
  const char* Name;
  std::function<void(TqynSTUN_Message&)> Fill;
  uint16_t Code; // 0: success
};

TEST_F(TurnFixture, AllocateChecksTable) {
  using M = TqynSTUN_Message;
  const std::vector<AllocateCheck> cases = {
      {"no REQUESTED-TRANSPORT", [](M&) {}, 400},
      {"TCP", [](M& m) { AddRequestedTransport(m, 6); }, 442},
      {"UDP", [](M& m) { AddRequestedTransport(m); }, 0},
      {"REQUESTED-ADDRESS-FAMILY IPv4 (the relayed family)",
       [](M& m) {
         AddRequestedTransport(m);
         m.Attributes().Add<TqynSTUN_Attribute_REQUESTED_ADDRESS_FAMILY>()->SetFamily(1);
       },
       0},
      {"REQUESTED-ADDRESS-FAMILY IPv6",
       [](M& m) {
         AddRequestedTransport(m);
         m.Attributes().Add<TqynSTUN_Attribute_REQUESTED_ADDRESS_FAMILY>()->SetFamily(2);
       },
       440},
      {"RESERVATION-TOKEN with EVEN-PORT",
       [](M& m) {
         AddRequestedTransport(m);
         m.Attributes().Add<TqynSTUN_Attribute_RESERVATION_TOKEN>();
         m.Attributes().Add<TqynSTUN_Attribute_EVEN_PORT>();
       },
       400},
      {"RESERVATION-TOKEN with REQUESTED-ADDRESS-FAMILY",
       [](M& m) {
         AddRequestedTransport(m);
         m.Attributes().Add<TqynSTUN_Attribute_RESERVATION_TOKEN>();
         m.Attributes().Add<TqynSTUN_Attribute_REQUESTED_ADDRESS_FAMILY>()->SetFamily(1);
       },
       400},
      {"RESERVATION-TOKEN alone",
       [](M& m) {
         AddRequestedTransport(m);
         m.Attributes().Add<TqynSTUN_Attribute_RESERVATION_TOKEN>();
       },
       0},
      {"EVEN-PORT with ADDITIONAL-ADDRESS-FAMILY",
       [](M& m) {
         AddRequestedTransport(m);
         m.Attributes().Add<TqynSTUN_Attribute_EVEN_PORT>()->SetEven(true);
         m.Attributes().Add<TqynSTUN_Attribute_ADDITIONAL_ADDRESS_FAMILY>()->SetFamily(2);
       },
       400},
      {"EVEN-PORT alone",
       [](M& m) {
         AddRequestedTransport(m);
         m.Attributes().Add<TqynSTUN_Attribute_EVEN_PORT>()->SetEven(true);
       },
       0},
      {"ADDITIONAL-ADDRESS-FAMILY IPv4",
       [](M& m) {
         AddRequestedTransport(m);
         m.Attributes().Add<TqynSTUN_Attribute_ADDITIONAL_ADDRESS_FAMILY>()->SetFamily(1);
       },
       400},
      {"DONT-FRAGMENT",
       [](M& m) {
         AddRequestedTransport(m);
         m.Attributes().Add<TqynSTUN_Attribute_DONT_FRAGMENT>();
       },
       0},
  };
  TIdPort port = 6000;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TFakeUDPSocket socket("192.0.2.1", port++, "198.51.100.7", 3478);
    const size_t before = Server.GetAllocations()->Count();
    const TqynBytes response = Exchange(socket, Request(kAllocate, c.Fill));
    TqynSTUN_Message m = Read(response);
    EXPECT_EQ(m.Fingerprint(), stfsFingerprintValid);
    if (c.Code == 0) {
      EXPECT_EQ(TypeField(response), 0x0103);
      EXPECT_EQ(Server.GetAllocations()->Count(), before + 1);
    } else {
      EXPECT_EQ(TypeField(response), 0x0113);
      EXPECT_EQ(ErrorOf(m).first, c.Code);
      EXPECT_EQ(Server.GetAllocations()->Count(), before); // nothing created by a failed check
    }
  }
  EXPECT_TRUE(Exceptions.empty());
}

TEST_F(TurnFixture, RelayedAddressFamilyComesFromTheRelayedAddress) {
  Server.TURNOptions().Allocation.RelayIP = "2001:db8::1";
  TqynSTUN_Message m = Read(Exchange(Client, AllocateRequest([](TqynSTUN_Message& r) {
    r.Attributes().Add<TqynSTUN_Attribute_REQUESTED_ADDRESS_FAMILY>()->SetFamily(2);
  })));
  const auto* relayed = m.Attributes().GetAttribute<TqynSTUN_Attribute_XOR_RELAYED_ADDRESS>(stmaXOR_Relayed_Address);
  ASSERT_NE(relayed, nullptr) << ErrorOf(m).first;
  EXPECT_EQ(relayed->Family(), 2);
  EXPECT_EQ(relayed->Address(), "2001:db8:0:0:0:0:0:1");
  // The client binding is IPv4; its mapped address stays IPv4.
  const auto* mapped = m.Attributes().GetAttribute<TqynSTUN_Attribute_XOR_MAPPED_ADDRESS>(stmaXOR_Mapped_Address);
  ASSERT_NE(mapped, nullptr);
  EXPECT_EQ(mapped->Family(), 1);
}

TEST_F(TurnFixture, AllocateAndRefreshLifetimesTable) {
  struct Case {
    const char* Name;
    int64_t AllocateAsk; // -1: no LIFETIME
    uint32_t AllocateGets;
    int64_t RefreshAsk;
    uint32_t RefreshGets;
  };
  const std::vector<Case> cases = {
      {"defaults", -1, 600, -1, 600},
      {"allocate 3600", 3600, 600, 1200, 1200},
      {"allocate 300, refresh 300 is raised to the default", 300, 300, 300, 600},
      {"refresh above the maximum", -1, 600, 7200, 3600},
      {"refresh 0xFFFFFFFF", -1, 600, 0xFFFFFFFFll, 3600},
  };
  TIdPort port = 7000;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TFakeUDPSocket socket("192.0.2.1", port++, "198.51.100.7", 3478);
    const TqynBytes allocated = Exchange(socket, AllocateRequest([&](TqynSTUN_Message& m) {
      if (c.AllocateAsk >= 0) AddLifetimeAttr(m, static_cast<uint32_t>(c.AllocateAsk));
    }));
    EXPECT_EQ(LifetimeOf(allocated), c.AllocateGets);
    const auto a = AllocationOf(socket);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(static_cast<uint32_t>(a->Lifetime()), c.AllocateGets);
    const TqynDateTime before = QynNow();
    const TqynBytes refreshed = Exchange(socket, Request(kRefresh, [&](TqynSTUN_Message& m) {
      if (c.RefreshAsk >= 0) AddLifetimeAttr(m, static_cast<uint32_t>(c.RefreshAsk));
    }));
    ASSERT_EQ(TypeField(refreshed), 0x0104);
    EXPECT_EQ(Read(refreshed).Fingerprint(), stfsFingerprintValid);
    // The lifetime reported is the lifetime granted, and the expiry restarts with it.
    EXPECT_EQ(LifetimeOf(refreshed), c.RefreshGets);
    EXPECT_EQ(static_cast<uint32_t>(a->Lifetime()), c.RefreshGets);
    EXPECT_GE(a->Expiry(), QynIncSeconds(before, c.RefreshGets));
    EXPECT_LE(a->Expiry(), QynIncSeconds(QynNow(), c.RefreshGets));
  }
}

TEST_F(TurnFixture, ClientRefreshingEvery240SecondsKeepsAnAllocationAskedFor300) {
  ASSERT_EQ(TypeField(Exchange(Client, AllocateRequest([](TqynSTUN_Message& m) { AddLifetimeAttr(m, 300); }))), 0x0103);
  for (int i = 0; i < 5; ++i) {
    QynClockShift(240 * 1000);
    Server.DoAllocationsTimer(nullptr);
    ASSERT_NE(AllocationOf(Client), nullptr) << "round " << i;
    ASSERT_EQ(TypeField(Exchange(Client, Request(kRefresh, [](TqynSTUN_Message& m) { AddLifetimeAttr(m, 300); }))), 0x0104);
  }
  EXPECT_TRUE(Deleted.empty());
}

TEST_F(TurnFixture, RefreshZeroDeletesWithTheRequestsConnectionAndRemovesTheBinding) {
  Exchange(Client, AllocateRequest());
  const auto a = AllocationOf(Client);
  ASSERT_NE(a, nullptr);
  const TIdPort relayPort = a->RelayPort();
  ASSERT_TRUE(HasBinding("198.51.100.7", relayPort));
  const TqynBytes response = Exchange(Client, Request(kRefresh, [](TqynSTUN_Message& m) { AddLifetimeAttr(m, 0); }));
  ASSERT_EQ(TypeField(response), 0x0104);
  EXPECT_EQ(LifetimeOf(response), 0u);
  ASSERT_EQ(Deleted.size(), 1u);
  EXPECT_EQ(Deleted[0].first, &Client);
  EXPECT_EQ(AllocationOf(Client), nullptr);
  EXPECT_FALSE(HasBinding("198.51.100.7", relayPort));
  // Gone: the next Refresh has no allocation.
  EXPECT_EQ(ErrorCodeOf(Exchange(Client, Request(kRefresh, [](TqynSTUN_Message& m) { AddLifetimeAttr(m, 0); }))), 437);
  // The item given out before stays usable.
  EXPECT_EQ(a->RelayPort(), relayPort);
}

TEST_F(TurnFixture, RefreshChecks) {
  EXPECT_EQ(ErrorCodeOf(Exchange(Client, Request(kRefresh, {}))), 437);
  Exchange(Client, AllocateRequest());
  EXPECT_EQ(ErrorCodeOf(Exchange(Client, Request(kRefresh, [](TqynSTUN_Message& m) {
              m.Attributes().Add<TqynSTUN_Attribute_REQUESTED_ADDRESS_FAMILY>()->SetFamily(2);
            }))),
            443);
  EXPECT_EQ(TypeField(Exchange(Client, Request(kRefresh, [](TqynSTUN_Message& m) {
              m.Attributes().Add<TqynSTUN_Attribute_REQUESTED_ADDRESS_FAMILY>()->SetFamily(1);
            }))),
            0x0104);
}

TEST_F(TurnFixture, ExpiryOnAShiftedClockFreesThePortAndTheBinding) {
  Server.TURNOptions().Allocation.MinPort = 50000;
  Server.TURNOptions().Allocation.MaxPort = 50001; // one port
  ASSERT_EQ(TypeField(Exchange(Client, AllocateRequest([](TqynSTUN_Message& m) { AddLifetimeAttr(m, 300); }))), 0x0103);
  ASSERT_TRUE(HasBinding("198.51.100.7", 50000));
  TFakeUDPSocket second("192.0.2.2", 5000, "198.51.100.7", 3478);
  EXPECT_EQ(ErrorCodeOf(Exchange(second, AllocateRequest())), 437); // the only port is taken

  QynClockShift(299 * 1000);
  Server.DoAllocationsTimer(nullptr);
  EXPECT_NE(AllocationOf(Client), nullptr);
  QynClockShift(2 * 1000);
  Server.DoAllocationsTimer(nullptr);
  EXPECT_EQ(AllocationOf(Client), nullptr);
  ASSERT_EQ(Deleted.size(), 1u);
  EXPECT_EQ(Deleted[0].first, nullptr); // expired: no connection
  EXPECT_FALSE(HasBinding("198.51.100.7", 50000));
  EXPECT_TRUE(Server.GetAllocations()->IsRelayPortAvailable(50000));
  const TqynBytes again = Exchange(second, AllocateRequest());
  ASSERT_EQ(TypeField(again), 0x0103);
  EXPECT_TRUE(HasBinding("198.51.100.7", 50000));
}

TEST_F(TurnFixture, AllocateAskingLifetimeZeroGoesAtTheNextScan) {
  ASSERT_EQ(LifetimeOf(Exchange(Client, AllocateRequest([](TqynSTUN_Message& m) { AddLifetimeAttr(m, 0); }))), 0u);
  QynClockShift(1000);
  Server.DoAllocationsTimer(nullptr);
  EXPECT_EQ(AllocationOf(Client), nullptr);
}

TEST_F(TurnFixture, QuotaIsAMaximum) {
  Server.TURNOptions().Allocation.MaxUserAllocations = 2;
  auto withUser = [](const std::string& aUser) {
    return [aUser](TqynSTUN_Message& m) { m.Attributes().Add<TqynSTUN_Attribute_USERNAME>()->SetUsername(aUser); };
  };
  TFakeUDPSocket s1("192.0.2.1", 1001), s2("192.0.2.1", 1002), s3("192.0.2.1", 1003), s4("192.0.2.1", 1004);
  EXPECT_EQ(TypeField(Exchange(s1, AllocateRequest(withUser("alice")))), 0x0103);
  EXPECT_EQ(TypeField(Exchange(s2, AllocateRequest(withUser("alice")))), 0x0103);
  EXPECT_EQ(ErrorCodeOf(Exchange(s3, AllocateRequest(withUser("alice")))), 486);
  EXPECT_EQ(TypeField(Exchange(s3, AllocateRequest(withUser("bob")))), 0x0103); // per user
  // A freed allocation frees its place in the quota.
  Exchange(s1, Request(kRefresh, [](TqynSTUN_Message& m) { AddLifetimeAttr(m, 0); }));
  EXPECT_EQ(TypeField(Exchange(s4, AllocateRequest(withUser("alice")))), 0x0103);
}

TEST_F(TurnFixture, NoRelayPortOrRejectedGets437) {
  Server.TURNOptions().Allocation.MinPort = 50000;
  Server.TURNOptions().Allocation.MaxPort = 50000;
  EXPECT_EQ(ErrorCodeOf(Exchange(Client, AllocateRequest())), 437);
  Server.TURNOptions().Allocation.MaxPort = 65535;
  std::vector<uint16_t> offered;
  Server.OnTURNBeforeAllocate = [&](TqynComponent_Base*, TqynSocketConnection*, const std::string& aIP, uint16_t aPort, bool& Reject) {
    EXPECT_EQ(aIP, "198.51.100.7");
    offered.push_back(aPort);
    Reject = true;
  };
  EXPECT_EQ(ErrorCodeOf(Exchange(Client, AllocateRequest())), 437);
  EXPECT_EQ(offered.size(), 1u);
  EXPECT_EQ(Server.GetAllocations()->Count(), 0);
  EXPECT_EQ(Created, 0);
}

TEST_F(TurnFixture, RelayPortsAreDrawnFromTheWholeRangeAndNeverTheBound) {
  Server.TURNOptions().Allocation.MinPort = 60000;
  Server.TURNOptions().Allocation.MaxPort = 60004;
  std::set<uint16_t> seen;
  for (int i = 0; i < 400; ++i) seen.insert(Server.FindRelayPort({}));
  EXPECT_EQ(seen, (std::set<uint16_t>{60000, 60001, 60002, 60003}));
  EXPECT_EQ(Server.FindRelayPort({60000, 60001, 60002, 60003}), 0);
}

TEST_F(TurnFixture, DeactivationKeepsAllocations) {
  Exchange(Client, AllocateRequest());
  Server.SetActive(false);
  EXPECT_NE(AllocationOf(Client), nullptr);
}

// ---- Signing ----

struct SignedFixture : TurnFixture {
  SignedFixture() { Server.TURNOptions().Authentication.Enabled = true; }
  std::string Challenge(TFakeUDPSocket& aSocket) {
    TqynSTUN_Message m = Read(Exchange(aSocket, AllocateRequest()));
    EXPECT_EQ(ErrorOf(m).first, 401);
    // A challenge to an unsigned request carries no MESSAGE-INTEGRITY, and FINGERPRINT.
    EXPECT_EQ(m.MessageIntegrity(), stisNone);
    EXPECT_EQ(m.Fingerprint(), stfsFingerprintValid);
    const auto* n = m.Attributes().GetAttribute<TqynSTUN_Attribute_NONCE>(stmaNonce);
    return n ? n->Nonce() : std::string();
  }
  const TqynBytes Key = LongTermKeyOf(kTurnUser, kTurnRealm, kTurnPassword);
};

TEST_F(SignedFixture, ResponsesToSignedRequestsAreSignedWithTheRequestsKeyErrorsIncluded) {
  const std::string nonce = Challenge(Client);
  ASSERT_FALSE(nonce.empty());
  struct Case {
    const char* Name;
    uint16_t Type;
    std::function<void(TqynSTUN_Message&)> Fill;
    uint16_t Response;
  };
  const std::vector<Case> cases = {
      {"Allocate without REQUESTED-TRANSPORT", kAllocate, [](TqynSTUN_Message&) {}, 0x0113},
      {"Refresh without allocation", kRefresh, [](TqynSTUN_Message&) {}, 0x0114},
      {"Allocate", kAllocate, [](TqynSTUN_Message& m) { AddRequestedTransport(m); }, 0x0103},
      {"second Allocate", kAllocate, [](TqynSTUN_Message& m) { AddRequestedTransport(m); }, 0x0113},
      {"CreatePermission", kCreatePermission, [](TqynSTUN_Message& m) { AddPeer(m, "203.0.113.5", 7000); }, 0x0108},
      {"CreatePermission of another family", kCreatePermission, [](TqynSTUN_Message& m) { AddPeer(m, "2001:db8::5", 7000); }, 0x0118},
      {"ChannelBind", kChannelBind,
       [](TqynSTUN_Message& m) {
         AddChannel(m, 0x4000);
         AddPeer(m, "203.0.113.5", 7000);
       },
       0x0109},
      {"Refresh", kRefresh, [](TqynSTUN_Message& m) { AddLifetimeAttr(m, 1200); }, 0x0104},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const TqynBytes response = Exchange(Client, Request(c.Type, [&](TqynSTUN_Message& m) {
      c.Fill(m);
      SignRequest(m, nonce);
    }));
    ASSERT_EQ(TypeField(response), c.Response);
    TqynSTUN_Message m = Read(response, &Key);
    EXPECT_EQ(m.MessageIntegrity(), stisMessageIntegrityValid);
    EXPECT_EQ(m.Fingerprint(), stfsFingerprintValid);
    const auto types = AttributeTypes(m);
    ASSERT_GE(types.size(), 2u);
    EXPECT_EQ(types[types.size() - 2], stmaMesssage_Integrity);
    EXPECT_EQ(types.back(), stmaFingerprint);
  }
  EXPECT_TRUE(Exceptions.empty());
  const auto a = AllocationOf(Client);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->Username(), kTurnUser);
  EXPECT_EQ(a->Realm(), kTurnRealm);
  EXPECT_EQ(a->Password(), kTurnPassword);
}

TEST_F(SignedFixture, AUserWithoutPasswordIsNotAuthenticated) {
  const std::string nonce = Challenge(Client);
  const TqynBytes response = Exchange(Client, AllocateRequest([&](TqynSTUN_Message& m) { SignRequest(m, nonce, "nobody", ""); }));
  TqynSTUN_Message m = Read(response);
  EXPECT_EQ(ErrorOf(m).first, 401);
  EXPECT_NE(m.Attributes().GetAttribute(stmaNonce), nullptr);
  EXPECT_EQ(AllocationOf(Client), nullptr);
}

// A wrong key is refused like a missing one (a client must learn of it): 401 with a new nonce,
// unsigned (the server cannot know the client's key), with FINGERPRINT as every TURN response.
TEST_F(SignedFixture, WrongKeyGets401WithANewNonce) {
  const std::string nonce = Challenge(Client);
  const TqynBytes response =
      Exchange(Client, AllocateRequest([&](TqynSTUN_Message& m) { SignRequest(m, nonce, kTurnUser, "wrong"); }));
  ASSERT_FALSE(response.empty());
  TqynSTUN_Message m = Read(response);
  EXPECT_EQ(ErrorOf(m).first, 401);
  ASSERT_NE(m.Attributes().GetAttribute<TqynSTUN_Attribute_NONCE>(stmaNonce), nullptr);
  EXPECT_NE(m.Attributes().GetAttribute<TqynSTUN_Attribute_NONCE>(stmaNonce)->Nonce(), nonce);
  ASSERT_NE(m.Attributes().GetAttribute<TqynSTUN_Attribute_REALM>(stmaRealm), nullptr);
  EXPECT_EQ(m.Attributes().GetAttribute(stmaMesssage_Integrity), nullptr);
  EXPECT_EQ(AttributeTypes(m).back(), stmaFingerprint);
  EXPECT_EQ(AllocationOf(Client), nullptr);
}

TEST_F(TurnFixture, WithAuthenticationOffResponsesCarryFingerprintOnly) {
  // Also for a request that carries MESSAGE-INTEGRITY: it verified, so the answer is signed with
  // the same key; and an unsigned error stays unsigned.
  TqynSTUN_Message m = Read(Exchange(Client, Request(kAllocate, {})));
  EXPECT_EQ(ErrorOf(m).first, 400);
  EXPECT_EQ(AttributeTypes(m).back(), stmaFingerprint);
  EXPECT_EQ(m.Attributes().GetAttribute(stmaMesssage_Integrity), nullptr);
  const TqynBytes key = LongTermKeyOf(kTurnUser, kTurnRealm, kTurnPassword);
  TqynSTUN_Message s = Read(Exchange(Client, AllocateRequest([](TqynSTUN_Message& r) { SignRequest(r, "ANYNONCE"); })), &key);
  EXPECT_EQ(s.MessageIntegrity(), stisMessageIntegrityValid);
  EXPECT_EQ(s.Fingerprint(), stfsFingerprintValid);
}

// ---- Hostile requests ----

TEST_F(TurnFixture, HostileAllocateAndRefreshBytes) {
  std::vector<TqynBytes> hostile;
  // Lengths that lie, truncated attributes, a REQUESTED-TRANSPORT of the wrong size.
  TqynBytes good = AllocateRequest();
  for (size_t cut = 20; cut < good.size(); ++cut) hostile.emplace_back(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut));
  TqynBytes longLength = good;
  longLength[3] = 0xF0;
  hostile.push_back(longLength);
  TqynBytes shortAttr = good;
  shortAttr[22] = 0x00;
  shortAttr[23] = 0x01; // REQUESTED-TRANSPORT of length 1
  hostile.push_back(shortAttr);
  TqynBytes hugeAttr = good;
  hugeAttr[22] = 0xFF;
  hugeAttr[23] = 0xFF;
  hostile.push_back(hugeAttr);
  for (uint16_t type : {kAllocate, kRefresh, kCreatePermission, kChannelBind, kSendIndication, uint16_t(0x0017), uint16_t(0x00FF)}) {
    hostile.push_back(BuildMessage(type, QYN_STUN_MAGIC_COOKIE, TurnTransactionId(Tid++)));
    hostile.push_back(BuildMessage(type, 0, TurnTransactionId(Tid++)));
  }
  std::mt19937 rng(1234);
  for (int i = 0; i < 3000; ++i) {
    TqynBytes b = good;
    const int flips = 1 + static_cast<int>(rng() % 4);
    for (int f = 0; f < flips; ++f) b[rng() % b.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
    hostile.push_back(b);
  }
  TIdPort port = 20000;
  for (const auto& h : hostile) {
    TFakeUDPSocket s("192.0.2.9", port++);
    Server.UDPServerRead(nullptr, &s, h);
    for (const auto& sent : s.Sent) {
      TqynSTUN_Message m;
      ReadResponse(sent, m);
      EXPECT_NE(m.Fingerprint(), stfsFingerprintInvalid);
    }
  }
  // Every allocation made by a mutated request is a complete one.
  for (int i = 0; i < Server.GetAllocations()->Count(); ++i) {
    auto item = std::static_pointer_cast<TqynTURNAllocationItem>(Server.GetAllocations()->GetItemByIndex(i));
    ASSERT_NE(item, nullptr);
    EXPECT_TRUE(HasBinding(item->RelayIP(), item->RelayPort()));
  }
}

} // namespace
