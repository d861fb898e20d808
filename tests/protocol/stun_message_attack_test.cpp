// qyn-test-labels: unit
//
// Datagrams a forger makes from a signed request without knowing its key, read by the codec: the
// integrity state may read valid only when every attribute the message holds (FINGERPRINT and
// the integrity attributes themselves aside) lay before MESSAGE-INTEGRITY in the datagram.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "qynMessages.h"
#include "qynP2P_STUN_Classes.h"
#include "protocol/stun_forge_test_util.h"

using namespace qyn_forge;

namespace {

const std::string kPassword = "pw-of-alice";
const TqynBytes kTid = NewTransactionId("forgedforged");

// A CreatePermission for 192.0.2.50 as a TURN client signs it: USERNAME, REALM, NONCE,
// MESSAGE-INTEGRITY, FINGERPRINT.
TqynBytes SignedCreatePermission(bool aFingerprint = true) {
  TqynSTUN_Message m;
  m.Header().SetMessageType_Method(stmmCreatePermission);
  m.Header().SetMessageType_Class(stmcRequest);
  m.Header().SetMagicCookie(QYN_STUN_MAGIC_COOKIE);
  m.Header().SetTransactionId(kTid);
  auto* peer = m.Attributes().Add<TqynSTUN_Attribute_XOR_PEER_ADDRESS>();
  peer->SetFamily(1);
  peer->SetAddress("192.0.2.50");
  peer->SetPort(0);
  m.Header().SetMessageLength(static_cast<uint16_t>(m.ComputeMessageLength()));
  m.SetMessageType(stmtClientRequest);
  m.SetCredentials(stauLongTermCredential);
  m.SetFingerprint(aFingerprint ? stfsFingerprintValid : stfsNone);
  m.SetUsername("alice");
  m.SetRealm("Qynwire");
  m.SetNonce("0123456789ABCDEF0123456789ABCDEF");
  m.SetPassword(kPassword);
  return m.Write();
}

struct TOutcome {
  bool Raised = false;
  std::string Error;
  TqynStunMessageIntegrityState Integrity = stisNone;
  TqynStunFingerprintState Fingerprint = stfsNone;
  int Peers = 0;
  std::vector<TqynStunMessageAttribute> Types;
  int PasswordEvents = 0;
};

TOutcome ReadWith(const TqynBytes& aBytes, const std::string& aPassword = kPassword) {
  TOutcome out;
  TqynSTUN_Message m;
  m.OnRequestMessageIntegrityPassword = [&](TqynSTUN_Message*, const std::string&, const std::string&, std::string& Password) {
    ++out.PasswordEvents;
    Password = aPassword;
  };
  try {
    m.Read(aBytes);
  } catch (const Exception& E) {
    out.Raised = true;
    out.Error = E.Message();
    return out;
  }
  out.Integrity = m.MessageIntegrity();
  out.Fingerprint = m.Fingerprint();
  for (const auto& a : m.Attributes()) {
    out.Types.push_back(a->AttributeType());
    if (a->AttributeType() == stmaXOR_Peer_Address) ++out.Peers;
  }
  return out;
}

} // namespace

TEST(StunForgery, GenuineRequestVerifies) {
  const TOutcome o = ReadWith(SignedCreatePermission());
  EXPECT_FALSE(o.Raised);
  EXPECT_EQ(o.Integrity, stisMessageIntegrityValid);
  EXPECT_EQ(o.Fingerprint, stfsFingerprintValid);
  EXPECT_EQ(o.Peers, 1);
  EXPECT_EQ(o.PasswordEvents, 1);
}

