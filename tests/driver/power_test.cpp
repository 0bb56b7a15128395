// Power requests: the key's device state follows the system's.
#include <gtest/gtest.h>

#include <thread>

#include "tests/support/driver/answer_timing.h"
#include "tests/support/driver/driver_test.h"

namespace tarvik::test {
namespace {

using sim::usb::Kind;

// Each test runs with the lower drivers answering at once and later.
class PowerTest : public DriverTest, public ::testing::WithParamInterface<AnswerTiming> {
 protected:
  Key PlugKey() {
    Key key = Plug();
    AnswerAsSaid(key.pdo, GetParam());
    return key;
  }
  Key StartedWithStates(const DEVICE_POWER_STATE (&states)[POWER_SYSTEM_MAXIMUM]) {
    Key key = PlugKey();
    sim::usb::SetDeviceStates(key.pdo, states);
    DEVICE_CAPABILITIES caps{};
    EXPECT_EQ(STATUS_SUCCESS, sim::pnp::QueryCapabilities(key.pdo, sizeof(caps), 1, &caps).Status);
    EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Start(key.pdo));
    return key;
  }
  size_t DeviceRequests() const { return sim::power::Requests().size(); }
};

constexpr DEVICE_POWER_STATE kStates[POWER_SYSTEM_MAXIMUM] = {
    PowerDeviceUnspecified, PowerDeviceD0, PowerDeviceD1, PowerDeviceD2,
    PowerDeviceD3,          PowerDeviceD3, PowerDeviceD3};

TEST_P(PowerTest, SleepStoresTheCapabilityStateAndWakeReturnsToD0) {
  TARVIK_WHITE_BOX();
  Key key = StartedWithStates(kStates);
  for (SYSTEM_POWER_STATE s : {PowerSystemSleeping1, PowerSystemSleeping2, PowerSystemSleeping3}) {
    const size_t before = DeviceRequests();
    EXPECT_EQ(STATUS_SUCCESS, sim::power::SetSystem(key.pdo, s));
    EXPECT_EQ(kStates[s], key.ext->DevicePower);
    auto requests = sim::power::Requests();
    ASSERT_EQ(before + 1, requests.size());
    EXPECT_EQ(key.fdo, requests.back().DeviceObject);
    EXPECT_EQ(IRP_MN_SET_POWER, requests.back().MinorFunction);
    EXPECT_EQ(kStates[s], requests.back().State.DeviceState);
    EXPECT_EQ(kStates[s], sim::power::Reports(key.fdo).back().State.DeviceState);
    EXPECT_EQ(STATUS_SUCCESS, sim::power::SetSystem(key.pdo, PowerSystemWorking));
    EXPECT_EQ(PowerDeviceD0, key.ext->DevicePower);
    EXPECT_EQ(PowerDeviceD0, sim::power::Requests().back().State.DeviceState);
    EXPECT_EQ(1, key.ext->OutstandingIo);
  }
}

// Hibernation and shutdown go down like every system request, also with D3
// already recorded: the device request for D3 is asked for again.
TEST_P(PowerTest, HibernateWithD3AlreadyRecordedRunsTheWholeTransition) {
  TARVIK_WHITE_BOX();
  Key key = StartedWithStates(kStates);
  EXPECT_EQ(STATUS_SUCCESS, sim::power::SetSystem(key.pdo, PowerSystemHibernate));
  EXPECT_EQ(PowerDeviceD3, key.ext->DevicePower);
  // A wake that the power manager sends by itself does not touch DevicePower.
  EXPECT_EQ(STATUS_SUCCESS, sim::power::SetDevice(key.pdo, PowerDeviceD0));
  EXPECT_EQ(PowerDeviceD3, key.ext->DevicePower);
  const size_t before = DeviceRequests();
  auto result = sim::power::Send(key.pdo, IRP_MN_SET_POWER, SystemPowerState,
                                 POWER_STATE{.SystemState = PowerSystemShutdown});
  EXPECT_EQ(STATUS_SUCCESS, result.Status);
  EXPECT_EQ(before + 1, DeviceRequests());
  EXPECT_EQ(PowerDeviceD3, sim::power::Requests().back().State.DeviceState);
  // From D2 the same request runs the whole transition.
  EXPECT_EQ(STATUS_SUCCESS, sim::power::SetDevice(key.pdo, PowerDeviceD2));
  EXPECT_EQ(PowerDeviceD2, key.ext->DevicePower);
  EXPECT_EQ(PowerDeviceD2, sim::power::Reports(key.fdo).back().State.DeviceState);
  EXPECT_EQ(STATUS_SUCCESS, sim::power::SetSystem(key.pdo, PowerSystemHibernate));
  EXPECT_EQ(before + 2, DeviceRequests());
  EXPECT_EQ(PowerDeviceD3, key.ext->DevicePower);
}

TEST_P(PowerTest, NotStartedPassesEverythingDown) {
  TARVIK_WHITE_BOX();
  Key key = PlugKey();
  const size_t reports = sim::power::Reports(key.fdo).size();
  EXPECT_EQ(STATUS_SUCCESS, sim::power::SetSystem(key.pdo, PowerSystemSleeping3));
  EXPECT_EQ(STATUS_SUCCESS, sim::power::SetDevice(key.pdo, PowerDeviceD3));
  EXPECT_EQ(0u, DeviceRequests());
  EXPECT_EQ(PowerDeviceD0, key.ext->DevicePower);
  EXPECT_EQ(reports, sim::power::Reports(key.fdo).size());
}

TEST_P(PowerTest, StatesOutsideTheTableGoDownUnchanged) {
  TARVIK_WHITE_BOX();
  Key key = StartedWithStates(kStates);
  for (ULONG state : {0u, 8u}) {
    POWER_STATE s;
    s.SystemState = static_cast<SYSTEM_POWER_STATE>(state);
    EXPECT_EQ(STATUS_SUCCESS,
              sim::power::Send(key.pdo, IRP_MN_SET_POWER, SystemPowerState, s).Status);
    EXPECT_EQ(STATUS_SUCCESS,
              sim::power::Send(key.pdo, IRP_MN_QUERY_POWER, SystemPowerState, s).Status);
  }
  EXPECT_EQ(0u, DeviceRequests());
  EXPECT_EQ(PowerDeviceD0, key.ext->DevicePower);
  EXPECT_EQ(1, key.ext->OutstandingIo);
}

TEST_P(PowerTest, QueryIsRefusedWhileAnotherRequestIsOutstanding) {
  TARVIK_WHITE_BOX();
  Key key = StartedWithStates(kStates);
  EXPECT_EQ(STATUS_SUCCESS, sim::power::QuerySystem(key.pdo, PowerSystemSleeping3));  // count 2
  // A port reset request in progress holds one reference (the reset adds none).
  sim::Client client;
  auto open = client.OpenInterface(Link(GUID_KEY_INTERFACE_PRIMARY), 0);
  sim::usb::HoldNext(key.pdo, Kind::ResetPort);
  std::thread reset([&] {
    EXPECT_EQ(STATUS_SUCCESS,
              client.DeviceIoControl(open.Handle, IOCTL_KEY_RESET_PORT, {}, 0).Status);
  });
  ASSERT_TRUE(sim::usb::WaitUntilHeld(key.pdo));
  EXPECT_EQ(2, key.ext->OutstandingIo);
  for (SYSTEM_POWER_STATE s :
       {PowerSystemSleeping1, PowerSystemSleeping3, PowerSystemHibernate, PowerSystemShutdown})
    EXPECT_EQ(STATUS_DEVICE_BUSY, sim::power::QuerySystem(key.pdo, s)) << s;
  EXPECT_EQ(STATUS_SUCCESS, sim::power::QuerySystem(key.pdo, PowerSystemWorking));
  EXPECT_EQ(STATUS_SUCCESS, sim::power::QueryDevice(key.pdo, PowerDeviceD3));
  sim::usb::ReleaseHeld(key.pdo);
  reset.join();
  EXPECT_EQ(1, key.ext->OutstandingIo);
  client.Close(open.Handle);
}

// A system set-power may not be failed and must reach the bus driver
// (PowerDownFail): without its device request it still goes down, with success.
TEST_P(PowerTest, NoDeviceRequestStillLetsTheSystemRequestDown) {
  TARVIK_WHITE_BOX();
  Key key = StartedWithStates(kStates);
  sim::usb::ClearBusRequests(key.pdo);
  sim::faults::Fail(sim::faults::Kind::RequestPowerIrp);
  EXPECT_EQ(STATUS_SUCCESS, sim::power::SetSystem(key.pdo, PowerSystemSleeping3));
  auto atBus = sim::usb::BusRequests(key.pdo);
  ASSERT_EQ(1u, atBus.size());
  EXPECT_EQ("power set system S3", atBus[0].Text());
  EXPECT_EQ(PowerDeviceD3, key.ext->DevicePower);  // the target stays stored
  EXPECT_EQ(1, key.ext->OutstandingIo);
  EXPECT_EQ(STATUS_SUCCESS, sim::power::SetSystem(key.pdo, PowerSystemWorking));
}

TEST_P(PowerTest, StoppedAndSurpriseRemovedAreHandledInFull) {
  TARVIK_WHITE_BOX();
  Key key = StartedWithStates(kStates);
  ASSERT_EQ(STATUS_SUCCESS, sim::pnp::QueryStop(key.pdo));
  ASSERT_EQ(STATUS_SUCCESS, sim::pnp::Stop(key.pdo));
  EXPECT_EQ(STATUS_SUCCESS, sim::power::SetSystem(key.pdo, PowerSystemSleeping2));
  EXPECT_EQ(PowerDeviceD2, key.ext->DevicePower);
  EXPECT_EQ(1u, DeviceRequests());
  sim::usb::Unplug(key.pdo);
  ASSERT_EQ(STATUS_SUCCESS, sim::pnp::SurpriseRemove(key.pdo));
  EXPECT_EQ(STATUS_SUCCESS, sim::power::SetSystem(key.pdo, PowerSystemWorking));
  EXPECT_EQ(2u, DeviceRequests());
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Remove(key.pdo));
}

