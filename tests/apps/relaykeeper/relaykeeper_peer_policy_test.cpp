// qyn-test-labels: net
// qyn-test-libs: qyn_relaykeeper qyn_turn_server qyn_stun_server
//
// The daemon's peer policy on real loopback sockets, the daemon run inside the test process:
// listening on 127.0.0.1 it relays to loopback peers, answers 403 for refused ones, and drops
// data to and from a loopback address closed with --deny-peer (127.0.0.2, also loopback). Also the
// component's activation with a malformed rule.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "apps/apps_test_command_line.h"
#include "apps/relaykeeper/relaykeeper_test_client.h"
#include "apps/relaykeeper/relaykeeper_test_output.h"
#include "qynRelayKeeper_Daemon.h"
#include "qyn_test_wait.h"

namespace {

// A UDP socket on a loopback address other than 127.0.0.1, sending to 127.0.0.1.
class TLoopbackPeer {
public:
  explicit TLoopbackPeer(const char* aIP) {
    FFd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, aIP, &a.sin_addr);
    socklen_t len = sizeof a;
    if (FFd < 0 || ::bind(FFd, reinterpret_cast<sockaddr*>(&a), len) != 0) return;
    getsockname(FFd, reinterpret_cast<sockaddr*>(&a), &len);
    FPort = ntohs(a.sin_port);
  }
  ~TLoopbackPeer() {
    if (FFd >= 0) ::close(FFd);
  }
  TIdPort Port() const { return FPort; }
  void Send(TIdPort aPort, const TqynBytes& aBytes) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(aPort);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::sendto(FFd, aBytes.data(), aBytes.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a),
              static_cast<ssize_t>(aBytes.size()));
  }
  TqynBytes Receive(int aMs) {
    pollfd p{FFd, POLLIN, 0};
    if (::poll(&p, 1, aMs) <= 0) return {};
    TqynBytes buf(8192);
    const ssize_t n = ::recv(FFd, buf.data(), buf.size(), 0);
    buf.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return buf;
  }

private:
  int FFd = -1;
  TIdPort FPort = 0;
};

// The daemon on 127.0.0.1, any port, run on a thread of the test process until the fixture ends.
struct PolicyDaemon : ::testing::Test {
  std::FILE* Out = std::tmpfile();
  std::FILE* Err = std::tmpfile();
  std::thread Run;
  int Status = -1;
  TIdPort Port = 0;

  void Start(std::vector<std::string> aArgs) {
    ASSERT_TRUE(Out && Err);
    aArgs.insert(aArgs.begin(), {"--headless", "--port", "0", "--no-auth", "--verbose"});
    const TqynRelayKeeperOptions options = ParseCommandLine(ParseRelayKeeperOptions, "relaykeeper", aArgs);
    Run = std::thread([this, options] { Status = RunRelayKeeperDaemon(options, Out, Err); });
    std::string text;
    ASSERT_TRUE(WaitUntil([&] { return (text = Contents(Err)).find(" (UDP)\n") != std::string::npos; }));
    Port = static_cast<TIdPort>(std::stoi(text.substr(text.find(" port ") + 6)));
  }
  bool LogHas(const std::string& aLine) {
    return WaitUntil([&] { return Contents(Out).find(aLine + "\n") != std::string::npos; });
  }
  ~PolicyDaemon() override {
    if (Run.joinable()) {
      RequestRelayKeeperStop();
      Run.join();
      EXPECT_EQ(Status, 0);
    }
    if (Out) std::fclose(Out);
    if (Err) std::fclose(Err);
  }
};

