// Plug and Play around requests in progress: drains at query-stop and
// removal, cancels, capabilities, surprise removal then removal.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <chrono>
#include <thread>

#include "sim/kernel/faults.h"
#include "tests/support/driver/answer_timing.h"
#include "tests/support/driver/driver_test.h"

namespace tarvik::test {
namespace {

using sim::usb::Kind;

// Runs a PnP request in another thread while an exchange is held at the bus:
// the request must not return before the exchange has left the driver. The
// request reports how many requests other than itself were still inside the
// driver when it returned (the client's call itself may return a little
// later: the driver has finished with it once it completed it).
struct DrainCase {
  const char* name;
  NTSTATUS (*request)(const Key& key, PDRIVER_OBJECT driver, LONG* inside);
  sim::usb::Completion completion;
};

class Drain : public DriverTest, public ::testing::WithParamInterface<DrainCase> {};

TEST_P(Drain, WaitsForTheRequestInProgress) {
  TARVIK_WHITE_BOX();
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
    LONG inside = -1;
    EXPECT_EQ(STATUS_SUCCESS, p.request(key, driver_, &inside));
    EXPECT_EQ(0, inside);          // the exchange left the driver first
    EXPECT_TRUE(released.load());  // and it was let go before this returned
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

NTSTATUS QueryStopThenCancel(const Key& key, PDRIVER_OBJECT, LONG* inside) {
  NTSTATUS status = sim::pnp::QueryStop(key.pdo);
  *inside = key.ext->OutstandingIo - 1;  // less the device's own reference
  sim::pnp::CancelStop(key.pdo);
  return status;
}

NTSTATUS QueryRemoveThenRemove(const Key& key, PDRIVER_OBJECT driver, LONG* inside) {
  NTSTATUS status = sim::pnp::QueryRemove(key.pdo);
  if (NT_SUCCESS(status))
    status = sim::pnp::Remove(key.pdo);
  // The device object goes only once its last request has left.
  *inside = driver->DeviceObject == nullptr ? 0 : 1;
  return status;
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

// The Plug and Play tests below run with the lower drivers answering at once
// and later.
class PnpAnswers : public DriverTest, public ::testing::WithParamInterface<AnswerTiming> {
 protected:
  Key PlugKey(const sim::usb::KeyConfig& config = sim::usb::PrimaryKey()) {
    Key key = Plug(config);
    AnswerAsSaid(key.pdo, GetParam());
    return key;
  }
  Key PlugAndStartKey(const sim::usb::KeyConfig& config = sim::usb::PrimaryKey()) {
    Key key = PlugKey(config);
    EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Start(key.pdo));
    return key;
  }
};

TEST_P(PnpAnswers, CancelsRestoreTheStateBeforeTheQuery) {
  TARVIK_WHITE_BOX();
  Key key = PlugAndStartKey();
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

// The driver refuses a structure too small or too old itself: the request
// never reaches the bus, and nothing is copied.
TEST_P(PnpAnswers, CapabilitiesNeedAWholeStructure) {
  TARVIK_WHITE_BOX();
  Key key = PlugKey();
  sim::usb::ClearBusRequests(key.pdo);
  const struct {
    USHORT size;
    USHORT version;
  } refused[] = {{63, 1}, {64, 0}, {0, 0}};
  for (const auto& r : refused) {
    DEVICE_CAPABILITIES caps{};
    EXPECT_EQ(STATUS_UNSUCCESSFUL,
              sim::pnp::QueryCapabilities(key.pdo, r.size, r.version, &caps).Status)
        << r.size << " " << r.version;
    EXPECT_FALSE(caps.SurpriseRemovalOK);
  }
  EXPECT_TRUE(sim::usb::BusRequests(key.pdo).empty());
  const DEVICE_CAPABILITIES zero{};
  EXPECT_EQ(0, std::memcmp(&zero, &key.ext->DeviceCapabilities, sizeof(zero)));  // nothing copied
  DEVICE_CAPABILITIES caps{};
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::QueryCapabilities(key.pdo, 64, 1, &caps).Status);
  ASSERT_EQ(1u, sim::usb::BusRequests(key.pdo).size());
  EXPECT_EQ("pnp capabilities", sim::usb::BusRequests(key.pdo)[0].Text());
  EXPECT_EQ(64u, key.ext->DeviceCapabilities.Size);
  EXPECT_TRUE(caps.SurpriseRemovalOK);
  EXPECT_TRUE(key.ext->DeviceCapabilities.SurpriseRemovalOK);
  EXPECT_EQ(PowerDeviceD2, key.ext->DeviceCapabilities.DeviceState[PowerSystemSleeping3]);
}

// The removal after a surprise removal does not take the key down again: no
// interface is touched and the pipe whose abort failed (the key was gone) is
// not aborted a second time.
TEST_P(PnpAnswers, SurpriseRemovalThenRemovalTakesTheKeyDownOnce) {
  TARVIK_WHITE_BOX();
  auto config = sim::usb::PrimaryKey();
  config.pipeFlags = 1;
  Key key = PlugAndStartKey(config);
  sim::Client client;
  auto open = client.OpenInterface(Link(GUID_KEY_INTERFACE_PRIMARY), 0);
  ASSERT_EQ(STATUS_SUCCESS,
            client.DeviceIoControl(open.Handle, IOCTL_KEY_NOTIFY_CHANGE, {}, 0).Status);
  ASSERT_NE(nullptr, key.ext->NotifyThread);
  sim::usb::Unplug(key.pdo);
  ClearWire(key);
  const auto interfaceCalls = [] {
    return sim::faults::CallCount(sim::faults::Kind::SetInterfaceState);
  };
  uint64_t before = interfaceCalls();
  ASSERT_EQ(STATUS_SUCCESS, sim::pnp::SurpriseRemove(key.pdo));
  EXPECT_EQ(2u, interfaceCalls() - before);  // primary and aux
  EXPECT_EQ(std::vector<Kind>{Kind::AbortPipe}, WireKinds(key));
  EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, Wire(key)[0].status);
  EXPECT_EQ(nullptr, key.ext->NotifyThread);  // waited for and closed
  EXPECT_EQ(SurpriseRemoved, key.ext->DevicePnpState);
  EXPECT_TRUE(sim::interfaces::Enabled(GUID_KEY_INTERFACE_PRIMARY).empty());
  EXPECT_TRUE(sim::interfaces::Enabled(GUID_KEY_INTERFACE_AUX).empty());
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE,
            client.DeviceIoControl(open.Handle, IOCTL_KEY_PROBE, {0x01}, 0).Status);
  client.Close(open.Handle);
  ClearWire(key);
  before = interfaceCalls();
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Remove(key.pdo));
  EXPECT_EQ(0u, interfaceCalls() - before);
  EXPECT_TRUE(sim::usb::TraceOfPlug(0).empty());  // the PDO went with the removal
  EXPECT_EQ(0u, sim::pool::LiveCount());
}

TEST_P(PnpAnswers, RemovalOfAKeyThatNeverStarted) {
  Key key = PlugKey(sim::usb::UnrecognisedKey());
  EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, sim::pnp::Start(key.pdo));
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::QueryRemove(key.pdo));
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Remove(key.pdo));
  EXPECT_EQ(nullptr, driver_->DeviceObject);
  EXPECT_EQ(0u, sim::pool::LiveCount());
}

INSTANTIATE_TEST_SUITE_P(Answers, PnpAnswers, ::testing::ValuesIn(kAnswerTimings),
                         AnswerTimingName);

}  // namespace
}  // namespace tarvik::test
