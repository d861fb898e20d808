// qyn-test-labels: unit
// qyn-test-libs: qyn_relaykeeper
//
// relaykeeper's command line: the defaults are the window's, both value spellings, the values
// each option accepts and refuses, and a --help that lists every option of the table.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "apps/apps_test_command_line.h"
#include "qynRelayKeeper_Daemon.h"
#include "qynRelayKeeper_Options.h"

namespace {

TqynRelayKeeperOptions Parse(std::vector<std::string> aArgs) {
  return ParseCommandLine(ParseRelayKeeperOptions, "relaykeeper", std::move(aArgs));
}

TEST(RelayKeeperOptions, DefaultsAreTheWindowsAndValuesTakeBothSpellings) {
  const TqynRelayKeeperOptions d = Parse({});
  EXPECT_FALSE(d.Headless);
  EXPECT_FALSE(d.DaemonOptionGiven);
  EXPECT_EQ(d.Host, "127.0.0.1");
  EXPECT_EQ(d.Port, 3478);
  EXPECT_EQ(d.User, "qyn_user");
  EXPECT_EQ(d.Password, "kiwi_tea");
  EXPECT_EQ(d.Realm, "Qynwire");
  EXPECT_TRUE(d.Authentication);
  EXPECT_EQ(d.RelayIP, "");
  EXPECT_EQ(d.MinPort, 49152);
  EXPECT_EQ(d.MaxPort, 65535);
  EXPECT_FALSE(d.Verbose);
  EXPECT_TRUE(d.AllowPeers.empty());
  EXPECT_TRUE(d.DenyPeers.empty());
  EXPECT_FALSE(d.AllowLoopbackPeers);

  const TqynRelayKeeperOptions o = Parse({"--headless", "--host=::1", "--port", "0", "--user=a=b", "--password", "p w",
                                          "--realm", "R", "--no-auth", "--relay-ip", "127.0.0.2", "--min-port=50000",
                                          "--max-port", "50001", "--verbose", "--port", "3479"});
  EXPECT_TRUE(o.Headless);
  EXPECT_TRUE(o.DaemonOptionGiven);
  EXPECT_EQ(o.Host, "::1");
  EXPECT_EQ(o.Port, 3479); // the last one counts
  EXPECT_EQ(o.User, "a=b");
  EXPECT_EQ(o.Password, "p w");
  EXPECT_EQ(o.Realm, "R");
  EXPECT_FALSE(o.Authentication);
  EXPECT_EQ(o.RelayIP, "127.0.0.2");
  EXPECT_EQ(o.MinPort, 50000);
  EXPECT_EQ(o.MaxPort, 50001);
  EXPECT_TRUE(o.Verbose);
  EXPECT_FALSE(Parse({"--headless"}).DaemonOptionGiven);
}

TEST(RelayKeeperOptions, BadValuesAreRefusedNamingTheOption) {
  const std::vector<std::vector<std::string>> cases = {
      {"--port", ""},          {"--port", "+1"},          {"--port", "1x"},        {"--port", "0x10"},
      {"--port", "65536"},     {"--min-port", "0"},       {"--max-port", "1"},     {"--min-port", "60000", "--max-port", "60000"},
      {"--host", ""},          {"--host", "127.0.0.256"}, {"--host", "::g"},       {"--relay-ip", "host.example"},
      {"--realm", ""},         {"--password", ""},        {"--no-auth=1"},         {"--help=x"},
      {"-p", "1"},             {"--port"},
      {"--allow-peer", "10.0.0.1/8"}, {"--allow-peer", "10.0.0.0/33"}, {"--allow-peer", "localhost"},
      {"--allow-peer", ""},    {"--allow-peer"},          {"--deny-peer", "::/129"}, {"--deny-peer", "fe80::1%eth0"},
      {"--deny-peer", "10.0.0.0/8,"}, {"--allow-loopback-peers=1"},
  };
  for (const auto& c : cases) {
    try {
      Parse(c);
      ADD_FAILURE() << c[0] << " accepted";
    } catch (const EqynOptionError& E) {
      const std::string named = c.size() > 2 ? "--max-port" : c[0].substr(0, c[0].find('='));
      EXPECT_NE(E.Message().find(named), std::string::npos) << E.Message();
    }
  }
}

TEST(RelayKeeperOptions, CredentialsQuotasAndTheUnauthenticatedBound) {
  const TqynRelayKeeperOptions d = Parse({});
  EXPECT_EQ(d.AuthSecret, "");
  EXPECT_EQ(d.MaxAllocations, 0);
  EXPECT_EQ(d.UserQuota, 0);
  EXPECT_EQ(d.UnauthRate, 10); // on by default in the daemon
  const TqynRelayKeeperOptions o =
      Parse({"--auth-secret", "s=3:x", "--max-allocations=1000", "--user-quota", "5", "--unauth-rate", "0"});
  EXPECT_EQ(o.AuthSecret, "s=3:x");
  EXPECT_EQ(o.MaxAllocations, 1000);
  EXPECT_EQ(o.UserQuota, 5);
  EXPECT_EQ(o.UnauthRate, 0);
  EXPECT_TRUE(o.DaemonOptionGiven);
  EXPECT_EQ(Parse({"--unauth-rate", "1000000"}).UnauthRate, 1000000);

  struct TCase {
    std::vector<std::string> Args;
    const char* Named;
  };
  const TCase cases[] = {
      {{"--auth-secret", ""}, "--auth-secret"},
      {{"--auth-secret"}, "--auth-secret"},
      {{"--auth-secret", "s", "--no-auth"}, "--auth-secret"},
      {{"--auth-secret", "s", "--user", "1700000000:bob"}, "--user"}, // unreachable beside the secret
      {{"--max-allocations", "-1"}, "--max-allocations"},
      {{"--max-allocations", "+5"}, "--max-allocations"},
      {{"--max-allocations", "1e3"}, "--max-allocations"},
      {{"--max-allocations", ""}, "--max-allocations"},
      {{"--user-quota", "1000001"}, "--user-quota"},
      {{"--user-quota", "99999999999999999999"}, "--user-quota"},
      {{"--user-quota", "two"}, "--user-quota"},
      {{"--unauth-rate", "-3"}, "--unauth-rate"},
      {{"--unauth-rate", "0.5"}, "--unauth-rate"},
      {{"--unauth-rate"}, "--unauth-rate"},
  };
  for (const TCase& c : cases) {
    try {
      Parse(c.Args);
      ADD_FAILURE() << c.Args[0] << " accepted";
    } catch (const EqynOptionError& E) {
      EXPECT_NE(E.Message().find(c.Named), std::string::npos) << E.Message();
    }
  }
  // A static user that is not of the time-limited form stays beside the secret.
  EXPECT_EQ(Parse({"--auth-secret", "s", "--user", "1700000000bob"}).User, "1700000000bob");
}

TEST(RelayKeeperOptions, PeerRangesRepeatAndMakeTheDaemonsPolicy) {
  const TqynRelayKeeperOptions o = Parse({"--allow-peer", "192.168.1.0/24", "--allow-peer=10.0.0.0/8", "--deny-peer", "10.1.0.0/16",
                                          "--deny-peer=2001:db8::/32", "--allow-loopback-peers"});
  EXPECT_TRUE(o.DaemonOptionGiven);
  EXPECT_EQ(o.AllowPeers, (std::vector<std::string>{"192.168.1.0/24", "10.0.0.0/8"}));
  EXPECT_EQ(o.DenyPeers, (std::vector<std::string>{"10.1.0.0/16", "2001:db8::/32"}));
  EXPECT_TRUE(o.AllowLoopbackPeers);
  // The message of a range with bits past its prefix names the range meant.
  try {
    Parse({"--deny-peer", "192.168.1.1/16"});
    ADD_FAILURE() << "accepted";
  } catch (const EqynOptionError& E) {
    EXPECT_EQ(E.Message().rfind("--deny-peer: '192.168.1.1/16'", 0), 0u) << E.Message();
    EXPECT_NE(E.Message().find("192.168.0.0/16"), std::string::npos) << E.Message();
  }

  // The daemon's policy: always on with the default set; loopback peers when it listens on
  // loopback or is told so.
  struct Case {
    std::vector<std::string> Args;
    bool Loopback;
  };
  const Case cases[] = {
      {{}, true},
      {{"--host", "::1"}, true},
      {{"--host", "127.0.0.2"}, true},
      {{"--host", "0.0.0.0"}, false},
      {{"--host", "::"}, false},
      {{"--host", "192.0.2.10"}, false},
      {{"--host", "192.0.2.10", "--allow-loopback-peers"}, true},
  };
  for (const Case& c : cases) {
    const TqynTURNServer_PeerPolicy policy = RelayKeeperPeerPolicy(Parse(c.Args));
    EXPECT_TRUE(policy.Enabled);
    EXPECT_TRUE(policy.DefaultDeny);
    EXPECT_EQ(policy.AllowLoopback, c.Loopback) << (c.Args.empty() ? "defaults" : c.Args[1]);
  }
  const TqynTURNServer_PeerPolicy lan = RelayKeeperPeerPolicy(o);
  EXPECT_EQ(lan.AllowPeers, o.AllowPeers);
  EXPECT_EQ(lan.DenyPeers, o.DenyPeers);
  const TqynTURNPeerFilter filter(lan);
  EXPECT_TRUE(filter.IsAllowed("192.168.1.20"));
  EXPECT_FALSE(filter.IsAllowed("192.168.2.20"));
  EXPECT_FALSE(filter.IsAllowed("10.1.0.1"));
  EXPECT_TRUE(filter.IsAllowed("10.2.0.1"));
}

TEST(RelayKeeperOptions, HelpListsEveryOptionOfTheTable) {
  const std::string usage = RelayKeeperUsage();
  for (const TqynRelayKeeperOption& o : RelayKeeperOptionTable()) {
    const std::string shown = std::string(o.Name) + (o.ValueName ? std::string(" ") + o.ValueName : std::string());
    EXPECT_NE(usage.find("  " + shown + " "), std::string::npos) << shown;
    EXPECT_NE(usage.find(o.Help), std::string::npos) << shown;
  }
  EXPECT_TRUE(Parse({"--help"}).Help);
}

} // namespace
