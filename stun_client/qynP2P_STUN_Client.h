// The STUN client component: builds and sends requests over UDP (inner UDP client with its
// retransmission engine) or TCP (inner TCP client), keeps the table of requests that await an
// answer, decodes what comes back, matches responses to requests by transaction id and reports
// the outcome through events. It answers long-term-credential challenges (USERNAME, REALM, NONCE,
// MESSAGE-INTEGRITY) and checks signed answers with the key the request was signed with.
//
// Threads: received data is processed where the inner transports deliver it (NotifyEvents:
// neNoSync on their read threads, otherwise queued to the main thread); events run there too.
// Public operations run on the caller's thread and never raise: every failure reaches
// OnSTUNException. Handlers are called through copies, and a handler of a received message may
// destroy the component; destruction stops and joins the transports' threads.
//
// Bounds that keep a long-running client safe against a misbehaving server:
//  - a challenged request is answered at most MaxChallengeAnswers times in a row for one
//    operation (default 2: the first challenge plus one stale-nonce renewal); the next challenge
//    is reported through OnSTUNResponseError with its error code;
//  - an ALTERNATE-SERVER redirect is followed at most MaxRedirects times in a row (default 3);
//  - an unanswered request stays in the request table for a limited time and the table holds a
//    limited number of entries (see TqynSTUNRequestsQueue);
//  - STUN over TCP is cut into whole messages by the header's length field; the reassembly
//    buffer never holds more than one partial message (at most 20 + 65535 bytes).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "qynBase_Classes.h"
#include "qynMessages.h"
#include "qynP2P_STUN_Classes.h"
#include "qynTCP_Client.h"
#include "qynUDP_Client.h"

#include "qynP2P_STUN_Component.h"

// ---------------------------------------------------------------------------------------------
// Options

// Credentials of the requests a client sends.
struct TqynSTUNClient_Authentication {
  TqynStunCredentials Credentials = stauNone;
  std::string Username;
  std::string Password;
  void Assign(const TqynSTUNClient_Authentication& aSource) { *this = aSource; }
};

// Options of Binding requests: FINGERPRINT, SOFTWARE (off for a client) and the credentials.
struct TqynSTUNClient_Options : TqynSTUN_Options {
  TqynSTUNClient_Authentication Authentication;

  TqynSTUNClient_Options() { Software = false; }
  // From another client options record every value is copied, Authentication included; from a
  // plain TqynSTUN_Options only Fingerprint and Software.
  void Assign(const TqynSTUN_Options& aSource) override {
    TqynSTUN_Options::Assign(aSource);
    if (const auto* s = dynamic_cast<const TqynSTUNClient_Options*>(&aSource)) Authentication.Assign(s->Authentication);
  }
};

// Retransmission of UDP requests: on by default, 7 transmissions, first timeout 500 ms.
struct TqynSTUNPRetransmissionClient_Options : TqynUDPRetransmissionClient_Options {
  TqynSTUNPRetransmissionClient_Options() { Enabled = true; }
};

// ---------------------------------------------------------------------------------------------
// Request table

// One request awaiting its answer. ID is the request's TransactionIdString.
class TqynSTUNRequestItem : public TqynQueueItemBase {
public:
  TqynStunMessageMethod Method() const noexcept { return FMethod; }
  void SetMethod(TqynStunMessageMethod aValue) noexcept { FMethod = aValue; }
  // The key the request's MESSAGE-INTEGRITY was computed with; empty when it carried none.
  const TqynBytes& MessageIntegrityKey() const noexcept { return FMessageIntegrityKey; }
  void SetMessageIntegrityKey(const TqynBytes& aValue) { FMessageIntegrityKey = aValue; }
  // CreatePermission: the address text of every XOR-PEER-ADDRESS in order. ChannelBind: the
  // XOR-PEER-ADDRESS address, its port and the CHANNEL-NUMBER value as decimal text (each when
  // present). Empty for every other method. Made on first use.
  std::vector<std::string>& Parameters();
  const std::vector<std::string>& Parameters() const;
  bool HasParameters() const noexcept { return FParameters && !FParameters->empty(); }

