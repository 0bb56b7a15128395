// The OS thread under a system thread, on a stack sized as a kernel thread's.
// Windows gives a kernel thread on x64 a stack of KERNEL_STACK_SIZE, 24 KiB
// (0x6000 in MinGW-w64's ntddk.h), with a guard page below it; running off
// the end is bug check 0x7F, UNEXPECTED_KERNEL_MODE_TRAP (double fault),
// reported by the image loader's fault handler. The simulation's own frames
// share the thread's stack (ASan-instrumented, far bigger than the kernel's
// frames on Windows), so the stack is 24 KiB for the driver plus an allowance
// for them: kSimulationStackAllowance, below. Each thread's deepest use is
// measured (the unused stack is cleared at the start and scanned at the end).
#pragma once

#include <pthread.h>

#include <cstddef>
#include <functional>

namespace sim {

// KERNEL_STACK_SIZE on x64.
constexpr size_t kKernelStackSize = 24 * 1024;
// The simulation's frames below a system thread's start routine: over the
// image battery (ctest -L image, ASan build) the deepest system thread used
// 12,712 bytes in all, of which the image's own frames took 144
// (docs/reliability.md, "Kernel stack"). Two and a half times the
// simulation's part leaves room for paths the battery does not take.
constexpr size_t kSimulationStackAllowance = 32 * 1024;

class KernelThread {
 public:
  explicit KernelThread(std::function<void()> body);
  KernelThread(KernelThread&& other) noexcept;
  KernelThread(const KernelThread&) = delete;
  KernelThread& operator=(const KernelThread&) = delete;
  ~KernelThread();

  void join();

 private:
  pthread_t thread_{};
  bool joinable_ = false;
};

// The deepest stack any system thread used so far (simulation and driver
// frames together), in bytes from the top of its stack.
size_t DeepestSystemThreadStack();

}  // namespace sim
