#include "qynBase_Classes.h"

#include <openssl/rand.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <random>

#include "qynClock.h"
#include "qynId_Exceptions.h"

// ---------------------------------------------------------------------------------------------
// GUID text

std::string NewGuidText() {
  uint8_t b[16];
  if (RAND_bytes(b, sizeof b) != 1) {
    // RAND_bytes fails only when OpenSSL's generator cannot be seeded; fall back to the system's
    // random device rather than returning a predictable value.
    std::random_device rd;
    for (auto& x : b) x = static_cast<uint8_t>(rd());
  }
  b[6] = static_cast<uint8_t>((b[6] & 0x0F) | 0x40); // version 4
  b[8] = static_cast<uint8_t>((b[8] & 0x3F) | 0x80); // RFC 4122 variant
  static const char* const KHex = "0123456789ABCDEF";
  std::string out;
  out.reserve(32);
  for (uint8_t x : b) {
    out.push_back(KHex[x >> 4]);
    out.push_back(KHex[x & 0x0F]);
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// TqynIdThread

TqynIdThread::TqynIdThread(bool ACreateSuspended, bool ALoop, const std::string& AName)
    : TIdThread(ACreateSuspended, ALoop, AName) {}

TqynIdThread::~TqynIdThread() { Shutdown(); }

std::string TqynIdThread::DebugName() const { return Name(); }

void TqynIdThread::SetDebugName(const std::string& aName) { SetName(aName); }

void TqynIdThread::BeforeRun() {
  if (FThreadID.load() == 0) FThreadID.store(static_cast<uint64_t>(::syscall(SYS_gettid)));
}

// ---------------------------------------------------------------------------------------------
// TqynTimer

// What a tick needs, shared with ticks posted to the main thread. Timer is cleared by the
// timer's destructor, which then waits for a tick running on another thread to finish; a tick
// never touches the timer again once Timer is cleared.
struct TqynTimer::TShared {
  std::mutex M;
  std::condition_variable Cv;
  TqynTimer* Timer = nullptr;
  int Running = 0;
  std::thread::id RunningOn;

  bool Alive() {
    std::lock_guard<std::mutex> lock(M);
    return Timer != nullptr;
  }
};

TqynTimer::TqynTimer(const std::string& aDebugName)
    : TqynIdThread(false, true, aDebugName), FShared(std::make_shared<TShared>()) {
  FShared->Timer = this;
  AfterConstruction();
}

TqynTimer::~TqynTimer() {
  {
    std::unique_lock<std::mutex> lock(FShared->M);
    FShared->Timer = nullptr;
    // A tick running on another thread (the main thread) finishes first. When the timer is
    // destroyed from inside its own tick, the tick sees the cleared pointer on return instead.
    FShared->Cv.wait(lock, [&] {
      return FShared->Running == 0 || FShared->RunningOn == std::this_thread::get_id();
    });
  }
  Shutdown();
}

void TqynTimer::SetEnabled(bool aValue) {
  {
    std::lock_guard<std::mutex> lock(FEnableMutex);
    FEnabled.store(aValue);
  }
  FEnableCv.notify_all();
  if (aValue) {
    if (Stopped()) Start();
  } else {
    Terminate();
  }
}

void TqynTimer::WakeUp() {
  { std::lock_guard<std::mutex> lock(FEnableMutex); }
  FEnableCv.notify_all();
}

void TqynTimer::Run() {
  {
    std::unique_lock<std::mutex> lock(FEnableMutex);
    FEnableCv.wait(lock, [this] { return FEnabled.load() || Stopped(); });
  }
  if (Stopped()) return;
  try {
    int countdown = FInterval.load();
    while (countdown > 0) {
      SleepFor(100);
      if (Terminated() || Stopped()) return;
      countdown -= 100;
    }
    Fire();
  } catch (const Exception& E) {
    ReportException(FShared, this, E);
  } catch (const std::exception& E) {
    ReportException(FShared, this, Exception(E.what()));
  } catch (...) {
    ReportException(FShared, this, Exception(RS_UnknownException));
  }
}

void TqynTimer::Fire() {
  switch (FNotifyEvents.load()) {
  case neNoSync:
    Tick(FShared);
    break;
  case neAsynchronous:
    TqynMainThread::Post([s = FShared]() { Tick(s); });
    break;
  case neSynchronous:
    // Detachable: the main thread may dispose of the timer from inside this very tick.
    TqynMainThread::SendDetachable([s = FShared]() { Tick(s); });
    break;
  }
}

void TqynTimer::ReportException(const std::shared_ptr<TShared>& aShared, TqynTimer* aTimer, const Exception& E) {
  if (!aShared->Alive() || !aTimer->OnException) return;
  try {
    aTimer->SetExecuting(true);
    aTimer->OnException(aTimer, E);
  } catch (...) {
  }
  if (aShared->Alive()) aTimer->SetExecuting(false);
}

void TqynTimer::Tick(const std::shared_ptr<TShared>& aShared) {
  TqynTimer* timer;
  {
    std::lock_guard<std::mutex> lock(aShared->M);
    timer = aShared->Timer;
    // A terminated timer never ticks again, also not through a tick posted before.
    if (!timer || timer->Terminated()) return;
    ++aShared->Running;
    aShared->RunningOn = std::this_thread::get_id();
  }
  try {
    if (timer->OnTimer) {
      timer->SetExecuting(true);
      timer->OnTimer(timer);
      if (aShared->Alive()) timer->SetExecuting(false);
    }
  } catch (const Exception& E) {
    ReportException(aShared, timer, E);
  } catch (const std::exception& E) {
    ReportException(aShared, timer, Exception(E.what()));
  } catch (...) {
    ReportException(aShared, timer, Exception(RS_UnknownException));
  }
  {
    std::lock_guard<std::mutex> lock(aShared->M);
    --aShared->Running;
  }
  aShared->Cv.notify_all();
}

// ---------------------------------------------------------------------------------------------
// FreeThread

void FreeThread(TqynIdThread*& aThread) {
  TqynIdThread* thread = aThread;
  aThread = nullptr;
  if (!thread) return;
  if (thread->IsCurrentThread() || thread->IsExecuting()) {
    if (thread->SetFreeOnTerminate(true)) {
      // The thread deletes itself when its body ends.
      thread->Terminate();
      return;
    }
    // Its body never ran or has ended: free it here.
  }
  if (!thread->Terminated()) thread->Terminate();
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
  delete thread;
}

// ---------------------------------------------------------------------------------------------
// Lists and queues

std::string qyn_detail::ListDuplicatesText(const void* aItem) {
  // The fixed text has one "%x"; addresses are 64-bit, so widen the conversion.
  std::string format = RS_ListDuplicates;
  const auto pos = format.find("%x");
  if (pos != std::string::npos) format.replace(pos, 2, "%llx");
  return QynFormat(format.c_str(), static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(aItem)));
}

std::string qyn_detail::ListIndexText(int aIndex) { return QynFormat(RS_ListIndexOutOfBounds, aIndex); }

std::string TqynQueueItemBase::ID() const {
  std::lock_guard<std::mutex> lock(FIDMutex);
  return FID;
}

void TqynQueueItemBase::SetID(const std::string& aValue) {
  std::lock_guard<std::mutex> lock(FIDMutex);
  FID = aValue;
}

void TqynQueueCommon::Clear() {
  std::lock_guard<TqynCriticalSection> lock(FLock);
  while (!FList.empty()) {
    try {
      FList.pop_back();
    } catch (...) {
    }
  }
}

void TqynQueueBase::AddItem(const TqynQueueItemRef& aItem) {
  if (!aItem) return;
  Add(aItem);
}

int TqynQueueBase::IndexOfIDLocked(const std::string& aID) const {
  for (size_t i = 0; i < FList.size(); ++i)
    if (FList[i] && FList[i]->ID() == aID) return static_cast<int>(i);
  return -1;
}

bool TqynQueueBase::DeleteItem(const std::string& aID) {
  TqynQueueItemRef removed; // released after the lock
  std::lock_guard<TqynCriticalSection> lock(FLock);
  const int i = IndexOfIDLocked(aID);
  if (i < 0) return false;
  removed = std::move(FList[static_cast<size_t>(i)]);
  FList.erase(FList.begin() + i);
  return true;
}

bool TqynQueueBase::DeleteItem(int aIndex) {
  TqynQueueItemRef removed;
  std::lock_guard<TqynCriticalSection> lock(FLock);
  if (aIndex < 0 || static_cast<size_t>(aIndex) >= FList.size()) return false;
  removed = std::move(FList[static_cast<size_t>(aIndex)]);
  FList.erase(FList.begin() + aIndex);
  return true;
}

TqynQueueItemRef TqynQueueBase::GetItem(const std::string& aID) const {
  std::lock_guard<TqynCriticalSection> lock(FLock);
  const int i = IndexOfIDLocked(aID);
  return i < 0 ? nullptr : FList[static_cast<size_t>(i)];
}

TqynQueueItemRef TqynQueueBase::GetItemByIndex(int aIndex) const {
  std::lock_guard<TqynCriticalSection> lock(FLock);
  if (aIndex < 0 || static_cast<size_t>(aIndex) >= FList.size()) return nullptr;
  return FList[static_cast<size_t>(aIndex)];
}

// ---------------------------------------------------------------------------------------------
// Log writer

std::string QynLogTimeText() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char buf[64];
  const size_t n = std::strftime(buf, sizeof buf, "%x %X", &local);
  return std::string(buf, n);
}

