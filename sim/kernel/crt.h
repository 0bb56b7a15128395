// The C run-time routines that ntoskrnl.exe exports to drivers (memcpy,
// memset, ...). A driver built on the host calls the C library directly; an
// image built for Windows imports them from the kernel and calls them with
// the Windows x64 convention, so the kernel exports these instead.
#pragma once

#include "sim/kernel/base_types.h"

namespace sim::crt {

PVOID NTAPI Memcpy(PVOID Destination, PCVOID Source, SIZE_T Count);
PVOID NTAPI Memmove(PVOID Destination, PCVOID Source, SIZE_T Count);
PVOID NTAPI Memset(PVOID Destination, int Fill, SIZE_T Count);
int NTAPI Memcmp(PCVOID Buffer1, PCVOID Buffer2, SIZE_T Count);

}  // namespace sim::crt
