// The bench: PnP manager, power manager, I/O manager for clients, interfaces
// and change reports.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "tests/sim/kernel_drivers.h"
#include "tests/support/kernel/kernel_test.h"

namespace {

using sim::test::KernelTest;

const GUID kClass = {0xD6A1246A, 0x2040, 0x44B2, {0xA7, 0xBF, 0x20, 0xCC, 0x53, 0xC4, 0x26, 0xF3}};
const GUID kOther = {0x12571628, 0xBE3F, 0x4CF4, {0xB3, 0x8A, 0xB1, 0xF4, 0x07, 0x94, 0xE6, 0xDF}};

TEST_F(KernelTest, AddDeviceBuildsTheStackAndPnpRequestsArriveAsWindowsSendsThem) {
  kt::Stack s = kt::BuildStack();
  ASSERT_NE(s.pdo, s.fdo);
  EXPECT_EQ(2, s.fdo->StackSize);
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Start(s.pdo));
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::QueryStop(s.pdo));
  // A minor nobody handles comes back with the preset status.
  EXPECT_EQ(STATUS_NOT_SUPPORTED, sim::pnp::Send(s.pdo, IRP_MN_QUERY_BUS_INFORMATION).Status);
  auto seen = kt::SeenRequests();
  ASSERT_EQ(3u, seen.size());
  for (const auto& r : seen) {
    EXPECT_EQ(IRP_MJ_PNP, r.major);
    EXPECT_EQ(STATUS_NOT_SUPPORTED, r.presetStatus);
    EXPECT_EQ(PASSIVE_LEVEL, r.irql);
    EXPECT_TRUE(r.systemProcess);
  }
  EXPECT_EQ(IRP_MN_START_DEVICE, seen[0].minor);
  EXPECT_EQ(IRP_MN_QUERY_STOP_DEVICE, seen[1].minor);
}

TEST_F(KernelTest, CapabilitiesCarryTheChosenSizeAndVersionAndTheBusAnswer) {
  kt::Stack s = kt::BuildStack();
  DEVICE_CAPABILITIES caps;
  auto result = sim::pnp::QueryCapabilities(s.pdo, 63, 1, &caps);
  EXPECT_EQ(STATUS_SUCCESS, result.Status);
  EXPECT_EQ(63, caps.Size);
  EXPECT_EQ(1, caps.Version);
  EXPECT_EQ(0xFFFFFFFFu, caps.Address);
  EXPECT_EQ(1u, caps.Removable);
  EXPECT_EQ(PowerDeviceD3, caps.DeviceState[PowerSystemSleeping3]);
  // SurpriseRemovalOK is bit 9 of the flags word after Version.
  caps.SurpriseRemovalOK = 1;
  ULONG flags;
  std::memcpy(&flags, reinterpret_cast<UCHAR*>(&caps) + 4, 4);
  EXPECT_EQ(1u << 9 | 1u << 4, flags);
}

TEST_F(KernelTest, RemoveForgetsTheStackAndTheBusDecidesAboutThePdo) {
  kt::Stack s = kt::BuildStack();
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Remove(s.pdo));
  EXPECT_EQ(nullptr, s.fdoDriver->DeviceObject);
  EXPECT_EQ(nullptr, s.bus->DeviceObject);  // this bus deletes its PDO on removal
}

