#include "qynTCP_Client.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "qynId_Exceptions.h"
#include "qynMessages.h"

using namespace std::chrono_literals;

// ---------------------------------------------------------------------------------------------
// TqynMemoryStream

size_t TqynMemoryStream::Read(void* aBuffer, size_t aCount) {
  const size_t n = std::min(aCount, FBytes.size() - FPosition);
  if (n > 0) std::memcpy(aBuffer, FBytes.data() + FPosition, n);
  FPosition += n;
  return n;
}

TqynBytes TqynMemoryStream::ReadBytes(size_t aCount) {
  const size_t n = std::min(aCount, FBytes.size() - FPosition);
  const auto first = FBytes.begin() + static_cast<std::ptrdiff_t>(FPosition);
  TqynBytes out(first, first + static_cast<std::ptrdiff_t>(n));
  FPosition += n;
  return out;
}

void TqynMemoryStream::Write(const void* aData, size_t aCount) {
  if (aCount == 0) return;
  if (FPosition + aCount > FBytes.size()) FBytes.resize(FPosition + aCount);
  std::memcpy(FBytes.data() + FPosition, aData, aCount);
  FPosition += aCount;
}

void TqynMemoryStream::LoadFromBytes(const TqynBytes& aBytes) {
  FBytes = aBytes;
  FPosition = 0;
}

void TqynMemoryStream::LoadFromBytes(TqynBytes&& aBytes) {
  FBytes = std::move(aBytes);
  FPosition = 0;
}

void TqynMemoryStream::Clear() noexcept {
  FBytes.clear();
  FPosition = 0;
}

// ---------------------------------------------------------------------------------------------
// Connection objects

std::string TqynTCPConnection_Base::MsgReceived() const {
  std::lock_guard<std::mutex> g(FMsgMutex);
  return FMsgReceived;
}

void TqynTCPConnection_Base::SetMsgReceived(const std::string& aValue) {
  std::lock_guard<std::mutex> g(FMsgMutex);
  FMsgReceived = aValue;
}

TqynMemoryStream& TqynTCPConnection_Base::MsgBinaryReceived() {
  std::lock_guard<std::mutex> g(FMsgMutex);
  if (!FMsgBinaryReceived) FMsgBinaryReceived = std::make_unique<TqynMemoryStream>();
  return *FMsgBinaryReceived;
}

std::string TqynTCPConnection_Base::MsgException() const {
  std::lock_guard<std::mutex> g(FMsgMutex);
  return FMsgException;
}

void TqynTCPConnection_Base::SetMsgException(const std::string& aValue) {
  std::lock_guard<std::mutex> g(FMsgMutex);
  FMsgException = aValue;
}

TqynBytes TqynTCPConnection_Base::TCPEndOfFrame() const {
  std::lock_guard<std::mutex> g(FMsgMutex);
  return FEndOfFrame;
}

void TqynTCPConnection_Base::SetTCPEndOfFrame(const TqynBytes& aValue) {
  std::lock_guard<std::mutex> g(FMsgMutex);
  FEndOfFrame = aValue;
}

void TqynTCPConnection_Base::AddTCPEndOfFrame(uint8_t aByte) {
  std::lock_guard<std::mutex> g(FMsgMutex);
  FEndOfFrame.push_back(aByte);
}

void TqynTCPConnection_Base::ClearTCPEndOfFrame() {
  std::lock_guard<std::mutex> g(FMsgMutex);
  FEndOfFrame.clear();
}

void TqynTCPConnection_Indy::WriteBytes(const TqynBytes& aBytes) {
  // A connection object outlives its connection (queued events hold it); in command mode the
  // inner client may carry a newer connection by then, which this object must not write to.
  std::shared_ptr<TIdTCPClient> client = Client();
  if (!client || Disconnected() || Freed()) throw EIdClosedSocket(RS_ClosedSocket);
  if (aBytes.empty()) return;
  client->IOHandler()->Write(aBytes);
  AddSendBytes(aBytes.size());
}

void TqynTCPConnection_Indy::WriteData(const TqynBytes& aBytes) {
  try {
    WriteBytes(aBytes);
  } catch (const Exception& E) {
    ReportException(E);
  } catch (const std::exception& E) {
    ReportException(Exception(E.what()));
  }
}

void TqynTCPConnection_Indy::WriteData(const std::string& aValue) { WriteData(TqynBytes(aValue.begin(), aValue.end())); }

// ---------------------------------------------------------------------------------------------
// Notification

TqynTCPComponent::~TqynTCPComponent() {
  Destroying();
  std::array<std::shared_ptr<TqynTCPObjectList>, 5> lists;
  {
    std::lock_guard<std::mutex> g(FPendingMutex);
    lists.swap(FPending);
  }
  // Records still pending are dropped; connections whose disconnect was pending are freed.
  if (auto& disc = lists[nkDisconnect]) {
    auto& items = disc->LockList();
    for (auto& rec : items)
      if (rec && rec->Connection) rec->Connection->MarkFreed();
    disc->UnlockList();
  }
  for (auto& list : lists)
    if (list) list->Clear();
  QueueClear();
}

std::shared_ptr<TqynTCPObjectList> TqynTCPComponent::PendingList(TNotifyKind aKind) {
  std::lock_guard<std::mutex> g(FPendingMutex);
  auto& list = FPending[aKind];
  if (!list) list = std::make_shared<TqynTCPObjectList>();
  return list;
}

int TqynTCPComponent::PendingCount(TNotifyKind aKind) const {
  std::shared_ptr<TqynTCPObjectList> list;
  {
    std::lock_guard<std::mutex> g(FPendingMutex);
    list = FPending[aKind];
  }
  return list ? list->Count() : 0;
}

bool TqynTCPComponent::QueueMessages() const {
  std::lock_guard<std::mutex> g(FHoldMutex);
  return FQueueMessages;
}

