// What Plug and Play hears back from the driver where the answer is not a
// plain success or failure: AddDevice's status when the last registration
// succeeds with an informational one, a restart whose interfaces are still
// enabled, and the capabilities structure when the lower drivers fail it.
#include <gtest/gtest.h>

#include <cstring>

#include "sim/kernel/faults.h"
#include "tests/support/driver/answer_timing.h"
#include "tests/support/driver/driver_test.h"

namespace tarvik::test {
namespace {

class PnpResults : public DriverTest {};

// The third registration's status is AddDevice's, also when it is a success
// other than STATUS_SUCCESS.
TEST_F(PnpResults, AddDeviceReturnsTheThirdRegistrationsSuccess) {
  PDEVICE_OBJECT pdo = sim::usb::Plug(sim::usb::PrimaryKey());
  sim::faults::FailWith(sim::faults::Kind::RegisterInterface, {2}, STATUS_OBJECT_NAME_EXISTS);
  EXPECT_EQ(STATUS_OBJECT_NAME_EXISTS, sim::pnp::AddDevice(driver_, pdo));
  ASSERT_NE(nullptr, sim::pnp::Top(pdo));
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Start(pdo));
  EXPECT_FALSE(Link(GUID_KEY_INTERFACE_AUX).empty());
}

// The tests below run with the lower drivers answering at once and later.
class PnpAnswered : public DriverTest, public ::testing::WithParamInterface<AnswerTiming> {};

// A stop leaves the interfaces enabled, so the restart's enabling of the
// auxiliary interface answers that it already is: the start reports that
// informational status, the key is started and its interfaces stay enabled.
TEST_P(PnpAnswered, ARestartReportsTheAuxInterfaceAsAlreadyEnabled) {
  TARVIK_WHITE_BOX();
  Key key = PlugAndStart();
  AnswerAsSaid(key.pdo, GetParam());
  ASSERT_EQ(STATUS_SUCCESS, sim::pnp::QueryStop(key.pdo));
  ASSERT_EQ(STATUS_SUCCESS, sim::pnp::Stop(key.pdo));
  EXPECT_EQ(static_cast<NTSTATUS>(0x40000000), sim::pnp::Start(key.pdo));
  EXPECT_EQ(Started, key.ext->DevicePnpState);
  EXPECT_FALSE(Link(GUID_KEY_INTERFACE_PRIMARY).empty());
  EXPECT_FALSE(Link(GUID_KEY_INTERFACE_AUX).empty());
}

// The bit is set before the request goes down, so the caller's structure
// carries it also when the lower drivers fail the request; the kept copy is
// not written.
TEST_P(PnpAnswered, SurpriseRemovalOKIsSetOnTheWayDown) {
  TARVIK_WHITE_BOX();
  Key key = Plug();
  sim::usb::BusFault fault;
  fault.major = IRP_MJ_PNP;
  fault.minor = IRP_MN_QUERY_CAPABILITIES;
  fault.status = STATUS_IO_DEVICE_ERROR;
  fault.pending = GetParam().late;
  sim::usb::AddBusFault(key.pdo, fault);
  DEVICE_CAPABILITIES caps{};
  EXPECT_EQ(STATUS_IO_DEVICE_ERROR, sim::pnp::QueryCapabilities(key.pdo, 64, 1, &caps).Status);
  EXPECT_TRUE(caps.SurpriseRemovalOK);
  EXPECT_FALSE(key.ext->DeviceCapabilities.SurpriseRemovalOK);
  EXPECT_EQ(0, key.ext->DeviceCapabilities.Size);
}

INSTANTIATE_TEST_SUITE_P(Answers, PnpAnswered, ::testing::ValuesIn(kAnswerTimings),
                         AnswerTimingName);

}  // namespace
}  // namespace tarvik::test
