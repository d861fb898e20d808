// The UDP server: its bindings, one listener thread per binding that reads datagrams in batches
// and hands them to the read event, and the answers a pass collects. Relies on socket handles
// and the thread class.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qynBase_Types.h"
#include "qynId_SocketHandle.h"
#include "qynId_Thread.h"
#include "qynId_UDPPoller.h"

struct TIdSendBatch; // answers a listener collects during a pass (qynId_SendBatch.h)

class TIdUDPServer;
class TIdUDPListenerThread;

using TIdUDPReadEvent = std::function<void(TIdUDPListenerThread* AThread, const TIdBytes& AData, TIdSocketHandle* ABinding)>;
using TIdUDPExceptionEvent = std::function<void(TIdUDPListenerThread* AThread, TIdSocketHandle* ABinding,
                                                const std::string& AMessage, const std::string& AExceptionClass)>;
using TIdSocketHandleEvent = std::function<void(TIdSocketHandle* AHandle)>;
using TIdUDPServerNotifyEvent = std::function<void(TIdUDPServer* Sender)>;
// Makes the listener thread for a binding (the server's ThreadClass). The thread must be created
// suspended; the server names and starts it.
using TIdUDPListenerThreadClass = std::function<std::unique_ptr<TIdUDPListenerThread>(TIdUDPServer& AServer, TIdSocketHandle& ABinding)>;

// Reads the datagrams of one binding. Each pass waits up to AcceptWait for the socket, receives
// the datagrams waiting there (a few at a time, each up to BufferSize bytes) and raises the
// server's read event for each, or its exception event when a receive (or the read handler)
// fails; the thread then goes on. A pass that follows one that received datagrams reads before
// it waits, as more are likely there. Stopping or terminating the thread wakes its wait at once,
// and no further datagram is handed out once the thread is stopped.
// Small datagrams that handlers send through the binding's socket on this thread during a pass
// are sent together (sendmmsg) when the pass's datagrams have been handled, or earlier when eight
// are waiting or the thread is about to wait on a socket or for the main thread. A send failing then is reported
// through the exception event.
class TIdUDPListenerThread : public TIdThread {
public:
  TIdUDPListenerThread(TIdUDPServer& AServer, TIdSocketHandle& ABinding);
  ~TIdUDPListenerThread() override;

  TIdUDPServer& Server() const noexcept { return FServer; }
  TIdSocketHandle* Binding() const noexcept { return &FBinding; }
  // Milliseconds a pass waits for the socket; IdTimeoutInfinite waits until a datagram comes or
  // the thread is stopped (an idle listener then never wakes).
  int AcceptWait() const noexcept { return FAcceptWait.load(); }
  void SetAcceptWait(int aValue) noexcept { FAcceptWait.store(aValue); }
  // A pooled listener (set before the server starts it) gets no thread of its own: the server's
  // shared poller (TIdUDPPoller) runs its passes when its socket has datagrams. Made for servers
  // with thousands of bindings that each carry little traffic.
  bool Pooled() const noexcept { return FPooled.load(); }
  void SetPooled(bool aValue) noexcept { FPooled.store(aValue); }
  // Text and class name of the last exception caught by a pass (read on the listener thread).
  const std::string& CurrentException() const noexcept { return FCurrentException; }
  const std::string& CurrentExceptionClass() const noexcept { return FCurrentExceptionClass; }

protected:
  void Run() override;
  void WakeUp() override;
  // Raise the server's events, directly or through Synchronize as ThreadedEvent says.
  virtual void UDPRead();
  virtual void UDPException();

