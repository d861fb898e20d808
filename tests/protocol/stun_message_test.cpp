// qyn-test-labels: unit
#include <gtest/gtest.h>

#include <functional>
#include <random>
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
    else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    else continue;
    if (hi < 0) hi = v;
    else {
      out.push_back(static_cast<uint8_t>(hi << 4 | v));
      hi = -1;
    }
  }
  return out;
}

const TqynBytes kTid = NewTransactionId("qynwiretests");

void SetHeader(TqynSTUN_Message& m, TqynStunMessageMethod aMethod, TqynStunMessageClass aClass) {
  m.Header().SetMessageType_Method(aMethod);
  m.Header().SetMessageType_Class(aClass);
  m.Header().SetMagicCookie(QYN_STUN_MAGIC_COOKIE);
  m.Header().SetTransactionId(kTid);
}

void SetLength(TqynSTUN_Message& m) { m.Header().SetMessageLength(static_cast<uint16_t>(m.ComputeMessageLength())); }

std::vector<TqynStunMessageAttribute> Types(const TqynSTUN_Message& m) {
  std::vector<TqynStunMessageAttribute> out;
  for (const auto& a : m.Attributes()) out.push_back(a->AttributeType());
  return out;
}

std::function<void(TqynSTUN_Message*, const std::string&, const std::string&, std::string&)> Password(std::string aPassword) {
  return [aPassword](TqynSTUN_Message*, const std::string&, const std::string&, std::string& Password) { Password = aPassword; };
}

// An authenticated Allocate request as a TURN client writes it.
TqynBytes AllocateRequest(const std::string& aPassword, bool aFingerprint = true, bool aSHA256 = false) {
  TqynSTUN_Message m;
  SetHeader(m, stmmAllocate, stmcRequest);
  m.Attributes().Add<TqynSTUN_Attribute_REQUESTED_TRANSPORT>();
  m.Attributes().Add<TqynSTUN_Attribute_LIFETIME>()->SetLifetime(600);
  SetLength(m);
  m.SetMessageType(stmtClientRequest);
  // Without FINGERPRINT this builds the request through the MessageIntegrity branch (no
  // Credentials), which signs with the message's own credential strings.
  m.SetCredentials(aFingerprint ? stauLongTermCredential : stauNone);
  m.SetFingerprint(aFingerprint ? stfsFingerprintValid : stfsNone);
  m.SetMessageIntegrity(aFingerprint ? stisNone : stisMessageIntegrityValid);
  if (!aFingerprint) { // the credentials branch appends them itself for client requests
    m.Attributes().Add<TqynSTUN_Attribute_USERNAME>()->SetUsername("user");
    m.Attributes().Add<TqynSTUN_Attribute_REALM>()->SetRealm("qynwire.org");
    m.Attributes().Add<TqynSTUN_Attribute_NONCE>()->SetNonce("nonce-123");
  }
  m.SetMessageIntegritySHA256(aSHA256 ? stisMessageIntegrityValid : stisNone);
  m.SetUsername("user");
  m.SetRealm("qynwire.org");
  m.SetNonce("nonce-123");
  m.SetPassword(aPassword);
  return m.Write();
}

} // namespace

// ---- Header ---------------------------------------------------------------------------------

TEST(StunHeader, TypeBitPacking) {
  struct Row {
    TqynStunMessageMethod Method;
    TqynStunMessageClass Class;
    uint16_t Type;
  };
  const Row rows[] = {
      {stmmBinding, stmcRequest, 0x0001},         {stmmBinding, stmcIndication, 0x0011},
      {stmmBinding, stmcResponseSuccess, 0x0101}, {stmmBinding, stmcResponseError, 0x0111},
      {stmmAllocate, stmcRequest, 0x0003},        {stmmAllocate, stmcResponseSuccess, 0x0103},
      {stmmAllocate, stmcResponseError, 0x0113},  {stmmRefresh, stmcRequest, 0x0004},
      {stmmSend, stmcIndication, 0x0016},         {stmmData, stmcIndication, 0x0017},
      {stmmCreatePermission, stmcRequest, 0x0008}, {stmmChannelBind, stmcRequest, 0x0009},
      {stmmChannelBind, stmcResponseSuccess, 0x0109},
      {static_cast<TqynStunMessageMethod>(0x7F), stmcResponseError, 0x01FF}, // M4-M6 go to bits 5-7
  };
  for (const Row& r : rows) {
    EXPECT_EQ(TqynSTUN_Header::EncodeType(r.Method, r.Class), r.Type) << r.Type;
    EXPECT_EQ(TqynSTUN_Header::DecodeMethod(r.Type), r.Method) << r.Type;
    EXPECT_EQ(TqynSTUN_Header::DecodeClass(r.Type), r.Class) << r.Type;
  }
  // Reading keeps eight method bits; writing writes seven.
  EXPECT_EQ(TqynSTUN_Header::DecodeMethod(0x3EEF), 0xFF);
  EXPECT_EQ(TqynSTUN_Header::EncodeType(static_cast<TqynStunMessageMethod>(0x80), stmcRequest), 0x0000);
  EXPECT_EQ(TqynSTUN_Header::DecodeMethod(0x0200), 0x80); // M7, e.g. GOOG-PING's 0x080
}

