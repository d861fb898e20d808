// One thread that serves the sockets of many UDP listeners: it waits on all of them at once
// (epoll) and runs a pass of each listener whose socket has datagrams. For servers with thousands
// of bindings that each carry little traffic (TURN relay bindings): one thread, one wake-up
// descriptor and one receive area for all of them, where a thread per binding would cost a
// stack, a wake-up per datagram and a receive area each.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_set>
#include <vector>

#include "qynId_SocketHandle.h"
#include "qynId_Thread.h"

class TIdUDPListenerThread;
struct TIdSendBatch;

// The receive area a pass fills: Slots datagrams of SlotSize bytes each, their lengths and
// senders. Owned by whoever runs the passes (one thread at a time).
struct TIdUDPReceiveArea {
  std::unique_ptr<uint8_t[]> Bytes;
  size_t SlotSize = 0;
  int Slots = 0;
  std::vector<size_t> Lengths;
  std::vector<TIdSockAddr> Addrs;
  // The copy of the datagram being handed out (a pooled pass lends it to its listener).
  TIdBytes Copy;
  // Makes room for up to aMaxSlots datagrams of aSlotSize bytes within 256 KB (at least one);
  // nothing when it already has that shape.
  void Fit(size_t aSlotSize, int aMaxSlots);
  uint8_t* Slot(int aIndex) const noexcept { return Bytes.get() + static_cast<size_t>(aIndex) * SlotSize; }
};

// Listeners are added once their binding is bound and removed before their socket is closed.
// The poller never owns a served listener, except one removed from inside its own pass (below).
// Every method is safe from any thread.
class TIdUDPPoller final : public TIdThread {
public:
  // Raises EIdSocketError when the system refuses the epoll instance or its wake-up.
  TIdUDPPoller();
  ~TIdUDPPoller() override;

  // Starts serving the listener's socket (the thread starts with the first listener). Raises
  // EIdSocketError when the socket cannot be watched.
  void Add(TIdUDPListenerThread* aListener);
  // Stops serving the listener: once this returns the poller never calls into it again. A pass of
  // it that is running on another thread is waited for. When the caller is that pass itself (on
  // this thread, or on the main thread running the pass's Synchronize), the listener is taken over
  // (aListener becomes empty) and freed when the pass ends.
  void Remove(std::unique_ptr<TIdUDPListenerThread>& aListener);
  // True when the calling thread is inside a pass of this poller (on it, or running a pass's
  // Synchronize on the main thread): the poller cannot be joined from there.
  bool CallerInsidePass() const;

protected:
  void BeforeRun() override;
  void Run() override;
  void WakeUp() override;

private:
  // Runs one pass of the listener behind an event, unless it was removed meanwhile.
  void Serve(TIdUDPListenerThread* aListener);

  int FEpoll = -1;
  int FWake = -1; // eventfd: a stop ends the wait
  // Guards the served set, the current listener and the orphans.
  mutable std::mutex FLock;
  std::condition_variable FPassEnded;
  std::unordered_set<TIdUDPListenerThread*> FServed;
  TIdUDPListenerThread* FCurrent = nullptr;
  // Listeners removed from inside their own pass, freed when it ends.
  std::vector<std::unique_ptr<TIdUDPListenerThread>> FOrphans;
  // Used on the poller's thread only.
  TIdUDPReceiveArea FArea;
  std::unique_ptr<TIdSendBatch> FBatch;
};
