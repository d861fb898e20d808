// relaykeeper without a window: the same server component, settings and log lines as the window,
// with processing on the listener threads (neNoSync). Log lines go to standard output, one per
// line, flushed as they happen; SIGINT and SIGTERM stop it.
#pragma once

#include <cstdio>

#include "qynP2P_TURN_PeerPolicy.h"
#include "qynRelayKeeper_Options.h"

class TqynTURNServer;
class TqynRelayKeeperMetricsServer;

// The daemon's settings of the server beyond the design-time ones: relay address and ports, the
// family of the listening address, the quotas, the bound on unauthenticated answers, and the
// handlers that give passwords (the static user, time-limited user names with --auth-secret) and
// refuse expired time-limited user names by the component clock. The handlers keep copies of
// what they need.
void ApplyRelayKeeperDaemonSettings(TqynTURNServer& aServer, const TqynRelayKeeperOptions& aOptions);

// Runs until SIGINT or SIGTERM (or RequestRelayKeeperStop). Returns the exit status: 0 after a
// clean stop, 1 when it cannot listen or cannot serve its metrics (said on aErr). aOut receives
// the log lines.
int RunRelayKeeperDaemon(const TqynRelayKeeperOptions& aOptions, std::FILE* aOut = stdout, std::FILE* aErr = stderr);

// The daemon's peer policy: on, with the default set refused; loopback peers allowed when the
// daemon listens on a loopback address (a local test setup) or with --allow-loopback-peers; the
// ranges of --allow-peer and --deny-peer beside that.
TqynTURNServer_PeerPolicy RelayKeeperPeerPolicy(const TqynRelayKeeperOptions& aOptions);

// Makes a running daemon stop (async-signal-safe; the signal handlers call it).
void RequestRelayKeeperStop() noexcept;

// Raises the soft limit of open descriptors to the hard limit; returns the soft limit now in force.
long RaiseDescriptorLimit() noexcept;

// Starts aMetrics for aServer as aOptions' --metrics says and reports on aErr either
// "relaykeeper: metrics on http://ADDR:PORT/metrics" or why it cannot; false in that case.
bool StartRelayKeeperMetrics(TqynRelayKeeperMetricsServer& aMetrics, TqynTURNServer& aServer, const TqynRelayKeeperOptions& aOptions,
                             std::FILE* aErr = stderr);
