// Names of code addresses in the kernel's findings. The kernel knows where a
// driver's image lies (the driver object's DriverStart and DriverSize) but not
// its routines; the image loader, which reads the image's symbols, names them.
#pragma once

#include <string>

namespace sim {

// Returns e.g. "Tarvik4v2.sys!Routine+0x1a" for an address inside a loaded
// or unloaded image, "" for any other address.
using CodeNamer = std::string (*)(const void* address);
void SetCodeNamer(CodeNamer namer);

// The name of a code address: the namer's, or its bare address.
std::string CodeName(const void* address);

}  // namespace sim