void TqynIdLogFileBase::WriteLine(const std::string& aLine) {
  std::lock_guard<TqynCriticalSection> lock(FLogLock);
  Open();
  const bool ok = WriteBytes(aLine.data(), aLine.size());
  Close();
  if (!ok) throw EIdException(QynFormat(RS_LogFileWriteFailed, TIdLogFile::Filename()));
}

void TqynIdLogFileBase::LogRecvString(const std::string& aText) {
  if (aText.empty()) return;
  WriteLine(std::string(RS_LogRecvPrefix) + QynLogTimeText() + ": " + aText + "\r\n");
}

void TqynIdLogFileBase::LogSendString(const std::string& aText) {
  WriteLine(std::string(RS_LogSentPrefix) + QynLogTimeText() + ": " + aText + "\r\n");
}

void TqynIdLogFileBase::LogRecvDecodedString(const std::string& aText) { LogRecvString(aText); }

void TqynIdLogFileBase::LogSendDecodedString(const std::string& aText) { LogSendString(aText); }

void TqynIdLogFileBase::LogStatus(const std::string& aText) {
  WriteLine(std::string(RS_LogStatPrefix) + aText + "\r\n");
}

void TqynIdLogFileBase::LogRecvBytes(const TqynBytes& aBytes) {
  LogRecvString(std::string(aBytes.begin(), aBytes.end()));
}

