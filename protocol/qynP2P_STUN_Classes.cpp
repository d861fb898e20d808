#include "qynP2P_STUN_Classes.h"

#include <openssl/crypto.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <mutex>

#include "qynId_Address.h"
#include "qynId_Hash.h"
#include "qynMessages.h"

namespace {

// ---- Address text ------------------------------------------------------------------------
// Texts are parsed by the socket layer's strict parser (qynId_Address), so an address the codec
// writes is one the sockets accept, and the other way round.

std::string FormatIPv4(const uint8_t a[4]) {
  char buf[16];
  const int len = std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", unsigned{a[0]}, unsigned{a[1]}, unsigned{a[2]}, unsigned{a[3]});
  return std::string(buf, static_cast<size_t>(len));
}

// Eight groups of lowercase hexadecimal digits without leading zeros, joined by ':'.
std::string FormatIPv6(const uint8_t a[16]) {
  char buf[48];
  unsigned g[8];
  for (int k = 0; k < 8; ++k) g[k] = (unsigned{a[2 * k]} << 8) | a[2 * k + 1];
  const int len = std::snprintf(buf, sizeof buf, "%x:%x:%x:%x:%x:%x:%x:%x", g[0], g[1], g[2], g[3], g[4], g[5], g[6], g[7]);
  return std::string(buf, static_cast<size_t>(len));
}

// The address bytes of aAttribute for its family; raises a conversion error for a text that is
// not an address of that family, and for a family that is neither 1 nor 2.
size_t AddressBytes(const TqynSTUN_Attribute& aAttribute, uint8_t aOut[16]) {
  switch (aAttribute.Family()) {
  case 1: {
    // A response carries the same few addresses in several attributes: the last text parsed on
    // this thread is remembered with its bytes.
    thread_local std::string tLastText;
    thread_local uint8_t tLastBytes[4];
    const std::string& text = aAttribute.Address();
    if (!tLastText.empty() && text == tLastText) {
      std::memcpy(aOut, tLastBytes, 4);
      return 4;
    }
    if (!QynParseIPv4(text, aOut)) throw Exception(QynFormat(RS_InvalidIPv4Text, text));
    tLastText = text;
    std::memcpy(tLastBytes, aOut, 4);
    return 4;
  }
  case 2:
    if (!QynParseIPv6(aAttribute.Address(), aOut)) throw Exception(QynFormat(RS_InvalidIPv6Text, aAttribute.Address()));
    return 16;
  default:
    throw Exception(QynFormat(RS_InvalidAddressFamily, AttributeTypeName(aAttribute.AttributeType()),
                              static_cast<int>(aAttribute.Family())));
  }
}

size_t AddressValueLength(uint16_t aFamily) noexcept { return aFamily == 1 ? 8 : aFamily == 2 ? 20 : 4; }

// Bytes [aPos, aPos + aLen) if they lie wholly before aEnd.
inline bool Fits(int64_t aPos, size_t aLen, size_t aEnd) noexcept {
  return aPos >= 0 && static_cast<uint64_t>(aPos) + aLen <= aEnd;
}

// The value bytes from aPos to aEnd (empty when aPos lies at or past aEnd).
inline std::pair<const uint8_t*, size_t> Rest(const uint8_t* aBytes, int64_t aPos, size_t aEnd) noexcept {
  if (aPos < 0 || static_cast<uint64_t>(aPos) >= aEnd) return {aBytes, 0};
  return {aBytes + aPos, aEnd - static_cast<size_t>(aPos)};
}

void WriteText(TqynBytes& aOut, const std::string& aText) { QynAppendBytes(aOut, aText.data(), aText.size()); }

void ReadText(std::string& aText, const uint8_t* aBytes, int64_t aPos, size_t aEnd) {
  const auto [p, len] = Rest(aBytes, aPos, aEnd);
  aText.assign(reinterpret_cast<const char*>(p), len);
}

void ReadBytes(TqynBytes& aOut, const uint8_t* aBytes, int64_t aPos, size_t aEnd, size_t aMax = SIZE_MAX) {
  auto [p, len] = Rest(aBytes, aPos, aEnd);
  len = std::min(len, aMax);
  aOut.assign(p, p + len);
}

// ERROR-CODE and ADDRESS-ERROR-CODE: class in bits 8-10, number in the low byte.
inline uint16_t EncodeErrorCode(uint16_t aCode) noexcept {
  return static_cast<uint16_t>((((aCode / 100) << 8) & 0x0700) | (aCode % 100));
}
inline uint16_t DecodeErrorCode(uint16_t aValue) noexcept {
  return static_cast<uint16_t>(((aValue >> 8) & 7) * 100 + (aValue & 0xFF));
}

// The long-term key: MD5 of the UTF-8 text username ":" realm ":" password (built on the stack
// when it is short, as it nearly always is).
TqynBytes LongTermKey(const std::string& aUsername, const std::string& aRealm, const std::string& aPassword) {
  const size_t n = aUsername.size() + aRealm.size() + aPassword.size() + 2;
  char stackText[512];
  std::string heapText;
  char* text = stackText;
  if (n > sizeof stackText) {
    heapText.resize(n);
    text = heapText.data();
  }
  char* p = std::copy(aUsername.begin(), aUsername.end(), text);
  *p++ = ':';
  p = std::copy(aRealm.begin(), aRealm.end(), p);
  *p++ = ':';
  std::copy(aPassword.begin(), aPassword.end(), p);
  return TIdHashMessageDigest5::HashBytes(text, n);
}

} // namespace

// ---- Transaction ids ------------------------------------------------------------------------

namespace {

// The generator behind transaction IDs: a DRBG of its own, seeded from OpenSSL's primary one and
// shared by every thread under a lock. RAND_bytes would give each thread that calls it
// generators of its own (about 3 KB per thread), which thousands of relay listeners sending Data
// indications would all make. Falls back to RAND_bytes when the DRBG cannot be made.
class TTransactionIdSource {
public:
  ~TTransactionIdSource() { EVP_RAND_CTX_free(FCtx); }
  void Fill(uint8_t* aOut, size_t aLength) {
    std::lock_guard<std::mutex> lock(FLock);
    if (!FOpened) Open();
    if (FCtx && EVP_RAND_generate(FCtx, aOut, aLength, 0, 0, nullptr, 0) == 1) return;
    if (RAND_bytes(aOut, static_cast<int>(aLength)) != 1) throw Exception(RS_RandomGeneratorFailed);
  }

private:
  void Open() {
    FOpened = true;
    EVP_RAND* rand = EVP_RAND_fetch(nullptr, "CTR-DRBG", nullptr);
    if (!rand) return;
    EVP_RAND_CTX* ctx = EVP_RAND_CTX_new(rand, RAND_get0_primary(nullptr));
    EVP_RAND_free(rand);
    if (!ctx) return;
    char cipher[] = "AES-256-CTR";
    const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_DRBG_PARAM_CIPHER, cipher, 0), OSSL_PARAM_construct_end()};
    if (EVP_RAND_instantiate(ctx, 0, 0, nullptr, 0, params) != 1) {
      EVP_RAND_CTX_free(ctx);
      return;
    }
    FCtx = ctx;
  }
  std::mutex FLock;
  bool FOpened = false;
  EVP_RAND_CTX* FCtx = nullptr;
};

