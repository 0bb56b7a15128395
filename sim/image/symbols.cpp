#include "sim/image/symbols.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace sim::image {
namespace {

constexpr size_t kSymbolSize = 18;
constexpr uint16_t kTypeFunction = 0x20;

std::string Demangle(const std::string& name) {
  int status = 0;
  char* text = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
  if (status != 0 || !text)
    return name;
  std::string result(text);
  std::free(text);
  // The parameter list adds nothing to a routine's name in a report.
  auto paren = result.find('(');
  return paren == std::string::npos ? result : result.substr(0, paren);
}

bool SameLayout(const PeFile& a, const PeFile& b) {
  if (a.entryRva != b.entryRva || a.imageSize != b.imageSize)
    return false;
  for (const auto& s : b.sections) {
    auto it = std::find_if(a.sections.begin(), a.sections.end(),
                           [&](const SectionHeader& t) { return t.name == s.name; });
    if (it == a.sections.end() || it->virtualAddress != s.virtualAddress ||
        it->virtualSize != s.virtualSize)
      return false;
  }
  return true;
}

}  // namespace

std::string UnstrippedPath(const std::string& image) {
  auto dot = image.rfind('.');
  auto slash = image.rfind('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
    return image + ".unstripped";
  return image.substr(0, dot) + ".unstripped" + image.substr(dot);
}

void Symbols::Read(const std::string& unstripped, const PeFile& image) {
  routines_.clear();
  PeFile file;
  if (!ReadPeFile(unstripped, &file).empty() || !SameLayout(file, image))
    return;
  const auto& b = file.bytes;
  size_t table = file.symbolTableOffset;
  size_t strings = table + size_t(file.symbolCount) * kSymbolSize;
  if (!table || strings > b.size())
    return;  // no symbol table
  for (uint32_t i = 0; i < file.symbolCount; ++i) {
    size_t at = table + size_t(i) * kSymbolSize;
    uint32_t value = 0, zeroes = 0, nameOffset = 0;
    uint16_t section = 0, type = 0;
    Read32(b, at, &zeroes);
    Read32(b, at + 4, &nameOffset);
    Read32(b, at + 8, &value);
    Read16(b, at + 12, &section);
    Read16(b, at + 14, &type);
    uint8_t auxCount = b[at + 17];
    i += auxCount;
    if (type != kTypeFunction || section == 0 || section > file.sections.size())
      continue;
    std::string name;
    if (zeroes == 0) {
      if (strings + nameOffset >= b.size())
        continue;
      const char* text = reinterpret_cast<const char*>(&b[strings + nameOffset]);
      name.assign(text, strnlen(text, b.size() - strings - nameOffset));
    } else {
      name.assign(reinterpret_cast<const char*>(&b[at]),
                  strnlen(reinterpret_cast<const char*>(&b[at]), 8));
    }
    routines_.push_back({file.sections[section - 1].virtualAddress + value, Demangle(name)});
  }
  std::sort(routines_.begin(), routines_.end(),
            [](const Routine& a, const Routine& b) { return a.rva < b.rva; });
}

const Routine* Symbols::Find(uint32_t rva) const {
  auto it = std::upper_bound(routines_.begin(), routines_.end(), rva,
                             [](uint32_t v, const Routine& r) { return v < r.rva; });
  return it == routines_.begin() ? nullptr : &*(it - 1);
}

uint32_t Symbols::Rva(const std::string& name) const {
  for (const auto& r : routines_)
    if (r.name == name)
      return r.rva;
  return 0;
}

}  // namespace sim::image
