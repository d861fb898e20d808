// qyn-test-labels: unit
// qyn-test-libs: qyn_stun_server
//
// Datagrams an attacker sends to the STUN server, with the outcome of each: which answer (if
// any) leaves the server and what is reported. The server runs with long-term credentials on a
// fake socket; the forged datagrams start from a genuine signed request and its real nonce.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "qynMessages.h"
#include "protocol/stun_forge_test_util.h"
#include "stun_server/stun_server_test_util.h"

using namespace qyn_forge;

namespace {

const std::string kRealm = "Qynwire";

// The application's users: alice has a password, guest an empty one, anybody else is unknown
// (the handler leaves the password empty, as the server window's does).
void Authorize(TqynComponent_Base*, TqynSTUN_Message*, const std::string& aUsername, const std::string&, std::string& Password) {
  if (aUsername == "alice") Password = "pw-of-alice";
  if (aUsername == "guest") Password.clear();
}

struct AttackFixture : ::testing::Test {
  TqynSTUNServer_Base Server;
  TFakeUDPSocket Socket;
  std::vector<std::string> Exceptions;

  AttackFixture() {
    Server.STUNOptions().Authentication.Enabled = true;
    Server.STUNOptions().Authentication.LongTermCredentials.Enabled = true;
    Server.OnSTUNException = [this](TqynComponent_Base*, const Exception& E) { Exceptions.push_back(E.Message()); };
    Server.OnSTUNRequestAuthorization = Authorize;
  }
  // The answers one datagram gets.
  std::vector<TqynBytes> Answers(const TqynBytes& aDatagram) {
    Socket.Sent.clear();
    Exceptions.clear();
    Server.UDPServerRead(nullptr, &Socket, aDatagram);
    return Socket.Sent;
  }
  std::string Nonce() {
    const auto out = Answers(BindingRequest());
    TqynSTUN_Message r;
    ReadResponse(out.at(0), r);
    return r.Attributes().GetAttribute<TqynSTUN_Attribute_NONCE>(stmaNonce)->Nonce();
  }
};

// A request of aType signed by aUser with aPassword (USERNAME, REALM, NONCE, MESSAGE-INTEGRITY,
// and FINGERPRINT when asked), aFill adding attributes first.
TqynBytes Signed(uint16_t aType, const std::string& aUser, const std::string& aPassword, const std::string& aNonce,
                 bool aFingerprint = true, const std::function<void(TqynSTUN_Message&)>& aFill = {}) {
  return BuildMessage(aType, QYN_STUN_MAGIC_COOKIE, kTestTransactionId, [&](TqynSTUN_Message& m) {
    if (aFill) aFill(m);
    m.SetUsername(aUser);
    m.SetRealm(kRealm);
    m.SetPassword(aPassword);
    m.SetNonce(aNonce);
    m.SetCredentials(stauLongTermCredential);
    if (aFingerprint) m.SetFingerprint(stfsFingerprintValid);
  });
}

TqynBytes WithLength(TqynBytes aBytes, long aDelta) {
  SetLengthField(aBytes, static_cast<size_t>(static_cast<long>(aBytes.size()) - 20 + aDelta));
  return aBytes;
}

TqynBytes ManyFingerprints(bool aLastRight) {
  TqynBytes b = BindingRequest();
  for (int i = 0; i < 1000; ++i) {
    const TqynBytes f = Frame(0x8028, {0xDE, 0xAD, 0xBE, 0xEF});
    b.insert(b.end(), f.begin(), f.end());
  }
  FixLength(b);
  if (aLastRight) RefreshFingerprint(b);
  return b;
}

} // namespace