TEST_F(KernelTest, InterfacesRegisterOnceEnableAndDisableAsWindowsAnswers) {
  kt::Stack s = kt::BuildStack();
  UNICODE_STRING first, again, other;
  ASSERT_EQ(STATUS_SUCCESS, IoRegisterDeviceInterface(s.pdo, &kClass, nullptr, &first));
  ASSERT_EQ(STATUS_SUCCESS, IoRegisterDeviceInterface(s.pdo, &kClass, nullptr, &again));
  ASSERT_EQ(STATUS_SUCCESS, IoRegisterDeviceInterface(s.pdo, &kOther, nullptr, &other));
  EXPECT_EQ(sim::interfaces::ToString(first), sim::interfaces::ToString(again));
  EXPECT_NE(sim::interfaces::ToString(first), sim::interfaces::ToString(other));
  EXPECT_NE(first.Buffer, again.Buffer);  // each caller owns its copy
  EXPECT_EQ(3u, sim::pool::LiveCount(sim::pool::kInterfaceNameTag));
  struct Step {
    BOOLEAN enable;
    NTSTATUS expected;
    size_t enabledCount;
  } steps[] = {
      {FALSE, STATUS_OBJECT_NAME_NOT_FOUND, 0}, {TRUE, STATUS_SUCCESS, 1},
      {TRUE, STATUS_OBJECT_NAME_EXISTS, 1},     {FALSE, STATUS_SUCCESS, 0},
      {FALSE, STATUS_OBJECT_NAME_NOT_FOUND, 0},
  };
  for (const auto& step : steps) {
    EXPECT_EQ(step.expected, IoSetDeviceInterfaceState(&first, step.enable));
    EXPECT_EQ(step.enabledCount, sim::interfaces::Enabled(kClass).size());
  }
  EXPECT_TRUE(sim::interfaces::Enabled(kOther).empty());
  RtlFreeUnicodeString(&first);
  RtlFreeUnicodeString(&again);
  RtlFreeUnicodeString(&other);
  EXPECT_EQ(0u, sim::pool::LiveCount(sim::pool::kInterfaceNameTag));
}

// Symbolic link names compare without regard to case, as the object
// manager's names do.
TEST_F(KernelTest, AnInterfaceIsFoundByItsNameInAnyCase) {
  kt::Stack s = kt::BuildStack();
  UNICODE_STRING name;
  ASSERT_EQ(STATUS_SUCCESS, IoRegisterDeviceInterface(s.pdo, &kClass, nullptr, &name));
  std::u16string other = sim::interfaces::ToString(name);
  for (char16_t& c : other)
    c = (c >= u'a' && c <= u'z') ? c - u'a' + u'A' : (c >= u'A' && c <= u'Z') ? c - u'A' + u'a' : c;
  ASSERT_NE(sim::interfaces::ToString(name), other);
  UNICODE_STRING swapped{name.Length, name.Length, reinterpret_cast<PWSTR>(other.data())};
  EXPECT_EQ(STATUS_SUCCESS, IoSetDeviceInterfaceState(&swapped, TRUE));
  EXPECT_EQ(1u, sim::interfaces::Enabled(kClass).size());
  EXPECT_EQ(STATUS_SUCCESS, IoSetDeviceInterfaceState(&name, FALSE));
  RtlFreeUnicodeString(&name);
}

// Interfaces are registered for, and changes reported on, the physical
// device object; any other device object is an invalid call.
TEST_F(KernelTest, InterfaceRoutinesRefuseADeviceThatIsNoPdo) {
  kt::Stack s = kt::BuildStack();
  UNICODE_STRING name{};
  TARGET_DEVICE_CUSTOM_NOTIFICATION n{};
  n.Size = sizeof(n);
  sim::test::ExpectViolations expect;
  EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST,
            IoRegisterDeviceInterface(s.fdo, &kClass, nullptr, &name));
  EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST,
            IoReportTargetDeviceChangeAsynchronous(s.fdo, &n, nullptr, nullptr));
  EXPECT_EQ(2u, expect.Count(sim::verifier::Check::InvalidCall));
  EXPECT_EQ(nullptr, name.Buffer);
}

TEST_F(KernelTest, RemovalDisablesInterfacesTheDriverLeftEnabled) {
  kt::Stack s = kt::BuildStack();
  UNICODE_STRING name;
  IoRegisterDeviceInterface(s.pdo, &kClass, nullptr, &name);
  IoSetDeviceInterfaceState(&name, TRUE);
  auto link = sim::interfaces::ToString(name);
  RtlFreeUnicodeString(&name);
  EXPECT_TRUE(sim::interfaces::IsEnabled(link));
  sim::pnp::Remove(s.pdo);
  EXPECT_FALSE(sim::interfaces::IsEnabled(link));
}

class ClientTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    s_ = kt::BuildStack();
    UNICODE_STRING name;
    IoRegisterDeviceInterface(s_.pdo, &kClass, nullptr, &name);
    IoSetDeviceInterfaceState(&name, TRUE);
    link_ = sim::interfaces::ToString(name);
    RtlFreeUnicodeString(&name);
  }
  kt::Stack s_;
  std::u16string link_;
};

TEST_F(ClientTest, OpenReachesTheTopOfTheStackWithShareAccessAndCloseSendsCleanupThenClose) {
  sim::Client client("app");
  auto open = client.OpenInterface(link_, FILE_SHARE_READ | FILE_SHARE_WRITE);
  ASSERT_EQ(STATUS_SUCCESS, open.Status);
  ASSERT_NE(nullptr, open.Handle);
  auto seen = kt::SeenRequests();
  ASSERT_EQ(1u, seen.size());
  EXPECT_EQ(IRP_MJ_CREATE, seen[0].major);
  EXPECT_EQ(FILE_SHARE_READ | FILE_SHARE_WRITE, seen[0].shareAccess);
  EXPECT_EQ(nullptr, seen[0].fsContext);
  EXPECT_FALSE(seen[0].systemProcess);
  EXPECT_EQ(STATUS_SUCCESS, client.Close(open.Handle));
  seen = kt::SeenRequests();
  ASSERT_EQ(2u, seen.size());  // cleanup went to the default handler
  EXPECT_EQ(IRP_MJ_CLOSE, seen[1].major);
  EXPECT_EQ(STATUS_INVALID_HANDLE, client.Close(open.Handle));
}

TEST_F(ClientTest, NamesThatAreNotEnabledDoNotOpen) {
  sim::Client client;
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, client.OpenInterface(u"\\??\\nothing", 0).Status);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, reinterpret_cast<PCWSTR>(link_.c_str()));
  IoSetDeviceInterfaceState(&name, FALSE);
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, client.OpenInterface(link_, 0).Status);
}

TEST_F(ClientTest, HandlesOfOneClientAreNotValidInAnother) {
  sim::Client a("a"), b("b");
  auto open = a.OpenInterface(link_, 0);
  ASSERT_EQ(STATUS_SUCCESS, open.Status);
  EXPECT_EQ(STATUS_INVALID_HANDLE, b.DeviceIoControl(open.Handle, 0x220000, {}, 0).Status);
  EXPECT_EQ(STATUS_INVALID_HANDLE, b.Close(open.Handle));
  EXPECT_EQ(STATUS_SUCCESS, a.Close(open.Handle));
}

TEST_F(ClientTest, BufferedControlUsesOneSystemBufferAndReturnsInformationBytes) {
  sim::Client client;
  HANDLE h = client.OpenInterface(link_, FILE_SHARE_READ).Handle;
  const ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x14, METHOD_BUFFERED, FILE_ANY_ACCESS);
  struct Case {
    std::vector<UCHAR> input;
    ULONG output;
    std::vector<UCHAR> returned;
    bool nullBuffer;
  } cases[] = {
      {{1, 2, 3}, 8, {3, 2, 1}, false},
      {{1, 2, 3, 4, 5}, 2, {2, 1}, false},
      {{}, 4, {}, false},
      {{}, 0, {}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input.size() * 100 + c.output);
    auto io = client.DeviceIoControl(h, code, c.input, c.output);
    EXPECT_EQ(STATUS_SUCCESS, io.Status);
    EXPECT_EQ(c.returned, io.Output);
    EXPECT_EQ(c.returned.size(), io.Information);
    auto seen = kt::SeenRequests().back();
    EXPECT_EQ(IRP_MJ_DEVICE_CONTROL, seen.major);
    EXPECT_EQ(c.nullBuffer, seen.systemBuffer == nullptr);
    EXPECT_EQ(c.input.size(), seen.inputLength);
    EXPECT_EQ(c.output, seen.outputLength);
  }
  // Internal device control from user mode finds no slot in this driver.
  EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST,
            client.InternalDeviceIoControl(h, 0x220003, {}, 0).Status);
}

