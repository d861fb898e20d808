// qyn-test-labels: net
// TIdUDPServer on loopback: activation, listener passes, events, prompt deactivation.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "qyn_test_wait.h"
#include "qynBase_Sync.h"
#include "qynId_Sockets.h"
#include "qynMessages.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Received {
  TIdBytes Data;
  TIdSocketHandle* Binding = nullptr;
  std::string PeerIP;
  TIdPort PeerPort = 0;
  std::thread::id Thread;
};

struct Failure {
  std::string Message;
  std::string Class;
  TIdSocketHandle* Binding = nullptr;
};

// Collects the server's events.
class Recorder {
public:
  void Attach(TIdUDPServer& aServer) {
    aServer.OnUDPRead = [this](TIdUDPListenerThread*, const TIdBytes& AData, TIdSocketHandle* ABinding) {
      std::lock_guard<std::mutex> g(FLock);
      FReads.push_back({AData, ABinding, ABinding->PeerIP(), ABinding->PeerPort(), std::this_thread::get_id()});
    };
    aServer.OnUDPException = [this](TIdUDPListenerThread*, TIdSocketHandle* ABinding, const std::string& AMessage,
                                    const std::string& AClass) {
      std::lock_guard<std::mutex> g(FLock);
      FFailures.push_back({AMessage, AClass, ABinding});
    };
  }
  size_t ReadCount() {
    std::lock_guard<std::mutex> g(FLock);
    return FReads.size();
  }
  size_t FailureCount() {
    std::lock_guard<std::mutex> g(FLock);
    return FFailures.size();
  }
  Received Read(size_t i) {
    std::lock_guard<std::mutex> g(FLock);
    return FReads.at(i);
  }
  Failure FailureAt(size_t i) {
    std::lock_guard<std::mutex> g(FLock);
    return FFailures.at(i);
  }

private:
  std::mutex FLock;
  std::vector<Received> FReads;
  std::vector<Failure> FFailures;
};

std::unique_ptr<TIdSocketHandle> Sender(const std::string& aIP = "127.0.0.1", TIdIPVersion aVersion = Id_IPv4) {
  auto h = std::make_unique<TIdSocketHandle>();
  h->SetIPVersion(aVersion);
  h->SetIP(aIP);
  h->AllocateSocket(Id_SOCK_DGRAM);
  h->Bind();
  return h;
}

bool PortIsFree(TIdPort aPort, const std::string& aIP = "127.0.0.1") {
  TIdSocketHandle h;
  h.SetIP(aIP);
  h.SetPort(aPort);
  h.AllocateSocket(Id_SOCK_DGRAM);
  try {
    h.Bind();
    return true;
  } catch (const EIdSocketError&) {
    return false;
  }
}

bool HaveIPv6Loopback() {
  if (!GStack().SupportsIPv6()) return false;
  try {
    Sender("::1", Id_IPv6);
    return true;
  } catch (const EIdException&) {
    return false;
  }
}

// Sends one datagram to every binding and waits until each was read: every listener is then
// running its loop and back in its wait.
void WaitForListeners(TIdUDPServer& aServer, Recorder& aRecorder) {
  const size_t before = aRecorder.ReadCount();
  auto s = Sender();
  const int count = aServer.Bindings().Count();
  for (int i = 0; i < count; ++i) s->SendTo("127.0.0.1", aServer.Bindings().Items(i)->Port(), Id_IPv4, TIdBytes{0x77});
  EXPECT_TRUE(WaitUntil([&] { return aRecorder.ReadCount() == before + static_cast<size_t>(count); }));
}

// A server with one binding on 127.0.0.1, port 0, threaded events.
void OneLoopbackBinding(TIdUDPServer& aServer) {
  TIdSocketHandle* b = aServer.Bindings().Add();
  b->SetIP("127.0.0.1");
  b->SetPort(0);
  aServer.SetThreadedEvent(true);
}

} // namespace

