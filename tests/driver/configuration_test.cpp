// Starting, stopping and restarting keys: identity, configuration, the
// kept copies and the interfaces of each family.
#include <gtest/gtest.h>

#include "driver/pool_tags.h"
#include "sim/kernel/faults.h"
#include "sim/kernel/pool.h"
#include "tests/support/driver/driver_test.h"
#include "tests/support/driver/record_view.h"
#include "tests/support/usb/bus_answers.h"

namespace tarvik::test {
namespace {

using sim::usb::Kind;

struct IdentityCase {
  const char* name;
  sim::usb::KeyConfig config;
  NTSTATUS status;
  DeviceFamily family;
  std::vector<const GUID*> enabled;
};

class Identity : public DriverTest, public ::testing::WithParamInterface<IdentityCase> {};

TEST_P(Identity, FamilyRevisionAndInterfaces) {
  TARVIK_WHITE_BOX();
  const auto& p = GetParam();
  Key key = Plug(p.config);
  EXPECT_EQ(p.status, sim::pnp::Start(key.pdo));
  EXPECT_EQ(p.family, Record(key).Family());
  EXPECT_EQ(p.config.bcdDevice, Record(key).DeviceRevision());
  EXPECT_EQ(NT_SUCCESS(p.status) ? Started : NotStarted, Record(key).DevicePnpState());
  size_t enabled = 0;
  for (const auto& i : sim::interfaces::All())
    enabled += i.Enabled;
  EXPECT_EQ(p.enabled.size(), enabled);
  for (const GUID* cls : p.enabled)
    EXPECT_EQ(1u, sim::interfaces::Enabled(*cls).size());
}

sim::usb::KeyConfig Identity7E21(uint16_t product) {
  auto c = sim::usb::SecondaryKey();
  c.productId = product;
  return c;
}

INSTANTIATE_TEST_SUITE_P(
    Table, Identity,
    ::testing::Values(IdentityCase{"Primary7E31",
                                   sim::usb::PrimaryKey(),
                                   STATUS_SUCCESS,
                                   FamilyPrimary,
                                   {&GUID_KEY_INTERFACE_PRIMARY, &GUID_KEY_INTERFACE_AUX}},
                      IdentityCase{"Primary7E21",
                                   Identity7E21(0x0014),
                                   STATUS_SUCCESS,
                                   FamilyPrimary,
                                   {&GUID_KEY_INTERFACE_PRIMARY, &GUID_KEY_INTERFACE_AUX}},
                      IdentityCase{"Secondary",
                                   Identity7E21(0x0013),
                                   STATUS_SUCCESS,
                                   FamilySecondary,
                                   {&GUID_KEY_INTERFACE_SECONDARY}},
                      IdentityCase{"Unrecognised",
                                   Identity7E21(0x0015),
                                   STATUS_DEVICE_DATA_ERROR,
                                   FamilyUnrecognised,
                                   {}}),
    [](const auto& info) { return info.param.name; });

struct LengthCase {
  const char* name;
  uint16_t padding;
  std::vector<ULONG> requests;  // sizes asked for the configuration descriptor
};

class ConfigurationLength : public DriverTest, public ::testing::WithParamInterface<LengthCase> {};

TEST_P(ConfigurationLength, ReadWithAsManyRequestsAsItTakes) {
  auto config = sim::usb::SecondaryKey();
  config.vendorPadding = GetParam().padding;
  Key key = PlugAndStart(config);
  std::vector<ULONG> asked;
  for (const auto& r : Wire(key))
    if (r.kind == Kind::GetDescriptor && r.descriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE)
      asked.push_back(r.length);
  EXPECT_EQ(GetParam().requests, asked);
  // The driver keeps the whole descriptor: a client is given all of it.
  const ULONG total = 25u + GetParam().padding;
  sim::Client client;
  auto open = client.OpenInterface(Link(ClientInterfaceClass()), FILE_SHARE_READ);
  ASSERT_EQ(STATUS_SUCCESS, open.Status);
  auto io = client.DeviceIoControl(open.Handle, IOCTL_KEY_GET_CONFIG_DESCRIPTOR, {}, 1024);
  client.Close(open.Handle);
  EXPECT_EQ(STATUS_SUCCESS, io.Status);
  ASSERT_EQ(total, io.Information);
  EXPECT_EQ(total, static_cast<ULONG>(io.Output[2] | io.Output[3] << 8));
}

INSTANTIATE_TEST_SUITE_P(Sizes, ConfigurationLength,
                         ::testing::Values(LengthCase{"Small", 0, {521}},
                                           LengthCase{"Exactly521", 496, {521}},
                                           LengthCase{"Of600", 575, {521, 600}}),
                         [](const auto& info) { return info.param.name; });

TEST_F(DriverTest, InterfaceWithoutPipesStartsWithoutAPipe) {
  TARVIK_WHITE_BOX();
  auto config = sim::usb::SecondaryKey();
  config.endpointCount = 0;
  Key key = PlugAndStart(config);
  EXPECT_EQ(nullptr, Record(key).InterruptPipe());
  ASSERT_NE(nullptr, Record(key).InterfaceInfo());
  EXPECT_EQ(0u, Record(key).InterfaceInfo()->NumberOfPipes);
}

TEST_F(DriverTest, StopAndRestartConfigureAgain) {
  TARVIK_WHITE_BOX();
  Key key = PlugAndStart();
  EXPECT_NE(nullptr, Record(key).InterruptPipe());
  ASSERT_EQ(STATUS_SUCCESS, sim::pnp::QueryStop(key.pdo));
  ClearWire(key);
  ASSERT_EQ(STATUS_SUCCESS, sim::pnp::Stop(key.pdo));
  EXPECT_EQ((std::vector<Kind>{Kind::Unconfigure}), WireKinds(key));
  EXPECT_EQ(Stopped, Record(key).DevicePnpState());
  EXPECT_EQ(nullptr, Record(key).DeviceDescriptor());
  EXPECT_EQ(nullptr, Record(key).ConfigurationDescriptor());
  EXPECT_EQ(nullptr, Record(key).InterfaceInfo());
  EXPECT_EQ(nullptr, Record(key).InterruptPipe());
  // The interfaces stay enabled across the stop.
  EXPECT_EQ(1u, sim::interfaces::Enabled(GUID_KEY_INTERFACE_PRIMARY).size());
  ClearWire(key);
  EXPECT_TRUE(NT_SUCCESS(sim::pnp::Start(key.pdo)));
  EXPECT_EQ((std::vector<Kind>{Kind::GetDescriptor, Kind::GetDescriptor, Kind::SelectConfiguration,
                               Kind::VendorOut, Kind::Interrupt, Kind::VendorIn}),
            WireKinds(key));
  EXPECT_EQ(Started, Record(key).DevicePnpState());
  EXPECT_EQ(1u, sim::interfaces::Enabled(GUID_KEY_INTERFACE_PRIMARY).size());
  EXPECT_EQ(1u, sim::interfaces::Enabled(GUID_KEY_INTERFACE_AUX).size());
}

// A pool failure at each allocation of the start: the start fails (or, for
// the interface copy, goes on without it) and nothing leaks once the key is gone.
struct StartPoolCase {
  const char* name;
  const char* tag;
  NTSTATUS status;
};

class StartPool : public DriverTest, public ::testing::WithParamInterface<StartPoolCase> {};

TEST_P(StartPool, FailsCleanly) {
  TARVIK_WHITE_BOX();
  const auto& p = GetParam();
  Key key = Plug(sim::usb::PrimaryKey());
  char tag[5] = {p.tag[0], p.tag[1], p.tag[2], p.tag[3], 0};
  sim::faults::Fail(sim::faults::Kind::PoolAllocation, {}, sim::faults::Tag(tag));
  EXPECT_EQ(p.status, sim::pnp::Start(key.pdo));
  EXPECT_EQ(NT_SUCCESS(p.status) ? Started : NotStarted, Record(key).DevicePnpState());
  // A second start without a stop between frees what the first one kept.
  sim::faults::ClearRules();
  EXPECT_TRUE(NT_SUCCESS(sim::pnp::Start(key.pdo)));
  Unplug(key);
  EXPECT_EQ(0u, sim::pool::LiveCount());
}

INSTANTIATE_TEST_SUITE_P(
    Allocations, StartPool,
    ::testing::Values(StartPoolCase{"DescriptorUrb", "kv40", STATUS_INSUFFICIENT_RESOURCES},
                      StartPoolCase{"Descriptor", "kv50", STATUS_INSUFFICIENT_RESOURCES},
                      StartPoolCase{"ConfigurationUrb", "kv20", STATUS_INSUFFICIENT_RESOURCES},
                      StartPoolCase{"Configuration", "kv30", STATUS_INSUFFICIENT_RESOURCES},
                      StartPoolCase{"SelectUrb", "USBD", STATUS_INSUFFICIENT_RESOURCES},
                      StartPoolCase{"InterfaceCopy", "kv10", STATUS_SUCCESS},
                      StartPoolCase{"InfoBlockRead", "kv31", STATUS_INSUFFICIENT_RESOURCES}),
    [](const auto& info) { return info.param.name; });

TEST_F(DriverTest, FailedSelectionFailsTheStart) {
  TARVIK_WHITE_BOX();
  Key key = Plug(sim::usb::PrimaryKey());
  sim::usb::AddFault(
      key.pdo,
      {Kind::SelectConfiguration, {0, 1}, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER});
  EXPECT_EQ(STATUS_UNSUCCESSFUL, sim::pnp::Start(key.pdo));
  EXPECT_EQ(nullptr, Record(key).InterfaceInfo());
  EXPECT_TRUE(sim::interfaces::Enabled(GUID_KEY_INTERFACE_PRIMARY).empty());
}

std::vector<std::string> AtBus(const Key& key) {
  std::vector<std::string> texts;
  for (const auto& r : sim::usb::BusRequests(key.pdo))
    texts.push_back(r.Text());
  return texts;
}

ULONG LiveCopies() {
  return sim::pool::LiveCount(sim::faults::Tag("kv30")) +
         sim::pool::LiveCount(sim::faults::Tag("kv50")) +
         sim::pool::LiveCount(sim::faults::Tag("kv10"));
}

// A stop may not fail, so the query-stop sets the unconfigure request aside;
// without pool for it the query-stop is refused instead and nothing changes.
TEST_F(DriverTest, AQueryStopWhoseUnconfigureCannotBeBuiltIsRefused) {
  TARVIK_WHITE_BOX();
  Key key = PlugAndStart();
  sim::usb::ClearBusRequests(key.pdo);
  sim::faults::Fail(sim::faults::Kind::PoolAllocation, {}, sim::faults::Tag("kv60"));
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, sim::pnp::QueryStop(key.pdo));
  EXPECT_EQ(Started, Record(key).DevicePnpState());
  EXPECT_EQ(1, Record(key).OutstandingIo());
  EXPECT_EQ(std::vector<std::string>{}, AtBus(key));
  // The cancel that follows a refused query goes down.
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::CancelStop(key.pdo));
  EXPECT_EQ(std::vector<std::string>{"pnp cancel-stop"}, AtBus(key));
  // With pool, query-stop and stop go through and the set-aside request is used.
  ASSERT_EQ(STATUS_SUCCESS, sim::pnp::QueryStop(key.pdo));
  EXPECT_EQ(1u, sim::pool::LiveCount(sim::faults::Tag("kv60")));
  sim::faults::FailEvery(sim::faults::Kind::PoolAllocation, sim::faults::Tag("kv60"));
  ClearWire(key);
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Stop(key.pdo));
  sim::faults::ClearRules();
  EXPECT_EQ((std::vector<Kind>{Kind::Unconfigure}), WireKinds(key));
  EXPECT_EQ(0u, sim::pool::LiveCount(sim::faults::Tag("kv60")));
  EXPECT_EQ(0u, LiveCopies());
}

