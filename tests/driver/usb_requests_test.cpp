// The synchronous USB operations, judged by what reaches the bus.
#include <gtest/gtest.h>

#include <thread>

#include "driver/pool_tags.h"
#include "driver/pool_type.h"
#include "driver/usb_requests.h"
#include "sim/kernel/faults.h"
#include "sim/kernel/pool.h"
#include "tests/support/driver/driver_test.h"

namespace tarvik::test {
namespace {

using sim::usb::Completion;
using sim::usb::Kind;

struct UsbRequestsTest : DriverTest, ::testing::WithParamInterface<Completion> {
  // Started, so that the hub takes URBs for it (UrbBeforeStart); the wire
  // is cleared of the start's own traffic.
  Key PluggedKey(const sim::usb::KeyConfig& config = sim::usb::PrimaryKey()) {
    Key key = PlugAndStart(config);
    ClearWire(key);
    sim::usb::SetCompletion(key.pdo, GetParam());
    return key;
  }
  // Sends one command and reads back its answer through the two vendor operations.
  NTSTATUS Out(const Key& key, SetupPacket packet, std::vector<UCHAR> data) {
    auto* urb = static_cast<PURB>(
        ExAllocatePoolWithTag(DriverNonPagedPool, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                              sim::faults::Tag("kv21")));
    packet.wLength = static_cast<USHORT>(data.size());
    return VendorControlOut(key.fdo, &packet, data.data(), urb);
  }
};

TEST_P(UsbRequestsTest, VendorTransfersCarryTheSetupPacketAndData) {
  TARVIK_WHITE_BOX();
  Key key = PluggedKey();
  ASSERT_EQ(STATUS_SUCCESS, Out(key, {0x40, 0, 0, 0, 0}, {0x01, 0xAA, 0xBB}));
  UCHAR answer[16] = {};
  ULONG returned = 99;
  SetupPacket in{0xC0, 0, 0, 0, sizeof(answer)};
  ASSERT_EQ(STATUS_SUCCESS, VendorControlIn(key.fdo, &in, answer, &returned));
  // A short answer is a success with the shorter count.
  EXPECT_EQ(4u, returned);
  EXPECT_EQ((std::vector<UCHAR>{0xAA, 0xBB, 0x90, 0x00}), std::vector<UCHAR>(answer, answer + 4));

  auto wire = Wire(key);
  ASSERT_EQ(2u, wire.size());
  EXPECT_EQ(Kind::VendorOut, wire[0].kind);
  EXPECT_EQ(URB_FUNCTION_VENDOR_DEVICE, wire[0].function);
  EXPECT_EQ(0u, wire[0].flags);
  EXPECT_EQ(3u, wire[0].length);
  EXPECT_EQ((std::vector<UCHAR>{0x01, 0xAA, 0xBB}), wire[0].data);
  EXPECT_EQ(Kind::VendorIn, wire[1].kind);
  EXPECT_EQ(static_cast<ULONG>(USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK), wire[1].flags);
  EXPECT_EQ(16u, wire[1].length);
  EXPECT_EQ(0, sim::pool::LiveCount(sim::faults::Tag("kv21")) +
                   sim::pool::LiveCount(sim::faults::Tag("kv31")));
}

TEST_P(UsbRequestsTest, OnlyTheRecipientBitsOfTheRequestTypeReachTheUrb) {
  TARVIK_WHITE_BOX();
  Key key = PluggedKey();
  const UCHAR types[] = {0x40, 0xC0, 0x41, 0xC1, 0x5F};
  for (UCHAR type : types)
    ASSERT_EQ(STATUS_SUCCESS, Out(key, {type, 1, 0x1234, 0x5678, 0}, {0x02}));
  auto wire = Wire(key);
  ASSERT_EQ(5u, wire.size());
  const UCHAR expected[] = {0x00, 0x00, 0x01, 0x01, 0x1F};
  for (size_t i = 0; i < wire.size(); ++i) {
    EXPECT_EQ(expected[i], wire[i].requestTypeBits) << i;
    EXPECT_EQ(1, wire[i].request);
    EXPECT_EQ(0x1234, wire[i].value);
    EXPECT_EQ(0x5678, wire[i].index);
    EXPECT_EQ(Kind::VendorOut, wire[i].kind);
  }
}

TEST_P(UsbRequestsTest, ZeroLengthInTransferReportsNoBytes) {
  TARVIK_WHITE_BOX();
  Key key = PluggedKey();
  ASSERT_EQ(STATUS_SUCCESS, Out(key, {0x40, 0, 0, 0, 0}, {0x01, 0x55}));
  ULONG returned = 7;
  SetupPacket in{0xC0, 0, 0, 0, 0};
  EXPECT_EQ(STATUS_SUCCESS, VendorControlIn(key.fdo, &in, nullptr, &returned));
  EXPECT_EQ(0u, returned);
  EXPECT_EQ(0u, Wire(key).back().length);
}

TEST_P(UsbRequestsTest, FailuresOfTheStackComeBackUnchanged) {
  TARVIK_WHITE_BOX();
  Key key = PluggedKey();
  sim::usb::AddFault(key.pdo, {Kind::VendorIn, {0, 1}, STATUS_IO_DEVICE_ERROR});
  sim::usb::AddFault(key.pdo, {Kind::ResetPort, {0, 1}, STATUS_DEVICE_NOT_CONNECTED});
  UCHAR answer[8];
  ULONG returned = 5;
  SetupPacket in{0xC0, 0, 0, 0, sizeof(answer)};
  EXPECT_EQ(STATUS_IO_DEVICE_ERROR, VendorControlIn(key.fdo, &in, answer, &returned));
  EXPECT_EQ(0u, returned);
  EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, ResetPort(key.fdo));
  EXPECT_EQ(STATUS_SUCCESS, ResetPort(key.fdo));
  EXPECT_EQ((std::vector<Kind>{Kind::VendorIn, Kind::ResetPort, Kind::ResetPort}), WireKinds(key));
}

TEST_P(UsbRequestsTest, NoPoolOrNoRequestMeansNothingReachesTheKey) {
  TARVIK_WHITE_BOX();
  Key key = PluggedKey();
  UCHAR buffer[8];
  ULONG returned = 5;
  SetupPacket in{0xC0, 0, 0, 0, sizeof(buffer)};
  sim::faults::Fail(sim::faults::Kind::PoolAllocation, {}, sim::faults::Tag("kv31"));
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, VendorControlIn(key.fdo, &in, buffer, &returned));
  EXPECT_EQ(0u, returned);
  sim::faults::Fail(sim::faults::Kind::PoolAllocation, {}, sim::faults::Tag("kv41"));
  returned = 5;
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, ReadInterruptPipe(key.fdo, buffer, 8, &returned));
  EXPECT_EQ(5u, returned);  // left alone
  sim::faults::Fail(sim::faults::Kind::BuildRequest);
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, ResetPort(key.fdo));
  sim::faults::Fail(sim::faults::Kind::BuildRequest);
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, VendorControlIn(key.fdo, &in, buffer, &returned));
  EXPECT_TRUE(Wire(key).empty());
  EXPECT_EQ(1, key.ext->OutstandingIo);
}

