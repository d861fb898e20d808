// The STUN server component: datagram processing, request checks, Binding responses and error
// responses, the long-term-credential gate with its nonce list, and the owned UDP server.
//
// The processing entry (UDPServerRead / ProcessDatagram) needs nothing but the received bytes and
// a UDP socket object that tells the sender's and the receiving binding's addresses and can send
// back to the sender; the UDP server component delivers exactly that.
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
#include "qynMessages.h"
#include "qynP2P_STUN_Classes.h"
#include "qynP2P_STUN_RateLimit.h"

class TqynUDPServer_Base;

#include "qynP2P_STUN_Component.h"

// ---------------------------------------------------------------------------------------------
// Error responses

// Each member names one error response: the code of its ERROR-CODE and its reason phrase.
enum TqynStunError : uint8_t {
  stueInvalidRequest,
  stueUnauthorized,
  stueUnknownAttribute,
  stueStaleNonce,
  stueTryAlternate,
  stueForbidden,
  stueAllocationMismatch,
  stueAddressFamilyNotSupported,
  stueWrongCredentials,
  stueUnsupportedTransportProtocol,
  stuePeerAddressFamilyMismatch,
  stueAllocationQuotaReached,
  stueInsufficientCapacity
};

// 400, 401, ... for the members above (400 for a value outside the enumeration).
uint16_t StunErrorCode(TqynStunError aError) noexcept;
// "Invalid Request", "Unauthorized", ... ("Invalid Request" for a value outside the enumeration).
const char* StunErrorReason(TqynStunError aError) noexcept;

// ---------------------------------------------------------------------------------------------
// Options

struct TqynSTUNServer_LongTermCredentials {
  bool Enabled = false;
  std::string Realm = RS_STUNDefaultRealm;
  int StaleNonce = 600; // seconds a nonce is honoured
  void Assign(const TqynSTUNServer_LongTermCredentials& aSource) { *this = aSource; }
};

// Kept and copied; no processing step consults it.
struct TqynSTUNServer_ShortTermCredentials {
  bool Enabled = false;
  void Assign(const TqynSTUNServer_ShortTermCredentials& aSource) { *this = aSource; }
};

struct TqynSTUNServer_Authentication {
  bool Enabled = false;
  TqynSTUNServer_LongTermCredentials LongTermCredentials;
  TqynSTUNServer_ShortTermCredentials ShortTermCredentials;
  void Assign(const TqynSTUNServer_Authentication& aSource) {
    Enabled = aSource.Enabled;
    LongTermCredentials.Assign(aSource.LongTermCredentials);
    ShortTermCredentials.Assign(aSource.ShortTermCredentials);
  }
};

struct TqynSTUNServer_AlternateServer {
  bool Enabled = false;
  std::string IPAddress;
  uint16_t Port = 3478;
  TwsIPVersion Family = ipV4;
  std::string Domain;
  void Assign(const TqynSTUNServer_AlternateServer& aSource) { *this = aSource; }
};

struct TqynSTUNServer_BindingAttributes {
  bool MappedAddressRFC3489 = true;
  bool OtherAddress = true;
  bool ResponseOrigin = true;
  bool SourceAddress = true;
  TqynSTUNServer_AlternateServer AlternateServer;
  void Assign(const TqynSTUNServer_BindingAttributes& aSource) {
    MappedAddressRFC3489 = aSource.MappedAddressRFC3489;
    OtherAddress = aSource.OtherAddress;
    ResponseOrigin = aSource.ResponseOrigin;
    SourceAddress = aSource.SourceAddress;
    AlternateServer.Assign(aSource.AlternateServer);
  }
};

// The bound on answers to requests that did not authenticate, per source address (an IPv4
// address or an IPv6 /64). Over it a request is dropped without an answer and counted. Every
// request whose MESSAGE-INTEGRITY did not verify with a password the application gave spends one
// answer on arrival (Binding too: its answer is several times the size of the request, so it
// reflects as well as a 401 does); a verified request spends one only when the gate refuses it
// (unknown or stale nonce, expired credentials).
struct TqynSTUNServer_UnauthenticatedAnswers {
  int Rate = 0;            // answers per second per source; 0: no bound
  int Burst = 20;          // answers a source may get at once
  int MaxSources = 10000;  // sources tracked at once (the least recently seen give way)
  void Assign(const TqynSTUNServer_UnauthenticatedAnswers& aSource) { *this = aSource; }
};

struct TqynSTUNServer_Options : TqynSTUN_Options {
  TqynSTUNServer_Authentication Authentication;
  TqynSTUNServer_BindingAttributes BindingAttributes;
  TqynSTUNServer_UnauthenticatedAnswers UnauthenticatedAnswers;

