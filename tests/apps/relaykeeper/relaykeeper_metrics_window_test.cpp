// qyn-test-labels: gui
// qyn-test-libs: qyn_relaykeeper qyn_turn_server qyn_stun_server
// qyn-test-programs: relaykeeper
//
// --metrics with the window (Qt's offscreen platform): the window's server is counted and served,
// and a busy metrics port ends the program with 1 before the window shows.

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "apps/relaykeeper/relaykeeper_test_client.h"
#include "apps/relaykeeper/relaykeeper_test_http.h"
#include "qynRelayKeeper_Metrics.h"
#include "qyn_test_process.h"

namespace {

const std::string kProgram = QYN_PROGRAM_relaykeeper;

// The children open their window on Qt's offscreen platform.
const bool kOffscreen = setenv("QT_QPA_PLATFORM", "offscreen", 1) == 0;

// The body of GET /metrics on 127.0.0.1:aPort ("" when there is no answer).
std::string Scrape(TIdPort aPort) {
  const THttpAnswer answer = HttpGet(aPort, "/metrics");
  return answer.Status == 200 ? answer.Body : std::string();
}

TEST(WindowMetrics, TheWindowServerIsServed) {
  ASSERT_TRUE(kOffscreen);
  // The window's server listens on 127.0.0.1:3478 (its field) when that port is free; the metrics
  // are served either way.
  TChildProcess p({kProgram, "--metrics", "127.0.0.1:0"}, {"DISPLAY", "WAYLAND_DISPLAY"});
  ASSERT_TRUE(p.WaitFor("/metrics\n", true)) << p.Err();
  const std::string marker = "relaykeeper: metrics on http://127.0.0.1:";
  const size_t at = p.Err().find(marker);
  ASSERT_NE(at, std::string::npos) << p.Err();
  const TIdPort port = static_cast<TIdPort>(std::stoi(p.Err().substr(at + marker.size())));
  const std::string before = Scrape(port);
  EXPECT_NE(before.find("qynwire_turn_allocations 0\n"), std::string::npos) << before;
  EXPECT_NE(before.find("qynwire_process_threads "), std::string::npos);
  p.Signal(SIGTERM);
  EXPECT_NE(p.WaitExit(), -1);
}

TEST(WindowMetrics, ABusyMetricsPortEndsItWithOne) {
  TqynRelayKeeperMetricsServer holder;
  std::string error;
  ASSERT_TRUE(holder.Start("127.0.0.1", 0, [] { return std::string(); }, error)) << error;
  TChildProcess p({kProgram, "--metrics", "127.0.0.1:" + std::to_string(holder.Port())}, {"DISPLAY", "WAYLAND_DISPLAY"});
  EXPECT_EQ(p.WaitExit(), 1);
  EXPECT_NE(p.Err().find("Can not serve metrics on 127.0.0.1 port " + std::to_string(holder.Port()) + ": Address already in use"),
            std::string::npos)
      << p.Err();
}

} // namespace
