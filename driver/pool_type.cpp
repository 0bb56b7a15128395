// The one choice the driver makes for all its devices: which non-paged pool.
#include "driver/pool_type.h"

namespace {

// NonPagedPoolNx first appears in Windows 8, version 6.2.
constexpr ULONG FirstNxPoolMajor = 6;
constexpr ULONG FirstNxPoolMinor = 2;

}  // namespace

POOL_TYPE DriverNonPagedPool = NonPagedPool;

// RtlGetVersion is exported by every kernel the driver runs on. Should it
// fail, the executable pool is the one that every version accepts.
TARVIK_INIT void ChooseNonPagedPool() {
  RTL_OSVERSIONINFOW version;
  RtlZeroMemory(&version, sizeof(version));
  version.dwOSVersionInfoSize = sizeof(version);
  bool nx = false;
  if (NT_SUCCESS(RtlGetVersion(&version))) {
    nx = version.dwMajorVersion > FirstNxPoolMajor ||
         (version.dwMajorVersion == FirstNxPoolMajor && version.dwMinorVersion >= FirstNxPoolMinor);
  }
  DriverNonPagedPool = nx ? NonPagedPoolNx : NonPagedPool;
}
