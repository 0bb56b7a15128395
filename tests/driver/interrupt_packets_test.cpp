// The USB stack below the driver ends an interrupt IN transfer as USB does:
// a full packet (the endpoint's maximum size) does not end it, only all the
// bytes asked for or a shorter packet do; a short end fails it unless the
// sender allowed short transfers. Sent straight to the bus's device, on the
// pipe the driver selected, while client requests give the key reports.
#include <gtest/gtest.h>

#include "tests/support/driver/open_key_test.h"

namespace tarvik::test {
namespace {

using Bytes = std::vector<UCHAR>;

struct Transfer {
  URB urb = {};
  UCHAR buffer[64] = {};
  KEVENT event;
  IO_STATUS_BLOCK io = {};
  PIRP irp = nullptr;
  NTSTATUS sent = STATUS_SUCCESS;
};

class InterruptPackets : public OpenKeyTest {
 protected:
  void Open(USHORT maxPacketSize) {
    auto config = sim::usb::PrimaryKey();
    config.endpoints[0].maxPacketSize = maxPacketSize;
    key_ = PlugAndStart(config);
    OpenInterface(GUID_KEY_INTERFACE_PRIMARY);
  }
  void Begin(Transfer& t, ULONG length, ULONG flags) {
    auto& u = t.urb.UrbBulkOrInterruptTransfer;
    u.Hdr.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    u.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    u.PipeHandle = key_.ext->InterruptPipe;
    u.TransferFlags = USBD_TRANSFER_DIRECTION_IN | flags;
    u.TransferBufferLength = length;
    u.TransferBuffer = t.buffer;
    KeInitializeEvent(&t.event, NotificationEvent, FALSE);
    t.irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, key_.pdo, nullptr, 0,
                                          nullptr, 0, TRUE, &t.event, &t.io);
    ASSERT_NE(nullptr, t.irp);
    IoGetNextIrpStackLocation(t.irp)->Parameters.Others.Argument1 = &t.urb;
    t.sent = IoCallDriver(key_.pdo, t.irp);
  }
  NTSTATUS End(Transfer& t) {
    if (t.sent == STATUS_PENDING)
      KeWaitForSingleObject(&t.event, Executive, KernelMode, FALSE, nullptr);
    return t.io.Status;
  }
  // A command (echo of one byte): the key queues one report.
  void Command(UCHAR byte) {
    ASSERT_EQ(STATUS_SUCCESS,
              Send(IOCTL_KEY_VENDOR_WRITE, {0x40, 0, 0, 0, 0, 0, 2, 0, 0x01, byte}, 0).Status);
  }
  Bytes Received(const Transfer& t) const {
    const ULONG n = t.urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
    return Bytes(t.buffer, t.buffer + n);
  }
};

TEST_F(InterruptPackets, AFullPacketWaitsForTheNextOne) {
  TARVIK_WHITE_BOX();
  Open(8);
  Transfer t;
  Begin(t, 16, USBD_SHORT_TRANSFER_OK);
  Command(0x33);
  // The first report filled one packet: the transfer goes on waiting.
  ASSERT_TRUE(sim::usb::WaitUntilWaiting(key_.pdo, 1));
  EXPECT_EQ(STATUS_PENDING, t.sent);
  EXPECT_EQ(1u, sim::usb::Waiting(key_.pdo));
  Command(0x34);
  EXPECT_EQ(STATUS_SUCCESS, End(t));
  EXPECT_EQ((Bytes{0xA5, 2, 3, 0, 0, 0, 0, 0, 0xA5, 3, 3, 0, 0, 0, 0, 0}), Received(t));
  EXPECT_EQ(0u, sim::usb::Waiting(key_.pdo));
}

TEST_F(InterruptPackets, ACancelledTransferLosesWhatItHadReceived) {
  TARVIK_WHITE_BOX();
  Open(8);
  Transfer t;
  Begin(t, 16, USBD_SHORT_TRANSFER_OK);
  Command(0x33);
  ASSERT_TRUE(sim::usb::WaitUntilWaiting(key_.pdo, 1));
  IoCancelIrp(t.irp);
  EXPECT_EQ(STATUS_CANCELLED, End(t));
  EXPECT_EQ(0u, t.urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
  EXPECT_EQ(USBD_STATUS_CANCELED, t.urb.UrbHeader.Status);
  // The report went with it: the key has nothing more to send.
  EXPECT_FALSE(sim::usb::KeyOf(key_.pdo).ReportReady());
}

// On an endpoint whose packets are larger than the report, the report is a
// short packet and ends the transfer.
struct ShortCase {
  const char* name;
  ULONG flags;
  NTSTATUS status;
  USBD_STATUS usbd;
  Bytes received;
};

class ShortPackets : public InterruptPackets, public ::testing::WithParamInterface<ShortCase> {};

TEST_P(ShortPackets, EndTheTransfer) {
  TARVIK_WHITE_BOX();
  const ShortCase& c = GetParam();
  Open(64);
  Transfer t;
  Begin(t, 16, c.flags);
  Command(0x33);
  EXPECT_EQ(c.status, End(t));
  EXPECT_EQ(c.usbd, t.urb.UrbHeader.Status);
  EXPECT_EQ(c.received, Received(t));
}

INSTANTIATE_TEST_SUITE_P(
    Flags, ShortPackets,
    ::testing::Values(ShortCase{"ShortTransferOk", USBD_SHORT_TRANSFER_OK, STATUS_SUCCESS,
                                USBD_STATUS_SUCCESS, Bytes{0xA5, 2, 3, 0, 0, 0, 0, 0}},
                      ShortCase{"WithoutShortTransferOk", 0, STATUS_UNSUCCESSFUL,
                                USBD_STATUS_ERROR_SHORT_TRANSFER, Bytes{}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tarvik::test
