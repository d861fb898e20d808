// Component base of every transport and protocol component: the component root, worker threads
// with a debug name, the timer, lock-protected lists and keyed queues, socket-object and socket-
// component bases, the UDP notification model (on which thread an application's handler runs),
// the option records of the transport components, the log file writer and GUID texts.
//
// The re-entrant lock TqynCriticalSection, TqynThreadSafeBase and the main-thread relay live in
// qynBase_Sync.h, which this header includes.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "qynBase_Sync.h"
#include "qynBase_Types.h"
#include "qynId_Sockets.h"
#include "qynId_Thread.h"
#include "qynMessages.h"

// How a component's events reach the application: on the thread where they happen, queued to
// the main thread, or run on the main thread while the notifying thread waits.
enum TwsNotifyEvent : uint8_t { neNoSync, neAsynchronous, neSynchronous };

enum TwsTransport : uint8_t {
  trpUndefined,
  trpRFC6455,
  trpHixie76,
  trpFlash,
  trpSSE,
  trpTCP,
  trpHTTP,
  trpRFC8441,
  trpHTTP2,
  trpUDP,
  trpQUIC
};

QYN_DECLARE_EXCEPTION(EListError, Exception)

// A new v4 GUID (randomness from RAND_bytes) as 32 upper-case hexadecimal digits, without braces
// or hyphens.
std::string NewGuidText();

// ---------------------------------------------------------------------------------------------
// Component root

// Teardown: every thread, timer and transport that calls into a component is stopped and joined
// before any part of the component is destroyed. ShutdownComponent does that work; each class that
// owns such threads overrides it (calling its base's last) and keeps it idempotent. A component
// freed with delete (directly or through a std::unique_ptr) runs it through the destroying
// operator delete below, before the first destructor of the chain, so no descendant can forget
// it. A component that lives on the stack or as a member is not freed with delete: its
// most-derived class calls ShutdownComponent first in its own destructor.
class TqynComponent_Base {
public:
  explicit TqynComponent_Base(TqynComponent_Base* aOwner = nullptr) : FOwner(aOwner) {}
  virtual ~TqynComponent_Base() { Destroying(); }
  TqynComponent_Base(const TqynComponent_Base&) = delete;
  TqynComponent_Base& operator=(const TqynComponent_Base&) = delete;

  // Runs ShutdownComponent of the most-derived class, then the destructor chain, then frees the
  // storage.
  void operator delete(TqynComponent_Base* aComponent, std::destroying_delete_t) noexcept {
    void* storage = dynamic_cast<void*>(aComponent);
    aComponent->ShutdownComponent();
    aComponent->~TqynComponent_Base();
    ::operator delete(storage);
  }

  // Marks the component as being destroyed and stops and joins everything that runs on other
  // threads and calls into it (read and listener threads, timers, inner transports). Idempotent;
  // callable from one of the component's own handlers (that thread is then not waited for).
  virtual void ShutdownComponent() noexcept { Destroying(); }

  // Always "4.5.2".
  std::string Version() const { return RS_ComponentVersion; }
  // The state tests, in their slot order.
  bool IsDesigning() const noexcept { return FDesigning.load(); }
  bool IsDestroying() const noexcept { return FDestroying.load(); }
  bool IsLoading() const noexcept { return FLoading.load(); }

  TqynComponent_Base* Owner() const noexcept { return FOwner; }
  // Free label (listener threads are named after it). Set it before the component runs.
  const std::string& Name() const noexcept { return FName; }
  void SetName(const std::string& aName) { FName = aName; }

protected:
  // Marks the component as being destroyed; a descendant's destructor calls it first, so that
  // work arriving from other threads during the destruction is dropped.
  void Destroying() noexcept { FDestroying.store(true); }
  void SetDesigning(bool aValue) noexcept { FDesigning.store(aValue); }
  void SetLoading(bool aValue) noexcept { FLoading.store(aValue); }
  // Calls posted to the main thread are wrapped with AliveToken().Guard(...) so that they are
  // skipped once the component is gone.
  const TqynAliveToken& AliveToken() const noexcept { return FAlive; }

private:
  TqynComponent_Base* FOwner;
  std::atomic<bool> FDesigning{false};
  std::atomic<bool> FDestroying{false};
  std::atomic<bool> FLoading{false};
  std::string FName;
  TqynAliveToken FAlive;
};

// ---------------------------------------------------------------------------------------------
// Worker threads and the timer

