#include "qynP2P_STUN_Server.h"

#include <algorithm>
#include <utility>

#include "qynUDP_Server.h"

// ---------------------------------------------------------------------------------------------
// Error responses

namespace {

struct TStunErrorText {
  uint16_t Code;
  const char* Reason;
};

constexpr TStunErrorText kStunErrors[] = {
    {400, RS_StunErrorInvalidRequest},
    {401, RS_StunErrorUnauthorized},
    {420, RS_StunErrorUnknownAttribute},
    {438, RS_StunErrorStaleNonce},
    {300, RS_StunErrorTryAlternate},
    {403, RS_StunErrorForbidden},
    {437, RS_StunErrorAllocationMismatch},
    {440, RS_StunErrorAddressFamilyNotSupported},
    {441, RS_StunErrorWrongCredentials},
    {442, RS_StunErrorUnsupportedTransportProtocol},
    {443, RS_StunErrorPeerAddressFamilyMismatch},
    {486, RS_StunErrorAllocationQuotaReached},
    {508, RS_StunErrorInsufficientCapacity},
};

const TStunErrorText& StunErrorText(TqynStunError aError) noexcept {
  const auto i = static_cast<size_t>(aError);
  return i < std::size(kStunErrors) ? kStunErrors[i] : kStunErrors[0];
}

// STUN family code of an address family.
uint16_t FamilyOf(TIdIPVersion aVersion) noexcept { return aVersion == Id_IPv6 ? 2 : 1; }
uint16_t FamilyOf(TwsIPVersion aVersion) noexcept { return aVersion == ipV6 ? 2 : 1; }

// An empty text or one of the wildcard addresses: not an address a client can reach.
bool IsUnspecifiedAddress(const std::string& aIP) noexcept {
  switch (aIP.size()) {
  case 0: return true;
  case 2: return aIP == "::";
  case 7: return aIP == "0.0.0.0";
  case 15: return aIP == "0:0:0:0:0:0:0:0";
  default: return false;
  }
}

template <class T>
T* AddAddressAttribute(TqynSTUN_Message* aMessage, const std::string& aIP, TIdPort aPort, uint16_t aFamily) {
  T* a = aMessage->Attributes().Add<T>();
  a->SetAddress(aIP);
  a->SetPort(aPort);
  a->SetFamily(aFamily);
  return a;
}

// The request's MESSAGE-INTEGRITY verified with a password the application gave.
bool IsVerified(const TqynSTUN_Message& aRequest) noexcept {
  return aRequest.MessageIntegrity() == stisMessageIntegrityValid && aRequest.MessageIntegrityKeyGiven();
}

} // namespace

uint16_t StunErrorCode(TqynStunError aError) noexcept { return StunErrorText(aError).Code; }
const char* StunErrorReason(TqynStunError aError) noexcept { return StunErrorText(aError).Reason; }

// ---------------------------------------------------------------------------------------------
// Nonce list

std::string TqynSTUNNoncesQueue::AddNonce(const std::string& aRealm) {
  auto item = std::make_shared<TqynSTUNNonceItem>();
  std::string nonce = NewGuidText();
  item->SetID(nonce);
  item->SetRealm(aRealm);

  std::vector<TqynQueueItemRef> dropped; // freed after the lock is released
  {
    std::lock_guard<TqynCriticalSection> lock(FLock);
    const TqynDateTime now = QynNow();
    // Expired items at most once per second of the clock (or at once when the clock went back).
    if (now - FLastPurge >= 1000 || now < FLastPurge) {
      FLastPurge = now;
      PurgeLocked(now, dropped);
    }
    const size_t cap = static_cast<size_t>(MaxCount());
    if (FList.size() >= cap) DropFrontLocked(FList.size() - cap + 1 + cap / 16, dropped);

    item->FExpires = QynIncSeconds(now, StaleNonce());
    item->FSequence = FNextSequence++;
    // A 128-bit random text does not repeat; should it ever, the older item gives way.
    auto old = FIndex.find(nonce);
    if (old != FIndex.end()) {
      const size_t pos = PositionLocked(old->second.get());
      if (pos < FList.size()) {
        dropped.push_back(std::move(FList[pos]));
        FList.erase(FList.begin() + static_cast<std::ptrdiff_t>(pos));
      }
      FIndex.erase(old);
    }
    FList.push_back(item);
    FIndex.emplace(nonce, std::move(item));
  }
  return nonce;
}

