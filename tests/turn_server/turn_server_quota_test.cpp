// qyn-test-labels: unit
// qyn-test-libs: qyn_turn_server qyn_stun_server
//
// The allocation quotas on a fake socket: the whole server's (MaxAllocations, 508) and a user's
// (MaxUserAllocations, 486), each reached and released again by a Refresh with lifetime 0 and by
// expiry on a shifted clock; no limit by default.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "turn_server/turn_server_test_util.h"

namespace {

struct QuotaFixture : ::testing::Test {
  TTestTURNServer Server;
  std::vector<std::unique_ptr<TFakeUDPSocket>> Clients;
  int Tid = 1;

  QuotaFixture() { Server.TURNOptions().Authentication.Enabled = false; }
  ~QuotaFixture() override { QynClockReset(); }

  TFakeUDPSocket& Client(size_t aIndex) {
    while (Clients.size() <= aIndex)
      Clients.push_back(std::make_unique<TFakeUDPSocket>("192.0.2.1", static_cast<TIdPort>(1000 + Clients.size())));
    return *Clients[aIndex];
  }
  // The answer's type field and error code (0 for none) of a request from client aIndex.
  std::pair<uint16_t, uint16_t> Ask(size_t aIndex, uint16_t aType, const std::function<void(TqynSTUN_Message&)>& aFill) {
    TFakeUDPSocket& s = Client(aIndex);
    s.Sent.clear();
    Server.UDPServerRead(nullptr, &s, BuildMessage(aType, QYN_STUN_MAGIC_COOKIE, TurnTransactionId(Tid++), aFill));
    if (s.Sent.empty()) return {0, 0};
    TqynSTUN_Message m;
    ReadResponse(s.Sent.back(), m);
    return {TypeField(s.Sent.back()), ErrorOf(m).first};
  }
  std::pair<uint16_t, uint16_t> Allocate(size_t aIndex, const std::string& aUser = std::string()) {
    return Ask(aIndex, kAllocate, [&](TqynSTUN_Message& m) {
      AddRequestedTransport(m);
      if (!aUser.empty()) m.Attributes().Add<TqynSTUN_Attribute_USERNAME>()->SetUsername(aUser);
    });
  }
  void Release(size_t aIndex) {
    EXPECT_EQ(Ask(aIndex, kRefresh, [](TqynSTUN_Message& m) { AddLifetimeAttr(m, 0); }).first, 0x0104);
  }
  // Lets every allocation expire: shifts the clock past the default lifetime and runs the scan.
  void ExpireAll() {
    QynClockShift((600 + 61) * 1000);
    Server.DoAllocationsTimer(nullptr);
  }
};

const std::pair<uint16_t, uint16_t> kGranted{0x0103, 0};
const std::pair<uint16_t, uint16_t> kInsufficientCapacity{0x0113, 508};
const std::pair<uint16_t, uint16_t> kQuotaReached{0x0113, 486};

TEST_F(QuotaFixture, NoLimitsByDefault) {
  EXPECT_EQ(Server.TURNOptions().Allocation.MaxAllocations, 0);
  EXPECT_EQ(Server.TURNOptions().Allocation.MaxUserAllocations, 0);
  for (size_t i = 0; i < 40; ++i) ASSERT_EQ(Allocate(i, "alice"), kGranted) << i;
}

TEST_F(QuotaFixture, ServerLimitIsReachedAndReleasedByRefreshZeroAndByExpiry) {
  Server.TURNOptions().Allocation.MaxAllocations = 3;
  for (size_t i = 0; i < 3; ++i) ASSERT_EQ(Allocate(i, "user" + std::to_string(i)), kGranted);
  EXPECT_EQ(Allocate(3, "user3"), kInsufficientCapacity);
  EXPECT_EQ(Allocate(4), kInsufficientCapacity); // every user, with or without a name
  EXPECT_EQ(Server.GetAllocations()->Count(), 3);

  Release(1);
  EXPECT_EQ(Allocate(3, "user3"), kGranted);
  EXPECT_EQ(Allocate(4), kInsufficientCapacity);

  ExpireAll();
  EXPECT_EQ(Server.GetAllocations()->Count(), 0);
  for (size_t i = 4; i < 7; ++i) EXPECT_EQ(Allocate(i), kGranted);
  EXPECT_EQ(Allocate(7), kInsufficientCapacity);
  EXPECT_EQ(Server.GetAllocations()->Count(), 3);
}

TEST_F(QuotaFixture, UserQuotaIsReachedAndReleasedByRefreshZeroAndByExpiry) {
  Server.TURNOptions().Allocation.MaxUserAllocations = 2;
  EXPECT_EQ(Allocate(0, "alice"), kGranted);
  EXPECT_EQ(Allocate(1, "alice"), kGranted);
  EXPECT_EQ(Allocate(2, "alice"), kQuotaReached);
  EXPECT_EQ(Allocate(2, "Alice"), kGranted); // names are compared exactly
  EXPECT_EQ(Allocate(3, "bob"), kGranted);

  Release(0);
  EXPECT_EQ(Allocate(4, "alice"), kGranted);
  EXPECT_EQ(Allocate(5, "alice"), kQuotaReached);

  ExpireAll();
  EXPECT_EQ(Allocate(5, "alice"), kGranted);
  EXPECT_EQ(Allocate(6, "alice"), kGranted);
  EXPECT_EQ(Allocate(7, "alice"), kQuotaReached);
}

TEST_F(QuotaFixture, BothLimitsTogetherAnswerTheUsersFirst) {
  Server.TURNOptions().Allocation.MaxAllocations = 2;
  Server.TURNOptions().Allocation.MaxUserAllocations = 1;
  EXPECT_EQ(Allocate(0, "alice"), kGranted);
  EXPECT_EQ(Allocate(1, "bob"), kGranted);
  EXPECT_EQ(Allocate(2, "alice"), kQuotaReached);
  EXPECT_EQ(Allocate(2, "carol"), kInsufficientCapacity);
  // The options record copies the new limit.
  TqynTURNServer_Options copy;
  copy.Assign(Server.TURNOptions());
  EXPECT_EQ(copy.Allocation.MaxAllocations, 2);
}

} // namespace
