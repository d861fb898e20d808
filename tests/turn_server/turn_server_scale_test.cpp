// qyn-test-labels: net
// qyn-test-libs: qyn_turn_server qyn_stun_server
//
// What one allocation costs the server process, on loopback: exactly one descriptor (its relay
// binding's socket, given back when the allocation goes: Refresh 0 or the server's stop) and no
// thread of its own (one poller serves every relay binding), while every allocation relays data
// both ways. The figures for thousands of
// allocations come from bench/turn_allocations_bench.

#include <sys/resource.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "qynUDP_Server.h"
#include "qyn_test_proc.h"
#include "qyn_test_udp.h"
#include "qyn_test_wait.h"
#include "turn_server/turn_server_test_util.h"

namespace {

struct TurnScale : ::testing::Test {
  static constexpr int KAllocations = 200;
  TqynTURNServer Server;
  std::atomic<int> Exceptions{0};
  TIdPort ServerPort = 0;
  std::vector<std::unique_ptr<RawClient>> Clients;
  std::vector<TIdPort> RelayPorts;
  RawClient Peer;

  void SetUp() override {
    Server.TURNOptions().Authentication.Enabled = false;
    Server.OnSTUNException = [this](TqynComponent_Base*, const Exception&) { ++Exceptions; };
    Server.SetNotifyEvents(neNoSync);
    Server.SetHost("127.0.0.1");
    Server.SetPort(0);
    Server.SetActive(true);
    ASSERT_TRUE(Server.Active());
    ServerPort = Server.Bindings().Items(0)->Port();
    ASSERT_TRUE(Peer.Ok());
  }
  void TearDown() override { Server.SetActive(false); }

