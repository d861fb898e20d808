// The TURN server component: the STUN server extended into a UDP relay. Allocate and Refresh
// (allocations with their relay bindings and expiry), CreatePermission and ChannelBind, and the
// data path between clients and peers (Send and Data indications, ChannelData, datagrams from
// peers, and delivery between two allocations of this server without the network).
//
// Threads: with neNoSync every binding's listener processes its own datagrams, so the two
// directions of one allocation run on different threads; the allocation table, the permission
// and channel lists each take their own lock per operation, and every allocation found by a
// lookup is held by a shared reference until its datagram is done. With the queued modes all
// processing runs on the main thread. Relay bindings are never added or removed while the table's
// lock is held.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "qynP2P_STUN_Server.h"
#include "qynP2P_TURN_Allocations.h"
#include "qynP2P_TURN_Classes.h"
#include "qynP2P_TURN_Counters.h"
#include "qynP2P_TURN_PeerPolicy.h"

// ---------------------------------------------------------------------------------------------
// Options

struct TqynTURN_Options : TqynSTUN_Options {};

struct TqynTURNServer_Allocation {
  uint32_t DefaultLifeTime = 600; // seconds; the most Allocate grants, the least Refresh grants
  uint32_t MaxLifeTime = 3600;    // seconds; the most Refresh grants
  uint16_t MinPort = 49152;       // lowest relay port
  uint16_t MaxPort = 65535;       // bound of the relay port range (never itself chosen)
  int MaxUserAllocations = 0;     // allocations one user may hold; 0: no limit
  int MaxAllocations = 0;         // allocations the server holds at once (508 beyond); 0: no limit
  std::string RelayIP;            // empty: the local address of the binding the Allocate came on
  void Assign(const TqynTURNServer_Allocation& aSource) { *this = aSource; }
};

struct TqynTURNServer_Options : TqynTURN_Options {
  TqynTURNServer_Options() {
    Authentication.Enabled = true;
    Authentication.LongTermCredentials.Enabled = true;
  }
  TqynSTUNServer_Authentication Authentication;
  TqynTURNServer_Allocation Allocation;
  TqynTURNServer_PeerPolicy PeerPolicy;

  // From another TURN server options record every value is copied, nested ones included; from
  // any other options record only Fingerprint and Software.
  void Assign(const TqynSTUN_Options& aSource) override {
    TqynTURN_Options::Assign(aSource);
    if (const auto* s = dynamic_cast<const TqynTURNServer_Options*>(&aSource)) {
      Authentication.Assign(s->Authentication);
      Allocation.Assign(s->Allocation);
      PeerPolicy.Assign(s->PeerPolicy);
    }
  }
};

// ---------------------------------------------------------------------------------------------
// Events

using TqynTURNBeforeAllocateEvent = std::function<void(TqynComponent_Base* Sender, TqynSocketConnection* aSocket,
                                                       const std::string& aIP, uint16_t aPort, bool& Reject)>;
using TqynTURNAllocationEvent =
    std::function<void(TqynComponent_Base* Sender, TqynSocketConnection* aSocket, TqynTURNAllocationItem* Allocation)>;
using TqynTURNMessageDiscardedEvent =
    std::function<void(TqynComponent_Base* Sender, TqynSocketConnection* aSocket, TqynStunMessageMethod aMethod,
                       TqynSTUN_Message* aMessage, const std::string& aReason)>;
using TqynTURNChannelDataDiscardedEvent = std::function<void(TqynComponent_Base* Sender, TqynSocketConnection* aSocket,
                                                             TqynTURNChannelData* aChannelData, const std::string& aReason)>;

// ---------------------------------------------------------------------------------------------
// The component

class TqynTURNServer_Base : public TqynSTUNServer_Base {
public:
  // Attempts to open a relay binding (each on another port) before an Allocate is refused with
  // 508 Insufficient Capacity.
  static constexpr int RelayBindAttempts = 5;
  // Permissions one allocation may hold; a CreatePermission or ChannelBind that would add more
  // is refused with 508.
  static constexpr int MaxPermissions = 1024;

  explicit TqynTURNServer_Base(TqynComponent_Base* aOwner = nullptr);
  // Stops every thread that calls into this object (listeners, the allocation timer) first
  // (ShutdownServer).
  ~TqynTURNServer_Base() override;

  // The allocation timer and the listeners first (ShutdownServer), then the inner UDP server's
  // remaining threads.
  void ShutdownComponent() noexcept override;

  const TqynTURNServer_Options& TURNOptions() const noexcept { return *FTURNOptions; }
  TqynTURNServer_Options& TURNOptions() noexcept { return *FTURNOptions; }
  void SetTURNOptions(const TqynTURNServer_Options& aValue) { FTURNOptions->Assign(aValue); }

  // The allocation table, made on first use with its events hooked to DoCreateAllocation and
  // DoDeleteAllocation.
  TqynTURNAllocationsQueue* GetAllocations();

