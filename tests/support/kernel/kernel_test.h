// The common fixture of every test that runs code on the simulated kernel.
//
// SetUp starts from a fresh kernel and turns every verifier violation into a
// test failure; TearDown plays the end of the test (sim::Shutdown: client
// handles closed, stacks removed, drivers unloaded), audits what is left
// (pool, requests, handles, objects, threads) and resets the kernel.
#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "sim/kernel/harness.h"
#include "sim/kernel/faults.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/verifier.h"

namespace sim::test {

class KernelTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
};

// For its lifetime, violations are collected here instead of failing the
// test: for tests that show a check firing on deliberately wrong code.
class ExpectViolations {
 public:
  ExpectViolations();
  ~ExpectViolations();
  ExpectViolations(const ExpectViolations&) = delete;
  ExpectViolations& operator=(const ExpectViolations&) = delete;

  bool Saw(verifier::Check check) const { return Count(check) > 0; }
  size_t Count(verifier::Check check) const;
  std::vector<verifier::Violation> All() const;

 private:
  friend void CollectViolation(ExpectViolations*, const verifier::Violation&);
  mutable std::mutex mutex_;
  std::vector<verifier::Violation> seen_;
};

// Installs the hook that fails the running test on a violation (SetUp does).
void FailTestOnViolations();

}  // namespace sim::test
