// qyn-test-labels: unit
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "qyn_test_wait.h"
#include "qynBase_Classes.h"

namespace {

class Timer : public ::testing::Test {
protected:
  void SetUp() override {
    TqynMainThread::SetMainThread();
    while (CheckSynchronize(0)) {
    }
  }
  void TearDown() override {
    while (CheckSynchronize(0)) {
    }
    TIdThread::JoinFreedThreads();
  }
};

// Records tick times.
struct TTicks {
  std::mutex M;
  std::vector<TClock::time_point> At;
  std::vector<std::thread::id> On;
  void Add() {
    std::lock_guard<std::mutex> lock(M);
    At.push_back(TClock::now());
    On.push_back(std::this_thread::get_id());
  }
  size_t Count() {
    std::lock_guard<std::mutex> lock(M);
    return At.size();
  }
};

} // namespace

TEST_F(Timer, DefaultsAndDebugName) {
  TqynTimer timer("Defaults");
  EXPECT_EQ(timer.Interval(), 60000);
  EXPECT_FALSE(timer.Enabled());
  EXPECT_EQ(timer.NotifyEvents(), neNoSync);
  EXPECT_EQ(timer.DebugName(), "Defaults");
  timer.SetDebugName("Renamed");
  EXPECT_EQ(timer.Name(), "Renamed");
}

// Periods: an Interval is taken up to the next multiple of 100 ms (plus handler time). Bounds are
// loose: only the average over several ticks is checked, with a wide margin for a loaded machine.
TEST_F(Timer, PeriodsFollowTheHundredMillisecondStep) {
  struct TCase {
    int Interval;
    int ExpectedMs;
  };
  for (const TCase c : {TCase{10, 100}, TCase{250, 300}}) {
    SCOPED_TRACE(c.Interval);
    TTicks ticks;
    TqynTimer timer;
    timer.SetInterval(c.Interval);
    timer.OnTimer = [&](TqynTimer*) { ticks.Add(); };
    timer.SetEnabled(true);
    ASSERT_TRUE(WaitUntil([&] { return ticks.Count() >= 6; }));
    timer.SetEnabled(false);
    std::lock_guard<std::mutex> lock(ticks.M);
    const auto span = std::chrono::duration_cast<std::chrono::milliseconds>(ticks.At[5] - ticks.At[1]).count();
    const double average = static_cast<double>(span) / 4.0;
    EXPECT_GE(average, c.ExpectedMs * 0.8);
    EXPECT_LE(average, c.ExpectedMs * 3.0);
    for (auto id : ticks.On) EXPECT_NE(id, std::this_thread::get_id()); // neNoSync: the timer's thread
  }
}

TEST_F(Timer, ZeroIntervalFiresAtOnce) {
  std::atomic<int> ticks{0};
  TqynTimer timer;
  timer.SetInterval(0);
  timer.OnTimer = [&](TqynTimer* aSender) {
    ++ticks;
    if (ticks.load() >= 3) aSender->SetEnabled(false);
  };
  timer.SetEnabled(true);
  ASSERT_TRUE(WaitUntil([&] { return timer.Terminated(); }));
  timer.WaitFor();
  EXPECT_EQ(ticks.load(), 3);
}

TEST_F(Timer, NeverTicksBeforeEnabledAndStaysSilentAfterReEnable) {
  std::atomic<int> ticks{0};
  TqynTimer timer;
  timer.SetInterval(10);
  timer.OnTimer = [&](TqynTimer*) { ++ticks; };
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(ticks.load(), 0); // not enabled yet

  timer.SetEnabled(true);
  ASSERT_TRUE(WaitUntil([&] { return ticks.load() > 0; }));
  timer.SetEnabled(false);
  timer.WaitFor();
  const int seen = ticks.load();
  timer.SetEnabled(true); // a terminated timer never ticks again
  EXPECT_TRUE(timer.Enabled());
  std::this_thread::sleep_for(400ms);
  EXPECT_EQ(ticks.load(), seen);
}