TTransactionIdSource& TransactionIdSource() {
  static TTransactionIdSource GSource;
  return GSource;
}

} // namespace

TqynBytes NewTransactionId(const std::string& aText) {
  TqynBytes result(QYN_STUN_TRANSACTION_ID_SIZE, 0);
  if (!aText.empty()) {
    const size_t n = std::min(aText.size(), result.size());
    for (size_t i = 0; i < n; ++i) result[i] = static_cast<uint8_t>(aText[i]);
    return result;
  }
  // Uniform letters: bytes of 234 (= 9 * 26) and above are drawn again, so every letter has the
  // same 9 byte values behind it. The bytes come from the shared generator through a small
  // per-thread pool, refilled a few hundred bytes at a time (one generator call costs about as
  // much as a whole message's decoding). A process that forks must not use the parent's pool in
  // the child; this system does not fork.
  struct TPool {
    uint8_t Bytes[384];
    size_t Pos = sizeof Bytes;
  };
  thread_local TPool pool;
  size_t filled = 0;
  while (filled < result.size()) {
    if (pool.Pos == sizeof pool.Bytes) {
      TransactionIdSource().Fill(pool.Bytes, sizeof pool.Bytes);
      pool.Pos = 0;
    }
    const uint8_t b = pool.Bytes[pool.Pos++];
    if (b < 234) result[filled++] = static_cast<uint8_t>('a' + b % 26);
  }
  return result;
}

// ---- Header ---------------------------------------------------------------------------------

TqynStunMessageMethod TqynSTUN_Header::DecodeMethod(uint16_t aType) noexcept {
  return static_cast<TqynStunMessageMethod>(
      static_cast<uint8_t>((aType & 0x000F) | ((aType & 0x00E0) >> 1) | ((aType & 0x3E00) >> 2)));
}

TqynStunMessageClass TqynSTUN_Header::DecodeClass(uint16_t aType) noexcept {
  return static_cast<TqynStunMessageClass>(((aType >> 7) & 2) | ((aType >> 4) & 1));
}

uint16_t TqynSTUN_Header::EncodeType(TqynStunMessageMethod aMethod, TqynStunMessageClass aClass) noexcept {
  const unsigned m = aMethod;
  const unsigned c = aClass;
  return static_cast<uint16_t>((m & 0x0F) | ((m & 0x70) << 1) | ((c & 1) << 4) | ((c & 2) << 7));
}

std::string TqynSTUN_Header::TransactionIdString() const {
  const auto end = std::find(FTransactionId.begin(), FTransactionId.end(), uint8_t{0});
  return std::string(FTransactionId.begin(), end);
}

void TqynSTUN_Header::Read(const uint8_t* aBytes, size_t aSize) {
  if (aSize < QYN_STUN_HEADER_SIZE) throw Exception(RS_InvalidHeaderFormat);
  FMessageType = QynReadUInt16BE(aBytes, aSize, 0);
  FMethod = DecodeMethod(FMessageType);
  FClass = DecodeClass(FMessageType);
  FMessageLength = QynReadUInt16BE(aBytes, aSize, 2);
  FMagicCookie = QynReadUInt32BE(aBytes, aSize, 4);
  FTransactionId.assign(aBytes + 8, aBytes + 20);
}

void TqynSTUN_Header::Write(TqynBytes& aOut) const {
  QynAppendUInt16BE(aOut, EncodeType(FMethod, FClass));
  QynAppendUInt16BE(aOut, FMessageLength);
  QynAppendUInt32BE(aOut, FMagicCookie);
  const size_t n = std::min(FTransactionId.size(), QYN_STUN_TRANSACTION_ID_SIZE);
  QynAppendBytes(aOut, FTransactionId.data(), n);
  QynAppendZeros(aOut, QYN_STUN_TRANSACTION_ID_SIZE - n);
}

TqynBytes TqynSTUN_Header::Write() const {
  TqynBytes out;
  out.reserve(QYN_STUN_HEADER_SIZE);
  Write(out);
  return out;
}

// ---- Attribute base -------------------------------------------------------------------------

void TqynSTUN_Attribute::Read(const uint8_t* aBytes, size_t aSize, int32_t& aOffset) {
  const int64_t start = aOffset;
  FAttributeType = AttributeCodeToType(QynReadUInt16BE(aBytes, aSize, start));
  FAttributeLength = QynReadUInt16BE(aBytes, aSize, start + 2);
  const int64_t valueStart = start + 4;
  const int64_t valueEnd = valueStart + FAttributeLength;
  const size_t cut = valueEnd < 0 ? 0 : std::min(aSize, static_cast<size_t>(valueEnd));
  FReadOffset = static_cast<int32_t>(valueStart);
  ReadValue(aBytes, cut);
  FReadOffset = static_cast<int32_t>(valueEnd);
  aOffset = static_cast<int32_t>((valueEnd + 3) & ~int64_t{3});
}

void TqynSTUN_Attribute::Write(TqynBytes& aOut) const {
  const size_t frameStart = aOut.size();
  QynAppendUInt16BE(aOut, AttributeTypeToCode(FAttributeType));
  QynAppendUInt16BE(aOut, 0);
  WriteValue(aOut);
  const size_t len = aOut.size() - frameStart - 4;
  if (len > 0xFFFF) {
    aOut.resize(frameStart);
    throw Exception(QynFormat(RS_AttributeValueTooLong, AttributeTypeName(FAttributeType), static_cast<int>(len)));
  }
  QynPutUInt16BE(aOut, frameStart + 2, static_cast<uint16_t>(len));
  QynAppendZeros(aOut, (4 - (len & 3)) & 3);
}

TqynBytes TqynSTUN_Attribute::Write() const {
  TqynBytes out;
  out.reserve(FrameLength());
  Write(out);
  return out;
}

// ---- Attribute classes ----------------------------------------------------------------------

#define QYN_STUN_CREATE(Name) \
  std::unique_ptr<TqynSTUN_Attribute> Name::Create() { return std::make_unique<Name>(); }

