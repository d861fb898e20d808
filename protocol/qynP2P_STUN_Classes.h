// The STUN message model and its wire codec: header, attribute base class and the 42 attribute
// classes, the ordered attribute list, the message with its FINGERPRINT / MESSAGE-INTEGRITY /
// MESSAGE-INTEGRITY-SHA256 handling, the common STUN options and new transaction ids.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "qynBase_Types.h"
#include "qynP2P_STUN_Types.h"

inline constexpr uint32_t QYN_STUN_MAGIC_COOKIE = 0x2112A442;
inline constexpr uint32_t QYN_STUN_FINGERPRINT_XOR = 0x5354554E;
inline constexpr size_t QYN_STUN_HEADER_SIZE = 20;
inline constexpr size_t QYN_STUN_TRANSACTION_ID_SIZE = 12;

// Ends the processing of a datagram after its error response has been sent; component
// boundaries drop it without raising their exception event.
QYN_DECLARE_EXCEPTION(TqynSTUNExceptionSilent, Exception)

// 12 bytes for a new transaction. With an empty text each byte is a lowercase ASCII letter drawn
// independently and uniformly from OpenSSL's generator; with a text, byte i is the low 8 bits of
// character i and the bytes after the text are 0.
TqynBytes NewTransactionId(const std::string& aText = std::string());

// ---- Header -------------------------------------------------------------------------------

class TqynSTUN_Header {
public:
  TqynSTUN_Header() : FTransactionId(QYN_STUN_TRANSACTION_ID_SIZE, 0) {}

  // The raw type field as read; writing does not use it.
  uint16_t MessageType() const noexcept { return FMessageType; }
  void SetMessageType(uint16_t aValue) noexcept { FMessageType = aValue; }
  TqynStunMessageMethod MessageType_Method() const noexcept { return FMethod; }
  void SetMessageType_Method(TqynStunMessageMethod aValue) noexcept { FMethod = aValue; }
  TqynStunMessageClass MessageType_Class() const noexcept { return FClass; }
  void SetMessageType_Class(TqynStunMessageClass aValue) noexcept { FClass = aValue; }
  // Bytes of attributes after the header, padding included.
  uint16_t MessageLength() const noexcept { return FMessageLength; }
  void SetMessageLength(uint16_t aValue) noexcept { FMessageLength = aValue; }
  uint32_t MagicCookie() const noexcept { return FMagicCookie; }
  void SetMagicCookie(uint32_t aValue) noexcept { FMagicCookie = aValue; }
  const TqynBytes& TransactionId() const noexcept { return FTransactionId; }
  void SetTransactionId(const TqynBytes& aValue) { FTransactionId = aValue; }
  void SetTransactionId(const uint8_t* aData, size_t aLen) { FTransactionId.assign(aData, aData + aLen); }
  // The transaction id's bytes up to, not including, the first zero byte, one character per byte.
  std::string TransactionIdString() const;

  // Decodes the first 20 bytes; raises "Invalid Header Format" for fewer.
  void Read(const uint8_t* aBytes, size_t aSize);
  void Read(const TqynBytes& aBytes) { Read(aBytes.data(), aBytes.size()); }
  // Appends the 20 header bytes built from method, class, length, cookie and transaction id
  // (an id shorter than 12 bytes is padded with zero bytes, a longer one cut).
  void Write(TqynBytes& aOut) const;
  TqynBytes Write() const;

  static TqynStunMessageMethod DecodeMethod(uint16_t aType) noexcept;
  static TqynStunMessageClass DecodeClass(uint16_t aType) noexcept;
  static uint16_t EncodeType(TqynStunMessageMethod aMethod, TqynStunMessageClass aClass) noexcept;

private:
  uint16_t FMessageType = 0;
  TqynStunMessageMethod FMethod = stmmUnknown;
  TqynStunMessageClass FClass = stmcRequest;
  uint16_t FMessageLength = 0;
  uint32_t FMagicCookie = 0;
  TqynBytes FTransactionId;
};

// ---- Attribute base -----------------------------------------------------------------------

// One attribute: its frame on the wire is the 16-bit type code, the 16-bit value length (padding
// excluded), the value, then zero bytes up to the next multiple of 4.
class TqynSTUN_Attribute {
public:
  virtual ~TqynSTUN_Attribute() = default;
  TqynSTUN_Attribute(const TqynSTUN_Attribute&) = delete;
  TqynSTUN_Attribute& operator=(const TqynSTUN_Attribute&) = delete;

