// qyn-test-labels: unit
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <pthread.h>
#include <thread>

#include "qyn_test_wait.h"
#include "qynBase_Sync.h"
#include "qynId_Exceptions.h"
#include "qynId_Thread.h"
#include "qynMessages.h"

namespace {

using namespace std::chrono_literals;

// Polls aCondition until it holds or the generous deadline passes.
class TCountingThread : public TIdThread {
public:
  using TIdThread::TIdThread;
  ~TCountingThread() override { Shutdown(); }
  std::atomic<int> Befores{0}, Runs{0}, Afters{0};
  std::atomic<bool> Throw{false};
  std::atomic<int> SleepMs{0};
  std::string OsName;

protected:
  void BeforeRun() override { ++Befores; }
  void Run() override {
    char name[32] = {0};
    pthread_getname_np(pthread_self(), name, sizeof name);
    OsName = name;
    ++Runs;
    if (Throw) throw Exception("boom");
    if (SleepMs > 0) SleepFor(SleepMs);
    else std::this_thread::yield();
  }
  void AfterRun() override { ++Afters; }
};

// A running subclass built with ACreateSuspended = false.
class TAutoThread : public TCountingThread {
public:
  TAutoThread() : TCountingThread(false, true, "auto") {
    SleepMs = 5;
    AfterConstruction();
  }
};

} // namespace

TEST(IdThread, SuspendedUntilStartThenLoopsUntilTerminated) {
  TCountingThread t(true, true, "");
  EXPECT_EQ(t.Name(), RS_ThreadUnknownName);
  EXPECT_TRUE(t.Stopped());
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(t.Runs.load(), 0);
  t.Start();
  ASSERT_TRUE(WaitUntil([&] { return t.Runs.load() > 3; }));
  EXPECT_EQ(t.Befores.load(), 1);
  t.TerminateAndWaitFor();
  EXPECT_TRUE(t.Terminated());
  EXPECT_TRUE(t.Finished());
  EXPECT_EQ(t.Afters.load(), 1);
  EXPECT_EQ(t.OsName, std::string(RS_ThreadUnknownName).substr(0, 15));
  // A terminated thread never runs again.
  const int runs = t.Runs.load();
  t.Start();
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(t.Runs.load(), runs);
}

TEST(IdThread, CreatedRunningAndNamed) {
  TAutoThread t;
  ASSERT_TRUE(WaitUntil([&] { return t.Runs.load() > 0; }));
  EXPECT_EQ(t.Name(), "auto");
  EXPECT_EQ(t.ThreadId() == std::thread::id(), false);
}

TEST(IdThread, LongNameIsCutForTheSystem) {
  TCountingThread t(true, false, "a-very-long-thread-name");
  t.Start();
  t.WaitFor(); // without Loop and with smTerminate one pass ends the thread
  EXPECT_EQ(t.Runs.load(), 1);
  EXPECT_EQ(t.OsName, "a-very-long-thr");
}

TEST(IdThread, SmSuspendStopsAndStartResumes) {
  TCountingThread t(true, true, "susp");
  t.SetStopMode(smSuspend);
  std::atomic<int> stoppedEvents{0};
  t.OnStopped = [&](TIdThread*) { ++stoppedEvents; };
  t.SleepMs = 5;
  t.Start();
  ASSERT_TRUE(WaitUntil([&] { return t.Runs.load() > 0; }));
  t.Stop();
  ASSERT_TRUE(WaitUntil([&] { return stoppedEvents.load() == 1; }));
  EXPECT_FALSE(t.Terminated());
  EXPECT_EQ(t.Afters.load(), 1);
  const int runs = t.Runs.load();
  t.Start();
  ASSERT_TRUE(WaitUntil([&] { return t.Runs.load() > runs; }));
  EXPECT_EQ(t.Befores.load(), 2);
}

TEST(IdThread, ExceptionTerminatesAndIsReported) {
  TCountingThread t(true, true, "thrower");
  t.Throw = true;
  std::atomic<bool> seen{false};
  std::string message;
  t.OnException = [&](TIdThread* aThread, const Exception& E) {
    EXPECT_EQ(aThread, &t);
    message = E.Message();
    seen = true;
  };
  t.Start();
  t.WaitFor();
  EXPECT_TRUE(seen.load());
  EXPECT_EQ(message, "boom");
  EXPECT_TRUE(t.Terminated());
  EXPECT_EQ(t.TerminatingException(), "boom");
  EXPECT_EQ(t.TerminatingExceptionClass(), "Exception");
  EXPECT_EQ(t.Afters.load(), 1);
}

