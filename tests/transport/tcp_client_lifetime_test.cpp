// qyn-test-labels: net
// TCP client component: stopping and destroying it from every thread that may do so, in every
// notification mode, the command mode and the watchdog. No test may hang, and no thread may be
// left behind.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qyn_test_tcp.h"
#include "qynBase_Sync.h"
#include "qynMessages.h"
#include "qynTCP_Client.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The project's own threads (a sanitizer's background thread is not one of them).
int ThreadCount() { return TIdThread::RunningCount(); }

// Event log shared by the handlers of one component.
struct Events {
  std::mutex M;
  std::vector<std::string> Log;
  void Add(const std::string& aWhat) {
    std::lock_guard<std::mutex> g(M);
    Log.push_back(aWhat);
  }
  size_t Count(const std::string& aPrefix) {
    std::lock_guard<std::mutex> g(M);
    size_t n = 0;
    for (const auto& l : Log)
      if (l.rfind(aPrefix, 0) == 0) ++n;
    return n;
  }
  size_t Size() {
    std::lock_guard<std::mutex> g(M);
    return Log.size();
  }
  void Attach(TqynTCPComponent& aComponent) {
    aComponent.OnConnect = [this](TqynTCPConnection*) { Add("connect"); };
    aComponent.OnDisconnect = [this](TqynTCPConnection*) { Add("disconnect"); };
    aComponent.OnBinary = [this](TqynTCPConnection*, TqynMemoryStream& d) { Add("binary:" + Text(d.Bytes())); };
    aComponent.OnException = [this](TqynTCPConnection*, const Exception& E) { Add("exception:" + E.Message()); };
  }
};

class TCPClientLifetime : public ::testing::Test {
protected:
  void SetUp() override {
    TqynMainThread::SetMainThread();
    TIdThread::JoinFreedThreads();
    FBaseline = ThreadCount();
  }
  void TearDown() override {
    while (CheckSynchronize(0)) {
    }
    TIdThread::JoinFreedThreads();
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount() == FBaseline; })) << "threads left behind";
  }
  // The threads this test started and that still run.
  int ExtraThreads() const { return ThreadCount() - FBaseline; }
  // True once the threads this test started are gone. A joined thread can still be listed for a
  // moment after the join returned (the kernel wakes the joiner before it removes the thread).
  bool NoExtraThreads() const {
    return WaitUntil([&] { return ExtraThreads() == 0; });
  }
  int FBaseline = 0;
};
using tcp_client_lifetime = TCPClientLifetime;

std::unique_ptr<TqynTCPCLient_Base> NewClient(TIdPort aPort, TwsNotifyEvent aMode = neNoSync) {
  auto c = std::make_unique<TqynTCPCLient_Base>();
  c->SetNotifyEvents(aMode);
  c->SetHost("127.0.0.1");
  c->SetPort(aPort);
  return c;
}

const TwsNotifyEvent KAllModes[] = {neNoSync, neAsynchronous, neSynchronous};

} // namespace

// Disconnecting stops and joins the read thread at once, in every mode.
TEST_F(tcp_client_lifetime, DisconnectJoinsTheReadThread) {
  for (TwsNotifyEvent mode : KAllModes) {
    SCOPED_TRACE(int(mode));
    TestServer server;
    auto c = NewClient(server.Port(), mode);
    Events e;
    e.Attach(*c);
    ASSERT_TRUE(c->Connect(10000));
    const int peer = server.Accept();
    ASSERT_GE(peer, 0);
    EXPECT_EQ(ExtraThreads(), 1); // the read thread
    const auto start = Clock::now();
    EXPECT_TRUE(c->Disconnect(5000));
    EXPECT_LT(Clock::now() - start, 5s);
    EXPECT_TRUE(NoExtraThreads());
    EXPECT_FALSE(c->Active());
    EXPECT_TRUE(WaitForEof(peer));
    ASSERT_TRUE(DrainUntil([&] { return e.Count("disconnect") == 1; }));
  }
}

