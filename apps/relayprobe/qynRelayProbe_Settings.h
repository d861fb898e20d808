// The settings of relayprobe's TURN client component: the design-time values the window's
// component starts with, and the command line's options applied over them in the order of the
// window's settings copy (host, port, retransmissions, credentials).
#pragma once

#include <cstdint>

#include "qynP2P_TURN_Client.h"
#include "qynRelayProbe_Options.h"

// Host 127.0.0.1, port 3478, IPv4, UDP, retransmissions on (7, 500 ms), Binding without
// credentials, TURN with long-term credentials and FINGERPRINT, lifetime 600, no automatic
// renewal, events queued to the main thread (neAsynchronous).
void ApplyRelayProbeDesignSettings(TqynTURNClient_Base& aClient);

// The options over the design-time settings. With an auth secret the user name and password are
// computed for aUnixNow (RelayProbeRestCredentials).
void ApplyRelayProbeOptions(TqynTURNClient_Base& aClient, const TqynRelayProbeOptions& aOptions, int64_t aUnixNow);
