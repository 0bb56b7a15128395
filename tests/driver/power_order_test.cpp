// Power requests in the order the lower drivers and the power manager see
// them: what the driver reports before a request goes down or after it has
// come back, and which requests never go down at all.
#include <gtest/gtest.h>

#include <thread>

#include "tests/support/driver/driver_test.h"

namespace tarvik::test {
namespace {

using Log = std::vector<std::string>;

class PowerOrder : public DriverTest {
 protected:
  // A started primary key whose bus reports D1, D2, D3 for S1, S2, S3.
  Key Started() {
    Key key = Plug();
    const DEVICE_POWER_STATE states[POWER_SYSTEM_MAXIMUM] = {
        PowerDeviceUnspecified, PowerDeviceD0, PowerDeviceD1, PowerDeviceD2,
        PowerDeviceD3,          PowerDeviceD3, PowerDeviceD3};
    sim::usb::SetDeviceStates(key.pdo, states);
    DEVICE_CAPABILITIES caps{};
    EXPECT_EQ(STATUS_SUCCESS, sim::pnp::QueryCapabilities(key.pdo, sizeof(caps), 1, &caps).Status);
    EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Start(key.pdo));
    return key;
  }
  // From now on: what happens below the driver and what it tells the power manager.
  void Mark() { mark_ = sim::NextSequence(); }
  Log Since(const Key& key) const {
    Log log;
    for (const auto& e : sim::usb::RequestLog(key.pdo, key.fdo, mark_))
      log.push_back(e.text);
    return log;
  }
  // The device power requests of the bus, answered later with `status`.
  void DeviceRequestsPend(const Key& key, NTSTATUS status, ULONG count = 1) {
    sim::usb::BusFault f;
    f.major = IRP_MJ_POWER;
    f.minor = IRP_MN_SET_POWER;
    f.powerType = DevicePowerState;
    f.status = status;
    f.pending = true;
    f.rule.count = count;
    sim::usb::AddBusFault(key.pdo, f);
  }

