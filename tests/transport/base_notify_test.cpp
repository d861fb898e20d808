// qyn-test-labels: unit
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qyn_test_wait.h"
#include "qynBase_Classes.h"
#include "qynClock.h"

namespace {

// Stands in for the owning server: records what socket objects write.
struct TSink {
  std::mutex M;
  std::vector<std::pair<std::string, TqynBytes>> Sent; // destination IP, bytes
  size_t Count() {
    std::lock_guard<std::mutex> lock(M);
    return Sent.size();
  }
};

class TTestSocket : public TqynUDPSocket {
public:
  explicit TTestSocket(std::shared_ptr<TSink> aSink) : Sink(std::move(aSink)) {}
  ~TTestSocket() override { ++Destroyed; }
  std::shared_ptr<TqynSocketConnection_Base> Clone() const override {
    auto copy = std::make_shared<TTestSocket>(Sink);
    copy->AssignCopy(*this);
    return copy;
  }
  void WriteData(const TqynBytes& aBytes) override {
    std::lock_guard<std::mutex> lock(Sink->M);
    Sink->Sent.emplace_back(IP(), aBytes);
  }
  void WriteData(const std::string& aValue) override { WriteData(TqynBytes(aValue.begin(), aValue.end())); }

  std::shared_ptr<TSink> Sink;
  static inline std::atomic<int> Destroyed{0};
};

std::shared_ptr<TTestSocket> MakeSocket(const std::shared_ptr<TSink>& aSink, const std::string& aIP, TIdPort aPort,
                                        const TqynBytes& aBytes = {}) {
  auto s = std::make_shared<TTestSocket>(aSink);
  s->SetIP(aIP);
  s->SetPort(aPort);
  s->SetLocalIP("127.0.0.1");
  s->SetLocalPort(3478);
  s->SetMsgRead(aBytes);
  return s;
}

struct TRead {
  TqynUDPSocket* Socket;
  std::string IP;
  TIdPort Port;
  std::string Guid;
  TqynBytes Bytes;
  std::thread::id On;
};

class Notify : public ::testing::Test {
protected:
  void SetUp() override {
    TqynMainThread::SetMainThread();
    while (CheckSynchronize(0)) {
    }
    Sink = std::make_shared<TSink>();
    Component = std::make_unique<TqynUDPComponent>();
    Component->OnUDPRead = [this](TqynComponent_Base* Sender, TqynUDPSocket* Socket, const TqynBytes& Bytes) {
      EXPECT_EQ(Sender, Component.get());
      std::lock_guard<std::mutex> lock(M);
      Reads.push_back({Socket, Socket->IP(), Socket->Port(), Socket->Guid(), Bytes, std::this_thread::get_id()});
    };
  }
  void TearDown() override {
    Component.reset();
    TqynMainThread::SetOnException(nullptr);
    while (CheckSynchronize(0)) {
    }
  }
  size_t ReadCount() {
    std::lock_guard<std::mutex> lock(M);
    return Reads.size();
  }

  std::shared_ptr<TSink> Sink;
  std::unique_ptr<TqynUDPComponent> Component;
  std::mutex M;
  std::vector<TRead> Reads;
};

} // namespace

TEST_F(Notify, ComponentDefaults) {
  EXPECT_EQ(Component->Version(), "4.5.2");
  EXPECT_EQ(Component->NotifyEvents(), neAsynchronous);
  EXPECT_FALSE(Component->IsDesigning());
  EXPECT_FALSE(Component->IsDestroying());
  EXPECT_FALSE(Component->IsLoading());
  EXPECT_TRUE(Component->CSAssigned());
  EXPECT_THROW(Component->EnterCS(6), EListError);
  Component->EnterCS(5);
  Component->LeaveCS(5);
}

TEST_F(Notify, NoSyncRunsOnTheNotifyingThreadWithTheOriginal) {
  Component->SetNotifyEvents(neNoSync);
  auto socket = MakeSocket(Sink, "10.0.0.1", 5000, {1, 2, 3});
  std::thread::id worker;
  std::thread t([&] {
    worker = std::this_thread::get_id();
    Component->NotifyUDPRead(socket.get());
  });
  t.join();
  ASSERT_EQ(Reads.size(), 1u);
  EXPECT_EQ(Reads[0].Socket, socket.get());
  EXPECT_EQ(Reads[0].On, worker);
  EXPECT_EQ(Reads[0].Bytes, (TqynBytes{1, 2, 3}));
  Component->NotifyUDPRead(nullptr); // no socket object: nothing
  EXPECT_EQ(Reads.size(), 1u);
}