void TqynIdLogFileBase::LogSendBytes(const TqynBytes& aBytes) {
  LogSendString(std::string(aBytes.begin(), aBytes.end()));
}

std::string TqynIdLogFileBase::Filename() const {
  std::lock_guard<TqynCriticalSection> lock(FLogLock);
  return TIdLogFile::Filename();
}

void TqynIdLogFileBase::SetFilename(const std::string& aFilename) {
  std::lock_guard<TqynCriticalSection> lock(FLogLock);
  TIdLogFile::SetFilename(aFilename);
}

// ---------------------------------------------------------------------------------------------
// Socket objects

namespace {
void CheckCSIndex(int aIndex, int aCount) {
  if (aIndex < 0 || aIndex >= aCount) throw EListError(QynFormat(RS_ListIndexOutOfBounds, aIndex));
}
} // namespace

std::shared_ptr<TqynSocketConnection_Base> TqynSocketConnection_Base::Clone() const {
  auto copy = std::make_shared<TqynSocketConnection_Base>();
  copy->AssignCopy(*this);
  return copy;
}

void TqynSocketConnection_Base::AssignCopy(const TqynSocketConnection_Base& aSource) {
  std::string guid, ip, localIP;
  {
    std::lock_guard<TqynFieldLock> lock(aSource.FFieldMutex);
    guid = aSource.FGuid;
    ip = aSource.FIP;
    localIP = aSource.FLocalIP;
  }
  {
    std::lock_guard<TqynFieldLock> lock(FFieldMutex);
    FGuid = guid;
    FIP = ip;
    FLocalIP = localIP;
  }
  FPort.store(aSource.FPort.load());
  FLocalPort.store(aSource.FLocalPort.load());
  FIPVersion.store(aSource.FIPVersion.load());
  FTransport.store(aSource.FTransport.load());
}