TEST(UDPServer, DualStackActivationWithEmptyBindings) {
  if (!HaveIPv6Loopback()) GTEST_SKIP() << "no IPv6 here";
  TIdUDPServer server;
  server.SetName("Srv");
  server.SetDefaultPort(0);
  server.SetThreadedEvent(true);
  Recorder rec;
  rec.Attach(server);
  std::vector<TIdSocketHandle*> beforeBind;
  int afterBind = 0;
  server.OnBeforeBind = [&](TIdSocketHandle* h) { beforeBind.push_back(h); };
  server.OnAfterBind = [&](TIdUDPServer* s) {
    EXPECT_EQ(s, &server);
    ++afterBind;
  };
  server.SetActive(true);
  ASSERT_TRUE(server.Active());
  ASSERT_EQ(server.Bindings().Count(), 2);
  TIdSocketHandle* v4 = server.Bindings()[0];
  TIdSocketHandle* v6 = server.Bindings()[1];
  EXPECT_EQ(v4->IPVersion(), Id_IPv4);
  EXPECT_EQ(v6->IPVersion(), Id_IPv6);
  EXPECT_EQ(v4->IP(), "0.0.0.0");
  EXPECT_EQ(v6->IP(), "0:0:0:0:0:0:0:0");
  EXPECT_NE(v4->Port(), 0);
  EXPECT_EQ(v4->Port(), v6->Port());
  EXPECT_EQ(server.Binding(), v4);
  EXPECT_EQ(beforeBind, (std::vector<TIdSocketHandle*>{v4, v6}));
  EXPECT_EQ(afterBind, 1);
  ASSERT_EQ(server.ListenerCount(), 2);
  EXPECT_EQ(server.ListenerOf(v4)->Name(), "Srv Listener #1");
  EXPECT_EQ(server.ListenerOf(v6)->Name(), "Srv Listener #2");

  auto s4 = Sender();
  auto s6 = Sender("::1", Id_IPv6);
  s4->SendTo("127.0.0.1", v4->Port(), Id_IPv4, TIdBytes{4});
  ASSERT_TRUE(WaitUntil([&] { return rec.ReadCount() == 1; }));
  s6->SendTo("::1", v6->Port(), Id_IPv6, TIdBytes{6});
  ASSERT_TRUE(WaitUntil([&] { return rec.ReadCount() == 2; }));
  EXPECT_EQ(rec.Read(0).Binding, v4);
  EXPECT_EQ(rec.Read(0).Data, TIdBytes{4});
  EXPECT_EQ(rec.Read(0).PeerIP, "127.0.0.1");
  EXPECT_EQ(rec.Read(0).PeerPort, s4->Port());
  EXPECT_EQ(rec.Read(1).Binding, v6);
  EXPECT_EQ(rec.Read(1).PeerIP, "0:0:0:0:0:0:0:1");
  EXPECT_EQ(v6->PeerIPVersion(), Id_IPv6);

  // Deactivation keeps the bindings, closed; the next activation reuses them.
  const TIdPort port = v4->Port();
  server.SetActive(false);
  EXPECT_FALSE(server.Active());
  EXPECT_EQ(server.ListenerCount(), 0);
  EXPECT_EQ(server.Bindings().Count(), 2);
  EXPECT_FALSE(v4->HandleAllocated());
  EXPECT_FALSE(v6->HandleAllocated());
  server.SetActive(true);
  EXPECT_EQ(server.Bindings().Count(), 2);
  EXPECT_EQ(v4->Port(), port);
  EXPECT_EQ(server.ListenerCount(), 2);
}

TEST(UDPServer, SecondBindingFailureClosesFirstAndStaysInactive) {
  auto busy = Sender();
  TIdUDPServer server;
  TIdSocketHandle* first = server.Bindings().Add();
  first->SetIP("127.0.0.1");
  first->SetPort(0);
  TIdSocketHandle* second = server.Bindings().Add();
  second->SetIP("127.0.0.1");
  second->SetPort(busy->Port());
  TIdPort firstPort = 0;
  int afterBind = 0;
  server.OnBeforeBind = [&](TIdSocketHandle* h) {
    if (h == second) firstPort = first->Port();
  };
  server.OnAfterBind = [&](TIdUDPServer*) { ++afterBind; };
  try {
    server.SetActive(true);
    FAIL() << "no exception";
  } catch (const EIdSocketError& E) {
    EXPECT_EQ(E.LastError(), EADDRINUSE);
  }
  EXPECT_FALSE(server.Active());
  EXPECT_EQ(server.ListenerCount(), 0);
  EXPECT_EQ(afterBind, 0);
  EXPECT_FALSE(first->HandleAllocated());
  EXPECT_FALSE(second->HandleAllocated());
  ASSERT_NE(firstPort, 0);
  EXPECT_TRUE(PortIsFree(firstPort));
}

TEST(UDPServer, FullBufferDatagramWholeLongerOneReportedAndListenerGoesOn) {
  TIdUDPServer server;
  OneLoopbackBinding(server);
  Recorder rec;
  rec.Attach(server);
  server.SetActive(true);
  ASSERT_EQ(server.BufferSize(), 8192);
  const TIdPort port = server.Binding()->Port();
  auto s = Sender();

  TIdBytes full(8192);
  for (size_t i = 0; i < full.size(); ++i) full[i] = static_cast<uint8_t>(i * 7);
  s->SendTo("127.0.0.1", port, Id_IPv4, full);
  ASSERT_TRUE(WaitUntil([&] { return rec.ReadCount() == 1; }));
  EXPECT_EQ(rec.Read(0).Data, full);

  s->SendTo("127.0.0.1", port, Id_IPv4, TIdBytes(8193, 1));
  ASSERT_TRUE(WaitUntil([&] { return rec.FailureCount() == 1; }));
  const Failure f = rec.FailureAt(0);
  EXPECT_EQ(f.Class, "EIdSocketError");
  EXPECT_EQ(f.Message, EIdSocketError::FromErrno(EMSGSIZE).Message());
  EXPECT_EQ(f.Binding, server.Binding());
  EXPECT_EQ(server.ListenerOf(server.Binding())->CurrentExceptionClass(), "EIdSocketError");

  s->SendTo("127.0.0.1", port, Id_IPv4, TIdBytes{1, 2, 3});
  ASSERT_TRUE(WaitUntil([&] { return rec.ReadCount() == 2; }));
  EXPECT_EQ(rec.Read(1).Data, (TIdBytes{1, 2, 3}));
  EXPECT_EQ(rec.ReadCount(), 2u);
}

