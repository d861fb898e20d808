#include "qynP2P_TURN_Allocations.h"

#include <algorithm>
#include <utility>

std::string TURNAllocationKey(const TqynSocketConnection_Base& aSocket) {
  std::string key = aSocket.LocalIP();
  key += std::to_string(aSocket.LocalPort());
  key += aSocket.IP();
  key += std::to_string(aSocket.Port());
  key += std::to_string(static_cast<int>(aSocket.Transport()));
  return key;
}

// ---------------------------------------------------------------------------------------------
// Item

TqynTURNAllocationItem::TqynTURNAllocationItem(const TInit& aInit)
    : FKey(aInit.Key), FLocalIP(aInit.LocalIP), FLocalPort(aInit.LocalPort), FFamily(aInit.Family),
      FReflexiveIP(aInit.ReflexiveIP), FReflexivePort(aInit.ReflexivePort), FRelayIP(aInit.RelayIP),
      FRelayPort(aInit.RelayPort), FTransactionId(aInit.TransactionId), FQuotaUser(aInit.Username),
      FUsername(aInit.Username), FPermissions(std::make_unique<TqynTURNAllocationPermissions>()),
      FChannels(std::make_unique<TqynTURNChannels>()) {
  FChannels->SetMaxChannelID(KTURNServerMaxChannelID);
}

void TqynTURNAllocationItem::SetLifetime(int aSeconds) {
  FLifetime.store(aSeconds);
  FExpiry.store(QynIncSeconds(QynNow(), aSeconds));
}

std::string TqynTURNAllocationItem::Username() const {
  std::lock_guard<std::mutex> lock(FCredentialsLock);
  return FUsername;
}

std::string TqynTURNAllocationItem::Password() const {
  std::lock_guard<std::mutex> lock(FCredentialsLock);
  return FPassword;
}

std::string TqynTURNAllocationItem::Realm() const {
  std::lock_guard<std::mutex> lock(FCredentialsLock);
  return FRealm;
}

void TqynTURNAllocationItem::SetCredentials(const std::string& aUsername, const std::string& aRealm,
                                            const std::string& aPassword) {
  std::lock_guard<std::mutex> lock(FCredentialsLock);
  FUsername = aUsername;
  FRealm = aRealm;
  FPassword = aPassword;
}

std::string TqynTURNAllocationItem::PeerKey(const std::string& aIPAddress, TIdPort aPort) {
  std::string key = aIPAddress;
  key += '|';
  key += std::to_string(aPort);
  return key;
}

bool TqynTURNAllocationItem::IsValidPermission(const std::string& aIPAddress) const {
  TqynTURNAllocationPermissionRef permission;
  {
    std::lock_guard<std::mutex> lock(FIndexLock);
    const auto it = FPermissionIndex.find(aIPAddress);
    if (it == FPermissionIndex.end()) return false;
    permission = it->second;
  }
  return QynNow() <= permission->Expires();
}

int TqynTURNAllocationItem::PermissionCount() const {
  std::lock_guard<std::mutex> lock(FIndexLock);
  return static_cast<int>(FPermissionIndex.size());
}

void TqynTURNAllocationItem::CreateUpdatePermission(const std::string& aIPAddress) {
  std::lock_guard<std::mutex> lock(FIndexLock);
  const auto it = FPermissionIndex.find(aIPAddress);
  if (it != FPermissionIndex.end()) {
    it->second->SetExpires(QynIncSeconds(QynNow(), FPermissions->Lifetime()));
    return;
  }
  FPermissionIndex.emplace(aIPAddress, FPermissions->CreateUpdatePermission(aIPAddress));
}

TqynTURNChannelRef TqynTURNAllocationItem::ChannelOfPeer(const std::string& aIPAddress, TIdPort aPort) const {
  std::lock_guard<std::mutex> lock(FIndexLock);
  const auto it = FChannelByPeer.find(PeerKey(aIPAddress, aPort));
  return it == FChannelByPeer.end() ? nullptr : it->second;
}

