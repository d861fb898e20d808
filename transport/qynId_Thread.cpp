#include "qynId_Thread.h"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include "qynId_Exceptions.h"
#include "qynMessages.h"

namespace {

thread_local TIdThread* GCurrentThread = nullptr;
// OS threads launched by TIdThread whose body has not ended yet.
std::atomic<int> GRunningThreads{0};

// Keeps the OS threads of self-freeing TIdThreads until they can be joined. A thread registers
// when it is marked free-on-terminate while running, and hands its std::thread over when its
// body has ended and the object was deleted. Joining happens on the next hand-over and at
// program end, where the reaper first waits for every registered thread to finish.
class TThreadReaper {
public:
  void Register() {
    std::lock_guard<std::mutex> lock(FMutex);
    ++FRunning;
  }
  void HandOver(pthread_t aThread) {
    std::vector<pthread_t> done;
    {
      std::lock_guard<std::mutex> lock(FMutex);
      done.swap(FDone);
      FDone.push_back(aThread);
      --FRunning;
    }
    FCv.notify_all();
    for (pthread_t t : done) pthread_join(t, nullptr);
  }
  void JoinAll() {
    std::vector<pthread_t> done;
    {
      std::unique_lock<std::mutex> lock(FMutex);
      FCv.wait(lock, [&] { return FRunning == 0; });
      done.swap(FDone);
    }
    for (pthread_t t : done)
      if (!pthread_equal(t, pthread_self())) pthread_join(t, nullptr);
      else pthread_detach(t);
  }
  ~TThreadReaper() { JoinAll(); }

private:
  std::mutex FMutex;
  std::condition_variable FCv;
  int FRunning = 0;
  std::vector<pthread_t> FDone; // ended threads, not yet joined
};

TThreadReaper& Reaper() {
  static TThreadReaper GReaper;
  return GReaper;
}

void SetOsThreadName(const std::string& aName) {
  // Linux limits thread names to 15 bytes plus the terminator.
  const std::string shortName = aName.substr(0, 15);
  pthread_setname_np(pthread_self(), shortName.c_str());
}

} // namespace

TIdThread::TIdThread(bool ACreateSuspended, bool ALoop, const std::string& AName)
    : FCreateSuspended(ACreateSuspended), FLoop(ALoop), FName(AName.empty() ? RS_ThreadUnknownName : AName) {
  // Make sure the reaper exists before any thread can need it, so that it is destroyed (and joins)
  // after every object created later.
  (void)Reaper();
}

TIdThread::~TIdThread() {
  Shutdown();
  // Only when the object is deleted on its own thread is its OS thread still unjoined here.
  if (FThreadJoinable) pthread_detach(FThread);
}

void TIdThread::AfterConstruction() {
  if (!FCreateSuspended.load()) Start();
}

void TIdThread::Launch() {
  std::lock_guard<std::mutex> jlock(FJoinMutex);
  if (FLaunched.load()) return;
  FLaunched.store(true);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  if (size_t stack = FStackSize.load(); stack != 0) {
    stack = std::max(stack, static_cast<size_t>(PTHREAD_STACK_MIN));
    pthread_attr_setstacksize(&attr, stack);
  }
  pthread_t thread;
  GRunningThreads.fetch_add(1);
  const int e = pthread_create(&thread, &attr, &TIdThread::Entry, this);
  pthread_attr_destroy(&attr);
  if (e != 0) {
    GRunningThreads.fetch_sub(1);
    FLaunched.store(false);
    throw EIdException(QynFormat(RS_ThreadCreateFailed, std::string(std::strerror(e))));
  }
  FThread = thread;
  FThreadJoinable = true;
  std::lock_guard<std::mutex> lock(FMutex);
  // libstdc++'s thread id is the pthread handle.
  FThreadId = std::thread::id(thread);
}

void* TIdThread::Entry(void* aThread) {
  // The thread drops the count itself once its body has returned; a self-freeing thread has
  // deleted its object by then, so nothing of it is touched.
  static_cast<TIdThread*>(aThread)->Body();
  GRunningThreads.fetch_sub(1);
  return nullptr;
}

