// libFuzzer target for the STUN codec: any datagram must give a message or one of the codec's
// exceptions; never a crash, a hang or a read outside the bytes. The same bytes also go to the
// frame reader of every attribute class, and what a reader accepts must be writable again.
#include <cstddef>
#include <cstdint>
#include <string>

#include "qynP2P_STUN_Classes.h"

namespace {

const char* const kShortTermPassword = "VOkJxbRl1RmTxUk/WvJxBt"; // RFC 5769 samples and the seeds
const char* const kLongTermPassword = "TheMatrIX";             // RFC 5769 long-term sample

[[noreturn]] void Fail() { __builtin_trap(); }

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