  TqynStunMessageAttribute AttributeType() const noexcept { return FAttributeType; }
  void SetAttributeType(TqynStunMessageAttribute aValue) noexcept { FAttributeType = aValue; }
  // The length field as read.
  uint16_t AttributeLength() const noexcept { return FAttributeLength; }
  void SetAttributeLength(uint16_t aValue) noexcept { FAttributeLength = aValue; }
  // Address, Family (1 = IPv4, 2 = IPv6) and Port serve the address attributes.
  const std::string& Address() const noexcept { return FAddress; }
  void SetAddress(const std::string& aValue) { FAddress = aValue; }
  uint16_t Family() const noexcept { return FFamily; }
  void SetFamily(uint16_t aValue) noexcept { FFamily = aValue; }
  uint16_t Port() const noexcept { return FPort; }
  void SetPort(uint16_t aValue) noexcept { FPort = aValue; }
  // Where reading continues in the message bytes.
  int32_t ReadOffset() const noexcept { return FReadOffset; }

  // Appends the value bytes (no frame, no padding).
  virtual void WriteValue(TqynBytes& aOut) const = 0;
  // Reads the value starting at ReadOffset(). aValueEnd is where the value ends: the end given by
  // the length field, cut at the end of the datagram; nothing at or past it is read (numbers
  // that do not fit read as 0). The base class then moves the offset to the end of the value as
  // the length field gives it.
  virtual void ReadValue(const uint8_t* aBytes, size_t aValueEnd) = 0;
  // Number of value bytes WriteValue gives.
  virtual size_t ValueLength() const = 0;
  // ValueLength rounded up to a multiple of 4.
  virtual uint32_t PaddedValueLength() const { return static_cast<uint32_t>((ValueLength() + 3) & ~size_t{3}); }

  // Reads one attribute frame at aOffset and leaves aOffset at the next multiple of 4 at or
  // after the end of the value. The type code read is mapped and stored in AttributeType.
  void Read(const uint8_t* aBytes, size_t aSize, int32_t& aOffset);
  void Read(const TqynBytes& aBytes, int32_t& aOffset) { Read(aBytes.data(), aBytes.size(), aOffset); }
  // Appends the complete frame. Raises when the value is longer than a 16-bit length can state.
  void Write(TqynBytes& aOut) const;
  TqynBytes Write() const;
  // Frame size on the wire: 4 + PaddedValueLength().
  uint32_t FrameLength() const { return 4 + PaddedValueLength(); }

protected:
  explicit TqynSTUN_Attribute(TqynStunMessageAttribute aType) noexcept : FAttributeType(aType) {}

  int32_t FReadOffset = 0;

private:
  TqynStunMessageAttribute FAttributeType;
  uint16_t FAttributeLength = 0;
  uint16_t FFamily = 0;
  uint16_t FPort = 0;
  std::string FAddress;
};

#define QYN_STUN_ATTRIBUTE_VALUE_OPS                                         \
  void WriteValue(TqynBytes& aOut) const override;                          \
  void ReadValue(const uint8_t* aBytes, size_t aValueEnd) override;         \
  size_t ValueLength() const override;

// Any code the codec does not know: the value is skipped and the message reader drops it.
class TqynSTUN_Attribute_None : public TqynSTUN_Attribute {
public:
  TqynSTUN_Attribute_None() noexcept : TqynSTUN_Attribute(stmaMapped_None) {}
  static std::unique_ptr<TqynSTUN_Attribute> Create();
  QYN_STUN_ATTRIBUTE_VALUE_OPS
};

// Address value: family (16 bits), port (16 bits), 4 or 16 address bytes.
class TqynSTUN_Attribute_MAPPED_ADDRESS : public TqynSTUN_Attribute {
public:
  TqynSTUN_Attribute_MAPPED_ADDRESS() noexcept : TqynSTUN_Attribute(stmaMapped_Address) {}
  static std::unique_ptr<TqynSTUN_Attribute> Create();
  QYN_STUN_ATTRIBUTE_VALUE_OPS

protected:
  explicit TqynSTUN_Attribute_MAPPED_ADDRESS(TqynStunMessageAttribute aType) noexcept : TqynSTUN_Attribute(aType) {}
};

#define QYN_STUN_DERIVED_ATTRIBUTE(Name, Parent, Type)                        \
  class Name : public Parent {                                               \
  public:                                                                    \
    Name() noexcept : Parent(Type) {}                                        \
    static std::unique_ptr<TqynSTUN_Attribute> Create();                     \
  };

QYN_STUN_DERIVED_ATTRIBUTE(TqynSTUN_Attribute_ALTERNATE_SERVER, TqynSTUN_Attribute_MAPPED_ADDRESS, stmaAlternate_Server)
QYN_STUN_DERIVED_ATTRIBUTE(TqynSTUN_Attribute_RESPONSE_ORIGIN, TqynSTUN_Attribute_MAPPED_ADDRESS, stmaResponse_Origin)
QYN_STUN_DERIVED_ATTRIBUTE(TqynSTUN_Attribute_OTHER_ADDRESS, TqynSTUN_Attribute_MAPPED_ADDRESS, stmaOther_Address)
QYN_STUN_DERIVED_ATTRIBUTE(TqynSTUN_Attribute_SOURCE_ADDRESS, TqynSTUN_Attribute_MAPPED_ADDRESS, stmaSource_Address)
QYN_STUN_DERIVED_ATTRIBUTE(TqynSTUN_Attribute_CHANGED_ADDRESS, TqynSTUN_Attribute_MAPPED_ADDRESS, stmaChanged_Address)

