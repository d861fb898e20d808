// qyn-test-labels: unit
// qyn-test-libs: qyn_stun_server
//
// The per-source bound on answers to unauthenticated requests: the token buckets on their own
// (burst, refill, sources apart, IPv6 /64 and mapped addresses, a bounded map under forged
// sources), and in the STUN server on a fake socket (a burst from one source, another source
// still answered, off by default, verified requests not bounded until the gate refuses them,
// expired credentials challenged anew).

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <string>

#include "qynClock.h"
#include "qynP2P_STUN_RateLimit.h"
#include "stun_server/stun_server_test_util.h"

namespace {

TEST(SourceRateLimit, BurstThenRefillAtTheRate) {
  TqynSTUNSourceRateLimit limit;
  // Rate 2/s, burst 3: three at once, then one per 500 ms, never more than three saved up.
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(limit.Admit("192.0.2.1", 1000, 2, 3, 100)) << i;
  EXPECT_FALSE(limit.Admit("192.0.2.1", 1000, 2, 3, 100));
  EXPECT_FALSE(limit.Admit("192.0.2.1", 1400, 2, 3, 100)); // 0.8 tokens
  EXPECT_TRUE(limit.Admit("192.0.2.1", 1600, 2, 3, 100));  // 1.2
  EXPECT_FALSE(limit.Admit("192.0.2.1", 1600, 2, 3, 100)); // 0.2
  int admitted = 0;
  for (int i = 0; i < 10; ++i) admitted += limit.Admit("192.0.2.1", 60000, 2, 3, 100) ? 1 : 0;
  EXPECT_EQ(admitted, 3);
  EXPECT_EQ(limit.Dropped(), 3u + 7u);
  // A clock that goes back refills nothing.
  EXPECT_FALSE(limit.Admit("192.0.2.1", 10, 2, 3, 100));
}

TEST(SourceRateLimit, RateZeroAdmitsEverythingAndTracksNothing) {
  TqynSTUNSourceRateLimit limit;
  for (int i = 0; i < 1000; ++i) ASSERT_TRUE(limit.Admit("192.0.2.1", 0, 0, 1, 1));
  EXPECT_EQ(limit.SourceCount(), 0u);
  EXPECT_EQ(limit.Dropped(), 0u);
}

TEST(SourceRateLimit, SourcesAreIPv4AddressesAndIPv6Slash64s) {
  struct TCase {
    const char* Exhausted;
    const char* Other;
    bool Shared;
  };
  const TCase cases[] = {
      {"192.0.2.1", "192.0.2.2", false},
      {"192.0.2.1", "192.0.2.1", true},
      {"2001:db8::1", "2001:db8::ffff:1", true},                 // same /64
      {"2001:db8::1", "2001:db8:0:0:1234:5678:9abc:def0", true}, // same /64, other spelling
      {"2001:db8::1", "2001:db8:0:1::1", false},                 // next /64
      {"192.0.2.1", "::ffff:192.0.2.1", true},                   // mapped
      {"192.0.2.1", "0:0:0:0:0:ffff:c000:201", true},            // mapped, full form
      {"192.0.2.1", "::192.0.2.1", false},                       // compatible form: an IPv6 /64 (::/64)
      {"not an address", "not an address", true},
      {"not an address", "192.0.2.1", false},
  };
  for (const TCase& c : cases) {
    TqynSTUNSourceRateLimit limit;
    ASSERT_TRUE(limit.Admit(c.Exhausted, 0, 1, 1, 100));
    ASSERT_FALSE(limit.Admit(c.Exhausted, 0, 1, 1, 100));
    EXPECT_EQ(limit.Admit(c.Other, 0, 1, 1, 100), !c.Shared) << c.Exhausted << " / " << c.Other;
  }
}

TEST(SourceRateLimit, ForgedSourcesKeepTheMapBoundedAndDoNotRefillABusySource) {
  TqynSTUNSourceRateLimit limit;
  constexpr int kMax = 64;
  ASSERT_TRUE(limit.Admit("203.0.113.9", 0, 1, 1, kMax));
  for (int i = 0; i < 200000; ++i) {
    const std::string forged = "10." + std::to_string((i >> 16) & 255) + "." + std::to_string((i >> 8) & 255) + "." +
                               std::to_string(i & 255);
    ASSERT_TRUE(limit.Admit(forged, 0, 1, 1, kMax)); // each new source starts with its burst
    // The busy source keeps sending between the forged ones: it stays among the recent ones.
    if (i % 16 == 0) {
      ASSERT_FALSE(limit.Admit("203.0.113.9", 0, 1, 1, kMax)) << i;
    }
    ASSERT_LE(limit.SourceCount(), static_cast<size_t>(kMax));
  }
  EXPECT_EQ(limit.SourceCount(), static_cast<size_t>(kMax));
  // A lowered bound takes effect at the next call.
  limit.Admit("192.0.2.1", 0, 1, 1, 8);
  EXPECT_EQ(limit.SourceCount(), 8u);
}

// ---- In the STUN server ----

struct RateFixture : ::testing::Test {
  TqynSTUNServer_Base Server;
  TFakeUDPSocket Flooder{"192.0.2.1", 5000};
  TFakeUDPSocket Other{"192.0.2.2", 5000};
  int Exceptions = 0;