// A TIdThread with a debug name, the system id of its thread (stored by the first pass) and the
// IsExecuting mark that FreeThread consults.
class TqynIdThread : public TIdThread {
public:
  explicit TqynIdThread(bool ACreateSuspended = true, bool ALoop = true, const std::string& AName = "");
  ~TqynIdThread() override;

  // The debug name is also the thread's Name (and so its OS name).
  std::string DebugName() const;
  void SetDebugName(const std::string& aName);
  // System thread id (gettid) of the thread; 0 until its first pass stored it.
  uint64_t ThreadID() const noexcept { return FThreadID.load(); }
  // True while the thread (or a tick posted for it) runs an application handler.
  bool IsExecuting() const noexcept { return FExecuting.load(); }
  void SetExecuting(bool aValue) noexcept { FExecuting.store(aValue); }
  // True when called on this thread.
  bool IsCurrentThread() const noexcept { return TIdThread::Current() == this; }

protected:
  // Stores the thread id; subclasses that override BeforeRun call this one first.
  void BeforeRun() override;

private:
  std::atomic<uint64_t> FThreadID{0};
  std::atomic<bool> FExecuting{false};
};

class TqynTimer;
using TqynTimerEvent = std::function<void(TqynTimer* Sender)>;
using TqynTimerOnException = std::function<void(TqynTimer* Sender, const Exception& E)>;

// A timer on its own thread, created running. While enabled it waits Interval milliseconds in
// 100 ms steps (an Interval of 0 or less fires at once), then fires OnTimer where NotifyEvents
// says: on the timer thread (neNoSync), posted to the main thread (neAsynchronous) or run on the
// main thread while the timer thread waits (neSynchronous). Interval is read at the start of
// every period. Setting Enabled to false terminates the thread: the timer never ticks again.
//
// Set OnTimer, OnException and NotifyEvents before enabling the timer; a period starts counting
// when the timer is enabled. Dispose of a timer from inside its own tick only with FreeThread.
class TqynTimer : public TqynIdThread {
public:
  explicit TqynTimer(const std::string& aDebugName = "");
  ~TqynTimer() override;

  int Interval() const noexcept { return FInterval.load(); }
  void SetInterval(int aValue) noexcept { FInterval.store(aValue); }
  bool Enabled() const noexcept { return FEnabled.load(); }
  void SetEnabled(bool aValue);
  TwsNotifyEvent NotifyEvents() const noexcept { return FNotifyEvents.load(); }
  void SetNotifyEvents(TwsNotifyEvent aValue) noexcept { FNotifyEvents.store(aValue); }

  TqynTimerEvent OnTimer;
  // Receives exceptions of the tick and of its dispatch; without it they are dropped.
  TqynTimerOnException OnException;

protected:
  void Run() override;
  void WakeUp() override;

private:
  struct TShared;
  void Fire();
  static void Tick(const std::shared_ptr<TShared>& aShared);
  static void ReportException(const std::shared_ptr<TShared>& aShared, TqynTimer* aTimer, const Exception& E);

  std::shared_ptr<TShared> FShared;
  std::atomic<int> FInterval{60000};
  std::atomic<bool> FEnabled{false};
  std::atomic<TwsNotifyEvent> FNotifyEvents{neNoSync};
  std::mutex FEnableMutex;
  std::condition_variable FEnableCv;
};

// Disposes of a worker thread and clears the reference. Called on that thread itself, or while
// the thread runs an application handler (IsExecuting), the thread is marked free-on-terminate
// and terminated, and frees itself when its body ends. Otherwise it is terminated, the caller
// pauses about 1 ms, and the object is freed, which waits for the thread to end.
void FreeThread(TqynIdThread*& aThread);
template <typename T> void FreeThread(std::unique_ptr<T>& aThread) {
  static_assert(std::is_base_of_v<TqynIdThread, T>, "FreeThread takes TqynIdThread descendants");
  TqynIdThread* thread = aThread.release();
  FreeThread(thread);
}

// ---------------------------------------------------------------------------------------------
// Lock-protected list and keyed queues

enum TDuplicates : uint8_t { dupIgnore, dupAccept, dupError };
enum TqynThreadListType : uint8_t { tdlThreadDictionary, tdlOnlyThread, tdlOnlyDictionary };
enum TqynListDirection : uint8_t { FromBeginning, FromEnd };

namespace qyn_detail {
template <typename T> const void* ListItemAddress(const T& aItem) {
  if constexpr (std::is_pointer_v<T>) return static_cast<const void*>(aItem);
  else return static_cast<const void*>(aItem.get());
}
std::string ListDuplicatesText(const void* aItem);
std::string ListIndexText(int aIndex);
} // namespace qyn_detail