// Destroying a connected component joins its thread, and no event arrives afterwards, also not
// from notifications that were still queued.
TEST_F(tcp_client_lifetime, DestroyWhileConnectedStopsEverything) {
  for (TwsNotifyEvent mode : KAllModes) {
    SCOPED_TRACE(int(mode));
    TestServer server;
    auto c = NewClient(server.Port(), mode);
    Events e;
    e.Attach(*c);
    ASSERT_TRUE(c->Connect(10000));
    const int peer = server.Accept();
    ASSERT_GE(peer, 0);
    auto conn = c->Connection();
    SendAll(peer, Bytes("pending"));
    // neSynchronous: the read thread now waits for this (main) thread, which does not drain.
    ASSERT_TRUE(WaitUntil([&] { return mode == neNoSync ? e.Count("binary:") == 1 : conn->RecBytes() == 7; }));
    const size_t before = e.Size();
    const auto start = Clock::now();
    c.reset();
    EXPECT_LT(Clock::now() - start, 5s);
    EXPECT_TRUE(NoExtraThreads());
    EXPECT_TRUE(WaitForEof(peer));
    while (CheckSynchronize(0)) {
    }
    EXPECT_EQ(e.Size(), before);
    EXPECT_TRUE(conn->Freed());
  }
}

// A neNoSync handler on the read thread may disconnect: the thread is not joined by itself, the
// disconnect is notified at once, and the thread ends afterwards.
TEST_F(tcp_client_lifetime, DisconnectFromAHandlerOnTheReadThread) {
  TestServer server;
  auto c = NewClient(server.Port());
  Events e;
  e.Attach(*c);
  std::thread::id disconnectThread;
  c->OnBinary = [&](TqynTCPConnection*, TqynMemoryStream& d) {
    e.Add("binary:" + Text(d.Bytes()));
    EXPECT_TRUE(c->Disconnect(1000));
    e.Add("after");
  };
  c->OnDisconnect = [&](TqynTCPConnection*) {
    disconnectThread = std::this_thread::get_id();
    e.Add("disconnect");
  };
  ASSERT_TRUE(c->Connect(10000));
  const int peer = server.Accept();
  ASSERT_GE(peer, 0);
  SendAll(peer, Bytes("stop"));
  ASSERT_TRUE(WaitUntil([&] { return e.Count("after") == 1; }));
  EXPECT_EQ(e.Log, (std::vector<std::string>{"connect", "binary:stop", "disconnect", "after"}));
  EXPECT_NE(disconnectThread, std::this_thread::get_id());
  EXPECT_FALSE(c->Active());
  EXPECT_TRUE(WaitForEof(peer));
  EXPECT_TRUE(WaitUntil([&] { return ExtraThreads() == 0; }));
  // The component connects again with a new read thread.
  ASSERT_TRUE(c->Connect(10000));
  EXPECT_GE(server.Accept(), 0);
}

// A neNoSync handler on the read thread may destroy the component. Table over the handlers that
// run there.
TEST_F(tcp_client_lifetime, DestroyFromAHandlerOnTheReadThread) {
  enum TWhere { wBinary, wException, wDisconnect };
  for (TWhere where : {wBinary, wException, wDisconnect}) {
    SCOPED_TRACE(int(where));
    TestServer server;
    auto c = NewClient(server.Port());
    std::atomic<bool> destroyed{false};
    std::atomic<int> afterwards{0};
    auto destroy = [&] {
      destroyed = true;
      c.reset(); // last statement: the handler's own function object goes with the component
    };
    c->OnBinary = [&](TqynTCPConnection*, TqynMemoryStream&) {
      if (destroyed) ++afterwards;
      else if (where == wBinary) destroy();
    };
    c->OnException = [&](TqynTCPConnection*, const Exception&) {
      if (destroyed) ++afterwards;
      else if (where == wException) destroy();
    };
    c->OnDisconnect = [&](TqynTCPConnection*) {
      if (destroyed) ++afterwards;
      else if (where == wDisconnect) destroy();
    };
    ASSERT_TRUE(c->Connect(10000));
    const int peer = server.Accept();
    ASSERT_GE(peer, 0);
    SendAll(peer, Bytes("data"));
    if (where != wBinary) server.ClosePeer(peer);
    ASSERT_TRUE(WaitUntil([&] { return destroyed.load(); }));
    // The read thread frees itself once its handler has returned, which may be a moment after
    // the handler set the flag: wait until it has ended.
    EXPECT_TRUE(WaitUntil([&] {
      TIdThread::JoinFreedThreads();
      return ExtraThreads() == 0;
    }));
    EXPECT_EQ(afterwards.load(), 0);
    if (where == wBinary) {
      EXPECT_TRUE(WaitForEof(peer));
    }
  }
}

