// qyn-test-labels: net
// TqynUDPServer_Base life cycle on loopback: Start/Stop/ReStart threads, destruction, activation on
// a busy port, the watchdog (restart, attempts, OnBeforeWatchDog) and its monitor probe.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "qyn_test_wait.h"
#include "qynBase_Sync.h"
#include "qynMessages.h"
#include "qynUDP_Server.h"

namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

void DrainFor(std::chrono::milliseconds aTime) { DrainUntil([] { return false; }, aTime); }

TqynBytes B(const std::string& aText) { return TqynBytes(aText.begin(), aText.end()); }

// The project's own threads (a sanitizer's background thread is not one of them).
int ThreadCount() { return TIdThread::RunningCount(); }

// A bound UDP socket on 127.0.0.1: occupies a port, or talks to the server.
class TPeer {
public:
  explicit TPeer(TIdPort aPort = 0) {
    FSocket.SetIP("127.0.0.1");
    FSocket.SetPort(aPort);
    FSocket.AllocateSocket(Id_SOCK_DGRAM);
    FSocket.Bind();
  }
  TIdPort Port() const { return FSocket.Port(); }
  void Close() { FSocket.CloseSocket(); }
  void Send(TIdPort aPort, const TqynBytes& aBytes) { FSocket.SendTo("127.0.0.1", aPort, Id_IPv4, aBytes); }
  bool Receive(TqynBytes& aData, int aMSec = 10000) {
    TqynBytes buffer(65536);
    std::string ip;
    TIdPort port = 0;
    TIdIPVersion version;
    const int n = FSocket.RecvFrom(buffer, ip, port, version, aMSec);
    if (ip.empty()) return false;
    buffer.resize(static_cast<size_t>(n));
    aData = buffer;
    return true;
  }

private:
  TIdSocketHandle FSocket;
};

// Counts the events of a server and the monitor probes it recognised.
class TServer : public TqynUDPServer_Base {
public:
  std::atomic<int> Startups{0}, Shutdowns{0}, Reads{0}, Ticks{0}, Probes{0};
  std::atomic<bool> HandleTicks{false};

  TServer() {
    OnStartup = [this](TqynComponent_Base*) { ++Startups; };
    OnShutdown = [this](TqynComponent_Base*) { ++Shutdowns; };
    OnUDPRead = [this](TqynComponent_Base*, TqynUDPSocket* Socket, const TqynBytes& Bytes) {
      ++Reads;
      Socket->WriteData(Bytes);
    };
    OnBeforeWatchDog = [this](TqynComponent_Base*, bool& Handled) {
      ++Ticks;
      Handled = HandleTicks.load();
    };
  }
  ~TServer() override { ShutdownComponent(); }
  void UseWatchDog(int aInterval, int aAttempts = 0, bool aMonitor = false, int aTimeOut = 10) {
    TqynUDPWatchDogServer_Options wd;
    wd.Enabled = true;
    wd.Interval = aInterval;
    wd.Attempts = aAttempts;
    wd.Monitor.Enabled = aMonitor;
    wd.Monitor.TimeOut = aTimeOut;
    SetWatchDog(wd);
  }
  TIdPort BoundPort() { return Bindings().Count() > 0 ? Bindings()[0]->Port() : 0; }

protected:
  bool IsWatchDogMonitor(const TIdBytes& aBytes) override {
    const bool probe = TqynUDPServer_Base::IsWatchDogMonitor(aBytes);
    if (probe) ++Probes;
    return probe;
  }
};

class udp_server_lifecycle : public ::testing::Test {
protected:
  void SetUp() override { TqynMainThread::SetMainThread(); }
};

TEST_F(udp_server_lifecycle, StartStopAndRestartRunOnTheirOwnThreads) {
  std::atomic<bool> release{false};
  std::atomic<bool> binding{false};
  TServer server;
  server.SetHost("127.0.0.1");
  server.SetPort(0);
  // Hold the activation inside the start thread: Start has returned, the server is not active yet.
  server.IdUDPServer()->OnBeforeBind = [&](TIdSocketHandle*) {
    binding = true;
    WaitUntil([&] { return release.load(); });
  };
  server.Start();
  ASSERT_TRUE(WaitUntil([&] { return binding.load(); }));
  EXPECT_FALSE(server.Active());
  release = true;
  ASSERT_TRUE(WaitUntil([&] { return server.Active(); }));
  EXPECT_TRUE(WaitUntil([&] { return server.Startups.load() == 1; }));
  const TIdPort port = server.BoundPort();

  server.ReStart();
  ASSERT_TRUE(WaitUntil([&] { return server.Startups.load() == 2 && server.Active(); }));
  EXPECT_EQ(server.Shutdowns.load(), 1);
  EXPECT_EQ(server.BoundPort(), port); // the same binding again

  TPeer peer;
  peer.Send(port, B("ping"));
  TqynBytes answer;
  ASSERT_TRUE(peer.Receive(answer));
  EXPECT_EQ(answer, B("ping"));

  server.Stop();
  ASSERT_TRUE(WaitUntil([&] { return !server.Active(); }));
  EXPECT_TRUE(WaitUntil([&] { return server.Shutdowns.load() == 2; }));
  // ReStart of an inactive server does nothing.
  server.ReStart();
  std::this_thread::sleep_for(200ms);
  EXPECT_FALSE(server.Active());
  EXPECT_EQ(server.Startups.load(), 2);
}

