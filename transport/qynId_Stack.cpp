// The process-wide stack: family probing, address literals and name resolution through the
// system resolver.
#include "qynId_Stack.h"
#include "qynId_Address.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "qynId_SockAddr.h"
#include "qynMessages.h"

using namespace qyn_detail;

TIdStack& GStack() {
  static TIdStack stack;
  return stack;
}

void TIdStack::Probe() {
  std::call_once(FProbeOnce, [this] {
    for (int family : {AF_INET, AF_INET6}) {
      int fd = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      bool ok = fd >= 0;
      if (ok) ::close(fd);
      (family == AF_INET ? FSupportsIPv4 : FSupportsIPv6) = ok;
    }
  });
}

bool TIdStack::SupportsIPv4() {
  Probe();
  return FSupportsIPv4;
}

bool TIdStack::SupportsIPv6() {
  Probe();
  return FSupportsIPv6;
}

bool TIdStack::IsIP(const std::string& aText) const {
  uint8_t a[4];
  return QynParseIPv4(aText, a);
}

bool TIdStack::IsIPv6(const std::string& aText) const {
  if (aText.find(':') == std::string::npos) return false;
  sockaddr_storage ss;
  socklen_t len;
  return ParseLiteral(aText, 0, Id_IPv6, ss, len) && !aText.empty();
}

std::string TIdStack::MakeCanonicalIPv6Address(const std::string& aText) const {
  if (aText.find(':') == std::string::npos) return std::string();
  const size_t zone = aText.find('%');
  const std::string addr = aText.substr(0, zone);
  in6_addr a;
  if (!QynParseIPv6(addr, reinterpret_cast<uint8_t*>(&a))) return std::string();
  if (zone != std::string::npos && !IsIPv6(aText)) return std::string();
  return IPv6Text(a) + (zone == std::string::npos ? std::string() : aText.substr(zone));
}

std::string TIdStack::ResolveHost(const std::string& aHost, TIdIPVersion aIPVersion) {
#ifdef EAI_ADDRFAMILY
  const int wrongFamily = EAI_ADDRFAMILY;
#else
  const int wrongFamily = EAI_NONAME;
#endif
  if (aIPVersion == Id_IPv4) {
    if (IsIP(aHost)) return aHost;
    // Names never contain ':': an IPv6 literal asked for as IPv4 needs no resolver.
    if (aHost.find(':') != std::string::npos) throw EIdSocketError::FromResolver(wrongFamily, 0);
  } else {
    if (IsIPv6(aHost)) return aHost;
    // Names never contain ':', so such text can only be a broken IPv6 literal.
    if (aHost.find(':') != std::string::npos) throw EIdInvalidIPv6Address(QynFormat(RS_InvalidIPv6Address, aHost));
    if (IsIP(aHost)) throw EIdSocketError::FromResolver(wrongFamily, 0);
  }
  addrinfo hints{};
  hints.ai_family = FamilyOf(aIPVersion);
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* res = nullptr;
  errno = 0;
  const int rc = getaddrinfo(aHost.c_str(), nullptr, &hints, &res);
  const int savedErrno = errno;
  if (rc != 0) throw EIdSocketError::FromResolver(rc, savedErrno);
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> guard(res, freeaddrinfo);
  for (addrinfo* ai = res; ai; ai = ai->ai_next) {
    if (ai->ai_family != hints.ai_family || !ai->ai_addr) continue;
    sockaddr_storage ss{};
    std::memcpy(&ss, ai->ai_addr, std::min<size_t>(ai->ai_addrlen, sizeof ss));
    std::string ip;
    TIdPort port;
    TIdIPVersion v;
    FromSockAddr(ss, ip, port, v);
    if (!ip.empty()) return ip;
  }
  throw EIdSocketError::FromResolver(EAI_NONAME, 0);
}
