// What the simulated kernel exports to a kernel-mode image: one table of
// (module, name, address) for ntoskrnl.exe, hal.dll and usbd.sys. An import
// slot receives the address: a routine's entry, or for a data export (an
// exported variable such as PsThreadType) the variable's address.
#pragma once

#include <string>

namespace sim::image {

struct Export {
  const char* module;  // lower case, as the loader compares names
  const char* name;
  const void* address;
};

// The export of `module` (any case) named `name` (exact case), or null.
const Export* FindExport(const std::string& module, const std::string& name);

}  // namespace sim::image