  uint64_t mark_ = 0;
};

TEST_F(PowerOrder, APowerDownIsReportedBeforeItGoesDown) {
  TARVIK_WHITE_BOX();
  Key key = Started();
  for (DEVICE_POWER_STATE d : {PowerDeviceD1, PowerDeviceD2, PowerDeviceD3}) {
    Mark();
    EXPECT_EQ(STATUS_SUCCESS, sim::power::SetDevice(key.pdo, d));
    const std::string state = "device D" + std::to_string(d - 1);
    EXPECT_EQ((Log{"PoSetPowerState " + state, "bus: power set " + state}), Since(key));
    EXPECT_EQ(d, key.ext->DevicePower);
  }
}

struct PowerUpCase {
  const char* name;
  bool pending;
  NTSTATUS status;  // the lower drivers' answer
};

class PowerUp : public PowerOrder, public ::testing::WithParamInterface<PowerUpCase> {};

// D0 is reported only once the lower drivers have finished with the
// request, whatever they answered; their answer is the request's.
TEST_P(PowerUp, ReportsD0OnceTheLowerDriversHaveFinished) {
  TARVIK_WHITE_BOX();
  const auto& p = GetParam();
  Key key = Started();
  ASSERT_EQ(STATUS_SUCCESS, sim::power::SetDevice(key.pdo, PowerDeviceD3));
  sim::usb::BusFault f;
  f.major = IRP_MJ_POWER;
  f.minor = IRP_MN_SET_POWER;
  f.powerType = DevicePowerState;
  f.powerState = PowerDeviceD0;
  f.status = p.status;
  f.pending = p.pending;
  sim::usb::AddBusFault(key.pdo, f);
  Mark();
  EXPECT_EQ(p.status, sim::power::SetDevice(key.pdo, PowerDeviceD0));
  const Log expected = p.pending
                           ? Log{"bus: power set device D0 (pending)",
                                 "bus completes: power set device D0", "PoSetPowerState device D0"}
                           : Log{"bus: power set device D0", "PoSetPowerState device D0"};
  EXPECT_EQ(expected, Since(key));
  EXPECT_EQ(PowerDeviceD3, key.ext->DevicePower);  // a power-up on its own leaves it
  EXPECT_EQ(1, key.ext->OutstandingIo);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, PowerUp,
    ::testing::Values(PowerUpCase{"AtOnce", false, STATUS_SUCCESS},
                      PowerUpCase{"Later", true, STATUS_SUCCESS},
                      PowerUpCase{"FailedAtOnce", false, STATUS_DEVICE_POWER_FAILURE},
                      PowerUpCase{"FailedLater", true, STATUS_DEVICE_POWER_FAILURE}),
    [](const auto& info) { return info.param.name; });

// The system request goes down only once the device request it asked for
// has completed, going to sleep and waking up alike.
TEST_F(PowerOrder, TheSystemRequestGoesDownAfterTheDeviceRequest) {
  TARVIK_WHITE_BOX();
  Key key = Started();
  DeviceRequestsPend(key, STATUS_SUCCESS, 2);
  Mark();
  EXPECT_EQ(STATUS_SUCCESS, sim::power::SetSystem(key.pdo, PowerSystemSleeping2));
  EXPECT_EQ((Log{"PoRequestPowerIrp set device D2", "PoSetPowerState device D2",
                 "bus: power set device D2 (pending)", "bus completes: power set device D2",
                 "PoSetPowerState device D2", "bus: power set system S2"}),
            Since(key));
  Mark();
  EXPECT_EQ(STATUS_SUCCESS, sim::power::SetSystem(key.pdo, PowerSystemWorking));
  EXPECT_EQ((Log{"PoRequestPowerIrp set device D0", "bus: power set device D0 (pending)",
                 "bus completes: power set device D0", "PoSetPowerState device D0",
                 "PoSetPowerState device D0", "bus: power set system S0"}),
            Since(key));
  EXPECT_EQ(1, key.ext->OutstandingIo);
}

// A device request that the lower drivers fail is not looked at: the
// system request still goes down, after it.
TEST_F(PowerOrder, AFailedDeviceRequestStillLetsTheSystemRequestDown) {
  Key key = Started();
  DeviceRequestsPend(key, STATUS_DEVICE_POWER_FAILURE);
  Mark();
  EXPECT_EQ(STATUS_SUCCESS, sim::power::SetSystem(key.pdo, PowerSystemSleeping3));
  EXPECT_EQ((Log{"PoRequestPowerIrp set device D3", "PoSetPowerState device D3",
                 "bus: power set device D3 (pending)", "bus completes: power set device D3",
                 "PoSetPowerState device D3", "bus: power set system S3"}),
            Since(key));
}

// Hibernation and shutdown reach the bus driver like every system request,
// also when the key is at D3 already.
TEST_F(PowerOrder, HibernateAtD3GoesDownLikeEverySystemRequest) {
  TARVIK_WHITE_BOX();
  Key key = Started();
  ASSERT_EQ(STATUS_SUCCESS, sim::power::SetSystem(key.pdo, PowerSystemSleeping3));
  ASSERT_EQ(PowerDeviceD3, key.ext->DevicePower);
  for (SYSTEM_POWER_STATE s : {PowerSystemHibernate, PowerSystemShutdown}) {
    Mark();
    EXPECT_EQ(STATUS_SUCCESS, sim::power::SetSystem(key.pdo, s));
    EXPECT_EQ(
        (Log{"PoRequestPowerIrp set device D3", "PoSetPowerState device D3",
             "bus: power set device D3", "PoSetPowerState device D3",
             std::string("bus: power set system ") + (s == PowerSystemHibernate ? "S4" : "S5")}),
        Since(key))
        << s;
  }
  // From D2 the same request goes all the way down.
  ASSERT_EQ(STATUS_SUCCESS, sim::power::SetDevice(key.pdo, PowerDeviceD2));
  Mark();
  EXPECT_EQ(STATUS_SUCCESS, sim::power::SetSystem(key.pdo, PowerSystemHibernate));
  EXPECT_EQ(
      (Log{"PoRequestPowerIrp set device D3", "PoSetPowerState device D3",
           "bus: power set device D3", "PoSetPowerState device D3", "bus: power set system S4"}),
      Since(key));
}

// System state 7 (PowerSystemMaximum) counts as working: the key goes to D0
// first; a query for it is never refused.
TEST_F(PowerOrder, SystemState7WakesTheKey) {
  TARVIK_WHITE_BOX();
  Key key = Started();
  ASSERT_EQ(STATUS_SUCCESS, sim::power::SetSystem(key.pdo, PowerSystemSleeping3));
  Mark();
  EXPECT_EQ(STATUS_SUCCESS,
            sim::power::SetSystem(key.pdo, static_cast<SYSTEM_POWER_STATE>(PowerSystemMaximum)));
  EXPECT_EQ(PowerDeviceD0, key.ext->DevicePower);
  EXPECT_EQ(
      (Log{"PoRequestPowerIrp set device D0", "bus: power set device D0",
           "PoSetPowerState device D0", "PoSetPowerState device D0", "bus: power set system 7"}),
      Since(key));
  // While a port reset is in progress, a query for 7 still goes down; one
  // for a sleep state does not.
  sim::Client client;
  auto open = client.OpenInterface(Link(GUID_KEY_INTERFACE_PRIMARY), 0);
  sim::usb::HoldNext(key.pdo, sim::usb::Kind::ResetPort);
  std::thread reset([&] { client.DeviceIoControl(open.Handle, IOCTL_KEY_RESET_PORT, {}, 0); });
  ASSERT_TRUE(sim::usb::WaitUntilHeld(key.pdo));
  Mark();
  EXPECT_EQ(STATUS_SUCCESS,
            sim::power::QuerySystem(key.pdo, static_cast<SYSTEM_POWER_STATE>(PowerSystemMaximum)));
  EXPECT_EQ(STATUS_DEVICE_BUSY, sim::power::QuerySystem(key.pdo, PowerSystemSleeping1));
  EXPECT_EQ(Log{"bus: power query system 7"}, Since(key));
  sim::usb::ReleaseHeld(key.pdo);
  reset.join();
  client.Close(open.Handle);
}

}  // namespace
}  // namespace tarvik::test
