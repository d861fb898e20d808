// qyn-test-labels: unit
// qyn-test-libs: qyn_relaykeeper qyn_turn_server qyn_stun_server
//
// Time-limited credentials (--auth-secret) and the daemon's other settings on a fake socket: the
// password against digests computed here with OpenSSL directly, the user name form, and the
// server with the daemon's settings: a valid name allocates, an expired one (also one that
// expires on the shifted clock) gets a fresh 401, a wrong secret is dropped like a wrong
// password, a malformed name falls back to the static user, which stays available; the quotas
// and the bound on unauthenticated answers reach the component.

#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <chrono>
#include <cmath>
#include <string>

#include "qynClock.h"
#include "qynRelayKeeper_Daemon.h"
#include "qynRelayKeeper_RestAuth.h"
#include "qynRelayKeeper_Server.h"
#include "turn_server/turn_server_test_util.h"

namespace {

std::string OpenSSLPassword(const std::string& aSecret, const std::string& aUsername) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  HMAC(EVP_sha1(), aSecret.data(), static_cast<int>(aSecret.size()), reinterpret_cast<const unsigned char*>(aUsername.data()),
       aUsername.size(), digest, &length);
  unsigned char text[64];
  const int n = EVP_EncodeBlock(text, digest, static_cast<int>(length));
  return std::string(reinterpret_cast<char*>(text), static_cast<size_t>(n));
}

TEST(TimeLimitedCredentials, PasswordIsBase64OfHMACSHA1OfTheUserName) {
  // Known values (computed with another HMAC implementation) ...
  EXPECT_EQ(TimeLimitedPassword("north_wind", "1700000000:alice"), "mdh75pMAimptGvAxsdnnKKeXMNo=");
  EXPECT_EQ(TimeLimitedPassword("s", "0"), "UqJKle8SX8xzdkybR/9Cu2XUND4=");
  // ... and OpenSSL's HMAC directly, for secrets longer than a block, binary bytes and empty names.
  const std::string longSecret(200, 'k');
  const std::string binary("\x00\xff:\x01", 4);
  for (const auto& [secret, user] : std::vector<std::pair<std::string, std::string>>{
           {"north_wind", "1700000000:alice"}, {longSecret, "42"}, {binary, "99:" + binary}, {"x", "1:"}, {"x", ""}})
    EXPECT_EQ(TimeLimitedPassword(secret, user), OpenSSLPassword(secret, user)) << user;
  EXPECT_NE(TimeLimitedPassword("north_wind", "1700000000:alice"), TimeLimitedPassword("north_wind", "1700000001:alice"));
}

TEST(TimeLimitedCredentials, UserNameForm) {
  struct TCase {
    const char* Username;
    bool Valid;
    int64_t Expiry;
  };
  const TCase cases[] = {
      {"1700000000", true, 1700000000},
      {"1700000000:alice", true, 1700000000},
      {"1700000000:", true, 1700000000},
      {"0:a:b", true, 0},
      {"000000000000000042:x", true, 42},
      {"999999999999999999", true, 999999999999999999},
      {"1234567890123456789", false, 0}, // 19 digits
      {"", false, 0},
      {":alice", false, 0},
      {"alice", false, 0},
      {"qyn_user", false, 0},
      {"-1700000000:alice", false, 0},
      {"+1700000000", false, 0},
      {" 1700000000", false, 0},
      {"17000x0000:alice", false, 0},
      {"1700000000.5:alice", false, 0},
  };
  for (const TCase& c : cases) {
    int64_t expiry = -1;
    EXPECT_EQ(ParseTimeLimitedUsername(c.Username, expiry), c.Valid) << c.Username;
    if (c.Valid) {
      EXPECT_EQ(expiry, c.Expiry) << c.Username;
    }
  }
  EXPECT_TRUE(TimeLimitedUsernameExpired("100:a", 100)); // EXPIRY <= now
  EXPECT_FALSE(TimeLimitedUsernameExpired("100:a", 99));
  EXPECT_FALSE(TimeLimitedUsernameExpired("alice", 1LL << 40)); // not of the form: never expired here
}

TEST(TimeLimitedCredentials, PasswordHandlerChoosesBetweenStaticAndTimeLimited) {
  const std::string secret = "north_wind";
  EXPECT_EQ(RelayKeeperPassword("qyn_user", "Qynwire", "qyn_user", "Qynwire", "kiwi_tea", secret), "kiwi_tea");
  EXPECT_EQ(RelayKeeperPassword("1700000000:alice", "Qynwire", "qyn_user", "Qynwire", "kiwi_tea", secret),
            "mdh75pMAimptGvAxsdnnKKeXMNo=");
  EXPECT_EQ(RelayKeeperPassword("1700000000:alice", "Other", "qyn_user", "Qynwire", "kiwi_tea", secret), "");
  EXPECT_EQ(RelayKeeperPassword("1700000000:alice", "Qynwire", "qyn_user", "Qynwire", "kiwi_tea", ""), ""); // no secret
  EXPECT_EQ(RelayKeeperPassword("17x:alice", "Qynwire", "qyn_user", "Qynwire", "kiwi_tea", secret), "");
}

