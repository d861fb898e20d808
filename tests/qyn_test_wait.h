// Waiting helpers for threaded tests: poll a condition with a generous deadline instead of
// sleeping for a fixed time, so that the tests hold on a loaded machine.
#pragma once

#include <chrono>
#include <thread>

#include "qynBase_Sync.h"

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

// Polls aCondition until it holds or aDeadline passes; true when it held.
template <typename F> bool WaitUntil(F aCondition, std::chrono::milliseconds aDeadline = 10s) {
  const auto end = TClock::now() + aDeadline;
  while (!aCondition()) {
    if (TClock::now() > end) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

// The same, running queued main-thread calls while it waits (the test thread is the main thread).
template <typename F> bool DrainUntil(F aCondition, std::chrono::milliseconds aDeadline = 10s) {
  const auto end = TClock::now() + aDeadline;
  while (!aCondition()) {
    if (TClock::now() > end) return false;
    CheckSynchronize(5);
  }
  return true;
}