// A neNoSync OnDisconnect handler reconnects after the peer closed: the old read thread cannot
// be joined from there and frees itself; the new connection works.
TEST_F(tcp_client_lifetime, ReconnectFromOnDisconnect) {
  TestServer server;
  auto c = NewClient(server.Port());
  Events e;
  e.Attach(*c);
  std::atomic<bool> reconnected{false};
  c->OnDisconnect = [&](TqynTCPConnection*) {
    e.Add("disconnect");
    if (!reconnected) reconnected = c->Connect(10000);
  };
  ASSERT_TRUE(c->Connect(10000));
  const int first = server.Accept();
  ASSERT_GE(first, 0);
  server.ClosePeer(first);
  const int second = server.Accept();
  ASSERT_GE(second, 0);
  ASSERT_TRUE(WaitUntil([&] { return reconnected.load() && c->Active(); }));
  c->WriteData(Bytes("again"));
  EXPECT_EQ(Text(ReadExactly(second, 5)), "again");
  SendAll(second, Bytes("reply"));
  ASSERT_TRUE(WaitUntil([&] { return e.Count("binary:reply") == 1; }));
  EXPECT_EQ(e.Count("connect"), 2u);
  c.reset();
  TIdThread::JoinFreedThreads();
  EXPECT_TRUE(NoExtraThreads());
}

// A queued handler (on the main thread, inside a drain) may disconnect or destroy the component
// while its read thread is busy notifying.
TEST_F(tcp_client_lifetime, StopFromAQueuedHandler) {
  for (TwsNotifyEvent mode : {neAsynchronous, neSynchronous}) {
    for (bool destroy : {false, true}) {
      SCOPED_TRACE(std::to_string(int(mode)) + (destroy ? " destroy" : " disconnect"));
      TestServer server;
      auto c = NewClient(server.Port(), mode);
      std::atomic<int> binaries{0};
      c->OnBinary = [&](TqynTCPConnection*, TqynMemoryStream&) {
        if (++binaries != 1) return;
        if (destroy) c.reset();
        else c->SetActive(false);
      };
      ASSERT_TRUE(c->Connect(10000));
      const int peer = server.Accept();
      ASSERT_GE(peer, 0);
      // Keep data coming so that the read thread is notifying while the handler stops it.
      std::atomic<bool> stop{false};
      std::thread sender([&] {
        while (!stop) {
          if (::send(peer, "xxxx", 4, MSG_NOSIGNAL) < 0) break;
          std::this_thread::sleep_for(1ms);
        }
      });
      ASSERT_TRUE(DrainUntil([&] { return binaries.load() >= 1; }));
      ASSERT_TRUE(DrainUntil([&] { return !c || !c->Active(); }));
      stop = true;
      sender.join();
      EXPECT_TRUE(DrainUntil([&] { return ExtraThreads() == 0; })); // the read thread ended
      c.reset();
    }
  }
}

