// qyn-test-labels: net
// qyn-test-libs: qyn_relaykeeper qyn_turn_server qyn_stun_server
// qyn-test-programs: relaykeeper
//
// The metrics endpoint over loopback HTTP: scraped after a relay on loopback (Allocate with its
// challenge, CreatePermission, Send indications and ChannelData to a loopback peer, its answers
// back, discards, a wrong password), every counter matching what was sent; the HTTP server's one
// thread joined by Stop, also with an idle connection open; a busy port refused with its reason;
// hostile requests answered without harm; and the daemon's --metrics.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "apps/relaykeeper/relaykeeper_test_client.h"
#include "apps/relaykeeper/relaykeeper_test_http.h"
#include "qynRelayKeeper_Metrics.h"
#include "qynRelayKeeper_Server.h"
#include "qyn_test_proc.h"
#include "qyn_test_process.h"
#include "qyn_test_wait.h"

namespace {

// name{labels} -> value of every sample line.
std::map<std::string, uint64_t> Samples(const std::string& aText) {
  std::map<std::string, uint64_t> out;
  std::istringstream in(aText);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    const size_t space = line.rfind(' ');
    out[line.substr(0, space)] = std::stoull(line.substr(space + 1));
  }
  return out;
}

uint64_t Get(const std::map<std::string, uint64_t>& aSamples, const std::string& aKey) {
  const auto it = aSamples.find(aKey);
  return it == aSamples.end() ? 0 : it->second;
}

// A TURN server as the daemon runs it (neNoSync, the relaykeeper's settings, the one user) on a
// loopback port, with its metrics on another.
struct MetricsRelay : ::testing::Test {
  TqynTURNServer Server;
  TqynRelayKeeperMetricsServer Metrics; // after Server: stopped before it goes
  TIdPort Port = 0;

  void SetUp() override {
    ApplyRelayKeeperDesignSettings(Server);
    Server.OnSTUNRequestAuthorization = [this](TqynComponent_Base*, TqynSTUN_Message*, const std::string& aUsername,
                                               const std::string& aRealm, std::string& Password) {
      Password = RelayKeeperPassword(aUsername, aRealm, kTurnUser, Server.TURNOptions().Authentication.LongTermCredentials.Realm,
                                     kTurnPassword);
    };
    TqynRelayKeeperStart start;
    start.NotifyEvents = neNoSync;
    start.Port = 0;
    ASSERT_TRUE(StartRelayKeeperServer(Server, start));
    Port = Server.Bindings().Items(0)->Port();
    std::string error;
    ASSERT_TRUE(Metrics.Start("127.0.0.1", 0, [this] { return RelayKeeperMetricsText(Server); }, error)) << error;
    ASSERT_NE(Metrics.Port(), 0);
  }
  void TearDown() override {
    Metrics.Stop();
    Server.SetActive(false);
  }
};