TEST(StunHeader, ReadAndWrite) {
  TqynSTUN_Header h;
  h.Read(Hex("0113 0024 2112A442 000102030405060708090A0B"));
  EXPECT_EQ(h.MessageType(), 0x0113);
  EXPECT_EQ(h.MessageType_Method(), stmmAllocate);
  EXPECT_EQ(h.MessageType_Class(), stmcResponseError);
  EXPECT_EQ(h.MessageLength(), 0x24);
  EXPECT_EQ(h.MagicCookie(), 0x2112A442u);
  EXPECT_EQ(h.TransactionId(), Hex("000102030405060708090A0B"));
  EXPECT_EQ(h.TransactionIdString(), ""); // stops at the first zero byte
  h.SetMessageType_Method(stmmChannelBind);
  h.SetMessageType_Class(stmcResponseSuccess);
  h.SetMessageType(0xFFFF); // not used by writing
  EXPECT_EQ(h.Write(), Hex("0109 0024 2112A442 000102030405060708090A0B"));
  // A transaction id of the wrong size is padded or cut to 12 bytes.
  h.SetTransactionId(TqynBytes{1, 2});
  EXPECT_EQ(h.Write().size(), 20u);
  h.SetTransactionId(TqynBytes(40, 9));
  EXPECT_EQ(h.Write(), Hex("0109 0024 2112A442 090909090909090909090909"));
  EXPECT_THROW(h.Read(TqynBytes(19, 0)), Exception);
}

// ---- Reading --------------------------------------------------------------------------------

TEST(StunMessageRead, BindingRequestWithoutAttributes) {
  TqynSTUN_Message m;
  m.Read(Hex("0001 0000 2112A442 6162636465666768696A6B6C"));
  EXPECT_EQ(m.Header().MessageType_Method(), stmmBinding);
  EXPECT_EQ(m.Header().MessageType_Class(), stmcRequest);
  EXPECT_EQ(m.Header().TransactionIdString(), "abcdefghijkl");
  EXPECT_TRUE(m.Attributes().Empty());
  EXPECT_EQ(m.MessageIntegrity(), stisNone);
  EXPECT_EQ(m.Fingerprint(), stfsNone);
}

TEST(StunMessageRead, ShortDatagramsRaiseInvalidHeaderFormat) {
  for (size_t n : {0, 1, 4, 19}) {
    TqynSTUN_Message m;
    try {
      m.Read(TqynBytes(n, 0));
      ADD_FAILURE() << n << " bytes read";
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), RS_InvalidHeaderFormat);
    }
  }
}

TEST(StunMessageRead, Rfc3489MessageWithoutCookie) {
  TqynSTUN_Message m;
  m.Read(Hex("0101 000C 00000000 0102030405060708090A0B0C 0001 0008 0001 0D96 0A000001"));
  EXPECT_EQ(m.Header().MagicCookie(), 0u);
  auto* a = m.Attributes().GetAttribute<TqynSTUN_Attribute_MAPPED_ADDRESS>(stmaMapped_Address);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->Address(), "10.0.0.1");
  EXPECT_EQ(a->Port(), 3478);
}

