// relaykeeper without a window: the same server component, settings and log lines as the window,
// with processing on the listener threads (neNoSync). Log lines go to standard output, one per
// line, flushed as they happen; SIGINT and SIGTERM stop it.
#pragma once

#include <cstdio>

#include "qynP2P_TURN_PeerPolicy.h"
#include "qynRelayKeeper_Options.h"

// Runs until SIGINT or SIGTERM (or RequestRelayKeeperStop). Returns the exit status: 0 after a
// clean stop, 1 when it cannot listen (said on aErr). aOut receives the log lines.
int RunRelayKeeperDaemon(const TqynRelayKeeperOptions& aOptions, std::FILE* aOut = stdout, std::FILE* aErr = stderr);

// The daemon's peer policy: on, with the default set refused; loopback peers allowed when the
// daemon listens on a loopback address (a local test setup) or with --allow-loopback-peers; the
// ranges of --allow-peer and --deny-peer beside that.
TqynTURNServer_PeerPolicy RelayKeeperPeerPolicy(const TqynRelayKeeperOptions& aOptions);

// Makes a running daemon stop (async-signal-safe; the signal handlers call it).
void RequestRelayKeeperStop() noexcept;

// Raises the soft limit of open descriptors to the hard limit; returns the soft limit now in force.
long RaiseDescriptorLimit() noexcept;