  // Challenges already answered in a row for the operation this request belongs to (0 for a new
  // operation; a resend after a challenge carries the count of its predecessor plus one).
  int Challenges() const noexcept { return FChallenges; }
  void SetChallenges(int aValue) noexcept { FChallenges = aValue; }
  // ALTERNATE-SERVER redirects already followed for the operation.
  int Redirects() const noexcept { return FRedirects; }
  void SetRedirects(int aValue) noexcept { FRedirects = aValue; }
  // When the entry may be dropped unanswered (QynTickCount64 milliseconds).
  uint64_t Expires() const noexcept { return FExpires; }
  void SetExpires(uint64_t aValue) noexcept { FExpires = aValue; }

private:
  TqynStunMessageMethod FMethod = stmmUnknown;
  TqynBytes FMessageIntegrityKey;
  std::unique_ptr<std::vector<std::string>> FParameters;
  int FChallenges = 0;
  int FRedirects = 0;
  uint64_t FExpires = 0;
};

// The requests that await an answer, in sending order; keyed by TransactionIdString (exact,
// case-sensitive, first match wins). Owns its items; every operation takes the queue's lock.
//
// Bounded: an entry that is never answered is dropped once its retention time has passed (the
// time it was given when added, by default MaxAge = 300 s, long enough for every retransmission
// and for late answers), and the table holds at most MaxCount entries (the oldest are dropped
// first). Expired entries are swept when requests are added, at most once per second.
class TqynSTUNRequestsQueue : public TqynQueueBase {
public:
  static constexpr int DefaultMaxCount = 10000;
  static constexpr uint64_t DefaultMaxAge = 300000; // milliseconds

  TqynSTUNRequestsQueue() { SetOwnObjects(true); }

  int MaxCount() const noexcept { return FMaxCount.load(); }
  void SetMaxCount(int aValue) noexcept { FMaxCount.store(aValue < 1 ? 1 : aValue); }
  // Least retention of an unanswered entry, in milliseconds.
  uint64_t MaxAge() const noexcept { return FMaxAge.load(); }
  void SetMaxAge(uint64_t aValue) noexcept { FMaxAge.store(aValue); }

  // Builds an item from an encoded request (its TransactionIdString, method, the key of its
  // MESSAGE-INTEGRITY and the parameters) and appends it, to be kept unanswered for aRetention
  // milliseconds (at least MaxAge), with the challenge and redirect counts of its operation.
  // Returns the item.
  std::shared_ptr<TqynSTUNRequestItem> AddRequest(TqynSTUN_Message* aMessage, uint64_t aRetention = 0,
                                                  int aChallenges = 0, int aRedirects = 0);
  bool DeleteRequest(TqynSTUN_Message* aMessage);
  bool ExistsRequest(TqynSTUN_Message* aMessage) const;
  std::shared_ptr<TqynSTUNRequestItem> GetRequest(TqynSTUN_Message* aMessage) const;
  std::shared_ptr<TqynSTUNRequestItem> GetRequest(const std::string& aTransactionId) const;
  // The stored key of the request with that transaction id; empty when none matches.
  TqynBytes GetMessageIntegrityKey(const std::string& aTransactionId) const;
  // Drops every entry whose retention has passed; returns how many.
  int Purge();

private:
  int PurgeLocked(uint64_t aNow, std::vector<TqynQueueItemRef>& aDropped);

  std::atomic<int> FMaxCount{DefaultMaxCount};
  std::atomic<uint64_t> FMaxAge{DefaultMaxAge};
  uint64_t FLastPurge = 0; // under the queue's lock
};

// ---------------------------------------------------------------------------------------------
// Result records (valid for one event call)

struct TqynSTUN_ResponseBinding {
  TwsIPVersion FIPVersion = ipV4;
  std::string FLocalIP;
  uint16_t FLocalPort = 0;
  std::string FRemoteIP; // the reflexive (mapped) address the server saw
  uint16_t FRemotePort = 0;
};

struct TqynSTUN_ResponseError {
  uint16_t FCode = 0; // the full error code, e.g. 401
  std::string FReason;
};

// ---------------------------------------------------------------------------------------------
// The component

using TqynSTUNBeforeSendEvent = std::function<void(TqynComponent_Base* Sender, TqynSTUN_Message* aMessage)>;
using TqynSTUNResponseSuccessEvent = std::function<void(TqynComponent_Base* Sender, TqynSocketConnection* aSocket,
                                                        TqynSTUN_Message* aMessage, TqynSTUN_ResponseBinding* aBinding)>;
using TqynSTUNResponseErrorEvent = std::function<void(TqynComponent_Base* Sender, TqynSocketConnection* aSocket,
                                                      TqynSTUN_Message* aMessage, TqynSTUN_ResponseError* aError)>;