TEST(StunMessageRead, AttributesAfterIntegrityAreDroppedExceptFingerprintAndSha256) {
  TqynBytes bytes = Hex("0001 0000 2112A442 6162636465666768696A6B6C"
                        "0006 0001 61000000"
                        "0008 0014 0000000000000000000000000000000000000000"
                        "0006 0001 62000000"   // USERNAME after MESSAGE-INTEGRITY: dropped
                        "0008 0014 1111111111111111111111111111111111111111" // a second one: dropped
                        "001C 0020 2222222222222222222222222222222222222222222222222222222222222222"
                        "8029 0008 0102030405060708" // after MESSAGE-INTEGRITY-SHA256: dropped, no ICE request
                        "8028 0004 00000000");
  bytes[3] = static_cast<uint8_t>(bytes.size() - 20);
  TqynSTUN_Message m;
  m.Read(bytes);
  EXPECT_EQ(Types(m), (std::vector<TqynStunMessageAttribute>{stmaUsername, stmaMesssage_Integrity, stmaMesssage_Integrity_SHA256,
                                                             stmaFingerprint}));
  EXPECT_EQ(m.Attributes().GetAttribute<TqynSTUN_Attribute_USERNAME>(stmaUsername)->Username(), "a");
  EXPECT_FALSE(m.ICERequest());
  EXPECT_EQ(m.Fingerprint(), stfsFingerprintInvalid);
  EXPECT_EQ(m.MessageIntegrity(), stisMessageIntegrityInvalid);
}

TEST(StunMessageRead, UnknownCodesAreSkippedAndDropped) {
  TqynBytes bytes = Hex("0001 0000 2112A442 6162636465666768696A6B6C"
                        "C001 0005 0102030405 000000"
                        "0002 0000"
                        "000D 0004 0000003C");
  bytes[3] = static_cast<uint8_t>(bytes.size() - 20);
  TqynSTUN_Message m;
  m.Read(bytes);
  EXPECT_EQ(Types(m), (std::vector<TqynStunMessageAttribute>{stmaLifetime}));
}

TEST(StunMessageRead, WrongFingerprintIsAStateNotAnException) {
  TqynSTUN_Message w;
  SetHeader(w, stmmBinding, stmcRequest);
  w.Attributes().Add<TqynSTUN_Attribute_SOFTWARE>()->SetSoftware(RS_SoftwareName);
  SetLength(w);
  w.SetFingerprint(stfsFingerprintValid);
  TqynBytes bytes = w.Write();
  EXPECT_EQ(Types(w), (std::vector<TqynStunMessageAttribute>{stmaSoftware, stmaFingerprint}));

  TqynSTUN_Message ok;
  ok.Read(bytes);
  EXPECT_EQ(ok.Fingerprint(), stfsFingerprintValid);
  EXPECT_EQ(ok.MessageIntegrity(), stisNone);

  bytes.back() ^= 0x80;
  TqynSTUN_Message bad;
  ASSERT_NO_THROW(bad.Read(bytes));
  EXPECT_EQ(bad.Fingerprint(), stfsFingerprintInvalid);
}

// ---- Integrity: long-term credentials ------------------------------------------------------

TEST(StunIntegrity, LongTermRequestValidatesWithOrWithoutFingerprint) {
  for (bool fingerprint : {true, false}) {
    SCOPED_TRACE(fingerprint ? "with FINGERPRINT" : "without FINGERPRINT");
    const TqynBytes bytes = AllocateRequest("secret", fingerprint);
    TqynSTUN_Message m;
    std::string user, realm;
    TqynSTUN_Message* sender = nullptr;
    m.OnRequestMessageIntegrityPassword = [&](TqynSTUN_Message* Sender, const std::string& aUsername, const std::string& aRealm,
                                              std::string& Password) {
      sender = Sender;
      user = aUsername;
      realm = aRealm;
      EXPECT_TRUE(Password.empty());
      Password = "secret";
    };
    m.Read(bytes);
    EXPECT_EQ(sender, &m);
    EXPECT_EQ(user, "user");
    EXPECT_EQ(realm, "qynwire.org");
    EXPECT_EQ(m.MessageIntegrity(), stisMessageIntegrityValid);
    EXPECT_EQ(m.Fingerprint(), fingerprint ? stfsFingerprintValid : stfsNone);

    TqynSTUN_Message wrong;
    wrong.OnRequestMessageIntegrityPassword = Password("Secret");
    wrong.Read(bytes);
    EXPECT_EQ(wrong.MessageIntegrity(), stisMessageIntegrityInvalid);
  }
}

