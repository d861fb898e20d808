#include "qynRelayProbe_Check.h"

#include <string>

#include "qynClock.h"
#include "qynRelayProbe_Probe.h"
#include "qynRelayProbe_RestCredentials.h"

namespace {

std::string ServerText(const TqynRelayProbeOptions& aOptions) {
  const bool v6 = aOptions.Host.find(':') != std::string::npos;
  return (v6 ? "[" + aOptions.Host + "]" : aOptions.Host) + ":" + std::to_string(aOptions.Port);
}

TqynRelayProbeCommand Command(TqynRelayProbeCommandKind aKind, const std::string& aName) {
  TqynRelayProbeCommand c;
  c.Kind = aKind;
  c.Name = aName;
  return c;
}

// One client of the check with what the steps need to know of it.
struct TClient {
  std::string Name; // "A", "B"
  TqynRelayProbeSession Session;
  bool Allocated = false;
  std::string RelayedIP;
  uint16_t RelayedPort = 0;

  TClient(const std::string& aName, const TqynRelayProbeOptions& aOptions, int64_t aUnixNow)
      : Name(aName), Session(aOptions, {}, aUnixNow) {}
};

class TCheck {
public:
  TCheck(const TqynRelayProbeOptions& aOptions, std::FILE* aOut)
      : FOptions(aOptions), FOut(aOut), FA("A", aOptions, RelayProbeUnixNow()), FB("B", aOptions, RelayProbeUnixNow()) {}

  int Run() {
    TqynRelayProbeVerdict verdict = Allocate(FA);
    if (verdict == rpvPass) verdict = Allocate(FB);
    if (verdict == rpvPass && !Relay()) verdict = rpvNoRelay;
    // Both allocations are released, whatever the first one's outcome.
    const bool releasedA = Release(FA);
    const bool releasedB = Release(FB);
    const bool released = releasedA && releasedB;
    if (verdict == rpvPass && !released) verdict = rpvNotReleased;
    WriteRelayProbeLine(FOut, RelayProbeVerdictLine(verdict, FOptions, FFailure));
    return verdict == rpvPass ? 0 : 1;
  }

private:
  // Prints the step's line; true when it passed. The first failure is kept for the verdict.
  bool Step(const std::string& aName, const TqynRelayProbeResult& aResult) {
    const bool ok = aResult.Outcome == rpoSucceeded;
    std::string line = aName + (ok ? ": ok in " : ": FAILED after ") + std::to_string(aResult.Milliseconds) + " ms";
    std::string outcome = aResult.Line;
    while (!outcome.empty() && outcome.back() == '\n') outcome.pop_back();
    std::erase(outcome, '\r');
    for (char& ch : outcome)
      if (ch == '\n') ch = ' ';
    if (!outcome.empty()) line += ": " + outcome;
    WriteRelayProbeLine(FOut, line);
    if (!ok && FFailure.empty()) FFailure = aName + ": " + outcome;
    return ok;
  }

  TqynRelayProbeVerdict Allocate(TClient& aClient) {
    const TqynRelayProbeResult result = aClient.Session.Run(Command(rpcAllocate, "allocate"));
    if (Step("allocate " + aClient.Name, result)) {
      aClient.Allocated = true;
      const TqynTURNClient_AllocationRef record = aClient.Session.Client().Allocation();
      aClient.RelayedIP = record->RelayedIP();
      aClient.RelayedPort = record->RelayedPort();
      return rpvPass;
    }
    const bool challenged = !aClient.Session.Client().Realm().empty();
    const TqynRelayProbeVerdict verdict =
        RelayProbeAllocateVerdict(result, challenged, aClient.Session.Answered(), FOptions.Credentials);
    if (verdict == rpvWrongCredentials && result.ErrorCode == 0)
      FFailure = "allocate " + aClient.Name + ": challenged, then no answer to the request signed with them";
    return verdict;
  }

  bool Relay() {
    return Permission(FA, FB) && Permission(FB, FA) && Send(FA, FB) && Send(FB, FA) && Channel(FA, FB) &&
           Channel(FB, FA) && ChannelData(FA, FB) && ChannelData(FB, FA);
  }

  bool Permission(TClient& aFrom, const TClient& aTo) {
    TqynRelayProbeCommand c = Command(rpcPermission, "permission");
    c.Address = aTo.RelayedIP;
    return Step("permission " + aFrom.Name + " for " + aTo.Name, aFrom.Session.Run(c));
  }

  bool Channel(TClient& aFrom, const TClient& aTo) {
    TqynRelayProbeCommand c = Command(rpcChannel, "channel");
    c.Address = aTo.RelayedIP;
    c.Port = aTo.RelayedPort;
    return Step("channel " + aFrom.Name + " to " + aTo.Name, aFrom.Session.Run(c));
  }

  bool Send(TClient& aFrom, TClient& aTo) {
    TqynRelayProbeCommand c = Command(rpcSend, "send");
    c.Address = aTo.RelayedIP;
    c.Port = aTo.RelayedPort;
    return Transfer("send " + aFrom.Name + " to " + aTo.Name, c, aFrom, aTo, rpeDataIndication);
  }

  bool ChannelData(TClient& aFrom, TClient& aTo) {
    TqynRelayProbeCommand c = Command(rpcChannelData, "channel-data");
    c.Number = aFrom.Session.LastChannel();
    return Transfer("channel-data " + aFrom.Name + " to " + aTo.Name, c, aFrom, aTo, rpeChannelData);
  }

