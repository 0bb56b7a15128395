// The driver versions of the installed copies of an INF (-g).
#include "setup/drv_pnp.h"
#include "setup/inf_files.h"
#include "setup/wide.h"

namespace {

const WCHAR DriverVerKey[] = {'D', 'r', 'i', 'v', 'e', 'r', 'V', 'e', 'r', 0};

void ClearList(VersionList* List) {
  BYTE* bytes = reinterpret_cast<BYTE*>(List);
  for (DWORD i = 0; i < sizeof(*List); ++i) {
    bytes[i] = 0;
  }
}

// Appends the block's DriverVer, cut to 15 units; the list holds 16 entries
// and further copies are left out.
void AppendVersion(PSP_INF_INFORMATION Block, VersionList* List) {
  WCHAR text[MAX_PATH];
  if (List->Count >= VersionEntryCount ||
      !SetupQueryInfVersionInformationW(Block, 0, DriverVerKey, text, MAX_PATH, nullptr)) {
    return;
  }
  WCHAR* entry = List->Entries[List->Count++];
  DWORD i = 0;
  for (; i < VersionEntryUnits - 1 && text[i] != 0; ++i) {
    entry[i] = text[i];
  }
  entry[i] = 0;
}

}  // namespace

BOOL vkDrvPnp::QueryInfVersions(LPCWSTR InfName, VersionList* List) {
  if (InfName == nullptr || List == nullptr || !IsBareName(InfName)) {
    ResultCode = RESULT_INVALID_PARAMETER;
    return FALSE;
  }
  ClearList(List);
  if (pfnGetSystemWindowsDirectoryW == nullptr ||
      pfnSetupQueryInfOriginalFileInformationW == nullptr) {
    return FALSE;  // binding left its code
  }
  PathBuffer own;
  if (const DWORD code = InfFolderPath(InfName, &own)) {
    ResultCode = code;
    return FALSE;
  }
  if (PathExists(own.Text())) {
    if (PSP_INF_INFORMATION block = ReadInfInformation(own.Text())) {
      AppendVersion(block, List);
      LocalFree(block);
    }
  }
  PathBuffer pattern;
  if (const DWORD code = InfFolderPath(OemInfPattern, &pattern)) {
    ResultCode = code;
    return FALSE;
  }
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW(pattern.Text(), &data);
  if (search == INVALID_HANDLE_VALUE) {
    return TRUE;
  }
  do {
    if (!IsStoredCopyName(data)) {
      continue;
    }
    PathBuffer candidate;
    const DWORD code = InfFolderPath(data.cFileName, &candidate);
    if (code == RESULT_WINDOWS_DIR_FAILED) {
      ResultCode = code;  // this one may be a copy: no list without it
      break;
    }
    WCHAR original[MAX_PATH];
    PSP_INF_INFORMATION block = nullptr;
    if (code != RESULT_SUCCESS || !OriginalName(candidate.Text(), original, &block)) {
      continue;  // too long for a path, or unreadable
    }
    if (WideEqual(original, InfName)) {
      AppendVersion(block, List);
    }
    LocalFree(block);
  } while (FindNextFileW(search, &data));
  FindClose(search);
  return ResultCode == RESULT_SUCCESS;
}
