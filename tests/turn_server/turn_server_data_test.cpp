// qyn-test-labels: unit
// qyn-test-libs: qyn_turn_server qyn_stun_server
//
// CreatePermission, ChannelBind and the relay data path on fake sockets: what is relayed, from
// which binding, to where, and what is discarded with which reason. Also delivery between two
// allocations of one server, and allocations kept alive while another thread uses them.

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "turn_server/turn_server_fake_fixture.h"
#include "turn_server/turn_server_test_util.h"

namespace {

const std::string kLocal = "198.51.100.7";
const std::string kPeer = "203.0.113.5";

struct DataFixture : TTURNFakeSocketFixture {
  TFakeUDPSocket Client{"192.0.2.1", 5000, kLocal, 3478};

  ~DataFixture() override { QynClockReset(); }

  uint16_t Code(const TqynBytes& aResponse) {
    if (TypeField(aResponse) & 0x0100 && !(TypeField(aResponse) & 0x0010)) return 0;
    TqynSTUN_Message m;
    ReadResponse(aResponse, m);
    return ErrorOf(m).first;
  }
  uint16_t Permit(TFakeUDPSocket& aSocket, const std::vector<std::pair<std::string, uint16_t>>& aPeers) {
    return Code(Exchange(aSocket, Request(kCreatePermission, [&](TqynSTUN_Message& m) {
      for (const auto& [ip, family] : aPeers) AddPeer(m, ip, 5000, family);
    })));
  }
  uint16_t Bind(TFakeUDPSocket& aSocket, uint16_t aNumber, const std::string& aIP, TIdPort aPort) {
    return Code(Exchange(aSocket, Request(kChannelBind, [&](TqynSTUN_Message& m) {
      AddChannel(m, aNumber);
      AddPeer(m, aIP, aPort);
    })));
  }
  TqynBytes SendIndication(const std::string& aIP, TIdPort aPort, const TqynBytes& aData,
                           const std::function<void(TqynSTUN_Message&)>& aExtra = {}) {
    return Request(kSendIndication, [&](TqynSTUN_Message& m) {
      AddPeer(m, aIP, aPort);
      AddDataAttr(m, aData);
      if (aExtra) aExtra(m);
    });
  }
  // A datagram from a peer arriving on aAllocation's relay binding.
  void FromPeer(const TqynTURNAllocationRef& aAllocation, const std::string& aIP, TIdPort aPort, const TqynBytes& aBytes) {
    TFakeUDPSocket peer(aIP, aPort, aAllocation->RelayIP(), aAllocation->RelayPort());
    Server.UDPServerRead(nullptr, &peer, aBytes);
    EXPECT_TRUE(peer.Sent.empty()); // nothing is ever answered to a peer through its socket object
  }
};

// ---- CreatePermission ----

TEST_F(DataFixture, CreatePermissionWithABadSecondAddressInstallsNothing) {
  const auto a = Allocate(Client);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(Permit(Client, {{"10.0.0.1", 1}, {"2001:db8::1", 2}}), 443);
  EXPECT_FALSE(a->IsValidPermission("10.0.0.1"));
  EXPECT_EQ(a->Permissions()->Count(), 0);
  EXPECT_EQ(Permit(Client, {}), 400);
  EXPECT_EQ(Permit(Client, {{"10.0.0.1", 1}, {"10.0.0.1", 1}}), 0);
  EXPECT_TRUE(a->IsValidPermission("10.0.0.1"));
  EXPECT_EQ(a->Permissions()->Count(), 1);
  TFakeUDPSocket stranger("192.0.2.77", 1);
  EXPECT_EQ(Permit(stranger, {{"10.0.0.1", 1}}), 437);
}

TEST_F(DataFixture, PermissionCoversEveryPortAndExpiresAfter300Seconds) {
  const auto a = Allocate(Client);
  EXPECT_EQ(Permit(Client, {{kPeer, 1}}), 0);
  FromPeer(a, kPeer, 6000, Bytes("one"));
  FromPeer(a, kPeer, 6001, Bytes("two"));
  EXPECT_EQ(Take().size(), 2u);
  QynClockShift(301 * 1000);
  FromPeer(a, kPeer, 6000, Bytes("late"));
  EXPECT_TRUE(Take().empty());
  ASSERT_EQ(Discards.size(), 1u);
  EXPECT_EQ(Discards[0].Reason, "Invalid Permission for Address: " + kPeer + ".");
  EXPECT_EQ(Discards[0].Method, stmmData);
  EXPECT_FALSE(Discards[0].HasMessage);
  EXPECT_EQ(Permit(Client, {{kPeer, 1}}), 0); // restored
  FromPeer(a, kPeer, 6000, Bytes("again"));
  EXPECT_EQ(Take().size(), 1u);
}

// ---- ChannelBind ----

TEST_F(DataFixture, ChannelBindChecksTable) {
  const auto a = Allocate(Client);
  struct Case {
    const char* Name;
    uint16_t Number;
    std::string IP;
    TIdPort Port;
    uint16_t Code;
  };
  const std::vector<Case> cases = {
      {"below the range", 0x3FFF, "10.0.0.1", 5000, 400},
      {"above the range", 0x8000, "10.0.0.1", 5000, 400},
      {"lowest", 0x4000, "10.0.0.9", 5000, 0},
      {"highest of RFC 8656", 0x4FFF, "10.0.0.8", 5000, 0},
      {"RFC 5766 range, as coturn's clients use it", 0x7AA7, "10.0.0.6", 5000, 0},
      {"0x4001 to A", 0x4001, "10.0.0.1", 5000, 0},
      {"0x4001 to B", 0x4001, "10.0.0.2", 5000, 400},
      {"0x4001 to A on another port", 0x4001, "10.0.0.1", 5001, 400},
      {"0x4002 to A", 0x4002, "10.0.0.1", 5000, 400},
      {"0x4001 to A again", 0x4001, "10.0.0.1", 5000, 0},
      {"peer of the other family", 0x4003, "2001:db8::1", 5000, 443},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(Bind(Client, c.Number, c.IP, c.Port), c.Code);
  }
  EXPECT_EQ(Code(Exchange(Client, Request(kChannelBind, [](TqynSTUN_Message& m) { AddChannel(m, 0x4005); }))), 400);
  EXPECT_EQ(Code(Exchange(Client, Request(kChannelBind, [](TqynSTUN_Message& m) { AddPeer(m, "10.0.0.3", 1); }))), 400);
  EXPECT_EQ(a->Channels()->Count(), 4);
  // A ChannelBind refreshes both the channel and the peer's permission.
  EXPECT_TRUE(a->IsValidPermission("10.0.0.1"));
  QynClockShift(280 * 1000);
  EXPECT_EQ(Bind(Client, 0x4001, "10.0.0.1", 5000), 0);
  QynClockShift(280 * 1000);
  EXPECT_TRUE(a->IsValidPermission("10.0.0.1")); // 300 s after the refresh, not after the first bind
  EXPECT_FALSE(a->IsValidPermission("10.0.0.9"));
  QynClockShift(50 * 1000);
  EXPECT_TRUE(a->IsValidChannel("10.0.0.1", 5000));
  EXPECT_FALSE(a->IsValidChannel("10.0.0.9", 5000));
  // An expired channel still blocks its number and its peer, and the same pair revives it.
  EXPECT_EQ(Bind(Client, 0x4000, "10.0.0.7", 5000), 400);
  EXPECT_EQ(Bind(Client, 0x4010, "10.0.0.9", 5000), 400);
  EXPECT_EQ(Bind(Client, 0x4000, "10.0.0.9", 5000), 0);
  EXPECT_TRUE(a->IsValidChannel("10.0.0.9", 5000));
}

// ---- Send indications ----

TEST_F(DataFixture, SendIndicationGoesFromTheRelayBindingToThePeer) {
  const auto a = Allocate(Client);
  Permit(Client, {{kPeer, 1}});
  Exchange(Client, SendIndication(kPeer, 7000, Bytes("hello")));
  const auto sent = Take();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].SourceIP, a->RelayIP());
  EXPECT_EQ(sent[0].SourcePort, a->RelayPort());
  EXPECT_EQ(sent[0].IP, kPeer);
  EXPECT_EQ(sent[0].Port, 7000);
  EXPECT_EQ(sent[0].Bytes, Bytes("hello"));
  EXPECT_TRUE(Client.Sent.empty()); // indications are never answered
}