TqynTURNChannelRef TqynTURNAllocationItem::ChannelOfNumber(uint16_t aChannelID) const {
  std::lock_guard<std::mutex> lock(FIndexLock);
  const auto it = FChannelByNumber.find(aChannelID);
  return it == FChannelByNumber.end() ? nullptr : it->second;
}

bool TqynTURNAllocationItem::IsValidChannel(const std::string& aIPAddress, TIdPort aPort) const {
  const TqynTURNChannelRef channel = ChannelOfPeer(aIPAddress, aPort);
  return channel && QynNow() <= channel->Expires();
}

TqynTURNChannelRef TqynTURNAllocationItem::CreateUpdateChannel(const std::string& aIPAddress, TIdPort aPort,
                                                               uint16_t aChannelID) {
  std::lock_guard<std::mutex> lock(FIndexLock);
  TqynTURNChannelRef channel = FChannels->CreateUpdateChannel(aIPAddress, aPort, aChannelID);
  FChannelByPeer[PeerKey(aIPAddress, aPort)] = channel;
  FChannelByNumber[channel->ChannelID()] = channel;
  return channel;
}

bool TqynTURNAllocationItem::DeleteChannel(uint16_t aChannelID) {
  std::lock_guard<std::mutex> lock(FIndexLock);
  const auto it = FChannelByNumber.find(aChannelID);
  if (it != FChannelByNumber.end()) {
    FChannelByPeer.erase(PeerKey(it->second->PeerIP(), it->second->PeerPort()));
    FChannelByNumber.erase(it);
  }
  return FChannels->DeleteChannel(aChannelID);
}

std::shared_ptr<TqynUDPBindingRef> TqynTURNAllocationItem::ClientBinding() const {
  std::lock_guard<TqynFieldLock> lock(FBindingLock);
  return FClientBinding;
}

void TqynTURNAllocationItem::SetClientBinding(std::shared_ptr<TqynUDPBindingRef> aValue) {
  std::lock_guard<TqynFieldLock> lock(FBindingLock);
  FClientBinding = std::move(aValue);
}

std::shared_ptr<TqynUDPBindingRef> TqynTURNAllocationItem::RelayBinding() const {
  std::lock_guard<TqynFieldLock> lock(FBindingLock);
  return FRelayBinding;
}

void TqynTURNAllocationItem::SetRelayBinding(std::shared_ptr<TqynUDPBindingRef> aValue) {
  std::lock_guard<TqynFieldLock> lock(FBindingLock);
  FRelayBinding = std::move(aValue);
}

// ---------------------------------------------------------------------------------------------
// Table

std::string TqynTURNAllocationsQueue::AddressKey(const std::string& aIP, TIdPort aPort) {
  return TqynTURNAllocationItem::PeerKey(aIP, aPort);
}

TqynTURNAllocationRef TqynTURNAllocationsQueue::AddAllocation(TqynUDPSocket* aSocket, const std::string& aRelayIP,
                                                              TIdPort aRelayPort, uint32_t aLifetime,
                                                              const std::string& aTransactionId, const std::string& aUsername) {
  TqynTURNAllocationItem::TInit init;
  init.Key = TURNAllocationKey(*aSocket);
  init.LocalIP = aSocket->LocalIP();
  init.LocalPort = aSocket->LocalPort();
  init.Family = aSocket->IPVersion() == Id_IPv6 ? 2 : 1;
  init.ReflexiveIP = aSocket->IP();
  init.ReflexivePort = aSocket->Port();
  init.RelayIP = aRelayIP;
  init.RelayPort = aRelayPort;
  init.TransactionId = aTransactionId;
  init.Username = aUsername;
  auto item = std::make_shared<TqynTURNAllocationItem>(init);
  item->SetID(init.Key);
  item->SetLifetime(static_cast<int>(std::min<uint32_t>(aLifetime, 0x7FFFFFFF)));
  if (const auto* indy = dynamic_cast<const TqynUDPSocket_Indy*>(aSocket)) item->SetClientBinding(indy->BindingRef());
  {
    std::lock_guard<TqynCriticalSection> lock(FLock);
    FList.push_back(item);
    FByKey[item->FKey] = item;
    FByRelayed[AddressKey(item->FRelayIP, item->FRelayPort)] = item;
    FByReflexive[AddressKey(item->FReflexiveIP, item->FReflexivePort)] = item;
    if (!item->FTransactionId.empty()) FByTransaction[item->FTransactionId] = item.get();
    ++FRelayPorts[item->FRelayPort];
    ++FUserCounts[item->FQuotaUser];
  }
  try {
    if (OnCreateAllocation) OnCreateAllocation(this, aSocket, item.get());
  } catch (...) {
    RemoveAllocation(item);
    throw;
  }
  return item;
}