// A list of object references (raw pointers or shared pointers) with its own re-entrant lock.
// Every operation takes the lock; LockList/UnlockList hold it across several steps. Keys are
// ignored (ListType is always tdlOnlyThread).
template <typename T> class TqynThreadList {
public:
  using TItems = std::vector<T>;

  TqynThreadList() = default;
  virtual ~TqynThreadList() = default;
  TqynThreadList(const TqynThreadList&) = delete;
  TqynThreadList& operator=(const TqynThreadList&) = delete;

  // Appends; with dupIgnore an item already present is not added again, with dupError it raises
  // EListError "List does not allow duplicates ($0%x)".
  void Add(const T& aItem) {
    std::lock_guard<TqynCriticalSection> lock(FLock);
    if (FDuplicates.load() != dupAccept && IndexOfLocked(aItem, FromBeginning) >= 0) {
      if (FDuplicates.load() == dupError)
        throw EListError(qyn_detail::ListDuplicatesText(qyn_detail::ListItemAddress(aItem)));
      return;
    }
    FList.push_back(aItem);
  }
  void AddKey(const T& aItem, const std::string& /*aKey*/) { Add(aItem); }
  // Raises EListError for an index outside the list.
  void Delete(int aIndex) {
    std::lock_guard<TqynCriticalSection> lock(FLock);
    if (aIndex < 0 || static_cast<size_t>(aIndex) >= FList.size()) throw EListError(qyn_detail::ListIndexText(aIndex));
    FList.erase(FList.begin() + aIndex);
  }
  void DeleteKey(int aIndex, const std::string& /*aKey*/) { Delete(aIndex); }
  T GetValue(const std::string& /*aKey*/) const { return T{}; }
  virtual void Clear() {
    std::lock_guard<TqynCriticalSection> lock(FLock);
    FList.clear();
  }
  // Removes the first occurrence from the start.
  void Remove(const T& aItem) { RemoveItem(aItem, FromBeginning); }
  void RemoveItem(const T& aItem, TqynListDirection aDirection) {
    std::lock_guard<TqynCriticalSection> lock(FLock);
    const int i = IndexOfLocked(aItem, aDirection);
    if (i >= 0) FList.erase(FList.begin() + i);
  }
  // Takes the lock and returns the inner list; the caller must call UnlockList.
  TItems& LockList() {
    FLock.Acquire();
    return FList;
  }
  void UnlockList() { FLock.Release(); }
  bool IsEmpty() const {
    std::lock_guard<TqynCriticalSection> lock(FLock);
    return FList.empty();
  }
  int Count() const {
    std::lock_guard<TqynCriticalSection> lock(FLock);
    return static_cast<int>(FList.size());
  }
  bool Contains(const T& aItem) const {
    std::lock_guard<TqynCriticalSection> lock(FLock);
    return IndexOfLocked(aItem, FromBeginning) >= 0;
  }

  TqynCriticalSection& Lock() const noexcept { return FLock; }
  // The inner list; use it only while holding Lock().
  TItems& List() noexcept { return FList; }
  TDuplicates Duplicates() const noexcept { return FDuplicates.load(); }
  void SetDuplicates(TDuplicates aValue) noexcept { FDuplicates.store(aValue); }
  TqynThreadListType ListType() const noexcept { return tdlOnlyThread; }

protected:
  int IndexOfLocked(const T& aItem, TqynListDirection aDirection) const {
    const int n = static_cast<int>(FList.size());
    if (aDirection == FromBeginning) {
      for (int i = 0; i < n; ++i)
        if (FList[static_cast<size_t>(i)] == aItem) return i;
    } else {
      for (int i = n - 1; i >= 0; --i)
        if (FList[static_cast<size_t>(i)] == aItem) return i;
    }
    return -1;
  }

  mutable TqynCriticalSection FLock;
  TItems FList;
  std::atomic<TDuplicates> FDuplicates{dupIgnore};
};

// An item of a keyed queue. ID() is what every lookup compares; subclasses override it to
// compute the key from their own fields.
class TqynQueueItemBase {
public:
  TqynQueueItemBase() = default;
  virtual ~TqynQueueItemBase() = default;
  TqynQueueItemBase(const TqynQueueItemBase&) = delete;
  TqynQueueItemBase& operator=(const TqynQueueItemBase&) = delete;
  virtual std::string ID() const;
  virtual void SetID(const std::string& aValue);

private:
  mutable std::mutex FIDMutex;
  std::string FID;
};