// The table of forgeries: each row names the attacker's edit and what the codec makes of it.
TEST(StunForgery, TableOfForgedDatagrams) {
  const TqynBytes signed_ = SignedCreatePermission();
  const TqynBytes unsignedFp = SignedCreatePermission(false);
  const size_t mi = OffsetOf(signed_, 0x0008);
  const size_t fp = OffsetOf(signed_, 0x8028);
  const TqynBytes secondPeer = XorPeerAddress(203, 0, 113, 9, 0);
  auto withLength = [](TqynBytes b, long aDelta) {
    SetLengthField(b, static_cast<size_t>(static_cast<long>(b.size()) - 20 + aDelta));
    return b;
  };
  TqynBytes unaligned = signed_;
  unaligned.insert(unaligned.end(), {0, 0});
  FixLength(unaligned);
  TqynBytes overrun = signed_;
  overrun[fp + 3] = 8; // FINGERPRINT's length reaches past the end

  struct Row {
    const char* Name;
    TqynBytes Bytes;
    bool Raised;
    TqynStunMessageIntegrityState Integrity;
    TqynStunFingerprintState Fingerprint;
    int Peers;
  };
  const std::vector<Row> rows = {
      {"second XOR-PEER-ADDRESS inserted before MESSAGE-INTEGRITY", Inserted(signed_, mi, secondPeer), false,
       stisMessageIntegrityInvalid, stfsFingerprintValid, 2},
      {"the same, inserted first", Inserted(signed_, 20, secondPeer), false, stisMessageIntegrityInvalid, stfsFingerprintValid, 2},
      {"inserted, length field left as signed", [&] {
         TqynBytes b = signed_;
         b.insert(b.begin() + static_cast<std::ptrdiff_t>(mi), secondPeer.begin(), secondPeer.end());
         return b;
       }(),
       true, stisNone, stfsNone, 0},
      {"length field 4 longer than the datagram", withLength(signed_, 4), true, stisNone, stfsNone, 0},
      {"length field 4 shorter than the datagram", withLength(signed_, -4), true, stisNone, stfsNone, 0},
      {"length field 8 shorter (hides the FINGERPRINT)", withLength(signed_, -8), true, stisNone, stfsNone, 0},
      {"length field not a multiple of 4", unaligned, true, stisNone, stfsNone, 0},
      {"frame reaching past the end", overrun, true, stisNone, stfsNone, 0},
      {"XOR-PEER-ADDRESS after MESSAGE-INTEGRITY", Inserted(signed_, fp, secondPeer), false, stisMessageIntegrityValid,
       stfsFingerprintValid, 1},
      {"XOR-PEER-ADDRESS after FINGERPRINT (FINGERPRINT not last)", Inserted(signed_, signed_.size(), secondPeer), false,
       stisMessageIntegrityValid, stfsNone, 1},
      {"XOR-PEER-ADDRESS after an unsigned request's MESSAGE-INTEGRITY", Inserted(unsignedFp, unsignedFp.size(), secondPeer),
       false, stisMessageIntegrityValid, stfsNone, 1},
      {"FINGERPRINT before MESSAGE-INTEGRITY (not last)",
       Inserted(signed_, mi, Frame(0x8028, {0xDE, 0xAD, 0xBE, 0xEF})), false, stisMessageIntegrityInvalid, stfsFingerprintValid,
       1},
      {"second MESSAGE-INTEGRITY after the first", Inserted(signed_, fp, Frame(0x0008, TqynBytes(20, 0x5A))), false,
       stisMessageIntegrityValid, stfsFingerprintValid, 1},
      {"MESSAGE-INTEGRITY value cut to 16 bytes", [&] {
         TqynBytes b = signed_;
         b.erase(b.begin() + static_cast<std::ptrdiff_t>(mi + 4 + 16), b.begin() + static_cast<std::ptrdiff_t>(mi + 24));
         b[mi + 3] = 16;
         FixLength(b);
         RefreshFingerprint(b);
         return b;
       }(),
       false, stisMessageIntegrityInvalid, stfsFingerprintValid, 1},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.Name);
    const TOutcome o = ReadWith(r.Bytes);
    EXPECT_EQ(o.Raised, r.Raised) << o.Error;
    if (r.Raised) continue;
    EXPECT_EQ(o.Integrity, r.Integrity);
    EXPECT_EQ(o.Fingerprint, r.Fingerprint);
    EXPECT_EQ(o.Peers, r.Peers);
    EXPECT_LE(o.PasswordEvents, 1);
    // Never both: a valid digest and an attribute it does not cover.
    if (o.Integrity == stisMessageIntegrityValid) {
      EXPECT_EQ(o.Peers, 1);
    }
  }
}

TEST(StunForgery, MalformedMessagesRaiseTheFormatErrors) {
  TqynBytes b = SignedCreatePermission();
  SetLengthField(b, b.size() - 16);
  const TOutcome shortLength = ReadWith(b);
  EXPECT_EQ(shortLength.Error, RS_InvalidHeaderFormat);

  TqynBytes overrun = SignedCreatePermission();
  overrun[OffsetOf(overrun, 0x8028) + 3] = 8;
  EXPECT_EQ(ReadWith(overrun).Error, QynFormat(RS_AttributePastEnd, "FINGERPRINT", static_cast<int>(OffsetOf(overrun, 0x8028))));
}

// Many FINGERPRINT attributes: only the last counts; the others are neither kept nor checked.
TEST(StunForgery, OnlyTheLastFingerprintCounts) {
  TqynBytes b = {0x00, 0x01, 0x00, 0x00, 0x21, 0x12, 0xA4, 0x42};
  b.insert(b.end(), kTid.begin(), kTid.end());
  for (int i = 0; i < 1000; ++i) {
    const TqynBytes f = Frame(0x8028, {0xDE, 0xAD, 0xBE, 0xEF});
    b.insert(b.end(), f.begin(), f.end());
  }
  FixLength(b);
  const TOutcome wrong = ReadWith(b);
  EXPECT_EQ(wrong.Fingerprint, stfsFingerprintInvalid);
  EXPECT_EQ(wrong.Types, std::vector<TqynStunMessageAttribute>{stmaFingerprint});

  RefreshFingerprint(b);
  const TOutcome right = ReadWith(b);
  EXPECT_EQ(right.Fingerprint, stfsFingerprintValid);
  EXPECT_EQ(right.Types, std::vector<TqynStunMessageAttribute>{stmaFingerprint});
}