  RateFixture() {
    Server.OnSTUNException = [this](TqynComponent_Base*, const Exception&) { ++Exceptions; };
  }
  ~RateFixture() override { QynClockReset(); }
  void Bound(int aRate, int aBurst) {
    Server.STUNOptions().UnauthenticatedAnswers.Rate = aRate;
    Server.STUNOptions().UnauthenticatedAnswers.Burst = aBurst;
  }
  // Sends aCount datagrams from aSocket; returns how many answers came.
  size_t Send(TFakeUDPSocket& aSocket, const TqynBytes& aRequest, int aCount) {
    const size_t before = aSocket.SentCount();
    for (int i = 0; i < aCount; ++i) Server.UDPServerRead(nullptr, &aSocket, aRequest);
    return aSocket.SentCount() - before;
  }
};

TEST_F(RateFixture, OffByDefault) {
  EXPECT_EQ(Server.STUNOptions().UnauthenticatedAnswers.Rate, 0);
  EXPECT_EQ(Send(Flooder, BindingRequest(), 2000), 2000u);
  EXPECT_EQ(Server.UnauthenticatedDropped(), 0u);
  EXPECT_EQ(Server.UnauthenticatedSources(), 0u);
}

TEST_F(RateFixture, ABurstFromOneSourceGetsAtMostTheBoundAndOthersAreStillAnswered) {
  Bound(1, 5);
  const auto begin = std::chrono::steady_clock::now();
  const size_t answered = Send(Flooder, BindingRequest(), 500);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  EXPECT_GE(answered, 5u);
  EXPECT_LE(answered, 5u + static_cast<size_t>(std::ceil(seconds)) + 1u);
  EXPECT_EQ(Server.UnauthenticatedDropped(), 500u - answered);
  EXPECT_EQ(Exceptions, 0); // dropped quietly
  EXPECT_EQ(Send(Other, BindingRequest(), 5), 5u);
  // The options record copies the bound.
  TqynSTUNServer_Options copy;
  copy.Assign(Server.STUNOptions());
  EXPECT_EQ(copy.UnauthenticatedAnswers.Rate, 1);
  EXPECT_EQ(copy.UnauthenticatedAnswers.Burst, 5);
  // Hostile datagrams of the flooder (an unanswerable FINGERPRINT, a forged MESSAGE-INTEGRITY)
  // spend its bound as well and, over it, are not even reported.
  const TqynBytes badIntegrity = BindingRequest([](TqynSTUN_Message& m) {
    m.SetCredentials(stauLongTermCredential);
    m.SetUsername("u");
    m.SetRealm("r");
    m.SetNonce("n");
    m.SetPassword("guess");
  });
  const int before = Exceptions;
  EXPECT_EQ(Send(Flooder, badIntegrity, 200), 0u);
  EXPECT_LE(Exceptions - before, 3);
}

TEST_F(RateFixture, ManyForgedSourcesKeepTheServersBucketsBounded) {
  Bound(1, 1);
  Server.STUNOptions().UnauthenticatedAnswers.MaxSources = 500;
  const TqynBytes request = BindingRequest();
  for (int i = 0; i < 20000; ++i) {
    TFakeUDPSocket forged("10." + std::to_string(i >> 16) + "." + std::to_string((i >> 8) & 255) + "." + std::to_string(i & 255), 9);
    Server.UDPServerRead(nullptr, &forged, request);
    ASSERT_LE(Server.UnauthenticatedSources(), 500u);
  }
  EXPECT_EQ(Server.UnauthenticatedSources(), 500u);
}

// Binding counts: it is unauthenticated and its answer is several times the request's size.
TEST_F(RateFixture, ErrorAnswersCountLikeSuccessAnswers) {
  Bound(1, 3);
  // An indication is never answered and spends nothing; a request of another method gets 400.
  const TqynBytes indication = BuildMessage(0x0011);
  EXPECT_EQ(Send(Flooder, indication, 50), 0u);
  EXPECT_EQ(Server.UnauthenticatedDropped(), 0u);
  const TqynBytes allocate = BuildMessage(0x0003);
  EXPECT_LE(Send(Flooder, allocate, 50), 5u);
  EXPECT_GE(Server.UnauthenticatedDropped(), 45u);
}

struct RateAuthFixture : RateFixture {
  bool ExpireAll = false;
  RateAuthFixture() {
    Server.STUNOptions().Authentication.Enabled = true;
    Server.STUNOptions().Authentication.LongTermCredentials.Enabled = true;
    Server.OnSTUNRequestAuthorization = [](TqynComponent_Base*, TqynSTUN_Message*, const std::string& aUsername, const std::string&,
                                           std::string& Password) {
      if (aUsername == "qyn_user") Password = "kiwi_tea";
    };
    Server.OnSTUNCredentialsExpired = [this](TqynComponent_Base* Sender, TqynSTUN_Message*, const std::string& aUsername,
                                             const std::string& aRealm, bool& Expired) {
      EXPECT_EQ(Sender, &Server);
      EXPECT_EQ(aUsername, "qyn_user");
      EXPECT_EQ(aRealm, "Qynwire");
      EXPECT_FALSE(Expired);
      Expired = ExpireAll;
    };
  }
  std::string Challenge(TFakeUDPSocket& aSocket) {
    Server.UDPServerRead(nullptr, &aSocket, BindingRequest());
    TqynSTUN_Message r;
    ReadResponse(aSocket.Last(), r);
    const auto* n = r.Attributes().GetAttribute<TqynSTUN_Attribute_NONCE>(stmaNonce);
    return n ? n->Nonce() : std::string();
  }
  static TqynBytes Signed(const std::string& aNonce) {
    return BindingRequest([&](TqynSTUN_Message& m) {
      m.SetCredentials(stauLongTermCredential);
      m.SetUsername("qyn_user");
      m.SetRealm("Qynwire");
      m.SetNonce(aNonce);
      m.SetPassword("kiwi_tea");
    });
  }
};

TEST_F(RateAuthFixture, VerifiedRequestsAreNotBoundUntilTheGateRefusesThem) {
  Bound(1, 2);
  const std::string nonce = Challenge(Flooder);
  ASSERT_FALSE(nonce.empty());
  EXPECT_LE(Send(Flooder, BindingRequest(), 50), 2u); // the rest of the bound, then nothing
  EXPECT_EQ(Send(Flooder, Signed(nonce), 100), 100u); // verified: answered every time
  // A verified request whose nonce this server never issued is refused: that answer is bounded.
  EXPECT_LE(Send(Flooder, Signed("0123456789ABCDEF0123456789ABCDEF"), 50), 2u);
}

TEST_F(RateAuthFixture, ExpiredCredentialsGetAFreshChallengeNotASilentDrop) {
  const std::string nonce = Challenge(Other);
  ExpireAll = true;
  Other.Sent.clear();
  Server.UDPServerRead(nullptr, &Other, Signed(nonce));
  ASSERT_EQ(Other.Sent.size(), 1u);
  TqynSTUN_Message r;
  ReadResponse(Other.Sent[0], r);
  EXPECT_EQ(TypeField(Other.Sent[0]), 0x0111);
  EXPECT_EQ(ErrorOf(r).first, 401);
  const auto* fresh = r.Attributes().GetAttribute<TqynSTUN_Attribute_NONCE>(stmaNonce);
  ASSERT_NE(fresh, nullptr);
  EXPECT_NE(fresh->Nonce(), nonce);
  ASSERT_NE(r.Attributes().GetAttribute(stmaRealm), nullptr);
  ExpireAll = false;
  Other.Sent.clear();
  Server.UDPServerRead(nullptr, &Other, Signed(nonce));
  ASSERT_EQ(Other.Sent.size(), 1u);
  EXPECT_EQ(TypeField(Other.Sent[0]), 0x0101);
}

} // namespace
