// qyn-test-labels: unit
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qyn_test_wait.h"
#include "qynBase_Sync.h"
#include "qynMessages.h"

namespace {

using namespace std::chrono_literals;

// Drains the relay on this (main) thread until aCondition holds or the deadline passes.
class SyncRelay : public ::testing::Test {
protected:
  void SetUp() override {
    TqynMainThread::SetDispatcher(nullptr);
    TqynMainThread::SetMainThread();
    while (CheckSynchronize(0)) {
    }
  }
  void TearDown() override {
    TqynMainThread::SetDispatcher(nullptr);
    TqynMainThread::SetOnException(nullptr);
    while (CheckSynchronize(0)) {
    }
  }
};

} // namespace

TEST_F(SyncRelay, PostAndSendKeepOneOrderAcrossThreads) {
  std::vector<int> order;
  std::atomic<int> sendResult{-1};
  std::thread worker([&] {
    TqynMainThread::Post([&] { order.push_back(1); });
    TqynMainThread::Post([&] { order.push_back(2); });
    sendResult = TqynMainThread::Send([&] { order.push_back(3); }) ? 1 : 0;
    TqynMainThread::Post([&] { order.push_back(4); });
  });
  ASSERT_TRUE(DrainUntil([&] { return order.size() == 4; }));
  worker.join();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
  EXPECT_EQ(sendResult.load(), 1);
}

TEST_F(SyncRelay, NothingRunsUntilTheMainThreadDrains) {
  std::atomic<bool> ran{false};
  std::thread worker([&] { TqynMainThread::Post([&] { ran = true; }); });
  worker.join();
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(ran.load());
  EXPECT_EQ(TqynMainThread::PendingCount(), 1u);
  EXPECT_TRUE(CheckSynchronize(0));
  EXPECT_TRUE(ran.load());
  EXPECT_FALSE(CheckSynchronize(0));
}

TEST_F(SyncRelay, CheckSynchronizeWaitsForWorkUpToItsTimeout) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(CheckSynchronize(50));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 40ms);

  std::atomic<bool> ran{false};
  std::thread worker([&] {
    std::this_thread::sleep_for(30ms);
    TqynMainThread::Post([&] { ran = true; });
  });
  // Returns as soon as the call arrives, long before the timeout.
  const auto t0 = std::chrono::steady_clock::now();
  bool any = false;
  while (!any && std::chrono::steady_clock::now() - t0 < 10s) any = CheckSynchronize(20000);
  worker.join();
  EXPECT_TRUE(any);
  EXPECT_TRUE(ran.load());
}

TEST_F(SyncRelay, SendOnTheMainThreadRunsAtOnce) {
  bool ran = false;
  EXPECT_TRUE(TqynMainThread::IsMainThread());
  EXPECT_TRUE(TqynMainThread::Send([&] { ran = true; }));
  EXPECT_TRUE(ran);
  EXPECT_EQ(TqynMainThread::PendingCount(), 0u);
}

TEST_F(SyncRelay, SendRaisesTheCallsExceptionInTheSender) {
  std::string caught;
  std::atomic<bool> done{false};
  std::thread worker([&] {
    try {
      TqynMainThread::Send([] { throw Exception("from main"); });
    } catch (const Exception& E) {
      caught = E.Message();
    }
    done = true;
  });
  ASSERT_TRUE(DrainUntil([&] { return done.load(); }));
  worker.join();
  EXPECT_EQ(caught, "from main");
}

TEST_F(SyncRelay, PostedExceptionGoesToTheHandlerAndLaterCallsStillRun) {
  std::vector<std::string> seen;
  TqynMainThread::SetOnException([&](const Exception& E) { seen.push_back(E.Message()); });
  bool after = false;
  TqynMainThread::Post([] { throw Exception("posted failure"); });
  TqynMainThread::Post([] { throw std::runtime_error("std failure"); });
  TqynMainThread::Post([&] { after = true; });
  EXPECT_TRUE(CheckSynchronize(0));
  EXPECT_EQ(seen, (std::vector<std::string>{"posted failure", "std failure"}));
  EXPECT_TRUE(after);
}

TEST_F(SyncRelay, SendIsWithdrawnWhenTheAbortCheckTurnsTrue) {
  std::atomic<bool> abort{false};
  std::atomic<int> result{-1};
  std::atomic<bool> ran{false};
  std::thread worker([&] {
    result = TqynMainThread::Send([&] { ran = true; }, [&] { return abort.load(); }) ? 1 : 0;
  });
  ASSERT_TRUE(WaitUntil([&] { return TqynMainThread::PendingCount() == 1; }));
  abort = true;
  TqynMainThread::WakeWaiters();
  worker.join(); // the main thread never drained: the sender gave up instead of hanging
  EXPECT_EQ(result.load(), 0);
  CheckSynchronize(0);
  EXPECT_FALSE(ran.load()); // a withdrawn call never runs
}