using TqynQueueItemRef = std::shared_ptr<TqynQueueItemBase>;

// A lock-protected list of shared queue items, in insertion order. Items are shared objects:
// removing one drops the queue's reference, so a caller that still holds the item keeps it
// alive; with OwnObjects the queue is the item's owner (nobody else is expected to keep it).
class TqynQueueCommon : public TqynThreadList<TqynQueueItemRef> {
public:
  TqynQueueCommon() { SetDuplicates(dupAccept); }
  bool OwnObjects() const noexcept { return FOwnObjects.load(); }
  void SetOwnObjects(bool aValue) noexcept { FOwnObjects.store(aValue); }
  // Removes the items from the last to the first (an exception while one is freed is swallowed).
  void Clear() override;

private:
  std::atomic<bool> FOwnObjects{false};
};

// Adds lookup by ID and by index, all under the queue's lock.
class TqynQueueBase : public TqynQueueCommon {
public:
  // Appends the item.
  void AddItem(const TqynQueueItemRef& aItem);
  // Removes the first item whose ID equals aID exactly (case-sensitive); true when one was removed.
  bool DeleteItem(const std::string& aID);
  // Removes the item at aIndex; false when the index is not below Count.
  bool DeleteItem(int aIndex);
  // The first item whose ID equals aID, or null.
  TqynQueueItemRef GetItem(const std::string& aID) const;
  // The item at aIndex, or null when out of range.
  TqynQueueItemRef GetItem(int aIndex) const { return GetItemByIndex(aIndex); }
  TqynQueueItemRef GetItemByIndex(int aIndex) const;
  // Typed forms: null also when the item is not of class T.
  template <typename T> std::shared_ptr<T> GetItemAs(const std::string& aID) const {
    return std::dynamic_pointer_cast<T>(GetItem(aID));
  }
  template <typename T> std::shared_ptr<T> GetItemByIndexAs(int aIndex) const {
    return std::dynamic_pointer_cast<T>(GetItemByIndex(aIndex));
  }

protected:
  int IndexOfIDLocked(const std::string& aID) const;
};

// A concrete keyed queue.
class TqynQueue : public TqynQueueBase {};

// ---------------------------------------------------------------------------------------------
// Log writer

// Writes one line per call: the file is opened for appending (created when missing), written
// and closed, all under the writer's own lock, so lines from concurrent threads never mix.
//   received: "Recv " + time + ": " + text + "\r\n"   (an empty received text writes no line)
//   sent:     "Sent " + time + ": " + text + "\r\n"
//   status:   "Stat " + text + "\r\n"
// The text is written byte for byte, so binary data appears unchanged. time is the local date
// and time ("%x %X" of the C library's default locale). Raises EIdException when the file cannot
// be opened.
class TqynIdLogFileBase : public TIdLogFile {
public:
  void LogRecvString(const std::string& aText);
  void LogSendString(const std::string& aText);
  void LogRecvDecodedString(const std::string& aText);
  void LogSendDecodedString(const std::string& aText);
  void LogStatus(const std::string& aText);
  // Byte-buffer forms of the received and sent lines.
  void LogRecvBytes(const TqynBytes& aBytes);
  void LogSendBytes(const TqynBytes& aBytes);

  // Locked forms of the file name property (another thread may be writing a line).
  std::string Filename() const;
  void SetFilename(const std::string& aFilename);

private:
  void WriteLine(const std::string& aLine);
  mutable TqynCriticalSection FLogLock;
};

class TqynIdUDPLogFile : public TqynIdLogFileBase {};
class TqynIdLogFileClient : public TqynIdLogFileBase {};

// Local date and time as the log lines show it.
std::string QynLogTimeText();

// ---------------------------------------------------------------------------------------------
// Socket objects

// One per peer or per datagram. Copies for queued notifications are made with Clone(), which
// every concrete class overrides to copy its own class (with its owning server or client).
class TqynSocketConnection_Base {
public:
  static constexpr int CSCount = 6;

  TqynSocketConnection_Base() = default;
  virtual ~TqynSocketConnection_Base() = default;
  TqynSocketConnection_Base(const TqynSocketConnection_Base&) = delete;
  TqynSocketConnection_Base& operator=(const TqynSocketConnection_Base&) = delete;

  // A new object of the same class carrying the fields a queued notification needs (IP, Port,
  // LocalIP, LocalPort, IPVersion, Transport, Guid and what subclasses add in AssignCopy).
  virtual std::shared_ptr<TqynSocketConnection_Base> Clone() const;