// MESSAGE-INTEGRITY-SHA256 may follow MESSAGE-INTEGRITY and is then the one checked (once);
// after it only FINGERPRINT is taken.
TEST(StunForgery, Sha256AfterIntegrityIsTheCheckThatStands) {
  TqynSTUN_Message m;
  m.Header().SetMessageType_Method(stmmBinding);
  m.Header().SetMessageType_Class(stmcRequest);
  m.Header().SetMagicCookie(QYN_STUN_MAGIC_COOKIE);
  m.Header().SetTransactionId(kTid);
  m.Header().SetMessageLength(0);
  m.SetMessageType(stmtClientRequest);
  m.SetCredentials(stauLongTermCredential);
  m.SetMessageIntegritySHA256(stisMessageIntegrityValid);
  m.SetFingerprint(stfsFingerprintValid);
  m.SetUsername("alice");
  m.SetRealm("Qynwire");
  m.SetNonce("n");
  m.SetPassword(kPassword);
  const TqynBytes bytes = m.Write();

  const TOutcome genuine = ReadWith(bytes);
  EXPECT_EQ(genuine.Integrity, stisMessageIntegrityValid);
  EXPECT_EQ(genuine.PasswordEvents, 1); // one key, one HMAC
  EXPECT_EQ(genuine.Types, (std::vector<TqynStunMessageAttribute>{stmaUsername, stmaRealm, stmaNonce, stmaMesssage_Integrity,
                                                                   stmaMesssage_Integrity_SHA256, stmaFingerprint}));

  // A forged MESSAGE-INTEGRITY under a genuine SHA-256 digest breaks the SHA-256 check.
  TqynBytes forgedMi = bytes;
  forgedMi[OffsetOf(bytes, 0x0008) + 4] ^= 1;
  RefreshFingerprint(forgedMi);
  EXPECT_EQ(ReadWith(forgedMi).Integrity, stisMessageIntegrityInvalid);

  // Between the two digests, and after the second: not kept.
  const TOutcome between = ReadWith(Inserted(bytes, OffsetOf(bytes, 0x001C), Frame(0x8022, {'x', 'y'})));
  EXPECT_EQ(between.Integrity, stisMessageIntegrityInvalid); // covered by the SHA-256 digest
  EXPECT_EQ(std::count(between.Types.begin(), between.Types.end(), stmaSoftware), 0);
  const TOutcome after = ReadWith(Inserted(bytes, OffsetOf(bytes, 0x8028), Frame(0x8022, {'x', 'y'})));
  EXPECT_EQ(after.Integrity, stisMessageIntegrityValid);
  EXPECT_EQ(std::count(after.Types.begin(), after.Types.end(), stmaSoftware), 0);
}

// A digest made with an empty password reads valid, but says nothing about the sender.
TEST(StunForgery, EmptyPasswordIsNotAGivenKey) {
  struct Row {
    const char* Name;
    std::string Signed, Given;
    TqynStunMessageIntegrityState Integrity;
    bool KeyGiven;
  };
  const std::vector<Row> rows = {
      {"right password", kPassword, kPassword, stisMessageIntegrityValid, true},
      {"signed and checked with an empty password", "", "", stisMessageIntegrityValid, false},
      {"signed empty, checked with the real one", "", kPassword, stisMessageIntegrityInvalid, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.Name);
    TqynSTUN_Message w;
    w.Header().SetMessageType_Method(stmmBinding);
    w.Header().SetMessageType_Class(stmcRequest);
    w.Header().SetMagicCookie(QYN_STUN_MAGIC_COOKIE);
    w.Header().SetTransactionId(kTid);
    w.SetMessageType(stmtClientRequest);
    w.SetCredentials(stauLongTermCredential);
    w.SetUsername("mallory");
    w.SetRealm("Qynwire");
    w.SetNonce("n");
    w.SetPassword(r.Signed);
    const TqynBytes bytes = w.Write();
    TqynSTUN_Message m;
    m.OnRequestMessageIntegrityPassword = [&](TqynSTUN_Message*, const std::string&, const std::string&, std::string& Password) {
      Password = r.Given;
    };
    m.Read(bytes);
    EXPECT_EQ(m.MessageIntegrity(), r.Integrity);
    EXPECT_EQ(m.MessageIntegrityKeyGiven(), r.KeyGiven);
  }
}

TEST(StunForgery, IsSTUNMessage) {
  const TqynBytes good = SignedCreatePermission();
  EXPECT_TRUE(IsSTUNMessage(good));
  TqynBytes b = good;
  b[0] |= 0x40;
  EXPECT_FALSE(IsSTUNMessage(b));
  b = good;
  b[0] |= 0x80;
  EXPECT_FALSE(IsSTUNMessage(b));
  EXPECT_FALSE(IsSTUNMessage(TqynBytes(good.begin(), good.begin() + 19)));
  EXPECT_FALSE(IsSTUNMessage(TqynBytes(20, 0xFF)));
  EXPECT_TRUE(IsSTUNMessage(TqynBytes(20, 0x00)));
  b = good;
  b.push_back(0);
  EXPECT_FALSE(IsSTUNMessage(b));
}
