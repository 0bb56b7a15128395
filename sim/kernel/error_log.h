// The simulated kernel's error log: what IoWriteErrorLogEntry hands to the
// System event log, recorded for tests.
//
// As on Windows: an entry is at most ERROR_LOG_MAXIMUM_SIZE bytes (dump data
// and insertion strings included), both routines run at IRQL <= DISPATCH_LEVEL,
// the I/O manager frees an entry once it is written (the driver never frees
// it), and an entry allocated and never written stays allocated, which the
// end-of-test audit reports. IoAllocateErrorLogEntry fails (returns no entry)
// for an entry too large or too small to hold its header, and where the fault
// plan says so (faults::Kind::ErrorLogEntry).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/kernel/wdm.h"

namespace sim::errorlog {

struct Entry {
  PVOID ioObject = nullptr;  // the device or driver object it was allocated for
  uint64_t time = 0;         // on the virtual clock, when written
  IO_ERROR_LOG_PACKET packet{};
  std::vector<ULONG> dumpData;          // DumpDataSize bytes, as ULONGs
  std::vector<std::u16string> strings;  // the insertion strings, %2 on
};

// Every entry written since the last kernel reset, in order.
std::vector<Entry> Written();
// Entries allocated and not yet written.
size_t Outstanding();

}  // namespace sim::errorlog
