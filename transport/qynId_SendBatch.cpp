// Sending a listener's collected datagrams at once (sendmmsg), waiting for buffer space on the
// socket state's waits; failures are recorded for the listener to report.
#include "qynId_SendBatch.h"

#include <poll.h>

#include <cerrno>

#include "qynId_Exceptions.h"
#include "qynId_SocketState.h"

namespace qyn_detail {

thread_local constinit TIdSendBatch* tSendBatch = nullptr;

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

} // namespace qyn_detail
