// Every request to the USB stack is waited for 5 s at most, on the kernel's
// clock (which the tests move by hand): a key that never answers a transfer
// or a port reset holds no client, no exchange and no drain for ever. Also
// the race of a bounded wait's timeout with the completion, and the port
// reset that first ends the interrupt reads in progress.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "sim/kernel/clock.h"
#include "tests/support/driver/background_call.h"
#include "tests/support/driver/open_key_test.h"

namespace tarvik::test {
namespace {

using sim::usb::Completion;
using sim::usb::Kind;
using Bytes = std::vector<UCHAR>;

bool WaitDone(const Call& call, int realMs = 5000) {
  return WaitUntilDone(call, realMs);
}

class UsbBounds : public OpenKeyTest, public ::testing::WithParamInterface<Completion> {
 protected:
  void Open() {
    key_ = PlugAndStart();
    sim::usb::SetCompletion(key_.pdo, GetParam());
    OpenInterface(GUID_KEY_INTERFACE_PRIMARY);
  }
  std::unique_ptr<Call> BeginSend(ULONG code, Bytes in, ULONG out) {
    return Begin([this, code, in, out] { return Send(code, in, out); });
  }
  // Lets a request that the driver does not give up go, so the test ends.
  void Rescue() { sim::usb::ReleaseHeld(key_.pdo); }
};

std::string ModeName(const ::testing::TestParamInfo<Completion>& info) {
  return info.param == Completion::Synchronous ? "Synchronous" : "Pending";
}

INSTANTIATE_TEST_SUITE_P(Completion, UsbBounds,
                         ::testing::Values(Completion::Synchronous, Completion::Pending), ModeName);

struct HeldCase {
  const char* name;
  Kind held;  // the request the key never answers
  ULONG code;
  Bytes in;
  ULONG out;
  NTSTATUS status;         // of the client's request
  std::vector<Kind> wire;  // what reached the bus, in order
};

// Held at the bus, the request ends at the bound: it is cancelled there and
// fails with STATUS_IO_TIMEOUT, which the caller handles as any failure.
TEST_P(UsbBounds, AnUnansweredRequestEndsAfterFiveSeconds) {
  TARVIK_WHITE_BOX();
  const HeldCase cases[] = {
      // A write whose first attempt timed out is retried after a port reset.
      {"VendorOut",
       Kind::VendorOut,
       IOCTL_KEY_VENDOR_WRITE,
       {0x40, 0, 0, 0, 0, 0, 2, 0, 0x01, 0x33},
       0,
       STATUS_SUCCESS,
       {Kind::VendorOut, Kind::ResetPort, Kind::VendorOut}},
      {"VendorIn",
       Kind::VendorIn,
       IOCTL_KEY_VENDOR_READ,
       {0xC0, 0, 0, 0, 0, 0, 8, 0},
       8,
       STATUS_IO_TIMEOUT,
       {Kind::VendorIn}},
      {"ResetPort",
       Kind::ResetPort,
       IOCTL_KEY_RESET_PORT,
       {},
       0,
       STATUS_IO_TIMEOUT,
       {Kind::ResetPort}},
  };
  for (const HeldCase& c : cases) {
    SCOPED_TRACE(c.name);
    Open();
    sim::clock::SetRate(0);
    sim::usb::HoldNext(key_.pdo, c.held);
    auto call = BeginSend(c.code, c.in, c.out);
    ASSERT_TRUE(sim::usb::WaitUntilHeld(key_.pdo));
    ASSERT_TRUE(sim::clock::WaitUntilTimedWaiters(1));
    sim::clock::AdvanceMs(4999);
    SleepMs(20);
    EXPECT_FALSE(call->done) << "gave up before five seconds";
    sim::clock::AdvanceMs(1);
    if (!WaitDone(*call))
      Rescue();
    ASSERT_TRUE(WaitDone(*call));
    EXPECT_EQ(c.status, call->io.Status);
    EXPECT_EQ(0u, call->io.Information);
    auto wire = Wire(key_);
    ASSERT_EQ(c.wire, WireKinds(key_));
    EXPECT_EQ(STATUS_CANCELLED, wire[0].status);
    EXPECT_EQ(1, key_.ext->OutstandingIo);
    EXPECT_EQ(1, KeReadStateMutex(&key_.ext->TransferMutex));
    sim::clock::SetRate(1);
    client_->Close(handle_);
    handle_ = nullptr;
    Remove(key_);
  }
}

// The transfer completes exactly at the deadline: the wait has timed out but
// the waiter has not gone on yet. The request is then no longer below (the
// I/O manager may have freed it), so it must not be cancelled, and its own
// answer is what the read returns.
TEST_P(UsbBounds, AReadCompletedAtTheDeadlineIsNotCancelled) {
  TARVIK_WHITE_BOX();
  Open();
  ASSERT_EQ(STATUS_SUCCESS,
            Send(IOCTL_KEY_VENDOR_WRITE, {0x40, 0, 0, 0, 0, 0, 2, 0, 0x01, 0x33}, 0).Status);
  ClearWire(key_);
  sim::clock::SetRate(0);
  sim::usb::HoldNext(key_.pdo, Kind::Interrupt);
  PDEVICE_OBJECT pdo = key_.pdo;
  sim::clock::AtNextDeadline([pdo] { sim::usb::CompleteHeld(pdo); });
  auto read = BeginSend(IOCTL_KEY_READ_INTERRUPT, {}, 8);
  ASSERT_TRUE(sim::usb::WaitUntilHeld(key_.pdo));
  ASSERT_TRUE(sim::clock::WaitUntilTimedWaiters(1));
  sim::clock::AdvanceMs(5000);
  if (!WaitDone(*read))
    Rescue();
  ASSERT_TRUE(WaitDone(*read));
  EXPECT_EQ(STATUS_SUCCESS, read->io.Status);
  EXPECT_EQ((Bytes{0xA5, 2, 3, 0, 0, 0, 0, 0}), read->io.Output);
  auto wire = Wire(key_);
  ASSERT_EQ(1u, wire.size());
  EXPECT_EQ(Kind::Interrupt, wire[0].kind);
  EXPECT_EQ(STATUS_SUCCESS, wire[0].status);
  EXPECT_EQ(1, key_.ext->OutstandingIo);
}

// The documentation of the port reset: cancel the I/O and wait for it first.
// A read waiting on the interrupt pipe is aborted and has left the bus
// before the reset reaches it.
TEST_P(UsbBounds, APortResetFirstEndsTheWaitingInterruptRead) {
  TARVIK_WHITE_BOX();
  Open();
  auto read = BeginSend(IOCTL_KEY_READ_INTERRUPT, {}, 8);
  ASSERT_TRUE(sim::usb::WaitUntilWaiting(key_.pdo, 1));
  EXPECT_EQ(STATUS_SUCCESS, Send(IOCTL_KEY_RESET_PORT, {}, 0).Status);
  ASSERT_TRUE(WaitDone(*read));
  EXPECT_EQ(STATUS_CANCELLED, read->io.Status);
  EXPECT_EQ((std::vector<Kind>{Kind::AbortPipe, Kind::Interrupt, Kind::ResetPort}),
            WireKinds(key_));
  EXPECT_EQ(key_.ext->InterruptPipe, Wire(key_)[0].pipe);
  EXPECT_EQ(0u, key_.ext->InterruptReadsPending);
  // With no read in progress a reset goes to the hub alone.
  ClearWire(key_);
  EXPECT_EQ(STATUS_SUCCESS, Send(IOCTL_KEY_RESET_PORT, {}, 0).Status);
  EXPECT_EQ((std::vector<Kind>{Kind::ResetPort}), WireKinds(key_));
}

}  // namespace
}  // namespace tarvik::test
