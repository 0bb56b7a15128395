// The INF folder and the INF information blocks that the store steps read.
#pragma once

#include "setup/win32.h"

// "\inf\" after the Windows directory, and the pattern of stored copies.
extern const WCHAR InfFolderName[];
extern const WCHAR OemInfPattern[];

// The INF information block of the INF at Path, allocated with LocalAlloc
// (LPTR); null when it cannot be read. The caller frees it with LocalFree.
PSP_INF_INFORMATION ReadInfInformation(LPCWSTR Path);

// Whether a file that the search for OemInfPattern reported can be a stored
// copy: a file, not a folder, whose own name ends in ".inf". The search also
// matches short names, so "oem5.infx" (OEM5~1.INF) is reported too.
bool IsStoredCopyName(const WIN32_FIND_DATAW& Found);
