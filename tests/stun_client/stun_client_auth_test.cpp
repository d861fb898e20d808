// qyn-test-labels: net
// qyn-test-libs: qyn_stun_client
//
// Client-side authentication against scripted loopback servers: answering a long-term challenge
// (with and without FINGERPRINT), later requests carrying credentials from the start, stale-nonce
// renewal, the bound on consecutive challenges, the stored key and the check of signed answers,
// and short-term credentials.
#include <gtest/gtest.h>

#include "stun_client/stun_client_test_util.h"

namespace {

using namespace stun_client_test;

const std::string kUser = "qyn_user";
const std::string kPassword = "kiwi_tea";
const std::string kRealm = "Qynwire";

struct AuthClient : ::testing::Test {
  TEvents Events;
  TqynSTUNClient Client;

  void SetUp() override { Events.Attach(Client); }
  void Start(uint16_t aPort, TqynStunCredentials aCredentials = stauLongTermCredential) {
    PointAt(Client, aPort);
    Client.RetransmissionOptions().Enabled = false;
    Client.STUNOptions().Authentication.Credentials = aCredentials;
    Client.STUNOptions().Authentication.Username = kUser;
    Client.STUNOptions().Authentication.Password = kPassword;
  }
};

TqynBytes Challenge(const TRequest& r, uint16_t aCode, const std::string& aNonce) {
  return BuildAnswer(*r.Message, stmcResponseError, [&](TqynSTUN_Message& m) { AddChallenge(m, aCode, kRealm, aNonce); });
}

// A success signed with the key of the given password.
TqynBytes SignedSuccess(const TRequest& r, const std::string& aPassword = kPassword) {
  return BuildAnswer(*r.Message, stmcResponseSuccess, [&](TqynSTUN_Message& m) {
    AddXorMapped(m, "192.0.2.1", 4500);
    SignLongTerm(m, kUser, kRealm, aPassword);
  });
}

// The server of the long-term mechanism: challenges a request without MESSAGE-INTEGRITY,
// answers a correctly signed one with a signed success.
std::vector<TqynBytes> LongTermServer(const TRequest& r, int /*aIndex*/) {
  if (!r.Has(stmaMesssage_Integrity)) return {Challenge(r, 401, "n0nce-1")};
  if (r.Message->MessageIntegrity() != stisMessageIntegrityValid) return {Challenge(r, 401, "n0nce-1")};
  return {SignedSuccess(r)};
}

class ChallengeRetry : public AuthClient, public ::testing::WithParamInterface<bool> {};

TEST_P(ChallengeRetry, The401IsAnsweredWithCredentialsInANewTransaction) {
  const bool fingerprint = GetParam();
  TFakeUDPServer server(LongTermServer, kPassword);
  Start(server.Port());
  Client.STUNOptions().Fingerprint = fingerprint;
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return Events.SuccessCount() == 1; }));
  ASSERT_EQ(server.Count(), 2u);
  EXPECT_EQ(Events.ErrorCount(), 0u) << "the challenge raises no error event";
  EXPECT_EQ(Events.ExceptionCount(), 0u);

  const TRequest first = server.Received(0);
  EXPECT_FALSE(first.Has(stmaUsername));
  EXPECT_FALSE(first.Has(stmaMesssage_Integrity));

  const TRequest second = server.Received(1);
  EXPECT_NE(second.TransactionId, first.TransactionId);
  std::vector<TqynStunMessageAttribute> expected = {stmaUsername, stmaRealm, stmaNonce, stmaMesssage_Integrity};
  if (fingerprint) expected.push_back(stmaFingerprint);
  EXPECT_EQ(second.Types, expected);
  EXPECT_EQ(second.Text(stmaUsername), kUser);
  EXPECT_EQ(second.Text(stmaRealm), kRealm);
  EXPECT_EQ(second.Text(stmaNonce), "n0nce-1");
  EXPECT_EQ(second.Message->MessageIntegrity(), stisMessageIntegrityValid);
  EXPECT_EQ(second.Message->Fingerprint(), fingerprint ? stfsFingerprintValid : stfsNone);
  EXPECT_EQ(second.Message->Header().MessageLength() + 20u, second.Bytes.size());

  EXPECT_EQ(Client.Realm(), kRealm);
  EXPECT_EQ(Client.Nonce(), "n0nce-1");
  ASSERT_TRUE(WaitUntil([&] { return TableCount(Client) == 0; }));

  // Later requests carry the credentials from the start.
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return Events.SuccessCount() == 2; }));
  ASSERT_EQ(server.Count(), 3u);
  EXPECT_EQ(server.Received(2).Text(stmaNonce), "n0nce-1");
  EXPECT_EQ(server.Received(2).Message->MessageIntegrity(), stisMessageIntegrityValid);
}

