// qyn-test-labels: unit
// qyn-test-libs: qyn_stun_server
//
// The authentication gate of the STUN server: challenges, nonces (valid, stale, unknown),
// refused attributes, integrity failures and the signing of responses to verified requests.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qynClock.h"
#include "qynMessages.h"
#include "stun_server/stun_server_test_util.h"

namespace {

const std::string kUser = "qyn_user";
const std::string kPassword = "kiwi_tea";
const std::string kRealm = "Qynwire";

struct AuthFixture : ::testing::Test {
  TqynSTUNServer_Base Server;
  TFakeUDPSocket Socket;
  std::vector<std::string> Exceptions;
  struct Authorization {
    TqynSTUN_Message* Request;
    TqynBytes TransactionId;
    std::string Username, Realm;
  };
  std::vector<Authorization> Authorizations;

  AuthFixture() {
    Server.STUNOptions().Authentication.Enabled = true;
    Server.STUNOptions().Authentication.LongTermCredentials.Enabled = true;
    Server.OnSTUNException = [this](TqynComponent_Base*, const Exception& E) { Exceptions.push_back(E.Message()); };
    Server.OnSTUNRequestAuthorization = [this](TqynComponent_Base* Sender, TqynSTUN_Message* aRequest, const std::string& aUsername,
                                               const std::string& aRealm, std::string& Password) {
      EXPECT_EQ(Sender, &Server);
      Authorizations.push_back({aRequest, aRequest->Header().TransactionId(), aUsername, aRealm});
      if (aUsername == kUser) Password = kPassword;
    };
  }
  ~AuthFixture() override { QynClockReset(); }

