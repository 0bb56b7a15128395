#include "sim/image/image.h"

#include <sys/mman.h>

#include <mutex>

namespace sim::image {
namespace {

// Unloaded images keep their address range reserved, so that a routine left
// behind in one is still recognised; the oldest unloaded one makes room.
constexpr size_t kSlots = 64;
std::atomic<Image*> gSlots[kSlots];
std::mutex gSlotsMutex;

}  // namespace

const MappedSection* Image::SectionAt(uint32_t rva) const {
  for (const auto& s : sections)
    if (rva >= s.rva && rva - s.rva < s.size)
      return &s;
  return nullptr;
}

bool Image::Pageable(uintptr_t address) const {
  if (!Contains(address))
    return false;
  const MappedSection* s = SectionAt(Rva(address));
  return s && s->name.compare(0, 4, "PAGE") == 0;
}

void Register(Image* image) {
  std::lock_guard<std::mutex> lock(gSlotsMutex);
  for (auto& slot : gSlots) {
    if (!slot.load()) {
      slot.store(image);
      return;
    }
  }
  for (auto& slot : gSlots) {
    Image* old = slot.load();
    if (old->unloaded.load()) {
      slot.store(image);
      munmap(old->base, old->size);
      delete old;
      return;
    }
  }
  // More than kSlots images loaded at once: this one is not traced.
}

Image* ImageAt(uintptr_t address) {
  for (auto& slot : gSlots) {
    Image* image = slot.load();
    if (image && image->Contains(address))
      return image;
  }
  return nullptr;
}

}  // namespace sim::image
