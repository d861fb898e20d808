// qyn-test-labels: net
//
// Relay bindings of the UDP server component as a server holding thousands of them needs them:
// one descriptor each (no eventfd beside the socket), all served by one poller thread, removable
// from any thread (from their own handler too) while datagrams arrive, and the socket buffers
// asked for the listening binding. Also the socket handle's wake-up by shutdown and the thread's
// stack size underneath.

#include <pthread.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qynBase_Sync.h"
#include "qynId_Sockets.h"
#include "qynUDP_Server.h"
#include "qyn_test_proc.h"
#include "qyn_test_udp.h"
#include "qyn_test_wait.h"

using namespace std::chrono_literals;

namespace {

struct RelayBindings : ::testing::Test {
  TqynUDPServer_Base Server;
  std::atomic<int> Reads{0};
  std::atomic<TIdPort> LastLocalPort{0};

  void SetUp() override {
    Server.SetNotifyEvents(neNoSync);
    Server.SetHost("127.0.0.1");
    Server.SetPort(0);
    Server.OnUDPRead = [this](TqynComponent_Base*, TqynUDPSocket* aSocket, const TqynBytes&) {
      LastLocalPort.store(aSocket->LocalPort());
      ++Reads;
    };
    Server.SetActive(true);
    ASSERT_TRUE(Server.Active());
  }
  void TearDown() override { Server.SetActive(false); }

  TIdUDPListenerThread* ListenerOf(TIdSocketHandle* aBinding) { return Server.IdUDPServer()->ListenerOf(aBinding); }
};

TEST_F(RelayBindings, EachCostsOneDescriptorAndAllShareOnePollerThread) {
  const int fds = OpenDescriptors();
  const int threads = ThreadCount();
  std::vector<TIdPort> ports;
  for (int i = 0; i < 50; ++i) ports.push_back(Server.AddRelayBinding("127.0.0.1", 0, "Relay_")->Port());
  // 50 sockets, plus the poller's epoll instance and its wake-up, made with the first relay.
  EXPECT_EQ(OpenDescriptors() - fds, 52);
  EXPECT_TRUE(WaitUntil([&] { return ThreadCount() - threads == 1; }));
  // A plain binding keeps its eventfd and its own listener thread.
  TIdSocketHandle* plain = Server.AddBinding("127.0.0.1", 0, "plain");
  EXPECT_EQ(OpenDescriptors() - fds, 54);
  EXPECT_TRUE(WaitUntil([&] { return ThreadCount() - threads == 2; }));
  Server.RemoveBinding("127.0.0.1", plain->Port());
  for (TIdPort p : ports) EXPECT_TRUE(Server.RemoveBinding("127.0.0.1", p));
  EXPECT_EQ(OpenDescriptors() - fds, 2);
  // The poller goes with the server's stop.
  Server.SetActive(false);
  EXPECT_TRUE(WaitUntil([&] { return ThreadCount() < threads; }));
  EXPECT_LT(OpenDescriptors(), fds);
}

TEST_F(RelayBindings, ListenerIsPooledAndItsSocketHasNoEventfd) {
  TIdSocketHandle* relay = Server.AddRelayBinding("127.0.0.1", 0, "Relay_");
  TIdUDPListenerThread* listener = ListenerOf(relay);
  ASSERT_NE(listener, nullptr);
  EXPECT_TRUE(listener->Pooled());
  EXPECT_FALSE(listener->Started()); // no thread of its own
  EXPECT_TRUE(relay->WakeByShutdown());
  // The listening binding keeps the ordinary listener.
  TIdUDPListenerThread* main = ListenerOf(Server.Bindings().Items(0));
  ASSERT_NE(main, nullptr);
  EXPECT_FALSE(main->Pooled());
  EXPECT_FALSE(Server.Bindings().Items(0)->WakeByShutdown());
}

TEST_F(RelayBindings, EveryDatagramOfEveryRelayArrivesWholeOnItsBinding) {
  // Several relays, each sent more datagrams than one pass takes, of sizes up to the buffer's,
  // an empty one among them: every one arrives, on the binding it was sent to.
  std::mutex lock;
  std::map<TIdPort, std::vector<size_t>> got;
  Server.OnUDPRead = [&](TqynComponent_Base*, TqynUDPSocket* aSocket, const TqynBytes& aData) {
    std::lock_guard<std::mutex> g(lock);
    got[aSocket->LocalPort()].push_back(aData.size());
  };
  std::vector<TIdPort> ports;
  for (int i = 0; i < 4; ++i) ports.push_back(Server.AddRelayBinding("127.0.0.1", 0, "Relay_")->Port());
  const std::vector<size_t> sizes{1, 0, 100, 8192, 1200, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17};
  RawClient peer;
  ASSERT_TRUE(peer.Ok());
  for (TIdPort p : ports)
    for (size_t n : sizes) peer.Send(p, TqynBytes(n, 0x5a));
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> g(lock);
    size_t total = 0;
    for (auto& [port, list] : got) total += list.size();
    return total == ports.size() * sizes.size();
  }));
  std::lock_guard<std::mutex> g(lock);
  for (TIdPort p : ports) EXPECT_EQ(got[p], sizes) << p;
}

