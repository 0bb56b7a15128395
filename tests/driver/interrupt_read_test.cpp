// Interrupt reads of a key with nothing to report: the key NAKs, the USB
// stack keeps the transfer pending, and the driver bounds its wait (5 s on
// the kernel's clock, which the tests move by hand). Also which requests
// wait behind an exchange's TransferMutex, and how a waiting transfer ends
// when the port is reset, the pipes are aborted or the key leaves.
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

bool WaitDone(const Call& call, int realMs = 10000) {
  return WaitUntilDone(call, realMs);
}

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

std::string ModeName(const ::testing::TestParamInfo<Completion>& info) {
  return info.param == Completion::Synchronous ? "Synchronous" : "Pending";
}

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
  EXPECT_EQ(1, key_.ext->OutstandingIo);
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
    EXPECT_EQ(1, KeReadStateMutex(&key_.ext->TransferMutex));
    EXPECT_EQ(1, key_.ext->OutstandingIo);
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
    EXPECT_EQ(Started, key_.ext->DevicePnpState);
    client_->Close(handle_);
    handle_ = nullptr;
    Remove(key_);
  }
}

INSTANTIATE_TEST_SUITE_P(Completion, DrainBehindAnIdleRead,
                         ::testing::Values(Completion::Synchronous, Completion::Pending), ModeName);

}  // namespace
}  // namespace tarvik::test