TEST_F(ClientTest, ReadAndWriteMoveBytesThroughTheSystemBuffer) {
  sim::Client client;
  HANDLE h = client.OpenInterface(link_, 0).Handle;
  auto read = client.Read(h, 3);
  EXPECT_EQ(STATUS_SUCCESS, read.Status);
  EXPECT_EQ((std::vector<UCHAR>{0x5A, 0x5A, 0x5A}), read.Output);
  auto write = client.Write(h, {1, 2});
  EXPECT_EQ(STATUS_SUCCESS, write.Status);
  EXPECT_EQ(2u, write.Information);
  EXPECT_TRUE(write.Output.empty());
}

TEST_F(ClientTest, ManyClientThreadsAtOnce) {
  sim::Client client;
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 25; ++i) {
        auto open = client.OpenInterface(link_, FILE_SHARE_READ);
        auto io = client.DeviceIoControl(open.Handle, 0x220050, {1, 2}, 2);
        if (io.Status == STATUS_SUCCESS && io.Output == std::vector<UCHAR>{2, 1})
          ++good;
        client.Close(open.Handle);
      }
    });
  }
  for (auto& t : threads)
    t.join();
  EXPECT_EQ(100, good.load());
}

TEST_F(ClientTest, AHandleOutlivesItsDeviceAndClosesSafely) {
  sim::Client client;
  HANDLE h = client.OpenInterface(link_, 0).Handle;
  ASSERT_EQ(STATUS_SUCCESS, sim::pnp::SurpriseRemove(s_.pdo));
  ASSERT_EQ(STATUS_SUCCESS, sim::pnp::Remove(s_.pdo));  // the bus deletes the PDO
  EXPECT_EQ(nullptr, s_.bus->DeviceObject);
  // The open file still holds the deleted PDO; close reaches its bus driver.
  EXPECT_EQ(STATUS_SUCCESS, client.Close(h));
}

TEST_F(ClientTest, ExclusiveDevicesAdmitOneOpenWhenOpenedDirectly) {
  sim::Client client;
  auto first = client.OpenDevice(s_.fdo, 0);
  EXPECT_EQ(STATUS_SUCCESS, first.Status);
  EXPECT_EQ(STATUS_ACCESS_DENIED, client.OpenDevice(s_.fdo, 0).Status);
  // Through the interface the PDO is opened, which is not exclusive.
  EXPECT_EQ(STATUS_SUCCESS, client.OpenInterface(link_, 0).Status);
}

