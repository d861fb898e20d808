// qyn-test-labels: net
// qyn-test-libs: qyn_relaykeeper qyn_turn_server qyn_stun_server
// qyn-test-programs: relaykeeper
//
// The relaykeeper program headless, as a separate process on loopback: its log lines on standard
// output, Allocate with its credentials and with --no-auth, the --verbose lines, SIGTERM and
// SIGINT, a busy port, bad option values, --help, and the start without a display.

#include <gtest/gtest.h>

#include <signal.h>

#include <ctime>
#include <string>
#include <vector>

#include "apps/relaykeeper/relaykeeper_test_client.h"
#include "qynRelayKeeper_RestAuth.h"
#include "qyn_test_process.h"

namespace {

using namespace std::chrono_literals;

const std::string kProgram = QYN_PROGRAM_relaykeeper;
const std::vector<std::string> kNoDisplay = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};

// The listening port the daemon reports on standard error (0 when it reported none).
TIdPort ListeningPort(TChildProcess& aProcess) {
  const std::string marker = " port ";
  if (!aProcess.WaitFor(" (UDP)\n", true)) return 0;
  const std::string& err = aProcess.Err();
  const size_t at = err.find("listening on ");
  if (at == std::string::npos) return 0;
  const size_t p = err.find(marker, at);
  return p == std::string::npos ? 0 : static_cast<TIdPort>(std::stoi(err.substr(p + marker.size())));
}

struct Daemon : ::testing::Test {
  std::unique_ptr<TChildProcess> Process;
  TIdPort Port = 0;

  void Run(std::vector<std::string> aArgs) {
    aArgs.insert(aArgs.begin(), {kProgram, "--headless", "--port", "0"});
    Process = std::make_unique<TChildProcess>(aArgs, kNoDisplay);
    ASSERT_TRUE(Process->Started());
    Port = ListeningPort(*Process);
    ASSERT_NE(Port, 0) << Process->Err();
    ASSERT_TRUE(Process->WaitFor("#start server\n")) << Process->Out();
  }
  // Stops the daemon with aSignal and checks the clean end.
  void Stop(int aSignal = SIGTERM) {
    Process->Signal(aSignal);
    EXPECT_EQ(Process->WaitExit(), 0) << Process->Err();
    EXPECT_EQ(Process->Out().substr(Process->Out().size() - 13), "#stop server\n");
  }
};

TEST_F(Daemon, AllocatesWithItsCredentialsAndLogsEachAllocation) {
  Run({});
  EXPECT_EQ(Process->Out().rfind("#start server\n", 0), 0u);
  TTestTurnClient client;
  TqynSTUN_Message m;
  ASSERT_TRUE(client.Binding(Port, m));
  EXPECT_EQ(m.Header().MessageType_Class(), stmcResponseSuccess);
  ASSERT_TRUE(client.Allocate(Port, m));
  EXPECT_EQ(ErrorOf(m).first, 401);
  // A wrong password: no answer, the exception in the log.
  TTestTurnClient wrong(std::function<void()>(), 500);
  EXPECT_FALSE(wrong.Allocate(Port, m, "qyn_user", "green_tea", 0));
  EXPECT_TRUE(Process->WaitFor("#exception: Invalid Message Integrity\n"));
  ASSERT_TRUE(client.Allocate(Port, m, "qyn_user", "kiwi_tea"));
  const TIdPort relay = TTestTurnClient::RelayedPort(m);
  ASSERT_NE(relay, 0);
  EXPECT_TRUE(Process->WaitFor("New Allocation: 127.0.0.1:" + std::to_string(relay) + "\n"));
  // Without --verbose, refused requests leave no line.
  EXPECT_EQ(Process->Out().find("Refused"), std::string::npos);
  Stop();
}

