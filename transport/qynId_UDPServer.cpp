// The UDP server's activation, listeners and their passes. Datagrams are received in batches
// (recvmmsg) and answers collected in the listener's send batch.
#include "qynId_UDPServer.h"

#include <algorithm>
#include <cerrno>

#include "qynId_SendBatch.h"
#include "qynMessages.h"

using namespace qyn_detail;

// ---------------------------------------------------------------------------------------------
// UDP listener thread

TIdUDPListenerThread::TIdUDPListenerThread(TIdUDPServer& AServer, TIdSocketHandle& ABinding)
    : TIdThread(true, true, std::string()), FServer(AServer), FBinding(ABinding), FAcceptWait(AServer.AcceptWait()) {}

TIdUDPListenerThread::~TIdUDPListenerThread() { Shutdown(); }

void TIdUDPListenerThread::WakeUp() {
  // Once the body has ended there is no wait to cut short, and the binding may already be gone:
  // a listener stopped from its own handler frees itself later, after that handler may have
  // deleted its binding (the destructor's Terminate comes here too). Only a stop needs the wait
  // cut short (a wake-up may shut the socket's reading down for good). A pooled listener has no
  // wait of its own.
  if (!Pooled() && !Finished() && Stopped()) FBinding.Wakeup();
}

void TIdUDPListenerThread::Run() {
  if (Stopped()) return;
  if (!FBinding.HandleAllocated() || FBinding.ReadShutDown()) {
    // Nothing to read until the socket is made again (or, shut down, until the stop that
    // follows): wait without spinning.
    if (AcceptWait() < 0) SleepUntilStopped();
    else SleepFor(std::max(1, AcceptWait()));
    return;
  }
  // After a pass that received datagrams more are likely waiting: read first and wait only when
  // none is there (a stop is still seen at once: the flag is checked above, and the wait wakes).
  if (!FReadFirst) {
    if (!FBinding.Readable(AcceptWait())) return;
    if (Stopped()) return;
  }
  FReadFirst = false;
  const int count = ReceiveInto(FArea);
  if (count == 0) return; // nothing there after all
  FReadFirst = true;
  if (!FSendBatch) FSendBatch = std::make_unique<TIdSendBatch>();
  TIdSendBatch& batch = *FSendBatch;
  batch.Handle = &FBinding;
  batch.State = FBinding.Current();
  tSendBatch = &batch;
  for (int i = 0; i < count; ++i) {
    // A handler may have stopped this listener (and its binding may be gone by now): the rest of
    // the batch is dropped with it.
    if (i > 0 && Stopped()) break;
    Deliver(FArea, i);
  }
  tSendBatch = nullptr;
  // What the handlers sent goes out even when one of them stopped the listener (the socket's
  // descriptor stays open while the batch holds it).
  if (batch.State) FlushSendBatch(batch);
  batch.State.reset();
  if (batch.Failed) {
    batch.Failed = false;
    ReportCurrentException(EIdSocketError(0, batch.FailMessage));
  }
}

int TIdUDPListenerThread::ReceiveInto(TIdUDPReceiveArea& aArea) {
  // Up to 8 datagrams a pass (a short pass gets its answers out early), within 256 KB.
  try {
    aArea.Fit(static_cast<size_t>(std::max(0, FServer.BufferSize())), 8);
    return FBinding.RecvBatch(aArea.Bytes.get(), aArea.SlotSize, aArea.Slots, aArea.Lengths.data(), aArea.Addrs.data());
  } catch (const Exception& E) {
    ReportCurrentException(E);
  } catch (const std::exception& E) {
    ReportCurrentException(Exception(E.what()));
  }
  return 0;
}

void TIdUDPListenerThread::RunPolledPass(TIdUDPReceiveArea& aArea, TIdSendBatch& aBatch) {
  if (Ended() || !FBinding.HandleAllocated()) return;
  const int count = ReceiveInto(aArea);
  if (count == 0) return;
  // The poller's copy buffer serves as this listener's for the pass (handed back even when a
  // handler removed this listener: the poller keeps it alive until the pass has ended).
  FBuffer.swap(aArea.Copy);
  // What the handlers send through one binding (the first they send through) goes out together.
  aBatch.Adopt = true;
  tSendBatch = &aBatch;
  for (int i = 0; i < count; ++i) {
    if (i > 0 && Ended()) break;
    Deliver(aArea, i);
  }
  tSendBatch = nullptr;
  FBuffer.swap(aArea.Copy);
  if (aBatch.State) FlushSendBatch(aBatch);
  aBatch.State.reset();
  aBatch.Handle = nullptr;
  if (aBatch.Failed) {
    aBatch.Failed = false;
    ReportCurrentException(EIdSocketError(0, aBatch.FailMessage));
  }
}