TEST_F(MetricsRelay, ScrapedCountersMatchTheRelayedTraffic) {
  TTestTurnClient client;
  RawClient peer;
  TqynSTUN_Message m;
  ASSERT_TRUE(client.Binding(Port, m));
  ASSERT_TRUE(client.Allocate(Port, m, kTurnUser, kTurnPassword)); // 401, then success
  const TIdPort relay = TTestTurnClient::RelayedPort(m);
  ASSERT_NE(relay, 0);
  ASSERT_TRUE(client.SignedAsk(Port, kCreatePermission, [&](TqynSTUN_Message& r) { AddPeer(r, "127.0.0.1", peer.Port()); }, m,
                               kTurnUser, kTurnPassword));
  ASSERT_EQ(m.Header().MessageType_Class(), stmcResponseSuccess);

  // Client to peer: three Send indications of 10, 20 and 30 bytes.
  for (int i = 1; i <= 3; ++i) {
    client.Socket.Send(Port, BuildMessage(kSendIndication, QYN_STUN_MAGIC_COOKIE, TurnTransactionId(100 + i), [&](TqynSTUN_Message& s) {
      AddPeer(s, "127.0.0.1", peer.Port());
      AddDataAttr(s, TqynBytes(static_cast<size_t>(10 * i), 'x'));
    }));
    ASSERT_EQ(peer.Receive().size(), static_cast<size_t>(10 * i));
  }
  // Peer to client: 5 and 7 bytes as Data indications.
  for (size_t size : {5u, 7u}) {
    peer.Send(relay, TqynBytes(size, 'p'));
    std::string ip;
    TIdPort port = 0;
    TqynBytes data;
    ASSERT_TRUE(ReadDataIndication(client.Socket.Receive(), ip, port, data));
    EXPECT_EQ(data.size(), size);
  }
  // A channel: 4 bytes out as ChannelData, 9 bytes back.
  ASSERT_TRUE(client.SignedAsk(Port, kChannelBind, [&](TqynSTUN_Message& r) {
    AddChannel(r, 0x4000);
    AddPeer(r, "127.0.0.1", peer.Port());
  }, m, kTurnUser, kTurnPassword));
  ASSERT_EQ(m.Header().MessageType_Class(), stmcResponseSuccess);
  client.Socket.Send(Port, ChannelDataBytes(0x4000, Bytes("abcd")));
  ASSERT_EQ(peer.Receive().size(), 4u);
  peer.Send(relay, TqynBytes(9, 'q'));
  const TqynBytes framed = client.Socket.Receive();
  ASSERT_GE(framed.size(), 4u);
  EXPECT_EQ(framed[0], 0x40);

  // Discarded: a Send indication towards an address without permission (nothing is sent), and
  // ChannelData on a number never bound. A wrong password: a 401 with a fresh nonce, and a processing
  // error.
  client.Socket.Send(Port, BuildMessage(kSendIndication, QYN_STUN_MAGIC_COOKIE, TurnTransactionId(200), [](TqynSTUN_Message& s) {
    AddPeer(s, "127.0.0.2", 9);
    AddDataAttr(s, Bytes("no"));
  }));
  client.Socket.Send(Port, ChannelDataBytes(0x4001, Bytes("no")));
  TTestTurnClient wrong(std::function<void()>(), 500);
  EXPECT_FALSE(wrong.Allocate(Port, m, kTurnUser, "green_tea", 0));

  // The last increments happen just after the datagrams left; wait for them, then scrape once.
  ASSERT_TRUE(WaitUntil([&] {
    const TqynTURNCountersSnapshot s = Server.Counters().Snapshot();
    return s.RelayedDatagrams[trdPeerToClient] == 3 && s.Discards.size() == 2 && s.ProcessingErrors == 1;
  }));
  const THttpAnswer answer = HttpGet(Metrics.Port(), "/metrics");
  ASSERT_EQ(answer.Status, 200) << answer.Head;
  EXPECT_NE(answer.Head.find("Content-Type: text/plain; version=0.0.4"), std::string::npos) << answer.Head;
  const auto s = Samples(answer.Body);

  const std::map<std::string, uint64_t> expected = {
      {"qynwire_turn_allocations", 1},
      {"qynwire_turn_allocations_created_total", 1},
      {R"(qynwire_turn_allocations_refused_total{code="401",reason="Unauthorized"})", 3},
      {"qynwire_turn_permissions", 1},
      {"qynwire_turn_permissions_installed_total", 1},
      {"qynwire_turn_channels", 1},
      {"qynwire_turn_channels_bound_total", 1},
      {R"(qynwire_turn_relayed_datagrams_total{direction="client_to_peer"})", 4},
      {R"(qynwire_turn_relayed_bytes_total{direction="client_to_peer"})", 10 + 20 + 30 + 4},
      {R"(qynwire_turn_relayed_datagrams_total{direction="peer_to_client"})", 3},
      {R"(qynwire_turn_relayed_bytes_total{direction="peer_to_client"})", 5 + 7 + 9},
      {R"(qynwire_requests_total{method="Binding",code="200"})", 1},
      {R"(qynwire_requests_total{method="Allocate",code="401"})", 3},
      {R"(qynwire_requests_total{method="Allocate",code="200"})", 1},
      {R"(qynwire_requests_total{method="CreatePermission",code="401"})", 1},
      {R"(qynwire_requests_total{method="CreatePermission",code="200"})", 1},
      {R"(qynwire_requests_total{method="ChannelBind",code="401"})", 1},
      {R"(qynwire_requests_total{method="ChannelBind",code="200"})", 1},
      {R"(qynwire_turn_discarded_total{method="Send",reason="Invalid Permission for Address: N."})", 1},
      {R"(qynwire_turn_discarded_total{method="ChannelData",reason="Channel Data ID: N not exists"})", 1},
      {"qynwire_processing_errors_total", 1},
  };
  for (const auto& [key, value] : expected) EXPECT_EQ(Get(s, key), value) << key;
  // Nothing else was counted: every sample of these families is one of the above.
  for (const auto& [key, value] : s) {
    if (key.rfind("qynwire_process_", 0) == 0) continue;
    EXPECT_TRUE(expected.count(key) || value == 0) << key << " " << value;
  }
  // Listening and relay listeners, the allocation timer, the metrics thread, the test's thread.
  EXPECT_GE(Get(s, "qynwire_process_threads"), 5u);
  EXPECT_GE(Get(s, "qynwire_process_open_fds"), 4u);
}