void TIdThread::Start() {
  {
    std::lock_guard<std::mutex> lock(FMutex);
    if (FTerminated.load()) return;
    FStopped.store(false);
  }
  FCv.notify_all();
  if (!FLaunched.load()) {
    // Nothing to wake before the launch; and once launched, a free-on-terminate thread may
    // already have deleted itself, so nothing of the object is touched after Launch.
    Launch();
    return;
  }
  WakeUp();
}

void TIdThread::Stop() {
  {
    std::lock_guard<std::mutex> lock(FMutex);
    FStopped.store(true);
    if (FStopMode.load() == smTerminate) FTerminated.store(true);
  }
  FCv.notify_all();
  WakeUp();
  TqynMainThread::WakeWaiters();
}

void TIdThread::Terminate() {
  {
    std::lock_guard<std::mutex> lock(FMutex);
    FStopped.store(true);
    FTerminated.store(true);
  }
  FCv.notify_all();
  WakeUp();
  TqynMainThread::WakeWaiters();
}

void TIdThread::TerminateAndWaitFor() {
  if (FFreeOnTerminate.load()) throw EIdException(RS_TerminateAndWaitForFreeOnTerminate);
  Terminate();
  WaitFor();
}

void TIdThread::WaitFor() {
  if (GCurrentThread == this) return;
  std::lock_guard<std::mutex> jlock(FJoinMutex);
  if (!FThreadJoinable) return;
  pthread_join(FThread, nullptr);
  FThreadJoinable = false;
}

void TIdThread::Shutdown() noexcept {
  try {
    Terminate();
    if (GCurrentThread == this) return; // cannot wait for itself
    WaitFor();
  } catch (...) {
  }
}

bool TIdThread::Synchronize(const std::function<void()>& aMethod) {
  return TqynMainThread::Send(aMethod, [this] { return Terminated(); });
}

void TIdThread::SleepUntilStopped() {
  std::unique_lock<std::mutex> lock(FMutex);
  FCv.wait(lock, [this] { return Stopped(); });
}

bool TIdThread::SleepFor(int64_t aMilliseconds) {
  std::unique_lock<std::mutex> lock(FMutex);
  if (aMilliseconds <= 0) return !Stopped();
  const bool interrupted =
      FCv.wait_for(lock, std::chrono::milliseconds(aMilliseconds), [this] { return Stopped(); });
  return !interrupted;
}

std::string TIdThread::Name() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return FName;
}

void TIdThread::SetName(const std::string& aName) {
  {
    std::lock_guard<std::mutex> lock(FMutex);
    FName = aName.empty() ? RS_ThreadUnknownName : aName;
  }
  if (GCurrentThread == this) {
    SetOsThreadName(Name());
    return;
  }
  // A running thread gets its new name from here; skipped while another thread joins it.
  std::unique_lock<std::mutex> jlock(FJoinMutex, std::try_to_lock);
  if (jlock.owns_lock() && FThreadJoinable && !FFinished.load())
    pthread_setname_np(FThread, Name().substr(0, 15).c_str());
}

uint32_t TIdThread::Options() const noexcept {
  uint32_t result = 0;
  if (Stopped()) result |= 1u << itoStopped;
  if (FReqCleanup.load()) result |= 1u << itoReqCleanup;
  return result;
}

bool TIdThread::SetFreeOnTerminate(bool aValue) {
  std::lock_guard<std::mutex> lock(FMutex);
  if (!aValue) {
    // Withdrawing is only possible while the reaper does not count on this thread.
    if (!FFreeOnTerminate.load()) return false;
    if (FLaunched.load() && !FFinished.load()) return true; // already promised to free itself
    FFreeOnTerminate.store(false);
    return false;
  }
  if (FFreeOnTerminate.load()) return FLaunched.load() && !FFinished.load();
  FFreeOnTerminate.store(true);
  if (FLaunched.load() && !FFinished.load()) {
    Reaper().Register();
    return true;
  }
  // Never ran or already ended: the caller keeps the object; the flag only blocks
  // TerminateAndWaitFor as documented.
  return false;
}

