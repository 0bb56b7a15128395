// The boundary between a kernel-mode image and the simulated kernel, in both
// directions. Into the kernel: every routine the image imports is bound to a
// thunk (exports.cpp) that calls CrossingIntoKernel with the image's return
// address and stack pointer. Into the image: the kernel's callouts
// (sim/kernel/callout.h) are watched once an image is loaded. Both enforce
// what Driver Verifier's IRQL checking with forced paging enforces on
// Windows: pageable code (a PAGE section) is paged out whenever the IRQL is
// raised, so running it at DISPATCH_LEVEL or above is bug check 0xD1,
// DRIVER_IRQL_NOT_LESS_OR_EQUAL (parameter 3 is 8, an instruction fetch).
// And both measure the kernel stack the image's frames use (stack_use.h).
// A driver built into the host process has no image: none of this applies
// to it.
#pragma once

#include <cstdint>

namespace sim::image {

// The image's code calls the kernel's `thunk` (its import) with
// `returnAddress` and its stack pointer at `callerSp` (before the call
// instruction pushed the return address).
void CrossingIntoKernel(uintptr_t returnAddress, uintptr_t callerSp, const void* thunk);
// The kernel routine returns to the image at `returnAddress`.
void ReturningToImage(uintptr_t returnAddress);

// Watches the kernel's calls into driver routines (once; the loader calls it).
void WatchCallouts();

}  // namespace sim::image