TEST(StunIntegrity, LongTermWithoutUsernameRealmOrNonceIsAnInvalidRequest) {
  // MESSAGE-INTEGRITY with USERNAME and REALM but no NONCE, and variants.
  for (const char* missing : {"USERNAME", "REALM", "NONCE"}) {
    TqynSTUN_Message w;
    SetHeader(w, stmmAllocate, stmcRequest);
    if (std::string(missing) != "USERNAME") w.Attributes().Add<TqynSTUN_Attribute_USERNAME>()->SetUsername("user");
    if (std::string(missing) != "REALM") w.Attributes().Add<TqynSTUN_Attribute_REALM>()->SetRealm("r");
    if (std::string(missing) != "NONCE") w.Attributes().Add<TqynSTUN_Attribute_NONCE>()->SetNonce("n");
    SetLength(w);
    w.SetMessageIntegrity(stisMessageIntegrityValid);
    w.SetUsername("user");
    w.SetRealm("r");
    w.SetPassword("p");
    TqynSTUN_Message m;
    bool asked = false;
    m.OnRequestMessageIntegrityPassword = [&](TqynSTUN_Message*, const std::string&, const std::string&, std::string&) { asked = true; };
    m.Read(w.Write());
    EXPECT_EQ(m.MessageIntegrity(), stisMessageIntegrityInvalidRequest) << missing;
    EXPECT_FALSE(asked) << missing;
  }
}

TEST(StunIntegrity, ClientRequestWriteAppendsCredentialsIntegrityAndFingerprint) {
  TqynSTUN_Message m;
  SetHeader(m, stmmAllocate, stmcRequest);
  m.Attributes().Add<TqynSTUN_Attribute_REQUESTED_TRANSPORT>();
  SetLength(m);
  m.SetMessageType(stmtClientRequest);
  m.SetCredentials(stauLongTermCredential);
  m.SetFingerprint(stfsFingerprintValid);
  m.SetUsername("alice");
  m.SetRealm("example.org");
  m.SetNonce("abcdef");
  m.SetPassword("pa\xC3\x9F"); // UTF-8 password
  const TqynBytes bytes = m.Write();
  EXPECT_EQ(Types(m), (std::vector<TqynStunMessageAttribute>{stmaRequested_Transport, stmaUsername, stmaRealm, stmaNonce,
                                                             stmaMesssage_Integrity, stmaFingerprint}));
  // 8 + (4+8) + (4+12) + (4+8) + 24 + 8
  EXPECT_EQ(QynReadUInt16BE(bytes, 2), 80);
  EXPECT_EQ(bytes.size(), 100u);
  EXPECT_EQ(m.Header().MessageLength(), 80);
  EXPECT_EQ(QynReadUInt16BE(bytes, bytes.size() - 32), 0x0008);
  EXPECT_EQ(QynReadUInt16BE(bytes, bytes.size() - 30), 20);
  auto* mi = m.Attributes().GetAttribute<TqynSTUN_Attribute_MESSAGE_INTEGRITY>(stmaMesssage_Integrity);
  ASSERT_NE(mi, nullptr);
  EXPECT_EQ(mi->Key(), TIdHashMessageDigest5::HashString("alice:example.org:pa\xC3\x9F"));
  // The digest covers the message up to MESSAGE-INTEGRITY with the length up to it.
  TqynBytes covered(bytes.begin(), bytes.end() - 32);
  covered[3] = 72;
  EXPECT_EQ(mi->PayLoad(), TIdHMACSHA1::HashValue(mi->Key(), covered));

  TqynSTUN_Message r;
  r.OnRequestMessageIntegrityPassword = Password("pa\xC3\x9F");
  r.Read(bytes);
  EXPECT_EQ(r.MessageIntegrity(), stisMessageIntegrityValid);
  EXPECT_EQ(r.Fingerprint(), stfsFingerprintValid);
}

TEST(StunIntegrity, ClientRequestWithCredentialsIsSignedWithoutFingerprintToo) {
  TqynSTUN_Message m;
  SetHeader(m, stmmBinding, stmcRequest);
  SetLength(m);
  m.SetMessageType(stmtClientRequest);
  m.SetCredentials(stauLongTermCredential);
  m.SetUsername("alice");
  m.SetRealm("example.org");
  m.SetNonce("abcdef");
  m.SetPassword("secret");
  const TqynBytes bytes = m.Write();
  EXPECT_EQ(Types(m), (std::vector<TqynStunMessageAttribute>{stmaUsername, stmaRealm, stmaNonce, stmaMesssage_Integrity}));
  EXPECT_EQ(QynReadUInt16BE(bytes, 2), bytes.size() - 20);
  TqynSTUN_Message r;
  r.OnRequestMessageIntegrityPassword = Password("secret");
  r.Read(bytes);
  EXPECT_EQ(r.MessageIntegrity(), stisMessageIntegrityValid);
  EXPECT_EQ(r.Fingerprint(), stfsNone);
}

