// The models of an INF that x64 Windows reads on a given system. Each
// [Manufacturer] entry is "name = models[,TargetOSVersion]...", a decoration
// nt[Architecture][.[OSMajorVersion][.[OSMinorVersion][.[ProductType]
// [.[SuiteMask][.[BuildNumber]]]]]]; Windows takes, of the decorations that
// match the running system, the one that most closely matches it, and reads
// the section "models.<decoration as written>". A decoration matches when it
// is for amd64, names a version no later than the system's (BuildNumber from
// Windows 10 1607 on), and any ProductType and SuiteMask it gives are the
// system's. An entry with no match is not read; on x64 an undecorated entry is
// not read either (decorations are required for non-x86 systems since Windows
// Server 2003 SP1). WDK: "INF Manufacturer section", "Combining platform
// extensions with operating system versions".
#pragma once
#include <string>
#include <vector>

namespace sim::win32 {

struct OsVersion {
  unsigned major = 10;
  unsigned minor = 0;
  unsigned build = 19045;
  unsigned productType = 1;    // VER_NT_WORKSTATION
  unsigned suiteMask = 0x100;  // VER_SUITE_SINGLEUSERTS
};

// INF text: ASCII lower case; blanks and carriage returns trimmed from both ends.
std::string Lower(std::string s);
std::string Trim(const std::string& s);

// The hardware and compatible IDs the models sections x64 Windows reads from
// the INF text on that system list, as written.
std::vector<std::string> InfModelIds(const std::string& text, const OsVersion& os);

}  // namespace sim::win32
