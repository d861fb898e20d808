// qyn-test-labels: unit
#include <gtest/gtest.h>

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