TEST_F(DataFixture, SendIndicationDiscardsTable) {
  struct Case {
    const char* Name;
    TqynBytes Datagram;
    TqynStunMessageMethod Method;
    bool HasMessage;
    std::string Reason; // empty: ends without an event
  };
  TFakeUDPSocket none("192.0.2.50", 1);
  Server.UDPServerRead(nullptr, &none, SendIndication(kPeer, 7000, Bytes("x")));
  ASSERT_EQ(Discards.size(), 1u);
  EXPECT_EQ(Discards[0].Reason, "Allocation not exists");
  EXPECT_EQ(Discards[0].Method, stmmData);
  EXPECT_FALSE(Discards[0].HasMessage);

  Allocate(Client);
  Permit(Client, {{kPeer, 1}});
  const std::vector<Case> cases = {
      {"no XOR-PEER-ADDRESS", Request(kSendIndication, [](TqynSTUN_Message& m) { AddDataAttr(m, Bytes("x")); }), stmmSend, true,
       "Attribute XOR_PEER_ADDRESS not found."},
      {"no DATA", Request(kSendIndication, [](TqynSTUN_Message& m) { AddPeer(m, kPeer, 7000); }), stmmSend, true,
       "Attribute DATA not found."},
      {"Binding indication", Request(0x0011, {}), stmmSend, true, "Attribute XOR_PEER_ADDRESS not found."},
      {"no permission", SendIndication("203.0.113.99", 7000, Bytes("x")), stmmSend, true,
       "Invalid Permission for Address: 203.0.113.99."},
      {"DONT-FRAGMENT", SendIndication(kPeer, 7000, Bytes("x"), [](TqynSTUN_Message& m) {
         m.Attributes().Add<TqynSTUN_Attribute_DONT_FRAGMENT>();
       }),
       stmmSend, false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    Discards.clear();
    Exchange(Client, c.Datagram);
    EXPECT_TRUE(Take().empty());
    EXPECT_TRUE(Client.Sent.empty());
    if (c.Reason.empty()) {
      EXPECT_TRUE(Discards.empty());
    } else {
      ASSERT_EQ(Discards.size(), 1u);
      EXPECT_EQ(Discards[0].Reason, c.Reason);
      EXPECT_EQ(Discards[0].Method, c.Method);
      EXPECT_EQ(Discards[0].HasMessage, c.HasMessage);
    }
  }
  EXPECT_TRUE(Exceptions.empty());
}

// ---- Peer data ----

TEST_F(DataFixture, PeerDataWithAndWithoutChannel) {
  const auto a = Allocate(Client);
  Permit(Client, {{"10.0.0.5", 1}});
  ASSERT_EQ(Bind(Client, 0x4000, "10.0.0.5", 7000), 0);
  struct Case {
    const char* Name;
    TIdPort Port;
    TqynBytes Datagram;
    bool Channel;
  };
  const std::vector<Case> cases = {
      {"bound port: ChannelData", 7000, Bytes("abcde"), true},
      {"other port: Data indication", 7001, Bytes("abcde"), false},
      {"RTP first byte", 7001, TqynBytes{0x80, 0x60, 0x00, 0x01}, false},
      {"looks like ChannelData", 7001, TqynBytes{0x40, 0x00, 0x00, 0x01, 0xAA}, false},
      {"looks like STUN", 7001, BuildMessage(kAllocate), false},
      {"empty datagram", 7000, TqynBytes{}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    FromPeer(a, "10.0.0.5", c.Port, c.Datagram);
    const auto sent = Take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].IP, "192.0.2.1");
    EXPECT_EQ(sent[0].Port, 5000);
    EXPECT_EQ(sent[0].SourceIP, kLocal);
    EXPECT_EQ(sent[0].SourcePort, 3478);
    if (c.Channel) {
      EXPECT_EQ(sent[0].Bytes, ChannelDataBytes(0x4000, c.Datagram));
    } else {
      std::string ip;
      TIdPort port = 0;
      TqynBytes data;
      ASSERT_TRUE(ReadDataIndication(sent[0].Bytes, ip, port, data));
      EXPECT_EQ(ip, "10.0.0.5");
      EXPECT_EQ(port, c.Port);
      EXPECT_EQ(data, c.Datagram);
      TqynSTUN_Message m;
      ReadResponse(sent[0].Bytes, m);
      EXPECT_EQ(AttributeTypes(m), (std::vector<TqynStunMessageAttribute>{stmaXOR_Peer_Address, stmaData}));
    }
  }
  // After the channel expired, peer data comes as Data indications.
  QynClockShift(601 * 1000);
  Permit(Client, {{"10.0.0.5", 1}});
  FromPeer(a, "10.0.0.5", 7000, Bytes("late"));
  const auto sent = Take();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(TypeField(sent[0].Bytes), 0x0017);
}

