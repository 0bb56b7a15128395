// Driver entry, AddDevice with its undo table, the device record and its
// operations, and system control.
#include <gtest/gtest.h>

#include <cstring>

#include "driver/driver.h"
#include "driver/ioctl.h"
#include "driver/usb_requests.h"
#include "sim/kernel/faults.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/version.h"
#include "tests/support/driver/built_request.h"
#include "tests/support/driver/driver_test.h"
#include "tests/support/driver/record_view.h"
#include "tests/support/usb/bus_answers.h"

namespace tarvik::test {
namespace {

using sim::faults::Kind;
using sim::faults::Tag;
using Bytes = std::vector<UCHAR>;

struct SpineTest : DriverTest {};

TEST_F(SpineTest, DispatchTableAndEntry) {
  TARVIK_WHITE_BOX();
  const struct {
    UCHAR major;
    PDRIVER_DISPATCH routine;
  } served[] = {{IRP_MJ_POWER, DispatchPower},
                {IRP_MJ_SYSTEM_CONTROL, DispatchSystemControl},
                {IRP_MJ_PNP, DispatchPnp}};
  for (const auto& slot : served)
    EXPECT_EQ(slot.routine, driver_->MajorFunction[slot.major]) << int(slot.major);
  EXPECT_EQ(AddDevice, driver_->DriverExtension->AddDevice);
  EXPECT_EQ(Unload, driver_->DriverUnload);
  // Cleanup and internal device control are left to the I/O manager's default.
  PDRIVER_DISPATCH fallback = driver_->MajorFunction[IRP_MJ_QUERY_INFORMATION];
  EXPECT_EQ(fallback, driver_->MajorFunction[IRP_MJ_CLEANUP]);
  EXPECT_EQ(fallback, driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL]);
}

TEST_F(SpineTest, FreshDeviceRecord) {
  TARVIK_WHITE_BOX();
  Key key = Plug();
  ASSERT_NE(nullptr, key.ext);
  const Record e(key);
  EXPECT_EQ(key.pdo, e.PhysicalDeviceObject());
  EXPECT_EQ(key.pdo, e.LowerDeviceObject());
  EXPECT_EQ(1, e.OutstandingIo());
  EXPECT_EQ(1, e.StopEventState());
  EXPECT_EQ(0, e.RemoveEventState());
  EXPECT_EQ(NotStarted, e.DevicePnpState());
  EXPECT_EQ(NotStarted, e.PreviousPnpState());
  EXPECT_EQ(PowerDeviceD0, e.DevicePower());
  EXPECT_EQ(FamilyPrimary, e.Family());
  EXPECT_EQ(nullptr, e.DeviceDescriptor());
  EXPECT_EQ(nullptr, e.ConfigurationDescriptor());
  EXPECT_EQ(nullptr, e.InterfaceInfo());
  EXPECT_EQ(nullptr, e.InterruptPipe());
  EXPECT_EQ(nullptr, e.NotifyThread());
  EXPECT_EQ(0u, e.InfoBlockLength());
  EXPECT_EQ(0u, e.OpenHandleCount() | e.ShareAccessMask() | e.OpenPipeCount() | e.DeviceRevision());
  const DEVICE_CAPABILITIES zero{};
  EXPECT_EQ(0, std::memcmp(&zero, &e.DeviceCapabilities(), sizeof(zero)));
  EXPECT_EQ(static_cast<ULONG>(DO_BUFFERED_IO | DO_POWER_PAGABLE),
            key.fdo->Flags & (DO_BUFFERED_IO | DO_POWER_PAGABLE | DO_DEVICE_INITIALIZING));
  EXPECT_EQ(static_cast<DEVICE_TYPE>(FILE_DEVICE_UNKNOWN), key.fdo->DeviceType);
  // Three interfaces registered on the PDO, none enabled before the start.
  int registered = 0;
  for (const auto& i : sim::interfaces::All()) {
    registered += i.Pdo == key.pdo;
    EXPECT_FALSE(i.Enabled);
  }
  EXPECT_EQ(3, registered);
  EXPECT_EQ(sim::interfaces::ToString(e.InterfaceNamePrimary()),
            sim::interfaces::All()[0].SymbolicLink);
  // The device's power state was reported to the power manager.
  auto reports = sim::power::Reports(key.fdo);
  ASSERT_EQ(1u, reports.size());
  EXPECT_EQ(DevicePowerState, reports[0].Type);
  EXPECT_EQ(PowerDeviceD0, reports[0].State.DeviceState);
}

struct UndoCase {
  const char* name;
  Kind kind;
  uint32_t skip;  // calls of the kind that succeed before the one that fails
  NTSTATUS expected;
  size_t namesFreed;  // interface names obtained and given back
};

struct AddDeviceUndo : DriverTest, ::testing::WithParamInterface<UndoCase> {};

TEST_P(AddDeviceUndo, LeavesNothingBehind) {
  const auto& p = GetParam();
  PDEVICE_OBJECT pdo = sim::usb::Plug(sim::usb::PrimaryKey());
  sim::faults::Fail(p.kind, {p.skip});
  EXPECT_EQ(p.expected, sim::pnp::AddDevice(driver_, pdo));
  EXPECT_EQ(nullptr, driver_->DeviceObject);  // the device object is gone
  EXPECT_EQ(0u, sim::pool::LiveCount(sim::pool::kInterfaceNameTag));
  size_t registrations = 0;
  for (const auto& point : sim::faults::Recorded())
    registrations += point.kind == Kind::RegisterInterface;
  EXPECT_EQ(p.namesFreed + (p.kind == Kind::RegisterInterface ? 1 : 0), registrations);
  EXPECT_TRUE(sim::usb::IsPlugged(pdo));
}

INSTANTIATE_TEST_SUITE_P(
    Steps, AddDeviceUndo,
    ::testing::Values(
        UndoCase{"CreateDevice", Kind::CreateDevice, 0, STATUS_INSUFFICIENT_RESOURCES, 0},
        UndoCase{"FirstInterface", Kind::RegisterInterface, 0, STATUS_INSUFFICIENT_RESOURCES, 0},
        UndoCase{"SecondInterface", Kind::RegisterInterface, 1, STATUS_INSUFFICIENT_RESOURCES, 1},
        UndoCase{"ThirdInterface", Kind::RegisterInterface, 2, STATUS_INSUFFICIENT_RESOURCES, 2},
        UndoCase{"Attach", Kind::AttachDevice, 0, STATUS_NO_SUCH_DEVICE, 3}),
    [](const auto& info) { return info.param.name; });

TEST_F(SpineTest, IoCountAndItsEvents) {
  TARVIK_WHITE_BOX();
  Key key = Plug();
  DeviceExtension* e = key.ext;
  struct Step {
    bool increment;
    LONG result;
    LONG stop;    // StopEvent afterwards
    LONG remove;  // RemoveEvent afterwards
  };
  // StopEvent is set by hand before the steps that must leave it alone.
  const Step steps[] = {{true, 2, 0, 0},  {true, 3, 0, 0}, {false, 2, 0, 0},
                        {false, 1, 1, 0}, {true, 2, 0, 0}, {false, 1, 1, 0}};
  for (const Step& s : steps) {
    EXPECT_EQ(s.result, s.increment ? IoIncrement(e) : IoDecrement(e));
    EXPECT_EQ(s.stop, Record(key).StopEventState()) << s.result;
    EXPECT_EQ(s.remove, Record(key).RemoveEventState()) << s.result;
  }
  // From 3 to 2 leaves a set StopEvent alone.
  IoIncrement(e);
  IoIncrement(e);
  KeSetEvent(&e->StopEvent, IO_NO_INCREMENT, FALSE);
  EXPECT_EQ(2, IoDecrement(e));
  EXPECT_EQ(1, Record(key).StopEventState());
  EXPECT_EQ(1, IoDecrement(e));
  // From 1 to 0: RemoveEvent set, StopEvent untouched.
  KeClearEvent(&e->StopEvent);
  EXPECT_EQ(0, IoDecrement(e));
  EXPECT_EQ(1, Record(key).RemoveEventState());
  EXPECT_EQ(0, Record(key).StopEventState());
  IoIncrement(e);  // give the device its own reference back for the removal
  KeClearEvent(&e->RemoveEvent);
}

TEST_F(SpineTest, StateSaveAndRestore) {
  TARVIK_WHITE_BOX();
  Key key = Plug();
  DeviceExtension* e = key.ext;
  SetNewPnpState(e, Started);
  SetNewPnpState(e, PendingStop);
  EXPECT_EQ(Started, Record(key).PreviousPnpState());
  RestorePnpState(e);
  EXPECT_EQ(Started, Record(key).DevicePnpState());
  RestorePnpState(e);
  EXPECT_EQ(Started, Record(key).DevicePnpState());  // undoes exactly one change
  SetNewPnpState(e, Stopped);
  SetNewPnpState(e, PendingRemove);
  EXPECT_EQ(Stopped, Record(key).PreviousPnpState());  // the older state is lost
  SetNewPnpState(e, NotStarted);
}

// A system-control request, sent as WMI sends it (STATUS_NOT_SUPPORTED
// preset), reaches the bus driver below whatever the state; the bus, which
// has no WMI data of its own, completes it as it came.
NTSTATUS SendSystemControl(PDEVICE_OBJECT top) {
  return SendBuilt(top, IRP_MJ_SYSTEM_CONTROL, IRP_MN_QUERY_ALL_DATA);
}

size_t SystemControlsAtBus(PDEVICE_OBJECT pdo) {
  size_t n = 0;
  for (const auto& r : sim::usb::BusRequests(pdo))
    n += r.major == IRP_MJ_SYSTEM_CONTROL && r.minor == IRP_MN_QUERY_ALL_DATA;
  return n;
}

TEST_F(SpineTest, SystemControlGoesDownInEveryState) {
  TARVIK_WHITE_BOX();
  Key key = Plug();
  DeviceExtension* ext = key.ext;
  PDEVICE_OBJECT fdo = key.fdo;
  size_t expected = 0;
  const auto sendAndCheck = [&](PnpState state) {
    ASSERT_EQ(state, CurrentPnpState(ext));
    const LONG outstanding = Record(key).OutstandingIo();
    EXPECT_EQ(STATUS_NOT_SUPPORTED, SendSystemControl(fdo)) << state;
    EXPECT_EQ(++expected, SystemControlsAtBus(key.pdo)) << state;
    EXPECT_EQ(outstanding, Record(key).OutstandingIo()) << state;
  };
  sendAndCheck(NotStarted);
  ASSERT_EQ(STATUS_SUCCESS, sim::pnp::Start(key.pdo));
  sendAndCheck(Started);
  ASSERT_EQ(STATUS_SUCCESS, sim::pnp::QueryStop(key.pdo));
  sendAndCheck(PendingStop);
  ASSERT_EQ(STATUS_SUCCESS, sim::pnp::Stop(key.pdo));
  sendAndCheck(Stopped);
  ASSERT_EQ(STATUS_SUCCESS, sim::pnp::QueryRemove(key.pdo));
  sendAndCheck(PendingRemove);
  ASSERT_EQ(STATUS_SUCCESS, sim::pnp::CancelRemove(key.pdo));
  sim::usb::Unplug(key.pdo);
  ASSERT_EQ(STATUS_SUCCESS, sim::pnp::SurpriseRemove(key.pdo));
  sendAndCheck(SurpriseRemoved);
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Remove(key.pdo));
}

