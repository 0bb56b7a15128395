// Where the system looks for the DLLs it loads on the tool's behalf.
#include "setup/drv_pnp.h"

namespace {

typedef BOOL(WINAPI* SetDefaultDllDirectoriesFn)(DWORD);

const WCHAR Kernel32Name[] = {'k', 'e', 'r', 'n', 'e', 'l', '3', '2', 0};

}  // namespace

// The tool runs elevated from an installer's temporary folder, which the
// user can write to. System code that loads a DLL for the tool (a class or
// co-installer, signature checks) would look in that folder first; from
// here on it looks in the system folder only. The routine is looked up, not
// imported: on a system without it the tool goes on with the default order.
void RestrictDllSearch() {
  HMODULE kernel32 = GetModuleHandleW(Kernel32Name);
  if (kernel32 == nullptr) {
    return;
  }
  FARPROC address = GetProcAddress(kernel32, "SetDefaultDllDirectories");
  if (address == nullptr) {
    return;
  }
  auto setDirectories =
      reinterpret_cast<SetDefaultDllDirectoriesFn>(reinterpret_cast<void (*)()>(address));
  setDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}