TEST(StunIntegrity, ServerResponseUnderLongTermCredentialsAddsNoCredentials) {
  TqynSTUN_Message m;
  SetHeader(m, stmmAllocate, stmcResponseSuccess);
  m.Attributes().Add<TqynSTUN_Attribute_LIFETIME>()->SetLifetime(600);
  SetLength(m);
  m.SetMessageType(stmtServerResponse);
  m.SetCredentials(stauLongTermCredential);
  m.SetFingerprint(stfsFingerprintValid);
  m.SetUsername("u");
  m.SetRealm("r");
  m.SetPassword("p");
  const TqynBytes bytes = m.Write();
  EXPECT_EQ(Types(m), (std::vector<TqynStunMessageAttribute>{stmaLifetime, stmaMesssage_Integrity, stmaFingerprint}));
  // The client checks it with the key of its own credentials.
  TqynSTUN_Message r;
  r.OnRequestMessageIntegrityKey = [](TqynSTUN_Message*, const std::string& aTransactionId, TqynBytes& Key) {
    EXPECT_EQ(aTransactionId, "qynwiretests");
    Key = TIdHashMessageDigest5::HashString("u:r:p");
  };
  r.Read(bytes);
  EXPECT_EQ(r.MessageIntegrity(), stisMessageIntegrityValid);
  EXPECT_EQ(r.Fingerprint(), stfsFingerprintValid);
}

TEST(StunIntegrity, Sha256UnderLongTermCredentialsUsesTheSameMd5Key) {
  const TqynBytes bytes = AllocateRequest("secret", true, true);
  TqynSTUN_Message r;
  int asked = 0;
  r.OnRequestMessageIntegrityPassword = [&](TqynSTUN_Message*, const std::string& aUsername, const std::string& aRealm,
                                            std::string& Password) {
    ++asked;
    EXPECT_EQ(aUsername, "user");
    EXPECT_EQ(aRealm, "qynwire.org");
    Password = "secret";
  };
  r.Read(bytes);
  EXPECT_EQ(asked, 1); // only MESSAGE-INTEGRITY-SHA256 is checked: one key, one HMAC
  EXPECT_EQ(Types(r).back(), stmaFingerprint);
  EXPECT_EQ(Types(r)[Types(r).size() - 2], stmaMesssage_Integrity_SHA256);
  EXPECT_EQ(r.MessageIntegrity(), stisMessageIntegrityValid);
  EXPECT_EQ(r.Fingerprint(), stfsFingerprintValid);
  EXPECT_EQ(r.MessageIntegritySHA256(), stisNone); // reading never sets it

  auto* sha = r.Attributes().GetAttribute<TqynSTUN_Attribute_MESSAGE_INTEGRITY_SHA256>(stmaMesssage_Integrity_SHA256);
  ASSERT_NE(sha, nullptr);
  EXPECT_EQ(sha->PayLoad().size(), 32u);
  // The digest is the HMAC-SHA256 over everything before it, keyed with MD5(user:realm:pass).
  TqynBytes covered(bytes.begin(), bytes.end() - 8 - 36);
  covered[2] = 0;
  covered[3] = static_cast<uint8_t>(covered.size() - 20 + 36);
  EXPECT_EQ(sha->PayLoad(), TIdHMACSHA256::HashValue(TIdHashMessageDigest5::HashString("user:qynwire.org:secret"), covered));

  // The SHA-256 result stands when both are present: a wrong SHA-256 digest makes the message
  // invalid although MESSAGE-INTEGRITY matches.
  TqynBytes tampered = bytes;
  tampered[tampered.size() - 8 - 1] ^= 1;
  TqynSTUN_Message t;
  t.OnRequestMessageIntegrityPassword = Password("secret");
  t.Read(tampered);
  EXPECT_EQ(t.MessageIntegrity(), stisMessageIntegrityInvalid);
  EXPECT_EQ(t.Fingerprint(), stfsFingerprintInvalid);
}

