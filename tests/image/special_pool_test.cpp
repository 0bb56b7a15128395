// Special pool for the pool blocks of a loaded image, against the small
// images of tests/pe/images: where a block is placed in each mode, which
// allocations get special pool (those through the image's imports), that the pool's accounting
// holds for special blocks, and the bug check each planted pool fault raises, naming the block's
// tag and the routine.
#include <string>

#include "sim/image/bug_check.h"
#include "sim/image/image.h"
#include "sim/image/loader.h"
#include "sim/kernel/special_pool.h"
#include "tests/support/image/fault_case_name.h"
#include "tests/support/kernel/kernel_test.h"

namespace {

using sim::image::Image;
using sim::pool::special::Mode;

constexpr ULONG kTag = 0x766F7053;  // "Spov", the tag of every block of the images

using AllocateBlock = PVOID(__attribute__((ms_abi)) *)(SIZE_T);
using FreeBlock = VOID(__attribute__((ms_abi)) *)(PVOID);
using Planted = NTSTATUS(__attribute__((ms_abi)) *)();

std::string TinyImage(const std::string& name) {
  return std::string(TARVIK_TEST_IMAGES) + "/" + name + ".sys";
}

Image* Map(const std::string& name) {
  std::string refusal;
  Image* image = sim::image::MapImage(TinyImage(name), &refusal);
  EXPECT_NE(nullptr, image) << refusal;
  return image;
}

template <typename Routine>
Routine Find(Image* image, const char* name) {
  return reinterpret_cast<Routine>(sim::image::RoutineAddress(image, name));
}

std::string ModeName(Mode mode) {
  return mode == Mode::Overrun ? "overrun" : mode == Mode::Underrun ? "underrun" : "off";
}

class SpecialPool : public sim::test::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    // Whatever TARVIK_SPECIAL_POOL says for the run.
    sim::pool::special::SetMode(Mode::Overrun);
    image_ = Map("pool_blocks");
    ASSERT_NE(nullptr, image_);
    allocate_ = Find<AllocateBlock>(image_, "AllocateBlock");
    free_ = Find<FreeBlock>(image_, "FreeBlock");
    ASSERT_NE(nullptr, allocate_);
    ASSERT_NE(nullptr, free_);
  }

  Image* image_ = nullptr;
  AllocateBlock allocate_ = nullptr;
  FreeBlock free_ = nullptr;
};

struct Placement {
  Mode mode;
  SIZE_T bytes;
  uintptr_t offsetInPage;  // where the block starts in its page
};

// Verify End: the block ends at the end of its last page, rounded up to 16
// bytes; Verify Start: the block starts its first page.
const Placement kPlacements[] = {
    {Mode::Overrun, 1, 0xFF0},     {Mode::Overrun, 13, 0xFF0},   {Mode::Overrun, 16, 0xFF0},
    {Mode::Overrun, 17, 0xFE0},    {Mode::Overrun, 4080, 0x010}, {Mode::Overrun, 4096, 0x000},
    {Mode::Overrun, 4097, 0xFF0},  {Mode::Underrun, 1, 0x000},   {Mode::Underrun, 13, 0x000},
    {Mode::Underrun, 4097, 0x000},
};

TEST_F(SpecialPool, PlacesEachBlockOfTheImageAgainstItsGuardPageAndCountsItAsPool) {
  for (const Placement& p : kPlacements) {
    SCOPED_TRACE(ModeName(p.mode) + " " + std::to_string(p.bytes) + " bytes");
    sim::pool::special::SetMode(p.mode);
    auto* block = static_cast<unsigned char*>(allocate_(p.bytes));
    ASSERT_NE(nullptr, block);
    EXPECT_EQ(p.offsetInPage, reinterpret_cast<uintptr_t>(block) & 0xFFF);
    // Fresh pool is not zeroed, special or not.
    EXPECT_EQ(sim::pool::kFillPattern, block[0]);
    EXPECT_EQ(sim::pool::kFillPattern, block[p.bytes - 1]);
    EXPECT_EQ(1u, sim::pool::LiveCount(kTag));
    EXPECT_EQ(p.bytes, sim::pool::LiveBytes(kTag));
    free_(block);
    EXPECT_EQ(0u, sim::pool::LiveCount(kTag));
  }
}