std::string TqynSocketConnection_Base::Guid() {
  {
    std::lock_guard<TqynFieldLock> lock(FFieldMutex);
    if (!FGuid.empty()) return FGuid;
  }
  std::string made = DefaultGuid();
  std::lock_guard<TqynFieldLock> lock(FFieldMutex);
  if (FGuid.empty()) FGuid = std::move(made);
  return FGuid;
}

std::string TqynSocketConnection_Base::DefaultGuid() const { return NewGuidText(); }

void TqynSocketConnection_Base::SetGuid(const std::string& aValue) {
  std::lock_guard<TqynFieldLock> lock(FFieldMutex);
  FGuid = aValue;
}

std::string TqynSocketConnection_Base::IP() const {
  std::lock_guard<TqynFieldLock> lock(FFieldMutex);
  return FIP;
}

void TqynSocketConnection_Base::SetIP(const std::string& aValue) {
  std::lock_guard<TqynFieldLock> lock(FFieldMutex);
  FIP = aValue;
}

std::string TqynSocketConnection_Base::LocalIP() const {
  std::lock_guard<TqynFieldLock> lock(FFieldMutex);
  return FLocalIP;
}

void TqynSocketConnection_Base::SetLocalIP(const std::string& aValue) {
  std::lock_guard<TqynFieldLock> lock(FFieldMutex);
  FLocalIP = aValue;
}

std::shared_ptr<const Exception> TqynSocketConnection_Base::RawException() const {
  std::lock_guard<TqynFieldLock> lock(FFieldMutex);
  return FRawException;
}

void TqynSocketConnection_Base::SetRawException(const Exception& E) {
  std::shared_ptr<const Exception> copy(E.Clone());
  std::lock_guard<TqynFieldLock> lock(FFieldMutex);
  FRawException = std::move(copy);
}

void TqynSocketConnection_Base::ClearRawException() {
  std::lock_guard<TqynFieldLock> lock(FFieldMutex);
  FRawException.reset();
}

void TqynSocketConnection_Base::EnterCS(int aIndex) {
  CheckCSIndex(aIndex, CSCount);
  FCSs[static_cast<size_t>(aIndex)].Acquire();
}

void TqynSocketConnection_Base::LeaveCS(int aIndex) {
  CheckCSIndex(aIndex, CSCount);
  FCSs[static_cast<size_t>(aIndex)].Release();
}

std::shared_ptr<TqynIdLogFileBase> TqynSocketConnection::LogFile() const {
  std::lock_guard<TqynFieldLock> lock(FRoutingMutex);
  return FLogFile;
}

void TqynSocketConnection::SetLogFile(std::shared_ptr<TqynIdLogFileBase> aValue) {
  std::lock_guard<TqynFieldLock> lock(FRoutingMutex);
  FLogFile = std::move(aValue);
}

TqynSocketExceptionRouting TqynSocketConnection::ExceptionRouting() const {
  std::lock_guard<TqynFieldLock> lock(FRoutingMutex);
  return FRouting;
}

void TqynSocketConnection::SetExceptionRouting(TqynSocketExceptionRouting aValue) {
  std::lock_guard<TqynFieldLock> lock(FRoutingMutex);
  FRouting = std::move(aValue);
}

void TqynSocketConnection::ReportException(const Exception& E) noexcept {
  try {
    const TqynSocketExceptionRouting routing = ExceptionRouting();
    if (routing) routing(this, E);
  } catch (...) {
  }
}

void TqynSocketConnection::AssignCopy(const TqynSocketConnection_Base& aSource) {
  TqynSocketConnection_Base::AssignCopy(aSource);
  if (const auto* src = dynamic_cast<const TqynSocketConnection*>(&aSource)) {
    SetLogFile(src->LogFile());
    SetExceptionRouting(src->ExceptionRouting());
  }
}

