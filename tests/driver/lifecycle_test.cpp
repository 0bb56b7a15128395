// Plug and Play around requests in progress: drains at query-stop and
// removal, cancels, capabilities, surprise removal then removal.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "tests/support/driver/driver_test.h"

namespace tarvik::test {
namespace {

using sim::usb::Kind;

// Runs a PnP request in another thread while an exchange is held at the bus:
// the request must not return before the exchange has left the driver.
struct DrainCase {
  const char* name;
  NTSTATUS (*request)(PDEVICE_OBJECT);
  sim::usb::Completion completion;
};

class Drain : public DriverTest, public ::testing::WithParamInterface<DrainCase> {};

TEST_P(Drain, WaitsForTheRequestInProgress) {
  const auto& p = GetParam();
  Key key = PlugAndStart();
  sim::usb::SetCompletion(key.pdo, p.completion);
  sim::Client client;
  auto open = client.OpenInterface(Link(GUID_KEY_INTERFACE_PRIMARY), 0);
  sim::usb::HoldNext(key.pdo, Kind::VendorIn);
  std::atomic<bool> exchangeDone{false};
  std::thread exchange([&] {
    auto io = client.DeviceIoControl(open.Handle, IOCTL_KEY_TRANSACT_RAW, {0x01, 0x33}, 8);
    EXPECT_EQ(STATUS_SUCCESS, io.Status);
    exchangeDone = true;
  });
  ASSERT_TRUE(sim::usb::WaitUntilHeld(key.pdo));
  std::atomic<bool> pnpDone{false};
  std::atomic<bool> released{false};
  std::thread pnp([&] {
    EXPECT_EQ(STATUS_SUCCESS, p.request(key.pdo));
    // The exchange was let go first, so it could leave the driver. (The
    // client's own return comes later than the driver's and may trail this.)
    EXPECT_TRUE(released.load());
    pnpDone = true;
  });
  // The Plug and Play request is waiting for the drain.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(pnpDone.load());
  // Meanwhile new client requests are shut out.
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE,
            client.DeviceIoControl(open.Handle, IOCTL_KEY_PROBE, {0x01}, 0).Status);
  released = true;
  sim::usb::ReleaseHeld(key.pdo);
  exchange.join();
  pnp.join();
  EXPECT_TRUE(exchangeDone.load());
  EXPECT_TRUE(pnpDone.load());
  client.Close(open.Handle);
}

NTSTATUS QueryStopThenCancel(PDEVICE_OBJECT pdo) {
  NTSTATUS status = sim::pnp::QueryStop(pdo);
  sim::pnp::CancelStop(pdo);
  return status;
}

NTSTATUS QueryRemoveThenRemove(PDEVICE_OBJECT pdo) {
  NTSTATUS status = sim::pnp::QueryRemove(pdo);
  return NT_SUCCESS(status) ? sim::pnp::Remove(pdo) : status;
}

INSTANTIATE_TEST_SUITE_P(
    Requests, Drain,
    ::testing::Values(
        DrainCase{"QueryStop", QueryStopThenCancel, sim::usb::Completion::Synchronous},
        DrainCase{"QueryStopPending", QueryStopThenCancel, sim::usb::Completion::Pending},
        DrainCase{"Removal", QueryRemoveThenRemove, sim::usb::Completion::Synchronous},
        DrainCase{"RemovalPending", QueryRemoveThenRemove, sim::usb::Completion::Pending}),
    [](const auto& info) { return info.param.name; });

TEST_F(DriverTest, SurpriseRemovalWithAnExchangeInFlight) {
  Key key = PlugAndStart();
  sim::Client client;
  auto open = client.OpenInterface(Link(GUID_KEY_INTERFACE_PRIMARY), 0);
  sim::usb::HoldNext(key.pdo, Kind::Interrupt);
  std::thread exchange([&] {
    auto io = client.DeviceIoControl(open.Handle, IOCTL_KEY_TRANSACT_RAW, {0x01}, 8);
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, io.Status);  // the key left under it
  });
  ASSERT_TRUE(sim::usb::WaitUntilHeld(key.pdo));
  sim::usb::Unplug(key.pdo);  // fails the held request
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::SurpriseRemove(key.pdo));
  exchange.join();
  EXPECT_TRUE(sim::interfaces::Enabled(GUID_KEY_INTERFACE_PRIMARY).empty());
  EXPECT_EQ(STATUS_SUCCESS, client.Close(open.Handle));
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Remove(key.pdo));
}

