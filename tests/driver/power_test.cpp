// Power requests: the key's device state follows the system's.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "tests/support/driver/answer_timing.h"
#include "tests/support/driver/driver_test.h"
#include "tests/support/driver/held_requests.h"
#include "tests/support/driver/record_view.h"
#include "tests/support/usb/bus_answers.h"

namespace tarvik::test {
namespace {

using sim::usb::Kind;
using Log = std::vector<std::string>;

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
    EXPECT_EQ(kStates[s], Record(key).DevicePower());
    auto requests = sim::power::Requests();
    ASSERT_EQ(before + 1, requests.size());
    EXPECT_EQ(key.fdo, requests.back().DeviceObject);
    EXPECT_EQ(IRP_MN_SET_POWER, requests.back().MinorFunction);
    EXPECT_EQ(kStates[s], requests.back().State.DeviceState);
    EXPECT_EQ(kStates[s], sim::power::Reports(key.fdo).back().State.DeviceState);
    EXPECT_EQ(STATUS_SUCCESS, sim::power::SetSystem(key.pdo, PowerSystemWorking));
    EXPECT_EQ(PowerDeviceD0, Record(key).DevicePower());
    EXPECT_EQ(PowerDeviceD0, sim::power::Requests().back().State.DeviceState);
    EXPECT_EQ(1, Record(key).OutstandingIo());
  }
}

// Hibernation and shutdown go down like every system request, also with D3
// already recorded: the device request for D3 is asked for again.
TEST_P(PowerTest, HibernateWithD3AlreadyRecordedRunsTheWholeTransition) {
  TARVIK_WHITE_BOX();
  Key key = StartedWithStates(kStates);
  EXPECT_EQ(STATUS_SUCCESS, sim::power::SetSystem(key.pdo, PowerSystemHibernate));
  EXPECT_EQ(PowerDeviceD3, Record(key).DevicePower());
  // A wake that the power manager sends by itself does not touch DevicePower.
  EXPECT_EQ(STATUS_SUCCESS, sim::power::SetDevice(key.pdo, PowerDeviceD0));
  EXPECT_EQ(PowerDeviceD3, Record(key).DevicePower());
  const size_t before = DeviceRequests();
  auto result = sim::power::Send(key.pdo, IRP_MN_SET_POWER, SystemPowerState,
                                 POWER_STATE{.SystemState = PowerSystemShutdown});
  EXPECT_EQ(STATUS_SUCCESS, result.Status);
  EXPECT_EQ(before + 1, DeviceRequests());
  EXPECT_EQ(PowerDeviceD3, sim::power::Requests().back().State.DeviceState);
  // From D2 the same request runs the whole transition.
  EXPECT_EQ(STATUS_SUCCESS, sim::power::SetDevice(key.pdo, PowerDeviceD2));
  EXPECT_EQ(PowerDeviceD2, Record(key).DevicePower());
  EXPECT_EQ(PowerDeviceD2, sim::power::Reports(key.fdo).back().State.DeviceState);
  EXPECT_EQ(STATUS_SUCCESS, sim::power::SetSystem(key.pdo, PowerSystemHibernate));
  EXPECT_EQ(before + 2, DeviceRequests());
  EXPECT_EQ(PowerDeviceD3, Record(key).DevicePower());
}

TEST_P(PowerTest, NotStartedPassesEverythingDown) {
  TARVIK_WHITE_BOX();
  Key key = PlugKey();
  const size_t reports = sim::power::Reports(key.fdo).size();
  EXPECT_EQ(STATUS_SUCCESS, sim::power::SetSystem(key.pdo, PowerSystemSleeping3));
  EXPECT_EQ(STATUS_SUCCESS, sim::power::SetDevice(key.pdo, PowerDeviceD3));
  EXPECT_EQ(0u, DeviceRequests());
  EXPECT_EQ(PowerDeviceD0, Record(key).DevicePower());
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
  EXPECT_EQ(PowerDeviceD0, Record(key).DevicePower());
  EXPECT_EQ(1, Record(key).OutstandingIo());
}

