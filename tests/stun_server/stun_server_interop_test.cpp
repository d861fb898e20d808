// qyn-test-labels: interop
// qyn-test-libs: qyn_stun_server
//
// Third-party STUN clients against the server component running in this process on an ephemeral
// loopback port: coturn's turnutils_stunclient (RFC 5389) and the RFC 3489-era `stun` client.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "qynUDP_Server.h"
#include "stun_server/stun_server_test_util.h"

namespace {

// Full path of a program found on PATH, or empty.
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

// The address and port printed after aLabel ("IP:PORT"); false when the text has none.
bool AddressAfter(const std::string& aText, const std::string& aLabel, std::string& VIP, int& VPort) {
  const size_t at = aText.find(aLabel);
  if (at == std::string::npos) return false;
  size_t i = at + aLabel.size();
  const size_t start = i;
  while (i < aText.size() && (std::isdigit(static_cast<unsigned char>(aText[i])) || aText[i] == '.')) ++i;
  if (i == start || i >= aText.size() || aText[i] != ':') return false;
  VIP = aText.substr(start, i - start);
  const size_t digits = ++i;
  while (i < aText.size() && std::isdigit(static_cast<unsigned char>(aText[i]))) ++i;
  if (i == digits || i - digits > 6) return false;
  VPort = std::stoi(aText.substr(digits, i - digits));
  return true;
}

// Runs a shell command and returns what it printed (stdout and stderr).
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

struct InteropFixture : ::testing::Test {
  TqynSTUNServer_Base Server;
  std::atomic<int> Requests{0};
  std::atomic<int> Exceptions{0};
  TIdPort Port = 0;

  void Start() {
    Server.OnSTUNRequestSuccess = [this](TqynComponent_Base*, TqynSocketConnection*, TqynSTUN_Message*, TqynSTUN_Message*, bool&) {
      ++Requests;
    };
    Server.OnSTUNException = [this](TqynComponent_Base*, const Exception&) { ++Exceptions; };
    Server.SetHost("127.0.0.1");
    Server.SetPort(0);
    Server.SetActive(true);
    ASSERT_TRUE(Server.Active());
    Port = Server.Bindings().Items(0)->Port();
    ASSERT_NE(Port, 0);
  }
};

TEST_F(InteropFixture, CoturnStunClientGetsItsReflexiveAddress) {
  const std::string tool = FindTool("turnutils_stunclient");
  if (tool.empty()) GTEST_SKIP() << "turnutils_stunclient (package coturn) is not installed";
  Start();
  const std::string out = RunCommand("timeout 10 " + tool + " -p " + std::to_string(Port) + " 127.0.0.1");
  std::string ip;
  int port = 0;
  ASSERT_TRUE(AddressAfter(out, "UDP reflexive addr: ", ip, port)) << out;
  EXPECT_EQ(ip, "127.0.0.1");
  EXPECT_GT(port, 0);
  EXPECT_LT(port, 65536);
  EXPECT_NE(port, Port);
  EXPECT_GE(Requests.load(), 1);
  EXPECT_EQ(Exceptions.load(), 0);
}

TEST_F(InteropFixture, CoturnStunClientWithFingerprintOption) {
  const std::string tool = FindTool("turnutils_stunclient");
  if (tool.empty()) GTEST_SKIP() << "turnutils_stunclient (package coturn) is not installed";
  Server.STUNOptions().Fingerprint = true;
  Start();
  const std::string out = RunCommand("timeout 10 " + tool + " -p " + std::to_string(Port) + " 127.0.0.1");
  EXPECT_NE(out.find("UDP reflexive addr: 127.0.0.1:"), std::string::npos) << out;
  EXPECT_EQ(Exceptions.load(), 0);
}

// coturn's client has no credential options: against long-term credentials it can only show that
// it read the challenge.
TEST_F(InteropFixture, CoturnStunClientReadsTheLongTermChallenge) {
  const std::string tool = FindTool("turnutils_stunclient");
  if (tool.empty()) GTEST_SKIP() << "turnutils_stunclient (package coturn) is not installed";
  Server.STUNOptions().Authentication.Enabled = true;
  Server.STUNOptions().Authentication.LongTermCredentials.Enabled = true;
  Start();
  const std::string out = RunCommand("timeout 10 " + tool + " -p " + std::to_string(Port) + " 127.0.0.1");
  EXPECT_NE(out.find("error 401 (Unauthorized)"), std::string::npos) << out;
  EXPECT_EQ(Requests.load(), 0);
  EXPECT_EQ(Server.GetNonces()->Count(), 1);
}

TEST_F(InteropFixture, RFC3489StunClientGetsItsMappedAddress) {
  const std::string tool = FindTool("stun");
  if (tool.empty()) GTEST_SKIP() << "stun (package stun-client) is not installed";
  Start();
  const std::string out = RunCommand("timeout 20 " + tool + " 127.0.0.1:" + std::to_string(Port) + " 1 -v");
  std::string ip;
  int port = 0;
  ASSERT_TRUE(AddressAfter(out, "MappedAddress = ", ip, port)) << out;
  EXPECT_EQ(ip, "127.0.0.1");
  EXPECT_GT(port, 0);
  EXPECT_LT(port, 65536);
  // The client reports the port it opened; the mapped port must be that one on loopback.
  const size_t opened = out.find("Opened port ");
  if (opened != std::string::npos) {
    EXPECT_EQ(port, std::atoi(out.c_str() + opened + 12));
  }
  EXPECT_GE(Requests.load(), 1);
  EXPECT_EQ(Exceptions.load(), 0);
}

} // namespace
