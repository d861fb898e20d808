// qyn-test-labels: net
// qyn-test-libs: qyn_turn_client qyn_stun_client qyn_turn_server qyn_stun_server
//
// The TURN client against our own TURN server component, hosted by each test on 127.0.0.1 (port
// read back after binding port 0, every binding on its own listener thread), with a plain UDP
// peer socket in the test. Each sequence runs with long-term credentials (qyn_user / kiwi_tea,
// realm Qynwire) and with authentication off: allocate, permission, a Send indication to the
// peer and the Data indication back, channel bind, ChannelData both ways, automatic renewal
// (clock shifted), refresh, refresh 0; two clients talking through their relays with indications
// and over channels. Then what must end in a reported error rather than a hang: refused
// credentials, a stale nonce, an allocation the server let expire.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "qynP2P_TURN_Server.h"
#include "turn_client/turn_client_test_peer.h"
#include "turn_client/turn_client_test_relay.h"
#include "turn_client/turn_client_test_util.h"

namespace {

using namespace turn_client_test;

// Our TURN server on a loopback port, with the test user and counters of what it reported.
// Events run on the listener threads (neNoSync), hence the atomics.
struct TOurServer {
  TqynTURNServer Server;
  std::atomic<int> Created{0};
  std::atomic<int> Deleted{0};
  std::atomic<int> Discarded{0};
  std::atomic<int> ErrorResponses{0};
  std::atomic<int> Exceptions{0};
  std::mutex Lock;
  std::vector<std::string> Reasons; // discard reasons and exception texts, in order

  explicit TOurServer(bool aAuthentication) {
    Server.TURNOptions().Authentication.Enabled = aAuthentication;
    Server.OnSTUNRequestAuthorization = [](TqynComponent_Base*, TqynSTUN_Message*, const std::string& aUser,
                                           const std::string&, std::string& Password) {
      if (aUser == kUser) Password = kPassword;
    };
    Server.OnTURNCreateAllocation = [this](TqynComponent_Base*, TqynSocketConnection*, TqynTURNAllocationItem*) { ++Created; };
    Server.OnTURNDeleteAllocation = [this](TqynComponent_Base*, TqynSocketConnection*, TqynTURNAllocationItem*) { ++Deleted; };
    Server.OnTURNMessageDiscarded = [this](TqynComponent_Base*, TqynSocketConnection*, TqynStunMessageMethod, TqynSTUN_Message*,
                                           const std::string& aReason) { Note(Discarded, "discarded: " + aReason); };
    Server.OnTURNChannelDataDiscarded = [this](TqynComponent_Base*, TqynSocketConnection*, TqynTURNChannelData*,
                                               const std::string& aReason) { Note(Discarded, "discarded: " + aReason); };
    Server.OnSTUNRequestError = [this](TqynComponent_Base*, TqynSocketConnection*, TqynSTUN_Message*, TqynSTUN_Message*,
                                       bool&) { ++ErrorResponses; };
    Server.OnSTUNException = [this](TqynComponent_Base*, const Exception& E) { Note(Exceptions, "exception: " + E.Message()); };
    Server.SetNotifyEvents(neNoSync);
    Server.SetHost("127.0.0.1");
    Server.SetPort(0);
    Server.SetActive(true);
  }
  // The server's threads call the handlers above, which use the members declared after it: they
  // stop before any of those is destroyed.
  ~TOurServer() { Server.ShutdownComponent(); }
  TOurServer(const TOurServer&) = delete;
  TOurServer& operator=(const TOurServer&) = delete;

  bool Active() { return Server.Active(); }
  uint16_t Port() { return Server.Bindings().Items(0)->Port(); }
  int Allocations() { return Server.GetAllocations()->Count(); }
  bool HasRelay(uint16_t aPort) { return Server.GetUDPServer()->GetBinding("127.0.0.1", aPort) != nullptr; }
  TqynTURNAllocationRef AllocationAt(uint16_t aRelayPort) {
    return Server.GetAllocations()->GetAllocationByRelayedAddress("127.0.0.1", aRelayPort);
  }
  std::string Report() {
    std::lock_guard<std::mutex> lock(Lock);
    std::string all;
    for (const auto& r : Reasons) all += r + "; ";
    return all;
  }

private:
  void Note(std::atomic<int>& aCounter, const std::string& aText) {
    {
      std::lock_guard<std::mutex> lock(Lock);
      Reasons.push_back(aText);
    }
    ++aCounter;
  }
};

struct TCase {
  const char* Name;
  bool Credentials; // server authentication on, client answering with the test user
};

class OurTURN : public ::testing::TestWithParam<TCase> {
protected:
  TClockShift Clock; // first member: the clock is reset after both ends are gone
  TOurServer Server{GetParam().Credentials};
  TPeer Peer;
  TTURNEvents Events;
  TqynTURNClient Client;

