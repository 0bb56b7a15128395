// Special pool: blocks of verified code on pages of their own between guard
// pages, a pattern around each block, freed pages kept inaccessible.
#include "sim/kernel/special_pool.h"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace sim::pool::special {
namespace {

constexpr size_t kPage = 0x1000;
// Pool on Windows x64 is 16-byte aligned, and special pool's size classes
// there are 16 bytes apart: a block ends up to 15 bytes before its page end.
constexpr size_t kAlignment = 16;
// What the pages hold where the block is not.
constexpr unsigned char kPattern = 0x5A;
// Blocks that may be in special pool at once, live or freed, and how many
// freed ones stay inaccessible before their addresses may be handed out
// again.
constexpr size_t kSlots = 8192;
constexpr size_t kQuarantine = 1024;

// One block's pages: [map, map + kPage) and [mapEnd - kPage, mapEnd) are the
// guard pages, the block lies in between. Read without locks by Find; map
// is written last when a slot is filled and first when it is emptied.
struct Region {
  std::atomic<uintptr_t> map{0};
  std::atomic<uintptr_t> mapEnd{0};
  std::atomic<uintptr_t> block{0};
  std::atomic<size_t> bytes{0};
  std::atomic<ULONG> tag{0};
  std::atomic<bool> freed{false};
};

Region gRegions[kSlots];

std::mutex gMutex;  // everything below, and the writes to gRegions
std::vector<size_t> gFreeSlots;
bool gSlotsReady = false;
std::unordered_map<uintptr_t, size_t> gSlotOfBlock;  // live blocks
std::deque<size_t> gQuarantine;                      // freed blocks, oldest first
size_t gLive = 0;
Figures gFigures{};

std::atomic<CorruptionReport> gReport{nullptr};

Mode RunMode() {
  static const Mode mode = [] {
    const char* value = std::getenv("TARVIK_SPECIAL_POOL");
    std::string text = value ? value : "overrun";
    if (text == "overrun")
      return Mode::Overrun;
    if (text == "underrun")
      return Mode::Underrun;
    if (text == "off")
      return Mode::Off;
    std::fprintf(stderr, "TARVIK_SPECIAL_POOL=%s: want overrun, underrun or off\n", value);
    std::abort();
  }();
  return mode;
}

std::atomic<Mode> gMode{RunMode()};

size_t RoundUp(size_t value, size_t to) {
  return (value + to - 1) / to * to;
}

void ReadySlots() {
  if (gSlotsReady)
    return;
  gFreeSlots.reserve(kSlots);
  for (size_t i = kSlots; i-- > 0;)
    gFreeSlots.push_back(i);
  gSlotsReady = true;
}

void Empty(size_t slot) {
  Region& r = gRegions[slot];
  uintptr_t map = r.map.exchange(0);
  munmap(reinterpret_cast<void*>(map), r.mapEnd.load() - map);
  gFreeSlots.push_back(slot);
}

// A slot for a new block: a free one, else the oldest in quarantine.
bool TakeSlot(size_t* slot) {
  ReadySlots();
  if (gFreeSlots.empty()) {
    if (gQuarantine.empty())
      return false;
    Empty(gQuarantine.front());
    gQuarantine.pop_front();
  }
  *slot = gFreeSlots.back();
  gFreeSlots.pop_back();
  return true;
}

}  // namespace

Mode CurrentMode() {
  return gMode.load();
}

void SetMode(Mode mode) {
  gMode.store(mode);
}

void SetCorruptionReport(CorruptionReport report) {
  gReport.store(report);
}

void ReportCorruption(const Corruption& corruption) {
  if (CorruptionReport report = gReport.load())
    report(corruption);
}

