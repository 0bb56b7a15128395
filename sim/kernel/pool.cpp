// Pool: tagged allocations with live accounting per tag.
#include "sim/kernel/pool.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <unordered_map>

#include "sim/kernel/callout.h"
#include "sim/kernel/faults.h"
#include "sim/kernel/internal.h"
#include "sim/kernel/special_pool.h"
#include "sim/kernel/version.h"

namespace sim::pool {
namespace {

struct Block {
  ULONG tag;
  size_t bytes;
  POOL_TYPE type;
  uint64_t sequence;
  bool special;  // in special pool (sim/kernel/special_pool.h)
};

struct PerTag {
  size_t liveCount = 0;
  size_t liveBytes = 0;
  uint64_t totalCount = 0;
  size_t peakCount = 0;
};

std::mutex gMutex;
std::unordered_map<const void*, Block> gLive;
std::unordered_map<const void*, ULONG> gFreed;  // freed addresses not handed out again
std::map<ULONG, PerTag> gTags;
uint64_t gTotal = 0;
size_t gLiveBytes = 0;
size_t gPeakBytes = 0;

void* Allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag, bool special) {
  void* p = special ? special::Allocate(bytes, tag) : nullptr;
  special = p != nullptr;
  if (!p)
    p = std::malloc(bytes == 0 ? 1 : bytes);
  if (!p)
    return nullptr;
  std::memset(p, kFillPattern, bytes);
  std::lock_guard<std::mutex> lock(gMutex);
  gFreed.erase(p);
  gLive[p] = Block{tag, bytes, type, ++gTotal, special};
  auto& t = gTags[tag];
  ++t.liveCount;
  t.liveBytes += bytes;
  ++t.totalCount;
  t.peakCount = std::max(t.peakCount, t.liveCount);
  gLiveBytes += bytes;
  gPeakBytes = std::max(gPeakBytes, gLiveBytes);
  return p;
}

void Free(PVOID p, const ULONG* expectedTag, uintptr_t freedBy) {
  using detail::Check;
  if (detail::Current().irql > DISPATCH_LEVEL)
    detail::Violation(Check::PoolBadIrql, "ExFreePool above DISPATCH_LEVEL");
  std::unique_lock<std::mutex> lock(gMutex);
  auto it = gLive.find(p);
  if (it == gLive.end()) {
    auto freed = gFreed.find(p);
    const bool twice = freed != gFreed.end();
    std::string message = twice ? "pool block " + detail::Hex(reinterpret_cast<uintptr_t>(p)) +
                                      " of tag \"" + TagName(freed->second) + "\" freed twice"
                                : "ExFreePool of " + detail::Hex(reinterpret_cast<uintptr_t>(p)) +
                                      ", which is not a pool block";
    // Report outside the pool lock: the hook may look at the pool.
    lock.unlock();
    detail::Violation(twice ? Check::PoolDoubleFree : Check::PoolBadFree, message);
    return;
  }
  const Block block = it->second;
  if (expectedTag && *expectedTag != block.tag) {
    std::string message = "ExFreePoolWithTag(\"" + TagName(*expectedTag) +
                          "\") on a block of tag \"" + TagName(block.tag) + "\"";
    lock.unlock();
    detail::Violation(Check::PoolTagMismatch, message);
    lock.lock();
    it = gLive.find(p);
    if (it == gLive.end())
      return;
  }
  gLive.erase(it);
  gFreed[p] = block.tag;
  auto& t = gTags[block.tag];
  --t.liveCount;
  t.liveBytes -= block.bytes;
  gLiveBytes -= block.bytes;
  // Pool contents after free are garbage on Windows too.
  if (!block.special)
    std::memset(p, 0xDF, block.bytes);
  lock.unlock();
  if (!block.special) {
    std::free(p);
    return;
  }
  // SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION (bug check 0xC1) when the
  // pattern around the block changed.
  if (uintptr_t corrupted = special::Release(p, block.bytes)) {
    auto at = reinterpret_cast<uintptr_t>(p);
    special::ReportCorruption(
        {at, block.bytes, block.tag, corrupted, corrupted >= at + block.bytes, freedBy});
    detail::Violation(Check::InvalidCall, "pool block of tag \"" + TagName(block.tag) +
                                              "\" corrupted around " + detail::Hex(at) +
                                              " (SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION)");
  }
}

// Paged pool is never executable; non-paged pool is, unless NonPagedPoolNx
// asks otherwise, which only Windows 8 and later know (Windows 7 stops with
// BAD_POOL_CALLER at a pool type it does not know).
void CheckExecutable(POOL_TYPE type, ULONG tag) {
  using detail::Check;
  const bool paged = (type & 1) != 0;
  const bool nx = (type & NonPagedPoolNx) != 0;
  if (nx && !os::HasNxPool()) {
    detail::Violation(Check::InvalidCall, "pool type " + std::to_string(type) + " (tag \"" +
                                              TagName(tag) +
                                              "\") on a system without NonPagedPoolNx "
                                              "(BAD_POOL_CALLER)");
  } else if (!paged && !nx && os::HasNxPool()) {
    detail::Violation(Check::ExecutablePool, "executable non-paged pool (type " +
                                                 std::to_string(type) + ", tag \"" + TagName(tag) +
                                                 "\") where NonPagedPoolNx exists");
  }
}

PVOID CheckedAllocate(POOL_TYPE type, SIZE_T bytes, ULONG tag, bool special) {
  using detail::Check;
  KIRQL irql = detail::Current().irql;
  if (irql > DISPATCH_LEVEL)
    detail::Violation(Check::PoolBadIrql, "pool allocation above DISPATCH_LEVEL");
  else if (irql == DISPATCH_LEVEL && (type & 1) == PagedPool)
    detail::Violation(Check::PoolBadIrql, "paged pool allocation at DISPATCH_LEVEL");
  CheckExecutable(type, tag);
  detail::AuditPowerDownAllocation(tag);
  if (faults::ShouldFail(faults::Kind::PoolAllocation, tag))
    return nullptr;
  return Allocate(type, bytes, tag, special);
}

}  // namespace