// ---- ChannelData from the client ----

TEST_F(DataFixture, ChannelDataFromTheClientTable) {
  TFakeUDPSocket none("192.0.2.50", 1);
  Server.UDPServerRead(nullptr, &none, ChannelDataBytes(0x4000, Bytes("x")));
  ASSERT_EQ(Discards.size(), 1u);
  EXPECT_EQ(Discards[0].Reason, "Allocation not exists");

  const auto a = Allocate(Client);
  ASSERT_EQ(Bind(Client, 0x4000, "10.0.0.5", 7000), 0);
  struct Case {
    const char* Name;
    TqynBytes Datagram;
    std::string Discard;  // empty: relayed
    TqynBytes Relayed;
  };
  TqynBytes eightOfTen = {0x40, 0x00, 0x00, 0x0A, 1, 2, 3, 4, 5, 6, 7, 8};
  const std::vector<Case> cases = {
      {"complete", ChannelDataBytes(0x4000, Bytes("hello")), "", Bytes("hello")},
      {"length 0", TqynBytes{0x40, 0x00, 0x00, 0x00}, "", TqynBytes{}},
      {"fill bytes after the data ignored", TqynBytes{0x40, 0x00, 0x00, 0x02, 'h', 'i', 'x', 'y'}, "", Bytes("hi")},
      {"length 10, 8 bytes", eightOfTen, "Message has not been fully received", {}},
      {"3 bytes", TqynBytes{0x40, 0x00, 0x00}, "Message has not been fully received", {}},
      {"unknown number", ChannelDataBytes(0x4001, Bytes("x")), "Channel Data ID: 16385 not exists", {}},
      {"unknown number of the upper range", ChannelDataBytes(0x7FFF, Bytes("x")), "Channel Data ID: 32767 not exists", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    ChannelDiscards.clear();
    Exchange(Client, c.Datagram);
    const auto sent = Take();
    if (c.Discard.empty()) {
      ASSERT_EQ(sent.size(), 1u);
      EXPECT_EQ(sent[0].Bytes, c.Relayed);
      EXPECT_EQ(sent[0].IP, "10.0.0.5");
      EXPECT_EQ(sent[0].Port, 7000);
      EXPECT_EQ(sent[0].SourcePort, a->RelayPort());
      EXPECT_TRUE(ChannelDiscards.empty());
    } else {
      EXPECT_TRUE(sent.empty());
      ASSERT_EQ(ChannelDiscards.size(), 1u);
      EXPECT_EQ(ChannelDiscards[0], c.Discard);
    }
  }
  // Expired: the first use deletes the channel, the next finds none.
  ChannelDiscards.clear();
  QynClockShift(601 * 1000);
  Exchange(Client, ChannelDataBytes(0x4000, Bytes("x")));
  Exchange(Client, ChannelDataBytes(0x4000, Bytes("x")));
  EXPECT_TRUE(Take().empty());
  EXPECT_EQ(ChannelDiscards, (std::vector<std::string>{"Channel Data ID: 16384 expired", "Channel Data ID: 16384 not exists"}));
  EXPECT_TRUE(Exceptions.empty());
}

// ---- Between two allocations of this server ----

struct TwoClients : DataFixture {
  TFakeUDPSocket ClientB{"192.0.2.2", 6000, kLocal, 3478};
  TqynTURNAllocationRef A, B;
  void SetUp() override {
    A = Allocate(Client);
    B = Allocate(ClientB);
    ASSERT_NE(A, nullptr);
    ASSERT_NE(B, nullptr);
    ASSERT_EQ(Permit(Client, {{B->RelayIP(), 1}}), 0);
  }
};

TEST_F(TwoClients, SendIndicationToAnotherRelayNeedsThatRelaysPermission) {
  Exchange(Client, SendIndication(B->RelayIP(), B->RelayPort(), Bytes("to B")));
  EXPECT_TRUE(Take().empty());
  ASSERT_EQ(Discards.size(), 1u);
  EXPECT_EQ(Discards[0].Reason, "Invalid Permission for Address: " + A->RelayIP() + ".");

  ASSERT_EQ(Permit(ClientB, {{A->RelayIP(), 1}}), 0);
  Exchange(Client, SendIndication(B->RelayIP(), B->RelayPort(), Bytes("to B")));
  auto sent = Take();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].IP, "192.0.2.2");
  EXPECT_EQ(sent[0].Port, 6000);
  std::string ip;
  TIdPort port = 0;
  TqynBytes data;
  ASSERT_TRUE(ReadDataIndication(sent[0].Bytes, ip, port, data));
  EXPECT_EQ(ip, A->RelayIP());
  EXPECT_EQ(port, A->RelayPort());
  EXPECT_EQ(data, Bytes("to B"));

  // B's own channel for A's relayed address frames it, and the way back works the same.
  ASSERT_EQ(Bind(ClientB, 0x4321, A->RelayIP(), A->RelayPort()), 0);
  Exchange(Client, SendIndication(B->RelayIP(), B->RelayPort(), Bytes("framed")));
  sent = Take();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].Bytes, ChannelDataBytes(0x4321, Bytes("framed")));
  Exchange(ClientB, ChannelDataBytes(0x4321, Bytes("back")));
  sent = Take();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].IP, "192.0.2.1");
  ASSERT_TRUE(ReadDataIndication(sent[0].Bytes, ip, port, data));
  EXPECT_EQ(ip, B->RelayIP());
  EXPECT_EQ(port, B->RelayPort());
  EXPECT_EQ(data, Bytes("back"));
}