  // From another server options record every value is copied, nested ones included; from a plain
  // TqynSTUN_Options only Fingerprint and Software.
  void Assign(const TqynSTUN_Options& aSource) override {
    TqynSTUN_Options::Assign(aSource);
    if (const auto* s = dynamic_cast<const TqynSTUNServer_Options*>(&aSource)) {
      Authentication.Assign(s->Authentication);
      BindingAttributes.Assign(s->BindingAttributes);
      UnauthenticatedAnswers.Assign(s->UnauthenticatedAnswers);
    }
  }
};

// ---------------------------------------------------------------------------------------------
// Nonces

// One issued nonce.
class TqynSTUNNonceItem : public TqynQueueItemBase {
public:
  TqynDateTime Expires() const noexcept { return FExpires; }
  void SetExpires(TqynDateTime aValue) noexcept { FExpires = aValue; }
  const std::string& Realm() const noexcept { return FRealm; }
  void SetRealm(const std::string& aValue) { FRealm = aValue; }

private:
  friend class TqynSTUNNoncesQueue;
  TqynDateTime FExpires = 0;
  std::string FRealm;
  uint64_t FSequence = 0; // issue order, for finding the item in the list
};

// The nonces a server has issued, in issue order, with a hash index by nonce text. Thread-safe:
// every operation holds the list's lock.
//
// The list stays bounded under a flood of requests that never come back: AddNonce drops items
// that expired more than a grace period ago (the grace equals StaleNonce, so a client coming back
// shortly after expiry still gets 438 "Stale Nonce" rather than 401), at most once per second of
// the clock; and when MaxCount items are held it first drops the oldest sixteenth of the list.
// Use AddNonce, GetNonceState, Purge and Clear to change the list: the inherited item operations
// are not available through this class, since they would bypass the index.
class TqynSTUNNoncesQueue : public TqynQueueBase {
public:
  static constexpr int DefaultMaxCount = 100000;

  TqynSTUNNoncesQueue() { SetOwnObjects(true); }

  // Lifetime of new nonces in seconds.
  int StaleNonce() const noexcept { return FStaleNonce.load(); }
  void SetStaleNonce(int aValue) noexcept { FStaleNonce.store(aValue); }
  // Most items held at once (at least 16).
  int MaxCount() const noexcept { return FMaxCount.load(); }
  void SetMaxCount(int aValue) noexcept { FMaxCount.store(aValue < 16 ? 16 : aValue); }

  // Issues a new nonce (a new GUID as 32 upper-case hexadecimal digits) for aRealm, honoured for
  // StaleNonce seconds from now, and returns its text.
  std::string AddNonce(const std::string& aRealm);
  // stnsNonceUnknown when no item has that text; stnsNonceValid while it has not expired;
  // otherwise the item is deleted and the result is stnsNonceStaled.
  TqynStunNonceState GetNonceState(const std::string& aNonce);
  // Drops at once every item that expired more than the grace period ago; returns how many.
  int Purge();
  void Clear() override;

private:
  using TqynQueueBase::AddItem;
  using TqynQueueBase::DeleteItem;
  using TqynQueueBase::Add;
  using TqynQueueBase::AddKey;
  using TqynQueueBase::Delete;
  using TqynQueueBase::DeleteKey;
  using TqynQueueBase::Remove;
  using TqynQueueBase::RemoveItem;

  // All with the lock held.
  int PurgeLocked(TqynDateTime aNow, std::vector<TqynQueueItemRef>& aDropped);
  void DropFrontLocked(size_t aCount, std::vector<TqynQueueItemRef>& aDropped);
  size_t PositionLocked(const TqynSTUNNonceItem* aItem) const;

  std::unordered_map<std::string, std::shared_ptr<TqynSTUNNonceItem>> FIndex;
  std::atomic<int> FStaleNonce{600};
  std::atomic<int> FMaxCount{DefaultMaxCount};
  uint64_t FNextSequence = 1;
  TqynDateTime FLastPurge = 0;
};

// ---------------------------------------------------------------------------------------------
// The server component

class TqynSTUNServer_Base;

using TqynSTUNRequestAuthorizationEvent =
    std::function<void(TqynComponent_Base* Sender, TqynSTUN_Message* aRequest, const std::string& aUsername,
                       const std::string& aRealm, std::string& Password)>;
using TqynSTUNRequestSuccessEvent = std::function<void(TqynComponent_Base* Sender, TqynSocketConnection* aSocket,
                                                       TqynSTUN_Message* aRequest, TqynSTUN_Message* aResponse, bool& Accept)>;
