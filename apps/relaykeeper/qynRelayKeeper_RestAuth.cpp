#include "qynRelayKeeper_RestAuth.h"

#include "qynId_Hash.h"

bool ParseTimeLimitedUsername(const std::string& aUsername, int64_t& VExpiry) {
  const size_t colon = aUsername.find(':');
  const size_t digits = colon == std::string::npos ? aUsername.size() : colon;
  if (digits == 0 || digits > 18) return false;
  int64_t value = 0;
  for (size_t i = 0; i < digits; ++i) {
    const char c = aUsername[i];
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  VExpiry = value;
  return true;
}

std::string TimeLimitedPassword(const std::string& aSecret, const std::string& aUsername) {
  uint8_t digest[TIdHMACSHA1::Size];
  TIdHMACSHA1::HashValue(aSecret.data(), aSecret.size(), aUsername.data(), aUsername.size(), digest);
  return TIdEncoderMIME::EncodeBytes(digest, sizeof digest);
}

bool TimeLimitedUsernameExpired(const std::string& aUsername, int64_t aNowUnixSeconds) {
  int64_t expiry = 0;
  return ParseTimeLimitedUsername(aUsername, expiry) && expiry <= aNowUnixSeconds;
}
