// Digest and coding services: MD5, SHA-1, SHA-256, HMAC-SHA1, HMAC-SHA256 (OpenSSL libcrypto)
// and base64.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "qynBase_Types.h"

struct TIdHashMessageDigest5 {
  static constexpr size_t Size = 16;
  static TIdBytes HashBytes(const void* aData, size_t aLen);
  static TIdBytes HashBytes(const TIdBytes& aData) { return HashBytes(aData.data(), aData.size()); }
  static TIdBytes HashString(std::string_view aText) { return HashBytes(aText.data(), aText.size()); }
};

struct TIdHashSHA1 {
  static constexpr size_t Size = 20;
  static TIdBytes HashBytes(const void* aData, size_t aLen);
  static TIdBytes HashBytes(const TIdBytes& aData) { return HashBytes(aData.data(), aData.size()); }
};

struct TIdHashSHA256 {
  static constexpr size_t Size = 32;
  static TIdBytes HashBytes(const void* aData, size_t aLen);
  static TIdBytes HashBytes(const TIdBytes& aData) { return HashBytes(aData.data(), aData.size()); }
};

struct TIdHMACSHA1 {
  static constexpr size_t Size = 20;
  // Writes Size bytes to aOut.
  static void HashValue(const void* aKey, size_t aKeyLen, const void* aData, size_t aLen, uint8_t* aOut);
  static TIdBytes HashValue(const TIdBytes& aKey, const void* aData, size_t aLen);
  static TIdBytes HashValue(const TIdBytes& aKey, const TIdBytes& aData) { return HashValue(aKey, aData.data(), aData.size()); }
};

struct TIdHMACSHA256 {
  static constexpr size_t Size = 32;
  static void HashValue(const void* aKey, size_t aKeyLen, const void* aData, size_t aLen, uint8_t* aOut);
  static TIdBytes HashValue(const TIdBytes& aKey, const void* aData, size_t aLen);
  static TIdBytes HashValue(const TIdBytes& aKey, const TIdBytes& aData) { return HashValue(aKey, aData.data(), aData.size()); }
};

struct TIdEncoderMIME {
  static std::string EncodeBytes(const void* aData, size_t aLen);
  static std::string EncodeBytes(const TIdBytes& aData) { return EncodeBytes(aData.data(), aData.size()); }
  static std::string EncodeString(std::string_view aText) { return EncodeBytes(aText.data(), aText.size()); }
};

struct TIdDecoderMIME {
  // Raises Exception on text that is not valid base64.
  static TIdBytes DecodeBytes(std::string_view aText);
};