  TqynSTUN_Message Ask(RawClient& aClient, uint16_t aType, int aTid, const std::function<void(TqynSTUN_Message&)>& aFill) {
    aClient.Send(ServerPort, BuildMessage(aType, QYN_STUN_MAGIC_COOKIE, TurnTransactionId(aTid), aFill));
    TqynSTUN_Message m;
    const TqynBytes answer = aClient.Receive(10000);
    if (!answer.empty()) ReadResponse(answer, m);
    return m;
  }
};

TEST_F(TurnScale, EachAllocationHoldsOneDescriptorAndNoThreadWhileItRelays) {
  // The server raised the soft limit on descriptors to the hard one when it started.
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  EXPECT_EQ(limit.rlim_cur, limit.rlim_max);

  for (int i = 0; i < KAllocations; ++i) Clients.push_back(std::make_unique<RawClient>());
  const int fds = CountEntries("/proc/self/fd");
  const int threads = CountEntries("/proc/self/task");
  int tid = 1;
  for (auto& c : Clients) {
    const TqynSTUN_Message allocated = Ask(*c, kAllocate, tid++, [](TqynSTUN_Message& m) { AddRequestedTransport(m); });
    ASSERT_EQ(allocated.Header().MessageType_Class(), stmcResponseSuccess);
    const auto* relayed = allocated.Attributes().GetAttribute(stmaXOR_Relayed_Address);
    ASSERT_NE(relayed, nullptr);
    RelayPorts.push_back(relayed->Port());
    const TqynSTUN_Message permitted =
        Ask(*c, kCreatePermission, tid++, [this](TqynSTUN_Message& m) { AddPeer(m, "127.0.0.1", Peer.Port()); });
    ASSERT_EQ(permitted.Header().MessageType_Class(), stmcResponseSuccess);
  }
  // Beside the relay sockets: the poller's epoll instance and its wake-up, and its one thread.
  EXPECT_EQ(CountEntries("/proc/self/fd") - fds, KAllocations + 2);
  EXPECT_TRUE(WaitUntil([&] { return CountEntries("/proc/self/task") - threads == 1; }));

  // One datagram out through each relay and back: the peer answers the relayed address it came
  // from, the client gets it as a Data indication.
  for (int i = 0; i < KAllocations; ++i) {
    const TqynBytes payload = Bytes("d" + std::to_string(i));
    Clients[static_cast<size_t>(i)]->Send(ServerPort, BuildMessage(kSendIndication, QYN_STUN_MAGIC_COOKIE, TurnTransactionId(tid++),
                                                                   [&](TqynSTUN_Message& m) {
                                                                     AddPeer(m, "127.0.0.1", Peer.Port());
                                                                     AddDataAttr(m, payload);
                                                                   }));
    uint16_t from = 0;
    ASSERT_EQ(Peer.Receive(10000, &from), payload);
    EXPECT_EQ(from, RelayPorts[static_cast<size_t>(i)]);
    Peer.Send(from, payload);
    std::string ip;
    TIdPort port = 0;
    TqynBytes data;
    ASSERT_TRUE(ReadDataIndication(Clients[static_cast<size_t>(i)]->Receive(10000), ip, port, data));
    EXPECT_EQ(data, payload);
    EXPECT_EQ(port, Peer.Port());
  }
  EXPECT_EQ(CountEntries("/proc/self/fd") - fds, KAllocations + 2);

  // Refresh 0 on half of them gives their descriptors back at once.
  for (int i = 0; i < KAllocations / 2; ++i) {
    const TqynSTUN_Message refreshed =
        Ask(*Clients[static_cast<size_t>(i)], kRefresh, tid++, [](TqynSTUN_Message& m) { AddLifetimeAttr(m, 0); });
    ASSERT_EQ(refreshed.Header().MessageType_Class(), stmcResponseSuccess);
  }
  EXPECT_EQ(CountEntries("/proc/self/fd") - fds, KAllocations / 2 + 2);

  // A stop ends the relay bindings' poller promptly.
  const auto start = std::chrono::steady_clock::now();
  Server.SetActive(false);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  // The listening binding's listener and the allocation timer went too (the poller's descriptors
  // with it); the relay bindings stay
  // listed, with their sockets closed.
  EXPECT_TRUE(WaitUntil([&] { return CountEntries("/proc/self/task") < threads; }));
  EXPECT_LT(CountEntries("/proc/self/fd") - fds, 0);
  EXPECT_EQ(Exceptions.load(), 0);
}

TEST_F(TurnScale, AFloodBeyondThePortRangeIsAnsweredAndHoldsNoMore) {
  // 40 clients ask for a range of 16 ports: 16 allocations, every other Allocate refused, the
  // server keeps answering, and the refused ones leave nothing behind.
  Server.SetActive(false);
  // Below both the system's ephemeral ports and the default relay range, so that no test running
  // beside this one holds a port of it.
  Server.TURNOptions().Allocation.MinPort = 29000;
  Server.TURNOptions().Allocation.MaxPort = 29016;
  Server.SetActive(true);
  ASSERT_TRUE(Server.Active());
  ServerPort = Server.Bindings().Items(0)->Port();
  for (int i = 0; i < 40; ++i) Clients.push_back(std::make_unique<RawClient>());
  const int fds = CountEntries("/proc/self/fd");
  int granted = 0, refused = 0, tid = 1;
  for (int round = 0; round < 2; ++round) {
    for (auto& c : Clients) {
      const TqynSTUN_Message m = Ask(*c, kAllocate, tid++, [](TqynSTUN_Message& r) { AddRequestedTransport(r); });
      if (m.Header().MessageType_Class() == stmcResponseSuccess) {
        ++granted;
        continue;
      }
      ASSERT_EQ(m.Header().MessageType_Class(), stmcResponseError);
      // No free relay port: 437; a second Allocate of a client that holds one: 437 as well.
      EXPECT_EQ(ErrorOf(m).first, 437);
      ++refused;
    }
  }
  EXPECT_EQ(granted, 16);
  EXPECT_EQ(refused, 80 - 16);
  EXPECT_EQ(Server.GetAllocations()->Count(), 16);
  EXPECT_EQ(CountEntries("/proc/self/fd") - fds, 16 + 2); // and the poller's two
  // Still answering.
  const TqynSTUN_Message binding = Ask(*Clients[0], 0x0001, tid++, {});
  EXPECT_EQ(binding.Header().MessageType_Class(), stmcResponseSuccess);
  EXPECT_EQ(Exceptions.load(), 0);
}

TEST_F(TurnScale, ARelayPortThatIsTheListeningPortIsNotGranted) {
  // The listening port lies in the relay range (an ephemeral port here): drawing it must not make
  // the listening binding an allocation's relay, which would turn every later request into peer
  // data. It counts as a port that does not bind: 508 when nothing else is left.
  Server.SetActive(false);
  Server.TURNOptions().Allocation.MinPort = ServerPort;
  Server.TURNOptions().Allocation.MaxPort = static_cast<uint16_t>(ServerPort + 1);
  Server.SetPort(ServerPort);
  Server.SetActive(true);
  ASSERT_TRUE(Server.Active());
  RawClient client;
  const TqynSTUN_Message refused = Ask(client, kAllocate, 1, [](TqynSTUN_Message& r) { AddRequestedTransport(r); });
  EXPECT_EQ(ErrorOf(refused).first, 508);
  EXPECT_EQ(Server.GetAllocations()->Count(), 0);
  EXPECT_FALSE(Server.GetUDPServer()->IsRelayBinding(Server.Bindings().Items(0)));
  const TqynSTUN_Message binding = Ask(client, 0x0001, 2, {});
  EXPECT_EQ(binding.Header().MessageType_Class(), stmcResponseSuccess);
}

} // namespace