  TIdUDPServer& FServer;
  TIdSocketHandle& FBinding;
  // The datagram being handed to the read event (exactly its bytes).
  TIdBytes FBuffer;
  std::atomic<int> FAcceptWait{1000};
  std::string FCurrentException;
  std::string FCurrentExceptionClass;

private:
  friend class TIdUDPServer;
  friend class TIdUDPPoller;
  // The thread running this listener's event through Synchronize (none otherwise): a handler
  // there that stops the listener must not wait for it.
  std::atomic<std::thread::id> FSyncRunner{};
  void RunSynchronized(const std::function<void()>& aEvent);
  // Hands one received datagram (slot aIndex of aArea) to the read event.
  void Deliver(const TIdUDPReceiveArea& aArea, int aIndex);
  // Hands a datagram (aLength bytes at aData, FBuffer itself or a slot of aSlotSize bytes) from
  // aAddr to the read event.
  void DeliverFrom(const uint8_t* aData, size_t aLength, size_t aSlotSize, const TIdSockAddr& aAddr);
  // A pooled listener's pass, on the poller's thread: the datagrams waiting (up to eight) land in
  // the poller's area and are handed out through the poller's copy buffer, so a pooled listener
  // holds no receive memory between passes; small datagrams its handlers send through one
  // binding are collected in the poller's batch and sent together when the pass ends.
  void RunPolledPass(TIdUDPReceiveArea& aArea, TIdSendBatch& aBatch);
  // Receives what is waiting into aArea (up to eight datagrams); the count, 0 when nothing came
  // or the receive failed (reported).
  int ReceiveInto(TIdUDPReceiveArea& aArea);
  void ReportCurrentException(const Exception& E);
  // No further datagram is handed out: stopped (a pooled listener, which is never started,
  // only once terminated).
  bool Ended() const noexcept { return Pooled() ? Terminated() : Stopped(); }

  // Receive area of a listener with a thread of its own.
  TIdUDPReceiveArea FArea;
  // The previous pass received datagrams: read before waiting.
  bool FReadFirst = false;
  std::atomic<bool> FPooled{false};
  // Sends collected during a pass.
  std::unique_ptr<TIdSendBatch> FSendBatch;
};

class TIdUDPServer {
public:
  TIdUDPServer();
  // Deactivates (stopping and joining every listener) first. A subclass that overrides the Do*
  // handlers calls SetActive(false) first in its own destructor, so no listener calls into a
  // half-destroyed object.
  virtual ~TIdUDPServer();
  TIdUDPServer(const TIdUDPServer&) = delete;
  TIdUDPServer& operator=(const TIdUDPServer&) = delete;

  // Activation: nothing when active. With no bindings, one binding of IPVersion on DefaultPort
  // is added, plus one of the other family when the platform supports it (on the port the first
  // one got when DefaultPort is 0). Every binding is allocated and bound (OnBeforeBind before
  // each bind); on any failure the sockets opened so far are closed in reverse order and the
  // exception escapes, the server staying inactive. Then OnAfterBind, one listener per binding
  // (named Name + " Listener #" + position), the first binding becomes the current one and
  // BroadcastEnabled is applied. Deactivation stops every listener, closes its binding's socket
  // and joins it (without holding a lock a listener may need); bindings stay in the list.
  bool Active() const;
  void SetActive(bool aValue);
  // The current binding, activating first when inactive.
  TIdSocketHandle* Binding();

  // Allocates a datagram socket for the binding, applies ReuseSocket (unless rsOSDependent), raises
  // OnBeforeBind and binds it: the sequence activation runs for each binding, for bindings added
  // at run time too. With aAnyPortWhenTaken a port that someone else holds (EADDRINUSE) is given
  // up for any port. Raises on failure; closing the socket is then the caller's.
  void AllocateBinding(TIdSocketHandle* ABinding, bool aAnyPortWhenTaken = false);
  // Starts a listener for a binding that is in Bindings and already bound, while the server is
  // active (for bindings added at run time; named Name + " Listener #" + the binding's port).
  // Returns false (and does nothing) when the server is inactive or the binding has a listener.
  bool StartListener(TIdSocketHandle* ABinding);
  // Stops the binding's listener, closes the binding's socket and joins the listener; true when
  // the binding had one. Safe to call from any thread, including that listener (which then frees
  // itself when its pass ends). The binding stays in Bindings; call this before deleting a
  // binding of an active server. When the binding was the current one, the next listened
  // binding becomes current (none: the server is inactive).
  bool StopListener(TIdSocketHandle* ABinding);
  // The listener of a binding, or nullptr.
  TIdUDPListenerThread* ListenerOf(const TIdSocketHandle* ABinding) const;
  int ListenerCount() const;