TEST_F(RelayBindings, ADatagramLongerThanTheBufferIsReportedAndTheRelayGoesOn) {
  std::atomic<int> errors{0};
  Server.OnUDPException = [&](TqynComponent_Base*, TqynUDPSocket*, const Exception&) { ++errors; };
  const TIdPort port = Server.AddRelayBinding("127.0.0.1", 0, "Relay_")->Port();
  RawClient peer;
  peer.Send(port, TqynBytes(static_cast<size_t>(Server.IdUDPServer()->BufferSize()) + 1, 1));
  peer.Send(port, TqynBytes{2});
  EXPECT_TRUE(WaitUntil([&] { return Reads.load() == 1 && errors.load() == 1; }));
}

TEST_F(RelayBindings, WhatARelaysHandlerSendsLeavesInOrderAndAFailedSendIsReported) {
  // Each relay datagram is answered through the listening binding (as a TURN server answers its
  // client): the answers of one pass go out together, in order; one that the system refuses
  // (port 0) is reported on the relay and the others still go.
  std::atomic<int> errors{0};
  Server.OnUDPException = [&](TqynComponent_Base*, TqynUDPSocket*, const Exception&) { ++errors; };
  RawClient client;
  const TIdPort listening = Server.Bindings().Items(0)->Port();
  Server.OnUDPRead = [&](TqynComponent_Base*, TqynUDPSocket*, const TqynBytes& aData) {
    const TIdPort to = aData.at(0) == 0xff ? 0 : client.Port();
    Server.WriteData("127.0.0.1", listening, "127.0.0.1", to, aData);
  };
  const TIdPort relay = Server.AddRelayBinding("127.0.0.1", 0, "Relay_")->Port();
  RawClient peer;
  for (uint8_t i = 0; i < 12; ++i) peer.Send(relay, TqynBytes{i});
  peer.Send(relay, TqynBytes{0xff});
  peer.Send(relay, TqynBytes{12});
  for (uint8_t i = 0; i <= 12; ++i) {
    uint16_t from = 0;
    EXPECT_EQ(client.Receive(10000, &from), TqynBytes{i});
    EXPECT_EQ(from, listening);
  }
  EXPECT_TRUE(WaitUntil([&] { return errors.load() == 1; }));
}

TEST_F(RelayBindings, ABusyRelayDoesNotStarveTheOthers) {
  // One relay's handler is slow and its socket holds a hundred datagrams: a datagram for another
  // relay is served within the next round of the poller, not after the whole queue.
  const TIdPort busy = Server.AddRelayBinding("127.0.0.1", 0, "Relay_")->Port();
  const TIdPort quiet = Server.AddRelayBinding("127.0.0.1", 0, "Relay_")->Port();
  std::atomic<int> busyDone{0};
  std::atomic<int> busyDoneWhenQuiet{-1};
  Server.OnUDPRead = [&](TqynComponent_Base*, TqynUDPSocket* aSocket, const TqynBytes&) {
    if (aSocket->LocalPort() == quiet) {
      busyDoneWhenQuiet.store(busyDone.load());
      return;
    }
    std::this_thread::sleep_for(2ms);
    ++busyDone;
  };
  RawClient peer;
  for (int i = 0; i < 100; ++i) peer.Send(busy, TqynBytes{1});
  peer.Send(quiet, TqynBytes{2});
  ASSERT_TRUE(WaitUntil([&] { return busyDoneWhenQuiet.load() >= 0; }));
  EXPECT_LT(busyDoneWhenQuiet.load(), 50);
  EXPECT_TRUE(WaitUntil([&] { return busyDone.load() == 100; }));
}

