// The boundary between a kernel-mode image and the simulated kernel, on the
// small images of tests/pe/images: pageable code reached at DISPATCH_LEVEL
// (from the kernel's side, a completion routine; from the image's side, a
// call into the kernel under a spin lock taken in PAGE), the kernel stack an
// entry point uses against its budget, and a system thread running off the
// end of its kernel-sized stack.
#include <chrono>
#include <functional>
#include <regex>
#include <string>
#include <thread>

#include "sim/image/bug_check.h"
#include "sim/image/image.h"
#include "sim/image/loader.h"
#include "sim/image/stack_use.h"
#include "tests/support/image/fault_case_name.h"
#include "tests/support/kernel/kernel_test.h"

namespace {

using sim::image::Image;

std::string TinyImage(const std::string& name) {
  return std::string(TARVIK_TEST_IMAGES) + "/" + name + ".sys";
}

// A lower driver that holds every request it is sent.
PIRP gHeld = nullptr;
NTSTATUS NTAPI Hold(PDEVICE_OBJECT, PIRP irp) {
  IoMarkIrpPending(irp);
  gHeld = irp;
  return STATUS_PENDING;
}
NTSTATUS NTAPI HoldingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_CREATE] = Hold;
  return STATUS_SUCCESS;
}

// IRP_MJ_CREATE for `device`, with `routine` as its sender's completion routine.
PIRP CreateRequest(PDEVICE_OBJECT device, PIO_COMPLETION_ROUTINE routine) {
  PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_CREATE;
  IoSetCompletionRoutine(irp, routine, nullptr, TRUE, TRUE, TRUE);
  return irp;
}

