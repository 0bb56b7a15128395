// The OS floor: every x64 decoration of [Manufacturer] names Windows 7 (NT 6.1)
// or later. The driver's power code follows the rules of Windows Vista and
// later (no PoStartNextPowerIrp) and its catalog lists 6.1 to 10.0, so an
// undecorated NTamd64, which Windows takes on any x64 version, or one for an
// older version would install it where neither holds. The decoration is
// NTamd64[.major[.minor[.product[.suite[.build]]]]] (INF Manufacturer section).
#include <cstdlib>

#include "tools/infcheck/inf_rules.h"

namespace infcheck {
namespace {

constexpr int kFloorMajor = 6;
constexpr int kFloorMinor = 1;

bool Digits(const std::string& text) {
  return !text.empty() && text.size() <= 5 &&
         text.find_first_not_of("0123456789") == std::string::npos;
}

// "" when the decoration names 6.1 or later, else what is wrong with it.
std::string FloorFault(const std::string& decoration) {
  const std::string d = Lower(decoration);
  if (d == "ntamd64")
    return "names no OS version: Windows takes it on any x64 version";
  const std::string version = d.substr(std::string("ntamd64.").size());
  const size_t dot = version.find('.');
  const std::string major = version.substr(0, dot);
  const std::string rest = dot == std::string::npos ? std::string() : version.substr(dot + 1);
  const std::string minor = rest.substr(0, rest.find('.'));
  if (!Digits(major) || (!minor.empty() && !Digits(minor)))
    return "has no OS version major.minor";
  const int m = std::atoi(major.c_str());
  const int n = minor.empty() ? 0 : std::atoi(minor.c_str());
  if (m < kFloorMajor || (m == kFloorMajor && n < kFloorMinor))
    return "names a version before Windows 7 (6.1)";
  return "";
}

}  // namespace

void CheckOsFloor(const InfFile& inf, std::vector<Finding>* out) {
  for (const InfLine* manufacturer : inf.Lines("Manufacturer")) {
    for (size_t i = 1; i < manufacturer->fields.size(); ++i) {
      const std::string d = Lower(manufacturer->fields[i]);
      if (d != "ntamd64" && d.rfind("ntamd64.", 0) != 0)
        continue;
      if (const std::string fault = FloorFault(manufacturer->fields[i]); !fault.empty())
        out->push_back({"os-floor", manufacturer->number,
                        "the decoration '" + manufacturer->fields[i] + "' " + fault});
    }
  }
}

}  // namespace infcheck