struct StopCase {
  const char* name;
  bool unconfigureFails;  // the key stalls the unconfigure request
  bool noPool;            // a stop without its query finds no pool for the request
  bool pending;           // the bus answers the stop later
};

class StopAlwaysSucceeds : public DriverTest, public ::testing::WithParamInterface<StopCase> {};

// The stop goes down with success whatever became of its unconfigure request.
TEST_P(StopAlwaysSucceeds, AndGoesDown) {
  TARVIK_WHITE_BOX();
  const auto& p = GetParam();
  Key key = PlugAndStart();
  if (!p.noPool) {
    ASSERT_EQ(STATUS_SUCCESS, sim::pnp::QueryStop(key.pdo));
  }
  if (p.unconfigureFails)
    sim::usb::AddFault(key.pdo,
                       {Kind::Unconfigure, {0, 1}, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID});
  if (p.noPool)
    sim::faults::Fail(sim::faults::Kind::PoolAllocation, {}, sim::faults::Tag("kv60"));
  if (p.pending) {
    sim::usb::AddBusFault(
        key.pdo, sim::test::BusAnswer(IRP_MJ_PNP, IRP_MN_STOP_DEVICE, STATUS_SUCCESS, true));
  }
  sim::usb::ClearBusRequests(key.pdo);
  ClearWire(key);
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Stop(key.pdo));
  EXPECT_EQ(std::vector<std::string>{"pnp stop"}, AtBus(key));
  EXPECT_EQ(Stopped, Record(key).DevicePnpState());
  EXPECT_EQ(nullptr, Record(key).ConfigurationDescriptor());
  EXPECT_EQ(0u, LiveCopies());
  EXPECT_EQ(p.noPool ? std::vector<Kind>{} : std::vector<Kind>{Kind::Unconfigure}, WireKinds(key));
  EXPECT_EQ(1, Record(key).OutstandingIo());
}