TEST_P(UsbRequestsTest, SubmissionHoldsAReferenceAndAPortResetDoesNot) {
  TARVIK_WHITE_BOX();
  Key key = PluggedKey();
  ASSERT_EQ(1, key.ext->OutstandingIo);
  for (Kind kind : {Kind::VendorIn, Kind::ResetPort}) {
    sim::usb::HoldNext(key.pdo, kind);
    std::thread caller([&] {
      if (kind == Kind::ResetPort) {
        EXPECT_EQ(STATUS_SUCCESS, ResetPort(key.fdo));
      } else {
        UCHAR buffer[4];
        ULONG returned;
        SetupPacket in{0xC0, 0, 0, 0, sizeof(buffer)};
        EXPECT_EQ(STATUS_SUCCESS, VendorControlIn(key.fdo, &in, buffer, &returned));
      }
    });
    ASSERT_TRUE(sim::usb::WaitUntilHeld(key.pdo));
    EXPECT_EQ(kind == Kind::ResetPort ? 1 : 2, key.ext->OutstandingIo);
    sim::usb::ReleaseHeld(key.pdo);
    caller.join();
    EXPECT_EQ(1, key.ext->OutstandingIo);
  }
}

INSTANTIATE_TEST_SUITE_P(Completion, UsbRequestsTest,
                         ::testing::Values(Completion::Synchronous, Completion::Pending),
                         [](const auto& info) {
                           return info.param == Completion::Synchronous ? "Synchronous" : "Pending";
                         });

}  // namespace
}  // namespace tarvik::test
