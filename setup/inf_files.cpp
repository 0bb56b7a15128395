#include "setup/inf_files.h"

#include "setup/drv_pnp.h"
#include "setup/wide.h"

const WCHAR InfFolderName[] = {'\\', 'i', 'n', 'f', '\\', 0};
const WCHAR OemInfPattern[] = {'o', 'e', 'm', '*', '.', 'i', 'n', 'f', 0};

PSP_INF_INFORMATION ReadInfInformation(LPCWSTR Path) {
  DWORD size = 0;
  if (!SetupGetInfInformationW(Path, INFINFO_INF_NAME_IS_ABSOLUTE, nullptr, 0, &size)) {
    return nullptr;
  }
  auto* block = static_cast<PSP_INF_INFORMATION>(LocalAlloc(LPTR, size));
  if (block != nullptr &&
      !SetupGetInfInformationW(Path, INFINFO_INF_NAME_IS_ABSOLUTE, block, size, nullptr)) {
    LocalFree(block);
    block = nullptr;
  }
  return block;
}

DWORD vkDrvPnp::InfFolderPath(LPCWSTR Name, PathBuffer* Path) {
  if (!WindowsDirectory(Path->Data())) {
    return RESULT_WINDOWS_DIR_FAILED;
  }
  Path->Adopt();
  return Path->Append(InfFolderName) && Path->Append(Name) ? RESULT_SUCCESS
                                                           : RESULT_INVALID_PARAMETER;
}