using TqynICERequestBindingEvent =
    std::function<void(TqynComponent_Base* Sender, TqynSocketConnection* aSocket, TqynSTUN_Message* aMessage)>;
// The codec's message-level events already own the names TqynICEValidateMessageIntegrityEvent and
// TqynICERequestMessageIntegrityPasswordEvent (with the message as Sender); the component's events
// carry the component as Sender.
using TqynSTUNClientICEValidateMessageIntegrityEvent =
    std::function<void(TqynComponent_Base* Sender, const std::string& aUsername, std::string& Password)>;
using TqynSTUNClientICERequestMessageIntegrityPasswordEvent =
    std::function<void(TqynComponent_Base* Sender, TqynSTUN_Message* aMessage, std::string& Password)>;

// Elements of an attribute list handed to a request builder (the message takes them over).
using TqynSTUNAttributeItems = TqynSTUN_AttributeList::TItems;

class TqynSTUNClient_Base : public TqynSTUN_Component {
public:
  static constexpr int DefaultMaxChallengeAnswers = 2;
  static constexpr int DefaultMaxRedirects = 3;
  static constexpr int TCPConnectTimeout = 10000; // milliseconds
  // Unanswered-entry retention beyond the last due time of its retransmissions.
  static constexpr uint64_t RetransmissionGrace = 60000; // milliseconds

  explicit TqynSTUNClient_Base(TqynComponent_Base* aOwner = nullptr);
  ~TqynSTUNClient_Base() override;

  // Stops the inner transports (Shutdown): their read threads and the retransmission timer are
  // joined before any part of this component goes.
  void ShutdownComponent() noexcept override;

  // ---- Properties ----
  // Server address; stored in the inner UDP client and copied into the inner TCP client. A
  // change closes an open TCP connection to the previous server.
  std::string Host();
  void SetHost(const std::string& aValue);
  TIdPort Port();
  void SetPort(TIdPort aValue);
  TIdIPVersion IPVersion();
  void SetIPVersion(TIdIPVersion aValue);
  TqynSTUNTransport Transport() const noexcept { return FTransport.load(); }
  void SetTransport(TqynSTUNTransport aValue);
  // Read from the inner UDP client, written to both inner clients.
  TwsNotifyEvent NotifyEvents();
  void SetNotifyEvents(TwsNotifyEvent aValue);

  // The option objects are the component's own; the setters copy values.
  TqynSTUNPRetransmissionClient_Options& RetransmissionOptions() noexcept { return *FRetransmissionOptions; }
  const TqynSTUNPRetransmissionClient_Options& RetransmissionOptions() const noexcept { return *FRetransmissionOptions; }
  void SetRetransmissionOptions(const TqynUDPRetransmission_Options& aValue);
  TqynSTUNClient_Options& STUNOptions() noexcept { return *FSTUNOptions; }
  const TqynSTUNClient_Options& STUNOptions() const noexcept { return *FSTUNOptions; }
  void SetSTUNOptions(const TqynSTUN_Options& aValue) { FSTUNOptions->Assign(aValue); }
  TqynSTUNLogFile& LogFile() noexcept { return *FLogFile; }
  const TqynSTUNLogFile& LogFile() const noexcept { return *FLogFile; }
  void SetLogFile(const TqynSTUNLogFile& aValue) { AssignLogFile(aValue); }

  // The realm and nonce last learned from a challenge (empty until then).
  std::string Realm() const;
  std::string Nonce() const;

  // Consecutive challenges answered for one operation before the next is reported (0: none).
  int MaxChallengeAnswers() const noexcept { return FMaxChallengeAnswers.load(); }
  void SetMaxChallengeAnswers(int aValue) noexcept { FMaxChallengeAnswers.store(aValue < 0 ? 0 : aValue); }
  // Consecutive ALTERNATE-SERVER redirects followed for one operation.
  int MaxRedirects() const noexcept { return FMaxRedirects.load(); }
  void SetMaxRedirects(int aValue) noexcept { FMaxRedirects.store(aValue < 0 ? 0 : aValue); }

  // The inner transports, created on first use (each use hands them the log file settings).
  TqynUDPCLient_Base* GetUDPClient();
  TqynTCPCLient_Base* GetTCPClient();

