// Enumerations and small value types of the STUN codec, the maps between attribute types and
// their wire codes, and the big-endian byte routines shared by the protocol core.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <string>

#include "qynBase_Types.h"

// The two class bits of the message type; ordinal = C1 * 2 + C0.
enum TqynStunMessageClass : uint8_t { stmcRequest, stmcIndication, stmcResponseSuccess, stmcResponseError };

// The ordinal is the method code. Reading keeps the low eight method bits, so a method outside
// the members below arrives as its plain code.
enum TqynStunMessageMethod : uint8_t {
  stmmUnknown,
  stmmBinding,
  stmmReserved,
  stmmAllocate,
  stmmRefresh,
  stmmReserved2,
  stmmSend,
  stmmData,
  stmmCreatePermission,
  stmmChannelBind
};

// On a read message: no FINGERPRINT, matching, not matching. On a message to be written,
// stfsFingerprintValid asks for a FINGERPRINT.
enum TqynStunFingerprintState : uint8_t { stfsNone, stfsFingerprintValid, stfsFingerprintInvalid };

// On a read message: no integrity attribute, verified, wrong, or not checkable because an attribute
// needed for the key is missing. On a message to be written, stisMessageIntegrityValid asks for
// integrity.
enum TqynStunMessageIntegrityState : uint8_t {
  stisNone,
  stisMessageIntegrityValid,
  stisMessageIntegrityInvalid,
  stisMessageIntegrityInvalidRequest
};

enum TqynStunCredentials : uint8_t { stauNone, stauShortTermCredential, stauLongTermCredential };

enum TqynStunMessageType : uint8_t {
  stmtUnknown,
  stmtClientRequest,
  stmtClientResponse,
  stmtServerRequest,
  stmtServerResponse
};

enum TqynStunNonceState : uint8_t { stnsNonceUnknown, stnsNonceValid, stnsNonceStaled };

enum TqynSTUNTransport : uint8_t { stunUDP, stunTCP };

// Every attribute type the codec knows; stmaMapped_None stands for any other code.
enum TqynStunMessageAttribute : uint8_t {
  stmaMapped_None,
  stmaMapped_Address,
  stmaXOR_Mapped_Address,
  stmaUsername,
  stmaMesssage_Integrity,
  stmaFingerprint,
  stmaError_Code,
  stmaRealm,
  stmaNonce,
  stmaUnknown_Attributes,
  stmaSoftware,
  stmaAlternate_Server,
  stmaChange_Request,
  stmaResponse_Port,
  stmaPadding,
  stmaCache_Timeout,
  stmaResponse_Origin,
  stmaOther_Address,
  stmaSource_Address,
  stmaChanged_Address,
  stmaMesssage_Integrity_SHA256,
  stmaPassword_Algorithm,
  stmaUserhash,
  stmaPassword_Algorithms,
  stmaAlternate_Domain,
  stmaChannel_Number,
  stmaLifetime,
  stmaXOR_Peer_Address,
  stmaData,
  stmaXOR_Relayed_Address,
  stmaRequested_Address_Family,
  stmaEven_Port,
  stmaRequested_Transport,
  stmaDont_Fragment,
  stmaReservation_Token,
  stmaAdditional_Address_Family,
  stmaAddress_Error_Code,
  stmaICMP,
  stmaPriority,
  stmaUse_Candidate,
  stmaICE_Controlled,
  stmaICE_Controlling
};

inline constexpr int QYN_STUN_ATTRIBUTE_TYPE_COUNT = static_cast<int>(stmaICE_Controlling) + 1;

// A set of attribute types, one bit per member. Iteration visits members in ascending ordinal
// order.
class TqynStunMessageAttributes {
public:
  constexpr TqynStunMessageAttributes() noexcept = default;
  constexpr TqynStunMessageAttributes(std::initializer_list<TqynStunMessageAttribute> aMembers) noexcept {
    for (auto m : aMembers) Include(m);
  }

