// libFuzzer target for the STUN codec: any datagram must give a message or one of the codec's
// exceptions; never a crash, a hang or a read outside the bytes. When integrity reads valid,
// every attribute the message holds (FINGERPRINT and the integrity attributes aside) lay before
// the first integrity attribute of the datagram, found by a walk of the bytes independent of the
// codec's. The same bytes also go to the frame reader of every attribute class, and what a reader
// accepts must be writable again.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "qynId_Hash.h"
#include "qynP2P_STUN_Classes.h"

namespace {

const char* const kShortTermPassword = "VOkJxbRl1RmTxUk/WvJxBt"; // RFC 5769 samples and the seeds
const char* const kLongTermPassword = "TheMatrIX";             // RFC 5769 long-term sample

[[noreturn]] void Fail() { __builtin_trap(); }

uint16_t Read16(const uint8_t* aData, size_t aAt) { return static_cast<uint16_t>(aData[aAt] << 8 | aData[aAt + 1]); }

// The message holds only what its integrity attribute covers: the types it holds (other than
// FINGERPRINT, MESSAGE-INTEGRITY and MESSAGE-INTEGRITY-SHA256) are, in order, frames that lie
// before the datagram's first integrity frame; a FINGERPRINT only as the last frame; at most one
// of each integrity attribute.
void CheckCoverage(const uint8_t* aData, size_t aSize, const TqynSTUN_Message& aMessage) {
  std::vector<TqynStunMessageAttribute> before;
  bool integrityFrame = false;
  uint16_t lastCode = 0;
  for (size_t at = QYN_STUN_HEADER_SIZE; at + 4 <= aSize;) {
    const uint16_t code = Read16(aData, at);
    lastCode = code;
    if (code == 0x0008 || code == 0x001C) integrityFrame = true;
    const TqynStunMessageAttribute type = AttributeCodeToType(code);
    if (!integrityFrame && type != stmaMapped_None && type != stmaFingerprint) before.push_back(type);
    at += 4 + ((Read16(aData, at + 2) + 3u) & ~3u);
  }
  if (!integrityFrame) Fail();
  size_t next = 0;
  int fingerprints = 0, integrity = 0, integritySHA256 = 0;
  for (const auto& a : aMessage.Attributes()) {
    const TqynStunMessageAttribute t = a->AttributeType();
    if (t == stmaFingerprint) ++fingerprints;
    else if (t == stmaMesssage_Integrity) ++integrity;
    else if (t == stmaMesssage_Integrity_SHA256) ++integritySHA256;
    else {
      while (next < before.size() && before[next] != t) ++next;
      if (next == before.size()) Fail(); // held, but not before the integrity attribute
      ++next;
    }
  }
  if (fingerprints > 1 || integrity > 1 || integritySHA256 > 1) Fail();
  if (fingerprints == 1 && lastCode != 0x8028) Fail();
}

// The digest that read valid covers exactly the bytes before its attribute, with the length field
// set to that attribute's end: recomputed here from the raw frames with every key the handlers
// below can give (the checked attribute is the first MESSAGE-INTEGRITY-SHA256, else the first
// MESSAGE-INTEGRITY).
void CheckDigest(const uint8_t* aData, size_t aSize) {
  size_t integrityAt = 0, sha256At = 0;
  std::string username, realm;
  bool haveUsername = false, haveRealm = false;
  for (size_t at = QYN_STUN_HEADER_SIZE; at + 4 <= aSize;) {
    const uint16_t code = Read16(aData, at);
    const size_t length = Read16(aData, at + 2);
    const bool covered = integrityAt == 0 && sha256At == 0;
    if (code == 0x0008 && integrityAt == 0 && sha256At == 0) integrityAt = at;
    if (code == 0x001C && sha256At == 0) sha256At = at;
    if (covered && code == 0x0006 && !haveUsername) {
      username.assign(reinterpret_cast<const char*>(aData + at + 4), length);
      haveUsername = true;
    }
    if (covered && code == 0x0014 && !haveRealm) {
      realm.assign(reinterpret_cast<const char*>(aData + at + 4), length);
      haveRealm = true;
    }
    at += 4 + ((length + 3) & ~size_t{3});
  }
  const bool sha256 = sha256At != 0;
  const size_t at = sha256 ? sha256At : integrityAt;
  const size_t digestSize = sha256 ? 32 : 20;
  if (at == 0 || Read16(aData, at + 2) != digestSize) Fail();

  TqynBytes covered(aData, aData + at);
  const size_t coveredLength = at + 4 + digestSize - QYN_STUN_HEADER_SIZE;
  covered[2] = static_cast<uint8_t>(coveredLength >> 8);
  covered[3] = static_cast<uint8_t>(coveredLength);
  std::vector<TqynBytes> keys = {TqynBytes(kShortTermPassword, kShortTermPassword + std::string(kShortTermPassword).size())};
  for (const char* password : {kShortTermPassword, kLongTermPassword})
    keys.push_back(TIdHashMessageDigest5::HashString(username + ":" + realm + ":" + password));
  for (const TqynBytes& key : keys) {
    const TqynBytes digest = sha256 ? TIdHMACSHA256::HashValue(key, covered) : TIdHMACSHA1::HashValue(key, covered);
    if (std::equal(digest.begin(), digest.end(), aData + at + 4)) return;
  }
  Fail();
}

void ReadMessage(const uint8_t* aData, size_t aSize, bool aKeyEvent) {
  TqynSTUN_Message m;
  // Integrity checks run on every input: long-term and short-term passwords through the
  // password event, the ICE path for requests with ICE-CONTROLLED/ICE-CONTROLLING, and (chosen
  // by a byte of the input) the key event, which takes precedence over the password event.
  m.OnRequestMessageIntegrityPassword = [](TqynSTUN_Message*, const std::string&, const std::string& aRealm, std::string& Password) {
    Password = aRealm == "example.org" ? kLongTermPassword : kShortTermPassword;
  };
  m.OnICEValidateMessageIntegrity = [](TqynSTUN_Message*, const std::string&, std::string& Password) { Password = kShortTermPassword; };
  if (aKeyEvent)
    m.OnRequestMessageIntegrityKey = [](TqynSTUN_Message* Sender, const std::string&, TqynBytes& Key) {
      // The handler may look at (and change) the message while it is being checked.
      if (Sender->Attributes().Count() > 8) Sender->Attributes().Delete(0);
      const std::string p = kShortTermPassword;
      Key.assign(p.begin(), p.end());
    };
  try {
    m.Read(aData, aSize);
  } catch (const Exception&) {
    return;
  }
  if (m.MessageIntegrity() > stisMessageIntegrityInvalidRequest || m.Fingerprint() > stfsFingerprintInvalid) Fail();
  // Read accepts only whole STUN messages.
  if (!IsSTUNMessage(aData, aSize)) Fail();
  if (m.MessageIntegrity() == stisMessageIntegrityValid) {
    CheckCoverage(aData, aSize, m);
    CheckDigest(aData, aSize);
  }
  // Writing the decoded message back exercises the writer with whatever values were read.
  try {
    TqynBytes out;
    m.Write(out);
    if (out.size() < QYN_STUN_HEADER_SIZE) Fail();
  } catch (const Exception&) {
  }
}

void ReadAttributes(const uint8_t* aData, size_t aSize, int32_t aStart) {
  for (int t = 0; t < QYN_STUN_ATTRIBUTE_TYPE_COUNT; ++t) {
    std::unique_ptr<TqynSTUN_Attribute> a = CreateAttributeOfType(static_cast<TqynStunMessageAttribute>(t));
    int32_t offset = aStart;
    try {
      a->Read(aData, aSize, offset);
    } catch (const Exception&) {
      continue;
    }
    // The offset moves forward to a multiple of 4 past the frame.
    if (offset < aStart + 4 || (offset & 3) != 0) Fail();
    // An address that was read can be written and reads back the same.
    if (!a->Address().empty() && (a->Family() == 1 || a->Family() == 2)) {
      TqynBytes frame;
      try {
        a->Write(frame);
      } catch (const Exception&) {
        Fail();
      }
      std::unique_ptr<TqynSTUN_Attribute> b = CreateAttributeOfType(static_cast<TqynStunMessageAttribute>(t));
      int32_t o = 0;
      b->Read(frame, o);
      if (b->Family() != a->Family() || b->Port() != a->Port()) Fail();
      // XOR addresses take their IPv6 key from the message; compare only where it is the same.
      const bool xorIPv6 = a->Family() == 2 && dynamic_cast<TqynSTUN_Attribute_XOR_MAPPED_ADDRESS*>(a.get());
      if (!xorIPv6 && b->Address() != a->Address()) Fail();
    }
    try {
      (void)a->Write();
    } catch (const Exception&) {
    }
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  const bool keyEvent = aSize > 0 && (aData[aSize - 1] & 1) != 0;
  ReadMessage(aData, aSize, keyEvent);
  // Attribute frames at the start of the bytes and where the first attribute of a message lies.
  ReadAttributes(aData, aSize, 0);
  if (aSize > QYN_STUN_HEADER_SIZE) ReadAttributes(aData, aSize, static_cast<int32_t>(QYN_STUN_HEADER_SIZE));
  return 0;
}
