#include "qynRelayProbe_Session.h"

#include <algorithm>

#include "qynBase_Sync.h"
#include "qynClock.h"
#include "qynRelayProbe_Settings.h"

namespace {

bool IsResponseEvent(TqynRelayProbeEvent aEvent) noexcept {
  switch (aEvent) {
  case rpeError:
  case rpeBinding:
  case rpeAllocate:
  case rpeRefresh:
  case rpeCreatePermission:
  case rpeChannelBind: return true;
  default: return false;
  }
}

uint16_t ErrorCodeOf(const TqynSTUN_Message* aMessage) {
  if (!aMessage) return 0;
  const auto* code = aMessage->Attributes().GetAttribute<TqynSTUN_Attribute_ERROR_CODE>(stmaError_Code);
  return code ? code->Code() : 0;
}

} // namespace

bool RelayProbeDrainUntil(const std::function<bool()>& aDone, uint64_t aMs) {
  const uint64_t end = QynTickCount64() + aMs;
  for (;;) {
    if (aDone()) return true;
    const uint64_t now = QynTickCount64();
    if (now >= end) return false;
    CheckSynchronize(static_cast<int>(std::min<uint64_t>(end - now, 20)));
  }
}

TqynRelayProbeSession::TqynRelayProbeSession(const TqynRelayProbeOptions& aOptions, TqynRelayProbeLogEvent aLog,
                                             int64_t aUnixNow)
    : FLog(std::move(aLog)), FTimeoutMs(aOptions.TimeoutMs), FClient(std::make_unique<TqynTURNClient>()) {
  ApplyRelayProbeDesignSettings(*FClient);
  ApplyRelayProbeOptions(*FClient, aOptions, aUnixNow);
  HookRelayProbeLog(*FClient, [this](TqynRelayProbeEvent aEvent, TqynSTUN_Message* aMessage, const std::string& aLine) {
    OnLine(aEvent, aMessage, aLine);
  });
  HookRecords();
  // Every request sent while a command runs belongs to it, a challenge's resend included.
  FClient->OnSTUNBeforeSend = [this](TqynComponent_Base*, TqynSTUN_Message* aMessage) {
    if (FCurrent.Active && aMessage->Header().MessageType_Class() == stmcRequest)
      FCurrent.Ids.insert(aMessage->Header().TransactionIdString());
  };
}

TqynRelayProbeSession::~TqynRelayProbeSession() { FClient.reset(); }

void TqynRelayProbeSession::HookRecords() {
  auto logIndication = FClient->OnTURNDataIndication;
  FClient->OnTURNDataIndication = [this, logIndication](TqynComponent_Base* Sender, TqynSocketConnection* aSocket,
                                                        TqynSTUN_Message* aMessage, TqynTURN_ResponseDataIndication* aData) {
    TqynRelayProbeReceived r;
    r.Event = rpeDataIndication;
    r.PeerIP = aData->FPeerIP;
    r.PeerPort = aData->FPeerPort;
    r.Data = aData->FData;
    r.Tick = QynTickCount64();
    if (FReceived.size() >= RelayProbeMaxReceived) FReceived.pop_front();
    FReceived.push_back(std::move(r));
    logIndication(Sender, aSocket, aMessage, aData);
  };
  auto logChannelData = FClient->OnTURNChannelData;
  FClient->OnTURNChannelData = [this, logChannelData](TqynComponent_Base* Sender, TqynSocketConnection* aSocket,
                                                      TqynTURNChannelData* aData) {
    TqynRelayProbeReceived r;
    r.Event = rpeChannelData;
    r.Channel = aData->ChannelID();
    r.Data = aData->Data();
    r.Tick = QynTickCount64();
    if (FReceived.size() >= RelayProbeMaxReceived) FReceived.pop_front();
    FReceived.push_back(std::move(r));
    logChannelData(Sender, aSocket, aData);
  };
  auto logChannelBind = FClient->OnTURNChannelBind;
  FClient->OnTURNChannelBind = [this, logChannelBind](TqynComponent_Base* Sender, TqynSocketConnection* aSocket,
                                                      TqynSTUN_Message* aMessage, TqynTURN_ResponseChannelBind* aBind) {
    FLastChannel = aBind->FChannel;
    logChannelBind(Sender, aSocket, aMessage, aBind);
  };
}