TEST_F(SyncRelay, NestedDrainKeepsTheOrder) {
  std::vector<int> order;
  std::thread worker([&] {
    TqynMainThread::Post([&] {
      order.push_back(1);
      CheckSynchronize(0); // a handler that pumps the loop runs the next calls in order
      order.push_back(99);
    });
    TqynMainThread::Post([&] { order.push_back(2); });
    TqynMainThread::Post([&] { order.push_back(3); });
  });
  worker.join();
  while (CheckSynchronize(0)) {
  }
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 99}));
}

TEST_F(SyncRelay, DispatcherReceivesQueuedAndNewCallsInOrder) {
  std::deque<TqynSyncProc> loop; // a host's event loop
  std::mutex m;
  std::vector<int> order;
  std::thread first([&] { TqynMainThread::Post([&] { order.push_back(1); }); });
  first.join();
  TqynMainThread::SetDispatcher([&](TqynSyncProc aProc) {
    std::lock_guard<std::mutex> lock(m);
    loop.push_back(std::move(aProc));
  });
  EXPECT_EQ(TqynMainThread::PendingCount(), 0u); // forwarded to the dispatcher
  std::atomic<int> sent{-1};
  std::thread worker([&] {
    TqynMainThread::Post([&] { order.push_back(2); });
    sent = TqynMainThread::Send([&] { order.push_back(3); }) ? 1 : 0;
  });
  auto runLoop = [&] {
    for (;;) {
      TqynSyncProc p;
      {
        std::lock_guard<std::mutex> lock(m);
        if (loop.empty()) return;
        p = std::move(loop.front());
        loop.pop_front();
      }
      p();
    }
  };
  ASSERT_TRUE(WaitUntil([&] {
    runLoop();
    return sent.load() >= 0;
  }));
  worker.join();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(sent.load(), 1);
}

TEST_F(SyncRelay, AliveTokenSkipsCallsOfDestroyedOwners) {
  int runs = 0;
  auto token = std::make_unique<TqynAliveToken>();
  TqynMainThread::Post(token->Guard([&] { ++runs; }));
  TqynMainThread::Post(token->Guard([&] { ++runs; }));
  EXPECT_TRUE(CheckSynchronize(0));
  EXPECT_EQ(runs, 2);
  TqynMainThread::Post(token->Guard([&] { ++runs; }));
  token.reset();
  CheckSynchronize(0);
  EXPECT_EQ(runs, 2);
}

TEST_F(SyncRelay, SyncMessagesQueueAndSynchronizeReachTheMainThread) {
  std::vector<std::string> lines;
  std::vector<std::thread::id> threads;
  TqynSyncMessages& messages = SyncMessages();
  EXPECT_EQ(&messages, &SyncMessages());
  messages.OnMessage = [&](TqynSyncMessages* Sender, const std::string& aText) {
    EXPECT_EQ(Sender, &SyncMessages());
    lines.push_back(aText);
    threads.push_back(std::this_thread::get_id());
  };
  std::atomic<bool> done{false};
  std::thread worker([&] {
    messages.Queue("one");
    messages.Synchronize("two");
    messages.Queue("three");
    done = true;
  });
  ASSERT_TRUE(DrainUntil([&] { return done.load() && lines.size() == 3; }));
  worker.join();
  EXPECT_EQ(lines, (std::vector<std::string>{"one", "two", "three"}));
  for (auto id : threads) EXPECT_EQ(id, std::this_thread::get_id());
  messages.OnMessage = nullptr;
  messages.Queue("dropped"); // no handler: nothing happens
  CheckSynchronize(0);
  EXPECT_EQ(lines.size(), 3u);
}

// Threads (more than the cores, so holders get preempted) update a pair of counters that must
// stay equal under the lock: a lost update or a torn pair shows a broken exclusion.
TEST(FieldLock, ExcludesUnderContentionAndTryLockSeesTheHolder) {
  TqynFieldLock lock;
  uint64_t a = 0, b = 0;
  std::atomic<bool> torn{false};
  constexpr int KThreads = 4, KRounds = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < KThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < KRounds; ++i) {
        std::lock_guard<TqynFieldLock> guard(lock);
        if (a != b) torn = true;
        ++a;
        ++b;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_FALSE(torn.load());
  EXPECT_EQ(a, uint64_t{KThreads} * KRounds);

  lock.lock();
  std::atomic<int> other{-1};
  std::thread t([&] { other = lock.try_lock() ? 1 : 0; });
  t.join();
  EXPECT_EQ(other.load(), 0);
  lock.unlock();
  EXPECT_TRUE(lock.try_lock());
  lock.unlock();
}

TEST(CriticalSection, ReentrantAndTryAcquireFromAnotherThread) {
  TqynCriticalSection cs;
  cs.Acquire();
  cs.Acquire(); // re-entrant
  EXPECT_TRUE(cs.TryAcquire());
  std::atomic<int> other{-1};
  std::thread t([&] { other = cs.TryAcquire() ? 1 : 0; });
  t.join();
  EXPECT_EQ(other.load(), 0);
  cs.Release();
  cs.Release();
  cs.Release();
  std::thread t2([&] {
    other = cs.TryAcquire() ? 1 : 0;
    if (other.load() == 1) cs.Release();
  });
  t2.join();
  EXPECT_EQ(other.load(), 1);
}
