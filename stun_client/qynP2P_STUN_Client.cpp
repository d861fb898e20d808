#include "qynP2P_STUN_Client.h"

#include <algorithm>

#include "qynClock.h"

// ---------------------------------------------------------------------------------------------
// Request table

std::vector<std::string>& TqynSTUNRequestItem::Parameters() {
  if (!FParameters) FParameters = std::make_unique<std::vector<std::string>>();
  return *FParameters;
}

const std::vector<std::string>& TqynSTUNRequestItem::Parameters() const {
  static const std::vector<std::string> kEmpty;
  return FParameters ? *FParameters : kEmpty;
}

std::shared_ptr<TqynSTUNRequestItem> TqynSTUNRequestsQueue::AddRequest(TqynSTUN_Message* aMessage, uint64_t aRetention,
                                                                      int aChallenges, int aRedirects) {
  auto item = std::make_shared<TqynSTUNRequestItem>();
  item->SetChallenges(aChallenges);
  item->SetRedirects(aRedirects);
  item->SetID(aMessage->Header().TransactionIdString());
  const TqynStunMessageMethod method = aMessage->Header().MessageType_Method();
  item->SetMethod(method);
  if (const auto* mi = aMessage->Attributes().GetAttribute<TqynSTUN_Attribute_MESSAGE_INTEGRITY>(stmaMesssage_Integrity))
    item->SetMessageIntegrityKey(mi->Key());
  if (method == stmmCreatePermission) {
    for (const auto& a : aMessage->Attributes())
      if (a->AttributeType() == stmaXOR_Peer_Address) item->Parameters().push_back(a->Address());
  } else if (method == stmmChannelBind) {
    if (const auto* peer = aMessage->Attributes().GetAttribute(stmaXOR_Peer_Address)) {
      item->Parameters().push_back(peer->Address());
      item->Parameters().push_back(std::to_string(peer->Port()));
    }
    if (const auto* channel = aMessage->Attributes().GetAttribute<TqynSTUN_Attribute_CHANNEL_NUMBER>(stmaChannel_Number))
      item->Parameters().push_back(std::to_string(channel->Channel()));
  }

  const uint64_t now = QynTickCount64();
  item->SetExpires(now + std::max(aRetention, MaxAge()));

  // Dropped items are freed after the lock is released.
  std::vector<TqynQueueItemRef> dropped;
  {
    std::lock_guard<TqynCriticalSection> lock(Lock());
    const size_t maxCount = static_cast<size_t>(MaxCount());
    if (now - FLastPurge >= 1000 || FList.size() >= maxCount) {
      PurgeLocked(now, dropped);
      FLastPurge = now;
    }
    if (FList.size() >= maxCount) {
      const size_t excess = FList.size() - maxCount + 1;
      dropped.insert(dropped.end(), FList.begin(), FList.begin() + static_cast<std::ptrdiff_t>(excess));
      FList.erase(FList.begin(), FList.begin() + static_cast<std::ptrdiff_t>(excess));
    }
    FList.push_back(item);
  }
  return item;
}

int TqynSTUNRequestsQueue::PurgeLocked(uint64_t aNow, std::vector<TqynQueueItemRef>& aDropped) {
  const size_t before = aDropped.size();
  auto keep = std::stable_partition(FList.begin(), FList.end(), [aNow](const TqynQueueItemRef& aItem) {
    const auto* item = dynamic_cast<const TqynSTUNRequestItem*>(aItem.get());
    return !item || item->Expires() > aNow;
  });
  aDropped.insert(aDropped.end(), keep, FList.end());
  FList.erase(keep, FList.end());
  return static_cast<int>(aDropped.size() - before);
}

int TqynSTUNRequestsQueue::Purge() {
  std::vector<TqynQueueItemRef> dropped;
  std::lock_guard<TqynCriticalSection> lock(Lock());
  const uint64_t now = QynTickCount64();
  FLastPurge = now;
  return PurgeLocked(now, dropped);
}

bool TqynSTUNRequestsQueue::DeleteRequest(TqynSTUN_Message* aMessage) {
  return DeleteItem(aMessage->Header().TransactionIdString());
}