TqynBytes TqynUDPSocket_Base::MsgRead() const {
  std::lock_guard<TqynFieldLock> lock(FMsgMutex);
  return FMsgView ? *FMsgView : FMsgRead;
}

void TqynUDPSocket_Base::SetMsgRead(const TqynBytes& aValue) {
  std::lock_guard<TqynFieldLock> lock(FMsgMutex);
  FMsgRead = aValue;
  FMsgView = nullptr;
}

void TqynUDPSocket_Base::SetMsgReadView(const TqynBytes* aBytes) {
  std::lock_guard<TqynFieldLock> lock(FMsgMutex);
  FMsgRead.clear();
  FMsgView = aBytes;
}

void TqynUDPSocket_Base::EndMsgReadView(bool aKeep) {
  std::lock_guard<TqynFieldLock> lock(FMsgMutex);
  if (FMsgView && aKeep) FMsgRead = *FMsgView;
  FMsgView = nullptr;
}

// ---------------------------------------------------------------------------------------------
// Socket components

void TqynSocketComponent_Base::EnterCS(int aIndex) {
  CheckCSIndex(aIndex, CSCount);
  FCSs[static_cast<size_t>(aIndex)].Acquire();
}

void TqynSocketComponent_Base::LeaveCS(int aIndex) {
  CheckCSIndex(aIndex, CSCount);
  FCSs[static_cast<size_t>(aIndex)].Release();
}

// ---------------------------------------------------------------------------------------------
// UDP notification

TqynUDPComponent::~TqynUDPComponent() {
  Destroying();
  std::array<std::shared_ptr<TqynUDPObjectList>, 4> lists;
  {
    std::lock_guard<std::mutex> lock(FPendingMutex);
    lists.swap(FPending);
  }
  // Records still pending are dropped; disconnected socket objects are marked freed.
  auto& disc = lists[nkDisconnect];
  if (disc) {
    auto& items = disc->LockList();
    for (auto& rec : items)
      if (rec && rec->Original) rec->Original->MarkFreed();
    disc->UnlockList();
  }
  for (auto& list : lists)
    if (list) list->Clear();
}

std::shared_ptr<TqynUDPObjectList> TqynUDPComponent::PendingList(TNotifyKind aKind) {
  std::lock_guard<std::mutex> lock(FPendingMutex);
  auto& list = FPending[aKind];
  if (!list) list = std::make_shared<TqynUDPObjectList>();
  return list;
}

int TqynUDPComponent::PendingCount(TNotifyKind aKind) const {
  std::shared_ptr<TqynUDPObjectList> list;
  {
    std::lock_guard<std::mutex> lock(FPendingMutex);
    list = FPending[aKind];
  }
  return list ? list->Count() : 0;
}

void TqynUDPComponent::NotifyUDPConnect(TqynUDPSocket* aSocket) { Notify(nkConnect, aSocket, nullptr); }

void TqynUDPComponent::NotifyUDPDisconnect(std::shared_ptr<TqynUDPSocket> aSocket) {
  TqynUDPSocket* raw = aSocket.get();
  Notify(nkDisconnect, raw, std::move(aSocket));
}

void TqynUDPComponent::NotifyUDPRead(TqynUDPSocket* aSocket) { Notify(nkRead, aSocket, nullptr); }

void TqynUDPComponent::NotifyUDPException(TqynUDPSocket* aSocket) { Notify(nkException, aSocket, nullptr); }

void TqynUDPComponent::DoUDPConnect(TqynUDPSocket* aSocket) {
  if (OnUDPConnect) OnUDPConnect(this, aSocket);
}

void TqynUDPComponent::DoUDPDisconnect(TqynUDPSocket* aSocket) {
  if (OnUDPDisconnect) OnUDPDisconnect(this, aSocket);
}

void TqynUDPComponent::DoUDPRead(TqynUDPSocket* aSocket, const TqynBytes& aBytes) {
  if (OnUDPRead) OnUDPRead(this, aSocket, aBytes);
}

