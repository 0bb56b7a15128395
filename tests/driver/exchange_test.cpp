// Command exchanges with the key as they appear on the wire.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "driver/key_transaction.h"
#include "sim/kernel/clock.h"
#include "tests/support/driver/driver_test.h"
#include "tests/support/driver/record_view.h"

namespace tarvik::test {
namespace {

using sim::usb::Kind;
using Bytes = std::vector<UCHAR>;

class ExchangeTest : public DriverTest {
 protected:
  Key OpenKey(const sim::usb::KeyConfig& config) {
    Key key = PlugAndStart(config);
    client_ = std::make_unique<sim::Client>();
    handle_ = client_->OpenInterface(Link(ClientInterfaceClass()), FILE_SHARE_READ).Handle;
    EXPECT_NE(nullptr, handle_);
    ClearWire(key);
    return key;
  }
  sim::Client::Io Raw(const Bytes& command, ULONG out) {
    return client_->DeviceIoControl(handle_, IOCTL_KEY_TRANSACT_RAW, command, out);
  }
  void TearDown() override {
    client_.reset();
    DriverTest::TearDown();
  }
  std::unique_ptr<sim::Client> client_;
  HANDLE handle_ = nullptr;
};

// Which keys wait for the answer report, and how the identification block is read at start.
struct SignalCase {
  const char* name;
  sim::usb::KeyConfig config;
  bool readsInfoAtStart;
  bool signals;
};

class Signalling : public ExchangeTest, public ::testing::WithParamInterface<SignalCase> {};

sim::usb::KeyConfig WithRevision(sim::usb::KeyConfig c, uint16_t revision) {
  c.bcdDevice = revision;
  return c;
}

TEST_P(Signalling, ReportReadOnlyWhenTheKeySignals) {
  TARVIK_WHITE_BOX();
  const auto& p = GetParam();
  Key key = Plug(p.config);
  ASSERT_EQ(STATUS_SUCCESS, sim::pnp::Start(key.pdo));
  auto start = Wire(key);
  const std::vector<Kind> configure = {Kind::GetDescriptor, Kind::GetDescriptor,
                                       Kind::SelectConfiguration};
  std::vector<Kind> expected = configure;
  if (p.readsInfoAtStart) {
    expected.push_back(Kind::VendorOut);
    if (p.signals)
      expected.push_back(Kind::Interrupt);
    expected.push_back(Kind::VendorIn);
  }
  EXPECT_EQ(expected, WireKinds(key));
  if (p.readsInfoAtStart) {
    // Request 1, value 2, four zero bytes; then up to 64 bytes at request 1.
    const auto& out = start[3];
    EXPECT_EQ(0, out.requestTypeBits);
    EXPECT_EQ(1, out.request);
    EXPECT_EQ(2, out.value);
    EXPECT_EQ(0, out.index);
    EXPECT_EQ(Bytes(4, 0), out.data);
    const auto& in = start.back();
    EXPECT_EQ(1, in.request);
    EXPECT_EQ(0, in.value);
    EXPECT_EQ(64u, in.length);
    EXPECT_EQ(Record(key).InfoBlockLength(), in.transferred);
  } else {
    EXPECT_EQ(0u, Record(key).InfoBlockLength());
  }
  // A command exchange on the same key.
  ClearWire(key);
  sim::Client client;
  const GUID& cls = Record(key).Family() == FamilySecondary ? GUID_KEY_INTERFACE_SECONDARY
                                                            : GUID_KEY_INTERFACE_PRIMARY;
  auto open = client.OpenInterface(Link(cls), 0);
  auto io = client.DeviceIoControl(open.Handle, IOCTL_KEY_TRANSACT_RAW, {0x01, 0x42}, 8);
  EXPECT_EQ(STATUS_SUCCESS, io.Status);
  EXPECT_EQ((Bytes{0x42, 0x90, 0x00}), io.Output);
  const std::vector<Kind> withReport = {Kind::VendorOut, Kind::Interrupt, Kind::VendorIn};
  const std::vector<Kind> withoutReport = {Kind::VendorOut, Kind::VendorIn};
  EXPECT_EQ(p.signals ? withReport : withoutReport, WireKinds(key));
  client.Close(open.Handle);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, Signalling,
    ::testing::Values(
        SignalCase{"PrimaryAt300", WithRevision(sim::usb::PrimaryKey(), 0x0300), true, false},
        SignalCase{"PrimaryAt301", WithRevision(sim::usb::PrimaryKey(), 0x0301), true, true},
        SignalCase{"LegacyPrimary", sim::usb::LegacyPrimaryKey(), true, false},
        SignalCase{"Secondary", sim::usb::SecondaryKey(), false, true},
        SignalCase{"SecondaryWithoutPipe",
                   [] {
                     auto c = sim::usb::SecondaryKey();
                     c.endpointCount = 0;
                     return c;
                   }(),
                   false, false}),
    [](const auto& info) { return info.param.name; });

TEST_F(ExchangeTest, ThreeFailedWritesThenTheLaterPhasesDecide) {
  Key key = OpenKey(sim::usb::PrimaryKey());
  sim::usb::AddFault(key.pdo, {Kind::VendorOut, {0, 3}});
  sim::clock::SetRate(10000);  // the report read below waits its full bound
  auto io = Raw({0x01, 0x42}, 16);
  // No write reached the key, so it has nothing to report: the report phase
  // decides, and ends at its bound.
  EXPECT_EQ(STATUS_IO_TIMEOUT, io.Status);
  EXPECT_EQ(0u, io.Information);
  EXPECT_EQ((std::vector<Kind>{Kind::VendorOut, Kind::ResetPort, Kind::VendorOut, Kind::ResetPort,
                               Kind::VendorOut, Kind::ResetPort, Kind::Interrupt}),
            WireKinds(key));
  EXPECT_EQ(STATUS_CANCELLED, Wire(key).back().status);
  // A key that has taken a command reports, and the exchange goes on as ever.
  ClearWire(key);
  sim::usb::AddFault(key.pdo, {Kind::VendorOut, {0, 2}});
  io = Raw({0x01, 0x42}, 16);
  EXPECT_EQ(STATUS_SUCCESS, io.Status);
  EXPECT_EQ((Bytes{0x42, 0x90, 0x00}), io.Output);
  EXPECT_EQ((std::vector<Kind>{Kind::VendorOut, Kind::ResetPort, Kind::VendorOut, Kind::ResetPort,
                               Kind::VendorOut, Kind::Interrupt, Kind::VendorIn}),
            WireKinds(key));
}

// A key that does not signal its answers gives nothing but the answer read
// to tell whether a command arrived. After three failed writes an empty answer
// is the command lost, and the exchange fails with the last write's status; a
// write that got through is answered as ever.
struct LostCommandCase {
  const char* name;
  sim::usb::KeyConfig config;
  ULONG failedWrites;
  NTSTATUS status;
  Bytes answer;
  std::vector<Kind> wire;
};

class LostCommand : public ExchangeTest, public ::testing::WithParamInterface<LostCommandCase> {};

TEST_P(LostCommand, IsNotAnEmptyAnswer) {
  const auto& c = GetParam();
  Key key = OpenKey(c.config);
  sim::usb::AddFault(key.pdo, {Kind::VendorOut, {0, c.failedWrites}, STATUS_IO_DEVICE_ERROR});
  auto io = Raw({0x01, 0xBE, 0xEF}, 16);
  EXPECT_EQ(c.status, io.Status);
  EXPECT_EQ(c.answer, io.Output);
  EXPECT_EQ(c.wire, WireKinds(key));
}

sim::usb::KeyConfig WithoutPipes(sim::usb::KeyConfig c) {
  c.endpointCount = 0;
  return c;
}

const std::vector<Kind> kThreeFailedWrites = {Kind::VendorOut, Kind::ResetPort, Kind::VendorOut,
                                              Kind::ResetPort, Kind::VendorOut, Kind::ResetPort,
                                              Kind::VendorIn};
const std::vector<Kind> kThirdWriteArrives = {Kind::VendorOut, Kind::ResetPort, Kind::VendorOut,
                                              Kind::ResetPort, Kind::VendorOut, Kind::VendorIn};

INSTANTIATE_TEST_SUITE_P(Keys, LostCommand,
                         ::testing::Values(LostCommandCase{"LegacyPrimary",
                                                           sim::usb::LegacyPrimaryKey(),
                                                           3,
                                                           STATUS_IO_DEVICE_ERROR,
                                                           {},
                                                           kThreeFailedWrites},
                                           LostCommandCase{"SecondaryWithoutPipe",
                                                           WithoutPipes(sim::usb::SecondaryKey()),
                                                           3,
                                                           STATUS_IO_DEVICE_ERROR,
                                                           {},
                                                           kThreeFailedWrites},
                                           LostCommandCase{"LegacyPrimaryThirdWriteArrives",
                                                           sim::usb::LegacyPrimaryKey(),
                                                           2,
                                                           STATUS_SUCCESS,
                                                           {0xBE, 0xEF, 0x90, 0x00},
                                                           kThirdWriteArrives}),
                         [](const auto& info) { return std::string(info.param.name); });

// The command's length goes out in the 16-bit wLength: a longer input is
// refused before anything reaches the key, and the longest that fits goes out
// whole.
struct LengthCase {
  const char* name;
  sim::usb::KeyConfig config;
  ULONG code;
  ULONG in;
  NTSTATUS status;
  ULONG wLength;  // of the command write, when one goes out
};

class CommandLength : public ExchangeTest, public ::testing::WithParamInterface<LengthCase> {};

TEST_P(CommandLength, FitsTheWireOrIsRefused) {
  const auto& c = GetParam();
  Key key = OpenKey(c.config);
  Bytes in(c.in, 0x00);
  in[0] = 0x7F;  // a command the key does not know: it answers 6D 00
  auto io = client_->DeviceIoControl(handle_, c.code, in, 16);
  EXPECT_EQ(c.status, io.Status);
  auto wire = Wire(key);
  if (c.status == STATUS_INVALID_PARAMETER) {
    EXPECT_TRUE(wire.empty());
    EXPECT_EQ(0u, io.Information);
    return;
  }
  ASSERT_FALSE(wire.empty());
  EXPECT_EQ(Kind::VendorOut, wire[0].kind);
  EXPECT_EQ(c.wLength, wire[0].length);
  EXPECT_EQ(c.wLength, wire[0].transferred);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, CommandLength,
    ::testing::Values(LengthCase{"RawLongest", sim::usb::PrimaryKey(), IOCTL_KEY_TRANSACT_RAW,
                                 65535, STATUS_SUCCESS, 65535},
                      LengthCase{"RawOneMore", sim::usb::PrimaryKey(), IOCTL_KEY_TRANSACT_RAW,
                                 65536, STATUS_INVALID_PARAMETER, 0},
                      LengthCase{"RawTwoMore", sim::usb::PrimaryKey(), IOCTL_KEY_TRANSACT_RAW,
                                 65537, STATUS_INVALID_PARAMETER, 0},
                      LengthCase{"ExLongest", sim::usb::PrimaryKey(), IOCTL_KEY_TRANSACT_EX, 65536,
                                 STATUS_SUCCESS, 65535},
                      LengthCase{"ExOneMore", sim::usb::PrimaryKey(), IOCTL_KEY_TRANSACT_EX, 65537,
                                 STATUS_INVALID_PARAMETER, 0},
                      LengthCase{"SecondaryTransactLongest", sim::usb::SecondaryKey(),
                                 IOCTL_KEY_TRANSACT, 65535, STATUS_SUCCESS, 65535},
                      LengthCase{"SecondaryTransactOneMore", sim::usb::SecondaryKey(),
                                 IOCTL_KEY_TRANSACT, 65536, STATUS_INVALID_PARAMETER, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ExchangeTest, AFailedResetEndsTheExchange) {
  Key key = OpenKey(sim::usb::PrimaryKey());
  sim::usb::AddFault(key.pdo, {Kind::VendorOut, {0, 1}});
  sim::usb::AddFault(key.pdo, {Kind::ResetPort, {0, 1}, STATUS_DEVICE_NOT_CONNECTED});
  auto io = Raw({0x01, 0x42}, 16);
  EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, io.Status);
  EXPECT_EQ(0u, io.Information);
  EXPECT_EQ((std::vector<Kind>{Kind::VendorOut, Kind::ResetPort}), WireKinds(key));
}

TEST_F(ExchangeTest, NoPoolForTheWriteIsAFailedAttempt) {
  Key key = OpenKey(sim::usb::PrimaryKey());
  sim::faults::Fail(sim::faults::Kind::PoolAllocation, {}, sim::faults::Tag("kv21"));
  EXPECT_EQ(STATUS_SUCCESS, Raw({0x01, 0x42}, 16).Status);
  EXPECT_EQ((std::vector<Kind>{Kind::ResetPort, Kind::VendorOut, Kind::Interrupt, Kind::VendorIn}),
            WireKinds(key));
}

TEST_F(ExchangeTest, AFailedReportEndsTheExchangeWithoutReset) {
  Key key = OpenKey(sim::usb::PrimaryKey());
  sim::usb::AddFault(key.pdo, {Kind::Interrupt, {0, 1}, STATUS_IO_DEVICE_ERROR});
  EXPECT_EQ(STATUS_IO_DEVICE_ERROR, Raw({0x01, 0x42}, 16).Status);
  EXPECT_EQ((std::vector<Kind>{Kind::VendorOut, Kind::Interrupt}), WireKinds(key));
}

// The exchange that ends at a failed report gives the key back: another
// client, in another process and thread, gets its answer.
TEST_F(ExchangeTest, AFailedReportLeavesTheKeyToTheNextClient) {
  Key key = OpenKey(sim::usb::PrimaryKey());
  sim::usb::AddFault(key.pdo, {Kind::Interrupt, {0, 1}, STATUS_IO_DEVICE_ERROR});
  EXPECT_EQ(STATUS_IO_DEVICE_ERROR, Raw({0x01, 0x42}, 16).Status);
  sim::Client::Io second;
  std::thread([&] {
    sim::Client other;
    auto open = other.OpenInterface(Link(GUID_KEY_INTERFACE_PRIMARY), FILE_SHARE_READ);
    second = other.DeviceIoControl(open.Handle, IOCTL_KEY_TRANSACT_RAW, {0x01, 0x43}, 16);
    other.Close(open.Handle);
  }).join();
  EXPECT_EQ(STATUS_SUCCESS, second.Status);
  EXPECT_EQ((Bytes{0x43, 0x90, 0x00}), second.Output);
}

TEST_F(ExchangeTest, ShortAnswersAreReadAgainInFull) {
  auto config = sim::usb::PrimaryKey();
  config.shortReads = 2;
  Key key = OpenKey(config);
  auto io = Raw({0x01, 1, 2, 3, 4, 5, 6}, 16);
  EXPECT_EQ(STATUS_SUCCESS, io.Status);
  EXPECT_EQ((Bytes{1, 2, 3, 4, 5, 6, 0x90, 0x00}), io.Output);
  auto wire = Wire(key);
  ASSERT_EQ(5u, wire.size());
  EXPECT_EQ(4u, wire[2].transferred);  // half, then half again, then whole
  EXPECT_EQ(4u, wire[3].transferred);
  EXPECT_EQ(8u, wire[4].transferred);
}

TEST_F(ExchangeTest, AnAnswerLongerThanTheRoomEndsAtTheRoom) {
  Key key = OpenKey(sim::usb::PrimaryKey());
  auto io = Raw({0x01, 1, 2, 3, 4, 5, 6}, 3);
  EXPECT_EQ(STATUS_SUCCESS, io.Status);
  EXPECT_EQ((Bytes{1, 2, 3}), io.Output);
  EXPECT_EQ(3u, Wire(key).back().length);
}

TEST_F(ExchangeTest, RoomAbove64KiBIsClampedToWhatALengthCanCarry) {
  Key key = OpenKey(sim::usb::PrimaryKey());
  auto io = Raw({0x01, 0x42}, 70000);
  EXPECT_EQ(STATUS_SUCCESS, io.Status);
  EXPECT_EQ(3u, io.Information);
  EXPECT_EQ(65535u, Wire(key).back().length);
}

TEST_F(ExchangeTest, WithoutAnAnnouncementOneReadDecides) {
  auto config = sim::usb::LegacyPrimaryKey();
  config.shortReads = 1;
  Key key = OpenKey(config);
  // The legacy key's first read is short and is not read again.
  auto io = Raw({0x01, 7, 7}, 16);
  EXPECT_EQ(STATUS_SUCCESS, io.Status);
  EXPECT_EQ(2u, io.Information);
  EXPECT_EQ((std::vector<Kind>{Kind::VendorOut, Kind::VendorIn}), WireKinds(key));
}

// A report that the USB stack delivers after the driver's bound on the
// interrupt read has expired: the cancel came too late to stop the transfer,
// which completed with the key's report, so the exchange goes on with it
// instead of failing with a timeout.

class LateReport : public DriverTest {};

TEST_F(LateReport, ThatCompletesAfterTheBoundIsKept) {
  sim::clock::SetRate(0);  // only the test moves the kernel's clock
  Key key = PlugAndStart();
  sim::Client client;
  auto open = client.OpenInterface(Link(GUID_KEY_INTERFACE_PRIMARY), 0);
  ASSERT_EQ(STATUS_SUCCESS, open.Status);
  ClearWire(key);
  // The report read stays with the bus, beyond the reach of a cancel, while
  // the bound runs out.
  sim::usb::HoldNext(key.pdo, Kind::Interrupt, /*cancelable=*/false);
  sim::Client::Io io{};
  std::thread exchange([&] {
    io = client.DeviceIoControl(open.Handle, IOCTL_KEY_TRANSACT_RAW, {0x01, 0x42}, 16);
  });
  ASSERT_TRUE(sim::usb::WaitUntilHeld(key.pdo));
  ASSERT_TRUE(sim::clock::WaitUntilTimedWaiters(1));
  sim::clock::AdvanceMs(5000);
  // The driver's bounded wait has ended; give it the moment it takes to
  // cancel and begin waiting for the transfer to end. (Should the report come
  // first, the exchange succeeds without a cancel, which this test allows.)
  while (sim::clock::TimedWaiters() > 0)
    std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  sim::usb::ReleaseHeld(key.pdo);
  sim::clock::SetRate(1);  // the bus completes the released read later, on this clock
  exchange.join();
  EXPECT_EQ(STATUS_SUCCESS, io.Status);
  auto wire = Wire(key);
  ASSERT_EQ(3u, wire.size());
  EXPECT_EQ(Kind::VendorOut, wire[0].kind);
  EXPECT_EQ(Kind::Interrupt, wire[1].kind);
  EXPECT_EQ(STATUS_SUCCESS, wire[1].status);
  EXPECT_EQ(Kind::VendorIn, wire[2].kind);
  EXPECT_EQ(3u, io.Information);  // the length the report announced
  EXPECT_EQ(3u, wire[2].transferred);
  client.Close(open.Handle);
}

}  // namespace
}  // namespace tarvik::test
