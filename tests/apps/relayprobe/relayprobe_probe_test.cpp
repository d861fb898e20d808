// qyn-test-labels: net
// qyn-test-programs: relayprobe relaykeeper
//
// The relayprobe program against relaykeeper running headless in its own process on a loopback
// port: every command prints its log line and the exit status says whether all succeeded; data
// goes through the relay to a peer socket of the test (on loopback) and back; refused commands,
// a silent server and a wrong password each end with status 1 and their line; `check` passes and
// names what fails, with a password as with time-limited credentials from a shared secret; bad
// usage exits 2.

#include <gtest/gtest.h>

#include <signal.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "qyn_test_process.h"
#include "qyn_test_udp.h"

namespace {

const std::string kProbe = QYN_PROGRAM_relayprobe;
const std::string kKeeper = QYN_PROGRAM_relaykeeper;
const std::vector<std::string> kNoDisplay = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};

struct TRun {
  int Status = -1;
  std::string Out, Err;
};

TRun RunProbe(std::vector<std::string> aArgs) {
  aArgs.insert(aArgs.begin(), kProbe);
  TChildProcess probe(aArgs, kNoDisplay);
  TRun run;
  run.Status = probe.WaitExit(std::chrono::seconds(120));
  run.Out = probe.Out();
  run.Err = probe.Err();
  return run;
}

// The port number after aPrefix ("#Allocate: 127.0.0.1:") in aText, 0 without one.
uint16_t PortAfter(const std::string& aText, const std::string& aPrefix) {
  const size_t at = aText.find(aPrefix);
  return at == std::string::npos ? 0 : static_cast<uint16_t>(std::atoi(aText.c_str() + at + aPrefix.size()));
}

// True when a line of aText starts with aPrefix.
bool HasLineStarting(const std::string& aText, const std::string& aPrefix) {
  return aText.rfind(aPrefix, 0) == 0 || aText.find("\n" + aPrefix) != std::string::npos;
}

// A loopback UDP port with nothing listening on it (bound a moment ago, then closed).
uint16_t SilentPort() {
  RawClient s;
  return s.Port();
}

struct RelayProbe : ::testing::Test {
  std::unique_ptr<TChildProcess> Keeper;
  std::string Port;

  void SetUp() override { StartKeeper({}); }
  // relaykeeper on a loopback port of its choice, with aOptions after the common ones.
  void StartKeeper(const std::vector<std::string>& aOptions) {
    std::vector<std::string> args = {kKeeper, "--headless", "--port", "0", "--verbose"};
    args.insert(args.end(), aOptions.begin(), aOptions.end());
    Keeper = std::make_unique<TChildProcess>(args, kNoDisplay);
    ASSERT_TRUE(Keeper->WaitFor(" (UDP)\n", true)) << Keeper->Err();
    Port = std::to_string(PortAfter(Keeper->Err(), " port "));
    ASSERT_NE(Port, "0");
    ASSERT_TRUE(Keeper->WaitFor("#start server\n"));
  }
  void TearDown() override {
    Keeper->Signal(SIGTERM);
    EXPECT_EQ(Keeper->WaitExit(), 0) << Keeper->Err();
  }
  TRun Probe(std::vector<std::string> aArgs) {
    aArgs.insert(aArgs.begin(), {"--port", Port});
    return RunProbe(aArgs);
  }
  // A check whose first allocation was refused for its credentials (aWho: whose) and that went
  // no further.
  void ExpectWrongCredentials(const TRun& aRun, const std::string& aWho) {
    EXPECT_EQ(aRun.Status, 1) << aRun.Out << aRun.Err;
    EXPECT_NE(aRun.Out.find("allocate A: FAILED after "), std::string::npos) << aRun.Out;
    EXPECT_NE(aRun.Out.find("verdict: FAIL - wrong user name or password: 127.0.0.1:" + Port + " refused the credentials of " + aWho),
              std::string::npos)
        << aRun.Out;
    EXPECT_EQ(aRun.Out.find("allocate B"), std::string::npos) << aRun.Out;
  }
  // A probe that runs while the test plays the peer.
  std::unique_ptr<TChildProcess> StartProbe(std::vector<std::string> aArgs) {
    aArgs.insert(aArgs.begin(), {kProbe, "--port", Port});
    return std::make_unique<TChildProcess>(aArgs, kNoDisplay);
  }
};

