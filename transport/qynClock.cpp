#include "qynClock.h"

#include <atomic>
#include <chrono>
#include <ctime>

namespace {
std::atomic<int64_t> GShift{0};
}

namespace {
// The local zone's offset from UTC in milliseconds at aSecs. localtime_r takes the C library's
// zone lock on every call, and the datagram path reads the clock several times per datagram on
// every listener: each thread keeps the offset of the current minute (offsets change only at
// whole minutes).
int64_t LocalOffsetMs(std::time_t aSecs) {
  thread_local std::time_t tMinute = -1;
  thread_local int64_t tOffsetMs = 0;
  const std::time_t minute = aSecs / 60;
  if (minute == tMinute) return tOffsetMs;
  std::tm local{};
  localtime_r(&aSecs, &local);
  tMinute = minute;
  tOffsetMs = static_cast<int64_t>(local.tm_gmtoff) * 1000;
  return tOffsetMs;
}
} // namespace

TqynDateTime QynNow() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const int64_t ms = duration_cast<milliseconds>(now.time_since_epoch()).count();
  return ms + LocalOffsetMs(system_clock::to_time_t(now)) + GShift.load(std::memory_order_relaxed);
}

int64_t QynUnixNowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count() + GShift.load(std::memory_order_relaxed);
}

void QynClockShift(int64_t aMilliseconds) { GShift.fetch_add(aMilliseconds, std::memory_order_relaxed); }

void QynClockReset() { GShift.store(0, std::memory_order_relaxed); }

uint64_t QynTickCount64() {
  using namespace std::chrono;
  return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}