  // Sends a unique text from aFrom and waits until aTo receives it in the expected form: a Data
  // indication from aFrom's relayed address, or ChannelData on aTo's own channel.
  bool Transfer(const std::string& aStep, TqynRelayProbeCommand aCommand, TClient& aFrom, TClient& aTo,
                TqynRelayProbeEvent aExpected) {
    aCommand.Text = "relayprobe check " + std::to_string(++FSerial) + ": " + aStep;
    const TqynBytes text(aCommand.Text.begin(), aCommand.Text.end());
    const uint64_t start = QynTickCount64();
    TqynRelayProbeResult sent = aFrom.Session.Run(aCommand);
    if (sent.Outcome != rpoSucceeded) return Step(aStep, sent);
    const TqynRelayProbeReceived* arrived = nullptr;
    RelayProbeDrainUntil(
        [&] {
          for (const TqynRelayProbeReceived& r : aTo.Session.Received())
            if (r.Data == text) arrived = &r;
          return arrived != nullptr;
        },
        FOptions.TimeoutMs);
    TqynRelayProbeResult result;
    result.Milliseconds = (arrived ? arrived->Tick : QynTickCount64()) - start;
    result.Outcome = rpoFailed;
    if (!arrived) {
      result.Line = "nothing arrived at " + aTo.Name + " within the timeout";
      return Step(aStep, result);
    }
    result.Line = Describe(*arrived);
    if (arrived->Event != aExpected) result.Line += " (expected as " + std::string(aExpected == rpeChannelData ? "ChannelData" : "a Data indication") + ")";
    else if (aExpected == rpeDataIndication && (arrived->PeerIP != aFrom.RelayedIP || arrived->PeerPort != aFrom.RelayedPort))
      result.Line += " (expected from " + aFrom.RelayedIP + ":" + std::to_string(aFrom.RelayedPort) + ")";
    else if (aExpected == rpeChannelData && arrived->Channel != aTo.Session.LastChannel())
      result.Line += " (expected on channel " + std::to_string(aTo.Session.LastChannel()) + ")";
    else result.Outcome = rpoSucceeded;
    return Step(aStep, result);
  }

  static std::string Describe(const TqynRelayProbeReceived& aReceived) {
    if (aReceived.Event == rpeChannelData) {
      TqynTURNChannelData d;
      d.SetChannelID(aReceived.Channel);
      d.SetData(aReceived.Data);
      return RelayProbeChannelDataLine(d);
    }
    return RelayProbeDataIndicationLine({aReceived.Data, aReceived.PeerIP, aReceived.PeerPort});
  }

  // Ends an allocation that was granted; true when none was or the refresh succeeded.
  bool Release(TClient& aClient) {
    if (!aClient.Allocated) return true;
    TqynRelayProbeCommand c = Command(rpcRefresh, "refresh");
    c.Number = 0;
    return Step("refresh 0 " + aClient.Name, aClient.Session.Run(c));
  }

  const TqynRelayProbeOptions& FOptions;
  std::FILE* FOut;
  TClient FA, FB;
  std::string FFailure;
  int FSerial = 0;
};

} // namespace

TqynRelayProbeVerdict RelayProbeAllocateVerdict(const TqynRelayProbeResult& aResult, bool aChallenged, bool aAnswered,
                                                bool aCredentials) {
  if (aResult.Outcome == rpoSucceeded) return rpvPass;
  if (aResult.ErrorCode == 401) return aCredentials ? rpvWrongCredentials : rpvCredentialsRequired;
  if (aResult.ErrorCode != 0) return rpvAllocationRefused;
  if (aChallenged && aCredentials) return rpvWrongCredentials; // challenged, then the signed request went unanswered
  if (aChallenged || aAnswered) return rpvAllocationRefused;
  return rpvNoAnswer;
}

std::string RelayProbeVerdictLine(TqynRelayProbeVerdict aVerdict, const TqynRelayProbeOptions& aOptions,
                                  const std::string& aDetail) {
  const std::string server = ServerText(aOptions);
  const std::string detail = aDetail.empty() ? "" : " (" + aDetail + ")";
  switch (aVerdict) {
  case rpvPass:
    return "verdict: PASS - " + server + " relays data both ways, as Send/Data indications and over channels";
  case rpvWrongCredentials:
    return "verdict: FAIL - wrong user name or password: " + server + " refused the credentials of " +
           (aOptions.AuthSecret.empty() ? "user " + aOptions.User : "the secret's user " + aOptions.User) + detail;
  case rpvCredentialsRequired:
    return "verdict: FAIL - " + server + " requires credentials (--no-credentials was given)" + detail;
  case rpvNoAnswer:
    return "verdict: FAIL - no answer from " + server + " (no TURN server there, or the way is blocked)" + detail;
  case rpvAllocationRefused: return "verdict: FAIL - " + server + " refused the allocation" + detail;
  case rpvNoRelay: return "verdict: FAIL - " + server + " allocates but does not relay" + detail;
  case rpvNotReleased:
    return "verdict: FAIL - " + server + " relays, but did not end an allocation with refresh 0" + detail;
  }
  return "verdict: FAIL" + detail;
}

int RunRelayProbeCheck(const TqynRelayProbeOptions& aOptions, std::FILE* aOut) {
  int status = 1;
  {
    TCheck check(aOptions, aOut);
    status = check.Run();
  }
  return status;
}
