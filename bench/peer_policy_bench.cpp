// qyn-bench-libs: qyn_turn_server qyn_stun_server
//
// What the peer address policy costs per datagram: one address judged by the compiled filter
// (the default set alone, and with ten thousand further rules, which must not cost more than a
// few more prefix lengths), and through the component as the data path asks it.

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "qynP2P_TURN_PeerPolicy.h"
#include "qynP2P_TURN_Server.h"

namespace {

const std::vector<std::string> kAddresses = {"8.8.8.8", "10.0.0.1", "2001:4860:0:0:0:0:0:8888", "0:0:0:0:0:ffff:a00:1",
                                             "2002:c0a8:101:0:0:0:0:1", "fe80:0:0:0:0:0:0:1"};

TqynTURNServer_PeerPolicy DefaultPolicy() {
  TqynTURNServer_PeerPolicy p;
  p.Enabled = true;
  return p;
}

TqynTURNServer_PeerPolicy LongPolicy() {
  TqynTURNServer_PeerPolicy p = DefaultPolicy();
  for (int i = 0; i < 10000; ++i) {
    p.DenyPeers.push_back("11." + std::to_string(i / 256 % 256) + "." + std::to_string(i % 256) + ".0/24");
    p.AllowPeers.push_back("2600:" + std::to_string(i % 10000) + "::/32");
  }
  return p;
}

void JudgeAll(benchmark::State& aState, const TqynTURNPeerFilter& aFilter) {
  size_t i = 0;
  for (auto _ : aState) {
    benchmark::DoNotOptimize(aFilter.IsAllowed(kAddresses[i]));
    if (++i == kAddresses.size()) i = 0;
  }
}

void BM_FilterDefaultSet(benchmark::State& aState) {
  const TqynTURNPeerFilter filter(DefaultPolicy());
  JudgeAll(aState, filter);
}
BENCHMARK(BM_FilterDefaultSet);

void BM_FilterTwentyThousandRules(benchmark::State& aState) {
  const TqynTURNPeerFilter filter(LongPolicy());
  JudgeAll(aState, filter);
}
BENCHMARK(BM_FilterTwentyThousandRules);

void BM_ComponentIsPeerAllowed(benchmark::State& aState) {
  static TqynTURNServer server;
  if (aState.thread_index() == 0) {
    server.TURNOptions().PeerPolicy = DefaultPolicy();
    server.ApplyPeerPolicy();
  }
  size_t i = 0;
  for (auto _ : aState) {
    benchmark::DoNotOptimize(server.IsPeerAllowed(kAddresses[i]));
    if (++i == kAddresses.size()) i = 0;
  }
}
BENCHMARK(BM_ComponentIsPeerAllowed)->Threads(1)->Threads(2);

} // namespace

BENCHMARK_MAIN();
