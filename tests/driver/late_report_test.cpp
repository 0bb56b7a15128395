// A report that the USB stack delivers after the driver's bound on the
// interrupt read has expired: the cancel came too late to stop the transfer,
// which completed with the key's report, so the exchange goes on with it
// instead of failing with a timeout.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "sim/kernel/clock.h"
#include "tests/support/driver/driver_test.h"

namespace tarvik::test {
namespace {

using sim::usb::Kind;

class LateReport : public DriverTest {};

TEST_F(LateReport, ThatCompletesAfterTheBoundIsKept) {
  sim::clock::SetRate(0);  // only the test moves the kernel's clock
  Key key = PlugAndStart();
  sim::Client client;
  auto open = client.OpenInterface(Link(GUID_KEY_INTERFACE_PRIMARY), 0);
  ASSERT_EQ(STATUS_SUCCESS, open.Status);
  ClearWire(key);
  // The report read stays with the bus, beyond the reach of a cancel, while
  // the bound runs out.
  sim::usb::HoldNext(key.pdo, Kind::Interrupt, /*cancelable=*/false);
  sim::Client::Io io{};
  std::thread exchange([&] {
    io = client.DeviceIoControl(open.Handle, IOCTL_KEY_TRANSACT_RAW, {0x01, 0x42}, 16);
  });
  ASSERT_TRUE(sim::usb::WaitUntilHeld(key.pdo));
  ASSERT_TRUE(sim::clock::WaitUntilTimedWaiters(1));
  sim::clock::AdvanceMs(5000);
  // The driver's bounded wait has ended; give it the moment it takes to
  // cancel and begin waiting for the transfer to end. (Should the report come
  // first, the exchange succeeds without a cancel, which this test allows.)
  while (sim::clock::TimedWaiters() > 0)
    std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  sim::usb::ReleaseHeld(key.pdo);
  exchange.join();
  EXPECT_EQ(STATUS_SUCCESS, io.Status);
  auto wire = Wire(key);
  ASSERT_EQ(3u, wire.size());
  EXPECT_EQ(Kind::VendorOut, wire[0].kind);
  EXPECT_EQ(Kind::Interrupt, wire[1].kind);
  EXPECT_EQ(STATUS_SUCCESS, wire[1].status);
  EXPECT_EQ(Kind::VendorIn, wire[2].kind);
  EXPECT_EQ(3u, io.Information);  // the length the report announced
  EXPECT_EQ(3u, wire[2].transferred);
  client.Close(open.Handle);
}

}  // namespace
}  // namespace tarvik::test
