// Which Windows the kernel pretends to be, and the pool types it accepts:
// executable non-paged pool is a finding where NonPagedPoolNx exists, and
// NonPagedPoolNx is unknown before Windows 8.
#include <gtest/gtest.h>

#include <string>

#include "sim/kernel/version.h"
#include "tests/support/kernel/kernel_test.h"

namespace {

using sim::faults::Tag;
using sim::verifier::Check;

struct VersionCase {
  const char* name;
  sim::os::Version version;
  ULONG major, minor, build;
  bool nx;
};

class Versions : public sim::test::KernelTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(Versions, RtlGetVersionAndTheNxPool) {
  const auto& p = GetParam();
  sim::os::Pretend(p.version);
  RTL_OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof(info);
  ASSERT_EQ(STATUS_SUCCESS, RtlGetVersion(&info));
  EXPECT_EQ(p.major, info.dwMajorVersion);
  EXPECT_EQ(p.minor, info.dwMinorVersion);
  EXPECT_EQ(p.build, info.dwBuildNumber);
  EXPECT_EQ(2u, info.dwPlatformId);
  EXPECT_EQ(p.nx, sim::os::HasNxPool());
  // The pool that the system has for data is accepted and recorded with its type.
  const POOL_TYPE data = p.nx ? NonPagedPoolNx : NonPagedPool;
  PVOID block = ExAllocatePoolWithTag(data, 16, Tag("kv21"));
  ASSERT_NE(nullptr, block);
  auto live = sim::pool::LiveAllocations(Tag("kv21"));
  ASSERT_EQ(1u, live.size());
  EXPECT_EQ(data, live[0].type);
  ExFreePool(block);
  ExFreePool(ExAllocatePoolWithTag(PagedPool, 16, Tag("kv31")));
}

INSTANTIATE_TEST_SUITE_P(
    Windows, Versions,
    ::testing::Values(VersionCase{"Seven", sim::os::kWindows7, 6, 1, 7601, false},
                      VersionCase{"Eight", sim::os::kWindows8, 6, 2, 9200, true},
                      VersionCase{"Ten", sim::os::kWindows10, 10, 0, 19045, true}),
    [](const auto& info) { return info.param.name; });

TEST(VersionAlone, AFreshKernelIsWindows10) {
  sim::os::Pretend(sim::os::kWindows7);
  sim::ResetKernel();
  EXPECT_EQ(10u, sim::os::Current().major);
  EXPECT_TRUE(sim::os::HasNxPool());
}

using PoolTypes = sim::test::KernelTest;

TEST_F(PoolTypes, RtlGetVersionWantsAKnownStructureSize) {
  RTL_OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof(info) - 1;
  EXPECT_EQ(STATUS_INVALID_PARAMETER, RtlGetVersion(&info));
}

TEST_F(PoolTypes, ExecutablePoolWhereNxPoolExistsIsAFinding) {
  sim::test::ExpectViolations expect;
  for (POOL_TYPE type : {NonPagedPool, NonPagedPoolCacheAligned})
    ExFreePool(ExAllocatePoolWithTag(type, 8, Tag("kv21")));
  ASSERT_EQ(2u, expect.Count(Check::ExecutablePool));
  EXPECT_NE(std::string::npos, expect.All()[0].message.find("\"kv21\""));
}

TEST_F(PoolTypes, NxPoolBeforeWindows8IsAnInvalidCall) {
  sim::os::Pretend(sim::os::kWindows7);
  sim::test::ExpectViolations expect;
  ExFreePool(ExAllocatePoolWithTag(NonPagedPoolNx, 8, Tag("kv21")));
  EXPECT_EQ(1u, expect.Count(Check::InvalidCall));
  EXPECT_EQ(0u, expect.Count(Check::ExecutablePool));
}

}  // namespace