QYN_STUN_CREATE(TqynSTUN_Attribute_None)
QYN_STUN_CREATE(TqynSTUN_Attribute_MAPPED_ADDRESS)
QYN_STUN_CREATE(TqynSTUN_Attribute_ALTERNATE_SERVER)
QYN_STUN_CREATE(TqynSTUN_Attribute_RESPONSE_ORIGIN)
QYN_STUN_CREATE(TqynSTUN_Attribute_OTHER_ADDRESS)
QYN_STUN_CREATE(TqynSTUN_Attribute_SOURCE_ADDRESS)
QYN_STUN_CREATE(TqynSTUN_Attribute_CHANGED_ADDRESS)
QYN_STUN_CREATE(TqynSTUN_Attribute_XOR_MAPPED_ADDRESS)
QYN_STUN_CREATE(TqynSTUN_Attribute_XOR_PEER_ADDRESS)
QYN_STUN_CREATE(TqynSTUN_Attribute_XOR_RELAYED_ADDRESS)
QYN_STUN_CREATE(TqynSTUN_Attribute_USERNAME)
QYN_STUN_CREATE(TqynSTUN_Attribute_REALM)
QYN_STUN_CREATE(TqynSTUN_Attribute_NONCE)
QYN_STUN_CREATE(TqynSTUN_Attribute_SOFTWARE)
QYN_STUN_CREATE(TqynSTUN_Attribute_ALTERNATE_DOMAIN)
QYN_STUN_CREATE(TqynSTUN_Attribute_MESSAGE_INTEGRITY)
QYN_STUN_CREATE(TqynSTUN_Attribute_MESSAGE_INTEGRITY_SHA256)
QYN_STUN_CREATE(TqynSTUN_Attribute_FINGERPRINT)
QYN_STUN_CREATE(TqynSTUN_Attribute_ERROR_CODE)
QYN_STUN_CREATE(TqynSTUN_Attribute_UNKNOWN_ATTRIBUTES)
QYN_STUN_CREATE(TqynSTUN_Attribute_CHANGE_REQUEST)
QYN_STUN_CREATE(TqynSTUN_Attribute_RESPONSE_PORT)
QYN_STUN_CREATE(TqynSTUN_Attribute_PADDING)
QYN_STUN_CREATE(TqynSTUN_Attribute_CACHE_TIMEOUT)
QYN_STUN_CREATE(TqynSTUN_Attribute_PASSWORD_ALGORITHM)
QYN_STUN_CREATE(TqynSTUN_Attribute_USERHASH)
QYN_STUN_CREATE(TqynSTUN_Attribute_PASSWORD_ALGORITHMS)
QYN_STUN_CREATE(TqynSTUN_Attribute_DONT_FRAGMENT)
QYN_STUN_CREATE(TqynSTUN_Attribute_USE_CANDIDATE)
QYN_STUN_CREATE(TqynSTUN_Attribute_CHANNEL_NUMBER)
QYN_STUN_CREATE(TqynSTUN_Attribute_LIFETIME)
QYN_STUN_CREATE(TqynSTUN_Attribute_DATA)
QYN_STUN_CREATE(TqynSTUN_Attribute_REQUESTED_ADDRESS_FAMILY)
QYN_STUN_CREATE(TqynSTUN_Attribute_ADDITIONAL_ADDRESS_FAMILY)
QYN_STUN_CREATE(TqynSTUN_Attribute_EVEN_PORT)
QYN_STUN_CREATE(TqynSTUN_Attribute_REQUESTED_TRANSPORT)
QYN_STUN_CREATE(TqynSTUN_Attribute_RESERVATION_TOKEN)
QYN_STUN_CREATE(TqynSTUN_Attribute_ADDRESS_ERROR_CODE)
QYN_STUN_CREATE(TqynSTUN_Attribute_ICMP)
QYN_STUN_CREATE(TqynSTUN_Attribute_PRIORITY)
QYN_STUN_CREATE(TqynSTUN_Attribute_ICE_CONTROLLED)
QYN_STUN_CREATE(TqynSTUN_Attribute_ICE_CONTROLLING)

// Unknown codes and attributes that carry no interpreted value: nothing is read (the frame skips
// the value), nothing is written.
#define QYN_STUN_EMPTY_VALUE_OPS(Name)                                  \
  void Name::WriteValue(TqynBytes&) const {}                            \
  void Name::ReadValue(const uint8_t*, size_t) {}                       \
  size_t Name::ValueLength() const { return 0; }

QYN_STUN_EMPTY_VALUE_OPS(TqynSTUN_Attribute_None)
QYN_STUN_EMPTY_VALUE_OPS(TqynSTUN_Attribute_CHANGE_REQUEST)
QYN_STUN_EMPTY_VALUE_OPS(TqynSTUN_Attribute_RESPONSE_PORT)
QYN_STUN_EMPTY_VALUE_OPS(TqynSTUN_Attribute_PADDING)
QYN_STUN_EMPTY_VALUE_OPS(TqynSTUN_Attribute_CACHE_TIMEOUT)
QYN_STUN_EMPTY_VALUE_OPS(TqynSTUN_Attribute_PASSWORD_ALGORITHM)
QYN_STUN_EMPTY_VALUE_OPS(TqynSTUN_Attribute_USERHASH)
QYN_STUN_EMPTY_VALUE_OPS(TqynSTUN_Attribute_PASSWORD_ALGORITHMS)
QYN_STUN_EMPTY_VALUE_OPS(TqynSTUN_Attribute_DONT_FRAGMENT)
QYN_STUN_EMPTY_VALUE_OPS(TqynSTUN_Attribute_USE_CANDIDATE)

// Address.
void TqynSTUN_Attribute_MAPPED_ADDRESS::WriteValue(TqynBytes& aOut) const {
  uint8_t a[16];
  const size_t n = AddressBytes(*this, a);
  QynAppendUInt16BE(aOut, Family());
  QynAppendUInt16BE(aOut, Port());
  QynAppendBytes(aOut, a, n);
}

// The address is left empty when its bytes do not all lie inside the value.
void TqynSTUN_Attribute_MAPPED_ADDRESS::ReadValue(const uint8_t* aBytes, size_t aValueEnd) {
  const int64_t pos = FReadOffset;
  SetFamily(QynReadUInt16BE(aBytes, aValueEnd, pos));
  SetPort(QynReadUInt16BE(aBytes, aValueEnd, pos + 2));
  if (Family() == 1 && Fits(pos + 4, 4, aValueEnd)) SetAddress(FormatIPv4(aBytes + pos + 4));
  else if (Family() == 2 && Fits(pos + 4, 16, aValueEnd)) SetAddress(FormatIPv6(aBytes + pos + 4));
  else SetAddress(std::string());
}

size_t TqynSTUN_Attribute_MAPPED_ADDRESS::ValueLength() const { return AddressValueLength(Family()); }