TEST_F(RelayProbe, BindingAllocateRefreshAndPermissionPrintTheirLines) {
  const TRun run = Probe({"binding", "allocate", "refresh", "1200", "permission", "127.0.0.1,127.0.0.2", "refresh", "0"});
  EXPECT_EQ(run.Status, 0) << run.Out << run.Err;
  EXPECT_EQ(run.Out.rfind("#binding: 127.0.0.1:", 0), 0u) << run.Out;
  EXPECT_NE(run.Out.find("\n#response_origin: 127.0.0.1:" + Port + "\n"), std::string::npos) << run.Out;
  EXPECT_NE(run.Out.find("\n#software: Qynwire 4.5.2\n"), std::string::npos) << run.Out;
  const size_t allocate = run.Out.find("\n#Allocate: 127.0.0.1:");
  const size_t refresh = run.Out.find("\n#Refresh: 1200\n");
  const size_t permission = run.Out.find("\n#Create Permission: 127.0.0.1\n127.0.0.2\n");
  const size_t end = run.Out.find("\n#Refresh: 0\n");
  EXPECT_TRUE(allocate < refresh && refresh < permission && permission < end) << run.Out;
  EXPECT_EQ(run.Out.find("#error"), std::string::npos) << run.Out;
  EXPECT_EQ(run.Out.find("#exception"), std::string::npos) << run.Out;
  EXPECT_TRUE(Keeper->WaitFor("Deleted Allocation: 127.0.0.1:")) << Keeper->Out();
}

TEST_F(RelayProbe, SendIndicationReachesThePeerAndItsAnswerComesBackWhileWaiting) {
  RawClient peer;
  const std::string peerPort = std::to_string(peer.Port());
  auto probe = StartProbe({"allocate", "permission", "127.0.0.1", "send", "127.0.0.1", peerPort, "hello peer", "wait", "5"});
  ASSERT_TRUE(probe->WaitFor("#Create Permission: 127.0.0.1\n")) << probe->Out() << probe->Err();
  const uint16_t relayed = PortAfter(probe->Out(), "#Allocate: 127.0.0.1:");
  uint16_t from = 0;
  const TqynBytes got = peer.Receive(10000, &from);
  EXPECT_EQ(std::string(got.begin(), got.end()), "hello peer");
  EXPECT_EQ(from, relayed);
  const std::string answer = "answer\nwith a line break";
  peer.Send(relayed, TqynBytes(answer.begin(), answer.end()));
  EXPECT_TRUE(probe->WaitFor("#Data Indication: [127.0.0.1:" + peerPort + "] answer\xEF\xBF\xBDwith a line break\n"))
      << probe->Out();
  EXPECT_EQ(probe->WaitExit(std::chrono::seconds(60)), 0) << probe->Out() << probe->Err();
}

TEST_F(RelayProbe, ChannelDataReachesThePeerAndItsAnswerComesBackOnTheChannel) {
  RawClient peer;
  const std::string peerPort = std::to_string(peer.Port());
  auto probe = StartProbe({"allocate", "channel", "127.0.0.1", peerPort, "channel-data", "16384", "over the channel",
                           "wait", "5"});
  ASSERT_TRUE(probe->WaitFor("#Channel Bind: 16384\n")) << probe->Out() << probe->Err();
  const uint16_t relayed = PortAfter(probe->Out(), "#Allocate: 127.0.0.1:");
  uint16_t from = 0;
  const TqynBytes got = peer.Receive(10000, &from);
  EXPECT_EQ(std::string(got.begin(), got.end()), "over the channel");
  EXPECT_EQ(from, relayed);
  peer.Send(relayed, TqynBytes{'b', 'a', 'c', 'k'});
  EXPECT_TRUE(probe->WaitFor("#Channel Data: [16384] back\n")) << probe->Out();
  EXPECT_EQ(probe->WaitExit(std::chrono::seconds(60)), 0) << probe->Out() << probe->Err();
}

TEST_F(RelayProbe, ARefusedCommandPrintsItsLineEndsTheRunAndExitsWithOne) {
  struct Case {
    std::vector<std::string> Args;
    std::string Line;
  };
  const std::vector<Case> cases = {
      {{"allocate", "send", "127.0.0.1", "9000", "x", "binding"},
       "#exception: There is not Valid permission for IP Address: 127.0.0.1\n"},
      {{"allocate", "channel-data", "0", "x", "binding"}, "#exception: Channel ID: 0 not exists.\n"},
      {{"--no-credentials", "allocate", "binding"}, "#error: 401 Unauthorized\n"},
      // The first Refresh is challenged (the component resends none); the signed one finds no allocation.
      {{"refresh", "600", "binding"}, "#error: 437 Allocation Mismatch\n"},
      {{"allocate", "allocate", "binding"}, "#error: 437 Allocation Mismatch\n"},
  };
  for (const Case& c : cases) {
    const TRun run = Probe(c.Args);
    EXPECT_EQ(run.Status, 1) << run.Out << run.Err;
    EXPECT_NE(run.Out.find(c.Line), std::string::npos) << run.Out;
    EXPECT_EQ(run.Out.find("#binding"), std::string::npos) << "the run goes on after a failure: " << run.Out;
  }
}