std::string TIdThread::TerminatingException() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return FTerminatingException;
}

std::string TIdThread::TerminatingExceptionClass() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return FTerminatingExceptionClass;
}

std::thread::id TIdThread::ThreadId() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return FThreadId;
}

TIdThread* TIdThread::Current() noexcept { return GCurrentThread; }

void TIdThread::JoinFreedThreads() { Reaper().JoinAll(); }

int TIdThread::RunningCount() noexcept { return GRunningThreads.load(); }

void TIdThread::DoException(const Exception& E) {
  if (OnException) OnException(this, E);
}

void TIdThread::DoStopped() {
  if (OnStopped) OnStopped(this);
}

void TIdThread::RecordException(const Exception& E) {
  {
    std::lock_guard<std::mutex> lock(FMutex);
    FTerminatingException = E.Message();
    FTerminatingExceptionClass = E.ClassName();
  }
  Terminate();
  try {
    DoException(E);
  } catch (...) {
  }
}

void TIdThread::Body() {
  GCurrentThread = this;
  TqynMainThread::SetThreadAbortCheck([this] { return Terminated(); });
  SetOsThreadName(Name());

  while (!Terminated()) {
    if (Stopped()) {
      try {
        DoStopped();
      } catch (...) {
      }
      std::unique_lock<std::mutex> lock(FMutex);
      FCv.wait(lock, [this] { return !FStopped.load() || FTerminated.load(); });
      continue;
    }
    FReqCleanup.store(true);
    try {
      bool ranBefore = false;
      try {
        BeforeRun();
        ranBefore = true;
        if (FLoop.load()) {
          while (!Stopped()) Run();
        } else {
          Run();
        }
      } catch (...) {
        if (ranBefore) {
          try {
            AfterRun();
          } catch (...) {
          }
        }
        throw;
      }
      AfterRun();
    } catch (const Exception& E) {
      RecordException(E);
    } catch (const std::exception& E) {
      RecordException(Exception(E.what()));
    } catch (...) {
      RecordException(Exception(RS_UnknownException));
    }
    FReqCleanup.store(false);
    // A thread without Loop runs its work once per Start.
    if (!FLoop.load() && !Terminated()) Stop();
  }

  TqynMainThread::SetThreadAbortCheck(nullptr);
  GCurrentThread = nullptr;

  bool selfFree;
  {
    std::lock_guard<std::mutex> lock(FMutex);
    FFinished.store(true);
    selfFree = FFreeOnTerminate.load();
  }
  if (selfFree) {
    pthread_t self;
    {
      std::lock_guard<std::mutex> jlock(FJoinMutex);
      self = FThread;
      FThreadJoinable = false;
    }
    delete this;
    // Nothing of the object may be touched from here on.
    Reaper().HandOver(self);
  }
}

// ---------------------------------------------------------------------------------------------

TIdLogFile::~TIdLogFile() { Close(); }

void TIdLogFile::SetFilename(const std::string& aFilename) {
  if (Active()) throw EIdException(RS_LogFileNameWhileOpen);
  FFilename = aFilename;
}

void TIdLogFile::SetActive(bool aValue) {
  if (aValue) Open();
  else Close();
}

void TIdLogFile::Open() {
  if (FStream) return;
  FStream = std::fopen(FFilename.c_str(), "ab");
  if (!FStream) {
    const int err = errno;
    throw EIdException(QynFormat(RS_LogFileOpenFailed, FFilename, std::string(std::strerror(err))));
  }
}

void TIdLogFile::Close() noexcept {
  if (FStream) {
    std::fclose(FStream);
    FStream = nullptr;
  }
}

bool TIdLogFile::WriteBytes(const void* aData, size_t aLength) {
  if (!FStream) return false;
  if (aLength > 0 && std::fwrite(aData, 1, aLength, FStream) != aLength) return false;
  return std::fflush(FStream) == 0;
}
