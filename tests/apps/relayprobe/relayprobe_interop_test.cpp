// qyn-test-labels: interop
// qyn-test-libs: qyn_protocol
// qyn-test-programs: relayprobe
//
// relayprobe against coturn's turnserver on a loopback port (loopback peers allowed): `check`
// passes over UDP and over TCP, names a wrong password, and passes with time-limited credentials
// from --auth-secret against a turnserver that uses the same secret (and names a wrong secret).

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qyn_test_coturn.h"
#include "qyn_test_process.h"

namespace {

using qyn_test_coturn::TTurnServer;

const std::string kProbe = QYN_PROGRAM_relayprobe;

struct TRun {
  int Status = -1;
  std::string Out;
};

TRun Probe(const TTurnServer& aServer, std::vector<std::string> aArgs) {
  aArgs.insert(aArgs.begin(), {kProbe, "--port", std::to_string(aServer.Port())});
  TChildProcess probe(aArgs, {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"});
  TRun run;
  run.Status = probe.WaitExit(std::chrono::seconds(120));
  run.Out = probe.Out();
  return run;
}

std::string Verdict(const TRun& aRun) {
  const size_t at = aRun.Out.rfind("verdict: ");
  return at == std::string::npos ? std::string() : aRun.Out.substr(at);
}

#define REQUIRE_COTURN(server)                                                                     \
  if (!TTurnServer::Installed()) GTEST_SKIP() << "turnserver (package coturn) is not installed"; \
  ASSERT_TRUE(server.Ready()) << "turnserver did not start"

TEST(RelayProbeInterop, CheckPassesAgainstCoturnOverUDPAndTCPAndNamesAWrongPassword) {
  TTurnServer server(false, true, {"--allow-loopback-peers"});
  REQUIRE_COTURN(server);
  const std::string pass = "verdict: PASS - 127.0.0.1:" + std::to_string(server.Port()) + " relays data both ways";
  const TRun udp = Probe(server, {"check"});
  EXPECT_EQ(udp.Status, 0) << udp.Out;
  EXPECT_EQ(Verdict(udp).rfind(pass, 0), 0u) << udp.Out;
  const TRun tcp = Probe(server, {"--tcp", "check"});
  EXPECT_EQ(tcp.Status, 0) << tcp.Out;
  EXPECT_EQ(Verdict(tcp).rfind(pass, 0), 0u) << tcp.Out;

  const TRun wrong = Probe(server, {"--password", "wrong", "check"});
  EXPECT_EQ(wrong.Status, 1) << wrong.Out;
  EXPECT_NE(wrong.Out.find("allocate A: FAILED after "), std::string::npos) << wrong.Out;
  EXPECT_EQ(Verdict(wrong).rfind("verdict: FAIL - wrong user name or password: ", 0), 0u) << wrong.Out;
  EXPECT_NE(Verdict(wrong).find("#error: 401 Unauthorized"), std::string::npos) << wrong.Out;

  const TRun commands = Probe(server, {"binding", "allocate", "permission", "127.0.0.1", "refresh", "0"});
  EXPECT_EQ(commands.Status, 0) << commands.Out;
  EXPECT_NE(commands.Out.find("#software: Coturn"), std::string::npos) << commands.Out;
  EXPECT_NE(commands.Out.find("\n#Refresh: 0\n"), std::string::npos) << commands.Out;
}

TEST(RelayProbeInterop, AuthSecretGivesCredentialsThatCoturnAccepts) {
  TTurnServer server(false, false, {"--allow-loopback-peers", "--use-auth-secret", "--static-auth-secret", "s3cret"});
  REQUIRE_COTURN(server);
  const TRun good = Probe(server, {"--user", "alice", "--auth-secret", "s3cret", "check"});
  EXPECT_EQ(good.Status, 0) << good.Out;
  EXPECT_EQ(Verdict(good).rfind("verdict: PASS - ", 0), 0u) << good.Out;
  const TRun bad = Probe(server, {"--user", "alice", "--auth-secret", "other", "check"});
  EXPECT_EQ(bad.Status, 1) << bad.Out;
  EXPECT_EQ(Verdict(bad).rfind("verdict: FAIL - wrong user name or password: ", 0), 0u) << bad.Out;
  // The static password is not what a secret-only server takes.
  const TRun plain = Probe(server, {"allocate"});
  EXPECT_EQ(plain.Status, 1) << plain.Out;
  EXPECT_EQ(plain.Out, "#error: 401 Unauthorized\n");
}

} // namespace
