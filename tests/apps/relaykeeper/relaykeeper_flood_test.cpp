// qyn-test-labels: net
// qyn-test-libs: qyn_relaykeeper qyn_turn_server qyn_stun_server
//
// The server with the daemon's settings on loopback under a flood: unauthenticated Allocates from
// one address (127.0.0.2) at full speed, bounded in count and time, while a client on 127.0.0.1
// authenticates, allocates and relays data to a loopback peer and back. The client is served, the
// flooder gets no more answers than its bound allows, and what the server keeps (nonces, rate
// buckets, allocations) stays bounded.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

#include "apps/relaykeeper/relaykeeper_test_client.h"
#include "qynRelayKeeper_Daemon.h"
#include "qynRelayKeeper_Server.h"
#include "qyn_test_wait.h"

namespace {

using namespace std::chrono_literals;

// A UDP socket on 127.0.0.2 (another source address than the client's).
class SecondLoopbackSocket {
public:
  SecondLoopbackSocket() {
    FFd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    if (FFd < 0) return;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(0x7F000002);
    if (::bind(FFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      ::close(FFd);
      FFd = -1;
    }
  }
  ~SecondLoopbackSocket() {
    if (FFd >= 0) ::close(FFd);
  }
  bool Ok() const { return FFd >= 0; }
  void SendTo(TIdPort aPort, const TqynBytes& aBytes) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(aPort);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::sendto(FFd, aBytes.data(), aBytes.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  // Datagrams waiting now (read and counted, without waiting).
  int Drain() {
    int n = 0;
    uint8_t buf[2048];
    while (::recv(FFd, buf, sizeof buf, MSG_DONTWAIT) > 0) ++n;
    return n;
  }

private:
  int FFd = -1;
};

// A request to 127.0.0.1:aPort, sent again every 250 ms until its answer comes (as STUN clients
// retransmit; the flood may make the kernel drop a datagram before the server reads it).
bool AskRetrying(RawClient& aSocket, TIdPort aPort, const TqynBytes& aRequest, TqynSTUN_Message& VAnswer) {
  const auto end = std::chrono::steady_clock::now() + 20s;
  while (std::chrono::steady_clock::now() < end) {
    aSocket.Send(aPort, aRequest);
    const auto resend = std::chrono::steady_clock::now() + 250ms;
    while (std::chrono::steady_clock::now() < resend) {
      const TqynBytes bytes = aSocket.Receive(50);
      if (bytes.size() < 20 || (bytes[0] & 0xC0) != 0) continue;
      if (!std::equal(aRequest.begin() + 8, aRequest.begin() + 20, bytes.begin() + 8)) continue;
      ReadResponse(bytes, VAnswer);
      return true;
    }
  }
  return false;
}

struct Flood : ::testing::Test {
  TqynTURNServer Server;
  TqynRelayKeeperOptions Options;
  TIdPort Port = 0;
  int Tid = 1;

  void SetUp() override {
    ApplyRelayKeeperDesignSettings(Server);
    ApplyRelayKeeperDaemonSettings(Server, Options); // the daemon's defaults: the bound is on
    TqynRelayKeeperStart start;
    start.NotifyEvents = neNoSync;
    start.Port = 0;
    ASSERT_TRUE(StartRelayKeeperServer(Server, start));
    Port = Server.Bindings().Items(0)->Port();
  }
  void TearDown() override { Server.SetActive(false); }

  // A request of the client as the static user: challenged first, then signed with its nonce.
  bool SignedAsk(RawClient& aSocket, uint16_t aType, const std::function<void(TqynSTUN_Message&)>& aFill, TqynSTUN_Message& VAnswer) {
    if (!AskRetrying(aSocket, Port, BuildMessage(aType, QYN_STUN_MAGIC_COOKIE, TurnTransactionId(Tid++), aFill), VAnswer))
      return false;
    const auto* nonce = VAnswer.Attributes().GetAttribute<TqynSTUN_Attribute_NONCE>(stmaNonce);
    if (!nonce) return false;
    const std::string n = nonce->Nonce();
    return AskRetrying(aSocket, Port, BuildMessage(aType, QYN_STUN_MAGIC_COOKIE, TurnTransactionId(Tid++), [&](TqynSTUN_Message& m) {
      if (aFill) aFill(m);
      SignRequest(m, n);
    }), VAnswer);
  }
};

TEST_F(Flood, UnauthenticatedAllocatesFromOneAddressDoNotCrowdOutAnotherClient) {
  SecondLoopbackSocket flooder;
  if (!flooder.Ok()) GTEST_SKIP() << "127.0.0.2 cannot be bound here";
  RawClient client;
  RawClient peer;
  ASSERT_TRUE(client.Ok() && peer.Ok());

  std::atomic<bool> stop{false};
  std::atomic<int> sent{0}, answered{0};
  const auto floodBegin = std::chrono::steady_clock::now();
  std::thread flood([&] {
    // Bounded by time: 20 s at most (a count alone can run out before the client is served, the
    // sender being faster on one machine and the client slower under a sanitizer on another).
    const auto end = std::chrono::steady_clock::now() + 20s;
    // One request, its transaction ID changed for each datagram (it carries no digest).
    TqynBytes request = BuildMessage(kAllocate, QYN_STUN_MAGIC_COOKIE, TurnTransactionId(0), [](TqynSTUN_Message& m) {
      AddRequestedTransport(m);
    });
    for (uint32_t i = 0; !stop.load() && std::chrono::steady_clock::now() < end; ++i) {
      for (int b = 0; b < 4; ++b) request[16 + b] = static_cast<uint8_t>(i >> (8 * b));
      flooder.SendTo(Port, request);
      sent.fetch_add(1);
      if (i % 64 == 0) answered.fetch_add(flooder.Drain());
    }
  });
  struct TJoin {
    std::thread& T;
    std::atomic<bool>& Stop;
    ~TJoin() {
      Stop.store(true);
      if (T.joinable()) T.join();
    }
  } join{flood, stop};
  ASSERT_TRUE(WaitUntil([&] { return sent.load() > 20000; }, 20s));

  // The other client: Allocate, CreatePermission, data to the peer and back, while the flood runs.
  TqynSTUN_Message m;
  ASSERT_TRUE(SignedAsk(client, kAllocate, [](TqynSTUN_Message& r) { AddRequestedTransport(r); }, m));
  ASSERT_EQ(m.Header().MessageType_Class(), stmcResponseSuccess) << ErrorOf(m).first;
  const auto* relayed = m.Attributes().GetAttribute(stmaXOR_Relayed_Address);
  ASSERT_NE(relayed, nullptr);
  const TIdPort relayPort = relayed->Port();
  ASSERT_TRUE(SignedAsk(client, kCreatePermission, [&](TqynSTUN_Message& r) { AddPeer(r, "127.0.0.1", peer.Port()); }, m));
  ASSERT_EQ(m.Header().MessageType_Class(), stmcResponseSuccess) << ErrorOf(m).first;

  TqynBytes atPeer;
  ASSERT_TRUE(WaitUntil([&] {
    client.Send(Port, BuildMessage(kSendIndication, QYN_STUN_MAGIC_COOKIE, TurnTransactionId(Tid++), [&](TqynSTUN_Message& i) {
      AddPeer(i, "127.0.0.1", peer.Port());
      AddDataAttr(i, Bytes("to the peer"));
    }));
    return !(atPeer = peer.Receive(200)).empty();
  }, 20s));
  EXPECT_EQ(atPeer, Bytes("to the peer"));
  peer.Send(relayPort, Bytes("to the client"));
  std::string ip;
  TIdPort from = 0;
  TqynBytes data;
  ASSERT_TRUE(WaitUntil([&] {
    const TqynBytes b = client.Receive(200);
    return !b.empty() && ReadDataIndication(b, ip, from, data);
  }, 20s));
  EXPECT_EQ(data, Bytes("to the client"));
  EXPECT_EQ(from, peer.Port());
  const bool floodStillRunning =
      !stop.load() && std::chrono::steady_clock::now() < floodBegin + 20s;

  stop.store(true);
  flood.join();
  std::this_thread::sleep_for(100ms);
  answered.fetch_add(flooder.Drain());
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - floodBegin).count();

  EXPECT_TRUE(floodStillRunning) << "the flood ended before the client was served";
  // The flooder's answers: its burst plus the rate over the time it ran.
  const int bound = Server.STUNOptions().UnauthenticatedAnswers.Burst +
                    static_cast<int>(std::ceil(seconds * Server.STUNOptions().UnauthenticatedAnswers.Rate)) + 1;
  EXPECT_LE(answered.load(), bound) << sent.load() << " sent in " << seconds << " s";
  EXPECT_GT(Server.UnauthenticatedDropped(), 0u);
  // What the server keeps stays bounded: one allocation, the nonces of the answers it gave, two
  // rate buckets.
  EXPECT_EQ(Server.GetAllocations()->Count(), 1);
  EXPECT_LE(Server.GetNonces()->Count(), bound + 10);
  EXPECT_LE(Server.UnauthenticatedSources(), 2u);
}

} // namespace
