#include "qynId_Sockets.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include "qynId_SockAddr.h"
#include "qynMessages.h"

using namespace qyn_detail;

// ---------------------------------------------------------------------------------------------
// Addresses
// ---------------------------------------------------------------------------------------------

namespace {

// A deadline in milliseconds; negative means none.
class TDeadline {
public:
  explicit TDeadline(int aMSec) : FInfinite(aMSec < 0) {
    if (!FInfinite) FEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(aMSec);
  }
  bool Infinite() const { return FInfinite; }
  // Remaining milliseconds for poll(): -1 without limit, else >= 0 (rounded up).
  int Remaining() const {
    if (FInfinite) return -1;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(FEnd - std::chrono::steady_clock::now()).count();
    if (left <= 0) return 0;
    return left > INT_MAX ? INT_MAX : static_cast<int>(left);
  }
  bool Expired() const { return !FInfinite && std::chrono::steady_clock::now() >= FEnd; }

private:
  bool FInfinite;
  std::chrono::steady_clock::time_point FEnd{};
};

// Maps the layer's timeout conventions to poll's: negative -> without limit.
int PollTimeout(int aMSec) { return aMSec < 0 ? -1 : aMSec; }

} // namespace

// ---------------------------------------------------------------------------------------------
// Socket state and waits
// ---------------------------------------------------------------------------------------------

// One allocated socket with its eventfd. The descriptors are closed by the destructor, that is
// when the handle has let go of the socket and the last operation using it has returned.
struct TIdSocketState {
  int Fd = -1;
  int WakeFd = -1;
  int Family = AF_INET;
  TIdSocketType Type = Id_SOCK_DGRAM;
  std::atomic<bool> Closed{false};

  ~TIdSocketState() {
    if (Fd >= 0) ::close(Fd);
    if (WakeFd >= 0) ::close(WakeFd);
  }
  void Signal() const {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t r = ::write(WakeFd, &one, sizeof one);
  }
  void Drain() const {
    uint64_t value;
    [[maybe_unused]] ssize_t r = ::read(WakeFd, &value, sizeof value);
  }
};

namespace {

enum class TWaitResult { Ready, Timeout, Woken };

// Waits for aEvents on the socket, up to aMSec (negative: without limit). A close always ends
// the wait. A reader also ends on a Wakeup() and consumes it; a writer leaves wake-ups to the
// readers and then watches the socket alone, in short slices so that a close is still seen.
void FlushBeforeWait();

TWaitResult WaitOn(const TIdSocketState& aState, short aEvents, int aMSec, bool aReader) {
  FlushBeforeWait();
  const TDeadline deadline(aMSec);
  bool watchWake = true;
  for (;;) {
    if (aState.Closed.load()) return TWaitResult::Woken;
    int timeout = deadline.Remaining();
    if (!watchWake && (timeout < 0 || timeout > 50)) timeout = 50;
    pollfd fds[2] = {{aState.Fd, aEvents, 0}, {aState.WakeFd, POLLIN, 0}};
    const int r = ::poll(fds, watchWake ? 2 : 1, timeout);
    if (r < 0) {
      if (errno == EINTR) continue;
      throw EIdSocketError::FromErrno(errno);
    }
    if (r == 0) {
      if (deadline.Expired() || (timeout == 0 && !deadline.Infinite())) return TWaitResult::Timeout;
      continue;
    }
    if (watchWake && fds[1].revents) {
      if (aState.Closed.load()) return TWaitResult::Woken;
      if (aReader) {
        aState.Drain();
        return TWaitResult::Woken;
      }
      watchWake = false;
    }
    if (fds[0].revents & POLLNVAL) throw EIdSocketError::FromErrno(EBADF);
    if (fds[0].revents) return TWaitResult::Ready;
  }
}

bool WouldBlock(int aError) { return aError == EAGAIN || aError == EWOULDBLOCK; }

} // namespace

// Datagrams a listener's handlers send through its binding during one pass, sent together. At
// most eight wait: the first answers of a large pass leave while the rest are being handled, so
// that their receivers can go on (measured: faster than holding sixteen).
struct TIdSendBatch {
  static constexpr int KMax = 8;
  static constexpr size_t KSlot = 1500;
  const TIdSocketHandle* Handle = nullptr; // the listener's binding
  std::shared_ptr<TIdSocketState> State; // the binding's socket while a pass runs
  int Count = 0;
  int SendTimeout = 0;
  sockaddr_storage Addrs[KMax];
  socklen_t AddrLens[KMax];
  size_t Sizes[KMax];
  uint8_t Data[KMax][KSlot];
  // The first failure of a flush, reported by the listener.
  bool Failed = false;
  std::string FailMessage;
  std::string FailClass;
};

