// The simulated Windows version and RtlGetVersion.
#include "sim/kernel/version.h"

#include <atomic>

#include "sim/kernel/internal.h"

namespace sim::os {
namespace {

std::atomic<ULONG> gMajor{kWindows10.major};
std::atomic<ULONG> gMinor{kWindows10.minor};
std::atomic<ULONG> gBuild{kWindows10.build};

}  // namespace

void Pretend(const Version& version) {
  gMajor = version.major;
  gMinor = version.minor;
  gBuild = version.build;
}

Version Current() {
  return Version{gMajor, gMinor, gBuild};
}

bool HasNxPool() {
  const Version v = Current();
  return v.major > 6 || (v.major == 6 && v.minor >= 2);
}

}  // namespace sim::os

namespace sim::detail {

void ResetVersion() {
  os::Pretend(os::kWindows10);
}

}  // namespace sim::detail

// The caller says which structure it passes: the plain one or the extended
// one, which begins with the same fields.
NTSTATUS NTAPI RtlGetVersion(PRTL_OSVERSIONINFOW lpVersionInformation) {
  sim::detail::RequireIrql(sim::verifier::Check::IrqlDocumented, "RtlGetVersion", PASSIVE_LEVEL);
  // Service pack major and minor, suite mask, product type, reserved.
  constexpr ULONG kExtendedSize = sizeof(RTL_OSVERSIONINFOW) + 3 * sizeof(USHORT) + 2;
  const ULONG size = lpVersionInformation->dwOSVersionInfoSize;
  if (size != sizeof(RTL_OSVERSIONINFOW) && size != kExtendedSize)
    return STATUS_INVALID_PARAMETER;
  const sim::os::Version v = sim::os::Current();
  lpVersionInformation->dwMajorVersion = v.major;
  lpVersionInformation->dwMinorVersion = v.minor;
  lpVersionInformation->dwBuildNumber = v.build;
  lpVersionInformation->dwPlatformId = 2;  // VER_PLATFORM_WIN32_NT
  lpVersionInformation->szCSDVersion[0] = 0;
  if (v.major == 6 && v.minor == 1) {
    const char16_t pack[] = u"Service Pack 1";
    for (size_t i = 0; i < sizeof(pack) / sizeof(pack[0]); ++i)
      lpVersionInformation->szCSDVersion[i] = static_cast<WCHAR>(pack[i]);
  }
  if (size == kExtendedSize) {
    auto* extra = reinterpret_cast<UCHAR*>(lpVersionInformation + 1);
    std::memset(extra, 0, kExtendedSize - sizeof(RTL_OSVERSIONINFOW));
    extra[0] = v.major == 6 && v.minor == 1 ? 1 : 0;  // wServicePackMajor
    extra[6] = 1;                                     // wProductType: VER_NT_WORKSTATION
  }
  return STATUS_SUCCESS;
}
