// The decoration of a [Manufacturer] entry's models (TargetOSVersion):
// nt[Architecture][.[OSMajorVersion][.[OSMinorVersion][.[ProductType]
// [.[SuiteMask][.[BuildNumber]]]]]], any field but "nt" left out or empty
// ("NTamd64...1": workstations of any version). Windows builds the models
// section's name from the entry's name and the decoration that best matches
// the running system; a version names the oldest system it is taken on.
// (WDK: "INF Manufacturer section", "Combining platform extensions with
// operating system versions".)
#pragma once
#include <string>

namespace infcheck {

struct TargetOs {
  bool nt = false;           // begins with "nt": a decoration at all
  std::string architecture;  // lower case; "" for every platform
  bool readable = false;     // each field a number Windows can compare
  std::string fault;         // why not, when not readable
  bool hasVersion = false;   // OSMajorVersion given
  unsigned major = 0;
  unsigned minor = 0;  // 0 when left out
};

TargetOs ReadTargetOs(const std::string& decoration);

// x64 Windows takes a decoration for amd64, or one for every platform.
inline bool TakenOnX64(const TargetOs& os) {
  return os.nt && (os.architecture == "amd64" || os.architecture.empty());
}

}  // namespace infcheck
