// The TURN server's allocation table: one item per allocation (its 5-tuple, relayed address,
// lifetime, credentials, permissions and channels), with hash indexes beside the list so that
// every lookup a datagram needs (by 5-tuple key, by relayed address, by the Allocate's
// transaction ID, relay port in use, a user's allocation count) takes constant time.
//
// Items are shared objects: a lookup hands out a reference that keeps the item, its permission
// list and its channel list alive while the caller uses it, even when another thread removes the
// item from the table meanwhile.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "qynBase_Classes.h"
#include "qynClock.h"
#include "qynP2P_STUN_Types.h"
#include "qynP2P_TURN_Classes.h"
#include "qynUDP_Server.h"

class TqynTURNAllocationItem;
class TqynTURNAllocationsQueue;

using TqynTURNAllocationRef = std::shared_ptr<TqynTURNAllocationItem>;

// The allocation key of a datagram: local IP, local port, peer IP, peer port and the ordinal of
// the connection's transport, concatenated without separators.
std::string TURNAllocationKey(const TqynSocketConnection_Base& aSocket);

// Highest channel number a client of this server may bind: the RFC 5766 range 0x4000..0x7FFF,
// which clients such as coturn's use, rather than RFC 8656's 0x4000..0x4FFF (a ChannelData
// message of either range starts with a byte no STUN message starts with).
inline constexpr uint16_t KTURNServerMaxChannelID = 0x7FFF;

// True when the datagram's first byte is that of a ChannelData message of the range above.
inline bool IsServerChannelData(const TqynBytes& aBytes) { return !aBytes.empty() && aBytes[0] >= 0x40 && aBytes[0] <= 0x7F; }

// One allocation. The addressing fields are fixed at creation; lifetime and expiry are atomics;
// credentials, binding references and the peer indexes have their own locks.
class TqynTURNAllocationItem : public TqynQueueItemBase {
public:
  struct TInit {
    std::string Key;
    std::string LocalIP;
    TIdPort LocalPort = 0;
    uint16_t Family = 1;
    std::string ReflexiveIP;
    TIdPort ReflexivePort = 0;
    std::string RelayIP;
    TIdPort RelayPort = 0;
    std::string TransactionId;
    std::string Username;
  };
  explicit TqynTURNAllocationItem(const TInit& aInit);

  std::string ID() const override { return FKey; }
  const std::string& Key() const noexcept { return FKey; }
  const std::string& LocalIP() const noexcept { return FLocalIP; }
  TIdPort LocalPort() const noexcept { return FLocalPort; }
  uint16_t Family() const noexcept { return FFamily; }
  const std::string& ReflexiveIP() const noexcept { return FReflexiveIP; }
  TIdPort ReflexivePort() const noexcept { return FReflexivePort; }
  TqynSTUNTransport Transport() const noexcept { return stunUDP; }
  const std::string& RelayIP() const noexcept { return FRelayIP; }
  TIdPort RelayPort() const noexcept { return FRelayPort; }
  // Seconds; writing it also sets Expiry to now + Lifetime.
  int Lifetime() const noexcept { return FLifetime.load(); }
  void SetLifetime(int aSeconds);
  TqynDateTime Expiry() const noexcept { return FExpiry.load(); }
  bool Expired(TqynDateTime aNow) const noexcept { return aNow > Expiry(); }
  std::string Username() const;
  std::string Password() const;
  std::string Realm() const;
  void SetCredentials(const std::string& aUsername, const std::string& aRealm, const std::string& aPassword);
  const std::string& TransactionId() const noexcept { return FTransactionId; }
  // The user the quota counts this allocation for (the Allocate's USERNAME).
  const std::string& QuotaUser() const noexcept { return FQuotaUser; }

  // Owned lists (made with the item). Change them through the operations below, which keep the
  // peer indexes in step; reading them directly is fine.
  TqynTURNAllocationPermissions* Permissions() const noexcept { return FPermissions.get(); }
  TqynTURNChannels* Channels() const noexcept { return FChannels.get(); }