// XOR address value (RFC 5389 section 15.2). An IPv6 address is XORed with the magic cookie and
// TransactionId, which the creator sets to the message's transaction id before writing; reading
// takes the transaction id from the message bytes (and stores it in TransactionId).
class TqynSTUN_Attribute_XOR_MAPPED_ADDRESS : public TqynSTUN_Attribute {
public:
  TqynSTUN_Attribute_XOR_MAPPED_ADDRESS() noexcept : TqynSTUN_Attribute(stmaXOR_Mapped_Address) {}
  static std::unique_ptr<TqynSTUN_Attribute> Create();
  QYN_STUN_ATTRIBUTE_VALUE_OPS

  const TqynBytes& TransactionId() const noexcept { return FTransactionId; }
  void SetTransactionId(const TqynBytes& aValue) { FTransactionId = aValue; }

protected:
  explicit TqynSTUN_Attribute_XOR_MAPPED_ADDRESS(TqynStunMessageAttribute aType) noexcept : TqynSTUN_Attribute(aType) {}

private:
  TqynBytes FTransactionId;
};

QYN_STUN_DERIVED_ATTRIBUTE(TqynSTUN_Attribute_XOR_PEER_ADDRESS, TqynSTUN_Attribute_XOR_MAPPED_ADDRESS, stmaXOR_Peer_Address)
QYN_STUN_DERIVED_ATTRIBUTE(TqynSTUN_Attribute_XOR_RELAYED_ADDRESS, TqynSTUN_Attribute_XOR_MAPPED_ADDRESS, stmaXOR_Relayed_Address)

// UTF-8 text values.
#define QYN_STUN_TEXT_ATTRIBUTE(Name, Type, Prop)                             \
  class Name : public TqynSTUN_Attribute {                                   \
  public:                                                                    \
    Name() noexcept : TqynSTUN_Attribute(Type) {}                            \
    static std::unique_ptr<TqynSTUN_Attribute> Create();                     \
    QYN_STUN_ATTRIBUTE_VALUE_OPS                                             \
    const std::string& Prop() const noexcept { return FText; }               \
    void Set##Prop(const std::string& aValue) { FText = aValue; }            \
                                                                             \
  private:                                                                   \
    std::string FText;                                                       \
  };

QYN_STUN_TEXT_ATTRIBUTE(TqynSTUN_Attribute_USERNAME, stmaUsername, Username)
QYN_STUN_TEXT_ATTRIBUTE(TqynSTUN_Attribute_REALM, stmaRealm, Realm)
QYN_STUN_TEXT_ATTRIBUTE(TqynSTUN_Attribute_NONCE, stmaNonce, Nonce)
QYN_STUN_TEXT_ATTRIBUTE(TqynSTUN_Attribute_SOFTWARE, stmaSoftware, Software)
QYN_STUN_TEXT_ATTRIBUTE(TqynSTUN_Attribute_ALTERNATE_DOMAIN, stmaAlternate_Domain, Domain)

// HMAC-SHA1 digest (20 bytes). Key keeps the key a writer used.
class TqynSTUN_Attribute_MESSAGE_INTEGRITY : public TqynSTUN_Attribute {
public:
  TqynSTUN_Attribute_MESSAGE_INTEGRITY() : TqynSTUN_Attribute(stmaMesssage_Integrity), FPayLoad(20, 0) {}
  static std::unique_ptr<TqynSTUN_Attribute> Create();
  QYN_STUN_ATTRIBUTE_VALUE_OPS
  const TqynBytes& Key() const noexcept { return FKey; }
  void SetKey(const TqynBytes& aValue) { FKey = aValue; }
  const TqynBytes& PayLoad() const noexcept { return FPayLoad; }
  void SetPayLoad(const TqynBytes& aValue) { FPayLoad = aValue; }

private:
  TqynBytes FKey;
  TqynBytes FPayLoad;
};

