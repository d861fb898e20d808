// qyn-test-labels: unit
// qyn-test-libs: qyn_relayprobe qyn_turn_client qyn_stun_client
//
// relayprobe's command line: the defaults are the window's, options take both spellings, each
// command reads its arguments and refuses bad ones, --help lists both tables whole; the REST
// credentials of --auth-secret; the settings a probe's component gets; how a failed Allocate
// of `check` is judged.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "apps/apps_test_command_line.h"
#include "qynRelayProbe_Check.h"
#include "qynRelayProbe_Options.h"
#include "qynRelayProbe_RestCredentials.h"
#include "qynRelayProbe_Settings.h"

namespace {

TqynRelayProbeOptions Parse(std::vector<std::string> aArgs) {
  return ParseCommandLine(ParseRelayProbeOptions, "relayprobe", std::move(aArgs));
}

TEST(RelayProbeOptions, DefaultsAreTheWindowsAndOptionsTakeBothSpellings) {
  const TqynRelayProbeOptions d = Parse({});
  EXPECT_FALSE(d.Help);
  EXPECT_FALSE(d.OptionGiven);
  EXPECT_EQ(d.Host, "127.0.0.1");
  EXPECT_EQ(d.Port, 3478);
  EXPECT_EQ(d.User, "qyn_user");
  EXPECT_EQ(d.Password, "kiwi_tea");
  EXPECT_TRUE(d.Credentials);
  EXPECT_EQ(d.AuthSecret, "");
  EXPECT_EQ(d.RTO, 500);
  EXPECT_EQ(d.MaxRetries, 7);
  EXPECT_TRUE(d.Retransmissions);
  EXPECT_FALSE(d.TCP);
  EXPECT_EQ(d.TimeoutMs, 10000u);
  EXPECT_TRUE(d.Commands.empty());

  const TqynRelayProbeOptions o =
      Parse({"--host=::1", "--port", "3479", "--user=a=b", "--password", "p w", "--no-credentials", "--rto", "100",
             "--max-retries=3", "--no-retransmissions", "--tcp", "--timeout", "0.5", "binding"});
  EXPECT_TRUE(o.OptionGiven);
  EXPECT_EQ(o.Host, "::1");
  EXPECT_EQ(o.Port, 3479);
  EXPECT_EQ(o.User, "a=b");
  EXPECT_EQ(o.Password, "p w");
  EXPECT_FALSE(o.Credentials);
  EXPECT_EQ(o.RTO, 100);
  EXPECT_EQ(o.MaxRetries, 3);
  EXPECT_FALSE(o.Retransmissions);
  EXPECT_TRUE(o.TCP);
  EXPECT_EQ(o.TimeoutMs, 500u);
  EXPECT_EQ(Parse({"--auth-secret", "s"}).AuthSecret, "s");
}

TEST(RelayProbeOptions, CommandsReadTheirArgumentsInOrder) {
  const TqynRelayProbeOptions o =
      Parse({"binding", "allocate", "refresh", "4294967295", "permission", "127.0.0.1,::1", "send", "127.0.0.1", "9000",
             "--not-an-option", "channel", "::1", "1", "channel-data", "16384", "", "wait", "2.5", "refresh", "0"});
  ASSERT_EQ(o.Commands.size(), 9u);
  EXPECT_EQ(o.Commands[0].Kind, rpcBinding);
  EXPECT_EQ(o.Commands[1].Kind, rpcAllocate);
  EXPECT_EQ(o.Commands[2].Kind, rpcRefresh);
  EXPECT_EQ(o.Commands[2].Number, 4294967295u);
  EXPECT_EQ(o.Commands[3].Kind, rpcPermission);
  EXPECT_EQ(o.Commands[3].Address, "127.0.0.1,::1");
  EXPECT_EQ(o.Commands[4].Kind, rpcSend);
  EXPECT_EQ(o.Commands[4].Address, "127.0.0.1");
  EXPECT_EQ(o.Commands[4].Port, 9000);
  EXPECT_EQ(o.Commands[4].Text, "--not-an-option"); // a command's text is never an option
  EXPECT_EQ(o.Commands[5].Kind, rpcChannel);
  EXPECT_EQ(o.Commands[5].Address, "::1");
  EXPECT_EQ(o.Commands[5].Port, 1);
  EXPECT_EQ(o.Commands[6].Kind, rpcChannelData);
  EXPECT_EQ(o.Commands[6].Number, 16384u);
  EXPECT_EQ(o.Commands[6].Text, "");
  EXPECT_EQ(o.Commands[7].Kind, rpcWait);
  EXPECT_EQ(o.Commands[7].Milliseconds, 2500u);
  EXPECT_EQ(o.Commands[8].Name, "refresh");
  EXPECT_EQ(o.Commands[8].Number, 0u);
  EXPECT_EQ(Parse({"check"}).Commands.at(0).Kind, rpcCheck);
  EXPECT_EQ(Parse({"channel-data", "0", "x"}).Commands.at(0).Number, 0u); // refused by the component, not here
}

TEST(RelayProbeOptions, BadCommandLinesAreRefusedNamingTheirPart) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--port", "0", "binding"}, "--port"},
      {{"--port", "65536", "binding"}, "--port"},
      {{"--port", "+1", "binding"}, "--port"},
      {{"--port"}, "--port"},
      {{"--host", "", "binding"}, "--host"},
      {{"--user=", "binding"}, "--user"},
      {{"--rto", "0", "binding"}, "--rto"},
      {{"--max-retries", "x", "binding"}, "--max-retries"},
      {{"--timeout", "0", "binding"}, "--timeout"},
      {{"--timeout", "-1", "binding"}, "--timeout"},
      {{"--timeout", "1e3", "binding"}, "--timeout"},
      {{"--tcp=1", "binding"}, "--tcp"},
      {{"--bogus", "binding"}, "--bogus"},
      {{"bogus"}, "bogus"},
      {{"refresh"}, "refresh"},
      {{"refresh", "-1"}, "refresh"},
      {{"refresh", "4294967296"}, "refresh"},
      {{"permission", ","}, "permission"},
      {{"permission", "127.0.0.1,host.example"}, "permission"},
      {{"send", "127.0.0.1", "9000"}, "send"},
      {{"send", "127.0.0.256", "9000", "x"}, "send ADDR"},
      {{"send", "127.0.0.1", "0", "x"}, "send PORT"},
      {{"channel", "127.0.0.1", "80a"}, "channel PORT"},
      {{"channel-data", "65536", "x"}, "channel-data NUMBER"},
      {{"channel-data", "0x4000", "x"}, "channel-data NUMBER"},
      {{"wait", "x"}, "wait"},
      {{"wait", "86401"}, "wait"},
      {{"check", "binding"}, "check"},
      {{"allocate", "check"}, "check"},
      {{"--auth-secret", "s", "--password", "p", "check"}, "--auth-secret"},
      {{"--auth-secret", "s", "--no-credentials", "check"}, "--auth-secret"},
  };
  for (const auto& [args, named] : cases) {
    try {
      Parse(args);
      ADD_FAILURE() << "accepted: " << ::testing::PrintToString(args);
    } catch (const EqynRelayProbeOptionError& E) {
      EXPECT_NE(E.Message().find(named), std::string::npos) << E.Message();
    }
  }
}

