#include "qynP2P_STUN_Types.h"

#include <array>

namespace {

struct TAttributeInfo {
  uint16_t Code;
  const char* Name;
};

// Indexed by TqynStunMessageAttribute.
constexpr std::array<TAttributeInfo, QYN_STUN_ATTRIBUTE_TYPE_COUNT> kAttributes = {{
    {0x0000, "UNKNOWN"},
    {0x0001, "MAPPED-ADDRESS"},
    {0x0020, "XOR-MAPPED-ADDRESS"},
    {0x0006, "USERNAME"},
    {0x0008, "MESSAGE-INTEGRITY"},
    {0x8028, "FINGERPRINT"},
    {0x0009, "ERROR-CODE"},
    {0x0014, "REALM"},
    {0x0015, "NONCE"},
    {0x000A, "UNKNOWN-ATTRIBUTES"},
    {0x8022, "SOFTWARE"},
    {0x8023, "ALTERNATE-SERVER"},
    {0x0003, "CHANGE-REQUEST"},
    {0x0027, "RESPONSE-PORT"},
    {0x0026, "PADDING"},
    {0x8027, "CACHE-TIMEOUT"},
    {0x802B, "RESPONSE-ORIGIN"},
    {0x802C, "OTHER-ADDRESS"},
    {0x0004, "SOURCE-ADDRESS"},
    {0x0005, "CHANGED-ADDRESS"},
    {0x001C, "MESSAGE-INTEGRITY-SHA256"},
    {0x001D, "PASSWORD-ALGORITHM"},
    {0x001E, "USERHASH"},
    {0x8002, "PASSWORD-ALGORITHMS"},
    {0x8003, "ALTERNATE-DOMAIN"},
    {0x000C, "CHANNEL-NUMBER"},
    {0x000D, "LIFETIME"},
    {0x0012, "XOR-PEER-ADDRESS"},
    {0x0013, "DATA"},
    {0x0016, "XOR-RELAYED-ADDRESS"},
    {0x0017, "REQUESTED-ADDRESS-FAMILY"},
    {0x0018, "EVEN-PORT"},
    {0x0019, "REQUESTED-TRANSPORT"},
    {0x001A, "DONT-FRAGMENT"},
    {0x0022, "RESERVATION-TOKEN"},
    {0x8000, "ADDITIONAL-ADDRESS-FAMILY"},
    {0x8001, "ADDRESS-ERROR-CODE"},
    {0x8004, "ICMP"},
    {0x0024, "PRIORITY"},
    {0x0025, "USE-CANDIDATE"},
    {0x8029, "ICE-CONTROLLED"},
    {0x802A, "ICE-CONTROLLING"},
}};

// The codes of the table fall into two small windows, 0x0000-0x003F and 0x8000-0x803F, so the
// reverse map is two 64-entry lookup tables.
struct TCodeTables {
  std::array<uint8_t, 64> Low{};
  std::array<uint8_t, 64> High{};
};

constexpr TCodeTables BuildCodeTables() {
  TCodeTables t{};
  for (size_t i = 1; i < kAttributes.size(); ++i) {
    const uint16_t c = kAttributes[i].Code;
    if (c < 0x40) t.Low[c] = static_cast<uint8_t>(i);
    else t.High[c - 0x8000] = static_cast<uint8_t>(i);
  }
  return t;
}
constexpr TCodeTables kCodeTables = BuildCodeTables();

// Every code of the table must land in one of the two windows, and no two types share a code.
constexpr bool CheckCodeTables() {
  for (size_t i = 1; i < kAttributes.size(); ++i) {
    const uint16_t c = kAttributes[i].Code;
    if (!(c > 0 && c < 0x40) && !(c >= 0x8000 && c < 0x8040)) return false;
    const uint8_t back = c < 0x40 ? kCodeTables.Low[c] : kCodeTables.High[c - 0x8000];
    if (back != i) return false;
  }
  return true;
}
static_assert(CheckCodeTables(), "attribute code table");

// Slicing-by-8 tables of the reflected CRC-32, built at compile time.
using TCrcTables = std::array<std::array<uint32_t, 256>, 8>;
constexpr TCrcTables BuildCrcTables() {
  TCrcTables t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (0xEDB88320u ^ (c >> 1)) : (c >> 1);
    t[0][i] = c;
  }
  for (uint32_t i = 0; i < 256; ++i)
    for (size_t s = 1; s < 8; ++s) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
  return t;
}
constexpr TCrcTables kCrc = BuildCrcTables();

} // namespace

uint16_t AttributeTypeToCode(TqynStunMessageAttribute aType) noexcept {
  const auto i = static_cast<size_t>(aType);
  return i < kAttributes.size() ? kAttributes[i].Code : 0;
}

TqynStunMessageAttribute AttributeCodeToType(uint16_t aCode) noexcept {
  if (aCode < 0x40) return static_cast<TqynStunMessageAttribute>(kCodeTables.Low[aCode]);
  if (aCode >= 0x8000 && aCode < 0x8040) return static_cast<TqynStunMessageAttribute>(kCodeTables.High[aCode - 0x8000]);
  return stmaMapped_None;
}

const char* AttributeTypeName(TqynStunMessageAttribute aType) noexcept {
  const auto i = static_cast<size_t>(aType);
  return i < kAttributes.size() ? kAttributes[i].Name : kAttributes[0].Name;
}

uint32_t QynCRC32(const void* aData, size_t aLen) noexcept {
  const auto* p = static_cast<const uint8_t*>(aData);
  uint32_t c = 0xFFFFFFFFu;
  while (aLen >= 8) {
    const uint32_t lo = c ^ (uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24));
    const uint32_t hi = uint32_t{p[4]} | (uint32_t{p[5]} << 8) | (uint32_t{p[6]} << 16) | (uint32_t{p[7]} << 24);
    c = kCrc[7][lo & 0xFF] ^ kCrc[6][(lo >> 8) & 0xFF] ^ kCrc[5][(lo >> 16) & 0xFF] ^ kCrc[4][lo >> 24] ^
        kCrc[3][hi & 0xFF] ^ kCrc[2][(hi >> 8) & 0xFF] ^ kCrc[1][(hi >> 16) & 0xFF] ^ kCrc[0][hi >> 24];
    p += 8;
    aLen -= 8;
  }
  while (aLen--) c = kCrc[0][(c ^ *p++) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}
