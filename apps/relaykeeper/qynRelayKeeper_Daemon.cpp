#include "qynRelayKeeper_Daemon.h"

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <string>

#include "qynBase_Sync.h"
#include "qynClock.h"
#include "qynId_Limits.h"
#include "qynP2P_TURN_Server.h"
#include "qynRelayKeeper_Metrics.h"
#include "qynRelayKeeper_RestAuth.h"
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

bool StartRelayKeeperMetrics(TqynRelayKeeperMetricsServer& aMetrics, TqynTURNServer& aServer, const TqynRelayKeeperOptions& aOptions,
                             std::FILE* aErr) {
  std::string error;
  const bool ok = aMetrics.Start(aOptions.MetricsHost, aOptions.MetricsPort, [&aServer] { return RelayKeeperMetricsText(aServer); }, error);
  if (ok) {
    const bool v6 = aOptions.MetricsHost.find(':') != std::string::npos;
    const std::string host = v6 ? "[" + aOptions.MetricsHost + "]" : aOptions.MetricsHost;
    std::fprintf(aErr, "relaykeeper: metrics on http://%s:%d/metrics\n", host.c_str(), static_cast<int>(aMetrics.Port()));
  } else {
    std::fprintf(aErr, "relaykeeper: Can not serve metrics on %s port %d: %s\n", aOptions.MetricsHost.c_str(),
                 static_cast<int>(aOptions.MetricsPort), error.c_str());
  }
  std::fflush(aErr);
  return ok;
}

void ApplyRelayKeeperDaemonSettings(TqynTURNServer& aServer, const TqynRelayKeeperOptions& aOptions) {
  TqynTURNServer_Allocation& allocation = aServer.TURNOptions().Allocation;
  allocation.RelayIP = aOptions.RelayIP;
  allocation.MinPort = aOptions.MinPort;
  allocation.MaxPort = aOptions.MaxPort;
  allocation.MaxAllocations = aOptions.MaxAllocations;
  allocation.MaxUserAllocations = aOptions.UserQuota;
  TqynSTUNServer_UnauthenticatedAnswers& bound = aServer.STUNOptions().UnauthenticatedAnswers;
  bound.Rate = aOptions.UnauthRate;
  bound.Burst = std::max(20, aOptions.UnauthRate);
  if (aOptions.Host.find(':') != std::string::npos) aServer.SetIPVersion(Id_IPv6);
  aServer.TURNOptions().PeerPolicy = RelayKeeperPeerPolicy(aOptions);

  // The handlers run on the listener threads; the realm is read from the component, which a
  // Start sets before the listeners run.
  aServer.OnSTUNRequestAuthorization = [&aServer, user = aOptions.User, password = aOptions.Password, secret = aOptions.AuthSecret](
                                           TqynComponent_Base*, TqynSTUN_Message*, const std::string& aUsername,
                                           const std::string& aRealm, std::string& Password) {
    Password = RelayKeeperPassword(aUsername, aRealm, user, aServer.TURNOptions().Authentication.LongTermCredentials.Realm, password,
                                   secret);
  };
  if (aOptions.AuthSecret.empty()) {
    aServer.OnSTUNCredentialsExpired = nullptr;
    return;
  }
  aServer.OnSTUNCredentialsExpired = [](TqynComponent_Base*, TqynSTUN_Message*, const std::string& aUsername, const std::string&,
                                        bool& Expired) {
    const int64_t nowMs = QynUnixNowMs();
    Expired = TimeLimitedUsernameExpired(aUsername, nowMs >= 0 ? nowMs / 1000 : (nowMs - 999) / 1000);
  };
}

void RequestRelayKeeperStop() noexcept { GStopRequested.store(true); }

TqynTURNServer_PeerPolicy RelayKeeperPeerPolicy(const TqynRelayKeeperOptions& aOptions) {
  TqynTURNServer_PeerPolicy policy;
  policy.Enabled = true;
  policy.DefaultDeny = true;
  policy.AllowLoopback = aOptions.AllowLoopbackPeers || IsLoopbackPeerAddress(aOptions.Host);
  policy.AllowPeers = aOptions.AllowPeers;
  policy.DenyPeers = aOptions.DenyPeers;
  return policy;
}

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
    ApplyRelayKeeperDaemonSettings(server, aOptions);
    HookEvents(server, aOptions);
    // Stopped (its thread joined) before the server goes, since it reads the server's counters.
    TqynRelayKeeperMetricsServer metrics;
    const bool metricsServed = !aOptions.Metrics || StartRelayKeeperMetrics(metrics, server, aOptions, aErr);

    TqynRelayKeeperStart start;
    start.NotifyEvents = neNoSync;
    start.Host = aOptions.Host;
    start.Port = aOptions.Port;
    start.LongTermCredentials = aOptions.Authentication;
    start.Realm = aOptions.Realm;
    if (!metricsServed) {
      status = 1;
    } else if (!StartRelayKeeperServer(server, start)) {
      const std::string reason = ListenFailureText(aOptions.Host, aOptions.Port);
      SyncMessages().Queue(ExceptionLine(reason));
      DrainLog();
      std::fprintf(aErr, "relaykeeper: %s\n", reason.c_str());
      std::fflush(aErr);
      status = 1;
    } else {
      // "#start server" is queued before the port is announced: a client that allocates as soon
      // as it reads the port must find its "New Allocation" after the start line.
      SyncMessages().Queue(StartServerLine());
      TIdSocketHandle* listening = server.Bindings().Items(0);
      std::fprintf(aErr, "relaykeeper: listening on %s port %d (UDP)\n", aOptions.Host.c_str(),
                   listening ? static_cast<int>(listening->Port()) : static_cast<int>(aOptions.Port));
      std::fflush(aErr);
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
