// A bound on how many answers each source address gets per second: one token bucket per source
// in a hash map of bounded size. The server spends a token for every answer it would give to a
// request that did not authenticate, so that a forged source address cannot turn the server into
// a reflector and one busy address cannot crowd out the others.
//
// Sources are keyed by IPv4 address and by IPv6 /64 prefix (a single IPv6 host usually holds a
// whole /64); an IPv4-mapped IPv6 address counts as its IPv4 address. When the map is full, the
// source seen least recently gives its place to the new one: memory stays bounded however many
// forged sources arrive, and a source that keeps sending stays at the recent end, so churn of
// other sources does not refill its bucket.
//
// Thread-safe: every operation holds the limiter's lock for its own duration.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>

class TqynSTUNSourceRateLimit {
public:
  // Spends one token of aIP's bucket at aNowMs (a monotonic millisecond count). A bucket holds at
  // most aBurst tokens (at least 1), starts full and gains aRate tokens per second. True when a
  // token was there; false (and counted in Dropped) when not. aRate <= 0: always true, nothing
  // tracked. At most aMaxSources (at least 1) buckets are kept.
  bool Admit(const std::string& aIP, uint64_t aNowMs, int aRate, int aBurst, int aMaxSources);

  // Admissions refused so far.
  uint64_t Dropped() const noexcept { return FDropped.load(std::memory_order_relaxed); }
  // Buckets held now.
  size_t SourceCount() const;
  void Clear();

  // The bucket key of an address text: 4 bytes for IPv4 (mapped IPv6 included), the first 8
  // bytes for other IPv6 addresses, the text itself for anything unparsable; each with a tag byte.
  static std::string SourceKey(const std::string& aIP);

private:
  struct TBucket {
    std::string Key;
    double Tokens = 0;
    uint64_t LastMs = 0;
  };
  using TOrder = std::list<TBucket>; // most recently seen first

  mutable std::mutex FLock;
  TOrder FOrder;
  std::unordered_map<std::string, TOrder::iterator> FIndex;
  std::atomic<uint64_t> FDropped{0};
};
