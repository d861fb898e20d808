// qyn-test-labels: interop
// qyn-test-libs: qyn_turn_client qyn_stun_client
//
// The TURN client against coturn's turnserver, started by each test on a free loopback port with
// loopback peers allowed, and a UDP peer socket in the test: allocate, permission, a Send
// indication to the peer and a Data indication back, channel bind, ChannelData both ways,
// automatic renewal (clock shifted), refresh, refresh 0; and the challenge that a client without
// credentials cannot answer.
#include <gtest/gtest.h>

#include "qyn_test_coturn.h"
#include "turn_client/turn_client_test_peer.h"
#include "turn_client/turn_client_test_relay.h"
#include "turn_client/turn_client_test_util.h"

namespace {

using namespace turn_client_test;
using namespace qyn_test_coturn;

struct CoturnTURN : ::testing::Test {
  TTURNEvents Events;
  TClockShift Clock;
  TqynTURNClient Client;

  void SetUp() override {
    if (!TTurnServer::Installed()) GTEST_SKIP() << "turnserver (package coturn) is not installed";
    Events.Attach(Client);
  }
  void Start(const TTurnServer& aServer, bool aCredentials) {
    ASSERT_TRUE(aServer.Ready()) << "turnserver did not start";
    PointAt(Client, aServer.Port());
    if (!aCredentials) return;
    Client.TURNOptions().Authentication.Credentials = stauLongTermCredential;
    Client.TURNOptions().Authentication.Username = kUser;
    Client.TURNOptions().Authentication.Password = kPassword;
  }
  std::string Problems() {
    std::string all = "refreshes:";
    for (size_t i = 0; i < Events.Size(Events.Refreshes); ++i) all += " " + std::to_string(Events.At(Events.Refreshes, i));
    all += "; ";
    for (const auto& e : Events.AllExceptions()) all += e + "; ";
    for (size_t i = 0; i < Events.ErrorCount(); ++i)
      all += std::to_string(Events.Error(i).Error.FCode) + " " + Events.Error(i).Error.FReason + "; ";
    return all;
  }
  bool Wait(const std::function<bool()>& aCondition) {
    return WaitUntil([&] { return aCondition() || Events.ErrorCount() > 0 || Events.ExceptionCount() > 0; }) &&
           aCondition();
  }
  TWaitFor Waiter() {
    return [this](const std::function<bool()>& aCondition) { return Wait(aCondition); };
  }
  TProblems Reporter() {
    return [this] { return Problems(); };
  }
};

TEST_F(CoturnTURN, AllocatePermissionIndicationsChannelDataRefreshAndEnd) {
  TTurnServer server(false, false, {"--allow-loopback-peers"});
  Start(server, true);
  TPeer peer;

  Client.Allocate();
  ASSERT_TRUE(Wait([&] { return Events.Size(Events.Allocations) == 1; })) << Problems();
  const auto allocation = Events.At(Events.Allocations, 0);
  EXPECT_EQ(allocation.FRelayedIP, "127.0.0.1");
  EXPECT_NE(allocation.FRelayedPort, 0);
  EXPECT_EQ(allocation.FReflexiveIP, "127.0.0.1");
  EXPECT_EQ(allocation.FReflexivePort, ClientUDPPort(Client));
  EXPECT_EQ(allocation.FLifetime, 600u);
  EXPECT_EQ(Client.Realm(), kRealm);
  EXPECT_TRUE(Client.AutoRefreshRunning());
  const uint16_t relay = allocation.FRelayedPort;

  Client.CreatePermission("127.0.0.1");
  ASSERT_TRUE(Wait([&] { return Events.Size(Events.Permissions) == 1; })) << Problems();

  ASSERT_NO_FATAL_FAILURE(RelayBothWays(Client, Events, peer, relay, Waiter(), Reporter()));

  // Automatic renewal of all three, accepted by coturn.
  ASSERT_NO_FATAL_FAILURE(RenewAllThree(Events, Clock, Waiter(), Reporter()));
  Clock.By(-301);

  // A lifetime below the default is raised to the default by the server; a longer one is granted.
  Client.Refresh(1200);
  ASSERT_TRUE(Wait([&] {
    const size_t n = Events.Size(Events.Refreshes);
    return n > 0 && Events.At(Events.Refreshes, n - 1) == 1200u;
  })) << Problems();
  EXPECT_EQ(Client.Allocation()->Lifetime(), 1200u);

  Client.Refresh(0);
  ASSERT_TRUE(Wait([&] {
    const size_t n = Events.Size(Events.Refreshes);
    return n > 0 && Events.At(Events.Refreshes, n - 1) == 0u;
  })) << Problems();
  EXPECT_FALSE(Client.AutoRefreshRunning());
  EXPECT_EQ(Client.Allocation()->Channels()->Count(), 0);
  EXPECT_EQ(Client.Allocation()->Permissions()->Count(), 0);
  EXPECT_EQ(Events.ErrorCount(), 0u) << Problems();
  EXPECT_EQ(Events.ExceptionCount(), 0u) << Problems();
}

// Two clients, each behind its own allocation, reach each other through the two relays: first
// with Send/Data indications, then over channels.
TEST_F(CoturnTURN, TwoClientsTalkThroughTheirRelays) {
  TTurnServer server(false, false, {"--allow-loopback-peers"});
  Start(server, true);
  TTURNEvents otherEvents;
  TqynTURNClient other;
  otherEvents.Attach(other);
  PointAt(other, server.Port());
  other.TURNOptions().Authentication = Client.TURNOptions().Authentication;

  Client.Allocate();
  other.Allocate();
  ASSERT_TRUE(Wait([&] { return Events.Size(Events.Allocations) == 1; })) << Problems();
  ASSERT_TRUE(WaitUntil([&] { return otherEvents.Size(otherEvents.Allocations) == 1 || otherEvents.ErrorCount() > 0; }));
  ASSERT_EQ(otherEvents.Size(otherEvents.Allocations), 1u);
  const uint16_t relayA = Events.At(Events.Allocations, 0).FRelayedPort;
  const uint16_t relayB = otherEvents.At(otherEvents.Allocations, 0).FRelayedPort;
  ASSERT_NE(relayA, relayB);

  // Permissions are per address: 127.0.0.1 lets each relay accept the other's.
  Client.CreatePermission("127.0.0.1");
  other.CreatePermission("127.0.0.1");
  ASSERT_TRUE(Wait([&] { return Events.Size(Events.Permissions) == 1; })) << Problems();
  ASSERT_TRUE(WaitUntil([&] { return otherEvents.Size(otherEvents.Permissions) == 1; }));

  Client.SendIndication("127.0.0.1", relayB, std::string("A to B"));
  ASSERT_TRUE(WaitUntil([&] { return otherEvents.Size(otherEvents.Data) == 1; }));
  EXPECT_EQ(Text(otherEvents.At(otherEvents.Data, 0).FData), "A to B");
  EXPECT_EQ(otherEvents.At(otherEvents.Data, 0).FPeerPort, relayA) << "B sees A's relayed address";
  other.SendIndication("127.0.0.1", relayA, std::string("B to A"));
  ASSERT_TRUE(Wait([&] { return Events.Size(Events.Data) == 1; })) << Problems();
  EXPECT_EQ(Text(Events.At(Events.Data, 0).FData), "B to A");

  Client.ChannelBind("127.0.0.1", relayB);
  other.ChannelBind("127.0.0.1", relayA);
  ASSERT_TRUE(Wait([&] { return Events.Size(Events.Channels) == 1; })) << Problems();
  ASSERT_TRUE(WaitUntil([&] { return otherEvents.Size(otherEvents.Channels) == 1; }));
  Client.SendChannelData(0x4000, std::string("A over channel"));
  ASSERT_TRUE(WaitUntil([&] { return otherEvents.Size(otherEvents.ChannelData) == 1; }));
  EXPECT_EQ(Text(otherEvents.At(otherEvents.ChannelData, 0).second), "A over channel");
  other.SendChannelData(0x4000, std::string("B over channel"));
  ASSERT_TRUE(Wait([&] { return Events.Size(Events.ChannelData) == 1; })) << Problems();
  EXPECT_EQ(Text(Events.At(Events.ChannelData, 0).second), "B over channel");

  Client.Refresh(0);
  other.Refresh(0);
  ASSERT_TRUE(Wait([&] { return Events.Size(Events.Refreshes) == 1; })) << Problems();
  ASSERT_TRUE(WaitUntil([&] { return otherEvents.Size(otherEvents.Refreshes) == 1; }));
  EXPECT_EQ(otherEvents.ExceptionCount() + otherEvents.ErrorCount(), 0u);
  EXPECT_EQ(Events.ExceptionCount() + Events.ErrorCount(), 0u) << Problems();
}

TEST_F(CoturnTURN, WithoutCredentialsTheChallengeIsReported) {
  TTurnServer server(false, false, {"--allow-loopback-peers"});
  Start(server, false);
  Client.Allocate();
  ASSERT_TRUE(WaitUntil([&] { return Events.ErrorCount() == 1; }));
  EXPECT_EQ(Events.Error(0).Error.FCode, 401);
  EXPECT_EQ(Events.Size(Events.Allocations), 0u);
}

TEST_F(CoturnTURN, WrongPasswordEndsInOneReportedError) {
  TTurnServer server(false, false, {"--allow-loopback-peers"});
  Start(server, true);
  Client.TURNOptions().Authentication.Password = "wrong";
  Client.Allocate();
  ASSERT_TRUE(WaitUntil([&] { return Events.ErrorCount() == 1; }));
  EXPECT_EQ(Events.Error(0).Error.FCode, 401);
  EXPECT_EQ(Events.Size(Events.Allocations), 0u);
}

} // namespace
