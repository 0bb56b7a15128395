// The synchronous USB operations, judged by what reaches the bus.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "driver/pool_tags.h"
#include "driver/pool_type.h"
#include "driver/usb_requests.h"
#include "sim/kernel/clock.h"
#include "sim/kernel/faults.h"
#include "sim/kernel/pool.h"
#include "tests/support/driver/background_call.h"
#include "tests/support/driver/driver_test.h"
#include "tests/support/driver/open_key_test.h"
#include "tests/support/driver/record_view.h"

namespace tarvik::test {
namespace {

using sim::usb::Completion;
using sim::usb::Kind;
using Bytes = std::vector<UCHAR>;

struct UsbRequestsTest : DriverTest, ::testing::WithParamInterface<Completion> {
  // Started, so that the hub takes URBs for it (UrbBeforeStart); the wire
  // is cleared of the start's own traffic.
  Key PluggedKey(const sim::usb::KeyConfig& config = sim::usb::PrimaryKey()) {
    Key key = PlugAndStart(config);
    ClearWire(key);
    sim::usb::SetCompletion(key.pdo, GetParam());
    return key;
  }
  // Sends one command and reads back its answer through the two vendor operations.
  NTSTATUS Out(const Key& key, SetupPacket packet, std::vector<UCHAR> data) {
    auto* urb = static_cast<PURB>(
        ExAllocatePoolWithTag(DriverNonPagedPool, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                              sim::faults::Tag("kv21")));
    packet.wLength = static_cast<USHORT>(data.size());
    return VendorControlOut(key.fdo, &packet, data.data(), urb);
  }
};

TEST_P(UsbRequestsTest, VendorTransfersCarryTheSetupPacketAndData) {
  TARVIK_WHITE_BOX();
  Key key = PluggedKey();
  ASSERT_EQ(STATUS_SUCCESS, Out(key, {0x40, 0, 0, 0, 0}, {0x01, 0xAA, 0xBB}));
  UCHAR answer[16] = {};
  ULONG returned = 99;
  SetupPacket in{0xC0, 0, 0, 0, sizeof(answer)};
  ASSERT_EQ(STATUS_SUCCESS, VendorControlIn(key.fdo, &in, answer, &returned));
  // A short answer is a success with the shorter count.
  EXPECT_EQ(4u, returned);
  EXPECT_EQ((std::vector<UCHAR>{0xAA, 0xBB, 0x90, 0x00}), std::vector<UCHAR>(answer, answer + 4));

  auto wire = Wire(key);
  ASSERT_EQ(2u, wire.size());
  EXPECT_EQ(Kind::VendorOut, wire[0].kind);
  EXPECT_EQ(URB_FUNCTION_VENDOR_DEVICE, wire[0].function);
  EXPECT_EQ(0u, wire[0].flags);
  EXPECT_EQ(3u, wire[0].length);
  EXPECT_EQ((std::vector<UCHAR>{0x01, 0xAA, 0xBB}), wire[0].data);
  EXPECT_EQ(Kind::VendorIn, wire[1].kind);
  EXPECT_EQ(static_cast<ULONG>(USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK), wire[1].flags);
  EXPECT_EQ(16u, wire[1].length);
  EXPECT_EQ(0, sim::pool::LiveCount(sim::faults::Tag("kv21")) +
                   sim::pool::LiveCount(sim::faults::Tag("kv31")));
}

TEST_P(UsbRequestsTest, OnlyTheRecipientBitsOfTheRequestTypeReachTheUrb) {
  TARVIK_WHITE_BOX();
  Key key = PluggedKey();
  const UCHAR types[] = {0x40, 0xC0, 0x41, 0xC1, 0x5F};
  for (UCHAR type : types)
    ASSERT_EQ(STATUS_SUCCESS, Out(key, {type, 1, 0x1234, 0x5678, 0}, {0x02}));
  auto wire = Wire(key);
  ASSERT_EQ(5u, wire.size());
  const UCHAR expected[] = {0x00, 0x00, 0x01, 0x01, 0x1F};
  for (size_t i = 0; i < wire.size(); ++i) {
    EXPECT_EQ(expected[i], wire[i].requestTypeBits) << i;
    EXPECT_EQ(1, wire[i].request);
    EXPECT_EQ(0x1234, wire[i].value);
    EXPECT_EQ(0x5678, wire[i].index);
    EXPECT_EQ(Kind::VendorOut, wire[i].kind);
  }
}

TEST_P(UsbRequestsTest, ZeroLengthInTransferReportsNoBytes) {
  TARVIK_WHITE_BOX();
  Key key = PluggedKey();
  ASSERT_EQ(STATUS_SUCCESS, Out(key, {0x40, 0, 0, 0, 0}, {0x01, 0x55}));
  ULONG returned = 7;
  SetupPacket in{0xC0, 0, 0, 0, 0};
  EXPECT_EQ(STATUS_SUCCESS, VendorControlIn(key.fdo, &in, nullptr, &returned));
  EXPECT_EQ(0u, returned);
  EXPECT_EQ(0u, Wire(key).back().length);
}

TEST_P(UsbRequestsTest, FailuresOfTheStackComeBackUnchanged) {
  TARVIK_WHITE_BOX();
  Key key = PluggedKey();
  sim::usb::AddFault(key.pdo, {Kind::VendorIn, {0, 1}, STATUS_IO_DEVICE_ERROR});
  sim::usb::AddFault(key.pdo, {Kind::ResetPort, {0, 1}, STATUS_DEVICE_NOT_CONNECTED});
  UCHAR answer[8];
  ULONG returned = 5;
  SetupPacket in{0xC0, 0, 0, 0, sizeof(answer)};
  EXPECT_EQ(STATUS_IO_DEVICE_ERROR, VendorControlIn(key.fdo, &in, answer, &returned));
  EXPECT_EQ(0u, returned);
  EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, ResetPort(key.fdo));
  EXPECT_EQ(STATUS_SUCCESS, ResetPort(key.fdo));
  EXPECT_EQ((std::vector<Kind>{Kind::VendorIn, Kind::ResetPort, Kind::ResetPort}), WireKinds(key));
}

TEST_P(UsbRequestsTest, NoPoolOrNoRequestMeansNothingReachesTheKey) {
  TARVIK_WHITE_BOX();
  Key key = PluggedKey();
  UCHAR buffer[8];
  ULONG returned = 5;
  SetupPacket in{0xC0, 0, 0, 0, sizeof(buffer)};
  sim::faults::Fail(sim::faults::Kind::PoolAllocation, {}, sim::faults::Tag("kv31"));
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, VendorControlIn(key.fdo, &in, buffer, &returned));
  EXPECT_EQ(0u, returned);
  sim::faults::Fail(sim::faults::Kind::PoolAllocation, {}, sim::faults::Tag("kv41"));
  returned = 5;
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, ReadInterruptPipe(key.fdo, buffer, 8, &returned));
  EXPECT_EQ(5u, returned);  // left alone
  sim::faults::Fail(sim::faults::Kind::BuildRequest);
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, ResetPort(key.fdo));
  sim::faults::Fail(sim::faults::Kind::BuildRequest);
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, VendorControlIn(key.fdo, &in, buffer, &returned));
  EXPECT_TRUE(Wire(key).empty());
  EXPECT_EQ(1, Record(key).OutstandingIo());
}