TqynStunNonceState TqynSTUNNoncesQueue::GetNonceState(const std::string& aNonce) {
  TqynQueueItemRef dropped;
  std::lock_guard<TqynCriticalSection> lock(FLock);
  const auto it = FIndex.find(aNonce);
  if (it == FIndex.end()) return stnsNonceUnknown;
  if (it->second->FExpires > QynNow()) return stnsNonceValid;
  const size_t pos = PositionLocked(it->second.get());
  if (pos < FList.size()) {
    dropped = std::move(FList[pos]);
    FList.erase(FList.begin() + static_cast<std::ptrdiff_t>(pos));
  }
  FIndex.erase(it);
  return stnsNonceStaled;
}

int TqynSTUNNoncesQueue::Purge() {
  std::vector<TqynQueueItemRef> dropped;
  std::lock_guard<TqynCriticalSection> lock(FLock);
  const TqynDateTime now = QynNow();
  FLastPurge = now;
  return PurgeLocked(now, dropped);
}

void TqynSTUNNoncesQueue::Clear() {
  std::lock_guard<TqynCriticalSection> lock(FLock);
  TqynQueueBase::Clear();
  FIndex.clear();
}

// Items are in issue order. With a constant StaleNonce that is also expiry order, so the items to
// drop form a prefix; after a change of StaleNonce a later item may expire first, and it then
// waits until the items before it go (the size cap bounds the list meanwhile).
int TqynSTUNNoncesQueue::PurgeLocked(TqynDateTime aNow, std::vector<TqynQueueItemRef>& aDropped) {
  const int grace = std::max(StaleNonce(), 0);
  size_t n = 0;
  while (n < FList.size()) {
    const auto* item = static_cast<const TqynSTUNNonceItem*>(FList[n].get());
    if (QynIncSeconds(item->FExpires, grace) >= aNow) break;
    ++n;
  }
  DropFrontLocked(n, aDropped);
  return static_cast<int>(n);
}

void TqynSTUNNoncesQueue::DropFrontLocked(size_t aCount, std::vector<TqynQueueItemRef>& aDropped) {
  aCount = std::min(aCount, FList.size());
  if (aCount == 0) return;
  aDropped.reserve(aDropped.size() + aCount);
  for (size_t i = 0; i < aCount; ++i) {
    FIndex.erase(FList[i]->ID());
    aDropped.push_back(std::move(FList[i]));
  }
  FList.erase(FList.begin(), FList.begin() + static_cast<std::ptrdiff_t>(aCount));
}

// Position of an item of the list (which is ordered by sequence), or the list's size.
size_t TqynSTUNNoncesQueue::PositionLocked(const TqynSTUNNonceItem* aItem) const {
  const uint64_t seq = aItem->FSequence;
  const auto it = std::lower_bound(FList.begin(), FList.end(), seq, [](const TqynQueueItemRef& a, uint64_t s) {
    return static_cast<const TqynSTUNNonceItem*>(a.get())->FSequence < s;
  });
  if (it == FList.end() || it->get() != aItem) return FList.size();
  return static_cast<size_t>(it - FList.begin());
}

// ---------------------------------------------------------------------------------------------
// Component

TqynSTUNServer_Base::TqynSTUNServer_Base(TqynComponent_Base* aOwner)
    : TqynSTUN_Component(aOwner),
      FLogFile(std::make_unique<TqynSTUNLogFile>()),
      FSTUNOptions(std::make_unique<TqynSTUNServer_Options>()) {}

TqynSTUNServer_Base::~TqynSTUNServer_Base() {
  // Stop the listeners before anything they call into goes away.
  TqynSTUNServer_Base::ShutdownComponent();
  std::unique_ptr<TqynUDPServer_Base> server;
  {
    std::lock_guard<std::mutex> lock(FCreateLock);
    server = std::move(FUDPServer);
  }
  server.reset();
}

