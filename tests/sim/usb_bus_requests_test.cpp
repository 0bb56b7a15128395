// The bus's record of Plug and Play, power and system-control requests and
// its plan for them, seen from a sender right above the PDO.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "sim/kernel/clock.h"
#include "sim/usb/bus.h"
#include "tests/support/kernel/kernel_test.h"
#include "tests/support/usb/bus_answers.h"

namespace {

class BusRequestsTest : public sim::test::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    ASSERT_NE(nullptr, sim::usb::LoadBus());
    pdo_ = sim::usb::Plug(sim::usb::PrimaryKey());
    ASSERT_NE(nullptr, pdo_);
  }
  std::vector<std::string> Texts() const {
    std::vector<std::string> texts;
    for (const auto& r : sim::usb::BusRequests(pdo_))
      texts.push_back(r.Text());
    return texts;
  }
  PDEVICE_OBJECT pdo_ = nullptr;
};

TEST_F(BusRequestsTest, ThePlanSkipsCountsAndMatchesPowerStates) {
  sim::usb::BusFault stop =
      sim::test::BusAnswer(IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE, STATUS_DEVICE_BUSY);
  stop.rule.skip = 1;
  sim::usb::AddBusFault(pdo_, stop);
  sim::usb::AddBusFault(
      pdo_, sim::test::DevicePowerAnswer(STATUS_DEVICE_POWER_FAILURE, false, PowerDeviceD3));
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::QueryStop(pdo_));
  EXPECT_EQ(STATUS_DEVICE_BUSY, sim::pnp::QueryStop(pdo_));
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::QueryStop(pdo_));
  EXPECT_EQ(STATUS_SUCCESS, sim::power::SetDevice(pdo_, PowerDeviceD2));
  EXPECT_EQ(STATUS_SUCCESS, sim::power::SetSystem(pdo_, PowerSystemSleeping3));
  EXPECT_EQ(STATUS_DEVICE_POWER_FAILURE, sim::power::SetDevice(pdo_, PowerDeviceD3));
  EXPECT_EQ(STATUS_SUCCESS, sim::power::SetDevice(pdo_, PowerDeviceD3));
  EXPECT_EQ((std::vector<std::string>{"pnp query-stop", "pnp query-stop", "pnp query-stop",
                                      "power set device D2", "power set system S3",
                                      "power set device D3", "power set device D3"}),
            Texts());
  auto records = sim::usb::BusRequests(pdo_);
  EXPECT_TRUE(records[1].planned);
  EXPECT_FALSE(records[2].planned);
  EXPECT_EQ(STATUS_DEVICE_POWER_FAILURE, records[5].status);
  for (size_t i = 1; i < records.size(); ++i)
    EXPECT_LT(records[i - 1].completedSequence, records[i].sequence);
}

TEST_F(BusRequestsTest, APendingAnswerCompletesLaterFromAnotherThread) {
  sim::usb::AddBusFault(pdo_,
                        sim::test::BusAnswer(IRP_MJ_POWER, IRP_MN_SET_POWER, STATUS_SUCCESS, true));
  const uint64_t before = sim::NextSequence();
  EXPECT_EQ(STATUS_SUCCESS, sim::power::SetDevice(pdo_, PowerDeviceD1));
  auto records = sim::usb::BusRequests(pdo_);
  ASSERT_EQ(1u, records.size());
  EXPECT_TRUE(records[0].pended);
  EXPECT_LT(before, records[0].sequence);
  EXPECT_LT(records[0].sequence, records[0].completedSequence);
  auto log = sim::usb::RequestLog(pdo_, nullptr, before);
  ASSERT_EQ(2u, log.size());
  EXPECT_EQ("bus: power set device D1 (pending)", log[0].text);
  EXPECT_EQ("bus completes: power set device D1", log[1].text);
}

// WMI sends with STATUS_NOT_SUPPORTED preset; a PDO without WMI data leaves it.
TEST_F(BusRequestsTest, SystemControlIsCompletedAsItCame) {
  KEVENT event;
  IO_STATUS_BLOCK iosb;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(0, pdo_, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
  NTSTATUS status = IoCallDriver(pdo_, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = iosb.Status;
  }
  EXPECT_EQ(STATUS_NOT_SUPPORTED, status);
  EXPECT_EQ(std::vector<std::string>{"system-control 0x00"}, Texts());
}

// A device-descriptor request sent straight to the PDO; its status.
NTSTATUS SendDescriptorRequest(PDEVICE_OBJECT pdo) {
  USB_DEVICE_DESCRIPTOR descriptor{};
  URB urb{};
  urb.UrbControlDescriptorRequest.Hdr.Length = sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
  urb.UrbControlDescriptorRequest.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  urb.UrbControlDescriptorRequest.DescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
  urb.UrbControlDescriptorRequest.TransferBuffer = &descriptor;
  urb.UrbControlDescriptorRequest.TransferBufferLength = sizeof(descriptor);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo, nullptr, 0, nullptr,
                                           0, TRUE, &event, &iosb);
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
  NTSTATUS status = IofCallDriver(pdo, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = iosb.Status;
  }
  return status;
}

