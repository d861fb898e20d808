// The process's main-thread relay, the re-entrant lock and the text relay TqynSyncMessages.
//
// Worker threads hand calls to the main (window) thread through TqynMainThread:
//   - Post(fn)  queues the call and returns at once;
//   - Send(fn)  runs the call on the main thread and waits for it (at once when called on the
//               main thread itself).
// Both keep first-in first-out order. A host either installs a dispatcher (a function that
// forwards a callable to its event loop, e.g. a Qt queued invocation) or drains the relay's own
// queue by calling CheckSynchronize(timeoutMs) on its main thread. The main thread is the thread
// that installs the dispatcher, calls SetMainThread(), or first calls CheckSynchronize.
//
// A Send from a worker waits until the main thread runs the call. When the calling thread is a
// TIdThread that gets terminated (or an explicit abort check turns true) before the main thread
// has started the call, the call is withdrawn and Send returns false; a call that has started is
// always waited for. So a main thread that terminates and joins a worker never deadlocks with
// that worker's pending Send.
//
// Exceptions: a Send call's exception is raised again in the sender. A posted call's exception
// goes to the handler set with SetOnException (default: one line on stderr).
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "qynBase_Types.h"

using TqynSyncProc = std::function<void()>;
using TqynSyncDispatcher = std::function<void(TqynSyncProc aProc)>;
using TqynAbortCheck = std::function<bool()>;
using TqynSyncExceptionHandler = std::function<void(const Exception& E)>;

class TqynMainThread {
public:
  // Queues aProc for the main thread without waiting.
  static void Post(TqynSyncProc aProc);
  // Runs aProc on the main thread and waits. True when it ran; false when the call was withdrawn
  // before it started because the calling worker thread was terminated.
  static bool Send(TqynSyncProc aProc);
  // As Send, withdrawn when aAbort() turns true before the call has started (checked on every
  // WakeWaiters() and every completed call).
  static bool Send(TqynSyncProc aProc, const TqynAbortCheck& aAbort);
  // As Send(aProc), but a terminated worker also stops waiting for a call that has already started
  // (the call still finishes on the main thread). So a main-thread call may stop and join the
  // very thread that sent it. aProc must own everything it uses (no references to the sender's
  // stack).
  static bool SendDetachable(TqynSyncProc aProc);

  // Runs the queued calls (those present on entry, in order) on the calling thread, which becomes
  // the main thread when none is set yet. Waits up to aTimeoutMs for a call when the queue is
  // empty. Returns whether any call ran.
  static bool CheckSynchronize(int aTimeoutMs = 0);

  // Installs (or, with an empty function, removes) the host's dispatcher; the calling thread
  // becomes the main thread. Calls already queued are forwarded to the new dispatcher in order.
  static void SetDispatcher(TqynSyncDispatcher aDispatcher);
  // Declares the calling thread the main thread.
  static void SetMainThread();
  static bool IsMainThread();
  static bool HasMainThread();
  // Number of calls waiting in the relay's own queue (not counting a dispatcher's).
  static size_t PendingCount();

  // Makes waiting Send calls re-check their abort conditions (TIdThread calls it on Stop and
  // Terminate).
  static void WakeWaiters();
  // The abort check that Send(fn) uses on the calling thread (TIdThread sets "terminated"; a
  // poller serving many listeners also counts the one whose datagram it is handling).
  static void SetThreadAbortCheck(TqynAbortCheck aAbort);
  // The calling thread's abort check holds (false without one): a wait for something a stopping
  // thread may hold should give up.
  static bool ThreadAborted();

  // Receives exceptions raised by posted calls. Empty restores the default (stderr).
  static void SetOnException(TqynSyncExceptionHandler aHandler);

private:
  static bool SendImpl(TqynSyncProc aProc, const TqynAbortCheck& aAbort, bool aDetachable);
};

// Host-side name of TqynMainThread::CheckSynchronize.
inline bool CheckSynchronize(int aTimeoutMs = 0) { return TqynMainThread::CheckSynchronize(aTimeoutMs); }

