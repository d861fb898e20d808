// The TURN client component: the STUN client plus the client side of TURN. It asks the server
// for a relayed transport address (Allocate), keeps it alive or ends it (Refresh), installs
// permissions (CreatePermission) and channel bindings (ChannelBind), sends data to peers as Send
// indications or ChannelData, and receives Data/ICMP indications and ChannelData. A local record
// of the allocation, its permissions and channels gates what the application may send, and a
// one-second timer renews them by itself.
//
// Authentication: the TURN methods (Allocate, Refresh, Send, Data, CreatePermission, ChannelBind)
// are built and answered with TURNOptions, Binding with STUNOptions. A 401/438 challenge to a
// TURN request is judged by TURNOptions.Authentication alone: with long-term credentials there
// the realm and nonce are learned and an Allocate or CreatePermission is sent again signed with
// TURNOptions' user name and password (never with STUNOptions', even when both are long-term);
// without them the challenge is reported through OnSTUNResponseError. The realm and nonce are
// shared, so later requests of either kind carry them. Consecutive challenges answered for one
// operation are bounded by MaxChallengeAnswers, as for Binding.
//
// Automatic renewal sends at most one request per item (the allocation, each permission, each
// channel) while an earlier one for it is unanswered and still within its retransmission span,
// so a server that stops answering is not flooded; a refused renewal leaves its item due.
//
// Threads: as for the STUN client (responses where the transport delivers them, operations on
// the caller's thread, timer ticks where NotifyEvents put them at start). Public operations never
// raise; failures reach OnSTUNException. Destruction stops the timer, then the transports, before
// the record and the options go.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "qynBase_Classes.h"
#include "qynP2P_STUN_Client.h"
#include "qynP2P_TURN_Classes.h"
#include "qynP2P_TURN_Client_Allocation.h"
#include "qynP2P_TURN_Client_Options.h"

// ---------------------------------------------------------------------------------------------
// Result records (valid for one event call)

struct TqynTURN_ResponseAllocation {
  uint32_t FLifetime = 0;
  std::string FLocalIP;
  uint16_t FLocalPort = 0;
  std::string FReflexiveIP;
  uint16_t FReflexivePort = 0;
  TwsIPVersion FRelayedFamily = ipV4;
  std::string FRelayedIP;
  uint16_t FRelayedPort = 0;
};

struct TqynTURN_ResponseRefresh {
  uint32_t FLifetime = 0;
};

struct TqynTURN_ResponseCreatePermission {
  std::unique_ptr<std::vector<std::string>> FIPAddresses; // created on first use
  std::vector<std::string>& IPAddresses() {
    if (!FIPAddresses) FIPAddresses = std::make_unique<std::vector<std::string>>();
    return *FIPAddresses;
  }
};

struct TqynTURN_ResponseChannelBind {
  uint16_t FChannel = 0;
  std::string FIPAddress;
  uint16_t FPort = 0;
};

struct TqynTURN_ResponseDataIndication {
  TqynBytes FData;
  std::string FPeerIP;
  uint16_t FPeerPort = 0;
};

struct TqynTURN_ResponseICMPIndication {
  TqynSTUN_Attribute_ICMP* FICMP = nullptr; // owned by the received message
  std::string FPeerIP;
  uint16_t FPeerPort = 0;
};

// ---------------------------------------------------------------------------------------------
// Events

using TqynTURNAllocateEvent = std::function<void(TqynComponent_Base* Sender, TqynSocketConnection* aSocket,
                                                 TqynSTUN_Message* aMessage, TqynTURN_ResponseAllocation* aAllocation)>;
using TqynTURNRefreshEvent = std::function<void(TqynComponent_Base* Sender, TqynSocketConnection* aSocket,
                                                TqynSTUN_Message* aMessage, TqynTURN_ResponseRefresh* aRefresh)>;
using TqynTURNCreatePermissionEvent =
    std::function<void(TqynComponent_Base* Sender, TqynSocketConnection* aSocket, TqynSTUN_Message* aMessage,
                       TqynTURN_ResponseCreatePermission* aCreatePermission)>;
using TqynTURNChannelBindEvent = std::function<void(TqynComponent_Base* Sender, TqynSocketConnection* aSocket,
                                                    TqynSTUN_Message* aMessage, TqynTURN_ResponseChannelBind* aChannelBind)>;
