// A socket handle (one socket and its addressing, with the layer's waits) and the ordered list of
// handles a component owns. Relies on the stack for names and address text, on POSIX sockets.
//
// Waiting: every wait of this layer is a poll() on the socket together with an eventfd of the
// socket, so it can be cut short from another thread:
//   - TIdSocketHandle::Wakeup() makes a pending (or the next) read wait return "nothing";
//   - TIdSocketHandle::CloseSocket() ends every wait on that socket at once (on Linux, closing a
//     descriptor does not wake a thread blocked in poll on it, hence the eventfd).
// A socket's descriptor is closed when CloseSocket() has been called and the last operation still
// using it has returned, so a descriptor number is never reused under a running wait.
// A handle with WakeByShutdown makes its sockets without an eventfd (one descriptor per socket,
// for servers that hold thousands): its waits are cut short by shutting the socket down, which
// wakes a poll on a datagram socket too. Wakeup() then ends reading on that socket for good; it
// suits a socket whose only reader is a listener that is being stopped.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "qynBase_Sync.h"
#include "qynBase_Types.h"
#include "qynId_Exceptions.h"
#include "qynId_Stack.h"

enum TIdReuseSocket : uint8_t { rsOSDependent, rsTrue, rsFalse };
enum TIdSocketType : uint8_t { Id_SOCK_UNKNOWN, Id_SOCK_STREAM, Id_SOCK_DGRAM };

// Timeouts in milliseconds: IdTimeoutDefault takes the object's own setting, IdTimeoutInfinite
// waits without limit.
inline constexpr int IdTimeoutDefault = -1;
inline constexpr int IdTimeoutInfinite = -2;

struct TIdSocketState; // one allocated socket (qynId_SocketState.h)

// A peer's socket address in the system's form (sockaddr_in or sockaddr_in6), as a datagram
// receive reports it.
struct TIdSockAddr {
  alignas(8) uint8_t Data[128];
  uint32_t Len = 0;
};

// The text form of a socket address (see "Address text" in qynId_Stack.h), its port and family. False,
// with VIP empty, for another family.
bool IdSockAddrToText(const TIdSockAddr& aAddr, std::string& VIP, TIdPort& VPort, TIdIPVersion& VIPVersion);

// One socket and its addressing. All members may be called from any thread; the handle's own
// lock guards its fields (and is what Lock()/Unlock() take), but no wait happens under it.
class TIdSocketHandle {
public:
  TIdSocketHandle();
  ~TIdSocketHandle(); // closes the socket
  TIdSocketHandle(const TIdSocketHandle&) = delete;
  TIdSocketHandle& operator=(const TIdSocketHandle&) = delete;

  // Closes any socket the handle holds, then creates a new one of IPVersion (IPv6 sockets are
  // IPv6-only, so an IPv4 and an IPv6 socket can bind the same port). Sockets are non-blocking
  // inside; the layer's operations wait for them. Raises EIdIPVersionUnsupported when the family
  // is not available, EIdSocketError otherwise.
  void AllocateSocket(TIdSocketType aSocketType = Id_SOCK_DGRAM, int aProtocol = 0);
  // Sets the address-reuse option from ReuseSocket (on for rsTrue only), then binds: with Port 0
  // and both ClientPortMin and ClientPortMax non-zero, the first port of ClientPortMax down to
  // ClientPortMin that binds (EIdInvalidPortRange for an inverted range, EIdCanNotBindPortInRange
  // when none binds); otherwise IP:Port once (EIdSocketError). IP and Port then hold the bound
  // local address.
  void Bind();
  // Idempotent. Ends every wait on the socket at once; the handle is unallocated afterwards and
  // keeps its addresses for a later allocation.
  void CloseSocket();
  // Makes a thread waiting in Readable/Select/RecvFrom/Receive on this socket return as if
  // nothing came; when nobody waits, the next such wait returns at once. No effect without a
  // socket. With WakeByShutdown every later read wait returns at once as well.
  void Wakeup();
  // Sockets allocated from now on have no eventfd (see the top of this file). Default false.
  bool WakeByShutdown() const;
  void SetWakeByShutdown(bool aValue);
  // A wake-up has shut reading down on the current socket (WakeByShutdown only).
  bool ReadShutDown() const;

