// The OS floor: every decoration x64 Windows takes from [Manufacturer] names
// Windows 7 (NT 6.1) or later. The driver's power code follows the rules of
// Vista and later (no PoStartNextPowerIrp) and the catalog lists 6.1 and
// later; a decoration with no version ("NTamd64", "NTamd64...1") is taken on
// every x64 system, an older one ("NTamd64.6", "NTamd64.6.0") on Vista.
#include "tools/infcheck/inf_rules.h"
#include "tools/infcheck/target_os.h"

namespace infcheck {
namespace {

constexpr unsigned kFloorMajor = 6;
constexpr unsigned kFloorMinor = 1;

// "" when x64 Windows takes the decoration only from 6.1 on.
std::string FloorFault(const TargetOs& os) {
  if (!os.readable)
    return os.fault;
  if (!os.hasVersion)
    return "names no OS version: x64 Windows takes it on every version";
  if (os.major < kFloorMajor || (os.major == kFloorMajor && os.minor < kFloorMinor))
    return "names " + std::to_string(os.major) + "." + std::to_string(os.minor) +
           ", before Windows 7 (6.1)";
  return "";
}

}  // namespace

void CheckOsFloor(const InfFile& inf, std::vector<Finding>* out) {
  for (const InfLine* manufacturer : inf.Lines("Manufacturer")) {
    for (size_t i = 1; i < manufacturer->fields.size(); ++i) {
      const TargetOs os = ReadTargetOs(manufacturer->fields[i]);
      if (!TakenOnX64(os))
        continue;
      if (const std::string fault = FloorFault(os); !fault.empty())
        out->push_back({"os-floor", manufacturer->number,
                        "the decoration '" + manufacturer->fields[i] + "' " + fault});
    }
  }
}

}  // namespace infcheck