// ---- The server with the daemon's settings ----

struct DaemonSettings : ::testing::Test {
  TTestTURNServer Server;
  TFakeUDPSocket Client{"192.0.2.1", 5000, "198.51.100.7", 3478};
  TqynRelayKeeperOptions Options;
  std::vector<std::string> Exceptions;
  int Tid = 1;
  static constexpr const char* kSecret = "north_wind";

  DaemonSettings() {
    ApplyRelayKeeperDesignSettings(Server);
    Options.AuthSecret = kSecret;
    Server.OnSTUNException = [this](TqynComponent_Base*, const Exception& E) { Exceptions.push_back(E.Message()); };
  }
  ~DaemonSettings() override { QynClockReset(); }
  void Apply() { ApplyRelayKeeperDaemonSettings(Server, Options); }

  static int64_t Now() { return QynUnixNowMs() / 1000; }
  static std::string NameExpiringAt(int64_t aExpiry, const std::string& aName = "alice") { return std::to_string(aExpiry) + ":" + aName; }

  TqynBytes Exchange(TFakeUDPSocket& aSocket, const TqynBytes& aRequest) {
    aSocket.Sent.clear();
    Server.UDPServerRead(nullptr, &aSocket, aRequest);
    EXPECT_LE(aSocket.Sent.size(), 1u);
    return aSocket.Sent.empty() ? TqynBytes() : aSocket.Sent[0];
  }
  std::string NonceOf(const TqynBytes& aAnswer) {
    TqynSTUN_Message m;
    if (aAnswer.empty()) return {};
    ReadResponse(aAnswer, m);
    const auto* n = m.Attributes().GetAttribute<TqynSTUN_Attribute_NONCE>(stmaNonce);
    return n ? n->Nonce() : std::string();
  }
  // A request of aType signed as aUser with aPassword, after a challenge for its nonce.
  TqynBytes Signed(TFakeUDPSocket& aSocket, uint16_t aType, const std::string& aUser, const std::string& aPassword,
                   const std::function<void(TqynSTUN_Message&)>& aFill = {}) {
    const std::string nonce =
        NonceOf(Exchange(aSocket, BuildMessage(aType, QYN_STUN_MAGIC_COOKIE, TurnTransactionId(Tid++), [&](TqynSTUN_Message& m) {
          if (aFill) aFill(m);
        })));
    EXPECT_FALSE(nonce.empty());
    return Exchange(aSocket, BuildMessage(aType, QYN_STUN_MAGIC_COOKIE, TurnTransactionId(Tid++), [&](TqynSTUN_Message& m) {
      if (aFill) aFill(m);
      SignRequest(m, nonce, aUser, aPassword);
    }));
  }
  TqynBytes SignedAllocate(TFakeUDPSocket& aSocket, const std::string& aUser, const std::string& aPassword) {
    return Signed(aSocket, kAllocate, aUser, aPassword, [](TqynSTUN_Message& m) { AddRequestedTransport(m); });
  }
  static uint16_t CodeOf(const TqynBytes& aAnswer) {
    if (aAnswer.empty()) return 0;
    TqynSTUN_Message m;
    ReadResponse(aAnswer, m);
    return ErrorOf(m).first;
  }
};

TEST_F(DaemonSettings, ValidTimeLimitedNameAllocatesAndItsAnswerIsSignedWithTheDerivedPassword) {
  Apply();
  const std::string user = NameExpiringAt(Now() + 3600);
  const std::string password = OpenSSLPassword(kSecret, user);
  const TqynBytes answer = SignedAllocate(Client, user, password);
  ASSERT_EQ(TypeField(answer), 0x0103) << CodeOf(answer);
  const TqynBytes key = LongTermKeyOf(user, kTurnRealm, password);
  TqynSTUN_Message m;
  ReadResponse(answer, m, &key);
  EXPECT_EQ(m.MessageIntegrity(), stisMessageIntegrityValid);
  EXPECT_TRUE(Exceptions.empty());
  // The static user stays available beside it.
  TFakeUDPSocket other("192.0.2.2", 5000);
  EXPECT_EQ(TypeField(SignedAllocate(other, kTurnUser, kTurnPassword)), 0x0103);
}

