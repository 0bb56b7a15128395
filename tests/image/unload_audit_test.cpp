// A driver image unloaded while the kernel still holds one of its routines:
// each kind is a finding at unload, named as Windows' bug check 0xCE
// DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS names it, with the
// routine from the image's symbols.
#include <chrono>
#include <regex>
#include <thread>
#include <vector>

#include "sim/image/bug_check.h"
#include "sim/image/image.h"
#include "sim/image/loader.h"
#include "sim/kernel/verifier.h"
#include "tests/support/kernel/kernel_test.h"

namespace {

std::string TinyImage(const std::string& name) {
  return std::string(TARVIK_TEST_IMAGES) + "/" + name + ".sys";
}

// The driver below the tiny image's filter: keeps every request it is sent
// until the test lets them go.
std::vector<PIRP> gHeld;

NTSTATUS NTAPI Hold(PDEVICE_OBJECT, PIRP irp) {
  IoMarkIrpPending(irp);
  gHeld.push_back(irp);
  return STATUS_PENDING;
}

VOID NTAPI HolderUnload(PDRIVER_OBJECT driver) {
  while (driver->DeviceObject)
    IoDeleteDevice(driver->DeviceObject);
}

NTSTATUS NTAPI HolderEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Hold;
  driver->MajorFunction[IRP_MJ_POWER] = Hold;
  driver->DriverUnload = HolderUnload;
  return STATUS_SUCCESS;
}

void ReleaseHeld() {
  for (PIRP irp : gHeld) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
  }
  gHeld.clear();
}

struct LeftRoutine {
  const char* image;
  NTSTATUS controlStatus;  // what the filter returns for the control request
  const char* finding;     // regular expression
};

const LeftRoutine kLeft[] = {
    // The control request is still below with the filter's completion routine.
    {"completion_left", STATUS_PENDING,
     "^UnloadedWithPendingOperations: bug check 0xCE "
     "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS \\((0x[0-9A-F]+), 0x8, \\1, 0x0\\): "
     "\\\\Driver\\\\completion_left unloaded leaving the completion routine "
     "completion_left\\.sys!Done\\+0x0 of request 0x[0-9A-F]+ \\(major 0xE\\) still pending$"},
    // The filter answered the control request but its power request is below.
    {"power_completion_left", STATUS_SUCCESS,
     "^UnloadedWithPendingOperations: bug check 0xCE "
     "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS \\((0x[0-9A-F]+), 0x8, \\1, 0x0\\): "
     "\\\\Driver\\\\power_completion_left unloaded leaving the power completion "
     "power_completion_left\\.sys!PowerDone\\+0x0 of request 0x[0-9A-F]+ \\(major 0x16\\) still "
     "pending$"},
};

class UnloadAudit : public sim::test::KernelTest,
                    public ::testing::WithParamInterface<LeftRoutine> {
 protected:
  void TearDown() override {
    gHeld.clear();
    sim::test::KernelTest::TearDown();
  }
};

TEST_P(UnloadAudit, RoutineLeftInTheUnloadedImageIsAFindingAndIsNeverCalled) {
  const LeftRoutine& left = GetParam();
  PDRIVER_OBJECT holder = sim::LoadDriver(u"holder", HolderEntry);
  ASSERT_NE(nullptr, holder);
  PDEVICE_OBJECT below = nullptr;
  ASSERT_EQ(STATUS_SUCCESS,
            IoCreateDevice(holder, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &below));
  below->Flags &= ~DO_DEVICE_INITIALIZING;

  PDRIVER_OBJECT filter = sim::image::LoadImageDriver(TinyImage(left.image));
  ASSERT_NE(nullptr, filter);
  ASSERT_EQ(STATUS_SUCCESS, filter->DriverExtension->AddDevice(filter, below));
  PDEVICE_OBJECT top = filter->DeviceObject;
  ASSERT_NE(nullptr, top);

  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp =
      IoBuildDeviceIoControlRequest(0x222000, top, nullptr, 0, nullptr, 0, FALSE, &done, &iosb);
  ASSERT_NE(nullptr, irp);
  EXPECT_EQ(left.controlStatus, IofCallDriver(top, irp));
  ASSERT_EQ(1u, gHeld.size());

  {
    sim::test::ExpectViolations violations;
    sim::UnloadDriver(filter);
    auto all = violations.All();
    ASSERT_EQ(1u, all.size());
    EXPECT_EQ(sim::verifier::Check::UnloadedWithPendingOperations, all[0].check);
    EXPECT_TRUE(std::regex_search(all[0].message, std::regex(left.finding))) << all[0].message;
  }
  // Completing what is held goes past the image: a call into it would stop
  // the process.
  ReleaseHeld();
  LARGE_INTEGER timeout;
  timeout.QuadPart = -10 * 1000 * 1000;
  EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout));
  EXPECT_EQ(STATUS_SUCCESS, iosb.Status);
}

INSTANTIATE_TEST_SUITE_P(Images, UnloadAudit, ::testing::ValuesIn(kLeft),
                         [](const auto& info) { return std::string(info.param.image); });

// A system thread of the image still running when the driver unloads: the
// finding at unload, then the stop when the thread returns into the image.
TEST(UnloadAuditDeath, SystemThreadStillRunningIsAFindingAtUnload) {
  EXPECT_EXIT(
      {
        sim::ResetKernel();
        sim::verifier::SetHook(nullptr);  // findings to stderr
        PDRIVER_OBJECT driver = sim::image::LoadImageDriver(TinyImage("thread_left"));
        sim::UnloadDriver(driver);
        std::this_thread::sleep_for(std::chrono::seconds(5));
      },
      ::testing::ExitedWithCode(sim::image::kBugCheckExitStatus),
      "verifier: UnloadedWithPendingOperations: bug check 0xCE "
      "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS \\(0x[0-9A-F]+, 0x8, 0x[0-9A-F]+, "
      "0x0\\): \\\\Driver\\\\thread_left unloaded leaving the system thread "
      "thread_left\\.sys!Sleeper\\+0x0 still running \\(thread 0x[0-9A-F]+\\)\n"
      "(.*\n)*\\*\\*\\* STOP: 0x000000ce DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS");
}

}  // namespace
