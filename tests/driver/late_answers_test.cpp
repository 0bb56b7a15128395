// Every Plug and Play and power request the driver passes to the lower
// drivers, answered by them at once and later (pending, from another
// thread): the request ends the same, and a routine that waited for the
// answer returns that answer to the system, never the STATUS_PENDING its
// call to the lower driver returned.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/driver/answer_timing.h"
#include "tests/support/driver/driver_test.h"

namespace tarvik::test {
namespace {

POWER_STATE Device(DEVICE_POWER_STATE state) {
  POWER_STATE s;
  s.DeviceState = state;
  return s;
}

POWER_STATE System(SYSTEM_POWER_STATE state) {
  POWER_STATE s;
  s.SystemState = state;
  return s;
}

struct LateCase {
  const char* name;
  bool started;                        // the key is started first
  void (*before)(PDEVICE_OBJECT pdo);  // answered at once, before the request
  sim::Result (*send)(PDEVICE_OBJECT pdo);
  bool waits;             // the driver waits for the lower drivers' answer
  const char* lastAtBus;  // the request as the bus saw it, last
};

void Nothing(PDEVICE_OBJECT) {}
void QueryStop(PDEVICE_OBJECT pdo) {
  ASSERT_EQ(STATUS_SUCCESS, sim::pnp::QueryStop(pdo));
}
void QueryRemove(PDEVICE_OBJECT pdo) {
  ASSERT_EQ(STATUS_SUCCESS, sim::pnp::QueryRemove(pdo));
}
void ToD3(PDEVICE_OBJECT pdo) {
  ASSERT_EQ(STATUS_SUCCESS, sim::power::SetDevice(pdo, PowerDeviceD3));
}
void ToS3(PDEVICE_OBJECT pdo) {
  ASSERT_EQ(STATUS_SUCCESS, sim::power::SetSystem(pdo, PowerSystemSleeping3));
}

sim::Result Pnp(PDEVICE_OBJECT pdo, UCHAR minor) {
  return sim::pnp::Send(pdo, minor);
}

const LateCase kCases[] = {
    {"Start", false, Nothing, [](PDEVICE_OBJECT p) { return Pnp(p, IRP_MN_START_DEVICE); }, true,
     "pnp start"},
    {"Capabilities", false, Nothing,
     [](PDEVICE_OBJECT p) {
       DEVICE_CAPABILITIES caps{};
       return sim::pnp::QueryCapabilities(p, sizeof caps, 1, &caps);
     },
     true, "pnp capabilities"},
    {"QueryStop", true, Nothing, [](PDEVICE_OBJECT p) { return Pnp(p, IRP_MN_QUERY_STOP_DEVICE); },
     false, "pnp query-stop"},
    {"CancelStop", true, QueryStop,
     [](PDEVICE_OBJECT p) { return Pnp(p, IRP_MN_CANCEL_STOP_DEVICE); }, true, "pnp cancel-stop"},
    {"CancelStopWithoutQuery", true, Nothing,
     [](PDEVICE_OBJECT p) { return Pnp(p, IRP_MN_CANCEL_STOP_DEVICE); }, false, "pnp cancel-stop"},
    {"Stop", true, QueryStop, [](PDEVICE_OBJECT p) { return Pnp(p, IRP_MN_STOP_DEVICE); }, false,
     "pnp stop"},
    {"QueryRemove", true, Nothing,
     [](PDEVICE_OBJECT p) { return Pnp(p, IRP_MN_QUERY_REMOVE_DEVICE); }, false,
     "pnp query-remove"},
    {"CancelRemove", true, QueryRemove,
     [](PDEVICE_OBJECT p) { return Pnp(p, IRP_MN_CANCEL_REMOVE_DEVICE); }, true,
     "pnp cancel-remove"},
    {"CancelRemoveWithoutQuery", true, Nothing,
     [](PDEVICE_OBJECT p) { return Pnp(p, IRP_MN_CANCEL_REMOVE_DEVICE); }, false,
     "pnp cancel-remove"},
    {"SurpriseRemoval", true, Nothing,
     [](PDEVICE_OBJECT p) { return Pnp(p, IRP_MN_SURPRISE_REMOVAL); }, false,
     "pnp surprise-remove"},
    {"Remove", true, QueryRemove, sim::pnp::RemoveWithResult, false, "pnp remove"},
    {"DeviceD3", true, Nothing,
     [](PDEVICE_OBJECT p) {
       return sim::power::Send(p, IRP_MN_SET_POWER, DevicePowerState, Device(PowerDeviceD3));
     },
     false, "power set device D3"},
    {"DeviceD0", true, ToD3,
     [](PDEVICE_OBJECT p) {
       return sim::power::Send(p, IRP_MN_SET_POWER, DevicePowerState, Device(PowerDeviceD0));
     },
     true, "power set device D0"},
    {"SystemS3", true, Nothing,
     [](PDEVICE_OBJECT p) {
       return sim::power::Send(p, IRP_MN_SET_POWER, SystemPowerState, System(PowerSystemSleeping3));
     },
     false, "power set system S3"},
    {"SystemS0", true, ToS3,
     [](PDEVICE_OBJECT p) {
       return sim::power::Send(p, IRP_MN_SET_POWER, SystemPowerState, System(PowerSystemWorking));
     },
     false, "power set system S0"},
};

class LateAnswers : public DriverTest,
                    public ::testing::WithParamInterface<std::tuple<LateCase, AnswerTiming>> {};

TEST_P(LateAnswers, EndTheSameAndNeverComeBackPending) {
  const LateCase& c = std::get<0>(GetParam());
  const bool late = std::get<1>(GetParam()).late;
  Key key = c.started ? PlugAndStart() : Plug();
  c.before(key.pdo);
  sim::usb::ClearBusRequests(key.pdo);
  AnswerAsSaid(key.pdo, std::get<1>(GetParam()));
  const sim::Result r = c.send(key.pdo);
  sim::usb::SetAnswersLate(key.pdo, false);
  EXPECT_EQ(STATUS_SUCCESS, r.Status);
  if (c.waits) {
    EXPECT_EQ(r.Status, r.Returned)
        << "a routine that waited for the lower drivers returned " << std::hex << r.Returned;
  } else {
    // Passed on as it was: the lower drivers' own return.
    EXPECT_EQ(late ? STATUS_PENDING : r.Status, r.Returned);
  }
  const auto atBus = sim::usb::BusRequests(key.pdo);
  ASSERT_FALSE(atBus.empty());
  EXPECT_EQ(c.lastAtBus, atBus.back().Text());
  EXPECT_EQ(late, atBus.back().pended);
  EXPECT_EQ(STATUS_SUCCESS, atBus.back().status);
}

INSTANTIATE_TEST_SUITE_P(Requests, LateAnswers,
                         ::testing::Combine(::testing::ValuesIn(kCases),
                                            ::testing::ValuesIn(kAnswerTimings)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  std::get<1>(info.param).name;
                         });

}  // namespace
}  // namespace tarvik::test
