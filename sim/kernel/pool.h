// Pool accounting of the simulated kernel, for tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/kernel/wdm.h"

namespace sim::pool {

// Fresh pool is filled with this byte: pool is not zeroed on Windows either.
constexpr unsigned char kFillPattern = 0xC5;

// Tags under which the kernel itself allocates what it hands to drivers.
constexpr ULONG kInterfaceNameTag = 0x66496F49;  // "IoIf": IoRegisterDeviceInterface names

struct Allocation {
  const void* address;
  ULONG tag;
  size_t bytes;
  POOL_TYPE type;
  uint64_t sequence;  // 1-based allocation number since the last Reset
};

struct TagStats {
  ULONG tag;
  size_t liveCount;
  size_t liveBytes;
  uint64_t totalCount;  // allocations ever made with this tag
};

std::vector<Allocation> LiveAllocations();
std::vector<Allocation> LiveAllocations(ULONG tag);
size_t LiveCount(ULONG tag);
size_t LiveBytes(ULONG tag);
size_t LiveCount();
size_t LiveBytes();
uint64_t TotalAllocations();  // every allocation since Reset
uint64_t TotalAllocations(ULONG tag);
size_t PeakBytes();           // most bytes live at once since Reset
size_t PeakCount(ULONG tag);  // most allocations of a tag live at once
std::vector<TagStats> Stats();

// ExAllocatePoolWithTag as a loaded image imports it: the blocks go to
// special pool unless it is off for the run (sim/kernel/special_pool.h).
PVOID NTAPI VerifiedAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);

// "kv21" from the tag value.
std::string TagName(ULONG tag);

}  // namespace sim::pool