void TIdUDPListenerThread::Deliver(const TIdUDPReceiveArea& aArea, int aIndex) {
  DeliverFrom(aArea.Slot(aIndex), aArea.Lengths[static_cast<size_t>(aIndex)], aArea.SlotSize,
              aArea.Addrs[static_cast<size_t>(aIndex)]);
}

void TIdUDPListenerThread::DeliverFrom(const uint8_t* aData, size_t aLength, size_t aSlotSize, const TIdSockAddr& aAddr) {
  try {
    // A datagram longer than the buffer: its rest is lost, which is reported, never passed on.
    if (aLength > aSlotSize) throw EIdSocketError::FromErrno(EMSGSIZE);
    std::string ip;
    TIdPort port = 0;
    TIdIPVersion version = Id_IPv4;
    if (!IdSockAddrToText(aAddr, ip, port, version)) return;
    FBuffer.assign(aData, aData + aLength);
    FBinding.SetPeer(ip, port, version);
    UDPRead();
    // Nothing below may touch the binding: a handler may have stopped this listener and the
    // binding may be gone by now.
  } catch (const Exception& E) {
    ReportCurrentException(E);
  } catch (const std::exception& E) {
    ReportCurrentException(Exception(E.what()));
  }
}

void TIdUDPListenerThread::ReportCurrentException(const Exception& E) {
  if (Ended()) return; // the socket was closed by a stop: nothing worth reporting
  FCurrentException = E.Message();
  FCurrentExceptionClass = E.ClassName();
  UDPException();
}

void TIdUDPListenerThread::RunSynchronized(const std::function<void()>& aEvent) {
  FlushBeforeWait();
  Synchronize([this, &aEvent] {
    FSyncRunner.store(std::this_thread::get_id());
    struct TReset {
      std::atomic<std::thread::id>& Runner;
      ~TReset() { Runner.store(std::thread::id()); }
    } reset{FSyncRunner};
    aEvent();
  });
}

void TIdUDPListenerThread::UDPRead() {
  if (FServer.ThreadedEvent()) {
    FServer.DoUDPRead(this, FBuffer, &FBinding);
  } else {
    RunSynchronized([this] { FServer.DoUDPRead(this, FBuffer, &FBinding); });
  }
}

void TIdUDPListenerThread::UDPException() {
  // A failing exception handler must not end the listener.
  try {
    if (FServer.ThreadedEvent()) {
      FServer.DoUDPException(this, &FBinding, FCurrentException, FCurrentExceptionClass);
    } else {
      RunSynchronized([this] { FServer.DoUDPException(this, &FBinding, FCurrentException, FCurrentExceptionClass); });
    }
  } catch (...) {
  }
}

// ---------------------------------------------------------------------------------------------
// UDP server

TIdUDPServer::TIdUDPServer() = default;

TIdUDPServer::~TIdUDPServer() {
  try {
    Deactivate();
  } catch (...) {
  }
  for (auto& p : FRetiredPollers) p->Shutdown();
}

bool TIdUDPServer::Active() const { return FCurrentBinding.load() != nullptr; }

void TIdUDPServer::SetActive(bool aValue) {
  if (aValue) Activate();
  else Deactivate();
}

TIdSocketHandle* TIdUDPServer::Binding() {
  if (!Active()) Activate();
  return FCurrentBinding.load();
}

std::string TIdUDPServer::Name() const {
  std::lock_guard<std::mutex> g(FNameLock);
  return FName;
}

void TIdUDPServer::SetName(const std::string& aValue) {
  std::lock_guard<std::mutex> g(FNameLock);
  FName = aValue;
}

void TIdUDPServer::SetBroadcastEnabled(bool aValue) {
  FBroadcastEnabled.store(aValue);
  if (!Active()) return;
  for (TIdSocketHandle* b : FBindings.ToVector())
    if (b->HandleAllocated()) b->SetBroadcastEnabled(aValue);
}

void TIdUDPServer::DoBeforeBind(TIdSocketHandle* AHandle) {
  if (OnBeforeBind) OnBeforeBind(AHandle);
}

void TIdUDPServer::DoAfterBind() {
  if (OnAfterBind) OnAfterBind(this);
}

void TIdUDPServer::DoUDPRead(TIdUDPListenerThread* AThread, const TIdBytes& AData, TIdSocketHandle* ABinding) {
  if (OnUDPRead) OnUDPRead(AThread, AData, ABinding);
}

void TIdUDPServer::DoUDPException(TIdUDPListenerThread* AThread, TIdSocketHandle* ABinding, const std::string& AMessage,
                                  const std::string& AExceptionClass) {
  if (OnUDPException) OnUDPException(AThread, ABinding, AMessage, AExceptionClass);
}