TEST_P(UsbRequestsTest, SubmissionHoldsAReferenceAndAPortResetDoesNot) {
  TARVIK_WHITE_BOX();
  Key key = PluggedKey();
  ASSERT_EQ(1, Record(key).OutstandingIo());
  for (Kind kind : {Kind::VendorIn, Kind::ResetPort}) {
    sim::usb::HoldNext(key.pdo, kind);
    std::thread caller([&] {
      if (kind == Kind::ResetPort) {
        EXPECT_EQ(STATUS_SUCCESS, ResetPort(key.fdo));
      } else {
        UCHAR buffer[4];
        ULONG returned;
        SetupPacket in{0xC0, 0, 0, 0, sizeof(buffer)};
        EXPECT_EQ(STATUS_SUCCESS, VendorControlIn(key.fdo, &in, buffer, &returned));
      }
    });
    ASSERT_TRUE(sim::usb::WaitUntilHeld(key.pdo));
    EXPECT_EQ(kind == Kind::ResetPort ? 1 : 2, Record(key).OutstandingIo());
    sim::usb::ReleaseHeld(key.pdo);
    caller.join();
    EXPECT_EQ(1, Record(key).OutstandingIo());
  }
}

INSTANTIATE_TEST_SUITE_P(Completion, UsbRequestsTest,
                         ::testing::Values(Completion::Synchronous, Completion::Pending),
                         [](const auto& info) {
                           return info.param == Completion::Synchronous ? "Synchronous" : "Pending";
                         });

// Every request to the USB stack is waited for 5 s at most, on the kernel's
// clock (which the tests move by hand): a key that never answers a transfer
// or a port reset holds no client, no exchange and no drain for ever. Also
// the race of a bounded wait's timeout with the completion, and the port
// reset that first ends the interrupt reads in progress.