TEST_F(DriverTest, CancelsRestoreTheStateBeforeTheQuery) {
  Key key = PlugAndStart();
  // A cancel without its query (a driver above refused it) changes nothing.
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::CancelStop(key.pdo));
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::CancelRemove(key.pdo));
  EXPECT_EQ(Started, key.ext->DevicePnpState);
  ASSERT_EQ(STATUS_SUCCESS, sim::pnp::QueryRemove(key.pdo));
  EXPECT_EQ(PendingRemove, key.ext->DevicePnpState);
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::CancelRemove(key.pdo));
  EXPECT_EQ(Started, key.ext->DevicePnpState);
  ASSERT_EQ(STATUS_SUCCESS, sim::pnp::QueryStop(key.pdo));
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::CancelStop(key.pdo));
  EXPECT_EQ(Started, key.ext->DevicePnpState);
  EXPECT_EQ(1, key.ext->OutstandingIo);
}

TEST_F(DriverTest, CapabilitiesNeedAWholeStructure) {
  Key key = Plug();
  DEVICE_CAPABILITIES caps{};
  EXPECT_EQ(STATUS_UNSUCCESSFUL, sim::pnp::QueryCapabilities(key.pdo, 63, 1, &caps).Status);
  EXPECT_EQ(STATUS_UNSUCCESSFUL, sim::pnp::QueryCapabilities(key.pdo, 64, 0, &caps).Status);
  EXPECT_EQ(0u, key.ext->DeviceCapabilities.Size);  // nothing copied
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::QueryCapabilities(key.pdo, 64, 1, &caps).Status);
  EXPECT_TRUE(caps.SurpriseRemovalOK);
  EXPECT_TRUE(key.ext->DeviceCapabilities.SurpriseRemovalOK);
  EXPECT_EQ(PowerDeviceD2, key.ext->DeviceCapabilities.DeviceState[PowerSystemSleeping3]);
}

TEST_F(DriverTest, SurpriseRemovalThenRemovalTakesTheKeyDownOnce) {
  Key key = PlugAndStart();
  sim::Client client;
  auto open = client.OpenInterface(Link(GUID_KEY_INTERFACE_PRIMARY), 0);
  ASSERT_EQ(STATUS_SUCCESS,
            client.DeviceIoControl(open.Handle, IOCTL_KEY_NOTIFY_CHANGE, {}, 0).Status);
  ASSERT_NE(nullptr, key.ext->NotifyThread);
  sim::usb::Unplug(key.pdo);
  ASSERT_EQ(STATUS_SUCCESS, sim::pnp::SurpriseRemove(key.pdo));
  EXPECT_EQ(nullptr, key.ext->NotifyThread);  // waited for and closed
  EXPECT_EQ(SurpriseRemoved, key.ext->DevicePnpState);
  EXPECT_TRUE(sim::interfaces::Enabled(GUID_KEY_INTERFACE_PRIMARY).empty());
  EXPECT_TRUE(sim::interfaces::Enabled(GUID_KEY_INTERFACE_AUX).empty());
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE,
            client.DeviceIoControl(open.Handle, IOCTL_KEY_PROBE, {0x01}, 0).Status);
  client.Close(open.Handle);
  ClearWire(key);
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Remove(key.pdo));
  EXPECT_EQ(0u, sim::pool::LiveCount());
}

TEST_F(DriverTest, RemovalOfAKeyThatNeverStarted) {
  Key key = Plug(sim::usb::UnrecognisedKey());
  EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, sim::pnp::Start(key.pdo));
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::QueryRemove(key.pdo));
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Remove(key.pdo));
  EXPECT_EQ(nullptr, driver_->DeviceObject);
  EXPECT_EQ(0u, sim::pool::LiveCount());
}

}  // namespace
}  // namespace tarvik::test