void TqynUDPComponent::DoUDPException(TqynUDPSocket* aSocket, const Exception& E) {
  if (OnUDPException) OnUDPException(this, aSocket, E);
}

void TqynUDPComponent::DoException(TqynUDPSocket* aSocket, const Exception& E) noexcept {
  try {
    if (!OnUDPException) return;
    if (aSocket) {
      aSocket->SetRawException(E);
      NotifyUDPException(aSocket);
    } else {
      DoUDPException(nullptr, E);
    }
  } catch (...) {
  }
}

void TqynUDPComponent::Notify(TNotifyKind aKind, TqynUDPSocket* aSocket, std::shared_ptr<TqynUDPSocket> aOriginal) {
  if (IsDestroying() || !aSocket) return;
  const TwsNotifyEvent mode = NotifyEvents();
  if (mode == neNoSync) {
    TqynUDPNotifyObject rec;
    if (aKind == nkRead) rec.Bytes = aSocket->MsgRead();
    if (aKind == nkException) rec.RawException = aSocket->RawException();
    struct TFreeOriginal {
      std::shared_ptr<TqynUDPSocket>& P;
      ~TFreeOriginal() {
        if (P) P->MarkFreed();
      }
    } freeOriginal{aOriginal};
    switch (aKind) {
    case nkConnect: DoUDPConnect(aSocket); break;
    case nkDisconnect: DoUDPDisconnect(aSocket); break;
    case nkRead: DoUDPRead(aSocket, rec.Bytes); break;
    case nkException:
      if (rec.RawException) DoUDPException(aSocket, *rec.RawException);
      break;
    }
    return;
  }

  auto rec = std::make_shared<TqynUDPNotifyObject>();
  rec->Socket = std::dynamic_pointer_cast<TqynUDPSocket>(aSocket->Clone());
  if (!rec->Socket) throw Exception(QynFormat(RS_SocketCloneClass, typeid(*aSocket).name()));
  if (aKind == nkRead) rec->Bytes = aSocket->MsgRead();
  if (aKind == nkException) {
    rec->RawException = aSocket->RawException();
    if (!rec->RawException) return;
  }
  rec->Original = std::move(aOriginal);

  auto list = PendingList(aKind);
  if (!LockPendingList(*list)) {
    if (rec->Original) rec->Original->MarkFreed();
    return;
  }
  bool postDrain = false;
  const bool appended = Append(*list, rec, true, postDrain);
  list->Lock().Release();

  if (!appended) {
    if (rec->Original) rec->Original->MarkFreed();
    FDroppedNotifications.fetch_add(1);
    FDropsUnreported.fetch_add(1);
  }
  if (FDropsUnreported.load() != 0) ReportDrops(aSocket);
  if (!appended) return;

  // A synchronous notifier waits for its own drain; asynchronous ones share a posted drain.
  if (mode == neSynchronous) TqynMainThread::SendDetachable(MakeDrain(aKind, list)); // a handler may stop this very thread
  else if (postDrain) TqynMainThread::Post(MakeDrain(aKind, list));
}

