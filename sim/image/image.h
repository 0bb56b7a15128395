// A kernel-mode image in memory: its mapping, its sections (INIT discarded
// once started) and routine names, and whether it is still mapped. Images
// are registered so that a fault can be traced to one.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/image/pe_file.h"
#include "sim/image/symbols.h"

namespace sim::image {

struct MappedSection {
  std::string name;
  uint32_t rva;
  uint32_t size;  // in memory, whole pages
  uint32_t characteristics;
  bool discarded = false;  // INIT after DriverEntry
};

struct Image {
  std::string fileName;  // e.g. Tarvik4v2.sys
  uint8_t* base = nullptr;
  size_t size = 0;
  uint32_t entryRva = 0;
  std::vector<MappedSection> sections;
  Symbols symbols;
  std::atomic<bool> unloaded{false};  // unmapped, its range still reserved

  bool Contains(uintptr_t address) const {
    return address >= reinterpret_cast<uintptr_t>(base) &&
           address < reinterpret_cast<uintptr_t>(base) + size;
  }
  uint32_t Rva(uintptr_t address) const {
    return static_cast<uint32_t>(address - reinterpret_cast<uintptr_t>(base));
  }
  // The section holding an RVA, or null (the headers).
  const MappedSection* SectionAt(uint32_t rva) const;
  // Whether `address` lies in pageable code: a section named PAGE or PAGExxx,
  // which Windows' loader leaves pageable.
  bool Pageable(uintptr_t address) const;
};

// Registration of mapped images, readable from a signal handler.
void Register(Image* image);
// The registered image (loaded or unloaded) whose range holds `address`, or null.
Image* ImageAt(uintptr_t address);

}  // namespace sim::image
