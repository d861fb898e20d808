// Address literals: the one parser of IPv4 and IPv6 texts, shared by the STUN codec (address
// attributes) and the socket layer (bind and send addresses), so that both accept exactly the
// same texts.
#pragma once

#include <cstdint>
#include <string_view>

// Four dot-separated decimal numbers, each 0 to 255 written without leading zeros
// ("192.0.2.1"). Anything else, "300.1.1.1" and "1.2.3" among them, is rejected. aOut receives
// the four bytes in network order when the text is accepted.
bool QynParseIPv4(std::string_view aText, uint8_t aOut[4]) noexcept;

// Eight colon-separated groups of one to four hexadecimal digits (either case), with the standard
// shortened forms: one "::" standing for one or more zero groups, and a dotted IPv4 tail for the
// last two groups ("::ffff:192.0.2.1", its numbers as strict as QynParseIPv4's). No zone suffix.
// aOut receives the sixteen bytes in network order when the text is accepted.
bool QynParseIPv6(std::string_view aText, uint8_t aOut[16]) noexcept;