INSTANTIATE_TEST_SUITE_P(Fingerprint, ChallengeRetry, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "On" : "Off"; });

TEST_F(AuthClient, TheStoredKeyIsTheLongTermKeyAndAcceptsASignedAnswer) {
  std::atomic<bool> answer{false};
  TFakeUDPServer server([&](const TRequest& r, int aIndex) {
    if (aIndex == 0) return std::vector<TqynBytes>{Challenge(r, 401, "n1")};
    return answer.load() ? std::vector<TqynBytes>{SignedSuccess(r)} : std::vector<TqynBytes>{};
  });
  Start(server.Port());
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return server.Count() == 2; }));
  ASSERT_TRUE(WaitUntil([&] { return TableCount(Client) == 1; }));
  const auto item = Client.GetRequests()->GetRequest(server.Received(1).TransactionId);
  ASSERT_TRUE(item);
  EXPECT_EQ(item->Method(), stmmBinding);
  EXPECT_EQ(item->MessageIntegrityKey().size(), 16u);
  EXPECT_EQ(item->MessageIntegrityKey(), LongTermKey(kUser, kRealm, kPassword));
  EXPECT_EQ(item->Challenges(), 1);

  answer = true;
  Client.SendRequest(); // carries credentials; answered with a signed success
  ASSERT_TRUE(WaitUntil([&] { return Events.SuccessCount() == 1; }));
  EXPECT_EQ(Events.ExceptionCount(), 0u);
}

TEST_F(AuthClient, AWronglySignedAnswerIsReportedAndTheEntryStays) {
  TFakeUDPServer server([](const TRequest& r, int aIndex) {
    if (aIndex == 0) return std::vector<TqynBytes>{Challenge(r, 401, "n1")};
    return std::vector<TqynBytes>{SignedSuccess(r, "not the password")};
  });
  Start(server.Port());
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return Events.ExceptionCount() == 1; }));
  EXPECT_EQ(Events.ExceptionText(0), "Invalid Message Integrity");
  EXPECT_EQ(Events.SuccessCount(), 0u);
  EXPECT_EQ(TableCount(Client), 1);
  EXPECT_TRUE(Client.GetRequests()->GetRequest(server.Received(1).TransactionId));
}

TEST_F(AuthClient, ASignedAnswerToAnUnsignedRequestFailsItsCheck) {
  TFakeUDPServer server([](const TRequest& r, int) { return std::vector<TqynBytes>{SignedSuccess(r)}; });
  Start(server.Port(), stauNone);
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return Events.ExceptionCount() == 1; }));
  EXPECT_EQ(Events.ExceptionText(0), "Invalid Message Integrity");
  EXPECT_EQ(Events.SuccessCount(), 0u);
}

TEST_F(AuthClient, AStaleNonceIsRenewedOnce) {
  TFakeUDPServer server([](const TRequest& r, int aIndex) {
    if (aIndex == 0) return std::vector<TqynBytes>{Challenge(r, 401, "old")};
    if (aIndex == 1) return std::vector<TqynBytes>{Challenge(r, 438, "fresh")};
    return std::vector<TqynBytes>{SignedSuccess(r)};
  });
  Start(server.Port());
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return Events.SuccessCount() == 1; }));
  ASSERT_EQ(server.Count(), 3u);
  EXPECT_EQ(server.Received(1).Text(stmaNonce), "old");
  EXPECT_EQ(server.Received(2).Text(stmaNonce), "fresh");
  EXPECT_EQ(Client.Nonce(), "fresh");
  EXPECT_EQ(Events.ErrorCount(), 0u);
}