void TqynTCPComponent::SetQueueMessages(bool aValue) {
  {
    std::lock_guard<std::mutex> g(FHoldMutex);
    FQueueMessages = aValue;
    // A release already running (further up this stack or on another thread) delivers the rest.
    if (aValue || FReleasing) return;
    if (FHeldMessages.empty() && FHeldBinaries.empty()) return;
    FReleasing = true;
  }
  const std::weak_ptr<char> alive = AliveToken().Weak();
  for (;;) {
    std::shared_ptr<TqynTCPNotifyObject> rec;
    TNotifyKind kind;
    {
      std::lock_guard<std::mutex> g(FHoldMutex);
      if (FQueueMessages) {
        // A handler switched holding on again: the rest stays held.
        FReleasing = false;
        return;
      }
      if (!FHeldMessages.empty()) {
        rec = std::move(FHeldMessages.front());
        FHeldMessages.erase(FHeldMessages.begin());
        kind = nkMessage;
      } else if (!FHeldBinaries.empty()) {
        rec = std::move(FHeldBinaries.front());
        FHeldBinaries.erase(FHeldBinaries.begin());
        kind = nkBinary;
      } else {
        FReleasing = false;
        return;
      }
      FHeldBytes -= std::min(FHeldBytes, static_cast<size_t>(rec->Int));
    }
    try {
      RaiseHeld(kind, *rec);
    } catch (const Exception& E) {
      if (alive.expired()) return;
      DoException(rec->Connection, E);
    } catch (const std::exception& E) {
      if (alive.expired()) return;
      DoException(rec->Connection, Exception(E.what()));
    } catch (...) {
      if (alive.expired()) return;
      DoException(rec->Connection, Exception(RS_UnknownException));
    }
    if (alive.expired()) return;
  }
}

void TqynTCPComponent::QueueClear() {
  std::lock_guard<std::mutex> g(FHoldMutex);
  FHeldMessages.clear();
  FHeldBinaries.clear();
  FHeldBytes = 0;
}

int TqynTCPComponent::HeldMessageCount() const {
  std::lock_guard<std::mutex> g(FHoldMutex);
  return static_cast<int>(FHeldMessages.size());
}

int TqynTCPComponent::HeldBinaryCount() const {
  std::lock_guard<std::mutex> g(FHoldMutex);
  return static_cast<int>(FHeldBinaries.size());
}

void TqynTCPComponent::NotifyConnect(const std::shared_ptr<TqynTCPConnection>& aConnection) {
  Notify(nkConnect, aConnection, nullptr);
}

void TqynTCPComponent::NotifyDisconnect(const std::shared_ptr<TqynTCPConnection>& aConnection) {
  Notify(nkDisconnect, aConnection, nullptr);
}

void TqynTCPComponent::NotifyMessage(const std::shared_ptr<TqynTCPConnection>& aConnection) {
  Notify(nkMessage, aConnection, nullptr);
}

void TqynTCPComponent::NotifyBinary(const std::shared_ptr<TqynTCPConnection>& aConnection) {
  Notify(nkBinary, aConnection, nullptr);
}

void TqynTCPComponent::NotifyException(const std::shared_ptr<TqynTCPConnection>& aConnection, const Exception& E) {
  Notify(nkException, aConnection, &E);
}

void TqynTCPComponent::RaiseConnect(TqynTCPConnection* aConnection) {
  if (OnConnect) OnConnect(aConnection);
}

void TqynTCPComponent::RaiseDisconnect(TqynTCPConnection* aConnection) {
  if (OnDisconnect) OnDisconnect(aConnection);
}

void TqynTCPComponent::RaiseMessage(TqynTCPConnection* aConnection, const std::string& aText) {
  if (OnMessage) OnMessage(aConnection, aText);
}

void TqynTCPComponent::RaiseBinary(TqynTCPConnection* aConnection, TqynMemoryStream& aData) {
  if (OnBinary) OnBinary(aConnection, aData);
}

void TqynTCPComponent::RaiseException(TqynTCPConnection* aConnection, const Exception& E) {
  if (!OnException) return;
  if (E.Message().empty() && aConnection) {
    const std::string text = aConnection->MsgException();
    if (!text.empty()) {
      const Exception withText(text);
      OnException(aConnection, withText);
      return;
    }
  }
  OnException(aConnection, E);
}

void TqynTCPComponent::DoException(const std::shared_ptr<TqynTCPConnection>& aConnection, const Exception& E) noexcept {
  try {
    if (!OnException) return;
    if (aConnection) {
      aConnection->SetMsgException(E.Message());
      aConnection->SetRawException(E);
    }
    NotifyException(aConnection, E);
  } catch (...) {
  }
}

void TqynTCPComponent::Notify(TNotifyKind aKind, const std::shared_ptr<TqynTCPConnection>& aConnection,
                              const Exception* aE) {
  if (IsDestroying()) return;
  if (!aConnection && aKind != nkException) return;
  if (aKind == nkException && !aE) return;
  const TwsNotifyEvent mode = NotifyEvents();

  if (mode == neNoSync) {
    // The connection object of a disconnect is freed after its event, also when the handler raises.
    struct TFreeAfter {
      TqynTCPConnection* P;
      ~TFreeAfter() {
        if (P) P->MarkFreed();
      }
    } freeAfter{aKind == nkDisconnect ? aConnection.get() : nullptr};
    TqynTCPNotifyObject rec;
    rec.Connection = aConnection;
    switch (aKind) {
    case nkMessage:
      rec.Text = aConnection->MsgReceived();
      Raise(aKind, rec);
      break;
    case nkBinary: Raise(aKind, rec, &aConnection->MsgBinaryReceived()); break;
    case nkException: RaiseException(aConnection.get(), *aE); break;
    default: Raise(aKind, rec); break;
    }
    return;
  }

  auto rec = std::make_shared<TqynTCPNotifyObject>();
  rec->Connection = aConnection;
  if (aKind == nkMessage) rec->Text = aConnection->MsgReceived();
  if (aKind == nkBinary) rec->Stream = std::make_shared<TqynMemoryStream>(aConnection->MsgBinaryReceived().Bytes());
  if (aKind == nkException) rec->RawException = std::shared_ptr<const Exception>(aE->Clone());
  auto list = PendingList(aKind);
  {
    // Short: the drain holds this lock only to take a record, never while a handler runs.
    std::lock_guard<TqynCriticalSection> g(list->Lock());
    list->List().push_back(std::move(rec));
  }
  if (mode == neAsynchronous) {
    TqynMainThread::Post(MakeDrain(aKind, list));
  } else if (!TqynMainThread::SendDetachable(MakeDrain(aKind, list))) {
    // This thread was stopped while waiting: the record stays queued and a later drain takes it.
    TqynMainThread::Post(MakeDrain(aKind, list));
  }
}