  // ---- Public operations (never raise) ----
  // Sends one Binding request, with credentials when long-term credentials are configured and a
  // realm and nonce are known.
  void SendRequest();
  // Writes raw bytes to the server: no encoding, no table entry, no retransmission.
  void WriteData(const TqynBytes& aBytes);

  // ---- Events ----
  TqynSTUNBeforeSendEvent OnSTUNBeforeSend;
  TqynSTUNExceptionEvent OnSTUNException;
  TqynSTUNResponseErrorEvent OnSTUNResponseError;
  TqynSTUNResponseSuccessEvent OnSTUNResponseSuccess;
  TqynSTUNClientICEValidateMessageIntegrityEvent OnICEValidateMessageIntegrity;
  TqynICERequestBindingEvent OnICERequestBinding;
  TqynSTUNClientICERequestMessageIntegrityPasswordEvent OnICERequestMessageIntegrityPassword;

  // ---- Virtual operations, in slot order ----
  // Handlers of the inner UDP client's read and exception events.
  virtual void DoUDPClientRead(TqynComponent_Base* Sender, TqynUDPSocket* Socket, const TqynBytes& Bytes);
  virtual void DoUDPClientException(TqynComponent_Base* Sender, TqynUDPSocket* Socket, const Exception& E);
  // Handlers of the inner TCP client's binary and exception events. The binary handler cuts the
  // stream into whole messages.
  virtual void DoTCPClientBinary(TqynTCPConnection* Connection, TqynMemoryStream& Data);
  virtual void DoTCPClientException(TqynTCPConnection* Connection, const Exception& E);
  // With stunTCP, closes the TCP connection.
  virtual void DoDisconnectTCP();
  // Decoder hooks of received messages.
  virtual void DoRequestMessageIntegrityKey(TqynSTUN_Message* Sender, const std::string& aTransactionId, TqynBytes& Key);
  virtual void DoICEValidateMessageIntegrity(TqynSTUN_Message* Sender, const std::string& aUsername, std::string& Password);
  virtual void DoICERequestMessageIntegrityPassword(TqynSTUN_Message* Sender, TqynSTUN_Message* aMessage,
                                                    std::string& Password);
  // A success response to a pending request (Binding: OnSTUNResponseSuccess).
  virtual void DoSTUNResponseSuccess(TqynSocketConnection* aSocket, TqynSTUN_Message* aMessage);
  // An indication: a STUN client has none to handle and raises "Invalid Message Class Identifier".
  virtual void DoSTUNIndication(TqynSocketConnection* aSocket, TqynSTUN_Message* aMessage);
  // A request from the server side: OnICERequestBinding, or "Invalid Message Class Identifier".
  virtual void DoSTUNRequest(TqynSocketConnection* aSocket, TqynSTUN_Message* aMessage);
  // Answers a challenge; true when it did (the pending entry is then deleted without an event).
  virtual bool DoSTUNAuthentication(TqynSTUN_Message* aMessage);
  // Follows ALTERNATE-SERVER; true when it did.
  virtual bool DoSTUNAlternateServer(TqynSTUN_Message* aMessage);
  // Decodes and dispatches one whole message.
  virtual void DoReadBytes(TqynSocketConnection* aSocket, const TqynBytes& aBytes);
  // The request table, created on first use.
  virtual TqynSTUNRequestsQueue* GetRequests();
  // Writes bytes through the transport in use (TCP: connecting first when needed).
  virtual void DoWriteBytes(const TqynBytes& aBytes);
  // Encodes and sends a message; a request is recorded in the table and, over UDP, registered
  // for retransmission before it is written.
  virtual void DoSendMessage(TqynSTUN_Message* aMessage, const std::string& aIPAddress, TIdPort aPort);
  virtual void DoInitializeMessage(TqynStunMessageMethod aMethod, TqynSTUN_Message* aMessage,
                                   TqynSTUNAttributeItems aAttributes);
  virtual void DoSetCredentials(TqynSTUN_Message* aMessage, const std::string& aRealm, const std::string& aNonce);
  virtual void DoSendRequestWithCredentials(TqynStunMessageMethod aMethod, const std::string& aRealm,
                                            TqynSTUNAttributeItems aAttributes, const std::string& aNonce);
  virtual void DoSendRequestWithoutCredentials(TqynStunMessageMethod aMethod, TqynSTUNAttributeItems aAttributes);
  // The LogFile setter (copies the values).
  virtual void AssignLogFile(const TqynSTUNLogFile& Value);
  // OnSTUNException, then DoDisconnectTCP. Never raises.
  virtual void DoException(const Exception& E);

protected:
  // Stops the inner transports (their threads are joined, queued deliveries dropped); part of
  // ShutdownComponent.
  void Shutdown() noexcept;

