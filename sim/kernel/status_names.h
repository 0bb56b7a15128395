// The names of the statuses the simulation and its tools print: one table
// for the kernel's reports and keysim's scripts.
#pragma once
#include <cstdint>
#include <string>

namespace sim {

// "STATUS_PENDING", or null for a status without a name here.
const char* KnownStatusName(uint32_t status);
// "STATUS_PENDING", or "0x........" for a status without a name here.
std::string StatusName(uint32_t status);
// The status named `name` exactly ("STATUS_PENDING"); false when none is.
bool StatusByExactName(const std::string& name, uint32_t* status);

}  // namespace sim
