#include "sim/image/bug_check.h"

#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <mutex>

#include "sim/image/image.h"
#include "sim/kernel/callout.h"
#include "sim/kernel/special_pool.h"
#include "sim/kernel/wdm.h"

namespace sim::image {
namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGILL};
struct sigaction gPrevious[3];
constexpr size_t kAltStackSize = 64 * 1024;

// Messages are built without allocating: the handler may run anywhere.
class Text {
 public:
  Text& operator<<(const char* s) {
    while (*s && length_ < sizeof buffer_ - 1)
      buffer_[length_++] = *s++;
    return *this;
  }
  // At least `digits` digits in base `radix` (up to 16).
  Text& Number(uint64_t value, unsigned radix, int digits = 1) {
    char reversed[64];
    int n = 0;
    do {
      reversed[n++] = "0123456789abcdef"[value % radix];
      value /= radix;
    } while (value || n < digits);
    char out[65];
    for (int i = 0; i < n; ++i)
      out[i] = reversed[n - 1 - i];
    out[n] = 0;
    return *this << out;
  }
  Text& Hex(uint64_t value, int digits = 1) { return (*this << "0x").Number(value, 16, digits); }
  Text& Where(uintptr_t address) {
    Image* image = ImageAt(address);
    if (!image)
      return *this << "the kernel";
    const uint32_t rva = image->Rva(address);
    *this << image->fileName.c_str();
    const Routine* routine = image->symbols.Find(rva);
    if (!routine)
      return (*this << "+").Hex(rva);
    return (*this << "!" << routine->name.c_str() << "+").Hex(rva - routine->rva);
  }
  // ` pool block of tag "Tag1" (32 bytes at 0x...)`
  Text& PoolBlock(uint32_t tag, uint64_t bytes, uintptr_t block) {
    char name[5];
    for (int i = 0; i < 4; ++i) {
      char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
      name[i] = c >= 0x20 && c < 0x7F ? c : '?';
    }
    name[4] = 0;
    *this << " pool block of tag \"" << name << "\" (";
    return (Number(bytes, 10) << " bytes at ").Hex(block) << ")";
  }
  void Write() {
    buffer_[length_++] = '\n';
    ssize_t ignored = write(STDERR_FILENO, buffer_, length_);
    (void)ignored;
  }

 private:
  char buffer_[2048];
  size_t length_ = 0;
};

struct BugCheck {
  uint32_t code;
  const char* name;
  uint64_t args[4];
  const char* what;  // the fault in the driver's terms
  // The special pool block the fault is about, if any.
  const pool::special::Finding* pool = nullptr;
};

// The start routine of the system thread running on this thread, or 0.
uintptr_t ThreadStartRoutine() {
  uintptr_t start = 0;
  for (const sim::CalloutFrame* f = sim::InnermostCallout(); f; f = f->outer)
    if (f->kind == sim::EntryKind::ThreadStart)
      start = reinterpret_cast<uintptr_t>(f->routine);
  return start;
}

[[noreturn]] void Raise(const BugCheck& check, uintptr_t pc, uintptr_t caller) {
  Text text;
  text << "*** STOP: ";
  text.Hex(check.code, 8) << " " << check.name << " (";
  for (int i = 0; i < 4; ++i)
    (i ? text << ", " : text).Hex(check.args[i], 16);
  text << ")\n*** " << check.what;
  if (check.pool)
    text.PoolBlock(check.pool->tag, check.pool->bytes, check.pool->block);
  text << " in ";
  text.Where(pc);
  if (ImageAt(caller)) {
    text << " from ";
    text.Where(caller - 1) << " (caller)";
  }
  if (check.code == 0x7F) {
    if (uintptr_t start = ThreadStartRoutine())
      (text << ", thread started at ").Where(start);
  }
  text.Write();
  _exit(kBugCheckExitStatus);
}

void Chain(int signal, siginfo_t* info, void* context) {
  int index = signal == SIGSEGV ? 0 : signal == SIGBUS ? 1 : 2;
  const struct sigaction& previous = gPrevious[index];
  if (previous.sa_flags & SA_SIGINFO) {
    previous.sa_sigaction(signal, info, context);
    return;
  }
  if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
    previous.sa_handler(signal);
    return;
  }
  // Back to the default action: the faulting instruction runs again and the
  // process ends as it would have without this handler.
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigaction(signal, &fallback, nullptr);
}

