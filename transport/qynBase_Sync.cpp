#include "qynBase_Sync.h"

#include "qynMessages.h"

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <exception>
#include <thread>

namespace {

enum class TCallState { Pending, Running, Done, Cancelled };

struct TSendState {
  TCallState State = TCallState::Pending;
  std::exception_ptr Error;
};

struct TRelay {
  std::mutex M; // queue, main thread id, send states, exception handler
  std::condition_variable QueueCv; // a call was queued
  std::condition_variable DoneCv; // a sent call finished, or waiters must re-check their aborts
  std::deque<TqynSyncProc> Queue;
  std::thread::id MainId;
  bool HasMain = false;
  TqynSyncExceptionHandler OnException;

  // Serialises calls into the dispatcher so that queued calls keep their order; recursive because
  // a dispatcher may run a call at once, and that call may post again.
  std::recursive_mutex DispatchM;
  TqynSyncDispatcher Dispatcher;
};

// Never destroyed: worker threads ending during process exit may still post or wake waiters.
TRelay& Relay() {
  static TRelay* GRelay = new TRelay;
  return *GRelay;
}

thread_local TqynAbortCheck GThreadAbort;

void ReportPostException(std::exception_ptr aError) {
  TqynSyncExceptionHandler handler;
  {
    std::lock_guard<std::mutex> lock(Relay().M);
    handler = Relay().OnException;
  }
  auto report = [&](const Exception& E) {
    if (handler) {
      try {
        handler(E);
      } catch (...) {
      }
    } else {
      const std::string line = QynFormat(RS_MainThreadCallException, E.ClassName(), E.Message());
      std::fputs(line.c_str(), stderr);
    }
  };
  try {
    std::rethrow_exception(aError);
  } catch (const Exception& E) {
    report(E);
  } catch (const std::exception& E) {
    report(Exception(E.what()));
  } catch (...) {
    report(Exception(RS_UnknownException));
  }
}

void Enqueue(TqynSyncProc aItem) {
  TRelay& r = Relay();
  {
    std::lock_guard<std::recursive_mutex> dlock(r.DispatchM);
    if (r.Dispatcher) {
      r.Dispatcher(std::move(aItem));
      return;
    }
    std::lock_guard<std::mutex> lock(r.M);
    r.Queue.push_back(std::move(aItem));
  }
  r.QueueCv.notify_all();
}

} // namespace

void TqynMainThread::Post(TqynSyncProc aProc) {
  if (!aProc) return;
  Enqueue([p = std::move(aProc)]() {
    try {
      p();
    } catch (...) {
      ReportPostException(std::current_exception());
    }
  });
}

bool TqynMainThread::Send(TqynSyncProc aProc) { return SendImpl(std::move(aProc), GThreadAbort, false); }

bool TqynMainThread::Send(TqynSyncProc aProc, const TqynAbortCheck& aAbort) {
  return SendImpl(std::move(aProc), aAbort, false);
}

bool TqynMainThread::SendDetachable(TqynSyncProc aProc) { return SendImpl(std::move(aProc), GThreadAbort, true); }

bool TqynMainThread::SendImpl(TqynSyncProc aProc, const TqynAbortCheck& aAbort, bool aDetachable) {
  if (!aProc) return true;
  if (IsMainThread()) {
    aProc();
    return true;
  }
  TRelay& r = Relay();
  auto state = std::make_shared<TSendState>();
  Enqueue([state, p = std::move(aProc)]() {
    TRelay& rr = Relay();
    {
      std::lock_guard<std::mutex> lock(rr.M);
      if (state->State == TCallState::Cancelled) return;
      state->State = TCallState::Running;
    }
    std::exception_ptr error;
    try {
      p();
    } catch (...) {
      error = std::current_exception();
    }
    {
      std::lock_guard<std::mutex> lock(rr.M);
      state->State = TCallState::Done;
      state->Error = std::move(error);
    }
    rr.DoneCv.notify_all();
  });
  std::unique_lock<std::mutex> lock(r.M);
  for (;;) {
    if (state->State == TCallState::Done) break;
    const bool withdrawable = state->State == TCallState::Pending;
    if ((withdrawable || aDetachable) && aAbort && aAbort()) {
      if (withdrawable) state->State = TCallState::Cancelled;
      return false;
    }
    r.DoneCv.wait(lock);
  }
  // Taken out under the lock: the exception then belongs to this thread alone.
  std::exception_ptr error = std::move(state->Error);
  state->Error = nullptr;
  lock.unlock();
  if (error) std::rethrow_exception(error);
  return true;
}

