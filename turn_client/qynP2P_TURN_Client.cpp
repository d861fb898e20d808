#include "qynP2P_TURN_Client.h"

#include <arpa/inet.h>

#include <charconv>

#include "qynClock.h"
#include "qynMessages.h"

namespace {

// Decimal text as recorded in the request table; a non-number counts as 0.
int DecimalOrZero(const std::string& aText) {
  int value = 0;
  const auto [end, ec] = std::from_chars(aText.data(), aText.data() + aText.size(), value);
  if (ec != std::errc() || end != aText.data() + aText.size()) return 0;
  return value;
}

bool IsEntrySeparator(char c) { return c == ',' || static_cast<unsigned char>(c) <= 0x20; }

} // namespace

// ---------------------------------------------------------------------------------------------
// Construction

TqynTURNClient_Base::TqynTURNClient_Base(TqynComponent_Base* aOwner)
    : TqynSTUNClient_Base(aOwner), FTURNOptions(std::make_unique<TqynTURNClient_Options>()) {
  FTURNOptions->Fingerprint = true;
}

TqynTURNClient_Base::~TqynTURNClient_Base() {
  StopComponent();
  ResetAllocation();
  FTURNOptions.reset();
}

void TqynTURNClient_Base::ShutdownComponent() noexcept {
  StopComponent();
  TqynSTUNClient_Base::ShutdownComponent();
}

void TqynTURNClient_Base::StopComponent() noexcept {
  Destroying();
  // The timer goes first (its ticks send through the transports), then the transports (their
  // threads deliver into this object).
  CloseGate();
  try {
    StopAutoRefresh();
  } catch (...) {
  }
  Shutdown();
}

TqynTURNClient_AllocationRef TqynTURNClient_Base::Allocation() {
  std::lock_guard<std::mutex> lock(FAllocationLock);
  if (!FAllocation) FAllocation = std::make_shared<TqynTURNClient_Allocation>();
  return FAllocation;
}

void TqynTURNClient_Base::ResetAllocation() {
  TqynTURNClient_AllocationRef previous;
  {
    std::lock_guard<std::mutex> lock(FAllocationLock);
    previous = std::move(FAllocation);
  }
  std::lock_guard<std::mutex> lock(FRenewalLock);
  FRenewals.clear();
}

bool TqynTURNClient_Base::IsTURNMethod(TqynStunMessageMethod aMethod) noexcept {
  switch (aMethod) {
  case stmmAllocate:
  case stmmRefresh:
  case stmmSend:
  case stmmData:
  case stmmCreatePermission:
  case stmmChannelBind:
    return true;
  default:
    return false;
  }
}

uint16_t TqynTURNClient_Base::PeerFamily(const std::string& aPeerIP) noexcept {
  return aPeerIP.find(':') != std::string::npos ? 2 : 1;
}

