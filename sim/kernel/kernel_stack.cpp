#include "sim/kernel/kernel_stack.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace sim {
namespace {

std::atomic<size_t> gDeepest{0};

struct StackBounds {
  uintptr_t low = 0;
  uintptr_t high = 0;
};

StackBounds CurrentStack() {
  StackBounds bounds;
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0)
    return bounds;
  void* address = nullptr;
  size_t size = 0;
  if (pthread_attr_getstack(&attr, &address, &size) == 0) {
    bounds.low = reinterpret_cast<uintptr_t>(address);
    bounds.high = bounds.low + size;
  }
  pthread_attr_destroy(&attr);
  return bounds;
}

// The stack below the current frame is cleared so that the deepest byte
// written later shows how far the thread went (a reused stack holds the last
// thread's bytes). Uninstrumented: these bytes belong to no frame yet.
__attribute__((no_sanitize_address, noinline)) void ClearBelow(uintptr_t low, uintptr_t sp) {
  for (volatile auto* p = reinterpret_cast<volatile uint64_t*>(low);
       reinterpret_cast<uintptr_t>(p) + 8 <= sp; ++p)
    *p = 0;
}

__attribute__((no_sanitize_address, noinline)) uintptr_t DeepestWritten(uintptr_t low,
                                                                        uintptr_t high) {
  for (auto* p = reinterpret_cast<volatile const uint64_t*>(low);
       reinterpret_cast<uintptr_t>(p) < high; ++p)
    if (*p)
      return reinterpret_cast<uintptr_t>(p);
  return high;
}

void* Run(void* argument) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(argument));
  StackBounds stack = CurrentStack();
  volatile char here = 0;
  auto sp = reinterpret_cast<uintptr_t>(&here);
  // 512 bytes of margin below this frame: the clearing loop's own frame.
  if (stack.low && sp - stack.low > 512)
    ClearBelow(stack.low, sp - 512);
  (*body)();
  body.reset();
  if (stack.low) {
    size_t used = stack.high - DeepestWritten(stack.low, stack.high);
    size_t previous = gDeepest.load();
    while (used > previous && !gDeepest.compare_exchange_weak(previous, used)) {
    }
  }
  return nullptr;
}

}  // namespace

KernelThread::KernelThread(std::function<void()> body) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, kKernelStackSize + kSimulationStackAllowance);
  pthread_attr_setguardsize(&attr, 4096);
  auto* argument = new std::function<void()>(std::move(body));
  if (pthread_create(&thread_, &attr, Run, argument) != 0) {
    perror("pthread_create");
    std::abort();
  }
  pthread_attr_destroy(&attr);
  joinable_ = true;
}

KernelThread::KernelThread(KernelThread&& other) noexcept
    : thread_(other.thread_), joinable_(other.joinable_) {
  other.joinable_ = false;
}

KernelThread::~KernelThread() {
  if (joinable_)
    pthread_detach(thread_);
}

void KernelThread::join() {
  if (joinable_)
    pthread_join(thread_, nullptr);
  joinable_ = false;
}

size_t DeepestSystemThreadStack() {
  return gDeepest.load();
}

}  // namespace sim