TEST_F(RelayBindings, AHandlerRemovesItsOwnRelayAndAnotherOne) {
  // On the poller's thread: removing the binding being served (its listener is freed once the
  // pass ends) and removing another one (whose queued datagrams are then never handed out).
  const TIdPort self = Server.AddRelayBinding("127.0.0.1", 0, "Relay_")->Port();
  const TIdPort other = Server.AddRelayBinding("127.0.0.1", 0, "Relay_")->Port();
  const TIdPort survivor = Server.AddRelayBinding("127.0.0.1", 0, "Relay_")->Port();
  std::atomic<int> survivorReads{0};
  std::atomic<int> removed{0};
  Server.OnUDPRead = [&](TqynComponent_Base*, TqynUDPSocket* aSocket, const TqynBytes&) {
    const TIdPort port = aSocket->LocalPort();
    if (port == survivor) ++survivorReads;
    if (port == self) {
      removed += Server.RemoveBinding("127.0.0.1", other) ? 1 : 0;
      removed += Server.RemoveBinding("127.0.0.1", self) ? 1 : 0;
    }
  };
  RawClient peer;
  peer.Send(other, TqynBytes{0});
  for (int i = 0; i < 5; ++i) peer.Send(self, TqynBytes{1});
  ASSERT_TRUE(WaitUntil([&] { return removed.load() == 2; }));
  peer.Send(survivor, TqynBytes{2});
  EXPECT_TRUE(WaitUntil([&] { return survivorReads.load() == 1; }));
  EXPECT_EQ(Server.GetBinding("127.0.0.1", self), nullptr);
  EXPECT_EQ(Server.GetBinding("127.0.0.1", other), nullptr);
  EXPECT_EQ(Server.IdUDPServer()->ListenerCount(), 2); // the listening binding and the survivor
}

TEST_F(RelayBindings, ARemovalFromAnotherThreadWaitsForTheRunningHandler) {
  // The binding's handler is running on the poller: RemoveBinding returns only after it ended,
  // so the caller may free what the handler uses.
  const TIdPort port = Server.AddRelayBinding("127.0.0.1", 0, "Relay_")->Port();
  std::atomic<bool> inside{false};
  std::atomic<bool> release{false};
  std::atomic<bool> ended{false};
  Server.OnUDPRead = [&](TqynComponent_Base*, TqynUDPSocket*, const TqynBytes&) {
    inside.store(true);
    while (!release.load()) std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(50ms);
    ended.store(true);
  };
  RawClient peer;
  peer.Send(port, TqynBytes{1});
  ASSERT_TRUE(WaitUntil([&] { return inside.load(); }));
  auto removal = std::async(std::launch::async, [&] { return Server.RemoveBinding("127.0.0.1", port); });
  EXPECT_EQ(removal.wait_for(100ms), std::future_status::timeout);
  release.store(true);
  ASSERT_EQ(removal.wait_for(10s), std::future_status::ready);
  EXPECT_TRUE(ended.load());
  EXPECT_TRUE(removal.get());
}

TEST_F(RelayBindings, StoppingWithIdleRelaysIsPromptAndTheNextStartListensAgain) {
  const int threads = ThreadCount();
  std::vector<TIdPort> ports;
  for (int i = 0; i < 20; ++i) ports.push_back(Server.AddRelayBinding("127.0.0.1", 0, "Relay_")->Port());
  ASSERT_TRUE(WaitUntil([&] { return ThreadCount() - threads == 1; }));
  std::this_thread::sleep_for(100ms); // the poller is inside its wait
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(Server.RemoveBinding("127.0.0.1", ports.back()));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  start = std::chrono::steady_clock::now();
  Server.SetActive(false);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_TRUE(WaitUntil([&] { return ThreadCount() < threads; })); // the listening binding's went too
  // The relay bindings survive the stop and are listened on again by the next activation.
  Server.SetActive(true);
  ASSERT_TRUE(Server.Active());
  RawClient peer;
  peer.Send(ports.front(), TqynBytes{7});
  EXPECT_TRUE(WaitUntil([&] { return Reads.load() == 1; }));
  EXPECT_TRUE(ListenerOf(Server.GetBinding("127.0.0.1", ports.front()))->Pooled());
}