// XOR address.
void TqynSTUN_Attribute_XOR_MAPPED_ADDRESS::WriteValue(TqynBytes& aOut) const {
  uint8_t a[16];
  const size_t n = AddressBytes(*this, a);
  uint8_t key[16] = {0x21, 0x12, 0xA4, 0x42};
  std::copy_n(FTransactionId.begin(), std::min(FTransactionId.size(), size_t{12}), key + 4);
  for (size_t i = 0; i < n; ++i) a[i] ^= key[i];
  QynAppendUInt16BE(aOut, Family());
  QynAppendUInt16BE(aOut, static_cast<uint16_t>(Port() ^ 0x2112));
  QynAppendBytes(aOut, a, n);
}

// The IPv6 key is the magic cookie followed by the transaction id of the message being read,
// which lies at bytes 8 to 19 of the message.
void TqynSTUN_Attribute_XOR_MAPPED_ADDRESS::ReadValue(const uint8_t* aBytes, size_t aValueEnd) {
  const int64_t pos = FReadOffset;
  SetFamily(QynReadUInt16BE(aBytes, aValueEnd, pos));
  SetPort(static_cast<uint16_t>(QynReadUInt16BE(aBytes, aValueEnd, pos + 2) ^ 0x2112));
  if (Family() == 1 && Fits(pos + 4, 4, aValueEnd)) {
    uint8_t a[4];
    const uint8_t key[4] = {0x21, 0x12, 0xA4, 0x42};
    for (size_t i = 0; i < 4; ++i) a[i] = aBytes[pos + 4 + static_cast<int64_t>(i)] ^ key[i];
    SetAddress(FormatIPv4(a));
  } else if (Family() == 2 && Fits(pos + 4, 16, aValueEnd)) {
    uint8_t key[16] = {0x21, 0x12, 0xA4, 0x42};
    if (aValueEnd >= QYN_STUN_HEADER_SIZE) std::copy_n(aBytes + 8, 12, key + 4);
    FTransactionId.assign(key + 4, key + 16);
    uint8_t a[16];
    for (size_t i = 0; i < 16; ++i) a[i] = aBytes[pos + 4 + static_cast<int64_t>(i)] ^ key[i];
    SetAddress(FormatIPv6(a));
  } else {
    SetAddress(std::string());
  }
}

size_t TqynSTUN_Attribute_XOR_MAPPED_ADDRESS::ValueLength() const { return AddressValueLength(Family()); }

// Text.
#define QYN_STUN_TEXT_VALUE_OPS(Name)                                                                   \
  void Name::WriteValue(TqynBytes& aOut) const { WriteText(aOut, FText); }                              \
  void Name::ReadValue(const uint8_t* aBytes, size_t aValueEnd) { ReadText(FText, aBytes, FReadOffset, aValueEnd); } \
  size_t Name::ValueLength() const { return FText.size(); }

QYN_STUN_TEXT_VALUE_OPS(TqynSTUN_Attribute_USERNAME)
QYN_STUN_TEXT_VALUE_OPS(TqynSTUN_Attribute_REALM)
QYN_STUN_TEXT_VALUE_OPS(TqynSTUN_Attribute_NONCE)
QYN_STUN_TEXT_VALUE_OPS(TqynSTUN_Attribute_SOFTWARE)
QYN_STUN_TEXT_VALUE_OPS(TqynSTUN_Attribute_ALTERNATE_DOMAIN)

// Digests.
void TqynSTUN_Attribute_MESSAGE_INTEGRITY::WriteValue(TqynBytes& aOut) const { QynAppendBytes(aOut, FPayLoad); }
void TqynSTUN_Attribute_MESSAGE_INTEGRITY::ReadValue(const uint8_t* aBytes, size_t aValueEnd) {
  ReadBytes(FPayLoad, aBytes, FReadOffset, aValueEnd);
}
size_t TqynSTUN_Attribute_MESSAGE_INTEGRITY::ValueLength() const { return FPayLoad.size(); }

void TqynSTUN_Attribute_MESSAGE_INTEGRITY_SHA256::WriteValue(TqynBytes& aOut) const { QynAppendBytes(aOut, FPayLoad); }
void TqynSTUN_Attribute_MESSAGE_INTEGRITY_SHA256::ReadValue(const uint8_t* aBytes, size_t aValueEnd) {
  ReadBytes(FPayLoad, aBytes, FReadOffset, aValueEnd);
}
size_t TqynSTUN_Attribute_MESSAGE_INTEGRITY_SHA256::ValueLength() const { return FPayLoad.size(); }

// FINGERPRINT.
void TqynSTUN_Attribute_FINGERPRINT::WriteValue(TqynBytes& aOut) const { QynAppendUInt32BE(aOut, FFingerprint); }
void TqynSTUN_Attribute_FINGERPRINT::ReadValue(const uint8_t* aBytes, size_t aValueEnd) {
  FFingerprint = QynReadUInt32BE(aBytes, aValueEnd, FReadOffset);
}
size_t TqynSTUN_Attribute_FINGERPRINT::ValueLength() const { return 4; }

// ERROR-CODE.
void TqynSTUN_Attribute_ERROR_CODE::WriteValue(TqynBytes& aOut) const {
  QynAppendUInt16BE(aOut, 0);
  QynAppendUInt16BE(aOut, EncodeErrorCode(FCode));
  WriteText(aOut, FReason);
}
void TqynSTUN_Attribute_ERROR_CODE::ReadValue(const uint8_t* aBytes, size_t aValueEnd) {
  FCode = DecodeErrorCode(QynReadUInt16BE(aBytes, aValueEnd, int64_t{FReadOffset} + 2));
  ReadText(FReason, aBytes, int64_t{FReadOffset} + 4, aValueEnd);
}
size_t TqynSTUN_Attribute_ERROR_CODE::ValueLength() const { return 4 + FReason.size(); }

// UNKNOWN-ATTRIBUTES.
void TqynSTUN_Attribute_UNKNOWN_ATTRIBUTES::WriteValue(TqynBytes& aOut) const {
  for (TqynStunMessageAttribute a : FUnknownAttributes) QynAppendUInt16BE(aOut, AttributeTypeToCode(a));
}
void TqynSTUN_Attribute_UNKNOWN_ATTRIBUTES::ReadValue(const uint8_t* aBytes, size_t aValueEnd) {
  FUnknownAttributes.Clear();
  const int64_t pos = FReadOffset;
  const int count = AttributeLength() / 2;
  for (int i = 0; i < count; ++i)
    FUnknownAttributes.Include(AttributeCodeToType(QynReadUInt16BE(aBytes, aValueEnd, pos + 2 * i)));
}
size_t TqynSTUN_Attribute_UNKNOWN_ATTRIBUTES::ValueLength() const { return 2 * static_cast<size_t>(FUnknownAttributes.Count()); }