// HMAC-SHA256 digest (32 bytes).
class TqynSTUN_Attribute_MESSAGE_INTEGRITY_SHA256 : public TqynSTUN_Attribute {
public:
  TqynSTUN_Attribute_MESSAGE_INTEGRITY_SHA256() : TqynSTUN_Attribute(stmaMesssage_Integrity_SHA256), FPayLoad(32, 0) {}
  static std::unique_ptr<TqynSTUN_Attribute> Create();
  QYN_STUN_ATTRIBUTE_VALUE_OPS
  const TqynBytes& Key() const noexcept { return FKey; }
  void SetKey(const TqynBytes& aValue) { FKey = aValue; }
  const TqynBytes& PayLoad() const noexcept { return FPayLoad; }
  void SetPayLoad(const TqynBytes& aValue) { FPayLoad = aValue; }

private:
  TqynBytes FKey;
  TqynBytes FPayLoad;
};

class TqynSTUN_Attribute_FINGERPRINT : public TqynSTUN_Attribute {
public:
  TqynSTUN_Attribute_FINGERPRINT() noexcept : TqynSTUN_Attribute(stmaFingerprint) {}
  static std::unique_ptr<TqynSTUN_Attribute> Create();
  QYN_STUN_ATTRIBUTE_VALUE_OPS
  uint32_t Fingerprint() const noexcept { return FFingerprint; }
  void SetFingerprint(uint32_t aValue) noexcept { FFingerprint = aValue; }

private:
  uint32_t FFingerprint = 0;
};

// ERROR-CODE (RFC 5389 section 15.6): class and number, then the reason phrase.
class TqynSTUN_Attribute_ERROR_CODE : public TqynSTUN_Attribute {
public:
  TqynSTUN_Attribute_ERROR_CODE() noexcept : TqynSTUN_Attribute(stmaError_Code) {}
  static std::unique_ptr<TqynSTUN_Attribute> Create();
  QYN_STUN_ATTRIBUTE_VALUE_OPS
  uint16_t Code() const noexcept { return FCode; }
  void SetCode(uint16_t aValue) noexcept { FCode = aValue; }
  const std::string& Reason() const noexcept { return FReason; }
  void SetReason(const std::string& aValue) { FReason = aValue; }

private:
  uint16_t FCode = 0;
  std::string FReason;
};

class TqynSTUN_Attribute_UNKNOWN_ATTRIBUTES : public TqynSTUN_Attribute {
public:
  TqynSTUN_Attribute_UNKNOWN_ATTRIBUTES() noexcept : TqynSTUN_Attribute(stmaUnknown_Attributes) {}
  static std::unique_ptr<TqynSTUN_Attribute> Create();
  QYN_STUN_ATTRIBUTE_VALUE_OPS
  const TqynStunMessageAttributes& UnknownAttributes() const noexcept { return FUnknownAttributes; }
  void SetUnknownAttributes(const TqynStunMessageAttributes& aValue) noexcept { FUnknownAttributes = aValue; }

private:
  TqynStunMessageAttributes FUnknownAttributes;
};

// Attributes whose value the codec does not interpret (reading skips it, writing gives an empty
// value) and attributes whose presence is their meaning (empty value).
#define QYN_STUN_EMPTY_ATTRIBUTE(Name, Type)                                  \
  class Name : public TqynSTUN_Attribute {                                   \
  public:                                                                    \
    Name() noexcept : TqynSTUN_Attribute(Type) {}                            \
    static std::unique_ptr<TqynSTUN_Attribute> Create();                     \
    QYN_STUN_ATTRIBUTE_VALUE_OPS                                             \
  };

QYN_STUN_EMPTY_ATTRIBUTE(TqynSTUN_Attribute_CHANGE_REQUEST, stmaChange_Request)
QYN_STUN_EMPTY_ATTRIBUTE(TqynSTUN_Attribute_RESPONSE_PORT, stmaResponse_Port)
QYN_STUN_EMPTY_ATTRIBUTE(TqynSTUN_Attribute_PADDING, stmaPadding)
QYN_STUN_EMPTY_ATTRIBUTE(TqynSTUN_Attribute_CACHE_TIMEOUT, stmaCache_Timeout)
QYN_STUN_EMPTY_ATTRIBUTE(TqynSTUN_Attribute_PASSWORD_ALGORITHM, stmaPassword_Algorithm)
QYN_STUN_EMPTY_ATTRIBUTE(TqynSTUN_Attribute_USERHASH, stmaUserhash)
QYN_STUN_EMPTY_ATTRIBUTE(TqynSTUN_Attribute_PASSWORD_ALGORITHMS, stmaPassword_Algorithms)
QYN_STUN_EMPTY_ATTRIBUTE(TqynSTUN_Attribute_DONT_FRAGMENT, stmaDont_Fragment)
QYN_STUN_EMPTY_ATTRIBUTE(TqynSTUN_Attribute_USE_CANDIDATE, stmaUse_Candidate)