// Destroying the component at once after Start, Stop or ReStart (with or without a watchdog that
// keeps retrying) leaves no thread behind.
TEST_F(udp_server_lifecycle, DestructionRightAfterStartLeavesNoThread) {
  TIdThread::JoinFreedThreads();
  const int baseline = ThreadCount();
  TPeer busy;
  for (int round = 0; round < 20; ++round) {
    TServer server;
    server.SetHost("127.0.0.1");
    server.SetPort(round % 4 == 3 ? busy.Port() : 0);
    if (round % 2 == 1) server.UseWatchDog(1);
    if (round % 3 == 2) server.SetNotifyEvents(neAsynchronous);
    server.Start();
    if (round % 5 == 1) server.ReStart();
    if (round % 5 == 2) server.Stop();
    if (round % 5 == 3) {
      server.SetActive(true);
      server.ReStart();
    }
    if (round % 7 == 4) std::this_thread::sleep_for(1ms);
  }
  CheckSynchronize(0);
  TIdThread::JoinFreedThreads();
  EXPECT_TRUE(WaitUntil([&] { return ThreadCount() <= baseline; })) << ThreadCount() << " > " << baseline;
}

TEST_F(udp_server_lifecycle, ActivationOnABusyPortStaysInactiveWithoutRaising) {
  TPeer busy;
  TServer server;
  server.SetHost("127.0.0.1");
  server.SetPort(busy.Port());
  EXPECT_NO_THROW(server.SetActive(true));
  EXPECT_FALSE(server.Active());
  EXPECT_EQ(server.Startups.load(), 0);
  EXPECT_FALSE(server.WatchDogRunning());
  EXPECT_EQ(server.Bindings().Count(), 1);
  server.Start();
  std::this_thread::sleep_for(200ms);
  EXPECT_FALSE(server.Active());
  // Once the port is free, activation works with the same binding.
  busy.Close();
  server.SetActive(true);
  EXPECT_TRUE(server.Active());
}

// With the watchdog on, a server that could not bind comes up after its port frees.
TEST_F(udp_server_lifecycle, WatchDogBringsTheServerUpWhenThePortFrees) {
  for (TwsNotifyEvent mode : {neNoSync, neAsynchronous, neSynchronous}) {
    SCOPED_TRACE(static_cast<int>(mode));
    TPeer busy;
    const TIdPort port = busy.Port();
    TServer server;
    server.SetNotifyEvents(mode);
    server.SetHost("127.0.0.1");
    server.SetPort(port);
    server.UseWatchDog(1);
    server.SetActive(true);
    EXPECT_FALSE(server.Active());
    EXPECT_TRUE(server.WatchDogRunning());
    ASSERT_TRUE(DrainUntil([&] { return server.Ticks.load() >= 1; }, 15s));
    EXPECT_FALSE(server.Active());
    busy.Close();
    ASSERT_TRUE(DrainUntil([&] { return server.Active(); }, 20s));
    EXPECT_TRUE(DrainUntil([&] { return server.Startups.load() == 1; }));
    TPeer peer;
    peer.Send(port, B("up"));
    TqynBytes answer;
    ASSERT_TRUE(DrainUntil([&] { return peer.Receive(answer, 0); }));
    EXPECT_EQ(answer, B("up"));
    // Deactivation stops the watchdog: the server stays down.
    server.SetActive(false);
    EXPECT_FALSE(server.WatchDogRunning());
    DrainFor(1500ms);
    EXPECT_FALSE(server.Active());
  }
}