namespace {

// The batch of the listener running on this thread, while its pass hands out datagrams.
thread_local TIdSendBatch* tSendBatch = nullptr;

// Sends what the batch holds, waiting for buffer space like SendTo; failures are recorded in it.
void FlushSendBatch(TIdSendBatch& aBatch) {
  if (aBatch.Count == 0) return;
  TIdSendBatch* const saved = tSendBatch;
  tSendBatch = nullptr; // waits below must not flush again
  const TIdSocketState& s = *aBatch.State;
  mmsghdr msgs[TIdSendBatch::KMax];
  iovec iovs[TIdSendBatch::KMax];
  for (int i = 0; i < aBatch.Count; ++i) {
    iovs[i].iov_base = aBatch.Data[i];
    iovs[i].iov_len = aBatch.Sizes[i];
    msgs[i].msg_hdr = msghdr{};
    msgs[i].msg_hdr.msg_name = &aBatch.Addrs[i];
    msgs[i].msg_hdr.msg_namelen = aBatch.AddrLens[i];
    msgs[i].msg_hdr.msg_iov = &iovs[i];
    msgs[i].msg_hdr.msg_iovlen = 1;
    msgs[i].msg_len = 0;
  }
  auto fail = [&aBatch](const Exception& E) {
    if (aBatch.Failed) return;
    aBatch.Failed = true;
    aBatch.FailMessage = E.Message();
    aBatch.FailClass = E.ClassName();
  };
  const TDeadline deadline(aBatch.SendTimeout > 0 ? aBatch.SendTimeout : -1);
  int next = 0;
  while (next < aBatch.Count) {
    const int n = ::sendmmsg(s.Fd, msgs + next, static_cast<unsigned>(aBatch.Count - next), MSG_NOSIGNAL);
    if (n > 0) {
      next += n;
      continue;
    }
    const int e = n < 0 ? errno : EAGAIN;
    if (e == EINTR) continue;
    if (!WouldBlock(e) && e != ENOBUFS) {
      // This datagram cannot go; the others still do.
      fail(EIdSocketError::FromErrno(e));
      ++next;
      continue;
    }
    try {
      const TWaitResult w = WaitOn(s, POLLOUT, deadline.Remaining(), false);
      if (w == TWaitResult::Timeout) throw EIdSocketError::FromErrno(ETIMEDOUT);
      if (w == TWaitResult::Woken) throw EIdSocketError::FromErrno(ECANCELED);
    } catch (const Exception& E) {
      fail(E);
      break;
    }
  }
  aBatch.Count = 0;
  tSendBatch = saved;
}

// Before this thread waits: what its listener collected goes out first (an answer must not be
// held back while the thread waits for something that may depend on it).
void FlushBeforeWait() {
  if (tSendBatch && tSendBatch->Count) FlushSendBatch(*tSendBatch);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Socket handle
// ---------------------------------------------------------------------------------------------

TIdSocketHandle::TIdSocketHandle() = default;

TIdSocketHandle::~TIdSocketHandle() { CloseSocket(); }

std::shared_ptr<TIdSocketState> TIdSocketHandle::Current() const {
  std::lock_guard<std::recursive_mutex> g(FLock);
  return FSocket;
}

std::shared_ptr<TIdSocketState> TIdSocketHandle::Require() const {
  auto s = Current();
  if (!s) throw EIdSocketError::FromErrno(EBADF);
  return s;
}

void TIdSocketHandle::AllocateSocket(TIdSocketType aSocketType, int aProtocol) {
  if (aSocketType != Id_SOCK_STREAM && aSocketType != Id_SOCK_DGRAM) throw EIdSocketError::FromErrno(ESOCKTNOSUPPORT);
  std::lock_guard<std::recursive_mutex> g(FLock);
  CloseSocket();
  auto state = std::make_shared<TIdSocketState>();
  state->Family = FamilyOf(FIPVersion);
  state->Type = aSocketType;
  const int type = aSocketType == Id_SOCK_STREAM ? SOCK_STREAM : SOCK_DGRAM;
  state->Fd = ::socket(state->Family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, aProtocol);
  if (state->Fd < 0) {
    const int e = errno;
    if (e == EAFNOSUPPORT || e == EPFNOSUPPORT) throw EIdIPVersionUnsupported(RS_IPVersionUnsupported);
    throw EIdSocketError::FromErrno(e);
  }
  state->WakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (state->WakeFd < 0) throw EIdSocketError::FromErrno(errno);
  int one = 1;
  if (state->Family == AF_INET6 && ::setsockopt(state->Fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one) != 0)
    throw EIdSocketError::FromErrno(errno);
  if (aSocketType == Id_SOCK_STREAM) {
    int noDelay = FUseNagle ? 0 : 1;
    if (::setsockopt(state->Fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay) != 0) throw EIdSocketError::FromErrno(errno);
  }
  FSocket = std::move(state);
}

void TIdSocketHandle::Bind() {
  // A name in IP is resolved before the handle's lock is taken.
  std::string ip;
  TIdIPVersion version;
  {
    std::lock_guard<std::recursive_mutex> g(FLock);
    ip = FIP;
    version = FIPVersion;
  }
  sockaddr_storage addr;
  const socklen_t addrLen = MakeSockAddr(ip, 0, version, addr);

  std::lock_guard<std::recursive_mutex> g(FLock);
  auto s = Require();
  int reuse = FReuseSocket == rsTrue ? 1 : 0;
  if (::setsockopt(s->Fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) != 0) throw EIdSocketError::FromErrno(errno);

  auto tryBind = [&](TIdPort aPort) -> int {
    if (addr.ss_family == AF_INET6) reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port = htons(aPort);
    else reinterpret_cast<sockaddr_in*>(&addr)->sin_port = htons(aPort);
    return ::bind(s->Fd, reinterpret_cast<const sockaddr*>(&addr), addrLen) == 0 ? 0 : errno;
  };

  if (FPort == 0 && FClientPortMin != 0 && FClientPortMax != 0) {
    if (FClientPortMin > FClientPortMax)
      throw EIdInvalidPortRange(QynFormat(RS_InvalidPortRange, static_cast<int>(FClientPortMin), static_cast<int>(FClientPortMax)));
    bool bound = false;
    for (int port = FClientPortMax; port >= FClientPortMin; --port) {
      if (tryBind(static_cast<TIdPort>(port)) == 0) {
        bound = true;
        break;
      }
    }
    if (!bound)
      throw EIdCanNotBindPortInRange(QynFormat(RS_CanNotBindPortInRange, static_cast<int>(FClientPortMin), static_cast<int>(FClientPortMax)));
  } else {
    const int e = tryBind(FPort);
    if (e != 0) throw EIdSocketError::FromErrno(e);
  }
  UpdateBindingLocal();
}

void TIdSocketHandle::CloseSocket() {
  std::shared_ptr<TIdSocketState> s;
  {
    std::lock_guard<std::recursive_mutex> g(FLock);
    s = std::move(FSocket);
    FSocket.reset();
  }
  if (!s) return;
  s->Closed.store(true);
  // A stream socket is shut down at once, which also ends a send or receive of another thread
  // in the kernel; the descriptor itself closes when its last user lets go.
  if (s->Type == Id_SOCK_STREAM) ::shutdown(s->Fd, SHUT_RDWR);
  s->Signal();
}

void TIdSocketHandle::Wakeup() {
  auto s = Current();
  if (s) s->Signal();
}

void TIdSocketHandle::SetPeer(const std::string& aIP, TIdPort aPort, TIdIPVersion aIPVersion) {
  std::lock_guard<TqynFieldLock> g(FPeerLock);
  FPeerIP = aIP;
  FPeerPort = aPort;
  FPeerIPVersion = aIPVersion;
}

void TIdSocketHandle::SendTo(const std::string& aIP, TIdPort aPort, TIdIPVersion aIPVersion, const TIdBytes& aBuffer) {
  SendTo(aIP, aPort, aBuffer.data(), aBuffer.size(), aIPVersion);
}

void TIdSocketHandle::SendTo(const std::string& aIP, TIdPort aPort, const void* aData, size_t aLength, TIdIPVersion aIPVersion) {
  TIdSendBatch* const b = tSendBatch;
  // On this handle's own listener during a pass the batch holds the socket, which stays this
  // handle's socket until it is closed (a socket is only replaced after closing it): the handle's
  // lock is not needed.
  const bool batched = b && b->Handle == this && b->State && !b->State->Closed.load(std::memory_order_acquire);
  std::shared_ptr<TIdSocketState> s = batched ? nullptr : Require();
  const TIdSocketState& state = batched ? *b->State : *s;
  if (FamilyOf(aIPVersion) != state.Family) throw EIdSocketError::FromErrno(EAFNOSUPPORT);
  sockaddr_storage ss;
  const socklen_t len = MakeSockAddrCached(aIP, aPort, aIPVersion, ss);
  if (batched || (b && b->State == s)) {
    // On the listener of this socket during its pass: small datagrams are collected, larger
    // ones go at once after those collected before them.
    if (aLength <= TIdSendBatch::KSlot) {
      if (b->Count == TIdSendBatch::KMax) FlushSendBatch(*b);
      const int i = b->Count;
      std::memcpy(&b->Addrs[i], &ss, len);
      b->AddrLens[i] = len;
      b->Sizes[i] = aLength;
      if (aLength) std::memcpy(b->Data[i], aData, aLength);
      b->SendTimeout = SendTimeout();
      b->Count = i + 1;
      return;
    }
    FlushSendBatch(*b);
  }
  if (!s) s = b->State; // a large datagram of a pass: it goes at once, on the batch's socket
  static const uint8_t empty = 0;
  const void* data = aData ? aData : &empty;
  const int sendTimeout = SendTimeout();
  const TDeadline deadline(sendTimeout > 0 ? sendTimeout : -1);
  for (;;) {
    const ssize_t n = ::sendto(s->Fd, data, aLength, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&ss), len);
    if (n >= 0) return;
    const int e = errno;
    if (e == EINTR) continue;
    if (!WouldBlock(e) && e != ENOBUFS) throw EIdSocketError::FromErrno(e);
    const TWaitResult w = WaitOn(*s, POLLOUT, deadline.Remaining(), false);
    if (w == TWaitResult::Timeout) throw EIdSocketError::FromErrno(ETIMEDOUT);
    if (w == TWaitResult::Woken) throw EIdSocketError::FromErrno(ECANCELED);
  }
}

int TIdSocketHandle::RecvFrom(TIdBytes& aBuffer, std::string& VIP, TIdPort& VPort, TIdIPVersion& VIPVersion, int aMSec) {
  VIP.clear();
  VPort = 0;
  VIPVersion = IPVersion();
  auto s = Require();
  const TDeadline deadline(PollTimeout(aMSec));
  uint8_t dummy = 0;
  void* data = aBuffer.empty() ? &dummy : aBuffer.data();
  const int flags = s->Type == Id_SOCK_DGRAM ? MSG_TRUNC : 0;
  for (;;) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    const ssize_t n = ::recvfrom(s->Fd, data, aBuffer.size(), flags, reinterpret_cast<sockaddr*>(&ss), &len);
    if (n >= 0) {
      // MSG_TRUNC makes recvfrom return the datagram's real length: longer than the buffer
      // means it did not fit, and the rest is lost.
      if (static_cast<size_t>(n) > aBuffer.size()) throw EIdSocketError::FromErrno(EMSGSIZE);
      FromSockAddr(ss, VIP, VPort, VIPVersion);
      if (VIP.empty() && s->Type == Id_SOCK_STREAM) VIP = PeerIP();
      return static_cast<int>(n);
    }
    const int e = errno;
    if (e == EINTR) continue;
    if (!WouldBlock(e)) throw EIdSocketError::FromErrno(e);
    if (aMSec == 0 || deadline.Expired()) return 0;
    if (WaitOn(*s, POLLIN, deadline.Remaining(), true) != TWaitResult::Ready) return 0;
  }
}