  // Records the remote address.
  void SetPeer(const std::string& aIP, TIdPort aPort, TIdIPVersion aIPVersion = Id_IPv4);
  // Sends the whole buffer as one datagram to that address (a name is resolved for the family).
  void SendTo(const std::string& aIP, TIdPort aPort, TIdIPVersion aIPVersion, const TIdBytes& aBuffer);
  void SendTo(const std::string& aIP, TIdPort aPort, const TIdBytes& aBuffer, TIdIPVersion aIPVersion) {
    SendTo(aIP, aPort, aIPVersion, aBuffer);
  }
  void SendTo(const std::string& aIP, TIdPort aPort, const void* aData, size_t aLength, TIdIPVersion aIPVersion);
  // Receives one datagram into aBuffer (up to aBuffer.size() bytes; the buffer is not resized)
  // and reports its sender. Waits up to aMSec (0: no wait; IdTimeoutDefault/IdTimeoutInfinite:
  // without limit). Returns the datagram's length with VIP set; a zero-length datagram gives 0
  // with VIP set. Returns 0 with VIP empty when nothing came within the time, or the wait was
  // woken or the socket closed meanwhile. A datagram longer than the buffer is consumed and
  // raises EIdSocketError with EMSGSIZE (never a silent truncation). Raises EIdSocketError
  // (EBADF) when no socket is allocated.
  int RecvFrom(TIdBytes& aBuffer, std::string& VIP, TIdPort& VPort, TIdIPVersion& VIPVersion,
               int aMSec = IdTimeoutInfinite);
  int RecvFrom(TIdBytes& aBuffer, std::string& VIP, TIdPort& VPort, int aMSec = IdTimeoutInfinite) {
    TIdIPVersion v;
    return RecvFrom(aBuffer, VIP, VPort, v, aMSec);
  }
  // Receives up to aCount datagrams that are waiting, without waiting for them: datagram i goes
  // to aArea + i * aSlotSize, its length to VLengths[i] and its sender to VAddrs[i]. A length
  // above aSlotSize means the datagram did not fit and the rest of it is lost. Returns the count
  // received, 0 when none was waiting. Raises EIdSocketError (EBADF without a socket).
  int RecvBatch(uint8_t* aArea, size_t aSlotSize, int aCount, size_t* VLengths, TIdSockAddr* VAddrs);
  // True when a read would not block within aMSec (IdTimeoutDefault/IdTimeoutInfinite: without
  // limit). False on timeout, on Wakeup(), when the socket gets closed, or when none is allocated.
  bool Readable(int aMSec = IdTimeoutDefault);
  bool Select(int aMSec) { return Readable(aMSec); }

  // Connects to PeerIP:PeerPort, waiting up to aMSec (IdTimeoutDefault/IdTimeoutInfinite or 0:
  // the system's own limit). Raises EIdConnectTimeout on timeout, EIdSocketError otherwise
  // (ECANCELED when the wait was woken or the socket closed). Updates the local and peer
  // addresses.
  void Connect(int aMSec = IdTimeoutInfinite);
  // Removes the association of a connected datagram socket (its local port stays).
  void Disconnect();
  // Sends bytes on a connected socket: all of them (stream) or one datagram. Waits up to
  // SendTimeout for buffer space. Returns the count sent.
  size_t Send(const TIdBytes& aBuffer, size_t aOffset = 0, size_t aLength = SIZE_MAX);
  // Receives what is available into aBuffer (up to its size), waiting up to aMSec
  // (IdTimeoutDefault: ReceiveTimeout). Returns the count (>0), 0 when a stream peer closed (or
  // an empty datagram came), -1 when nothing came within the time or the wait was woken.
  int Receive(TIdBytes& aBuffer, int aMSec = IdTimeoutDefault);

  // Socket options on the allocated socket (EIdSocketError on failure; nothing without a socket).
  void SetSockOpt(int aLevel, int aOptName, int aValue);
  int GetSockOpt(int aLevel, int aOptName);
  void SetBroadcastEnabled(bool aValue);
  // TCP keep-alive: on/off, idle time and probe interval in milliseconds (whole seconds, at least 1).
  void SetKeepAliveValues(bool aEnabled, int aTimeMS, int aIntervalMS);
  // SO_LINGER: a negative value leaves the system default.
  void SetLingerState(int aSeconds);

  // Re-reads the local / peer address from the socket.
  void UpdateBindingLocal();
  void UpdateBindingPeer();