  // Identity text; when empty, DefaultGuid() is stored on the first read.
  std::string Guid();
  void SetGuid(const std::string& aValue);
  std::string IP() const;
  void SetIP(const std::string& aValue);
  TIdPort Port() const noexcept { return FPort.load(); }
  void SetPort(TIdPort aValue) noexcept { FPort.store(aValue); }
  std::string LocalIP() const;
  void SetLocalIP(const std::string& aValue);
  TIdPort LocalPort() const noexcept { return FLocalPort.load(); }
  void SetLocalPort(TIdPort aValue) noexcept { FLocalPort.store(aValue); }
  TIdIPVersion IPVersion() const noexcept { return FIPVersion.load(); }
  void SetIPVersion(TIdIPVersion aValue) noexcept { FIPVersion.store(aValue); }
  TwsTransport Transport() const noexcept { return FTransport.load(); }
  void SetTransport(TwsTransport aValue) noexcept { FTransport.store(aValue); }
  uint64_t RecBytes() const noexcept { return FRecBytes.load(); }
  void SetRecBytes(uint64_t aValue) noexcept { FRecBytes.store(aValue); }
  void AddRecBytes(uint64_t aValue) noexcept { FRecBytes.fetch_add(aValue); }
  uint64_t SendBytes() const noexcept { return FSendBytes.load(); }
  void SetSendBytes(uint64_t aValue) noexcept { FSendBytes.store(aValue); }
  void AddSendBytes(uint64_t aValue) noexcept { FSendBytes.fetch_add(aValue); }
  bool Disconnected() const noexcept { return FDisconnected.load(); }
  void SetDisconnected(bool aValue) noexcept { FDisconnected.store(aValue); }
  // The exception an exception notification carries (an owned copy), or null.
  std::shared_ptr<const Exception> RawException() const;
  void SetRawException(const Exception& E);
  void ClearRawException();
  // Application reference, not owned.
  void* Data() const noexcept { return FData.load(); }
  void SetData(void* aValue) noexcept { FData.store(aValue); }
  bool Active() const noexcept { return FActive.load(); }
  void SetActive(bool aValue) noexcept { FActive.store(aValue); }
  // Set when the owner disposes of the object, before the last reference goes, so that work still
  // holding a reference can see it.
  bool Freed() const noexcept { return FFreed.load(); }
  void MarkFreed() noexcept { FFreed.store(true); }

  // The main lock and the six indexed locks (0..5; other indexes raise EListError).
  void EnterCS() noexcept { FCS.Acquire(); }
  void LeaveCS() noexcept { FCS.Release(); }
  void EnterCS(int aIndex);
  void LeaveCS(int aIndex);
  TqynCriticalSection& CS() noexcept { return FCS; }

protected:
  // Copies the fields a clone takes from aSource; subclasses override, call the parent, and copy
  // their own fields when aSource is of their class.
  virtual void AssignCopy(const TqynSocketConnection_Base& aSource);
  // The identity Guid() takes when none was set: a new GUID text here; socket objects whose
  // identity derives from their address override it (called without the field lock held).
  virtual std::string DefaultGuid() const;

private:
  mutable TqynFieldLock FFieldMutex; // the text fields and RawException
  std::string FGuid;
  std::string FIP;
  std::string FLocalIP;
  std::shared_ptr<const Exception> FRawException;
  std::atomic<TIdPort> FPort{0};
  std::atomic<TIdPort> FLocalPort{0};
  std::atomic<TIdIPVersion> FIPVersion{Id_IPv4};
  std::atomic<TwsTransport> FTransport{trpUndefined};
  std::atomic<uint64_t> FRecBytes{0};
  std::atomic<uint64_t> FSendBytes{0};
  std::atomic<bool> FDisconnected{false};
  std::atomic<void*> FData{nullptr};
  std::atomic<bool> FActive{false};
  std::atomic<bool> FFreed{false};
  TqynCriticalSection FCS;
  std::array<TqynCriticalSection, CSCount> FCSs;
};

class TqynSocketConnection;
// Where a socket object's write failures go (the owning component's socket-exception handler).
using TqynSocketExceptionRouting = std::function<void(TqynSocketConnection* aSocket, const Exception& E)>;

// A socket object that can write: the log writer and the exception routing are shared with its
// clones. Writes never raise: failures go through ReportException.
class TqynSocketConnection : public TqynSocketConnection_Base {
public:
  std::shared_ptr<TqynIdLogFileBase> LogFile() const;
  void SetLogFile(std::shared_ptr<TqynIdLogFileBase> aValue);
  TqynSocketExceptionRouting ExceptionRouting() const;
  void SetExceptionRouting(TqynSocketExceptionRouting aValue);