int TIdSocketHandle::RecvBatch(uint8_t* aArea, size_t aSlotSize, int aCount, size_t* VLengths, TIdSockAddr* VAddrs) {
  static_assert(sizeof(TIdSockAddr::Data) >= sizeof(sockaddr_storage), "TIdSockAddr holds any socket address");
  auto s = Require();
  if (aCount <= 0) return 0;
  constexpr int KMax = 64;
  if (aCount > KMax) aCount = KMax;
  mmsghdr msgs[KMax];
  iovec iovs[KMax];
  uint8_t dummy = 0;
  for (int i = 0; i < aCount; ++i) {
    iovs[i].iov_base = aSlotSize ? aArea + static_cast<size_t>(i) * aSlotSize : &dummy;
    iovs[i].iov_len = aSlotSize;
    msgs[i].msg_hdr = msghdr{};
    msgs[i].msg_hdr.msg_name = VAddrs[i].Data;
    msgs[i].msg_hdr.msg_namelen = sizeof(sockaddr_storage);
    msgs[i].msg_hdr.msg_iov = &iovs[i];
    msgs[i].msg_hdr.msg_iovlen = 1;
    msgs[i].msg_len = 0;
  }
  const int flags = MSG_DONTWAIT | (s->Type == Id_SOCK_DGRAM ? MSG_TRUNC : 0);
  for (;;) {
    const int n = ::recvmmsg(s->Fd, msgs, static_cast<unsigned>(aCount), flags, nullptr);
    if (n >= 0) {
      for (int i = 0; i < n; ++i) {
        VAddrs[i].Len = msgs[i].msg_hdr.msg_namelen;
        size_t len = msgs[i].msg_len;
        // MSG_TRUNC reports the datagram's real length; make sure a cut one reads as too long.
        if ((msgs[i].msg_hdr.msg_flags & MSG_TRUNC) && len <= aSlotSize) len = aSlotSize + 1;
        VLengths[i] = len;
      }
      return n;
    }
    const int e = errno;
    if (e == EINTR) continue;
    if (WouldBlock(e)) return 0;
    throw EIdSocketError::FromErrno(e);
  }
}

bool IdSockAddrToText(const TIdSockAddr& aAddr, std::string& VIP, TIdPort& VPort, TIdIPVersion& VIPVersion) {
  sockaddr_storage ss;
  std::memcpy(&ss, aAddr.Data, sizeof ss);
  FromSockAddr(ss, VIP, VPort, VIPVersion);
  return !VIP.empty();
}

bool TIdSocketHandle::Readable(int aMSec) {
  auto s = Current();
  if (!s) return false;
  return WaitOn(*s, POLLIN, PollTimeout(aMSec), true) == TWaitResult::Ready;
}

void TIdSocketHandle::Connect(int aMSec) {
  std::string peerIP;
  TIdPort peerPort;
  TIdIPVersion version;
  std::shared_ptr<TIdSocketState> s;
  {
    std::lock_guard<std::recursive_mutex> g(FLock);
    s = Require();
    version = FIPVersion;
  }
  {
    std::lock_guard<TqynFieldLock> g(FPeerLock);
    peerIP = FPeerIP;
    peerPort = FPeerPort;
  }
  sockaddr_storage ss;
  const socklen_t len = MakeSockAddr(peerIP, peerPort, version, ss);
  // The wait happens outside the handle's lock, so CloseSocket from another thread ends it.
  if (::connect(s->Fd, reinterpret_cast<const sockaddr*>(&ss), len) != 0) {
    const int e = errno;
    if (e != EINPROGRESS && e != EINTR) throw EIdSocketError::FromErrno(e);
    const TWaitResult w = WaitOn(*s, POLLOUT, aMSec > 0 ? aMSec : -1, true);
    if (w == TWaitResult::Timeout) throw EIdConnectTimeout(RS_ConnectTimeout);
    // A close from another thread marks the socket closed before shutting it down: when the wait
    // ends on the socket's own state (the shutdown's reset) rather than on the wake-up, the
    // attempt was still cancelled.
    if (w == TWaitResult::Woken || s->Closed.load()) throw EIdSocketError::FromErrno(ECANCELED);
    int err = 0;
    socklen_t errLen = sizeof err;
    if (::getsockopt(s->Fd, SOL_SOCKET, SO_ERROR, &err, &errLen) != 0) throw EIdSocketError::FromErrno(errno);
    if (err != 0) throw EIdSocketError::FromErrno(err);
  }
  UpdateBindingLocal();
  UpdateBindingPeer();
}

void TIdSocketHandle::Disconnect() {
  auto s = Current();
  if (!s || s->Type != Id_SOCK_DGRAM) return;
  sockaddr unspec{};
  unspec.sa_family = AF_UNSPEC;
  ::connect(s->Fd, &unspec, sizeof unspec);
}

