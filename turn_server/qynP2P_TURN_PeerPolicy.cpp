#include "qynP2P_TURN_PeerPolicy.h"

#include <algorithm>
#include <cstdio>

#include "qynId_Address.h"
#include "qynMessages.h"

namespace {

bool AllZero(const uint8_t* aBytes, size_t aCount) noexcept {
  return std::all_of(aBytes, aBytes + aCount, [](uint8_t b) { return b == 0; });
}

TqynPeerAddress IPv4Of(const uint8_t* aBytes, bool aInvert = false) noexcept {
  TqynPeerAddress out;
  for (int i = 0; i < 4; ++i) out.Bytes[i] = aInvert ? static_cast<uint8_t>(~aBytes[i]) : aBytes[i];
  return out;
}

// The address with every bit past aLength cleared.
TqynPeerAddress Masked(const TqynPeerAddress& aAddress, int aLength) noexcept {
  TqynPeerAddress out = aAddress;
  for (int i = 0; i < 16; ++i) {
    const int keep = std::clamp(aLength - 8 * i, 0, 8);
    out.Bytes[i] &= static_cast<uint8_t>(0xFF00u >> keep);
  }
  return out;
}

bool AllDigits(std::string_view aText) noexcept {
  return !aText.empty() && std::all_of(aText.begin(), aText.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Addresses

bool ParsePeerAddress(std::string_view aText, TqynPeerAddress& VAddress) noexcept {
  TqynPeerAddress out;
  if (aText.find(':') == std::string_view::npos) {
    if (!QynParseIPv4(aText, out.Bytes.data())) return false;
  } else {
    out.IPv6 = true;
    if (!QynParseIPv6(aText.substr(0, aText.find('%')), out.Bytes.data())) return false;
  }
  VAddress = out;
  return true;
}

bool EmbeddedIPv4(const TqynPeerAddress& aAddress, TqynPeerAddress& VIPv4) noexcept {
  if (!aAddress.IPv6) return false;
  const uint8_t* b = aAddress.Bytes.data();
  // ::ffff:a.b.c.d (IPv4-mapped)
  if (AllZero(b, 10) && b[10] == 0xFF && b[11] == 0xFF) {
    VIPv4 = IPv4Of(b + 12);
    return true;
  }
  // ::a.b.c.d (IPv4-compatible); :: and ::1 are addresses of their own.
  if (AllZero(b, 12)) {
    if (AllZero(b + 12, 3) && b[15] <= 1) return false;
    VIPv4 = IPv4Of(b + 12);
    return true;
  }
  // 2002:AABB:CCDD::/48 (6to4)
  if (b[0] == 0x20 && b[1] == 0x02) {
    VIPv4 = IPv4Of(b + 2);
    return true;
  }
  // 64:ff9b::a.b.c.d (NAT64 well-known prefix)
  if (b[0] == 0x00 && b[1] == 0x64 && b[2] == 0xFF && b[3] == 0x9B && AllZero(b + 4, 8)) {
    VIPv4 = IPv4Of(b + 12);
    return true;
  }
  // 2001:0::/32 (Teredo): the client's address is the last 32 bits, inverted.
  if (b[0] == 0x20 && b[1] == 0x01 && b[2] == 0x00 && b[3] == 0x00) {
    VIPv4 = IPv4Of(b + 12, true);
    return true;
  }
  return false;
}

std::string PeerAddressText(const TqynPeerAddress& aAddress) {
  char buf[48];
  const uint8_t* b = aAddress.Bytes.data();
  if (!aAddress.IPv6) {
    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return buf;
  }
  std::string out;
  for (int g = 0; g < 8; ++g) {
    std::snprintf(buf, sizeof buf, g ? ":%x" : "%x", static_cast<unsigned>((b[2 * g] << 8) | b[2 * g + 1]));
    out += buf;
  }
  return out;
}

bool IsLoopbackPeerAddress(std::string_view aText) noexcept {
  TqynPeerAddress a;
  if (!ParsePeerAddress(aText, a)) return false;
  if (a.IPv6) {
    if (AllZero(a.Bytes.data(), 15) && a.Bytes[15] == 1) return true;
    const bool mapped = AllZero(a.Bytes.data(), 10) && a.Bytes[10] == 0xFF && a.Bytes[11] == 0xFF;
    return mapped && a.Bytes[12] == 127;
  }
  return a.Bytes[0] == 127;
}

// ---------------------------------------------------------------------------------------------
// Ranges

TqynPeerRange ParsePeerRange(const std::string& aText) {
  const size_t slash = aText.find('/');
  const std::string address = aText.substr(0, slash);
  TqynPeerRange range;
  if (address.find('%') != std::string::npos || !ParsePeerAddress(address, range.Network))
    throw EqynTURNPeerRange(QynFormat(RS_TURNPeerRangeInvalid, aText));
  range.PrefixLength = range.Network.Bits();
  if (slash != std::string::npos) {
    const std::string_view prefix = std::string_view(aText).substr(slash + 1);
    if (!AllDigits(prefix) || prefix.size() > 3 || std::stoi(std::string(prefix)) > range.Network.Bits())
      throw EqynTURNPeerRange(QynFormat(RS_TURNPeerRangeInvalid, aText));
    range.PrefixLength = std::stoi(std::string(prefix));
  }
  const TqynPeerAddress network = Masked(range.Network, range.PrefixLength);
  if (network.Bytes != range.Network.Bytes) {
    TqynPeerRange meant{network, range.PrefixLength};
    throw EqynTURNPeerRange(QynFormat(RS_TURNPeerRangeHostBits, aText, PeerRangeText(meant)));
  }
  return range;
}

std::string PeerRangeText(const TqynPeerRange& aRange) {
  return PeerAddressText(aRange.Network) + "/" + std::to_string(aRange.PrefixLength);
}

const std::vector<TqynPeerRule>& DefaultPeerRules() {
  static const std::vector<TqynPeerRule> GRules = {
      // IPv4
      {"0.0.0.0/8", false, "this network (0.0.0.0 is this host)"},
      {"10.0.0.0/8", false, "private use"},
      {"100.64.0.0/10", false, "shared address space (carrier-grade NAT)"},
      {"127.0.0.0/8", false, "loopback"},
      {"169.254.0.0/16", false, "link local"},
      {"172.16.0.0/12", false, "private use"},
      {"192.0.0.0/24", false, "IETF protocol assignments"},
      {"192.0.0.9/32", true, "port control protocol anycast"},
      {"192.0.0.10/32", true, "TURN anycast"},
      {"192.0.2.0/24", false, "documentation (TEST-NET-1)"},
      {"192.88.99.0/24", false, "deprecated 6to4 relay anycast"},
      {"192.168.0.0/16", false, "private use"},
      {"198.18.0.0/15", false, "benchmarking"},
      {"198.51.100.0/24", false, "documentation (TEST-NET-2)"},
      {"203.0.113.0/24", false, "documentation (TEST-NET-3)"},
      {"224.0.0.0/4", false, "multicast"},
      {"240.0.0.0/4", false, "reserved"},
      {"255.255.255.255/32", false, "limited broadcast"},
      // IPv6: only global unicast is reachable; inside it, the special-purpose blocks.
      {"::/0", false, "outside global unicast (reserved by the IETF)"},
      {"2000::/3", true, "global unicast"},
      {"::/128", false, "unspecified address"},
      {"::1/128", false, "loopback"},
      {"::ffff:0:0/96", true, "IPv4-mapped (judged by its IPv4 address)"},
      {"64:ff9b::/96", true, "IPv4/IPv6 translation (judged by its IPv4 address)"},
      {"64:ff9b:1::/48", false, "local-use IPv4/IPv6 translation"},
      {"100::/64", false, "discard only"},
      {"100:0:0:1::/64", false, "dummy prefix"},
      {"2001::/23", false, "IETF protocol assignments"},
      {"2001::/32", true, "Teredo (judged by the client's IPv4 address)"},
      {"2001:1::1/128", true, "port control protocol anycast"},
      {"2001:1::2/128", true, "TURN anycast"},
      {"2001:1::3/128", true, "DNS-SD service registration protocol anycast"},
      {"2001:2::/48", false, "benchmarking"},
      {"2001:3::/32", true, "AMT"},
      {"2001:4:112::/48", true, "AS112-v6"},
      {"2001:10::/28", false, "deprecated ORCHID"},
      {"2001:20::/28", true, "ORCHIDv2"},
      {"2001:30::/28", true, "drone remote ID entity tags"},
      {"2001:db8::/32", false, "documentation"},
      {"2002::/16", true, "6to4 (judged by its IPv4 address)"},
      {"3fff::/20", false, "documentation"},
      {"5f00::/16", false, "segment routing SIDs"},
      {"fc00::/7", false, "unique local"},
      {"fe80::/10", false, "link local"},
      {"fec0::/10", false, "deprecated site local"},
      {"ff00::/8", false, "multicast"},
  };
  return GRules;
}

// ---------------------------------------------------------------------------------------------
// The compiled filter

TqynTURNPeerFilter::TKey TqynTURNPeerFilter::KeyOf(const TqynPeerAddress& aAddress) noexcept {
  TKey key;
  for (int i = 0; i < 8; ++i) key.Hi = (key.Hi << 8) | aAddress.Bytes[i];
  for (int i = 8; i < 16; ++i) key.Lo = (key.Lo << 8) | aAddress.Bytes[i];
  return key;
}

TqynTURNPeerFilter::TKey TqynTURNPeerFilter::MaskKey(const TKey& aKey, int aLength) noexcept {
  const uint64_t hi = aLength >= 64 ? ~0ull : aLength <= 0 ? 0 : ~0ull << (64 - aLength);
  const uint64_t lo = aLength >= 128 ? ~0ull : aLength <= 64 ? 0 : ~0ull << (128 - aLength);
  return TKey{aKey.Hi & hi, aKey.Lo & lo};
}

void TqynTURNPeerFilter::TTable::Set(const TqynPeerRange& aRange, bool aAllow) {
  auto at = std::find_if(FLengths.begin(), FLengths.end(), [&](const TLength& l) { return l.Length <= aRange.PrefixLength; });
  if (at == FLengths.end() || at->Length != aRange.PrefixLength) at = FLengths.insert(at, TLength{aRange.PrefixLength, {}});
  at->Rules[MaskKey(KeyOf(aRange.Network), aRange.PrefixLength)] = aAllow;
}

int TqynTURNPeerFilter::TTable::Match(const TqynPeerAddress& aAddress) const noexcept {
  const TKey key = KeyOf(aAddress);
  for (const TLength& l : FLengths) {
    const auto it = l.Rules.find(MaskKey(key, l.Length));
    if (it != l.Rules.end()) return it->second ? 1 : 0;
  }
  return -1;
}

TqynTURNPeerFilter::TqynTURNPeerFilter(const TqynTURNServer_PeerPolicy& aPolicy) {
  if (aPolicy.DefaultDeny)
    for (const TqynPeerRule& r : DefaultPeerRules()) Set(ParsePeerRange(r.Range), r.Allow);
  if (aPolicy.AllowLoopback) {
    Set(ParsePeerRange("127.0.0.0/8"), true);
    Set(ParsePeerRange("::1"), true);
  }
  for (const std::string& r : aPolicy.AllowPeers) Set(ParsePeerRange(r), true);
  for (const std::string& r : aPolicy.DenyPeers) Set(ParsePeerRange(r), false);
}

TqynTURNPeerFilter TqynTURNPeerFilter::RefuseAll() {
  TqynTURNPeerFilter filter;
  filter.FRefuseAll = true;
  return filter;
}

bool TqynTURNPeerFilter::Judge(const TqynPeerAddress& aAddress) const noexcept {
  if (FRefuseAll) return false;
  if ((aAddress.IPv6 ? F6 : F4).Match(aAddress) == 0) return false;
  TqynPeerAddress ipv4;
  if (EmbeddedIPv4(aAddress, ipv4)) return F4.Match(ipv4) != 0;
  return true;
}

bool TqynTURNPeerFilter::IsAllowed(const TqynPeerAddress& aAddress) const noexcept { return Judge(aAddress); }

bool TqynTURNPeerFilter::IsAllowed(std::string_view aIP) const noexcept {
  TqynPeerAddress address;
  return ParsePeerAddress(aIP, address) && Judge(address);
}
