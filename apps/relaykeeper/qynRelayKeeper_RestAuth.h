// Time-limited credentials from a secret shared with a web service: the service hands a client
// the user name EXPIRY[:NAME] (EXPIRY in Unix seconds) and the password
// base64(HMAC-SHA1(secret, user name)); the server derives the same password from the name and
// refuses the name once EXPIRY has come.
#pragma once

#include <cstdint>
#include <string>

// True when aUsername has the form EXPIRY[:NAME]: EXPIRY one to 18 decimal digits, then the end
// of the text or ':' followed by any NAME (also empty); VExpiry gets EXPIRY.
bool ParseTimeLimitedUsername(const std::string& aUsername, int64_t& VExpiry);

// base64(HMAC-SHA1(aSecret, aUsername)).
std::string TimeLimitedPassword(const std::string& aSecret, const std::string& aUsername);

// True for a user name of the form above whose EXPIRY is at or before aNowUnixSeconds.
bool TimeLimitedUsernameExpired(const std::string& aUsername, int64_t aNowUnixSeconds);
