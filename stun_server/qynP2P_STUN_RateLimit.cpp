#include "qynP2P_STUN_RateLimit.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

std::string TqynSTUNSourceRateLimit::SourceKey(const std::string& aIP) {
  uint8_t bytes[16];
  if (inet_pton(AF_INET, aIP.c_str(), bytes) == 1) return std::string("4") + std::string(reinterpret_cast<char*>(bytes), 4);
  if (inet_pton(AF_INET6, aIP.c_str(), bytes) == 1) {
    static const uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (std::memcmp(bytes, kMapped, sizeof kMapped) == 0) return std::string("4") + std::string(reinterpret_cast<char*>(bytes + 12), 4);
    return std::string("6") + std::string(reinterpret_cast<char*>(bytes), 8);
  }
  return "t" + aIP;
}

bool TqynSTUNSourceRateLimit::Admit(const std::string& aIP, uint64_t aNowMs, int aRate, int aBurst, int aMaxSources) {
  if (aRate <= 0) return true;
  const double burst = std::max(aBurst, 1);
  const size_t maxSources = static_cast<size_t>(std::max(aMaxSources, 1));
  std::string key = SourceKey(aIP);

  std::lock_guard<std::mutex> lock(FLock);
  // The bound may have been lowered since the last call.
  while (FOrder.size() > maxSources) {
    FIndex.erase(FOrder.back().Key);
    FOrder.pop_back();
  }
  TOrder::iterator bucket;
  if (const auto it = FIndex.find(key); it != FIndex.end()) {
    bucket = it->second;
    const uint64_t elapsed = aNowMs > bucket->LastMs ? aNowMs - bucket->LastMs : 0;
    bucket->Tokens = std::min(burst, bucket->Tokens + static_cast<double>(elapsed) * aRate / 1000.0);
    FOrder.splice(FOrder.begin(), FOrder, bucket);
  } else if (FOrder.size() >= maxSources) {
    // The least recently seen source gives its place (its nodes are reused: no allocation).
    bucket = std::prev(FOrder.end());
    auto node = FIndex.extract(bucket->Key);
    node.key() = key;
    bucket->Key = std::move(key);
    bucket->Tokens = burst;
    FIndex.insert(std::move(node));
    FOrder.splice(FOrder.begin(), FOrder, bucket);
  } else {
    FOrder.push_front(TBucket{key, burst, aNowMs});
    bucket = FOrder.begin();
    FIndex.emplace(std::move(key), bucket);
  }
  bucket->LastMs = aNowMs;
  if (bucket->Tokens >= 1.0) {
    bucket->Tokens -= 1.0;
    return true;
  }
  FDropped.fetch_add(1, std::memory_order_relaxed);
  return false;
}

size_t TqynSTUNSourceRateLimit::SourceCount() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FOrder.size();
}

void TqynSTUNSourceRateLimit::Clear() {
  std::lock_guard<std::mutex> lock(FLock);
  FIndex.clear();
  FOrder.clear();
}
