#include "tools/keysim/options.h"

#include "tools/keysim/names.h"

namespace keysim {

bool OnlyKnown(const Options& options, std::initializer_list<const char*> known,
               std::string* error) {
  for (const auto& [name, value] : options) {
    bool found = false;
    for (const char* k : known)
      found = found || name == k;
    if (!found) {
      *error = "unknown option '" + name + "'";
      return false;
    }
  }
  return true;
}

bool StatusOption(const Options& options, NTSTATUS* status, std::string* error) {
  auto it = options.find("status");
  if (it == options.end())
    return true;
  std::optional<uint32_t> value = StatusByName(it->second);
  if (!value) {
    *error = "unknown status '" + it->second + "'";
    return false;
  }
  *status = static_cast<NTSTATUS>(*value);
  return true;
}

}  // namespace keysim