  virtual void WriteData(const TqynBytes& aBytes) = 0;
  // Text is sent as its bytes.
  virtual void WriteData(const std::string& aValue) = 0;

  // Passes E to the exception routing; never raises.
  void ReportException(const Exception& E) noexcept;

protected:
  void AssignCopy(const TqynSocketConnection_Base& aSource) override;

private:
  mutable TqynFieldLock FRoutingMutex;
  std::shared_ptr<TqynIdLogFileBase> FLogFile;
  TqynSocketExceptionRouting FRouting;
};

// A UDP socket object: Transport trpUDP and the datagram last read (MsgRead).
class TqynUDPSocket_Base : public TqynSocketConnection {
public:
  TqynUDPSocket_Base() { SetTransport(trpUDP); }
  TqynBytes MsgRead() const;
  void SetMsgRead(const TqynBytes& aValue);
  // MsgRead reads aBytes itself, not a copy, until EndMsgReadView: for the owner of the socket
  // object while it delivers a datagram it holds. EndMsgReadView takes a copy when aKeep is true
  // (someone else still holds the object), else MsgRead becomes empty.
  void SetMsgReadView(const TqynBytes* aBytes);
  void EndMsgReadView(bool aKeep);

private:
  mutable TqynFieldLock FMsgMutex;
  TqynBytes FMsgRead;
  const TqynBytes* FMsgView = nullptr;
};

// The class the UDP events hand to the application; the UDP server's and client's socket
// objects derive from it.
class TqynUDPSocket : public TqynUDPSocket_Base {};

// ---------------------------------------------------------------------------------------------
// Socket components

class TqynSocketComponent_Base : public TqynComponent_Base {
public:
  static constexpr int CSCount = 6;

  explicit TqynSocketComponent_Base(TqynComponent_Base* aOwner = nullptr) : TqynComponent_Base(aOwner) {}

  // The component lock: serialises sends and start/stop work.
  void EnterCS() noexcept { FCS.Acquire(); }
  void LeaveCS() noexcept { FCS.Release(); }
  // Indexed locks 0..5 (other indexes raise EListError).
  void EnterCS(int aIndex);
  void LeaveCS(int aIndex);
  bool CSAssigned() const noexcept { return true; }
  TqynCriticalSection& CS() noexcept { return FCS; }

  // neAsynchronous unless a component class sets another mode in its constructor.
  TwsNotifyEvent NotifyEvents() const noexcept { return FNotifyEvents.load(); }
  virtual void SetNotifyEvents(TwsNotifyEvent aValue) { FNotifyEvents.store(aValue); }

  // Marks the socket object freed and drops this reference.
  template <typename T> void FreeSocketObject(std::shared_ptr<T>& aSocket) noexcept {
    if (aSocket) aSocket->MarkFreed();
    aSocket.reset();
  }

private:
  TqynCriticalSection FCS;
  std::array<TqynCriticalSection, CSCount> FCSs;
  std::atomic<TwsNotifyEvent> FNotifyEvents{neAsynchronous};
};

// ---------------------------------------------------------------------------------------------
// UDP components and the notification model

using TqynUDPConnectEvent = std::function<void(TqynComponent_Base* Sender, TqynUDPSocket* Socket)>;
using TqynUDPDisconnectEvent = std::function<void(TqynComponent_Base* Sender, TqynUDPSocket* Socket)>;
using TqynUDPReadEvent = std::function<void(TqynComponent_Base* Sender, TqynUDPSocket* Socket, const TqynBytes& Bytes)>;
using TqynUDPExceptionEvent = std::function<void(TqynComponent_Base* Sender, TqynUDPSocket* Socket, const Exception& E)>;

// A queued notification: its own copy of the socket object, of the bytes (read) or of the
// exception (exception). For disconnect, Original is the socket object itself, freed after its
// event.
struct TqynUDPNotifyObject {
  std::shared_ptr<TqynUDPSocket> Socket;
  TqynBytes Bytes;
  std::shared_ptr<const Exception> RawException;
  std::shared_ptr<TqynUDPSocket> Original;
};