bool TqynSTUNRequestsQueue::ExistsRequest(TqynSTUN_Message* aMessage) const {
  return GetItem(aMessage->Header().TransactionIdString()) != nullptr;
}

std::shared_ptr<TqynSTUNRequestItem> TqynSTUNRequestsQueue::GetRequest(TqynSTUN_Message* aMessage) const {
  return GetRequest(aMessage->Header().TransactionIdString());
}

std::shared_ptr<TqynSTUNRequestItem> TqynSTUNRequestsQueue::GetRequest(const std::string& aTransactionId) const {
  return GetItemAs<TqynSTUNRequestItem>(aTransactionId);
}

TqynBytes TqynSTUNRequestsQueue::GetMessageIntegrityKey(const std::string& aTransactionId) const {
  const auto item = GetRequest(aTransactionId);
  return item ? item->MessageIntegrityKey() : TqynBytes();
}

// ---------------------------------------------------------------------------------------------
// Follow-up requests (challenge answers and redirects) inherit the counts of the refused request.

namespace {
// The innermost follow-up scope of this thread.
thread_local void* gFollowUp = nullptr;
} // namespace

TqynSTUNClient_Base::TFollowUpScope::TFollowUpScope(const TqynSTUNClient_Base* aOwner, int aChallenges,
                                                    int aRedirects) noexcept
    : FFollowUp{aOwner, aChallenges, aRedirects, false},
      FPrevious(static_cast<TFollowUp*>(gFollowUp)) {
  gFollowUp = &FFollowUp;
}

TqynSTUNClient_Base::TFollowUpScope::~TFollowUpScope() { gFollowUp = FPrevious; }

bool TqynSTUNClient_Base::TakeFollowUp(int& aChallenges, int& aRedirects) const noexcept {
  auto* f = static_cast<TFollowUp*>(gFollowUp);
  if (!f || f->Owner != this || f->Taken) return false;
  f->Taken = true;
  aChallenges = f->Challenges;
  aRedirects = f->Redirects;
  return true;
}

// ---------------------------------------------------------------------------------------------
// Construction and properties

TqynSTUNClient_Base::TqynSTUNClient_Base(TqynComponent_Base* aOwner)
    : TqynSTUN_Component(aOwner),
      FRetransmissionOptions(std::make_unique<TqynSTUNPRetransmissionClient_Options>()),
      FLogFile(std::make_unique<TqynSTUNLogFile>()),
      FSTUNOptions(std::make_unique<TqynSTUNClient_Options>()) {
  SetPort(3478);
}

TqynSTUNClient_Base::~TqynSTUNClient_Base() {
  Destroying();
  // The transports go first: their threads may still be delivering into this object.
  Shutdown();
  FLogFile.reset();
  FSTUNOptions.reset();
  FRequests.reset();
  FRetransmissionOptions.reset();
}

void TqynSTUNClient_Base::ShutdownComponent() noexcept {
  Destroying();
  Shutdown();
  TqynSTUN_Component::ShutdownComponent();
}

void TqynSTUNClient_Base::Shutdown() noexcept {
  FShutdown.store(true);
  std::unique_ptr<TqynUDPCLient_Base> udp;
  std::unique_ptr<TqynTCPCLient_Base> tcp;
  {
    std::lock_guard<std::mutex> lock(FCreateLock);
    udp = std::move(FUDPClient);
    tcp = std::move(FTCPClient);
  }
  try {
    if (tcp) tcp->Shutdown();
    tcp.reset();
    udp.reset();
  } catch (...) {
  }
}