bool WaitDone(const Call& call, int realMs = 10000) {
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
    sim::clock::SetRate(1);  // a bus that completes later does so on this clock
    if (!WaitDone(*call, 5000))
      Rescue();
    ASSERT_TRUE(WaitDone(*call, 5000));
    EXPECT_EQ(c.status, call->io.Status);
    EXPECT_EQ(0u, call->io.Information);
    auto wire = Wire(key_);
    ASSERT_EQ(c.wire, WireKinds(key_));
    EXPECT_EQ(STATUS_CANCELLED, wire[0].status);
    EXPECT_EQ(1, Record(key_).OutstandingIo());
    EXPECT_EQ(1, Record(key_).TransferMutexState());
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
  if (!WaitDone(*read, 5000))
    Rescue();
  ASSERT_TRUE(WaitDone(*read, 5000));
  EXPECT_EQ(STATUS_SUCCESS, read->io.Status);
  EXPECT_EQ((Bytes{0xA5, 2, 3, 0, 0, 0, 0, 0}), read->io.Output);
  auto wire = Wire(key_);
  ASSERT_EQ(1u, wire.size());
  EXPECT_EQ(Kind::Interrupt, wire[0].kind);
  EXPECT_EQ(STATUS_SUCCESS, wire[0].status);
  EXPECT_EQ(1, Record(key_).OutstandingIo());
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
  ASSERT_TRUE(WaitDone(*read, 5000));
  EXPECT_EQ(STATUS_CANCELLED, read->io.Status);
  EXPECT_EQ((std::vector<Kind>{Kind::AbortPipe, Kind::Interrupt, Kind::ResetPort}),
            WireKinds(key_));
  EXPECT_EQ(Record(key_).InterruptPipe(), Wire(key_)[0].pipe);
  EXPECT_EQ(0u, Record(key_).InterruptReadsPending());
  // With no read in progress a reset goes to the hub alone.
  ClearWire(key_);
  EXPECT_EQ(STATUS_SUCCESS, Send(IOCTL_KEY_RESET_PORT, {}, 0).Status);
  EXPECT_EQ((std::vector<Kind>{Kind::ResetPort}), WireKinds(key_));
}

// Interrupt reads of a key with nothing to report: the key NAKs, the USB
// stack keeps the transfer pending, and the driver bounds its wait (5 s on
// the kernel's clock, which the tests move by hand). Also which requests
// wait behind an exchange's TransferMutex, and how a waiting transfer ends
// when the port is reset, the pipes are aborted or the key leaves.

// Moves the kernel's clock a second at a time while a timed wait is under
// way, until every call has returned (false after `realMs` of real time).
bool RunClockUntilDone(std::initializer_list<const Call*> calls, int realMs = 20000) {
  for (int i = 0; i < realMs; ++i) {
    bool all = true;
    for (const Call* c : calls)
      all = all && c->done;
    if (all)
      return true;
    if (sim::clock::TimedWaiters() > 0)
      sim::clock::AdvanceMs(1000);
    SleepMs(1);
  }
  return false;
}

class InterruptRead : public OpenKeyTest, public ::testing::WithParamInterface<Completion> {
 protected:
  void Open(sim::usb::KeyConfig config = sim::usb::PrimaryKey()) {
    key_ = PlugAndStart(config);
    sim::usb::SetCompletion(key_.pdo, GetParam());
    OpenInterface(ClientInterfaceClass());
  }
  std::unique_ptr<Call> BeginSend(ULONG code, Bytes in, ULONG out) {
    return Begin([this, code, in, out] { return Send(code, in, out); });
  }
  // Waits until `count` interrupt transfers wait at the bus and a timed wait
  // has begun, so that moving the clock counts for it.
  void AwaitWaitingReads(size_t count = 1) {
    ASSERT_TRUE(sim::usb::WaitUntilWaiting(key_.pdo, count));
    ASSERT_TRUE(sim::clock::WaitUntilTimedWaiters(1));
  }
  // Something went wrong: let every waiting transfer end so that the test
  // can finish.
  void Rescue() {
    if (key_.pdo && sim::usb::IsPlugged(key_.pdo))
      sim::usb::Unplug(key_.pdo);
  }
};

INSTANTIATE_TEST_SUITE_P(Completion, InterruptRead,
                         ::testing::Values(Completion::Synchronous, Completion::Pending), ModeName);