  constexpr void Include(TqynStunMessageAttribute a) noexcept { FBits |= Bit(a); }
  constexpr void Exclude(TqynStunMessageAttribute a) noexcept { FBits &= ~Bit(a); }
  constexpr bool Contains(TqynStunMessageAttribute a) const noexcept { return (FBits & Bit(a)) != 0; }
  constexpr bool Empty() const noexcept { return FBits == 0; }
  constexpr void Clear() noexcept { FBits = 0; }
  int Count() const noexcept { return __builtin_popcountll(FBits); }
  constexpr uint64_t Bits() const noexcept { return FBits; }

  constexpr TqynStunMessageAttributes operator+(TqynStunMessageAttributes b) const noexcept { return FromBits(FBits | b.FBits); }
  constexpr TqynStunMessageAttributes operator*(TqynStunMessageAttributes b) const noexcept { return FromBits(FBits & b.FBits); }
  constexpr TqynStunMessageAttributes operator-(TqynStunMessageAttributes b) const noexcept { return FromBits(FBits & ~b.FBits); }
  constexpr bool operator==(const TqynStunMessageAttributes&) const noexcept = default;

  class const_iterator {
  public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = TqynStunMessageAttribute;
    using difference_type = std::ptrdiff_t;
    using pointer = const TqynStunMessageAttribute*;
    using reference = TqynStunMessageAttribute;
    constexpr const_iterator() noexcept : FRest(0) {}
    constexpr const_iterator(uint64_t aBits) noexcept : FRest(aBits) {}
    TqynStunMessageAttribute operator*() const noexcept { return static_cast<TqynStunMessageAttribute>(__builtin_ctzll(FRest)); }
    const_iterator& operator++() noexcept { FRest &= FRest - 1; return *this; }
    const_iterator operator++(int) noexcept { const_iterator t = *this; ++*this; return t; }
    constexpr bool operator==(const const_iterator& o) const noexcept { return FRest == o.FRest; }
    constexpr bool operator!=(const const_iterator& o) const noexcept { return FRest != o.FRest; }

  private:
    uint64_t FRest;
  };
  const_iterator begin() const noexcept { return const_iterator(FBits); }
  const_iterator end() const noexcept { return const_iterator(0); }

private:
  static constexpr uint64_t Bit(TqynStunMessageAttribute a) noexcept {
    return static_cast<unsigned>(a) < 64 ? (uint64_t{1} << static_cast<unsigned>(a)) : 0;
  }
  static constexpr TqynStunMessageAttributes FromBits(uint64_t aBits) noexcept {
    TqynStunMessageAttributes s;
    s.FBits = aBits;
    return s;
  }
  uint64_t FBits = 0;
};

// Wire code of an attribute type; stmaMapped_None (and anything out of range) gives 0x0000.
uint16_t AttributeTypeToCode(TqynStunMessageAttribute aType) noexcept;
// Attribute type of a wire code; every code the codec does not know gives stmaMapped_None.
TqynStunMessageAttribute AttributeCodeToType(uint16_t aCode) noexcept;
// The attribute's name as RFCs write it ("XOR-MAPPED-ADDRESS"); "UNKNOWN" for stmaMapped_None.
const char* AttributeTypeName(TqynStunMessageAttribute aType) noexcept;

// The class of an attribute type is represented by its creating function: calling it makes a new
// attribute object of that class with its AttributeType set. stmaMapped_None (and anything out of
// range) gives the class TqynSTUN_Attribute_None. Defined with the classes (qynP2P_STUN_Classes).
class TqynSTUN_Attribute;
using TqynSTUN_AttributeClass = std::unique_ptr<TqynSTUN_Attribute> (*)();
TqynSTUN_AttributeClass AttributeClassOfType(TqynStunMessageAttribute aType) noexcept;

// ---- Big-endian byte routines -------------------------------------------------------------
// Reads return 0 when the number does not lie wholly inside [0, aSize).