void TqynSTUNServer_Base::ShutdownComponent() noexcept {
  Destroying();
  TqynUDPServer_Base* server;
  {
    std::lock_guard<std::mutex> lock(FCreateLock);
    server = FUDPServer.get();
  }
  if (server) server->ShutdownComponent();
  TqynSTUN_Component::ShutdownComponent();
}

// ---- UDP server and its settings ----

TqynUDPServer_Base* TqynSTUNServer_Base::GetUDPServer() {
  std::lock_guard<std::mutex> lock(FCreateLock);
  if (!FUDPServer) {
    auto server = std::make_unique<TqynUDPServer_Base>(this);
    server->SetHost(FHost);
    server->SetPort(FPort);
    server->SetIPVersion(FIPVersion);
    server->SetNotifyEvents(FNotifyEvents);
    server->OnUDPRead = [this](TqynComponent_Base* Sender, TqynUDPSocket* Socket, const TqynBytes& Bytes) {
      UDPServerRead(Sender, Socket, Bytes);
    };
    server->OnUDPException = [this](TqynComponent_Base* Sender, TqynUDPSocket* Socket, const Exception& E) {
      UDPServerException(Sender, Socket, E);
    };
    FUDPServer = std::move(server);
  }
  TqynUDPLogFile udpLog = FUDPServer->LogFile();
  if (!udpLog.Enabled) udpLog.FileName = FLogFile->FileName;
  udpLog.Enabled = FLogFile->Enabled;
  FUDPServer->SetLogFile(udpLog);
  return FUDPServer.get();
}

TqynSTUNNoncesQueue* TqynSTUNServer_Base::GetNonces() {
  std::lock_guard<std::mutex> lock(FCreateLock);
  if (!FNonces) FNonces = std::make_unique<TqynSTUNNoncesQueue>();
  FNonces->SetStaleNonce(FSTUNOptions->Authentication.LongTermCredentials.StaleNonce);
  return FNonces.get();
}

bool TqynSTUNServer_Base::Active() { return FUDPServer ? FUDPServer->Active() : false; }

void TqynSTUNServer_Base::SetActive(bool aValue) {
  if (!aValue && !FUDPServer) return;
  GetUDPServer()->SetActive(aValue);
}

TIdSocketHandles& TqynSTUNServer_Base::Bindings() { return GetUDPServer()->Bindings(); }

std::string TqynSTUNServer_Base::Host() { return FUDPServer ? FUDPServer->Host() : FHost; }

void TqynSTUNServer_Base::SetHost(const std::string& aValue) {
  FHost = aValue;
  if (FUDPServer) FUDPServer->SetHost(aValue);
}

TIdPort TqynSTUNServer_Base::Port() { return FUDPServer ? FUDPServer->Port() : FPort; }

void TqynSTUNServer_Base::SetPort(TIdPort aValue) {
  FPort = aValue;
  if (FUDPServer) FUDPServer->SetPort(aValue);
}

TIdIPVersion TqynSTUNServer_Base::IPVersion() { return FUDPServer ? FUDPServer->IPVersion() : FIPVersion; }

void TqynSTUNServer_Base::SetIPVersion(TIdIPVersion aValue) {
  FIPVersion = aValue;
  if (FUDPServer) FUDPServer->SetIPVersion(aValue);
}

TwsNotifyEvent TqynSTUNServer_Base::NotifyEvents() { return FUDPServer ? FUDPServer->NotifyEvents() : FNotifyEvents; }

void TqynSTUNServer_Base::SetNotifyEvents(TwsNotifyEvent aValue) {
  FNotifyEvents = aValue;
  if (FUDPServer) FUDPServer->SetNotifyEvents(aValue);
}

void TqynSTUNServer_Base::SetLogFile(const TqynSTUNLogFile& aValue) { FLogFile->Assign(aValue); }

TIdSocketHandle* TqynSTUNServer_Base::AddBinding(const std::string& aIPAddress, TIdPort aPort) {
  return GetUDPServer()->AddBinding(aIPAddress, aPort, std::string());
}

