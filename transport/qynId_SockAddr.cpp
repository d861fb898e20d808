// Conversions between socket addresses in the system's form and their text; names are resolved
// through the stack.
#include "qynId_SockAddr.h"
#include "qynId_Address.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "qynId_Exceptions.h"

namespace qyn_detail {

int FamilyOf(TIdIPVersion aIPVersion) { return aIPVersion == Id_IPv6 ? AF_INET6 : AF_INET; }

std::string IPv6Text(const in6_addr& aAddr) {
  char buf[48];
  const uint8_t* b = aAddr.s6_addr;
  std::snprintf(buf, sizeof buf, "%x:%x:%x:%x:%x:%x:%x:%x", (b[0] << 8) | b[1], (b[2] << 8) | b[3], (b[4] << 8) | b[5],
                (b[6] << 8) | b[7], (b[8] << 8) | b[9], (b[10] << 8) | b[11], (b[12] << 8) | b[13], (b[14] << 8) | b[15]);
  return buf;
}

void AssignIPv4Text(const in_addr& aAddr, std::string& VIP) {
  char buf[16];
  char* p = buf;
  const auto* b = reinterpret_cast<const uint8_t*>(&aAddr.s_addr);
  for (int i = 0; i < 4; ++i) {
    unsigned v = b[i];
    if (v >= 100) {
      *p++ = static_cast<char>('0' + v / 100);
      v %= 100;
      *p++ = static_cast<char>('0' + v / 10);
      v %= 10;
    } else if (v >= 10) {
      *p++ = static_cast<char>('0' + v / 10);
      v %= 10;
    }
    *p++ = static_cast<char>('0' + v);
    if (i < 3) *p++ = '.';
  }
  VIP.assign(buf, static_cast<size_t>(p - buf));
}

void FromSockAddr(const sockaddr_storage& aAddr, std::string& VIP, TIdPort& VPort, TIdIPVersion& VIPVersion) {
  if (aAddr.ss_family == AF_INET6) {
    const auto* a = reinterpret_cast<const sockaddr_in6*>(&aAddr);
    VIP = IPv6Text(a->sin6_addr);
    VPort = ntohs(a->sin6_port);
    VIPVersion = Id_IPv6;
  } else if (aAddr.ss_family == AF_INET) {
    const auto* a = reinterpret_cast<const sockaddr_in*>(&aAddr);
    AssignIPv4Text(a->sin_addr, VIP);
    VPort = ntohs(a->sin_port);
    VIPVersion = Id_IPv4;
  } else {
    VIP.clear();
    VPort = 0;
  }
}

bool ParseLiteral(const std::string& aIP, TIdPort aPort, TIdIPVersion aIPVersion, sockaddr_storage& VAddr, socklen_t& VLen) {
  std::memset(&VAddr, 0, sizeof VAddr);
  if (aIPVersion == Id_IPv4) {
    auto* a = reinterpret_cast<sockaddr_in*>(&VAddr);
    a->sin_family = AF_INET;
    a->sin_port = htons(aPort);
    VLen = sizeof(sockaddr_in);
    if (aIP.empty()) {
      a->sin_addr.s_addr = htonl(INADDR_ANY);
      return true;
    }
    return QynParseIPv4(aIP, reinterpret_cast<uint8_t*>(&a->sin_addr));
  }
  auto* a = reinterpret_cast<sockaddr_in6*>(&VAddr);
  a->sin6_family = AF_INET6;
  a->sin6_port = htons(aPort);
  VLen = sizeof(sockaddr_in6);
  if (aIP.empty()) {
    a->sin6_addr = in6addr_any;
    return true;
  }
  if (QynParseIPv6(aIP, reinterpret_cast<uint8_t*>(&a->sin6_addr))) return true;
  if (aIP.find('%') == std::string::npos) return false;
  // A literal with a zone ("fe80::1%eth0"): let the resolver parse it, numerically only.
  addrinfo hints{};
  hints.ai_family = AF_INET6;
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* res = nullptr;
  if (getaddrinfo(aIP.c_str(), nullptr, &hints, &res) != 0 || !res) return false;
  std::memcpy(a, res->ai_addr, std::min<size_t>(res->ai_addrlen, sizeof(sockaddr_in6)));
  a->sin6_port = htons(aPort);
  freeaddrinfo(res);
  return true;
}

socklen_t MakeSockAddr(const std::string& aIP, TIdPort aPort, TIdIPVersion aIPVersion, sockaddr_storage& VAddr) {
  socklen_t len = 0;
  if (ParseLiteral(aIP, aPort, aIPVersion, VAddr, len)) return len;
  return MakeSockAddrResolved(aIP, aPort, aIPVersion, VAddr);
}

socklen_t MakeSockAddrCached(const std::string& aIP, TIdPort aPort, TIdIPVersion aIPVersion, sockaddr_storage& VAddr) {
  struct TLast {
    std::string IP;
    TIdIPVersion IPVersion = Id_IPv4;
    sockaddr_storage Addr{};
    socklen_t Len = 0;
  };
  thread_local TLast last;
  if (last.Len != 0 && last.IPVersion == aIPVersion && last.IP == aIP) {
    std::memcpy(&VAddr, &last.Addr, last.Len);
  } else {
    socklen_t len = 0;
    if (!ParseLiteral(aIP, aPort, aIPVersion, VAddr, len)) return MakeSockAddrResolved(aIP, aPort, aIPVersion, VAddr);
    // A zone's index can change with the interfaces: such text is parsed each time.
    if (aIP.find('%') != std::string::npos) return len;
    last.Len = 0;
    last.IP = aIP;
    last.IPVersion = aIPVersion;
    std::memcpy(&last.Addr, &VAddr, len);
    last.Len = len;
  }
  if (aIPVersion == Id_IPv6) reinterpret_cast<sockaddr_in6*>(&VAddr)->sin6_port = htons(aPort);
  else reinterpret_cast<sockaddr_in*>(&VAddr)->sin_port = htons(aPort);
  return last.Len;
}

socklen_t MakeSockAddrResolved(const std::string& aIP, TIdPort aPort, TIdIPVersion aIPVersion, sockaddr_storage& VAddr) {
  socklen_t len = 0;
  const std::string resolved = GStack().ResolveHost(aIP, aIPVersion);
  if (!ParseLiteral(resolved, aPort, aIPVersion, VAddr, len)) throw EIdSocketError::FromErrno(EINVAL);
  return len;
}

} // namespace qyn_detail
