#include <cstdint>
#include <limits>

#include <gtest/gtest.h>

#include "archive/read/expansion_budget.h"

namespace {

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

TEST(ExpansionBudget, ChargesEachEntryOnceWithItsLargestClaim) {
  ExpansionBudget budget;
  budget.reset(10);  // 10,320 bytes in all
  EXPECT_TRUE(budget.admits(0, 6000));
  EXPECT_TRUE(budget.admits(0, 6000)) << "the same entry again costs nothing";
  EXPECT_TRUE(budget.admits(0, 100)) << "nor does a smaller claim for it";
  EXPECT_TRUE(budget.admits(1, 4320));
  EXPECT_FALSE(budget.admits(2, 1));
  EXPECT_FALSE(budget.admits(0, 6001)) << "an entry producing more than it claimed";
  EXPECT_TRUE(budget.admits(1, 4320));
}

TEST(ExpansionBudget, RefusalsLeaveTheChargesUnchanged) {
  ExpansionBudget budget;
  budget.reset(1);
  EXPECT_FALSE(budget.admits(0, 1033));
  EXPECT_TRUE(budget.admits(0, 1032));
  EXPECT_TRUE(budget.admits(5, 0));
  EXPECT_TRUE(budget.admits(7, -1)) << "an unknown size claims nothing";
}

TEST(ExpansionBudget, ExtremeSizesNeitherOverflowNorSlipThrough) {
  ExpansionBudget budget;
  budget.reset(kMax);
  EXPECT_TRUE(budget.admits(0, kMax - 1));
  EXPECT_TRUE(budget.admits(1, 1));
  EXPECT_FALSE(budget.admits(2, kMax));
  budget.reset(1 << 20);
  EXPECT_FALSE(budget.admits(0, kMax)) << "reset forgets earlier charges but keeps the new bound";
  EXPECT_TRUE(budget.admits(0, int64_t{1032} << 20));
  budget.reset(0);
  EXPECT_FALSE(budget.admits(0, 1));
}

}  // namespace