// Channel number (16 bits) followed by 16 reserved zero bits.
class TqynSTUN_Attribute_CHANNEL_NUMBER : public TqynSTUN_Attribute {
public:
  TqynSTUN_Attribute_CHANNEL_NUMBER() noexcept : TqynSTUN_Attribute(stmaChannel_Number) {}
  static std::unique_ptr<TqynSTUN_Attribute> Create();
  QYN_STUN_ATTRIBUTE_VALUE_OPS
  uint16_t Channel() const noexcept { return FChannel; }
  void SetChannel(uint16_t aValue) noexcept { FChannel = aValue; }

private:
  uint16_t FChannel = 0;
};

// Lifetime in seconds, 32 bits.
class TqynSTUN_Attribute_LIFETIME : public TqynSTUN_Attribute {
public:
  TqynSTUN_Attribute_LIFETIME() noexcept : TqynSTUN_Attribute(stmaLifetime) {}
  static std::unique_ptr<TqynSTUN_Attribute> Create();
  QYN_STUN_ATTRIBUTE_VALUE_OPS
  uint32_t Lifetime() const noexcept { return FLifetime; }
  void SetLifetime(uint32_t aValue) noexcept { FLifetime = aValue; }

private:
  uint32_t FLifetime = 0;
};

class TqynSTUN_Attribute_DATA : public TqynSTUN_Attribute {
public:
  TqynSTUN_Attribute_DATA() noexcept : TqynSTUN_Attribute(stmaData) {}
  static std::unique_ptr<TqynSTUN_Attribute> Create();
  QYN_STUN_ATTRIBUTE_VALUE_OPS
  const TqynBytes& Data() const noexcept { return FData; }
  void SetData(const TqynBytes& aValue) { FData = aValue; }
  void SetData(TqynBytes&& aValue) noexcept { FData = std::move(aValue); }
  void SetData(const uint8_t* aData, size_t aLen) { FData.assign(aData, aData + aLen); }

private:
  TqynBytes FData;
};

// One family byte (1 = IPv4, 2 = IPv6) and three reserved bytes. Family is stored in the base
// class's Family property and shown here as a byte.
class TqynSTUN_Attribute_REQUESTED_ADDRESS_FAMILY : public TqynSTUN_Attribute {
public:
  TqynSTUN_Attribute_REQUESTED_ADDRESS_FAMILY() noexcept : TqynSTUN_Attribute_REQUESTED_ADDRESS_FAMILY(stmaRequested_Address_Family) {}
  static std::unique_ptr<TqynSTUN_Attribute> Create();
  QYN_STUN_ATTRIBUTE_VALUE_OPS
  uint8_t Family() const noexcept { return static_cast<uint8_t>(TqynSTUN_Attribute::Family()); }
  void SetFamily(uint8_t aValue) noexcept { TqynSTUN_Attribute::SetFamily(aValue); }

protected:
  explicit TqynSTUN_Attribute_REQUESTED_ADDRESS_FAMILY(TqynStunMessageAttribute aType) noexcept : TqynSTUN_Attribute(aType) {
    TqynSTUN_Attribute::SetFamily(1);
  }
};

QYN_STUN_DERIVED_ATTRIBUTE(TqynSTUN_Attribute_ADDITIONAL_ADDRESS_FAMILY, TqynSTUN_Attribute_REQUESTED_ADDRESS_FAMILY,
                           stmaAdditional_Address_Family)

// One byte: 0x80 (the R bit: reserve the next port) when Even is set.
class TqynSTUN_Attribute_EVEN_PORT : public TqynSTUN_Attribute {
public:
  TqynSTUN_Attribute_EVEN_PORT() noexcept : TqynSTUN_Attribute(stmaEven_Port) {}
  static std::unique_ptr<TqynSTUN_Attribute> Create();
  QYN_STUN_ATTRIBUTE_VALUE_OPS
  bool Even() const noexcept { return FEven; }
  void SetEven(bool aValue) noexcept { FEven = aValue; }

private:
  bool FEven = false;
};

// Protocol byte (17 = UDP) and three reserved bytes.
class TqynSTUN_Attribute_REQUESTED_TRANSPORT : public TqynSTUN_Attribute {
public:
  TqynSTUN_Attribute_REQUESTED_TRANSPORT() noexcept : TqynSTUN_Attribute(stmaRequested_Transport) {}
  static std::unique_ptr<TqynSTUN_Attribute> Create();
  QYN_STUN_ATTRIBUTE_VALUE_OPS
  uint8_t Protocol() const noexcept { return FProtocol; }
  void SetProtocol(uint8_t aValue) noexcept { FProtocol = aValue; }

private:
  uint8_t FProtocol = 17;
};

class TqynSTUN_Attribute_RESERVATION_TOKEN : public TqynSTUN_Attribute {
public:
  TqynSTUN_Attribute_RESERVATION_TOKEN() : TqynSTUN_Attribute(stmaReservation_Token), FToken(8, 0) {}
  static std::unique_ptr<TqynSTUN_Attribute> Create();
  QYN_STUN_ATTRIBUTE_VALUE_OPS
  const TqynBytes& Token() const noexcept { return FToken; }
  void SetToken(const TqynBytes& aValue) { FToken = aValue; }

private:
  TqynBytes FToken;
};

