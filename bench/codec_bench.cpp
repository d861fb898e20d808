// Speed of the STUN codec on the messages a TURN server handles most: Binding requests, an
// authenticated Allocate request (long-term MESSAGE-INTEGRITY and FINGERPRINT) and its success
// response.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "qynId_Hash.h"
#include "qynP2P_STUN_Classes.h"

namespace {

const TqynBytes kTid = NewTransactionId("benchmarktid");
const std::string kUser = "relayuser";
const std::string kRealm = "qynwire.org";
const std::string kNonce = "5d0f1e1ca3b94e6e8a0c2c4b7f9e3d21";
const std::string kPassword = "relaypassword";

void SetHeader(TqynSTUN_Message& m, TqynStunMessageMethod aMethod, TqynStunMessageClass aClass) {
  m.Header().SetMessageType_Method(aMethod);
  m.Header().SetMessageType_Class(aClass);
  m.Header().SetMagicCookie(QYN_STUN_MAGIC_COOKIE);
  m.Header().SetTransactionId(kTid);
}

void WriteBindingRequest(TqynSTUN_Message& m, TqynBytes& aOut, bool aSoftwareFingerprint) {
  SetHeader(m, stmmBinding, stmcRequest);
  if (aSoftwareFingerprint) {
    m.Attributes().Add<TqynSTUN_Attribute_SOFTWARE>()->SetSoftware("Qynwire 4.5.2");
    m.SetFingerprint(stfsFingerprintValid);
  }
  m.Header().SetMessageLength(static_cast<uint16_t>(m.ComputeMessageLength()));
  m.Write(aOut);
}

void WriteAllocateRequest(TqynSTUN_Message& m, TqynBytes& aOut) {
  SetHeader(m, stmmAllocate, stmcRequest);
  m.Attributes().Add<TqynSTUN_Attribute_REQUESTED_TRANSPORT>();
  m.Attributes().Add<TqynSTUN_Attribute_LIFETIME>()->SetLifetime(600);
  m.Header().SetMessageLength(static_cast<uint16_t>(m.ComputeMessageLength()));
  m.SetMessageType(stmtClientRequest);
  m.SetCredentials(stauLongTermCredential);
  m.SetFingerprint(stfsFingerprintValid);
  m.SetUsername(kUser);
  m.SetRealm(kRealm);
  m.SetNonce(kNonce);
  m.SetPassword(kPassword);
  m.Write(aOut); // appends USERNAME, REALM, NONCE, MESSAGE-INTEGRITY, FINGERPRINT
}

void WriteAllocateResponse(TqynSTUN_Message& m, TqynBytes& aOut) {
  SetHeader(m, stmmAllocate, stmcResponseSuccess);
  auto* relayed = m.Attributes().Add<TqynSTUN_Attribute_XOR_RELAYED_ADDRESS>();
  relayed->SetFamily(1);
  relayed->SetAddress("192.0.2.10");
  relayed->SetPort(50123);
  relayed->SetTransactionId(kTid);
  auto* mapped = m.Attributes().Add<TqynSTUN_Attribute_XOR_MAPPED_ADDRESS>();
  mapped->SetFamily(1);
  mapped->SetAddress("198.51.100.77");
  mapped->SetPort(41234);
  mapped->SetTransactionId(kTid);
  m.Attributes().Add<TqynSTUN_Attribute_LIFETIME>()->SetLifetime(600);
  m.Attributes().Add<TqynSTUN_Attribute_SOFTWARE>()->SetSoftware("Qynwire 4.5.2");
  m.Header().SetMessageLength(static_cast<uint16_t>(m.ComputeMessageLength()));
  m.SetMessageType(stmtServerResponse);
  m.SetCredentials(stauLongTermCredential);
  m.SetFingerprint(stfsFingerprintValid);
  m.SetUsername(kUser);
  m.SetRealm(kRealm);
  m.SetPassword(kPassword);
  m.Write(aOut);
}

TqynBytes Build(void (*aWriter)(TqynSTUN_Message&, TqynBytes&)) {
  TqynSTUN_Message m;
  TqynBytes out;
  aWriter(m, out);
  return out;
}

void BM_DecodeBindingRequest(benchmark::State& state) {
  TqynBytes bytes;
  TqynSTUN_Message w;
  WriteBindingRequest(w, bytes, false);
  for (auto _ : state) {
    TqynSTUN_Message m;
    m.Read(bytes);
    benchmark::DoNotOptimize(m.Header().MessageType_Method());
  }
}
BENCHMARK(BM_DecodeBindingRequest);

void BM_DecodeBindingRequestSoftwareFingerprint(benchmark::State& state) {
  TqynBytes bytes;
  TqynSTUN_Message w;
  WriteBindingRequest(w, bytes, true);
  for (auto _ : state) {
    TqynSTUN_Message m;
    m.Read(bytes);
    if (m.Fingerprint() != stfsFingerprintValid) state.SkipWithError("fingerprint");
  }
}
BENCHMARK(BM_DecodeBindingRequestSoftwareFingerprint);

void BM_EncodeBindingRequest(benchmark::State& state) {
  TqynBytes out;
  for (auto _ : state) {
    TqynSTUN_Message m;
    WriteBindingRequest(m, out, false);
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_EncodeBindingRequest);

void BM_EncodeBindingRequestSoftwareFingerprint(benchmark::State& state) {
  TqynBytes out;
  for (auto _ : state) {
    TqynSTUN_Message m;
    WriteBindingRequest(m, out, true);
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_EncodeBindingRequestSoftwareFingerprint);

// The server's path: the password event gives the password and the codec derives the MD5 key.
void BM_DecodeAllocateRequestVerify(benchmark::State& state) {
  const TqynBytes bytes = Build(WriteAllocateRequest);
  for (auto _ : state) {
    TqynSTUN_Message m;
    m.OnRequestMessageIntegrityPassword = [](TqynSTUN_Message*, const std::string&, const std::string&, std::string& Password) {
      Password = kPassword;
    };
    m.Read(bytes);
    if (m.MessageIntegrity() != stisMessageIntegrityValid || m.Fingerprint() != stfsFingerprintValid) state.SkipWithError("integrity");
  }
}
BENCHMARK(BM_DecodeAllocateRequestVerify);

void BM_DecodeAllocateRequestNoCheck(benchmark::State& state) {
  const TqynBytes bytes = Build(WriteAllocateRequest);
  for (auto _ : state) {
    TqynSTUN_Message m;
    m.Read(bytes); // no password event: the key uses an empty password and does not match
    benchmark::DoNotOptimize(m.Attributes().Count());
  }
}
BENCHMARK(BM_DecodeAllocateRequestNoCheck);

void BM_EncodeAllocateRequest(benchmark::State& state) {
  TqynBytes out;
  for (auto _ : state) {
    TqynSTUN_Message m;
    WriteAllocateRequest(m, out);
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_EncodeAllocateRequest);

// The client's path: the key event gives its long-term key.
void BM_DecodeAllocateResponseVerify(benchmark::State& state) {
  const TqynBytes bytes = Build(WriteAllocateResponse);
  const TqynBytes key = TIdHashMessageDigest5::HashString(kUser + ":" + kRealm + ":" + kPassword);
  for (auto _ : state) {
    TqynSTUN_Message m;
    m.OnRequestMessageIntegrityKey = [&key](TqynSTUN_Message*, const std::string&, TqynBytes& Key) { Key = key; };
    m.Read(bytes);
    if (m.MessageIntegrity() != stisMessageIntegrityValid || m.Fingerprint() != stfsFingerprintValid) state.SkipWithError("integrity");
  }
}
BENCHMARK(BM_DecodeAllocateResponseVerify);

void BM_EncodeAllocateResponse(benchmark::State& state) {
  TqynBytes out;
  for (auto _ : state) {
    TqynSTUN_Message m;
    WriteAllocateResponse(m, out);
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_EncodeAllocateResponse);

void BM_NewTransactionId(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(NewTransactionId());
}
BENCHMARK(BM_NewTransactionId);

void BM_CRC32_1KiB(benchmark::State& state) {
  const TqynBytes data(1024, 0x5A);
  for (auto _ : state) benchmark::DoNotOptimize(QynCRC32(data.data(), data.size()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 1024);
}
BENCHMARK(BM_CRC32_1KiB);

// ---- Hostile datagrams ----------------------------------------------------------------------
// Decoding must cost time linear in the datagram's size, whatever it holds: at most one CRC and
// one HMAC per datagram. Each datagram below fills state.range(0) bytes (8 KB is the largest a
// listener delivers) with one repeated frame after a Binding request header whose length field
// matches the datagram; the per-byte rate shows whether the cost grows faster than the size.

TqynBytes FilledDatagram(size_t aSize, const TqynBytes& aPrefix, const TqynBytes& aFrame) {
  TqynBytes b(QYN_STUN_HEADER_SIZE, 0);
  b.reserve(aSize);
  b[1] = 0x01; // Binding request
  QynPutUInt16BE(b, 4, 0x2112);
  QynPutUInt16BE(b, 6, 0xA442);
  std::memcpy(b.data() + 8, kTid.data(), QYN_STUN_TRANSACTION_ID_SIZE);
  auto append = [&b](const TqynBytes& aBytes) {
    const size_t at = b.size();
    b.resize(at + aBytes.size());
    std::memcpy(b.data() + at, aBytes.data(), aBytes.size());
  };
  append(aPrefix);
  while (b.size() + aFrame.size() <= aSize) append(aFrame);
  QynPutUInt16BE(b, 2, static_cast<uint16_t>(b.size() - QYN_STUN_HEADER_SIZE));
  return b;
}

// USERNAME, REALM and NONCE, so that every MESSAGE-INTEGRITY can be keyed.
TqynBytes CredentialFrames() {
  TqynSTUN_Message m;
  m.Attributes().Add<TqynSTUN_Attribute_USERNAME>()->SetUsername(kUser);
  m.Attributes().Add<TqynSTUN_Attribute_REALM>()->SetRealm(kRealm);
  m.Attributes().Add<TqynSTUN_Attribute_NONCE>()->SetNonce(kNonce);
  return m.Attributes().Write();
}

void DecodeHostile(benchmark::State& state, const TqynBytes& aBytes) {
  for (auto _ : state) {
    TqynSTUN_Message m;
    m.OnRequestMessageIntegrityPassword = [](TqynSTUN_Message*, const std::string&, const std::string&, std::string& Password) {
      Password = kPassword;
    };
    try {
      m.Read(aBytes);
    } catch (const Exception&) {
    }
    benchmark::DoNotOptimize(m.Attributes().Count());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(aBytes.size()));
}

// FINGERPRINT after FINGERPRINT (8 bytes each).
void BM_DecodeHostileFingerprints(benchmark::State& state) {
  DecodeHostile(state, FilledDatagram(static_cast<size_t>(state.range(0)), {}, {0x80, 0x28, 0x00, 0x04, 0xDE, 0xAD, 0xBE, 0xEF}));
}
BENCHMARK(BM_DecodeHostileFingerprints)->Arg(1024)->Arg(8192);

// Credentials, then MESSAGE-INTEGRITY-SHA256 after MESSAGE-INTEGRITY (24 and 36 bytes).
void BM_DecodeHostileIntegrity(benchmark::State& state) {
  TqynBytes frames(24 + 36, 0x11);
  QynPutUInt16BE(frames, 0, 0x0008); // MESSAGE-INTEGRITY, 20 bytes
  QynPutUInt16BE(frames, 2, 20);
  QynPutUInt16BE(frames, 24, 0x001C); // MESSAGE-INTEGRITY-SHA256, 32 bytes
  QynPutUInt16BE(frames, 26, 32);
  DecodeHostile(state, FilledDatagram(static_cast<size_t>(state.range(0)), CredentialFrames(), frames));
}
BENCHMARK(BM_DecodeHostileIntegrity)->Arg(1024)->Arg(8192);

// Empty DONT-FRAGMENT attributes (4 bytes each): the most attribute objects a datagram can ask for.
void BM_DecodeHostileEmptyAttributes(benchmark::State& state) {
  DecodeHostile(state, FilledDatagram(static_cast<size_t>(state.range(0)), {}, {0x00, 0x1A, 0x00, 0x00}));
}
BENCHMARK(BM_DecodeHostileEmptyAttributes)->Arg(1024)->Arg(8192);

// Unknown codes (4 bytes each), skipped without objects.
void BM_DecodeHostileUnknownAttributes(benchmark::State& state) {
  DecodeHostile(state, FilledDatagram(static_cast<size_t>(state.range(0)), {}, {0x7F, 0xFF, 0x00, 0x00}));
}
BENCHMARK(BM_DecodeHostileUnknownAttributes)->Arg(1024)->Arg(8192);

} // namespace

BENCHMARK_MAIN();
