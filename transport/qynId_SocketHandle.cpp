// Socket handles: allocation, binding, sends and receives on POSIX sockets, all waits through
// the socket state; and the list of handles.
#include "qynId_SocketHandle.h"

#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "qynId_SendBatch.h"
#include "qynId_SockAddr.h"
#include "qynId_SocketState.h"
#include "qynMessages.h"

using namespace qyn_detail;

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
  if (!FWakeByShutdown) {
    state->WakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (state->WakeFd < 0) throw EIdSocketError::FromErrno(errno);
  }
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

bool TIdSocketHandle::WakeByShutdown() const {
  std::lock_guard<std::recursive_mutex> g(FLock);
  return FWakeByShutdown;
}

bool TIdSocketHandle::ReadShutDown() const {
  auto s = Current();
  return s && s->ReadShut.load();
}

void TIdSocketHandle::SetWakeByShutdown(bool aValue) {
  std::lock_guard<std::recursive_mutex> g(FLock);
  FWakeByShutdown = aValue;
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
  if (b && b->Adopt && !b->State) {
    b->State = Require();
    b->Handle = this;
  }
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