bool TqynSTUNServer_Base::RemoveBinding(const std::string& aIPAddress, TIdPort aPort) {
  return GetUDPServer()->RemoveBinding(aIPAddress, aPort);
}

// ---- Entry and exception guard ----

void TqynSTUNServer_Base::UDPServerRead(TqynComponent_Base* /*Sender*/, TqynUDPSocket* Socket, const TqynBytes& Bytes) {
  try {
    ProcessDatagram(Socket, Bytes);
  } catch (const TqynSTUNExceptionSilent&) {
    // The error response has been sent; nothing to report.
  } catch (const Exception& E) {
    DoSTUNException(E);
  } catch (const std::exception& e) {
    // Library failures (allocation, range checks) are reported like the system's own.
    DoSTUNException(Exception(e.what()));
  }
}

void TqynSTUNServer_Base::UDPServerException(TqynComponent_Base* /*Sender*/, TqynUDPSocket* /*Socket*/, const Exception& E) {
  DoSTUNException(E);
}

void TqynSTUNServer_Base::DoSTUNException(const Exception& E) {
  if (OnSTUNException) OnSTUNException(this, E);
}

// ---- Datagram processing ----

// Answers go only to well-formed requests: the source address of a datagram can be forged, so
// anything else (not a STUN message, an indication, a response) gets no answer (RFC 8489
// section 6.3), and no answer is larger than the request would justify.
void TqynSTUNServer_Base::ProcessDatagram(TqynUDPSocket* aSocket, const TqynBytes& Bytes) {
  if (!IsSTUNMessage(Bytes)) return;

  TqynSTUN_Message request;
  request.SetMessageType(stmtServerRequest);
  TqynSTUN_Message response;
  response.SetMessageType(stmtServerResponse);

  // The credentials that verified the request's MESSAGE-INTEGRITY, kept to sign the response.
  struct TCredentials {
    bool Asked = false;
    std::string Username, Realm, Password;
  } credentials;
  request.OnRequestMessageIntegrityPassword = [this, &credentials](TqynSTUN_Message* Sender, const std::string& aUsername,
                                                                   const std::string& aRealm, std::string& Password) {
    DoRequestAuthorization(Sender, aUsername, aRealm, Password);
    credentials.Asked = true;
    credentials.Username = aUsername;
    credentials.Realm = aRealm;
    credentials.Password = Password;
  };
  request.Read(Bytes);
  const bool isRequest = request.Header().MessageType_Class() == stmcRequest;
  // A request that did not authenticate spends one answer of its source's bound before anything
  // else; over the bound it gets no answer (nor an exception report).
  if (isRequest && !IsVerified(request) && !AdmitUnauthenticated(aSocket)) return;

  response.Header().SetMagicCookie(request.Header().MagicCookie());
  response.Header().SetTransactionId(request.Header().TransactionId());

  if (request.Fingerprint() == stfsFingerprintInvalid) throw Exception(RS_STUNInvalidFingerprint);
  if (STUNOptions().Fingerprint) response.SetFingerprint(stfsFingerprintValid);

  if (request.MessageIntegrity() == stisMessageIntegrityInvalid) {
    if (isRequest) RefuseWrongIntegrity(aSocket, &request, &response);
    throw Exception(RS_STUNInvalidMessageIntegrity);
  }
  if (request.MessageIntegrity() == stisMessageIntegrityInvalidRequest) {
    if (isRequest) SendErrorResponse(aSocket, &request, stueInvalidRequest, &response);
    throw Exception(RS_STUNInvalidMessageIntegrity);
  }

  response.SetCredentials(request.Credentials());
  response.SetFingerprint(request.Fingerprint());
  response.SetMessageIntegrity(request.MessageIntegrity());
  response.SetMessageIntegritySHA256(request.MessageIntegritySHA256());

  // A verified request is answered under the same credentials, so that the client can verify the
  // response: the key is the one that verified the request, with or without FINGERPRINT. A digest
  // made with an empty password authenticates nothing, and its answer is not signed with it.
  if (request.MessageIntegrity() == stisMessageIntegrityValid && !request.MessageIntegrityKeyGiven()) {
    response.SetMessageIntegrity(stisNone);
  } else if (request.MessageIntegrity() == stisMessageIntegrityValid && credentials.Asked) {
    response.SetUsername(credentials.Username);
    response.SetRealm(credentials.Realm);
    response.SetPassword(credentials.Password);
    if (!request.Attributes().GetAttribute(stmaRealm)) {
      // Short-term credentials: the key is the password itself.
      response.SetCredentials(stauShortTermCredential);
      response.OnICERequestMessageIntegrityPassword = [password = credentials.Password](
                                                          TqynSTUN_Message*, TqynSTUN_Message*, std::string& Password) {
        Password = password;
      };
    } else {
      response.SetCredentials(stauLongTermCredential);
    }
  }

  switch (request.Header().MessageType_Class()) {
  case stmcRequest:
    if (STUNOptions().BindingAttributes.AlternateServer.Enabled) SendErrorResponse(aSocket, &request, stueTryAlternate, &response);
    else ProcessRequest(aSocket, &request, &response);
    break;
  case stmcIndication:
    ProcessIndication(aSocket, &request, &response);
    break;
  case stmcResponseSuccess:
  case stmcResponseError:
    break;
  }
}