using TqynSTUNRequestErrorEvent = TqynSTUNRequestSuccessEvent;
// Asked for a request whose credentials verified and whose nonce is honoured: Expired (false on
// entry) set to true refuses the credentials with a fresh 401 challenge.
using TqynSTUNCredentialsExpiredEvent = std::function<void(TqynComponent_Base* Sender, TqynSTUN_Message* aRequest,
                                                           const std::string& aUsername, const std::string& aRealm, bool& Expired)>;

// Datagrams from several bindings are processed at the same time on their listener threads (with
// neNoSync); they share the options (only read while processing), the binding list and the nonce
// list. A descendant that overrides the processing operations and is not freed with delete calls
// ShutdownComponent first in its own destructor, so no listener calls into a half-destroyed one.
class TqynSTUNServer_Base : public TqynSTUN_Component {
public:
  explicit TqynSTUNServer_Base(TqynComponent_Base* aOwner = nullptr);
  ~TqynSTUNServer_Base() override;

  // Shuts the inner UDP server down (its listeners and one-shot threads are joined), so that no
  // thread calls into this component any more. The destructor calls it too.
  void ShutdownComponent() noexcept override;

  // ---- Properties (those of the UDP server are forwarded to it) ----
  bool Active();
  TIdSocketHandles& Bindings();
  std::string Host();
  void SetHost(const std::string& aValue);
  TIdPort Port();
  void SetPort(TIdPort aValue);
  TIdIPVersion IPVersion();
  void SetIPVersion(TIdIPVersion aValue);
  TwsNotifyEvent NotifyEvents();
  void SetNotifyEvents(TwsNotifyEvent aValue);
  const TqynSTUNLogFile& LogFile() const noexcept { return *FLogFile; }
  TqynSTUNLogFile& LogFile() noexcept { return *FLogFile; }
  const TqynSTUNServer_Options& STUNOptions() const noexcept { return *FSTUNOptions; }
  TqynSTUNServer_Options& STUNOptions() noexcept { return *FSTUNOptions; }
  void SetSTUNOptions(const TqynSTUNServer_Options& aValue) { FSTUNOptions->Assign(aValue); }

  // The owned UDP server, created on first use; each fetch hands it the log file settings.
  TqynUDPServer_Base* GetUDPServer();
  // The nonce list, created on first use; each fetch sets its StaleNonce from STUNOptions.
  TqynSTUNNoncesQueue* GetNonces();

  // Forward to the UDP server (AddBinding with an empty binding name).
  TIdSocketHandle* AddBinding(const std::string& aIPAddress, TIdPort aPort);
  bool RemoveBinding(const std::string& aIPAddress, TIdPort aPort);

  // ---- Events ----
  TqynSTUNExceptionEvent OnSTUNException;
  TqynSTUNRequestAuthorizationEvent OnSTUNRequestAuthorization;
  TqynSTUNRequestSuccessEvent OnSTUNRequestSuccess;
  TqynSTUNRequestErrorEvent OnSTUNRequestError;
  TqynSTUNCredentialsExpiredEvent OnSTUNCredentialsExpired;

  // Requests dropped unanswered by the bound of STUNOptions.UnauthenticatedAnswers, and the
  // sources it tracks now.
  uint64_t UnauthenticatedDropped() const noexcept { return FUnauthenticatedAnswers.Dropped(); }
  size_t UnauthenticatedSources() const { return FUnauthenticatedAnswers.SourceCount(); }

  // ---- Virtual operations, in slot order ----

