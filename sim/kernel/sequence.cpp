// The system-wide sequence counter that orders records of different kinds.
#include <atomic>

#include "sim/kernel/harness.h"

namespace sim {

uint64_t NextSequence() {
  static std::atomic<uint64_t> next{0};
  return ++next;
}

}  // namespace sim