// A hub refuses URBs to a port whose device it has not started: before the
// first start, after a start it failed and after a stop. A driver that sends
// one has not waited for the lower drivers' start (UrbBeforeStart).
TEST_F(BusRequestsTest, UrbsReachTheKeyOnlyWhileItIsStarted) {
  sim::usb::BusFault failedStart;
  failedStart.status = STATUS_DEVICE_POWER_FAILURE;
  sim::usb::AddBusFault(pdo_, failedStart);
  {
    sim::test::ExpectViolations expect;
    EXPECT_EQ(STATUS_DEVICE_NOT_READY, SendDescriptorRequest(pdo_));
    EXPECT_EQ(STATUS_DEVICE_POWER_FAILURE, sim::pnp::Start(pdo_));
    EXPECT_EQ(STATUS_DEVICE_NOT_READY, SendDescriptorRequest(pdo_));
    EXPECT_EQ(2u, expect.Count(sim::verifier::Check::UrbBeforeStart));
  }
  EXPECT_TRUE(sim::usb::Trace(pdo_).empty());
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Start(pdo_));
  EXPECT_EQ(STATUS_SUCCESS, SendDescriptorRequest(pdo_));
  EXPECT_EQ(1u, sim::usb::Trace(pdo_).size());
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Stop(pdo_));
  {
    sim::test::ExpectViolations expect;
    EXPECT_EQ(STATUS_DEVICE_NOT_READY, SendDescriptorRequest(pdo_));
    EXPECT_TRUE(expect.Saw(sim::verifier::Check::UrbBeforeStart));
  }
  EXPECT_EQ(1u, sim::usb::Trace(pdo_).size());
}

// What the bus completes later, it completes on the kernel's clock: while
// the clock stands still, nothing it pended ends, however long real time
// runs; once the clock has moved on by the bus's delay, it ends.
struct LaterCase {
  const char* name;
  void (*plan)(PDEVICE_OBJECT pdo);
  NTSTATUS (*send)(PDEVICE_OBJECT pdo);
};

const LaterCase kLater[] = {
    {"a planned answer that pends",
     [](PDEVICE_OBJECT pdo) {
       sim::usb::AddBusFault(
           pdo, sim::test::BusAnswer(IRP_MJ_POWER, IRP_MN_SET_POWER, STATUS_SUCCESS, true));
     },
     [](PDEVICE_OBJECT pdo) { return sim::power::SetDevice(pdo, PowerDeviceD1); }},
    {"the bus's own answer given late",
     [](PDEVICE_OBJECT pdo) { sim::usb::SetAnswersLate(pdo, true); },
     [](PDEVICE_OBJECT pdo) { return sim::pnp::QueryStop(pdo); }},
    {"a transfer completed later",
     [](PDEVICE_OBJECT pdo) {
       ASSERT_EQ(STATUS_SUCCESS, sim::pnp::Start(pdo));
       sim::usb::SetCompletion(pdo, sim::usb::Completion::Pending);
     },
     SendDescriptorRequest},
};

TEST_F(BusRequestsTest, WhatItAnswersLaterWaitsForTheKernelsClock) {
  for (const LaterCase& c : kLater) {
    SCOPED_TRACE(c.name);
    PDEVICE_OBJECT pdo = sim::usb::Plug(sim::usb::PrimaryKey());
    ASSERT_NE(nullptr, pdo);
    c.plan(pdo);
    sim::clock::SetRate(0);
    std::atomic<bool> done{false};
    NTSTATUS status = STATUS_PENDING;
    std::thread sender([&] {
      status = c.send(pdo);
      done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(done) << "ended while the kernel's clock stood still";
    sim::clock::AdvanceMs(20);
    sender.join();
    EXPECT_EQ(STATUS_SUCCESS, status);
    sim::clock::SetRate(1);
  }
}

}  // namespace
