// The one clock behind every expiry (nonces, allocations, permissions, channels, refresh due
// times) and the monotonic millisecond tick used for intervals.
#pragma once

#include <cstdint>

// Local wall-clock date-time in milliseconds (the local time of day, counted from the Unix
// epoch as if the local zone were UTC). 0 means "never set".
using TqynDateTime = int64_t;

// Current local wall-clock time, plus the test shift.
TqynDateTime QynNow();
// `aDateTime` plus whole seconds.
inline TqynDateTime QynIncSeconds(TqynDateTime aDateTime, int64_t aSeconds) { return aDateTime + aSeconds * 1000; }

// Current Unix time (UTC) in milliseconds, plus the same test shift as QynNow(): for times that
// arrive as Unix seconds from elsewhere (the expiry of a time-limited user name).
int64_t QynUnixNowMs();

// Test hook: moves the clock that QynNow() reports by `aMilliseconds` (cumulative, may be
// negative); QynClockReset() removes every shift. Thread-safe.
void QynClockShift(int64_t aMilliseconds);
void QynClockReset();

// Monotonic milliseconds since an arbitrary start; never shifted.
uint64_t QynTickCount64();