void* Allocate(size_t bytes, ULONG tag) {
  const bool atEnd = gMode.load() != Mode::Underrun;
  const size_t span = atEnd ? RoundUp(std::max<size_t>(bytes, 1), kAlignment) : bytes;
  const size_t dataSize = RoundUp(std::max<size_t>(span, 1), kPage);
  const size_t mapSize = dataSize + 2 * kPage;
  std::lock_guard<std::mutex> lock(gMutex);
  size_t slot;
  if (!TakeSlot(&slot)) {
    ++gFigures.exhausted;
    return nullptr;
  }
  void* map = mmap(nullptr, mapSize, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (map == MAP_FAILED) {
    gFreeSlots.push_back(slot);
    ++gFigures.exhausted;
    return nullptr;
  }
  auto* data = static_cast<unsigned char*>(map) + kPage;
  if (mprotect(data, dataSize, PROT_READ | PROT_WRITE) != 0) {
    munmap(map, mapSize);
    gFreeSlots.push_back(slot);
    ++gFigures.exhausted;
    return nullptr;
  }
  std::memset(data, kPattern, dataSize);
  unsigned char* block = atEnd ? data + dataSize - span : data;
  Region& r = gRegions[slot];
  r.mapEnd.store(reinterpret_cast<uintptr_t>(map) + mapSize);
  r.block.store(reinterpret_cast<uintptr_t>(block));
  r.bytes.store(bytes);
  r.tag.store(tag);
  r.freed.store(false);
  r.map.store(reinterpret_cast<uintptr_t>(map));
  gSlotOfBlock[reinterpret_cast<uintptr_t>(block)] = slot;
  ++gFigures.allocations;
  gFigures.peakLive = std::max(gFigures.peakLive, ++gLive);
  return block;
}

uintptr_t Release(void* block, size_t bytes) {
  auto at = reinterpret_cast<uintptr_t>(block);
  std::lock_guard<std::mutex> lock(gMutex);
  auto it = gSlotOfBlock.find(at);
  if (it == gSlotOfBlock.end())
    return 0;
  size_t slot = it->second;
  gSlotOfBlock.erase(it);
  --gLive;
  Region& r = gRegions[slot];
  auto* data = reinterpret_cast<unsigned char*>(r.map.load() + kPage);
  auto* dataEnd = reinterpret_cast<unsigned char*>(r.mapEnd.load() - kPage);
  auto* first = static_cast<unsigned char*>(block);
  uintptr_t corrupted = 0;
  for (unsigned char* p = data; p < dataEnd && !corrupted; ++p)
    if ((p < first || p >= first + bytes) && *p != kPattern)
      corrupted = reinterpret_cast<uintptr_t>(p);
  mprotect(data, dataEnd - data, PROT_NONE);
  madvise(data, dataEnd - data, MADV_DONTNEED);
  r.freed.store(true);
  gQuarantine.push_back(slot);
  if (gQuarantine.size() > kQuarantine) {
    Empty(gQuarantine.front());
    gQuarantine.pop_front();
  }
  return corrupted;
}

void Reset() {
  std::lock_guard<std::mutex> lock(gMutex);
  for (size_t slot = 0; slot < kSlots; ++slot)
    if (gRegions[slot].map.load())
      Empty(slot);
  gFreeSlots.clear();
  gSlotsReady = false;
  gSlotOfBlock.clear();
  gQuarantine.clear();
  gLive = 0;
  gMode.store(RunMode());
}

Finding Find(uintptr_t address) {
  for (const Region& r : gRegions) {
    uintptr_t map = r.map.load(std::memory_order_acquire);
    if (!map || address < map || address >= r.mapEnd.load())
      continue;
    Finding found;
    found.block = r.block.load();
    found.bytes = r.bytes.load();
    found.tag = r.tag.load();
    if (r.freed.load())
      found.hit = Hit::Freed;
    else if (address < map + kPage)
      found.hit = Hit::BeforeStart;
    else if (address >= r.mapEnd.load() - kPage)
      found.hit = Hit::BeyondEnd;
    return found;
  }
  return Finding{};
}

Figures CurrentFigures() {
  std::lock_guard<std::mutex> lock(gMutex);
  return gFigures;
}

}  // namespace sim::pool::special