TqynUDPCLient_Base* TqynSTUNClient_Base::GetUDPClient() {
  TqynUDPCLient_Base* client;
  {
    std::lock_guard<std::mutex> lock(FCreateLock);
    if (!FUDPClient) {
      auto c = std::make_unique<TqynUDPCLient_Base>();
      c->SetRetransmissionOptions(*FRetransmissionOptions);
      c->OnUDPRead = [this](TqynComponent_Base* Sender, TqynUDPSocket* Socket, const TqynBytes& Bytes) {
        DoUDPClientRead(Sender, Socket, Bytes);
      };
      c->OnUDPException = [this](TqynComponent_Base* Sender, TqynUDPSocket* Socket, const Exception& E) {
        DoUDPClientException(Sender, Socket, E);
      };
      if (FTCPClient) {
        c->SetHost(FTCPClient->Host());
        c->SetPort(FTCPClient->Port());
        c->SetIPVersion(FTCPClient->IPVersion());
        c->SetNotifyEvents(FTCPClient->NotifyEvents());
      }
      FUDPClient = std::move(c);
    }
    client = FUDPClient.get();
  }
  TqynSTUNLogFile log;
  {
    std::lock_guard<std::mutex> lock(FLogLock);
    log = *FLogFile;
  }
  const TqynUDPLogFile current = client->LogFile();
  if (current.Enabled != log.Enabled || current.FileName != log.FileName) {
    TqynUDPLogFile value;
    value.Enabled = log.Enabled;
    value.FileName = log.FileName;
    client->SetLogFile(value);
  }
  return client;
}

TqynTCPCLient_Base* TqynSTUNClient_Base::GetTCPClient() {
  TqynTCPCLient_Base* client;
  {
    std::lock_guard<std::mutex> lock(FCreateLock);
    if (!FTCPClient) {
      auto c = std::make_unique<TqynTCPCLient_Base>();
      c->OnBinary = [this](TqynTCPConnection* Connection, TqynMemoryStream& Data) { DoTCPClientBinary(Connection, Data); };
      c->OnException = [this](TqynTCPConnection* Connection, const Exception& E) { DoTCPClientException(Connection, E); };
      if (FUDPClient) {
        c->SetHost(FUDPClient->Host());
        c->SetPort(FUDPClient->Port());
        c->SetIPVersion(FUDPClient->IPVersion());
        c->SetNotifyEvents(FUDPClient->NotifyEvents());
      } else {
        c->SetHost("127.0.0.1");
      }
      FTCPClient = std::move(c);
    }
    client = FTCPClient.get();
  }
  {
    std::lock_guard<std::mutex> lock(FLogLock);
    if (client->LogFile().Enabled != FLogFile->Enabled || client->LogFile().FileName != FLogFile->FileName) {
      TqynTCPLogFile value;
      value.Enabled = FLogFile->Enabled;
      value.FileName = FLogFile->FileName;
      client->SetLogFile(value);
    }
  }
  return client;
}

std::string TqynSTUNClient_Base::Host() { return GetUDPClient()->Host(); }

void TqynSTUNClient_Base::SetHost(const std::string& aValue) {
  GetUDPClient()->SetHost(aValue);
  TqynTCPCLient_Base* tcp = GetTCPClient();
  if (tcp->Host() == aValue) return;
  if (tcp->Active()) tcp->SetActive(false);
  tcp->SetHost(aValue);
}

TIdPort TqynSTUNClient_Base::Port() { return GetUDPClient()->Port(); }

void TqynSTUNClient_Base::SetPort(TIdPort aValue) {
  GetUDPClient()->SetPort(aValue);
  TqynTCPCLient_Base* tcp = GetTCPClient();
  if (tcp->Port() == aValue) return;
  if (tcp->Active()) tcp->SetActive(false);
  tcp->SetPort(aValue);
}

TIdIPVersion TqynSTUNClient_Base::IPVersion() { return GetUDPClient()->IPVersion(); }

void TqynSTUNClient_Base::SetIPVersion(TIdIPVersion aValue) {
  GetUDPClient()->SetIPVersion(aValue);
  TqynTCPCLient_Base* tcp = GetTCPClient();
  if (tcp->IPVersion() == aValue) return;
  if (tcp->Active()) tcp->SetActive(false);
  tcp->SetIPVersion(aValue);
}

void TqynSTUNClient_Base::SetTransport(TqynSTUNTransport aValue) {
  const TqynSTUNTransport previous = FTransport.exchange(aValue);
  // A connection left over from the TCP transport is closed when requests move to UDP.
  if (previous == stunTCP && aValue != stunTCP) {
    if (TqynTCPCLient_Base* tcp = GetTCPClient(); tcp->Active()) tcp->SetActive(false);
    ResetTCPStream();
  }
}

TwsNotifyEvent TqynSTUNClient_Base::NotifyEvents() { return GetUDPClient()->NotifyEvents(); }

