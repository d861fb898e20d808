// qyn-test-labels: unit
// qyn-test-libs: qyn_stun_server
//
// The nonce list: issuing, states, expiry on the shifted clock, purging of nonces nobody presents
// again, the size cap, and concurrent use.

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "qynClock.h"
#include "qynP2P_STUN_Server.h"
#include "stun_server/stun_server_test_util.h"

namespace {

struct NonceFixture : ::testing::Test {
  TqynSTUNNoncesQueue Nonces;
  ~NonceFixture() override { QynClockReset(); }
};

TEST_F(NonceFixture, AddNonceIssuesDistinctUpperHexTextsWithRealmAndExpiry) {
  Nonces.SetStaleNonce(600);
  std::set<std::string> seen;
  for (int i = 0; i < 100; ++i) {
    const TqynDateTime before = QynNow();
    const std::string n = Nonces.AddNonce("Qynwire");
    const TqynDateTime after = QynNow();
    EXPECT_TRUE(IsUpperHex32(n)) << n;
    EXPECT_TRUE(seen.insert(n).second);
    auto item = Nonces.GetItemAs<TqynSTUNNonceItem>(n);
    ASSERT_TRUE(item);
    EXPECT_EQ(item->ID(), n);
    EXPECT_EQ(item->Realm(), "Qynwire");
    EXPECT_GE(item->Expires(), before + 600000);
    EXPECT_LE(item->Expires(), after + 600000);
  }
  EXPECT_EQ(Nonces.Count(), 100);
}

TEST_F(NonceFixture, StatesValidStaleAndUnknown) {
  Nonces.SetStaleNonce(10);
  const std::string a = Nonces.AddNonce("r");
  const std::string b = Nonces.AddNonce("r");
  EXPECT_EQ(Nonces.GetNonceState("never issued"), stnsNonceUnknown);
  EXPECT_EQ(Nonces.GetNonceState(""), stnsNonceUnknown);
  EXPECT_EQ(Nonces.GetNonceState(std::string(100000, 'A')), stnsNonceUnknown);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Nonces.GetNonceState(a), stnsNonceValid); // may be presented again
  EXPECT_EQ(Nonces.GetNonceState(std::string(a).append(" ")), stnsNonceUnknown);

  QynClockShift(9000);
  EXPECT_EQ(Nonces.GetNonceState(a), stnsNonceValid);
  QynClockShift(1001);
  EXPECT_EQ(Nonces.GetNonceState(a), stnsNonceStaled); // and deleted
  EXPECT_EQ(Nonces.GetNonceState(a), stnsNonceUnknown);
  EXPECT_EQ(Nonces.Count(), 1);
  EXPECT_EQ(Nonces.GetNonceState(b), stnsNonceStaled);
  EXPECT_EQ(Nonces.Count(), 0);
}

TEST_F(NonceFixture, ExpiredNoncesArePurgedAfterAGracePeriod) {
  Nonces.SetStaleNonce(10);
  const std::string a = Nonces.AddNonce("r");
  const std::string b = Nonces.AddNonce("r");
  // Within the grace (as long again as the lifetime) an expired nonce still answers "stale".
  QynClockShift(15000);
  EXPECT_EQ(Nonces.Purge(), 0);
  EXPECT_EQ(Nonces.GetNonceState(a), stnsNonceStaled);
  // After it, it is gone.
  QynClockShift(6000);
  EXPECT_EQ(Nonces.Purge(), 1);
  EXPECT_EQ(Nonces.GetNonceState(b), stnsNonceUnknown);
  EXPECT_EQ(Nonces.Count(), 0);
}

TEST_F(NonceFixture, AddNoncePurgesAsItGoes) {
  Nonces.SetStaleNonce(5);
  std::vector<std::string> old;
  for (int i = 0; i < 50; ++i) old.push_back(Nonces.AddNonce("r"));
  QynClockShift(11000);
  const std::string fresh = Nonces.AddNonce("r");
  EXPECT_EQ(Nonces.Count(), 1);
  EXPECT_EQ(Nonces.GetNonceState(old.front()), stnsNonceUnknown);
  EXPECT_EQ(Nonces.GetNonceState(old.back()), stnsNonceUnknown);
  EXPECT_EQ(Nonces.GetNonceState(fresh), stnsNonceValid);
}