// Three datagrams while the main thread is busy: three events in arrival order once it drains,
// each with its own bytes and a copy that outlives the notifier's socket object.
TEST_F(Notify, AsynchronousDeliversQueuedCopiesInOrder) {
  TTestSocket::Destroyed = 0;
  std::vector<std::string> guids;
  std::thread t([&] {
    for (uint8_t i = 0; i < 3; ++i) {
      auto socket = MakeSocket(Sink, "10.0.0." + std::to_string(i + 1), static_cast<TIdPort>(6000 + i), {i, i, i});
      guids.push_back(socket->Guid());
      Component->NotifyUDPRead(socket.get());
      socket->MarkFreed();
    } // the notifier frees its socket objects at once
  });
  t.join();
  EXPECT_EQ(TTestSocket::Destroyed.load(), 3);
  EXPECT_EQ(ReadCount(), 0u);
  EXPECT_EQ(Component->PendingCount(TqynUDPComponent::nkRead), 3);

  Component->OnUDPRead = [this](TqynComponent_Base*, TqynUDPSocket* Socket, const TqynBytes& Bytes) {
    std::lock_guard<std::mutex> lock(M);
    Reads.push_back({Socket, Socket->IP(), Socket->Port(), Socket->Guid(), Bytes, std::this_thread::get_id()});
    Socket->WriteData(TqynBytes{0xAA}); // answer the peer through the copy
  };
  while (CheckSynchronize(0)) {
  }
  ASSERT_EQ(Reads.size(), 3u);
  for (uint8_t i = 0; i < 3; ++i) {
    EXPECT_EQ(Reads[i].Bytes, (TqynBytes{i, i, i}));
    EXPECT_EQ(Reads[i].IP, "10.0.0." + std::to_string(i + 1));
    EXPECT_EQ(Reads[i].Port, 6000 + i);
    EXPECT_EQ(Reads[i].Guid, guids[i]);
    EXPECT_EQ(Reads[i].On, std::this_thread::get_id());
  }
  ASSERT_EQ(Sink->Count(), 3u);
  EXPECT_EQ(Sink->Sent[2].first, "10.0.0.3");
  EXPECT_EQ(Component->PendingCount(TqynUDPComponent::nkRead), 0);
}

TEST_F(Notify, SynchronousWaitsForTheMainThread) {
  Component->SetNotifyEvents(neSynchronous);
  std::atomic<bool> returned{false};
  std::atomic<bool> handledBeforeReturn{false};
  Component->OnUDPRead = [&](TqynComponent_Base*, TqynUDPSocket*, const TqynBytes&) {
    handledBeforeReturn = !returned.load();
  };
  std::thread t([&] {
    auto socket = MakeSocket(Sink, "10.0.0.9", 7000, {9});
    Component->NotifyUDPRead(socket.get());
    returned = true;
  });
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(returned.load()); // waits while the main thread does not drain
  ASSERT_TRUE(DrainUntil([&] { return returned.load(); }));
  t.join();
  EXPECT_TRUE(handledBeforeReturn.load());
}