void TqynSTUNClient_Base::SetNotifyEvents(TwsNotifyEvent aValue) {
  GetUDPClient()->SetNotifyEvents(aValue);
  GetTCPClient()->SetNotifyEvents(aValue);
}

void TqynSTUNClient_Base::SetRetransmissionOptions(const TqynUDPRetransmission_Options& aValue) {
  FRetransmissionOptions->Assign(aValue);
  GetUDPClient()->SetRetransmissionOptions(*FRetransmissionOptions);
}

std::string TqynSTUNClient_Base::Realm() const {
  std::lock_guard<std::mutex> lock(FRealmLock);
  return FRealm;
}

std::string TqynSTUNClient_Base::Nonce() const {
  std::lock_guard<std::mutex> lock(FRealmLock);
  return FNonce;
}

void TqynSTUNClient_Base::SetRealmAndNonce(const std::string& aRealm, const std::string& aNonce) {
  std::lock_guard<std::mutex> lock(FRealmLock);
  FRealm = aRealm;
  FNonce = aNonce;
}

uint64_t TqynSTUNClient_Base::RequestRetention(bool aRetransmitted) const {
  if (!aRetransmitted) return 0;
  // The engine drops an item RTO * (2^MaxRetries - 1) ms after the first send; a late answer is
  // still matched for the grace period after that.
  const int retries = std::clamp(FRetransmissionOptions->MaxRetries, 1, 30);
  const uint64_t rto = static_cast<uint64_t>(std::max(FRetransmissionOptions->RTO, 0));
  return rto * ((uint64_t{1} << retries) - 1) + RetransmissionGrace;
}

// ---------------------------------------------------------------------------------------------
// Public operations

void TqynSTUNClient_Base::SendRequest() {
  Guarded([this] {
    std::string realm, nonce;
    {
      std::lock_guard<std::mutex> lock(FRealmLock);
      realm = FRealm;
      nonce = FNonce;
    }
    if (STUNOptions().Authentication.Credentials == stauLongTermCredential && !realm.empty() && !nonce.empty())
      DoSendRequestWithCredentials(stmmBinding, realm, TqynSTUNAttributeItems(), nonce);
    else
      DoSendRequestWithoutCredentials(stmmBinding, TqynSTUNAttributeItems());
  });
}

void TqynSTUNClient_Base::WriteData(const TqynBytes& aBytes) {
  Guarded([this, &aBytes] { DoWriteBytes(aBytes); });
}

// ---------------------------------------------------------------------------------------------
// Transport handlers

void TqynSTUNClient_Base::DoUDPClientRead(TqynComponent_Base* /*Sender*/, TqynUDPSocket* Socket, const TqynBytes& Bytes) {
  if (IsDestroying() || FShutdown.load()) return;
  Guarded([&] { DoReadBytes(Socket, Bytes); });
}

void TqynSTUNClient_Base::DoUDPClientException(TqynComponent_Base* /*Sender*/, TqynUDPSocket* /*Socket*/, const Exception& E) {
  if (IsDestroying() || FShutdown.load()) return;
  try {
    if (const auto handler = OnSTUNException) handler(this, E);
  } catch (...) {
  }
}

void TqynSTUNClient_Base::DoTCPClientBinary(TqynTCPConnection* Connection, TqynMemoryStream& Data) {
  if (IsDestroying() || FShutdown.load()) return;
  Guarded([&] {
    if (Data.Size() == 0) return;
    ProcessTCPStream(Connection, Data.Bytes());
  });
}

void TqynSTUNClient_Base::DoTCPClientException(TqynTCPConnection* /*Connection*/, const Exception& E) {
  if (IsDestroying() || FShutdown.load()) return;
  try {
    if (const auto handler = OnSTUNException) handler(this, E);
  } catch (...) {
  }
}

void TqynSTUNClient_Base::ResetTCPStream() {
  std::lock_guard<std::mutex> lock(FStreamLock);
  FStreamBuffer.clear();
  FStreamBuffer.shrink_to_fit();
  FStreamConnection.clear();
}

