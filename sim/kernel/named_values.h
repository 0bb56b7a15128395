// Tables of named numbers (statuses, control codes) that the simulation and
// its tools print and read back.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace sim {

struct NamedValue {
  uint32_t value;
  const char* name;
};

// A table row named as the constant is spelt: SIM_NAMED(STATUS_PENDING).
#define SIM_NAMED(x) \
  { static_cast<uint32_t>(x), #x }

// The name of `value` in `table`, or null.
template <size_t N>
const char* NameIn(const NamedValue (&table)[N], uint32_t value) {
  for (const NamedValue& entry : table) {
    if (entry.value == value)
      return entry.name;
  }
  return nullptr;
}

// The value named `name` exactly in `table`; false when none is.
template <size_t N>
bool ValueIn(const NamedValue (&table)[N], const std::string& name, uint32_t* value) {
  for (const NamedValue& entry : table) {
    if (name == entry.name) {
      *value = entry.value;
      return true;
    }
  }
  return false;
}

}  // namespace sim
