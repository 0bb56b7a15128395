// A removal that follows a surprise removal has had no query-remove to drain
// the key: the remove request itself must wait until the last request has
// left the driver before it frees the record and deletes the device object.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "tests/support/driver/driver_test.h"

namespace tarvik::test {
namespace {

using sim::usb::Kind;

class RemovalWait : public DriverTest,
                    public ::testing::WithParamInterface<sim::usb::Completion> {};

TEST_P(RemovalWait, AfterSurpriseRemovalWaitsForTheRequestInProgress) {
  Key key = PlugAndStart();
  sim::usb::SetCompletion(key.pdo, GetParam());
  sim::Client client;
  auto open = client.OpenInterface(Link(GUID_KEY_INTERFACE_PRIMARY), 0);
  sim::usb::HoldNext(key.pdo, Kind::VendorIn);
  std::thread exchange([&] {
    auto io = client.DeviceIoControl(open.Handle, IOCTL_KEY_TRANSACT_RAW, {0x01, 0x33}, 8);
    EXPECT_EQ(STATUS_SUCCESS, io.Status);
  });
  ASSERT_TRUE(sim::usb::WaitUntilHeld(key.pdo));
  ASSERT_EQ(STATUS_SUCCESS, sim::pnp::SurpriseRemove(key.pdo));

  std::atomic<bool> released{false};
  std::atomic<bool> removed{false};
  std::thread removal([&] {
    EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Remove(key.pdo));
    EXPECT_TRUE(released.load());  // the held exchange was let go first
    EXPECT_EQ(nullptr, driver_->DeviceObject);
    removed = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(removed.load());
  EXPECT_NE(nullptr, driver_->DeviceObject);  // still there while the exchange is inside
  released = true;
  sim::usb::ReleaseHeld(key.pdo);
  exchange.join();
  removal.join();
  EXPECT_TRUE(removed.load());
  client.Close(open.Handle);
}

INSTANTIATE_TEST_SUITE_P(Completion, RemovalWait,
                         ::testing::Values(sim::usb::Completion::Synchronous,
                                           sim::usb::Completion::Pending),
                         [](const auto& info) {
                           return info.param == sim::usb::Completion::Synchronous ? "AtOnce"
                                                                                  : "Later";
                         });

}  // namespace
}  // namespace tarvik::test
