// One TURN client component driven command by command, as the probe and `check` use it: a
// command is issued, then the main-thread queue is drained until its outcome arrives or the
// timeout passes. The outcome of a request is the first success or error response that carries
// one of its transaction ids (the first request's, or that of a request the component sent to
// answer a challenge), or an exception raised by the operation itself (it refused to send) or
// reported while a TCP connection is down (the request was dropped).
//
// Threads: the component's events are queued to the main thread (neAsynchronous); Run and
// RelayProbeDrainUntil must be called on it, and every handler of the session runs there, so
// the session's state needs no lock.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "qynP2P_TURN_Client.h"
#include "qynRelayProbe_LogLines.h"
#include "qynRelayProbe_Options.h"

// The most received data a session keeps (the oldest go first).
inline constexpr size_t RelayProbeMaxReceived = 10000;

enum TqynRelayProbeOutcome : uint8_t { rpoSucceeded, rpoFailed, rpoTimedOut };

struct TqynRelayProbeResult {
  TqynRelayProbeOutcome Outcome = rpoTimedOut;
  std::string Line;          // log line of the outcome ("#timeout: NAME" when none came; empty for send and wait)
  uint16_t ErrorCode = 0;    // of an error response
  uint64_t Milliseconds = 0; // from the command's start to its outcome
};

// Data that arrived from a peer.
struct TqynRelayProbeReceived {
  TqynRelayProbeEvent Event = rpeDataIndication; // or rpeChannelData
  std::string PeerIP;                             // Data indication
  uint16_t PeerPort = 0;
  uint16_t Channel = 0; // ChannelData
  TqynBytes Data;
  uint64_t Tick = 0; // QynTickCount64 at arrival
};

class TqynRelayProbeSession {
public:
  // aLog receives every log line as it happens (may be empty). aUnixNow dates REST credentials.
  TqynRelayProbeSession(const TqynRelayProbeOptions& aOptions, TqynRelayProbeLogEvent aLog, int64_t aUnixNow);
  ~TqynRelayProbeSession();
  TqynRelayProbeSession(const TqynRelayProbeSession&) = delete;
  TqynRelayProbeSession& operator=(const TqynRelayProbeSession&) = delete;

  TqynTURNClient& Client() { return *FClient; }

  // Runs one command (not check) and waits for its outcome. send and channel-data succeed unless
  // the component refuses them; wait drains for its time and succeeds. A refresh or channel
  // whose request the component ended silently (a challenge it does not answer by resending) is
  // issued once more, signed with the realm and nonce just learned.
  TqynRelayProbeResult Run(const TqynRelayProbeCommand& aCommand);

  const std::deque<TqynRelayProbeReceived>& Received() const { return FReceived; }
  // True once any success or error response arrived (the server is there).
  bool Answered() const { return FAnswered; }
  // The number of the last confirmed channel binding (0: none).
  uint16_t LastChannel() const { return FLastChannel; }

private:
  struct TCurrent {
    bool Active = false;
    bool Done = false;
    bool Issuing = false; // inside the component's operation
    std::set<std::string> Ids;
    TqynRelayProbeResult Result;
  };

  void Issue(const TqynRelayProbeCommand& aCommand);
  static void IssueCall(TqynTURNClient& aClient, const TqynRelayProbeCommand& aCommand);
  void OnLine(TqynRelayProbeEvent aEvent, TqynSTUN_Message* aMessage, const std::string& aLine);
  bool EndedSilently();
  bool ConnectionDown();
  void Finish(TqynRelayProbeOutcome aOutcome, const std::string& aLine, uint16_t aErrorCode = 0);
  void HookRecords();

  TqynRelayProbeLogEvent FLog;
  uint64_t FTimeoutMs;
  TCurrent FCurrent;
  uint64_t FStart = 0;
  bool FAnswered = false;
  uint16_t FLastChannel = 0;
  std::deque<TqynRelayProbeReceived> FReceived; // at most RelayProbeMaxReceived
  // Last: destroyed first, so that no handler runs on a half-destroyed session.
  std::unique_ptr<TqynTURNClient> FClient;
};

// Runs queued main-thread calls until aDone() holds (true) or aMs pass (false).
bool RelayProbeDrainUntil(const std::function<bool()>& aDone, uint64_t aMs);

