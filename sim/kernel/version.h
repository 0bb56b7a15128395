// Which Windows the simulated kernel is: what RtlGetVersion reports and what
// follows from it (the non-executable non-paged pool exists from Windows 8
// on). A fresh kernel is Windows 10.
#pragma once

#include "sim/kernel/wdm.h"

namespace sim::os {

struct Version {
  ULONG major;
  ULONG minor;
  ULONG build;
};

constexpr Version kWindows7{6, 1, 7601};  // with Service Pack 1
constexpr Version kWindows8{6, 2, 9200};
constexpr Version kWindows10{10, 0, 19045};

// For the rest of the test (sim::ResetKernel goes back to Windows 10). Set it
// before the driver is loaded: drivers ask once, in their entry routine.
void Pretend(const Version& version);
Version Current();
// NonPagedPoolNx is known to the pool: Windows 8 and later.
bool HasNxPool();

}  // namespace sim::os
