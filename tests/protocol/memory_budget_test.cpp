// The shared budget and one connection's allowance.
#include <gtest/gtest.h>

#include "protocol/memory_budget.h"

namespace {

using protocol::Account;
using protocol::CONNECTION_ALLOWANCE;
using protocol::MemoryBudget;

TEST(MemoryBudget, AllowanceIsFreeAndWhatIsBeyondComesFromTheBudget) {
  MemoryBudget budget;
  budget.set_limit(1000);
  Account a(budget);
  Account b(budget);
  ASSERT_TRUE(a.charge(CONNECTION_ALLOWANCE));
  EXPECT_EQ(budget.in_use(), 0u);
  ASSERT_TRUE(a.charge(600));
  EXPECT_EQ(budget.in_use(), 600u);
  // b's own allowance is untouched by what a drew from the budget.
  EXPECT_TRUE(b.charge(CONNECTION_ALLOWANCE));
  EXPECT_FALSE(b.charge(401));
  EXPECT_EQ(b.held(), CONNECTION_ALLOWANCE);
  ASSERT_TRUE(b.charge(400));
  EXPECT_EQ(budget.in_use(), 1000u);
  // Committed memory is counted past the limit and holds later charges back.
  a.charge_anyway(50);
  EXPECT_EQ(budget.in_use(), 1050u);
  EXPECT_FALSE(a.charge(1));
  a.release(650);
  EXPECT_EQ(budget.in_use(), 400u);
  EXPECT_EQ(a.held(), CONNECTION_ALLOWANCE);
  {
    Account c(budget);
    ASSERT_TRUE(c.charge(CONNECTION_ALLOWANCE + 600));
    EXPECT_EQ(budget.in_use(), 1000u);
  }
  EXPECT_EQ(budget.in_use(), 400u) << "an account gives back what it holds when it ends";
}

}  // namespace
