// The kernel stack an image's own frames use, per entry point. At each call
// from the image into the kernel the stack pointer is compared with the one
// at the kernel's call into the image (sim/kernel/callout.h): the difference
// is the image's use from that entry down to its deepest call into the
// kernel. The deepest use per entry point (kind and routine) is kept; one
// above kStackBudget is a verifier finding (KernelStackUse) naming the entry
// point. With TARVIK_STACK_REPORT=path, the table is appended to that file
// when the process exits, one line per entry point ("<bytes>\t<entry>\t<routine>"),
// with a line for the deepest system thread stack ("<bytes>\tsystem thread
// stack\t(simulation and image)").
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "sim/kernel/callout.h"

namespace sim::image {

// A quarter of the 24 KiB kernel stack of an x64 thread: the stack is shared
// by every driver on the call path (the function driver, the USB hub and
// host controller drivers below it, filters, the I/O manager, and an
// interrupt or DPC that lands on the same stack), so one driver taking more
// than its share leaves the others too little. Windows documents no per-driver
// figure; KERNEL_STACK_SIZE is 0x6000 on x64.
constexpr size_t kStackBudget = 6 * 1024;

// The image's use `bytes` below `frame`'s entry (called while `frame` is the
// innermost entry and the image calls into the kernel).
void NoteStackUse(CalloutFrame& frame, size_t bytes);

struct StackUse {
  std::string entry;    // "dispatch IRP_MJ_PNP"
  std::string routine;  // "Tarvik4v2.sys!DispatchPnp"
  size_t deepest;
};
// Every entry point seen so far, deepest first.
std::vector<StackUse> StackUses();
// Forgets the table.
void ClearStackUses();

}  // namespace sim::image