void TqynSTUNServer_Base::ProcessRequest(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest, TqynSTUN_Message* aResponse) {
  if (aRequest->Header().MessageType_Method() != stmmBinding) {
    SendErrorResponse(aSocket, aRequest, stueInvalidRequest, aResponse);
    throw Exception(RS_StunErrorInvalidRequest);
  }
  if (CheckAuthentication(aSocket, aRequest, STUNOptions().Authentication, aResponse)) ProcessBinding(aSocket, aRequest, aResponse);
}

// Indications are never answered; the STUN server serves none and drops them.
void TqynSTUNServer_Base::ProcessIndication(TqynUDPSocket* /*aSocket*/, TqynSTUN_Message* /*aRequest*/,
                                            TqynSTUN_Message* /*aResponse*/) {}

// ---- Binding ----

void TqynSTUNServer_Base::ProcessBinding(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest, TqynSTUN_Message* aResponse) {
  const TqynSTUNServer_BindingAttributes& options = STUNOptions().BindingAttributes;
  aResponse->Attributes().Reserve(6);
  AddMappedAddress(aSocket, aRequest, aResponse);
  if (options.ResponseOrigin) AddResponseOrigin(aSocket, aRequest, aResponse);
  if (options.SourceAddress) AddSourceAddress(aSocket, aRequest, aResponse);
  if (options.OtherAddress) AddOtherAddress(aSocket, aRequest, aResponse);
  if (STUNOptions().Software) AddSoftware(aResponse);

  bool accept = true;
  if (OnSTUNRequestSuccess) OnSTUNRequestSuccess(this, aSocket, aRequest, aResponse, accept);
  if (accept) SendSuccessResponse(aSocket, aRequest, aResponse);
}

void TqynSTUNServer_Base::AddMappedAddress(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest, TqynSTUN_Message* aResponse) {
  const bool withCookie = aRequest->Header().MagicCookie() == QYN_STUN_MAGIC_COOKIE;
  const std::string ip = aSocket->IP();
  const TIdPort port = aSocket->Port();
  const uint16_t family = FamilyOf(aSocket->IPVersion());
  if (withCookie) {
    auto* a = AddAddressAttribute<TqynSTUN_Attribute_XOR_MAPPED_ADDRESS>(aResponse, ip, port, family);
    a->SetTransactionId(aRequest->Header().TransactionId());
    if (STUNOptions().BindingAttributes.MappedAddressRFC3489)
      AddAddressAttribute<TqynSTUN_Attribute_MAPPED_ADDRESS>(aResponse, ip, port, family);
  } else {
    AddAddressAttribute<TqynSTUN_Attribute_MAPPED_ADDRESS>(aResponse, ip, port, family);
  }
}

