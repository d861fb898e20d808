// What a TURN server component has done since it was made, as counters that any thread may bump
// and any thread may read: responses by method and code, allocations created, permissions and
// channel bindings made, datagrams and bytes relayed in each direction, discards by reason and
// processing errors. Counting is relaxed atomics on fixed arrays (no lock, no allocation) except
// for discards, whose reasons are texts: they go to a small map under its own lock, bounded in the
// number of distinct reasons it keeps.
//
// The values held now (allocations, permissions and channels in force) are not counted here but
// read from the allocation table when asked (TURNServerGauges).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "qynP2P_STUN_Types.h"

class TqynTURNServer_Base;

// Direction of relayed data: from a client to a peer (Send indication or ChannelData that left on
// a relay binding) and from a peer to a client (Data indication or ChannelData to the client).
enum TqynTURNRelayDirection : uint8_t { trdClientToPeer, trdPeerToClient };

// A plain copy of the counters at one moment.
struct TqynTURNCountersSnapshot {
  struct TResponse {
    TqynStunMessageMethod Method;
    uint16_t Code; // 200 for a success response; 0 for a code outside 300..699
    uint64_t Count;
  };
  struct TDiscard {
    std::string Method; // "Send", "Data", "ChannelData"
    std::string Reason; // the reason with its addresses and numbers replaced by "N"
    uint64_t Count;
  };
  std::vector<TResponse> Responses; // nonzero entries, by method then code
  std::vector<TDiscard> Discards;   // by method then reason
  uint64_t AllocationsCreated = 0;
  uint64_t PermissionsInstalled = 0;
  uint64_t ChannelsBound = 0;
  uint64_t RelayedDatagrams[2] = {0, 0}; // by TqynTURNRelayDirection
  uint64_t RelayedBytes[2] = {0, 0};
  uint64_t ProcessingErrors = 0;
};

class TqynTURNCounters {
public:
  // Distinct (method, reason) pairs kept; further ones count under the reason "other".
  static constexpr size_t MaxDiscardReasons = 64;
  // Response codes counted one by one: 200 and 300..699; any other counts as code 0 ("other").
  static constexpr uint16_t MinErrorCode = 300;
  static constexpr uint16_t MaxErrorCode = 699;

  // A response sent: its method and code (200 for success, else its ERROR-CODE).
  void CountResponse(TqynStunMessageMethod aMethod, uint16_t aCode) noexcept;
  // A message or ChannelData discarded; aMethod is the discard's method (stmmSend, stmmData) or
  // stmmUnknown for ChannelData.
  void CountDiscard(TqynStunMessageMethod aMethod, const std::string& aReason);
  void CountAllocationCreated() noexcept { FAllocationsCreated.fetch_add(1, std::memory_order_relaxed); }
  void CountPermissionsInstalled(int aCount) noexcept {
    if (aCount > 0) FPermissionsInstalled.fetch_add(static_cast<uint64_t>(aCount), std::memory_order_relaxed);
  }
  void CountChannelBound() noexcept { FChannelsBound.fetch_add(1, std::memory_order_relaxed); }
  void CountRelayed(TqynTURNRelayDirection aDirection, size_t aBytes) noexcept {
    FRelayedDatagrams[aDirection].fetch_add(1, std::memory_order_relaxed);
    FRelayedBytes[aDirection].fetch_add(aBytes, std::memory_order_relaxed);
  }
  void CountProcessingError() noexcept { FProcessingErrors.fetch_add(1, std::memory_order_relaxed); }

  TqynTURNCountersSnapshot Snapshot() const;

  // The label a discard reason is counted under: every run of address characters (hexadecimal
  // digits, '.' and ':') that holds a decimal digit or two colons becomes "N", so that addresses,
  // ports and channel numbers do not make a label each.
  static std::string ReasonLabel(const std::string& aReason);
  // "Send", "Data", "ChannelData" for the discard methods.
  static const char* DiscardMethodLabel(TqynStunMessageMethod aMethod) noexcept;

private:
  static constexpr size_t KMethods = 10; // TqynStunMessageMethod values
  static constexpr size_t KCodes = 2 + (MaxErrorCode - MinErrorCode + 1); // 200, other, 300..699
  static size_t CodeSlot(uint16_t aCode) noexcept;
  static uint16_t SlotCode(size_t aSlot) noexcept;

  std::array<std::array<std::atomic<uint64_t>, KCodes>, KMethods> FResponses{};
  std::atomic<uint64_t> FAllocationsCreated{0};
  std::atomic<uint64_t> FPermissionsInstalled{0};
  std::atomic<uint64_t> FChannelsBound{0};
  std::atomic<uint64_t> FRelayedDatagrams[2] = {0, 0};
  std::atomic<uint64_t> FRelayedBytes[2] = {0, 0};
  std::atomic<uint64_t> FProcessingErrors{0};
  mutable std::mutex FDiscardLock;
  std::map<std::pair<std::string, std::string>, uint64_t> FDiscards; // (method, reason label)
};

// The values a TURN server holds now, read from its allocation table.
struct TqynTURNServerGauges {
  uint64_t Allocations = 0;
  uint64_t Permissions = 0; // not expired
  uint64_t Channels = 0;    // not expired
};

// Walks the allocation table (taking each list's lock for a copy of its items only).
TqynTURNServerGauges TURNServerGauges(TqynTURNServer_Base& aServer);