  // Inherited activation, then the allocation timer (also when the activation failed).
  // Deactivation stops the timer; allocations survive. Activation applies TURNOptions().PeerPolicy
  // first (a malformed rule is reported through OnSTUNException and every peer is refused).
  void SetActive(bool aValue) override;

  // Puts TURNOptions().PeerPolicy in force now. Raises EqynTURNPeerRange for a malformed rule,
  // leaving a policy in force that refuses every peer.
  void ApplyPeerPolicy();
  // Whether the policy in force lets aIP be a peer (always true while it is off).
  bool IsPeerAllowed(const std::string& aIP) const noexcept;

  TqynTURNBeforeAllocateEvent OnTURNBeforeAllocate;
  TqynTURNChannelDataDiscardedEvent OnTURNChannelDataDiscarded;
  TqynTURNMessageDiscardedEvent OnTURNMessageDiscarded;
  TqynTURNAllocationEvent OnTURNCreateAllocation;
  TqynTURNAllocationEvent OnTURNDeleteAllocation;

  // Classifies every datagram: relay binding -> peer data; 0x40..0x7F -> ChannelData from a
  // client; 0x00..0x03 -> STUN; anything else is ignored.
  void ProcessDatagram(TqynUDPSocket* aSocket, const TqynBytes& Bytes) override;

  // The expiry scan (the allocation timer's tick; callable directly).
  virtual void DoAllocationsTimer(TqynTimer* Sender);

  // What the server has done so far (any thread may read them at any time).
  const TqynTURNCounters& Counters() const noexcept { return FCounters; }
  TqynTURNCounters& Counters() noexcept { return FCounters; }

protected:
  // Marks the component as being destroyed, stops the allocation timer and deactivates (joining
  // every listener), so that no other thread calls into it any more. Part of
  // ShutdownComponent.
  void ShutdownServer() noexcept;

  void SendErrorResponse(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest, TqynStunError aError,
                         TqynSTUN_Message* aResponse) override;
  void ProcessRequest(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest, TqynSTUN_Message* aResponse) override;
  void ProcessIndication(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest, TqynSTUN_Message* aResponse) override;
  // The inherited sending, then the response is counted by method and code.
  void SendResponse(TqynUDPSocket* aSocket, TqynSTUN_Message* aResponse) override;
  // Counts the error, then raises OnSTUNException.
  void DoSTUNException(const Exception& E) override;
  // TURN requests are refused under TURNOptions.Authentication, with FINGERPRINT.
  void RefuseWrongIntegrity(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest, TqynSTUN_Message* aResponse) override;

  // ---- Virtual operations, in slot order ----
  virtual void DoCreateAllocation(TqynTURNAllocationsQueue* Sender, TqynSocketConnection* aSocket,
                                  TqynTURNAllocationItem* Allocation);
  virtual void DoDeleteAllocation(TqynTURNAllocationsQueue* Sender, TqynSocketConnection* aSocket,
                                  TqynTURNAllocationItem* Allocation);
  virtual void StartAllocationsTimer();
  virtual void StopAllocationsTimer();
  // (DoAllocationsTimer is public, above.)
  virtual void DoAllocationsTimerException(TqynTimer* Sender, const Exception& E);
  // Opens the relay binding and returns the UDP server's reference of it (null when the server is
  // inactive: the binding is then only listed and opened by the next activation).
  virtual std::shared_ptr<TqynUDPBindingRef> AddRelayBinding(const std::string& aIPAddress, TIdPort aPort,
                                                             const std::string& aName);
  virtual void RemoveRelayBinding(const std::string& aIPAddress, TIdPort aPort);
  virtual void AddXORRelayedAddress(const std::string& aIP, TIdPort aPort, TqynSTUN_Message* aResponse,
                                    TqynSTUN_Message* aRequest);
  // Adds LIFETIME and returns the value written.
  virtual uint32_t AddLifetime(TqynSTUN_Message* aRequest, TqynSTUN_Message* aResponse, uint32_t aLifetime);
  virtual void AddAllocateAttributes(TqynSTUN_Message* aRequest, TqynSTUN_Message* aResponse);
  virtual void AddXORPeerAddress(TqynSTUN_Message* aMessage, uint16_t aFamily, const std::string& aIP, TIdPort aPort);
  virtual void ValidateAllocate(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest, const std::string& aUsername,
                                TqynSTUN_Message* aResponse);
  virtual void ValidateRefresh(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest, TqynTURNAllocationItem* aAllocation,
                               TqynSTUN_Message* aResponse);
  virtual void ValidateSendIndication(TqynUDPSocket* aSocket, TqynSTUN_Message* aIndication,
                                      TqynSTUN_Attribute_DATA*& aData, TqynSTUN_Attribute_XOR_PEER_ADDRESS*& aPeer,
                                      TqynTURNAllocationItem* aAllocation);
  virtual void ValidateCreatePermission(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest,
                                        std::vector<std::string>& aAddresses, TqynTURNAllocationItem* aAllocation,
                                        TqynSTUN_Message* aResponse);
  virtual void ValidateChannelBind(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest, uint16_t& aChannelNumber,
                                   uint16_t& aPeerPort, std::string& aPeerIP, TqynTURNAllocationItem* aAllocation,
                                   TqynSTUN_Message* aResponse);
  virtual void DoAllocate(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest, TqynSTUN_Message* aResponse);
  virtual void DoRefresh(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest, TqynSTUN_Message* aResponse);
  virtual void DoCreatePermission(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest, TqynSTUN_Message* aResponse);
  virtual void DoChannelBind(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest, TqynSTUN_Message* aResponse);
  virtual void DoChannelData(TqynUDPSocket* aSocket, const TqynBytes& aBytes);
  virtual void SendDataIndication(TqynUDPSocket* aSocket, const std::string& aPeerIP, const TqynBytes& aData,
                                  TqynTURNAllocationItem* aTargetAllocation, TIdIPVersion aIPVersion, TIdPort aPeerPort);
  virtual void SendClientChannelData(TqynUDPSocket* aSocket, TqynTURNAllocationItem* aAllocation,
                                     const TqynTURNChannel& aChannel, const TqynBytes& aData);
  [[noreturn]] virtual void DoTURNMessageDiscarded(TqynSocketConnection* aSocket, TqynStunMessageMethod aMethod,
                                                   const std::string& aReason, TqynSTUN_Message* aMessage);
  [[noreturn]] virtual void DoTURNChannelDataDiscarded(TqynSocketConnection* aSocket, TqynTURNChannelData* aChannelData,
                                                       const std::string& aReason);

