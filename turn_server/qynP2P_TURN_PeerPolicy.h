// The peer address policy of the TURN server: which addresses an allocation may have as peers.
// A TURN server on a public address must not become a way into the networks behind it, so a
// policy can refuse the ranges that are not globally reachable (private, loopback, link-local,
// documentation, multicast, ...) and every IPv6 form that carries such an IPv4 address.
//
// An address is judged in two steps. First its own rules: the most specific range (longest
// prefix) that holds it decides; an address no range holds is allowed. Then, for the IPv6 forms
// that carry an IPv4 address (IPv4-mapped ::ffff:a.b.c.d, IPv4-compatible ::a.b.c.d, 6to4
// 2002:AABB:CCDD::/48, NAT64 64:ff9b::a.b.c.d, and Teredo 2001:0::/32 with the client address in
// the last 32 bits inverted), that IPv4 address is judged the same way: a refused embedded IPv4
// address refuses the IPv6 address. A rule on the IPv6 form never opens its IPv4 address.
//
// The record is plain data (copied by the component's options); TqynTURNPeerFilter is the
// compiled form the component consults for every peer, without a walk over all rules.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "qynBase_Types.h"

// A malformed range text.
QYN_DECLARE_EXCEPTION(EqynTURNPeerRange, Exception)

// The option record, TURNOptions().PeerPolicy. Off by default: the server then accepts every peer
// as the rest of its options allow. Changes take effect at the next activation or
// ApplyPeerPolicy of the component.
struct TqynTURNServer_PeerPolicy {
  bool Enabled = false;
  // Refuse the ranges of DefaultPeerRules (the special-purpose ranges that are not globally
  // reachable) unless a more specific rule allows.
  bool DefaultDeny = true;
  // Allow 127.0.0.0/8 and ::1 (a server that listens on loopback for local tests).
  bool AllowLoopback = false;
  // Ranges as "ADDRESS/PREFIX" or one "ADDRESS". A rule for the same range as a default
  // replaces it; for the same range given in both lists, the deny wins.
  std::vector<std::string> AllowPeers;
  std::vector<std::string> DenyPeers;

  void Assign(const TqynTURNServer_PeerPolicy& aSource) { *this = aSource; }
  bool operator==(const TqynTURNServer_PeerPolicy&) const = default;
};

// One address: IPv4 in the first 4 bytes, or IPv6 in all 16, in network order.
struct TqynPeerAddress {
  bool IPv6 = false;
  std::array<uint8_t, 16> Bytes{};
  int Bits() const noexcept { return IPv6 ? 128 : 32; }
};

// Parses an IPv4 or IPv6 literal as the socket layer does (a "%zone" suffix is ignored).
bool ParsePeerAddress(std::string_view aText, TqynPeerAddress& VAddress) noexcept;
// The IPv4 address an IPv6 address carries (forms above); false for IPv4 addresses, for ::
// and ::1, and for IPv6 addresses of no such form.
bool EmbeddedIPv4(const TqynPeerAddress& aAddress, TqynPeerAddress& VIPv4) noexcept;
// The address as text (dotted decimal; IPv6 in the socket layer's reported form).
std::string PeerAddressText(const TqynPeerAddress& aAddress);
// 127.0.0.0/8, ::1, and IPv4-mapped forms of 127.0.0.0/8.
bool IsLoopbackPeerAddress(std::string_view aText) noexcept;

struct TqynPeerRange {
  TqynPeerAddress Network;
  int PrefixLength = 0;
};
// Parses "ADDRESS/PREFIX" (decimal prefix, 0..32 or 0..128) or "ADDRESS" (a single address).
// Raises EqynTURNPeerRange for anything else, including address bits set past the prefix (the
// message names the range that was probably meant).
TqynPeerRange ParsePeerRange(const std::string& aText);
std::string PeerRangeText(const TqynPeerRange& aRange);

// One row of the default set: the range, whether it is allowed, and what it is.
struct TqynPeerRule {
  const char* Range;
  bool Allow;
  const char* Name;
};
// The default set: every range the IANA special-purpose address registries mark as not
// globally reachable, multicast, the IPv6 space outside global unicast, and the more specific
// globally reachable assignments inside refused ranges.
const std::vector<TqynPeerRule>& DefaultPeerRules();

// A compiled policy. Immutable once built, so IsAllowed is safe from any thread. Each address
// costs one hash lookup per distinct prefix length among the rules (longest first).
class TqynTURNPeerFilter {
public:
  // Raises EqynTURNPeerRange for a malformed rule of aPolicy.
  explicit TqynTURNPeerFilter(const TqynTURNServer_PeerPolicy& aPolicy);
  // A filter that refuses every address (what a policy that failed to compile leaves in force).
  static TqynTURNPeerFilter RefuseAll();

  bool IsAllowed(std::string_view aIP) const noexcept;
  bool IsAllowed(const TqynPeerAddress& aAddress) const noexcept;

private:
  TqynTURNPeerFilter() = default;

  struct TKey {
    uint64_t Hi = 0, Lo = 0;
    bool operator==(const TKey&) const = default;
  };
  struct TKeyHash {
    size_t operator()(const TKey& aKey) const noexcept { return static_cast<size_t>((aKey.Hi * 0x9E3779B97F4A7C15ull) ^ aKey.Lo); }
  };
  // The rules of one family, grouped by prefix length, longest first.
  class TTable {
  public:
    void Set(const TqynPeerRange& aRange, bool aAllow);
    // -1 no rule holds the address, 0 refused, 1 allowed.
    int Match(const TqynPeerAddress& aAddress) const noexcept;

  private:
    struct TLength {
      int Length;
      std::unordered_map<TKey, bool, TKeyHash> Rules;
    };
    std::vector<TLength> FLengths;
  };
  // The address as a key (IPv4 in the top 32 bits of Hi), and a key with the bits past aLength cleared.
  static TKey KeyOf(const TqynPeerAddress& aAddress) noexcept;
  static TKey MaskKey(const TKey& aKey, int aLength) noexcept;
  bool Judge(const TqynPeerAddress& aAddress) const noexcept;
  void Set(const TqynPeerRange& aRange, bool aAllow) { (aRange.Network.IPv6 ? F6 : F4).Set(aRange, aAllow); }

  bool FRefuseAll = false;
  TTable F4, F6;
};