TEST_P(InterruptRead, AnIdleReadEndsAfterFiveSeconds) {
  TARVIK_WHITE_BOX();
  Open();
  sim::clock::SetRate(0);  // only the test moves the clock
  auto read = BeginSend(IOCTL_KEY_READ_INTERRUPT, {}, 8);
  AwaitWaitingReads();
  sim::clock::AdvanceMs(4999);
  SleepMs(20);
  EXPECT_FALSE(read->done) << "the read gave up before five seconds";
  EXPECT_EQ(1u, sim::usb::Waiting(key_.pdo));
  sim::clock::AdvanceMs(2);
  sim::clock::SetRate(1);  // a bus that completes later does so on this clock
  if (!WaitDone(*read, 2000))
    Rescue();
  ASSERT_TRUE(WaitDone(*read));
  EXPECT_EQ(STATUS_IO_TIMEOUT, read->io.Status);
  EXPECT_EQ(0u, read->io.Information);
  // It was cancelled at the bus, and its references are gone.
  auto wire = Wire(key_);
  ASSERT_EQ(1u, wire.size());
  EXPECT_EQ(Kind::Interrupt, wire[0].kind);
  EXPECT_EQ(STATUS_CANCELLED, wire[0].status);
  EXPECT_EQ(USBD_STATUS_CANCELED, wire[0].usbdStatus);
  EXPECT_EQ(0u, wire[0].transferred);
  EXPECT_EQ(0u, sim::usb::Waiting(key_.pdo));
  EXPECT_EQ(1, Record(key_).OutstandingIo());
  // The key still works: after a command it reports at once.
  ASSERT_EQ(STATUS_SUCCESS,
            Send(IOCTL_KEY_VENDOR_WRITE, {0x40, 0, 0, 0, 0, 0, 2, 0, 0x01, 0x33}, 0).Status);
  auto io = Send(IOCTL_KEY_READ_INTERRUPT, {}, 8);
  EXPECT_EQ(STATUS_SUCCESS, io.Status);
  // The answer is 33 90 00; the report announces its 3 bytes.
  EXPECT_EQ((Bytes{0xA5, 2, 3, 0, 0, 0, 0, 0}), io.Output);
}

// The key's report is one full 8-byte packet. Whatever room the caller gives,
// the read asks for that one packet and hands it over: a longer transfer
// would not end with it but wait for a second report, and lose the first
// when its wait gives up.
// Under the bus's timing model, the key prepares its report only after the
// command that asks for it is done: a read already waiting when the command
// arrives ends the answer time after the command, not at the next poll.
TEST_P(InterruptRead, AWaitingReportComesTheAnswerTimeAfterTheCommand) {
  Open();
  sim::usb::Timing timing;
  timing.enabled = true;
  timing.answerTimeUs = 5000;
  sim::usb::SetTiming(key_.pdo, timing);
  sim::clock::SetRate(0);  // only the test moves the clock
  auto read = BeginSend(IOCTL_KEY_READ_INTERRUPT, {}, 8);
  AwaitWaitingReads();
  auto write = BeginSend(IOCTL_KEY_VENDOR_WRITE, {0x40, 0, 0, 0, 0, 0, 2, 0, 0x01, 0x33}, 0);
  for (int i = 0; i < 5000 && sim::usb::Waiting(key_.pdo) > 0; ++i)
    SleepMs(1);  // the command reaches the key and ends the read's wait
  EXPECT_EQ(0u, sim::usb::Waiting(key_.pdo));
  sim::clock::AdvanceMs(2);  // the command's frame has ended, its answer is 5 ms away
  EXPECT_TRUE(WaitUntilDone(*write, 5000)) << "the command did not end with its frame";
  SleepMs(50);
  EXPECT_FALSE(read->done) << "the report came before the key had its answer";
  sim::clock::SetRate(1);  // everything ends from here on, also after a failure above
  sim::clock::AdvanceMs(50);
  if (!WaitUntilDone(*read, 5000))
    Rescue();
  ASSERT_TRUE(WaitUntilDone(*write, 5000));
  ASSERT_TRUE(read->done);
  EXPECT_EQ(STATUS_SUCCESS, write->io.Status);
  EXPECT_EQ(STATUS_SUCCESS, read->io.Status);
  EXPECT_EQ((Bytes{0xA5, 2, 3, 0, 0, 0, 0, 0}), read->io.Output);
}