TEST(RelayProbeOptions, HelpDescribesEveryOptionAndCommand) {
  const std::string usage = RelayProbeUsage();
  for (const TqynRelayProbeOption& o : RelayProbeOptionTable()) {
    EXPECT_NE(usage.find(std::string("  ") + o.Name), std::string::npos) << o.Name;
    EXPECT_NE(usage.find(o.Help), std::string::npos) << o.Name;
  }
  for (const TqynRelayProbeCommandSyntax& c : RelayProbeCommandTable()) {
    EXPECT_NE(usage.find(std::string("  ") + c.Name + (*c.Arguments ? " " : "") + c.Arguments), std::string::npos) << c.Name;
    EXPECT_NE(usage.find(c.Help), std::string::npos) << c.Name;
  }
  for (const char* text : {"#timeout: ", "Exit status: 0", "2 bad usage", "check"})
    EXPECT_NE(usage.find(text), std::string::npos) << text;
  EXPECT_TRUE(Parse({"--help"}).Help);
}

TEST(RelayProbeRestCredentials, UserNameIsExpiryAndUserAndPasswordTheSecretsDigest) {
  // Reference values computed with Python's hmac and base64 modules.
  const TqynRelayProbeRestCredentials c = RelayProbeRestCredentials("s3cret", "qyn_user", 1700000000);
  EXPECT_EQ(c.Username, "1700086400:qyn_user");
  EXPECT_EQ(c.Password, "p8zaPv5YsR08l8V/9JVSHcDq4eo=");
  const TqynRelayProbeRestCredentials e = RelayProbeRestCredentials("", "a", 0);
  EXPECT_EQ(e.Username, "86400:a");
  EXPECT_EQ(e.Password, "HCp1n4MqLwrZU3Y8cbP8qWxJDx8=");
  EXPECT_GT(RelayProbeUnixNow(), 1700000000); // Unix seconds, not milliseconds or local time
  EXPECT_LT(RelayProbeUnixNow(), 4102444800);
}

