// qyn-test-labels: unit
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "qynClock.h"

TEST(Clock, ShiftMovesNowAndResetRestores) {
  QynClockReset();
  const TqynDateTime before = QynNow();
  QynClockShift(301 * 1000);
  const TqynDateTime shifted = QynNow();
  EXPECT_GE(shifted - before, 301 * 1000);
  EXPECT_LT(shifted - before, 301 * 1000 + 60 * 1000);
  QynClockReset();
  EXPECT_LT(QynNow() - before, 60 * 1000);
  EXPECT_EQ(QynIncSeconds(1000, 300), 301000);
}

TEST(Clock, NowIsLocalTimeOnEveryCallOfAThread) {
  // The zone's offset is kept per thread for a minute: a thread's first call and its later ones
  // both report the zone's time (a zone of +5:30 that needs no zone files).
  QynClockReset();
  const char* saved = std::getenv("TZ");
  const std::string previous = saved ? saved : "";
  setenv("TZ", "QYN-5:30", 1);
  tzset();
  std::vector<int64_t> diffs;
  std::thread t([&] {
    for (int call = 0; call < 3; ++call) diffs.push_back(QynNow() - QynUnixNowMs());
  });
  t.join();
  if (saved) setenv("TZ", previous.c_str(), 1);
  else unsetenv("TZ");
  tzset();
  ASSERT_EQ(diffs.size(), 3u);
  for (const int64_t d : diffs) EXPECT_NEAR(static_cast<double>(d), 5.5 * 3600 * 1000, 1000.0);
}