TEST_P(InterruptRead, AnyRoomOfEightOrMoreGetsTheOneReport) {
  for (ULONG room : {8u, 9u, 16u, 64u, 4096u}) {
    SCOPED_TRACE(room);
    Open();
    ASSERT_EQ(STATUS_SUCCESS,
              Send(IOCTL_KEY_VENDOR_WRITE, {0x40, 0, 0, 0, 0, 0, 2, 0, 0x01, 0x33}, 0).Status);
    ClearWire(key_);
    auto io = Send(IOCTL_KEY_READ_INTERRUPT, {}, room);
    EXPECT_EQ(STATUS_SUCCESS, io.Status);
    EXPECT_EQ((Bytes{0xA5, 2, 3, 0, 0, 0, 0, 0}), io.Output);
    auto wire = Wire(key_);
    ASSERT_EQ(1u, wire.size());
    EXPECT_EQ(static_cast<ULONG>(USBD_TRANSFER_DIRECTION_IN), wire[0].flags);
    EXPECT_EQ(8u, wire[0].length);
    EXPECT_EQ(8u, wire[0].transferred);
    client_->Close(handle_);
    handle_ = nullptr;
    Remove(key_);
  }
}

// What ends a read that waits, other than its bound.
struct EndCase {
  const char* name;
  std::function<void(InterruptRead&)> end;
  NTSTATUS status;
  USBD_STATUS usbd;
};

class WaitingReadEnds : public InterruptRead {
 public:
  bool surpriseRemoved_ = false;
  void ResetPort() { EXPECT_EQ(STATUS_SUCCESS, Send(IOCTL_KEY_RESET_PORT, {}, 0).Status); }
  void SurpriseRemoval() {
    EXPECT_EQ(STATUS_SUCCESS, sim::pnp::SurpriseRemove(key_.pdo));
    surpriseRemoved_ = true;
  }
  void KeyPulled() { sim::usb::Unplug(key_.pdo); }
  void Finish() {
    client_->Close(handle_);
    handle_ = nullptr;
    if (!surpriseRemoved_) {
      EXPECT_EQ(STATUS_SUCCESS, sim::pnp::SurpriseRemove(key_.pdo));
    }
    EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Remove(key_.pdo));
    key_ = Key{};
  }
};

const EndCase kEnds[] = {
    {"PortReset", [](InterruptRead& t) { static_cast<WaitingReadEnds&>(t).ResetPort(); },
     STATUS_CANCELLED, USBD_STATUS_CANCELED},
    {"PipesAbortedAtSurpriseRemoval",
     [](InterruptRead& t) { static_cast<WaitingReadEnds&>(t).SurpriseRemoval(); }, STATUS_CANCELLED,
     USBD_STATUS_CANCELED},
    {"KeyPulledOut", [](InterruptRead& t) { static_cast<WaitingReadEnds&>(t).KeyPulled(); },
     STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE},
};

TEST_P(WaitingReadEnds, WithTheUsbStacksStatus) {
  for (const EndCase& c : kEnds) {
    SCOPED_TRACE(c.name);
    auto config = sim::usb::PrimaryKey();
    config.pipeFlags = 1;  // open pipes: taking the key down aborts them
    Open(config);
    auto read = BeginSend(IOCTL_KEY_READ_INTERRUPT, {}, 8);
    AwaitWaitingReads();
    c.end(*this);
    if (!WaitDone(*read))
      Rescue();
    ASSERT_TRUE(WaitDone(*read));
    EXPECT_EQ(c.status, read->io.Status);  // no timeout involved
    EXPECT_EQ(0u, read->io.Information);
    bool seen = false;
    for (const auto& r : Wire(key_)) {
      if (r.kind == Kind::Interrupt) {
        seen = true;
        EXPECT_EQ(c.status, r.status);
        EXPECT_EQ(c.usbd, r.usbdStatus);
      }
    }
    EXPECT_TRUE(seen);
    Finish();
  }
}

INSTANTIATE_TEST_SUITE_P(Completion, WaitingReadEnds,
                         ::testing::Values(Completion::Synchronous, Completion::Pending), ModeName);

// Requests sent while an exchange with a key that never reports waits for
// its report: those under TransferMutex wait for the exchange to end, the
// others reach the bus at once.
struct BehindCase {
  const char* name;
  ULONG code;
  Bytes in;
  ULONG out;
  bool waitsForTheExchange;
  NTSTATUS status;          // of the request
  NTSTATUS exchangeStatus;  // of the exchange
};

class BehindAnExchange : public InterruptRead {};