  void SetUp() override {
    ASSERT_TRUE(Server.Active()) << "the TURN server did not start";
    Prepare(Client, Events);
  }
  void Prepare(TqynTURNClient& aClient, TTURNEvents& aEvents) {
    aEvents.Attach(aClient);
    PointAt(aClient, Server.Port());
    if (!GetParam().Credentials) return;
    aClient.TURNOptions().Authentication.Credentials = stauLongTermCredential;
    aClient.TURNOptions().Authentication.Username = kUser;
    aClient.TURNOptions().Authentication.Password = kPassword;
  }
  // What went wrong on either end, for failure messages.
  std::string Problems(TTURNEvents& aEvents) {
    std::string all;
    for (const auto& e : aEvents.AllExceptions()) all += "client exception: " + e + "; ";
    for (size_t i = 0; i < aEvents.ErrorCount(); ++i)
      all += "client error: " + std::to_string(aEvents.Error(i).Error.FCode) + " " + aEvents.Error(i).Error.FReason + "; ";
    return all + Server.Report();
  }
  std::string Problems() { return Problems(Events); }
  // Waits for aCondition; gives up early when the client reported an error or exception.
  bool Wait(TTURNEvents& aEvents, const std::function<bool()>& aCondition) {
    return WaitUntil([&] { return aCondition() || aEvents.ErrorCount() > 0 || aEvents.ExceptionCount() > 0; }, 20s) &&
           aCondition();
  }
  bool Wait(const std::function<bool()>& aCondition) { return Wait(Events, aCondition); }
  TWaitFor Waiter() {
    return [this](const std::function<bool()>& aCondition) { return Wait(aCondition); };
  }
  TProblems Reporter() {
    return [this] { return Problems(); };
  }
  static bool LastRefreshIs(TTURNEvents& aEvents, uint32_t aLifetime) {
    const size_t n = aEvents.Size(aEvents.Refreshes);
    return n > 0 && aEvents.At(aEvents.Refreshes, n - 1) == aLifetime;
  }
  uint16_t AllocateRelay(TqynTURNClient& aClient, TTURNEvents& aEvents) {
    const size_t before = aEvents.Size(aEvents.Allocations);
    aClient.Allocate();
    if (!Wait(aEvents, [&] { return aEvents.Size(aEvents.Allocations) > before; })) return 0;
    return aEvents.At(aEvents.Allocations, before).FRelayedPort;
  }
};

TEST_P(OurTURN, RelaysFromAllocateToRefreshZero) {
  const uint16_t relay = AllocateRelay(Client, Events);
  ASSERT_NE(relay, 0) << Problems();
  const auto allocation = Events.At(Events.Allocations, 0);
  EXPECT_EQ(allocation.FRelayedIP, "127.0.0.1");
  EXPECT_EQ(allocation.FReflexiveIP, "127.0.0.1");
  EXPECT_EQ(allocation.FReflexivePort, ClientUDPPort(Client));
  EXPECT_EQ(allocation.FLifetime, 600u);
  EXPECT_TRUE(Client.AutoRefreshRunning());
  EXPECT_EQ(Server.Allocations(), 1);
  EXPECT_TRUE(Server.HasRelay(relay));
  if (GetParam().Credentials) {
    EXPECT_EQ(Client.Realm(), kRealm);
    EXPECT_EQ(Server.AllocationAt(relay)->Username(), kUser);
  }

  // Before any permission the relay drops the peer's datagram (and the server says so).
  Peer.SendTo(relay, "too early");
  ASSERT_TRUE(WaitUntil([&] { return Server.Discarded.load() == 1; })) << Problems();

  Client.CreatePermission("127.0.0.1");
  ASSERT_TRUE(Wait([&] { return Events.Size(Events.Permissions) == 1; })) << Problems();
  EXPECT_EQ(Events.At(Events.Permissions, 0), std::vector<std::string>{"127.0.0.1"});

  ASSERT_NO_FATAL_FAILURE(RelayBothWays(Client, Events, Peer, relay, Waiter(), Reporter()));

  // 301 s later the server's permission has lapsed; the client's timer renews all three and
  // the server accepts them, so peer data flows on over the same channel.
  ASSERT_NO_FATAL_FAILURE(RenewAllThree(Events, Clock, Waiter(), Reporter()));
  Peer.SendTo(relay, "after renewal");
  ASSERT_TRUE(Wait([&] { return Events.Size(Events.ChannelData) == 2; })) << Problems();
  EXPECT_EQ(Text(Events.At(Events.ChannelData, 1).second), "after renewal");

  // A longer lifetime is granted and restarts the server's expiry with it.
  Client.Refresh(1200);
  ASSERT_TRUE(Wait([&] { return LastRefreshIs(Events, 1200); })) << Problems();
  EXPECT_EQ(Client.Allocation()->Lifetime(), 1200u);
  ASSERT_NE(Server.AllocationAt(relay), nullptr);
  EXPECT_EQ(Server.AllocationAt(relay)->Lifetime(), 1200);

  // Refresh 0 ends it on both sides.
  Client.Refresh(0);
  ASSERT_TRUE(Wait([&] { return LastRefreshIs(Events, 0); })) << Problems();
  EXPECT_FALSE(Client.AutoRefreshRunning());
  EXPECT_EQ(Client.Allocation()->Channels()->Count(), 0);
  EXPECT_EQ(Client.Allocation()->Permissions()->Count(), 0);
  EXPECT_EQ(Client.Allocation()->RelayedPort(), 0);
  EXPECT_EQ(Server.Allocations(), 0);
  EXPECT_EQ(Server.Deleted.load(), 1);
  EXPECT_FALSE(Server.HasRelay(relay));

  // The client's 5-tuple is free again: a new Allocate gets a new allocation.
  ASSERT_NE(AllocateRelay(Client, Events), 0) << Problems();
  EXPECT_EQ(Server.Allocations(), 1);

  EXPECT_EQ(Events.Size(Events.Data), 1u) << "the datagram sent before the permission never arrived";
  EXPECT_EQ(Events.ErrorCount(), 0u) << Problems();
  EXPECT_EQ(Events.ExceptionCount(), 0u) << Problems();
  EXPECT_EQ(Server.Exceptions.load(), 0) << Problems();
  EXPECT_EQ(Server.Discarded.load(), 1) << Problems();
}

// Two clients reach each other through their relays on one server: the data crosses from relay
// to relay inside the server, the receiver's permission decides, and each side receives on its
// own channel number for the other's relayed address.
TEST_P(OurTURN, TwoClientsTalkThroughTheirRelays) {
  TTURNEvents otherEvents;
  TqynTURNClient other;
  Prepare(other, otherEvents);
  const uint16_t relayA = AllocateRelay(Client, Events);
  const uint16_t relayB = AllocateRelay(other, otherEvents);
  ASSERT_NE(relayA, 0) << Problems();
  ASSERT_NE(relayB, 0) << Problems(otherEvents);
  ASSERT_NE(relayA, relayB);

  // B has no permission for A yet: A's indication stops at B's relayed address.
  Client.CreatePermission("127.0.0.1");
  ASSERT_TRUE(Wait([&] { return Events.Size(Events.Permissions) == 1; })) << Problems();
  Client.SendIndication("127.0.0.1", relayB, std::string("before B permits"));
  ASSERT_TRUE(WaitUntil([&] { return Server.Discarded.load() == 1; })) << Problems();

  other.CreatePermission("127.0.0.1");
  ASSERT_TRUE(Wait(otherEvents, [&] { return otherEvents.Size(otherEvents.Permissions) == 1; })) << Problems(otherEvents);

  Client.SendIndication("127.0.0.1", relayB, std::string("A to B"));
  ASSERT_TRUE(Wait(otherEvents, [&] { return otherEvents.Size(otherEvents.Data) == 1; })) << Problems(otherEvents);
  EXPECT_EQ(Text(otherEvents.At(otherEvents.Data, 0).FData), "A to B");
  EXPECT_EQ(otherEvents.At(otherEvents.Data, 0).FPeerIP, "127.0.0.1");
  EXPECT_EQ(otherEvents.At(otherEvents.Data, 0).FPeerPort, relayA) << "B sees A's relayed address";
  other.SendIndication("127.0.0.1", relayA, std::string("B to A"));
  ASSERT_TRUE(Wait([&] { return Events.Size(Events.Data) == 1; })) << Problems();
  EXPECT_EQ(Text(Events.At(Events.Data, 0).FData), "B to A");
  EXPECT_EQ(Events.At(Events.Data, 0).FPeerPort, relayB);

  // B's first channel goes to the plain peer, so B's channel for A is 0x4001 while A's for B is
  // 0x4000.
  other.ChannelBind("127.0.0.1", Peer.Port());
  ASSERT_TRUE(Wait(otherEvents, [&] { return otherEvents.Size(otherEvents.Channels) == 1; })) << Problems(otherEvents);
  Client.ChannelBind("127.0.0.1", relayB);
  other.ChannelBind("127.0.0.1", relayA);
  ASSERT_TRUE(Wait([&] { return Events.Size(Events.Channels) == 1; })) << Problems();
  ASSERT_TRUE(Wait(otherEvents, [&] { return otherEvents.Size(otherEvents.Channels) == 2; })) << Problems(otherEvents);
  EXPECT_EQ(Events.At(Events.Channels, 0).FChannel, 0x4000);
  EXPECT_EQ(otherEvents.At(otherEvents.Channels, 1).FChannel, 0x4001);

  Client.SendChannelData(0x4000, std::string("A over channel"));
  ASSERT_TRUE(Wait(otherEvents, [&] { return otherEvents.Size(otherEvents.ChannelData) == 1; })) << Problems(otherEvents);
  EXPECT_EQ(otherEvents.At(otherEvents.ChannelData, 0).first, 0x4001) << "B's own number for A";
  EXPECT_EQ(Text(otherEvents.At(otherEvents.ChannelData, 0).second), "A over channel");
  other.SendChannelData(0x4001, std::string("B over channel"));
  ASSERT_TRUE(Wait([&] { return Events.Size(Events.ChannelData) == 1; })) << Problems();
  EXPECT_EQ(Events.At(Events.ChannelData, 0).first, 0x4000);
  EXPECT_EQ(Text(Events.At(Events.ChannelData, 0).second), "B over channel");

  Client.Refresh(0);
  other.Refresh(0);
  ASSERT_TRUE(Wait([&] { return LastRefreshIs(Events, 0); })) << Problems();
  ASSERT_TRUE(Wait(otherEvents, [&] { return LastRefreshIs(otherEvents, 0); })) << Problems(otherEvents);
  EXPECT_EQ(Server.Allocations(), 0);
  EXPECT_FALSE(Server.HasRelay(relayA));
  EXPECT_FALSE(Server.HasRelay(relayB));
  EXPECT_EQ(Peer.Count(), 0u) << "nothing of theirs reached the plain peer";
  EXPECT_EQ(Events.Size(Events.Data), 1u);
  EXPECT_EQ(otherEvents.Size(otherEvents.Data), 1u) << "the indication sent before B's permission never arrived";
  EXPECT_EQ(Events.ErrorCount() + Events.ExceptionCount(), 0u) << Problems();
  EXPECT_EQ(otherEvents.ErrorCount() + otherEvents.ExceptionCount(), 0u) << Problems(otherEvents);
  EXPECT_EQ(Server.Exceptions.load(), 0) << Problems();
}

// An allocation the server let expire: the client's requests for it are answered 437 and reported
// (after a fresh nonce when the old one went stale meanwhile; a challenged Refresh would end
// silently, so the CreatePermission goes first); a second Allocate while one is held is answered
// 437 as well.
TEST_P(OurTURN, RequestsForAnExpiredAllocationAreReported) {
  Client.TURNOptions().AutoRefresh.Enabled = false;
  const uint16_t relay = AllocateRelay(Client, Events);
  ASSERT_NE(relay, 0) << Problems();

  Client.Allocate();
  ASSERT_TRUE(WaitUntil([&] { return Events.ErrorCount() == 1; })) << Problems();
  EXPECT_EQ(Events.Error(0).Error.FCode, 437);
  EXPECT_EQ(Server.Allocations(), 1);

  Clock.By(661);
  Server.Server.DoAllocationsTimer(nullptr);
  EXPECT_EQ(Server.Allocations(), 0);
  EXPECT_EQ(Server.Deleted.load(), 1);
  EXPECT_FALSE(Server.HasRelay(relay));

  // With credentials the nonce has gone stale too: the 438 is answered by one new
  // CreatePermission, whose 437 is then reported.
  Client.CreatePermission("127.0.0.1");
  ASSERT_TRUE(WaitUntil([&] { return Events.ErrorCount() == 2; })) << Problems();
  EXPECT_EQ(Events.Error(1).Error.FCode, 437);
  Client.Refresh(600);
  ASSERT_TRUE(WaitUntil([&] { return Events.ErrorCount() == 3; })) << Problems();
  EXPECT_EQ(Events.Error(2).Error.FCode, 437);
  EXPECT_EQ(Events.Size(Events.Refreshes), 0u);
  EXPECT_EQ(Events.Size(Events.Permissions), 0u);
  EXPECT_EQ(Events.ExceptionCount(), 0u) << Problems();
}

INSTANTIATE_TEST_SUITE_P(Authentication, OurTURN,
                         ::testing::Values(TCase{"LongTermCredentials", true}, TCase{"Off", false}),
                         [](const ::testing::TestParamInfo<TCase>& info) { return std::string(info.param.Name); });

// Credentials the server refuses end in one reported error response: the server answers a wrong
// digest with 401 (not with silence), the client answers the challenges a bounded number of
// times and then reports; it never loops and never waits forever.
struct TRefusal {
  const char* Name;
  TqynStunCredentials Credentials;
  const char* Username;
  const char* Password;
  int ServerErrors; // error responses the server sends in all: the first challenge, then one
                    // per answer the client gives (it answers two in a row at most)
};

class OurTURNRefusal : public ::testing::TestWithParam<TRefusal> {};

TEST_P(OurTURNRefusal, IsReportedOnceWithTheServersCode) {
  const TRefusal& c = GetParam();
  TOurServer server(true);
  ASSERT_TRUE(server.Active());
  TTURNEvents events;
  TqynTURNClient client;
  events.Attach(client);
  PointAt(client, server.Port());
  client.TURNOptions().Authentication.Credentials = c.Credentials;
  client.TURNOptions().Authentication.Username = c.Username;
  client.TURNOptions().Authentication.Password = c.Password;

  client.Allocate();
  ASSERT_TRUE(WaitUntil([&] { return events.ErrorCount() > 0 || events.ExceptionCount() > 0; }, 20s))
      << "no report: the client hangs; " << server.Report();
  ASSERT_EQ(events.ErrorCount(), 1u) << server.Report();
  EXPECT_EQ(events.Error(0).Error.FCode, 401);
  EXPECT_EQ(events.ExceptionCount(), 0u);
  EXPECT_EQ(events.Size(events.Allocations), 0u);
  EXPECT_EQ(server.Allocations(), 0);
  EXPECT_EQ(server.ErrorResponses.load(), c.ServerErrors) << server.Report();
  EXPECT_EQ(TableCount(client), 0) << "nothing left pending";
}

INSTANTIATE_TEST_SUITE_P(Credentials, OurTURNRefusal,
                         ::testing::Values(TRefusal{"WrongPassword", stauLongTermCredential, "qyn_user", "not_kiwi", 3},
                                           TRefusal{"UnknownUser", stauLongTermCredential, "somebody", "kiwi_tea", 3},
                                           TRefusal{"NoCredentials", stauNone, "", "", 1}),
                         [](const ::testing::TestParamInfo<TRefusal>& info) { return std::string(info.param.Name); });

// A nonce that went stale between two requests: the server answers 438 once, the client resends
// with the new nonce and the request goes through without any error reported.
TEST(OurTURNNonce, AStaleNonceIsRenewedOnceAndTheRequestGoesThrough) {
  TClockShift clock;
  TOurServer server(true);
  ASSERT_TRUE(server.Active());
  TTURNEvents events;
  TqynTURNClient client;
  events.Attach(client);
  PointAt(client, server.Port());
  client.TURNOptions().AutoRefresh.Enabled = false;
  client.TURNOptions().Authentication.Credentials = stauLongTermCredential;
  client.TURNOptions().Authentication.Username = kUser;
  client.TURNOptions().Authentication.Password = kPassword;

  client.Allocate();
  ASSERT_TRUE(WaitUntil([&] { return events.Size(events.Allocations) == 1 || events.ErrorCount() > 0; }, 20s));
  ASSERT_EQ(events.Size(events.Allocations), 1u) << server.Report();
  client.Refresh(1200); // the allocation outlives the nonce
  ASSERT_TRUE(WaitUntil([&] { return events.Size(events.Refreshes) == 1 || events.ErrorCount() > 0; }, 20s));
  ASSERT_EQ(events.Size(events.Refreshes), 1u) << server.Report();
  const int errors = server.ErrorResponses.load(); // the first challenge

  clock.By(601);
  client.CreatePermission("127.0.0.1");
  ASSERT_TRUE(WaitUntil([&] { return events.Size(events.Permissions) == 1 || events.ErrorCount() > 0; }, 20s));
  EXPECT_EQ(events.Size(events.Permissions), 1u);
  EXPECT_EQ(events.ErrorCount(), 0u);
  EXPECT_EQ(server.ErrorResponses.load(), errors + 1) << "exactly one 438";
  EXPECT_EQ(events.ExceptionCount(), 0u);
}

} // namespace