TEST_F(KernelTest, PowerRequestsReachTheStackAndPoRequestPowerIrpCallsBack) {
  kt::Stack s = kt::BuildStack();
  EXPECT_EQ(STATUS_SUCCESS, sim::power::SetSystem(s.pdo, PowerSystemSleeping3));
  EXPECT_EQ(STATUS_SUCCESS, sim::power::QueryDevice(s.pdo, PowerDeviceD2));
  auto seen = kt::SeenRequests();
  ASSERT_EQ(2u, seen.size());
  EXPECT_EQ(IRP_MJ_POWER, seen[0].major);
  EXPECT_EQ(IRP_MN_SET_POWER, seen[0].minor);
  EXPECT_EQ(STATUS_NOT_SUPPORTED, seen[0].presetStatus);
  EXPECT_EQ(IRP_MN_QUERY_POWER, seen[1].minor);

  struct Callback {
    PDEVICE_OBJECT device = nullptr;
    UCHAR minor = 0xFF;
    POWER_STATE state{};
    NTSTATUS status = -1;
  } cb;
  POWER_STATE d3;
  d3.DeviceState = PowerDeviceD3;
  EXPECT_EQ(STATUS_PENDING, PoRequestPowerIrp(
                                s.fdo, IRP_MN_SET_POWER, d3,
                                [](PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state,
                                   PVOID context, PIO_STATUS_BLOCK iosb) NTAPI {
                                  auto* c = static_cast<Callback*>(context);
                                  c->device = device;
                                  c->minor = minor;
                                  c->state = state;
                                  c->status = iosb->Status;
                                },
                                &cb, nullptr));
  EXPECT_EQ(s.fdo, cb.device);
  EXPECT_EQ(IRP_MN_SET_POWER, cb.minor);
  EXPECT_EQ(PowerDeviceD3, cb.state.DeviceState);
  EXPECT_EQ(STATUS_SUCCESS, cb.status);
  EXPECT_EQ(3u, kt::SeenRequests().size());  // the device request entered at the top
  ASSERT_EQ(1u, sim::power::Requests().size());

  POWER_STATE d0;
  d0.DeviceState = PowerDeviceD0;
  EXPECT_EQ(PowerDeviceD0, PoSetPowerState(s.fdo, DevicePowerState, d3).DeviceState);
  EXPECT_EQ(PowerDeviceD3, PoSetPowerState(s.fdo, DevicePowerState, d0).DeviceState);
  auto reports = sim::power::Reports(s.fdo);
  ASSERT_EQ(2u, reports.size());
  EXPECT_EQ(PowerDeviceD3, reports[0].State.DeviceState);
}

TEST_F(KernelTest, APowerRequestAskedForAtDispatchLevelIsSentByASystemWorker) {
  kt::Stack s = kt::BuildStack();
  static std::atomic<int> calls{0};
  static std::atomic<bool> inSystemAtPassive{false};
  calls = 0;
  POWER_STATE d2;
  d2.DeviceState = PowerDeviceD2;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  NTSTATUS status = PoRequestPowerIrp(
      s.fdo, IRP_MN_SET_POWER, d2,
      [](PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID, PIO_STATUS_BLOCK) NTAPI {
        inSystemAtPassive =
            KeGetCurrentIrql() == PASSIVE_LEVEL && sim::CurrentProcess() == sim::SystemProcess();
        ++calls;
      },
      nullptr, nullptr);
  KeLowerIrql(old);
  EXPECT_EQ(STATUS_PENDING, status);
  EXPECT_TRUE(sim::DrainSystemWork(std::chrono::seconds(5)));
  EXPECT_EQ(1, calls.load());
  EXPECT_TRUE(inSystemAtPassive);
  auto seen = kt::SeenRequests();
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(PASSIVE_LEVEL, seen.back().irql);  // the pageable stack got it at PASSIVE_LEVEL
}

TEST_F(KernelTest, TargetDeviceChangeReportsAreRecorded) {
  kt::Stack s = kt::BuildStack();
  TARGET_DEVICE_CUSTOM_NOTIFICATION n{};
  n.Version = 1;
  n.Size = sizeof n;
  n.Event = kOther;
  n.NameBufferOffset = -1;
  n.CustomDataBuffer[0] = 0x42;
  EXPECT_EQ(STATUS_PENDING, IoReportTargetDeviceChangeAsynchronous(s.pdo, &n, nullptr, nullptr));
  auto reports = sim::changes::Reports();
  ASSERT_EQ(1u, reports.size());
  EXPECT_EQ(s.pdo, reports[0].Pdo);
  EXPECT_TRUE(reports[0].Event == kOther);
  EXPECT_EQ(40, reports[0].Size);
  EXPECT_EQ(-1, reports[0].NameBufferOffset);
  ASSERT_EQ(4u, reports[0].Data.size());  // the data byte and the structure's padding
  EXPECT_EQ(0x42, reports[0].Data[0]);
}

}  // namespace