TEST_P(BehindAnExchange, OnlyMutexCodesWait) {
  TARVIK_WHITE_BOX();
  const BehindCase cases[] = {
      {"VendorRead",
       IOCTL_KEY_VENDOR_READ,
       {0xC0, 0, 0, 0, 0, 0, 8, 0},
       8,
       true,
       STATUS_SUCCESS,
       STATUS_IO_TIMEOUT},
      {"VendorWrite",
       IOCTL_KEY_VENDOR_WRITE,
       {0x40, 0, 0, 0, 0, 0, 1, 0, 0x02},
       0,
       true,
       STATUS_SUCCESS,
       STATUS_IO_TIMEOUT},
      {"TransactRaw",
       IOCTL_KEY_TRANSACT_RAW,
       {0x02},
       16,
       true,
       STATUS_IO_TIMEOUT,
       STATUS_IO_TIMEOUT},
      {"ReadInterrupt",
       IOCTL_KEY_READ_INTERRUPT,
       {},
       8,
       false,
       STATUS_IO_TIMEOUT,
       STATUS_IO_TIMEOUT},
      // A port reset ends the transfers that wait: the exchange's report read
      // with them, by the USB stack and not by its bound.
      {"ResetPort", IOCTL_KEY_RESET_PORT, {}, 0, false, STATUS_SUCCESS, STATUS_CANCELLED},
  };
  for (const BehindCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto silent = sim::usb::SecondaryKey();
    silent.silent = true;
    Open(silent);
    auto exchange = BeginSend(IOCTL_KEY_TRANSACT_RAW, {0x01, 0x42}, 16);
    AwaitWaitingReads();
    auto behind = BeginSend(c.code, c.in, c.out);
    if (c.waitsForTheExchange) {
      SleepMs(30);
      EXPECT_FALSE(behind->done) << "it did not wait for the exchange";
      EXPECT_EQ((std::vector<Kind>{Kind::VendorOut}), WireKinds(key_));
    } else if (c.code == IOCTL_KEY_READ_INTERRUPT) {
      EXPECT_TRUE(sim::usb::WaitUntilWaiting(key_.pdo, 2)) << "it waited for the exchange";
      EXPECT_FALSE(exchange->done);
    } else {
      EXPECT_TRUE(WaitDone(*behind)) << "it waited for the exchange";
    }
    if (!RunClockUntilDone({exchange.get(), behind.get()}))
      Rescue();
    ASSERT_TRUE(WaitDone(*exchange));
    ASSERT_TRUE(WaitDone(*behind));
    EXPECT_EQ(c.exchangeStatus, exchange->io.Status);
    EXPECT_EQ(0u, exchange->io.Information);
    EXPECT_EQ(c.status, behind->io.Status);
    if (c.waitsForTheExchange) {
      // The exchange's report read ended before the request's first transfer.
      auto kinds = WireKinds(key_);
      ASSERT_LE(3u, kinds.size());
      EXPECT_EQ(Kind::VendorOut, kinds[0]);
      EXPECT_EQ(Kind::Interrupt, kinds[1]);
      EXPECT_EQ(c.code == IOCTL_KEY_VENDOR_READ ? Kind::VendorIn : Kind::VendorOut, kinds[2]);
    }
    EXPECT_EQ(1, Record(key_).TransferMutexState());
    EXPECT_EQ(1, Record(key_).OutstandingIo());
    client_->Close(handle_);
    handle_ = nullptr;
    Remove(key_);
  }
}

INSTANTIATE_TEST_SUITE_P(Completion, BehindAnExchange,
                         ::testing::Values(Completion::Synchronous, Completion::Pending), ModeName);

// A query-stop or query-remove drains the requests in progress: an idle read
// holds it up to the read's bound, no longer.
class DrainBehindAnIdleRead : public InterruptRead {};

TEST_P(DrainBehindAnIdleRead, EndsAtTheReadsBound) {
  TARVIK_WHITE_BOX();
  struct Query {
    const char* name;
    NTSTATUS (*query)(PDEVICE_OBJECT);
    NTSTATUS (*cancel)(PDEVICE_OBJECT);
  };
  const Query queries[] = {{"QueryStop", sim::pnp::QueryStop, sim::pnp::CancelStop},
                           {"QueryRemove", sim::pnp::QueryRemove, sim::pnp::CancelRemove}};
  for (const Query& q : queries) {
    SCOPED_TRACE(q.name);
    Open();
    auto read = BeginSend(IOCTL_KEY_READ_INTERRUPT, {}, 8);
    AwaitWaitingReads();
    PDEVICE_OBJECT pdo = key_.pdo;
    auto query = Begin([pdo, &q] {
      sim::Client::Io io;
      io.Status = q.query(pdo);
      return io;
    });
    SleepMs(30);
    EXPECT_FALSE(query->done) << "the drain did not wait for the read";
    if (!RunClockUntilDone({read.get(), query.get()}))
      Rescue();
    ASSERT_TRUE(WaitDone(*read));
    ASSERT_TRUE(WaitDone(*query));
    EXPECT_EQ(STATUS_IO_TIMEOUT, read->io.Status);
    EXPECT_EQ(STATUS_SUCCESS, query->io.Status);
    EXPECT_EQ(STATUS_SUCCESS, q.cancel(key_.pdo));
    EXPECT_EQ(Started, Record(key_).DevicePnpState());
    client_->Close(handle_);
    handle_ = nullptr;
    Remove(key_);
  }
}

