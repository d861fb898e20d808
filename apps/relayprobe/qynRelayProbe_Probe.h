// The command-line probe: runs the commands of the command line in order on one TURN client
// component, printing every log line to aOut as it happens, and "#timeout: NAME" for a command
// that got no answer in time. It stops at the first command that fails. `check` runs the
// self-test instead (qynRelayProbe_Check.h).
#pragma once

#include <cstdio>
#include <string>

#include "qynRelayProbe_Options.h"

// Returns the exit status: 0 when every command succeeded, 1 otherwise. The calling thread
// becomes the main thread, on which the component's events run.
int RunRelayProbe(const TqynRelayProbeOptions& aOptions, std::FILE* aOut = stdout);

// Writes one log line and a line break (a line that already ends with one, "#Create
// Permission: ...", gets none more), and flushes.
void WriteRelayProbeLine(std::FILE* aOut, const std::string& aLine);