// The pending notifications of one event, with the flag that marks a running drain.
class TqynUDPObjectList : public TqynThreadList<std::shared_ptr<TqynUDPNotifyObject>> {
public:
  TqynUDPObjectList() { SetDuplicates(dupAccept); }
  bool Draining = false;    // guarded by Lock()
  bool DrainPosted = false; // a posted drain has not yet taken the lock; guarded by Lock()
  size_t Bytes = 0;         // the Bytes of the records in the list; guarded by Lock()
};

class TqynUDPComponent_Base : public TqynSocketComponent_Base {
public:
  using TqynSocketComponent_Base::TqynSocketComponent_Base;
};

// Events of a UDP transport component and how they reach the application (NotifyEvents):
//  - neNoSync: the handler runs at once on the notifying thread with the original socket object.
//  - neAsynchronous / neSynchronous: a record with a copy of the socket object (and bytes or
//    exception) is appended to the event's pending list, and a drain is posted to the main
//    thread (neSynchronous waits until it ran). The drain delivers every pending record in
//    order, holding the list's lock while the handler runs. A drain that finds another drain of
//    the same list running further up the main thread's stack returns at once.
// A notifying worker thread that is terminated while it waits (for the list's lock or for a
// synchronous drain) gives up, so stopping a component from the main thread never deadlocks.
// Components are destroyed on the main thread; drains posted before are then skipped.
class TqynUDPComponent : public TqynUDPComponent_Base {
public:
  enum TNotifyKind : uint8_t { nkConnect, nkDisconnect, nkRead, nkException };

  explicit TqynUDPComponent(TqynComponent_Base* aOwner = nullptr) : TqynUDPComponent_Base(aOwner) {}
  ~TqynUDPComponent() override;

  TqynUDPConnectEvent OnUDPConnect;
  TqynUDPDisconnectEvent OnUDPDisconnect;
  TqynUDPReadEvent OnUDPRead;
  TqynUDPExceptionEvent OnUDPException;

  // Notify operations, called on the thread where the cause happened. Read delivers the socket
  // object's MsgRead, exception its RawException. Disconnect takes over the socket object and
  // frees it after its event.
  virtual void NotifyUDPConnect(TqynUDPSocket* aSocket);
  virtual void NotifyUDPDisconnect(std::shared_ptr<TqynUDPSocket> aSocket);
  virtual void NotifyUDPRead(TqynUDPSocket* aSocket);
  virtual void NotifyUDPException(TqynUDPSocket* aSocket);
  // Raise operations: call the application's handler when assigned.
  virtual void DoUDPConnect(TqynUDPSocket* aSocket);
  virtual void DoUDPDisconnect(TqynUDPSocket* aSocket);
  virtual void DoUDPRead(TqynUDPSocket* aSocket, const TqynBytes& aBytes);
  virtual void DoUDPException(TqynUDPSocket* aSocket, const Exception& E);
  // Without OnUDPException nothing happens. With a socket object its RawException is set to E and
  // the exception is notified; without one the handler runs at once on this thread. Never raises.
  virtual void DoException(TqynUDPSocket* aSocket, const Exception& E) noexcept;

  // Pending records of one event (0 when its list was never made). For tests and diagnostics.
  int PendingCount(TNotifyKind aKind) const;

  // Bound of each event's pending list in the queued modes: at most MaxPendingNotifications
  // records holding at most MaxPendingBytes bytes. A notification that does not fit is dropped
  // (a disconnected socket object is still marked freed) and counted; the drops are reported
  // through OnUDPException, at most once a second, with "Pending notifications full: %d
  // notifications dropped" (a record that may exceed the bound). Defaults: 4096 and 8 MiB.
  int MaxPendingNotifications() const noexcept { return FMaxPendingNotifications.load(); }
  void SetMaxPendingNotifications(int aValue) noexcept { FMaxPendingNotifications.store(aValue); }
  size_t MaxPendingBytes() const noexcept { return FMaxPendingBytes.load(); }
  void SetMaxPendingBytes(size_t aValue) noexcept { FMaxPendingBytes.store(aValue); }
  // Notifications dropped so far because their pending list was full.
  uint64_t DroppedNotifications() const noexcept { return FDroppedNotifications.load(); }

private:
  std::shared_ptr<TqynUDPObjectList> PendingList(TNotifyKind aKind);
  void Notify(TNotifyKind aKind, TqynUDPSocket* aSocket, std::shared_ptr<TqynUDPSocket> aOriginal);
  TqynSyncProc MakeDrain(TNotifyKind aKind, const std::shared_ptr<TqynUDPObjectList>& aList);
  void Drain(TNotifyKind aKind, const std::shared_ptr<TqynUDPObjectList>& aList, const std::weak_ptr<char>& aAlive);
  void Raise(TNotifyKind aKind, TqynUDPNotifyObject& aRecord);
  bool LockPendingList(TqynUDPObjectList& aList);
  bool Append(TqynUDPObjectList& aList, const std::shared_ptr<TqynUDPNotifyObject>& aRecord, bool aBounded, bool& aPostDrain);
  void ReportDrops(TqynUDPSocket* aSocket) noexcept;

