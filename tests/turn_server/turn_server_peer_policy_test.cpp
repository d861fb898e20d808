// qyn-test-labels: unit
// qyn-test-libs: qyn_turn_server qyn_stun_server
//
// The peer address policy: how addresses are canonicalised (the IPv6 forms that carry an IPv4
// address), the default set with every form that has been used to reach a relay's own networks,
// the most specific rule deciding, malformed ranges; then the component on fake sockets:
// CreatePermission and ChannelBind answer 403 for refused peers (nothing is sent to any peer),
// Send indications, ChannelData and peer datagrams of refused peers are discarded with a reason,
// and the policy is off unless asked for.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "qynP2P_TURN_PeerPolicy.h"
#include "turn_server/turn_server_fake_fixture.h"
#include "turn_server/turn_server_test_util.h"

namespace {

// A Teredo address (server 65.54.227.120) whose client address is aClient: the last 32 bits are
// the client address inverted.
std::string Teredo(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "2001:0:4136:e378:8000:63bf:%x:%x", static_cast<unsigned>(((~a & 0xFF) << 8) | (~b & 0xFF)),
                static_cast<unsigned>(((~c & 0xFF) << 8) | (~d & 0xFF)));
  return buf;
}

struct TPeerCase {
  std::string IP;
  bool Allowed;
  const char* Form;
};

// Every form, allowed and refused, under the default set (no loopback allowance).
const std::vector<TPeerCase>& DefaultCases() {
  static const std::vector<TPeerCase> GCases = {
      // IPv4, globally reachable
      {"8.8.8.8", true, "global"},
      {"1.1.1.1", true, "global"},
      {"100.63.255.255", true, "just below shared space"},
      {"100.128.0.0", true, "just above shared space"},
      {"172.15.255.255", true, "just below 172.16/12"},
      {"172.32.0.0", true, "just above 172.16/12"},
      {"192.167.255.255", true, "just below 192.168/16"},
      {"198.17.255.255", true, "just below benchmarking"},
      {"198.20.0.0", true, "just above benchmarking"},
      {"223.255.255.255", true, "just below multicast"},
      {"192.0.0.9", true, "port control anycast inside 192.0.0.0/24"},
      {"192.0.0.10", true, "TURN anycast inside 192.0.0.0/24"},
      // IPv4, refused
      {"0.0.0.0", false, "this host"},
      {"0.1.2.3", false, "this network"},
      {"10.0.0.1", false, "private"},
      {"10.255.255.255", false, "private, last"},
      {"100.64.0.1", false, "shared"},
      {"127.0.0.1", false, "loopback"},
      {"127.0.0.2", false, "loopback other than .1"},
      {"127.255.255.254", false, "loopback, high"},
      {"169.254.169.254", false, "link local (cloud metadata)"},
      {"172.16.0.1", false, "private"},
      {"172.31.255.255", false, "private, last"},
      {"192.0.0.1", false, "IETF protocol assignments"},
      {"192.0.0.170", false, "NAT64 discovery"},
      {"192.0.2.1", false, "TEST-NET-1"},
      {"192.88.99.1", false, "deprecated 6to4 relay anycast"},
      {"192.168.1.1", false, "private"},
      {"198.18.0.1", false, "benchmarking"},
      {"198.19.255.255", false, "benchmarking, last"},
      {"198.51.100.1", false, "TEST-NET-2"},
      {"203.0.113.1", false, "TEST-NET-3"},
      {"224.0.0.1", false, "multicast"},
      {"239.255.255.250", false, "multicast (SSDP)"},
      {"240.0.0.1", false, "reserved"},
      {"255.255.255.254", false, "reserved"},
      {"255.255.255.255", false, "limited broadcast"},
      // IPv6, globally reachable
      {"2001:4860:4860::8888", true, "global"},
      {"2606:4700::1111", true, "global"},
      {"::ffff:8.8.8.8", true, "IPv4-mapped global"},
      {"64:ff9b::808:808", true, "NAT64 of a global address"},
      {"2002:808:808::1", true, "6to4 of a global address"},
      {Teredo(8, 8, 8, 8), true, "Teredo of a global client"},
      {"2001:1::2", true, "TURN anycast inside 2001::/23"},
      {"2001:3::1", true, "AMT inside 2001::/23"},
      {"2001:20::1", true, "ORCHIDv2 inside 2001::/23"},
      // IPv6, refused
      {"::", false, "unspecified"},
      {"::1", false, "loopback"},
      {"0:0:0:0:0:0:0:1", false, "loopback, long form"},
      {"::ffff:127.0.0.1", false, "IPv4-mapped loopback"},
      {"::ffff:7f00:2", false, "IPv4-mapped 127.0.0.2 in hex"},
      {"0:0:0:0:0:ffff:a00:1", false, "IPv4-mapped private, long form"},
      {"::ffff:192.168.0.1", false, "IPv4-mapped private"},
      {"::ffff:169.254.169.254", false, "IPv4-mapped link local"},
      {"::ffff:0.0.0.0", false, "IPv4-mapped this host"},
      {"::ffff:255.255.255.255", false, "IPv4-mapped broadcast"},
      {"::127.0.0.1", false, "IPv4-compatible loopback"},
      {"::10.0.0.1", false, "IPv4-compatible private"},
      {"::8.8.8.8", false, "IPv4-compatible (deprecated) global"},
      {"::ffff:0:a00:1", false, "IPv4-translated (reserved space)"},
      {"2002:7f00:1::1", false, "6to4 of 127.0.0.1"},
      {"2002:a00:1::", false, "6to4 of 10.0.0.1"},
      {"2002:c0a8:101::1", false, "6to4 of 192.168.1.1"},
      {"2002:a9fe:a9fe::1", false, "6to4 of link local"},
      {"64:ff9b::10.0.0.1", false, "NAT64 of private"},
      {"64:ff9b::7f00:1", false, "NAT64 of loopback"},
      {"64:ff9b::c0a8:101", false, "NAT64 of 192.168.1.1"},
      {"64:ff9b:1::808:808", false, "local-use translation prefix"},
      {Teredo(127, 0, 0, 1), false, "Teredo with client 127.0.0.1"},
      {Teredo(10, 0, 0, 1), false, "Teredo with client 10.0.0.1"},
      {"2001:0:4136:e378:8000:63bf:3f57:fefe", false, "Teredo with client 192.168.1.1"},
      {Teredo(0, 0, 0, 0), false, "Teredo with client 0.0.0.0"},
      {"100::1", false, "discard only"},
      {"2001:2::1", false, "benchmarking"},
      {"2001:10::1", false, "deprecated ORCHID"},
      {"2001:100::1", false, "IETF protocol assignments"},
      {"2001:db8::1", false, "documentation"},
      {"3fff::1", false, "documentation (3fff::/20)"},
      {"5f00::1", false, "segment routing"},
      {"fc00::1", false, "unique local"},
      {"fd12:3456::1", false, "unique local"},
      {"fe80::1", false, "link local"},
      {"fec0::1", false, "site local"},
      {"ff02::1", false, "multicast, link scope"},
      {"ff0e::1", false, "multicast, global scope"},
      {"4000::1", false, "outside global unicast"},
  };
  return GCases;
}