INSTANTIATE_TEST_SUITE_P(Completion, DrainBehindAnIdleRead,
                         ::testing::Values(Completion::Synchronous, Completion::Pending), ModeName);

// The USB stack below the driver ends an interrupt IN transfer as USB does:
// a full packet (the endpoint's maximum size) does not end it, only all the
// bytes asked for or a shorter packet do; a short end fails it unless the
// sender allowed short transfers. Sent straight to the bus's device, on the
// pipe the driver selected, while client requests give the key reports.

struct Transfer {
  URB urb = {};
  UCHAR buffer[64] = {};
  KEVENT event;
  IO_STATUS_BLOCK io = {};
  PIRP irp = nullptr;
  NTSTATUS sent = STATUS_SUCCESS;
};

class InterruptPackets : public OpenKeyTest {
 protected:
  void Open(USHORT maxPacketSize) {
    auto config = sim::usb::PrimaryKey();
    config.endpoints[0].maxPacketSize = maxPacketSize;
    key_ = PlugAndStart(config);
    OpenInterface(GUID_KEY_INTERFACE_PRIMARY);
  }
  void Begin(Transfer& t, ULONG length, ULONG flags) {
    auto& u = t.urb.UrbBulkOrInterruptTransfer;
    u.Hdr.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    u.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    u.PipeHandle = Record(key_).InterruptPipe();
    u.TransferFlags = USBD_TRANSFER_DIRECTION_IN | flags;
    u.TransferBufferLength = length;
    u.TransferBuffer = t.buffer;
    KeInitializeEvent(&t.event, NotificationEvent, FALSE);
    t.irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, key_.pdo, nullptr, 0,
                                          nullptr, 0, TRUE, &t.event, &t.io);
    ASSERT_NE(nullptr, t.irp);
    IoGetNextIrpStackLocation(t.irp)->Parameters.Others.Argument1 = &t.urb;
    t.sent = IoCallDriver(key_.pdo, t.irp);
  }
  NTSTATUS End(Transfer& t) {
    if (t.sent == STATUS_PENDING)
      KeWaitForSingleObject(&t.event, Executive, KernelMode, FALSE, nullptr);
    return t.io.Status;
  }
  // A command (echo of one byte): the key queues one report.
  void Command(UCHAR byte) {
    ASSERT_EQ(STATUS_SUCCESS,
              Send(IOCTL_KEY_VENDOR_WRITE, {0x40, 0, 0, 0, 0, 0, 2, 0, 0x01, byte}, 0).Status);
  }
  // A 16-byte transfer on 8-byte packets, with a command whose report fills
  // one packet.
  void BeginWithOneReport(Transfer& t) {
    Open(8);
    Begin(t, 16, USBD_SHORT_TRANSFER_OK);
    Command(0x33);
  }
  Bytes Received(const Transfer& t) const {
    const ULONG n = t.urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
    return Bytes(t.buffer, t.buffer + n);
  }
};

TEST_F(InterruptPackets, AFullPacketWaitsForTheNextOne) {
  TARVIK_WHITE_BOX();
  Transfer t;
  BeginWithOneReport(t);
  // The first report filled one packet: the transfer goes on waiting.
  ASSERT_TRUE(sim::usb::WaitUntilWaiting(key_.pdo, 1));
  EXPECT_EQ(STATUS_PENDING, t.sent);
  EXPECT_EQ(1u, sim::usb::Waiting(key_.pdo));
  Command(0x34);
  EXPECT_EQ(STATUS_SUCCESS, End(t));
  EXPECT_EQ((Bytes{0xA5, 2, 3, 0, 0, 0, 0, 0, 0xA5, 3, 3, 0, 0, 0, 0, 0}), Received(t));
  EXPECT_EQ(0u, sim::usb::Waiting(key_.pdo));
}