TEST_F(Timer, ExceptionsGoToOnExceptionAndTheTimerKeepsTicking) {
  std::atomic<int> ticks{0};
  std::atomic<int> errors{0};
  std::atomic<bool> executingInHandler{false};
  std::string message;
  TqynTimer timer;
  timer.SetInterval(10);
  timer.OnTimer = [&](TqynTimer*) {
    ++ticks;
    throw Exception("tick failed");
  };
  timer.OnException = [&](TqynTimer* aSender, const Exception& E) {
    executingInHandler = aSender->IsExecuting();
    if (errors.load() == 0) message = E.Message();
    ++errors;
  };
  timer.SetEnabled(true);
  ASSERT_TRUE(WaitUntil([&] { return errors.load() >= 3; }));
  timer.SetEnabled(false);
  timer.WaitFor();
  EXPECT_EQ(message, "tick failed");
  EXPECT_TRUE(executingInHandler.load());
  EXPECT_FALSE(timer.IsExecuting());
  EXPECT_GE(ticks.load(), 3);
}

TEST_F(Timer, ExceptionWithoutHandlerIsDropped) {
  std::atomic<int> ticks{0};
  TqynTimer timer;
  timer.SetInterval(10);
  timer.OnTimer = [&](TqynTimer*) {
    ++ticks;
    throw std::runtime_error("dropped");
  };
  timer.SetEnabled(true);
  ASSERT_TRUE(WaitUntil([&] { return ticks.load() >= 3; }));
}

TEST_F(Timer, AsynchronousTicksRunOnTheMainThread) {
  TTicks ticks;
  TqynTimer timer;
  timer.SetInterval(10);
  timer.SetNotifyEvents(neAsynchronous);
  timer.OnTimer = [&](TqynTimer* aSender) {
    EXPECT_TRUE(aSender->IsExecuting());
    ticks.Add();
  };
  timer.SetEnabled(true);
  ASSERT_TRUE(DrainUntil([&] { return ticks.Count() >= 3; }));
  timer.SetEnabled(false);
  std::lock_guard<std::mutex> lock(ticks.M);
  for (auto id : ticks.On) EXPECT_EQ(id, std::this_thread::get_id());
}

TEST_F(Timer, SynchronousTicksWaitForTheMainThread) {
  std::atomic<int> ticks{0};
  std::atomic<bool> onMain{true};
  auto timer = std::make_unique<TqynTimer>();
  timer->SetInterval(10);
  timer->SetNotifyEvents(neSynchronous);
  timer->OnTimer = [&](TqynTimer*) {
    if (!TqynMainThread::IsMainThread()) onMain = false;
    ++ticks;
  };
  timer->SetEnabled(true);
  // Without draining, the timer thread waits in its first tick: no second one is queued.
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(ticks.load(), 0);
  EXPECT_LE(TqynMainThread::PendingCount(), 1u);
  ASSERT_TRUE(DrainUntil([&] { return ticks.load() >= 2; }));
  EXPECT_TRUE(onMain.load());
  // Destroyed while its tick waits for the main thread: the wait is withdrawn, no deadlock.
  std::this_thread::sleep_for(150ms);
  const auto start = TClock::now();
  timer.reset();
  EXPECT_LT(TClock::now() - start, 5s);
}

TEST_F(Timer, DestroyingAnIdleTimerReturnsPromptly) {
  // Interval 60000: destruction must not wait for the period to run out.
  for (bool enabled : {false, true}) {
    auto timer = std::make_unique<TqynTimer>();
    timer->SetEnabled(enabled);
    std::this_thread::sleep_for(50ms);
    const auto start = TClock::now();
    timer.reset();
    EXPECT_LT(TClock::now() - start, 5s);
  }
  // The same through FreeThread from another thread.
  auto timer = std::make_unique<TqynTimer>();
  timer->SetEnabled(true);
  const auto start = TClock::now();
  FreeThread(timer);
  EXPECT_EQ(timer, nullptr);
  EXPECT_LT(TClock::now() - start, 5s);
}