// ---- Integrity: short-term credentials ------------------------------------------------------

TEST(StunIntegrity, ShortTermWriteAndReadWithBothDigests) {
  for (bool sha256 : {false, true}) {
    SCOPED_TRACE(sha256 ? "with SHA-256" : "SHA-1 only");
    TqynSTUN_Message m;
    SetHeader(m, stmmBinding, stmcResponseSuccess);
    m.Attributes().Add<TqynSTUN_Attribute_SOFTWARE>()->SetSoftware("x");
    SetLength(m);
    m.SetCredentials(stauShortTermCredential);
    m.SetFingerprint(stfsFingerprintValid);
    m.SetMessageIntegritySHA256(sha256 ? stisMessageIntegrityValid : stisNone);
    TqynSTUN_Message* asked = nullptr;
    m.OnICERequestMessageIntegrityPassword = [&](TqynSTUN_Message* Sender, TqynSTUN_Message* aMessage, std::string& Password) {
      EXPECT_EQ(Sender, aMessage);
      asked = aMessage;
      Password = "ice-pwd";
    };
    const TqynBytes bytes = m.Write();
    EXPECT_EQ(asked, &m);
    auto* mi = m.Attributes().GetAttribute<TqynSTUN_Attribute_MESSAGE_INTEGRITY>(stmaMesssage_Integrity);
    ASSERT_NE(mi, nullptr);
    EXPECT_EQ(mi->Key(), (TqynBytes{'i', 'c', 'e', '-', 'p', 'w', 'd'}));
    EXPECT_EQ(m.Attributes().GetAttribute(stmaMesssage_Integrity_SHA256) != nullptr, sha256);
    EXPECT_EQ(bytes.size(), 20u + 8 + 24 + (sha256 ? 36 : 0) + 8);

    // Read through the key event...
    TqynSTUN_Message k;
    k.OnRequestMessageIntegrityKey = [](TqynSTUN_Message*, const std::string&, TqynBytes& Key) { Key = {'i', 'c', 'e', '-', 'p', 'w', 'd'}; };
    k.Read(bytes);
    EXPECT_EQ(k.MessageIntegrity(), stisMessageIntegrityValid);
    EXPECT_EQ(k.Fingerprint(), stfsFingerprintValid);
    // ...and, for SHA-256 without REALM, through the password event with empty user and realm;
    // MESSAGE-INTEGRITY alone cannot be checked that way.
    TqynSTUN_Message p;
    std::string seenUser = "?", seenRealm = "?";
    p.OnRequestMessageIntegrityPassword = [&](TqynSTUN_Message*, const std::string& aUsername, const std::string& aRealm,
                                              std::string& Password) {
      seenUser = aUsername;
      seenRealm = aRealm;
      Password = "ice-pwd";
    };
    p.Read(bytes);
    if (sha256) {
      EXPECT_EQ(p.MessageIntegrity(), stisMessageIntegrityValid);
      EXPECT_EQ(seenUser, "");
      EXPECT_EQ(seenRealm, "");
    } else {
      EXPECT_EQ(p.MessageIntegrity(), stisMessageIntegrityInvalidRequest);
    }
  }
}

TEST(StunIntegrity, IceRequestWithoutUsernameIsAnInvalidRequest) {
  TqynSTUN_Message m;
  SetHeader(m, stmmBinding, stmcRequest);
  m.Attributes().Add<TqynSTUN_Attribute_ICE_CONTROLLING>();
  SetLength(m);
  m.SetCredentials(stauShortTermCredential);
  m.SetFingerprint(stfsFingerprintValid);
  const TqynBytes bytes = m.Write();
  TqynSTUN_Message r;
  bool asked = false;
  r.OnICEValidateMessageIntegrity = [&](TqynSTUN_Message*, const std::string&, std::string&) { asked = true; };
  r.Read(bytes);
  EXPECT_TRUE(r.ICERequest());
  EXPECT_FALSE(asked);
  EXPECT_EQ(r.MessageIntegrity(), stisMessageIntegrityInvalidRequest);
  EXPECT_EQ(r.Fingerprint(), stfsFingerprintValid);
}

// ---- Writing --------------------------------------------------------------------------------