void TqynSTUNServer_Base::AddResponseOrigin(TqynUDPSocket* aSocket, TqynSTUN_Message* /*aRequest*/, TqynSTUN_Message* aResponse) {
  const std::string local = aSocket->LocalIP();
  if (IsUnspecifiedAddress(local)) return;
  AddAddressAttribute<TqynSTUN_Attribute_RESPONSE_ORIGIN>(aResponse, local, aSocket->LocalPort(), FamilyOf(aSocket->IPVersion()));
}

void TqynSTUNServer_Base::AddSourceAddress(TqynUDPSocket* aSocket, TqynSTUN_Message* /*aRequest*/, TqynSTUN_Message* aResponse) {
  const std::string local = aSocket->LocalIP();
  if (IsUnspecifiedAddress(local)) return;
  AddAddressAttribute<TqynSTUN_Attribute_SOURCE_ADDRESS>(aResponse, local, aSocket->LocalPort(), FamilyOf(aSocket->IPVersion()));
}

// Every binding after the first that is not a relay binding and has a concrete address. On a
// running server the list is derived once per change of those bindings (relay bindings coming and
// going do not change it), so a request costs no walk over the bindings.
void TqynSTUNServer_Base::AddOtherAddress(TqynUDPSocket* /*aSocket*/, TqynSTUN_Message* /*aRequest*/, TqynSTUN_Message* aResponse) {
  TqynUDPServer_Base* server = UDPServerIfCreated();
  if (!server) return;
  if (server->Bindings().CountNow() < 2) return; // one binding: no other address (and no lock taken)
  std::shared_ptr<const TOtherAddresses> others;
  if (server->Active()) {
    const uint64_t version = server->PlainBindingsVersion();
    {
      std::lock_guard<std::mutex> lock(FOtherAddressesLock);
      if (FOtherAddresses && FOtherAddresses->Version == version) others = FOtherAddresses;
    }
    if (!others) {
      others = CollectOtherAddresses(server, version);
      std::lock_guard<std::mutex> lock(FOtherAddressesLock);
      FOtherAddresses = others;
    }
  } else {
    others = CollectOtherAddresses(server, 0);
  }
  for (const auto& a : others->Addresses)
    AddAddressAttribute<TqynSTUN_Attribute_OTHER_ADDRESS>(aResponse, a.IP, a.Port, a.Family);
}

std::shared_ptr<const TqynSTUNServer_Base::TOtherAddresses> TqynSTUNServer_Base::CollectOtherAddresses(TqynUDPServer_Base* aServer,
                                                                                                       uint64_t aVersion) {
  auto out = std::make_shared<TOtherAddresses>();
  out->Version = aVersion;
  TIdSocketHandles& bindings = aServer->Bindings();
  bindings.Lock();
  try {
    const int count = bindings.Count();
    for (int i = 1; i < count; ++i) {
      TIdSocketHandle* b = bindings.Items(i);
      if (!b) continue;
      if (aServer->IsRelayBinding(b) || b->Name().compare(0, 5, "Relay") == 0) continue;
      const std::string ip = b->IP();
      if (IsUnspecifiedAddress(ip)) continue;
      out->Addresses.push_back({ip, b->Port(), FamilyOf(b->IPVersion())});
    }
  } catch (...) {
    bindings.Unlock();
    throw;
  }
  bindings.Unlock();
  return out;
}

void TqynSTUNServer_Base::AddSoftware(TqynSTUN_Message* aResponse) {
  aResponse->Attributes().Add<TqynSTUN_Attribute_SOFTWARE>()->SetSoftware(RS_SoftwareName);
}

// ---- Responses ----