// CHANNEL-NUMBER.
void TqynSTUN_Attribute_CHANNEL_NUMBER::WriteValue(TqynBytes& aOut) const {
  QynAppendUInt16BE(aOut, FChannel);
  QynAppendUInt16BE(aOut, 0);
}
void TqynSTUN_Attribute_CHANNEL_NUMBER::ReadValue(const uint8_t* aBytes, size_t aValueEnd) {
  FChannel = QynReadUInt16BE(aBytes, aValueEnd, FReadOffset);
}
size_t TqynSTUN_Attribute_CHANNEL_NUMBER::ValueLength() const { return 4; }

// LIFETIME.
void TqynSTUN_Attribute_LIFETIME::WriteValue(TqynBytes& aOut) const { QynAppendUInt32BE(aOut, FLifetime); }
void TqynSTUN_Attribute_LIFETIME::ReadValue(const uint8_t* aBytes, size_t aValueEnd) {
  FLifetime = QynReadUInt32BE(aBytes, aValueEnd, FReadOffset);
}
size_t TqynSTUN_Attribute_LIFETIME::ValueLength() const { return 4; }

// DATA.
void TqynSTUN_Attribute_DATA::WriteValue(TqynBytes& aOut) const { QynAppendBytes(aOut, FData); }
void TqynSTUN_Attribute_DATA::ReadValue(const uint8_t* aBytes, size_t aValueEnd) { ReadBytes(FData, aBytes, FReadOffset, aValueEnd); }
size_t TqynSTUN_Attribute_DATA::ValueLength() const { return FData.size(); }

// REQUESTED-ADDRESS-FAMILY and ADDITIONAL-ADDRESS-FAMILY.
void TqynSTUN_Attribute_REQUESTED_ADDRESS_FAMILY::WriteValue(TqynBytes& aOut) const {
  QynAppendUInt32BE(aOut, uint32_t{Family()} << 24);
}
void TqynSTUN_Attribute_REQUESTED_ADDRESS_FAMILY::ReadValue(const uint8_t* aBytes, size_t aValueEnd) {
  SetFamily(QynReadUInt8(aBytes, aValueEnd, FReadOffset));
}
size_t TqynSTUN_Attribute_REQUESTED_ADDRESS_FAMILY::ValueLength() const { return 4; }

// EVEN-PORT.
void TqynSTUN_Attribute_EVEN_PORT::WriteValue(TqynBytes& aOut) const { QynAppendByte(aOut, FEven ? 0x80 : 0x00); }
void TqynSTUN_Attribute_EVEN_PORT::ReadValue(const uint8_t* aBytes, size_t aValueEnd) {
  FEven = (QynReadUInt8(aBytes, aValueEnd, FReadOffset) & 0x80) != 0;
}
size_t TqynSTUN_Attribute_EVEN_PORT::ValueLength() const { return 1; }

// REQUESTED-TRANSPORT.
void TqynSTUN_Attribute_REQUESTED_TRANSPORT::WriteValue(TqynBytes& aOut) const { QynAppendUInt32BE(aOut, uint32_t{FProtocol} << 24); }
void TqynSTUN_Attribute_REQUESTED_TRANSPORT::ReadValue(const uint8_t* aBytes, size_t aValueEnd) {
  FProtocol = QynReadUInt8(aBytes, aValueEnd, FReadOffset);
}
size_t TqynSTUN_Attribute_REQUESTED_TRANSPORT::ValueLength() const { return 4; }

// RESERVATION-TOKEN: eight bytes (fewer when the value is cut short).
void TqynSTUN_Attribute_RESERVATION_TOKEN::WriteValue(TqynBytes& aOut) const { QynAppendBytes(aOut, FToken); }
void TqynSTUN_Attribute_RESERVATION_TOKEN::ReadValue(const uint8_t* aBytes, size_t aValueEnd) {
  ReadBytes(FToken, aBytes, FReadOffset, aValueEnd, 8);
}
size_t TqynSTUN_Attribute_RESERVATION_TOKEN::ValueLength() const { return FToken.size(); }

// ADDRESS-ERROR-CODE.
void TqynSTUN_Attribute_ADDRESS_ERROR_CODE::WriteValue(TqynBytes& aOut) const {
  QynAppendByte(aOut, Family());
  QynAppendByte(aOut, 0);
  QynAppendUInt16BE(aOut, EncodeErrorCode(FCode));
  WriteText(aOut, FReason);
}
void TqynSTUN_Attribute_ADDRESS_ERROR_CODE::ReadValue(const uint8_t* aBytes, size_t aValueEnd) {
  SetFamily(QynReadUInt8(aBytes, aValueEnd, FReadOffset));
  FCode = DecodeErrorCode(QynReadUInt16BE(aBytes, aValueEnd, int64_t{FReadOffset} + 2));
  ReadText(FReason, aBytes, int64_t{FReadOffset} + 4, aValueEnd);
}
size_t TqynSTUN_Attribute_ADDRESS_ERROR_CODE::ValueLength() const { return 4 + FReason.size(); }

// ICMP.
void TqynSTUN_Attribute_ICMP::WriteValue(TqynBytes& aOut) const {
  QynAppendUInt16BE(aOut, 0);
  QynAppendByte(aOut, FICMPType);
  QynAppendByte(aOut, static_cast<uint8_t>(FICMPCode & 0xFF));
  QynAppendUInt32BE(aOut, FErrorData);
}
void TqynSTUN_Attribute_ICMP::ReadValue(const uint8_t* aBytes, size_t aValueEnd) {
  const int64_t pos = FReadOffset;
  if (QynReadUInt16BE(aBytes, aValueEnd, pos) != 0)
    throw Exception(QynFormat(RS_InvalidAttributeFormat, RS_AttributeNameICMP));
  FICMPType = QynReadUInt8(aBytes, aValueEnd, pos + 2);
  FICMPCode = QynReadUInt8(aBytes, aValueEnd, pos + 3);
  FErrorData = QynReadUInt32BE(aBytes, aValueEnd, pos + 4);
}
size_t TqynSTUN_Attribute_ICMP::ValueLength() const { return 8; }

// PRIORITY.
void TqynSTUN_Attribute_PRIORITY::WriteValue(TqynBytes& aOut) const { QynAppendUInt32BE(aOut, FPriority); }
void TqynSTUN_Attribute_PRIORITY::ReadValue(const uint8_t* aBytes, size_t aValueEnd) {
  FPriority = QynReadUInt32BE(aBytes, aValueEnd, FReadOffset);
}
size_t TqynSTUN_Attribute_PRIORITY::ValueLength() const { return 4; }