TEST_F(RelayProbe, CheckPassesAndPrintsEveryStep) {
  const TRun run = Probe({"check"});
  EXPECT_EQ(run.Status, 0) << run.Out << run.Err;
  for (const char* step : {"allocate A: ok in ", "allocate B: ok in ", "permission A for B: ok in ",
                           "permission B for A: ok in ", "send A to B: ok in ", "send B to A: ok in ",
                           "channel A to B: ok in ", "channel B to A: ok in ", "channel-data A to B: ok in ",
                           "channel-data B to A: ok in ", "refresh 0 A: ok in ", "refresh 0 B: ok in "})
    EXPECT_TRUE(HasLineStarting(run.Out, step)) << step << "\n" << run.Out;
  EXPECT_NE(run.Out.find(" ms: #Data Indication: [127.0.0.1:"), std::string::npos) << run.Out;
  EXPECT_NE(run.Out.find(" ms: #Channel Data: [16384] relayprobe check "), std::string::npos) << run.Out;
  const std::string verdict = "verdict: PASS - 127.0.0.1:" + Port + " relays data both ways";
  EXPECT_NE(run.Out.find(verdict), std::string::npos) << run.Out;
  EXPECT_EQ(run.Out.substr(run.Out.rfind('\n', run.Out.size() - 2) + 1).rfind("verdict: ", 0), 0u) << "verdict last";
  EXPECT_TRUE(Keeper->WaitForCount("Deleted Allocation: ", 2)) << Keeper->Out();
}

TEST_F(RelayProbe, CheckNamesAWrongPasswordAndAServerThatDoesNotAnswer) {
  ExpectWrongCredentials(Probe({"--password", "wrong", "--timeout", "3", "check"}), "user qyn_user");

  const std::string silent = std::to_string(SilentPort());
  const TRun none = RunProbe({"--port", silent, "--timeout", "2", "check"});
  EXPECT_EQ(none.Status, 1) << none.Out;
  EXPECT_NE(none.Out.find("verdict: FAIL - no answer from 127.0.0.1:" + silent), std::string::npos) << none.Out;
}

// relaykeeper sharing a secret with its clients for time-limited credentials.
struct RelayProbeSecret : RelayProbe {
  static constexpr const char* kSecret = "north-wind-7";
  void SetUp() override { StartKeeper({"--auth-secret", kSecret}); }
};

TEST_F(RelayProbeSecret, CheckPassesWithTheSharedSecretAndNamesAWrongOne) {
  const TRun run = Probe({"--auth-secret", kSecret, "check"});
  EXPECT_EQ(run.Status, 0) << run.Out << run.Err;
  EXPECT_NE(run.Out.find("verdict: PASS - 127.0.0.1:" + Port + " relays data both ways"), std::string::npos) << run.Out;
  EXPECT_TRUE(Keeper->WaitForCount("Deleted Allocation: ", 2)) << Keeper->Out();

  ExpectWrongCredentials(Probe({"--auth-secret", "south-wind-7", "--timeout", "3", "check"}), "the secret's user qyn_user");
}

TEST(RelayProbeProgram, NoAnswerWithinTheTimeoutPrintsTheCommandsName) {
  const std::string silent = std::to_string(SilentPort());
  const TRun run = RunProbe({"--port", silent, "--timeout", "1", "binding", "allocate"});
  EXPECT_EQ(run.Status, 1);
  EXPECT_EQ(run.Out, "#timeout: binding\n");
  const TRun once = RunProbe({"--port", silent, "--timeout", "0.5", "--no-retransmissions", "allocate"});
  EXPECT_EQ(once.Status, 1);
  EXPECT_EQ(once.Out, "#timeout: allocate\n");
}

TEST(RelayProbeProgram, BadUsageExitsWithTwo) {
  const std::vector<std::vector<std::string>> cases = {
      {"--bogus", "binding"}, {"bogus"}, {"send", "127.0.0.1"}, {"--port", "x", "binding"}, {"check", "binding"},
      {},                     // no command and no display: how to use the probe
      {"--port", "3479"},     // options without a command
  };
  for (const std::vector<std::string>& args : cases) {
    const TRun run = RunProbe(args);
    EXPECT_EQ(run.Status, 2) << ::testing::PrintToString(args) << run.Err;
    EXPECT_EQ(run.Out, "");
    EXPECT_EQ(run.Err.rfind("relayprobe: ", 0), 0u) << run.Err;
  }
  const TRun none = RunProbe({});
  EXPECT_NE(none.Err.find("Usage: relayprobe"), std::string::npos) << none.Err;
  const TRun help = RunProbe({"--help"});
  EXPECT_EQ(help.Status, 0);
  EXPECT_EQ(help.Out.rfind("Usage: relayprobe", 0), 0u);
  for (const char* text : {"--auth-secret SECRET", "channel-data NUMBER TEXT", "check", "#timeout: "})
    EXPECT_NE(help.Out.find(text), std::string::npos) << text;
}

} // namespace