std::vector<std::string> TqynTURNClient_Base::SplitPeerAddresses(const std::string& aPeerIP) {
  std::vector<std::string> entries;
  size_t i = 0;
  const size_t n = aPeerIP.size();
  while (i < n) {
    while (i < n && IsEntrySeparator(aPeerIP[i])) ++i;
    if (i >= n) break;
    std::string entry;
    if (aPeerIP[i] == '"') {
      // A quoted part stays whole; "" inside it stands for one quote.
      ++i;
      while (i < n) {
        if (aPeerIP[i] == '"') {
          if (i + 1 < n && aPeerIP[i + 1] == '"') {
            entry.push_back('"');
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        entry.push_back(aPeerIP[i++]);
      }
      while (i < n && !IsEntrySeparator(aPeerIP[i])) entry.push_back(aPeerIP[i++]);
    } else {
      while (i < n && !IsEntrySeparator(aPeerIP[i])) entry.push_back(aPeerIP[i++]);
    }
    if (!entry.empty()) entries.push_back(std::move(entry));
  }
  return entries;
}

std::unique_ptr<TqynSTUN_Attribute> TqynTURNClient_Base::PeerAddress(const std::string& aPeerIP, uint16_t aPeerPort) {
  const uint16_t family = PeerFamily(aPeerIP);
  unsigned char buffer[16];
  if (inet_pton(family == 2 ? AF_INET6 : AF_INET, aPeerIP.c_str(), buffer) != 1)
    throw Exception(QynFormat(family == 2 ? RS_InvalidIPv6Text : RS_InvalidIPv4Text, aPeerIP));
  auto peer = std::make_unique<TqynSTUN_Attribute_XOR_PEER_ADDRESS>();
  peer->SetAddress(aPeerIP);
  peer->SetPort(aPeerPort);
  peer->SetFamily(family);
  return peer;
}

// ---------------------------------------------------------------------------------------------
// Public operations

void TqynTURNClient_Base::Allocate() {
  Guarded([this] { DoAllocate(); });
}

void TqynTURNClient_Base::Refresh(uint32_t aLifetime) {
  Guarded([this, aLifetime] { DoRefresh(aLifetime); });
}

void TqynTURNClient_Base::CreatePermission(const std::string& aPeerIP) {
  Guarded([&] { DoCreatePermission(aPeerIP); });
}

void TqynTURNClient_Base::ChannelBind(const std::string& aPeerIP, uint16_t aPeerPort) {
  Guarded([&] { DoChannelBind(aPeerIP, aPeerPort); });
}

void TqynTURNClient_Base::SendIndication(const std::string& aPeerIP, uint16_t aPeerPort, const TqynBytes& aData) {
  Guarded([&] { DoSendIndication(aPeerIP, aPeerPort, aData); });
}

void TqynTURNClient_Base::SendIndication(const std::string& aPeerIP, uint16_t aPeerPort, const std::string& aData) {
  SendIndication(aPeerIP, aPeerPort, TqynBytes(aData.begin(), aData.end()));
}

void TqynTURNClient_Base::SendChannelData(uint16_t aChannelID, const TqynBytes& aData) {
  Guarded([&] { DoSendChannelData(aChannelID, aData); });
}

void TqynTURNClient_Base::SendChannelData(uint16_t aChannelID, const std::string& aData) {
  SendChannelData(aChannelID, TqynBytes(aData.begin(), aData.end()));
}

// ---------------------------------------------------------------------------------------------
// Building and sending

void TqynTURNClient_Base::DoInitializeMessage(TqynStunMessageMethod aMethod, TqynSTUN_Message* aMessage,
                                              TqynSTUNAttributeItems aAttributes) {
  if (!IsTURNMethod(aMethod)) {
    TqynSTUNClient_Base::DoInitializeMessage(aMethod, aMessage, std::move(aAttributes));
    return;
  }
  TqynSTUN_Header& header = aMessage->Header();
  header.SetMessageType_Class(aMethod == stmmSend || aMethod == stmmData ? stmcIndication : stmcRequest);
  header.SetMessageType_Method(aMethod);
  header.SetMagicCookie(QYN_STUN_MAGIC_COOKIE);
  header.SetMessageLength(0);
  header.SetTransactionId(NewTransactionId());

  const TqynTURNClient_Options& options = TURNOptions();
  if (options.Fingerprint) aMessage->SetFingerprint(stfsFingerprintValid);
  const bool shortTerm = options.Authentication.Credentials == stauShortTermCredential;
  aMessage->SetCredentials(shortTerm ? stauShortTermCredential : stauNone);

  aMessage->Attributes().Reserve(aAttributes.size() + 2);
  for (auto& a : aAttributes) {
    if (!a) continue;
    // XOR addresses of IPv6 peers are masked with the transaction id, known only now.
    if (auto* xored = dynamic_cast<TqynSTUN_Attribute_XOR_MAPPED_ADDRESS*>(a.get()))
      xored->SetTransactionId(header.TransactionId());
    aMessage->Attributes().Add(std::move(a));
  }
  if (shortTerm) {
    if (!options.Authentication.Username.empty())
      aMessage->Attributes().Add<TqynSTUN_Attribute_USERNAME>()->SetUsername(options.Authentication.Username);
    aMessage->OnICERequestMessageIntegrityPassword = [password = options.Authentication.Password](
                                                         TqynSTUN_Message*, TqynSTUN_Message*, std::string& Password) {
      Password = password;
    };
  }
  if (options.Software) aMessage->Attributes().Add<TqynSTUN_Attribute_SOFTWARE>()->SetSoftware(RS_SoftwareName);
  aMessage->SetMessageType(stmtClientRequest);
}

void TqynTURNClient_Base::DoSetCredentials(TqynSTUN_Message* aMessage, const std::string& aRealm, const std::string& aNonce) {
  if (!IsTURNMethod(aMessage->Header().MessageType_Method())) {
    TqynSTUNClient_Base::DoSetCredentials(aMessage, aRealm, aNonce);
    return;
  }
  const TqynSTUNClient_Authentication& auth = TURNOptions().Authentication;
  aMessage->SetUsername(auth.Username);
  aMessage->SetPassword(auth.Password);
  aMessage->SetRealm(aRealm);
  aMessage->SetNonce(aNonce);
  aMessage->SetCredentials(auth.Credentials);
}

void TqynTURNClient_Base::DoSendTURNRequest(TqynStunMessageMethod aMethod, TqynSTUNAttributeItems aAttributes) {
  const std::string realm = Realm();
  const std::string nonce = Nonce();
  if (TURNOptions().Authentication.Credentials == stauLongTermCredential && !realm.empty() && !nonce.empty())
    DoSendRequestWithCredentials(aMethod, realm, std::move(aAttributes), nonce);
  else
    DoSendRequestWithoutCredentials(aMethod, std::move(aAttributes));
}

void TqynTURNClient_Base::DoAllocate() {
  TqynSTUNAttributeItems attributes;
  attributes.push_back(std::make_unique<TqynSTUN_Attribute_REQUESTED_TRANSPORT>()); // protocol 17 (UDP)
  auto lifetime = std::make_unique<TqynSTUN_Attribute_LIFETIME>();
  lifetime->SetLifetime(TURNOptions().Allocation.Lifetime);
  attributes.push_back(std::move(lifetime));
  DoSendTURNRequest(stmmAllocate, std::move(attributes));
}

void TqynTURNClient_Base::DoRefresh(uint32_t aLifetime) {
  TqynSTUNAttributeItems attributes;
  auto lifetime = std::make_unique<TqynSTUN_Attribute_LIFETIME>();
  lifetime->SetLifetime(aLifetime);
  attributes.push_back(std::move(lifetime));
  DoSendTURNRequest(stmmRefresh, std::move(attributes));
}

void TqynTURNClient_Base::DoCreatePermission(const std::string& aPeerIP) {
  TqynSTUNAttributeItems attributes;
  for (const std::string& entry : SplitPeerAddresses(aPeerIP)) attributes.push_back(PeerAddress(entry, 0));
  DoSendTURNRequest(stmmCreatePermission, std::move(attributes));
}

void TqynTURNClient_Base::DoChannelBind(const std::string& aPeerIP, uint16_t aPeerPort) {
  TqynSTUNAttributeItems attributes;
  attributes.push_back(PeerAddress(aPeerIP, aPeerPort));
  // The peer's existing channel keeps its number; a new one counts as expired until confirmed.
  const TqynTURNChannelRef channel = Allocation()->Channels()->CreateChannel(aPeerIP, aPeerPort, 0);
  auto number = std::make_unique<TqynSTUN_Attribute_CHANNEL_NUMBER>();
  number->SetChannel(channel->ChannelID());
  attributes.push_back(std::move(number));
  DoSendTURNRequest(stmmChannelBind, std::move(attributes));
}

void TqynTURNClient_Base::DoSendIndication(const std::string& aPeerIP, uint16_t aPeerPort, const TqynBytes& aData) {
  if (!Allocation()->Permissions()->IsValidPermission(aPeerIP))
    throw Exception(QynFormat(RS_TURNClientNoValidPermission, aPeerIP));
  TqynSTUNAttributeItems attributes;
  attributes.push_back(PeerAddress(aPeerIP, aPeerPort));
  auto data = std::make_unique<TqynSTUN_Attribute_DATA>();
  data->SetData(aData);
  attributes.push_back(std::move(data));
  DoSendTURNRequest(stmmSend, std::move(attributes));
}

void TqynTURNClient_Base::DoSendChannelData(uint16_t aChannelID, const TqynBytes& aData) {
  TqynTURNChannels* channels = Allocation()->Channels();
  const TqynTURNChannelRef channel = channels->GetChannel(aChannelID);
  if (!channel) throw Exception(QynFormat(RS_TURNClientChannelNotExists, static_cast<int>(aChannelID)));
  if (channel->Expires() < QynNow()) {
    channels->DeleteChannel(aChannelID);
    throw Exception(QynFormat(RS_TURNClientChannelExpired, static_cast<int>(aChannelID)));
  }
  TqynTURNChannelData message;
  message.SetChannelID(aChannelID);
  message.SetData(aData);
  DoWriteBytes(message.Write());
}

// ---------------------------------------------------------------------------------------------
// Receiving

void TqynTURNClient_Base::DoReadBytes(TqynSocketConnection* aSocket, const TqynBytes& aBytes) {
  if (IsChannelData(aBytes)) {
    DoTURNChannelData(aSocket, aBytes);
    return;
  }
  TqynSTUNClient_Base::DoReadBytes(aSocket, aBytes);
}

void TqynTURNClient_Base::DoTURNChannelData(TqynSocketConnection* aSocket, const TqynBytes& aBytes) {
  const auto handler = OnTURNChannelData;
  if (!handler) return;
  TqynTURNChannelData message;
  if (!message.AllDataReceived(aBytes)) {
    const int channel = aBytes.size() >= 2 ? (aBytes[0] << 8) | aBytes[1] : aBytes[0] << 8;
    throw Exception(QynFormat(RS_TURNClientChannelDataIncomplete, channel));
  }
  message.Read(aBytes);
  handler(this, aSocket, &message);
}

void TqynTURNClient_Base::DoSTUNIndication(TqynSocketConnection* aSocket, TqynSTUN_Message* aMessage) {
  const TqynSTUN_Attribute* peer = aMessage->Attributes().GetAttribute(stmaXOR_Peer_Address);
  if (!peer) throw TqynSTUNExceptionSilent(QynFormat(RS_AttributeNotFound, RS_AttributeNameXORPeerAddress));
  auto* data = aMessage->Attributes().GetAttribute<TqynSTUN_Attribute_DATA>(stmaData);
  auto* icmp = aMessage->Attributes().GetAttribute<TqynSTUN_Attribute_ICMP>(stmaICMP);
  if (!data && !icmp) throw TqynSTUNExceptionSilent(QynFormat(RS_AttributeNotFound, RS_AttributeNameDataOrICMP));
  if (data) {
    const auto handler = OnTURNDataIndication;
    if (!handler) return;
    TqynTURN_ResponseDataIndication indication;
    indication.FData = data->Data();
    indication.FPeerIP = peer->Address();
    indication.FPeerPort = peer->Port();
    handler(this, aSocket, aMessage, &indication);
    return;
  }
  const auto handler = OnTURNICMPIndication;
  if (!handler) return;
  TqynTURN_ResponseICMPIndication indication;
  indication.FICMP = icmp;
  indication.FPeerIP = peer->Address();
  indication.FPeerPort = peer->Port();
  handler(this, aSocket, aMessage, &indication);
}

// ---------------------------------------------------------------------------------------------
// Challenges

bool TqynTURNClient_Base::DoSTUNAuthentication(TqynSTUN_Message* aMessage) {
  const TqynStunMessageMethod method = aMessage->Header().MessageType_Method();
  if (!IsTURNMethod(method)) return TqynSTUNClient_Base::DoSTUNAuthentication(aMessage);
  if (TURNOptions().Authentication.Credentials != stauLongTermCredential) return false;
  std::string realm, nonce;
  if (!ReadChallenge(aMessage, realm, nonce)) return false;
  SetRealmAndNonce(realm, nonce);

  const auto item = GetRequests()->GetRequest(aMessage);
  const int challenges = item ? item->Challenges() : 0;
  const int redirects = item ? item->Redirects() : 0;
  // A server that challenges every answer (wrong credentials) is answered a bounded number of
  // times in a row; the challenge after that is reported as the error it is.
  if (challenges >= MaxChallengeAnswers()) return false;
  if (realm.empty() || nonce.empty()) return true;

  TFollowUpScope scope(this, challenges + 1, redirects);
  if (method == stmmAllocate) {
    DoAllocate();
  } else if (method == stmmCreatePermission) {
    if (item && item->HasParameters()) DoCreatePermission(item->Parameters().front());
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Success responses

void TqynTURNClient_Base::DoSTUNResponseSuccess(TqynSocketConnection* aSocket, TqynSTUN_Message* aMessage) {
  const TqynStunMessageMethod method = aMessage->Header().MessageType_Method();
  if (!IsTURNMethod(method)) {
    TqynSTUNClient_Base::DoSTUNResponseSuccess(aSocket, aMessage);
    return;
  }
  // An answer of another method than its request's is not an answer to it.
  if (const auto item = GetRequests()->GetRequest(aMessage); item && item->Method() != method)
    throw Exception(QynFormat(RS_TURNClientResponseMethodMismatch, static_cast<int>(method), static_cast<int>(item->Method())));
  switch (method) {
  case stmmAllocate: {
    const std::weak_ptr<char> alive = AliveToken().Weak();
    DoAllocationSuccess(aSocket, aMessage);
    if (!alive.expired()) StartAutoRefresh();
    break;
  }
  case stmmRefresh:
    DoRefreshSuccess(aSocket, aMessage);
    break;
  case stmmCreatePermission:
    DoPermissionSuccess(aSocket, aMessage);
    break;
  case stmmChannelBind:
    DoChannelSuccess(aSocket, aMessage);
    break;
  default: // Send, Data: nothing to do
    break;
  }
}

void TqynTURNClient_Base::DoAllocationSuccess(TqynSocketConnection* aSocket, TqynSTUN_Message* aMessage) {
  TqynTURN_ResponseAllocation result;
  if (const TqynSTUN_Attribute* relayed = aMessage->Attributes().GetAttribute(stmaXOR_Relayed_Address)) {
    result.FRelayedIP = relayed->Address();
    result.FRelayedPort = relayed->Port();
    result.FRelayedFamily = relayed->Family() == 2 ? ipV6 : ipV4;
    if (aSocket) {
      result.FReflexiveIP = aSocket->IP();
      result.FReflexivePort = aSocket->Port();
      result.FLocalIP = aSocket->LocalIP();
      result.FLocalPort = aSocket->LocalPort();
    }
  }
  if (const TqynSTUN_Attribute* mapped = aMessage->Attributes().GetAttribute(stmaXOR_Mapped_Address)) {
    result.FReflexiveIP = mapped->Address();
    result.FReflexivePort = mapped->Port();
  }
  if (const auto* lifetime = aMessage->Attributes().GetAttribute<TqynSTUN_Attribute_LIFETIME>(stmaLifetime))
    result.FLifetime = lifetime->Lifetime();

  const TqynTURNClient_AllocationRef record = Allocation();
  record->SetRelayedIP(result.FRelayedIP);
  record->SetRelayedPort(result.FRelayedPort);
  record->SetRelayedFamily(result.FRelayedFamily);
  record->SetLifetime(result.FLifetime);
  if (aSocket) {
    record->SetLocalIP(aSocket->LocalIP());
    record->SetLocalPort(aSocket->LocalPort());
    record->SetFamily(aSocket->IPVersion() == Id_IPv6 ? ipV6 : ipV4);
    record->SetPeerIP(aSocket->IP());
    record->SetPeerPort(aSocket->Port());
  }
  record->SetLastUpdate(QynNow());
  record->SetUsername(TURNOptions().Authentication.Username);
  record->SetPassword(TURNOptions().Authentication.Password);

  if (const auto handler = OnTURNAllocate) handler(this, aSocket, aMessage, &result);
}

void TqynTURNClient_Base::DoRefreshSuccess(TqynSocketConnection* aSocket, TqynSTUN_Message* aMessage) {
  const TqynTURNClient_AllocationRef record = Allocation();
  record->SetLastUpdate(QynNow());
  const auto* lifetime = aMessage->Attributes().GetAttribute<TqynSTUN_Attribute_LIFETIME>(stmaLifetime);
  if (!lifetime) return;
  const uint32_t granted = lifetime->Lifetime();
  record->SetLifetime(granted);
  if (granted == 0) StopAutoRefresh();
  const std::weak_ptr<char> alive = AliveToken().Weak();
  if (const auto handler = OnTURNRefresh) {
    TqynTURN_ResponseRefresh result;
    result.FLifetime = record->Lifetime();
    handler(this, aSocket, aMessage, &result);
  }
  if (granted == 0 && !alive.expired()) ResetAllocation();
}

void TqynTURNClient_Base::DoPermissionSuccess(TqynSocketConnection* aSocket, TqynSTUN_Message* aMessage) {
  const auto item = GetRequests()->GetRequest(aMessage);
  if (!item || item->Method() != stmmCreatePermission) return;
  TqynTURNAllocationPermissions* permissions = Allocation()->Permissions();
  TqynTURN_ResponseCreatePermission result;
  for (const std::string& address : item->Parameters()) {
    permissions->CreateUpdatePermission(address);
    result.IPAddresses().push_back(address);
  }
  if (const auto handler = OnTURNCreatePermission) handler(this, aSocket, aMessage, &result);
}

void TqynTURNClient_Base::DoChannelSuccess(TqynSocketConnection* aSocket, TqynSTUN_Message* aMessage) {
  const auto item = GetRequests()->GetRequest(aMessage);
  if (!item || item->Method() != stmmChannelBind || item->Parameters().size() != 3) return;
  const std::string address = item->Parameters()[0];
  const int port = DecimalOrZero(item->Parameters()[1]);
  const int number = DecimalOrZero(item->Parameters()[2]);
  if (address.empty()) return;
  const TqynTURNClient_AllocationRef record = Allocation();
  // A channel binding also installs or renews the permission for its address.
  record->Permissions()->CreateUpdatePermission(address);
  if (port <= 0 || number <= 0) return;
  record->Channels()->CreateUpdateChannel(address, static_cast<uint16_t>(port), static_cast<uint16_t>(number));
  if (const auto handler = OnTURNChannelBind) {
    TqynTURN_ResponseChannelBind result;
    result.FIPAddress = address;
    result.FPort = static_cast<uint16_t>(port);
    result.FChannel = static_cast<uint16_t>(number);
    handler(this, aSocket, aMessage, &result);
  }
}