// A planned answer of the bus is what the sender sees: the driver adds nothing.
TEST_F(SpineTest, SystemControlReportsTheBusAnswer) {
  TARVIK_WHITE_BOX();
  Key key = PlugAndStart();
  using sim::test::BusAnswer;
  sim::usb::AddBusFault(key.pdo, BusAnswer(IRP_MJ_SYSTEM_CONTROL, IRP_MN_QUERY_ALL_DATA,
                                           STATUS_INVALID_DEVICE_STATE));
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, SendSystemControl(key.fdo));
  sim::usb::AddBusFault(
      key.pdo, BusAnswer(IRP_MJ_SYSTEM_CONTROL, IRP_MN_QUERY_ALL_DATA, STATUS_SUCCESS, true));
  EXPECT_EQ(STATUS_SUCCESS, SendSystemControl(key.fdo));
  EXPECT_EQ(2u, SystemControlsAtBus(key.pdo));
  EXPECT_EQ(1, Record(key).OutstandingIo());
}

TEST(SpineStatic, RecordAndPacketLayouts) {
  TARVIK_WHITE_BOX();
  static_assert(sizeof(SetupPacket) == 8);
  static_assert(sizeof(DEVICE_CAPABILITIES) == 64);
  static_assert(offsetof(DeviceExtension, InterfaceNamePrimary) == 0);
  static_assert(offsetof(DeviceExtension, OpenHandleCount) >
                offsetof(DeviceExtension, ShareAccessMask));
  EXPECT_EQ(0, NotStarted);
  EXPECT_EQ(6, Removed);
  EXPECT_EQ(2, FamilyUnrecognised);
}