TEST_F(Daemon, OptionsSetCredentialsRealmAndRelayRange) {
  Run({"--user", "alice", "--password=s3cret", "--realm", "Lab", "--min-port", "50000", "--max-port", "50010", "--verbose"});
  TTestTurnClient client;
  TqynSTUN_Message m;
  ASSERT_TRUE(client.Allocate(Port, m));
  ASSERT_NE(m.Attributes().GetAttribute<TqynSTUN_Attribute_REALM>(stmaRealm), nullptr);
  EXPECT_EQ(m.Attributes().GetAttribute<TqynSTUN_Attribute_REALM>(stmaRealm)->Realm(), "Lab");
  EXPECT_TRUE(Process->WaitFor("Refused Allocate from 127.0.0.1:" + std::to_string(client.Socket.Port()) + ": 401 Unauthorized\n"))
      << Process->Out();
  ASSERT_TRUE(client.Allocate(Port, m, "alice", "s3cret"));
  const TIdPort relay = TTestTurnClient::RelayedPort(m);
  EXPECT_GE(relay, 50000);
  EXPECT_LT(relay, 50010);

  // --verbose: a deleted allocation and discarded messages each get a line (a Send indication and
  // ChannelData without an allocation are both discarded as data of no allocation).
  ASSERT_TRUE(client.SignedAsk(Port, kRefresh, [](TqynSTUN_Message& r) { AddLifetimeAttr(r, 0); }, m, "alice", "s3cret"));
  EXPECT_EQ(m.Header().MessageType_Class(), stmcResponseSuccess);
  EXPECT_TRUE(Process->WaitFor("Deleted Allocation: 127.0.0.1:" + std::to_string(relay) + "\n")) << Process->Out();
  const std::string discarded = "Discarded Data from 127.0.0.1:" + std::to_string(client.Socket.Port()) + ": ";
  client.Socket.Send(Port, BuildMessage(kSendIndication, QYN_STUN_MAGIC_COOKIE, TurnTransactionId(99), [](TqynSTUN_Message& i) {
    AddPeer(i, "127.0.0.1", 9);
    AddDataAttr(i, Bytes("x"));
  }));
  EXPECT_TRUE(Process->WaitForCount(discarded, 1)) << Process->Out();
  client.Socket.Send(Port, ChannelDataBytes(0x4001, Bytes("y")));
  EXPECT_TRUE(Process->WaitForCount(discarded, 2)) << Process->Out();
  Stop(SIGINT);
}

TEST_F(Daemon, NoAuthAllocatesWithoutCredentials) {
  Run({"--no-auth"});
  TTestTurnClient client;
  TqynSTUN_Message m;
  ASSERT_TRUE(client.Allocate(Port, m));
  EXPECT_NE(TTestTurnClient::RelayedPort(m), 0) << ErrorOf(m).first;
  Stop();
}

TEST_F(Daemon, TimeLimitedCredentialsBesideTheStaticUserAndTheServerLimit) {
  Run({"--auth-secret", "north_wind", "--max-allocations", "2", "--verbose"});
  const std::string valid = std::to_string(std::time(nullptr) + 3600) + ":alice";
  const std::string expired = std::to_string(std::time(nullptr) - 10) + ":alice";
  TqynSTUN_Message m;
  TTestTurnClient first(std::function<void()>(), 100), second(std::function<void()>(), 200), third(std::function<void()>(), 300);
  ASSERT_TRUE(first.Allocate(Port, m, valid, TimeLimitedPassword("north_wind", valid)));
  EXPECT_NE(TTestTurnClient::RelayedPort(m), 0) << ErrorOf(m).first;
  ASSERT_TRUE(second.Allocate(Port, m, expired, TimeLimitedPassword("north_wind", expired)));
  EXPECT_EQ(ErrorOf(m).first, 401);
  EXPECT_NE(m.Attributes().GetAttribute(stmaNonce), nullptr);
  ASSERT_TRUE(second.Allocate(Port, m, "qyn_user", "kiwi_tea"));
  EXPECT_NE(TTestTurnClient::RelayedPort(m), 0) << ErrorOf(m).first;
  ASSERT_TRUE(third.Allocate(Port, m, "qyn_user", "kiwi_tea"));
  EXPECT_EQ(ErrorOf(m).first, 508);
  EXPECT_TRUE(Process->WaitFor("Refused Allocate from 127.0.0.1:" + std::to_string(third.Socket.Port()) + ": 508 Insufficient Capacity\n"))
      << Process->Out();
  Stop();
}

TEST_F(Daemon, TermEndsItWithinASecondWithNoThreadLeftWhileAllocationsRun) {
  Run({"--no-auth"});
  std::vector<std::unique_ptr<TTestTurnClient>> clients;
  for (int i = 0; i < 5; ++i) {
    // Transaction IDs differ between the clients (the server takes a known one for a retransmission).
    clients.push_back(std::make_unique<TTestTurnClient>(std::function<void()>(), 100 * (i + 1)));
    TqynSTUN_Message m;
    ASSERT_TRUE(clients.back()->Allocate(Port, m));
    ASSERT_NE(TTestTurnClient::RelayedPort(m), 0);
  }
  // The main thread, the listening binding's listener, the relays' poller and the allocation timer.
  EXPECT_GE(Process->ThreadCount(), 4);
  const auto begin = std::chrono::steady_clock::now();
  Stop();
  // Generous: the stop itself takes well under a second; a hang would take the whole deadline.
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);
}

