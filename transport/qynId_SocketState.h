// One allocated socket with its eventfd, and the waits every socket operation is built on (a
// poll() on the socket and its eventfd, within a deadline). Internal to the socket layer.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>

#include "qynId_SocketHandle.h"

// One allocated socket with its eventfd, or without one (WakeFd -1: woken by shutting the socket
// down). The descriptors are closed by the destructor, that is when the handle has let go of the
// socket and the last operation using it has returned.
struct TIdSocketState {
  int Fd = -1;
  int WakeFd = -1;
  int Family = AF_INET;
  TIdSocketType Type = Id_SOCK_DGRAM;
  std::atomic<bool> Closed{false};
  // Reading was shut down by a wake-up (sockets without eventfd): every read wait ends at once.
  std::atomic<bool> ReadShut{false};

  ~TIdSocketState() {
    if (Fd >= 0) ::close(Fd);
    if (WakeFd >= 0) ::close(WakeFd);
  }
  // Wakes the waits on the socket. Without eventfd: reading is shut down (which wakes a reader's
  // poll), and on a close writing too (which wakes a writer's).
  void Signal() {
    if (WakeFd < 0) {
      ReadShut.store(true);
      ::shutdown(Fd, Closed.load() ? SHUT_RDWR : SHUT_RD);
      return;
    }
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t r = ::write(WakeFd, &one, sizeof one);
  }
  void Drain() const {
    if (WakeFd < 0) return;
    uint64_t value;
    [[maybe_unused]] ssize_t r = ::read(WakeFd, &value, sizeof value);
  }
};

namespace qyn_detail {

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
inline int PollTimeout(int aMSec) { return aMSec < 0 ? -1 : aMSec; }

enum class TWaitResult { Ready, Timeout, Woken };

// Waits for aEvents on the socket, up to aMSec (negative: without limit). A close always ends
// the wait. A reader also ends on a Wakeup() and consumes it; a writer leaves wake-ups to the
// readers and then watches the socket alone, in short slices so that a close is still seen.
TWaitResult WaitOn(const TIdSocketState& aState, short aEvents, int aMSec, bool aReader);

inline bool WouldBlock(int aError) { return aError == EAGAIN || aError == EWOULDBLOCK; }

} // namespace qyn_detail