// ADDRESS-ERROR-CODE (RFC 8656): family byte, zero byte, class and number, reason phrase.
class TqynSTUN_Attribute_ADDRESS_ERROR_CODE : public TqynSTUN_Attribute {
public:
  TqynSTUN_Attribute_ADDRESS_ERROR_CODE() noexcept : TqynSTUN_Attribute(stmaAddress_Error_Code) { TqynSTUN_Attribute::SetFamily(1); }
  static std::unique_ptr<TqynSTUN_Attribute> Create();
  QYN_STUN_ATTRIBUTE_VALUE_OPS
  uint8_t Family() const noexcept { return static_cast<uint8_t>(TqynSTUN_Attribute::Family()); }
  void SetFamily(uint8_t aValue) noexcept { TqynSTUN_Attribute::SetFamily(aValue); }
  uint16_t Code() const noexcept { return FCode; }
  void SetCode(uint16_t aValue) noexcept { FCode = aValue; }
  const std::string& Reason() const noexcept { return FReason; }
  void SetReason(const std::string& aValue) { FReason = aValue; }

private:
  uint16_t FCode = 0;
  std::string FReason;
};

// ICMP (RFC 8656 section 18.13): 16 reserved bits, type, code, 32-bit error data. Reading raises
// "Invalid Attribute: ICMP Format" when the reserved bits are not zero.
class TqynSTUN_Attribute_ICMP : public TqynSTUN_Attribute {
public:
  TqynSTUN_Attribute_ICMP() noexcept : TqynSTUN_Attribute(stmaICMP) {}
  static std::unique_ptr<TqynSTUN_Attribute> Create();
  QYN_STUN_ATTRIBUTE_VALUE_OPS
  uint8_t ICMPType() const noexcept { return FICMPType; }
  void SetICMPType(uint8_t aValue) noexcept { FICMPType = aValue; }
  uint16_t ICMPCode() const noexcept { return FICMPCode; }
  void SetICMPCode(uint16_t aValue) noexcept { FICMPCode = aValue; }
  uint32_t ErrorData() const noexcept { return FErrorData; }
  void SetErrorData(uint32_t aValue) noexcept { FErrorData = aValue; }

private:
  uint8_t FICMPType = 0;
  uint16_t FICMPCode = 0;
  uint32_t FErrorData = 0;
};

class TqynSTUN_Attribute_PRIORITY : public TqynSTUN_Attribute {
public:
  TqynSTUN_Attribute_PRIORITY() noexcept : TqynSTUN_Attribute(stmaPriority) {}
  static std::unique_ptr<TqynSTUN_Attribute> Create();
  QYN_STUN_ATTRIBUTE_VALUE_OPS
  uint32_t Priority() const noexcept { return FPriority; }
  void SetPriority(uint32_t aValue) noexcept { FPriority = aValue; }

private:
  uint32_t FPriority = 0;
};

// Holds the 8-byte tie breaker of ICE-CONTROLLED and ICE-CONTROLLING; no type of its own.
class TqynSTUN_Attribute_ICE_CONTROL_BASE : public TqynSTUN_Attribute {
public:
  QYN_STUN_ATTRIBUTE_VALUE_OPS
  const TqynBytes& TieBreaker() const noexcept { return FTieBreaker; }
  void SetTieBreaker(const TqynBytes& aValue) { FTieBreaker = aValue; }

protected:
  explicit TqynSTUN_Attribute_ICE_CONTROL_BASE(TqynStunMessageAttribute aType) : TqynSTUN_Attribute(aType), FTieBreaker(8, 0) {}

private:
  TqynBytes FTieBreaker;
};

QYN_STUN_DERIVED_ATTRIBUTE(TqynSTUN_Attribute_ICE_CONTROLLED, TqynSTUN_Attribute_ICE_CONTROL_BASE, stmaICE_Controlled)
QYN_STUN_DERIVED_ATTRIBUTE(TqynSTUN_Attribute_ICE_CONTROLLING, TqynSTUN_Attribute_ICE_CONTROL_BASE, stmaICE_Controlling)

// Creates a new attribute object of the class of aType (TqynSTUN_Attribute_None for
// stmaMapped_None).
inline std::unique_ptr<TqynSTUN_Attribute> CreateAttributeOfType(TqynStunMessageAttribute aType) {
  return AttributeClassOfType(aType)();
}

// ---- Attribute list -----------------------------------------------------------------------

// Ordered list that owns its attributes; insertion order is wire order.
class TqynSTUN_AttributeList {
public:
  using TItems = std::vector<std::unique_ptr<TqynSTUN_Attribute>>;