size_t TIdSocketHandle::Send(const TIdBytes& aBuffer, size_t aOffset, size_t aLength) {
  auto s = Require();
  if (aOffset > aBuffer.size()) aOffset = aBuffer.size();
  const size_t count = std::min(aLength, aBuffer.size() - aOffset);
  static const uint8_t empty = 0;
  const uint8_t* data = count ? aBuffer.data() + aOffset : &empty;
  const int sendTimeout = SendTimeout();
  const TDeadline deadline(sendTimeout > 0 ? sendTimeout : -1);
  size_t sent = 0;
  do {
    const ssize_t n = ::send(s->Fd, data + sent, count - sent, MSG_NOSIGNAL);
    if (n >= 0) {
      sent += static_cast<size_t>(n);
      if (s->Type == Id_SOCK_DGRAM) break;
      continue;
    }
    const int e = errno;
    if (e == EINTR) continue;
    if (!WouldBlock(e) && e != ENOBUFS) throw EIdSocketError::FromErrno(e);
    const TWaitResult w = WaitOn(*s, POLLOUT, deadline.Remaining(), false);
    if (w == TWaitResult::Timeout) throw EIdSocketError::FromErrno(ETIMEDOUT);
    if (w == TWaitResult::Woken) throw EIdSocketError::FromErrno(ECANCELED);
  } while (sent < count);
  return sent;
}

int TIdSocketHandle::Receive(TIdBytes& aBuffer, int aMSec) {
  auto s = Require();
  if (aMSec == IdTimeoutDefault) {
    const int rt = ReceiveTimeout();
    aMSec = rt > 0 ? rt : -1;
  }
  if (s->Type == Id_SOCK_STREAM && aBuffer.empty()) throw EIdSocketError::FromErrno(EINVAL);
  const TDeadline deadline(PollTimeout(aMSec));
  uint8_t dummy = 0;
  void* data = aBuffer.empty() ? &dummy : aBuffer.data();
  const int flags = s->Type == Id_SOCK_DGRAM ? MSG_TRUNC : 0;
  for (;;) {
    const ssize_t n = ::recv(s->Fd, data, aBuffer.size(), flags);
    if (n >= 0) {
      if (static_cast<size_t>(n) > aBuffer.size()) throw EIdSocketError::FromErrno(EMSGSIZE);
      return static_cast<int>(n);
    }
    const int e = errno;
    if (e == EINTR) continue;
    if (!WouldBlock(e)) throw EIdSocketError::FromErrno(e);
    if (aMSec == 0 || deadline.Expired()) return -1;
    if (WaitOn(*s, POLLIN, deadline.Remaining(), true) != TWaitResult::Ready) return -1;
  }
}

void TIdSocketHandle::SetSockOpt(int aLevel, int aOptName, int aValue) {
  auto s = Current();
  if (!s) return;
  if (::setsockopt(s->Fd, aLevel, aOptName, &aValue, sizeof aValue) != 0) throw EIdSocketError::FromErrno(errno);
}

int TIdSocketHandle::GetSockOpt(int aLevel, int aOptName) {
  auto s = Require();
  int value = 0;
  socklen_t len = sizeof value;
  if (::getsockopt(s->Fd, aLevel, aOptName, &value, &len) != 0) throw EIdSocketError::FromErrno(errno);
  return value;
}

void TIdSocketHandle::SetBroadcastEnabled(bool aValue) { SetSockOpt(SOL_SOCKET, SO_BROADCAST, aValue ? 1 : 0); }

void TIdSocketHandle::SetKeepAliveValues(bool aEnabled, int aTimeMS, int aIntervalMS) {
  auto s = Current();
  if (!s || s->Type != Id_SOCK_STREAM) return;
  SetSockOpt(SOL_SOCKET, SO_KEEPALIVE, aEnabled ? 1 : 0);
  if (!aEnabled) return;
  SetSockOpt(IPPROTO_TCP, TCP_KEEPIDLE, std::max(1, aTimeMS / 1000));
  SetSockOpt(IPPROTO_TCP, TCP_KEEPINTVL, std::max(1, aIntervalMS / 1000));
}

void TIdSocketHandle::SetLingerState(int aSeconds) {
  auto s = Current();
  if (!s || aSeconds < 0) return;
  linger l{};
  l.l_onoff = 1;
  l.l_linger = aSeconds;
  if (::setsockopt(s->Fd, SOL_SOCKET, SO_LINGER, &l, sizeof l) != 0) throw EIdSocketError::FromErrno(errno);
}