// Every tick counts towards Attempts, the count lives as long as the component, and a tick the
// application handles is neither acted on nor counted.
TEST_F(udp_server_lifecycle, WatchDogAttempts) {
  TPeer busy;
  TServer server;
  server.SetHost("127.0.0.1");
  server.SetPort(busy.Port());
  server.UseWatchDog(1, 2);
  server.SetActive(true);
  ASSERT_TRUE(WaitUntil([&] { return server.WatchDogAttempts() == 2; }, 15s));
  EXPECT_TRUE(WaitUntil([&] { return !server.WatchDogRunning(); }));
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(server.Ticks.load(), 2);
  EXPECT_FALSE(server.Active());

  // A new activation starts a new watchdog, which stops after its first tick.
  busy.Close();
  server.SetActive(true);
  ASSERT_TRUE(server.Active());
  EXPECT_TRUE(server.WatchDogRunning());
  ASSERT_TRUE(WaitUntil([&] { return server.Ticks.load() == 3; }, 15s));
  EXPECT_TRUE(WaitUntil([&] { return !server.WatchDogRunning(); }));
  EXPECT_EQ(server.WatchDogAttempts(), 3);
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(server.Ticks.load(), 3);
}

TEST_F(udp_server_lifecycle, HandledWatchDogTicksDoNothing) {
  TPeer busy;
  TServer server;
  server.HandleTicks = true;
  server.SetHost("127.0.0.1");
  server.SetPort(busy.Port());
  server.UseWatchDog(1, 5);
  server.SetActive(true);
  busy.Close();
  ASSERT_TRUE(WaitUntil([&] { return server.Ticks.load() >= 2; }, 15s));
  EXPECT_FALSE(server.Active());
  EXPECT_EQ(server.WatchDogAttempts(), 0);
  EXPECT_TRUE(server.WatchDogRunning());
}

// The monitor's probes come back to the server, which swallows them: they never reach OnUDPRead or
// the log, and a server that receives them is not restarted.
TEST_F(udp_server_lifecycle, MonitorProbesNeverReachTheApplication) {
  const std::string file =
      (std::filesystem::temp_directory_path() / ("qyn_udp_monitor_" + std::to_string(::getpid()) + ".log")).string();
  for (TwsNotifyEvent mode : {neNoSync, neAsynchronous}) {
    SCOPED_TRACE(static_cast<int>(mode));
    std::filesystem::remove(file);
    {
      TServer server;
      server.SetNotifyEvents(mode);
      server.SetHost("127.0.0.1");
      server.SetPort(0);
      TqynUDPLogFile log;
      log.Enabled = true;
      log.FileName = file;
      server.SetLogFile(log);
      server.UseWatchDog(1, 0, true, 2);
      server.SetActive(true);
      ASSERT_TRUE(server.Active());
      ASSERT_TRUE(DrainUntil([&] { return server.Probes.load() >= 3; }, 20s));
      EXPECT_EQ(server.Reads.load(), 0);
      EXPECT_EQ(server.Startups.load(), 1);
      EXPECT_TRUE(server.Active());
    }
    std::ifstream in(file, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    EXPECT_EQ(ss.str().find(RS_LogRecvPrefix), std::string::npos) << ss.str();
  }
  std::filesystem::remove(file);
}

// A server whose listener no longer receives (here: stuck in a handler) does not get its probe
// back, and the monitor restarts it after Monitor.TimeOut.
TEST_F(udp_server_lifecycle, MonitorRestartsAServerThatStoppedReceiving) {
  std::atomic<bool> stuck{false};
  TServer server;
  server.SetHost("127.0.0.1");
  server.SetPort(0);
  server.OnUDPRead = [&](TqynComponent_Base*, TqynUDPSocket* Socket, const TqynBytes& Bytes) {
    if (Bytes == B("block")) {
      stuck = true;
      // Until the restart stops this listener.
      WaitUntil([] { return TIdThread::Current()->Terminated(); }, 30s);
      return;
    }
    ++server.Reads;
    Socket->WriteData(Bytes);
  };
  server.UseWatchDog(1, 0, true, 1);
  server.SetActive(true);
  ASSERT_TRUE(server.Active());
  const TIdPort port = server.BoundPort();
  TPeer peer;
  peer.Send(port, B("block"));
  ASSERT_TRUE(WaitUntil([&] { return stuck.load(); }));
  ASSERT_TRUE(WaitUntil([&] { return server.Startups.load() == 2 && server.Active(); }, 20s));
  EXPECT_EQ(server.Shutdowns.load(), 1);
  peer.Send(port, B("again"));
  TqynBytes answer;
  ASSERT_TRUE(peer.Receive(answer));
  EXPECT_EQ(answer, B("again"));
}

} // namespace