TEST_F(PolicyDaemon, OnLoopbackItRelaysToLoopbackPeersAndRefusesTheRest) {
  Start({"--deny-peer", "127.0.0.2/32"});
  TTestTurnClient client;
  TqynSTUN_Message m;
  ASSERT_TRUE(client.Allocate(Port, m));
  const TIdPort relay = TTestTurnClient::RelayedPort(m);
  ASSERT_NE(relay, 0);

  auto permit = [&](const std::string& aIP) {
    TqynSTUN_Message r;
    if (!client.Ask(Port, kCreatePermission, [&](TqynSTUN_Message& q) { AddPeer(q, aIP, 1); }, r)) return -1;
    return r.Header().MessageType_Class() == stmcResponseSuccess ? 0 : static_cast<int>(ErrorOf(r).first);
  };
  for (const char* refused : {"10.0.0.1", "0.0.0.0", "192.168.1.1", "169.254.169.254", "255.255.255.255", "127.0.0.2"})
    EXPECT_EQ(permit(refused), 403) << refused;
  EXPECT_EQ(permit("127.0.0.1"), 0);

  RawClient peerA; // 127.0.0.1
  TLoopbackPeer peerB("127.0.0.2");
  ASSERT_TRUE(peerA.Ok());
  ASSERT_NE(peerB.Port(), 0);
  ASSERT_TRUE(client.Ask(Port, kChannelBind, [&](TqynSTUN_Message& q) {
    AddChannel(q, 0x4000);
    AddPeer(q, "127.0.0.2", peerB.Port());
  }, m));
  EXPECT_EQ(ErrorOf(m).first, 403);
  ASSERT_TRUE(client.Ask(Port, kChannelBind, [&](TqynSTUN_Message& q) {
    AddChannel(q, 0x4001);
    AddPeer(q, "127.0.0.1", peerA.Port());
  }, m));
  EXPECT_EQ(m.Header().MessageType_Class(), stmcResponseSuccess);

  // Client to peers: to A through the relay port; to B discarded with the reason.
  const std::string from = "127.0.0.1:" + std::to_string(client.Socket.Port());
  client.Socket.Send(Port, BuildMessage(kSendIndication, QYN_STUN_MAGIC_COOKIE, TurnTransactionId(900), [&](TqynSTUN_Message& i) {
    AddPeer(i, "127.0.0.2", peerB.Port());
    AddDataAttr(i, Bytes("to B"));
  }));
  EXPECT_TRUE(LogHas("Discarded Send from " + from + ": Peer Address Refused: 127.0.0.2.")) << Contents(Out);
  client.Socket.Send(Port, ChannelDataBytes(0x4001, Bytes("to A")));
  TIdPort source = 0;
  EXPECT_EQ(peerA.Receive(10000, &source), Bytes("to A"));
  EXPECT_EQ(source, relay);
  EXPECT_TRUE(peerB.Receive(100).empty());

  // Peers to the client: B's datagram dropped, A's delivered on its channel.
  peerB.Send(relay, Bytes("from B"));
  EXPECT_TRUE(LogHas("Discarded Data from 127.0.0.2:" + std::to_string(peerB.Port()) + ": Peer Address Refused: 127.0.0.2."))
      << Contents(Out);
  peerA.Send(relay, Bytes("from A"));
  EXPECT_EQ(client.Socket.Receive(10000), ChannelDataBytes(0x4001, Bytes("from A")));
}

TEST(ServerPeerPolicy, ActivationWithAMalformedRuleReportsItAndRefusesEveryPeer) {
  TqynTURNServer server;
  server.SetNotifyEvents(neNoSync);
  server.Bindings().Clear();
  server.AddBinding("127.0.0.1", 0);
  std::mutex lock;
  std::vector<std::string> exceptions;
  server.OnSTUNException = [&](TqynComponent_Base*, const Exception& E) {
    std::lock_guard<std::mutex> guard(lock);
    exceptions.push_back(E.Message());
  };
  server.TURNOptions().PeerPolicy.Enabled = true;
  server.TURNOptions().PeerPolicy.AllowPeers = {"10.0.0.1/8"};
  server.SetActive(true);
  EXPECT_TRUE(server.Active());
  EXPECT_FALSE(server.IsPeerAllowed("8.8.8.8"));
  server.SetActive(false);
  std::lock_guard<std::mutex> guard(lock);
  ASSERT_EQ(exceptions.size(), 1u);
  EXPECT_NE(exceptions[0].find("'10.0.0.1/8'"), std::string::npos) << exceptions[0];
}

} // namespace
