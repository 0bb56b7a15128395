// The driver's pool: non-executable where the system has it, the executable
// non-paged pool on Windows 7; tags and sizes the same on both. The verifier
// flags every allocation of the other kind as it is made, so each operation
// below checks the pool type of every allocation on its path.
#include <gtest/gtest.h>

#include "driver/driver.h"
#include "sim/kernel/version.h"
#include "tests/support/driver/driver_test.h"

namespace tarvik::test {
namespace {

using sim::faults::Tag;
using Bytes = std::vector<UCHAR>;

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
