#include "qynP2P_TURN_Server.h"

#include <algorithm>
#include <random>
#include <unordered_set>
#include <utility>

#include "qynId_Limits.h"
#include "qynMessages.h"
#include "qynUDP_Server.h"

namespace {

// A relay binding that could not be opened: the Allocate tries another port.
QYN_DECLARE_EXCEPTION(EqynTURNRelayBindFailed, Exception)

constexpr uint8_t KProtocolUDP = 17;

uint16_t FamilyOfText(const std::string& aIP) noexcept { return IdIPVersionOfText(aIP) == Id_IPv6 ? 2 : 1; }

bool IsTURNMethod(TqynStunMessageMethod aMethod) noexcept { return aMethod != stmmBinding && aMethod != stmmUnknown; }

template <class T> T* AttributeOf(TqynSTUN_Message* aMessage, TqynStunMessageAttribute aType) {
  return aMessage->Attributes().GetAttribute<T>(aType);
}

// The binding reference a UDP server socket object carries (null for other socket objects).
std::shared_ptr<TqynUDPBindingRef> BindingRefOf(const TqynSocketConnection_Base* aSocket) {
  const auto* indy = dynamic_cast<const TqynUDPSocket_Indy*>(aSocket);
  return indy ? indy->BindingRef() : nullptr;
}

// 200 for a success response, the ERROR-CODE of an error response (0 when it has none).
uint16_t ResponseCodeOf(const TqynSTUN_Message& aResponse) {
  if (aResponse.Header().MessageType_Class() != stmcResponseError) return 200;
  const auto* code = aResponse.Attributes().GetAttribute<TqynSTUN_Attribute_ERROR_CODE>(stmaError_Code);
  return code ? static_cast<uint16_t>(code->Code()) : 0;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Construction and lifetime

TqynTURNServer_Base::TqynTURNServer_Base(TqynComponent_Base* aOwner)
    : TqynSTUNServer_Base(aOwner), FTURNOptions(std::make_unique<TqynTURNServer_Options>()) {
  std::random_device rd;
  FRandomState = (static_cast<uint64_t>(rd()) << 32) ^ rd() ^ static_cast<uint64_t>(QynTickCount64());
  if (FRandomState == 0) FRandomState = 0x9E3779B97F4A7C15ull;
}

void TqynTURNServer_Base::ShutdownServer() noexcept {
  Destroying();
  // Nothing may call into this object once its parts start to go: the timer first, then every
  // listener (joined by the deactivation).
  StopAllocationsTimer();
  try {
    if (TqynUDPServer_Base* udp = UDPServerIfCreated()) udp->SetActive(false);
  } catch (...) {
  }
}

void TqynTURNServer_Base::ShutdownComponent() noexcept {
  ShutdownServer();
  TqynSTUNServer_Base::ShutdownComponent();
}

TqynTURNServer_Base::~TqynTURNServer_Base() {
  ShutdownServer();
  std::unique_ptr<TqynTURNAllocationsQueue> table;
  {
    std::lock_guard<std::mutex> lock(FAllocationsCreateLock);
    table = std::move(FAllocations);
    FAllocationsPtr.store(nullptr);
  }
  table.reset();
}

TqynTURNAllocationsQueue* TqynTURNServer_Base::GetAllocations() {
  if (TqynTURNAllocationsQueue* p = FAllocationsPtr.load()) return p;
  std::lock_guard<std::mutex> lock(FAllocationsCreateLock);
  if (!FAllocations) {
    auto table = std::make_unique<TqynTURNAllocationsQueue>();
    table->OnCreateAllocation = [this](TqynTURNAllocationsQueue* Sender, TqynSocketConnection* aSocket,
                                       TqynTURNAllocationItem* Allocation) { DoCreateAllocation(Sender, aSocket, Allocation); };
    table->OnDeleteAllocation = [this](TqynTURNAllocationsQueue* Sender, TqynSocketConnection* aSocket,
                                       TqynTURNAllocationItem* Allocation) { DoDeleteAllocation(Sender, aSocket, Allocation); };
    FAllocations = std::move(table);
    FAllocationsPtr.store(FAllocations.get());
  }
  return FAllocations.get();
}

void TqynTURNServer_Base::SetActive(bool aValue) {
  if (aValue && IsDestroying()) return;
  if (aValue) {
    // Every allocation holds a descriptor (its relay binding's socket).
    IdRaiseDescriptorLimit();
    try {
      ApplyPeerPolicy();
    } catch (const Exception& E) {
      DoSTUNException(E);
    }
  }
  TqynSTUNServer_Base::SetActive(aValue);
  if (aValue) StartAllocationsTimer();
  else StopAllocationsTimer();
}

void TqynTURNServer_Base::ApplyPeerPolicy() {
  const TqynTURNServer_PeerPolicy& policy = TURNOptions().PeerPolicy;
  if (!policy.Enabled) {
    FPeerFilter.store(nullptr);
    return;
  }
  try {
    FPeerFilter.store(std::make_shared<const TqynTURNPeerFilter>(policy));
  } catch (...) {
    FPeerFilter.store(std::make_shared<const TqynTURNPeerFilter>(TqynTURNPeerFilter::RefuseAll()));
    throw;
  }
}

bool TqynTURNServer_Base::IsPeerAllowed(const std::string& aIP) const noexcept {
  const std::shared_ptr<const TqynTURNPeerFilter> filter = FPeerFilter.load();
  return !filter || filter->IsAllowed(aIP);
}

void TqynTURNServer_Base::RequirePeerAllowed(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest, const std::string& aIP,
                                             TqynSTUN_Message* aResponse) {
  if (!IsPeerAllowed(aIP)) SendErrorResponse(aSocket, aRequest, stueForbidden, aResponse);
}

// ---------------------------------------------------------------------------------------------
// Allocation table events, relay bindings, expiry

void TqynTURNServer_Base::DoCreateAllocation(TqynTURNAllocationsQueue* /*Sender*/, TqynSocketConnection* aSocket,
                                             TqynTURNAllocationItem* Allocation) {
  std::shared_ptr<TqynUDPBindingRef> ref;
  try {
    ref = AddRelayBinding(Allocation->RelayIP(), Allocation->RelayPort(),
                          RS_TURNRelayBindingPrefix + std::to_string(Allocation->RelayPort()));
  } catch (const Exception& E) {
    throw EqynTURNRelayBindFailed(E.Message());
  } catch (const std::exception& E) {
    throw EqynTURNRelayBindFailed(E.what());
  }
  Allocation->SetRelayBinding(std::move(ref));
  Allocation->SetRelayBound(true);
  try {
    if (OnTURNCreateAllocation) OnTURNCreateAllocation(this, aSocket, Allocation);
  } catch (...) {
    // The table takes the item out again; its binding goes with it.
    Allocation->SetRelayBound(false);
    RemoveRelayBinding(Allocation->RelayIP(), Allocation->RelayPort());
    throw;
  }
}

void TqynTURNServer_Base::DoDeleteAllocation(TqynTURNAllocationsQueue* /*Sender*/, TqynSocketConnection* aSocket,
                                             TqynTURNAllocationItem* Allocation) {
  struct TRemoveBinding {
    TqynTURNServer_Base& Server;
    TqynTURNAllocationItem* Item;
    ~TRemoveBinding() {
      if (!Item->RelayBound()) return;
      Item->SetRelayBound(false);
      try {
        Server.RemoveRelayBinding(Item->RelayIP(), Item->RelayPort());
      } catch (...) {
      }
    }
  } remove{*this, Allocation};
  if (OnTURNDeleteAllocation) OnTURNDeleteAllocation(this, aSocket, Allocation);
}

void TqynTURNServer_Base::StartAllocationsTimer() {
  std::lock_guard<std::mutex> lock(FTimerLock);
  if (IsDestroying()) return;
  if (!FAllocationsTimer) {
    auto* timer = new TqynTimer(RS_TURNAllocationsTimerName);
    timer->SetNotifyEvents(NotifyEvents());
    timer->OnTimer = [this](TqynTimer* Sender) { DoAllocationsTimer(Sender); };
    timer->OnException = [this](TqynTimer* Sender, const Exception& E) { DoAllocationsTimerException(Sender, E); };
    FAllocationsTimer = timer;
  }
  FAllocationsTimer->SetInterval(60000);
  if (!FAllocationsTimer->Enabled()) FAllocationsTimer->SetEnabled(true);
}

void TqynTURNServer_Base::StopAllocationsTimer() {
  TqynIdThread* timer;
  {
    std::lock_guard<std::mutex> lock(FTimerLock);
    timer = FAllocationsTimer;
    FAllocationsTimer = nullptr;
  }
  FreeThread(timer);
}

void TqynTURNServer_Base::DoAllocationsTimer(TqynTimer* /*Sender*/) {
  if (IsDestroying()) return;
  std::unique_ptr<Exception> failure;
  const auto taken = GetAllocations()->TakeExpired(QynNow(), [&](TqynTURNAllocationItem* aItem) {
    // A failing handler must not keep the other items (and their ports) from being released.
    try {
      if (OnTURNDeleteAllocation) OnTURNDeleteAllocation(this, nullptr, aItem);
    } catch (const Exception& E) {
      if (!failure) failure = E.Clone();
    } catch (const std::exception& E) {
      if (!failure) failure = std::make_unique<Exception>(E.what());
    }
  });
  ReleaseRelays(taken);
  if (failure) throw *failure;
}

void TqynTURNServer_Base::ReleaseRelays(const std::vector<TqynTURNAllocationRef>& aAllocations) {
  TqynTURNAllocationsQueue* table = GetAllocations();
  for (const auto& a : aAllocations) {
    if (a->RelayBound()) {
      a->SetRelayBound(false);
      try {
        RemoveRelayBinding(a->RelayIP(), a->RelayPort());
      } catch (...) {
      }
    }
    table->RelayReleased(a->RelayIP(), a->RelayPort());
  }
}

void TqynTURNServer_Base::DoAllocationsTimerException(TqynTimer* /*Sender*/, const Exception& E) {
  if (IsDestroying()) return;
  DoSTUNException(E);
}

std::shared_ptr<TqynUDPBindingRef> TqynTURNServer_Base::AddRelayBinding(const std::string& aIPAddress, TIdPort aPort,
                                                                        const std::string& aName) {
  TqynUDPServer_Base* udp = GetUDPServer();
  TIdSocketHandle* binding = udp->AddRelayBinding(aIPAddress, aPort, aName);
  return udp->BindingRefOf(binding);
}

void TqynTURNServer_Base::RemoveRelayBinding(const std::string& aIPAddress, TIdPort aPort) {
  if (TqynUDPServer_Base* udp = UDPServerIfCreated()) udp->RemoveBinding(aIPAddress, aPort);
}

// ---------------------------------------------------------------------------------------------
// Attribute builders

void TqynTURNServer_Base::AddXORRelayedAddress(const std::string& aIP, TIdPort aPort, TqynSTUN_Message* aResponse,
                                               TqynSTUN_Message* aRequest) {
  auto* a = aResponse->Attributes().Add<TqynSTUN_Attribute_XOR_RELAYED_ADDRESS>();
  a->SetAddress(aIP);
  a->SetPort(aPort);
  a->SetFamily(FamilyOfText(aIP));
  a->SetTransactionId(aRequest->Header().TransactionId());
}

uint32_t TqynTURNServer_Base::AddLifetime(TqynSTUN_Message* /*aRequest*/, TqynSTUN_Message* aResponse, uint32_t aLifetime) {
  aResponse->Attributes().Add<TqynSTUN_Attribute_LIFETIME>()->SetLifetime(aLifetime);
  return aLifetime;
}

void TqynTURNServer_Base::AddAllocateAttributes(TqynSTUN_Message* /*aRequest*/, TqynSTUN_Message* /*aResponse*/) {}

void TqynTURNServer_Base::AddXORPeerAddress(TqynSTUN_Message* aMessage, uint16_t aFamily, const std::string& aIP,
                                            TIdPort aPort) {
  auto* a = aMessage->Attributes().Add<TqynSTUN_Attribute_XOR_PEER_ADDRESS>();
  a->SetAddress(aIP);
  a->SetPort(aPort);
  a->SetFamily(aFamily);
  a->SetTransactionId(aMessage->Header().TransactionId());
}

// ---------------------------------------------------------------------------------------------
// Dispatch and error responses

void TqynTURNServer_Base::ProcessDatagram(TqynUDPSocket* aSocket, const TqynBytes& Bytes) {
  if (!aSocket) return;
  TqynTURNAllocationsQueue* table = GetAllocations();
  const std::string localIP = aSocket->LocalIP();
  const TIdPort localPort = aSocket->LocalPort();
  if (TqynTURNAllocationRef relayed = table->GetAllocationByRelayedAddress(localIP, localPort)) {
    DoPeerData(aSocket, Bytes, relayed);
    return;
  }
  // A relay binding whose allocation has just gone: what still arrives there is a peer's.
  if (table->IsRelayReleasing(localIP, localPort)) return;
  if (Bytes.empty()) return;
  if (IsServerChannelData(Bytes)) {
    DoChannelData(aSocket, Bytes);
    return;
  }
  if (Bytes[0] <= 0x03) TqynSTUNServer_Base::ProcessDatagram(aSocket, Bytes);
}

void TqynTURNServer_Base::ProcessRequest(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest, TqynSTUN_Message* aResponse) {
  const TqynStunMessageMethod method = aRequest->Header().MessageType_Method();
  if (!IsTURNMethod(method)) {
    TqynSTUNServer_Base::ProcessRequest(aSocket, aRequest, aResponse);
    return;
  }
  // Every TURN response carries FINGERPRINT. Its MESSAGE-INTEGRITY: a request whose integrity
  // verified has had its credentials put into the response already (so error responses of the
  // checks below are signed too); an unsigned request gets an unsigned response.
  aResponse->SetFingerprint(stfsFingerprintValid);
  // The gate of the STUN server, with the TURN options (a user without password is refused there).
  if (!CheckAuthentication(aSocket, aRequest, TURNOptions().Authentication, aResponse)) return;
  switch (method) {
  case stmmAllocate: DoAllocate(aSocket, aRequest, aResponse); break;
  case stmmRefresh: DoRefresh(aSocket, aRequest, aResponse); break;
  case stmmCreatePermission: DoCreatePermission(aSocket, aRequest, aResponse); break;
  case stmmChannelBind: DoChannelBind(aSocket, aRequest, aResponse); break;
  default: break; // no response
  }
}

void TqynTURNServer_Base::SendResponse(TqynUDPSocket* aSocket, TqynSTUN_Message* aResponse) {
  TqynSTUNServer_Base::SendResponse(aSocket, aResponse);
  FCounters.CountResponse(aResponse->Header().MessageType_Method(), ResponseCodeOf(*aResponse));
}

void TqynTURNServer_Base::DoSTUNException(const Exception& E) {
  FCounters.CountProcessingError();
  TqynSTUNServer_Base::DoSTUNException(E);
}

void TqynTURNServer_Base::RefuseWrongIntegrity(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest, TqynSTUN_Message* aResponse) {
  if (!IsTURNMethod(aRequest->Header().MessageType_Method())) {
    TqynSTUNServer_Base::RefuseWrongIntegrity(aSocket, aRequest, aResponse);
    return;
  }
  SendWrongIntegrityChallenge(aSocket, aRequest, TURNOptions().Authentication, aResponse);
}

void TqynTURNServer_Base::SendErrorResponse(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest, TqynStunError aError,
                                            TqynSTUN_Message* aResponse) {
  if (IsTURNMethod(aRequest->Header().MessageType_Method())) aResponse->SetFingerprint(stfsFingerprintValid);
  TqynSTUNServer_Base::SendErrorResponse(aSocket, aRequest, aError, aResponse);
  throw TqynSTUNExceptionSilent(StunErrorReason(aError));
}

TqynTURNAllocationRef TqynTURNServer_Base::RequireAllocation(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest,
                                                             TqynSTUN_Message* aResponse) {
  TqynTURNAllocationRef allocation = GetAllocations()->GetAllocation(aSocket);
  if (!allocation) SendErrorResponse(aSocket, aRequest, stueAllocationMismatch, aResponse);
  // A server restart made new binding references: the client's requests bring the current one.
  if (auto ref = BindingRefOf(aSocket); ref && ref != allocation->ClientBinding()) allocation->SetClientBinding(std::move(ref));
  return allocation;
}

// ---------------------------------------------------------------------------------------------
// Allocate and Refresh

std::string TqynTURNServer_Base::RelayIPFor(TqynUDPSocket* aSocket) const {
  const std::string& configured = TURNOptions().Allocation.RelayIP;
  if (configured.empty()) return aSocket->LocalIP();
  if (IdIPVersionOfText(configured) == Id_IPv6) {
    const std::string canonical = GStack().MakeCanonicalIPv6Address(configured);
    if (!canonical.empty()) return canonical;
  }
  return configured;
}

uint16_t TqynTURNServer_Base::RelayFamilyFor(TqynUDPSocket* aSocket) const { return FamilyOfText(RelayIPFor(aSocket)); }

void TqynTURNServer_Base::ValidateAllocate(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest, const std::string& aUsername,
                                           TqynSTUN_Message* aResponse) {
  if (GetAllocations()->GetAllocation(aSocket)) SendErrorResponse(aSocket, aRequest, stueAllocationMismatch, aResponse);

  const auto* transport = AttributeOf<TqynSTUN_Attribute_REQUESTED_TRANSPORT>(aRequest, stmaRequested_Transport);
  if (!transport) SendErrorResponse(aSocket, aRequest, stueInvalidRequest, aResponse);
  if (transport->Protocol() != KProtocolUDP) SendErrorResponse(aSocket, aRequest, stueUnsupportedTransportProtocol, aResponse);

  const auto* token = aRequest->Attributes().GetAttribute(stmaReservation_Token);
  const auto* evenPort = AttributeOf<TqynSTUN_Attribute_EVEN_PORT>(aRequest, stmaEven_Port);
  const auto* requestedFamily = AttributeOf<TqynSTUN_Attribute_REQUESTED_ADDRESS_FAMILY>(aRequest, stmaRequested_Address_Family);
  const auto* additionalFamily =
      AttributeOf<TqynSTUN_Attribute_ADDITIONAL_ADDRESS_FAMILY>(aRequest, stmaAdditional_Address_Family);
  if (token && (evenPort || requestedFamily || additionalFamily)) SendErrorResponse(aSocket, aRequest, stueInvalidRequest, aResponse);
  // The family this binding relays for is granted; only another one is refused.
  if (requestedFamily && requestedFamily->Family() != RelayFamilyFor(aSocket))
    SendErrorResponse(aSocket, aRequest, stueAddressFamilyNotSupported, aResponse);
  if (evenPort && evenPort->Even() && additionalFamily) SendErrorResponse(aSocket, aRequest, stueInvalidRequest, aResponse);
  if (additionalFamily && additionalFamily->Family() == 1) SendErrorResponse(aSocket, aRequest, stueInvalidRequest, aResponse);
  if (GetAllocations()->UserReachQuota(aUsername, TURNOptions().Allocation.MaxUserAllocations))
    SendErrorResponse(aSocket, aRequest, stueAllocationQuotaReached, aResponse);
  // Allocates are processed one after another per listening binding, so this bound is exact with
  // one listening binding and exceeded by at most one per further binding.
  if (const int most = TURNOptions().Allocation.MaxAllocations; most > 0 && GetAllocations()->Count() >= most)
    SendErrorResponse(aSocket, aRequest, stueInsufficientCapacity, aResponse);
}

uint16_t TqynTURNServer_Base::FindRelayPort(const std::vector<uint16_t>& aTried) {
  const uint32_t minPort = TURNOptions().Allocation.MinPort;
  const uint32_t maxPort = TURNOptions().Allocation.MaxPort;
  if (minPort >= maxPort) return 0;
  const uint32_t span = maxPort - minPort;
  TqynTURNAllocationsQueue* table = GetAllocations();
  for (uint32_t attempt = 1; attempt <= span; ++attempt) {
    uint64_t r;
    {
      std::lock_guard<std::mutex> lock(FRandomLock);
      // xorshift64*
      FRandomState ^= FRandomState >> 12;
      FRandomState ^= FRandomState << 25;
      FRandomState ^= FRandomState >> 27;
      r = FRandomState * 0x2545F4914F6CDD1Dull;
    }
    const auto port = static_cast<uint16_t>(minPort + (r >> 32) % span);
    const bool tried = std::find(aTried.begin(), aTried.end(), port) != aTried.end();
    if (!tried && table->IsRelayPortAvailable(port)) return port;
    if (aTried.empty()) continue;
    // After a failed bind the draws may keep hitting the tried ports of a small range: walk the
    // range once from this draw instead.
    for (uint32_t step = 1; step < span; ++step) {
      const auto next = static_cast<uint16_t>(minPort + (port - minPort + step) % span);
      if (std::find(aTried.begin(), aTried.end(), next) == aTried.end() && table->IsRelayPortAvailable(next)) return next;
    }
    return 0;
  }
  return 0;
}

TqynTURNAllocationRef TqynTURNServer_Base::NewAllocation(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest,
                                                         TqynSTUN_Message* aResponse, const std::string& aTransactionId,
                                                         const std::string& aUsername) {
  const std::string relayIP = RelayIPFor(aSocket);
  std::vector<uint16_t> tried;
  for (int attempt = 0; attempt < RelayBindAttempts; ++attempt) {
    const uint16_t port = FindRelayPort(tried);
    if (port == 0) break;
    bool reject = false;
    if (OnTURNBeforeAllocate) OnTURNBeforeAllocate(this, aSocket, relayIP, port, reject);
    if (reject) SendErrorResponse(aSocket, aRequest, stueAllocationMismatch, aResponse);
    try {
      return GetAllocations()->AddAllocation(aSocket, relayIP, port, TURNOptions().Allocation.DefaultLifeTime, aTransactionId,
                                             aUsername);
    } catch (const EqynTURNRelayBindFailed&) {
      // Taken out of the table again; another port may bind.
      tried.push_back(port);
    }
  }
  // No port at all: 437 as before; ports that would not bind: the server is short of them.
  SendErrorResponse(aSocket, aRequest, tried.empty() ? stueAllocationMismatch : stueInsufficientCapacity, aResponse);
  return nullptr; // not reached
}

void TqynTURNServer_Base::DoAllocate(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest, TqynSTUN_Message* aResponse) {
  const std::string transactionId = aRequest->Header().TransactionIdString();
  if (GetAllocations()->IsRequestProcessed(transactionId)) return; // a retransmission: no answer

  const auto* usernameAttr = AttributeOf<TqynSTUN_Attribute_USERNAME>(aRequest, stmaUsername);
  const auto* realmAttr = AttributeOf<TqynSTUN_Attribute_REALM>(aRequest, stmaRealm);
  const std::string username = usernameAttr ? usernameAttr->Username() : std::string();
  const std::string realm = realmAttr ? realmAttr->Realm() : std::string();

  ValidateAllocate(aSocket, aRequest, username, aResponse);
  const TqynTURNAllocationRef allocation = NewAllocation(aSocket, aRequest, aResponse, transactionId, username);
  FCounters.CountAllocationCreated();

  const TqynTURNServer_Allocation& options = TURNOptions().Allocation;
  uint32_t lifetime = options.DefaultLifeTime;
  if (const auto* requested = AttributeOf<TqynSTUN_Attribute_LIFETIME>(aRequest, stmaLifetime))
    lifetime = std::min(lifetime, requested->Lifetime());

  AddXORRelayedAddress(allocation->RelayIP(), allocation->RelayPort(), aResponse, aRequest);
  allocation->SetLifetime(static_cast<int>(std::min<uint32_t>(AddLifetime(aRequest, aResponse, lifetime), 0x7FFFFFFF)));
  AddAllocateAttributes(aRequest, aResponse);
  AddMappedAddress(aSocket, aRequest, aResponse);
  if (TURNOptions().Software) AddSoftware(aResponse);
  SendSuccessResponse(aSocket, aRequest, aResponse);
  const bool verified = aRequest->MessageIntegrity() == stisMessageIntegrityValid;
  allocation->SetCredentials(username, realm, verified ? aResponse->Password() : std::string());
}

void TqynTURNServer_Base::ValidateRefresh(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest,
                                          TqynTURNAllocationItem* aAllocation, TqynSTUN_Message* aResponse) {
  const auto* family = AttributeOf<TqynSTUN_Attribute_REQUESTED_ADDRESS_FAMILY>(aRequest, stmaRequested_Address_Family);
  if (family && family->Family() != aAllocation->Family())
    SendErrorResponse(aSocket, aRequest, stuePeerAddressFamilyMismatch, aResponse);
}

void TqynTURNServer_Base::DoRefresh(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest, TqynSTUN_Message* aResponse) {
  const TqynTURNAllocationRef allocation = RequireAllocation(aSocket, aRequest, aResponse);
  ValidateRefresh(aSocket, aRequest, allocation.get(), aResponse);

  const TqynTURNServer_Allocation& options = TURNOptions().Allocation;
  uint32_t requested = options.DefaultLifeTime;
  if (const auto* lifetime = AttributeOf<TqynSTUN_Attribute_LIFETIME>(aRequest, stmaLifetime)) requested = lifetime->Lifetime();

  uint32_t granted = 0;
  if (requested == 0) {
    if (!GetAllocations()->DeleteAllocation(aSocket, allocation))
      SendErrorResponse(aSocket, aRequest, stueAllocationMismatch, aResponse);
  } else {
    // The lifetime granted is the one reported, and the expiry restarts with it.
    granted = std::max(options.DefaultLifeTime, std::min(requested, options.MaxLifeTime));
    allocation->SetLifetime(static_cast<int>(std::min<uint32_t>(granted, 0x7FFFFFFF)));
  }
  AddLifetime(aRequest, aResponse, granted);
  if (TURNOptions().Software) AddSoftware(aResponse);
  SendSuccessResponse(aSocket, aRequest, aResponse);
}

// ---------------------------------------------------------------------------------------------
// CreatePermission and ChannelBind

void TqynTURNServer_Base::ValidateCreatePermission(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest,
                                                   std::vector<std::string>& aAddresses,
                                                   TqynTURNAllocationItem* aAllocation, TqynSTUN_Message* aResponse) {
  aAddresses.clear();
  for (const auto& a : aRequest->Attributes()) {
    if (a->AttributeType() != stmaXOR_Peer_Address) continue;
    if (a->Family() != aAllocation->Family()) SendErrorResponse(aSocket, aRequest, stuePeerAddressFamilyMismatch, aResponse);
    if (a->Address().empty()) SendErrorResponse(aSocket, aRequest, stueInvalidRequest, aResponse);
    aAddresses.push_back(a->Address());
  }
  if (aAddresses.empty()) SendErrorResponse(aSocket, aRequest, stueInvalidRequest, aResponse);
  for (const std::string& address : aAddresses) RequirePeerAllowed(aSocket, aRequest, address, aResponse);
  // Bounded per allocation: a client cannot make the server hold any number of peers.
  std::unordered_set<std::string> added;
  for (const std::string& address : aAddresses)
    if (!aAllocation->Permissions()->GetPermission(address)) added.insert(address);
  if (aAllocation->PermissionCount() + static_cast<int>(added.size()) > MaxPermissions)
    SendErrorResponse(aSocket, aRequest, stueInsufficientCapacity, aResponse);
}

void TqynTURNServer_Base::DoCreatePermission(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest, TqynSTUN_Message* aResponse) {
  const TqynTURNAllocationRef allocation = RequireAllocation(aSocket, aRequest, aResponse);
  std::vector<std::string> addresses;
  ValidateCreatePermission(aSocket, aRequest, addresses, allocation.get(), aResponse);
  const int held = allocation->PermissionCount();
  for (const std::string& address : addresses) allocation->CreateUpdatePermission(address);
  FCounters.CountPermissionsInstalled(allocation->PermissionCount() - held);
  if (TURNOptions().Software) AddSoftware(aResponse);
  SendSuccessResponse(aSocket, aRequest, aResponse);
}

void TqynTURNServer_Base::ValidateChannelBind(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest, uint16_t& aChannelNumber,
                                              uint16_t& aPeerPort, std::string& aPeerIP, TqynTURNAllocationItem* aAllocation,
                                              TqynSTUN_Message* aResponse) {
  const auto* peer = AttributeOf<TqynSTUN_Attribute_XOR_PEER_ADDRESS>(aRequest, stmaXOR_Peer_Address);
  if (!peer || peer->Address().empty()) SendErrorResponse(aSocket, aRequest, stueInvalidRequest, aResponse);
  aPeerIP = peer->Address();
  aPeerPort = peer->Port();
  if (peer->Family() != aAllocation->Family()) SendErrorResponse(aSocket, aRequest, stuePeerAddressFamilyMismatch, aResponse);
  const auto* number = AttributeOf<TqynSTUN_Attribute_CHANNEL_NUMBER>(aRequest, stmaChannel_Number);
  if (!number) SendErrorResponse(aSocket, aRequest, stueInvalidRequest, aResponse);
  aChannelNumber = number->Channel();
  const TqynTURNChannels* channels = aAllocation->Channels();
  if (aChannelNumber < channels->MinChannelID() || aChannelNumber > channels->MaxChannelID())
    SendErrorResponse(aSocket, aRequest, stueInvalidRequest, aResponse);
  if (const TqynTURNChannelRef bound = aAllocation->ChannelOfNumber(aChannelNumber);
      bound && (bound->PeerIP() != aPeerIP || bound->PeerPort() != aPeerPort))
    SendErrorResponse(aSocket, aRequest, stueInvalidRequest, aResponse);
  if (const TqynTURNChannelRef ofPeer = aAllocation->ChannelOfPeer(aPeerIP, aPeerPort); ofPeer && ofPeer->ChannelID() != aChannelNumber)
    SendErrorResponse(aSocket, aRequest, stueInvalidRequest, aResponse);
  RequirePeerAllowed(aSocket, aRequest, aPeerIP, aResponse);
  if (!aAllocation->Permissions()->GetPermission(aPeerIP) && aAllocation->PermissionCount() >= MaxPermissions)
    SendErrorResponse(aSocket, aRequest, stueInsufficientCapacity, aResponse);
}

void TqynTURNServer_Base::DoChannelBind(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest, TqynSTUN_Message* aResponse) {
  const TqynTURNAllocationRef allocation = RequireAllocation(aSocket, aRequest, aResponse);
  uint16_t number = 0;
  uint16_t peerPort = 0;
  std::string peerIP;
  ValidateChannelBind(aSocket, aRequest, number, peerPort, peerIP, allocation.get(), aResponse);
  const int held = allocation->PermissionCount();
  if (!allocation->ChannelOfNumber(number)) FCounters.CountChannelBound();
  allocation->CreateUpdateChannel(peerIP, peerPort, number);
  allocation->CreateUpdatePermission(peerIP);
  FCounters.CountPermissionsInstalled(allocation->PermissionCount() - held);
  if (TURNOptions().Software) AddSoftware(aResponse);
  SendSuccessResponse(aSocket, aRequest, aResponse);
}

// ---------------------------------------------------------------------------------------------
// Data path

void TqynTURNServer_Base::DoTURNMessageDiscarded(TqynSocketConnection* aSocket, TqynStunMessageMethod aMethod,
                                                 const std::string& aReason, TqynSTUN_Message* aMessage) {
  FCounters.CountDiscard(aMethod, aReason);
  if (OnTURNMessageDiscarded) OnTURNMessageDiscarded(this, aSocket, aMethod, aMessage, aReason);
  throw TqynSTUNExceptionSilent(aReason);
}

void TqynTURNServer_Base::DoTURNChannelDataDiscarded(TqynSocketConnection* aSocket, TqynTURNChannelData* aChannelData,
                                                     const std::string& aReason) {
  FCounters.CountDiscard(stmmUnknown, aReason);
  if (OnTURNChannelDataDiscarded) OnTURNChannelDataDiscarded(this, aSocket, aChannelData, aReason);
  throw TqynSTUNExceptionSilent(aReason);
}

void TqynTURNServer_Base::WriteRelayData(const std::shared_ptr<TqynUDPBindingRef>& aBinding, const std::string& aSourceIP,
                                         TIdPort aSourcePort, const std::string& aIP, TIdPort aPort, const TqynBytes& aBytes) {
  TqynUDPServer_Base* udp = UDPServerIfCreated();
  if (!udp) throw EqynUDPServerException(RS_UDPServerNoBinding);
  udp->WriteDataTo(aIP, aPort, aSourceIP, aSourcePort, aBytes, aBinding.get());
}

void TqynTURNServer_Base::WriteToClient(TqynTURNAllocationItem* aAllocation, const TqynBytes& aBytes) {
  WriteRelayData(aAllocation->ClientBinding(), aAllocation->LocalIP(), aAllocation->LocalPort(), aAllocation->ReflexiveIP(),
                 aAllocation->ReflexivePort(), aBytes);
}

void TqynTURNServer_Base::WriteToPeer(TqynTURNAllocationItem* aAllocation, const std::string& aIP, TIdPort aPort,
                                      const TqynBytes& aBytes) {
  WriteRelayData(aAllocation->RelayBinding(), aAllocation->RelayIP(), aAllocation->RelayPort(), aIP, aPort, aBytes);
  FCounters.CountRelayed(trdClientToPeer, aBytes.size());
}

void TqynTURNServer_Base::DoPeerData(TqynUDPSocket* aSocket, const TqynBytes& aBytes, const TqynTURNAllocationRef& aAllocation) {
  if (auto ref = BindingRefOf(aSocket); ref && ref != aAllocation->RelayBinding()) aAllocation->SetRelayBinding(std::move(ref));
  DeliverToClient(aSocket, aAllocation.get(), aSocket->IP(), aSocket->Port(), aSocket->IPVersion(), aBytes);
}

void TqynTURNServer_Base::DeliverToClient(TqynUDPSocket* aSocket, TqynTURNAllocationItem* aTarget, const std::string& aPeerIP,
                                          TIdPort aPeerPort, TIdIPVersion aIPVersion, const TqynBytes& aBytes) {
  if (!IsPeerAllowed(aPeerIP)) DoTURNMessageDiscarded(aSocket, stmmData, QynFormat(RS_TURNPeerRefused, aPeerIP), nullptr);
  if (!aTarget->IsValidPermission(aPeerIP))
    DoTURNMessageDiscarded(aSocket, stmmData, QynFormat(RS_TURNInvalidPermission, aPeerIP), nullptr);
  if (const TqynTURNChannelRef channel = aTarget->ChannelOfPeer(aPeerIP, aPeerPort); channel && QynNow() <= channel->Expires()) {
    SendClientChannelData(aSocket, aTarget, *channel, aBytes);
    FCounters.CountRelayed(trdPeerToClient, aBytes.size());
    return;
  }
  SendDataIndication(aSocket, aPeerIP, aBytes, aTarget, aIPVersion, aPeerPort);
  FCounters.CountRelayed(trdPeerToClient, aBytes.size());
}

void TqynTURNServer_Base::SendDataIndication(TqynUDPSocket* /*aSocket*/, const std::string& aPeerIP, const TqynBytes& aData,
                                             TqynTURNAllocationItem* aTargetAllocation, TIdIPVersion aIPVersion,
                                             TIdPort aPeerPort) {
  TqynSTUN_Message indication;
  indication.SetMessageType(stmtServerResponse);
  indication.Header().SetMessageType_Method(stmmData);
  indication.Header().SetMessageType_Class(stmcIndication);
  indication.Header().SetMagicCookie(QYN_STUN_MAGIC_COOKIE);
  indication.Header().SetTransactionId(NewTransactionId());
  AddXORPeerAddress(&indication, aIPVersion == Id_IPv6 ? 2 : 1, aPeerIP, aPeerPort);
  indication.Attributes().Add<TqynSTUN_Attribute_DATA>()->SetData(aData);
  const uint32_t length = indication.ComputeMessageLength();
  if (length > 0xFFFF) throw Exception(QynFormat(RS_MessageTooLong, static_cast<int>(length)));
  indication.Header().SetMessageLength(static_cast<uint16_t>(length));
  WriteToClient(aTargetAllocation, indication.Write());
}

void TqynTURNServer_Base::SendClientChannelData(TqynUDPSocket* /*aSocket*/, TqynTURNAllocationItem* aAllocation,
                                                const TqynTURNChannel& aChannel, const TqynBytes& aData) {
  TqynTURNChannelData data;
  data.SetChannelID(aChannel.ChannelID());
  data.SetData(aData);
  WriteToClient(aAllocation, data.Write());
}

void TqynTURNServer_Base::ValidateSendIndication(TqynUDPSocket* aSocket, TqynSTUN_Message* aIndication,
                                                 TqynSTUN_Attribute_DATA*& aData, TqynSTUN_Attribute_XOR_PEER_ADDRESS*& aPeer,
                                                 TqynTURNAllocationItem* aAllocation) {
  aPeer = AttributeOf<TqynSTUN_Attribute_XOR_PEER_ADDRESS>(aIndication, stmaXOR_Peer_Address);
  if (!aPeer) DoTURNMessageDiscarded(aSocket, stmmSend, QynFormat(RS_AttributeNotFound, RS_TURNAttributeXORPeerAddress), aIndication);
  aData = AttributeOf<TqynSTUN_Attribute_DATA>(aIndication, stmaData);
  if (!aData) DoTURNMessageDiscarded(aSocket, stmmSend, QynFormat(RS_AttributeNotFound, RS_TURNAttributeData), aIndication);
  if (aIndication->Attributes().GetAttribute(stmaDont_Fragment)) throw TqynSTUNExceptionSilent(RS_TURNUnknownAttributes);
  if (!IsPeerAllowed(aPeer->Address()))
    DoTURNMessageDiscarded(aSocket, stmmSend, QynFormat(RS_TURNPeerRefused, aPeer->Address()), aIndication);
  if (!aAllocation->IsValidPermission(aPeer->Address()))
    DoTURNMessageDiscarded(aSocket, stmmSend, QynFormat(RS_TURNInvalidPermission, aPeer->Address()), aIndication);
}

void TqynTURNServer_Base::ProcessIndication(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest, TqynSTUN_Message* /*aResponse*/) {
  TqynTURNAllocationsQueue* table = GetAllocations();
  const TqynTURNAllocationRef allocation = table->GetAllocation(aSocket);
  if (!allocation) DoTURNMessageDiscarded(aSocket, stmmData, RS_TURNAllocationNotExists, nullptr);
  TqynSTUN_Attribute_DATA* data = nullptr;
  TqynSTUN_Attribute_XOR_PEER_ADDRESS* peer = nullptr;
  ValidateSendIndication(aSocket, aRequest, data, peer, allocation.get());
  if (const TqynTURNAllocationRef target = table->GetAllocationByRelayedAddress(peer->Address(), peer->Port())) {
    // Another allocation of this server: delivered as the network would, without the network.
    DeliverToClient(aSocket, target.get(), allocation->RelayIP(), allocation->RelayPort(),
                    IdIPVersionOfText(allocation->RelayIP()), data->Data());
    return;
  }
  WriteToPeer(allocation.get(), peer->Address(), peer->Port(), data->Data());
}

void TqynTURNServer_Base::DoChannelData(TqynUDPSocket* aSocket, const TqynBytes& aBytes) {
  TqynTURNAllocationsQueue* table = GetAllocations();
  const TqynTURNAllocationRef allocation = table->GetAllocation(aSocket);
  if (!allocation) DoTURNMessageDiscarded(aSocket, stmmData, RS_TURNAllocationNotExists, nullptr);
  TqynTURNChannelData channelData;
  if (!channelData.AllDataReceived(aBytes)) DoTURNChannelDataDiscarded(aSocket, &channelData, RS_TURNDataNotFullyReceived);
  channelData.Read(aBytes);
  const uint16_t number = channelData.ChannelID();
  const TqynTURNChannelRef channel = allocation->ChannelOfNumber(number);
  if (!channel) DoTURNChannelDataDiscarded(aSocket, &channelData, QynFormat(RS_TURNChannelNotExists, static_cast<int>(number)));
  if (QynNow() > channel->Expires()) {
    allocation->DeleteChannel(number);
    DoTURNChannelDataDiscarded(aSocket, &channelData, QynFormat(RS_TURNChannelExpired, static_cast<int>(number)));
  }
  if (!IsPeerAllowed(channel->PeerIP()))
    DoTURNChannelDataDiscarded(aSocket, &channelData, QynFormat(RS_TURNPeerRefused, channel->PeerIP()));
  if (const TqynTURNAllocationRef target = table->GetAllocationByRelayedAddress(channel->PeerIP(), channel->PeerPort())) {
    DeliverToClient(aSocket, target.get(), allocation->RelayIP(), allocation->RelayPort(),
                    IdIPVersionOfText(allocation->RelayIP()), channelData.Data());
    return;
  }
  WriteToPeer(allocation.get(), channel->PeerIP(), channel->PeerPort(), channelData.Data());
}
