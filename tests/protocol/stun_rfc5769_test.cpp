// qyn-test-labels: unit
// The test vectors of RFC 5769 ("Test Vectors for STUN"), byte for byte as the RFC prints them.
#include <gtest/gtest.h>

#include <string>

#include "qynId_Hash.h"
#include "qynMessages.h"
#include "qynP2P_STUN_Classes.h"

namespace {

TqynBytes Hex(const std::string& aText) {
  TqynBytes out;
  int hi = -1;
  for (char c : aText) {
    int v;
    if (c >= '0' && c <= '9') v = c - '0';
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    else continue;
    if (hi < 0) hi = v;
    else {
      out.push_back(static_cast<uint8_t>(hi << 4 | v));
      hi = -1;
    }
  }
  return out;
}

const char* const kPassword = "VOkJxbRl1RmTxUk/WvJxBt";

// 2.1 Sample Request: SOFTWARE "STUN test client", PRIORITY, ICE-CONTROLLED, USERNAME "evtj:h6vY",
// MESSAGE-INTEGRITY, FINGERPRINT. The padding bytes are 0x20, as the RFC chose.
const TqynBytes kRequest = Hex(
    "00 01 00 58  21 12 a4 42  b7 e7 a7 01  bc 34 d6 86  fa 87 df ae"
    "80 22 00 10  53 54 55 4e  20 74 65 73  74 20 63 6c  69 65 6e 74"
    "00 24 00 04  6e 00 01 ff"
    "80 29 00 08  93 2f f9 b1  51 26 3b 36"
    "00 06 00 09  65 76 74 6a  3a 68 36 76  59 20 20 20"
    "00 08 00 14  9a ea a7 0c  bf d8 cb 56  78 1e f2 b5  b2 d3 f2 49  c1 b5 71 a2"
    "80 28 00 04  e5 7a 3b cf");

// 2.2 Sample IPv4 Response: SOFTWARE "test vector", XOR-MAPPED-ADDRESS 192.0.2.1:32853.
const TqynBytes kResponseIPv4 = Hex(
    "01 01 00 3c  21 12 a4 42  b7 e7 a7 01  bc 34 d6 86  fa 87 df ae"
    "80 22 00 0b  74 65 73 74  20 76 65 63  74 6f 72 20"
    "00 20 00 08  00 01 a1 47  e1 12 a6 43"
    "00 08 00 14  2b 91 f5 99  fd 9e 90 c3  8c 74 89 f9  2a f9 ba 53  f0 6b e7 d7"
    "80 28 00 04  c0 7d 4c 96");

// 2.3 Sample IPv6 Response: XOR-MAPPED-ADDRESS [2001:db8:1234:5678:11:2233:4455:6677]:32853.
const TqynBytes kResponseIPv6 = Hex(
    "01 01 00 48  21 12 a4 42  b7 e7 a7 01  bc 34 d6 86  fa 87 df ae"
    "80 22 00 0b  74 65 73 74  20 76 65 63  74 6f 72 20"
    "00 20 00 14  00 02 a1 47  01 13 a9 fa  a5 d3 f1 79  bc 25 f4 b5  be d2 b9 d9"
    "00 08 00 14  a3 82 95 4e  4b e6 7b f1  17 84 c9 7c  82 92 c2 75  bf e3 ed 41"
    "80 28 00 04  c8 fb 0b 4c");

// 2.4 Sample Request with Long-Term Authentication: USERNAME U+30DE U+30C8 U+30EA U+30C3 U+30AF
// U+30B9 (UTF-8, 18 bytes), NONCE "f//499k954d6OL34oL9FSTvy64sA", REALM "example.org",
// MESSAGE-INTEGRITY; no FINGERPRINT. The password is "The<U+00AD>M<U+00AA>trIX", "TheMatrIX" after
// SASLprep.
const TqynBytes kLongTermRequest = Hex(
    "00 01 00 60  21 12 a4 42  78 ad 34 33  c6 ad 72 c0  29 da 41 2e"
    "00 06 00 12  e3 83 9e e3  83 88 e3 83  aa e3 83 83  e3 82 af e3  82 b9 00 00"
    "00 15 00 1c  66 2f 2f 34  39 39 6b 39  35 34 64 36  4f 4c 33 34  6f 4c 39 46  53 54 76 79  36 34 73 41"
    "00 14 00 0b  65 78 61 6d  70 6c 65 2e  6f 72 67 00"
    "00 08 00 14  f6 70 24 65  6d d6 4a 3e  02 b8 e0 71  2e 85 c9 a2  8c a8 96 66");

const std::string kLongTermUsername = "\xE3\x83\x9E\xE3\x83\x88\xE3\x83\xAA\xE3\x83\x83\xE3\x82\xAF\xE3\x82\xB9";

// Short-term credentials without ICE attributes: the key event gives the password's bytes.
void UseShortTermKey(TqynSTUN_Message& aMessage, std::string aPassword, std::string* aSeenTransaction = nullptr) {
  aMessage.OnRequestMessageIntegrityKey = [aPassword, aSeenTransaction, &aMessage](TqynSTUN_Message* Sender, const std::string& aTransactionId,
                                                                                 TqynBytes& MessageIntegrityKey) {
    EXPECT_EQ(Sender, &aMessage);
    EXPECT_TRUE(MessageIntegrityKey.empty());
    if (aSeenTransaction) *aSeenTransaction = aTransactionId;
    MessageIntegrityKey.assign(aPassword.begin(), aPassword.end());
  };
}

// The ICE path: the request carries ICE-CONTROLLED, so the password comes from
// OnICEValidateMessageIntegrity for the received USERNAME.
void UseIcePassword(TqynSTUN_Message& aMessage, std::string aPassword, std::string* aSeenUser = nullptr) {
  aMessage.OnICEValidateMessageIntegrity = [aPassword, aSeenUser, &aMessage](TqynSTUN_Message* Sender, const std::string& aUsername,
                                                                            std::string& Password) {
    EXPECT_EQ(Sender, &aMessage);
    EXPECT_TRUE(Password.empty());
    if (aSeenUser) *aSeenUser = aUsername;
    Password = aPassword;
  };
}

template <class T> T* Get(TqynSTUN_Message& m, TqynStunMessageAttribute t) {
  return m.Attributes().GetAttribute<T>(t);
}

} // namespace

