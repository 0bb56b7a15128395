// The name=value options of a keysim step, as the step parsers read them.
// Each check that fails says why in `*error` and returns false.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>

#include "sim/kernel/wdm.h"
#include "tools/keysim/script.h"

namespace keysim {

using Options = std::map<std::string, std::string>;

// Rejects options a step does not know, so a typo never passes silently.
bool OnlyKnown(const Options& options, std::initializer_list<const char*> known,
               std::string* error);

// A numeric option within [0, max]; absent options keep `*value`.
template <typename T>
bool NumberOption(const Options& options, const char* name, uint64_t max, T* value,
                  std::string* error) {
  auto it = options.find(name);
  if (it == options.end())
    return true;
  std::optional<uint64_t> n = ParseNumber(it->second);
  if (!n || *n > max) {
    *error = std::string(name) + "=" + it->second + " is not a number up to " + std::to_string(max);
    return false;
  }
  *value = static_cast<T>(*n);
  return true;
}

// status=<name or number>; an absent option keeps `*status`.
bool StatusOption(const Options& options, NTSTATUS* status, std::string* error);

}  // namespace keysim