TEST(DaemonStart, BusyPortExitsNonZeroWithAClearMessage) {
  RawClient holder;
  ASSERT_TRUE(holder.Ok());
  TChildProcess p({kProgram, "--headless", "--port", std::to_string(holder.Port())}, kNoDisplay);
  EXPECT_EQ(p.WaitExit(), 1);
  EXPECT_NE(p.Err().find("relaykeeper: Can not listen on 127.0.0.1 port " + std::to_string(holder.Port()) + ": "), std::string::npos)
      << p.Err();
  EXPECT_NE(p.Err().find("Address already in use"), std::string::npos) << p.Err();
  EXPECT_EQ(p.Out().find("#start server"), std::string::npos);
  EXPECT_EQ(p.Out().rfind("#exception: Can not listen", 0), 0u) << p.Out();
}

TEST(DaemonStart, BadOptionValuesExitWithTwoAndNameTheOption) {
  struct TCase {
    std::vector<std::string> Args;
    const char* Names;
  };
  const TCase cases[] = {
      {{"--port", "http"}, "--port"},           {{"--port", "65536"}, "--port"},
      {{"--port", "-1"}, "--port"},             {{"--port"}, "--port"},
      {{"--min-port", "0"}, "--min-port"},      {{"--max-port", "49152"}, "--min-port"},
      {{"--min-port", "6000", "--max-port", "5000"}, "--max-port"},
      {{"--host", "localhost"}, "--host"},      {{"--relay-ip", "1.2.3"}, "--relay-ip"},
      {{"--user", ""}, "--user"},               {{"--verbose=yes"}, "--verbose"},
      {{"--bogus"}, "--bogus"},                 {{"stray"}, "stray"},
      {{"--auth-secret", ""}, "--auth-secret"}, {{"--auth-secret", "s", "--no-auth"}, "--auth-secret"},
      {{"--max-allocations", "-1"}, "--max-allocations"}, {{"--user-quota", "x"}, "--user-quota"},
      {{"--unauth-rate", "2.5"}, "--unauth-rate"},
      {{"--allow-peer", "10.0.0.1/8"}, "10.0.0.0/8"}, {{"--deny-peer", "192.168.1.0/33"}, "--deny-peer"},
      {{"--allow-peer", "lan"}, "--allow-peer"},
  };
  for (const TCase& c : cases) {
    std::vector<std::string> args = {kProgram, "--headless"};
    args.insert(args.end(), c.Args.begin(), c.Args.end());
    TChildProcess p(args, kNoDisplay);
    EXPECT_EQ(p.WaitExit(), 2) << c.Args[0];
    EXPECT_EQ(p.Err().rfind("relaykeeper: ", 0), 0u) << p.Err();
    EXPECT_NE(p.Err().find(c.Names), std::string::npos) << p.Err();
    EXPECT_EQ(p.Out(), "") << c.Args[0];
  }
}

TEST(DaemonStart, HelpDescribesEveryOption) {
  TChildProcess p({kProgram, "--help"}, kNoDisplay);
  EXPECT_EQ(p.WaitExit(), 0);
  for (const char* option : {"--headless", "--host ADDR", "--port N", "--user NAME", "--password PW", "--realm R", "--no-auth",
                             "--relay-ip ADDR", "--min-port N", "--max-port N", "--auth-secret SECRET",
                             "--max-allocations N", "--user-quota N", "--unauth-rate N", "--allow-peer CIDR",
                             "--deny-peer CIDR", "--allow-loopback-peers", "--verbose", "--help"})
    EXPECT_NE(p.Out().find(option), std::string::npos) << option;
}

TEST(DaemonStart, WithoutADisplayItSaysSoAndRunsHeadless) {
  TChildProcess p({kProgram, "--port", "0"}, kNoDisplay);
  ASSERT_TRUE(p.WaitFor("no display", true)) << p.Err();
  ASSERT_TRUE(p.WaitFor("#start server\n")) << p.Out();
  p.Signal(SIGTERM);
  EXPECT_EQ(p.WaitExit(), 0);
}

} // namespace