bool TqynMainThread::CheckSynchronize(int aTimeoutMs) {
  TRelay& r = Relay();
  std::unique_lock<std::mutex> lock(r.M);
  if (!r.HasMain) {
    r.MainId = std::this_thread::get_id();
    r.HasMain = true;
  }
  if (r.Queue.empty() && aTimeoutMs > 0)
    r.QueueCv.wait_for(lock, std::chrono::milliseconds(aTimeoutMs), [&] { return !r.Queue.empty(); });
  // Only the calls present now: a call that keeps posting itself cannot hold the caller forever.
  // Calls are taken one at a time, so a nested drain (a call that drains again) keeps the order.
  size_t n = r.Queue.size();
  bool ran = false;
  while (n-- > 0 && !r.Queue.empty()) {
    TqynSyncProc item = std::move(r.Queue.front());
    r.Queue.pop_front();
    lock.unlock();
    try {
      item();
    } catch (...) {
      ReportPostException(std::current_exception());
    }
    item = nullptr; // release what the call captured before taking the lock again
    ran = true;
    lock.lock();
  }
  return ran;
}

void TqynMainThread::SetDispatcher(TqynSyncDispatcher aDispatcher) {
  TRelay& r = Relay();
  std::lock_guard<std::recursive_mutex> dlock(r.DispatchM);
  std::deque<TqynSyncProc> pending;
  {
    std::lock_guard<std::mutex> lock(r.M);
    r.MainId = std::this_thread::get_id();
    r.HasMain = true;
    r.Dispatcher = std::move(aDispatcher);
    if (r.Dispatcher) pending.swap(r.Queue);
  }
  for (auto& item : pending) r.Dispatcher(std::move(item));
}

void TqynMainThread::SetMainThread() {
  TRelay& r = Relay();
  std::lock_guard<std::mutex> lock(r.M);
  r.MainId = std::this_thread::get_id();
  r.HasMain = true;
}

bool TqynMainThread::IsMainThread() {
  TRelay& r = Relay();
  std::lock_guard<std::mutex> lock(r.M);
  return r.HasMain && r.MainId == std::this_thread::get_id();
}

bool TqynMainThread::HasMainThread() {
  TRelay& r = Relay();
  std::lock_guard<std::mutex> lock(r.M);
  return r.HasMain;
}

size_t TqynMainThread::PendingCount() {
  TRelay& r = Relay();
  std::lock_guard<std::mutex> lock(r.M);
  return r.Queue.size();
}

void TqynMainThread::WakeWaiters() {
  TRelay& r = Relay();
  { std::lock_guard<std::mutex> lock(r.M); }
  r.DoneCv.notify_all();
}

void TqynMainThread::SetThreadAbortCheck(TqynAbortCheck aAbort) { GThreadAbort = std::move(aAbort); }

bool TqynMainThread::ThreadAborted() { return GThreadAbort && GThreadAbort(); }

void TqynMainThread::SetOnException(TqynSyncExceptionHandler aHandler) {
  TRelay& r = Relay();
  std::lock_guard<std::mutex> lock(r.M);
  r.OnException = std::move(aHandler);
}

// ---------------------------------------------------------------------------------------------

void TqynFieldLock::LockContended() noexcept {
  unsigned spins = 0;
  for (;;) {
    // Wait on a plain load (no cache-line ping-pong), then try again.
    while (FLocked.load(std::memory_order_relaxed)) {
      if (spins < 64) {
        ++spins;
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
      } else {
        std::this_thread::yield();
      }
    }
    if (!FLocked.exchange(true, std::memory_order_acquire)) return;
  }
}

void TqynCriticalSection::Acquire() noexcept {
  try {
    FMutex.lock();
  } catch (...) {
  }
}

void TqynCriticalSection::Release() noexcept {
  try {
    FMutex.unlock();
  } catch (...) {
  }
}

bool TqynCriticalSection::TryAcquire() noexcept {
  try {
    return FMutex.try_lock();
  } catch (...) {
    return false;
  }
}

// ---------------------------------------------------------------------------------------------

void TqynSyncMessages::Deliver(const std::string& aText) {
  if (OnMessage) OnMessage(this, aText);
}

void TqynSyncMessages::Queue(const std::string& aText) {
  TqynMainThread::Post([this, aText]() { Deliver(aText); });
}

void TqynSyncMessages::Synchronize(const std::string& aText) {
  TqynMainThread::Send([this, &aText]() { Deliver(aText); });
}

TqynSyncMessages& SyncMessages() {
  static TqynSyncMessages GInstance;
  return GInstance;
}
