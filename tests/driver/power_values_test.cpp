// Power requests whose type or state lies outside its enumeration: the driver
// reads both as the 32-bit numbers the request carries (the host build runs
// under UBSan, which stops at an enumeration loaded with such a value).
#include <gtest/gtest.h>

#include <cstring>

#include "tests/support/driver/answer_timing.h"
#include "tests/support/driver/driver_test.h"

namespace tarvik::test {
namespace {

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
  const ULONG before = key.ext->DevicePower;
  // The bus completes what reaches it with success; nothing else does here.
  EXPECT_EQ(STATUS_SUCCESS, sim::power::SendRaw(key.pdo, p.minor, p.type, p.state).Status);
  EXPECT_EQ(requests, sim::power::Requests().size()) << "no device request is asked for";
  EXPECT_EQ(1, key.ext->OutstandingIo);
  auto after = sim::power::Reports(key.fdo);
  if (p.powersDown) {
    // Reported, stored and passed down as sent.
    ASSERT_EQ(reports + 1, after.size());
    EXPECT_EQ(p.state, Raw(after.back().State));
    EXPECT_EQ(p.state, key.ext->DevicePower);
  } else {
    EXPECT_EQ(reports, after.size());
    EXPECT_EQ(before, key.ext->DevicePower);
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
  EXPECT_EQ(9u, key.ext->DevicePower);
  auto requests = sim::power::Requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(9u, Raw(requests.back().State));
  EXPECT_EQ(9u, Raw(sim::power::Reports(key.fdo).back().State));
}

INSTANTIATE_TEST_SUITE_P(Answers, RawCapabilityValues, ::testing::ValuesIn(kAnswerTimings),
                         AnswerTimingName);

}  // namespace
}  // namespace tarvik::test