bool StackOverflow(uintptr_t address, uintptr_t sp) {
  uintptr_t distance = address > sp ? address - sp : sp - address;
  return distance < 64 * 1024;
}

BugCheck Classify(int signal, const siginfo_t* info, const Image& image, uintptr_t pc, uintptr_t sp,
                  uint64_t error) {
  auto address = reinterpret_cast<uintptr_t>(info->si_addr);
  const bool write = error & 2;
  if (image.unloaded.load())
    return {0xCE,
            "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS",
            {pc, 8, pc, 0},
            "a routine of an unloaded driver was called (a callback left behind)"};
  const MappedSection* section = image.SectionAt(image.Rva(pc));
  if (signal == SIGSEGV && address == pc && section && section->discarded)
    return {0x50,
            "PAGE_FAULT_IN_NONPAGED_AREA",
            {pc, 0x10, pc, 0},
            "a routine of INIT was called after DriverEntry returned (INIT is discarded)"};
  if (signal == SIGILL)
    return {0x1E, "KMODE_EXCEPTION_NOT_HANDLED", {0xC000001D, pc, 0, 0}, "illegal instruction"};
  if (signal == SIGBUS)
    return {0x1E, "KMODE_EXCEPTION_NOT_HANDLED", {0x80000002, pc, 0, 0}, "bus error"};
  if (info->si_code == SI_KERNEL)
    return {0x1E,
            "KMODE_EXCEPTION_NOT_HANDLED",
            {0xC0000005, pc, 0, address},
            "general protection fault (privileged instruction or non-canonical address)"};
  if (StackOverflow(address, sp))
    return {0x7F, "UNEXPECTED_KERNEL_MODE_TRAP", {8, 0, 0, 0}, "kernel stack overflow"};
  KIRQL irql = KeGetCurrentIrql();
  if (irql >= DISPATCH_LEVEL)
    return {0xD1,
            "DRIVER_IRQL_NOT_LESS_OR_EQUAL",
            {address, irql, write ? 1u : 0u, pc},
            write ? "invalid write at raised IRQL" : "invalid read at raised IRQL"};
  if (write && info->si_code == SEGV_ACCERR && ImageAt(address))
    return {0xBE,
            "ATTEMPTED_WRITE_TO_READONLY_MEMORY",
            {address, 0, 0, 0},
            "write to a read-only section of the image"};
  return {0x50,
          "PAGE_FAULT_IN_NONPAGED_AREA",
          {address, write ? 1u : 0u, pc, 0},
          write ? "invalid write" : "invalid read"};
}

// The nearest return address into a loaded image's code on the stack above
// `sp`: the driver routine that called the kernel routine that faulted. The
// stack holds the sanitizer's poisoned red zones: read it unchecked.
__attribute__((no_sanitize("address", "undefined"))) uintptr_t ImageCallerOnStack(uintptr_t sp) {
  constexpr size_t kWords = 256;
  const auto* stack = reinterpret_cast<const volatile uintptr_t*>(sp & ~uintptr_t{7});
  for (size_t i = 0; i < kWords; ++i) {
    uintptr_t value = stack[i];
    Image* image = ImageAt(value);
    if (!image || image->unloaded.load())
      continue;
    const MappedSection* section = image->SectionAt(image->Rva(value));
    if (section && (section->characteristics & kSectionExecute) && !section->discarded)
      return value;
  }
  return 0;
}

