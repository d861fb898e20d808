// `relayprobe check`: a self-test of a TURN server with two clients A and B (two allocations, two
// local ports): each gives a permission for the other's relayed address, data goes both ways as
// Send/Data indications and again over channels, then both allocations end with refresh 0.
// Every step prints "STEP: ok in N ms: LINE" or "STEP: FAILED after N ms: LINE" (LINE the log
// line of its outcome); the last line is the verdict, "verdict: PASS - ..." or
// "verdict: FAIL - ..." naming what went wrong.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "qynRelayProbe_Options.h"
#include "qynRelayProbe_Session.h"

enum TqynRelayProbeVerdict : uint8_t {
  rpvPass,
  rpvWrongCredentials,    // 401 to the signed Allocate, or a challenge and then silence
  rpvCredentialsRequired, // 401 to an Allocate sent with --no-credentials
  rpvNoAnswer,            // nothing came back from the server
  rpvAllocationRefused,   // another error response to Allocate (quota, capacity, ...)
  rpvNoRelay,             // both allocations granted, but a permission, channel or data step failed
  rpvNotReleased,         // everything relayed, but a refresh 0 failed
};

// How a failed Allocate is judged: aResult is its outcome, aChallenged whether the server sent
// a challenge (a realm is known), aAnswered whether any response arrived.
TqynRelayProbeVerdict RelayProbeAllocateVerdict(const TqynRelayProbeResult& aResult, bool aChallenged, bool aAnswered,
                                                bool aCredentials);

// The verdict line for aVerdict; aDetail names the failed step and its outcome.
std::string RelayProbeVerdictLine(TqynRelayProbeVerdict aVerdict, const TqynRelayProbeOptions& aOptions,
                                  const std::string& aDetail);

// Runs the check; returns 0 when every step passed, 1 otherwise. Call on the main thread.
int RunRelayProbeCheck(const TqynRelayProbeOptions& aOptions, std::FILE* aOut = stdout);
