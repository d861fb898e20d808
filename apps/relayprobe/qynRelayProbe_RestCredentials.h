// Time-limited TURN credentials from a secret shared with the server (the scheme WebRTC services
// hand out, "TURN REST API"): the user name is EXPIRY:USER with EXPIRY in Unix seconds, the
// password base64(HMAC-SHA1(secret, user name)).
#pragma once

#include <cstdint>
#include <string>

struct TqynRelayProbeRestCredentials {
  std::string Username;
  std::string Password;
};

inline constexpr int64_t RelayProbeRestValidity = 86400; // seconds a computed user name stays valid

// Credentials for aUser that expire at aUnixNow + aValidity.
TqynRelayProbeRestCredentials RelayProbeRestCredentials(const std::string& aSecret, const std::string& aUser,
                                                        int64_t aUnixNow, int64_t aValidity = RelayProbeRestValidity);

// The current Unix time in seconds (UTC, not the local-time clock of the expiry timers).
int64_t RelayProbeUnixNow();
