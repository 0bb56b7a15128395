// The IRQL rules: each routine is quiet at the highest IRQL its rule allows
// and reported, under the rule's name, one level above it.
#include <gtest/gtest.h>

#include <chrono>

#include "tests/sim/kernel_drivers.h"
#include "tests/support/kernel/kernel_test.h"

namespace {

using sim::verifier::Check;

const GUID kClass = {0x5B0C9E11, 0x7A42, 0x4E0F, {0x9C, 0x31, 0x6D, 0x2A, 0x17, 0x80, 0xE4, 0x53}};

// What a case makes before the call and removes after it, at PASSIVE_LEVEL.
struct Scratch {
  kt::Stack stack;
  PDEVICE_OBJECT device = nullptr;
  PDEVICE_OBJECT other = nullptr;
  UNICODE_STRING link{};
  HANDLE thread = nullptr;
  PVOID object = nullptr;
  PIRP irp = nullptr;
  KEVENT event;
  KMUTEX mutex;
  IO_STATUS_BLOCK iosb;
};

void NTAPI EndAtOnce(PVOID) {}

// A device of the bus driver, which deletes what is left of them at unload.
void MakeDevice(Scratch& s, PDEVICE_OBJECT* device) {
  IoCreateDevice(s.stack.bus, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, device);
}

void MakeThread(Scratch& s) {
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  PsCreateSystemThread(&s.thread, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr, EndAtOnce,
                       nullptr);
}

void EndThread(Scratch& s) {
  sim::WaitForSystemThreads(std::chrono::seconds(5));
  if (s.thread)
    ZwClose(s.thread);
}

struct Case {
  const char* name;
  Check rule;
  KIRQL highest;  // the highest IRQL the rule allows
  void (*setup)(Scratch&);
  void (*call)(Scratch&);  // at the IRQL under test
  void (*cleanup)(Scratch&);
};

void None(Scratch&) {}

const Case kCases[] = {
    {"IoCreateDevice", Check::IrqlIoPassive1, PASSIVE_LEVEL, None,
     [](Scratch& s) { MakeDevice(s, &s.device); }, [](Scratch& s) { IoDeleteDevice(s.device); }},
    {"IoSetDeviceInterfaceState", Check::IrqlIoPassive1, PASSIVE_LEVEL,
     [](Scratch& s) { IoRegisterDeviceInterface(s.stack.pdo, &kClass, nullptr, &s.link); },
     [](Scratch& s) { IoSetDeviceInterfaceState(&s.link, TRUE); },
     [](Scratch& s) {
       IoSetDeviceInterfaceState(&s.link, FALSE);
       RtlFreeUnicodeString(&s.link);
     }},
    {"IoBuildDeviceIoControlRequest", Check::IrqlIoPassive1, APC_LEVEL,
     [](Scratch& s) { KeInitializeEvent(&s.event, NotificationEvent, FALSE); },
     [](Scratch& s) {
       s.irp = IoBuildDeviceIoControlRequest(0x220003, s.stack.pdo, nullptr, 0, nullptr, 0, TRUE,
                                             &s.event, &s.iosb);
     },
     [](Scratch& s) { IoFreeIrp(s.irp); }},
    {"IoRegisterDeviceInterface", Check::IrqlIoPassive3, PASSIVE_LEVEL, None,
     [](Scratch& s) { IoRegisterDeviceInterface(s.stack.pdo, &kClass, nullptr, &s.link); },
     [](Scratch& s) { RtlFreeUnicodeString(&s.link); }},
    {"IoDetachDevice", Check::IrqlIoPassive3, PASSIVE_LEVEL,
     [](Scratch& s) {
       MakeDevice(s, &s.device);
       MakeDevice(s, &s.other);
       s.other->Flags &= ~DO_DEVICE_INITIALIZING;
       IoAttachDeviceToDeviceStack(s.device, s.other);
     },
     [](Scratch& s) { IoDetachDevice(s.other); },
     [](Scratch& s) {
       IoDeleteDevice(s.device);
       IoDeleteDevice(s.other);
     }},
    {"IoDeleteDevice", Check::IrqlIoApcLte, APC_LEVEL, [](Scratch& s) { MakeDevice(s, &s.device); },
     [](Scratch& s) { IoDeleteDevice(s.device); }, None},
    {"ObReferenceObjectByHandle", Check::IrqlObPassive, PASSIVE_LEVEL, MakeThread,
     [](Scratch& s) {
       ObReferenceObjectByHandle(s.thread, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &s.object,
                                 nullptr);
     },
     [](Scratch& s) {
       ObDereferenceObject(s.object);
       EndThread(s);
     }},
    {"ZwClose", Check::IrqlZwPassive, PASSIVE_LEVEL, MakeThread,
     [](Scratch& s) {
       ZwClose(s.thread);
       s.thread = nullptr;
     },
     EndThread},
    {"PsCreateSystemThread", Check::IrqlPsPassive, PASSIVE_LEVEL, None, MakeThread, EndThread},
    {"KeDelayExecutionThread", Check::IrqlKeApcLte1, APC_LEVEL, None,
     [](Scratch&) {
       LARGE_INTEGER interval;
       interval.QuadPart = -1;
       KeDelayExecutionThread(KernelMode, FALSE, &interval);
     },
     None},
    // KeWaitForSingleObject's page: a wait that may block at APC_LEVEL at
    // most, one with a zero timeout at DISPATCH_LEVEL at most.
    {"KeWaitForSingleObject", Check::WaitAtDispatch, APC_LEVEL,
     [](Scratch& s) { KeInitializeEvent(&s.event, NotificationEvent, TRUE); },
     [](Scratch& s) {
       LARGE_INTEGER timeout;
       timeout.QuadPart = -10000;
       KeWaitForSingleObject(&s.event, Executive, KernelMode, FALSE, &timeout);
     },
     None},
    {"KeWaitForSingleObjectZeroTimeout", Check::WaitAtDispatch, DISPATCH_LEVEL,
     [](Scratch& s) { KeInitializeEvent(&s.event, NotificationEvent, TRUE); },
     [](Scratch& s) {
       LARGE_INTEGER zero{};
       KeWaitForSingleObject(&s.event, Executive, KernelMode, FALSE, &zero);
     },
     None},
    {"KeClearEvent", Check::IrqlKeDispatchLte, DISPATCH_LEVEL,
     [](Scratch& s) { KeInitializeEvent(&s.event, NotificationEvent, TRUE); },
     [](Scratch& s) { KeClearEvent(&s.event); }, None},
    {"KeReleaseMutex", Check::IrqlKeDispatchLte, DISPATCH_LEVEL,
     [](Scratch& s) {
       KeInitializeMutex(&s.mutex, 0);
       KeWaitForSingleObject(&s.mutex, Executive, KernelMode, FALSE, nullptr);
     },
     [](Scratch& s) { KeReleaseMutex(&s.mutex, FALSE); }, None},
    {"KeSetEvent", Check::IrqlKeSetEvent, DISPATCH_LEVEL,
     [](Scratch& s) { KeInitializeEvent(&s.event, NotificationEvent, FALSE); },
     [](Scratch& s) { KeSetEvent(&s.event, IO_NO_INCREMENT, FALSE); }, None},
    {"KeSetEventWaitTrue", Check::IrqlKeSetEvent, APC_LEVEL,
     [](Scratch& s) { KeInitializeEvent(&s.event, NotificationEvent, FALSE); },
     [](Scratch& s) { KeSetEvent(&s.event, IO_NO_INCREMENT, TRUE); }, None},
    {"RtlGetVersion", Check::IrqlDocumented, PASSIVE_LEVEL, None,
     [](Scratch&) {
       RTL_OSVERSIONINFOW version{};
       version.dwOSVersionInfoSize = sizeof(version);
       RtlGetVersion(&version);
     },
     None},
    {"IoAttachDeviceToDeviceStack", Check::IrqlDocumented, DISPATCH_LEVEL,
     [](Scratch& s) {
       MakeDevice(s, &s.device);
       MakeDevice(s, &s.other);
       s.other->Flags &= ~DO_DEVICE_INITIALIZING;
     },
     [](Scratch& s) { IoAttachDeviceToDeviceStack(s.device, s.other); },
     [](Scratch& s) {
       IoDetachDevice(s.other);
       IoDeleteDevice(s.device);
       IoDeleteDevice(s.other);
     }},
};

class IrqlRuleTest : public sim::test::KernelTest, public ::testing::WithParamInterface<Case> {};

TEST_P(IrqlRuleTest, QuietAtItsLimitReportedAbove) {
  const Case& c = GetParam();
  for (const KIRQL irql : {c.highest, static_cast<KIRQL>(c.highest + 1)}) {
    SCOPED_TRACE(std::to_string(irql));
    Scratch s;
    s.stack = kt::BuildStack();
    {
      sim::test::ExpectViolations expect;
      c.setup(s);
      KfRaiseIrql(irql);
      c.call(s);
      KfLowerIrql(PASSIVE_LEVEL);
      c.cleanup(s);
      if (irql == c.highest) {
        EXPECT_TRUE(expect.All().empty()) << expect.All()[0].message;
      } else {
        EXPECT_TRUE(expect.Saw(c.rule)) << "no " << sim::verifier::Name(c.rule);
      }
    }
    sim::test::FailTestOnViolations();
  }
}

INSTANTIATE_TEST_SUITE_P(Routines, IrqlRuleTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