std::unique_ptr<TIdUDPListenerThread> TIdUDPServer::MakeListener(TIdSocketHandle& ABinding, const std::string& AName) {
  std::unique_ptr<TIdUDPListenerThread> t = ThreadClass ? ThreadClass(*this, ABinding) : nullptr;
  if (!t) t = std::make_unique<TIdUDPListenerThread>(*this, ABinding);
  t->SetName(AName);
  return t;
}

void TIdUDPServer::Activate() {
  std::lock_guard<std::recursive_mutex> active(FActiveLock);
  if (Active()) return;
  const bool pairAdded = AddDefaultBindings();
  const std::vector<TIdSocketHandle*> bindings = FBindings.ToVector();
  BindAll(bindings, pairAdded);
  StartListeners(bindings);
}

bool TIdUDPServer::AddDefaultBindings() {
  if (FBindings.Count() != 0) return false;
  TIdSocketHandle* first = FBindings.Add();
  first->SetIPVersion(IPVersion());
  const bool other = IPVersion() == Id_IPv4 ? GStack().SupportsIPv6() : GStack().SupportsIPv4();
  if (!other) return false;
  TIdSocketHandle* second = FBindings.Add();
  second->SetIPVersion(IPVersion() == Id_IPv4 ? Id_IPv6 : Id_IPv4);
  return true;
}

void TIdUDPServer::AllocateBinding(TIdSocketHandle* ABinding, bool aAnyPortWhenTaken) {
  ABinding->AllocateSocket(Id_SOCK_DGRAM);
  if (ReuseSocket() != rsOSDependent) ABinding->SetReuseSocket(ReuseSocket());
  DoBeforeBind(ABinding);
  try {
    ABinding->Bind();
  } catch (const EIdSocketError& E) {
    if (!aAnyPortWhenTaken || E.LastError() != EADDRINUSE) throw;
    ABinding->SetPort(0);
    ABinding->Bind();
  }
}

void TIdUDPServer::BindAll(const std::vector<TIdSocketHandle*>& aBindings, bool aPairAdded) {
  std::vector<TIdSocketHandle*> opened;
  try {
    for (size_t i = 0; i < aBindings.size(); ++i) {
      TIdSocketHandle* b = aBindings[i];
      // With an ephemeral default port the two families of the dual-stack pair share the port
      // the first one got; when someone else holds it there, any port will do.
      const bool samePort = aPairAdded && i == 1 && b->Port() == 0;
      if (samePort) b->SetPort(aBindings[0]->Port());
      opened.push_back(b); // closing a handle whose allocation failed does nothing
      AllocateBinding(b, samePort);
    }
    DoAfterBind();
  } catch (...) {
    for (auto it = opened.rbegin(); it != opened.rend(); ++it) (*it)->CloseSocket();
    throw;
  }
}

void TIdUDPServer::StartListeners(const std::vector<TIdSocketHandle*>& aBindings) {
  // One listener per binding, named by position.
  std::vector<std::unique_ptr<TIdUDPListenerThread>> made;
  try {
    const std::string name = Name();
    for (size_t i = 0; i < aBindings.size(); ++i)
      made.push_back(MakeListener(*aBindings[i], name + RS_ListenerThreadSuffix + std::to_string(i + 1)));
  } catch (...) {
    made.clear(); // never started: nothing to join
    for (auto it = aBindings.rbegin(); it != aBindings.rend(); ++it) (*it)->CloseSocket();
    throw;
  }
  {
    std::lock_guard<std::recursive_mutex> g(FThreadsLock);
    for (auto& t : made) FThreads.push_back(std::move(t));
    FCurrentBinding.store(aBindings.front());
  }
  try {
    std::vector<TIdUDPListenerThread*> threads;
    {
      std::lock_guard<std::recursive_mutex> g(FThreadsLock);
      for (auto& t : FThreads) threads.push_back(t.get());
    }
    for (TIdUDPListenerThread* t : threads) Launch(*t);
    if (BroadcastEnabled())
      for (TIdSocketHandle* b : aBindings) b->SetBroadcastEnabled(true);
  } catch (...) {
    Deactivate();
    throw;
  }
}

void TIdUDPServer::Deactivate() {
  std::vector<std::unique_ptr<TIdUDPListenerThread>> threads;
  std::shared_ptr<TIdUDPPoller> poller;
  {
    std::lock_guard<std::recursive_mutex> active(FActiveLock);
    {
      std::lock_guard<std::recursive_mutex> g(FThreadsLock);
      threads.swap(FThreads);
      FCurrentBinding.store(nullptr);
      poller.swap(FPoller);
    }
    // Stop every listener and the poller and close the sockets first (all of it ends a pending
    // wait at once), the sockets of bindings without a listener too; the joins come after the
    // locks are released, because a listener's handler may need them. A stopped poller starts no
    // further pass.
    for (auto& t : threads) t->Terminate();
    if (poller) poller->Terminate();
    for (TIdSocketHandle* b : FBindings.ToVector()) b->CloseSocket();
  }
  // A pooled listener whose pass still runs is waited for, or handed to the poller when the
  // caller is inside that pass.
  if (poller)
    for (auto& t : threads)
      if (t->Pooled()) poller->Remove(t);
  JoinListeners(threads);
  if (poller) RetirePoller(std::move(poller));
}