using TqynTURNDataIndicationEvent =
    std::function<void(TqynComponent_Base* Sender, TqynSocketConnection* aSocket, TqynSTUN_Message* aMessage,
                       TqynTURN_ResponseDataIndication* aDataIndication)>;
using TqynTURNICMPIndicationEvent =
    std::function<void(TqynComponent_Base* Sender, TqynSocketConnection* aSocket, TqynSTUN_Message* aMessage,
                       TqynTURN_ResponseICMPIndication* aICMPIndication)>;
using TqynTURNDataChannelEvent =
    std::function<void(TqynComponent_Base* Sender, TqynSocketConnection* aSocket, TqynTURNChannelData* aChannelData)>;

// ---------------------------------------------------------------------------------------------
// The component

class TqynTURNClient_Base : public TqynSTUNClient_Base {
public:
  static constexpr int AutoRefreshInterval = 1000; // milliseconds

  explicit TqynTURNClient_Base(TqynComponent_Base* aOwner = nullptr);
  ~TqynTURNClient_Base() override;

  // The auto-refresh timer first, then the transports (StopComponent).
  void ShutdownComponent() noexcept override;

  // ---- Properties ----
  TqynTURNClient_Options& TURNOptions() noexcept { return *FTURNOptions; }
  const TqynTURNClient_Options& TURNOptions() const noexcept { return *FTURNOptions; }
  void SetTURNOptions(const TqynSTUN_Options& aValue) { FTURNOptions->Assign(aValue); }

  // The allocation record, created on first use. A Refresh success with lifetime 0 replaces it
  // with a fresh empty one; a caller may keep the returned record as long as it likes.
  TqynTURNClient_AllocationRef Allocation();
  // True while the renewal timer exists.
  bool AutoRefreshRunning() const;

  // ---- Public operations (never raise) ----
  void Allocate();
  // 0 ends the allocation.
  void Refresh(uint32_t aLifetime);
  // One address or several separated by commas (blanks and control characters also separate;
  // a double-quoted part stays whole). An address with a ':' is sent as IPv6.
  void CreatePermission(const std::string& aPeerIP);
  void ChannelBind(const std::string& aPeerIP, uint16_t aPeerPort);
  void SendIndication(const std::string& aPeerIP, uint16_t aPeerPort, const TqynBytes& aData);
  void SendIndication(const std::string& aPeerIP, uint16_t aPeerPort, const std::string& aData);
  void SendChannelData(uint16_t aChannelID, const TqynBytes& aData);
  void SendChannelData(uint16_t aChannelID, const std::string& aData);

  // ---- Events ----
  TqynTURNAllocateEvent OnTURNAllocate;
  TqynTURNChannelBindEvent OnTURNChannelBind;
  TqynTURNDataChannelEvent OnTURNChannelData;
  TqynTURNCreatePermissionEvent OnTURNCreatePermission;
  TqynTURNDataIndicationEvent OnTURNDataIndication;
  TqynTURNICMPIndicationEvent OnTURNICMPIndication;
  TqynTURNRefreshEvent OnTURNRefresh;

  // ---- Overrides of the STUN client ----
  void DoSTUNResponseSuccess(TqynSocketConnection* aSocket, TqynSTUN_Message* aMessage) override;
  void DoSTUNIndication(TqynSocketConnection* aSocket, TqynSTUN_Message* aMessage) override;
  bool DoSTUNAuthentication(TqynSTUN_Message* aMessage) override;
  void DoReadBytes(TqynSocketConnection* aSocket, const TqynBytes& aBytes) override;
  void DoSendMessage(TqynSTUN_Message* aMessage, const std::string& aIPAddress, TIdPort aPort) override;
  void DoInitializeMessage(TqynStunMessageMethod aMethod, TqynSTUN_Message* aMessage,
                           TqynSTUNAttributeItems aAttributes) override;
  void DoSetCredentials(TqynSTUN_Message* aMessage, const std::string& aRealm, const std::string& aNonce) override;