struct Caller {
  const char* who;
  Mode mode;
  bool fromImage;
  uint64_t special;  // blocks placed in special pool
};

const Caller kCallers[] = {
    {"image, overrun", Mode::Overrun, true, 1},
    {"image, underrun", Mode::Underrun, true, 1},
    {"image, special pool off", Mode::Off, true, 0},
    {"the kernel or a host driver", Mode::Overrun, false, 0},
};

TEST_F(SpecialPool, IsForTheImagesCallsOnlyAndOnlyWhenOn) {
  for (const Caller& c : kCallers) {
    SCOPED_TRACE(c.who);
    sim::pool::special::SetMode(c.mode);
    uint64_t before = sim::pool::special::CurrentFigures().allocations;
    PVOID block = c.fromImage ? allocate_(24) : ExAllocatePoolWithTag(NonPagedPoolNx, 24, kTag);
    ASSERT_NE(nullptr, block);
    EXPECT_EQ(c.special, sim::pool::special::CurrentFigures().allocations - before);
    ExFreePoolWithTag(block, kTag);
  }
}

TEST_F(SpecialPool, KeepsThePoolsAccountingForSpecialBlocks) {
  sim::test::ExpectViolations violations;
  PVOID kept = allocate_(40);
  PVOID freedTwice = allocate_(8);
  free_(freedTwice);
  free_(freedTwice);
  PVOID otherTag = allocate_(8);
  ExFreePoolWithTag(otherTag, 0x656E6F4E);
  int local = 0;
  free_(&local);
  sim::verifier::CheckEndOfTest();

  auto all = violations.All();
  ASSERT_EQ(4u, all.size());
  EXPECT_EQ(sim::verifier::Check::PoolDoubleFree, all[0].check);
  EXPECT_NE(std::string::npos, all[0].message.find("of tag \"Spov\" freed twice"));
  EXPECT_EQ(sim::verifier::Check::PoolTagMismatch, all[1].check);
  EXPECT_EQ(sim::verifier::Check::PoolBadFree, all[2].check);
  EXPECT_EQ(sim::verifier::Check::PoolLeak, all[3].check);
  EXPECT_EQ("PoolLeak: 1 block(s), 40 byte(s) of tag \"Spov\" still allocated", all[3].message);
  ExFreePool(kept);
}

struct PlantedFault {
  const char* fault;
  const char* image;
  const char* routine;
  Mode mode;
  const char* report;  // regular expression
};

