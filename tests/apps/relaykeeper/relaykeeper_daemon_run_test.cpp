// qyn-test-labels: net
// qyn-test-libs: qyn_relaykeeper qyn_turn_server qyn_stun_server
//
// The headless daemon run inside the test process: after a stop request it returns 0 with
// "#stop server" as its last line and leaves no thread behind, also with allocations held.

#include <gtest/gtest.h>


#include <cstdio>
#include <string>
#include <thread>

#include "apps/relaykeeper/relaykeeper_test_client.h"
#include "apps/relaykeeper/relaykeeper_test_output.h"
#include "qynRelayKeeper_Daemon.h"
#include "qyn_test_wait.h"

namespace {

// The project's own threads (a sanitizer's background thread is not one of them).
int ThreadCount() { return TIdThread::RunningCount(); }

TEST(DaemonRun, StopRequestEndsTheRunWithNoThreadLeft) {
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  ASSERT_TRUE(out && err);
  const int before = ThreadCount();
  TqynRelayKeeperOptions options;
  options.Headless = true;
  options.Port = 0;
  options.Authentication = false;
  int status = -1;
  std::thread run([&] { status = RunRelayKeeperDaemon(options, out, err); });

  std::string text;
  ASSERT_TRUE(WaitUntil([&] { return (text = Contents(err)).find(" (UDP)\n") != std::string::npos; }));
  const TIdPort port = static_cast<TIdPort>(std::stoi(text.substr(text.find(" port ") + 6)));
  for (int i = 0; i < 3; ++i) {
    TTestTurnClient client(std::function<void()>(), 100 * (i + 1));
    TqynSTUN_Message m;
    ASSERT_TRUE(client.Allocate(port, m));
    ASSERT_NE(TTestTurnClient::RelayedPort(m), 0);
  }
  ASSERT_TRUE(WaitUntil([&] { return Contents(out).find("New Allocation") != std::string::npos; }));
  // The listening binding's listener, the relays' poller and the allocation timer.
  EXPECT_GE(ThreadCount(), before + 3);

  RequestRelayKeeperStop();
  run.join();
  EXPECT_EQ(status, 0);
  text = Contents(out);
  EXPECT_EQ(text.rfind("#start server\n", 0), 0u);
  EXPECT_EQ(text.substr(text.size() - 13), "#stop server\n");
  EXPECT_TRUE(WaitUntil([&] { return ThreadCount() == before; })) << ThreadCount() << " != " << before;
  std::fclose(out);
  std::fclose(err);
}

} // namespace
