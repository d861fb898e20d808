// Socket addresses in the system's form (sockaddr_in, sockaddr_in6) and their text, shared by the
// stack and the socket handles. Internal to the socket layer: include it from its .cpp files only.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <string>

#include "qynId_Stack.h"

namespace qyn_detail {

int FamilyOf(TIdIPVersion aIPVersion);
// Eight groups of lower-case hexadecimal (the reported IPv6 form).
std::string IPv6Text(const in6_addr& aAddr);
// Dotted decimal, written directly (every datagram's sender goes through here).
void AssignIPv4Text(const in_addr& aAddr, std::string& VIP);
// Text, port and family of a socket address.
void FromSockAddr(const sockaddr_storage& aAddr, std::string& VIP, TIdPort& VPort, TIdIPVersion& VIPVersion);
// Fills a socket address from an address literal of the family (empty text: all addresses).
// False when the text is not such a literal.
bool ParseLiteral(const std::string& aIP, TIdPort aPort, TIdIPVersion aIPVersion, sockaddr_storage& VAddr, socklen_t& VLen);
// As ParseLiteral, resolving a name for the family.
socklen_t MakeSockAddr(const std::string& aIP, TIdPort aPort, TIdIPVersion aIPVersion, sockaddr_storage& VAddr);
// As MakeSockAddr, remembering the last literal each thread parsed: a server answering one peer
// after another sends to the same text again and again.
socklen_t MakeSockAddrCached(const std::string& aIP, TIdPort aPort, TIdIPVersion aIPVersion, sockaddr_storage& VAddr);
// The address of a name the stack resolves for the family (EIdSocketError when that fails).
socklen_t MakeSockAddrResolved(const std::string& aIP, TIdPort aPort, TIdIPVersion aIPVersion, sockaddr_storage& VAddr);

} // namespace qyn_detail
