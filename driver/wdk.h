// The driver's one platform include.
//
// On Windows this is the DDK as MinGW-w64 ships it; on the Linux host it is
// the simulated kernel and USB stack, which implement the same interfaces.
// Driver sources include nothing else from the platform.
#pragma once

#if defined(_WIN32)

#include <ntddk.h>
#include <wdm.h>
extern "C" {
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>
}

// Code placement: pageable routines live in PAGE, the entry routine in INIT,
// which the loader discards once DriverEntry has returned. Resident routines
// that pageable code calls and that take a spin lock (or must stay resident
// for another reason) are kept out of line: GCC would otherwise copy their
// bodies into the pageable caller, and so into PAGE.
#define TARVIK_PAGED __attribute__((section("PAGE")))
#define TARVIK_INIT __attribute__((section("INIT")))
#define TARVIK_RESIDENT __attribute__((noinline))

#else

#include "sim/kernel/wdm.h"
#include "sim/usb/usb.h"

#define TARVIK_PAGED
#define TARVIK_INIT
#define TARVIK_RESIDENT

#endif
