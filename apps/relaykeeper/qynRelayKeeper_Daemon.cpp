#include "qynRelayKeeper_Daemon.h"

#include <signal.h>

#include <atomic>
#include <string>

#include "qynBase_Sync.h"
#include "qynId_Limits.h"
#include "qynP2P_TURN_Server.h"
#include "qynRelayKeeper_Server.h"

namespace {

std::atomic<bool> GStopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void OnStopSignal(int) { RequestRelayKeeperStop(); }

// Installs the stop handlers for the daemon's run and puts the previous ones back at its end.
class TStopSignals {
public:
  TStopSignals() {
    struct sigaction action{};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &FOldInt);
    sigaction(SIGTERM, &action, &FOldTerm);
  }
  ~TStopSignals() {
    sigaction(SIGINT, &FOldInt, nullptr);
    sigaction(SIGTERM, &FOldTerm, nullptr);
  }
  TStopSignals(const TStopSignals&) = delete;
  TStopSignals& operator=(const TStopSignals&) = delete;

private:
  struct sigaction FOldInt{};
  struct sigaction FOldTerm{};
};

void WriteLine(std::FILE* aOut, const std::string& aText) {
  std::fwrite(aText.data(), 1, aText.size(), aOut);
  std::fputc('\n', aOut);
  std::fflush(aOut);
}

void HookEvents(TqynTURNServer& aServer, const TqynRelayKeeperOptions& aOptions) {
  // The handlers run on the listener threads; they read only values fixed before the start.
  aServer.OnSTUNException = [](TqynComponent_Base*, const Exception& E) { SyncMessages().Queue(ExceptionLine(E.Message())); };
  aServer.OnSTUNRequestAuthorization = [&aServer, &aOptions](TqynComponent_Base*, TqynSTUN_Message*, const std::string& aUsername,
                                                             const std::string& aRealm, std::string& Password) {
    Password = RelayKeeperPassword(aUsername, aRealm, aOptions.User,
                                   aServer.TURNOptions().Authentication.LongTermCredentials.Realm, aOptions.Password);
  };
  aServer.OnTURNCreateAllocation = [](TqynComponent_Base*, TqynSocketConnection*, TqynTURNAllocationItem* Allocation) {
    SyncMessages().Queue(NewAllocationLine(*Allocation));
  };
  if (!aOptions.Verbose) return;
  aServer.OnTURNDeleteAllocation = [](TqynComponent_Base*, TqynSocketConnection*, TqynTURNAllocationItem* Allocation) {
    SyncMessages().Queue(DeletedAllocationLine(*Allocation));
  };
  aServer.OnTURNMessageDiscarded = [](TqynComponent_Base*, TqynSocketConnection* aSocket, TqynStunMessageMethod aMethod,
                                      TqynSTUN_Message*, const std::string& aReason) {
    SyncMessages().Queue(MessageDiscardedLine(aSocket, aMethod, aReason));
  };
  aServer.OnTURNChannelDataDiscarded = [](TqynComponent_Base*, TqynSocketConnection* aSocket, TqynTURNChannelData*,
                                          const std::string& aReason) {
    SyncMessages().Queue(ChannelDataDiscardedLine(aSocket, aReason));
  };
  aServer.OnSTUNRequestError = [](TqynComponent_Base*, TqynSocketConnection* aSocket, TqynSTUN_Message* aRequest,
                                  TqynSTUN_Message* aResponse, bool&) {
    SyncMessages().Queue(RequestRefusedLine(aSocket, aRequest, aResponse));
  };
}

// Runs the queued log lines until none is left.
void DrainLog() {
  while (CheckSynchronize(0)) {
  }
}

} // namespace

void RequestRelayKeeperStop() noexcept { GStopRequested.store(true); }

long RaiseDescriptorLimit() noexcept { return IdRaiseDescriptorLimit(); }

int RunRelayKeeperDaemon(const TqynRelayKeeperOptions& aOptions, std::FILE* aOut, std::FILE* aErr) {
  GStopRequested.store(false);
  TStopSignals signals;
  RaiseDescriptorLimit();
  TqynMainThread::SetMainThread();
  SyncMessages().OnMessage = [aOut](TqynSyncMessages*, const std::string& aText) { WriteLine(aOut, aText); };

  int status = 0;
  {
    TqynTURNServer server;
    ApplyRelayKeeperDesignSettings(server);
    server.TURNOptions().Allocation.RelayIP = aOptions.RelayIP;
    server.TURNOptions().Allocation.MinPort = aOptions.MinPort;
    server.TURNOptions().Allocation.MaxPort = aOptions.MaxPort;
    if (aOptions.Host.find(':') != std::string::npos) server.SetIPVersion(Id_IPv6);
    HookEvents(server, aOptions);

    TqynRelayKeeperStart start;
    start.NotifyEvents = neNoSync;
    start.Host = aOptions.Host;
    start.Port = aOptions.Port;
    start.LongTermCredentials = aOptions.Authentication;
    start.Realm = aOptions.Realm;
    if (!StartRelayKeeperServer(server, start)) {
      const std::string reason = ListenFailureText(aOptions.Host, aOptions.Port);
      SyncMessages().Queue(ExceptionLine(reason));
      DrainLog();
      std::fprintf(aErr, "relaykeeper: %s\n", reason.c_str());
      std::fflush(aErr);
      status = 1;
    } else {
      TIdSocketHandle* listening = server.Bindings().Items(0);
      std::fprintf(aErr, "relaykeeper: listening on %s port %d (UDP)\n", aOptions.Host.c_str(),
                   listening ? static_cast<int>(listening->Port()) : static_cast<int>(aOptions.Port));
      std::fflush(aErr);
      SyncMessages().Queue(StartServerLine());
      while (!GStopRequested.load()) CheckSynchronize(50);
      server.SetActive(false);
      SyncMessages().Queue(StopServerLine());
    }
    DrainLog();
  } // the server's destructor joins every thread it started
  DrainLog();
  SyncMessages().OnMessage = nullptr;
  return status;
}