// A handler on the main thread that sends, posts, writes through the socket object, reports an
// exception and notifies again does not deadlock, in both queued modes.
TEST_F(Notify, HandlersThatSendPostAndNotifyDoNotDeadlock) {
  for (TwsNotifyEvent mode : {neAsynchronous, neSynchronous}) {
    SCOPED_TRACE(static_cast<int>(mode));
    Component->SetNotifyEvents(mode);
    std::atomic<int> sentRan{0}, postedRan{0}, exceptions{0}, reads{0};
    Component->OnUDPException = [&](TqynComponent_Base*, TqynUDPSocket* Socket, const Exception& E) {
      EXPECT_NE(Socket, nullptr);
      EXPECT_EQ(E.Message(), "from handler");
      ++exceptions;
    };
    Component->OnUDPRead = [&](TqynComponent_Base*, TqynUDPSocket* Socket, const TqynBytes& Bytes) {
      ++reads;
      if (Bytes.empty() || Bytes[0] != 1) return;
      EXPECT_TRUE(TqynMainThread::Send([&] { ++sentRan; }));
      TqynMainThread::Post([&] { ++postedRan; });
      Socket->WriteData(std::string("reply"));
      Component->DoException(Socket, Exception("from handler"));
      Socket->SetMsgRead({2});
      Component->NotifyUDPRead(Socket); // same list, from inside its drain
    };
    std::atomic<bool> done{false};
    std::thread t([&] {
      auto socket = MakeSocket(Sink, "10.0.0.5", 7001, {1});
      Component->NotifyUDPRead(socket.get());
      done = true;
    });
    ASSERT_TRUE(DrainUntil([&] { return done.load() && reads.load() == 2 && postedRan.load() == 1 && exceptions.load() == 1; }));
    t.join();
    EXPECT_EQ(sentRan.load(), 1);
  }
  EXPECT_EQ(Sink->Count(), 2u);
}

TEST_F(Notify, DoExceptionRouting) {
  auto socket = MakeSocket(Sink, "10.0.0.7", 7002);
  // Without a handler: nothing happens, nothing raises.
  Component->DoException(socket.get(), Exception("ignored"));
  EXPECT_EQ(Component->PendingCount(TqynUDPComponent::nkException), 0);
  EXPECT_EQ(socket->RawException(), nullptr);

  std::vector<std::string> seen;
  std::vector<std::string> classes;
  std::vector<TqynUDPSocket*> sockets;
  Component->OnUDPException = [&](TqynComponent_Base*, TqynUDPSocket* Socket, const Exception& E) {
    seen.push_back(E.Message());
    classes.push_back(E.ClassName());
    sockets.push_back(Socket);
  };
  // Without a socket object: at once on this thread, whatever the mode.
  Component->DoException(nullptr, Exception("no socket"));
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(sockets[0], nullptr);
  // With one, queued (neAsynchronous): a copy of the same class and message.
  Component->DoException(socket.get(), EListError("queued"));
  EXPECT_EQ(socket->RawException()->Message(), "queued");
  EXPECT_EQ(seen.size(), 1u);
  while (CheckSynchronize(0)) {
  }
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1], "queued");
  EXPECT_EQ(classes[1], "EListError");
  EXPECT_NE(sockets[1], socket.get());
  // A handler that raises is swallowed by DoException.
  Component->OnUDPException = [](TqynComponent_Base*, TqynUDPSocket*, const Exception&) { throw Exception("again"); };
  Component->SetNotifyEvents(neNoSync);
  EXPECT_NO_THROW(Component->DoException(socket.get(), Exception("x")));
  EXPECT_NO_THROW(Component->DoException(nullptr, Exception("y")));
}

TEST_F(Notify, ConnectAndDisconnectEvents) {
  std::vector<std::string> events;
  Component->OnUDPConnect = [&](TqynComponent_Base*, TqynUDPSocket* Socket) { events.push_back("c" + Socket->IP()); };
  Component->OnUDPDisconnect = [&](TqynComponent_Base*, TqynUDPSocket* Socket) {
    events.push_back("d" + Socket->IP());
  };
  for (TwsNotifyEvent mode : {neNoSync, neAsynchronous}) {
    events.clear();
    Component->SetNotifyEvents(mode);
    auto socket = MakeSocket(Sink, "10.1.1.1", 1);
    Component->NotifyUDPConnect(socket.get());
    Component->NotifyUDPDisconnect(socket);
    if (mode == neAsynchronous) {
      EXPECT_FALSE(socket->Freed()); // freed after its event
      while (CheckSynchronize(0)) {
      }
    }
    EXPECT_TRUE(socket->Freed());
    EXPECT_EQ(events, (std::vector<std::string>{"c10.1.1.1", "d10.1.1.1"}));
  }
}

