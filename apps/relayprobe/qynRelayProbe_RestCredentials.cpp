#include "qynRelayProbe_RestCredentials.h"

#include <chrono>

#include "qynId_Hash.h"

TqynRelayProbeRestCredentials RelayProbeRestCredentials(const std::string& aSecret, const std::string& aUser,
                                                        int64_t aUnixNow, int64_t aValidity) {
  TqynRelayProbeRestCredentials c;
  c.Username = std::to_string(aUnixNow + aValidity) + ":" + aUser;
  const TIdBytes key(aSecret.begin(), aSecret.end());
  c.Password = TIdEncoderMIME::EncodeBytes(TIdHMACSHA1::HashValue(key, c.Username.data(), c.Username.size()));
  return c;
}

int64_t RelayProbeUnixNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}