TEST_F(MetricsRelay, GaugesFollowExpiryAndRefreshToZero) {
  TTestTurnClient client;
  TqynSTUN_Message m;
  ASSERT_TRUE(client.Allocate(Port, m, kTurnUser, kTurnPassword));
  ASSERT_NE(TTestTurnClient::RelayedPort(m), 0);
  // Permissions for two peers (no data goes to them), a channel to the first.
  ASSERT_TRUE(client.SignedAsk(Port, kCreatePermission, [](TqynSTUN_Message& r) {
    AddPeer(r, "127.0.0.1", 9);
    AddPeer(r, "127.0.0.3", 9);
  }, m, kTurnUser, kTurnPassword));
  ASSERT_TRUE(client.SignedAsk(Port, kChannelBind, [](TqynSTUN_Message& r) {
    AddChannel(r, 0x4000);
    AddPeer(r, "127.0.0.1", 9);
  }, m, kTurnUser, kTurnPassword));
  auto s = Samples(HttpGet(Metrics.Port(), "/metrics").Body);
  EXPECT_EQ(Get(s, "qynwire_turn_allocations"), 1u);
  EXPECT_EQ(Get(s, "qynwire_turn_permissions"), 2u);
  EXPECT_EQ(Get(s, "qynwire_turn_permissions_installed_total"), 2u); // the ChannelBind's peer was known
  EXPECT_EQ(Get(s, "qynwire_turn_channels"), 1u);

  // 301 s later the permissions have expired (they stay in their lists), the channel not yet.
  struct TShift {
    ~TShift() { QynClockReset(); }
  } reset;
  QynClockShift(301 * 1000);
  s = Samples(HttpGet(Metrics.Port(), "/metrics").Body);
  EXPECT_EQ(Get(s, "qynwire_turn_permissions"), 0u);
  EXPECT_EQ(Get(s, "qynwire_turn_channels"), 1u);
  QynClockShift(300 * 1000);
  EXPECT_EQ(Get(Samples(HttpGet(Metrics.Port(), "/metrics").Body), "qynwire_turn_channels"), 0u);
  QynClockReset();

  ASSERT_TRUE(client.SignedAsk(Port, kRefresh, [](TqynSTUN_Message& r) { AddLifetimeAttr(r, 0); }, m, kTurnUser, kTurnPassword));
  s = Samples(HttpGet(Metrics.Port(), "/metrics").Body);
  EXPECT_EQ(Get(s, "qynwire_turn_allocations"), 0u);
  EXPECT_EQ(Get(s, "qynwire_turn_allocations_created_total"), 1u);
  EXPECT_EQ(Get(s, R"(qynwire_requests_total{method="Refresh",code="200"})"), 1u);
}

TEST_F(MetricsRelay, HostileRequestsAreAnsweredWithoutHarm) {
  EXPECT_EQ(HttpGet(Metrics.Port(), "/").Status, 404);
  EXPECT_EQ(HttpGet(Metrics.Port(), "/metrics/../../etc/passwd").Status, 404);
  // Not HTTP at all (a TLS hello, binary bytes), an endless header line, a body beyond the bound.
  HttpExchange(Metrics.Port(), std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11));
  HttpExchange(Metrics.Port(), "GET /metrics HTTP/1.1\r\nX: " + std::string(100000, 'a') + "\r\n\r\n");
  const THttpAnswer big = HttpExchange(Metrics.Port(), "POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 100000\r\n\r\n" +
                                                           std::string(100000, 'b'));
  EXPECT_NE(big.Status, 200);
  // Many connections at once, each closed at once: they wait in the backlog and are served in turn.
  for (int i = 0; i < 50; ++i) {
    const int fd = ConnectLoopback(Metrics.Port());
    if (fd >= 0) ::close(fd);
  }
  const THttpAnswer ok = HttpGet(Metrics.Port(), "/metrics");
  EXPECT_EQ(ok.Status, 200);
  EXPECT_NE(ok.Body.find("qynwire_turn_allocations 0\n"), std::string::npos);
}

TEST(MetricsServer, StopJoinsItsThreadAlsoWithAnIdleConnectionOpen) {
  // A sanitizer starts a background thread of its own with the first thread: let it do so before
  // counting.
  std::thread([] {}).join();
  const int before = ThreadCount();
  {
    TqynRelayKeeperMetricsServer metrics;
    std::string error;
    ASSERT_TRUE(metrics.Start("127.0.0.1", 0, [] { return std::string("x 1\n"); }, error)) << error;
    EXPECT_EQ(ThreadCount(), before + 1);
    EXPECT_EQ(HttpGet(metrics.Port(), "/metrics").Body, "x 1\n");
    const int idle = ConnectLoopback(metrics.Port()); // connected, never sends
    ASSERT_GE(idle, 0);
    const auto begin = TClock::now();
    metrics.Stop();
    EXPECT_LT(TClock::now() - begin, 6s);
    EXPECT_FALSE(metrics.Running());
    EXPECT_EQ(ThreadCount(), before);
    ::close(idle);
    // Restartable, and the destructor stops it.
    ASSERT_TRUE(metrics.Start("127.0.0.1", 0, [] { return std::string("y 2\n"); }, error)) << error;
    EXPECT_EQ(HttpGet(metrics.Port(), "/metrics").Body, "y 2\n");
  }
  EXPECT_EQ(ThreadCount(), before);
}