  // Peer lookups in constant time.
  bool IsValidPermission(const std::string& aIPAddress) const;
  int PermissionCount() const;
  void CreateUpdatePermission(const std::string& aIPAddress);
  TqynTURNChannelRef ChannelOfPeer(const std::string& aIPAddress, TIdPort aPort) const;
  TqynTURNChannelRef ChannelOfNumber(uint16_t aChannelID) const;
  // True when the peer has a channel that has not expired.
  bool IsValidChannel(const std::string& aIPAddress, TIdPort aPort) const;
  TqynTURNChannelRef CreateUpdateChannel(const std::string& aIPAddress, TIdPort aPort, uint16_t aChannelID);
  bool DeleteChannel(uint16_t aChannelID);

  // The binding the Allocate arrived on (answers and data for the client leave from it) and the
  // relay binding, as the UDP server's binding references (null when unknown, for instance for a
  // socket object without a binding).
  std::shared_ptr<TqynUDPBindingRef> ClientBinding() const;
  void SetClientBinding(std::shared_ptr<TqynUDPBindingRef> aValue);
  std::shared_ptr<TqynUDPBindingRef> RelayBinding() const;
  void SetRelayBinding(std::shared_ptr<TqynUDPBindingRef> aValue);
  // The relay binding was opened (and not yet removed).
  bool RelayBound() const noexcept { return FRelayBound.load(); }
  void SetRelayBound(bool aValue) noexcept { FRelayBound.store(aValue); }

private:
  friend class TqynTURNAllocationsQueue;
  static std::string PeerKey(const std::string& aIPAddress, TIdPort aPort);

  const std::string FKey;
  const std::string FLocalIP;
  const TIdPort FLocalPort;
  const uint16_t FFamily;
  const std::string FReflexiveIP;
  const TIdPort FReflexivePort;
  const std::string FRelayIP;
  const TIdPort FRelayPort;
  const std::string FTransactionId;
  const std::string FQuotaUser;
  std::atomic<int> FLifetime{0};
  std::atomic<TqynDateTime> FExpiry{0};
  mutable std::mutex FCredentialsLock;
  std::string FUsername, FPassword, FRealm;
  const std::unique_ptr<TqynTURNAllocationPermissions> FPermissions;
  const std::unique_ptr<TqynTURNChannels> FChannels;
  // Indexes beside the two lists; FIndexLock is taken before a list's own lock.
  mutable std::mutex FIndexLock;
  std::unordered_map<std::string, TqynTURNAllocationPermissionRef> FPermissionIndex;
  std::unordered_map<std::string, TqynTURNChannelRef> FChannelByPeer;
  std::unordered_map<uint16_t, TqynTURNChannelRef> FChannelByNumber;
  mutable TqynFieldLock FBindingLock;
  std::shared_ptr<TqynUDPBindingRef> FClientBinding;
  std::shared_ptr<TqynUDPBindingRef> FRelayBinding;
  std::atomic<bool> FRelayBound{false};
  // Set once by whoever takes the item out of the table (a Refresh 0 or the expiry scan).
  std::atomic<bool> FDeleting{false};
};

using TqynTURNAllocationsQueueEvent =
    std::function<void(TqynTURNAllocationsQueue* Sender, TqynSocketConnection* aSocket, TqynTURNAllocationItem* Allocation)>;

// The allocation table. Every operation holds the table's lock for its own duration only; the
// events run outside it. Use the operations below to change the table: the inherited item
// operations are not available through this class, since they would bypass the indexes.
class TqynTURNAllocationsQueue : public TqynQueueBase {
public:
  TqynTURNAllocationsQueue() { SetOwnObjects(true); }

