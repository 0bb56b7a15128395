#include "tests/support/kernel/kernel_test.h"

namespace sim::test {

void CollectViolation(ExpectViolations* collector, const verifier::Violation& violation) {
  std::lock_guard<std::mutex> lock(collector->mutex_);
  collector->seen_.push_back(violation);
}

namespace {

std::mutex gHookMutex;
ExpectViolations* gCollector = nullptr;

void OnViolation(const verifier::Violation& violation) {
  {
    std::lock_guard<std::mutex> lock(gHookMutex);
    if (gCollector) {
      CollectViolation(gCollector, violation);
      return;
    }
  }
  ADD_FAILURE() << "verifier: " << violation.message;
}

}  // namespace

void FailTestOnViolations() {
  verifier::SetHook(OnViolation);
}

void KernelTest::SetUp() {
  ResetKernel();
  FailTestOnViolations();
}

void KernelTest::TearDown() {
  Shutdown();
  verifier::CheckEndOfTest();
  ResetKernel();
}

ExpectViolations::ExpectViolations() {
  FailTestOnViolations();
  std::lock_guard<std::mutex> lock(gHookMutex);
  gCollector = this;
}

ExpectViolations::~ExpectViolations() {
  std::lock_guard<std::mutex> lock(gHookMutex);
  if (gCollector == this)
    gCollector = nullptr;
}

size_t ExpectViolations::Count(verifier::Check check) const {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t n = 0;
  for (const auto& v : seen_)
    if (v.check == check)
      ++n;
  return n;
}

std::vector<verifier::Violation> ExpectViolations::All() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return seen_;
}

}  // namespace sim::test