// STUN over TCP (RFC 5389 section 7.2.2) has no framing of its own: a message is its 20-byte
// header plus the header's length field. ChannelData (first byte 0x40 to 0x7F) is a 4-byte header
// plus its length padded to a multiple of 4 (RFC 5766 section 11.5). Anything else cannot start a
// message, and neither can a STUN header whose length is not a multiple of 4.
void TqynSTUNClient_Base::ProcessTCPStream(TqynTCPConnection* Connection, const TqynBytes& aChunk) {
  std::vector<TqynBytes> frames;
  bool unframeable = false;
  unsigned badType = 0;
  int badLength = 0;
  {
    std::lock_guard<std::mutex> lock(FStreamLock);
    const std::string connection = Connection ? Connection->Guid() : std::string();
    if (connection != FStreamConnection) {
      FStreamBuffer.clear();
      FStreamConnection = connection;
    }
    FStreamBuffer.insert(FStreamBuffer.end(), aChunk.begin(), aChunk.end());
    size_t pos = 0;
    while (FStreamBuffer.size() - pos >= 4) {
      const uint8_t* p = FStreamBuffer.data() + pos;
      const uint16_t length = static_cast<uint16_t>((p[2] << 8) | p[3]);
      size_t total;
      if (p[0] < 0x40 && length % 4 == 0) {
        total = QYN_STUN_HEADER_SIZE + length;
      } else if (p[0] >= 0x40 && p[0] < 0x80) {
        total = 4 + ((static_cast<size_t>(length) + 3) & ~size_t{3});
      } else {
        unframeable = true;
        badType = static_cast<unsigned>((p[0] << 8) | p[1]);
        badLength = length;
        break;
      }
      if (FStreamBuffer.size() - pos < total) break;
      frames.emplace_back(p, p + total);
      pos += total;
    }
    if (unframeable) {
      FStreamBuffer.clear();
      FStreamBuffer.shrink_to_fit();
    } else {
      FStreamBuffer.erase(FStreamBuffer.begin(), FStreamBuffer.begin() + static_cast<std::ptrdiff_t>(pos));
    }
  }
  const std::weak_ptr<char> alive = AliveToken().Weak();
  for (const TqynBytes& frame : frames) {
    DoReadBytes(Connection, frame);
    // A handler may have destroyed the component.
    if (alive.expired() || IsDestroying() || FShutdown.load()) return;
  }
  if (unframeable) throw Exception(QynFormat(RS_STUNStreamNotFramed, badType, badLength));
}

void TqynSTUNClient_Base::DoDisconnectTCP() {
  if (Transport() != stunTCP) return;
  TqynTCPCLient_Base* tcp;
  {
    std::lock_guard<std::mutex> lock(FCreateLock);
    tcp = FTCPClient.get();
  }
  if (tcp) tcp->SetActive(false);
  ResetTCPStream();
}

// ---------------------------------------------------------------------------------------------
// Decoder hooks

void TqynSTUNClient_Base::DoRequestMessageIntegrityKey(TqynSTUN_Message* /*Sender*/, const std::string& aTransactionId,
                                                       TqynBytes& Key) {
  Key = GetRequests()->GetMessageIntegrityKey(aTransactionId);
}

void TqynSTUNClient_Base::DoICEValidateMessageIntegrity(TqynSTUN_Message* /*Sender*/, const std::string& aUsername,
                                                        std::string& Password) {
  if (const auto handler = OnICEValidateMessageIntegrity) handler(this, aUsername, Password);
}

void TqynSTUNClient_Base::DoICERequestMessageIntegrityPassword(TqynSTUN_Message* /*Sender*/, TqynSTUN_Message* aMessage,
                                                               std::string& Password) {
  if (const auto handler = OnICERequestMessageIntegrityPassword) handler(this, aMessage, Password);
}

// ---------------------------------------------------------------------------------------------
// Dispatch

void TqynSTUNClient_Base::DoSTUNResponseSuccess(TqynSocketConnection* aSocket, TqynSTUN_Message* aMessage) {
  // Called through a copy, so that a handler may destroy the component.
  const auto handler = OnSTUNResponseSuccess;
  if (!handler) return;
  TqynSTUN_ResponseBinding binding;
  const TqynSTUN_Attribute* mapped = aMessage->Attributes().GetAttribute(stmaXOR_Mapped_Address);
  if (!mapped) mapped = aMessage->Attributes().GetAttribute(stmaMapped_Address);
  if (mapped) {
    binding.FIPVersion = mapped->Family() == 2 ? ipV6 : ipV4;
    binding.FRemoteIP = mapped->Address();
    binding.FRemotePort = mapped->Port();
    if (aSocket) {
      binding.FLocalIP = aSocket->LocalIP();
      binding.FLocalPort = aSocket->LocalPort();
    }
  }
  handler(this, aSocket, aMessage, &binding);
}