TEST(MetricsServer, ABusyPortIsRefusedWithItsReason) {
  TqynRelayKeeperMetricsServer first;
  std::string error;
  ASSERT_TRUE(first.Start("127.0.0.1", 0, [] { return std::string(); }, error)) << error;
  const int before = ThreadCount();
  TqynRelayKeeperMetricsServer second;
  EXPECT_FALSE(second.Start("127.0.0.1", first.Port(), [] { return std::string(); }, error));
  EXPECT_EQ(error, "Address already in use");
  EXPECT_FALSE(second.Running());
  EXPECT_EQ(ThreadCount(), before);
  EXPECT_FALSE(second.Start("192.0.2.1", 0, [] { return std::string(); }, error)); // not an address of this host
  EXPECT_NE(error, "");
}

// ---- The program ----

const std::string kProgram = QYN_PROGRAM_relaykeeper;
const std::vector<std::string> kNoDisplay = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};

TEST(DaemonMetrics, ServesWhileRunningAndStopsCleanly) {
  TChildProcess p({kProgram, "--headless", "--port", "0", "--metrics", "127.0.0.1:0"}, kNoDisplay);
  ASSERT_TRUE(p.WaitFor(" (UDP)\n", true)) << p.Err();
  const std::string marker = "relaykeeper: metrics on http://127.0.0.1:";
  const size_t at = p.Err().find(marker);
  ASSERT_NE(at, std::string::npos) << p.Err();
  const TIdPort metricsPort = static_cast<TIdPort>(std::stoi(p.Err().substr(at + marker.size())));
  const size_t listening = p.Err().find(" port ", p.Err().find("listening on "));
  const TIdPort port = static_cast<TIdPort>(std::stoi(p.Err().substr(listening + 6)));
  ASSERT_TRUE(p.WaitFor("#start server\n"));

  TTestTurnClient client;
  TqynSTUN_Message m;
  ASSERT_TRUE(client.Allocate(port, m, kTurnUser, kTurnPassword));
  ASSERT_NE(TTestTurnClient::RelayedPort(m), 0);
  const THttpAnswer answer = HttpGet(metricsPort, "/metrics");
  ASSERT_EQ(answer.Status, 200);
  const auto s = Samples(answer.Body);
  EXPECT_EQ(Get(s, "qynwire_turn_allocations"), 1u);
  EXPECT_EQ(Get(s, R"(qynwire_requests_total{method="Allocate",code="401"})"), 1u);
  EXPECT_EQ(static_cast<int>(Get(s, "qynwire_process_threads")), p.ThreadCount());
  EXPECT_GE(Get(s, "qynwire_process_max_fds"), Get(s, "qynwire_process_open_fds"));

  p.Signal(SIGTERM);
  EXPECT_EQ(p.WaitExit(5s), 0) << p.Err();
  EXPECT_EQ(p.Out().substr(p.Out().size() - 13), "#stop server\n");
}

TEST(DaemonMetrics, ABusyMetricsPortExitsWithOneAndABadValueWithTwo) {
  TqynRelayKeeperMetricsServer holder;
  std::string error;
  ASSERT_TRUE(holder.Start("127.0.0.1", 0, [] { return std::string(); }, error)) << error;
  TChildProcess busy({kProgram, "--headless", "--port", "0", "--metrics", "127.0.0.1:" + std::to_string(holder.Port())}, kNoDisplay);
  EXPECT_EQ(busy.WaitExit(), 1);
  EXPECT_NE(busy.Err().find("relaykeeper: Can not serve metrics on 127.0.0.1 port " + std::to_string(holder.Port()) +
                            ": Address already in use\n"),
            std::string::npos)
      << busy.Err();
  EXPECT_EQ(busy.Out().find("#start server"), std::string::npos);

  for (const char* value : {"127.0.0.1", "::1:9100", "host:9100", "127.0.0.1:70000"}) {
    TChildProcess bad({kProgram, "--headless", "--metrics", value}, kNoDisplay);
    EXPECT_EQ(bad.WaitExit(), 2) << value;
    EXPECT_NE(bad.Err().find("--metrics"), std::string::npos) << bad.Err();
  }
}

} // namespace