// SetActive(false) on another thread cancels a connect that cannot complete.
TEST_F(tcp_client_lifetime, DisconnectCancelsAConnectInProgress) {
  TestServer full(0);
  std::vector<int> fillers;
  for (int i = 0; i < 16; ++i) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(full.Port());
    ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    fillers.push_back(fd);
  }
  std::this_thread::sleep_for(50ms);
  auto c = NewClient(full.Port());
  Events e;
  e.Attach(*c);
  auto attempt = std::async(std::launch::async, [&] { return c->Connect(60000); });
  // Keep cancelling until the attempt gives up (a first cancel may come before the connect).
  ASSERT_TRUE(WaitUntil([&] {
    c->SetActive(false);
    return attempt.wait_for(5ms) == std::future_status::ready;
  }));
  EXPECT_FALSE(attempt.get());
  EXPECT_FALSE(c->Active());
  ASSERT_EQ(e.Count("exception:"), 1u);
  EXPECT_EQ(e.Log[0], "exception:" + EIdSocketError::FromErrno(ECANCELED).Message());
  for (int fd : fillers) ::close(fd);
}

// Writers on other threads while the component disconnects: writes either go through or raise.
TEST_F(tcp_client_lifetime, WritesRacingADisconnect) {
  TestServer server;
  for (int round = 0; round < 5; ++round) {
    auto c = NewClient(server.Port());
    ASSERT_TRUE(c->Connect(10000));
    ASSERT_GE(server.Accept(), 0);
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::vector<std::thread> writers;
    for (int w = 0; w < 2; ++w) {
      writers.emplace_back([&] {
        auto conn = c->Connection();
        while (!stop) {
          try {
            if (conn) conn->WriteBytes(Bytes("payload"));
          } catch (const EIdException&) {
            ++failures;
            return;
          }
        }
      });
    }
    std::this_thread::sleep_for(5ms);
    EXPECT_TRUE(c->Disconnect(5000));
    stop = true;
    for (auto& t : writers) t.join();
  }
}

// Command mode: the read thread connects, writes and disconnects on request, and stays for
// further commands across connections.
TEST_F(tcp_client_lifetime, CommandModeRunsQueuedWork) {
  TestServer server;
  auto c = NewClient(server.Port());
  c->SetTCPMode(tcpmCommands);
  Events e;
  e.Attach(*c);
  // With no read thread yet, tcmActive connects at once.
  c->AddCommand(tcmActive);
  EXPECT_TRUE(c->Active());
  int peer = server.Accept();
  ASSERT_GE(peer, 0);
  c->AddBytes(Bytes("cmd-one"));
  EXPECT_EQ(Text(ReadExactly(peer, 7)), "cmd-one");
  SendAll(peer, Bytes("answer"));
  ASSERT_TRUE(WaitUntil([&] { return e.Count("binary:answer") == 1; }));

  c->AddCommand(tcmNotActive);
  ASSERT_TRUE(WaitUntil([&] { return e.Count("disconnect") == 1; }));
  EXPECT_FALSE(c->Active());
  EXPECT_TRUE(WaitForEof(peer));
  EXPECT_EQ(ExtraThreads(), 1); // the read thread stays

  c->AddCommand(tcmActive);
  c->AddBytes(Bytes("cmd-two"));
  peer = server.Accept();
  ASSERT_GE(peer, 0);
  EXPECT_EQ(Text(ReadExactly(peer, 7)), "cmd-two");
  ASSERT_TRUE(WaitUntil([&] { return e.Count("connect") == 2; }));

  // A peer close in command mode: reported, and the thread waits for further commands.
  server.ClosePeer(peer);
  ASSERT_TRUE(WaitUntil([&] { return e.Count("disconnect") == 2; }));
  EXPECT_EQ(e.Count(std::string("exception:") + RS_ConnClosedGracefully), 1u);
  EXPECT_EQ(ExtraThreads(), 1);
  c->AddCommand(tcmActive);
  ASSERT_GE(server.Accept(), 0);
  ASSERT_TRUE(WaitUntil([&] { return e.Count("connect") == 3; }));
  EXPECT_EQ(c->CommandCount(), 0);
  c.reset();
  EXPECT_TRUE(NoExtraThreads());
}