// Lets a component's queued calls notice that the component is gone: the component owns a
// TqynAliveToken, and calls it posts are wrapped with Guard(), which skips them after the token
// (and so the component) was destroyed. Components are destroyed on the main thread, where the
// guarded calls run, so the check cannot race with the destruction.
class TqynAliveToken {
public:
  TqynAliveToken() : FToken(std::make_shared<char>(0)) {}
  TqynAliveToken(const TqynAliveToken&) = delete;
  TqynAliveToken& operator=(const TqynAliveToken&) = delete;
  std::weak_ptr<char> Weak() const { return FToken; }
  // Returns a call that runs aProc only while this token lives.
  TqynSyncProc Guard(TqynSyncProc aProc) const {
    return [w = Weak(), p = std::move(aProc)]() {
      if (!w.expired()) p();
    };
  }

private:
  std::shared_ptr<char> FToken;
};

// A re-entrant lock of the operating system. Acquire and Release swallow any failure of the
// underlying call; TryAcquire takes the lock only when it is free (or already held by the
// calling thread).
class TqynCriticalSection {
public:
  TqynCriticalSection() = default;
  TqynCriticalSection(const TqynCriticalSection&) = delete;
  TqynCriticalSection& operator=(const TqynCriticalSection&) = delete;
  void Acquire() noexcept;
  void Release() noexcept;
  bool TryAcquire() noexcept;
  // Lockable names so that std::lock_guard / std::unique_lock work.
  void lock() noexcept { Acquire(); }
  void unlock() noexcept { Release(); }
  bool try_lock() noexcept { return TryAcquire(); }

private:
  std::recursive_mutex FMutex;
};

// A lock for a few fields that are copied in or out under it (never held across a call that can
// block or call back). Uncontended it costs one atomic exchange to take and a plain store to
// give back, where a mutex costs two read-modify-write operations and two library calls; the
// socket objects of the datagram path take such locks many times per datagram. A waiter spins
// briefly, then yields its time slice, so a holder that was preempted is not starved.
class TqynFieldLock {
public:
  TqynFieldLock() = default;
  TqynFieldLock(const TqynFieldLock&) = delete;
  TqynFieldLock& operator=(const TqynFieldLock&) = delete;
  void lock() noexcept {
    if (!FLocked.exchange(true, std::memory_order_acquire)) return;
    LockContended();
  }
  bool try_lock() noexcept {
    return !FLocked.load(std::memory_order_relaxed) && !FLocked.exchange(true, std::memory_order_acquire);
  }
  void unlock() noexcept { FLocked.store(false, std::memory_order_release); }

private:
  void LockContended() noexcept;
  std::atomic<bool> FLocked{false};
};

// An object that owns one TqynCriticalSection.
class TqynThreadSafeBase {
public:
  TqynThreadSafeBase() = default;
  virtual ~TqynThreadSafeBase() = default;
  TqynThreadSafeBase(const TqynThreadSafeBase&) = delete;
  TqynThreadSafeBase& operator=(const TqynThreadSafeBase&) = delete;
  void Lock() noexcept { FLock.Acquire(); }
  void Unlock() noexcept { FLock.Release(); }
  TqynCriticalSection& CriticalSection() noexcept { return FLock; }

protected:
  TqynCriticalSection FLock;
};

class TqynSyncMessages;
using TqynSyncMessageEvent = std::function<void(TqynSyncMessages* Sender, const std::string& aText)>;

// Relays text messages from any thread to the main thread. One instance per process, made on
// first use by SyncMessages() and freed when the program ends.
class TqynSyncMessages : public TqynThreadSafeBase {
public:
  // Posts a call of OnMessage(this, aText) to the main thread without waiting.
  void Queue(const std::string& aText);
  // The same, waiting until the main thread ran it.
  void Synchronize(const std::string& aText);

  // Runs on the main thread; set it from the main thread.
  TqynSyncMessageEvent OnMessage;

private:
  void Deliver(const std::string& aText);
};

// The process-wide TqynSyncMessages.
TqynSyncMessages& SyncMessages();