TqynSyncProc TqynTCPComponent::MakeDrain(TNotifyKind aKind, const std::shared_ptr<TqynTCPObjectList>& aList) {
  return [this, aKind, list = aList, alive = AliveToken().Weak()]() {
    if (alive.expired()) return;
    Drain(aKind, list, alive);
  };
}

void TqynTCPComponent::Drain(TNotifyKind aKind, const std::shared_ptr<TqynTCPObjectList>& aList,
                             const std::weak_ptr<char>& aAlive) {
  if (IsDestroying()) return;
  TqynTCPObjectList& list = *aList;
  {
    std::lock_guard<TqynCriticalSection> g(list.Lock());
    // A drain further up the main thread's stack delivers these records in order.
    if (list.Draining) return;
    list.Draining = true;
  }
  try {
    for (;;) {
      std::shared_ptr<TqynTCPNotifyObject> rec;
      {
        std::lock_guard<TqynCriticalSection> g(list.Lock());
        auto& items = list.List();
        if (items.empty()) break;
        rec = std::move(items.front());
        items.erase(items.begin());
      }
      if (!rec) continue;
      struct TFreeAfter {
        TqynTCPConnection* P;
        ~TFreeAfter() {
          if (P) P->MarkFreed();
        }
      } freeAfter{aKind == nkDisconnect ? rec->Connection.get() : nullptr};
      Raise(aKind, *rec);
      // The handler may have destroyed the component: then stop without touching it.
      if (aAlive.expired()) break;
    }
  } catch (...) {
    bool more;
    {
      std::lock_guard<TqynCriticalSection> g(list.Lock());
      list.Draining = false;
      more = !list.List().empty();
    }
    if (more && !aAlive.expired()) TqynMainThread::Post(MakeDrain(aKind, aList));
    throw;
  }
  std::lock_guard<TqynCriticalSection> g(list.Lock());
  list.Draining = false;
}

void TqynTCPComponent::Raise(TNotifyKind aKind, TqynTCPNotifyObject& aRecord, TqynMemoryStream* aStream) {
  TqynTCPConnection* connection = aRecord.Connection.get();
  switch (aKind) {
  case nkConnect: RaiseConnect(connection); break;
  case nkDisconnect: RaiseDisconnect(connection); break;
  case nkMessage:
  case nkBinary: {
    size_t dropped = 0;
    {
      std::lock_guard<std::mutex> g(FHoldMutex);
      if (FQueueMessages || FReleasing) {
        const size_t size = aKind == nkMessage ? aRecord.Text.size()
                            : aStream           ? aStream->Size()
                            : aRecord.Stream    ? aRecord.Stream->Size()
                                                : 0;
        if (FHeldBytes + size <= MaxHeldBytes) {
          auto held = std::make_shared<TqynTCPNotifyObject>(aRecord);
          // The connection's own stream is refilled by the next read: hold a copy.
          if (aKind == nkBinary && aStream) held->Stream = std::make_shared<TqynMemoryStream>(aStream->Bytes());
          held->Int = static_cast<int>(size); // the bytes it counts against MaxHeldBytes
          FHeldBytes += size;
          (aKind == nkMessage ? FHeldMessages : FHeldBinaries).push_back(std::move(held));
          return;
        }
        dropped = size;
      }
    }
    if (dropped > 0) {
      DoException(aRecord.Connection,
                  Exception(QynFormat(RS_TCPHeldMessagesFull, static_cast<int>(MaxHeldBytes), static_cast<int>(dropped))));
      return;
    }
    if (aKind == nkBinary && aStream) {
      aStream->SetPosition(0);
      RaiseBinary(connection, *aStream);
    } else {
      RaiseHeld(aKind, aRecord);
    }
    break;
  }
  case nkException:
    if (aRecord.RawException) RaiseException(connection, *aRecord.RawException);
    break;
  }
}

void TqynTCPComponent::RaiseHeld(TNotifyKind aKind, TqynTCPNotifyObject& aRecord) {
  if (aKind == nkMessage) {
    RaiseMessage(aRecord.Connection.get(), aRecord.Text);
  } else if (aRecord.Stream) {
    aRecord.Stream->SetPosition(0);
    RaiseBinary(aRecord.Connection.get(), *aRecord.Stream);
  }
}

// ---------------------------------------------------------------------------------------------
// Read thread

TqynTCPReadThread::TqynTCPReadThread(TqynIdTCPClient& aClient)
    : TqynIdThread(false, true, RS_TCPReadThreadName), FClient(&aClient) {
  AfterConstruction();
}

TqynTCPReadThread::~TqynTCPReadThread() {
  Shutdown();
  // A thread that was handed its client frees it here, after its body has ended.
  FAdopted.reset();
}

void TqynTCPReadThread::Kick() {
  {
    std::lock_guard<std::mutex> g(FIdleMutex);
    FKicked = true;
  }
  FIdleCv.notify_all();
}

void TqynTCPReadThread::WakeUp() {
  Kick();
  FClient->Wakeup();
}

void TqynTCPReadThread::IdleWait() {
  std::unique_lock<std::mutex> lock(FIdleMutex);
  FIdleCv.wait_for(lock, 100ms, [this] { return FKicked || Stopped(); });
  FKicked = false;
}

void TqynTCPReadThread::Run() {
  if (FOwnerGone.load()) {
    Terminate();
    return;
  }
  TqynIdTCPClient& client = *FClient;
  uint64_t generation = client.Generation();
  try {
    if (!Terminated() && client.OnThread) {
      client.OnThread(&client);
      if (FOwnerGone.load()) return;
    }
    if (Terminated()) return;
    if (!client.ReadSocket()) {
      IdleWait();
      return;
    }
    generation = client.Generation(); // commands may have connected anew
    TIdIOHandlerSocket* io = client.IOHandler();
    if (io->InputBufferIsEmpty()) {
      std::lock_guard<TqynCriticalSection> lock(client.CS());
      io->CheckForDataOnSource(10);
    }
    if (Terminated() || !client.ReadSocket()) return;
    if (!io->InputBufferIsEmpty()) {
      const size_t before = io->InputBuffer().Size();
      if (client.OnRead) {
        client.OnRead(&client);
        if (FOwnerGone.load()) return;
      }
      if (Terminated() || !client.ReadSocket()) return;
      if (io->InputBuffer().Size() >= before) {
        // Nobody took the bytes (no connection object right now): do not spin on them.
        SleepFor(10);
        return;
      }
    }
    if (io->InputBufferIsEmpty()) {
      if (io->ClosedGracefully()) throw EIdConnClosedGracefully(RS_ConnClosedGracefully);
      if (!io->Connected()) throw EIdClosedSocket(RS_ClosedSocket);
    }
  } catch (const Exception& E) {
    if (!FOwnerGone.load()) HandleException(E, generation);
  } catch (const std::exception& E) {
    if (!FOwnerGone.load()) HandleException(Exception(E.what()), generation);
  } catch (...) {
    if (!FOwnerGone.load()) HandleException(Exception(RS_UnknownException), generation);
  }
}