// A handler that raises: the exception reaches the main thread's handler; its record is not
// delivered again and the records behind it are still delivered.
TEST_F(Notify, HandlerExceptionDoesNotRedeliverOrStrandRecords) {
  std::vector<std::string> relayed;
  TqynMainThread::SetOnException([&](const Exception& E) { relayed.push_back(E.Message()); });
  std::vector<uint8_t> seen;
  Component->OnUDPRead = [&](TqynComponent_Base*, TqynUDPSocket*, const TqynBytes& Bytes) {
    seen.push_back(Bytes[0]);
    if (Bytes[0] == 1) throw Exception("handler failed");
  };
  std::thread t([&] {
    for (uint8_t i = 0; i < 3; ++i) {
      auto socket = MakeSocket(Sink, "10.0.0.1", 1, {i});
      Component->NotifyUDPRead(socket.get());
    }
  });
  t.join();
  while (CheckSynchronize(0)) {
  }
  EXPECT_EQ(seen, (std::vector<uint8_t>{0, 1, 2}));
  EXPECT_EQ(relayed, (std::vector<std::string>{"handler failed"}));
}

TEST_F(Notify, PendingRecordsOfADestroyedComponentAreDropped) {
  TTestSocket::Destroyed = 0;
  std::atomic<int> calls{0};
  Component->OnUDPRead = [&](TqynComponent_Base*, TqynUDPSocket*, const TqynBytes&) { ++calls; };
  auto disconnected = MakeSocket(Sink, "10.0.0.2", 2);
  std::thread t([&] {
    auto socket = MakeSocket(Sink, "10.0.0.1", 1, {1});
    Component->NotifyUDPRead(socket.get());
    Component->NotifyUDPDisconnect(disconnected);
  });
  t.join();
  Component.reset();
  EXPECT_TRUE(disconnected->Freed());
  while (CheckSynchronize(0)) {
  }
  EXPECT_EQ(calls.load(), 0);
}

TEST_F(Notify, ComponentDestroyedInsideItsOwnHandler) {
  std::atomic<int> calls{0};
  Component->OnUDPRead = [&](TqynComponent_Base*, TqynUDPSocket*, const TqynBytes&) {
    ++calls;
    Component.reset(); // the drain must stop without touching the component
  };
  std::thread t([&] {
    for (uint8_t i = 0; i < 3; ++i) {
      auto socket = MakeSocket(Sink, "10.0.0.1", 1, {i});
      Component->NotifyUDPRead(socket.get());
    }
  });
  t.join();
  while (CheckSynchronize(0)) {
  }
  EXPECT_EQ(calls.load(), 1);
  EXPECT_EQ(Component, nullptr);
}

namespace {
// A worker thread that keeps notifying reads, like a listener thread.
class TNotifier : public TIdThread {
public:
  TNotifier(TqynUDPComponent* aComponent, std::shared_ptr<TSink> aSink)
      : TIdThread(true, true, "notifier"), FComponent(aComponent), FSink(std::move(aSink)) {}
  ~TNotifier() override { Shutdown(); }
  std::atomic<int> Notified{0};

protected:
  void Run() override {
    auto socket = MakeSocket(FSink, "10.0.0.3", 3, {3});
    FComponent->NotifyUDPRead(socket.get());
    ++Notified;
    SleepFor(1);
  }

private:
  TqynUDPComponent* FComponent;
  std::shared_ptr<TSink> FSink;
};
} // namespace

// Stopping a notifying thread from inside a handler (which holds the pending list) or while it
// waits for a synchronous drain returns promptly instead of deadlocking.
TEST_F(Notify, StoppingTheNotifierFromTheMainThreadNeverDeadlocks) {
  for (TwsNotifyEvent mode : {neAsynchronous, neSynchronous}) {
    SCOPED_TRACE(static_cast<int>(mode));
    Component->SetNotifyEvents(mode);
    auto notifier = std::make_unique<TNotifier>(Component.get(), Sink);
    std::atomic<bool> stopped{false};
    Component->OnUDPRead = [&](TqynComponent_Base*, TqynUDPSocket*, const TqynBytes&) {
      if (stopped.load()) return;
      std::this_thread::sleep_for(50ms); // the notifier is now waiting for the list or for us
      const auto start = TClock::now();
      notifier->TerminateAndWaitFor();
      EXPECT_LT(TClock::now() - start, 5s);
      stopped = true;
    };
    notifier->Start();
    ASSERT_TRUE(DrainUntil([&] { return stopped.load(); }));
    while (CheckSynchronize(0)) {
    }
    notifier.reset();
  }
}

