#include "qynRelayProbe_Probe.h"

#include "qynBase_Sync.h"
#include "qynRelayProbe_Check.h"
#include "qynRelayProbe_RestCredentials.h"
#include "qynRelayProbe_Session.h"

void WriteRelayProbeLine(std::FILE* aOut, const std::string& aLine) {
  std::fwrite(aLine.data(), 1, aLine.size(), aOut);
  if (aLine.empty() || aLine.back() != '\n') std::fputc('\n', aOut);
  std::fflush(aOut);
}

int RunRelayProbe(const TqynRelayProbeOptions& aOptions, std::FILE* aOut) {
  TqynMainThread::SetMainThread();
  if (!aOptions.Commands.empty() && aOptions.Commands.front().Kind == rpcCheck) return RunRelayProbeCheck(aOptions, aOut);
  int status = 0;
  {
    TqynRelayProbeSession session(
        aOptions, [aOut](TqynRelayProbeEvent, TqynSTUN_Message*, const std::string& aLine) { WriteRelayProbeLine(aOut, aLine); },
        RelayProbeUnixNow());
    for (const TqynRelayProbeCommand& command : aOptions.Commands) {
      const TqynRelayProbeResult result = session.Run(command);
      if (result.Outcome == rpoTimedOut) WriteRelayProbeLine(aOut, result.Line);
      if (result.Outcome != rpoSucceeded) {
        status = 1;
        break;
      }
    }
  } // the component's threads end here; queued events of it are dropped
  while (CheckSynchronize(0)) {
  }
  return status;
}