  // Runs aProc and hands any exception to DoException.
  template <typename TProc> void Guarded(TProc&& aProc) noexcept;

  // The chain of follow-up requests: while a challenge or a redirect is answered on this thread,
  // the request that answers it inherits the counts of the request that was refused.
  struct TFollowUp {
    const TqynSTUNClient_Base* Owner = nullptr;
    int Challenges = 0;
    int Redirects = 0;
    bool Taken = false;
  };
  class TFollowUpScope {
  public:
    TFollowUpScope(const TqynSTUNClient_Base* aOwner, int aChallenges, int aRedirects) noexcept;
    ~TFollowUpScope();
    TFollowUpScope(const TFollowUpScope&) = delete;
    TFollowUpScope& operator=(const TFollowUpScope&) = delete;

  private:
    TFollowUp FFollowUp;
    TFollowUp* FPrevious;
  };
  // The counts a request sent now on this thread inherits (taken once per scope).
  bool TakeFollowUp(int& aChallenges, int& aRedirects) const noexcept;

  // Reads the challenge of an error response: true with realm and nonce when it has a REALM.
  static bool ReadChallenge(TqynSTUN_Message* aMessage, std::string& aRealm, std::string& aNonce);
  // Stores the realm and nonce learned from a challenge.
  void SetRealmAndNonce(const std::string& aRealm, const std::string& aNonce);
  // How long an unanswered request is kept, given the retransmission settings in force.
  uint64_t RequestRetention(bool aRetransmitted) const;

private:
  // Delivers the whole messages of a TCP stream chunk; raises when the stream cannot be framed.
  void ProcessTCPStream(TqynTCPConnection* Connection, const TqynBytes& aChunk);
  void ResetTCPStream();
  void DispatchError(TqynSocketConnection* aSocket, TqynSTUN_Message* aMessage);

  // Declaration order of the design: transports, table, realm and nonce, options.
  std::mutex FCreateLock; // creation of the inner transports and of the table
  std::unique_ptr<TqynUDPCLient_Base> FUDPClient;
  std::unique_ptr<TqynTCPCLient_Base> FTCPClient;
  std::unique_ptr<TqynSTUNRequestsQueue> FRequests;
  mutable std::mutex FRealmLock;
  std::string FRealm;
  std::string FNonce;
  std::unique_ptr<TqynSTUNPRetransmissionClient_Options> FRetransmissionOptions;
  std::unique_ptr<TqynSTUNLogFile> FLogFile;
  std::mutex FLogLock; // FLogFile's values while they are assigned or copied
  std::atomic<TqynSTUNTransport> FTransport{stunUDP};
  std::unique_ptr<TqynSTUNClient_Options> FSTUNOptions;

  std::atomic<int> FMaxChallengeAnswers{DefaultMaxChallengeAnswers};
  std::atomic<int> FMaxRedirects{DefaultMaxRedirects};
  std::atomic<bool> FRetransmissionUsed{false};
  std::atomic<bool> FShutdown{false};

  // TCP stream reassembly: the bytes of a partial message of the current connection.
  std::mutex FStreamLock;
  std::string FStreamConnection; // Guid of the connection the buffer belongs to
  TqynBytes FStreamBuffer;
};

// The component as applications place it.
class TqynSTUNClient : public TqynSTUNClient_Base {
public:
  using TqynSTUNClient_Base::TqynSTUNClient_Base;
  // Also as a stack object or a member: the transports stop before any destructor of the chain.
  ~TqynSTUNClient() override { ShutdownComponent(); }
};

// ---------------------------------------------------------------------------------------------

template <typename TProc> void TqynSTUNClient_Base::Guarded(TProc&& aProc) noexcept {
  // A handler called inside may destroy the component; its failure is then not reported.
  const std::weak_ptr<char> alive = AliveToken().Weak();
  try {
    aProc();
  } catch (const Exception& E) {
    if (!alive.expired()) DoException(E);
  } catch (const std::exception& e) {
    if (!alive.expired()) DoException(Exception(e.what()));
  } catch (...) {
    if (!alive.expired()) DoException(Exception(RS_UnknownException));
  }
}