void TIdSocketHandle::UpdateBindingLocal() {
  auto s = Current();
  if (!s) return;
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (::getsockname(s->Fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) throw EIdSocketError::FromErrno(errno);
  std::string ip;
  TIdPort port = 0;
  TIdIPVersion v = Id_IPv4;
  FromSockAddr(ss, ip, port, v);
  std::lock_guard<std::recursive_mutex> g(FLock);
  FIP = ip;
  FPort = port;
}

void TIdSocketHandle::UpdateBindingPeer() {
  auto s = Current();
  if (!s) return;
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (::getpeername(s->Fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) {
    if (errno == ENOTCONN) return;
    throw EIdSocketError::FromErrno(errno);
  }
  std::string ip;
  TIdPort port = 0;
  TIdIPVersion v = Id_IPv4;
  FromSockAddr(ss, ip, port, v);
  SetPeer(ip, port, v);
}

#define QYN_HANDLE_GET(Type, Name, Field)                  \
  Type TIdSocketHandle::Name() const {                     \
    std::lock_guard<std::recursive_mutex> g(FLock);        \
    return Field;                                          \
  }
#define QYN_HANDLE_SET(Type, Name, Field)                  \
  void TIdSocketHandle::Name(Type aValue) {                \
    std::lock_guard<std::recursive_mutex> g(FLock);        \
    Field = aValue;                                        \
  }

QYN_HANDLE_GET(std::string, IP, FIP)
QYN_HANDLE_SET(const std::string&, SetIP, FIP)
QYN_HANDLE_GET(TIdPort, Port, FPort)
QYN_HANDLE_SET(TIdPort, SetPort, FPort)
QYN_HANDLE_GET(TIdIPVersion, IPVersion, FIPVersion)
QYN_HANDLE_GET(std::string, Name, FName)
QYN_HANDLE_SET(const std::string&, SetName, FName)

std::string TIdSocketHandle::PeerIP() const {
  std::lock_guard<TqynFieldLock> g(FPeerLock);
  return FPeerIP;
}

TIdPort TIdSocketHandle::PeerPort() const {
  std::lock_guard<TqynFieldLock> g(FPeerLock);
  return FPeerPort;
}

TIdIPVersion TIdSocketHandle::PeerIPVersion() const {
  std::lock_guard<TqynFieldLock> g(FPeerLock);
  return FPeerIPVersion;
}

QYN_HANDLE_GET(TIdReuseSocket, ReuseSocket, FReuseSocket)
QYN_HANDLE_SET(TIdReuseSocket, SetReuseSocket, FReuseSocket)
QYN_HANDLE_GET(TIdPort, ClientPortMin, FClientPortMin)
QYN_HANDLE_SET(TIdPort, SetClientPortMin, FClientPortMin)
QYN_HANDLE_GET(TIdPort, ClientPortMax, FClientPortMax)
QYN_HANDLE_SET(TIdPort, SetClientPortMax, FClientPortMax)
QYN_HANDLE_GET(bool, UseNagle, FUseNagle)

#undef QYN_HANDLE_GET
#undef QYN_HANDLE_SET

void TIdSocketHandle::SetIPVersion(TIdIPVersion aValue) {
  std::lock_guard<std::recursive_mutex> g(FLock);
  if (aValue == FIPVersion) return;
  if (FSocket) throw EIdCannotSetIPVersionWhenConnected(RS_CannotSetIPVersionWhenConnected);
  FIPVersion = aValue;
}

void TIdSocketHandle::SetUseNagle(bool aValue) {
  std::lock_guard<std::recursive_mutex> g(FLock);
  FUseNagle = aValue;
  if (FSocket && FSocket->Type == Id_SOCK_STREAM) SetSockOpt(IPPROTO_TCP, TCP_NODELAY, aValue ? 0 : 1);
}

bool TIdSocketHandle::HandleAllocated() const { return Current() != nullptr; }

int TIdSocketHandle::Handle() const {
  auto s = Current();
  return s ? s->Fd : -1;
}

TIdSocketType TIdSocketHandle::SocketType() const {
  auto s = Current();
  return s ? s->Type : Id_SOCK_UNKNOWN;
}

// ---------------------------------------------------------------------------------------------
// Socket handles
// ---------------------------------------------------------------------------------------------

TIdSocketHandle* TIdSocketHandles::Add() {
  std::lock_guard<std::recursive_mutex> g(FLock);
  auto h = std::make_unique<TIdSocketHandle>();
  h->SetPort(FDefaultPort);
  FItems.push_back(std::move(h));
  FCount.store(static_cast<int>(FItems.size()), std::memory_order_relaxed);
  return FItems.back().get();
}

TIdSocketHandle* TIdSocketHandles::Items(int aIndex) const {
  std::lock_guard<std::recursive_mutex> g(FLock);
  if (aIndex < 0 || static_cast<size_t>(aIndex) >= FItems.size()) return nullptr;
  return FItems[static_cast<size_t>(aIndex)].get();
}

int TIdSocketHandles::Count() const {
  std::lock_guard<std::recursive_mutex> g(FLock);
  return static_cast<int>(FItems.size());
}

int TIdSocketHandles::IndexOf(const TIdSocketHandle* aHandle) const {
  std::lock_guard<std::recursive_mutex> g(FLock);
  for (size_t i = 0; i < FItems.size(); ++i)
    if (FItems[i].get() == aHandle) return static_cast<int>(i);
  return -1;
}

void TIdSocketHandles::Delete(int aIndex) {
  std::unique_ptr<TIdSocketHandle> gone;
  {
    std::lock_guard<std::recursive_mutex> g(FLock);
    if (aIndex < 0 || static_cast<size_t>(aIndex) >= FItems.size()) return;
    gone = std::move(FItems[static_cast<size_t>(aIndex)]);
    FItems.erase(FItems.begin() + aIndex);
    FCount.store(static_cast<int>(FItems.size()), std::memory_order_relaxed);
  }
}

bool TIdSocketHandles::Remove(TIdSocketHandle* aHandle) {
  std::lock_guard<std::recursive_mutex> g(FLock);
  const int i = IndexOf(aHandle);
  if (i < 0) return false;
  Delete(i);
  return true;
}

void TIdSocketHandles::Clear() {
  std::vector<std::unique_ptr<TIdSocketHandle>> gone;
  {
    std::lock_guard<std::recursive_mutex> g(FLock);
    gone.swap(FItems);
    FCount.store(0, std::memory_order_relaxed);
  }
}

std::vector<TIdSocketHandle*> TIdSocketHandles::ToVector() const {
  std::lock_guard<std::recursive_mutex> g(FLock);
  std::vector<TIdSocketHandle*> out;
  out.reserve(FItems.size());
  for (const auto& h : FItems) out.push_back(h.get());
  return out;
}

TIdPort TIdSocketHandles::DefaultPort() const {
  std::lock_guard<std::recursive_mutex> g(FLock);
  return FDefaultPort;
}

void TIdSocketHandles::SetDefaultPort(TIdPort aValue) {
  std::lock_guard<std::recursive_mutex> g(FLock);
  FDefaultPort = aValue;
}

// ---------------------------------------------------------------------------------------------
// UDP listener thread
// ---------------------------------------------------------------------------------------------

TIdUDPListenerThread::TIdUDPListenerThread(TIdUDPServer& AServer, TIdSocketHandle& ABinding)
    : TIdThread(true, true, std::string()), FServer(AServer), FBinding(ABinding), FAcceptWait(AServer.AcceptWait()) {}

TIdUDPListenerThread::~TIdUDPListenerThread() { Shutdown(); }

void TIdUDPListenerThread::WakeUp() {
  // Once the body has ended there is no wait to cut short, and the binding may already be gone:
  // a listener stopped from its own handler frees itself later, after that handler may have
  // deleted its binding (the destructor's Terminate comes here too).
  if (!Finished()) FBinding.Wakeup();
}

void TIdUDPListenerThread::Run() {
  if (Stopped()) return;
  if (!FBinding.HandleAllocated()) {
    // Nothing to read until the socket is made again; wait without spinning.
    SleepFor(std::max(1, AcceptWait()));
    return;
  }
  // After a pass that received datagrams more are likely waiting: read first and wait only when
  // none is there (a stop is still seen at once: the flag is checked above, and the wait wakes).
  if (!FReadFirst) {
    if (!FBinding.Readable(AcceptWait())) return;
    if (Stopped()) return;
  }
  FReadFirst = false;
  int count = 0;
  try {
    const size_t slotSize = static_cast<size_t>(std::max(0, FServer.BufferSize()));
    if (slotSize != FSlotSize || !FArea) {
      // Up to 8 datagrams a pass (a short pass gets its answers out early), within 256 KB of
      // receive area.
      constexpr size_t KAreaBytes = 256 * 1024;
      constexpr int KMaxSlots = 8;
      FSlots = static_cast<int>(std::clamp<size_t>(KAreaBytes / std::max<size_t>(slotSize, 1), 1, KMaxSlots));
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

void TIdUDPListenerThread::Deliver(int aIndex) {
  try {
    const size_t length = FLengths[static_cast<size_t>(aIndex)];
    // A datagram longer than the buffer: its rest is lost, which is reported, never passed on.
    if (length > FSlotSize) throw EIdSocketError::FromErrno(EMSGSIZE);
    std::string ip;
    TIdPort port = 0;
    TIdIPVersion version = Id_IPv4;
    if (!IdSockAddrToText(FAddrs[static_cast<size_t>(aIndex)], ip, port, version)) return;
    const uint8_t* data = FArea.get() + static_cast<size_t>(aIndex) * FSlotSize;
    FBuffer.assign(data, data + length);
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
// ---------------------------------------------------------------------------------------------

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

  std::vector<TIdSocketHandle*> bindings = FBindings.ToVector();
  bool secondAdded = false;
  if (bindings.empty()) {
    TIdSocketHandle* first = FBindings.Add();
    first->SetIPVersion(IPVersion());
    const bool other = IPVersion() == Id_IPv4 ? GStack().SupportsIPv6() : GStack().SupportsIPv4();
    if (other) {
      TIdSocketHandle* second = FBindings.Add();
      second->SetIPVersion(IPVersion() == Id_IPv4 ? Id_IPv6 : Id_IPv4);
      secondAdded = true;
    }
    bindings = FBindings.ToVector();
  }

  // Allocate and bind every binding; on failure close what was opened, in reverse order.
  std::vector<TIdSocketHandle*> opened;
  try {
    for (size_t i = 0; i < bindings.size(); ++i) {
      TIdSocketHandle* b = bindings[i];
      // With an ephemeral default port the two families of the dual-stack pair share the port
      // the first one got.
      const bool samePort = secondAdded && i == 1 && b->Port() == 0;
      if (samePort) b->SetPort(bindings[0]->Port());
      b->AllocateSocket(Id_SOCK_DGRAM);
      opened.push_back(b);
      if (ReuseSocket() != rsOSDependent) b->SetReuseSocket(ReuseSocket());
      DoBeforeBind(b);
      try {
        b->Bind();
      } catch (const EIdSocketError& E) {
        if (!samePort || E.LastError() != EADDRINUSE) throw;
        // The other family's port is taken by someone else: any port will do here.
        b->SetPort(0);
        b->Bind();
      }
    }
    DoAfterBind();
  } catch (...) {
    for (auto it = opened.rbegin(); it != opened.rend(); ++it) (*it)->CloseSocket();
    throw;
  }

  // One listener per binding, named by position.
  std::vector<std::unique_ptr<TIdUDPListenerThread>> made;
  try {
    const std::string name = Name();
    for (size_t i = 0; i < bindings.size(); ++i)
      made.push_back(MakeListener(*bindings[i], name + RS_ListenerThreadSuffix + std::to_string(i + 1)));
  } catch (...) {
    made.clear(); // never started: nothing to join
    for (auto it = opened.rbegin(); it != opened.rend(); ++it) (*it)->CloseSocket();
    throw;
  }
  {
    std::lock_guard<std::recursive_mutex> g(FThreadsLock);
    for (auto& t : made) FThreads.push_back(std::move(t));
    FCurrentBinding.store(bindings.front());
  }
  try {
    std::vector<TIdUDPListenerThread*> threads;
    {
      std::lock_guard<std::recursive_mutex> g(FThreadsLock);
      for (auto& t : FThreads) threads.push_back(t.get());
    }
    for (TIdUDPListenerThread* t : threads) t->Start();
    if (BroadcastEnabled())
      for (TIdSocketHandle* b : bindings) b->SetBroadcastEnabled(true);
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

// ---------------------------------------------------------------------------------------------
// UDP client
// ---------------------------------------------------------------------------------------------

TIdUDPClient::TIdUDPClient() = default;

TIdUDPClient::~TIdUDPClient() {
  std::lock_guard<std::mutex> g(FBindingLock);
  if (FBinding) FBinding->CloseSocket();
}

#define QYN_PROP_GET(Class, Type, Name, Field)   \
  Type Class::Name() const {                     \
    std::lock_guard<std::mutex> g(FPropLock);    \
    return Field;                                \
  }
#define QYN_PROP_SET(Class, Type, Name, Field)   \
  void Class::Name(Type aValue) {                \
    std::lock_guard<std::mutex> g(FPropLock);    \
    Field = aValue;                              \
  }

QYN_PROP_GET(TIdUDPClient, std::string, Host, FHost)
QYN_PROP_GET(TIdUDPClient, TIdPort, Port, FPort)
QYN_PROP_GET(TIdUDPClient, TIdIPVersion, IPVersion, FIPVersion)
QYN_PROP_GET(TIdUDPClient, std::string, BoundIP, FBoundIP)
QYN_PROP_SET(TIdUDPClient, const std::string&, SetBoundIP, FBoundIP)
QYN_PROP_GET(TIdUDPClient, TIdPort, BoundPort, FBoundPort)
QYN_PROP_SET(TIdUDPClient, TIdPort, SetBoundPort, FBoundPort)
QYN_PROP_GET(TIdUDPClient, TIdPort, BoundPortMin, FBoundPortMin)
QYN_PROP_SET(TIdUDPClient, TIdPort, SetBoundPortMin, FBoundPortMin)
QYN_PROP_GET(TIdUDPClient, TIdPort, BoundPortMax, FBoundPortMax)
QYN_PROP_SET(TIdUDPClient, TIdPort, SetBoundPortMax, FBoundPortMax)

void TIdUDPClient::SetHost(const std::string& aValue) {
  if (Connected()) Disconnect();
  std::lock_guard<std::mutex> g(FPropLock);
  FHost = aValue;
}

void TIdUDPClient::SetPort(TIdPort aValue) {
  if (Connected()) Disconnect();
  std::lock_guard<std::mutex> g(FPropLock);
  FPort = aValue;
}

void TIdUDPClient::SetIPVersion(TIdIPVersion aValue) {
  if (Connected()) Disconnect();
  std::lock_guard<std::mutex> g(FPropLock);
  FIPVersion = aValue;
}

void TIdUDPClient::CheckProxy() const {
  if (FTransparentProxy.Enabled) throw EIdMustUseOpenProxy(RS_MustUseOpenProxy);
}

TIdSocketHandle* TIdUDPClient::Binding() {
  std::lock_guard<std::mutex> g(FBindingLock);
  if (!FBinding) FBinding = std::make_unique<TIdSocketHandle>();
  if (!FBinding->HandleAllocated()) {
    FBinding->SetIPVersion(IPVersion());
    FBinding->AllocateSocket(Id_SOCK_DGRAM);
    try {
      FBinding->SetIP(BoundIP());
      FBinding->SetPort(BoundPort());
      FBinding->SetClientPortMin(BoundPortMin());
      FBinding->SetClientPortMax(BoundPortMax());
      FBinding->Bind();
    } catch (...) {
      FBinding->CloseSocket();
      throw;
    }
  }
  return FBinding.get();
}

void TIdUDPClient::Connect() {
  if (Connected()) Disconnect();
  CheckProxy();
  const std::string host = Host();
  const TIdIPVersion version = IdIPVersionOfText(host) == Id_IPv6 ? Id_IPv6 : IPVersion();
  std::string ip = host;
  if (GStack().MakeCanonicalIPv6Address(host).empty() && !GStack().IsIP(host)) ip = GStack().ResolveHost(host, version);
  TIdSocketHandle* b = Binding();
  b->SetPeer(ip, Port(), version);
  b->Connect();
  FConnected.store(true);
  if (OnConnected) OnConnected(this);
}

void TIdUDPClient::Disconnect() {
  if (!FConnected.exchange(false)) return;
  {
    std::lock_guard<std::mutex> g(FBindingLock);
    if (FBinding) FBinding->Disconnect();
  }
  if (OnDisconnected) OnDisconnected(this);
}

void TIdUDPClient::SendBuffer(const TIdBytes& aBuffer) {
  CheckProxy();
  if (Connected()) {
    Binding()->Send(aBuffer);
    return;
  }
  const TIdIPVersion version = IPVersion();
  Binding()->SendTo(GStack().ResolveHost(Host(), version), Port(), version, aBuffer);
}

void TIdUDPClient::SendBuffer(const std::string& aHost, TIdPort aPort, const TIdBytes& aBuffer) {
  SendBuffer(aHost, aPort, aBuffer, IPVersion());
}

void TIdUDPClient::SendBuffer(const std::string& aHost, TIdPort aPort, const TIdBytes& aBuffer, TIdIPVersion aIPVersion) {
  CheckProxy();
  Binding()->SendTo(GStack().ResolveHost(aHost, aIPVersion), aPort, aIPVersion, aBuffer);
}

int TIdUDPClient::ReceiveBuffer(TIdBytes& aBuffer, int aMSec, std::string& VPeerIP, TIdPort& VPeerPort) {
  TIdIPVersion version;
  return ReceiveBuffer(aBuffer, aMSec, VPeerIP, VPeerPort, version);
}

int TIdUDPClient::ReceiveBuffer(TIdBytes& aBuffer, int aMSec, std::string& VPeerIP, TIdPort& VPeerPort, TIdIPVersion& VIPVersion) {
  VPeerIP.clear();
  VPeerPort = 0;
  VIPVersion = IPVersion();
  CheckProxy();
  int wait = aMSec;
  if (aMSec == IdTimeoutDefault) {
    const int rt = ReceiveTimeout();
    wait = rt > 0 ? rt : IdTimeoutInfinite;
  }
  return Binding()->RecvFrom(aBuffer, VPeerIP, VPeerPort, VIPVersion, wait);
}

int TIdUDPClient::ReceiveBuffer(TIdBytes& aBuffer, int aMSec) {
  std::string ip;
  TIdPort port;
  return ReceiveBuffer(aBuffer, aMSec, ip, port);
}

void TIdUDPClient::Wakeup() {
  std::lock_guard<std::mutex> g(FBindingLock);
  if (FBinding) FBinding->Wakeup();
}

// ---------------------------------------------------------------------------------------------
// Byte buffer
// ---------------------------------------------------------------------------------------------

size_t TIdBuffer::Size() const {
  std::lock_guard<std::mutex> g(FLock);
  return FData.size() - FHead;
}

void TIdBuffer::Write(const void* aData, size_t aLength) {
  if (aLength == 0) return;
  std::lock_guard<std::mutex> g(FLock);
  const auto* p = static_cast<const uint8_t*>(aData);
  FData.insert(FData.end(), p, p + aLength);
}

size_t TIdBuffer::ExtractToBytes(TIdBytes& VBytes, int aByteCount, bool aAppend) {
  std::lock_guard<std::mutex> g(FLock);
  const size_t avail = FData.size() - FHead;
  const size_t count = aByteCount < 0 ? avail : std::min(avail, static_cast<size_t>(aByteCount));
  if (!aAppend) VBytes.clear();
  const auto first = FData.begin() + static_cast<std::ptrdiff_t>(FHead);
  VBytes.insert(VBytes.end(), first, first + static_cast<std::ptrdiff_t>(count));
  FHead += count;
  if (FHead == FData.size()) {
    FData.clear();
    FHead = 0;
  } else if (FHead > 65536 && FHead * 2 > FData.size()) {
    FData.erase(FData.begin(), FData.begin() + static_cast<std::ptrdiff_t>(FHead));
    FHead = 0;
  }
  return count;
}

void TIdBuffer::Clear() {
  std::lock_guard<std::mutex> g(FLock);
  FData.clear();
  FHead = 0;
}

// ---------------------------------------------------------------------------------------------
// IO handler
// ---------------------------------------------------------------------------------------------

TIdIOHandlerSocket::TIdIOHandlerSocket() = default;

TIdIOHandlerSocket::~TIdIOHandlerSocket() {
  FOpen.store(false);
  FBinding.CloseSocket();
}

bool TIdIOHandlerSocket::Connected() const { return FOpen.load() && !FClosedGracefully.load() && FBinding.HandleAllocated(); }

void TIdIOHandlerSocket::Opened(TIdTCPClient* aClient) {
  FInputBuffer.Clear();
  FClosedGracefully.store(false);
  FDisconnectReported.store(false);
  FClient.store(aClient);
  FOpen.store(true);
}

void TIdIOHandlerSocket::Close() {
  if (FOpen.exchange(false)) {
    if (TIdConnectionIntercept* i = Intercept()) i->Disconnect();
  }
  FBinding.CloseSocket();
}

bool TIdIOHandlerSocket::ReadFromSource() {
  std::lock_guard<std::mutex> g(FReadLock);
  TIdBytes chunk(32768);
  bool added = false;
  // Bounded per call, so a fast sender cannot keep one check going forever.
  for (int round = 0; round < 16; ++round) {
    int n;
    try {
      n = FBinding.Receive(chunk, 0);
    } catch (const EIdSocketError& E) {
      if (!FOpen.load() || !FBinding.HandleAllocated()) return added; // closed here meanwhile
      // The connection is gone (reset, ...): record it like a close, and raise the error.
      FClosedGracefully.store(true);
      throw;
    }
    if (n > 0) {
      TIdBytes data(chunk.begin(), chunk.begin() + n);
      if (TIdConnectionIntercept* i = Intercept()) i->Receive(data);
      FInputBuffer.Write(data);
      added = true;
      if (static_cast<size_t>(n) < chunk.size()) break;
      continue;
    }
    if (n == 0) FClosedGracefully.store(true);
    break;
  }
  return added;
}

bool TIdIOHandlerSocket::CheckForDataOnSource(int aMSec) {
  if (!Connected()) return false;
  if (!FBinding.Readable(aMSec)) return false;
  return ReadFromSource();
}

void TIdIOHandlerSocket::CheckForDisconnect(bool aRaiseExceptionIfDisconnected, bool aIgnoreBuffer) {
  const bool bufferDone = aIgnoreBuffer || FInputBuffer.IsEmpty();
  if (FClosedGracefully.load()) {
    if (!bufferDone) return;
    TIdTCPClient* const c = FClient.load();
    const uint64_t session = c ? c->Session() : 0; // the connection being closed
    Close();
    if (!FDisconnectReported.exchange(true)) {
      if (c) c->PeerDisconnected(session);
    }
    if (aRaiseExceptionIfDisconnected) throw EIdConnClosedGracefully(RS_ConnClosedGracefully);
    return;
  }
  if (!FOpen.load() || !FBinding.HandleAllocated()) {
    if (bufferDone && aRaiseExceptionIfDisconnected) throw EIdClosedSocket(RS_ClosedSocket);
  }
}

void TIdIOHandlerSocket::ReadBytes(TIdBytes& VBuffer, int aByteCount, bool aAppend) {
  if (!aAppend) VBuffer.clear();
  auto enough = [&] {
    const size_t have = FInputBuffer.Size();
    return aByteCount < 0 ? have > 0 : have >= static_cast<size_t>(aByteCount);
  };
  while (!enough()) {
    if (FClosedGracefully.load()) CheckForDisconnect(true, true);
    if (!Connected()) throw EIdClosedSocket(RS_ClosedSocket);
    const int t = ReadTimeout();
    if (!FBinding.Readable(t > 0 ? t : IdTimeoutInfinite)) {
      if (!Connected()) throw EIdClosedSocket(RS_ClosedSocket);
      throw EIdReadTimeout(RS_ReadTimeout);
    }
    ReadFromSource();
  }
  FInputBuffer.ExtractToBytes(VBuffer, aByteCount, true);
}

void TIdIOHandlerSocket::Write(const TIdBytes& aBuffer) {
  if (!Connected()) {
    if (FClosedGracefully.load()) throw EIdConnClosedGracefully(RS_ConnClosedGracefully);
    throw EIdClosedSocket(RS_ClosedSocket);
  }
  if (TIdConnectionIntercept* i = Intercept()) {
    TIdBytes data(aBuffer);
    i->Send(data);
    FBinding.Send(data);
  } else {
    FBinding.Send(aBuffer);
  }
}

// ---------------------------------------------------------------------------------------------
// TCP client
// ---------------------------------------------------------------------------------------------

TIdTCPClient::TIdTCPClient() = default;

TIdTCPClient::~TIdTCPClient() {
  // No events and no intercept calls from here: the objects they reach may be gone already.
  std::lock_guard<std::mutex> g(FIOHandlerLock);
  if (FIOHandler) {
    FIOHandler->FOpen.store(false);
    FIOHandler->Binding()->CloseSocket();
  }
}

QYN_PROP_GET(TIdTCPClient, std::string, Host, FHost)
QYN_PROP_SET(TIdTCPClient, const std::string&, SetHost, FHost)
QYN_PROP_GET(TIdTCPClient, TIdPort, Port, FPort)
QYN_PROP_SET(TIdTCPClient, TIdPort, SetPort, FPort)
QYN_PROP_GET(TIdTCPClient, TIdIPVersion, IPVersion, FIPVersion)
QYN_PROP_SET(TIdTCPClient, TIdIPVersion, SetIPVersion, FIPVersion)
QYN_PROP_GET(TIdTCPClient, std::string, BoundIP, FBoundIP)
QYN_PROP_SET(TIdTCPClient, const std::string&, SetBoundIP, FBoundIP)
QYN_PROP_GET(TIdTCPClient, TIdPort, BoundPort, FBoundPort)
QYN_PROP_SET(TIdTCPClient, TIdPort, SetBoundPort, FBoundPort)
QYN_PROP_GET(TIdTCPClient, TIdPort, BoundPortMin, FBoundPortMin)
QYN_PROP_SET(TIdTCPClient, TIdPort, SetBoundPortMin, FBoundPortMin)
QYN_PROP_GET(TIdTCPClient, TIdPort, BoundPortMax, FBoundPortMax)
QYN_PROP_SET(TIdTCPClient, TIdPort, SetBoundPortMax, FBoundPortMax)

#undef QYN_PROP_GET
#undef QYN_PROP_SET

TIdIOHandlerSocket* TIdTCPClient::IOHandler() {
  std::lock_guard<std::mutex> g(FIOHandlerLock);
  if (!FIOHandler) {
    FIOHandler = std::make_unique<TIdIOHandlerSocket>();
    FIOHandler->SetReadTimeout(ReadTimeout());
    FIOHandler->SetIntercept(Intercept());
  }
  return FIOHandler.get();
}

void TIdTCPClient::SetReadTimeout(int aValue) {
  FReadTimeout.store(aValue);
  std::lock_guard<std::mutex> g(FIOHandlerLock);
  if (FIOHandler) FIOHandler->SetReadTimeout(aValue);
}

void TIdTCPClient::SetIntercept(TIdConnectionIntercept* aValue) {
  FIntercept.store(aValue);
  std::lock_guard<std::mutex> g(FIOHandlerLock);
  if (FIOHandler) FIOHandler->SetIntercept(aValue);
}

void TIdTCPClient::SetKeepAliveValues(bool aEnabled, int aTimeMS, int aIntervalMS) {
  {
    std::lock_guard<std::mutex> g(FPropLock);
    FKeepAlive = aEnabled;
    FKeepAliveTime = aTimeMS;
    FKeepAliveInterval = aIntervalMS;
  }
  if (Connected()) ApplyKeepAlive();
}

void TIdTCPClient::ApplyKeepAlive() {
  bool on;
  int time, interval;
  {
    std::lock_guard<std::mutex> g(FPropLock);
    on = FKeepAlive;
    time = FKeepAliveTime;
    interval = FKeepAliveInterval;
  }
  Socket()->SetKeepAliveValues(on, time, interval);
}

void TIdTCPClient::DoStatus(TIdStatus aStatus, const std::string& aText) {
  if (OnStatus) OnStatus(this, aStatus, aText);
}

namespace {
thread_local uint64_t tReportingSession = 0;
} // namespace

uint64_t TIdTCPClient::ReportingSession() noexcept { return tReportingSession; }

void TIdTCPClient::PeerDisconnected(uint64_t aSession) {
  DoStatus(hsDisconnected, RS_StatusDisconnected);
  if (!OnDisconnected) return;
  struct TRestore {
    uint64_t Saved = tReportingSession;
    ~TRestore() { tReportingSession = Saved; }
  } restore;
  tReportingSession = aSession;
  OnDisconnected(this);
}

bool TIdTCPClient::Connected() const {
  std::lock_guard<std::mutex> g(FIOHandlerLock);
  return FIOHandler && FIOHandler->Connected();
}

void TIdTCPClient::Wakeup() {
  std::lock_guard<std::mutex> g(FIOHandlerLock);
  if (FIOHandler) FIOHandler->Wakeup();
}

void TIdTCPClient::Connect() {
  if (Connected()) Disconnect();
  TIdIOHandlerSocket* io = IOHandler();
  io->Close();
  const std::string host = Host();
  const TIdIPVersion version = IPVersion();
  DoStatus(hsResolving, QynFormat(RS_StatusResolving, host));
  const std::string ip = GStack().ResolveHost(host, version);
  TIdSocketHandle* b = io->Binding();
  try {
    b->SetIPVersion(version);
    b->SetUseNagle(UseNagle());
    b->AllocateSocket(Id_SOCK_STREAM, IPPROTO_TCP);
    const std::string boundIP = BoundIP();
    b->SetIP(boundIP);
    b->SetPort(BoundPort());
    b->SetClientPortMin(BoundPortMin());
    b->SetClientPortMax(BoundPortMax());
    if (!boundIP.empty() || BoundPort() != 0 || (BoundPortMin() != 0 && BoundPortMax() != 0)) b->Bind();
    if (LingerState() >= 0) b->SetLingerState(LingerState());
    b->SetPeer(ip, Port(), version);
    DoStatus(hsConnecting, QynFormat(RS_StatusConnecting, ip));
    const int timeout = ConnectTimeout();
    b->Connect(timeout > 0 ? timeout : IdTimeoutInfinite);
    ApplyKeepAlive();
  } catch (...) {
    b->CloseSocket();
    throw;
  }
  io->SetReadTimeout(ReadTimeout());
  io->SetIntercept(Intercept());
  ++FSession;
  io->Opened(this);
  if (TIdConnectionIntercept* i = Intercept()) i->Connect();
  DoStatus(hsConnected, RS_StatusConnected);
  if (OnConnected) OnConnected(this);
}

void TIdTCPClient::Disconnect(bool aNotifyPeer) {
  (void)aNotifyPeer; // closing the socket is what tells the peer
  TIdIOHandlerSocket* io;
  {
    std::lock_guard<std::mutex> g(FIOHandlerLock);
    io = FIOHandler.get();
  }
  if (!io) return;
  const uint64_t session = FSession.load(); // the connection being closed
  const bool wasOpen = io->FOpen.load() && io->Binding()->HandleAllocated();
  const bool report = wasOpen && !io->FDisconnectReported.exchange(true);
  if (report) DoStatus(hsDisconnecting, RS_StatusDisconnecting);
  io->Close();
  if (report) PeerDisconnected(session);
}