INSTANTIATE_TEST_SUITE_P(Stops, StopAlwaysSucceeds,
                         ::testing::Values(StopCase{"Plain", false, false, false},
                                           StopCase{"PlainAnsweredLater", false, false, true},
                                           StopCase{"UnconfigureStalled", true, false, false},
                                           StopCase{"UnconfigureStalledAnsweredLater", true, false,
                                                    true},
                                           StopCase{"NoPoolWithoutQuery", false, true, false}),
                         [](const auto& info) { return info.param.name; });

TEST_F(DriverTest, PipesMarkedOpenAreAbortedAtSurpriseRemoval) {
  TARVIK_WHITE_BOX();
  for (ULONG flags : {0u, 1u}) {
    auto config = sim::usb::SecondaryKey();
    config.pipeFlags = flags;
    Key key = PlugAndStart(config);
    ClearWire(key);
    ASSERT_EQ(STATUS_SUCCESS, sim::pnp::SurpriseRemove(key.pdo));
    std::vector<Kind> expected;
    if (flags)
      expected.push_back(Kind::AbortPipe);
    EXPECT_EQ(expected, WireKinds(key)) << flags;
    EXPECT_EQ(0u, Record(key).InterfaceInfo()->Pipes[0].PipeFlags);
    EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Remove(key.pdo));
  }
}