// The driver's pool: non-executable where the system has it, the executable
// non-paged pool on Windows 7; tags and sizes the same on both. The verifier
// flags every allocation of the other kind as it is made, so each operation
// below checks the pool type of every allocation on its path.

struct PoolCase {
  const char* name;
  sim::os::Version version;
  POOL_TYPE type;
};

class DriverPool : public DriverTest, public ::testing::WithParamInterface<PoolCase> {
 protected:
  // The driver is loaded on the Windows of the case: it chooses its pool once.
  void SetUp() override {
    sim::test::KernelTest::SetUp();
    sim::os::Pretend(GetParam().version);
    bus_ = sim::usb::LoadBus();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    driver_ = sim::image::LoadDriverUnderTest(u"Tarvik4v2", DriverEntry, &status);
    ASSERT_EQ(STATUS_SUCCESS, status);
  }
};

TEST_P(DriverPool, EveryAllocationIsOfTheSystemsDataPool) {
  Key key = PlugAndStart();
  // What the started key keeps: the device descriptor (18 bytes), the
  // configuration descriptor and the interface.
  for (ULONG tag : {Tag("kv50"), Tag("kv30"), Tag("kv10")}) {
    auto live = sim::pool::LiveAllocations(tag);
    ASSERT_EQ(1u, live.size()) << sim::pool::TagName(tag);
    EXPECT_EQ(GetParam().type, live[0].type) << sim::pool::TagName(tag);
  }
  EXPECT_EQ(18u, sim::pool::LiveBytes(Tag("kv50")));
  // The paths of the control codes that allocate.
  sim::Client client;
  auto open = client.OpenInterface(Link(GUID_KEY_INTERFACE_PRIMARY), FILE_SHARE_READ);
  ASSERT_EQ(STATUS_SUCCESS, open.Status);
  EXPECT_EQ(STATUS_SUCCESS,
            client.DeviceIoControl(open.Handle, IOCTL_KEY_TRANSACT_RAW, {0x01, 0x42}, 8).Status);
  EXPECT_EQ(
      STATUS_SUCCESS,
      client.DeviceIoControl(open.Handle, IOCTL_KEY_TRANSACT, {0, 0, 0, 0, 0, 0, 0, 0}, 8).Status);
  EXPECT_EQ(STATUS_SUCCESS, client
                                .DeviceIoControl(open.Handle, IOCTL_KEY_VENDOR_WRITE,
                                                 {0x40, 0, 0, 0, 0, 0, 2, 0, 0x01, 0x07}, 0)
                                .Status);
  EXPECT_EQ(
      STATUS_SUCCESS,
      client.DeviceIoControl(open.Handle, IOCTL_KEY_VENDOR_READ, {0xC0, 0, 0, 0, 0, 0, 8, 0}, 8)
          .Status);
  EXPECT_EQ(STATUS_SUCCESS,
            client.DeviceIoControl(open.Handle, IOCTL_KEY_QUERY_INFO, {0}, 64).Status);
  EXPECT_EQ(
      STATUS_SUCCESS,
      client.DeviceIoControl(open.Handle, IOCTL_KEY_VENDOR_WRITE, {0x40, 0, 0, 0, 0, 0, 0, 0}, 0)
          .Status);
  client.Close(open.Handle);
  // Stop unconfigures the key, a new start reads it again, removal aborts its pipe.
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::QueryStop(key.pdo));
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Stop(key.pdo));
  EXPECT_TRUE(NT_SUCCESS(sim::pnp::Start(key.pdo)));
  Remove(key);
}

INSTANTIATE_TEST_SUITE_P(Windows, DriverPool,
                         ::testing::Values(PoolCase{"Seven", sim::os::kWindows7, NonPagedPool},
                                           PoolCase{"Eight", sim::os::kWindows8, NonPagedPoolNx},
                                           PoolCase{"Ten", sim::os::kWindows10, NonPagedPoolNx}),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace tarvik::test