  // The entry for every received datagram: ProcessDatagram under the exception guard. Bound to the
  // UDP server's OnUDPRead; callable directly with any UDP socket object.
  virtual void UDPServerRead(TqynComponent_Base* Sender, TqynUDPSocket* Socket, const TqynBytes& Bytes);
  // Bound to the UDP server's OnUDPException: passes E on to OnSTUNException.
  virtual void UDPServerException(TqynComponent_Base* Sender, TqynUDPSocket* Socket, const Exception& E);
  // Copies the values.
  virtual void SetLogFile(const TqynSTUNLogFile& aValue);
  // Starts or stops the UDP server.
  virtual void SetActive(bool aValue);

protected:
  virtual void AddMappedAddress(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest, TqynSTUN_Message* aResponse);
  virtual void AddResponseOrigin(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest, TqynSTUN_Message* aResponse);
  virtual void AddSourceAddress(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest, TqynSTUN_Message* aResponse);
  virtual void AddOtherAddress(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest, TqynSTUN_Message* aResponse);
  virtual void AddSoftware(TqynSTUN_Message* aResponse);
  // The nonce check of the long-term credential mechanism: true for a request with a nonce that is
  // still honoured and a MESSAGE-INTEGRITY (or -SHA256) that verified with a non-empty password;
  // otherwise 401 (438 for an expired nonce) with a new NONCE and the REALM has been sent.
  virtual bool CheckLongTermCredentials(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest,
                                        const TqynSTUNServer_LongTermCredentials& aLongTermCredentials,
                                        TqynSTUN_Message* aResponse);
  // Asks the application for the password of a request's MESSAGE-INTEGRITY (Sender: the request).
  virtual void DoRequestAuthorization(TqynSTUN_Message* Sender, const std::string& aUsername, const std::string& aRealm,
                                      std::string& Password);
  // The gate every request passes before its method is served; false when it answered (or an
  // event handler suppressed the answer) instead.
  virtual bool CheckAuthentication(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest,
                                   const TqynSTUNServer_Authentication& aAuthentication, TqynSTUN_Message* aResponse);
  // A request whose MESSAGE-INTEGRITY did not verify (a wrong password, an unknown user): where
  // long-term credentials govern its method it gets 401 with a new NONCE and the REALM, unsigned,
  // so that the client learns of the refusal instead of retransmitting into silence; otherwise
  // it gets nothing. The datagram is then reported as "Invalid Message Integrity" all the same.
  virtual void RefuseWrongIntegrity(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest, TqynSTUN_Message* aResponse);
  // The 401 of RefuseWrongIntegrity under aAuthentication (nothing when it is off or not
  // long-term).
  void SendWrongIntegrityChallenge(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest,
                                   const TqynSTUNServer_Authentication& aAuthentication, TqynSTUN_Message* aResponse);
  virtual void ProcessBinding(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest, TqynSTUN_Message* aResponse);
  virtual void SendErrorResponse(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest, TqynStunError aError,
                                 TqynSTUN_Message* aResponse);
  virtual void SendSuccessResponse(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest, TqynSTUN_Message* aResponse);
  virtual void SendResponse(TqynUDPSocket* aSocket, TqynSTUN_Message* aResponse);
  virtual void ProcessRequest(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest, TqynSTUN_Message* aResponse);
  // Indications are never answered: this one drops them (the TURN server takes Send indications).
  virtual void ProcessIndication(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest, TqynSTUN_Message* aResponse);

public:
  // Decodes, checks and answers one datagram; raises what it cannot handle (UDPServerRead
  // catches it). A datagram that is not a STUN message (IsSTUNMessage: ChannelData among them,
  // which a descendant takes before calling this) is dropped without an answer or an event;
  // only requests are ever answered.
  virtual void ProcessDatagram(TqynUDPSocket* aSocket, const TqynBytes& Bytes);

protected:
  // Raises OnSTUNException.
  virtual void DoSTUNException(const Exception& E);

  // True when the request holds no attribute the server refuses; otherwise UNKNOWN-ATTRIBUTES
  // listing them (PASSWORD-ALGORITHM, USERHASH) has been appended to the response.
  bool CheckUnknownAttributes(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest, TqynSTUN_Message* aResponse);

  // Spends one answer of the source's bound for a request that did not authenticate; false when
  // the source is over it (the request is then to be dropped unanswered).
  bool AdmitUnauthenticated(TqynUDPSocket* aSocket);
  // OnSTUNCredentialsExpired for the request's USERNAME and REALM (false when unassigned).
  bool CredentialsExpired(TqynSTUN_Message* aRequest);

  // The UDP server if it exists, without the log file update of GetUDPServer (for listener threads).
  TqynUDPServer_Base* UDPServerIfCreated() const noexcept { return FUDPServer.get(); }

private:
  // The OTHER-ADDRESS candidates derived from the bindings at one PlainBindingsVersion.
  struct TOtherAddresses {
    struct TAddress {
      std::string IP;
      TIdPort Port;
      uint16_t Family;
    };
    uint64_t Version = 0;
    std::vector<TAddress> Addresses;
  };
  static std::shared_ptr<const TOtherAddresses> CollectOtherAddresses(TqynUDPServer_Base* aServer, uint64_t aVersion);

  std::mutex FOtherAddressesLock;
  std::shared_ptr<const TOtherAddresses> FOtherAddresses;
  std::unique_ptr<TqynSTUNLogFile> FLogFile;
  std::unique_ptr<TqynSTUNServer_Options> FSTUNOptions;
  std::mutex FCreateLock; // creation of the UDP server and of the nonce list
  std::unique_ptr<TqynUDPServer_Base> FUDPServer;
  std::unique_ptr<TqynSTUNNoncesQueue> FNonces;
  TqynSTUNSourceRateLimit FUnauthenticatedAnswers;
  // Settings kept until the UDP server exists.
  std::string FHost;
  TIdPort FPort = 3478;
  TIdIPVersion FIPVersion = Id_IPv4;
  TwsNotifyEvent FNotifyEvents = neNoSync;
};