TqynTURNServer_PeerPolicy Policy(std::vector<std::string> aAllow = {}, std::vector<std::string> aDeny = {}, bool aLoopback = false,
                                 bool aDefaultDeny = true) {
  TqynTURNServer_PeerPolicy p;
  p.Enabled = true;
  p.DefaultDeny = aDefaultDeny;
  p.AllowLoopback = aLoopback;
  p.AllowPeers = std::move(aAllow);
  p.DenyPeers = std::move(aDeny);
  return p;
}

// ---- Canonical forms ----

TEST(PeerAddress, EmbeddedIPv4OfEveryForm) {
  struct Case {
    const char* IP;
    const char* IPv4; // empty: none
  };
  const Case cases[] = {
      {"::ffff:127.0.0.1", "127.0.0.1"},
      {"::ffff:7f00:1", "127.0.0.1"},
      {"0:0:0:0:0:ffff:a00:1", "10.0.0.1"},
      {"::10.0.0.1", "10.0.0.1"},
      {"::2", "0.0.0.2"},
      {"::", ""},
      {"::1", ""},
      {"2002:c0a8:101::1", "192.168.1.1"},
      {"2002:7f00:1:ffff::", "127.0.0.1"},
      {"64:ff9b::10.0.0.1", "10.0.0.1"},
      {"64:ff9b::a00:1", "10.0.0.1"},
      {"2001:0:4136:e378:8000:63bf:f5ff:fffe", "10.0.0.1"},
      {"2001:0:4136:e378:8000:63bf:3f57:fefe", "192.168.1.1"},
      {"64:ff9b:1::a00:1", ""},
      {"2001:4860::1", ""},
      {"fe80::a00:1", ""},
      {"10.0.0.1", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.IP);
    TqynPeerAddress a, v4;
    ASSERT_TRUE(ParsePeerAddress(c.IP, a));
    const bool has = EmbeddedIPv4(a, v4);
    EXPECT_EQ(has, *c.IPv4 != 0);
    if (has) {
      EXPECT_EQ(PeerAddressText(v4), c.IPv4);
    }
  }
  TqynPeerAddress a;
  EXPECT_TRUE(ParsePeerAddress("fe80::1%eth0", a));
  EXPECT_EQ(PeerAddressText(a), "fe80:0:0:0:0:0:0:1");
  for (const char* bad : {"", "1.2.3", "010.0.0.1", "1.2.3.4.5", "::g", "::1::", "example.com", " 1.2.3.4"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(ParsePeerAddress(bad, a));
  }
  EXPECT_TRUE(IsLoopbackPeerAddress("127.0.0.1"));
  EXPECT_TRUE(IsLoopbackPeerAddress("127.1.2.3"));
  EXPECT_TRUE(IsLoopbackPeerAddress("::1"));
  EXPECT_TRUE(IsLoopbackPeerAddress("::ffff:127.0.0.1"));
  EXPECT_FALSE(IsLoopbackPeerAddress("0.0.0.0"));
  EXPECT_FALSE(IsLoopbackPeerAddress("::"));
  EXPECT_FALSE(IsLoopbackPeerAddress("10.0.0.1"));
}

// ---- The filter ----

TEST(PeerFilter, DefaultSetRefusesEveryAddressThatIsNotGloballyReachable) {
  const TqynTURNPeerFilter filter(Policy());
  for (const TPeerCase& c : DefaultCases()) {
    SCOPED_TRACE(c.IP + " (" + c.Form + ")");
    EXPECT_EQ(filter.IsAllowed(c.IP), c.Allowed);
  }
  EXPECT_FALSE(filter.IsAllowed("fe80::1%eth0"));
  EXPECT_FALSE(filter.IsAllowed(""));
  EXPECT_FALSE(filter.IsAllowed("not an address"));
  // Every row of the default set is a well-formed range.
  for (const TqynPeerRule& r : DefaultPeerRules()) EXPECT_NO_THROW(ParsePeerRange(r.Range)) << r.Range;
}

TEST(PeerFilter, TheMostSpecificRuleDecides) {
  struct Case {
    const char* Name;
    TqynTURNServer_PeerPolicy Policy;
    std::vector<std::pair<std::string, bool>> Addresses;
  };
  const std::vector<Case> cases = {
      {"a LAN opened with an allow rule",
       Policy({"192.168.1.0/24"}),
       {{"192.168.1.5", true},
        {"192.168.2.1", false},
        {"::ffff:192.168.1.5", true},
        {"2002:c0a8:105::", true},
        {"64:ff9b::c0a8:105", true},
        {Teredo(192, 168, 1, 5), true}}},
      {"an allow rule replaces the default rule of the same range", Policy({"10.0.0.0/8"}), {{"10.1.2.3", true}, {"172.16.0.1", false}}},
      {"a deny inside an allow inside a deny",
       Policy({"10.0.0.0/8", "10.1.2.3/32"}, {"10.1.0.0/16"}),
       {{"10.2.0.1", true}, {"10.1.0.1", false}, {"10.1.2.3", true}, {"10.1.2.4", false}}},
      {"the same range in both lists: the deny wins", Policy({"10.0.0.0/8"}, {"10.0.0.0/8"}), {{"10.0.0.1", false}}},
      {"a denied global range and its IPv6 forms",
       Policy({}, {"8.8.8.0/24"}),
       {{"8.8.8.8", false}, {"8.8.4.4", true}, {"::ffff:8.8.8.8", false}, {"64:ff9b::808:808", false}, {"2002:808:808::", false},
        {Teredo(8, 8, 8, 8), false}}},
      {"a rule on the IPv6 form does not open its IPv4 address",
       Policy({"::ffff:10.0.0.0/104", "::/96"}),
       {{"::ffff:10.0.0.1", false}, {"::10.0.0.1", false}, {"::8.8.8.8", true}, {"::127.0.0.1", false}}},
      {"IPv6 denies", Policy({}, {"2002::/16", "2001:4860::/32"}), {{"2002:808:808::", false}, {"2001:4860::1", false}, {"2001:4861::1", true}}},
      {"loopback allowed",
       Policy({}, {"127.0.0.5/32"}, true),
       {{"127.0.0.1", true},
        {"127.0.0.2", true},
        {"::1", true},
        {"::ffff:127.0.0.1", true},
        {"127.0.0.5", false},
        {"0.0.0.0", false},
        {"::", false},
        {"10.0.0.1", false},
        {"2002:7f00:1::", true}}},
      {"without the default set only the rules refuse",
       Policy({}, {"10.0.0.0/8"}, false, false),
       {{"127.0.0.1", true}, {"10.0.0.1", false}, {"::ffff:10.0.0.1", false}, {"fe80::1", true}}},
      {"a /0 allow does not open the more specific defaults", Policy({"0.0.0.0/0", "::/0"}), {{"8.8.8.8", true}, {"10.0.0.1", false}, {"4000::1", true}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    const TqynTURNPeerFilter filter(c.Policy);
    for (const auto& [ip, allowed] : c.Addresses) EXPECT_EQ(filter.IsAllowed(ip), allowed) << ip;
  }
  const TqynTURNPeerFilter none = TqynTURNPeerFilter::RefuseAll();
  EXPECT_FALSE(none.IsAllowed("8.8.8.8"));
}

TEST(PeerRange, ParsesRangesAndRefusesMalformedOnes) {
  const std::vector<std::pair<std::string, std::string>> good = {
      {"10.0.0.0/8", "10.0.0.0/8"},
      {"192.168.1.1", "192.168.1.1/32"},
      {"0.0.0.0/0", "0.0.0.0/0"},
      {"::/0", "0:0:0:0:0:0:0:0/0"},
      {"2001:DB8::/32", "2001:db8:0:0:0:0:0:0/32"},
      {"::1", "0:0:0:0:0:0:0:1/128"},
      {"::ffff:10.0.0.0/104", "0:0:0:0:0:ffff:a00:0/104"},
      {"10.0.0.0/08", "10.0.0.0/8"},
  };
  for (const auto& [text, canonical] : good) EXPECT_EQ(PeerRangeText(ParsePeerRange(text)), canonical) << text;

  const char* bad[] = {"",           "/8",          "10.0.0.0/",    "10.0.0.0/33",  "::/129",        "10.0.0.0/-1",
                       "10.0.0.0/+8", "10.0.0.0/8/8", "10.0.0.0/ 8", " 10.0.0.0/8", "10.0.0/8",      "example.com/8",
                       "fe80::1%eth0", "10.0.0.0/0x8", "10.0.0.0/0008", "10.0.0.0/8 ", "1.2.3.4/32x"};
  for (const char* text : bad) {
    try {
      ParsePeerRange(text);
      ADD_FAILURE() << "'" << text << "' accepted";
    } catch (const EqynTURNPeerRange& E) {
      EXPECT_NE(E.Message().find(std::string("'") + text + "'"), std::string::npos) << E.Message();
    }
  }
  // Bits past the prefix: the message names the range that was probably meant.
  try {
    ParsePeerRange("10.0.0.1/8");
    ADD_FAILURE() << "accepted";
  } catch (const EqynTURNPeerRange& E) {
    EXPECT_NE(E.Message().find("10.0.0.0/8"), std::string::npos) << E.Message();
  }
  EXPECT_THROW(ParsePeerRange("2001:db8::1/32"), EqynTURNPeerRange);
  EXPECT_THROW(TqynTURNPeerFilter(Policy({"10.0.0.0/8", "bogus"})), EqynTURNPeerRange);
  EXPECT_THROW(TqynTURNPeerFilter(Policy({}, {"::/200"})), EqynTURNPeerRange);
}

// ---- The component on fake sockets ----

struct PolicyFixture : TTURNFakeSocketFixture {
  TFakeUDPSocket Client4{"192.0.2.1", 5000, "198.51.100.7", 3478};
  TFakeUDPSocket Client6{"2001:db8::1", 5000, "2001:db8::7", 3478, Id_IPv6};
  void SetPolicy(const TqynTURNServer_PeerPolicy& aPolicy) {
    Server.TURNOptions().PeerPolicy = aPolicy;
    Server.ApplyPeerPolicy();
  }
  TFakeUDPSocket& ClientFor(const std::string& aIP) { return aIP.find(':') != std::string::npos ? Client6 : Client4; }
  // The response code; 0 for a success response, -1 for no response.
  int Code(const TqynBytes& aResponse) {
    if (aResponse.empty()) return -1;
    if (!(TypeField(aResponse) & 0x0010)) return 0;
    TqynSTUN_Message m;
    ReadResponse(aResponse, m);
    return ErrorOf(m).first;
  }
  int Permit(TFakeUDPSocket& aSocket, const std::vector<std::string>& aPeers) {
    return Code(Exchange(aSocket, Request(kCreatePermission, [&](TqynSTUN_Message& m) {
      for (const std::string& ip : aPeers) AddPeer(m, ip, 5000);
    })));
  }
  int Bind(TFakeUDPSocket& aSocket, uint16_t aNumber, const std::string& aIP, TIdPort aPort) {
    return Code(Exchange(aSocket, Request(kChannelBind, [&](TqynSTUN_Message& m) {
      AddChannel(m, aNumber);
      AddPeer(m, aIP, aPort);
    })));
  }
  TqynBytes SendIndication(const std::string& aIP, TIdPort aPort, const TqynBytes& aData) {
    return Request(kSendIndication, [&](TqynSTUN_Message& m) {
      AddPeer(m, aIP, aPort);
      AddDataAttr(m, aData);
    });
  }
  void FromPeer(const TqynTURNAllocationRef& aAllocation, const std::string& aIP, TIdPort aPort, const TqynBytes& aBytes) {
    TFakeUDPSocket peer(aIP, aPort, aAllocation->RelayIP(), aAllocation->RelayPort(),
                        aAllocation->Family() == 2 ? Id_IPv6 : Id_IPv4);
    Server.UDPServerRead(nullptr, &peer, aBytes);
    EXPECT_TRUE(peer.Sent.empty());
  }
};

TEST_F(PolicyFixture, CreatePermissionAndChannelBindAnswer403ForEveryRefusedForm) {
  SetPolicy(Policy());
  const auto a4 = Allocate(Client4);
  const auto a6 = Allocate(Client6);
  ASSERT_NE(a4, nullptr);
  ASSERT_NE(a6, nullptr);
  uint16_t number = 0x4000;
  for (const TPeerCase& c : DefaultCases()) {
    SCOPED_TRACE(c.IP + " (" + c.Form + ")");
    TFakeUDPSocket& client = ClientFor(c.IP);
    const auto& allocation = &client == &Client4 ? a4 : a6;
    const int permissions = allocation->Permissions()->Count();
    EXPECT_EQ(Permit(client, {c.IP}), c.Allowed ? 0 : 403);
    EXPECT_EQ(Bind(client, number++, c.IP, 7000), c.Allowed ? 0 : 403);
    EXPECT_EQ(allocation->Permissions()->Count(), permissions + (c.Allowed ? 1 : 0));
  }
  // A 403 is a signed TURN error response like the others.
  TqynSTUN_Message m;
  ReadResponse(Exchange(Client4, Request(kCreatePermission, [](TqynSTUN_Message& r) { AddPeer(r, "10.0.0.1", 1); })), m);
  EXPECT_EQ(ErrorOf(m), (std::pair<uint16_t, std::string>{403, "Forbidden"}));
  EXPECT_EQ(a4->Channels()->Count() + a6->Channels()->Count(),
            static_cast<int>(std::count_if(DefaultCases().begin(), DefaultCases().end(), [](const TPeerCase& c) { return c.Allowed; })));
  EXPECT_TRUE(Take().empty()); // nothing went to any peer
  EXPECT_TRUE(Discards.empty());
  EXPECT_TRUE(Exceptions.empty());
}

TEST_F(PolicyFixture, CreatePermissionWithOneRefusedAddressInstallsNone) {
  SetPolicy(Policy());
  const auto a4 = Allocate(Client4);
  const auto a6 = Allocate(Client6);
  EXPECT_EQ(Permit(Client4, {"8.8.8.8", "1.1.1.1", "10.0.0.1"}), 403);
  EXPECT_EQ(Permit(Client4, {"127.0.0.1", "8.8.8.8"}), 403);
  EXPECT_EQ(a4->Permissions()->Count(), 0);
  EXPECT_EQ(Permit(Client6, {"2001:4860::1", "::ffff:127.0.0.1"}), 403);
  EXPECT_EQ(a6->Permissions()->Count(), 0);
  // Form errors come first: a peer of the other family is 443 whatever the policy says.
  EXPECT_EQ(Permit(Client4, {"10.0.0.1", "::1"}), 443);
  EXPECT_EQ(Permit(Client4, {"8.8.8.8", "1.1.1.1"}), 0);
  EXPECT_EQ(a4->Permissions()->Count(), 2);
  EXPECT_TRUE(Take().empty());
}

TEST_F(PolicyFixture, OffByDefaultNothingIsRefused) {
  EXPECT_FALSE(Server.TURNOptions().PeerPolicy.Enabled);
  const auto a4 = Allocate(Client4);
  const auto a6 = Allocate(Client6);
  EXPECT_EQ(Permit(Client4, {"10.0.0.1", "127.0.0.1", "0.0.0.0", "255.255.255.255"}), 0);
  EXPECT_EQ(Bind(Client4, 0x4000, "192.168.1.1", 7000), 0);
  EXPECT_EQ(Permit(Client6, {"::1", "::ffff:127.0.0.1", "fe80::1", "2002:a00:1::"}), 0);
  EXPECT_TRUE(Server.IsPeerAllowed("127.0.0.1"));
  // Turning it on and off again.
  SetPolicy(Policy());
  EXPECT_EQ(Permit(Client4, {"10.0.0.1"}), 403);
  Server.TURNOptions().PeerPolicy.Enabled = false;
  Server.ApplyPeerPolicy();
  EXPECT_EQ(Permit(Client4, {"10.0.0.1"}), 0);
}

TEST_F(PolicyFixture, AMalformedRuleRefusesEveryPeerAndIsReported) {
  Server.TURNOptions().PeerPolicy = Policy({"10.0.0.1/8"});
  EXPECT_THROW(Server.ApplyPeerPolicy(), EqynTURNPeerRange);
  EXPECT_FALSE(Server.IsPeerAllowed("8.8.8.8"));
  Allocate(Client4);
  EXPECT_EQ(Permit(Client4, {"8.8.8.8"}), 403);
  // Mended, it applies.
  Server.TURNOptions().PeerPolicy = Policy({"10.0.0.0/8"});
  Server.ApplyPeerPolicy();
  EXPECT_EQ(Permit(Client4, {"8.8.8.8", "10.0.0.1"}), 0);
}

// Send indications and ChannelData towards refused peers, also where a permission and a channel
// were installed before the policy came into force (allocations survive a restart).
TEST_F(PolicyFixture, SendAndChannelDataTowardsARefusedPeerAreDiscarded) {
  const auto a4 = Allocate(Client4);
  const auto a6 = Allocate(Client6);
  ASSERT_EQ(Permit(Client4, {"10.0.0.5", "203.0.113.5"}), 0);
  ASSERT_EQ(Bind(Client4, 0x4000, "10.0.0.5", 7000), 0);
  ASSERT_EQ(Bind(Client4, 0x4001, "203.0.113.5", 7000), 0);
  ASSERT_EQ(Permit(Client6, {"::ffff:10.0.0.5"}), 0);
  ASSERT_EQ(Bind(Client6, 0x4000, "::ffff:10.0.0.5", 7000), 0);
  SetPolicy(Policy({"203.0.113.0/24"}));

  struct Case {
    const char* Name;
    TFakeUDPSocket* Client;
    TqynBytes Datagram;
    std::string Refused; // the peer named in the reason; empty: relayed
    bool Channel;
  };
  const std::vector<Case> cases = {
      {"Send to an opened range", &Client4, SendIndication("203.0.113.5", 7000, Bytes("ok")), "", false},
      {"ChannelData to an opened range", &Client4, ChannelDataBytes(0x4001, Bytes("ok")), "", true},
      {"Send with a permission from before", &Client4, SendIndication("10.0.0.5", 7000, Bytes("x")), "10.0.0.5", false},
      {"ChannelData with a channel from before", &Client4, ChannelDataBytes(0x4000, Bytes("x")), "10.0.0.5", true},
      {"Send without permission", &Client4, SendIndication("127.0.0.1", 7000, Bytes("x")), "127.0.0.1", false},
      {"Send to broadcast", &Client4, SendIndication("255.255.255.255", 7000, Bytes("x")), "255.255.255.255", false},
      {"Send to 0.0.0.0", &Client4, SendIndication("0.0.0.0", 7000, Bytes("x")), "0.0.0.0", false},
      {"Send to multicast", &Client4, SendIndication("224.0.0.251", 5353, Bytes("x")), "224.0.0.251", false},
      {"Send to IPv4-mapped loopback in an IPv4 allocation", &Client4, SendIndication("::ffff:127.0.0.1", 7000, Bytes("x")),
       "0:0:0:0:0:ffff:7f00:1", false},
      {"IPv6 ChannelData with a channel from before", &Client6, ChannelDataBytes(0x4000, Bytes("x")), "0:0:0:0:0:ffff:a00:5", true},
      {"Send to 6to4 of 127.0.0.1", &Client6, SendIndication("2002:7f00:1::", 7000, Bytes("x")), "2002:7f00:1:0:0:0:0:0", false},
      {"Send to NAT64 of private", &Client6, SendIndication("64:ff9b::a00:5", 7000, Bytes("x")), "64:ff9b:0:0:0:0:a00:5", false},
      {"Send to Teredo of loopback", &Client6, SendIndication(Teredo(127, 0, 0, 1), 7000, Bytes("x")),
       "2001:0:4136:e378:8000:63bf:80ff:fffe", false},
      {"Send to ::", &Client6, SendIndication("::", 7000, Bytes("x")), "0:0:0:0:0:0:0:0", false},
      {"Send to link local", &Client6, SendIndication("fe80::1", 7000, Bytes("x")), "fe80:0:0:0:0:0:0:1", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    Discards.clear();
    ChannelDiscards.clear();
    Exchange(*c.Client, c.Datagram);
    const auto sent = Take();
    EXPECT_TRUE(c.Client->Sent.empty());
    if (c.Refused.empty()) {
      ASSERT_EQ(sent.size(), 1u);
      EXPECT_EQ(sent[0].IP, "203.0.113.5");
      EXPECT_EQ(sent[0].Bytes, Bytes("ok"));
      EXPECT_TRUE(Discards.empty());
      EXPECT_TRUE(ChannelDiscards.empty());
      continue;
    }
    EXPECT_TRUE(sent.empty());
    const std::string reason = "Peer Address Refused: " + c.Refused + ".";
    if (c.Channel) {
      EXPECT_EQ(ChannelDiscards, std::vector<std::string>{reason});
      EXPECT_TRUE(Discards.empty());
    } else {
      ASSERT_EQ(Discards.size(), 1u);
      EXPECT_EQ(Discards[0].Reason, reason);
      EXPECT_EQ(Discards[0].Method, stmmSend);
      EXPECT_TRUE(Discards[0].HasMessage);
    }
  }
  EXPECT_TRUE(Exceptions.empty());
  EXPECT_NE(a6, nullptr);
}

TEST_F(PolicyFixture, PeerDatagramsFromARefusedAddressAreDropped) {
  const auto a4 = Allocate(Client4);
  const auto a6 = Allocate(Client6);
  // Permissions and a channel installed before the policy; a datagram's source needs none of
  // them to be refused.
  ASSERT_EQ(Permit(Client4, {"10.0.0.5", "8.8.8.8", "203.0.113.5"}), 0);
  ASSERT_EQ(Bind(Client4, 0x4000, "10.0.0.5", 7000), 0);
  ASSERT_EQ(Permit(Client6, {"::ffff:10.0.0.5", "2001:4860::1"}), 0);
  SetPolicy(Policy({"203.0.113.0/24"}));

  struct Case {
    TqynTURNAllocationRef Allocation;
    std::string Source;
    std::string Refused; // empty: delivered
  };
  const std::vector<Case> cases = {
      {a4, "8.8.8.8", ""},
      {a4, "203.0.113.5", ""},
      {a4, "10.0.0.5", "10.0.0.5"},
      {a4, "127.0.0.1", "127.0.0.1"},
      {a4, "0.0.0.0", "0.0.0.0"},
      {a4, "169.254.169.254", "169.254.169.254"},
      {a4, "224.0.0.1", "224.0.0.1"},
      {a4, "255.255.255.255", "255.255.255.255"},
      {a6, "2001:4860:0:0:0:0:0:1", ""}, // sources come in the socket layer's reported form
      {a6, "0:0:0:0:0:ffff:a00:5", "0:0:0:0:0:ffff:a00:5"},
      {a6, "0:0:0:0:0:0:0:1", "0:0:0:0:0:0:0:1"},
      {a6, "2002:a00:5:0:0:0:0:0", "2002:a00:5:0:0:0:0:0"},
      {a6, "fe80:0:0:0:0:0:0:1", "fe80:0:0:0:0:0:0:1"},
      {a6, "fd00:0:0:0:0:0:0:1", "fd00:0:0:0:0:0:0:1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Source);
    Discards.clear();
    FromPeer(c.Allocation, c.Source, 7000, Bytes("payload"));
    const auto sent = Take();
    if (c.Refused.empty()) {
      ASSERT_EQ(sent.size(), 1u);
      EXPECT_EQ(sent[0].IP, c.Allocation->ReflexiveIP());
      EXPECT_TRUE(Discards.empty());
      continue;
    }
    EXPECT_TRUE(sent.empty());
    ASSERT_EQ(Discards.size(), 1u);
    EXPECT_EQ(Discards[0].Reason, "Peer Address Refused: " + c.Refused + ".");
    EXPECT_EQ(Discards[0].Method, stmmData);
    EXPECT_FALSE(Discards[0].HasMessage);
  }
  EXPECT_TRUE(Exceptions.empty());
}

TEST_F(PolicyFixture, LoopbackPeersWhenAllowed) {
  SetPolicy(Policy({}, {}, true));
  const auto a4 = Allocate(Client4);
  Allocate(Client6);
  EXPECT_EQ(Permit(Client4, {"127.0.0.1", "127.0.0.2"}), 0);
  EXPECT_EQ(Permit(Client6, {"::1", "::ffff:127.0.0.1"}), 0);
  EXPECT_EQ(Permit(Client4, {"0.0.0.0"}), 403);
  EXPECT_EQ(Permit(Client4, {"10.0.0.1"}), 403);
  EXPECT_EQ(Permit(Client6, {"::"}), 403);
  Exchange(Client4, SendIndication("127.0.0.1", 7000, Bytes("local")));
  const auto sent = Take();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].IP, "127.0.0.1");
  EXPECT_EQ(sent[0].SourcePort, a4->RelayPort());
}

// Hostile peer attributes: forged families and lengths around the policy end in an answer or a
// discard, never in a relayed datagram to a refused address.
TEST_F(PolicyFixture, HostilePeerAttributesNeverReachARefusedAddress) {
  SetPolicy(Policy({"203.0.113.0/24"}));
  Allocate(Client4);
  Allocate(Client6);
  ASSERT_EQ(Permit(Client4, {"203.0.113.5"}), 0);
  const TqynTURNPeerFilter filter(Server.TURNOptions().PeerPolicy);
  const std::vector<TqynBytes> seeds = {
      SendIndication("203.0.113.5", 7000, Bytes("hello")),
      Request(kCreatePermission, [](TqynSTUN_Message& m) { AddPeer(m, "203.0.113.5", 1); }),
      Request(kChannelBind, [](TqynSTUN_Message& m) {
        AddChannel(m, 0x4000);
        AddPeer(m, "203.0.113.5", 7000);
      }),
      ChannelDataBytes(0x4000, Bytes("hello")),
  };
  uint32_t state = 12345;
  auto next = [&] { return state = state * 1103515245u + 12345u; };
  for (int i = 0; i < 3000; ++i) {
    TqynBytes b = seeds[static_cast<size_t>(i) % seeds.size()];
    const int flips = 1 + static_cast<int>(next() % 3);
    for (int f = 0; f < flips; ++f) b[next() % b.size()] ^= static_cast<uint8_t>(1 + next() % 255);
    Server.UDPServerRead(nullptr, i % 2 ? &Client4 : &Client6, b);
  }
  for (const TRelayed& r : Take()) {
    if (r.SourcePort != 3478) {
      EXPECT_TRUE(filter.IsAllowed(r.IP)) << r.IP;
    }
  }
}

} // namespace