void TqynTCPReadThread::HandleException(const Exception& E, uint64_t aGeneration) {
  TqynIdTCPClient& client = *FClient;
  try {
    // A connection made meanwhile by another thread (tcpmCommands) is not this failure's.
    if (client.Generation() != aGeneration) return;
    TIdIOHandlerSocket* io = client.IOHandler();
    // What arrived before the failure is delivered first.
    if (!Terminated() && !io->InputBufferIsEmpty() && client.OnRead) {
      client.OnRead(&client);
      if (FOwnerGone.load()) return;
    }
    if (client.TCPMode() == tcpmCommands) client.SetReadSocket(false);
    if (client.OnReadException && client.Generation() == aGeneration) {
      client.OnReadException(&client, E);
      if (FOwnerGone.load()) return;
    }
    // The connection is over: close it, which reports the disconnect (once).
    if (client.Generation() == aGeneration) client.Disconnect(false);
    if (FOwnerGone.load()) return;
  } catch (...) {
    if (FOwnerGone.load()) return;
  }
  // Terminated only now, so that the reports above are not given up as a stopped thread's.
  if (client.TCPMode() == tcpmDefault) Terminate();
}

// ---------------------------------------------------------------------------------------------
// Inner client

// Writes every received and sent chunk to the log writer. A failing writer does not break the
// connection: its first failure is kept for the component to report.
class TqynIdTCPClient::TLogIntercept : public TIdConnectionIntercept {
public:
  explicit TLogIntercept(std::shared_ptr<TqynIdLogFileClient> aLog) : FLog(std::move(aLog)) {}
  void Receive(TIdBytes& aBuffer) override { Write(true, aBuffer); }
  void Send(TIdBytes& aBuffer) override { Write(false, aBuffer); }
  const std::shared_ptr<TqynIdLogFileClient>& Log() const noexcept { return FLog; }
  std::string TakeError() {
    std::lock_guard<std::mutex> g(FMutex);
    if (FReported || FError.empty()) return {};
    FReported = true;
    return FError;
  }

private:
  void Write(bool aReceived, const TIdBytes& aBytes) {
    std::string error;
    try {
      if (aReceived) FLog->LogRecvBytes(aBytes);
      else FLog->LogSendBytes(aBytes);
      return;
    } catch (const Exception& E) {
      error = E.Message();
    } catch (const std::exception& E) {
      error = E.what();
    }
    std::lock_guard<std::mutex> g(FMutex);
    if (FError.empty()) FError = error;
  }

  std::shared_ptr<TqynIdLogFileClient> FLog;
  std::mutex FMutex;
  std::string FError;
  bool FReported = false;
};

TqynIdTCPClient::TqynIdTCPClient() = default;

TqynIdTCPClient::~TqynIdTCPClient() {
  std::unique_ptr<TqynTCPReadThread> thread;
  {
    std::lock_guard<std::mutex> g(FThreadMutex);
    FStopRequested = true;
    thread = std::move(FReadThread);
  }
  if (thread && thread->IsCurrentThread()) {
    // Cannot wait for itself: the thread ends after this pass and frees itself.
    thread->FOwnerGone.store(true);
    if (thread->SetFreeOnTerminate(true)) {
      thread->Terminate();
      (void)thread.release();
    }
  }
  thread.reset(); // terminates and joins
  SetIntercept(nullptr);
}

TqynTCPReadThread* TqynIdTCPClient::ReadThread() const {
  std::lock_guard<std::mutex> g(FThreadMutex);
  return FReadThread.get();
}

bool TqynIdTCPClient::IsReadThread() const {
  std::lock_guard<std::mutex> g(FThreadMutex);
  return FReadThread && FReadThread->IsCurrentThread();
}

void TqynIdTCPClient::ConnectClient() {
  std::unique_ptr<TqynTCPReadThread> old;
  {
    std::lock_guard<std::mutex> g(FThreadMutex);
    if (TCPMode() == tcpmDefault && FReadThread && !FReadThread->IsCurrentThread()) old = std::move(FReadThread);
    FStopRequested = false;
  }
  old.reset();
  SetReadSocket(false);
  ++FGeneration;
  Connect();
}

void TqynIdTCPClient::StartReading() {
  std::unique_ptr<TqynTCPReadThread> ended;
  {
    std::lock_guard<std::mutex> g(FThreadMutex);
    if (FStopRequested || !Connected()) return;
    if (FReadThread && !FReadThread->Terminated()) {
      // Command mode: the existing thread reads the new connection.
      SetReadSocket(true);
      FReadThread->Kick();
      return;
    }
    if (FReadThread && FReadThread->IsCurrentThread()) return; // ending: cannot replace itself
    ended = std::move(FReadThread);
  }
  ended.reset();
  std::lock_guard<std::mutex> g(FThreadMutex);
  if (FStopRequested || !Connected()) return;
  SetReadSocket(true);
  try {
    FReadThread = std::make_unique<TqynTCPReadThread>(*this);
  } catch (...) {
    SetReadSocket(false);
    throw;
  }
}

void TqynIdTCPClient::StopReadThread(bool aWait) {
  TqynTCPReadThread* thread;
  {
    std::lock_guard<std::mutex> g(FThreadMutex);
    FStopRequested = true;
    thread = FReadThread.get();
  }
  SetReadSocket(false);
  if (!thread) return;
  thread->Terminate();
  if (aWait && !thread->IsCurrentThread()) thread->WaitFor();
}

void TqynIdTCPClient::KickReadThread() {
  {
    std::lock_guard<std::mutex> g(FThreadMutex);
    if (FReadThread) FReadThread->Kick();
  }
  // The socket's wake-up also ends a connect wait, so it is only given while the thread reads:
  // a command must not cancel a connect the read thread is making.
  if (ReadSocket()) Wakeup();
}

