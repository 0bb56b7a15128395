// A port reset and the interrupt reads around it: the reset ends the reads
// in progress before it goes down, and a read asked for while it runs waits
// for it, so that the hub never resets a port with a transfer below.
#include <gtest/gtest.h>

#include <memory>

#include "sim/kernel/clock.h"
#include "tests/support/driver/background_call.h"
#include "tests/support/driver/open_key_test.h"

namespace tarvik::test {
namespace {

using sim::usb::Completion;
using sim::usb::Kind;

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
