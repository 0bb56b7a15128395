// The one counting rule of every fault plan: skip N matching calls, then fail M.
#include <gtest/gtest.h>

#include <string>

#include "sim/fault_rule.h"

namespace {

TEST(FaultRule, SkipsThenFailsItsCount) {
  struct Case {
    const char* name;
    sim::FaultRule rule;
    const char* failed;  // '1' where the call fails, one character a call
    bool spent;
  } cases[] = {
      {"the next call", {}, "1000", true},
      {"two after two", {2, 2}, "001100", true},
      {"no count", {1, 0}, "000", true},
      {"every call after one", {1, sim::FaultRule::kEvery}, "01111", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::FaultRule rule = c.rule;
    std::string failed;
    for (const char* p = c.failed; *p; ++p)
      failed += rule.Take() ? '1' : '0';
    EXPECT_EQ(c.failed, failed);
    EXPECT_EQ(c.spent, rule.Spent());
  }
}

// A rule that fails every call never runs out, however many calls it fails.
TEST(FaultRule, EveryKeepsItsCount) {
  sim::FaultRule rule{0, sim::FaultRule::kEvery};
  for (int i = 0; i < 3; ++i)
    EXPECT_TRUE(rule.Take());
  EXPECT_EQ(sim::FaultRule::kEvery, rule.count);
}

}  // namespace