// Command mode: another thread reconnects while the read thread still finishes the previous
// connection; the new connection is not closed by the old one's end.
TEST_F(tcp_client_lifetime, CommandModeReconnectsRacingAPeerClose) {
  TestServer server;
  auto c = NewClient(server.Port());
  c->SetTCPMode(tcpmCommands);
  Events e;
  e.Attach(*c);
  for (int i = 0; i < 20; ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(WaitUntil([&] { return c->Connect(10000); }));
    const int peer = server.Accept();
    ASSERT_GE(peer, 0);
    server.ClosePeer(peer);
    // Reconnect at once, while the peer close is being handled.
    ASSERT_TRUE(WaitUntil([&] { return !c->Active(); }));
    ASSERT_TRUE(c->Connect(10000));
    const int next = server.Accept();
    ASSERT_GE(next, 0);
    std::this_thread::sleep_for(2ms);
    ASSERT_TRUE(WaitUntil([&] { return c->Active(); }));
    c->WriteData(Bytes("alive"));
    EXPECT_EQ(Text(ReadExactly(next, 5)), "alive");
    EXPECT_TRUE(c->Disconnect(5000));
    EXPECT_TRUE(WaitForEof(next));
  }
  EXPECT_EQ(ExtraThreads(), 1);
}

// In the default mode the commands are carried out at once.
TEST_F(tcp_client_lifetime, CommandsInDefaultModeRunAtOnce) {
  TestServer server;
  auto c = NewClient(server.Port());
  c->AddCommand(tcmActive);
  ASSERT_TRUE(c->Active());
  const int peer = server.Accept();
  ASSERT_GE(peer, 0);
  c->AddBytes(Bytes("now"));
  EXPECT_EQ(Text(ReadExactly(peer, 3)), "now");
  c->AddCommand(tcmNotActive);
  EXPECT_FALSE(c->Active());
  EXPECT_EQ(c->CommandCount(), 0);
}

// Many connections one after the other: one read thread at a time, none left.
TEST_F(tcp_client_lifetime, RepeatedConnectionsLeaveNoThreads) {
  TestServer server;
  auto c = NewClient(server.Port());
  Events e;
  e.Attach(*c);
  for (int i = 0; i < 25; ++i) {
    ASSERT_TRUE(c->Connect(10000));
    const int peer = server.Accept();
    ASSERT_GE(peer, 0);
    SendAll(peer, Bytes("n"));
    if (i % 2) server.ClosePeer(peer); // half end by the peer, half by this side
    ASSERT_TRUE(WaitUntil([&] { return e.Count("binary:") == size_t(i + 1); }));
    if (i % 2) {
      ASSERT_TRUE(WaitUntil([&] { return e.Count("disconnect") == size_t(i + 1); }));
    } else {
      EXPECT_TRUE(c->Disconnect(5000));
    }
    EXPECT_LE(ExtraThreads(), 1);
  }
  EXPECT_EQ(e.Count("connect"), 25u);
  EXPECT_EQ(e.Count("disconnect"), 25u);
}

// The watchdog only counts: it starts after a failed connect, stops itself after Attempts ticks,
// and goes with the component.
TEST_F(tcp_client_lifetime, WatchDogCountsAndStops) {
  TestServer notListening(NotListening);
  {
    auto c = NewClient(notListening.Port());
    c->WatchDog().Enabled = true;
    c->WatchDog().Interval = 0; // the shortest period, 100 ms
    c->WatchDog().Attempts = 2;
    EXPECT_FALSE(c->Connect(10000));
    ASSERT_TRUE(WaitUntil([&] { return c->WatchDogTicks() == 2 && !c->WatchDogRunning(); }));
    std::this_thread::sleep_for(250ms);
    EXPECT_EQ(c->WatchDogTicks(), 2);
  }
  {
    auto c = NewClient(notListening.Port());
    c->WatchDog().Enabled = true;
    EXPECT_FALSE(c->Connect(10000));
    EXPECT_TRUE(c->WatchDogRunning());
    const auto start = Clock::now();
    c.reset();
    EXPECT_LT(Clock::now() - start, 5s);
  }
  {
    // Without the watchdog enabled no timer starts.
    auto c = NewClient(notListening.Port());
    EXPECT_FALSE(c->Connect(10000));
    EXPECT_FALSE(c->WatchDogRunning());
  }
}