TEST_F(TwoClients, ChannelDataToAnotherRelayUsesThatRelaysChannel) {
  ASSERT_EQ(Bind(Client, 0x4000, B->RelayIP(), B->RelayPort()), 0);
  // B has no permission for A: nothing reaches B.
  Exchange(Client, ChannelDataBytes(0x4000, Bytes("x")));
  EXPECT_TRUE(Take().empty());
  ASSERT_EQ(Discards.size(), 1u);
  // With a permission but no channel: a Data indication, not A's channel number.
  ASSERT_EQ(Permit(ClientB, {{A->RelayIP(), 1}}), 0);
  Exchange(Client, ChannelDataBytes(0x4000, Bytes("x")));
  auto sent = Take();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(TypeField(sent[0].Bytes), 0x0017);
  // With B's channel 0x4FFF for A: ChannelData numbered 0x4FFF.
  ASSERT_EQ(Bind(ClientB, 0x4FFF, A->RelayIP(), A->RelayPort()), 0);
  Exchange(Client, ChannelDataBytes(0x4000, Bytes("x")));
  sent = Take();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].Bytes, ChannelDataBytes(0x4FFF, Bytes("x")));
  EXPECT_EQ(sent[0].IP, "192.0.2.2");
}

TEST_F(DataFixture, DataForAClientLeavesFromTheBindingItsAllocationWasMadeOn) {
  TFakeUDPSocket second("192.0.2.1", 5000, "198.51.100.8", 3479); // the same client on a second binding
  const auto a1 = Allocate(Client);
  const auto a2 = Allocate(second);
  ASSERT_NE(a1, nullptr);
  ASSERT_NE(a2, nullptr);
  ASSERT_NE(a1, a2);
  Permit(second, {{kPeer, 1}});
  FromPeer(a2, kPeer, 7000, Bytes("x"));
  const auto sent = Take();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].SourceIP, "198.51.100.8");
  EXPECT_EQ(sent[0].SourcePort, 3479);
  EXPECT_EQ(a2->RelayIP(), "198.51.100.8");
}