  mutable std::mutex FPendingMutex;
  std::array<std::shared_ptr<TqynUDPObjectList>, 4> FPending;
  std::atomic<int> FMaxPendingNotifications{4096};
  std::atomic<size_t> FMaxPendingBytes{size_t{8} << 20};
  std::atomic<uint64_t> FDroppedNotifications{0};
  std::atomic<uint64_t> FDropsUnreported{0};
  std::atomic<int64_t> FLastDropReport{0}; // QynNow() of the last report
};

// ---------------------------------------------------------------------------------------------
// Option records of the transport components. Assign copies every field from a record of the
// same class.

struct TqynSocketLogFile {
  bool Enabled = false;
  std::string FileName;
  void Assign(const TqynSocketLogFile& aSource) { *this = aSource; }
};
struct TqynUDPLogFile : TqynSocketLogFile {};

struct TqynSocketWatchDog_Options {
  bool Enabled = false;
  int Interval = 60; // seconds
  int Attempts = 0;
  void Assign(const TqynSocketWatchDog_Options& aSource) { *this = aSource; }
};
struct TqynUDPWatchDog_Options : TqynSocketWatchDog_Options {};

struct TqynSocketHeartBeat_Options {
  bool Enabled = false;
  int Interval = 60; // seconds
  void Assign(const TqynSocketHeartBeat_Options& aSource) { *this = aSource; }
};
struct TqynUDPHeartBeat_Options : TqynSocketHeartBeat_Options {};

struct TqynSocketThrottle {
  bool Enabled = false;
  int BitsPerSec = 0;
  void Assign(const TqynSocketThrottle& aSource) { *this = aSource; }
};

enum TwsProxy : uint8_t { pxyHTTP, pxySocks4, pxySocks4A, pxySocks5 };

struct TqynSocketProxy_Options {
  bool Enabled = false;
  std::string Host;
  int Port = 0;
  std::string Username;
  std::string Password;
  TwsProxy ProxyType = pxyHTTP;
  void Assign(const TqynSocketProxy_Options& aSource) { *this = aSource; }
};
struct TqynUDPProxy_Options : TqynSocketProxy_Options {};

enum TwsTLSVersions : uint8_t { tlsUndefined, tls1_0, tls1_1, tls1_2, tls1_3 };
enum TwsTLSIOHandler : uint8_t { iohOpenSSL, iohSChannel };
enum TwsOpenSSLAPI : uint8_t { oslAPI_1_0, oslAPI_1_1 };
enum TwsOpenSSLLibPath : uint8_t { oslpNone, oslpDefaultFolder };
enum TwsSChannelCertStoreName : uint8_t { scsnMY, scsnRoot, scsnTrust, scsnCA };
enum TwsSChannelCertStorePath : uint8_t { scspStoreCurrentUser, scspStoreLocalMachine };

struct TqynSocketOpenSSL_Options {
  TwsOpenSSLAPI APIVersion = oslAPI_1_0;
  TwsOpenSSLLibPath LibPath = oslpNone;
  void Assign(const TqynSocketOpenSSL_Options& aSource) { *this = aSource; }
};

struct TqynSocketSChannel_Options {
  std::string CertHash;
  TwsSChannelCertStoreName CertStoreName = scsnMY;
  TwsSChannelCertStorePath CertStorePath = scspStoreCurrentUser;
  std::string CipherList;
  void Assign(const TqynSocketSChannel_Options& aSource) { *this = aSource; }
};

struct TqynSocketTLS_Options {
  std::string CertFile;
  std::string KeyFile;
  std::string Password;
  std::string RootCertFile;
  bool VerifyCertificate = false;
  int VerifyDepth = 0;
  TwsTLSVersions Version = tlsUndefined;
  std::vector<std::string> ALPNProtocols;
  TwsTLSIOHandler IOHandler = iohOpenSSL;
  TqynSocketOpenSSL_Options OpenSSL_Options;
  TqynSocketSChannel_Options SChannel_Options;
  void Assign(const TqynSocketTLS_Options& aSource) { *this = aSource; }
};
struct TqynUDPTLS_Options : TqynSocketTLS_Options {};
