// qyn-test-labels: net
// qyn-test-libs: qyn_turn_client qyn_stun_client
//
// Automatic renewal: the due times of the allocation, permission and channel passes (clock
// shifted, passes run by the test), the switches, at most one renewal per item while an earlier
// one is awaited, a refused renewal staying due, and the timer itself (started by Allocate,
// stopped by Refresh 0 and by destruction).
#include <gtest/gtest.h>

#include "turn_client/turn_client_test_util.h"

namespace {

using namespace turn_client_test;

struct AutoRefresh : TURNClientTest {
  TFakeUDPServer Server; // records, never answers
  void SetUp() override {
    TURNClientTest::SetUp();
    Point(Server.Port());
  }
  // An allocation granted 600 s, one permission and one channel confirmed now; the timer is left
  // off so that the test runs the passes itself.
  void Establish() {
    Client.TURNOptions().AutoRefresh.Enabled = false;
    Client.Allocate();
    Deliver(Success(Nth(Server, 1), 600));
    Client.CreatePermission("192.0.2.1");
    Deliver(Success(Nth(Server, 2)));
    Client.ChannelBind("192.0.2.2", 5000);
    Deliver(Success(Nth(Server, 3)));
    ASSERT_EQ(Client.GetRequests()->Count(), 0);
  }
  // Runs one pass and returns how many requests of aMethod it added to the table.
  template <typename TPass> int Run(TPass aPass, TqynStunMessageMethod aMethod) {
    const int before = Pending(aMethod);
    aPass();
    return Pending(aMethod) - before;
  }
  void Allocation() { Client.DoAutoRefreshAllocation(); }
  void Permissions() { Client.DoAutoRefreshPermissions(); }
  void Channels() { Client.DoAutoRefreshChannels(); }
};

struct DueCase {
  const char* Name;
  int NotYet;  // seconds after the confirmation: nothing due
  int Due;     // seconds after the confirmation: due
  TqynStunMessageMethod Method;
  int Pass;    // 0 allocation, 1 permissions, 2 channels
  int Requests; // renewals the pass sends when due
};

class DueTimes : public AutoRefresh, public ::testing::WithParamInterface<DueCase> {};

TEST_P(DueTimes, EachPassRenewsItsItemAtItsDueTime) {
  const DueCase c = GetParam();
  Establish();
  Client.TURNOptions().Allocation.Lifetime = 900; // asked for; the interval follows the 600 granted
  const auto pass = [&] {
    if (c.Pass == 0) Allocation();
    else if (c.Pass == 1) Permissions();
    else Channels();
  };
  Clock.By(c.NotYet);
  EXPECT_EQ(Run(pass, c.Method), 0) << "not due at +" << c.NotYet << " s";
  Clock.By(c.Due - c.NotYet);
  EXPECT_EQ(Run(pass, c.Method), c.Requests) << "due at +" << c.Due << " s";
  const TRequest r = Nth(Server, 4);
  EXPECT_EQ(r.Message->Header().MessageType_Method(), c.Method);
  if (c.Method == stmmRefresh) {
    EXPECT_EQ(r.Message->Attributes().GetAttribute<TqynSTUN_Attribute_LIFETIME>(stmaLifetime)->Lifetime(), 900u);
  }
  if (c.Method == stmmCreatePermission) {
    EXPECT_EQ(Attr(r, stmaXOR_Peer_Address)->Address(), "192.0.2.1");
  }
  if (c.Method == stmmChannelBind) {
    EXPECT_EQ(Attr(r, stmaXOR_Peer_Address)->Address(), "192.0.2.2");
    EXPECT_EQ(r.Message->Attributes().GetAttribute<TqynSTUN_Attribute_CHANNEL_NUMBER>(stmaChannel_Number)->Channel(), 0x4000)
        << "the same number is re-bound";
  }
  // Confirmed again (the others answered too): the next renewal is one interval later.
  for (size_t i = 4; i <= Server.Count(); ++i) Deliver(Success(Server.Received(i - 1), 600));
  EXPECT_EQ(Client.GetRequests()->Count(), 0);
  EXPECT_EQ(Run(pass, c.Method), 0) << "renewed";
  EXPECT_EQ(Events.ExceptionCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(TURN, DueTimes,
                         ::testing::Values(DueCase{"Allocation", 11, 12, stmmRefresh, 0, 1},
                                           // 192.0.2.1, and 192.0.2.2 from the channel binding
                                           DueCase{"Permission", 149, 150, stmmCreatePermission, 1, 2},
                                           DueCase{"Channel", 299, 300, stmmChannelBind, 2, 1}),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST_F(AutoRefresh, AShortLifetimeIsRenewedOnEveryTick) {
  Client.TURNOptions().AutoRefresh.Enabled = false;
  Client.Allocate();
  Deliver(Success(Nth(Server, 1), 49)); // trunc(49 / 50) = 0 s
  EXPECT_EQ(Run([&] { Allocation(); }, stmmRefresh), 1);
}

TEST_F(AutoRefresh, EachSwitchGovernsItsOwnPass) {
  Establish();
  Client.TURNOptions().AutoRefresh.Allocations.Enabled = false;
  Client.TURNOptions().AutoRefresh.Channels.Enabled = false;
  Clock.By(1000);
  Client.DoAutoRefreshTimer(nullptr);
  EXPECT_EQ(Pending(stmmRefresh), 0);
  EXPECT_EQ(Pending(stmmCreatePermission), 2) << "192.0.2.1, and 192.0.2.2 from the channel binding";
  EXPECT_EQ(Pending(stmmChannelBind), 0);
}

TEST_F(AutoRefresh, TwoPermissionsDueOnOneTickGiveTwoRequestsInListOrder) {
  Establish();
  Client.CreatePermission("192.0.2.8,192.0.2.9");
  Deliver(Success(Nth(Server, 4)));
  Clock.By(150);
  Permissions();
  // 192.0.2.1, 192.0.2.2 (from the channel binding), 192.0.2.8, 192.0.2.9
  std::vector<std::string> renewed;
  for (size_t i = 5; i <= 8; ++i) {
    const TRequest r = Nth(Server, i);
    EXPECT_EQ(AllAttrs(r, stmaXOR_Peer_Address).size(), 1u) << "one request per entry";
    renewed.push_back(Attr(r, stmaXOR_Peer_Address)->Address());
  }
  EXPECT_EQ(renewed, (std::vector<std::string>{"192.0.2.1", "192.0.2.2", "192.0.2.8", "192.0.2.9"}));
}

TEST_F(AutoRefresh, AnUnansweredRenewalIsNotSentAgainWhileItIsRetransmitted) {
  Establish();
  Client.RetransmissionOptions().Enabled = true;
  Client.RetransmissionOptions().RTO = 60000; // no retransmission within the test
  Clock.By(400);
  for (int tick = 0; tick < 5; ++tick) Client.DoAutoRefreshTimer(nullptr);
  EXPECT_EQ(Pending(stmmRefresh), 1);
  EXPECT_EQ(Pending(stmmCreatePermission), 2) << "192.0.2.1 and 192.0.2.2, once each";
  EXPECT_EQ(Pending(stmmChannelBind), 1);
}

TEST_F(AutoRefresh, ARenewalWhoseRetransmissionsAreUsedUpIsSentAnew) {
  Establish();
  Client.RetransmissionOptions().Enabled = true;
  Client.RetransmissionOptions().RTO = 20;
  Client.RetransmissionOptions().MaxRetries = 2; // given up after 60 ms, awaited for one tick
  Clock.By(20);
  Allocation();
  ASSERT_EQ(Pending(stmmRefresh), 1);
  ASSERT_TRUE(WaitUntil([&] {
    Allocation();
    return Pending(stmmRefresh) == 2;
  })) << "due again once the first renewal was given up";
}

TEST_F(AutoRefresh, ARefusedChannelBindStaysDueWithoutDuplicates) {
  Client.ChannelBind("192.0.2.2", 5000);
  Deliver(Error(Nth(Server, 1), 403, "Forbidden"));
  ASSERT_EQ(Events.ErrorCount(), 1u);
  ASSERT_EQ(Client.Allocation()->Channels()->Count(), 1) << "the refused channel stays in the list";

  // Due at once, renewed with its number; while that renewal is awaited, no duplicate goes out.
  EXPECT_EQ(Run([&] { Channels(); }, stmmChannelBind), 1);
  for (int tick = 0; tick < 5; ++tick) EXPECT_EQ(Run([&] { Channels(); }, stmmChannelBind), 0);
  const TRequest renewal = Nth(Server, 2);
  EXPECT_EQ(renewal.Message->Attributes().GetAttribute<TqynSTUN_Attribute_CHANNEL_NUMBER>(stmaChannel_Number)->Channel(),
            0x4000);
  // Refused again: due again on the next tick, one request.
  Deliver(Error(renewal, 403, "Forbidden"));
  EXPECT_EQ(Run([&] { Channels(); }, stmmChannelBind), 1);
  EXPECT_EQ(Nth(Server, 3).Message->Header().MessageType_Method(), stmmChannelBind);
}

TEST_F(AutoRefresh, NoRenewalWithoutAGrantedAllocation) {
  Client.DoAutoRefreshTimer(nullptr);
  EXPECT_EQ(Client.GetRequests()->Count(), 0);
}

// ---- The timer ----

TEST_F(AutoRefresh, AllocateStartsTheTimerWhichRenewsOnItsOwn) {
  Client.Allocate();
  Deliver(Success(Nth(Server, 1), 600));
  ASSERT_TRUE(Client.AutoRefreshRunning());
  Deliver(Success(Nth(Server, 1), 600)); // a duplicate answer changes nothing
  Clock.By(13);
  const TRequest refresh = Nth(Server, 2);
  EXPECT_EQ(refresh.Message->Header().MessageType_Method(), stmmRefresh);
  EXPECT_EQ(refresh.Message->Attributes().GetAttribute<TqynSTUN_Attribute_LIFETIME>(stmaLifetime)->Lifetime(), 600u);
}

TEST_F(AutoRefresh, WithTheMasterSwitchOffNoTimerStarts) {
  Client.TURNOptions().AutoRefresh.Enabled = false;
  Client.Allocate();
  Deliver(Success(Nth(Server, 1), 600));
  EXPECT_FALSE(Client.AutoRefreshRunning());
}

TEST_F(AutoRefresh, RefreshZeroStopsTheTimerAndAllRenewals) {
  Client.Allocate();
  Deliver(Success(Nth(Server, 1), 600));
  Client.CreatePermission("192.0.2.1");
  Deliver(Success(Nth(Server, 2)));
  ASSERT_TRUE(Client.AutoRefreshRunning());
  Client.Refresh(0);
  Deliver(Success(Nth(Server, 3), 0));
  EXPECT_FALSE(Client.AutoRefreshRunning());
  Clock.By(10000);
  Client.DoAutoRefreshTimer(nullptr);
  EXPECT_EQ(Client.GetRequests()->Count(), 0) << "nothing is left to renew";
}

TEST_F(AutoRefresh, TimerTicksInTheQueuedModeRunOnTheMainThread) {
  Client.SetNotifyEvents(neAsynchronous);
  Client.Allocate();
  Deliver(Success(Nth(Server, 1), 600));
  ASSERT_TRUE(Client.AutoRefreshRunning());
  Clock.By(13);
  EXPECT_TRUE(DrainUntil([&] { return Server.Count() >= 2; }));
}

TEST(AutoRefreshLifetime, DestroyingTheClientWhileItsTimerTicksLeavesNothingBehind) {
  TFakeUDPServer server;
  for (int round = 0; round < 5; ++round) {
    TqynTURNClient client;
    PointAt(client, server.Port());
    client.RetransmissionOptions().Enabled = false;
    const size_t index = server.Count();
    client.Allocate();
    ASSERT_TRUE(WaitUntil([&] { return server.Count() > index; }));
    TFakeSocket socket;
    client.TURNOptions().AutoRefresh.Enabled = true;
    client.DoUDPClientRead(nullptr, &socket, Success(server.Received(index), 49));
    ASSERT_TRUE(client.AutoRefreshRunning());
    // Destroyed right away, or just after a tick has sent its renewal (due on every tick).
    const size_t sent = server.Count();
    if (round % 2) {
      ASSERT_TRUE(WaitUntil([&] { return server.Count() > sent; }));
    }
  }
}

} // namespace