TqynTURNAllocationRef TqynTURNAllocationsQueue::GetAllocation(const TqynSocketConnection_Base* aSocket) const {
  if (!aSocket) return nullptr;
  return GetAllocationByKey(TURNAllocationKey(*aSocket));
}

TqynTURNAllocationRef TqynTURNAllocationsQueue::GetAllocationByKey(const std::string& aKey) const {
  std::lock_guard<TqynCriticalSection> lock(FLock);
  const auto it = FByKey.find(aKey);
  return it == FByKey.end() ? nullptr : it->second;
}

TqynTURNAllocationRef TqynTURNAllocationsQueue::GetAllocationByRelayedAddress(const std::string& aIP, TIdPort aPort) const {
  const std::string key = AddressKey(aIP, aPort);
  std::lock_guard<TqynCriticalSection> lock(FLock);
  const auto it = FByRelayed.find(key);
  return it == FByRelayed.end() ? nullptr : it->second;
}

TqynTURNAllocationRef TqynTURNAllocationsQueue::GetAllocationByReflexiveAddress(const std::string& aIP, TIdPort aPort) const {
  const std::string key = AddressKey(aIP, aPort);
  std::lock_guard<TqynCriticalSection> lock(FLock);
  const auto it = FByReflexive.find(key);
  return it == FByReflexive.end() ? nullptr : it->second;
}

bool TqynTURNAllocationsQueue::DeleteAllocation(TqynSocketConnection* aSocket, const TqynTURNAllocationRef& aAllocation) {
  if (!aAllocation) return false;
  {
    std::lock_guard<TqynCriticalSection> lock(FLock);
    const auto it = FByKey.find(aAllocation->FKey);
    if (it == FByKey.end() || it->second != aAllocation) return false;
  }
  if (aAllocation->FDeleting.exchange(true)) return false;
  struct TRemove {
    TqynTURNAllocationsQueue& Queue;
    const TqynTURNAllocationRef& Item;
    ~TRemove() {
      std::lock_guard<TqynCriticalSection> lock(Queue.FLock);
      Queue.RemoveLocked(Item.get(), false);
    }
  } remove{*this, aAllocation};
  if (OnDeleteAllocation) OnDeleteAllocation(this, aSocket, aAllocation.get());
  return true;
}

bool TqynTURNAllocationsQueue::RemoveAllocation(const TqynTURNAllocationRef& aAllocation) {
  if (!aAllocation) return false;
  std::lock_guard<TqynCriticalSection> lock(FLock);
  return RemoveLocked(aAllocation.get(), false);
}