void TqynRelayProbeSession::OnLine(TqynRelayProbeEvent aEvent, TqynSTUN_Message* aMessage, const std::string& aLine) {
  if (FLog) FLog(aEvent, aMessage, aLine);
  if (IsResponseEvent(aEvent)) FAnswered = true;
  if (!FCurrent.Active || FCurrent.Done) return;
  if (aEvent == rpeException) {
    // Raised by the operation itself (refused before anything was sent), or the TCP connection
    // failed (the request was dropped): the command has failed. Reported otherwise while waiting
    // (a datagram that could not be read): the command goes on waiting for its own answer.
    if (FCurrent.Issuing || ConnectionDown()) Finish(rpoFailed, aLine);
    return;
  }
  if (!IsResponseEvent(aEvent) || !aMessage || !FCurrent.Ids.count(aMessage->Header().TransactionIdString())) return;
  if (aEvent == rpeError) Finish(rpoFailed, aLine, ErrorCodeOf(aMessage));
  else Finish(rpoSucceeded, aLine);
}

void TqynRelayProbeSession::Finish(TqynRelayProbeOutcome aOutcome, const std::string& aLine, uint16_t aErrorCode) {
  FCurrent.Done = true;
  FCurrent.Result.Outcome = aOutcome;
  FCurrent.Result.Line = aLine;
  FCurrent.Result.ErrorCode = aErrorCode;
  FCurrent.Result.Milliseconds = QynTickCount64() - FStart;
}

void TqynRelayProbeSession::Issue(const TqynRelayProbeCommand& aCommand) {
  TqynTURNClient& c = *FClient;
  FCurrent.Issuing = true;
  IssueCall(c, aCommand);
  FCurrent.Issuing = false;
}

void TqynRelayProbeSession::IssueCall(TqynTURNClient& c, const TqynRelayProbeCommand& aCommand) {
  switch (aCommand.Kind) {
  case rpcBinding: c.SendRequest(); break;
  case rpcAllocate: c.Allocate(); break;
  case rpcRefresh: c.Refresh(aCommand.Number); break;
  case rpcPermission: c.CreatePermission(aCommand.Address); break;
  case rpcSend: c.SendIndication(aCommand.Address, aCommand.Port, aCommand.Text); break;
  case rpcChannel: c.ChannelBind(aCommand.Address, aCommand.Port); break;
  case rpcChannelData: c.SendChannelData(static_cast<uint16_t>(aCommand.Number), aCommand.Text); break;
  default: break;
  }
}

bool TqynRelayProbeSession::ConnectionDown() {
  return FClient->Transport() == stunTCP && !FClient->GetTCPClient()->Active();
}

// Every request of the command has left the request table without an outcome: the component
// handled its answer without an event.
bool TqynRelayProbeSession::EndedSilently() {
  if (FCurrent.Ids.empty()) return false;
  TqynSTUNRequestsQueue* requests = FClient->GetRequests();
  for (const std::string& id : FCurrent.Ids)
    if (requests->GetRequest(id)) return false;
  return true;
}

TqynRelayProbeResult TqynRelayProbeSession::Run(const TqynRelayProbeCommand& aCommand) {
  FCurrent = TCurrent();
  FStart = QynTickCount64();
  if (aCommand.Kind == rpcWait) {
    RelayProbeDrainUntil([] { return false; }, aCommand.Milliseconds);
    Finish(rpoSucceeded, "");
    return FCurrent.Result;
  }
  FCurrent.Active = true;
  Issue(aCommand);
  const bool expectsAnswer = aCommand.Kind != rpcSend && aCommand.Kind != rpcChannelData;
  if (!FCurrent.Done && !expectsAnswer) Finish(rpoSucceeded, "");
  int reissues = 0;
  const bool mayReissue = aCommand.Kind == rpcRefresh || aCommand.Kind == rpcChannel;
  RelayProbeDrainUntil(
      [&] {
        if (FCurrent.Done) return true;
        if (mayReissue && reissues < 2 && EndedSilently()) {
          ++reissues;
          FCurrent.Ids.clear();
          Issue(aCommand);
        }
        return FCurrent.Done;
      },
      FTimeoutMs);
  if (!FCurrent.Done) Finish(rpoTimedOut, RelayProbeTimeoutLine(aCommand.Name));
  FCurrent.Active = false;
  return FCurrent.Result;
}