TEST(Rfc5769, SampleRequestDecodesWithValidFingerprintAndIntegrity) {
  TqynSTUN_Message m;
  std::string user;
  UseIcePassword(m, kPassword, &user);
  m.Read(kRequest);
  EXPECT_EQ(m.Header().MessageType(), 0x0001);
  EXPECT_EQ(m.Header().MessageType_Method(), stmmBinding);
  EXPECT_EQ(m.Header().MessageType_Class(), stmcRequest);
  EXPECT_EQ(m.Header().MessageLength(), 0x58);
  EXPECT_EQ(m.Header().MagicCookie(), QYN_STUN_MAGIC_COOKIE);
  EXPECT_EQ(m.Header().TransactionId(), Hex("b7e7a701bc34d686fa87dfae"));
  EXPECT_TRUE(m.ICERequest());

  ASSERT_EQ(m.Attributes().Count(), 6u);
  const TqynStunMessageAttribute order[] = {stmaSoftware,           stmaPriority,   stmaICE_Controlled,
                                            stmaUsername,           stmaMesssage_Integrity, stmaFingerprint};
  for (size_t i = 0; i < 6; ++i) EXPECT_EQ(m.Attributes()[i]->AttributeType(), order[i]) << i;
  EXPECT_EQ(Get<TqynSTUN_Attribute_SOFTWARE>(m, stmaSoftware)->Software(), "STUN test client");
  EXPECT_EQ(Get<TqynSTUN_Attribute_PRIORITY>(m, stmaPriority)->Priority(), 0x6e0001ffu);
  EXPECT_EQ(Get<TqynSTUN_Attribute_ICE_CONTROLLED>(m, stmaICE_Controlled)->TieBreaker(), Hex("932ff9b151263b36"));
  EXPECT_EQ(Get<TqynSTUN_Attribute_USERNAME>(m, stmaUsername)->Username(), "evtj:h6vY");
  EXPECT_EQ(Get<TqynSTUN_Attribute_FINGERPRINT>(m, stmaFingerprint)->Fingerprint(), 0xe57a3bcfu);

  EXPECT_EQ(user, "evtj:h6vY");
  EXPECT_EQ(m.Fingerprint(), stfsFingerprintValid);
  EXPECT_EQ(m.MessageIntegrity(), stisMessageIntegrityValid);
  EXPECT_EQ(m.MessageIntegritySHA256(), stisNone);
}

TEST(Rfc5769, SampleRequestWithoutIceUsernameOrWithWrongPassword) {
  {
    TqynSTUN_Message m;
    UseIcePassword(m, "wrong password");
    m.Read(kRequest);
    EXPECT_EQ(m.Fingerprint(), stfsFingerprintValid);
    EXPECT_EQ(m.MessageIntegrity(), stisMessageIntegrityInvalid);
  }
  {
    // The ICE path takes precedence over the key event.
    TqynSTUN_Message m;
    UseIcePassword(m, kPassword);
    UseShortTermKey(m, "not used");
    m.Read(kRequest);
    EXPECT_EQ(m.MessageIntegrity(), stisMessageIntegrityValid);
  }
  {
    // Unassigned ICE event: the key is empty and does not match.
    TqynSTUN_Message m;
    m.Read(kRequest);
    EXPECT_EQ(m.MessageIntegrity(), stisMessageIntegrityInvalid);
  }
}

