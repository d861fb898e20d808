// The process-wide stack: name resolution, address text and which families the host supports,
// with the layer's address types (TIdIPVersion, TIdPort). Relies on the system resolver.
//
// Address text: IPv4 in dotted decimal ("127.0.0.1"); IPv6 as the layer reports it, eight groups
// of lower-case hexadecimal without leading zeros and without "::" compression
// ("0:0:0:0:0:0:0:1", "0:0:0:0:0:0:0:0" for all addresses). Any valid IPv6 literal ("::1") is
// accepted as input. MakeCanonicalIPv6Address() converts input text to the reported form.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "qynId_Exceptions.h"

enum TIdIPVersion : uint8_t { Id_IPv4, Id_IPv6 };

using TIdPort = uint16_t;

class TIdStack {
public:
  // An address literal of the family is returned unchanged; a name is resolved by the system
  // resolver for that family (first answer, IPv6 in the reported form). Raises EIdSocketError
  // with the resolver's code when that fails, EIdInvalidIPv6Address for text with ':' that is
  // not a valid IPv6 literal when IPv6 is asked for.
  std::string ResolveHost(const std::string& aHost, TIdIPVersion aIPVersion = Id_IPv4);
  // True when the text is an IPv4 address in dotted decimal.
  bool IsIP(const std::string& aText) const;
  // True when the text is an IPv6 address literal (a "%zone" suffix allowed).
  bool IsIPv6(const std::string& aText) const;
  // Whether sockets of the family can be created here (probed once).
  bool SupportsIPv4();
  bool SupportsIPv6();
  // The reported form of an IPv6 literal ("::1" -> "0:0:0:0:0:0:0:1"); empty when the text is
  // not an IPv6 address literal. A "%zone" suffix is kept.
  std::string MakeCanonicalIPv6Address(const std::string& aText) const;

private:
  std::once_flag FProbeOnce;
  bool FSupportsIPv4 = false;
  bool FSupportsIPv6 = false;
  void Probe();
};

// The process-wide stack, made on first use.
TIdStack& GStack();

// The family a text address selects: Id_IPv6 when it contains ':', else Id_IPv4.
inline TIdIPVersion IdIPVersionOfText(const std::string& aText) {
  return aText.find(':') != std::string::npos ? Id_IPv6 : Id_IPv4;
}