void TqynSTUNClient_Base::DoSTUNIndication(TqynSocketConnection* /*aSocket*/, TqynSTUN_Message* /*aMessage*/) {
  throw Exception(RS_STUNInvalidMessageClass);
}

void TqynSTUNClient_Base::DoSTUNRequest(TqynSocketConnection* aSocket, TqynSTUN_Message* aMessage) {
  const auto handler = OnICERequestBinding;
  if (!handler) throw Exception(RS_STUNInvalidMessageClass);
  handler(this, aSocket, aMessage);
}

bool TqynSTUNClient_Base::ReadChallenge(TqynSTUN_Message* aMessage, std::string& aRealm, std::string& aNonce) {
  const auto* realm = aMessage->Attributes().GetAttribute<TqynSTUN_Attribute_REALM>(stmaRealm);
  if (!realm) return false;
  aRealm = realm->Realm();
  const auto* nonce = aMessage->Attributes().GetAttribute<TqynSTUN_Attribute_NONCE>(stmaNonce);
  aNonce = nonce ? nonce->Nonce() : std::string();
  return true;
}

bool TqynSTUNClient_Base::DoSTUNAuthentication(TqynSTUN_Message* aMessage) {
  if (STUNOptions().Authentication.Credentials != stauLongTermCredential) return false;
  std::string realm, nonce;
  if (!ReadChallenge(aMessage, realm, nonce)) return false;
  // A server that challenges every answer (wrong credentials) is answered only a bounded number
  // of times in a row; the challenge after that is reported as the error it is.
  const auto item = GetRequests()->GetRequest(aMessage);
  const int challenges = item ? item->Challenges() : 0;
  const int redirects = item ? item->Redirects() : 0;
  if (challenges >= MaxChallengeAnswers()) return false;
  TFollowUpScope scope(this, challenges + 1, redirects);
  DoSendRequestWithCredentials(aMessage->Header().MessageType_Method(), realm, TqynSTUNAttributeItems(), nonce);
  return true;
}

bool TqynSTUNClient_Base::DoSTUNAlternateServer(TqynSTUN_Message* aMessage) {
  const TqynSTUN_Attribute* alternate = aMessage->Attributes().GetAttribute(stmaAlternate_Server);
  if (!alternate || alternate->Address().empty()) return false;
  const auto item = GetRequests()->GetRequest(aMessage);
  const int redirects = item ? item->Redirects() : 0;
  if (redirects >= MaxRedirects()) return false;
  SetHost(alternate->Address());
  SetPort(alternate->Port());
  if (alternate->Family() == 1) SetIPVersion(Id_IPv4);
  else if (alternate->Family() == 2) SetIPVersion(Id_IPv6);
  // The new server starts its own challenge count.
  TFollowUpScope scope(this, 0, redirects + 1);
  SendRequest();
  return true;
}