  // Builds an item for aSocket's 5-tuple (Expiry = now + aLifetime), appends it and then fires
  // OnCreateAllocation. When that event raises, the item is taken out again and the exception
  // passes on.
  TqynTURNAllocationRef AddAllocation(TqynUDPSocket* aSocket, const std::string& aRelayIP, TIdPort aRelayPort,
                                      uint32_t aLifetime, const std::string& aTransactionId,
                                      const std::string& aUsername = std::string());
  TqynTURNAllocationRef GetAllocation(const TqynSocketConnection_Base* aSocket) const;
  TqynTURNAllocationRef GetAllocationByKey(const std::string& aKey) const;
  TqynTURNAllocationRef GetAllocationByRelayedAddress(const std::string& aIP, TIdPort aPort) const;
  TqynTURNAllocationRef GetAllocationByReflexiveAddress(const std::string& aIP, TIdPort aPort) const;
  // Fires OnDeleteAllocation (outside the lock), then removes the item. False when the item is
  // not in the table or another thread is already deleting it (the event is then not fired).
  bool DeleteAllocation(TqynSocketConnection* aSocket, const TqynTURNAllocationRef& aAllocation);
  // Takes an item out without any event (an Allocate whose relay binding could not be opened).
  bool RemoveAllocation(const TqynTURNAllocationRef& aAllocation);
  // No item has this relay port, and no removed item's relay binding on it is still being closed.
  bool IsRelayPortAvailable(TIdPort aRelayPort) const;
  // aLimit 0: false. Otherwise true when aUsername already holds aLimit allocations or more.
  bool UserReachQuota(const std::string& aUsername, int aLimit) const;
  bool IsRequestProcessed(const std::string& aTransactionId) const;

  // The expiry scan: under the lock, walks the list from the last item to the first; for each
  // item that has expired by aNow, calls aBeforeRemove (still under the lock) and takes the item
  // out; each counts as releasing (IsRelayReleasing) until RelayReleased. Returns the items taken
  // out, in that order.
  std::vector<TqynTURNAllocationRef> TakeExpired(TqynDateTime aNow, const std::function<void(TqynTURNAllocationItem*)>& aBeforeRemove);
  // A removed item's relay binding on aIP:aPort is being closed: its port is not granted again and
  // datagrams still arriving on it are known to be peer data of a gone allocation.
  bool IsRelayReleasing(const std::string& aIP, TIdPort aPort) const;
  // Its relay binding is closed: the port may be granted again.
  void RelayReleased(const std::string& aIP, TIdPort aPort);

  void Clear() override;

  TqynTURNAllocationsQueueEvent OnCreateAllocation;
  TqynTURNAllocationsQueueEvent OnDeleteAllocation;

private:
  using TqynQueueBase::Add;
  using TqynQueueBase::AddItem;
  using TqynQueueBase::AddKey;
  using TqynQueueBase::Delete;
  using TqynQueueBase::DeleteItem;
  using TqynQueueBase::DeleteKey;
  using TqynQueueBase::Remove;
  using TqynQueueBase::RemoveItem;

  static std::string AddressKey(const std::string& aIP, TIdPort aPort);
  // Caller holds the lock. aReleasing: the item had a relay binding that is still to be closed.
  bool RemoveLocked(const TqynTURNAllocationItem* aItem, bool aReleasing);

  std::unordered_map<std::string, TqynTURNAllocationRef> FByKey;
  std::unordered_map<std::string, TqynTURNAllocationRef> FByRelayed;
  std::unordered_map<std::string, TqynTURNAllocationRef> FByReflexive;
  std::unordered_map<std::string, TqynTURNAllocationItem*> FByTransaction;
  std::unordered_map<TIdPort, int> FRelayPorts;
  std::unordered_map<std::string, int> FUserCounts;
  std::unordered_map<std::string, int> FReleasing; // relayed addresses whose binding is closing
  std::unordered_map<TIdPort, int> FReleasingPorts;
};
