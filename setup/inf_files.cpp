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

bool IsStoredCopyName(const WIN32_FIND_DATAW& Found) {
  if ((Found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return false;
  }
  static const WCHAR inf[] = {'.', 'i', 'n', 'f'};
  DWORD n = 0;
  while (n < MAX_PATH && Found.cFileName[n] != 0) {
    ++n;
  }
  if (n < 4) {
    return false;
  }
  for (DWORD i = 0; i < 4; ++i) {
    WCHAR c = Found.cFileName[n - 4 + i];
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<WCHAR>(c - 'A' + 'a');
    }
    if (c != inf[i]) {
      return false;
    }
  }
  return true;
}