void TqynSTUNServer_Base::SendErrorResponse(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest, TqynStunError aError,
                                            TqynSTUN_Message* aResponse) {
  const TStunErrorText& error = StunErrorText(aError);
  auto* code = aResponse->Attributes().Add<TqynSTUN_Attribute_ERROR_CODE>();
  code->SetCode(error.Code);
  code->SetReason(error.Reason);

  const TqynSTUNServer_AlternateServer& alternate = STUNOptions().BindingAttributes.AlternateServer;
  if (error.Code == 300 && alternate.Enabled) {
    AddAddressAttribute<TqynSTUN_Attribute_ALTERNATE_SERVER>(aResponse, alternate.IPAddress, alternate.Port,
                                                             FamilyOf(alternate.Family));
    if (!alternate.Domain.empty()) aResponse->Attributes().Add<TqynSTUN_Attribute_ALTERNATE_DOMAIN>()->SetDomain(alternate.Domain);
  }
  if (STUNOptions().Software) AddSoftware(aResponse);

  bool accept = true;
  if (OnSTUNRequestError) OnSTUNRequestError(this, aSocket, aRequest, aResponse, accept);
  if (!accept) return;

  aResponse->Header().SetMessageType_Method(aRequest->Header().MessageType_Method());
  aResponse->Header().SetMessageType_Class(stmcResponseError);
  aResponse->Header().SetMagicCookie(aRequest->Header().MagicCookie());
  SendResponse(aSocket, aResponse);
}

void TqynSTUNServer_Base::SendSuccessResponse(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest, TqynSTUN_Message* aResponse) {
  aResponse->Header().SetMessageType_Method(TqynSTUN_Header::DecodeMethod(aRequest->Header().MessageType()));
  aResponse->Header().SetMessageType_Class(stmcResponseSuccess);
  SendResponse(aSocket, aResponse);
}

void TqynSTUNServer_Base::SendResponse(TqynUDPSocket* aSocket, TqynSTUN_Message* aResponse) {
  const uint32_t length = aResponse->ComputeMessageLength();
  if (length > 0xFFFF) throw Exception(QynFormat(RS_MessageTooLong, static_cast<int>(length)));
  aResponse->Header().SetMessageLength(static_cast<uint16_t>(length));
  // Responses are written into a buffer kept per thread, so that answering allocates nothing for
  // the bytes; a send that answers again from inside (a handler of the socket) uses its own.
  thread_local TqynBytes tBuffer;
  thread_local bool tBufferBusy = false;
  if (tBufferBusy) {
    TqynBytes bytes;
    aResponse->Write(bytes);
    aSocket->WriteData(bytes);
    return;
  }
  struct TBusy {
    TBusy() { tBufferBusy = true; }
    ~TBusy() {
      tBufferBusy = false;
      // A rare large response does not keep its memory.
      if (tBuffer.capacity() > 8192) TqynBytes().swap(tBuffer);
    }
  } busy;
  aResponse->Write(tBuffer);
  aSocket->WriteData(tBuffer);
}

// ---- Authentication ----

void TqynSTUNServer_Base::DoRequestAuthorization(TqynSTUN_Message* Sender, const std::string& aUsername,
                                                 const std::string& aRealm, std::string& Password) {
  if (OnSTUNRequestAuthorization) OnSTUNRequestAuthorization(this, Sender, aUsername, aRealm, Password);
}

bool TqynSTUNServer_Base::CheckAuthentication(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest,
                                              const TqynSTUNServer_Authentication& aAuthentication, TqynSTUN_Message* aResponse) {
  if (!aAuthentication.Enabled) return true;
  TqynStunError error;
  if (!CheckUnknownAttributes(aSocket, aRequest, aResponse)) error = stueUnknownAttribute;
  else if (aAuthentication.LongTermCredentials.Enabled)
    return CheckLongTermCredentials(aSocket, aRequest, aAuthentication.LongTermCredentials, aResponse);
  else error = stueUnauthorized;
  // A verified request that is refused spends an answer now (it spent none on arrival).
  if (IsVerified(*aRequest) && !AdmitUnauthenticated(aSocket)) return false;
  SendErrorResponse(aSocket, aRequest, error, aResponse);
  return false;
}

bool TqynSTUNServer_Base::CredentialsExpired(TqynSTUN_Message* aRequest) {
  if (!OnSTUNCredentialsExpired) return false;
  const auto* username = aRequest->Attributes().GetAttribute<TqynSTUN_Attribute_USERNAME>(stmaUsername);
  const auto* realm = aRequest->Attributes().GetAttribute<TqynSTUN_Attribute_REALM>(stmaRealm);
  bool expired = false;
  OnSTUNCredentialsExpired(this, aRequest, username ? username->Username() : std::string(), realm ? realm->Realm() : std::string(),
                           expired);
  return expired;
}