// ICE-CONTROLLED and ICE-CONTROLLING.
void TqynSTUN_Attribute_ICE_CONTROL_BASE::WriteValue(TqynBytes& aOut) const { QynAppendBytes(aOut, FTieBreaker); }
void TqynSTUN_Attribute_ICE_CONTROL_BASE::ReadValue(const uint8_t* aBytes, size_t aValueEnd) {
  ReadBytes(FTieBreaker, aBytes, FReadOffset, aValueEnd, 8);
}
size_t TqynSTUN_Attribute_ICE_CONTROL_BASE::ValueLength() const { return FTieBreaker.size(); }

// ---- Class map ------------------------------------------------------------------------------

TqynSTUN_AttributeClass AttributeClassOfType(TqynStunMessageAttribute aType) noexcept {
  static constexpr std::array<TqynSTUN_AttributeClass, QYN_STUN_ATTRIBUTE_TYPE_COUNT> kClasses = {
      &TqynSTUN_Attribute_None::Create,
      &TqynSTUN_Attribute_MAPPED_ADDRESS::Create,
      &TqynSTUN_Attribute_XOR_MAPPED_ADDRESS::Create,
      &TqynSTUN_Attribute_USERNAME::Create,
      &TqynSTUN_Attribute_MESSAGE_INTEGRITY::Create,
      &TqynSTUN_Attribute_FINGERPRINT::Create,
      &TqynSTUN_Attribute_ERROR_CODE::Create,
      &TqynSTUN_Attribute_REALM::Create,
      &TqynSTUN_Attribute_NONCE::Create,
      &TqynSTUN_Attribute_UNKNOWN_ATTRIBUTES::Create,
      &TqynSTUN_Attribute_SOFTWARE::Create,
      &TqynSTUN_Attribute_ALTERNATE_SERVER::Create,
      &TqynSTUN_Attribute_CHANGE_REQUEST::Create,
      &TqynSTUN_Attribute_RESPONSE_PORT::Create,
      &TqynSTUN_Attribute_PADDING::Create,
      &TqynSTUN_Attribute_CACHE_TIMEOUT::Create,
      &TqynSTUN_Attribute_RESPONSE_ORIGIN::Create,
      &TqynSTUN_Attribute_OTHER_ADDRESS::Create,
      &TqynSTUN_Attribute_SOURCE_ADDRESS::Create,
      &TqynSTUN_Attribute_CHANGED_ADDRESS::Create,
      &TqynSTUN_Attribute_MESSAGE_INTEGRITY_SHA256::Create,
      &TqynSTUN_Attribute_PASSWORD_ALGORITHM::Create,
      &TqynSTUN_Attribute_USERHASH::Create,
      &TqynSTUN_Attribute_PASSWORD_ALGORITHMS::Create,
      &TqynSTUN_Attribute_ALTERNATE_DOMAIN::Create,
      &TqynSTUN_Attribute_CHANNEL_NUMBER::Create,
      &TqynSTUN_Attribute_LIFETIME::Create,
      &TqynSTUN_Attribute_XOR_PEER_ADDRESS::Create,
      &TqynSTUN_Attribute_DATA::Create,
      &TqynSTUN_Attribute_XOR_RELAYED_ADDRESS::Create,
      &TqynSTUN_Attribute_REQUESTED_ADDRESS_FAMILY::Create,
      &TqynSTUN_Attribute_EVEN_PORT::Create,
      &TqynSTUN_Attribute_REQUESTED_TRANSPORT::Create,
      &TqynSTUN_Attribute_DONT_FRAGMENT::Create,
      &TqynSTUN_Attribute_RESERVATION_TOKEN::Create,
      &TqynSTUN_Attribute_ADDITIONAL_ADDRESS_FAMILY::Create,
      &TqynSTUN_Attribute_ADDRESS_ERROR_CODE::Create,
      &TqynSTUN_Attribute_ICMP::Create,
      &TqynSTUN_Attribute_PRIORITY::Create,
      &TqynSTUN_Attribute_USE_CANDIDATE::Create,
      &TqynSTUN_Attribute_ICE_CONTROLLED::Create,
      &TqynSTUN_Attribute_ICE_CONTROLLING::Create,
  };
  const auto i = static_cast<size_t>(aType);
  return i < kClasses.size() ? kClasses[i] : kClasses[0];
}

// ---- Attribute list -------------------------------------------------------------------------

TqynSTUN_Attribute* TqynSTUN_AttributeList::Add(std::unique_ptr<TqynSTUN_Attribute> aAttribute) {
  TqynSTUN_Attribute* result = aAttribute.get();
  if (result) FItems.push_back(std::move(aAttribute));
  return result;
}

void TqynSTUN_AttributeList::Delete(size_t aIndex) {
  if (aIndex < FItems.size()) FItems.erase(FItems.begin() + static_cast<std::ptrdiff_t>(aIndex));
}

TqynSTUN_Attribute* TqynSTUN_AttributeList::GetAttribute(TqynStunMessageAttribute aType) const noexcept {
  for (const auto& a : FItems)
    if (a->AttributeType() == aType) return a.get();
  return nullptr;
}

void TqynSTUN_AttributeList::Write(TqynBytes& aOut) const {
  for (const auto& a : FItems) a->Write(aOut);
}

TqynBytes TqynSTUN_AttributeList::Write() const {
  TqynBytes out;
  out.reserve(MessageLength());
  Write(out);
  return out;
}

uint32_t TqynSTUN_AttributeList::MessageLength() const {
  uint32_t total = 0;
  for (const auto& a : FItems) total += a->FrameLength();
  return total;
}

// ---- Message: reading -----------------------------------------------------------------------

bool IsSTUNMessage(const uint8_t* aBytes, size_t aSize) noexcept {
  if (aSize < QYN_STUN_HEADER_SIZE || (aBytes[0] & 0xC0) != 0) return false;
  const size_t length = QynReadUInt16BE(aBytes, aSize, 2);
  return length + QYN_STUN_HEADER_SIZE == aSize && (length & 3) == 0;
}