void TqynSTUNClient_Base::DoReadBytes(TqynSocketConnection* aSocket, const TqynBytes& aBytes) {
  if (aBytes.size() < QYN_STUN_HEADER_SIZE) return;
  TqynSTUN_Message message;
  message.SetMessageType(stmtClientRequest);
  if (aBytes[0] & 0xC0) throw Exception(RS_InvalidHeaderFormat);
  message.OnRequestMessageIntegrityKey = [this](TqynSTUN_Message* Sender, const std::string& aTransactionId, TqynBytes& Key) {
    DoRequestMessageIntegrityKey(Sender, aTransactionId, Key);
  };
  message.OnICEValidateMessageIntegrity = [this](TqynSTUN_Message* Sender, const std::string& aUsername, std::string& Password) {
    DoICEValidateMessageIntegrity(Sender, aUsername, Password);
  };
  message.OnICERequestMessageIntegrityPassword = [this](TqynSTUN_Message* Sender, TqynSTUN_Message* aMessage,
                                                        std::string& Password) {
    DoICERequestMessageIntegrityPassword(Sender, aMessage, Password);
  };
  message.Read(aBytes);

  const TqynStunMessageClass messageClass = message.Header().MessageType_Class();
  const bool response = messageClass == stmcResponseSuccess || messageClass == stmcResponseError;
  TqynSTUNRequestsQueue* requests = GetRequests();
  // Only this component registers with the engine, so there is nothing to cancel before it did.
  const bool cancel = FRetransmissionUsed.load();

  // A response whose transaction is not pending (a duplicate, or an answer to a request this
  // client never sent) is dropped before its integrity is judged: its key is no longer known, so
  // a signed duplicate would otherwise be reported as a forgery.
  if (response && !requests->ExistsRequest(&message)) {
    if (cancel) GetUDPClient()->Retransmissions()->DeleteItem(message.Header().TransactionIdString());
    return;
  }

  if (message.Fingerprint() == stfsFingerprintInvalid) throw Exception(RS_STUNInvalidFingerprint);
  if (message.MessageIntegrity() == stisMessageIntegrityInvalid ||
      message.MessageIntegrity() == stisMessageIntegrityInvalidRequest)
    throw Exception(RS_STUNInvalidMessageIntegrity);

  if (cancel) GetUDPClient()->Retransmissions()->DeleteItem(message.Header().TransactionIdString());

  // The handlers may destroy the component: nothing of it is touched after that.
  const std::weak_ptr<char> alive = AliveToken().Weak();
  switch (messageClass) {
  case stmcRequest:
    DoSTUNRequest(aSocket, &message);
    break;
  case stmcIndication:
    DoSTUNIndication(aSocket, &message);
    break;
  case stmcResponseSuccess:
  case stmcResponseError:
    try {
      if (messageClass == stmcResponseSuccess) DoSTUNResponseSuccess(aSocket, &message);
      else DispatchError(aSocket, &message);
    } catch (...) {
      if (alive.expired()) return;
      requests->DeleteRequest(&message);
      throw;
    }
    if (alive.expired()) return;
    requests->DeleteRequest(&message);
    break;
  }
}

void TqynSTUNClient_Base::DispatchError(TqynSocketConnection* aSocket, TqynSTUN_Message* aMessage) {
  if (DoSTUNAuthentication(aMessage)) return;
  const auto handler = OnSTUNResponseError;
  if (!handler) return;
  TqynSTUN_ResponseError error;
  if (const auto* code = aMessage->Attributes().GetAttribute<TqynSTUN_Attribute_ERROR_CODE>(stmaError_Code)) {
    error.FCode = code->Code();
    error.FReason = code->Reason();
  }
  if (error.FCode >= 300 && error.FCode <= 399) {
    if (DoSTUNAlternateServer(aMessage)) return;
  }
  handler(this, aSocket, aMessage, &error);
}

TqynSTUNRequestsQueue* TqynSTUNClient_Base::GetRequests() {
  std::lock_guard<std::mutex> lock(FCreateLock);
  if (!FRequests) FRequests = std::make_unique<TqynSTUNRequestsQueue>();
  return FRequests.get();
}

// ---------------------------------------------------------------------------------------------
// Sending

void TqynSTUNClient_Base::DoWriteBytes(const TqynBytes& aBytes) {
  if (Transport() == stunUDP) {
    GetUDPClient()->WriteData(aBytes);
    return;
  }
  TqynTCPCLient_Base* tcp = GetTCPClient();
  // A failed connect has been reported through the TCP client's exception event; the bytes are
  // then dropped.
  if (!tcp->Active()) tcp->Connect(TCPConnectTimeout);
  if (tcp->Active()) tcp->WriteData(aBytes);
}