  TIdSocketHandles& Bindings() noexcept { return FBindings; }
  TIdPort DefaultPort() const { return FBindings.DefaultPort(); }
  void SetDefaultPort(TIdPort aValue) { FBindings.SetDefaultPort(aValue); }
  TIdIPVersion IPVersion() const noexcept { return FIPVersion.load(); }
  void SetIPVersion(TIdIPVersion aValue) noexcept { FIPVersion.store(aValue); }
  int BufferSize() const noexcept { return FBufferSize.load(); }
  void SetBufferSize(int aValue) noexcept { FBufferSize.store(aValue); }
  TIdReuseSocket ReuseSocket() const noexcept { return FReuseSocket.load(); }
  void SetReuseSocket(TIdReuseSocket aValue) noexcept { FReuseSocket.store(aValue); }
  bool BroadcastEnabled() const noexcept { return FBroadcastEnabled.load(); }
  void SetBroadcastEnabled(bool aValue);
  bool ThreadedEvent() const noexcept { return FThreadedEvent.load(); }
  void SetThreadedEvent(bool aValue) noexcept { FThreadedEvent.store(aValue); }
  // AcceptWait given to listeners made from now on (milliseconds, default 1000).
  int AcceptWait() const noexcept { return FAcceptWait.load(); }
  void SetAcceptWait(int aValue) noexcept { FAcceptWait.store(aValue); }
  // The component's name, used to name the listener threads.
  std::string Name() const;
  void SetName(const std::string& aValue);

  // Factory of listener threads; default makes TIdUDPListenerThread.
  TIdUDPListenerThreadClass ThreadClass;

  TIdUDPReadEvent OnUDPRead;
  TIdUDPExceptionEvent OnUDPException;
  TIdSocketHandleEvent OnBeforeBind;
  TIdUDPServerNotifyEvent OnAfterBind;

protected:
  virtual void DoBeforeBind(TIdSocketHandle* AHandle);
  virtual void DoAfterBind();
  virtual void DoUDPRead(TIdUDPListenerThread* AThread, const TIdBytes& AData, TIdSocketHandle* ABinding);
  virtual void DoUDPException(TIdUDPListenerThread* AThread, TIdSocketHandle* ABinding, const std::string& AMessage,
                              const std::string& AExceptionClass);

private:
  friend class TIdUDPListenerThread;
  void Activate();
  // With no bindings: adds one of IPVersion on DefaultPort, and one of the other family when the
  // platform supports it; true when that second one was added.
  bool AddDefaultBindings();
  // Allocates and binds every binding, then OnAfterBind; on failure closes the sockets opened so
  // far, in reverse order, and raises. With aPairAdded the second binding shares the port the
  // first one got when it asks for an ephemeral one.
  void BindAll(const std::vector<TIdSocketHandle*>& aBindings, bool aPairAdded);
  // One listener per bound binding (named by position), started; the first binding becomes the
  // current one and BroadcastEnabled is applied. On failure the server is inactive again.
  void StartListeners(const std::vector<TIdSocketHandle*>& aBindings);
  void Deactivate();
  // Starts a listener: its own thread, or for a pooled one the shared poller (made on first use).
  void Launch(TIdUDPListenerThread& aListener);
  // Joins a stopped poller and those retired before, except one the caller is inside a pass of.
  void RetirePoller(std::shared_ptr<TIdUDPPoller> aPoller);
  std::unique_ptr<TIdUDPListenerThread> MakeListener(TIdSocketHandle& ABinding, const std::string& AName);
  // Joins listeners that were terminated and whose sockets were closed (no lock held). A
  // listener that is the calling thread is left to free itself when its pass ends.
  void JoinListeners(std::vector<std::unique_ptr<TIdUDPListenerThread>>& aThreads);

  TIdSocketHandles FBindings;
  std::atomic<TIdIPVersion> FIPVersion{Id_IPv4};
  std::atomic<int> FBufferSize{8192};
  std::atomic<TIdReuseSocket> FReuseSocket{rsOSDependent};
  std::atomic<bool> FBroadcastEnabled{false};
  std::atomic<bool> FThreadedEvent{false};
  std::atomic<int> FAcceptWait{1000};
  mutable std::mutex FNameLock;
  std::string FName;

  // Serialises activation and deactivation (never held while joining a listener).
  std::recursive_mutex FActiveLock;
  // Guards the listener list and the current binding.
  mutable std::recursive_mutex FThreadsLock;
  std::vector<std::unique_ptr<TIdUDPListenerThread>> FThreads;
  // The poller of the pooled listeners while active (shared: a stop of one listener may still
  // use it while a deactivation lets it go), and stopped ones not yet joined (FThreadsLock).
  std::shared_ptr<TIdUDPPoller> FPoller;
  std::vector<std::shared_ptr<TIdUDPPoller>> FRetiredPollers;
  std::atomic<TIdSocketHandle*> FCurrentBinding{nullptr};
};