TEST_F(AuthClient, WrongCredentialsEndInOneReportedError) {
  // A server that challenges every request, as RFC 5389 asks for a wrong MESSAGE-INTEGRITY.
  TFakeUDPServer server([](const TRequest& r, int aIndex) {
    return std::vector<TqynBytes>{Challenge(r, 401, "n" + std::to_string(aIndex))};
  });
  Start(server.Port());
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return Events.ErrorCount() == 1; }));
  EXPECT_EQ(Events.Error(0).Error.FCode, 401);
  EXPECT_EQ(Events.Error(0).TransactionId, server.Received(2).TransactionId);
  // The first request plus one answer per allowed challenge.
  EXPECT_EQ(server.Count(), 1u + TqynSTUNClient_Base::DefaultMaxChallengeAnswers);
  std::this_thread::sleep_for(400ms);
  EXPECT_EQ(server.Count(), 1u + TqynSTUNClient_Base::DefaultMaxChallengeAnswers);
  EXPECT_EQ(Events.ErrorCount(), 1u);
  EXPECT_EQ(TableCount(Client), 0);

  // A new operation starts its own count: it carries the last nonce and is challenged again.
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return Events.ErrorCount() == 2; }));
  EXPECT_EQ(server.Count(), 2u * (1u + TqynSTUNClient_Base::DefaultMaxChallengeAnswers));
}

TEST_F(AuthClient, WithNoChallengeAnswersAllowedTheFirstChallengeIsReported) {
  TFakeUDPServer server([](const TRequest& r, int) { return std::vector<TqynBytes>{Challenge(r, 401, "n")}; });
  Start(server.Port());
  Client.SetMaxChallengeAnswers(0);
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return Events.ErrorCount() == 1; }));
  EXPECT_EQ(Events.Error(0).Error.FCode, 401);
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(server.Count(), 1u);
  EXPECT_EQ(Client.Realm(), "");
}

TEST_F(AuthClient, WithoutAnErrorHandlerTheBoundEndsSilently) {
  Client.OnSTUNResponseError = nullptr;
  TFakeUDPServer server([](const TRequest& r, int) { return std::vector<TqynBytes>{Challenge(r, 401, "n")}; });
  Start(server.Port());
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return server.Count() == 3u && TableCount(Client) == 0; }));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(server.Count(), 3u);
  EXPECT_EQ(Events.ExceptionCount(), 0u);
}

TEST_F(AuthClient, AChallengeWithoutNonceIsAnsweredButLeavesTheNonceEmpty) {
  TFakeUDPServer server([](const TRequest& r, int aIndex) {
    if (aIndex == 0) return std::vector<TqynBytes>{Challenge(r, 401, "")};
    return std::vector<TqynBytes>{};
  });
  Start(server.Port());
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return server.Count() == 2; }));
  ASSERT_TRUE(WaitUntil([&] { return Client.Realm() == kRealm; }));
  EXPECT_EQ(Client.Nonce(), "");
  // Without a nonce the next request goes out without credentials.
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return server.Count() == 3; }));
  EXPECT_FALSE(server.Received(2).Has(stmaUsername));
}

TEST_F(AuthClient, ShortTermCredentialsNameTheUserAndSignWithThePassword) {
  TFakeUDPServer server;
  Start(server.Port(), stauShortTermCredential);
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return server.Count() == 1; }));
  const TRequest r = server.Received(0);
  EXPECT_EQ(r.Types, (std::vector<TqynStunMessageAttribute>{stmaUsername, stmaMesssage_Integrity}));
  EXPECT_EQ(r.Text(stmaUsername), kUser);
  TqynSTUN_Message check;
  check.OnRequestMessageIntegrityKey = [](TqynSTUN_Message*, const std::string&, TqynBytes& Key) {
    Key = TqynBytes(kPassword.begin(), kPassword.end());
  };
  check.Read(r.Bytes);
  EXPECT_EQ(check.MessageIntegrity(), stisMessageIntegrityValid);
  const auto item = Client.GetRequests()->GetRequest(r.TransactionId);
  ASSERT_TRUE(item);
  EXPECT_EQ(item->MessageIntegrityKey(), TqynBytes(kPassword.begin(), kPassword.end()));
}

} // namespace
