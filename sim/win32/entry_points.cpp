// The entry points GetProcAddress hands out, by name.
#include <map>
#include <string>

#include "sim/win32/state.h"

namespace {

// Through void (*)(), the one function type every function pointer may be cast to and back.
template <typename F>
FARPROC Entry(F function) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

}  // namespace

FARPROC FindEntryPoint(const std::string& name) {
  static const std::map<std::string, FARPROC> table = {
      {"GetSystemWindowsDirectoryW", Entry(&GetSystemWindowsDirectoryW)},
      {"SetDefaultDllDirectories", Entry(&SetDefaultDllDirectories)},
      {"SetupQueryInfOriginalFileInformationW", Entry(&SetupQueryInfOriginalFileInformationW)},
      {"SetupCopyOEMInfW", Entry(&SetupCopyOEMInfW)},
      {"UpdateDriverForPlugAndPlayDevicesW", Entry(&UpdateDriverForPlugAndPlayDevicesW)},
      {"CM_Locate_DevNodeW", Entry(&CM_Locate_DevNodeW)},
      {"CM_Reenumerate_DevNode", Entry(&CM_Reenumerate_DevNode)},
  };
  auto it = table.find(name);
  return it == table.end() ? nullptr : it->second;
}
