// Starts that go wrong below or beside the driver: a selection refused by
// its URB status only, an interface that cannot be enabled, a device
// descriptor that cannot be read.
#include <gtest/gtest.h>

#include "sim/kernel/faults.h"
#include "sim/kernel/pool.h"
#include "tests/support/driver/driver_test.h"

namespace tarvik::test {
namespace {

using sim::usb::Kind;

TEST_F(DriverTest, ASelectionRefusedByItsUrbStatusAloneFailsTheStart) {
  TARVIK_WHITE_BOX();
  Key key = Plug(sim::usb::PrimaryKey());
  // The request itself succeeds; only the URB says that the selection failed.
  sim::usb::AddFault(
      key.pdo, {Kind::SelectConfiguration, {0, 1}, STATUS_SUCCESS, USBD_STATUS_INVALID_PARAMETER});
  EXPECT_EQ(STATUS_UNSUCCESSFUL, sim::pnp::Start(key.pdo));
  EXPECT_EQ(NotStarted, key.ext->DevicePnpState);
  EXPECT_EQ(nullptr, key.ext->InterfaceInfo);
  EXPECT_EQ(nullptr, key.ext->ConfigurationHandle);
  EXPECT_EQ(nullptr, key.ext->InterruptPipe);
  EXPECT_TRUE(sim::interfaces::Enabled(GUID_KEY_INTERFACE_PRIMARY).empty());
}

struct EnableCase {
  const char* name;
  uint32_t skip;  // IoSetDeviceInterfaceState calls of the start that succeed before one fails
  bool primaryEnabled;
};

class FailedEnable : public DriverTest, public ::testing::WithParamInterface<EnableCase> {};

// The state already reads Started when an interface cannot be enabled; the
// start fails with that call's status and enables nothing after it.
TEST_P(FailedEnable, LeavesTheKeyStartedAndTheAuxInterfaceDisabled) {
  TARVIK_WHITE_BOX();
  Key key = Plug(sim::usb::PrimaryKey());
  sim::faults::FailWith(sim::faults::Kind::SetInterfaceState, {GetParam().skip},
                        STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, sim::pnp::Start(key.pdo));
  EXPECT_EQ(Started, key.ext->DevicePnpState);
  EXPECT_EQ(GetParam().primaryEnabled,
            !sim::interfaces::Enabled(GUID_KEY_INTERFACE_PRIMARY).empty());
  EXPECT_TRUE(sim::interfaces::Enabled(GUID_KEY_INTERFACE_AUX).empty());
  EXPECT_EQ(2u - static_cast<uint64_t>(GetParam().skip == 0),
            sim::faults::CallCount(sim::faults::Kind::SetInterfaceState));
}

INSTANTIATE_TEST_SUITE_P(Interfaces, FailedEnable,
                         ::testing::Values(EnableCase{"Primary", 0, false},
                                           EnableCase{"Aux", 1, true}),
                         [](const auto& info) { return info.param.name; });

TEST_F(DriverTest, AFailedDeviceDescriptorRequestFreesItsBuffer) {
  TARVIK_WHITE_BOX();
  Key key = Plug(sim::usb::PrimaryKey());
  sim::usb::AddFault(
      key.pdo, {Kind::GetDescriptor, {0, 1}, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE});
  EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, sim::pnp::Start(key.pdo));
  EXPECT_EQ(nullptr, key.ext->DeviceDescriptor);
  EXPECT_EQ(0u, sim::pool::LiveCount(sim::faults::Tag("kv50")));
  EXPECT_EQ(0u, sim::pool::LiveCount(sim::faults::Tag("kv40")));
  EXPECT_EQ(std::vector<Kind>{Kind::GetDescriptor}, WireKinds(key));
  EXPECT_EQ(NotStarted, key.ext->DevicePnpState);
}

}  // namespace
}  // namespace tarvik::test
