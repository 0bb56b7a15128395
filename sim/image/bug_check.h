// Crashes inside a kernel-mode image. A fault whose instruction lies in a
// loaded image (or that jumps into a discarded INIT section or into an
// unloaded image) is reported as the bug check Windows would raise, with the
// routine and offset, and ends the process with kBugCheckExitStatus: under
// ctest each test runs in its own process, so only that test fails. A fault
// on a guard page or a freed page of special pool (sim/kernel/special_pool.h)
// is a bug check too, whichever code made it, and so is a corruption found
// when a special pool block is freed. Any other fault goes on to the handler
// installed before (the sanitizers' or the default one).
#pragma once

#include <cstdint>

namespace sim::image {

constexpr int kBugCheckExitStatus = 66;

// Installs the handlers for SIGSEGV, SIGBUS and SIGILL (once), on an
// alternate stack so that a stack overflow is reported too, and the special
// pool's report of a corruption found at free.
void InstallBugCheckHandler();

// Gives the calling thread an alternate signal stack if it has none.
void PrepareThreadForBugChecks();

// A bug check the kernel raises itself (not from a fault): prints it as the
// fault handler does, `what` followed by the routine at `where`, and ends the
// process with kBugCheckExitStatus.
[[noreturn]] void RaiseBugCheck(uint32_t code, const char* name, const uint64_t (&args)[4],
                                const char* what, uintptr_t where);

}  // namespace sim::image
