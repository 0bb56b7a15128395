// The vkDrvPnp object: construction with the binding of its entry points,
// and the -i step.
#include "setup/drv_pnp.h"

namespace {

// Entry points come through the one function type every function pointer
// may be cast to and back.
template <typename T>
T EntryPoint(FARPROC Address) {
  return reinterpret_cast<T>(reinterpret_cast<void (*)()>(Address));
}

const WCHAR Kernel32Name[] = {'K', 'e', 'r', 'n', 'e', 'l', '3', '2', 0};
const WCHAR SetupApiName[] = {'s', 'e', 't', 'u', 'p', 'a', 'p', 'i', 0};

}  // namespace

vkDrvPnp::vkDrvPnp()
    : RebootRequired(0),
      ResultCode(RESULT_SUCCESS),
      pfnGetSystemWindowsDirectoryW(nullptr),
      pfnSetupQueryInfOriginalFileInformationW(nullptr),
      pfnSetupCopyOEMInfW(nullptr) {
  Bind();
}

// The object owns nothing: its modules were loaded before it and stay.
vkDrvPnp::~vkDrvPnp() {}

// Modules already loaded in the process, looked up without a reference; the
// first failure ends binding and leaves its code.
void vkDrvPnp::Bind() {
  HMODULE kernel32 = GetModuleHandleW(Kernel32Name);
  if (kernel32 == nullptr) {
    ResultCode = RESULT_MODULE_NOT_FOUND;
    return;
  }
  pfnGetSystemWindowsDirectoryW = EntryPoint<GetSystemWindowsDirectoryWFn>(
      GetProcAddress(kernel32, "GetSystemWindowsDirectoryW"));
  if (pfnGetSystemWindowsDirectoryW == nullptr) {
    ResultCode = RESULT_ENTRY_NOT_FOUND;
    return;
  }
  HMODULE setupapi = GetModuleHandleW(SetupApiName);
  if (setupapi == nullptr) {
    ResultCode = RESULT_MODULE_NOT_FOUND;
    return;
  }
  pfnSetupQueryInfOriginalFileInformationW = EntryPoint<SetupQueryInfOriginalFileInformationWFn>(
      GetProcAddress(setupapi, "SetupQueryInfOriginalFileInformationW"));
  if (pfnSetupQueryInfOriginalFileInformationW == nullptr) {
    ResultCode = RESULT_ENTRY_NOT_FOUND;
    return;
  }
  pfnSetupCopyOEMInfW =
      EntryPoint<SetupCopyOEMInfWFn>(GetProcAddress(setupapi, "SetupCopyOEMInfW"));
  if (pfnSetupCopyOEMInfW == nullptr) {
    ResultCode = RESULT_ENTRY_NOT_FOUND;
  }
}

// The package's INF goes into the system's INF folder under whatever name
// the system gives it.
BOOL vkDrvPnp::CopyOemInf(LPCWSTR InfPath) {
  if (InfPath == nullptr) {
    ResultCode = RESULT_INVALID_PARAMETER;
    return FALSE;
  }
  if (pfnSetupCopyOEMInfW == nullptr) {
    return FALSE;  // binding left its code
  }
  if (!pfnSetupCopyOEMInfW(InfPath, nullptr, SPOST_PATH, 0, nullptr, 0, nullptr, nullptr)) {
    ResultCode = RESULT_COPY_OEM_INF_FAILED;
    return FALSE;
  }
  return TRUE;
}

bool vkDrvPnp::WindowsDirectory(WCHAR* Buffer) {
  const UINT length = pfnGetSystemWindowsDirectoryW(Buffer, MAX_PATH);
  return length != 0 && length < MAX_PATH;
}