TEST_F(AttackFixture, TableOfAttackerDatagrams) {
  const std::string nonce = Nonce();
  const TqynBytes genuine = Signed(0x0001, "alice", "pw-of-alice", nonce);
  const size_t mi = OffsetOf(genuine, 0x0008);
  const size_t fp = OffsetOf(genuine, 0x8028);
  const TqynBytes priority = Frame(0x0024, {0, 0, 0, 7});
  const TqynBytes otherUser = Frame(0x0006, {'m', 'a', 'l', 'l', 'o', 'r', 'y'});

  struct Row {
    const char* Name;
    TqynBytes Bytes;
    std::optional<uint16_t> Answer;        // type of the one answer, or none
    uint16_t ErrorCode;                    // its ERROR-CODE (0: a success)
    std::vector<std::string> Exceptions;   // reported through OnSTUNException
  };
  const std::vector<Row> rows = {
      {"genuine signed Binding", genuine, 0x0101, 0, {}},
      {"attribute inserted before MESSAGE-INTEGRITY", Inserted(genuine, mi, priority), 0x0111, 401, {RS_STUNInvalidMessageIntegrity}},
      {"USERNAME inserted before the signed one", Inserted(genuine, 20, otherUser), 0x0111, 401, {RS_STUNInvalidMessageIntegrity}},
      {"length field longer than the datagram", WithLength(genuine, 4), std::nullopt, 0, {}},
      {"length field shorter than the datagram", WithLength(genuine, -4), std::nullopt, 0, {}},
      {"length field hiding the FINGERPRINT", WithLength(genuine, -8), std::nullopt, 0, {}},
      {"USERNAME after MESSAGE-INTEGRITY", Inserted(genuine, fp, otherUser), 0x0101, 0, {}},
      {"attribute after FINGERPRINT (FINGERPRINT not last)", Inserted(genuine, genuine.size(), priority), 0x0101, 0, {}},
      {"1000 FINGERPRINT attributes, the last one right", ManyFingerprints(true), 0x0111, 401, {}},
      {"1000 FINGERPRINT attributes, all wrong", ManyFingerprints(false), std::nullopt, 0, {RS_STUNInvalidFingerprint}},
      {"unknown user signing with an empty password", Signed(0x0001, "mallory", "", nonce), 0x0111, 401, {}},
      {"known user, empty password instead of hers", Signed(0x0001, "alice", "", nonce), 0x0111, 401,
       {RS_STUNInvalidMessageIntegrity}},
      {"known user whose password is empty", Signed(0x0001, "guest", "", nonce), 0x0111, 401, {}},
      {"empty password without FINGERPRINT", Signed(0x0001, "mallory", "", nonce, false), 0x0111, 401, {}},
      {"20 bytes of 0xFF", TqynBytes(20, 0xFF), std::nullopt, 0, {}},
      {"8192 bytes of 0xFF", TqynBytes(8192, 0xFF), std::nullopt, 0, {}},
      {"first byte 0x40 on a Binding request", [&] {
         TqynBytes b = BindingRequest();
         b[0] = 0x40;
         return b;
       }(),
       std::nullopt, 0, {}},
      {"ChannelData-shaped", {0x40, 0x00, 0x00, 0x04, 0xDE, 0xAD, 0xBE, 0xEF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, std::nullopt,
       0, {}},
      {"first byte 0x80", [&] {
         TqynBytes b = BindingRequest();
         b[0] = 0x80;
         return b;
       }(),
       std::nullopt, 0, {}},
      {"Binding indication", BuildMessage(0x0011), std::nullopt, 0, {}},
      {"Send indication", BuildMessage(0x0016), std::nullopt, 0, {}},
      {"indication with MESSAGE-INTEGRITY but no NONCE", BuildMessage(0x0016, QYN_STUN_MAGIC_COOKIE, kTestTransactionId,
                                                                      [](TqynSTUN_Message& m) {
                                                                        m.Attributes().Add<TqynSTUN_Attribute_USERNAME>()->SetUsername("x");
                                                                        m.SetMessageIntegrity(stisMessageIntegrityValid);
                                                                      }),
       std::nullopt, 0, {RS_STUNInvalidMessageIntegrity}},
      {"success response", BuildMessage(0x0101), std::nullopt, 0, {}},
      {"error response", BuildMessage(0x0111), std::nullopt, 0, {}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.Name);
    const auto out = Answers(r.Bytes);
    EXPECT_EQ(Exceptions, r.Exceptions);
    if (!r.Answer) {
      EXPECT_TRUE(out.empty());
      continue;
    }
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(TypeField(out[0]), *r.Answer);
    TqynSTUN_Message response;
    ReadResponse(out[0], response);
    EXPECT_EQ(ErrorOf(response).first, r.ErrorCode);
    EXPECT_EQ(response.Header().TransactionId(), kTestTransactionId);
    if (r.ErrorCode == 401) {
      // A fresh nonce, and no signature made with a key that authenticates nobody.
      const auto* n = response.Attributes().GetAttribute<TqynSTUN_Attribute_NONCE>(stmaNonce);
      ASSERT_NE(n, nullptr);
      EXPECT_TRUE(IsUpperHex32(n->Nonce()));
      EXPECT_NE(n->Nonce(), nonce);
      EXPECT_EQ(response.Attributes().GetAttribute(stmaMesssage_Integrity), nullptr);
    }
  }
}

// A signed success answers with a signature the client can check, and its mapped address is the
// sender's: nothing of a forged part reaches it.
TEST_F(AttackFixture, AttributesAfterIntegrityDoNotReachTheAuthorization) {
  const std::string nonce = Nonce();
  const TqynBytes genuine = Signed(0x0001, "alice", "pw-of-alice", nonce);
  std::vector<std::string> asked;
  Server.OnSTUNRequestAuthorization = [&](TqynComponent_Base* S, TqynSTUN_Message* R, const std::string& aUsername,
                                          const std::string& aRealm, std::string& Password) {
    asked.push_back(aUsername);
    Authorize(S, R, aUsername, aRealm, Password);
  };
  const auto out = Answers(Inserted(genuine, OffsetOf(genuine, 0x8028), Frame(0x0006, {'m', 'a', 'l', 'l', 'o', 'r', 'y'})));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(asked, std::vector<std::string>{"alice"});
  TqynSTUN_Message r;
  const TqynBytes key = LongTermKeyOf("alice", kRealm, "pw-of-alice");
  ReadResponse(out[0], r, &key);
  EXPECT_EQ(r.MessageIntegrity(), stisMessageIntegrityValid);
}

// The gate is the same for every method it protects: a descendant serving Allocate through it
// (as the TURN server does) refuses an empty password the same way.
TEST(StunServerGate, EmptyPasswordIsRefusedForEveryProtectedMethod) {
  struct AllocatingServer : TqynSTUNServer_Base {
    int Served = 0;
    void ProcessRequest(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest, TqynSTUN_Message* aResponse) override {
      if (aRequest->Header().MessageType_Method() != stmmAllocate) return TqynSTUNServer_Base::ProcessRequest(aSocket, aRequest, aResponse);
      if (!CheckAuthentication(aSocket, aRequest, STUNOptions().Authentication, aResponse)) return;
      ++Served;
      SendSuccessResponse(aSocket, aRequest, aResponse);
    }
  } server;
  server.STUNOptions().Authentication.Enabled = true;
  server.STUNOptions().Authentication.LongTermCredentials.Enabled = true;
  server.OnSTUNRequestAuthorization = Authorize;
  TFakeUDPSocket s;
  server.UDPServerRead(nullptr, &s, BuildMessage(0x0003));
  TqynSTUN_Message challenge;
  ReadResponse(s.Last(), challenge);
  const std::string nonce = challenge.Attributes().GetAttribute<TqynSTUN_Attribute_NONCE>(stmaNonce)->Nonce();

  for (const char* user : {"mallory", "guest"}) {
    SCOPED_TRACE(user);
    s.Sent.clear();
    server.UDPServerRead(nullptr, &s, Signed(0x0003, user, "", nonce));
    ASSERT_EQ(s.Sent.size(), 1u);
    TqynSTUN_Message r;
    ReadResponse(s.Sent[0], r);
    EXPECT_EQ(TypeField(s.Sent[0]), 0x0113);
    EXPECT_EQ(ErrorOf(r).first, 401);
    EXPECT_NE(r.Attributes().GetAttribute(stmaNonce), nullptr);
  }
  EXPECT_EQ(server.Served, 0);
  s.Sent.clear();
  server.UDPServerRead(nullptr, &s, Signed(0x0003, "alice", "pw-of-alice", nonce));
  EXPECT_EQ(server.Served, 1);
}

// An ICE request's key comes from OnICEValidateMessageIntegrity, which the server does not serve:
// a digest keyed with the empty password does not pass the gate.
TEST_F(AttackFixture, IceRequestWithAnEmptyKeyIsChallenged) {
  const std::string nonce = Nonce();
  const TqynBytes ice = BuildMessage(0x0001, QYN_STUN_MAGIC_COOKIE, kTestTransactionId, [&](TqynSTUN_Message& m) {
    m.Attributes().Add<TqynSTUN_Attribute_ICE_CONTROLLED>();
    m.Attributes().Add<TqynSTUN_Attribute_USERNAME>()->SetUsername("alice");
    m.Attributes().Add<TqynSTUN_Attribute_NONCE>()->SetNonce(nonce);
    m.SetCredentials(stauShortTermCredential); // keyed with the empty ICE password
  });
  const auto out = Answers(ice);
  ASSERT_EQ(out.size(), 1u);
  TqynSTUN_Message r;
  ReadResponse(out[0], r);
  EXPECT_EQ(ErrorOf(r).first, 401);
}

// Indications and non-STUN datagrams are not answered, but a descendant still gets them: the
// TURN server takes Send indications in ProcessIndication and ChannelData in ProcessDatagram.
TEST(StunServerDescendant, IndicationsAndChannelDataStillReachTheDescendant) {
  struct Relay : TqynSTUNServer_Base {
    std::vector<TqynStunMessageMethod> Indications;
    int ChannelData = 0;
    void ProcessIndication(TqynUDPSocket*, TqynSTUN_Message* aRequest, TqynSTUN_Message*) override {
      Indications.push_back(aRequest->Header().MessageType_Method());
    }
    void ProcessDatagram(TqynUDPSocket* aSocket, const TqynBytes& Bytes) override {
      if (Bytes.size() >= 4 && (Bytes[0] & 0xF0) == 0x40) {
        ++ChannelData;
        return;
      }
      TqynSTUNServer_Base::ProcessDatagram(aSocket, Bytes);
    }
  } server;
  TFakeUDPSocket s;
  server.UDPServerRead(nullptr, &s, BuildMessage(0x0016));
  server.UDPServerRead(nullptr, &s, {0x40, 0x00, 0x00, 0x04, 1, 2, 3, 4});
  EXPECT_EQ(server.Indications, std::vector<TqynStunMessageMethod>{stmmSend});
  EXPECT_EQ(server.ChannelData, 1);
  EXPECT_TRUE(s.Sent.empty());
}