TEST(StunMessageWrite, WithoutStatesTheCallersLengthIsWritten) {
  TqynSTUN_Message m;
  SetHeader(m, stmmData, stmcIndication);
  m.Attributes().Add<TqynSTUN_Attribute_DATA>()->SetData(TqynBytes{1, 2, 3});
  SetLength(m);
  const TqynBytes bytes = m.Write();
  EXPECT_EQ(bytes.size(), 28u);
  EXPECT_EQ(QynReadUInt16BE(bytes, 0), 0x0017);
  EXPECT_EQ(QynReadUInt16BE(bytes, 2), 8);
  EXPECT_EQ(Types(m), (std::vector<TqynStunMessageAttribute>{stmaData}));
  m.Header().SetMessageLength(1234);
  EXPECT_EQ(QynReadUInt16BE(m.Write(), 2), 1234);
}

TEST(StunMessageWrite, FingerprintWithoutCredentialsAddsOnlyFingerprint) {
  TqynSTUN_Message m;
  SetHeader(m, stmmBinding, stmcRequest);
  SetLength(m);
  m.SetFingerprint(stfsFingerprintValid);
  m.SetMessageIntegrity(stisMessageIntegrityValid); // not consulted in the FINGERPRINT branch
  const TqynBytes bytes = m.Write();
  EXPECT_EQ(bytes.size(), 28u);
  EXPECT_EQ(Types(m), (std::vector<TqynStunMessageAttribute>{stmaFingerprint}));
  TqynBytes covered(bytes.begin(), bytes.end() - 8);
  EXPECT_EQ(QynReadUInt32BE(bytes, 24), QynCRC32(covered.data(), covered.size()) ^ 0x5354554Eu);
}

TEST(StunMessageWrite, MessageTooLongForTheLengthFieldIsRefused) {
  TqynSTUN_Message m;
  SetHeader(m, stmmSend, stmcIndication);
  m.Attributes().Add<TqynSTUN_Attribute_DATA>()->SetData(TqynBytes(0xFFF0, 0));
  m.Attributes().Add<TqynSTUN_Attribute_DATA>()->SetData(TqynBytes(0x100, 0));
  m.SetFingerprint(stfsFingerprintValid);
  try {
    (void)m.Write();
    ADD_FAILURE() << "written";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), QynFormat(RS_MessageTooLong, 4 + 0xFFF0 + 4 + 0x100));
  }
  // Just fitting: 0xFFFF bytes of attributes including the FINGERPRINT.
  TqynSTUN_Message fits;
  SetHeader(fits, stmmSend, stmcIndication);
  fits.Attributes().Add<TqynSTUN_Attribute_DATA>()->SetData(TqynBytes(0xFFFF - 8 - 4 - 3, 0));
  fits.SetFingerprint(stfsFingerprintValid);
  const TqynBytes bytes = fits.Write();
  EXPECT_EQ(QynReadUInt16BE(bytes, 2), 0xFFFC);
  TqynSTUN_Message r;
  r.Read(bytes);
  EXPECT_EQ(r.Fingerprint(), stfsFingerprintValid);
}

// ---- Hostile input ---------------------------------------------------------------------------

// A length field that does not count exactly the bytes after the header (or is not a multiple
// of 4) makes the datagram no STUN message: nothing of it is read.
TEST(StunMessageHostile, LengthFieldOtherThanTheDatagramsIsNotAMessage) {
  const TqynBytes good = AllocateRequest("secret");
  const size_t length = good.size() - 20;
  struct Row {
    const char* Name;
    size_t Length;
  };
  const Row rows[] = {{"huge", 0xFFFF}, {"4 more", length + 4}, {"4 less", length - 4}, {"8 less (hides FINGERPRINT)", length - 8},
                      {"zero", 0},      {"odd", length - 1}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.Name);
    TqynBytes bytes = good;
    bytes[2] = static_cast<uint8_t>(r.Length >> 8);
    bytes[3] = static_cast<uint8_t>(r.Length);
    TqynSTUN_Message m;
    m.OnRequestMessageIntegrityPassword = Password("secret");
    try {
      m.Read(bytes);
      ADD_FAILURE() << "read";
    } catch (const Exception& E) {
      EXPECT_EQ(E.Message(), RS_InvalidHeaderFormat);
    }
    EXPECT_TRUE(m.Attributes().Empty());
    EXPECT_EQ(m.MessageIntegrity(), stisNone);
  }
}