  TqynSTUN_AttributeList() = default;
  TqynSTUN_AttributeList(TqynSTUN_AttributeList&&) noexcept = default;
  TqynSTUN_AttributeList& operator=(TqynSTUN_AttributeList&&) noexcept = default;

  size_t Count() const noexcept { return FItems.size(); }
  bool Empty() const noexcept { return FItems.empty(); }
  TqynSTUN_Attribute* Items(size_t aIndex) const { return FItems.at(aIndex).get(); }
  TqynSTUN_Attribute* operator[](size_t aIndex) const { return FItems.at(aIndex).get(); }
  TItems::const_iterator begin() const noexcept { return FItems.begin(); }
  TItems::const_iterator end() const noexcept { return FItems.end(); }

  // Appends and takes ownership; returns the attribute.
  TqynSTUN_Attribute* Add(std::unique_ptr<TqynSTUN_Attribute> aAttribute);
  template <class T> T* Add() {
    auto a = std::make_unique<T>();
    T* result = a.get();
    FItems.push_back(std::move(a));
    return result;
  }
  void Delete(size_t aIndex);
  void Clear() noexcept { FItems.clear(); }
  void Reserve(size_t aCount) { FItems.reserve(aCount); }

  // The first attribute whose AttributeType is aType, or nullptr.
  TqynSTUN_Attribute* GetAttribute(TqynStunMessageAttribute aType) const noexcept;
  // The same, as class T (nullptr when the attribute is missing or of another class).
  template <class T> T* GetAttribute(TqynStunMessageAttribute aType) const noexcept {
    return dynamic_cast<T*>(GetAttribute(aType));
  }

  // Appends the frames of all attributes in list order.
  void Write(TqynBytes& aOut) const;
  TqynBytes Write() const;
  // Sum over the list of 4 + each attribute's padded value length.
  uint32_t MessageLength() const;

private:
  TItems FItems;
};

// ---- Message ------------------------------------------------------------------------------

// A datagram that can be a STUN message (RFC 8489 section 6): at least the 20-byte header, the
// two top bits of the type zero, and a length field that is a multiple of 4 and counts exactly
// the bytes after the header.
bool IsSTUNMessage(const uint8_t* aBytes, size_t aSize) noexcept;
inline bool IsSTUNMessage(const TqynBytes& aBytes) noexcept { return IsSTUNMessage(aBytes.data(), aBytes.size()); }

class TqynSTUN_Message;

using TqynSTUNRequestMessageIntegrityKeyEvent =
    std::function<void(TqynSTUN_Message* Sender, const std::string& aTransactionId, TqynBytes& MessageIntegrityKey)>;
using TqynSTUNRequestMessageIntegrityPasswordEvent =
    std::function<void(TqynSTUN_Message* Sender, const std::string& aUsername, const std::string& aRealm, std::string& Password)>;
using TqynICEValidateMessageIntegrityEvent =
    std::function<void(TqynSTUN_Message* Sender, const std::string& aUsername, std::string& Password)>;
using TqynICERequestMessageIntegrityPasswordEvent =
    std::function<void(TqynSTUN_Message* Sender, TqynSTUN_Message* aMessage, std::string& Password)>;

// A STUN message: header and ordered attributes. Serves one datagram: it is either read from
// bytes or filled and written once (writing appends the integrity and fingerprint attributes).
class TqynSTUN_Message {
public:
  TqynSTUN_Message() = default;
  TqynSTUN_Message(const TqynSTUN_Message&) = delete;
  TqynSTUN_Message& operator=(const TqynSTUN_Message&) = delete;
  TqynSTUN_Message(TqynSTUN_Message&&) = default;
  TqynSTUN_Message& operator=(TqynSTUN_Message&&) = default;

  TqynSTUN_Header& Header() noexcept { return FHeader; }
  const TqynSTUN_Header& Header() const noexcept { return FHeader; }
  TqynSTUN_AttributeList& Attributes() noexcept { return FAttributes; }
  const TqynSTUN_AttributeList& Attributes() const noexcept { return FAttributes; }

