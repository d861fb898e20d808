// A UDP listener's send batch and the batch of the listener running on this thread. Internal to
// the socket layer; a flush waits through the socket state's waits.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class TIdSocketHandle;
struct TIdSocketState;

// Datagrams a listener's handlers send through its binding during one pass, sent together. At
// most eight wait: the first answers of a large pass leave while the rest are being handled, so
// that their receivers can go on (measured: faster than holding sixteen).
struct TIdSendBatch {
  static constexpr int KMax = 8;
  static constexpr size_t KSlot = 1500;
  const TIdSocketHandle* Handle = nullptr; // the listener's binding
  // A poller's batch: it takes the socket of the first handle sent through during the pass (the
  // relays' datagrams mostly leave through one listening binding).
  bool Adopt = false;
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

namespace qyn_detail {

// The batch of the listener running on this thread, while its pass hands out datagrams.
extern thread_local constinit TIdSendBatch* tSendBatch;

// Sends what the batch holds, waiting for buffer space like SendTo; failures are recorded in it.
void FlushSendBatch(TIdSendBatch& aBatch);

// Before this thread waits: what its listener collected goes out first (an answer must not be
// held back while the thread waits for something that may depend on it).
inline void FlushBeforeWait() {
  if (tSendBatch && tSendBatch->Count) FlushSendBatch(*tSendBatch);
}

} // namespace qyn_detail