TEST_F(DataFixture, HostileBytesOnEveryPath) {
  TqynTURNAllocationRef a;
  auto ensureAllocation = [&] {
    a = Server.GetAllocations()->GetAllocation(&Client);
    if (a) return;
    a = Allocate(Client);
    Permit(Client, {{kPeer, 1}});
    Bind(Client, 0x4000, kPeer, 7000);
  };
  ensureAllocation();
  const std::vector<TqynBytes> seeds = {
      SendIndication(kPeer, 7000, Bytes("hello")),
      Request(kCreatePermission, [](TqynSTUN_Message& m) { AddPeer(m, kPeer, 1); }),
      Request(kChannelBind, [](TqynSTUN_Message& m) {
        AddChannel(m, 0x4000);
        AddPeer(m, kPeer, 7000);
      }),
      Request(kRefresh, [](TqynSTUN_Message& m) { AddLifetimeAttr(m, 900); }),
      ChannelDataBytes(0x4000, Bytes("hello world")),
  };
  std::mt19937 rng(99);
  for (int i = 0; i < 4000; ++i) {
    TqynBytes b = seeds[static_cast<size_t>(i) % seeds.size()];
    if (i % 3 == 0) b.resize(rng() % (b.size() + 1));
    const int flips = 1 + static_cast<int>(rng() % 3);
    for (int f = 0; f < flips && !b.empty(); ++f) b[rng() % b.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
    Server.UDPServerRead(nullptr, &Client, b);
    ensureAllocation(); // a mutated Refresh may have asked for lifetime 0
    FromPeer(a, kPeer, static_cast<TIdPort>(7000 + i % 3), b);
  }
  // Whatever went to the client is well formed: ChannelData or a Data indication (mutated
  // requests may well have permitted other peers, which then get data from the relay binding).
  for (const auto& r : Take()) {
    if (r.SourcePort != 3478) continue; // from a relay binding: to a peer with a permission
    ASSERT_EQ(r.IP, "192.0.2.1");
    if ((r.Bytes[0] & 0xF0) == 0x40) {
      TqynTURNChannelData cd;
      EXPECT_TRUE(cd.AllDataReceived(r.Bytes));
    } else {
      std::string ip;
      TIdPort port = 0;
      TqynBytes data;
      EXPECT_TRUE(ReadDataIndication(r.Bytes, ip, port, data));
    }
  }
  // A flood of CreatePermission with new addresses stays bounded.
  int refused = 0;
  for (int i = 0; i < TqynTURNServer_Base::MaxPermissions + 10; ++i) {
    const std::string ip = "10." + std::to_string(i / 65536 % 256) + "." + std::to_string(i / 256 % 256) + "." + std::to_string(i % 256);
    if (Permit(Client, {{ip, 1}}) == 508) ++refused;
  }
  EXPECT_GT(refused, 0);
  ensureAllocation();
  EXPECT_LE(a->Permissions()->Count(), TqynTURNServer_Base::MaxPermissions);
}

// With neNoSync the relay binding's listener reads an allocation while the listening binding's
// listener deletes it: the reader's reference keeps everything valid (run under the sanitizers).
TEST_F(DataFixture, AllocationStaysValidWhileAnotherThreadUsesIt) {
  for (int round = 0; round < 30; ++round) {
    TFakeUDPSocket client("192.0.2.1", static_cast<TIdPort>(9000 + round), kLocal, 3478);
    const auto a = Allocate(client);
    ASSERT_NE(a, nullptr);
    Permit(client, {{kPeer, 1}});
    Bind(client, 0x4000, kPeer, 7000);
    const std::string relayIP = a->RelayIP();
    const TIdPort relayPort = a->RelayPort();
    std::atomic<bool> stop{false};
    std::thread reader([&] {
      TFakeUDPSocket peer(kPeer, 7000, relayIP, relayPort);
      while (!stop.load()) {
        Server.UDPServerRead(nullptr, &peer, Bytes("payload"));
        Server.UDPServerRead(nullptr, &client, ChannelDataBytes(0x4000, Bytes("up")));
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    TFakeUDPSocket refresher("192.0.2.1", static_cast<TIdPort>(9000 + round), kLocal, 3478);
    Server.UDPServerRead(nullptr, &refresher,
                         Request(kRefresh, [](TqynSTUN_Message& m) { AddLifetimeAttr(m, 0); }));
    stop.store(true);
    reader.join();
    EXPECT_EQ(Server.GetAllocations()->GetAllocation(&client), nullptr);
  }
  Take();
  EXPECT_TRUE(Exceptions.empty());
}

} // namespace
