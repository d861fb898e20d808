// The wait of the socket layer: poll() on a socket and its eventfd. Sends a UDP listener has
// collected go out before its thread waits.
#include "qynId_SocketState.h"

#include <poll.h>

#include "qynId_SendBatch.h"

namespace qyn_detail {

TWaitResult WaitOn(const TIdSocketState& aState, short aEvents, int aMSec, bool aReader) {
  FlushBeforeWait();
  const TDeadline deadline(aMSec);
  // Without eventfd a shutdown wakes the poll itself: nothing to watch beside the socket.
  const bool hasWake = aState.WakeFd >= 0;
  bool watchWake = hasWake;
  for (;;) {
    if (aState.Closed.load()) return TWaitResult::Woken;
    if (aReader && aState.ReadShut.load()) return TWaitResult::Woken;
    int timeout = deadline.Remaining();
    // A writer that left the eventfd to the readers watches for a close in short slices.
    if (hasWake && !watchWake && (timeout < 0 || timeout > 50)) timeout = 50;
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
    if (!fds[0].revents) continue;
    if (!hasWake && (aState.Closed.load() || (aReader && aState.ReadShut.load()))) return TWaitResult::Woken;
    return TWaitResult::Ready;
  }
}

} // namespace qyn_detail
