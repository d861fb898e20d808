// The shared poller of UDP listeners: one epoll instance over their sockets plus an eventfd that
// a stop writes to. Level-triggered: a socket with datagrams left after a pass is reported again
// by the next wait, so a busy binding cannot starve the others.
#include "qynId_UDPPoller.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "qynBase_Sync.h"
#include "qynId_Exceptions.h"
#include "qynId_SendBatch.h"
#include "qynId_UDPServer.h"

void TIdUDPReceiveArea::Fit(size_t aSlotSize, int aMaxSlots) {
  constexpr size_t KAreaBytes = 256 * 1024;
  const int slots = static_cast<int>(std::clamp<size_t>(KAreaBytes / std::max<size_t>(aSlotSize, 1), 1,
                                                        static_cast<size_t>(std::max(1, aMaxSlots))));
  if (Bytes && SlotSize == aSlotSize && Slots == slots) return;
  Bytes.reset(new uint8_t[std::max<size_t>(aSlotSize, 1) * static_cast<size_t>(slots)]);
  SlotSize = aSlotSize;
  Slots = slots;
  Lengths.assign(static_cast<size_t>(slots), 0);
  Addrs.assign(static_cast<size_t>(slots), TIdSockAddr{});
}

TIdUDPPoller::TIdUDPPoller() : TIdThread(true, true, "UDP Poller") {
  FEpoll = ::epoll_create1(EPOLL_CLOEXEC);
  if (FEpoll < 0) throw EIdSocketError::FromErrno(errno);
  FWake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.ptr = nullptr; // the wake-up
  if (FWake < 0 || ::epoll_ctl(FEpoll, EPOLL_CTL_ADD, FWake, &ev) != 0) {
    const int e = errno;
    if (FWake >= 0) ::close(FWake);
    ::close(FEpoll);
    throw EIdSocketError::FromErrno(e);
  }
}

TIdUDPPoller::~TIdUDPPoller() {
  Shutdown();
  FOrphans.clear();
  ::close(FWake);
  ::close(FEpoll);
}

void TIdUDPPoller::Add(TIdUDPListenerThread* aListener) {
  {
    std::lock_guard<std::mutex> lock(FLock);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = aListener;
    if (::epoll_ctl(FEpoll, EPOLL_CTL_ADD, aListener->Binding()->Handle(), &ev) != 0)
      throw EIdSocketError::FromErrno(errno);
    FServed.insert(aListener);
  }
  Start(); // nothing once running
}

void TIdUDPPoller::Remove(std::unique_ptr<TIdUDPListenerThread>& aListener) {
  TIdUDPListenerThread* listener = aListener.get();
  if (!listener) return;
  // Its Synchronize calls are withdrawn (so a main thread waiting here below does not wait for
  // itself), and a pass that is running hands out no further datagram.
  listener->Terminate();
  std::unique_lock<std::mutex> lock(FLock);
  if (FServed.erase(listener) == 0) return;
  // The socket is still open (the caller closes it after this), so its descriptor is the one
  // that was registered.
  ::epoll_ctl(FEpoll, EPOLL_CTL_DEL, listener->Binding()->Handle(), nullptr);
  if (FCurrent != listener) return;
  if (TIdThread::Current() == this || listener->FSyncRunner.load() == std::this_thread::get_id()) {
    FOrphans.push_back(std::move(aListener));
    return;
  }
  FPassEnded.wait(lock, [&] { return FCurrent != listener; });
}

bool TIdUDPPoller::CallerInsidePass() const {
  if (TIdThread::Current() == this) return true;
  std::lock_guard<std::mutex> lock(FLock);
  return FCurrent && FCurrent->FSyncRunner.load() == std::this_thread::get_id();
}

void TIdUDPPoller::BeforeRun() {
  // A Synchronize of a listener's handler is withdrawn when that listener is removed, as it
  // would be on a thread of its own, and when the poller stops.
  TqynMainThread::SetThreadAbortCheck([this] {
    if (Terminated()) return true;
    std::lock_guard<std::mutex> lock(FLock);
    return FCurrent && FCurrent->Terminated();
  });
}

void TIdUDPPoller::WakeUp() {
  if (!Stopped()) return;
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(FWake, &one, sizeof one);
}

void TIdUDPPoller::Run() {
  constexpr int KEvents = 64;
  epoll_event events[KEvents];
  const int n = ::epoll_wait(FEpoll, events, KEvents, -1);
  for (int i = 0; i < n && !Stopped(); ++i) {
    auto* listener = static_cast<TIdUDPListenerThread*>(events[i].data.ptr);
    if (listener) Serve(listener);
  }
}

void TIdUDPPoller::Serve(TIdUDPListenerThread* aListener) {
  {
    std::lock_guard<std::mutex> lock(FLock);
    // Removed since the wait returned (the address may even be a new listener's by now, whose
    // pass then finds nothing waiting).
    if (FServed.count(aListener) == 0) return;
    FCurrent = aListener;
  }
  if (!FBatch) FBatch = std::make_unique<TIdSendBatch>();
  aListener->RunPolledPass(FArea, *FBatch);
  std::vector<std::unique_ptr<TIdUDPListenerThread>> orphans;
  {
    std::lock_guard<std::mutex> lock(FLock);
    FCurrent = nullptr;
    orphans.swap(FOrphans);
  }
  FPassEnded.notify_all();
}