  // Sends the datagram and returns the one response it got (empty when none).
  TqynBytes Exchange(const TqynBytes& aRequest) {
    Socket.Sent.clear();
    Server.UDPServerRead(nullptr, &Socket, aRequest);
    EXPECT_LE(Socket.Sent.size(), 1u);
    return Socket.Sent.empty() ? TqynBytes() : Socket.Sent[0];
  }
  // A nonce from a first, unauthenticated request.
  std::string Challenge() {
    TqynSTUN_Message r;
    ReadResponse(Exchange(BindingRequest()), r);
    const auto* n = r.Attributes().GetAttribute<TqynSTUN_Attribute_NONCE>(stmaNonce);
    return n ? n->Nonce() : std::string();
  }
};

// A Binding request with USERNAME, REALM, NONCE and MESSAGE-INTEGRITY (and FINGERPRINT).
TqynBytes SignedBinding(const std::string& aNonce, bool aFingerprint, const std::string& aPassword = kPassword,
                        const std::string& aUser = kUser, const std::string& aRealm = kRealm,
                        const TqynBytes& aTransactionId = kTestTransactionId) {
  return BuildMessage(0x0001, QYN_STUN_MAGIC_COOKIE, aTransactionId, [&](TqynSTUN_Message& m) {
    m.SetUsername(aUser);
    m.SetRealm(aRealm);
    m.SetPassword(aPassword);
    m.SetNonce(aNonce);
    if (aFingerprint) {
      // The codec appends USERNAME, REALM, NONCE, MESSAGE-INTEGRITY and FINGERPRINT.
      m.SetFingerprint(stfsFingerprintValid);
      m.SetCredentials(stauLongTermCredential);
    } else {
      m.Attributes().Add<TqynSTUN_Attribute_USERNAME>()->SetUsername(aUser);
      m.Attributes().Add<TqynSTUN_Attribute_REALM>()->SetRealm(aRealm);
      m.Attributes().Add<TqynSTUN_Attribute_NONCE>()->SetNonce(aNonce);
      m.SetMessageIntegrity(stisMessageIntegrityValid);
    }
  });
}

std::string NonceOf(const TqynSTUN_Message& aMessage) {
  const auto* n = aMessage.Attributes().GetAttribute<TqynSTUN_Attribute_NONCE>(stmaNonce);
  return n ? n->Nonce() : std::string();
}

// ---- Challenges -------------------------------------------------------------------------------

TEST_F(AuthFixture, FirstRequestIsChallengedWithNonceAndRealm) {
  const TqynBytes out = Exchange(BindingRequest());
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(TypeField(out), 0x0111);
  TqynSTUN_Message r;
  ReadResponse(out, r);
  EXPECT_EQ(AttributeTypes(r), (std::vector<TqynStunMessageAttribute>{stmaNonce, stmaRealm, stmaError_Code, stmaSoftware}));
  EXPECT_TRUE(IsUpperHex32(NonceOf(r))) << NonceOf(r);
  EXPECT_EQ(r.Attributes().GetAttribute<TqynSTUN_Attribute_REALM>(stmaRealm)->Realm(), "Qynwire");
  EXPECT_EQ(ErrorOf(r), std::make_pair(uint16_t{401}, std::string("Unauthorized")));
  EXPECT_EQ(r.Header().TransactionId(), kTestTransactionId);
  EXPECT_EQ(r.MessageIntegrity(), stisNone);
  EXPECT_TRUE(Exceptions.empty());
  EXPECT_TRUE(Authorizations.empty());
  // Every challenge hands out a new nonce.
  EXPECT_NE(Challenge(), NonceOf(r));
}

TEST_F(AuthFixture, AuthenticationOffLetsEveryRequestPass) {
  Server.STUNOptions().Authentication.Enabled = false;
  TqynSTUN_Message r;
  ReadResponse(Exchange(BindingRequest()), r);
  EXPECT_EQ(r.Header().MessageType_Class(), stmcResponseSuccess);
}

TEST_F(AuthFixture, GateWithoutLongTermCredentialsRefusesEverything) {
  Server.STUNOptions().Authentication.LongTermCredentials.Enabled = false;
  for (const TqynBytes& request : {BindingRequest(), SignedBinding("ABC", false)}) {
    TqynSTUN_Message r;
    ReadResponse(Exchange(request), r);
    // No REALM and NONCE (a verified request's answer carries MESSAGE-INTEGRITY after these).
    const auto types = AttributeTypes(r);
    ASSERT_GE(types.size(), 2u);
    EXPECT_EQ(std::vector<TqynStunMessageAttribute>(types.begin(), types.begin() + 2),
              (std::vector<TqynStunMessageAttribute>{stmaError_Code, stmaSoftware}));
    EXPECT_EQ(r.Attributes().GetAttribute(stmaNonce), nullptr);
    EXPECT_EQ(r.Attributes().GetAttribute(stmaRealm), nullptr);
    EXPECT_EQ(ErrorOf(r).first, 401);
  }
}

TEST_F(AuthFixture, RefusedAttributesGet420BeforeAnyCredentialCheck) {
  struct Case {
    const char* Name;
    std::vector<TqynStunMessageAttribute> Add;
    TqynBytes Listed;
  };
  const std::vector<Case> cases = {
      {"PASSWORD-ALGORITHM", {stmaPassword_Algorithm}, {0x00, 0x1D}},
      {"USERHASH", {stmaUserhash}, {0x00, 0x1E}},
      {"both", {stmaUserhash, stmaPassword_Algorithm}, {0x00, 0x1D, 0x00, 0x1E}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const TqynBytes out = Exchange(BindingRequest([&](TqynSTUN_Message& m) {
      for (auto t : c.Add) m.Attributes().Add(CreateAttributeOfType(t));
    }));
    ASSERT_FALSE(out.empty());
    TqynSTUN_Message r;
    ReadResponse(out, r);
    EXPECT_EQ(AttributeTypes(r), (std::vector<TqynStunMessageAttribute>{stmaUnknown_Attributes, stmaError_Code, stmaSoftware}));
    EXPECT_EQ(ErrorOf(r), std::make_pair(uint16_t{420}, std::string("Unknown Attribute")));
    // UNKNOWN-ATTRIBUTES is the first attribute: type 000A, then the listed codes.
    ASSERT_GE(out.size(), 24u + c.Listed.size());
    EXPECT_EQ(TqynBytes(out.begin() + 20, out.begin() + 24),
              (TqynBytes{0x00, 0x0A, 0x00, static_cast<uint8_t>(c.Listed.size())}));
    EXPECT_EQ(TqynBytes(out.begin() + 24, out.begin() + 24 + static_cast<long>(c.Listed.size())), c.Listed);
  }
  EXPECT_EQ(Server.GetNonces()->Count(), 0);
}

// ---- Retries with credentials ---------------------------------------------------------------

TEST_F(AuthFixture, RetryWithNonceAndIntegritySucceedsAndTheResponseIsSigned) {
  for (bool fingerprint : {false, true}) {
    SCOPED_TRACE(fingerprint ? "with FINGERPRINT" : "without FINGERPRINT");
    Authorizations.clear();
    const std::string nonce = Challenge();
    const TqynBytes out = Exchange(SignedBinding(nonce, fingerprint));
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(TypeField(out), 0x0101);

    ASSERT_EQ(Authorizations.size(), 1u);
    EXPECT_EQ(Authorizations[0].TransactionId, kTestTransactionId);
    EXPECT_EQ(Authorizations[0].Username, kUser);
    EXPECT_EQ(Authorizations[0].Realm, kRealm);

    // The client verifies the response with the key of its own credentials.
    const TqynBytes key = LongTermKeyOf(kUser, kRealm, kPassword);
    TqynSTUN_Message r;
    ReadResponse(out, r, &key);
    EXPECT_EQ(r.MessageIntegrity(), stisMessageIntegrityValid);
    std::vector<TqynStunMessageAttribute> expected = {stmaXOR_Mapped_Address, stmaMapped_Address, stmaResponse_Origin,
                                                      stmaSource_Address, stmaSoftware, stmaMesssage_Integrity};
    if (fingerprint) expected.push_back(stmaFingerprint);
    EXPECT_EQ(AttributeTypes(r), expected);
    EXPECT_EQ(r.Fingerprint(), fingerprint ? stfsFingerprintValid : stfsNone);
    // The response names no credentials.
    EXPECT_EQ(r.Attributes().GetAttribute(stmaUsername), nullptr);
    EXPECT_EQ(r.Attributes().GetAttribute(stmaNonce), nullptr);

    // A wrong key does not verify it.
    const TqynBytes wrong = LongTermKeyOf(kUser, kRealm, "other");
    TqynSTUN_Message r2;
    ReadResponse(out, r2, &wrong);
    EXPECT_EQ(r2.MessageIntegrity(), stisMessageIntegrityInvalid);

    // The nonce stays valid for further requests.
    TqynSTUN_Message r3;
    ReadResponse(Exchange(SignedBinding(nonce, fingerprint)), r3);
    EXPECT_EQ(r3.Header().MessageType_Class(), stmcResponseSuccess);
  }
  EXPECT_TRUE(Exceptions.empty());
}

TEST_F(AuthFixture, VerifiedRequestIsSignedAlsoWithAuthenticationOff) {
  Server.STUNOptions().Authentication.Enabled = false;
  const TqynBytes out = Exchange(SignedBinding("any nonce", true));
  const TqynBytes key = LongTermKeyOf(kUser, kRealm, kPassword);
  TqynSTUN_Message r;
  ReadResponse(out, r, &key);
  EXPECT_EQ(r.Header().MessageType_Class(), stmcResponseSuccess);
  EXPECT_EQ(r.MessageIntegrity(), stisMessageIntegrityValid);
  EXPECT_EQ(r.Fingerprint(), stfsFingerprintValid);
}

// A request under short-term credentials (MESSAGE-INTEGRITY-SHA256 without REALM, RFC 8489): the
// password itself is the key, and the response is signed with it.
TEST_F(AuthFixture, ShortTermRequestGetsResponseKeyedWithThePassword) {
  Server.STUNOptions().Authentication.Enabled = false;
  Server.OnSTUNRequestAuthorization = [](TqynComponent_Base*, TqynSTUN_Message*, const std::string& aUsername,
                                         const std::string& aRealm, std::string& Password) {
    EXPECT_TRUE(aUsername.empty());
    EXPECT_TRUE(aRealm.empty());
    Password = "short";
  };
  const std::string password = "short";
  const TqynBytes key(password.begin(), password.end());
  for (bool fingerprint : {false, true}) {
    SCOPED_TRACE(fingerprint ? "with FINGERPRINT" : "without FINGERPRINT");
    TqynBytes request = BuildMessage(0x0001);
    request[3] = 36; // length covering MESSAGE-INTEGRITY-SHA256
    uint8_t digest[32];
    TIdHMACSHA256::HashValue(key.data(), key.size(), request.data(), request.size(), digest);
    QynAppendUInt16BE(request, 0x001C);
    QynAppendUInt16BE(request, 32);
    QynAppendBytes(request, digest, 32);
    if (fingerprint) {
      request[3] = 44;
      QynAppendUInt16BE(request, 0x8028);
      QynAppendUInt16BE(request, 4);
      QynAppendUInt32BE(request, QynCRC32(request.data(), request.size() - 4) ^ QYN_STUN_FINGERPRINT_XOR);
    }
    const TqynBytes out = Exchange(request);
    ASSERT_FALSE(out.empty()) << (Exceptions.empty() ? "" : Exceptions[0]);
    TqynSTUN_Message r;
    ReadResponse(out, r, &key);
    EXPECT_EQ(r.Header().MessageType_Class(), stmcResponseSuccess);
    EXPECT_EQ(r.MessageIntegrity(), stisMessageIntegrityValid);
    EXPECT_EQ(r.Fingerprint(), fingerprint ? stfsFingerprintValid : stfsNone);
  }
  EXPECT_TRUE(Exceptions.empty());
}

// A wrong digest is refused with 401 and a new nonce (unsigned: the client's key is not known),
// so that the client learns of it, and reported; with authentication off nothing is answered.
TEST_F(AuthFixture, WrongIntegrityGets401AndIsReported) {
  const std::string nonce = Challenge();
  const auto refused = [&](const TqynBytes& aRequest) {
    Exceptions.clear();
    const TqynBytes out = Exchange(aRequest);
    ASSERT_FALSE(out.empty());
    TqynSTUN_Message r;
    ReadResponse(out, r);
    EXPECT_EQ(ErrorOf(r).first, 401);
    const auto* n = r.Attributes().GetAttribute<TqynSTUN_Attribute_NONCE>(stmaNonce);
    ASSERT_NE(n, nullptr);
    EXPECT_NE(n->Nonce(), nonce);
    EXPECT_NE(r.Attributes().GetAttribute(stmaRealm), nullptr);
    EXPECT_EQ(r.Attributes().GetAttribute(stmaMesssage_Integrity), nullptr);
    EXPECT_EQ(Exceptions, std::vector<std::string>{"Invalid Message Integrity"});
  };
  for (bool fingerprint : {false, true}) refused(SignedBinding(nonce, fingerprint, "wrong password"));
  // An unknown user gets an empty password from the handler: also wrong.
  refused(SignedBinding(nonce, false, kPassword, "stranger"));

  Server.STUNOptions().Authentication.Enabled = false;
  Exceptions.clear();
  EXPECT_TRUE(Exchange(SignedBinding(nonce, false, "wrong password")).empty());
  EXPECT_EQ(Exceptions, std::vector<std::string>{"Invalid Message Integrity"});
}

TEST_F(AuthFixture, IntegrityWithoutUsernameRealmOrNonceGets400) {
  const std::string nonce = Challenge();
  for (bool fingerprintOption : {false, true}) {
    Server.STUNOptions().Fingerprint = fingerprintOption;
    for (int missing = 0; missing < 3; ++missing) {
      SCOPED_TRACE(missing);
      Exceptions.clear();
      const TqynBytes request = BindingRequest([&](TqynSTUN_Message& m) {
        if (missing != 0) m.Attributes().Add<TqynSTUN_Attribute_USERNAME>()->SetUsername(kUser);
        if (missing != 1) m.Attributes().Add<TqynSTUN_Attribute_REALM>()->SetRealm(kRealm);
        if (missing != 2) m.Attributes().Add<TqynSTUN_Attribute_NONCE>()->SetNonce(nonce);
        m.SetUsername(kUser);
        m.SetRealm(kRealm);
        m.SetPassword(kPassword);
        m.SetMessageIntegrity(stisMessageIntegrityValid);
      });
      const TqynBytes out = Exchange(request);
      ASSERT_FALSE(out.empty());
      EXPECT_EQ(TypeField(out), 0x0111);
      TqynSTUN_Message r;
      ReadResponse(out, r);
      EXPECT_EQ(ErrorOf(r).first, 400);
      EXPECT_EQ(r.Fingerprint(), fingerprintOption ? stfsFingerprintValid : stfsNone);
      EXPECT_EQ(r.Attributes().GetAttribute(stmaMesssage_Integrity), nullptr);
      EXPECT_EQ(Exceptions, std::vector<std::string>{"Invalid Message Integrity"});
    }
  }
}

// ---- Nonce states -----------------------------------------------------------------------------

TEST_F(AuthFixture, ValidNonceWithoutIntegrityIsChallengedAgain) {
  const std::string nonce = Challenge();
  TqynSTUN_Message r;
  ReadResponse(Exchange(BindingRequest([&](TqynSTUN_Message& m) { m.Attributes().Add<TqynSTUN_Attribute_NONCE>()->SetNonce(nonce); })), r);
  EXPECT_EQ(AttributeTypes(r), (std::vector<TqynStunMessageAttribute>{stmaNonce, stmaRealm, stmaError_Code, stmaSoftware}));
  EXPECT_EQ(ErrorOf(r).first, 401);
  EXPECT_NE(NonceOf(r), nonce);
}

TEST_F(AuthFixture, UnknownNonceGets401WithANewNonce) {
  const std::string made = "00000000000000000000000000000000";
  TqynSTUN_Message r;
  ReadResponse(Exchange(SignedBinding(made, false)), r);
  EXPECT_EQ(ErrorOf(r).first, 401);
  EXPECT_EQ(AttributeTypes(r).front(), stmaNonce);
  EXPECT_NE(NonceOf(r), made);
  // The request's integrity was verified, so even the challenge is signed with its credentials.
  const TqynBytes key = LongTermKeyOf(kUser, kRealm, kPassword);
  TqynSTUN_Message signedR;
  ReadResponse(Exchange(SignedBinding(made, false)), signedR, &key);
  EXPECT_EQ(signedR.MessageIntegrity(), stisMessageIntegrityValid);
}

TEST_F(AuthFixture, ExpiredNonceGets438ThenTheOldNonceIsUnknown) {
  Server.STUNOptions().Authentication.LongTermCredentials.StaleNonce = 1;
  const std::string nonce = Challenge();
  QynClockShift(2000);
  TqynSTUN_Message r;
  ReadResponse(Exchange(SignedBinding(nonce, true)), r);
  EXPECT_EQ(ErrorOf(r), std::make_pair(uint16_t{438}, std::string("Stale Nonce")));
  EXPECT_EQ(AttributeTypes(r).front(), stmaNonce);
  EXPECT_EQ(r.Attributes().GetAttribute<TqynSTUN_Attribute_REALM>(stmaRealm)->Realm(), kRealm);
  const std::string fresh = NonceOf(r);
  EXPECT_NE(fresh, nonce);

  TqynSTUN_Message r2;
  ReadResponse(Exchange(SignedBinding(nonce, true)), r2);
  EXPECT_EQ(ErrorOf(r2).first, 401);

  // The new nonce works.
  TqynSTUN_Message r3;
  ReadResponse(Exchange(SignedBinding(fresh, true)), r3);
  EXPECT_EQ(r3.Header().MessageType_Class(), stmcResponseSuccess);
}

// A descendant that authenticates its own method with its own options, as the TURN server does.
struct TurnLikeServer : TqynSTUNServer_Base {
  TqynSTUNServer_Authentication OwnAuthentication;
  TurnLikeServer() {
    OwnAuthentication.Enabled = true;
    OwnAuthentication.LongTermCredentials.Enabled = true;
  }
  void ProcessRequest(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest, TqynSTUN_Message* aResponse) override {
    if (aRequest->Header().MessageType_Method() != stmmAllocate) return TqynSTUNServer_Base::ProcessRequest(aSocket, aRequest, aResponse);
    if (CheckAuthentication(aSocket, aRequest, OwnAuthentication, aResponse)) SendSuccessResponse(aSocket, aRequest, aResponse);
  }
};

TEST(StunServerNonceLifetime, OnlyTheSTUNOptionsStaleNonceCounts) {
  auto run = [](int aStunStale, int aOwnStale) {
    TurnLikeServer server;
    server.STUNOptions().Authentication.LongTermCredentials.StaleNonce = aStunStale;
    server.OwnAuthentication.LongTermCredentials.StaleNonce = aOwnStale;
    server.OnSTUNRequestAuthorization = [](TqynComponent_Base*, TqynSTUN_Message*, const std::string&, const std::string&,
                                           std::string& Password) { Password = kPassword; };
    TFakeUDPSocket s;
    server.UDPServerRead(nullptr, &s, BuildMessage(0x0003));
    TqynSTUN_Message challenge;
    ReadResponse(s.Last(), challenge);
    const std::string nonce = NonceOf(challenge);
    QynClockShift(2000);
    const TqynBytes retry = BuildMessage(0x0003, QYN_STUN_MAGIC_COOKIE, kTestTransactionId, [&](TqynSTUN_Message& m) {
      m.SetUsername(kUser);
      m.SetRealm(kRealm);
      m.SetPassword(kPassword);
      m.SetNonce(nonce);
      m.SetFingerprint(stfsFingerprintValid);
      m.SetCredentials(stauLongTermCredential);
    });
    server.UDPServerRead(nullptr, &s, retry);
    QynClockReset();
    TqynSTUN_Message r;
    ReadResponse(s.Last(), r);
    return r.Header().MessageType_Class() == stmcResponseSuccess ? 0 : ErrorOf(r).first;
  };
  EXPECT_EQ(run(600, 1), 0);   // the descendant's own StaleNonce does not shorten the lifetime
  EXPECT_EQ(run(1, 600), 438); // the STUN options' value governs both sides
}

// ---- Bounded nonce list -----------------------------------------------------------------------

TEST_F(AuthFixture, FloodOfUnauthenticatedRequestsKeepsTheNonceListBounded) {
  Server.GetNonces()->SetMaxCount(1000);
  std::string last;
  for (int i = 0; i < 5000; ++i) {
    TqynBytes id = kTestTransactionId;
    id[0] = static_cast<uint8_t>(i);
    id[1] = static_cast<uint8_t>(i >> 8);
    TqynSTUN_Message r;
    ReadResponse(Exchange(BuildMessage(0x0001, QYN_STUN_MAGIC_COOKIE, id)), r);
    ASSERT_EQ(ErrorOf(r).first, 401);
    last = NonceOf(r);
    ASSERT_LE(Server.GetNonces()->Count(), 1000);
  }
  // The latest nonces are still honoured.
  TqynSTUN_Message ok;
  ReadResponse(Exchange(SignedBinding(last, false)), ok);
  EXPECT_EQ(ok.Header().MessageType_Class(), stmcResponseSuccess);

  // Once they are long expired, the next challenge clears them out.
  QynClockShift(2LL * 600 * 1000 + 2000);
  Challenge();
  EXPECT_EQ(Server.GetNonces()->Count(), 1);
}

} // namespace
