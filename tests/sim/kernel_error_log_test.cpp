// The error log as Windows keeps it: an entry of at most
// ERROR_LOG_MAXIMUM_SIZE bytes (IoAllocateErrorLogEntry returns none for a
// larger one), both routines at IRQL <= DISPATCH_LEVEL, the entry the I/O
// manager's once written (IoWriteErrorLogEntry frees it), its dump data and
// insertion strings inside it, and an entry never written left allocated.
// KeQueryPerformanceCounter runs on the virtual clock.
#include <gtest/gtest.h>

#include <cstring>

#include "sim/kernel/clock.h"
#include "sim/kernel/error_log.h"
#include "tests/sim/kernel_drivers.h"
#include "tests/support/kernel/kernel_test.h"

namespace {

using sim::test::ExpectViolations;
using sim::verifier::Check;

class ErrorLog : public sim::test::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    stack_ = kt::BuildStack();
  }
  kt::Stack stack_;
};

// An entry with `dump` bytes of dump data and one insertion string.
PIO_ERROR_LOG_PACKET Fill(PVOID memory, USHORT dump, const char16_t* text) {
  auto* p = static_cast<PIO_ERROR_LOG_PACKET>(memory);
  p->ErrorCode = static_cast<NTSTATUS>(0xC0040001);
  p->FinalStatus = STATUS_IO_TIMEOUT;
  p->DumpDataSize = dump;
  p->NumberOfStrings = 1;
  p->StringOffset = static_cast<USHORT>(FIELD_OFFSET(IO_ERROR_LOG_PACKET, DumpData) + dump);
  for (USHORT i = 0; i < dump / 4; ++i)
    p->DumpData[i] = 0x10 + i;
  std::memcpy(reinterpret_cast<char*>(p) + p->StringOffset, text,
              (std::char_traits<char16_t>::length(text) + 1) * 2);
  return p;
}

TEST_F(ErrorLog, AWrittenEntryIsRecordedAndFreed) {
  PVOID entry = IoAllocateErrorLogEntry(stack_.fdo, sizeof(IO_ERROR_LOG_PACKET) + 4 + 8);
  ASSERT_NE(nullptr, entry);
  EXPECT_EQ(1u, sim::errorlog::Outstanding());
  IoWriteErrorLogEntry(Fill(entry, 8, u"key"));
  EXPECT_EQ(0u, sim::errorlog::Outstanding());
  auto written = sim::errorlog::Written();
  ASSERT_EQ(1u, written.size());
  EXPECT_EQ(stack_.fdo, written[0].ioObject);
  EXPECT_EQ(static_cast<NTSTATUS>(0xC0040001), written[0].packet.ErrorCode);
  EXPECT_EQ(STATUS_IO_TIMEOUT, written[0].packet.FinalStatus);
  EXPECT_EQ((std::vector<ULONG>{0x10, 0x11}), written[0].dumpData);
  EXPECT_EQ(std::vector<std::u16string>{u"key"}, written[0].strings);
}

TEST_F(ErrorLog, TheSizeLimitCountsEverything) {
  EXPECT_EQ(240, ERROR_LOG_MAXIMUM_SIZE);  // x64: 512-byte port messages
  EXPECT_EQ(nullptr, IoAllocateErrorLogEntry(stack_.fdo, ERROR_LOG_MAXIMUM_SIZE + 1));
  EXPECT_EQ(nullptr, IoAllocateErrorLogEntry(stack_.fdo, sizeof(IO_ERROR_LOG_PACKET) - 1));
  PVOID entry = IoAllocateErrorLogEntry(stack_.fdo, ERROR_LOG_MAXIMUM_SIZE);
  ASSERT_NE(nullptr, entry);
  IoWriteErrorLogEntry(Fill(entry, 8, u"fits"));
  EXPECT_EQ(1u, sim::errorlog::Written().size());
}

TEST_F(ErrorLog, DumpDataOrStringsPastTheEntryAreAFinding) {
  ExpectViolations expect;
  const UCHAR size = sizeof(IO_ERROR_LOG_PACKET) + 4;
  PVOID entry = IoAllocateErrorLogEntry(stack_.fdo, size);
  ASSERT_NE(nullptr, entry);
  auto* p = static_cast<PIO_ERROR_LOG_PACKET>(entry);
  p->DumpDataSize = 8;
  p->NumberOfStrings = 1;
  p->StringOffset = size - 2;  // the string's terminator would lie past the end
  std::memset(reinterpret_cast<char*>(p) + size - 2, 'x', 2);
  IoWriteErrorLogEntry(entry);
  EXPECT_TRUE(expect.Saw(Check::InvalidCall));
  EXPECT_TRUE(sim::errorlog::Written().empty());
  EXPECT_EQ(0u, sim::errorlog::Outstanding());  // freed all the same
}

TEST_F(ErrorLog, AtDispatchLevelAndNotAbove) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  PVOID entry = IoAllocateErrorLogEntry(stack_.fdo, sizeof(IO_ERROR_LOG_PACKET) + 8);
  ASSERT_NE(nullptr, entry);
  IoWriteErrorLogEntry(Fill(entry, 0, u""));
  KeLowerIrql(old);
  EXPECT_EQ(1u, sim::errorlog::Written().size());
  ExpectViolations expect;
  KeRaiseIrql(DISPATCH_LEVEL + 1, &old);
  EXPECT_EQ(nullptr, IoAllocateErrorLogEntry(stack_.fdo, sizeof(IO_ERROR_LOG_PACKET)));
  KeLowerIrql(old);
  EXPECT_EQ(1u, expect.Count(Check::InvalidCall));
}

TEST_F(ErrorLog, AnEntryNeverWrittenIsLeftAllocated) {
  PVOID entry = IoAllocateErrorLogEntry(stack_.fdo, sizeof(IO_ERROR_LOG_PACKET));
  ASSERT_NE(nullptr, entry);
  {
    ExpectViolations expect;
    sim::verifier::CheckEndOfTest();
    EXPECT_EQ(1u, expect.Count(Check::ErrorLogEntryLeak));
  }
  IoWriteErrorLogEntry(entry);  // so that the fixture's own audit finds nothing
}

TEST_F(ErrorLog, AnEntryWrittenTwiceIsAFinding) {
  ExpectViolations expect;
  PVOID entry = IoAllocateErrorLogEntry(stack_.fdo, sizeof(IO_ERROR_LOG_PACKET) + 8);
  IoWriteErrorLogEntry(Fill(entry, 0, u""));
  IoWriteErrorLogEntry(entry);
  EXPECT_EQ(1u, expect.Count(Check::InvalidCall));
  EXPECT_EQ(1u, sim::errorlog::Written().size());
}

TEST_F(ErrorLog, TheFaultPlanCanRefuseAnEntry) {
  sim::faults::Fail(sim::faults::Kind::ErrorLogEntry);
  EXPECT_EQ(nullptr, IoAllocateErrorLogEntry(stack_.fdo, sizeof(IO_ERROR_LOG_PACKET)));
  EXPECT_EQ(0u, sim::errorlog::Outstanding());
}

TEST_F(ErrorLog, ThePerformanceCounterFollowsTheVirtualClock) {
  sim::clock::SetRate(0);
  LARGE_INTEGER frequency;
  const LONGLONG before = KeQueryPerformanceCounter(&frequency).QuadPart;
  EXPECT_EQ(10000000, frequency.QuadPart);
  sim::clock::AdvanceMs(60000);
  EXPECT_EQ(before + 600000000, KeQueryPerformanceCounter(nullptr).QuadPart);
}

}  // namespace