// Which attributes a message holds (RFC 8489 sections 14.5-14.7): MESSAGE-INTEGRITY protects
// only what comes before it, so after it only MESSAGE-INTEGRITY-SHA256 and FINGERPRINT are taken,
// and after MESSAGE-INTEGRITY-SHA256 only FINGERPRINT; a FINGERPRINT counts only as the last
// attribute. Everything else is skipped without an object: a datagram costs one pass over its
// bytes, one CRC and one HMAC, however many attributes it carries.
void TqynSTUN_Message::Read(const uint8_t* aBytes, size_t aSize) {
  FHeader.Read(aBytes, aSize); // raises "Invalid Header Format" below 20 bytes
  FAttributes.Clear();
  FFingerprint = stfsNone;
  FMessageIntegrity = stisNone;
  FMessageIntegrityKeyGiven = false;
  FICERequest = false;
  if (!IsSTUNMessage(aBytes, aSize)) throw Exception(RS_InvalidHeaderFormat);
  if (aSize > QYN_STUN_HEADER_SIZE) FAttributes.Reserve(std::min<size_t>(12, (aSize - QYN_STUN_HEADER_SIZE + 11) / 12));

  struct TFound {
    const TqynSTUN_Attribute* Attribute = nullptr;
    size_t Offset = 0; // where its frame starts in the datagram
  } integrity, integritySHA256, fingerprint;

  size_t offset = QYN_STUN_HEADER_SIZE;
  while (offset < aSize) {
    // The length field is a multiple of 4, so a whole frame header is always there.
    const uint16_t code = QynReadUInt16BE(aBytes, aSize, static_cast<int64_t>(offset));
    const size_t valueLength = QynReadUInt16BE(aBytes, aSize, static_cast<int64_t>(offset) + 2);
    const size_t next = offset + 4 + ((valueLength + 3) & ~size_t{3});
    const TqynStunMessageAttribute type = AttributeCodeToType(code);
    if (next > aSize) throw Exception(QynFormat(RS_AttributePastEnd, AttributeTypeName(type), static_cast<int>(offset)));

    bool keep;
    if (type == stmaFingerprint) keep = next == aSize;
    else if (integritySHA256.Attribute) keep = false;
    else if (integrity.Attribute) keep = type == stmaMesssage_Integrity_SHA256;
    else keep = type != stmaMapped_None;
    if (!keep) {
      offset = next;
      continue;
    }

    std::unique_ptr<TqynSTUN_Attribute> attribute = CreateAttributeOfType(type);
    int32_t readOffset = static_cast<int32_t>(offset);
    attribute->Read(aBytes, aSize, readOffset);
    if (type == stmaICE_Controlled || type == stmaICE_Controlling) FICERequest = true;
    if (type == stmaMesssage_Integrity) integrity = {attribute.get(), offset};
    else if (type == stmaMesssage_Integrity_SHA256) integritySHA256 = {attribute.get(), offset};
    else if (type == stmaFingerprint) fingerprint = {attribute.get(), offset};
    FAttributes.Add(std::move(attribute));
    offset = next;
  }

  if (fingerprint.Attribute)
    CheckFingerprint(aBytes, fingerprint.Offset, static_cast<const TqynSTUN_Attribute_FINGERPRINT&>(*fingerprint.Attribute));
  // With both integrity attributes only MESSAGE-INTEGRITY-SHA256 is checked (RFC 8489 section
  // 9.2.4); it covers MESSAGE-INTEGRITY too.
  if (integritySHA256.Attribute) {
    const auto& a = static_cast<const TqynSTUN_Attribute_MESSAGE_INTEGRITY_SHA256&>(*integritySHA256.Attribute);
    CheckIntegrity(aBytes, integritySHA256.Offset, TqynBytes(a.PayLoad()), true);
  } else if (integrity.Attribute) {
    const auto& a = static_cast<const TqynSTUN_Attribute_MESSAGE_INTEGRITY&>(*integrity.Attribute);
    CheckIntegrity(aBytes, integrity.Offset, TqynBytes(a.PayLoad()), false);
  }
}

// The CRC covers every byte before the FINGERPRINT, which is the last attribute, so the header's
// length already counts it.
void TqynSTUN_Message::CheckFingerprint(const uint8_t* aBytes, size_t aOffset, const TqynSTUN_Attribute_FINGERPRINT& aAttribute) {
  const bool whole = aAttribute.AttributeLength() == 4;
  const uint32_t crc = QynCRC32(aBytes, aOffset) ^ QYN_STUN_FINGERPRINT_XOR;
  FFingerprint = whole && crc == aAttribute.Fingerprint() ? stfsFingerprintValid : stfsFingerprintInvalid;
}

// Keys. ICE requests take the ICE password of the USERNAME; an assigned
// OnRequestMessageIntegrityKey gives the key bytes itself; otherwise a message that carries REALM
// uses long-term credentials and one without uses short-term credentials.
//
// Long-term credentials without PASSWORD-ALGORITHM (RFC 8489 section 9.2.2) key both
// MESSAGE-INTEGRITY and MESSAGE-INTEGRITY-SHA256 with the 16 bytes MD5(username ":" realm ":"
// password), username and realm exactly as received; writing uses the same key. Short-term
// credentials (section 9.1.1) key both with the UTF-8 password itself.
//
// The digest covers exactly the bytes before the integrity attribute (which starts at aOffset),
// with the header's length field set to count the attributes up to and including it (RFC 8489
// sections 14.5 and 14.6). A value that is not a whole digest never matches.
void TqynSTUN_Message::CheckIntegrity(const uint8_t* aBytes, size_t aOffset, const TqynBytes& aPayLoad, bool aSHA256) {
  FMessageIntegrity = stisMessageIntegrityInvalid;
  FMessageIntegrityKeyGiven = false;

  TqynBytes key;
  bool given = false;
  if (FICERequest) {
    const auto* username = FAttributes.GetAttribute<TqynSTUN_Attribute_USERNAME>(stmaUsername);
    if (!username) {
      FMessageIntegrity = stisMessageIntegrityInvalidRequest;
      return;
    }
    const std::string user = username->Username();
    std::string password;
    if (OnICEValidateMessageIntegrity) OnICEValidateMessageIntegrity(this, user, password);
    given = !password.empty();
    key = TextBytes(password);
  } else if (OnRequestMessageIntegrityKey) {
    OnRequestMessageIntegrityKey(this, FHeader.TransactionIdString(), key);
    given = !key.empty();
  } else {
    const auto* realm = FAttributes.GetAttribute<TqynSTUN_Attribute_REALM>(stmaRealm);
    if (!aSHA256 || realm) {
      const auto* username = FAttributes.GetAttribute<TqynSTUN_Attribute_USERNAME>(stmaUsername);
      const auto* nonce = FAttributes.GetAttribute<TqynSTUN_Attribute_NONCE>(stmaNonce);
      if (!username || !realm || !nonce) {
        FMessageIntegrity = stisMessageIntegrityInvalidRequest;
        return;
      }
      const std::string user = username->Username();
      const std::string realmText = realm->Realm();
      std::string password;
      if (OnRequestMessageIntegrityPassword) OnRequestMessageIntegrityPassword(this, user, realmText, password);
      given = !password.empty();
      key = LongTermKey(user, realmText, password);
    } else {
      std::string password;
      if (OnRequestMessageIntegrityPassword) OnRequestMessageIntegrityPassword(this, std::string(), std::string(), password);
      given = !password.empty();
      key = TextBytes(password);
    }
  }

  const size_t digestSize = aSHA256 ? 32 : 20;
  if (aPayLoad.size() != digestSize) return;

  // The covered bytes with the adjusted length field; small messages stay on the stack.
  const size_t n = aOffset;
  std::array<uint8_t, 1536> stackCopy;
  TqynBytes heapCopy;
  uint8_t* copy = stackCopy.data();
  if (n > stackCopy.size()) {
    heapCopy.resize(n);
    copy = heapCopy.data();
  }
  std::copy_n(aBytes, n, copy);
  const size_t coveredLength = aOffset + 4 + digestSize - QYN_STUN_HEADER_SIZE;
  copy[2] = static_cast<uint8_t>(coveredLength >> 8);
  copy[3] = static_cast<uint8_t>(coveredLength);

  uint8_t digest[32];
  if (aSHA256) TIdHMACSHA256::HashValue(key.data(), key.size(), copy, n, digest);
  else TIdHMACSHA1::HashValue(key.data(), key.size(), copy, n, digest);
  if (CRYPTO_memcmp(digest, aPayLoad.data(), digestSize) == 0) {
    FMessageIntegrity = stisMessageIntegrityValid;
    FMessageIntegrityKeyGiven = given;
  }
}