TEST(UDPServer, ZeroLengthDatagramDeliveredAsEmptyBytes) {
  TIdUDPServer server;
  OneLoopbackBinding(server);
  Recorder rec;
  rec.Attach(server);
  server.SetActive(true);
  auto s = Sender();
  s->SendTo("127.0.0.1", server.Binding()->Port(), Id_IPv4, TIdBytes{});
  ASSERT_TRUE(WaitUntil([&] { return rec.ReadCount() == 1; }));
  EXPECT_TRUE(rec.Read(0).Data.empty());
  EXPECT_EQ(rec.Read(0).PeerPort, s->Port());
}

TEST(UDPServer, HandlerExceptionIsReportedAndListenerGoesOn) {
  TIdUDPServer server;
  OneLoopbackBinding(server);
  Recorder rec;
  rec.Attach(server);
  std::atomic<int> reads{0};
  server.OnUDPRead = [&](TIdUDPListenerThread*, const TIdBytes&, TIdSocketHandle*) {
    if (reads++ == 0) throw EIdException("handler failed");
  };
  server.SetActive(true);
  auto s = Sender();
  const TIdPort port = server.Binding()->Port();
  s->SendTo("127.0.0.1", port, Id_IPv4, TIdBytes{1});
  ASSERT_TRUE(WaitUntil([&] { return rec.FailureCount() == 1; }));
  EXPECT_EQ(rec.FailureAt(0).Message, "handler failed");
  EXPECT_EQ(rec.FailureAt(0).Class, "EIdException");
  s->SendTo("127.0.0.1", port, Id_IPv4, TIdBytes{2});
  ASSERT_TRUE(WaitUntil([&] { return reads.load() == 2; }));
}

TEST(UDPServer, DeactivationAndDestructionDoNotWaitForAcceptWait) {
  auto server = std::make_unique<TIdUDPServer>();
  OneLoopbackBinding(*server);
  server->Bindings().Add()->SetIP("127.0.0.1");
  server->SetAcceptWait(60000);
  Recorder rec;
  rec.Attach(*server);
  server->SetActive(true);
  ASSERT_EQ(server->ListenerCount(), 2);
  EXPECT_EQ(server->ListenerOf(server->Binding())->AcceptWait(), 60000);
  WaitForListeners(*server, rec);
  auto start = Clock::now();
  server->SetActive(false);
  EXPECT_LT(Clock::now() - start, 10s);
  EXPECT_FALSE(server->Active());

  server->SetActive(true);
  WaitForListeners(*server, rec);
  start = Clock::now();
  server.reset(); // destruction deactivates and joins
  EXPECT_LT(Clock::now() - start, 10s);
}

TEST(UDPServer, BindingActivatesAndAnIdleServerHasNoCurrentBinding) {
  TIdUDPServer server;
  OneLoopbackBinding(server);
  EXPECT_FALSE(server.Active());
  TIdSocketHandle* b = server.Binding();
  ASSERT_NE(b, nullptr);
  EXPECT_TRUE(server.Active());
  EXPECT_TRUE(b->HandleAllocated());
  server.SetActive(true); // nothing happens when active
  EXPECT_EQ(server.ListenerCount(), 1);
}