void TIdUDPServer::RetirePoller(std::shared_ptr<TIdUDPPoller> aPoller) {
  std::vector<std::shared_ptr<TIdUDPPoller>> retired;
  {
    std::lock_guard<std::recursive_mutex> g(FThreadsLock);
    if (aPoller) FRetiredPollers.push_back(std::move(aPoller));
    retired.swap(FRetiredPollers);
  }
  for (auto& p : retired) {
    // From inside one of its passes it cannot be joined: it stays listed and goes with the next
    // deactivation or the server.
    if (p->CallerInsidePass()) {
      std::lock_guard<std::recursive_mutex> g(FThreadsLock);
      FRetiredPollers.push_back(std::move(p));
      continue;
    }
    p->Shutdown();
  }
}

void TIdUDPServer::Launch(TIdUDPListenerThread& aListener) {
  if (!aListener.Pooled()) {
    aListener.Start();
    return;
  }
  std::shared_ptr<TIdUDPPoller> poller;
  {
    std::lock_guard<std::recursive_mutex> g(FThreadsLock);
    if (!FPoller) {
      FPoller = std::make_shared<TIdUDPPoller>();
      FPoller->SetName(Name() + RS_PollerThreadSuffix);
    }
    poller = FPoller;
  }
  poller->Add(&aListener);
}

void TIdUDPServer::JoinListeners(std::vector<std::unique_ptr<TIdUDPListenerThread>>& aThreads) {
  for (auto& t : aThreads) {
    if (!t) continue;
    if (t.get() == TIdThread::Current() || t->FSyncRunner.load() == std::this_thread::get_id()) {
      // Stopped from inside its own handler (on the listener, or on the main thread while the
      // listener waits in Synchronize): waiting for it here would never end, so it frees itself
      // when its pass returns (the library joins it later).
      if (t->SetFreeOnTerminate(true)) t.release();
      continue;
    }
    t->WaitFor();
    t.reset();
  }
  aThreads.clear();
}

bool TIdUDPServer::StartListener(TIdSocketHandle* ABinding) {
  if (!ABinding) return false;
  std::lock_guard<std::recursive_mutex> g(FThreadsLock);
  if (!Active()) return false;
  if (FBindings.IndexOf(ABinding) < 0) return false;
  for (auto& t : FThreads)
    if (t->Binding() == ABinding) return false;
  FThreads.push_back(MakeListener(*ABinding, Name() + RS_ListenerThreadSuffix + std::to_string(ABinding->Port())));
  try {
    Launch(*FThreads.back());
  } catch (...) {
    FThreads.pop_back();
    throw;
  }
  return true;
}

bool TIdUDPServer::StopListener(TIdSocketHandle* ABinding) {
  std::vector<std::unique_ptr<TIdUDPListenerThread>> gone;
  std::shared_ptr<TIdUDPPoller> poller;
  {
    std::lock_guard<std::recursive_mutex> g(FThreadsLock);
    for (auto it = FThreads.begin(); it != FThreads.end(); ++it) {
      if ((*it)->Binding() == ABinding) {
        gone.push_back(std::move(*it));
        FThreads.erase(it);
        break;
      }
    }
    if (!gone.empty() && FCurrentBinding.load() == ABinding)
      FCurrentBinding.store(FThreads.empty() ? nullptr : FThreads.front()->Binding());
    if (!gone.empty()) gone.front()->Terminate();
    if (!gone.empty() && gone.front()->Pooled()) poller = FPoller;
  }
  if (gone.empty()) return false;
  // A pooled listener leaves the poller while its socket is still open.
  if (poller) poller->Remove(gone.front());
  ABinding->CloseSocket();
  JoinListeners(gone);
  return true;
}

TIdUDPListenerThread* TIdUDPServer::ListenerOf(const TIdSocketHandle* ABinding) const {
  std::lock_guard<std::recursive_mutex> g(FThreadsLock);
  for (auto& t : FThreads)
    if (t->Binding() == ABinding) return t.get();
  return nullptr;
}

int TIdUDPServer::ListenerCount() const {
  std::lock_guard<std::recursive_mutex> g(FThreadsLock);
  return static_cast<int>(FThreads.size());
}