// Waiting for a list's lock (held while a handler runs on the main thread) gives up when this
// worker thread, or the listener a poller is serving on it, is terminated: its component, or that
// binding, is being stopped.
bool TqynUDPComponent::LockPendingList(TqynUDPObjectList& aList) {
  while (!aList.Lock().TryAcquire()) {
    if (TqynMainThread::ThreadAborted()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Appends under the list's lock; false when a bounded append does not fit. aPostDrain is set when
// no posted drain is pending yet (the caller posts one).
bool TqynUDPComponent::Append(TqynUDPObjectList& aList, const std::shared_ptr<TqynUDPNotifyObject>& aRecord, bool aBounded,
                              bool& aPostDrain) {
  auto& items = aList.List();
  if (aBounded) {
    const int maxCount = FMaxPendingNotifications.load();
    if (static_cast<int64_t>(items.size()) >= maxCount) return false;
    if (aList.Bytes + aRecord->Bytes.size() > FMaxPendingBytes.load() && !items.empty()) return false;
  }
  items.push_back(aRecord);
  aList.Bytes += aRecord->Bytes.size();
  aPostDrain = !aList.DrainPosted;
  aList.DrainPosted = true;
  return true;
}

// Reports the drops counted since the last report, at most once a second of the clock (at once
// when the clock went back), as an exception notification of aSocket's copy that is queued past
// the bound. Without an OnUDPException handler the drops are only counted.
void TqynUDPComponent::ReportDrops(TqynUDPSocket* aSocket) noexcept {
  try {
    const int64_t now = QynNow();
    int64_t last = FLastDropReport.load();
    if (now - last < 1000 && now >= last) return;
    if (!FLastDropReport.compare_exchange_strong(last, now)) return; // another thread reports
    const uint64_t dropped = FDropsUnreported.exchange(0);
    if (dropped == 0 || !OnUDPException || IsDestroying()) return;
    const Exception E(QynFormat(RS_NotificationsDropped, static_cast<int>(std::min<uint64_t>(dropped, INT32_MAX))));

    auto rec = std::make_shared<TqynUDPNotifyObject>();
    rec->Socket = std::dynamic_pointer_cast<TqynUDPSocket>(aSocket->Clone());
    if (!rec->Socket) return;
    rec->Socket->SetRawException(E);
    rec->RawException = rec->Socket->RawException();
    auto list = PendingList(nkException);
    bool postDrain = false;
    if (!LockPendingList(*list)) return;
    Append(*list, rec, false, postDrain);
    list->Lock().Release();
    // Posted without waiting, also in neSynchronous: a report must not hold up the notifier.
    TqynMainThread::Post(MakeDrain(nkException, list));
  } catch (...) {
  }
}

TqynSyncProc TqynUDPComponent::MakeDrain(TNotifyKind aKind, const std::shared_ptr<TqynUDPObjectList>& aList) {
  return [this, aKind, list = aList, alive = AliveToken().Weak()]() {
    if (alive.expired()) return;
    Drain(aKind, list, alive);
  };
}

void TqynUDPComponent::Drain(TNotifyKind aKind, const std::shared_ptr<TqynUDPObjectList>& aList,
                             const std::weak_ptr<char>& aAlive) {
  if (IsDestroying()) return;
  TqynUDPObjectList& list = *aList;
  list.Lock().Acquire();
  list.DrainPosted = false; // records appended from now on need a new drain, or this one sees them
  if (list.Draining) {
    list.Lock().Release();
    return;
  }
  list.Draining = true;
  try {
    for (;;) {
      std::shared_ptr<TqynUDPNotifyObject> rec;
      auto& items = list.List();
      if (items.empty()) break;
      // Taken off the list before its handler runs, so a handler that raises does not have its
      // record delivered a second time.
      rec = std::move(items.front());
      items.erase(items.begin());
      if (!rec) continue;
      list.Bytes -= std::min(list.Bytes, rec->Bytes.size());
      struct TFreeOriginal {
        std::shared_ptr<TqynUDPNotifyObject>& R;
        ~TFreeOriginal() {
          if (R->Original && !R->Original->Freed()) R->Original->MarkFreed();
        }
      } freeOriginal{rec};
      Raise(aKind, *rec);
      // The handler may have destroyed the component: then stop without touching it.
      if (aAlive.expired()) break;
    }
  } catch (...) {
    list.Draining = false;
    const bool more = !list.List().empty() && !aAlive.expired();
    if (more) list.DrainPosted = true;
    list.Lock().Release();
    if (more) TqynMainThread::Post(MakeDrain(aKind, aList));
    throw;
  }
  list.Draining = false;
  list.Lock().Release();
}

void TqynUDPComponent::Raise(TNotifyKind aKind, TqynUDPNotifyObject& aRecord) {
  TqynUDPSocket* socket = aRecord.Socket.get();
  switch (aKind) {
  case nkConnect: DoUDPConnect(socket); break;
  case nkDisconnect: DoUDPDisconnect(socket); break;
  case nkRead: DoUDPRead(socket, aRecord.Bytes); break;
  case nkException:
    if (aRecord.RawException) DoUDPException(socket, *aRecord.RawException);
    break;
  }
}