TEST_F(DaemonSettings, ExpiredNameGetsAFreshChallengeAlsoWhenItExpiresOnTheClock) {
  Apply();
  for (const int64_t expiry : {Now() - 1, int64_t{0}}) {
    const std::string user = NameExpiringAt(expiry);
    const TqynBytes answer = SignedAllocate(Client, user, OpenSSLPassword(kSecret, user));
    EXPECT_EQ(CodeOf(answer), 401) << user;
    EXPECT_FALSE(NonceOf(answer).empty());
  }
  EXPECT_TRUE(Exceptions.empty()); // not a failed signature
  EXPECT_EQ(Server.GetAllocations()->Count(), 0);

  // Granted while valid; once its EXPIRY has come by the component clock, a Refresh is refused.
  const std::string user = NameExpiringAt(Now() + 120);
  const std::string password = OpenSSLPassword(kSecret, user);
  ASSERT_EQ(TypeField(SignedAllocate(Client, user, password)), 0x0103);
  EXPECT_EQ(TypeField(Signed(Client, kRefresh, user, password)), 0x0104);
  QynClockShift(121 * 1000);
  const TqynBytes refused = Signed(Client, kRefresh, user, password);
  EXPECT_EQ(CodeOf(refused), 401);
  EXPECT_FALSE(NonceOf(refused).empty());
}

TEST_F(DaemonSettings, WrongSecretIsRefusedLikeAWrongPassword) {
  Apply();
  const std::string user = NameExpiringAt(Now() + 3600);
  EXPECT_EQ(CodeOf(SignedAllocate(Client, user, OpenSSLPassword("south_wind", user))), 401);
  ASSERT_EQ(Exceptions.size(), 1u);
  EXPECT_EQ(Exceptions[0], "Invalid Message Integrity");
  // No secret given: time-limited names are not accepted at all.
  Options.AuthSecret.clear();
  Apply();
  EXPECT_EQ(CodeOf(SignedAllocate(Client, user, OpenSSLPassword(kSecret, user))), 401);
  EXPECT_EQ(Server.GetAllocations()->Count(), 0);
}

TEST_F(DaemonSettings, MalformedNamesFallBackToTheStaticUser) {
  Apply();
  for (const std::string& user : {std::string("17x:alice"), std::string(":alice"), std::string("1234567890123456789:alice"),
                                 std::string("alice")}) {
    Exceptions.clear();
    EXPECT_EQ(CodeOf(SignedAllocate(Client, user, OpenSSLPassword(kSecret, user))), 401) << user;
    EXPECT_EQ(Exceptions.size(), 1u) << user;
  }
  // A changed static user is the one that counts.
  Options.User = "bob";
  Options.Password = "b0b";
  Apply();
  EXPECT_EQ(CodeOf(SignedAllocate(Client, kTurnUser, kTurnPassword)), 401);
  EXPECT_EQ(TypeField(SignedAllocate(Client, "bob", "b0b")), 0x0103);
}

TEST_F(DaemonSettings, QuotasReachTheComponent) {
  Options.MaxAllocations = 2;
  Options.UserQuota = 1;
  Apply();
  EXPECT_EQ(Server.TURNOptions().Allocation.MaxAllocations, 2);
  EXPECT_EQ(Server.TURNOptions().Allocation.MaxUserAllocations, 1);
  const std::string user = NameExpiringAt(Now() + 3600);
  const std::string password = OpenSSLPassword(kSecret, user);
  TFakeUDPSocket c2("192.0.2.1", 5001), c3("192.0.2.1", 5002);
  ASSERT_EQ(TypeField(SignedAllocate(Client, user, password)), 0x0103);
  EXPECT_EQ(CodeOf(SignedAllocate(c2, user, password)), 486);
  ASSERT_EQ(TypeField(SignedAllocate(c2, kTurnUser, kTurnPassword)), 0x0103);
  const std::string other = NameExpiringAt(Now() + 3600, "carol");
  EXPECT_EQ(CodeOf(SignedAllocate(c3, other, OpenSSLPassword(kSecret, other))), 508);
}

TEST_F(DaemonSettings, UnauthenticatedAnswersAreBoundByDefault) {
  Apply();
  EXPECT_EQ(Server.STUNOptions().UnauthenticatedAnswers.Rate, 10);
  EXPECT_EQ(Server.STUNOptions().UnauthenticatedAnswers.Burst, 20);
  const auto begin = std::chrono::steady_clock::now();
  size_t answered = 0;
  for (int i = 0; i < 300; ++i)
    answered += Exchange(Client, BuildMessage(kAllocate, QYN_STUN_MAGIC_COOKIE, TurnTransactionId(Tid++), [](TqynSTUN_Message& m) {
                  AddRequestedTransport(m);
                })).empty()
                    ? 0
                    : 1;
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  EXPECT_GE(answered, 20u);
  EXPECT_LE(answered, 20u + static_cast<size_t>(std::ceil(seconds * 10)) + 1u);
  EXPECT_EQ(Server.UnauthenticatedDropped(), 300u - answered);
  Options.UnauthRate = 0;
  Options.AuthSecret.clear();
  Apply();
  EXPECT_EQ(Server.STUNOptions().UnauthenticatedAnswers.Rate, 0);
  EXPECT_EQ(TypeField(SignedAllocate(Client, kTurnUser, kTurnPassword)), 0x0103);
}

} // namespace