// Cut datagrams: as cut, the length field no longer matches; with the length field set to the
// cut as well, the digest is valid only while everything it covers is there, and a frame cut in
// two is refused.
TEST(StunMessageHostile, TruncatedMessagesNeverVerify) {
  const TqynBytes full = AllocateRequest("secret");
  for (size_t n = 20; n < full.size(); ++n) {
    SCOPED_TRACE(n);
    TqynBytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
    TqynSTUN_Message m;
    m.OnRequestMessageIntegrityPassword = Password("secret");
    EXPECT_THROW(m.Read(cut), Exception);
    if (n % 4 != 0) continue;
    cut[2] = static_cast<uint8_t>((n - 20) >> 8);
    cut[3] = static_cast<uint8_t>(n - 20);
    try {
      m.Read(cut);
    } catch (const Exception& E) {
      EXPECT_NE(std::string(E.Message()).find("runs past the end"), std::string::npos) << E.Message();
      continue;
    }
    // Only the cut that drops the FINGERPRINT leaves MESSAGE-INTEGRITY whole, and it still covers
    // exactly what it covered.
    EXPECT_EQ(m.MessageIntegrity() == stisMessageIntegrityValid, n == full.size() - 8);
    EXPECT_NE(m.Fingerprint(), stfsFingerprintValid);
  }
}

TEST(StunMessageHostile, FramesReachingPastTheEndAreRefused) {
  struct Row {
    const char* Name;
    const char* Hex;
    const char* Attribute;
    int Offset;
  };
  const Row rows[] = {
      {"DATA claiming 0xFFFF bytes", "0001 0008 2112A442 6162636465666768696A6B6C 0013 FFFF 01020304", "DATA", 20},
      {"FINGERPRINT without its value", "0001 0004 2112A442 6162636465666768696A6B6C 8028 0004", "FINGERPRINT", 20},
      {"MESSAGE-INTEGRITY cut short", "0001 0008 2112A442 6162636465666768696A6B6C 0008 0014 01020304", "MESSAGE-INTEGRITY", 20},
      {"second frame too long", "0001 000C 2112A442 6162636465666768696A6B6C 000D 0004 0000003C 0006 0008", "USERNAME", 28},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.Name);
    TqynSTUN_Message m;
    try {
      m.Read(Hex(r.Hex));
      ADD_FAILURE() << "read";
    } catch (const Exception& E) {
      EXPECT_EQ(E.Message(), QynFormat(RS_AttributePastEnd, r.Attribute, r.Offset));
    }
  }
}

// The check hashes the datagram's bytes, not the list: a password handler that empties the list
// changes nothing about the result.
TEST(StunMessageHostile, HandlersThatEmptyTheMessageDoNotBreakTheCheck) {
  const TqynBytes bytes = AllocateRequest("secret", true, true);
  TqynSTUN_Message m;
  m.OnRequestMessageIntegrityPassword = [](TqynSTUN_Message* Sender, const std::string&, const std::string&, std::string& Password) {
    Sender->Attributes().Clear();
    Password = "secret";
  };
  m.Read(bytes);
  EXPECT_TRUE(m.Attributes().Empty());
  EXPECT_EQ(m.MessageIntegrity(), stisMessageIntegrityValid);
}

TEST(StunMessageHostile, RandomDatagramsGiveAMessageOrAFormatError) {
  std::mt19937 rng(12345);
  const TqynBytes seed = AllocateRequest("secret", true, true);
  for (int i = 0; i < 20000; ++i) {
    TqynBytes bytes;
    if (i % 2) {
      bytes.resize(20 + rng() % 200);
      for (auto& b : bytes) b = static_cast<uint8_t>(rng());
      // Known attribute codes at aligned places make the random data reach the readers.
      for (size_t k = 20; k + 1 < bytes.size(); k += 4 * (1 + rng() % 3)) {
        const uint16_t code = AttributeTypeToCode(static_cast<TqynStunMessageAttribute>(rng() % 42));
        bytes[k] = static_cast<uint8_t>(code >> 8);
        bytes[k + 1] = static_cast<uint8_t>(code);
      }
    } else {
      bytes = seed;
      for (int k = 0; k < 3; ++k) bytes[rng() % bytes.size()] = static_cast<uint8_t>(rng());
      bytes.resize(rng() % (bytes.size() + 1));
    }
    TqynSTUN_Message m;
    m.OnRequestMessageIntegrityPassword = Password("secret");
    try {
      m.Read(bytes);
    } catch (const Exception&) {
    }
  }
}