PVOID NTAPI VerifiedAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  return CheckedAllocate(PoolType, NumberOfBytes, Tag,
                         special::CurrentMode() != special::Mode::Off);
}

std::string TagName(ULONG tag) {
  std::string s;
  for (int i = 0; i < 4; ++i) {
    char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
    s += (c >= 0x20 && c < 0x7F) ? c : '?';
  }
  return s;
}

std::vector<Allocation> LiveAllocations() {
  std::lock_guard<std::mutex> lock(gMutex);
  std::vector<Allocation> out;
  for (const auto& [p, b] : gLive)
    out.push_back(Allocation{p, b.tag, b.bytes, b.type, b.sequence});
  std::sort(out.begin(), out.end(),
            [](const Allocation& a, const Allocation& b) { return a.sequence < b.sequence; });
  return out;
}

std::vector<Allocation> LiveAllocations(ULONG tag) {
  auto all = LiveAllocations();
  all.erase(
      std::remove_if(all.begin(), all.end(), [tag](const Allocation& a) { return a.tag != tag; }),
      all.end());
  return all;
}

// The figures of one tag (all zero for a tag never allocated).
PerTag OfTag(ULONG tag) {
  std::lock_guard<std::mutex> lock(gMutex);
  auto it = gTags.find(tag);
  return it == gTags.end() ? PerTag{} : it->second;
}

size_t LiveCount(ULONG tag) {
  return OfTag(tag).liveCount;
}

size_t LiveBytes(ULONG tag) {
  return OfTag(tag).liveBytes;
}

size_t LiveCount() {
  std::lock_guard<std::mutex> lock(gMutex);
  return gLive.size();
}

size_t LiveBytes() {
  std::lock_guard<std::mutex> lock(gMutex);
  return gLiveBytes;
}

uint64_t TotalAllocations() {
  std::lock_guard<std::mutex> lock(gMutex);
  return gTotal;
}

uint64_t TotalAllocations(ULONG tag) {
  return OfTag(tag).totalCount;
}

size_t PeakBytes() {
  std::lock_guard<std::mutex> lock(gMutex);
  return gPeakBytes;
}

size_t PeakCount(ULONG tag) {
  return OfTag(tag).peakCount;
}

std::vector<TagStats> Stats() {
  std::lock_guard<std::mutex> lock(gMutex);
  std::vector<TagStats> out;
  for (const auto& [tag, t] : gTags)
    out.push_back(TagStats{tag, t.liveCount, t.liveBytes, t.totalCount});
  return out;
}

}  // namespace sim::pool

namespace sim::detail {

void* AllocateSystemPool(SIZE_T bytes, ULONG tag) {
  return pool::Allocate(NonPagedPool, bytes, tag, false);
}

void PoolEndOfTest() {
  for (const auto& s : pool::Stats()) {
    if (s.liveCount == 0)
      continue;
    Violation(Check::PoolLeak, std::to_string(s.liveCount) + " block(s), " +
                                   std::to_string(s.liveBytes) + " byte(s) of tag \"" +
                                   pool::TagName(s.tag) + "\" still allocated");
  }
}

void ResetPool() {
  std::lock_guard<std::mutex> lock(pool::gMutex);
  for (auto& [p, b] : pool::gLive)
    if (!b.special)
      std::free(const_cast<void*>(p));
  pool::special::Reset();
  pool::gLive.clear();
  pool::gFreed.clear();
  pool::gTags.clear();
  pool::gTotal = 0;
  pool::gLiveBytes = 0;
  pool::gPeakBytes = 0;
}

}  // namespace sim::detail

// The freeing caller is named when a corruption is found: the image routine
// whose import led here, or the direct caller.
#define SIM_CALLER                                       \
  (sim::ImageReturnAddress() ? sim::ImageReturnAddress() \
                             : reinterpret_cast<uintptr_t>(__builtin_return_address(0)))

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  return sim::pool::CheckedAllocate(PoolType, NumberOfBytes, Tag, false);
}

VOID NTAPI ExFreePool(PVOID P) {
  sim::pool::Free(P, nullptr, SIM_CALLER);
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) {
  sim::pool::Free(P, &Tag, SIM_CALLER);
}