  // ---- Sending (every relayed datagram ends here) ----
  // One datagram to aIP:aPort from the binding aBinding refers to, or, when it has gone, from the
  // binding aSourceIP:aSourcePort, or the first binding.
  virtual void WriteRelayData(const std::shared_ptr<TqynUDPBindingRef>& aBinding, const std::string& aSourceIP,
                              TIdPort aSourcePort, const std::string& aIP, TIdPort aPort, const TqynBytes& aBytes);
  // To the allocation's client, from the binding its Allocate came on.
  void WriteToClient(TqynTURNAllocationItem* aAllocation, const TqynBytes& aBytes);
  // To a peer, from the allocation's relay binding.
  void WriteToPeer(TqynTURNAllocationItem* aAllocation, const std::string& aIP, TIdPort aPort, const TqynBytes& aBytes);

  // FindRelayPort of the documents, skipping the ports of aTried (relay bindings that failed).
  uint16_t FindRelayPort(const std::vector<uint16_t>& aTried);

private:
  // Allocate step 4: a table entry with an open relay binding, or an error response.
  TqynTURNAllocationRef NewAllocation(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest, TqynSTUN_Message* aResponse,
                                      const std::string& aTransactionId, const std::string& aUsername);
  // Peer data that arrived on aAllocation's relay binding.
  void DoPeerData(TqynUDPSocket* aSocket, const TqynBytes& aBytes, const TqynTURNAllocationRef& aAllocation);
  // Data that reached aTarget's relayed address from aPeerIP:aPeerPort, from the network or from
  // another allocation of this server: aTarget's permission decides, its channel frames it.
  void DeliverToClient(TqynUDPSocket* aSocket, TqynTURNAllocationItem* aTarget, const std::string& aPeerIP, TIdPort aPeerPort,
                       TIdIPVersion aIPVersion, const TqynBytes& aBytes);
  // 403 when the peer policy refuses aIP.
  void RequirePeerAllowed(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest, const std::string& aIP, TqynSTUN_Message* aResponse);
  // The allocation of the request's 5-tuple, or 437.
  TqynTURNAllocationRef RequireAllocation(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest, TqynSTUN_Message* aResponse);
  // Removes the relay bindings of allocations taken out of the table and frees their ports.
  void ReleaseRelays(const std::vector<TqynTURNAllocationRef>& aAllocations);
  // The relayed family for a request received on aSocket (1 IPv4, 2 IPv6).
  uint16_t RelayFamilyFor(TqynUDPSocket* aSocket) const;
  std::string RelayIPFor(TqynUDPSocket* aSocket) const;

  std::unique_ptr<TqynTURNServer_Options> FTURNOptions;
  std::mutex FAllocationsCreateLock;
  std::unique_ptr<TqynTURNAllocationsQueue> FAllocations;
  std::atomic<TqynTURNAllocationsQueue*> FAllocationsPtr{nullptr};
  std::mutex FTimerLock;
  TqynTimer* FAllocationsTimer = nullptr;
  std::mutex FRandomLock;
  uint64_t FRandomState;
  TqynTURNCounters FCounters;
  // The compiled peer policy; null while it is off. Replaced whole, read by every processing thread.
  std::atomic<std::shared_ptr<const TqynTURNPeerFilter>> FPeerFilter;
};

// The component applications place: the TURN server with its properties exposed.
class TqynTURNServer : public TqynTURNServer_Base {
public:
  using TqynTURNServer_Base::TqynTURNServer_Base;
  // Stops every thread that calls into the component before any part of it goes.
  ~TqynTURNServer() override { ShutdownComponent(); }
};