TEST_F(NonceFixture, CapDropsTheOldest) {
  Nonces.SetMaxCount(100);
  Nonces.SetStaleNonce(600);
  std::vector<std::string> all;
  for (int i = 0; i < 1000; ++i) {
    all.push_back(Nonces.AddNonce("r"));
    ASSERT_LE(Nonces.Count(), 100);
  }
  EXPECT_GT(Nonces.Count(), 90);
  EXPECT_EQ(Nonces.GetNonceState(all.front()), stnsNonceUnknown);
  for (size_t i = all.size() - 90; i < all.size(); ++i) EXPECT_EQ(Nonces.GetNonceState(all[i]), stnsNonceValid) << i;
  Nonces.SetMaxCount(3);
  EXPECT_EQ(Nonces.MaxCount(), 16); // at least 16
}

TEST_F(NonceFixture, DefaultCapHoldsAHundredThousand) {
  EXPECT_EQ(Nonces.MaxCount(), 100000);
  std::string last;
  for (int i = 0; i < 100050; ++i) last = Nonces.AddNonce("r");
  EXPECT_LE(Nonces.Count(), 100000);
  EXPECT_GE(Nonces.Count(), 100000 - 100000 / 16);
  EXPECT_EQ(Nonces.GetNonceState(last), stnsNonceValid);
}

TEST_F(NonceFixture, ChangedLifetimeOutOfOrder) {
  // A later nonce with a shorter lifetime expires before an earlier one; it is found and deleted
  // from the middle of the list, and the earlier one stays valid.
  Nonces.SetStaleNonce(600);
  const std::string longLived = Nonces.AddNonce("r");
  Nonces.SetStaleNonce(1);
  const std::string shortLived = Nonces.AddNonce("r");
  const std::string another = Nonces.AddNonce("r");
  QynClockShift(3000);
  EXPECT_EQ(Nonces.Purge(), 0); // the long-lived one at the front holds the purge
  EXPECT_EQ(Nonces.GetNonceState(shortLived), stnsNonceStaled);
  EXPECT_EQ(Nonces.GetNonceState(longLived), stnsNonceValid);
  EXPECT_EQ(Nonces.GetNonceState(another), stnsNonceStaled);
  EXPECT_EQ(Nonces.Count(), 1);
}

TEST_F(NonceFixture, ClockSetBackDoesNotStallPurging) {
  Nonces.SetStaleNonce(1);
  Nonces.AddNonce("r");
  QynClockShift(-3600 * 1000);
  Nonces.AddNonce("r"); // purge runs, finds nothing old enough on the earlier clock
  QynClockShift(3600 * 1000 + 5000);
  Nonces.AddNonce("r");
  EXPECT_EQ(Nonces.Count(), 1);
}

TEST_F(NonceFixture, ClearForgetsEverything) {
  const std::string a = Nonces.AddNonce("r");
  Nonces.Clear();
  EXPECT_EQ(Nonces.Count(), 0);
  EXPECT_EQ(Nonces.GetNonceState(a), stnsNonceUnknown);
  const std::string b = Nonces.AddNonce("r");
  EXPECT_EQ(Nonces.GetNonceState(b), stnsNonceValid);
}

TEST_F(NonceFixture, ConcurrentIssueAndLookup) {
  Nonces.SetStaleNonce(600);
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 3000; ++i) {
        const std::string n = Nonces.AddNonce("r");
        if (Nonces.GetNonceState(n) != stnsNonceValid) ++failures;
        if (Nonces.GetNonceState("x") != stnsNonceUnknown) ++failures;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(Nonces.Count(), 12000);
}

TEST(StunServerNonces, ServerHandsItsStaleNonceToTheList) {
  TqynSTUNServer_Base server;
  EXPECT_EQ(server.GetNonces()->StaleNonce(), 600);
  server.STUNOptions().Authentication.LongTermCredentials.StaleNonce = 42;
  EXPECT_EQ(server.GetNonces()->StaleNonce(), 42);
  EXPECT_EQ(server.GetNonces(), server.GetNonces());
}

} // namespace