const PlantedFault kFaults[] = {
    {"overrun by one byte", "pool_overrun", "OverrunByOne", Mode::Overrun,
     "STOP: 0x000000d6 DRIVER_PAGE_FAULT_BEYOND_END_OF_ALLOCATION \\(0x[0-9a-f]{13}000, "
     "0x0000000000000001, 0x[0-9a-f]{16}, 0x0000000000000000\\)\n"
     "\\*\\*\\* write beyond the end of a pool block of tag \"Spov\" \\(32 bytes at "
     "0x[0-9a-f]+fe0\\) in pool_overrun\\.sys!OverrunByOne\\+0x[0-9a-f]+\n"},
    {"write into the slack", "pool_slack_write", "WriteIntoSlack", Mode::Overrun,
     "STOP: 0x000000c1 SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION \\(0x[0-9a-f]+ff0, "
     "0x[0-9a-f]+ffd, 0x0000000000000000, 0x0000000000000024\\)\n"
     "\\*\\*\\* bytes after the end overwritten, found at the free of a pool block of tag "
     "\"Spov\" \\(13 bytes at 0x[0-9a-f]+ff0\\) in pool_slack_write\\.sys!WriteIntoSlack\\+0x"},
    {"use after free", "pool_use_after_free", "UseAfterFree", Mode::Overrun,
     "STOP: 0x000000cc PAGE_FAULT_IN_FREED_SPECIAL_POOL \\(0x[0-9a-f]+fe0, 0x0000000000000000, "
     "0x[0-9a-f]{16}, 0x0000000000000000\\)\n"
     "\\*\\*\\* read of a freed pool block of tag \"Spov\" \\(32 bytes at 0x[0-9a-f]+fe0\\) in "
     "pool_use_after_free\\.sys!UseAfterFree\\+0x"},
    {"underrun by one byte", "pool_underrun", "UnderrunByOne", Mode::Underrun,
     "STOP: 0x000000d6 DRIVER_PAGE_FAULT_BEYOND_END_OF_ALLOCATION \\(0x[0-9a-f]+fff, "
     "0x0000000000000001, .*\n"
     "\\*\\*\\* write before the start of a pool block of tag \"Spov\" \\(32 bytes at "
     "0x[0-9a-f]+000\\) in pool_underrun\\.sys!UnderrunByOne\\+0x"},
    {"copy beyond the end by the kernel", "pool_copy_overrun", "CopyOverrun", Mode::Overrun,
     "STOP: 0x000000cd PAGE_FAULT_BEYOND_END_OF_ALLOCATION \\(0x[0-9a-f]{13}000, "
     "0x0000000000000001, .*\n"
     "\\*\\*\\* write beyond the end of a pool block of tag \"Spov\" \\(32 bytes at "
     "0x[0-9a-f]+fe0\\) in the kernel from pool_copy_overrun\\.sys!CopyOverrun\\+0x[0-9a-f]+ "
     "\\(caller\\)\n"},
    // Each mode sees the other side's fault only when the block is freed.
    {"underrun by one byte, overrun mode", "pool_underrun", "UnderrunByOne", Mode::Overrun,
     "STOP: 0x000000c1 SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION \\(0x[0-9a-f]+fe0, "
     "0x[0-9a-f]+fdf, 0x0000000000000000, 0x0000000000000023\\)\n"
     "\\*\\*\\* bytes before the start overwritten, found at the free of a pool block of tag "
     "\"Spov\" \\(32 bytes at 0x[0-9a-f]+fe0\\) in pool_underrun\\.sys!UnderrunByOne\\+0x"},
    {"overrun by one byte, underrun mode", "pool_overrun", "OverrunByOne", Mode::Underrun,
     "STOP: 0x000000c1 SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION \\(0x[0-9a-f]+000, "
     "0x[0-9a-f]+020, 0x0000000000000000, 0x0000000000000024\\)\n"
     "\\*\\*\\* bytes after the end overwritten, found at the free of a pool block of tag "
     "\"Spov\" \\(32 bytes at 0x[0-9a-f]+000\\) in pool_overrun\\.sys!OverrunByOne\\+0x"},
};

class SpecialPoolDeath : public sim::test::KernelTest,
                         public ::testing::WithParamInterface<PlantedFault> {};

TEST_P(SpecialPoolDeath, PlantedFaultIsTheBugCheckNamingTagAndRoutine) {
  const PlantedFault& f = GetParam();
  Image* image = Map(f.image);
  ASSERT_NE(nullptr, image);
  auto planted = Find<Planted>(image, f.routine);
  ASSERT_NE(nullptr, planted);
  EXPECT_EXIT(
      {
        sim::pool::special::SetMode(f.mode);
        planted();
      },
      ::testing::ExitedWithCode(sim::image::kBugCheckExitStatus), f.report);
}

INSTANTIATE_TEST_SUITE_P(Images, SpecialPoolDeath, ::testing::ValuesIn(kFaults),
                         sim::test::FaultCaseName());

// Freed blocks stay inaccessible while newer ones come and go: a thousand
// blocks later, the first one still faults.
TEST_F(SpecialPool, KeepsFreedBlocksInaccessibleForAThousandFrees) {
  auto* first = static_cast<volatile unsigned char*>(allocate_(32));
  ASSERT_NE(nullptr, first);
  free_(const_cast<unsigned char*>(first));
  for (int i = 0; i < 1000; ++i) {
    PVOID block = allocate_(32);
    ASSERT_NE(nullptr, block);
    ASSERT_NE(static_cast<PVOID>(const_cast<unsigned char*>(first)), block);
    free_(block);
  }
  EXPECT_EQ(sim::pool::special::Hit::Freed,
            sim::pool::special::Find(reinterpret_cast<uintptr_t>(first)).hit);
}

}  // namespace