TEST(UDPServer, StartAndStopListenerForARunTimeBinding) {
  TIdUDPServer server;
  server.SetName("Relay");
  OneLoopbackBinding(server);
  server.SetAcceptWait(60000);
  Recorder rec;
  rec.Attach(server);

  TIdSocketHandle extra;
  EXPECT_FALSE(server.StartListener(&extra)); // inactive
  server.SetActive(true);
  EXPECT_FALSE(server.StartListener(&extra)); // not one of the bindings

  TIdSocketHandle* added = server.Bindings().Add();
  added->SetIP("127.0.0.1");
  added->SetPort(0);
  added->AllocateSocket(Id_SOCK_DGRAM);
  added->Bind();
  ASSERT_TRUE(server.StartListener(added));
  EXPECT_FALSE(server.StartListener(added)); // already listened on
  EXPECT_EQ(server.ListenerCount(), 2);
  EXPECT_EQ(server.ListenerOf(added)->Name(), "Relay Listener #" + std::to_string(added->Port()));

  auto s = Sender();
  s->SendTo("127.0.0.1", added->Port(), Id_IPv4, TIdBytes{5});
  ASSERT_TRUE(WaitUntil([&] { return rec.ReadCount() == 1; }));
  EXPECT_EQ(rec.Read(0).Binding, added);

  const TIdPort port = added->Port();
  // The read above came through the added listener, which is back in its 60 s wait now.
  const auto start = Clock::now();
  EXPECT_TRUE(server.StopListener(added));
  EXPECT_LT(Clock::now() - start, 10s);
  EXPECT_FALSE(added->HandleAllocated());
  EXPECT_TRUE(PortIsFree(port));
  EXPECT_EQ(server.ListenerCount(), 1);
  EXPECT_FALSE(server.StopListener(added));
  EXPECT_TRUE(server.Bindings().Remove(added));
  EXPECT_TRUE(server.Active());

  // Stopping the current binding's listener moves the current binding on; none left: inactive.
  EXPECT_TRUE(server.StopListener(server.Binding()));
  EXPECT_FALSE(server.Active());
}

TEST(UDPServer, HandlerMayStopItsOwnListenerOrDeactivateTheServer) {
  TIdUDPServer server;
  OneLoopbackBinding(server);
  TIdSocketHandle* second = server.Bindings().Add();
  second->SetIP("127.0.0.1");
  server.SetAcceptWait(60000);
  std::atomic<int> phase{0};
  server.OnUDPRead = [&](TIdUDPListenerThread* AThread, const TIdBytes& AData, TIdSocketHandle* ABinding) {
    EXPECT_EQ(AThread->Binding(), ABinding);
    if (AData.at(0) == 1) {
      server.StopListener(ABinding);
      phase = 1;
    } else {
      server.SetActive(false);
      phase = 2;
    }
  };
  server.SetActive(true);
  auto s = Sender();
  s->SendTo("127.0.0.1", second->Port(), Id_IPv4, TIdBytes{1});
  ASSERT_TRUE(WaitUntil([&] { return phase.load() == 1; }));
  EXPECT_EQ(server.ListenerCount(), 1);
  s->SendTo("127.0.0.1", server.Binding()->Port(), Id_IPv4, TIdBytes{2});
  ASSERT_TRUE(WaitUntil([&] { return phase.load() == 2; }));
  EXPECT_FALSE(server.Active());
  TIdThread::JoinFreedThreads();
}

TEST(UDPServer, UnthreadedEventsRunOnTheMainThread) {
  TqynMainThread::SetMainThread();
  TIdUDPServer server;
  OneLoopbackBinding(server);
  server.SetThreadedEvent(false);
  server.SetAcceptWait(60000);
  Recorder rec;
  rec.Attach(server);
  server.SetActive(true);
  auto s = Sender();
  s->SendTo("127.0.0.1", server.Binding()->Port(), Id_IPv4, TIdBytes{1});
  ASSERT_TRUE(WaitUntil([&] {
    CheckSynchronize(5);
    return rec.ReadCount() == 1;
  }));
  EXPECT_EQ(rec.Read(0).Thread, std::this_thread::get_id());

  // A datagram whose event is still waiting for the main thread does not block deactivation.
  s->SendTo("127.0.0.1", server.Binding()->Port(), Id_IPv4, TIdBytes{2});
  ASSERT_TRUE(WaitUntil([&] { return TqynMainThread::PendingCount() > 0; })); // the listener waits for this thread
  const auto start = Clock::now();
  server.SetActive(false);
  EXPECT_LT(Clock::now() - start, 10s);
  CheckSynchronize(0);
  EXPECT_EQ(rec.ReadCount(), 1u); // the withdrawn event never ran
}

TEST(UDPServer, UnthreadedHandlerMayDeactivateTheServer) {
  TqynMainThread::SetMainThread();
  TIdUDPServer server;
  OneLoopbackBinding(server);
  server.SetThreadedEvent(false);
  server.SetAcceptWait(60000);
  std::atomic<bool> done{false};
  server.OnUDPRead = [&](TIdUDPListenerThread*, const TIdBytes&, TIdSocketHandle*) {
    server.SetActive(false); // on the main thread, while the listener waits for this call
    done = true;
  };
  server.SetActive(true);
  auto s = Sender();
  s->SendTo("127.0.0.1", server.Binding()->Port(), Id_IPv4, TIdBytes{1});
  ASSERT_TRUE(WaitUntil([&] {
    CheckSynchronize(5);
    return done.load();
  }));
  EXPECT_FALSE(server.Active());
  TIdThread::JoinFreedThreads();
}