  // ---- Virtual operations of the TURN client, in slot order ----
  virtual void StartAutoRefresh();
  virtual void StopAutoRefresh();
  // One renewal pass each; called by the timer's tick (public so that a host may drive them).
  virtual void DoAutoRefreshAllocation();
  virtual void DoAutoRefreshPermissions();
  virtual void DoAutoRefreshChannels();
  virtual void DoAutoRefreshTimer(TqynTimer* Sender);
  virtual void DoAutoRefreshTimerException(TqynTimer* Sender, const Exception& E);
  virtual void DoTURNChannelData(TqynSocketConnection* aSocket, const TqynBytes& aBytes);
  virtual void DoSendTURNRequest(TqynStunMessageMethod aMethod, TqynSTUNAttributeItems aAttributes);
  virtual void DoAllocate();
  virtual void DoRefresh(uint32_t aLifetime);
  virtual void DoSendIndication(const std::string& aPeerIP, uint16_t aPeerPort, const TqynBytes& aData);
  virtual void DoCreatePermission(const std::string& aPeerIP);
  virtual void DoChannelBind(const std::string& aPeerIP, uint16_t aPeerPort);
  virtual void DoSendChannelData(uint16_t aChannelID, const TqynBytes& aData);

  // True for the methods that TURNOptions governs.
  static bool IsTURNMethod(TqynStunMessageMethod aMethod) noexcept;
  // The entries of a CreatePermission address text, in order (empty entries dropped).
  static std::vector<std::string> SplitPeerAddresses(const std::string& aPeerIP);
  // 2 for an address text with a ':' (IPv6), 1 otherwise.
  static uint16_t PeerFamily(const std::string& aPeerIP) noexcept;

protected:
  // Stops every thread that calls into this object: marks it destroying, closes the tick gate
  // (waiting for a tick on another thread), frees the timer and stops the transports. Idempotent;
  // part of ShutdownComponent, which runs before any destructor, so that no thread makes a
  // virtual call while a destructor changes the object's dynamic type.
  void StopComponent() noexcept;

  void DoAllocationSuccess(TqynSocketConnection* aSocket, TqynSTUN_Message* aMessage);
  void DoRefreshSuccess(TqynSocketConnection* aSocket, TqynSTUN_Message* aMessage);
  void DoPermissionSuccess(TqynSocketConnection* aSocket, TqynSTUN_Message* aMessage);
  void DoChannelSuccess(TqynSocketConnection* aSocket, TqynSTUN_Message* aMessage);

private:
  // A renewal request still awaiting its answer.
  struct TRenewal {
    std::string TransactionId;
    uint64_t Until = 0; // QynTickCount64 milliseconds
  };
  // Sends a renewal for aKey through aSend unless one is still awaited; true when it sent.
  template <typename TSend> bool Renew(const std::string& aKey, TSend&& aSend);
  bool RenewalPending(const std::string& aKey);
  // How long a renewal is awaited: the span of its retransmissions (at least one tick).
  uint64_t RenewalSpan() const;
  // Builds an XOR-PEER-ADDRESS for an address text (raises for a text that is no address).
  static std::unique_ptr<TqynSTUN_Attribute> PeerAddress(const std::string& aPeerIP, uint16_t aPeerPort);
  void ResetAllocation();

  // Admits timer ticks into the component. Shared with the timer's handlers so that a tick
  // arriving while the component is destroyed finds it closed; the destructor waits for a tick in
  // progress on another thread.
  struct TTickGate {
    std::mutex Lock;
    std::condition_variable Idle;
    bool Closed = false;
    int Running = 0;
  };
  template <typename TProc> void ThroughGate(const std::shared_ptr<TTickGate>& aGate, TProc&& aProc);
  void CloseGate() noexcept;

  // Declaration order of the design: options, timer, record.
  std::unique_ptr<TqynTURNClient_Options> FTURNOptions;
  mutable std::mutex FTimerLock; // FAutoRefreshTimer and FTimerClosed
  std::unique_ptr<TqynTimer> FAutoRefreshTimer;
  bool FTimerClosed = false;
  mutable std::mutex FAllocationLock; // the FAllocation reference
  TqynTURNClient_AllocationRef FAllocation;
  std::mutex FRenewalLock;
  std::map<std::string, TRenewal> FRenewals; // keyed "allocation", "permission:IP", "channel:N"
  std::shared_ptr<TTickGate> FTickGate = std::make_shared<TTickGate>();
};

// The component as applications place it. A class derived from it that is not freed with delete
// calls ShutdownComponent first in its own destructor.
class TqynTURNClient : public TqynTURNClient_Base {
public:
  using TqynTURNClient_Base::TqynTURNClient_Base;
  ~TqynTURNClient() override { ShutdownComponent(); }
};