void TqynIdTCPClient::AbandonToReadThread() {
  std::unique_ptr<TqynTCPReadThread> thread;
  {
    std::lock_guard<std::mutex> g(FThreadMutex);
    FStopRequested = true;
    if (!FReadThread || !FReadThread->IsCurrentThread()) return;
    thread = std::move(FReadThread);
  }
  TqynTCPReadThread* raw = thread.release();
  raw->FOwnerGone.store(true);
  raw->FAdopted = shared_from_this();
  raw->SetFreeOnTerminate(true); // we are on its body: it frees itself (and this client) at the end
  raw->Terminate();
}

void TqynIdTCPClient::SetLogFile(std::shared_ptr<TqynIdLogFileClient> aLog) {
  std::unique_ptr<TLogIntercept> intercept;
  if (aLog) intercept = std::make_unique<TLogIntercept>(std::move(aLog));
  SetIntercept(intercept.get());
  FLogIntercept.swap(intercept);
}

std::shared_ptr<TqynIdLogFileClient> TqynIdTCPClient::LogFile() const {
  return FLogIntercept ? FLogIntercept->Log() : nullptr;
}

std::string TqynIdTCPClient::TakeLogError() { return FLogIntercept ? FLogIntercept->TakeError() : std::string(); }

// ---------------------------------------------------------------------------------------------
// TqynTCPCLient_Common

TqynTCPCLient_Common::TqynTCPCLient_Common(TqynComponent_Base* aOwner) : TqynTCPComponent(aOwner) {
  FCommands.SetOwnObjects(true);
}

TqynTCPCLient_Common::~TqynTCPCLient_Common() { Shutdown(); }

std::string TqynTCPCLient_Common::Host() const {
  std::lock_guard<std::mutex> g(FPropMutex);
  return FHost;
}

void TqynTCPCLient_Common::SetHost(const std::string& aValue) {
  std::lock_guard<std::mutex> g(FPropMutex);
  FHost = aValue;
}

bool TqynTCPCLient_Common::Active() const {
  std::shared_ptr<TqynIdTCPClient> client;
  {
    std::lock_guard<std::mutex> g(FStateMutex);
    client = FInner;
  }
  return client && client->Connected();
}

void TqynTCPCLient_Common::SetActive(bool aValue) {
  try {
    if (aValue) DoActivate(0);
    else DoDeactivate();
  } catch (...) {
    // Both report their failures through OnException already.
  }
}

std::shared_ptr<TqynTCPConnectionClient> TqynTCPCLient_Common::Connection() const {
  std::lock_guard<std::mutex> g(FStateMutex);
  return FConnection;
}

std::shared_ptr<TqynTCPConnectionClient> TqynTCPCLient_Common::ConnectionOf(const TqynIdTCPClient* aClient) const {
  std::lock_guard<std::mutex> g(FStateMutex);
  if (FConnection && FConnection->FOwnerClient == aClient) return FConnection;
  return nullptr;
}

bool TqynTCPCLient_Common::Connect(int aTimeout) {
  try {
    DoActivate(aTimeout);
  } catch (...) {
  }
  return Connection() != nullptr;
}

