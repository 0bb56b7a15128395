// The setup tool's one platform include: the Windows headers on Windows,
// the simulated Win32 system on the Linux host.
#pragma once
#if defined(_WIN32)
#include <windows.h>
// windows.h first
#include <setupapi.h>
#else
#include "sim/win32/win32.h"
#endif
