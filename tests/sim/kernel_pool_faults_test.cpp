// Pool accounting and fault injection.
#include <gtest/gtest.h>

#include "tests/sim/kernel_drivers.h"
#include "tests/support/kernel/kernel_test.h"

namespace {

using sim::faults::Kind;
using sim::faults::Tag;
using sim::test::KernelTest;

TEST_F(KernelTest, PoolIsAccountedPerTagAndIsNotZeroed) {
  PVOID a = ExAllocatePoolWithTag(NonPagedPoolNx, 10, Tag("kv21"));
  PVOID b = ExAllocatePoolWithTag(NonPagedPoolNx, 30, Tag("kv21"));
  PVOID c = ExAllocatePoolWithTag(NonPagedPoolNx, 5, Tag("kv31"));
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(sim::pool::kFillPattern, static_cast<UCHAR*>(a)[0]);
  EXPECT_EQ(2u, sim::pool::LiveCount(Tag("kv21")));
  EXPECT_EQ(40u, sim::pool::LiveBytes(Tag("kv21")));
  EXPECT_EQ(1u, sim::pool::LiveCount(Tag("kv31")));
  EXPECT_EQ(45u, sim::pool::LiveBytes());
  ExFreePool(b);
  EXPECT_EQ(1u, sim::pool::LiveCount(Tag("kv21")));
  EXPECT_EQ(2u, sim::pool::TotalAllocations(Tag("kv21")));
  EXPECT_EQ(3u, sim::pool::TotalAllocations());
  EXPECT_EQ(45u, sim::pool::PeakBytes());
  EXPECT_EQ(2u, sim::pool::PeakCount(Tag("kv21")));
  ASSERT_EQ(1u, sim::pool::LiveAllocations(Tag("kv31")).size());
  EXPECT_EQ(c, sim::pool::LiveAllocations(Tag("kv31"))[0].address);
  ExFreePoolWithTag(a, Tag("kv21"));
  ExFreePool(c);
  EXPECT_EQ(0u, sim::pool::LiveCount());
}

TEST_F(KernelTest, PoolFaultsSelectByOrdinalTagAndCount) {
  struct Case {
    const char* name;
    sim::FaultRule rule;
    std::optional<ULONG> tag;
    const char* pattern;  // tags allocated, in order: A=kv21 B=kv31
    const char* failed;   // '1' where the allocation fails
  } cases[] = {
      {"second of any", {1, 1}, std::nullopt, "AABA", "0100"},
      {"second of kv31", {1, 1}, Tag("kv31"), "BABB", "0010"},
      {"two from the second", {1, 2}, std::nullopt, "AAAA", "0110"},
      {"first of kv21", {0, 1}, Tag("kv21"), "BBAA", "0010"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::faults::Reset();
    sim::faults::Fail(Kind::PoolAllocation, c.rule, c.tag);
    std::string failed;
    for (const char* p = c.pattern; *p; ++p) {
      PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 8, *p == 'A' ? Tag("kv21") : Tag("kv31"));
      failed += block ? '0' : '1';
      if (block)
        ExFreePool(block);
    }
    EXPECT_EQ(c.failed, failed);
  }
}

TEST_F(KernelTest, FailEveryFailsUntilTheRulesAreCleared) {
  sim::faults::FailEvery(Kind::PoolAllocation, Tag("kv41"));
  EXPECT_EQ(nullptr, ExAllocatePoolWithTag(NonPagedPoolNx, 8, Tag("kv41")));
  EXPECT_EQ(nullptr, ExAllocatePoolWithTag(NonPagedPoolNx, 8, Tag("kv41")));
  PVOID other = ExAllocatePoolWithTag(NonPagedPoolNx, 8, Tag("kv51"));
  EXPECT_NE(nullptr, other);
  ExFreePool(other);
  EXPECT_EQ(2u, sim::faults::FailedCount());
  sim::faults::ClearRules();
  PVOID now = ExAllocatePoolWithTag(NonPagedPoolNx, 8, Tag("kv41"));
  EXPECT_NE(nullptr, now);
  ExFreePool(now);
}

// A scenario with several fault points: the sweep counts them, then fails
// each in turn and checks that the scenario notices.
bool Scenario() {
  PVOID a = ExAllocatePoolWithTag(NonPagedPoolNx, 8, Tag("kv21"));
  HANDLE h = nullptr;
  auto routine = [](PVOID) NTAPI {};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  NTSTATUS thread =
      PsCreateSystemThread(&h, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr, routine, nullptr);
  PVOID b = ExAllocatePoolWithTag(NonPagedPoolNx, 8, Tag("kv31"));
  bool ok = a && b && NT_SUCCESS(thread);
  if (a)
    ExFreePool(a);
  if (b)
    ExFreePool(b);
  if (NT_SUCCESS(thread))
    ZwClose(h);
  return ok;
}

TEST_F(KernelTest, ASweepCountsTheFaultPointsThenFailsEachInTurn) {
  sim::faults::Reset();
  ASSERT_TRUE(Scenario());
  auto points = sim::faults::Recorded();
  ASSERT_EQ(3u, points.size());
  EXPECT_EQ(Kind::PoolAllocation, points[0].kind);
  EXPECT_EQ(Tag("kv21"), points[0].tag);
  EXPECT_EQ(Kind::CreateSystemThread, points[1].kind);
  EXPECT_EQ(2u, points[2].ordinal);
  for (const auto& point : points) {
    SCOPED_TRACE(sim::faults::Name(point.kind));
    sim::faults::Reset();
    sim::faults::Fail(point.kind, {static_cast<uint32_t>(point.ordinal - 1)});
    EXPECT_FALSE(Scenario());
    EXPECT_EQ(1u, sim::faults::FailedCount());
  }
}

VOID NTAPI PowerDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID, PIO_STATUS_BLOCK) {}