TEST(RelayBindingsOnTheMainThread, RemovingARelayWhoseDatagramWaitsForTheMainThreadDoesNotDeadlock) {
  // Events synchronised to the main thread (the test thread): the poller waits there with a
  // relay's datagram while the main thread, without running its queue, removes that relay and
  // then stops the server. The removal withdraws the waiting call; the stop ends promptly.
  TqynMainThread::SetMainThread();
  TqynUDPServer_Base server;
  server.SetNotifyEvents(neSynchronous);
  server.SetHost("127.0.0.1");
  server.SetPort(0);
  std::atomic<int> reads{0};
  server.OnUDPRead = [&](TqynComponent_Base*, TqynUDPSocket*, const TqynBytes&) { ++reads; };
  server.SetActive(true);
  ASSERT_TRUE(server.Active());
  const TIdPort held = server.AddRelayBinding("127.0.0.1", 0, "Relay_")->Port();
  const TIdPort other = server.AddRelayBinding("127.0.0.1", 0, "Relay_")->Port();
  RawClient peer;
  peer.Send(held, TqynBytes{1});
  ASSERT_TRUE(WaitUntil([] { return TqynMainThread::PendingCount() > 0; }));
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(server.RemoveBinding("127.0.0.1", held));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  // The poller serves the other relay again (the withdrawn call's datagram stays queued for the
  // handler and comes with the next drain).
  peer.Send(other, TqynBytes{2});
  EXPECT_TRUE(DrainUntil([&] { return reads.load() == 2; }));
  peer.Send(other, TqynBytes{3});
  ASSERT_TRUE(WaitUntil([] { return TqynMainThread::PendingCount() > 0; }));
  start = std::chrono::steady_clock::now();
  server.SetActive(false);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  while (CheckSynchronize(0)) {
  }
}

TEST_F(RelayBindings, ListeningBindingGetsTheBuffersAskedForAndRelayBindingsDoNot) {
  TIdSocketHandle* listening = Server.Bindings().Items(0);
  const int wanted = TqynUDPServer_Base::KDefaultSocketBufferSize;
  // Linux reports twice the size granted; a kernel that caps it grants less, which the
  // component reads back and tells.
  EXPECT_EQ(listening->GetSockOpt(SOL_SOCKET, SO_RCVBUF), Server.GrantedReceiveBuffer());
  EXPECT_EQ(listening->GetSockOpt(SOL_SOCKET, SO_SNDBUF), Server.GrantedSendBuffer());
  EXPECT_GT(Server.GrantedReceiveBuffer(), 212992); // more than the system's default
  EXPECT_LE(Server.GrantedReceiveBuffer(), 2 * wanted);
  TIdSocketHandle* relay = Server.AddRelayBinding("127.0.0.1", 0, "Relay_");
  EXPECT_LT(relay->GetSockOpt(SOL_SOCKET, SO_RCVBUF), Server.GrantedReceiveBuffer());
}

TEST_F(RelayBindings, ABurstOfRequestsWaitingOnTheListeningBindingIsNotLost) {
  // The listener is held inside its handler while 256 datagrams of 500 bytes (an authenticated
  // request with room to spare) queue on the socket: the buffer holds them all (the system's
  // default of 208 KB does not).
  std::atomic<bool> hold{true};
  std::atomic<int> got{0};
  Server.OnUDPRead = [&](TqynComponent_Base*, TqynUDPSocket*, const TqynBytes&) {
    while (hold.load()) std::this_thread::sleep_for(1ms);
    ++got;
  };
  const TIdPort port = Server.Bindings().Items(0)->Port();
  std::vector<std::unique_ptr<RawClient>> clients;
  for (int i = 0; i < 16; ++i) clients.push_back(std::make_unique<RawClient>());
  clients[0]->Send(port, TqynBytes(100, 1)); // the one the listener holds
  std::this_thread::sleep_for(50ms);
  for (int i = 0; i < 256; ++i) clients[static_cast<size_t>(i % 16)]->Send(port, TqynBytes(500, 2));
  hold.store(false);
  EXPECT_TRUE(WaitUntil([&] { return got.load() == 257; }));
}