// With the main thread busy, the pending list stops at its bound: what does not fit is dropped,
// counted, and reported through OnUDPException at most once a second of the clock; the records
// that fit are delivered in order, and only one drain is queued for the whole batch.
TEST_F(Notify, PendingListIsBoundedAndDropsAreReportedOncePerSecond) {
  Component->SetMaxPendingNotifications(5);
  std::vector<std::string> reports;
  Component->OnUDPException = [&](TqynComponent_Base*, TqynUDPSocket* Socket, const Exception& E) {
    EXPECT_EQ(Socket->IP(), "192.0.2.9");
    reports.push_back(E.Message());
  };
  auto blast = [&](int aCount, uint8_t aFirst) {
    std::thread t([&] {
      for (int i = 0; i < aCount; ++i) {
        auto socket = MakeSocket(Sink, "192.0.2.9", 7000, {static_cast<uint8_t>(aFirst + i)});
        Component->NotifyUDPRead(socket.get());
      }
    });
    t.join();
  };
  const size_t queuedBefore = TqynMainThread::PendingCount();
  const TqynDateTime start = QynNow();
  blast(100, 0);
  EXPECT_EQ(Component->PendingCount(TqynUDPComponent::nkRead), 5);
  EXPECT_EQ(Component->DroppedNotifications(), 95u);
  // One drain for the reads and one for the report, not one per datagram.
  EXPECT_EQ(TqynMainThread::PendingCount() - queuedBefore, 2u);
  while (CheckSynchronize(0)) {
  }
  ASSERT_EQ(ReadCount(), 5u);
  for (uint8_t i = 0; i < 5; ++i) EXPECT_EQ(Reads[i].Bytes, TqynBytes{i});
  // The first drop is reported at once; the 94 after it in the same second wait for the next.
  EXPECT_EQ(reports, std::vector<std::string>{QynFormat(RS_NotificationsDropped, 1)});

  // Within the same second: counted, not reported.
  blast(10, 100);
  while (CheckSynchronize(0)) {
  }
  EXPECT_EQ(ReadCount(), 10u);
  if (QynNow() - start >= 1000) GTEST_SKIP() << "a second passed between the bursts; the machine is too busy for this check";
  EXPECT_EQ(reports.size(), 1u);
  EXPECT_EQ(Component->DroppedNotifications(), 100u);

  // A second later the next notification reports the 99 drops since the last report; the 5 drops
  // of this burst wait for the next second.
  QynClockShift(1000);
  blast(10, 200);
  QynClockReset();
  while (CheckSynchronize(0)) {
  }
  EXPECT_EQ(ReadCount(), 15u);
  EXPECT_EQ(reports, (std::vector<std::string>{QynFormat(RS_NotificationsDropped, 1), QynFormat(RS_NotificationsDropped, 99)}));
  EXPECT_EQ(Component->DroppedNotifications(), 105u);
}

// The byte bound holds as well: large datagrams stop the list before the count does.
TEST_F(Notify, PendingListIsBoundedInBytes) {
  Component->SetMaxPendingBytes(3 * 8192);
  std::thread t([&] {
    for (int i = 0; i < 10; ++i) {
      auto socket = MakeSocket(Sink, "192.0.2.9", 7000, TqynBytes(8192, static_cast<uint8_t>(i)));
      Component->NotifyUDPRead(socket.get());
    }
  });
  t.join();
  EXPECT_EQ(Component->PendingCount(TqynUDPComponent::nkRead), 3);
  EXPECT_EQ(Component->DroppedNotifications(), 7u);
  while (CheckSynchronize(0)) {
  }
  EXPECT_EQ(ReadCount(), 3u);
  // Drained: room again.
  auto socket = MakeSocket(Sink, "192.0.2.9", 7000, TqynBytes(8192, 0xEE));
  Component->NotifyUDPRead(socket.get());
  EXPECT_EQ(Component->PendingCount(TqynUDPComponent::nkRead), 1);
}