TEST(IdThread, LongSleepWakesAtOnceOnTerminate) {
  const auto start = std::chrono::steady_clock::now();
  {
    TCountingThread t(true, true, "sleeper");
    t.SleepMs = 60000;
    t.Start();
    ASSERT_TRUE(WaitUntil([&] { return t.Runs.load() > 0; }));
  } // the destructor terminates and joins
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

TEST(IdThread, SynchronizeRunsOnMainThreadAndIsWithdrawnOnTerminate) {
  TqynMainThread::SetMainThread();
  while (CheckSynchronize(0)) {
  }
  struct TSyncThread : TIdThread {
    TSyncThread() : TIdThread(true, false, "sync") {}
    ~TSyncThread() override { Shutdown(); }
    std::atomic<int> Result{-1};
    std::thread::id RanOn;
    void Run() override { Result = Synchronize([this] { RanOn = std::this_thread::get_id(); }) ? 1 : 0; }
  };
  {
    TSyncThread t;
    t.Start();
    ASSERT_TRUE(WaitUntil([&] { return CheckSynchronize(10) || t.Result.load() >= 0; }));
    ASSERT_TRUE(WaitUntil([&] { return t.Result.load() >= 0; }));
    EXPECT_EQ(t.Result.load(), 1);
    EXPECT_EQ(t.RanOn, std::this_thread::get_id());
  }
  {
    // The main thread does not drain; terminating the worker withdraws its call, so joining it
    // cannot deadlock.
    TSyncThread t;
    t.Start();
    ASSERT_TRUE(WaitUntil([&] { return TqynMainThread::PendingCount() == 1; }));
    t.TerminateAndWaitFor();
    EXPECT_EQ(t.Result.load(), 0);
    // The withdrawn call is skipped when the queue is drained later.
    CheckSynchronize(0);
    EXPECT_EQ(t.RanOn, std::thread::id());
  }
}

TEST(IdThread, FreeOnTerminateFromInsideTheThread) {
  static std::atomic<int> destroyed{0};
  struct TSelfFree : TIdThread {
    TSelfFree() : TIdThread(true, true, "selffree") {}
    ~TSelfFree() override {
      Shutdown();
      ++destroyed;
    }
    void Run() override {
      EXPECT_TRUE(SetFreeOnTerminate(true));
      Terminate();
    }
  };
  destroyed = 0;
  auto* t = new TSelfFree;
  t->Start();
  ASSERT_TRUE(WaitUntil([&] { return destroyed.load() == 1; }));
  TIdThread::JoinFreedThreads();
}

TEST(IdThread, TerminateAndWaitForRefusedForFreeOnTerminate) {
  TCountingThread t(true, true, "x");
  EXPECT_FALSE(t.SetFreeOnTerminate(true)); // never started: the caller still owns it
  EXPECT_THROW(t.TerminateAndWaitFor(), EIdException);
  try {
    t.TerminateAndWaitFor();
  } catch (const EIdException& E) {
    EXPECT_EQ(E.Message(), RS_TerminateAndWaitForFreeOnTerminate);
  }
}

TEST(IdLogFile, AppendsAndRefusesRenameWhileOpen) {
  struct TLog : TIdLogFile {
    bool Write(const std::string& s) { return WriteBytes(s.data(), s.size()); }
  };
  const std::string path = ::testing::TempDir() + "qyn_idlogfile_test.log";
  std::remove(path.c_str());
  {
    TLog log;
    EXPECT_TRUE(log.LogTime());
    EXPECT_TRUE(log.ReplaceCRLF());
    log.SetFilename(path);
    EXPECT_FALSE(log.Write("x"));
    log.SetActive(true);
    EXPECT_TRUE(log.Active());
    EXPECT_TRUE(log.Write("one"));
    EXPECT_THROW(log.SetFilename(path + ".2"), EIdException);
    log.Close();
    log.Open();
    EXPECT_TRUE(log.Write("two"));
  }
  std::ifstream in(path, std::ios::binary);
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(content, "onetwo");
  std::remove(path.c_str());
}