TEST_P(PowerTest, QueryIsRefusedWhileAnotherRequestIsOutstanding) {
  TARVIK_WHITE_BOX();
  Key key = StartedWithStates(kStates);
  EXPECT_EQ(STATUS_SUCCESS, sim::power::QuerySystem(key.pdo, PowerSystemSleeping3));  // count 2
  // A port reset request in progress holds one reference (the reset adds none).
  sim::Client client;
  auto open = client.OpenInterface(Link(GUID_KEY_INTERFACE_PRIMARY), 0);
  HeldReset reset(key, client, open.Handle);
  ASSERT_TRUE(reset.held());
  EXPECT_EQ(2, Record(key).OutstandingIo());
  for (SYSTEM_POWER_STATE s :
       {PowerSystemSleeping1, PowerSystemSleeping3, PowerSystemHibernate, PowerSystemShutdown})
    EXPECT_EQ(STATUS_DEVICE_BUSY, sim::power::QuerySystem(key.pdo, s)) << s;
  EXPECT_EQ(STATUS_SUCCESS, sim::power::QuerySystem(key.pdo, PowerSystemWorking));
  EXPECT_EQ(STATUS_SUCCESS, sim::power::QueryDevice(key.pdo, PowerDeviceD3));
  EXPECT_EQ(STATUS_SUCCESS, reset.Release());
  EXPECT_EQ(1, Record(key).OutstandingIo());
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
  EXPECT_EQ(PowerDeviceD3, Record(key).DevicePower());  // the target stays stored
  EXPECT_EQ(1, Record(key).OutstandingIo());
  EXPECT_EQ(STATUS_SUCCESS, sim::power::SetSystem(key.pdo, PowerSystemWorking));
}

TEST_P(PowerTest, StoppedAndSurpriseRemovedAreHandledInFull) {
  TARVIK_WHITE_BOX();
  Key key = StartedWithStates(kStates);
  ASSERT_EQ(STATUS_SUCCESS, sim::pnp::QueryStop(key.pdo));
  ASSERT_EQ(STATUS_SUCCESS, sim::pnp::Stop(key.pdo));
  EXPECT_EQ(STATUS_SUCCESS, sim::power::SetSystem(key.pdo, PowerSystemSleeping2));
  EXPECT_EQ(PowerDeviceD2, Record(key).DevicePower());
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
  {
    HeldRemoval removal(key, client, open.Handle);
    ASSERT_TRUE(removal.held());
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
  }
  client.Close(open.Handle);
}

INSTANTIATE_TEST_SUITE_P(Answers, PowerTest, ::testing::ValuesIn(kAnswerTimings), AnswerTimingName);

// Power requests in the order the lower drivers and the power manager see
// them: what the driver reports before a request goes down or after it has
// come back, and which requests never go down at all.

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
    sim::usb::BusFault f = sim::test::DevicePowerAnswer(status, true);
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
    EXPECT_EQ(d, Record(key).DevicePower());
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
  sim::usb::AddBusFault(key.pdo, sim::test::DevicePowerAnswer(p.status, p.pending, PowerDeviceD0));
  Mark();
  EXPECT_EQ(p.status, sim::power::SetDevice(key.pdo, PowerDeviceD0));
  const Log expected = p.pending
                           ? Log{"bus: power set device D0 (pending)",
                                 "bus completes: power set device D0", "PoSetPowerState device D0"}
                           : Log{"bus: power set device D0", "PoSetPowerState device D0"};
  EXPECT_EQ(expected, Since(key));
  EXPECT_EQ(PowerDeviceD3, Record(key).DevicePower());  // a power-up on its own leaves it
  EXPECT_EQ(1, Record(key).OutstandingIo());
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
  EXPECT_EQ(1, Record(key).OutstandingIo());
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
  ASSERT_EQ(PowerDeviceD3, Record(key).DevicePower());
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
  EXPECT_EQ(PowerDeviceD0, Record(key).DevicePower());
  EXPECT_EQ(
      (Log{"PoRequestPowerIrp set device D0", "bus: power set device D0",
           "PoSetPowerState device D0", "PoSetPowerState device D0", "bus: power set system 7"}),
      Since(key));
  // While a port reset is in progress, a query for 7 still goes down; one
  // for a sleep state does not.
  sim::Client client;
  auto open = client.OpenInterface(Link(GUID_KEY_INTERFACE_PRIMARY), 0);
  {
    HeldReset reset(key, client, open.Handle);
    ASSERT_TRUE(reset.held());
    Mark();
    EXPECT_EQ(STATUS_SUCCESS, sim::power::QuerySystem(
                                  key.pdo, static_cast<SYSTEM_POWER_STATE>(PowerSystemMaximum)));
    EXPECT_EQ(STATUS_DEVICE_BUSY, sim::power::QuerySystem(key.pdo, PowerSystemSleeping1));
    EXPECT_EQ(Log{"bus: power query system 7"}, Since(key));
  }
  client.Close(open.Handle);
}

// Power requests whose type or state lies outside its enumeration: the driver
// reads both as the 32-bit numbers the request carries (the host build runs
// under UBSan, which stops at an enumeration loaded with such a value).