TEST_P(PowerTest, RemovedRefusesEveryPowerRequest) {
  TARVIK_WHITE_BOX();
  Key key = StartedWithStates(kStates);
  sim::Client client;
  auto open = client.OpenInterface(Link(GUID_KEY_INTERFACE_PRIMARY), 0);
  // A port reset held at the bus keeps the removal waiting in Removed.
  sim::usb::HoldNext(key.pdo, Kind::ResetPort);
  std::thread reset([&] { client.DeviceIoControl(open.Handle, IOCTL_KEY_RESET_PORT, {}, 0); });
  ASSERT_TRUE(sim::usb::WaitUntilHeld(key.pdo));
  DeviceExtension* extension = key.ext;
  std::thread removal([&] { EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Remove(key.pdo)); });
  while (CurrentPnpState(extension) != Removed)
    std::this_thread::yield();
  const struct {
    UCHAR minor;
    POWER_STATE_TYPE type;
    ULONG state;
  } requests[] = {{IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3},
                  {IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemWorking},
                  {IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0},
                  {IRP_MN_WAIT_WAKE, SystemPowerState, 0}};
  for (const auto& r : requests) {
    POWER_STATE state;
    state.SystemState = static_cast<SYSTEM_POWER_STATE>(r.state);
    EXPECT_EQ(STATUS_DELETE_PENDING, sim::power::Send(key.pdo, r.minor, r.type, state).Status);
  }
  EXPECT_EQ(0u, DeviceRequests());
  sim::usb::ReleaseHeld(key.pdo);
  reset.join();
  removal.join();
  client.Close(open.Handle);
}

INSTANTIATE_TEST_SUITE_P(Answers, PowerTest, ::testing::ValuesIn(kAnswerTimings), AnswerTimingName);

}  // namespace
}  // namespace tarvik::test