  // Properties.
  std::string IP() const;
  void SetIP(const std::string& aValue);
  TIdPort Port() const;
  void SetPort(TIdPort aValue);
  TIdIPVersion IPVersion() const;
  // Raises EIdCannotSetIPVersionWhenConnected when a socket is allocated and the value differs.
  void SetIPVersion(TIdIPVersion aValue);
  std::string Name() const;
  void SetName(const std::string& aValue);
  std::string PeerIP() const;
  TIdPort PeerPort() const;
  TIdIPVersion PeerIPVersion() const;
  bool HandleAllocated() const;
  // The descriptor, -1 when none (for diagnostics; do not close it).
  int Handle() const;
  TIdSocketType SocketType() const;
  TIdReuseSocket ReuseSocket() const;
  void SetReuseSocket(TIdReuseSocket aValue);
  TIdPort ClientPortMin() const;
  void SetClientPortMin(TIdPort aValue);
  TIdPort ClientPortMax() const;
  void SetClientPortMax(TIdPort aValue);
  // TCP only, default true; false sets TCP_NODELAY.
  bool UseNagle() const;
  void SetUseNagle(bool aValue);
  // Milliseconds; 0 waits without limit (the initial value).
  int SendTimeout() const noexcept { return FSendTimeout.load(std::memory_order_relaxed); }
  void SetSendTimeout(int aValue) noexcept { FSendTimeout.store(aValue, std::memory_order_relaxed); }
  int ReceiveTimeout() const noexcept { return FReceiveTimeout.load(std::memory_order_relaxed); }
  void SetReceiveTimeout(int aValue) noexcept { FReceiveTimeout.store(aValue, std::memory_order_relaxed); }

  // The handle's lock (re-entrant).
  void Lock() { FLock.lock(); }
  void Unlock() { FLock.unlock(); }
  bool TryLock() { return FLock.try_lock(); }

private:
  friend class TIdUDPListenerThread;
  std::shared_ptr<TIdSocketState> Current() const;
  std::shared_ptr<TIdSocketState> Require() const; // raises EBADF when none

  mutable std::recursive_mutex FLock;
  std::shared_ptr<TIdSocketState> FSocket;
  std::string FIP;
  TIdPort FPort = 0;
  TIdIPVersion FIPVersion = Id_IPv4;
  std::string FName;
  // The sender of the datagram being delivered: set and read once per datagram, under a lock of
  // its own that is cheaper than the handle's.
  mutable TqynFieldLock FPeerLock;
  std::string FPeerIP;
  TIdPort FPeerPort = 0;
  TIdIPVersion FPeerIPVersion = Id_IPv4;
  TIdReuseSocket FReuseSocket = rsOSDependent;
  TIdPort FClientPortMin = 0;
  TIdPort FClientPortMax = 0;
  bool FUseNagle = true;
  bool FWakeByShutdown = false;
  std::atomic<int> FSendTimeout{0};
  std::atomic<int> FReceiveTimeout{0};
};

// An ordered collection of socket handles, owned by a component. All members lock the
// collection's own (re-entrant) lock; Lock()/Unlock() hold it across several calls.
class TIdSocketHandles {
public:
  explicit TIdSocketHandles(TIdPort aDefaultPort = 0) : FDefaultPort(aDefaultPort) {}
  TIdSocketHandles(const TIdSocketHandles&) = delete;
  TIdSocketHandles& operator=(const TIdSocketHandles&) = delete;

  // Appends a handle with Port = DefaultPort, IP empty, IPVersion Id_IPv4.
  TIdSocketHandle* Add();
  TIdSocketHandle* Items(int aIndex) const; // nullptr when out of range
  TIdSocketHandle* operator[](int aIndex) const { return Items(aIndex); }
  int Count() const;
  // The count without taking the lock, for a quick check on a hot path (it may change at once).
  int CountNow() const noexcept { return FCount.load(std::memory_order_relaxed); }
  int IndexOf(const TIdSocketHandle* aHandle) const;
  // Deleting a handle closes its socket.
  void Delete(int aIndex);
  bool Remove(TIdSocketHandle* aHandle);
  void Clear();
  // A copy of the current list (the handles stay owned by the collection).
  std::vector<TIdSocketHandle*> ToVector() const;

  TIdPort DefaultPort() const;
  void SetDefaultPort(TIdPort aValue);

  void Lock() { FLock.lock(); }
  void Unlock() { FLock.unlock(); }

private:
  mutable std::recursive_mutex FLock;
  std::vector<std::unique_ptr<TIdSocketHandle>> FItems;
  std::atomic<int> FCount{0}; // FItems.size(), kept for CountNow
  TIdPort FDefaultPort;
};