TEST(Rfc5769, SampleResponsesDecodeWithValidFingerprintAndIntegrity) {
  struct Row {
    const char* Name;
    const TqynBytes* Bytes;
    uint16_t Family;
    const char* Address;
  };
  const Row rows[] = {{"IPv4", &kResponseIPv4, 1, "192.0.2.1"}, {"IPv6", &kResponseIPv6, 2, "2001:db8:1234:5678:11:2233:4455:6677"}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.Name);
    TqynSTUN_Message m;
    std::string seen;
    UseShortTermKey(m, kPassword, &seen);
    m.Read(*r.Bytes);
    EXPECT_EQ(m.Header().MessageType_Method(), stmmBinding);
    EXPECT_EQ(m.Header().MessageType_Class(), stmcResponseSuccess);
    EXPECT_FALSE(m.ICERequest());
    ASSERT_EQ(m.Attributes().Count(), 4u);
    EXPECT_EQ(Get<TqynSTUN_Attribute_SOFTWARE>(m, stmaSoftware)->Software(), "test vector");
    auto* x = Get<TqynSTUN_Attribute_XOR_MAPPED_ADDRESS>(m, stmaXOR_Mapped_Address);
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(x->Family(), r.Family);
    EXPECT_EQ(x->Port(), 32853);
    EXPECT_EQ(x->Address(), r.Address);
    EXPECT_EQ(seen, std::string(kResponseIPv4.begin() + 8, kResponseIPv4.begin() + 20)); // no zero byte in this id
    EXPECT_EQ(m.Fingerprint(), stfsFingerprintValid);
    EXPECT_EQ(m.MessageIntegrity(), stisMessageIntegrityValid);

    // Without the key event, a response without USERNAME, REALM and NONCE cannot be checked.
    TqynSTUN_Message noKey;
    noKey.Read(*r.Bytes);
    EXPECT_EQ(noKey.Fingerprint(), stfsFingerprintValid);
    EXPECT_EQ(noKey.MessageIntegrity(), stisMessageIntegrityInvalidRequest);
  }
}

// Flipping any one byte of a vector breaks what covers it: every byte before the FINGERPRINT is
// covered by the CRC, every byte before the MESSAGE-INTEGRITY frame by the digest, and the digest
// and the FINGERPRINT value must match themselves. (The MESSAGE-INTEGRITY frame's own type and
// length bytes are covered by the CRC only.)
TEST(Rfc5769, FlippedBytesMakeTheChecksFail) {
  struct Row {
    const char* Name;
    const TqynBytes* Bytes;
    bool Ice;
  };
  const Row rows[] = {{"request", &kRequest, true}, {"IPv4 response", &kResponseIPv4, false}, {"IPv6 response", &kResponseIPv6, false}};
  for (const Row& r : rows) {
    const size_t size = r.Bytes->size();
    const size_t fingerprintFrame = size - 8;
    const size_t integrityFrame = fingerprintFrame - 24;
    for (size_t pos = 0; pos < size; ++pos) {
      SCOPED_TRACE(std::string(r.Name) + " byte " + std::to_string(pos));
      TqynBytes bytes = *r.Bytes;
      bytes[pos] ^= 0x01;
      TqynSTUN_Message m;
      if (r.Ice) UseIcePassword(m, kPassword);
      else UseShortTermKey(m, kPassword);
      try {
        m.Read(bytes);
      } catch (const Exception& E) {
        // The flip broke the framing (a length field): the datagram is refused as a whole.
        const std::string text = E.Message();
        EXPECT_TRUE(text == RS_InvalidHeaderFormat || text.find("runs past the end") != std::string::npos) << text;
        continue;
      }
      if (pos < fingerprintFrame) {
        EXPECT_NE(m.Fingerprint(), stfsFingerprintValid);
      }
      if (pos >= size - 4) {
        EXPECT_EQ(m.Fingerprint(), stfsFingerprintInvalid);
        EXPECT_EQ(m.MessageIntegrity(), stisMessageIntegrityValid);
      }
      if (pos < integrityFrame || (pos >= integrityFrame + 4 && pos < fingerprintFrame)) {
        EXPECT_NE(m.MessageIntegrity(), stisMessageIntegrityValid);
      }
    }
  }
}