// A fault on an inaccessible page of special pool, whoever made it: the
// driver (the routine is named) or the kernel working for it (a copy
// routine; the driver routine that called it is named as the caller). Bug checks
// 0xD6 DRIVER_PAGE_FAULT_BEYOND_END_OF_ALLOCATION / 0xCD
// PAGE_FAULT_BEYOND_END_OF_ALLOCATION for a guard page, 0xCC
// PAGE_FAULT_IN_FREED_SPECIAL_POOL for freed pool ("Special Pool", Driver
// Verifier documentation); also at raised IRQL.
[[noreturn]] void RaiseForSpecialPool(const pool::special::Finding& found, uintptr_t address,
                                      bool write, uintptr_t pc, uintptr_t sp) {
  using pool::special::Hit;
  BugCheck check{0, nullptr, {address, write ? 1u : 0u, pc, 0}, nullptr, &found};
  if (found.hit == Hit::Freed) {
    check.code = 0xCC;
    check.name = "PAGE_FAULT_IN_FREED_SPECIAL_POOL";
    check.what = write ? "write to a freed" : "read of a freed";
  } else {
    const bool driver = ImageAt(pc) != nullptr;
    check.code = driver ? 0xD6 : 0xCD;
    check.name = driver ? "DRIVER_PAGE_FAULT_BEYOND_END_OF_ALLOCATION"
                        : "PAGE_FAULT_BEYOND_END_OF_ALLOCATION";
    if (found.hit == Hit::BeyondEnd)
      check.what = write ? "write beyond the end of a" : "read beyond the end of a";
    else
      check.what = write ? "write before the start of a" : "read before the start of a";
  }
  Raise(check, pc, ImageAt(pc) ? 0 : ImageCallerOnStack(sp));
}

// Bug check 0xC1 SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION, raised when the
// block is freed: parameter 4 is 0x24 for bytes after the end of the block,
// 0x23 for bytes before it, in the same pages.
[[noreturn]] void ReportPoolCorruption(const pool::special::Corruption& c) {
  pool::special::Finding block;
  block.block = c.block;
  block.bytes = c.bytes;
  block.tag = c.tag;
  Raise({0xC1,
         "SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION",
         {c.block, c.corrupted, 0, c.afterEnd ? 0x24u : 0x23u},
         c.afterEnd ? "bytes after the end overwritten, found at the free of a"
                    : "bytes before the start overwritten, found at the free of a",
         &block},
        c.freedBy - 1, 0);
}

void Handle(int signal, siginfo_t* info, void* context) {
  auto* uc = static_cast<ucontext_t*>(context);
  auto pc = static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
  auto sp = static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RSP]);
  if (signal == SIGSEGV) {
    auto address = reinterpret_cast<uintptr_t>(info->si_addr);
    pool::special::Finding found = pool::special::Find(address);
    if (found.hit != pool::special::Hit::None)
      RaiseForSpecialPool(found, address, uc->uc_mcontext.gregs[REG_ERR] & 2, pc, sp);
  }
  Image* image = ImageAt(pc);
  if (!image) {
    Chain(signal, info, context);
    return;
  }
  // A call into discarded or unmapped code faults at its first instruction,
  // with the return address on top of the stack.
  uintptr_t caller = 0;
  if (ImageAt(sp) == nullptr && reinterpret_cast<uintptr_t>(info->si_addr) == pc)
    std::memcpy(&caller, reinterpret_cast<const void*>(sp), sizeof caller);
  Raise(Classify(signal, info, *image, pc, sp, uc->uc_mcontext.gregs[REG_ERR]), pc, caller);
}

}  // namespace

void RaiseBugCheck(uint32_t code, const char* name, const uint64_t (&args)[4], const char* what,
                   uintptr_t where) {
  Raise({code, name, {args[0], args[1], args[2], args[3]}, what}, where, 0);
}

void PrepareThreadForBugChecks() {
  stack_t current{};
  if (sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE))
    return;
  void* memory =
      mmap(nullptr, kAltStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED)
    return;
  stack_t stack{};
  stack.ss_sp = memory;
  stack.ss_size = kAltStackSize;
  sigaltstack(&stack, nullptr);
}

void InstallBugCheckHandler() {
  static std::once_flag once;
  std::call_once(once, [] {
    for (int i = 0; i < 3; ++i) {
      struct sigaction action {};
      action.sa_sigaction = Handle;
      action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
      sigemptyset(&action.sa_mask);
      sigaction(kSignals[i], &action, &gPrevious[i]);
    }
    pool::special::SetCorruptionReport(ReportPoolCorruption);
  });
  PrepareThreadForBugChecks();
}

}  // namespace sim::image