TEST_F(Timer, FreeThreadFromInsideItsOwnTick) {
  for (TwsNotifyEvent mode : {neNoSync, neAsynchronous, neSynchronous}) {
    SCOPED_TRACE(static_cast<int>(mode));
    std::atomic<int> ticks{0};
    std::atomic<bool> cleared{false};
    TqynTimer* timer = new TqynTimer("selffree");
    timer->SetInterval(10);
    timer->SetNotifyEvents(mode);
    TqynTimer** ref = &timer;
    timer->OnTimer = [&, ref](TqynTimer*) {
      ++ticks;
      TqynIdThread* t = *ref;
      FreeThread(t); // marks it free-on-terminate: it frees itself when its body ends
      *ref = nullptr;
      cleared = (t == nullptr);
    };
    timer->SetEnabled(true);
    ASSERT_TRUE(DrainUntil([&] { return ticks.load() >= 1; }));
    // No further tick after the disposal.
    const auto end = TClock::now() + 300ms;
    while (TClock::now() < end) CheckSynchronize(5);
    EXPECT_EQ(ticks.load(), 1);
    EXPECT_TRUE(cleared.load());
    EXPECT_EQ(timer, nullptr);
    TIdThread::JoinFreedThreads(); // the self-freed thread has ended and is joined
  }
}

// Queued ticks run on the main thread, which may simply destroy the timer from inside the tick.
TEST_F(Timer, DestroyedInsideItsOwnQueuedTick) {
  for (TwsNotifyEvent mode : {neAsynchronous, neSynchronous}) {
    SCOPED_TRACE(static_cast<int>(mode));
    std::atomic<int> ticks{0};
    auto timer = std::make_unique<TqynTimer>();
    timer->SetInterval(10);
    timer->SetNotifyEvents(mode);
    timer->OnTimer = [&](TqynTimer*) {
      ++ticks;
      const auto start = TClock::now();
      timer.reset();
      EXPECT_LT(TClock::now() - start, 5s);
    };
    timer->SetEnabled(true);
    ASSERT_TRUE(DrainUntil([&] { return ticks.load() >= 1; }));
    const auto end = TClock::now() + 300ms;
    while (TClock::now() < end) CheckSynchronize(5);
    EXPECT_EQ(ticks.load(), 1);
    EXPECT_EQ(timer, nullptr);
  }
}

TEST_F(Timer, FreeThreadIgnoresEmptyReferences) {
  TqynIdThread* none = nullptr;
  FreeThread(none);
  std::unique_ptr<TqynTimer> empty;
  FreeThread(empty);
  SUCCEED();
}

TEST_F(Timer, PendingAsynchronousTickOfADestroyedTimerIsSkipped) {
  std::atomic<int> ticks{0};
  auto timer = std::make_unique<TqynTimer>();
  timer->SetInterval(10);
  timer->SetNotifyEvents(neAsynchronous);
  timer->OnTimer = [&](TqynTimer*) { ++ticks; };
  timer->SetEnabled(true);
  ASSERT_TRUE(WaitUntil([&] { return TqynMainThread::PendingCount() >= 1; }));
  timer.reset();
  while (CheckSynchronize(0)) {
  }
  EXPECT_EQ(ticks.load(), 0);
}

TEST_F(Timer, IdThreadIdentity) {
  std::atomic<uint64_t> id{0};
  std::atomic<bool> current{false};
  TqynTimer timer;
  EXPECT_FALSE(timer.IsCurrentThread());
  timer.SetInterval(10);
  timer.OnTimer = [&](TqynTimer* aSender) {
    id = aSender->ThreadID();
    current = aSender->IsCurrentThread();
  };
  timer.SetEnabled(true);
  ASSERT_TRUE(WaitUntil([&] { return id.load() != 0; }));
  EXPECT_TRUE(current.load());
  EXPECT_NE(timer.ThreadID(), 0u);
}
