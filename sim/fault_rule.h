// The rule every fault plan of the simulation counts by: let `skip` matching
// calls pass, then fail the next `count` of them. Failing the nth matching
// call is skip n - 1. Freestanding (no standard library), so that the virtual
// key bus builds it into its kernel image as the simulated machine does.
#pragma once
#include <stdint.h>

namespace sim {

struct FaultRule {
  // A count that never runs out: every matching call after the skip fails.
  static constexpr uint32_t kEvery = UINT32_MAX;

  uint32_t skip = 0;
  uint32_t count = 1;

  // Counts one matching call; true when the rule fails it.
  constexpr bool Take() {
    if (count == 0)
      return false;
    if (skip > 0) {
      --skip;
      return false;
    }
    if (count != kEvery)
      --count;
    return true;
  }
  // Nothing left to fail.
  constexpr bool Spent() const { return count == 0; }
};

}  // namespace sim
