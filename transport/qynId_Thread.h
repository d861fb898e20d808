// Worker threads and the log file of the socket layer.
//
// TIdThread wraps std::thread. A subclass supplies Run() (one iteration of its work) and may add
// BeforeRun() / AfterRun(). The body, until terminated:
//   stopped   -> OnStopped, then sleep until Start() or Terminate();
//   otherwise -> BeforeRun(); Run() once, or with Loop repeatedly while not stopped; AfterRun().
// A thread without Loop stops itself after each pass (which, with StopMode smTerminate, ends it).
// An exception escaping the work terminates the thread; its text and class are kept in
// TerminatingException / TerminatingExceptionClass and OnException is raised on the thread.
//
// Lifetime rules:
//  - The OS thread starts on the first Start(). Create(ACreateSuspended = false, ...) means the
//    most-derived constructor calls AfterConstruction() as its last statement (a thread may not
//    run virtual Run() of a half-built object), or the owner calls Start().
//  - A subclass that overrides Run() calls Shutdown() first in its destructor, so the thread ends
//    before the subclass's members go away. ~TIdThread does it again (harmless).
//  - Every wait inside the body must be interruptible: SleepFor() wakes at once on Stop/Terminate,
//    and WakeUp() is the hook for subclasses that block elsewhere (an eventfd beside a socket).
//  - A free-on-terminate thread deletes itself when its body ends; its OS thread is joined later
//    by the library (at the latest when the program ends), so no thread is left behind.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <pthread.h>

#include "qynBase_Sync.h"
#include "qynBase_Types.h"

enum TIdThreadStopMode : uint8_t { smTerminate, smSuspend };
enum TIdThreadOption : uint8_t { itoStopped, itoReqCleanup, itoDataOwner, itoTag };

class TIdThread;
using TIdNotifyThreadEvent = std::function<void(TIdThread* Sender)>;
using TIdExceptionThreadEvent = std::function<void(TIdThread* AThread, const Exception& AException)>;

class TIdThread {
public:
  explicit TIdThread(bool ACreateSuspended = true, bool ALoop = true, const std::string& AName = "");
  virtual ~TIdThread();
  TIdThread(const TIdThread&) = delete;
  TIdThread& operator=(const TIdThread&) = delete;

  // Resumes a stopped thread (launching the OS thread the first time). No effect once terminated.
  void Start();
  // Marks the thread stopped; with StopMode smTerminate it is also terminated.
  void Stop();
  // Marks the thread stopped and terminated; a terminated thread never runs again.
  void Terminate();
  // Terminate() and WaitFor(). Raises EIdException "Cannot call TerminateAndWaitFor on
  // FreeAndTerminate threads" for a free-on-terminate thread.
  void TerminateAndWaitFor();
  // Waits until the body has ended (returns at once when never started, or when called on the
  // thread itself).
  void WaitFor();
  // Terminates and waits; never raises. Subclass destructors call it first.
  void Shutdown() noexcept;

  // Runs aMethod on the main thread and waits. False when the call was withdrawn because this
  // thread was terminated before the main thread started it.
  bool Synchronize(const std::function<void()>& aMethod);
  // Sleeps up to aMilliseconds; returns early when the thread is stopped or terminated. True when
  // the whole time passed without such a request.
  bool SleepFor(int64_t aMilliseconds);
  // Sleeps until the thread is stopped or terminated.
  void SleepUntilStopped();

  bool Stopped() const noexcept { return FStopped.load() || FTerminated.load(); }
  bool Terminated() const noexcept { return FTerminated.load(); }
  // The OS thread was launched / its body has ended.
  bool Started() const noexcept { return FLaunched.load(); }
  bool Finished() const noexcept { return FFinished.load(); }

  bool Loop() const noexcept { return FLoop.load(); }
  void SetLoop(bool aValue) noexcept { FLoop.store(aValue); }
  TIdThreadStopMode StopMode() const noexcept { return FStopMode.load(); }
  void SetStopMode(TIdThreadStopMode aValue) noexcept { FStopMode.store(aValue); }
  // "IdThread (unknown)" when set empty. The first 15 bytes become the OS thread name.
  std::string Name() const;
  void SetName(const std::string& aName);
  void* Data() const noexcept { return FData.load(); }
  void SetData(void* aData) noexcept { FData.store(aData); }
  uint32_t Options() const noexcept;
  bool HasOption(TIdThreadOption aOption) const noexcept { return (Options() >> aOption) & 1u; }

