// Plug and Play requests the driver has nothing to add to go to the bus
// driver as the Plug and Play manager sent them (status and information
// untouched), and the bus driver's answer comes back unchanged, whether the
// bus answers at once or later. Those it has handled go down with success.
#include <gtest/gtest.h>

#include <vector>

#include "sim/usb/bus_requests.h"
#include "tests/support/driver/driver_test.h"

namespace tarvik::test {
namespace {

struct Minor {
  const char* name;
  UCHAR minor;
  ULONG parameter;  // the relation, ID or text type where the request has one
};

const Minor kMinors[] = {
    {"BusRelations", IRP_MN_QUERY_DEVICE_RELATIONS, BusRelations},
    {"RemovalRelations", IRP_MN_QUERY_DEVICE_RELATIONS, RemovalRelations},
    {"EjectionRelations", IRP_MN_QUERY_DEVICE_RELATIONS, EjectionRelations},
    {"TargetDeviceRelation", IRP_MN_QUERY_DEVICE_RELATIONS, TargetDeviceRelation},
    {"QueryInterface", IRP_MN_QUERY_INTERFACE, 0},
    {"QueryResources", IRP_MN_QUERY_RESOURCES, 0},
    {"QueryResourceRequirements", IRP_MN_QUERY_RESOURCE_REQUIREMENTS, 0},
    {"QueryDeviceTextDescription", IRP_MN_QUERY_DEVICE_TEXT, 0},
    {"QueryDeviceTextLocation", IRP_MN_QUERY_DEVICE_TEXT, 1},
    {"FilterResourceRequirements", IRP_MN_FILTER_RESOURCE_REQUIREMENTS, 0},
    {"ReadConfig", IRP_MN_READ_CONFIG, 0},
    {"WriteConfig", IRP_MN_WRITE_CONFIG, 0},
    {"Eject", IRP_MN_EJECT, 0},
    {"SetLock", IRP_MN_SET_LOCK, 0},
    {"DeviceId", IRP_MN_QUERY_ID, 0},
    {"HardwareIds", IRP_MN_QUERY_ID, 1},
    {"InstanceId", IRP_MN_QUERY_ID, 3},
    {"QueryPnpDeviceState", IRP_MN_QUERY_PNP_DEVICE_STATE, 0},
    {"QueryBusInformation", IRP_MN_QUERY_BUS_INFORMATION, 0},
    {"DeviceUsageNotification", IRP_MN_DEVICE_USAGE_NOTIFICATION, 0},
    {"QueryLegacyBusInformation", 0x18, 0},
    {"DeviceEnumerated", IRP_MN_DEVICE_ENUMERATED, 0},
    {"UnknownMinor", 0x7F, 0},
};

// The first parameter of every one of these requests is a 32-bit type.
void FillType(PIO_STACK_LOCATION stack, void* context) {
  stack->Parameters.QueryDeviceRelations.Type =
      static_cast<DEVICE_RELATION_TYPE>(*static_cast<ULONG*>(context));
}

class UnhandledPnp : public DriverTest,
                     public ::testing::WithParamInterface<std::tuple<Minor, bool>> {};

TEST_P(UnhandledPnp, ReachesTheBusUntouchedAndComesBackAsTheBusAnswered) {
  const Minor m = std::get<0>(GetParam());
  const bool late = std::get<1>(GetParam());
  Key key = PlugAndStart();
  sim::usb::ClearBusRequests(key.pdo);
  // The bus's answer: its own (completed as it came) at once, or a planned
  // one later from another thread.
  const NTSTATUS busAnswer = late ? STATUS_INVALID_DEVICE_REQUEST : STATUS_NOT_SUPPORTED;
  if (late) {
    sim::usb::BusFault fault;
    fault.major = IRP_MJ_PNP;
    fault.minor = m.minor;
    fault.status = busAnswer;
    fault.pending = true;
    sim::usb::AddBusFault(key.pdo, fault);
  }
  ULONG parameter = m.parameter;
  const sim::Result result = sim::pnp::Send(key.pdo, m.minor, FillType, &parameter);
  EXPECT_EQ(busAnswer, result.Status);
  EXPECT_EQ(0u, result.Information);
  const auto seen = sim::usb::BusRequests(key.pdo);
  ASSERT_EQ(1u, seen.size());
  EXPECT_EQ(IRP_MJ_PNP, seen[0].major);
  EXPECT_EQ(m.minor, seen[0].minor);
  EXPECT_EQ(STATUS_NOT_SUPPORTED, seen[0].arrivedStatus);
  EXPECT_EQ(0u, seen[0].arrivedInformation);
  EXPECT_EQ(busAnswer, seen[0].status);
  EXPECT_EQ(late, seen[0].pended);
}

INSTANTIATE_TEST_SUITE_P(Minors, UnhandledPnp,
                         ::testing::Combine(::testing::ValuesIn(kMinors), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<std::tuple<Minor, bool>>& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param) ? "Late" : "AtOnce");
                         });

// Requests the driver has done its part of go to the bus driver with
// success in place of the Plug and Play manager's STATUS_NOT_SUPPORTED: the
// IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_STOP_DEVICE and IRP_MN_SURPRISE_REMOVAL
// pages have each driver that handles the request set Irp->IoStatus.Status
// to STATUS_SUCCESS before it passes it down.
struct Handled {
  const char* name;
  std::vector<UCHAR> before;  // sent first, each answered with success
  UCHAR minor;
};

const Handled kHandled[] = {
    {"QueryStop", {}, IRP_MN_QUERY_STOP_DEVICE},
    {"QueryRemove", {}, IRP_MN_QUERY_REMOVE_DEVICE},
    {"Stop", {IRP_MN_QUERY_STOP_DEVICE}, IRP_MN_STOP_DEVICE},
    {"CancelStopWithoutAQuery", {}, IRP_MN_CANCEL_STOP_DEVICE},
    {"CancelRemoveWithoutAQuery", {}, IRP_MN_CANCEL_REMOVE_DEVICE},
    {"SurpriseRemoval", {}, IRP_MN_SURPRISE_REMOVAL},
};

class HandledPnp : public DriverTest, public ::testing::WithParamInterface<Handled> {};

TEST_P(HandledPnp, ReachesTheBusWithSuccess) {
  const Handled& h = GetParam();
  Key key = PlugAndStart();
  for (UCHAR minor : h.before) {
    ASSERT_EQ(STATUS_SUCCESS, sim::pnp::Send(key.pdo, minor).Status);
  }
  sim::usb::ClearBusRequests(key.pdo);
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Send(key.pdo, h.minor).Status);
  const auto seen = sim::usb::BusRequests(key.pdo);
  ASSERT_EQ(1u, seen.size());
  EXPECT_EQ(h.minor, seen[0].minor);
  EXPECT_EQ(STATUS_SUCCESS, seen[0].arrivedStatus);
  EXPECT_EQ(0u, seen[0].arrivedInformation);
  if (h.minor == IRP_MN_SURPRISE_REMOVAL) {
    EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Remove(key.pdo));
  }
}

INSTANTIATE_TEST_SUITE_P(Minors, HandledPnp, ::testing::ValuesIn(kHandled),
                         [](const ::testing::TestParamInfo<Handled>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace tarvik::test