// Found by the descriptor fuzzer: a key that returns no configuration
// descriptor at all.
TEST_F(DriverTest, KeyReturningEmptyDescriptors) {
  TARVIK_WHITE_BOX();
  Key key = Plug(sim::usb::PrimaryKey());
  const std::vector<UCHAR> device = {0x12, 1,    0,    2, 0xFF, 0, 0, 8, 0x31,
                                     0x7E, 0x3C, 0x5A, 0, 4,    1, 2, 3, 1};
  sim::usb::SetDescriptors(key.pdo, device, {});
  EXPECT_FALSE(NT_SUCCESS(sim::pnp::Start(key.pdo)));
  EXPECT_EQ(NotStarted, Record(key).DevicePnpState());
  sim::usb::SetDescriptors(key.pdo, {}, {});
  EXPECT_FALSE(NT_SUCCESS(sim::pnp::Start(key.pdo)));
}

// Starts that go wrong below or beside the driver: a selection refused by
// its URB status only, an interface that cannot be enabled, a device
// descriptor that cannot be read.

TEST_F(DriverTest, ASelectionRefusedByItsUrbStatusAloneFailsTheStart) {
  TARVIK_WHITE_BOX();
  Key key = Plug(sim::usb::PrimaryKey());
  // The request itself succeeds; only the URB says that the selection failed.
  sim::usb::AddFault(
      key.pdo, {Kind::SelectConfiguration, {0, 1}, STATUS_SUCCESS, USBD_STATUS_INVALID_PARAMETER});
  EXPECT_EQ(STATUS_UNSUCCESSFUL, sim::pnp::Start(key.pdo));
  EXPECT_EQ(NotStarted, Record(key).DevicePnpState());
  EXPECT_EQ(nullptr, Record(key).InterfaceInfo());
  EXPECT_EQ(nullptr, Record(key).ConfigurationHandle());
  EXPECT_EQ(nullptr, Record(key).InterruptPipe());
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
  EXPECT_EQ(Started, Record(key).DevicePnpState());
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
  EXPECT_EQ(nullptr, Record(key).DeviceDescriptor());
  EXPECT_EQ(0u, sim::pool::LiveCount(sim::faults::Tag("kv50")));
  EXPECT_EQ(0u, sim::pool::LiveCount(sim::faults::Tag("kv40")));
  EXPECT_EQ(std::vector<Kind>{Kind::GetDescriptor}, WireKinds(key));
  EXPECT_EQ(NotStarted, Record(key).DevicePnpState());
}

}  // namespace
}  // namespace tarvik::test