  // Stack size of the OS thread in bytes, applied when it is launched (the first Start); 0, the
  // default, takes the system's (8 MB of address space on Linux). A value below the system's
  // minimum is raised to it.
  size_t StackSize() const noexcept { return FStackSize.load(); }
  void SetStackSize(size_t aValue) noexcept { FStackSize.store(aValue); }

  bool FreeOnTerminate() const noexcept { return FFreeOnTerminate.load(); }
  // Marks the thread free-on-terminate. When its body is still running it deletes itself at the
  // end (and the return is true: the caller must drop every reference); when the body never ran
  // or has ended already the return is false and the caller still owns (and frees) the object.
  bool SetFreeOnTerminate(bool aValue);

  std::string TerminatingException() const;
  std::string TerminatingExceptionClass() const;

  // Id of the OS thread (default-constructed id before the launch).
  std::thread::id ThreadId() const;
  // The TIdThread whose body runs on the calling thread, or nullptr.
  static TIdThread* Current() noexcept;
  // Joins the OS threads of free-on-terminate threads that have deleted themselves (waiting for
  // the ones still ending). Called automatically at program end; tests may call it.
  static void JoinFreedThreads();
  // Number of TIdThread bodies whose OS thread was launched and has not yet left its body, in the
  // whole process (threads of other libraries, a sanitizer's own among them, are not counted).
  static int RunningCount() noexcept;

  TIdExceptionThreadEvent OnException;
  TIdNotifyThreadEvent OnStopped;

protected:
  virtual void BeforeRun() {}
  virtual void Run() = 0;
  virtual void AfterRun() {}
  // Raises OnException (on the thread).
  virtual void DoException(const Exception& E);
  // Raises OnStopped (on the thread).
  virtual void DoStopped();
  // Called by Start, Stop and Terminate after the flags changed, on the calling thread.
  virtual void WakeUp() {}
  // Starts the thread when it was created not suspended; the most-derived constructor's last step.
  void AfterConstruction();

private:
  static void* Entry(void* aThread);
  void Body();
  void Launch();
  void RecordException(const Exception& E);

  mutable std::mutex FMutex; // flags, condition variable, names, exception texts
  std::condition_variable FCv; // Start/Stop/Terminate
  std::mutex FJoinMutex; // launch and join of FThread
  // The OS thread (made with pthread_create, so that its stack size can be chosen); joinable
  // while FThreadJoinable.
  pthread_t FThread{};
  bool FThreadJoinable = false;
  std::atomic<size_t> FStackSize{0};
  std::atomic<bool> FCreateSuspended;
  std::atomic<bool> FLoop;
  std::atomic<bool> FStopped{true};
  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FLaunched{false};
  std::atomic<bool> FFinished{false};
  std::atomic<bool> FFreeOnTerminate{false};
  std::atomic<bool> FReqCleanup{false};
  std::atomic<TIdThreadStopMode> FStopMode{smTerminate};
  std::atomic<void*> FData{nullptr};
  std::string FName;
  std::string FTerminatingException;
  std::string FTerminatingExceptionClass;
  std::thread::id FThreadId;
};

// Writes a log file opened for appending. Subclasses write whole lines through WriteBytes
// (TqynIdLogFileBase adds the per-line lock and open-write-close).
class TIdLogFile {
public:
  TIdLogFile() = default;
  virtual ~TIdLogFile();
  TIdLogFile(const TIdLogFile&) = delete;
  TIdLogFile& operator=(const TIdLogFile&) = delete;

  const std::string& Filename() const noexcept { return FFilename; }
  // Raises EIdException "Unable to set Filename while log file is open." while open.
  void SetFilename(const std::string& aFilename);
  bool Active() const noexcept { return FStream != nullptr; }
  void SetActive(bool aValue);
  bool LogTime() const noexcept { return FLogTime; }
  void SetLogTime(bool aValue) noexcept { FLogTime = aValue; }
  bool ReplaceCRLF() const noexcept { return FReplaceCRLF; }
  void SetReplaceCRLF(bool aValue) noexcept { FReplaceCRLF = aValue; }

  // Opens Filename for appending, creating it when missing (no effect when open). Raises
  // EIdException with the system's text when the file cannot be opened.
  virtual void Open();
  virtual void Close() noexcept;

protected:
  // Writes the bytes to the open stream and flushes; false when not open or on a write error.
  bool WriteBytes(const void* aData, size_t aLength);

private:
  std::string FFilename;
  bool FLogTime = true;
  bool FReplaceCRLF = true;
  std::FILE* FStream = nullptr;
};
