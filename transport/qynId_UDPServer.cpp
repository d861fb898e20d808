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
  // cut short (a wake-up may shut the socket's reading down for good).
  if (!Finished() && Stopped()) FBinding.Wakeup();
}

void TIdUDPListenerThread::ReleaseReceiveMemory() {
  FArea.reset();
  FSlotSize = 0;
  FLengths = std::vector<size_t>();
  FAddrs = std::vector<TIdSockAddr>();
  FBuffer = TIdBytes();
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
    if (FHolding) {
      // A compact listener after a datagram: a short wait first; when it ends empty the memory
      // goes and the next pass waits for AcceptWait.
      if (!FBinding.Readable(CompactIdleWait)) {
        if (Stopped()) return;
        FHolding = false;
        ReleaseReceiveMemory();
        ReleaseUnusedStack();
        return;
      }
    } else if (!FBinding.Readable(AcceptWait())) {
      return;
    }
    if (Stopped()) return;
  }
  FReadFirst = false;
  if (Compact() && static_cast<size_t>(std::max(0, FServer.BufferSize())) <= KCompactArea) {
    RunCompactPass();
    return;
  }
  int count = 0;
  try {
    const size_t slotSize = static_cast<size_t>(std::max(0, FServer.BufferSize()));
    if (slotSize != FSlotSize || !FArea) {
      // Up to 8 datagrams a pass (a short pass gets its answers out early), within 256 KB of
      // receive area; a compact listener takes one at a time.
      constexpr size_t KAreaBytes = 256 * 1024;
      const int maxSlots = Compact() ? 1 : 8;
      FSlots = static_cast<int>(std::clamp<size_t>(KAreaBytes / std::max<size_t>(slotSize, 1), 1, maxSlots));
      FArea.reset(new uint8_t[std::max<size_t>(slotSize, 1) * static_cast<size_t>(FSlots)]);
      FSlotSize = slotSize;
      FLengths.assign(static_cast<size_t>(FSlots), 0);
      FAddrs.assign(static_cast<size_t>(FSlots), TIdSockAddr{});
    }
    count = FBinding.RecvBatch(FArea.get(), FSlotSize, FSlots, FLengths.data(), FAddrs.data());
  } catch (const Exception& E) {
    ReportCurrentException(E);
    return;
  } catch (const std::exception& E) {
    ReportCurrentException(Exception(E.what()));
    return;
  }
  if (count == 0) return; // nothing there after all
  FReadFirst = true;
  if (Compact()) {
    FHolding = true;
    // No send batch: what the handlers send goes out at once.
    for (int i = 0; i < count; ++i) {
      if (i > 0 && Stopped()) break;
      Deliver(i);
    }
    return;
  }
  if (!FSendBatch) FSendBatch = std::make_unique<TIdSendBatch>();
  TIdSendBatch& batch = *FSendBatch;
  batch.Handle = &FBinding;
  batch.State = FBinding.Current();
  tSendBatch = &batch;
  for (int i = 0; i < count; ++i) {
    // A handler may have stopped this listener (and its binding may be gone by now): the rest of
    // the batch is dropped with it.
    if (i > 0 && Stopped()) break;
    Deliver(i);
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

void TIdUDPListenerThread::RunCompactPass() {
  // The datagram lands in an area on this thread's stack (given back with the stack's unused
  // pages when the listener idles) and is copied into FBuffer before it is handed out.
  uint8_t area[KCompactArea];
  size_t length = 0;
  TIdSockAddr addr;
  const size_t slotSize = static_cast<size_t>(std::max(0, FServer.BufferSize()));
  try {
    if (FBinding.RecvBatch(area, slotSize, 1, &length, &addr) == 0) return; // nothing there after all
  } catch (const Exception& E) {
    ReportCurrentException(E);
    return;
  } catch (const std::exception& E) {
    ReportCurrentException(Exception(E.what()));
    return;
  }
  FReadFirst = true;
  FHolding = true;
  if (length <= slotSize) FBuffer.assign(area, area + length);
  DeliverFrom(FBuffer.data(), length, slotSize, addr);
}

void TIdUDPListenerThread::Deliver(int aIndex) {
  DeliverFrom(FArea.get() + static_cast<size_t>(aIndex) * FSlotSize, FLengths[static_cast<size_t>(aIndex)], FSlotSize,
              FAddrs[static_cast<size_t>(aIndex)]);
}

void TIdUDPListenerThread::DeliverFrom(const uint8_t* aData, size_t aLength, size_t aSlotSize, const TIdSockAddr& aAddr) {
  try {
    // A datagram longer than the buffer: its rest is lost, which is reported, never passed on.
    if (aLength > aSlotSize) throw EIdSocketError::FromErrno(EMSGSIZE);
    std::string ip;
    TIdPort port = 0;
    TIdIPVersion version = Id_IPv4;
    if (!IdSockAddrToText(aAddr, ip, port, version)) return;
    if (aData != FBuffer.data()) FBuffer.assign(aData, aData + aLength);
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
  if (Stopped()) return; // the socket was closed by a stop: nothing worth reporting
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
    for (TIdUDPListenerThread* t : threads) t->Start();
    if (BroadcastEnabled())
      for (TIdSocketHandle* b : aBindings) b->SetBroadcastEnabled(true);
  } catch (...) {
    Deactivate();
    throw;
  }
}

void TIdUDPServer::Deactivate() {
  std::vector<std::unique_ptr<TIdUDPListenerThread>> threads;
  {
    std::lock_guard<std::recursive_mutex> active(FActiveLock);
    {
      std::lock_guard<std::recursive_mutex> g(FThreadsLock);
      threads.swap(FThreads);
      FCurrentBinding.store(nullptr);
    }
    // Stop every listener and close its socket first (both end a pending wait at once), and
    // close the sockets of bindings without a listener too; the joins come after the locks are
    // released, because a listener's handler may need them.
    for (auto& t : threads) t->Terminate();
    for (TIdSocketHandle* b : FBindings.ToVector()) b->CloseSocket();
  }
  JoinListeners(threads);
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
    FThreads.back()->Start();
  } catch (...) {
    FThreads.pop_back();
    throw;
  }
  return true;
}

bool TIdUDPServer::StopListener(TIdSocketHandle* ABinding) {
  std::vector<std::unique_ptr<TIdUDPListenerThread>> gone;
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
  }
  if (gone.empty()) return false;
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