TEST(RelayProbeSettings, OptionsOverTheWindowsDesignSettings) {
  TqynTURNClient client;
  ApplyRelayProbeDesignSettings(client);
  EXPECT_EQ(client.Host(), "127.0.0.1");
  EXPECT_EQ(client.Port(), 3478);
  EXPECT_EQ(client.NotifyEvents(), neAsynchronous);
  EXPECT_TRUE(client.TURNOptions().Fingerprint);
  EXPECT_FALSE(client.TURNOptions().AutoRefresh.Enabled);
  EXPECT_EQ(client.TURNOptions().Allocation.Lifetime, 600u);
  EXPECT_EQ(client.STUNOptions().Authentication.Credentials, stauNone);

  ApplyRelayProbeOptions(client, Parse({"--host", "::1", "--port", "3479", "--no-credentials", "--rto", "100",
                                        "--max-retries", "2", "--no-retransmissions", "--tcp"}),
                         0);
  EXPECT_EQ(client.Host(), "::1");
  EXPECT_EQ(client.IPVersion(), Id_IPv6);
  EXPECT_EQ(client.Port(), 3479);
  EXPECT_EQ(client.Transport(), stunTCP);
  EXPECT_FALSE(client.RetransmissionOptions().Enabled);
  EXPECT_EQ(client.RetransmissionOptions().RTO, 100);
  EXPECT_EQ(client.RetransmissionOptions().MaxRetries, 2);
  EXPECT_EQ(client.TURNOptions().Authentication.Credentials, stauNone);
  EXPECT_FALSE(client.TURNOptions().Fingerprint);

  ApplyRelayProbeOptions(client, Parse({"--user", "alice", "--auth-secret", "s3cret"}), 1700000000);
  EXPECT_EQ(client.IPVersion(), Id_IPv4);
  EXPECT_EQ(client.Transport(), stunUDP);
  EXPECT_EQ(client.TURNOptions().Authentication.Credentials, stauLongTermCredential);
  EXPECT_TRUE(client.TURNOptions().Fingerprint);
  EXPECT_EQ(client.TURNOptions().Authentication.Username, "1700086400:alice");
  EXPECT_EQ(client.TURNOptions().Authentication.Password,
            RelayProbeRestCredentials("s3cret", "alice", 1700000000).Password);
}

TEST(RelayProbeCheckVerdict, AFailedAllocateIsJudgedByWhatCameBack) {
  auto result = [](TqynRelayProbeOutcome aOutcome, uint16_t aCode) {
    TqynRelayProbeResult r;
    r.Outcome = aOutcome;
    r.ErrorCode = aCode;
    return r;
  };
  struct Case {
    TqynRelayProbeResult Result;
    bool Challenged, Answered, Credentials;
    TqynRelayProbeVerdict Verdict;
  };
  const std::vector<Case> cases = {
      {result(rpoSucceeded, 0), true, true, true, rpvPass},
      {result(rpoFailed, 401), true, true, true, rpvWrongCredentials},     // refused after signing
      {result(rpoTimedOut, 0), true, false, true, rpvWrongCredentials},    // challenged, then silence
      {result(rpoFailed, 401), false, true, false, rpvCredentialsRequired},
      {result(rpoFailed, 508), true, true, true, rpvAllocationRefused},
      {result(rpoFailed, 0), false, false, true, rpvNoAnswer},             // an exception (socket error)
      {result(rpoTimedOut, 0), false, false, true, rpvNoAnswer},
      {result(rpoTimedOut, 0), false, true, true, rpvAllocationRefused},
  };
  for (size_t i = 0; i < cases.size(); ++i)
    EXPECT_EQ(RelayProbeAllocateVerdict(cases[i].Result, cases[i].Challenged, cases[i].Answered, cases[i].Credentials),
              cases[i].Verdict)
        << i;
  TqynRelayProbeOptions options;
  options.Host = "::1";
  std::vector<std::string> lines;
  for (TqynRelayProbeVerdict v : {rpvPass, rpvWrongCredentials, rpvCredentialsRequired, rpvNoAnswer,
                                  rpvAllocationRefused, rpvNoRelay, rpvNotReleased}) {
    const std::string line = RelayProbeVerdictLine(v, options, "x");
    EXPECT_EQ(line.rfind(v == rpvPass ? "verdict: PASS - " : "verdict: FAIL - ", 0), 0u) << line;
    EXPECT_NE(line.find("[::1]:3478"), std::string::npos) << line;
    for (const std::string& other : lines) EXPECT_NE(line, other);
    lines.push_back(line);
  }
}

} // namespace