TEST_F(KernelTest, EachInjectableRoutineFailsWhenAsked) {
  kt::Stack s = kt::BuildStack();
  UNICODE_STRING name;
  static const GUID kClass = {0x1, 0x2, 0x3, {4, 5, 6, 7, 8, 9, 10, 11}};
  ASSERT_EQ(STATUS_SUCCESS, IoRegisterDeviceInterface(s.pdo, &kClass, nullptr, &name));
  struct Case {
    Kind kind;
    bool (*failed)(const kt::Stack&, PUNICODE_STRING);
  } cases[] = {
      {Kind::CreateDevice,
       [](const kt::Stack& st, PUNICODE_STRING) {
         PDEVICE_OBJECT d = reinterpret_cast<PDEVICE_OBJECT>(1);
         NTSTATUS status =
             IoCreateDevice(st.fdoDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &d);
         return status == STATUS_INSUFFICIENT_RESOURCES && d == nullptr;
       }},
      {Kind::RegisterInterface,
       [](const kt::Stack& st, PUNICODE_STRING) {
         UNICODE_STRING n{};
         return IoRegisterDeviceInterface(st.pdo, &kClass, nullptr, &n) ==
                    STATUS_INSUFFICIENT_RESOURCES &&
                n.Buffer == nullptr;
       }},
      {Kind::SetInterfaceState,
       [](const kt::Stack&, PUNICODE_STRING n) {
         return !NT_SUCCESS(IoSetDeviceInterfaceState(n, TRUE));
       }},
      {Kind::AttachDevice,
       [](const kt::Stack& st, PUNICODE_STRING) {
         PDEVICE_OBJECT d;
         IoCreateDevice(st.fdoDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &d);
         bool failed = IoAttachDeviceToDeviceStack(d, st.pdo) == nullptr;
         IoDeleteDevice(d);
         return failed;
       }},
      {Kind::CreateSystemThread,
       [](const kt::Stack&, PUNICODE_STRING) {
         HANDLE h;
         return PsCreateSystemThread(
                    &h, 0, nullptr, nullptr, nullptr, [](PVOID) NTAPI {}, nullptr) ==
                STATUS_INSUFFICIENT_RESOURCES;
       }},
      {Kind::RequestPowerIrp,
       [](const kt::Stack& st, PUNICODE_STRING) {
         POWER_STATE state;
         state.DeviceState = PowerDeviceD3;
         return PoRequestPowerIrp(st.fdo, IRP_MN_SET_POWER, state, PowerDone, nullptr, nullptr) ==
                STATUS_INSUFFICIENT_RESOURCES;
       }},
      {Kind::BuildRequest,
       [](const kt::Stack&, PUNICODE_STRING) { return IoAllocateIrp(1, FALSE) == nullptr; }},
      {Kind::ErrorLogEntry,
       [](const kt::Stack& st, PUNICODE_STRING) {
         return IoAllocateErrorLogEntry(st.fdo, sizeof(IO_ERROR_LOG_PACKET)) == nullptr;
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(sim::faults::Name(c.kind));
    sim::faults::Fail(c.kind);
    EXPECT_TRUE(c.failed(s, &name));
    sim::faults::ClearRules();
  }
  EXPECT_TRUE(sim::power::Requests().empty());
  RtlFreeUnicodeString(&name);
}

}  // namespace