  TqynStunFingerprintState Fingerprint() const noexcept { return FFingerprint; }
  void SetFingerprint(TqynStunFingerprintState aValue) noexcept { FFingerprint = aValue; }
  TqynStunCredentials Credentials() const noexcept { return FCredentials; }
  void SetCredentials(TqynStunCredentials aValue) noexcept { FCredentials = aValue; }
  TqynStunMessageIntegrityState MessageIntegrity() const noexcept { return FMessageIntegrity; }
  void SetMessageIntegrity(TqynStunMessageIntegrityState aValue) noexcept { FMessageIntegrity = aValue; }
  TqynStunMessageIntegrityState MessageIntegritySHA256() const noexcept { return FMessageIntegritySHA256; }
  void SetMessageIntegritySHA256(TqynStunMessageIntegrityState aValue) noexcept { FMessageIntegritySHA256 = aValue; }
  TqynStunMessageType MessageType() const noexcept { return FMessageType; }
  void SetMessageType(TqynStunMessageType aValue) noexcept { FMessageType = aValue; }
  const std::string& Username() const noexcept { return FUsername; }
  void SetUsername(const std::string& aValue) { FUsername = aValue; }
  const std::string& Realm() const noexcept { return FRealm; }
  void SetRealm(const std::string& aValue) { FRealm = aValue; }
  const std::string& Password() const noexcept { return FPassword; }
  void SetPassword(const std::string& aValue) { FPassword = aValue; }
  const std::string& Nonce() const noexcept { return FNonce; }
  void SetNonce(const std::string& aValue) { FNonce = aValue; }
  // Set by Read when an ICE-CONTROLLED or ICE-CONTROLLING attribute was read.
  bool ICERequest() const noexcept { return FICERequest; }
  // Set by Read when MessageIntegrity reads valid with key material from the application: a
  // non-empty password from OnRequestMessageIntegrityPassword or OnICEValidateMessageIntegrity,
  // or non-empty key bytes from OnRequestMessageIntegrityKey. A digest made with an empty password
  // proves nothing about the sender: such a message is not authenticated.
  bool MessageIntegrityKeyGiven() const noexcept { return FMessageIntegrityKeyGiven; }

  TqynSTUNRequestMessageIntegrityKeyEvent OnRequestMessageIntegrityKey;
  TqynSTUNRequestMessageIntegrityPasswordEvent OnRequestMessageIntegrityPassword;
  TqynICEValidateMessageIntegrityEvent OnICEValidateMessageIntegrity;
  TqynICERequestMessageIntegrityPasswordEvent OnICERequestMessageIntegrityPassword;

  // Decodes a whole datagram. Raises "Invalid Header Format" for a datagram that is not a STUN
  // message (IsSTUNMessage), "Attribute %s at offset %d runs past the end of the message" for a
  // frame that does not fit, and the attribute format errors; FINGERPRINT and integrity outcomes
  // are states. Attributes after MESSAGE-INTEGRITY other than MESSAGE-INTEGRITY-SHA256 and
  // FINGERPRINT, attributes after MESSAGE-INTEGRITY-SHA256 other than FINGERPRINT, a FINGERPRINT
  // that is not the last attribute and unknown codes are skipped: the list holds only what the
  // integrity attribute covers.
  void Read(const uint8_t* aBytes, size_t aSize);
  void Read(const TqynBytes& aBytes) { Read(aBytes.data(), aBytes.size()); }

  // Gives the bytes of the message (replacing aOut's content), first appending
  // MESSAGE-INTEGRITY, MESSAGE-INTEGRITY-SHA256 and FINGERPRINT (and, for client requests under
  // long-term credentials, USERNAME, REALM and NONCE) as the states and credentials ask.
  void Write(TqynBytes& aOut);
  TqynBytes Write();

  // Sum over the attribute list of 4 + each attribute's padded value length.
  uint32_t ComputeMessageLength() const { return FAttributes.MessageLength(); }

private:
  void CheckFingerprint(const uint8_t* aBytes, size_t aOffset, const TqynSTUN_Attribute_FINGERPRINT& aAttribute);
  void CheckIntegrity(const uint8_t* aBytes, size_t aOffset, const TqynBytes& aPayLoad, bool aSHA256);
  void AppendIntegrity(TqynBytes& aOut, const TqynBytes& aKey, bool aSHA256);
  void AppendFingerprint(TqynBytes& aOut);

  TqynSTUN_Header FHeader;
  TqynSTUN_AttributeList FAttributes;
  TqynStunFingerprintState FFingerprint = stfsNone;
  TqynStunCredentials FCredentials = stauNone;
  TqynStunMessageIntegrityState FMessageIntegrity = stisNone;
  TqynStunMessageIntegrityState FMessageIntegritySHA256 = stisNone;
  TqynStunMessageType FMessageType = stmtUnknown;
  bool FICERequest = false;
  bool FMessageIntegrityKeyGiven = false;
  std::string FUsername;
  std::string FRealm;
  std::string FPassword;
  std::string FNonce;
};

// ---- Options ------------------------------------------------------------------------------

// Options common to the STUN server and client components.
struct TqynSTUN_Options {
  bool Fingerprint = false;
  bool Software = true;

  virtual ~TqynSTUN_Options() = default;
  virtual void Assign(const TqynSTUN_Options& aSource) {
    Fingerprint = aSource.Fingerprint;
    Software = aSource.Software;
  }
};