// ---- Message: writing -----------------------------------------------------------------------

namespace {

void CheckMessageLength(size_t aAttributeBytes) {
  if (aAttributeBytes > 0xFFFF) throw Exception(QynFormat(RS_MessageTooLong, static_cast<int>(aAttributeBytes)));
}

// Serializes header and attributes into aOut; the length field is left for the caller to set.
void SerializeMessage(const TqynSTUN_Header& aHeader, const TqynSTUN_AttributeList& aAttributes, TqynBytes& aOut,
                      size_t aExtra) {
  aOut.clear();
  aOut.reserve(QYN_STUN_HEADER_SIZE + aAttributes.MessageLength() + aExtra);
  aHeader.Write(aOut);
  aAttributes.Write(aOut);
}

} // namespace

// Appends MESSAGE-INTEGRITY (HMAC-SHA1) or MESSAGE-INTEGRITY-SHA256 over aOut, whose length field
// is first set to cover the new attribute.
void TqynSTUN_Message::AppendIntegrity(TqynBytes& aOut, const TqynBytes& aKey, bool aSHA256) {
  const size_t digestSize = aSHA256 ? 32 : 20;
  const size_t length = aOut.size() - QYN_STUN_HEADER_SIZE + 4 + digestSize;
  CheckMessageLength(length);
  QynPutUInt16BE(aOut, 2, static_cast<uint16_t>(length));
  TqynBytes digest(digestSize);
  if (aSHA256) TIdHMACSHA256::HashValue(aKey.data(), aKey.size(), aOut.data(), aOut.size(), digest.data());
  else TIdHMACSHA1::HashValue(aKey.data(), aKey.size(), aOut.data(), aOut.size(), digest.data());
  if (aSHA256) {
    auto* a = FAttributes.Add<TqynSTUN_Attribute_MESSAGE_INTEGRITY_SHA256>();
    a->SetKey(aKey);
    a->SetPayLoad(digest);
    a->Write(aOut);
  } else {
    auto* a = FAttributes.Add<TqynSTUN_Attribute_MESSAGE_INTEGRITY>();
    a->SetKey(aKey);
    a->SetPayLoad(digest);
    a->Write(aOut);
  }
  FHeader.SetMessageLength(static_cast<uint16_t>(length));
}

void TqynSTUN_Message::AppendFingerprint(TqynBytes& aOut) {
  const size_t length = aOut.size() - QYN_STUN_HEADER_SIZE + 8;
  CheckMessageLength(length);
  QynPutUInt16BE(aOut, 2, static_cast<uint16_t>(length));
  auto* a = FAttributes.Add<TqynSTUN_Attribute_FINGERPRINT>();
  a->SetFingerprint(QynCRC32(aOut.data(), aOut.size()) ^ QYN_STUN_FINGERPRINT_XOR);
  a->Write(aOut);
  FHeader.SetMessageLength(static_cast<uint16_t>(length));
}

// Long-term credentials key MESSAGE-INTEGRITY and MESSAGE-INTEGRITY-SHA256 with
// MD5(Username ":" Realm ":" Password) (RFC 8489 section 9.2.2, no PASSWORD-ALGORITHM), the same
// key the reader derives; short-term credentials key both with the UTF-8 password given by
// OnICERequestMessageIntegrityPassword.
//
// A message with credentials is signed whether or not it also asks for a FINGERPRINT: a client
// configured for long-term credentials must answer a challenge with a signed request even when
// FINGERPRINT is off (RFC 5389 does not tie one to the other), or the server challenges forever.
void TqynSTUN_Message::Write(TqynBytes& aOut) {
  const bool integrity = FCredentials == stauShortTermCredential || FCredentials == stauLongTermCredential;
  const bool fingerprint = FFingerprint == stfsFingerprintValid;
  if (fingerprint || integrity) {
    TqynBytes key;
    if (integrity) {
      if (FCredentials == stauLongTermCredential) {
        if (FMessageType == stmtClientRequest) {
          FAttributes.Add<TqynSTUN_Attribute_USERNAME>()->SetUsername(FUsername);
          FAttributes.Add<TqynSTUN_Attribute_REALM>()->SetRealm(FRealm);
          FAttributes.Add<TqynSTUN_Attribute_NONCE>()->SetNonce(FNonce);
        }
        key = LongTermKey(FUsername, FRealm, FPassword);
      } else {
        std::string password;
        if (OnICERequestMessageIntegrityPassword) OnICERequestMessageIntegrityPassword(this, this, password);
        key = TextBytes(password);
      }
    }
    SerializeMessage(FHeader, FAttributes, aOut, 24 + 36 + 8);
    CheckMessageLength(aOut.size() - QYN_STUN_HEADER_SIZE);
    if (integrity) {
      AppendIntegrity(aOut, key, false);
      if (FMessageIntegritySHA256 == stisMessageIntegrityValid) AppendIntegrity(aOut, key, true);
    }
    if (fingerprint) AppendFingerprint(aOut);
  } else if (FMessageIntegrity == stisMessageIntegrityValid) {
    const TqynBytes key = LongTermKey(FUsername, FRealm, FPassword);
    SerializeMessage(FHeader, FAttributes, aOut, 24);
    CheckMessageLength(aOut.size() - QYN_STUN_HEADER_SIZE);
    AppendIntegrity(aOut, key, false);
  } else {
    // Nothing appended: the length field is written as the caller set it.
    SerializeMessage(FHeader, FAttributes, aOut, 0);
  }
}

TqynBytes TqynSTUN_Message::Write() {
  TqynBytes out;
  Write(out);
  return out;
}
