#include "qynClock.h"

#include <atomic>
#include <chrono>
#include <ctime>

namespace {
std::atomic<int64_t> GShift{0};
}

TqynDateTime QynNow() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const int64_t ms = duration_cast<milliseconds>(now.time_since_epoch()).count();
  const std::time_t secs = system_clock::to_time_t(now);
  std::tm local{};
  localtime_r(&secs, &local);
  return ms + static_cast<int64_t>(local.tm_gmtoff) * 1000 + GShift.load(std::memory_order_relaxed);
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