bool TqynTURNAllocationsQueue::RemoveLocked(const TqynTURNAllocationItem* aItem, bool aReleasing) {
  const auto it = FByKey.find(aItem->FKey);
  if (it == FByKey.end() || it->second.get() != aItem) return false;
  TqynTURNAllocationRef keep = it->second; // freed after the indexes let go of it
  FByKey.erase(it);
  const std::string relayed = AddressKey(aItem->FRelayIP, aItem->FRelayPort);
  if (auto r = FByRelayed.find(relayed); r != FByRelayed.end() && r->second.get() == aItem) FByRelayed.erase(r);
  if (auto r = FByReflexive.find(AddressKey(aItem->FReflexiveIP, aItem->FReflexivePort));
      r != FByReflexive.end() && r->second.get() == aItem)
    FByReflexive.erase(r);
  if (auto t = FByTransaction.find(aItem->FTransactionId); t != FByTransaction.end() && t->second == aItem) FByTransaction.erase(t);
  if (auto p = FRelayPorts.find(aItem->FRelayPort); p != FRelayPorts.end() && --p->second <= 0) FRelayPorts.erase(p);
  if (auto u = FUserCounts.find(aItem->FQuotaUser); u != FUserCounts.end() && --u->second <= 0) FUserCounts.erase(u);
  if (aReleasing) {
    ++FReleasing[relayed];
    ++FReleasingPorts[aItem->FRelayPort];
  }
  // The list keeps issue order; removal is the only step that walks it.
  const auto pos = std::find_if(FList.begin(), FList.end(), [aItem](const TqynQueueItemRef& r) { return r.get() == aItem; });
  if (pos != FList.end()) FList.erase(pos);
  return true;
}

bool TqynTURNAllocationsQueue::IsRelayPortAvailable(TIdPort aRelayPort) const {
  std::lock_guard<TqynCriticalSection> lock(FLock);
  return FRelayPorts.find(aRelayPort) == FRelayPorts.end() && FReleasingPorts.find(aRelayPort) == FReleasingPorts.end();
}

bool TqynTURNAllocationsQueue::UserReachQuota(const std::string& aUsername, int aLimit) const {
  if (aLimit <= 0) return false;
  std::lock_guard<TqynCriticalSection> lock(FLock);
  const auto it = FUserCounts.find(aUsername);
  return it != FUserCounts.end() && it->second >= aLimit;
}

bool TqynTURNAllocationsQueue::IsRequestProcessed(const std::string& aTransactionId) const {
  std::lock_guard<TqynCriticalSection> lock(FLock);
  return FByTransaction.find(aTransactionId) != FByTransaction.end();
}

std::vector<TqynTURNAllocationRef> TqynTURNAllocationsQueue::TakeExpired(
    TqynDateTime aNow, const std::function<void(TqynTURNAllocationItem*)>& aBeforeRemove) {
  std::vector<TqynTURNAllocationRef> taken;
  std::lock_guard<TqynCriticalSection> lock(FLock);
  for (size_t i = FList.size(); i-- > 0;) {
    if (i >= FList.size()) continue; // a handler changed the list
    auto item = std::static_pointer_cast<TqynTURNAllocationItem>(FList[i]);
    if (!item->Expired(aNow) || item->FDeleting.exchange(true)) continue;
    if (aBeforeRemove) aBeforeRemove(item.get());
    RemoveLocked(item.get(), true);
    taken.push_back(std::move(item));
  }
  return taken;
}

bool TqynTURNAllocationsQueue::IsRelayReleasing(const std::string& aIP, TIdPort aPort) const {
  const std::string key = AddressKey(aIP, aPort);
  std::lock_guard<TqynCriticalSection> lock(FLock);
  return FReleasing.find(key) != FReleasing.end();
}

void TqynTURNAllocationsQueue::RelayReleased(const std::string& aIP, TIdPort aPort) {
  const std::string key = AddressKey(aIP, aPort);
  std::lock_guard<TqynCriticalSection> lock(FLock);
  if (auto r = FReleasing.find(key); r != FReleasing.end() && --r->second <= 0) FReleasing.erase(r);
  if (auto p = FReleasingPorts.find(aPort); p != FReleasingPorts.end() && --p->second <= 0) FReleasingPorts.erase(p);
}

void TqynTURNAllocationsQueue::Clear() {
  std::lock_guard<TqynCriticalSection> lock(FLock);
  TqynQueueBase::Clear();
  FByKey.clear();
  FByRelayed.clear();
  FByReflexive.clear();
  FByTransaction.clear();
  FRelayPorts.clear();
  FUserCounts.clear();
  FReleasing.clear();
  FReleasingPorts.clear();
}
