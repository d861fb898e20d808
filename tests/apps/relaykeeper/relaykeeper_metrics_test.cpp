// qyn-test-labels: unit
// qyn-test-libs: qyn_relaykeeper qyn_turn_server qyn_stun_server
//
// The metrics text without HTTP: every family with its HELP and TYPE lines and well-formed
// samples, the refused Allocates taken from the responses, label escaping, the discard reasons
// folded into labels without addresses and bounded in number, and the --metrics value parser.

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "qynRelayKeeper_Metrics.h"
#include "qynRelayKeeper_Options.h"

namespace {

// name{labels} -> value of every sample; fails the test on a line that is neither a sample nor a
// HELP/TYPE comment, and on a sample whose family had no TYPE line before it.
std::map<std::string, uint64_t> Samples(const std::string& aText) {
  static const std::regex sample(R"(^([a-z_]+)(\{[a-z_]+="(?:[^"\\]|\\.)*"(?:,[a-z_]+="(?:[^"\\]|\\.)*")*\})? ([0-9]+)$)");
  static const std::regex comment(R"(^# (HELP|TYPE) ([a-z_]+) (.+)$)");
  std::map<std::string, uint64_t> out;
  std::set<std::string> typed, helped;
  std::map<std::string, std::string> types;
  std::istringstream in(aText);
  std::string line;
  while (std::getline(in, line)) {
    std::smatch m;
    if (std::regex_match(line, m, comment)) {
      EXPECT_EQ(m[2].str().rfind("qynwire_", 0), 0u) << line;
      auto& seen = m[1] == "TYPE" ? typed : helped;
      EXPECT_TRUE(seen.insert(m[2]).second) << "repeated: " << line;
      if (m[1] == "TYPE") types[m[2]] = m[3];
      continue;
    }
    if (!std::regex_match(line, m, sample)) {
      ADD_FAILURE() << "not a sample: '" << line << "'";
      continue;
    }
    EXPECT_TRUE(typed.count(m[1]) && helped.count(m[1])) << "no HELP/TYPE before: " << line;
    // Counters end in _total, gauges do not.
    const bool total = m[1].str().size() > 6 && m[1].str().substr(m[1].str().size() - 6) == "_total";
    EXPECT_EQ(types[m[1]], total ? "counter" : "gauge") << line;
    out[m[1].str() + m[2].str()] = std::stoull(m[3]);
  }
  EXPECT_EQ(typed, helped);
  return out;
}

TEST(MetricsText, EveryFamilyWithItsValuesAndLabels) {
  TqynTURNCounters counters;
  counters.CountResponse(stmmBinding, 200);
  counters.CountResponse(stmmAllocate, 401);
  counters.CountResponse(stmmAllocate, 401);
  counters.CountResponse(stmmAllocate, 200);
  counters.CountResponse(stmmAllocate, 486);
  counters.CountResponse(stmmAllocate, 508);
  counters.CountResponse(stmmCreatePermission, 403);
  counters.CountResponse(stmmRefresh, 250); // outside 300..699: "other"
  counters.CountAllocationCreated();
  counters.CountPermissionsInstalled(3);
  counters.CountPermissionsInstalled(0);
  counters.CountChannelBound();
  counters.CountRelayed(trdClientToPeer, 100);
  counters.CountRelayed(trdClientToPeer, 20);
  counters.CountRelayed(trdPeerToClient, 7);
  counters.CountDiscard(stmmSend, "Invalid Permission for Address: 192.0.2.7.");
  counters.CountDiscard(stmmSend, "Invalid Permission for Address: 203.0.113.9.");
  counters.CountDiscard(stmmData, "peer refused");
  counters.CountDiscard(stmmUnknown, "Channel Data ID: 16384 not exists");
  counters.CountProcessingError();
  TqynTURNServerGauges gauges{2, 5, 1};
  TqynRelayKeeperProcessStats process{9, 42, 1024, 4096};

  const auto s = Samples(FormatRelayKeeperMetrics(counters.Snapshot(), gauges, process));
  const std::map<std::string, uint64_t> expected = {
      {"qynwire_turn_allocations", 2},
      {"qynwire_turn_allocations_created_total", 1},
      {R"(qynwire_turn_allocations_refused_total{code="401",reason="Unauthorized"})", 2},
      {R"(qynwire_turn_allocations_refused_total{code="486",reason="Allocation Quota Reached"})", 1},
      {R"(qynwire_turn_allocations_refused_total{code="508",reason="Insufficient Capacity"})", 1},
      {"qynwire_turn_permissions", 5},
      {"qynwire_turn_permissions_installed_total", 3},
      {"qynwire_turn_channels", 1},
      {"qynwire_turn_channels_bound_total", 1},
      {R"(qynwire_turn_relayed_datagrams_total{direction="client_to_peer"})", 2},
      {R"(qynwire_turn_relayed_datagrams_total{direction="peer_to_client"})", 1},
      {R"(qynwire_turn_relayed_bytes_total{direction="client_to_peer"})", 120},
      {R"(qynwire_turn_relayed_bytes_total{direction="peer_to_client"})", 7},
      {R"(qynwire_requests_total{method="Binding",code="200"})", 1},
      {R"(qynwire_requests_total{method="Allocate",code="200"})", 1},
      {R"(qynwire_requests_total{method="Allocate",code="401"})", 2},
      {R"(qynwire_requests_total{method="Allocate",code="486"})", 1},
      {R"(qynwire_requests_total{method="Allocate",code="508"})", 1},
      {R"(qynwire_requests_total{method="CreatePermission",code="403"})", 1},
      {R"(qynwire_requests_total{method="Refresh",code="other"})", 1},
      {R"(qynwire_turn_discarded_total{method="ChannelData",reason="Channel Data ID: N not exists"})", 1},
      {R"(qynwire_turn_discarded_total{method="Data",reason="peer refused"})", 1},
      {R"(qynwire_turn_discarded_total{method="Send",reason="Invalid Permission for Address: N."})", 2},
      {"qynwire_processing_errors_total", 1},
      {"qynwire_process_threads", 9},
      {"qynwire_process_open_fds", 42},
      {"qynwire_process_max_fds", 1024},
      {"qynwire_process_resident_memory_bytes", 4096},
  };
  EXPECT_EQ(s, expected);
}

TEST(MetricsText, UnknownProcessValuesAreLeftOutAndEmptyFamiliesKeepTheirHeaders) {
  TqynTURNCounters counters;
  const std::string text = FormatRelayKeeperMetrics(counters.Snapshot(), {}, {});
  const auto s = Samples(text);
  EXPECT_EQ(s.count("qynwire_process_threads"), 0u);
  EXPECT_EQ(text.find("qynwire_process_open_fds"), std::string::npos);
  EXPECT_NE(text.find("# TYPE qynwire_requests_total counter\n"), std::string::npos);
  EXPECT_EQ(s.at(R"(qynwire_turn_relayed_bytes_total{direction="peer_to_client"})"), 0u);
  EXPECT_EQ(text.back(), '\n');
}

TEST(MetricsText, ReasonLabelsAreEscaped) {
  TqynTURNCounters counters;
  counters.CountDiscard(stmmSend, "a \"quoted\" back\\slash\nline");
  const std::string text = FormatRelayKeeperMetrics(counters.Snapshot(), {}, {});
  EXPECT_NE(text.find(R"(reason="a \"quoted\" back\\slash\nline"} 1)"), std::string::npos) << text;
  Samples(text);
}

TEST(MetricsText, ReadsThisProcess) {
  const TqynRelayKeeperProcessStats p = ReadRelayKeeperProcessStats();
  EXPECT_GE(p.Threads, 1);
  EXPECT_GE(p.OpenDescriptors, 3); // standard input, output and error at least
  EXPECT_GT(p.MaxDescriptors, p.OpenDescriptors);
  EXPECT_GT(p.ResidentBytes, 0);
}

TEST(DiscardReasons, AddressesAndNumbersBecomeN) {
  const std::pair<const char*, const char*> cases[] = {
      {"Invalid Permission for Address: 192.0.2.1.", "Invalid Permission for Address: N."},
      {"Invalid Permission for Address: 2001:db8::1.", "Invalid Permission for Address: N."},
      {"Invalid Permission for Address: abcd::ef.", "Invalid Permission for Address: N."}, // no digit
      {"Invalid Permission for Address: ::ffff:192.0.2.1.", "Invalid Permission for Address: N."},
      {"Channel Data ID: 16384 not exists", "Channel Data ID: N not exists"},
      {"Channel Data ID: 20000 expired", "Channel Data ID: N expired"},
      {"Allocation not exists", "Allocation not exists"},
      {"Message has not been fully received", "Message has not been fully received"},
      {"Attribute XOR_PEER_ADDRESS not found.", "Attribute XOR_PEER_ADDRESS not found."},
      {"peer refused", "peer refused"},
      {"Peer refused: 10.0.0.1 port 5000", "Peer refused: N port N"},
      {"", ""},
  };
  for (const auto& [reason, label] : cases) EXPECT_EQ(TqynTURNCounters::ReasonLabel(reason), label) << reason;
  EXPECT_EQ(TqynTURNCounters::ReasonLabel(std::string(500, 'x')).size(), 120u);
}

TEST(DiscardReasons, DistinctReasonsAreBounded) {
  TqynTURNCounters counters;
  // Reasons that no replacement folds (letters only), as a hostile peer cannot choose but a
  // faulty handler might produce.
  for (int i = 0; i < 500; ++i) {
    std::string reason = "reason ";
    for (int n = i; n > 0; n /= 20) reason += static_cast<char>('g' + n % 20);
    counters.CountDiscard(stmmSend, reason);
  }
  const TqynTURNCountersSnapshot s = counters.Snapshot();
  EXPECT_LE(s.Discards.size(), TqynTURNCounters::MaxDiscardReasons + 1);
  uint64_t total = 0, other = 0;
  for (const auto& d : s.Discards) {
    total += d.Count;
    if (d.Reason == "other") other = d.Count;
  }
  EXPECT_EQ(total, 500u); // nothing lost
  EXPECT_EQ(other, 500u - TqynTURNCounters::MaxDiscardReasons);
}

TEST(MetricsOption, AddressAndPort) {
  struct TCase {
    const char* Value;
    const char* Host; // null: refused
    uint16_t Port;
  };
  const TCase cases[] = {
      {"127.0.0.1:9100", "127.0.0.1", 9100}, {"0.0.0.0:0", "0.0.0.0", 0},  {"[::1]:9100", "::1", 9100},
      {"[::]:80", "::", 80},                 {"::1:9100", nullptr, 0},     {"127.0.0.1", nullptr, 0},
      {"127.0.0.1:", nullptr, 0},            {"127.0.0.1:65536", nullptr, 0}, {":9100", nullptr, 0},
      {"localhost:9100", nullptr, 0},        {"[127.0.0.1]:9100", nullptr, 0}, {"[::1:9100", nullptr, 0},
      {"[::1]", nullptr, 0},                 {"[]:9100", nullptr, 0},      {"", nullptr, 0},
  };
  for (const TCase& c : cases) {
    std::string host;
    uint16_t port = 1;
    if (!c.Host) {
      try {
        ParseHostPortOption("--metrics", c.Value, host, port);
        ADD_FAILURE() << "accepted: " << c.Value;
      } catch (const EqynOptionError& E) {
        EXPECT_NE(E.Message().find("--metrics"), std::string::npos) << E.Message();
      }
      continue;
    }
    ParseHostPortOption("--metrics", c.Value, host, port);
    EXPECT_EQ(host, c.Host) << c.Value;
    EXPECT_EQ(port, c.Port) << c.Value;
  }
  const char* argv[] = {"relaykeeper", "--metrics", "127.0.0.1:9100"};
  const TqynRelayKeeperOptions o = ParseRelayKeeperOptions(3, argv);
  EXPECT_TRUE(o.Metrics);
  EXPECT_FALSE(o.DaemonOptionGiven); // also for the window
}

} // namespace
