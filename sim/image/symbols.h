// Routine names of a kernel-mode image, read from the COFF symbol table of
// its copy before stripping (NAME.unstripped.sys beside NAME.sys), so that
// findings and bug checks name the routine instead of an offset.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/image/pe_file.h"

namespace sim::image {

struct Routine {
  uint32_t rva;
  std::string name;  // demangled
};

class Symbols {
 public:
  // Reads the routines of `unstripped`, which must be `image` before
  // stripping (same entry point, size and section layout); no names are
  // known when it cannot serve.
  void Read(const std::string& unstripped, const PeFile& image);

  // The routine that holds `rva` (the last one starting at or below it), or
  // null. No allocation: usable in a signal handler.
  const Routine* Find(uint32_t rva) const;
  // The RVA of a routine by its (demangled) name, or 0.
  uint32_t Rva(const std::string& name) const;

 private:
  std::vector<Routine> routines_;  // sorted by rva
};

// The unstripped copy that the build keeps beside `image`: X.sys -> X.unstripped.sys.
std::string UnstrippedPath(const std::string& image);

}  // namespace sim::image
