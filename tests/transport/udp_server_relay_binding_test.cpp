// qyn-test-labels: net
//
// Relay bindings of the UDP server component as a server holding thousands of them needs them:
// one descriptor each (no eventfd beside the socket), a compact listener that waits without a
// timeout on a small stack and is still woken at once by a stop, and the socket buffers asked
// for the listening binding. Also the socket handle's wake-up by shutdown and the thread's stack
// size underneath.

#include <pthread.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
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

TEST_F(RelayBindings, EachCostsOneDescriptorAndAThreadThatGoesWithIt) {
  const int fds = OpenDescriptors();
  const int threads = ThreadCount();
  std::vector<TIdPort> ports;
  for (int i = 0; i < 50; ++i) ports.push_back(Server.AddRelayBinding("127.0.0.1", 0, "Relay_")->Port());
  EXPECT_EQ(OpenDescriptors() - fds, 50);
  EXPECT_TRUE(WaitUntil([&] { return ThreadCount() - threads == 50; }));
  // A plain binding keeps its eventfd.
  TIdSocketHandle* plain = Server.AddBinding("127.0.0.1", 0, "plain");
  EXPECT_EQ(OpenDescriptors() - fds, 52);
  Server.RemoveBinding("127.0.0.1", plain->Port());
  for (TIdPort p : ports) EXPECT_TRUE(Server.RemoveBinding("127.0.0.1", p));
  EXPECT_EQ(OpenDescriptors(), fds);
  EXPECT_TRUE(WaitUntil([&] { return ThreadCount() == threads; }));
}

TEST_F(RelayBindings, ListenerIsCompactWaitsWithoutTimeoutOnASmallStack) {
  TIdSocketHandle* relay = Server.AddRelayBinding("127.0.0.1", 0, "Relay_");
  TIdUDPListenerThread* listener = ListenerOf(relay);
  ASSERT_NE(listener, nullptr);
  EXPECT_TRUE(listener->Compact());
  EXPECT_EQ(listener->AcceptWait(), IdTimeoutInfinite);
  EXPECT_EQ(listener->StackSize(), Server.RelayListenerStackSize());
  EXPECT_TRUE(relay->WakeByShutdown());
  // The listening binding keeps the ordinary listener.
  TIdUDPListenerThread* main = ListenerOf(Server.Bindings().Items(0));
  ASSERT_NE(main, nullptr);
  EXPECT_FALSE(main->Compact());
  EXPECT_FALSE(Server.Bindings().Items(0)->WakeByShutdown());
}

TEST_F(RelayBindings, DatagramsArriveBeforeAndAfterTheListenerGaveItsMemoryBack) {
  TIdSocketHandle* relay = Server.AddRelayBinding("127.0.0.1", 0, "Relay_");
  const TIdPort port = relay->Port();
  RawClient peer;
  ASSERT_TRUE(peer.Ok());
  peer.Send(port, TqynBytes{1, 2, 3});
  ASSERT_TRUE(WaitUntil([&] { return Reads.load() == 1; }));
  EXPECT_EQ(LastLocalPort.load(), port);
  // After CompactIdleWait without traffic the listener drops its receive memory and its stack's
  // unused pages, then waits without timeout: the next datagram still arrives, whole.
  std::this_thread::sleep_for(std::chrono::milliseconds(TIdUDPListenerThread::CompactIdleWait + 300));
  peer.Send(port, TqynBytes(8192, 0x55));
  peer.Send(port, TqynBytes{});
  EXPECT_TRUE(WaitUntil([&] { return Reads.load() == 3; }));
}

TEST_F(RelayBindings, StoppingAnIdleListenerWakesItAtOnce) {
  // Many idle relay listeners, blocked without timeout: a removal and a deactivation each end
  // promptly and leave no thread behind.
  const int threads = ThreadCount();
  std::vector<TIdPort> ports;
  for (int i = 0; i < 20; ++i) ports.push_back(Server.AddRelayBinding("127.0.0.1", 0, "Relay_")->Port());
  ASSERT_TRUE(WaitUntil([&] { return ThreadCount() - threads == 20; }));
  std::this_thread::sleep_for(100ms); // every listener is inside its wait
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
  EXPECT_TRUE(ListenerOf(Server.GetBinding("127.0.0.1", ports.front()))->Compact());
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
    // Deep work, then the unused pages go back; deep work again finds zeroed, usable pages.
    for (int round = 0; round < 2; ++round) {
      volatile char deep[16 * 1024];
      for (size_t i = 0; i < sizeof deep; i += 512) deep[i] = static_cast<char>(i);
      ReleaseUnusedStack();
    }
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