inline uint16_t QynReadUInt16BE(const uint8_t* aBytes, size_t aSize, int64_t aPos) noexcept {
  if (aPos < 0 || aSize < 2 || static_cast<uint64_t>(aPos) > aSize - 2) return 0;
  const uint8_t* p = aBytes + aPos;
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

inline uint32_t QynReadUInt32BE(const uint8_t* aBytes, size_t aSize, int64_t aPos) noexcept {
  if (aPos < 0 || aSize < 4 || static_cast<uint64_t>(aPos) > aSize - 4) return 0;
  const uint8_t* p = aBytes + aPos;
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

inline uint8_t QynReadUInt8(const uint8_t* aBytes, size_t aSize, int64_t aPos) noexcept {
  if (aPos < 0 || static_cast<uint64_t>(aPos) >= aSize) return 0;
  return aBytes[aPos];
}

inline uint16_t QynReadUInt16BE(const TqynBytes& aBytes, int64_t aPos) noexcept {
  return QynReadUInt16BE(aBytes.data(), aBytes.size(), aPos);
}
inline uint32_t QynReadUInt32BE(const TqynBytes& aBytes, int64_t aPos) noexcept {
  return QynReadUInt32BE(aBytes.data(), aBytes.size(), aPos);
}

inline void QynAppendByte(TqynBytes& aOut, uint8_t aValue) { aOut.push_back(aValue); }

// The appenders push bytes one by one: messages are written into a buffer reserved for the whole
// message, where push_back is an inline store, while a range insert is an out-of-line call per
// field.
inline void QynAppendUInt16BE(TqynBytes& aOut, uint16_t aValue) {
  aOut.push_back(static_cast<uint8_t>(aValue >> 8));
  aOut.push_back(static_cast<uint8_t>(aValue));
}

inline void QynAppendUInt32BE(TqynBytes& aOut, uint32_t aValue) {
  aOut.push_back(static_cast<uint8_t>(aValue >> 24));
  aOut.push_back(static_cast<uint8_t>(aValue >> 16));
  aOut.push_back(static_cast<uint8_t>(aValue >> 8));
  aOut.push_back(static_cast<uint8_t>(aValue));
}

inline void QynAppendBytes(TqynBytes& aOut, const void* aData, size_t aLen) {
  const auto* p = static_cast<const uint8_t*>(aData);
  if (aLen <= 4) {
    for (size_t i = 0; i < aLen; ++i) aOut.push_back(p[i]);
    return;
  }
  // Bytes of aOut itself could move when it grows: the vector's own insert copes with that.
  if (p >= aOut.data() && p < aOut.data() + aOut.size()) {
    aOut.insert(aOut.end(), p, p + aLen);
    return;
  }
  // One size change and one copy (a byte-wise push_back reloads the vector's end per byte).
  const size_t at = aOut.size();
  aOut.resize(at + aLen);
  std::memcpy(aOut.data() + at, p, aLen);
}

// aCount zero bytes (padding).
inline void QynAppendZeros(TqynBytes& aOut, size_t aCount) {
  for (size_t i = 0; i < aCount; ++i) aOut.push_back(0);
}

inline void QynAppendBytes(TqynBytes& aOut, const TqynBytes& aData) { aOut.insert(aOut.end(), aData.begin(), aData.end()); }

// Overwrites two bytes at aPos (which must lie inside aOut) with a big-endian number.
inline void QynPutUInt16BE(TqynBytes& aOut, size_t aPos, uint16_t aValue) noexcept {
  aOut[aPos] = static_cast<uint8_t>(aValue >> 8);
  aOut[aPos + 1] = static_cast<uint8_t>(aValue);
}

// CRC-32 (ISO-HDLC, the zlib/Ethernet CRC: reflected polynomial 0xEDB88320, initial value and
// final XOR 0xFFFFFFFF). 0xCBF43926 for the ASCII digits "123456789".
uint32_t QynCRC32(const void* aData, size_t aLen) noexcept;
