// Opening, closing, reading and writing handles on the key.
#include <gtest/gtest.h>

#include "tests/support/driver/driver_test.h"
#include "tests/support/driver/record_view.h"

namespace tarvik::test {
namespace {

struct ShareCase {
  const char* name;
  std::vector<USHORT> opens;      // share access of each open, in order
  std::vector<NTSTATUS> results;  // what each open gets
  ULONG mask;                     // ShareAccessMask afterwards
};

struct ShareRule : DriverTest, ::testing::WithParamInterface<ShareCase> {};

TEST_P(ShareRule, AdmitsAsTheRuleSays) {
  TARVIK_WHITE_BOX();
  const auto& p = GetParam();
  Key key = PlugAndStart();
  sim::Client client;
  ULONG admitted = 0;
  for (size_t i = 0; i < p.opens.size(); ++i) {
    auto open = client.OpenInterface(Link(GUID_KEY_INTERFACE_PRIMARY), p.opens[i]);
    EXPECT_EQ(p.results[i], open.Status) << "open " << i;
    admitted += NT_SUCCESS(open.Status);
  }
  EXPECT_EQ(admitted, Record(key).OpenHandleCount());
  EXPECT_EQ(p.mask, Record(key).ShareAccessMask());
}

constexpr USHORT R = FILE_SHARE_READ;
constexpr USHORT W = FILE_SHARE_WRITE;

INSTANTIATE_TEST_SUITE_P(
    Cases, ShareRule,
    ::testing::Values(ShareCase{"ExclusiveFirstShutsOthersOut",
                                {0, R, 0},
                                {STATUS_SUCCESS, STATUS_ACCESS_DENIED, STATUS_ACCESS_DENIED},
                                0},
                      ShareCase{"ReadThenWrite", {R, W}, {STATUS_SUCCESS, STATUS_SUCCESS}, 3},
                      ShareCase{
                          "ReadThenExclusive", {R, 0}, {STATUS_SUCCESS, STATUS_ACCESS_DENIED}, R},
                      ShareCase{"AnySharingAnyKind",
                                {FILE_SHARE_DELETE, R, W},
                                {STATUS_SUCCESS, STATUS_SUCCESS, STATUS_SUCCESS},
                                7}),
    [](const auto& info) { return info.param.name; });

TEST_F(DriverTest, LastCloseClearsTheMaskAndCloseWorksAfterRemoval) {
  TARVIK_WHITE_BOX();
  Key key = PlugAndStart();
  sim::Client client;
  auto first = client.OpenInterface(Link(GUID_KEY_INTERFACE_PRIMARY), R);
  auto second = client.OpenInterface(Link(GUID_KEY_INTERFACE_AUX), W);
  ASSERT_EQ(STATUS_SUCCESS, second.Status);
  EXPECT_EQ(STATUS_SUCCESS, client.Close(first.Handle));
  EXPECT_EQ(3u, Record(key).ShareAccessMask());  // closing does not take bits away
  EXPECT_EQ(STATUS_SUCCESS, client.Close(second.Handle));
  EXPECT_EQ(0u, Record(key).ShareAccessMask());
  auto exclusive = client.OpenInterface(Link(GUID_KEY_INTERFACE_PRIMARY), 0);
  EXPECT_EQ(STATUS_SUCCESS, exclusive.Status);
  // The key goes away with the handle open; the close still succeeds.
  sim::usb::Unplug(key.pdo);
  ASSERT_EQ(STATUS_SUCCESS, sim::pnp::SurpriseRemove(key.pdo));
  EXPECT_EQ(STATUS_SUCCESS, client.Close(exclusive.Handle));
  EXPECT_EQ(0u, Record(key).OpenHandleCount());
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Remove(key.pdo));
}

TEST_F(DriverTest, ReadWriteAndOpenFollowTheState) {
  TARVIK_WHITE_BOX();
  Key key = PlugAndStart();
  sim::Client client;
  auto open = client.OpenInterface(Link(GUID_KEY_INTERFACE_PRIMARY), R | W);
  ASSERT_EQ(STATUS_SUCCESS, open.Status);
  auto read = client.Read(open.Handle, 100);
  EXPECT_EQ(STATUS_SUCCESS, read.Status);
  EXPECT_EQ(0u, read.Information);
  auto write = client.Write(open.Handle, {1, 2, 3});
  EXPECT_EQ(STATUS_SUCCESS, write.Status);
  EXPECT_EQ(0u, write.Information);
  EXPECT_TRUE(Wire(key).size() > 0);  // the start's traffic only
  ClearWire(key);

  // Pending stop, stopped, pending removal: nothing is served, counters stay.
  using Step = NTSTATUS (*)(PDEVICE_OBJECT);
  const Step steps[] = {sim::pnp::QueryStop, sim::pnp::Stop};
  for (Step step : steps) {
    ASSERT_EQ(STATUS_SUCCESS, step(key.pdo));
    EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, client.Read(open.Handle, 8).Status);
    EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, client.Write(open.Handle, {1}).Status);
    EXPECT_EQ(STATUS_INVALID_DEVICE_STATE,
              client.OpenInterface(Link(GUID_KEY_INTERFACE_PRIMARY), R).Status);
    EXPECT_EQ(1u, Record(key).OpenHandleCount());
  }
  ASSERT_TRUE(NT_SUCCESS(sim::pnp::Start(key.pdo)));
  ASSERT_EQ(STATUS_SUCCESS, sim::pnp::QueryRemove(key.pdo));
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, client.Read(open.Handle, 8).Status);
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::CancelRemove(key.pdo));
  EXPECT_EQ(STATUS_SUCCESS, client.Read(open.Handle, 8).Status);
  EXPECT_EQ(1, Record(key).OutstandingIo());
}

TEST_F(DriverTest, CleanupAndInternalControlFromUserModeMeetTheDefaultHandler) {
  PlugAndStart();
  sim::Client client;
  auto open = client.OpenInterface(Link(GUID_KEY_INTERFACE_PRIMARY), R);
  ASSERT_EQ(STATUS_SUCCESS, open.Status);
  auto io = client.InternalDeviceIoControl(open.Handle, IOCTL_KEY_PROBE, {0x01}, 0);
  EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, io.Status);
  EXPECT_EQ(STATUS_SUCCESS, client.Close(open.Handle));  // its cleanup is the default's too
}

}  // namespace
}  // namespace tarvik::test