void TqynSTUNClient_Base::DoSendMessage(TqynSTUN_Message* aMessage, const std::string& aIPAddress, TIdPort aPort) {
  if (const auto handler = OnSTUNBeforeSend) handler(this, aMessage);
  // Covers the attributes when the encoder appends nothing; otherwise it sets the length itself.
  aMessage->Header().SetMessageLength(static_cast<uint16_t>(std::min<uint32_t>(aMessage->ComputeMessageLength(), 0xFFFF)));
  const TqynBytes bytes = aMessage->Write();

  // The request is recorded, and registered for retransmission, before it is written: its answer
  // may arrive on another thread before the write returns.
  if (aMessage->Header().MessageType_Class() == stmcRequest) {
    const bool retransmit = Transport() == stunUDP && FRetransmissionOptions->Enabled;
    int challenges = 0, redirects = 0;
    TakeFollowUp(challenges, redirects);
    GetRequests()->AddRequest(aMessage, RequestRetention(retransmit), challenges, redirects);
    if (retransmit) {
      TqynUDPRetransmissions* engine = GetUDPClient()->Retransmissions();
      engine->SetRTO(FRetransmissionOptions->RTO);
      engine->SetMaxRetries(FRetransmissionOptions->MaxRetries);
      if (!engine->Enabled()) engine->SetEnabled(true);
      engine->AddItem(aMessage->Header().TransactionIdString(), bytes, aIPAddress, aPort);
      FRetransmissionUsed.store(true);
    }
  }

  if (!aIPAddress.empty()) GetUDPClient()->WriteData(aIPAddress, aPort, bytes);
  else DoWriteBytes(bytes);
}

void TqynSTUNClient_Base::DoInitializeMessage(TqynStunMessageMethod aMethod, TqynSTUN_Message* aMessage,
                                              TqynSTUNAttributeItems aAttributes) {
  TqynSTUN_Header& header = aMessage->Header();
  header.SetMessageType_Class(stmcRequest);
  header.SetMessageType_Method(aMethod);
  header.SetMagicCookie(QYN_STUN_MAGIC_COOKIE);
  header.SetMessageLength(0);
  header.SetTransactionId(NewTransactionId());

  const TqynSTUNClient_Options& options = STUNOptions();
  if (options.Fingerprint) aMessage->SetFingerprint(stfsFingerprintValid);
  const bool shortTerm = options.Authentication.Credentials == stauShortTermCredential;
  aMessage->SetCredentials(shortTerm ? stauShortTermCredential : stauNone);

  aMessage->Attributes().Reserve(aAttributes.size() + 2);
  for (auto& a : aAttributes)
    if (a) aMessage->Attributes().Add(std::move(a));

  if (shortTerm) {
    // A short-term request names its user and is signed with the password itself.
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

void TqynSTUNClient_Base::DoSetCredentials(TqynSTUN_Message* aMessage, const std::string& aRealm, const std::string& aNonce) {
  const TqynSTUNClient_Authentication& auth = STUNOptions().Authentication;
  aMessage->SetUsername(auth.Username);
  aMessage->SetPassword(auth.Password);
  aMessage->SetRealm(aRealm);
  aMessage->SetNonce(aNonce);
  aMessage->SetCredentials(auth.Credentials);
}

void TqynSTUNClient_Base::DoSendRequestWithCredentials(TqynStunMessageMethod aMethod, const std::string& aRealm,
                                                       TqynSTUNAttributeItems aAttributes, const std::string& aNonce) {
  TqynSTUN_Message message;
  message.SetMessageType(stmtClientRequest);
  DoInitializeMessage(aMethod, &message, std::move(aAttributes));
  DoSetCredentials(&message, aRealm, aNonce);
  DoSendMessage(&message, std::string(), 0);
  SetRealmAndNonce(aRealm, aNonce);
}

void TqynSTUNClient_Base::DoSendRequestWithoutCredentials(TqynStunMessageMethod aMethod, TqynSTUNAttributeItems aAttributes) {
  TqynSTUN_Message message;
  DoInitializeMessage(aMethod, &message, std::move(aAttributes));
  DoSendMessage(&message, std::string(), 0);
}

void TqynSTUNClient_Base::AssignLogFile(const TqynSTUNLogFile& Value) {
  std::lock_guard<std::mutex> lock(FLogLock);
  FLogFile->Assign(Value);
}

void TqynSTUNClient_Base::DoException(const Exception& E) {
  const std::weak_ptr<char> alive = AliveToken().Weak();
  try {
    if (const auto handler = OnSTUNException) handler(this, E);
  } catch (...) {
  }
  if (alive.expired()) return;
  try {
    DoDisconnectTCP();
  } catch (...) {
  }
}
