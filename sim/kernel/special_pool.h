// Special pool, as Driver Verifier gives it to a verified driver: each pool
// block of verified code gets pages of its own between two inaccessible
// guard pages, so that an access past either end of the block faults at
// once, and its freed pages stay inaccessible for a while (a bounded
// quarantine) so that a use after free faults too. The bytes of its pages
// that the block does not cover hold a pattern that is checked when the
// block is freed.
//
// Placement ("Special Pool", Driver Verifier documentation): with Verify End
// (the default) the block ends where its last page ends, at the highest
// address that keeps it aligned as Windows x64 aligns pool (16 bytes: the
// special pool's size classes on x64 are 16 bytes apart, GFlags' "Special
// Pool" page); with Verify Start it starts its first page. When special
// pool runs out, the block comes from ordinary pool, as on Windows.
//
// Verified code is what calls the pool through the import table of a loaded
// image: the image loader binds its ExAllocatePoolWithTag to
// sim::pool::VerifiedAllocatePoolWithTag, as Driver Verifier takes over the
// pool routines a verified driver imports. How a corruption found at free
// is reported (the bug check) is also the loader's.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/kernel/wdm.h"

namespace sim::pool::special {

enum class Mode {
  Off,
  Overrun,   // Verify End: the block at the end of its page(s)
  Underrun,  // Verify Start: the block at the start of its page(s)
};

// The mode of this run: TARVIK_SPECIAL_POOL ("overrun", the default,
// "underrun" or "off"), unless SetMode chose another since the kernel was
// last reset.
Mode CurrentMode();
void SetMode(Mode mode);

// A block whose pattern was found changed when it was freed.
struct Corruption {
  uintptr_t block;
  size_t bytes;
  ULONG tag;
  uintptr_t corrupted;  // the first changed byte
  bool afterEnd;        // past the end of the block, else before its start
  uintptr_t freedBy;    // return address of the call that freed it
};
using CorruptionReport = void (*)(const Corruption&);
void SetCorruptionReport(CorruptionReport report);
// Reports through the hook; returns only when none is set.
void ReportCorruption(const Corruption& corruption);

// Pages for a block of `bytes` with `tag`, placed for the current mode;
// null when special pool is exhausted. The block's bytes are not filled.
void* Allocate(size_t bytes, ULONG tag);
// Checks the pattern around a block that Allocate returned and retires its
// pages to the quarantine. Returns the address of the first changed byte,
// or 0.
uintptr_t Release(void* block, size_t bytes);
// Unmaps every block, live or quarantined, and goes back to the run's mode.
void Reset();

// Where a faulting address lies. No locks, no allocation: for a signal
// handler.
enum class Hit {
  None,         // not an inaccessible page of special pool
  BeyondEnd,    // the guard page after a live block
  BeforeStart,  // the guard page before a live block
  Freed,        // the pages of a freed block in quarantine
};
struct Finding {
  Hit hit = Hit::None;
  uintptr_t block = 0;
  size_t bytes = 0;
  ULONG tag = 0;
};
Finding Find(uintptr_t address);

// Counts over the life of the process (not reset with the kernel).
struct Figures {
  uint64_t allocations;  // blocks placed in special pool
  uint64_t exhausted;    // blocks that went to ordinary pool for want of special pool
  size_t peakLive;       // most live special blocks at once
};
Figures CurrentFigures();

}  // namespace sim::pool::special