TEST_F(InterruptPackets, ACancelledTransferLosesWhatItHadReceived) {
  TARVIK_WHITE_BOX();
  Transfer t;
  BeginWithOneReport(t);
  ASSERT_TRUE(sim::usb::WaitUntilWaiting(key_.pdo, 1));
  IoCancelIrp(t.irp);
  EXPECT_EQ(STATUS_CANCELLED, End(t));
  EXPECT_EQ(0u, t.urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
  EXPECT_EQ(USBD_STATUS_CANCELED, t.urb.UrbHeader.Status);
  // The report went with it: the key has nothing more to send.
  EXPECT_FALSE(sim::usb::KeyOf(key_.pdo).ReportReady());
}

// On an endpoint whose packets are larger than the report, the report is a
// short packet and ends the transfer.
struct ShortCase {
  const char* name;
  ULONG flags;
  NTSTATUS status;
  USBD_STATUS usbd;
  Bytes received;
};

class ShortPackets : public InterruptPackets, public ::testing::WithParamInterface<ShortCase> {};

TEST_P(ShortPackets, EndTheTransfer) {
  TARVIK_WHITE_BOX();
  const ShortCase& c = GetParam();
  Open(64);
  Transfer t;
  Begin(t, 16, c.flags);
  Command(0x33);
  EXPECT_EQ(c.status, End(t));
  EXPECT_EQ(c.usbd, t.urb.UrbHeader.Status);
  EXPECT_EQ(c.received, Received(t));
}

INSTANTIATE_TEST_SUITE_P(
    Flags, ShortPackets,
    ::testing::Values(ShortCase{"ShortTransferOk", USBD_SHORT_TRANSFER_OK, STATUS_SUCCESS,
                                USBD_STATUS_SUCCESS, Bytes{0xA5, 2, 3, 0, 0, 0, 0, 0}},
                      ShortCase{"WithoutShortTransferOk", 0, STATUS_UNSUCCESSFUL,
                                USBD_STATUS_ERROR_SHORT_TRANSFER, Bytes{}}),
    [](const auto& info) { return std::string(info.param.name); });

// A port reset and the interrupt reads around it: the reset ends the reads
// in progress before it goes down, and a read asked for while it runs waits
// for it, so that the hub never resets a port with a transfer below.

class PortResetReads : public OpenKeyTest, public ::testing::WithParamInterface<Completion> {
 protected:
  std::unique_ptr<Call> BeginSend(ULONG code, ULONG out) {
    return Begin([this, code, out] { return Send(code, {}, out); });
  }
};

// The reset is held at the bus (after its abort found no read to end); a
// read asked for meanwhile must not reach the key until the reset is done.
TEST_P(PortResetReads, AReadAskedForDuringTheResetWaitsForIt) {
  key_ = PlugAndStart(sim::usb::PrimaryKey());
  sim::usb::SetCompletion(key_.pdo, GetParam());
  OpenInterface(ClientInterfaceClass());
  sim::usb::HoldNext(key_.pdo, Kind::ResetPort);
  auto reset = BeginSend(IOCTL_KEY_RESET_PORT, 0);
  ASSERT_TRUE(sim::usb::WaitUntilHeld(key_.pdo));
  auto read = BeginSend(IOCTL_KEY_READ_INTERRUPT, 8);
  EXPECT_FALSE(sim::usb::WaitUntilWaiting(key_.pdo, 1, 200))
      << "the read reached the key while its port was being reset";
  EXPECT_FALSE(read->done);
  sim::usb::ReleaseHeld(key_.pdo);
  ASSERT_TRUE(WaitUntilDone(*reset, 10000));
  EXPECT_EQ(STATUS_SUCCESS, reset->io.Status);
  // Then the read goes down, and the key (nothing to report) keeps it to its bound.
  ASSERT_TRUE(sim::usb::WaitUntilWaiting(key_.pdo, 1));
  ASSERT_TRUE(sim::clock::WaitUntilTimedWaiters(1));
  sim::clock::AdvanceMs(5001);
  ASSERT_TRUE(WaitUntilDone(*read, 10000));
  EXPECT_EQ(STATUS_IO_TIMEOUT, read->io.Status);
  EXPECT_EQ((std::vector<Kind>{Kind::ResetPort, Kind::Interrupt}), WireKinds(key_));
}

INSTANTIATE_TEST_SUITE_P(Completion, PortResetReads,
                         ::testing::Values(Completion::Synchronous, Completion::Pending),
                         [](const ::testing::TestParamInfo<Completion>& info) {
                           return info.param == Completion::Synchronous ? "Synchronous" : "Pending";
                         });

}  // namespace
}  // namespace tarvik::test