// Sends a request to a lower driver that holds it, with the completion routine
// `routine` of an image; the lower driver then completes it at `irql`.
void CompleteThroughImageRoutine(const std::string& image, const char* routine, KIRQL irql) {
  std::string refusal;
  Image* mapped = sim::image::MapImage(TinyImage(image), &refusal);
  ASSERT_NE(nullptr, mapped) << refusal;
  ASSERT_NE(nullptr, sim::image::StartImage(mapped, u"boundary"));
  auto completion =
      reinterpret_cast<PIO_COMPLETION_ROUTINE>(sim::image::RoutineAddress(mapped, routine));
  ASSERT_NE(nullptr, completion);
  PDRIVER_OBJECT lower = sim::LoadDriver(u"holding", HoldingEntry);
  PDEVICE_OBJECT device = nullptr;
  ASSERT_EQ(STATUS_SUCCESS,
            IoCreateDevice(lower, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
  PIRP irp = CreateRequest(device, completion);
  ASSERT_EQ(STATUS_PENDING, IofCallDriver(device, irp));
  ASSERT_EQ(irp, gHeld);
  irp->IoStatus.Status = STATUS_SUCCESS;
  KIRQL old;
  KeRaiseIrql(irql, &old);
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  KeLowerIrql(old);
  IoFreeIrp(irp);
  IoDeleteDevice(device);
}

NTSTATUS NTAPI TakeBack(PDEVICE_OBJECT, PIRP, PVOID) {
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends IRP_MJ_CREATE to a device of the image, whose dispatch routine
// completes it.
void CreateOnImageDevice(const std::string& image) {
  PDRIVER_OBJECT driver = sim::image::LoadImageDriver(TinyImage(image));
  ASSERT_NE(nullptr, driver);
  PDEVICE_OBJECT device = nullptr;
  // The tiny image's device record: a spin lock and a count, which the
  // dispatch routine counts up to 2 and completes with (2 > 7 ? 2 : 2 & 1), success.
  ASSERT_EQ(STATUS_SUCCESS,
            IoCreateDevice(driver, 16, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
  *reinterpret_cast<LONG*>(static_cast<char*>(device->DeviceExtension) + sizeof(KSPIN_LOCK)) = 1;
  PIRP irp = CreateRequest(device, TakeBack);
  IofCallDriver(device, irp);
  IoFreeIrp(irp);
  IoDeleteDevice(device);
}

struct Planted {
  const char* fault;
  std::function<void()> run;
  const char* report;  // regular expression over the bug check's lines
};

const Planted kPlanted[] = {
    {"pageable completion routine at DISPATCH_LEVEL",
     [] { CompleteThroughImageRoutine("paged_completion", "PagedCompletion", DISPATCH_LEVEL); },
     "STOP: 0x000000d1 DRIVER_IRQL_NOT_LESS_OR_EQUAL \\(0x[0-9a-f]+, 0x0000000000000002, "
     "0x0000000000000008, 0x[0-9a-f]+\\)\n"
     ".*pageable completion routine called at IRQL 2 in "
     "paged_completion\\.sys!PagedCompletion\\+0x0\n"},
    {"spin lock taken in PAGE", [] { CreateOnImageDevice("lock_in_page"); },
     "STOP: 0x000000d1 DRIVER_IRQL_NOT_LESS_OR_EQUAL \\(0x[0-9a-f]+, 0x0000000000000002, "
     "0x0000000000000008, 0x[0-9a-f]+\\)\n"
     ".*pageable code resumed at IRQL 2 after a call into the kernel in "
     "lock_in_page\\.sys!Pageable\\+0x[0-9a-f]+\n"},
    {"spin lock released in PAGE", [] { CreateOnImageDevice("release_in_page"); },
     "STOP: 0x000000d1 DRIVER_IRQL_NOT_LESS_OR_EQUAL \\(0x[0-9a-f]+, 0x0000000000000002, "
     "0x0000000000000008, 0x[0-9a-f]+\\)\n"
     ".*pageable code called the kernel at IRQL 2 in "
     "release_in_page\\.sys!Pageable\\+0x[0-9a-f]+\n"},
    {"recursion without end in a system thread",
     [] {
       ASSERT_NE(nullptr, sim::image::LoadImageDriver(TinyImage("deep_recursion")));
       std::this_thread::sleep_for(std::chrono::seconds(5));
     },
     "STOP: 0x0000007f UNEXPECTED_KERNEL_MODE_TRAP \\(0x0000000000000008, .*\n"
     ".*kernel stack overflow in deep_recursion\\.sys!Recurse\\+0x[0-9a-f]+, "
     "thread started at deep_recursion\\.sys!Descend\\+0x0\n"},
};

class BoundaryDeath : public sim::test::KernelTest,
                      public ::testing::WithParamInterface<Planted> {};

TEST_P(BoundaryDeath, PlantedFaultIsTheBugCheckNamingTheRoutine) {
  EXPECT_EXIT(GetParam().run(), ::testing::ExitedWithCode(sim::image::kBugCheckExitStatus),
              GetParam().report);
}

INSTANTIATE_TEST_SUITE_P(Images, BoundaryDeath, ::testing::ValuesIn(kPlanted),
                         sim::test::FaultCaseName());

class Boundary : public sim::test::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    sim::image::ClearStackUses();
  }
};

// The same paths with the routines where they belong stay quiet: the
// completion routine completed at PASSIVE_LEVEL, and ok.sys, whose spin lock
// is taken in a resident routine.
TEST_F(Boundary, PageableCodeBelowDispatchLevelIsNoFault) {
  CompleteThroughImageRoutine("paged_completion", "PagedCompletion", PASSIVE_LEVEL);
  CreateOnImageDevice("ok");
}

TEST_F(Boundary, EntryPointOverTheStackBudgetIsAFindingNamingIt) {
  sim::test::ExpectViolations violations;
  PDRIVER_OBJECT driver = sim::image::LoadImageDriver(TinyImage("stack_hog"));
  ASSERT_NE(nullptr, driver);
  ASSERT_EQ(1u, violations.Count(sim::verifier::Check::KernelStackUse));
  std::string message = violations.All()[0].message;
  std::smatch figure;
  ASSERT_TRUE(std::regex_match(message, figure,
                               std::regex("KernelStackUse: DriverEntry stack_hog\\.sys!DriverEntry"
                                          "\\+0x0 used ([0-9]+) bytes of kernel stack, over the "
                                          "budget of 6144")))
      << message;
  // Hog's 8 KiB of locals, its frame and DriverEntry's: a few hundred bytes more.
  size_t used = std::stoul(figure[1]);
  EXPECT_GE(used, 8192u + 8u);
  EXPECT_LE(used, 8192u + 512u);
  auto uses = sim::image::StackUses();
  ASSERT_EQ(1u, uses.size());
  EXPECT_EQ("DriverEntry", uses[0].entry);
  EXPECT_EQ(used, uses[0].deepest);
}

TEST_F(Boundary, EntryPointsWithinTheBudgetAreMeasuredWithoutFinding) {
  CreateOnImageDevice("ok");
  auto uses = sim::image::StackUses();
  ASSERT_EQ(1u, uses.size());
  EXPECT_EQ("dispatch IRP_MJ_CREATE", uses[0].entry);
  EXPECT_EQ("ok.sys!Pageable+0x0", uses[0].routine);
  // Pageable's frame and Guarded's: shadow space, saved registers, return addresses.
  EXPECT_GT(uses[0].deepest, 32u);
  EXPECT_LT(uses[0].deepest, 256u);
}

}  // namespace
