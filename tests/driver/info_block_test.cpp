// The identification block as clients see it: read again by the query,
// served by the get, on keys of every family and after failed reads.
#include <gtest/gtest.h>

#include <thread>

#include "tests/support/driver/open_key_test.h"

namespace tarvik::test {
namespace {

using sim::usb::Kind;
using Bytes = std::vector<UCHAR>;

// The primary key's answer-to-reset: TS, T0 (TA1, TD1, six historical bytes),
// TA1, TD1, the historical bytes with version 4.00, TCK.
const Bytes kPrimaryBlock = {0x3B, 0x96, 0x11, 0x01, 0x4B, 0x04, 0x00, 0x54, 0x56, 0x34, 0xFF};

class InfoBlockTest : public OpenKeyTest {
 protected:
  void Open(const sim::usb::KeyConfig& config, const GUID& cls) {
    key_ = PlugAndStart(config);
    OpenInterface(cls);
  }
};

// A read of the block that fails, at whichever step, leaves nothing of the
// key's: the query still succeeds (its status does not show the failure) and
// serves an empty block, and the get serves an empty block too, never the
// zeroed bytes of the block's earlier length.
struct FailedReadCase {
  const char* name;
  std::vector<sim::usb::Fault> faults;
  std::vector<Kind> wire;
};

class FailedRead : public InfoBlockTest, public ::testing::WithParamInterface<FailedReadCase> {};

TEST_P(FailedRead, LeavesAnEmptyBlock) {
  Open(sim::usb::PrimaryKey(), GUID_KEY_INTERFACE_PRIMARY);
  ASSERT_EQ(kPrimaryBlock, Send(IOCTL_KEY_GET_INFO_BLOCK, {}, 64).Output);
  ClearWire(key_);
  for (const auto& fault : GetParam().faults)
    sim::usb::AddFault(key_.pdo, fault);
  auto query = Send(IOCTL_KEY_QUERY_INFO, {0}, 64);
  EXPECT_EQ(STATUS_SUCCESS, query.Status);
  EXPECT_EQ(0u, query.Information);
  EXPECT_EQ(GetParam().wire, WireKinds(key_));
  auto get = Send(IOCTL_KEY_GET_INFO_BLOCK, {}, 64);
  EXPECT_EQ(STATUS_SUCCESS, get.Status);
  EXPECT_EQ(0u, get.Information);
  // Nothing to return, so no room is needed either.
  EXPECT_EQ(STATUS_SUCCESS, Send(IOCTL_KEY_GET_INFO_BLOCK, {}, 0).Status);
  // The next good read brings the block back.
  sim::usb::ClearFaults(key_.pdo);
  auto again = Send(IOCTL_KEY_QUERY_INFO, {1}, 64);
  EXPECT_EQ(STATUS_SUCCESS, again.Status);
  EXPECT_EQ(kPrimaryBlock, again.Output);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, FailedRead,
    ::testing::Values(FailedReadCase{"Report",
                                     {{Kind::Interrupt, {0, 1}, STATUS_IO_DEVICE_ERROR}},
                                     {Kind::VendorOut, Kind::Interrupt}},
                      FailedReadCase{"Answer",
                                     {{Kind::VendorIn, {0, 1}, STATUS_IO_DEVICE_ERROR}},
                                     {Kind::VendorOut, Kind::Interrupt, Kind::VendorIn}},
                      FailedReadCase{"PortReset",
                                     {{Kind::VendorOut, {0, 1}},
                                      {Kind::ResetPort, {0, 1}, STATUS_DEVICE_NOT_CONNECTED}},
                                     {Kind::VendorOut, Kind::ResetPort}}),
    [](const auto& info) { return info.param.name; });

// The query reads the block from a key of any family: a secondary key, whose
// block is never read at start, answers with its own block and, for its
// version 1.00, the check byte.
TEST_F(InfoBlockTest, QueryReadsTheBlockOfASecondaryKey) {
  Open(sim::usb::SecondaryKey(), GUID_KEY_INTERFACE_SECONDARY);
  EXPECT_EQ(0u, Send(IOCTL_KEY_GET_INFO_BLOCK, {}, 64).Information);
  ClearWire(key_);
  auto io = Send(IOCTL_KEY_QUERY_INFO, {0}, 64);
  EXPECT_EQ(STATUS_SUCCESS, io.Status);
  EXPECT_EQ((Bytes{0x3B, 0x96, 0x11, 0x01, 0x4B, 0x01, 0x00, 0x54, 0x56, 0x34, 0xFA, 0x00}),
            io.Output);
  auto wire = Wire(key_);
  ASSERT_EQ(3u, wire.size());
  EXPECT_EQ(Kind::VendorOut, wire[0].kind);
  EXPECT_EQ(1, wire[0].request);
  EXPECT_EQ(2, wire[0].value);
  EXPECT_EQ(Bytes(4, 0), wire[0].data);
  EXPECT_EQ(Kind::Interrupt, wire[1].kind);
  EXPECT_EQ(Kind::VendorIn, wire[2].kind);
  EXPECT_EQ(1, wire[2].request);
  EXPECT_EQ(64u, wire[2].length);
  // The get serves what the query read, without the check byte.
  EXPECT_EQ((Bytes{0x3B, 0x96, 0x11, 0x01, 0x4B, 0x01, 0x00, 0x54, 0x56, 0x34, 0xFA}),
            Send(IOCTL_KEY_GET_INFO_BLOCK, {}, 64).Output);
}

// The get copies the block under TransferMutex: while an exchange holds the
// key, a get waits for it and then serves the whole block.
TEST_F(InfoBlockTest, GetWaitsForTheExchangeInProgress) {
  Open(sim::usb::PrimaryKey(), GUID_KEY_INTERFACE_PRIMARY);
  sim::usb::HoldNext(key_.pdo, Kind::VendorIn);
  sim::Client::Io query;
  std::thread querying([&] { query = Send(IOCTL_KEY_QUERY_INFO, {0}, 64); });
  ASSERT_TRUE(sim::usb::WaitUntilHeld(key_.pdo));
  // The query has cleared the block and holds the mutex until its answer is in.
  std::atomic<bool> served{false};
  sim::Client::Io get;
  std::thread getting([&] {
    get = Send(IOCTL_KEY_GET_INFO_BLOCK, {}, 64);
    served = true;
  });
  // The get cannot finish before the held answer is let go.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(served.load());
  sim::usb::ReleaseHeld(key_.pdo);
  querying.join();
  getting.join();
  EXPECT_EQ(kPrimaryBlock, query.Output);
  EXPECT_EQ(STATUS_SUCCESS, get.Status);
  EXPECT_EQ(kPrimaryBlock, get.Output);
}

}  // namespace
}  // namespace tarvik::test