ULONG Raw(const POWER_STATE& state) {
  ULONG raw;
  std::memcpy(&raw, &state, sizeof(raw));
  return raw;
}

struct RawCase {
  const char* name;
  UCHAR minor;
  ULONG type;
  ULONG state;
  bool powersDown;  // a device set-power to a state other than D0
};

class RawPowerValues : public DriverTest,
                       public ::testing::WithParamInterface<std::tuple<RawCase, AnswerTiming>> {};

TEST_P(RawPowerValues, AreHandledAsTheirRowSays) {
  TARVIK_WHITE_BOX();
  const auto& p = std::get<0>(GetParam());
  Key key = PlugAndStart();
  AnswerAsSaid(key.pdo, std::get<1>(GetParam()));
  const size_t requests = sim::power::Requests().size();
  const size_t reports = sim::power::Reports(key.fdo).size();
  const ULONG before = Record(key).DevicePower();
  // The bus completes what reaches it with success; nothing else does here.
  EXPECT_EQ(STATUS_SUCCESS, sim::power::SendRaw(key.pdo, p.minor, p.type, p.state).Status);
  EXPECT_EQ(requests, sim::power::Requests().size()) << "no device request is asked for";
  EXPECT_EQ(1, Record(key).OutstandingIo());
  auto after = sim::power::Reports(key.fdo);
  if (p.powersDown) {
    // Reported, stored and passed down as sent.
    ASSERT_EQ(reports + 1, after.size());
    EXPECT_EQ(p.state, Raw(after.back().State));
    EXPECT_EQ(p.state, Record(key).DevicePower());
  } else {
    EXPECT_EQ(reports, after.size());
    EXPECT_EQ(before, Record(key).DevicePower());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Values, RawPowerValues,
    ::testing::Combine(::testing::Values(
                           // Any other type value: passed down, whatever the state.
                           RawCase{"SetWithTypeTwo", IRP_MN_SET_POWER, 2, 4, false},
                           RawCase{"SetWithTypeAllOnes", IRP_MN_SET_POWER, 0xFFFFFFFF, 1, false},
                           RawCase{"QueryWithTypeNine", IRP_MN_QUERY_POWER, 9, 3, false},
                           // A device state outside the enumeration: a set powers down to it, a
                           // query goes down unread.
                           RawCase{"SetDeviceStateNine", IRP_MN_SET_POWER, 1, 9, true},
                           RawCase{"SetDeviceStateHigh", IRP_MN_SET_POWER, 1, 0x80000001, true},
                           RawCase{"QueryDeviceStateNine", IRP_MN_QUERY_POWER, 1, 9, false},
                           // A system state outside the enumeration is given no action.
                           RawCase{"SetSystemStateNine", IRP_MN_SET_POWER, 0, 9, false},
                           RawCase{"QuerySystemStateNine", IRP_MN_QUERY_POWER, 0, 9, false}),
                       ::testing::ValuesIn(kAnswerTimings)),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).name) + std::get<1>(info.param).name;
    });

// The bus may report any number as the device state of a sleep state: a
// system sleep stores it and asks for a device request to exactly that state.
class RawCapabilityValues : public DriverTest,
                            public ::testing::WithParamInterface<AnswerTiming> {};

TEST_P(RawCapabilityValues, ASleepStoresTheBussNumberAsReported) {
  TARVIK_WHITE_BOX();
  Key key = Plug();
  AnswerAsSaid(key.pdo, GetParam());
  const ULONG raw[POWER_SYSTEM_MAXIMUM] = {0, 1, 2, 3, 9, 4, 4};
  DEVICE_POWER_STATE states[POWER_SYSTEM_MAXIMUM];
  std::memcpy(states, raw, sizeof(states));
  sim::usb::SetDeviceStates(key.pdo, states);
  DEVICE_CAPABILITIES caps{};
  ASSERT_EQ(STATUS_SUCCESS, sim::pnp::QueryCapabilities(key.pdo, sizeof(caps), 1, &caps).Status);
  ASSERT_EQ(STATUS_SUCCESS, sim::pnp::Start(key.pdo));
  EXPECT_EQ(STATUS_SUCCESS, sim::power::SetSystem(key.pdo, PowerSystemSleeping3));
  EXPECT_EQ(9u, Record(key).DevicePower());
  auto requests = sim::power::Requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(9u, Raw(requests.back().State));
  EXPECT_EQ(9u, Raw(sim::power::Reports(key.fdo).back().State));
}

INSTANTIATE_TEST_SUITE_P(Answers, RawCapabilityValues, ::testing::ValuesIn(kAnswerTimings),
                         AnswerTimingName);

}  // namespace
}  // namespace tarvik::test