TEST(Rfc5769, LongTermSampleWithThePreparedPassword) {
  TqynSTUN_Message m;
  std::string seenUser, seenRealm;
  m.OnRequestMessageIntegrityPassword = [&](TqynSTUN_Message* Sender, const std::string& aUsername, const std::string& aRealm,
                                            std::string& Password) {
    EXPECT_EQ(Sender, &m);
    seenUser = aUsername;
    seenRealm = aRealm;
    Password = "TheMatrIX";
  };
  m.Read(kLongTermRequest);
  EXPECT_EQ(m.Header().MessageType(), 0x0001);
  EXPECT_EQ(m.Header().MessageLength(), 0x60);
  EXPECT_EQ(m.Header().TransactionId(), Hex("78ad3433c6ad72c029da412e"));
  ASSERT_EQ(m.Attributes().Count(), 4u);
  EXPECT_EQ(Get<TqynSTUN_Attribute_USERNAME>(m, stmaUsername)->Username(), kLongTermUsername);
  EXPECT_EQ(Get<TqynSTUN_Attribute_USERNAME>(m, stmaUsername)->AttributeLength(), 18);
  EXPECT_EQ(Get<TqynSTUN_Attribute_NONCE>(m, stmaNonce)->Nonce(), "f//499k954d6OL34oL9FSTvy64sA");
  EXPECT_EQ(Get<TqynSTUN_Attribute_REALM>(m, stmaRealm)->Realm(), "example.org");
  EXPECT_EQ(m.Fingerprint(), stfsNone);
  EXPECT_EQ(seenUser, kLongTermUsername);
  EXPECT_EQ(seenRealm, "example.org");
  EXPECT_EQ(m.MessageIntegrity(), stisMessageIntegrityValid);
}

TEST(Rfc5769, LongTermSampleWithTheUnpreparedPasswordDoesNotValidate) {
  // The codec hashes the password as given; it does not apply SASLprep, so the raw password with
  // its SOFT HYPHEN and FEMININE ORDINAL INDICATOR gives another key.
  TqynSTUN_Message m;
  m.OnRequestMessageIntegrityPassword = [](TqynSTUN_Message*, const std::string&, const std::string&, std::string& Password) {
    Password = "The\xC2\xAD" "M\xC2\xAA" "trIX";
  };
  m.Read(kLongTermRequest);
  EXPECT_EQ(m.MessageIntegrity(), stisMessageIntegrityInvalid);

  // A missing NONCE makes the long-term check impossible.
  TqynBytes noNonce = kLongTermRequest;
  noNonce[20 + 24] = 0x7F; // NONCE's code 0x0015 becomes the unknown 0x7F15
  TqynSTUN_Message n;
  n.OnRequestMessageIntegrityPassword = [](TqynSTUN_Message*, const std::string&, const std::string&, std::string& Password) {
    Password = "TheMatrIX";
  };
  n.Read(noNonce);
  EXPECT_EQ(n.Attributes().Count(), 3u);
  EXPECT_EQ(n.MessageIntegrity(), stisMessageIntegrityInvalidRequest);
}

TEST(Rfc5769, WritingTheLongTermSampleGivesItsBytes) {
  // Built as a client would: the codec appends USERNAME, REALM, NONCE and MESSAGE-INTEGRITY.
  // The RFC pads with zero bytes here, as this writer does; the vector has no FINGERPRINT, so the
  // digest is checked against the MESSAGE-INTEGRITY-only branch, whose key is MD5(user:realm:pass).
  TqynSTUN_Message m;
  m.Header().SetMessageType_Method(stmmBinding);
  m.Header().SetMessageType_Class(stmcRequest);
  m.Header().SetMagicCookie(QYN_STUN_MAGIC_COOKIE);
  m.Header().SetTransactionId(Hex("78ad3433c6ad72c029da412e"));
  m.Attributes().Add<TqynSTUN_Attribute_USERNAME>()->SetUsername(kLongTermUsername);
  m.Attributes().Add<TqynSTUN_Attribute_NONCE>()->SetNonce("f//499k954d6OL34oL9FSTvy64sA");
  m.Attributes().Add<TqynSTUN_Attribute_REALM>()->SetRealm("example.org");
  m.SetUsername(kLongTermUsername);
  m.SetRealm("example.org");
  m.SetPassword("TheMatrIX");
  m.SetMessageIntegrity(stisMessageIntegrityValid);
  EXPECT_EQ(m.Write(), kLongTermRequest);
  auto* mi = Get<TqynSTUN_Attribute_MESSAGE_INTEGRITY>(m, stmaMesssage_Integrity);
  ASSERT_NE(mi, nullptr);
  EXPECT_EQ(mi->Key(), TIdHashMessageDigest5::HashString(kLongTermUsername + ":example.org:TheMatrIX"));
}