bool TqynTCPCLient_Common::Disconnect(int aTimeout) {
  SetActive(false);
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(aTimeout, 0));
  while (Connection()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

bool TqynTCPCLient_Common::WatchDogRunning() const {
  std::lock_guard<std::mutex> g(FWatchDogMutex);
  return FWatchDogTimer && !FWatchDogTimer->Terminated();
}

std::shared_ptr<TqynIdTCPClient> TqynTCPCLient_Common::NewClient() {
  auto client = std::make_shared<TqynIdTCPClient>();
  client->SetTCPMode(TCPMode());
  client->OnConnected = [this](TIdTCPClient* aSender) { ClientConnected(static_cast<TqynIdTCPClient*>(aSender)); };
  client->OnDisconnected = [this](TIdTCPClient* aSender) {
    ClientDisconnected(static_cast<TqynIdTCPClient*>(aSender));
  };
  client->OnThread = [this](TqynIdTCPClient* aSender) { ClientThread(aSender); };
  client->OnRead = [this](TqynIdTCPClient* aSender) { ClientRead(aSender); };
  client->OnReadException = [this](TqynIdTCPClient* aSender, const Exception& E) { ClientReadException(aSender, E); };
  return client;
}

void TqynTCPCLient_Common::ApplySettings(TqynIdTCPClient& aClient, int aTimeout) {
  aClient.SetHost(Host());
  aClient.SetPort(Port());
  aClient.SetIPVersion(IPVersion());
  aClient.SetUseNagle(UseNagle());
  int connectTimeout = ConnectTimeout();
  if (connectTimeout <= 0 && aTimeout > 0) connectTimeout = aTimeout;
  aClient.SetConnectTimeout(connectTimeout);
  aClient.SetReadTimeout(ReadTimeout());
  aClient.SetBoundPortMin(BoundPortMin());
  aClient.SetBoundPortMax(BoundPortMax());
  aClient.SetLingerState(LingerState());
  aClient.SetKeepAliveValues(FTCPKeepAlive.Enabled, FTCPKeepAlive.Time, FTCPKeepAlive.Interval);
  if (FLogFile.Enabled) {
    auto log = std::make_shared<TqynIdLogFileClient>();
    log->SetReplaceCRLF(false);
    log->SetFilename(FLogFile.FileName);
    aClient.SetLogFile(std::move(log));
  } else {
    aClient.SetLogFile(nullptr);
  }
}

void TqynTCPCLient_Common::DisposeClient(std::shared_ptr<TqynIdTCPClient> aClient) {
  if (!aClient) return;
  aClient->Detach(); // its events reach nobody from now on
  if (aClient->IsReadThread()) {
    // Called from a handler on the client's own read thread: it cannot be joined here. The
    // thread takes the client over and frees both when its pass returns.
    aClient->SetReadSocket(false);
    aClient->AbandonToReadThread();
    aClient->Disconnect(false);
    return;
  }
  aClient->StopReadThread(true);
  aClient->Disconnect(false);
}

void TqynTCPCLient_Common::DoActivate(int aTimeout) {
  if (IsDesigning() || IsLoading() || IsDestroying()) return;
  if (Active()) return;
  // A connection whose peer has closed and that is not finished yet is finished first.
  if (Connection()) DoDeactivate();

  std::shared_ptr<TqynTCPConnectionClient> connection;
  std::shared_ptr<TqynTCPConnectionClient> orphan;
  std::shared_ptr<TqynIdTCPClient> client;
  std::unique_ptr<Exception> failure;
  bool startWatchDog = false;
  {
    // One connect at a time. A worker thread that is stopped while it waits gives up (its owner
    // may be joining it while holding this lock).
    std::unique_lock<std::recursive_mutex> guard(FConnectMutex, std::defer_lock);
    while (!guard.try_lock()) {
      const TIdThread* self = TIdThread::Current();
      if ((self && self->Terminated()) || IsDestroying()) return;
      std::this_thread::sleep_for(1ms);
    }
    if (Active() || IsDestroying()) return;
    try {
      std::shared_ptr<TqynIdTCPClient> old;
      {
        std::lock_guard<std::mutex> g(FStateMutex);
        if (FInner && (TCPMode() == tcpmDefault || FInner->TCPMode() != TCPMode())) old = std::move(FInner);
      }
      // Every connection in tcpmDefault gets a fresh inner client and read thread.
      DisposeClient(std::move(old));
      {
        std::lock_guard<std::mutex> g(FStateMutex);
        orphan = std::move(FConnection); // a connection object left from before, not finished yet
        FConnection.reset();
        FWatchDogFlag = FWatchDog.Enabled;
      }
      if (TLS()) throw EIdException(RS_TCPTLSNotSupported);
      if (FProxy.Enabled) throw EIdException(RS_TCPProxyNotSupported);
      {
        std::lock_guard<std::mutex> g(FStateMutex);
        if (!FInner) FInner = NewClient();
        client = FInner;
        FConnecting = true;
        FAbortConnect = false;
      }
      ApplySettings(*client, aTimeout);
      client->ConnectClient(); // the connected event makes the connection object
      bool aborted;
      {
        std::lock_guard<std::mutex> g(FStateMutex);
        aborted = FAbortConnect;
        FConnecting = false;
      }
      if (aborted) throw EIdSocketError::FromErrno(ECANCELED);
      connection = ConnectionOf(client.get());
    } catch (const Exception& E) {
      failure = E.Clone();
    } catch (const std::exception& E) {
      failure = std::make_unique<Exception>(E.what());
    } catch (...) {
      failure = std::make_unique<Exception>(RS_UnknownException);
    }
    if (failure) {
      std::shared_ptr<TqynTCPConnectionClient> unseen;
      {
        std::lock_guard<std::mutex> g(FStateMutex);
        FConnecting = false;
        startWatchDog = FWatchDogFlag;
        if (client && FConnection && FConnection->FOwnerClient == client.get()) unseen = std::move(FConnection);
        FConnection.reset();
      }
      // A connection the application never saw connect ends without a disconnect event.
      if (unseen) {
        unseen->FCloseNotified.store(true);
        unseen->SetDisconnected(true);
        unseen->SetActive(false);
        unseen->MarkFreed();
      }
      if (client) {
        try {
          client->Disconnect(false);
        } catch (...) {
        }
      }
    }
  }

  const std::weak_ptr<char> alive = AliveToken().Weak();
  if (orphan) {
    ConnectionClosed(orphan);
    if (alive.expired()) return;
  }
  if (failure) {
    DoException(nullptr, *failure);
    if (alive.expired()) return;
    if (startWatchDog) StartWatchDog();
    return;
  }
  if (!connection) return;
  NotifyConnect(connection);
  if (alive.expired()) return;
  try {
    client->StartReading();
  } catch (const Exception& E) {
    DoException(connection, E);
    if (alive.expired()) return;
    client->Disconnect(false);
  } catch (const std::exception& E) {
    DoException(connection, Exception(E.what()));
    if (alive.expired()) return;
    client->Disconnect(false);
  }
}

void TqynTCPCLient_Common::DoDeactivate() {
  std::shared_ptr<TqynTCPConnectionClient> connection;
  std::shared_ptr<TqynIdTCPClient> connecting;
  {
    std::lock_guard<std::mutex> g(FStateMutex);
    FWatchDogFlag = false;
    if (FConnection && !FDisconnecting) {
      connection = FConnection;
    } else if (FConnecting && FInner) {
      FAbortConnect = true;
      connecting = FInner;
    }
  }
  if (!connection) {
    // Cancels a connect running on another thread (it then fails with ECANCELED).
    if (connecting) connecting->Socket()->CloseSocket();
    StopWatchDog();
    return;
  }
  connection->SetMustDisconnect(true);
  auto client = std::static_pointer_cast<TqynIdTCPClient>(connection->Client());
  if (!client) {
    ConnectionClosed(connection);
    return;
  }
  // Stop reading: command mode keeps its thread for further commands.
  if (client->TCPMode() == tcpmCommands) {
    client->SetReadSocket(false);
    client->KickReadThread();
  } else {
    client->StopReadThread(true); // does not wait when called on the read thread itself
  }
  client->IOHandler()->InputBuffer().Clear();
  const std::weak_ptr<char> alive = AliveToken().Weak();
  client->Disconnect(false); // the disconnected event notifies OnDisconnect
  if (alive.expired()) return;
  ConnectionClosed(connection);
}

void TqynTCPCLient_Common::ConnectionClosed(const std::shared_ptr<TqynTCPConnectionClient>& aConnection) {
  if (!aConnection || aConnection->FCloseNotified.exchange(true)) return;
  aConnection->SetDisconnected(true);
  aConnection->SetActive(false);
  bool current;
  {
    std::lock_guard<std::mutex> g(FStateMutex);
    current = FConnection == aConnection;
    if (current) FDisconnecting = true;
  }
  const std::weak_ptr<char> alive = AliveToken().Weak();
  std::unique_ptr<Exception> failure;
  try {
    if (IsDestroying()) aConnection->MarkFreed();
    else NotifyDisconnect(aConnection);
  } catch (const Exception& E) {
    failure = E.Clone();
  } catch (const std::exception& E) {
    failure = std::make_unique<Exception>(E.what());
  } catch (...) {
    failure = std::make_unique<Exception>(RS_UnknownException);
  }
  if (alive.expired()) return;
  {
    std::lock_guard<std::mutex> g(FStateMutex);
    if (FConnection == aConnection) FConnection.reset();
    if (current) FDisconnecting = false;
  }
  // An OnDisconnect handler that raised: the connection object is gone, so report without it.
  if (failure) DoException(nullptr, *failure);
}

void TqynTCPCLient_Common::ReportLogError(TqynIdTCPClient& aClient,
                                          const std::shared_ptr<TqynTCPConnectionClient>& aConnection) {
  const std::string text = aClient.TakeLogError();
  if (!text.empty()) DoException(aConnection, EIdException(text));
}

void TqynTCPCLient_Common::WriteToConnection(const TqynBytes& aBytes) {
  std::shared_ptr<TqynTCPConnectionClient> connection = Connection();
  if (!connection) return;
  connection->WriteBytes(aBytes);
  if (auto client = std::static_pointer_cast<TqynIdTCPClient>(connection->Client()))
    ReportLogError(*client, connection);
}

void TqynTCPCLient_Common::DoAfterCommand(TqynTCPCommandItem& /*aItem*/) {}

void TqynTCPCLient_Common::RunCommand(TqynTCPCommandItem& aItem) {
  const std::weak_ptr<char> alive = AliveToken().Weak();
  try {
    switch (aItem.Command) {
    case tcmActive:
      if (!Active()) Connect(10000);
      break;
    case tcmNotActive:
      if (Active()) Disconnect(10000);
      break;
    case tcmWriteBytes: WriteToConnection(aItem.Bytes); break;
    case tcmNone: break;
    }
    if (alive.expired()) return;
    DoAfterCommand(aItem);
  } catch (const Exception& E) {
    if (alive.expired()) return;
    DoException(Connection(), E);
  } catch (const std::exception& E) {
    if (alive.expired()) return;
    DoException(Connection(), Exception(E.what()));
  } catch (...) {
    if (alive.expired()) return;
    DoException(Connection(), Exception(RS_UnknownException));
  }
}

void TqynTCPCLient_Common::AddCommandItem(const std::shared_ptr<TqynTCPCommandItem>& aItem) {
  if (IsDestroying()) return;
  if (TCPMode() == tcpmDefault) {
    // No read thread processes a queue in this mode: do the work at once.
    RunCommand(*aItem);
    return;
  }
  std::shared_ptr<TqynIdTCPClient> client;
  {
    std::lock_guard<std::mutex> g(FStateMutex);
    client = FInner;
  }
  const bool haveThread = client && client->TCPMode() == tcpmCommands && client->ReadThread();
  if (aItem->Command == tcmActive && !haveThread) {
    Connect(10000);
    return;
  }
  FCommands.AddItem(aItem);
  if (client) client->KickReadThread();
}

void TqynTCPCLient_Common::AddBytes(const TqynBytes& ABytes) {
  auto item = std::make_shared<TqynTCPCommandItem>();
  item->Command = tcmWriteBytes;
  item->Bytes = ABytes;
  AddCommandItem(item);
}

void TqynTCPCLient_Common::AddCommand(TqynTCPCommand aCommand) {
  auto item = std::make_shared<TqynTCPCommandItem>();
  item->Command = aCommand;
  AddCommandItem(item);
}

void TqynTCPCLient_Common::StartWatchDog() {
  std::lock_guard<std::mutex> g(FWatchDogMutex);
  if (FWatchDogTimer || IsDestroying()) return;
  auto timer = std::make_unique<TqynTimer>(RS_TCPWatchDogName);
  // Seconds; 0 or less takes the timer's shortest period (one 100 ms step) rather than a
  // timer that fires without pause.
  const int seconds = std::clamp(FWatchDog.Interval, 0, 2000000);
  timer->SetInterval(std::max(seconds * 1000, 100));
  timer->SetNotifyEvents(neNoSync);
  const int attempts = FWatchDog.Attempts;
  // It only counts its ticks, and stops itself after Attempts of them (never when 0).
  timer->OnTimer = [this, attempts](TqynTimer* aTimer) {
    const int ticks = ++FWatchDogTicks;
    if (attempts > 0 && ticks >= attempts) aTimer->SetEnabled(false);
  };
  timer->SetEnabled(true);
  FWatchDogTimer = std::move(timer);
}

void TqynTCPCLient_Common::StopWatchDog() {
  std::unique_ptr<TqynTimer> timer;
  {
    std::lock_guard<std::mutex> g(FWatchDogMutex);
    timer = std::move(FWatchDogTimer);
  }
  if (timer) FreeThread(timer);
}

void TqynTCPCLient_Common::Shutdown() noexcept {
  if (FShutdown.exchange(true)) return;
  Destroying();
  try {
    StopWatchDog();
    std::shared_ptr<TqynIdTCPClient> client;
    bool connecting;
    {
      std::lock_guard<std::mutex> g(FStateMutex);
      client = FInner;
      connecting = FConnecting;
      if (connecting) FAbortConnect = true;
    }
    if (client) {
      // Ends a connect and the read thread's waits at once; the thread is joined below.
      client->Detach();
      client->StopReadThread(false);
      if (connecting) client->Socket()->CloseSocket();
    }
    std::shared_ptr<TqynIdTCPClient> inner;
    std::shared_ptr<TqynTCPConnectionClient> connection;
    {
      std::lock_guard<std::recursive_mutex> guard(FConnectMutex); // a connect on another thread ends
      std::lock_guard<std::mutex> g(FStateMutex);
      inner = std::move(FInner);
      connection = std::move(FConnection);
    }
    if (connection) {
      connection->FCloseNotified.store(true);
      connection->SetDisconnected(true);
      connection->SetActive(false);
      connection->MarkFreed();
    }
    DisposeClient(std::move(inner));
    FCommands.Clear();
    QueueClear();
  } catch (...) {
  }
}

// ---------------------------------------------------------------------------------------------
// Inner client events (ignored once the client is detached)

void TqynTCPCLient_Common::ClientConnected(TqynIdTCPClient* aClient) {
  if (aClient->Detached() || IsDestroying()) return;
  TIdSocketHandle* socket = aClient->Socket();
  const int writeTimeout = WriteTimeout();
  if (writeTimeout > 0) socket->SetSendTimeout(writeTimeout);
  auto connection = std::make_shared<TqynTCPConnectionClient>();
  connection->FClient = aClient->shared_from_this();
  connection->FOwnerClient = aClient;
  connection->FSession = aClient->Session();
  connection->SetIP(socket->PeerIP());
  connection->SetPort(socket->PeerPort());
  connection->SetLocalIP(socket->IP());
  connection->SetLocalPort(socket->Port());
  connection->SetIPVersion(socket->IPVersion());
  connection->SetActive(true);
  connection->SetLogFile(aClient->LogFile());
  connection->SetExceptionRouting(
      [this, alive = AliveToken().Weak(), weak = std::weak_ptr<TqynTCPConnectionClient>(connection)](
          TqynSocketConnection*, const Exception& E) {
        if (alive.expired()) return;
        DoException(weak.lock(), E);
      });
  std::lock_guard<std::mutex> g(FStateMutex);
  FConnection = std::move(connection);
}

void TqynTCPCLient_Common::ClientDisconnected(TqynIdTCPClient* aClient) {
  if (aClient->Detached() || IsDestroying()) return;
  auto connection = ConnectionOf(aClient);
  if (!connection) return;
  // The end of a connection can be reported late, by the read thread, after another thread has
  // already finished that connection and made the next one: that report is not the next one's.
  const uint64_t ended = TIdTCPClient::ReportingSession();
  if (ended != 0 && connection->FSession != ended) return;
  ConnectionClosed(connection);
}

void TqynTCPCLient_Common::ClientThread(TqynIdTCPClient* aClient) {
  if (aClient->Detached() || IsDestroying() || aClient->TCPMode() != tcpmCommands) return;
  const std::weak_ptr<char> alive = AliveToken().Weak();
  const TIdThread* self = TIdThread::Current();
  while (!(self && self->Terminated())) {
    std::shared_ptr<TqynTCPCommandItem> item;
    {
      auto& items = FCommands.LockList();
      if (!items.empty()) {
        item = std::dynamic_pointer_cast<TqynTCPCommandItem>(items.front());
        items.erase(items.begin());
      }
      FCommands.UnlockList();
    }
    if (!item) return;
    RunCommand(*item);
    if (alive.expired() || aClient->Detached()) return;
  }
}

void TqynTCPCLient_Common::ClientRead(TqynIdTCPClient* aClient) {
  if (aClient->Detached() || IsDestroying()) return;
  std::shared_ptr<TqynTCPConnectionClient> connection = ConnectionOf(aClient);
  if (!connection || connection->Disconnected()) return;
  const std::weak_ptr<char> alive = AliveToken().Weak();
  TIdIOHandlerSocket* io = aClient->IOHandler();
  try {
    while (!io->InputBufferIsEmpty() && !connection->Disconnected() && !connection->MustDisconnect()) {
      TqynBytes chunk;
      io->InputBuffer().ExtractToBytes(chunk, -1, true);
      connection->AddRecBytes(chunk.size());
      if (!DeliverChunk(connection, std::move(chunk), alive)) return;
      if (aClient->Detached()) return;
    }
    ReportLogError(*aClient, connection);
  } catch (const Exception& E) {
    if (alive.expired()) return;
    DoException(connection, E);
  } catch (const std::exception& E) {
    if (alive.expired()) return;
    DoException(connection, Exception(E.what()));
  } catch (...) {
    if (alive.expired()) return;
    DoException(connection, Exception(RS_UnknownException));
  }
}

void TqynTCPCLient_Common::ClientReadException(TqynIdTCPClient* aClient, const Exception& E) {
  if (aClient->Detached() || IsDestroying()) return;
  std::shared_ptr<TqynTCPConnectionClient> connection = ConnectionOf(aClient);
  // Without a connection object, or while this side disconnects, the failure is the end of a
  // connection that is already being finished: nothing to report.
  if (!connection || connection->MustDisconnect()) return;
  const std::weak_ptr<char> alive = AliveToken().Weak();
  DoException(connection, E);
  if (alive.expired()) return;
  aClient->IOHandler()->InputBuffer().Clear();
}

bool TqynTCPCLient_Common::DeliverData(const std::shared_ptr<TqynTCPConnectionClient>& aConnection, TqynBytes&& aData,
                                       const std::weak_ptr<char>& aAlive) {
  aConnection->MsgBinaryReceived().LoadFromBytes(std::move(aData));
  NotifyBinary(aConnection);
  return !aAlive.expired();
}

bool TqynTCPCLient_Common::DeliverChunk(const std::shared_ptr<TqynTCPConnectionClient>& aConnection,
                                        TqynBytes&& aChunk, const std::weak_ptr<char>& aAlive) {
  const TtcpEOFScanBuffer mode = aConnection->TCPEndOfFrameScanBuffer();
  const TqynBytes marker = aConnection->TCPEndOfFrame();
  TqynBytes& pending = aConnection->FPendingFrame;
  if (mode == eofScanNone || marker.empty()) {
    // Bytes collected under a marker mode that was switched off go out with this chunk.
    if (!pending.empty()) {
      pending.insert(pending.end(), aChunk.begin(), aChunk.end());
      aChunk.swap(pending);
      pending.clear();
    }
    return DeliverData(aConnection, std::move(aChunk), aAlive);
  }
  pending.insert(pending.end(), aChunk.begin(), aChunk.end());
  if (mode == eofScanLatestBytes) {
    const bool endsWithMarker =
        pending.size() >= marker.size() && std::equal(marker.begin(), marker.end(), pending.end() - static_cast<std::ptrdiff_t>(marker.size()));
    if (!endsWithMarker && pending.size() < TqynTCPConnection_Base::MaxPendingFrame) return true;
    TqynBytes frame;
    frame.swap(pending);
    return DeliverData(aConnection, std::move(frame), aAlive);
  }
  // eofScanAllBytes: one message per marker-terminated frame; the rest waits for more bytes.
  std::vector<TqynBytes> frames;
  auto start = pending.begin();
  for (;;) {
    const auto hit = std::search(start, pending.end(), marker.begin(), marker.end());
    if (hit == pending.end()) break;
    const auto frameEnd = hit + static_cast<std::ptrdiff_t>(marker.size());
    frames.emplace_back(start, frameEnd);
    start = frameEnd;
  }
  TqynBytes rest(start, pending.end());
  if (rest.size() >= TqynTCPConnection_Base::MaxPendingFrame) {
    frames.push_back(std::move(rest));
    rest.clear();
  }
  pending.swap(rest);
  for (auto& frame : frames) {
    if (aConnection->Disconnected() || aConnection->MustDisconnect()) break;
    if (!DeliverData(aConnection, std::move(frame), aAlive)) return false;
  }
  return true;
}
