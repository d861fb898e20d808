// qyn-test-labels: net
// qyn-test-libs: qyn_turn_client qyn_stun_client
// qyn-test-programs: relayprobe
//
// `relayprobe check` against scripted loopback servers for the verdicts a real server of ours
// does not give: one that grants every request but relays nothing (the check still ends both
// allocations), and one that refuses the allocation with an error other than 401.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "qyn_test_process.h"
#include "qyn_test_udp.h"
#include "turn_client/turn_client_test_util.h"

namespace {

using namespace turn_client_test;

const std::string kProbe = QYN_PROGRAM_relayprobe;

struct TRun {
  int Status = -1;
  std::string Out;
};

TRun Check(uint16_t aPort) {
  TChildProcess probe({kProbe, "--port", std::to_string(aPort), "--no-credentials", "--timeout", "3", "check"},
                      {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"});
  TRun run;
  run.Status = probe.WaitExit(std::chrono::seconds(120));
  run.Out = probe.Out();
  return run;
}

TEST(RelayProbeCheck, AServerThatAllocatesButDoesNotRelayIsNamed) {
  RawClient relayA, relayB; // the relayed addresses granted: loopback ports where nothing answers
  int allocations = 0;       // used on the server's thread only
  TFakeUDPServer server([&](const TRequest& r, int) -> std::vector<TqynBytes> {
    if (r.Message->Header().MessageType_Class() != stmcRequest) return {}; // indications and ChannelData: dropped
    return {BuildAnswer(*r.Message, stmcResponseSuccess, [&](TqynSTUN_Message& m) {
      switch (r.Message->Header().MessageType_Method()) {
      case stmmAllocate: {
        AddXorRelayed(m, "127.0.0.1", (allocations++ % 2 == 0 ? relayA : relayB).Port());
        AddLifetime(m, 600);
        break;
      }
      case stmmRefresh: {
        const auto* lifetime = r.Message->Attributes().GetAttribute<TqynSTUN_Attribute_LIFETIME>(stmaLifetime);
        AddLifetime(m, lifetime ? lifetime->Lifetime() : 600);
        break;
      }
      default: break;
      }
    })};
  });
  const TRun run = Check(server.Port());
  EXPECT_EQ(run.Status, 1) << run.Out;
  for (const char* line : {"allocate A: ok in ", "allocate B: ok in ", "permission B for A: ok in ",
                           "send A to B: FAILED after ", "refresh 0 A: ok in ", "refresh 0 B: ok in "})
    EXPECT_NE(run.Out.find(line), std::string::npos) << line << "\n" << run.Out;
  const size_t failed = run.Out.find("send A to B: FAILED after ");
  ASSERT_NE(failed, std::string::npos) << run.Out;
  EXPECT_GE(std::atol(run.Out.c_str() + failed + 26), 3000) << "waits its timeout: " << run.Out;
  EXPECT_EQ(run.Out.find("send B to A"), std::string::npos) << run.Out;
  EXPECT_NE(run.Out.find("verdict: FAIL - 127.0.0.1:" + std::to_string(server.Port()) +
                         " allocates but does not relay (send A to B: nothing arrived at B within the timeout)\n"),
            std::string::npos)
      << run.Out;
  EXPECT_EQ(relayA.Receive(0).size() + relayB.Receive(0).size(), 0u);
}

TEST(RelayProbeCheck, AnAllocationRefusedForCapacityIsNamed) {
  TFakeUDPServer server([](const TRequest& r, int) -> std::vector<TqynBytes> {
    if (r.Message->Header().MessageType_Class() != stmcRequest) return {};
    return {Error(r, 508, "Insufficient Capacity")};
  });
  const TRun run = Check(server.Port());
  EXPECT_EQ(run.Status, 1) << run.Out;
  EXPECT_NE(run.Out.find("allocate A: FAILED after "), std::string::npos) << run.Out;
  EXPECT_NE(run.Out.find(" ms: #error: 508 Insufficient Capacity\n"), std::string::npos) << run.Out;
  EXPECT_NE(run.Out.find("verdict: FAIL - 127.0.0.1:" + std::to_string(server.Port()) +
                         " refused the allocation (allocate A: #error: 508 Insufficient Capacity)"),
            std::string::npos)
      << run.Out;
  EXPECT_EQ(run.Out.find("refresh 0"), std::string::npos) << "nothing to release: " << run.Out;
}

} // namespace