bool TqynSTUNServer_Base::AdmitUnauthenticated(TqynUDPSocket* aSocket) {
  const TqynSTUNServer_UnauthenticatedAnswers& bound = STUNOptions().UnauthenticatedAnswers;
  if (bound.Rate <= 0 || !aSocket) return true;
  return FUnauthenticatedAnswers.Admit(aSocket->IP(), QynTickCount64(), bound.Rate, bound.Burst, bound.MaxSources);
}

void TqynSTUNServer_Base::RefuseWrongIntegrity(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest, TqynSTUN_Message* aResponse) {
  SendWrongIntegrityChallenge(aSocket, aRequest, STUNOptions().Authentication, aResponse);
}

void TqynSTUNServer_Base::SendWrongIntegrityChallenge(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest,
                                                      const TqynSTUNServer_Authentication& aAuthentication,
                                                      TqynSTUN_Message* aResponse) {
  if (!aAuthentication.Enabled || !aAuthentication.LongTermCredentials.Enabled) return;
  const std::string& realm = aAuthentication.LongTermCredentials.Realm;
  aResponse->Attributes().Add<TqynSTUN_Attribute_NONCE>()->SetNonce(GetNonces()->AddNonce(realm));
  aResponse->Attributes().Add<TqynSTUN_Attribute_REALM>()->SetRealm(realm);
  try {
    SendErrorResponse(aSocket, aRequest, stueUnauthorized, aResponse);
  } catch (const TqynSTUNExceptionSilent&) {
    // A descendant ends processing after its error responses; the caller reports the datagram.
  }
}

bool TqynSTUNServer_Base::CheckUnknownAttributes(TqynUDPSocket* /*aSocket*/, TqynSTUN_Message* aRequest, TqynSTUN_Message* aResponse) {
  TqynSTUN_Attribute_UNKNOWN_ATTRIBUTES* unknown = nullptr;
  TqynStunMessageAttributes refused;
  for (const auto& a : aRequest->Attributes()) {
    const TqynStunMessageAttribute type = a->AttributeType();
    if (type != stmaPassword_Algorithm && type != stmaUserhash) continue;
    if (!unknown) unknown = aResponse->Attributes().Add<TqynSTUN_Attribute_UNKNOWN_ATTRIBUTES>();
    refused.Include(type);
    unknown->SetUnknownAttributes(refused);
  }
  return unknown == nullptr;
}

bool TqynSTUNServer_Base::CheckLongTermCredentials(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest,
                                                   const TqynSTUNServer_LongTermCredentials& aLongTermCredentials,
                                                   TqynSTUN_Message* aResponse) {
  TqynSTUNNoncesQueue* nonces = GetNonces();
  TqynStunNonceState state = stnsNonceUnknown;
  if (const auto* nonce = aRequest->Attributes().GetAttribute<TqynSTUN_Attribute_NONCE>(stmaNonce))
    state = nonces->GetNonceState(nonce->Nonce());
  // Authenticated: a nonce this server honours and a digest that verified with a password the
  // application gave. No password (an unknown user) is answered like a missing signature.
  const bool verified = IsVerified(*aRequest);
  if (state == stnsNonceValid && verified && !CredentialsExpired(aRequest)) return true;

  // A verified request that is refused spends an answer now (it spent none on arrival).
  if (verified && !AdmitUnauthenticated(aSocket)) return false;
  aResponse->Attributes().Add<TqynSTUN_Attribute_NONCE>()->SetNonce(nonces->AddNonce(aLongTermCredentials.Realm));
  aResponse->Attributes().Add<TqynSTUN_Attribute_REALM>()->SetRealm(aLongTermCredentials.Realm);
  SendErrorResponse(aSocket, aRequest, state == stnsNonceStaled ? stueStaleNonce : stueUnauthorized, aResponse);
  return false;
}