TEST_F(RelayBindings, TheListeningBindingsAddressIsNeverTakenForARelay) {
  TIdSocketHandle* listening = Server.Bindings().Items(0);
  EXPECT_THROW(Server.AddRelayBinding("127.0.0.1", listening->Port(), "Relay_"), EIdSocketError);
  EXPECT_FALSE(Server.IsRelayBinding(listening));
  EXPECT_EQ(Server.Bindings().Count(), 1);
  RawClient client;
  client.Send(listening->Port(), TqynBytes{9});
  EXPECT_TRUE(WaitUntil([&] { return Reads.load() == 1; }));
}

// ---- The socket layer underneath ----

TEST(WakeByShutdown, AReadWaitWithoutLimitEndsOnWakeupAndOnClose) {
  for (const bool close : {false, true}) {
    TIdSocketHandle h;
    h.SetWakeByShutdown(true);
    h.SetIP("127.0.0.1");
    const int fds = OpenDescriptors();
    h.AllocateSocket(Id_SOCK_DGRAM);
    EXPECT_EQ(OpenDescriptors() - fds, 1);
    h.Bind();
    auto waiting = std::async(std::launch::async, [&] { return h.Readable(IdTimeoutInfinite); });
    EXPECT_EQ(waiting.wait_for(200ms), std::future_status::timeout);
    if (close) h.CloseSocket();
    else h.Wakeup();
    ASSERT_EQ(waiting.wait_for(5s), std::future_status::ready);
    EXPECT_FALSE(waiting.get());
    if (!close) {
      EXPECT_TRUE(h.ReadShutDown());
      EXPECT_FALSE(h.Readable(IdTimeoutInfinite)); // reading stays shut: returns at once
    }
  }
}

TEST(WakeByShutdown, SendsAndReceivesLikeAnyDatagramSocket) {
  TIdSocketHandle h;
  h.SetWakeByShutdown(true);
  h.SetIP("127.0.0.1");
  h.AllocateSocket(Id_SOCK_DGRAM);
  h.Bind();
  RawClient peer;
  h.SendTo("127.0.0.1", peer.Port(), Id_IPv4, TqynBytes{1, 2});
  EXPECT_EQ(peer.Receive(5000), (TqynBytes{1, 2}));
  peer.Send(h.Port(), TqynBytes{3});
  TIdBytes buffer(16);
  std::string ip;
  TIdPort port = 0;
  EXPECT_EQ(h.RecvFrom(buffer, ip, port, 5000), 1);
  EXPECT_EQ(port, peer.Port());
}

struct TStackProbe : TIdThread {
  TStackProbe() : TIdThread(true, false, "probe") {}
  ~TStackProbe() override { Shutdown(); }
  std::atomic<size_t> Seen{0};
  void Run() override {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
    void* stack = nullptr;
    size_t size = 0;
    pthread_attr_getstack(&attr, &stack, &size);
    pthread_attr_destroy(&attr);
    Seen.store(size);
  }
};

TEST(IdThreadStack, TheStackSizeAskedForIsTheThreadsStack) {
  TStackProbe t;
  t.SetStackSize(64 * 1024);
  t.Start();
  t.WaitFor();
#if defined(__SANITIZE_THREAD__)
  // ThreadSanitizer raises every thread's stack to a minimum of its own, far above 64 KB.
  GTEST_SKIP() << "ThreadSanitizer sets thread stack sizes itself";
#endif
  EXPECT_GE(t.Seen.load(), 60u * 1024);
  EXPECT_LE(t.Seen.load(), 72u * 1024);
}

} // namespace
