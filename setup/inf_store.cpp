// Installed copies of a driver package's INF, and their deletion (-u, -d).
#include "setup/drv_pnp.h"
#include "setup/inf_files.h"
#include "setup/wide.h"

namespace {

const WCHAR DriversFolder[] = {'\\', 's', 'y', 's', 't', 'e', 'm', '3',  '2', '\\',
                               'd',  'r', 'i', 'v', 'e', 'r', 's', '\\', 0};

// Deletes Path if it exists; false only when the deletion fails.
bool DeleteIfPresent(LPCWSTR Path) {
  return !PathExists(Path) || DeleteFileW(Path);
}

}  // namespace

// The name the INF at Path had before the system copied it into its INF
// folder. On success the information block stays with the caller.
bool vkDrvPnp::OriginalName(LPCWSTR Path, WCHAR* Name, PSP_INF_INFORMATION* Information) {
  PSP_INF_INFORMATION block = ReadInfInformation(Path);
  if (block == nullptr) {
    return false;
  }
  SP_ORIGINAL_FILE_INFO_W original;
  original.cbSize = sizeof(original);
  if (!pfnSetupQueryInfOriginalFileInformationW(block, 0, nullptr, &original)) {
    LocalFree(block);
    return false;
  }
  for (DWORD i = 0; i < MAX_PATH; ++i) {
    Name[i] = original.OriginalInfName[i];
  }
  Name[MAX_PATH - 1] = 0;
  *Information = block;
  return true;
}

BOOL vkDrvPnp::FindOemInf(LPCWSTR InfName, WCHAR* Found) {
  if (InfName == nullptr || Found == nullptr || !IsBareName(InfName)) {
    ResultCode = RESULT_INVALID_PARAMETER;
    return FALSE;
  }
  if (pfnGetSystemWindowsDirectoryW == nullptr ||
      pfnSetupQueryInfOriginalFileInformationW == nullptr) {
    return FALSE;  // binding left its code
  }
  PathBuffer path;
  if (const DWORD code = InfFolderPath(InfName, &path)) {
    ResultCode = code;
    return FALSE;
  }
  // The copy under its own name counts whatever its original name.
  if (PathExists(path.Text())) {
    for (DWORD i = 0; i <= path.Length(); ++i) {
      Found[i] = path.Text()[i];
    }
    return TRUE;
  }
  PathBuffer pattern;
  if (const DWORD code = InfFolderPath(OemInfPattern, &pattern)) {
    ResultCode = code;
    return FALSE;
  }
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW(pattern.Text(), &data);
  if (search == INVALID_HANDLE_VALUE) {
    return FALSE;
  }
  BOOL found = FALSE;
  do {
    if (!IsStoredCopyName(data)) {
      continue;
    }
    PathBuffer candidate;
    const DWORD code = InfFolderPath(data.cFileName, &candidate);
    if (code == RESULT_WINDOWS_DIR_FAILED) {
      ResultCode = code;  // this one may be a copy: no result without it
      break;
    }
    if (code != RESULT_SUCCESS) {
      continue;  // a name too long for a path cannot be read
    }
    WCHAR original[MAX_PATH];
    PSP_INF_INFORMATION block = nullptr;
    if (!OriginalName(candidate.Text(), original, &block)) {
      continue;
    }
    LocalFree(block);
    if (WideEqual(original, InfName)) {
      for (DWORD i = 0; i <= candidate.Length(); ++i) {
        Found[i] = candidate.Text()[i];
      }
      found = TRUE;
      break;
    }
  } while (FindNextFileW(search, &data));
  FindClose(search);
  return found;
}

BOOL vkDrvPnp::UninstallOemInf(LPCWSTR InfName) {
  if (InfName == nullptr || !IsBareName(InfName)) {
    ResultCode = RESULT_INVALID_PARAMETER;
    return FALSE;
  }
  WCHAR found[MAX_PATH];
  while (FindOemInf(InfName, found)) {
    // Both paths are checked before anything is deleted.
    PathBuffer precompiled;
    if (!precompiled.Set(found) || !precompiled.ToPrecompiled()) {
      ResultCode = RESULT_INVALID_PARAMETER;
      return FALSE;
    }
    if (!DeleteFileW(found)) {
      ResultCode = RESULT_DELETE_FILE_FAILED;
      return FALSE;
    }
    if (!DeleteIfPresent(precompiled.Text())) {
      ResultCode = RESULT_DELETE_FILE_FAILED;
      return FALSE;
    }
  }
  return ResultCode == RESULT_SUCCESS;
}

BOOL vkDrvPnp::DeleteDriverFile(LPCWSTR FileName, BOOL InDriversFolder) {
  if (FileName == nullptr || (InDriversFolder != FALSE && InDriversFolder != TRUE) ||
      !IsBareName(FileName)) {
    ResultCode = RESULT_INVALID_PARAMETER;
    return FALSE;
  }
  if (pfnGetSystemWindowsDirectoryW == nullptr) {
    return FALSE;  // binding left its code
  }
  PathBuffer path;
  if (!WindowsDirectory(path.Data())) {
    ResultCode = RESULT_WINDOWS_DIR_FAILED;
    return FALSE;
  }
  path.Adopt();
  PathBuffer precompiled;
  // Every path is checked before anything is deleted; the drivers folder
  // has no precompiled files.
  if (!path.Append(InDriversFolder ? DriversFolder : InfFolderName) || !path.Append(FileName) ||
      (!InDriversFolder && (!precompiled.Set(path.Text()) || !precompiled.ToPrecompiled()))) {
    ResultCode = RESULT_INVALID_PARAMETER;
    return FALSE;
  }
  if (!DeleteIfPresent(path.Text())) {
    ResultCode = RESULT_DELETE_FILE_FAILED;
    return FALSE;
  }
  if (!InDriversFolder && !DeleteIfPresent(precompiled.Text())) {
    ResultCode = RESULT_DELETE_FILE_FAILED;
    return FALSE;
  }
  return TRUE;
}
