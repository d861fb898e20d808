// qyn-test-labels: interop
// qyn-test-libs: qyn_turn_server qyn_stun_server
//
// coturn's turnutils_uclient relaying through the TURN server component hosted here on a loopback
// port, to coturn's turnutils_peer echo peer: with long-term credentials and with authentication
// off, over channels and over Send/Data indications (-s). Every allocation must succeed and every
// message come back.

#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <mutex>
#include <thread>

#include "qyn_test_udp.h"
#include "turn_server/turn_server_test_util.h"

extern char** environ;

namespace {

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

// Runs a command and returns what it printed (the server keeps running on its own threads).
std::string RunCommand(const std::string& aCommand) {
  std::string out;
  FILE* p = ::popen((aCommand + " 2>&1").c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  ::pclose(p);
  return out;
}

// The echo peer, started on a free loopback port and stopped by its process id.
class EchoPeer {
public:
  explicit EchoPeer(const std::string& aTool) {
    {
      RawClient probe;
      FPort = probe.Port();
    }
    const std::string port = std::to_string(FPort);
    const char* argv[] = {aTool.c_str(), "-L", "127.0.0.1", "-p", port.c_str(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (posix_spawn(&FPid, aTool.c_str(), &actions, nullptr, const_cast<char* const*>(argv), environ) != 0) FPid = -1;
    posix_spawn_file_actions_destroy(&actions);
    // Bound once a datagram to its port is echoed.
    RawClient check;
    for (int i = 0; i < 100 && FPid > 0; ++i) {
      check.Send(FPort, Bytes("probe"));
      if (!check.Receive(50).empty()) {
        FReady = true;
        break;
      }
    }
  }
  ~EchoPeer() {
    if (FPid > 0) {
      ::kill(FPid, SIGTERM);
      int status = 0;
      ::waitpid(FPid, &status, 0);
    }
  }
  bool Ready() const { return FReady; }
  uint16_t Port() const { return FPort; }

private:
  pid_t FPid = -1;
  uint16_t FPort = 0;
  bool FReady = false;
};

long Total(const std::string& aOutput, const std::string& aName) {
  const std::regex re(aName + "=([0-9]+)");
  long last = -1;
  for (auto it = std::sregex_iterator(aOutput.begin(), aOutput.end(), re); it != std::sregex_iterator(); ++it) last = std::stol((*it)[1]);
  return last;
}

struct UclientCase {
  const char* Name;
  bool Credentials;
  bool Indications;
};

class TurnInterop : public ::testing::TestWithParam<UclientCase> {};

TEST_P(TurnInterop, UclientThroughOurRelayToTheEchoPeer) {
  const std::string uclient = FindTool("turnutils_uclient");
  const std::string peerTool = FindTool("turnutils_peer");
  if (uclient.empty() || peerTool.empty()) GTEST_SKIP() << "coturn's turnutils_uclient / turnutils_peer are not installed";
  const UclientCase& c = GetParam();

  TqynTURNServer server;
  std::atomic<int> allocations{0};
  std::atomic<int> exceptions{0};
  std::string lastException;
  std::mutex exceptionLock;
  server.TURNOptions().Authentication.Enabled = c.Credentials;
  server.OnSTUNRequestAuthorization = [](TqynComponent_Base*, TqynSTUN_Message*, const std::string& aUser, const std::string&,
                                         std::string& Password) {
    if (aUser == kTurnUser) Password = kTurnPassword;
  };
  server.OnTURNCreateAllocation = [&](TqynComponent_Base*, TqynSocketConnection*, TqynTURNAllocationItem*) { ++allocations; };
  server.OnSTUNException = [&](TqynComponent_Base*, const Exception& E) {
    ++exceptions;
    std::lock_guard<std::mutex> lock(exceptionLock);
    lastException = E.Message();
  };
  server.SetHost("127.0.0.1");
  server.SetPort(0);
  server.SetActive(true);
  ASSERT_TRUE(server.Active());
  const TIdPort port = server.Bindings().Items(0)->Port();

  EchoPeer peer(peerTool);
  ASSERT_TRUE(peer.Ready());

  const int clients = 3;
  const int messages = 20;
  std::string command = "timeout 90 " + uclient + " -e 127.0.0.1 -r " + std::to_string(peer.Port()) + " -p " +
                        std::to_string(port) + " -c -m " + std::to_string(clients) + " -n " + std::to_string(messages) +
                        " -l 120 -z 5";
  if (c.Credentials) command += " -u " + kTurnUser + " -w " + kTurnPassword;
  if (c.Indications) command += " -s";
  command += " 127.0.0.1";
  const std::string output = RunCommand(command);

  const long sent = Total(output, "tot_send_msgs");
  const long received = Total(output, "tot_recv_msgs");
  EXPECT_EQ(sent, clients * messages) << output;
  EXPECT_EQ(received, sent) << output;
  EXPECT_GE(allocations.load(), clients);
  EXPECT_EQ(output.find("error"), std::string::npos) << output;
  EXPECT_EQ(exceptions.load(), 0) << lastException;
}

INSTANTIATE_TEST_SUITE_P(Modes, TurnInterop,
                         ::testing::Values(UclientCase{"CredentialsChannels", true, false},
                                           UclientCase{"CredentialsIndications", true, true},
                                           UclientCase{"AnonymousChannels", false, false},
                                           UclientCase{"AnonymousIndications", false, true}),
                         [](const ::testing::TestParamInfo<UclientCase>& info) { return std::string(info.param.Name); });

} // namespace
