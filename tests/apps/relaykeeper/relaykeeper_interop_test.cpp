// qyn-test-labels: interop
// qyn-test-libs: qyn_turn_server qyn_stun_server
// qyn-test-programs: relaykeeper
//
// coturn's clients against the relaykeeper program running headless in its own process on a
// loopback port: turnutils_stunclient gets its reflexive address, turnutils_uclient relays
// through it to turnutils_peer without loss (channels and Send indications), and SIGTERM ends
// the daemon cleanly afterwards.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "qyn_test_process.h"
#include "qyn_test_udp.h"

namespace {

const std::string kProgram = QYN_PROGRAM_relaykeeper;

std::string FindTool(const std::string& aName) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const std::string full = dir + "/" + aName;
    struct stat st {};
    if (::stat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(full.c_str(), X_OK) == 0) return full;
  }
  return {};
}

// The number after aKey ("tot_send_msgs=" ...) in aText, -1 without one.
long NumberAfter(const std::string& aText, const std::string& aKey) {
  const size_t at = aText.rfind(aKey);
  if (at == std::string::npos) return -1;
  return std::strtol(aText.c_str() + at + aKey.size(), nullptr, 10);
}

struct DaemonInterop : ::testing::Test {
  std::unique_ptr<TChildProcess> Daemon;
  int Port = 0;

  void SetUp() override {
    Daemon = std::make_unique<TChildProcess>(std::vector<std::string>{kProgram, "--headless", "--port", "0"},
                                             std::vector<std::string>{"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"});
    ASSERT_TRUE(Daemon->WaitFor(" (UDP)\n", true)) << Daemon->Err();
    const size_t at = Daemon->Err().find(" port ");
    ASSERT_NE(at, std::string::npos);
    Port = std::atoi(Daemon->Err().c_str() + at + 6);
    ASSERT_GT(Port, 0);
    ASSERT_TRUE(Daemon->WaitFor("#start server\n"));
  }
  void TearDown() override {
    Daemon->Signal(SIGTERM);
    EXPECT_EQ(Daemon->WaitExit(), 0) << Daemon->Err();
    EXPECT_NE(Daemon->Out().find("#stop server\n"), std::string::npos);
    EXPECT_EQ(Daemon->Out().find("#exception"), std::string::npos) << Daemon->Out();
  }

  // uclient with aExtra flags and aClients clients through the daemon to an echo peer; every
  // message comes back.
  void RelayWithoutLoss(const std::vector<std::string>& aExtra, int aClients) {
    const std::string uclient = FindTool("turnutils_uclient"), peer = FindTool("turnutils_peer");
    if (uclient.empty() || peer.empty()) GTEST_SKIP() << "turnutils_uclient/turnutils_peer (package coturn) are not installed";
    int peerPort = 0;
    {
      RawClient probe;
      peerPort = probe.Port();
    }
    TChildProcess echo({peer, "-L", "127.0.0.1", "-p", std::to_string(peerPort)});
    ASSERT_TRUE(echo.Started());
    // The echo peer is ready once its port is taken.
    ASSERT_TRUE(WaitUntil([&] { return !RawClient(AF_INET, static_cast<uint16_t>(peerPort)).Ok(); }));
    std::vector<std::string> args = {"/usr/bin/timeout", "120", uclient, "-u", "qyn_user", "-w", "kiwi_tea", "-e", "127.0.0.1",
                                     "-r", std::to_string(peerPort), "-p", std::to_string(Port), "-c", "-m",
                                     std::to_string(aClients), "-n", "100", "-l", "120", "-z", "5"};
    args.insert(args.end(), aExtra.begin(), aExtra.end());
    args.push_back("127.0.0.1");
    TChildProcess client(args);
    const int status = client.WaitExit(std::chrono::seconds(150));
    const std::string out = client.Out() + client.Err();
    ASSERT_EQ(status, 0) << out;
    const long sent = NumberAfter(out, "tot_send_msgs=");
    const long received = NumberAfter(out, "tot_recv_msgs=");
    EXPECT_EQ(sent, 100L * aClients) << out;
    EXPECT_EQ(received, sent) << out;
    EXPECT_TRUE(Daemon->WaitFor("New Allocation: 127.0.0.1:"));
  }

  template <typename F> static bool WaitUntil(F aCondition) {
    for (int i = 0; i < 1000; ++i) {
      if (aCondition()) return true;
      usleep(10000);
    }
    return false;
  }
};

TEST_F(DaemonInterop, CoturnStunClientGetsItsReflexiveAddress) {
  const std::string tool = FindTool("turnutils_stunclient");
  if (tool.empty()) GTEST_SKIP() << "turnutils_stunclient (package coturn) is not installed";
  TChildProcess client({"/usr/bin/timeout", "20", tool, "-p", std::to_string(Port), "127.0.0.1"});
  EXPECT_EQ(client.WaitExit(std::chrono::seconds(30)), 0);
  EXPECT_NE((client.Out() + client.Err()).find("UDP reflexive addr: 127.0.0.1:"), std::string::npos) << client.Out();
}

TEST_F(DaemonInterop, CoturnClientRelaysOverChannelsWithoutLoss) { RelayWithoutLoss({}, 2); }

TEST_F(DaemonInterop, CoturnClientRelaysOverSendIndicationsWithoutLoss) { RelayWithoutLoss({"-s"}, 2); }

} // namespace
