#include "qynP2P_TURN_Counters.h"

#include <memory>

#include "qynClock.h"
#include "qynP2P_TURN_Server.h"

namespace {

bool IsAddressChar(char c) noexcept {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == '.' || c == ':';
}

// Items of a keyed list whose Expires is not before aNow (counted under the list's lock).
template <class TItem> uint64_t CountInForce(TqynQueueBase& aList, TqynDateTime aNow) {
  std::lock_guard<TqynCriticalSection> lock(aList.Lock());
  uint64_t n = 0;
  for (const TqynQueueItemRef& item : aList.List())
    if (const auto* entry = dynamic_cast<const TItem*>(item.get()); entry && aNow <= entry->Expires()) ++n;
  return n;
}

} // namespace

size_t TqynTURNCounters::CodeSlot(uint16_t aCode) noexcept {
  if (aCode == 200) return 0;
  if (aCode < MinErrorCode || aCode > MaxErrorCode) return 1;
  return 2 + (aCode - MinErrorCode);
}

uint16_t TqynTURNCounters::SlotCode(size_t aSlot) noexcept {
  if (aSlot == 0) return 200;
  if (aSlot == 1) return 0;
  return static_cast<uint16_t>(MinErrorCode + (aSlot - 2));
}

void TqynTURNCounters::CountResponse(TqynStunMessageMethod aMethod, uint16_t aCode) noexcept {
  const size_t method = static_cast<size_t>(aMethod) < KMethods ? static_cast<size_t>(aMethod) : 0;
  FResponses[method][CodeSlot(aCode)].fetch_add(1, std::memory_order_relaxed);
}

const char* TqynTURNCounters::DiscardMethodLabel(TqynStunMessageMethod aMethod) noexcept {
  switch (aMethod) {
  case stmmSend: return "Send";
  case stmmData: return "Data";
  case stmmUnknown: return "ChannelData";
  default: return "other";
  }
}

std::string TqynTURNCounters::ReasonLabel(const std::string& aReason) {
  constexpr size_t KMaxLength = 120;
  std::string out;
  out.reserve(aReason.size());
  size_t i = 0;
  while (i < aReason.size()) {
    if (!IsAddressChar(aReason[i])) {
      out += aReason[i++];
      continue;
    }
    size_t end = i;
    bool digit = false;
    int colons = 0;
    for (; end < aReason.size() && IsAddressChar(aReason[end]); ++end) {
      digit = digit || (aReason[end] >= '0' && aReason[end] <= '9');
      colons += aReason[end] == ':';
    }
    if (digit || colons >= 2) {
      // A sentence's final full stop stays outside the replaced run.
      out += 'N';
      if (aReason[end - 1] == '.' && end == aReason.size()) out += '.';
    } else {
      out.append(aReason, i, end - i);
    }
    i = end;
  }
  if (out.size() > KMaxLength) out.resize(KMaxLength);
  return out;
}

void TqynTURNCounters::CountDiscard(TqynStunMessageMethod aMethod, const std::string& aReason) {
  std::pair<std::string, std::string> key(DiscardMethodLabel(aMethod), ReasonLabel(aReason));
  std::lock_guard<std::mutex> lock(FDiscardLock);
  auto it = FDiscards.find(key);
  if (it == FDiscards.end()) {
    if (FDiscards.size() >= MaxDiscardReasons) key.second = "other";
    it = FDiscards.try_emplace(std::move(key), 0).first;
  }
  ++it->second;
}

TqynTURNCountersSnapshot TqynTURNCounters::Snapshot() const {
  TqynTURNCountersSnapshot out;
  for (size_t m = 0; m < KMethods; ++m)
    for (size_t c = 0; c < KCodes; ++c)
      if (const uint64_t n = FResponses[m][c].load(std::memory_order_relaxed))
        out.Responses.push_back({static_cast<TqynStunMessageMethod>(m), SlotCode(c), n});
  {
    std::lock_guard<std::mutex> lock(FDiscardLock);
    for (const auto& [key, n] : FDiscards) out.Discards.push_back({key.first, key.second, n});
  }
  out.AllocationsCreated = FAllocationsCreated.load(std::memory_order_relaxed);
  out.PermissionsInstalled = FPermissionsInstalled.load(std::memory_order_relaxed);
  out.ChannelsBound = FChannelsBound.load(std::memory_order_relaxed);
  for (int d = 0; d < 2; ++d) {
    out.RelayedDatagrams[d] = FRelayedDatagrams[d].load(std::memory_order_relaxed);
    out.RelayedBytes[d] = FRelayedBytes[d].load(std::memory_order_relaxed);
  }
  out.ProcessingErrors = FProcessingErrors.load(std::memory_order_relaxed);
  return out;
}

TqynTURNServerGauges TURNServerGauges(TqynTURNServer_Base& aServer) {
  TqynTURNAllocationsQueue* table = aServer.GetAllocations();
  std::vector<TqynQueueItemRef> items;
  {
    std::lock_guard<TqynCriticalSection> lock(table->Lock());
    items = table->List();
  }
  TqynTURNServerGauges out;
  out.Allocations = items.size();
  const TqynDateTime now = QynNow();
  for (const TqynQueueItemRef& item : items) {
    const auto* allocation = dynamic_cast<const TqynTURNAllocationItem*>(item.get());
    if (!allocation) continue;
    out.Permissions += CountInForce<TqynTURNAllocationPermission>(*allocation->Permissions(), now);
    out.Channels += CountInForce<TqynTURNChannel>(*allocation->Channels(), now);
  }
  return out;
}
