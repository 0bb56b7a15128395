// The control interface: state, buffer rules, statuses and wire traffic of
// each control code.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "driver/key_transaction.h"
#include "driver/query_info.h"
#include "sim/kernel/faults.h"
#include "tests/support/driver/open_key_test.h"
#include "tests/support/driver/record_view.h"

namespace tarvik::test {
namespace {

using sim::usb::Kind;
using Bytes = std::vector<UCHAR>;
using sim::faults::Tag;

constexpr ULONG kAllCodes[] = {IOCTL_KEY_GET_CONFIG_DESCRIPTOR,
                               IOCTL_KEY_RESET_PORT,
                               IOCTL_KEY_RESET_PIPE,
                               IOCTL_KEY_VENDOR_WRITE,
                               IOCTL_KEY_VENDOR_READ,
                               IOCTL_KEY_READ_INTERRUPT,
                               IOCTL_KEY_GET_INFO_BLOCK,
                               IOCTL_KEY_TRANSACT,
                               IOCTL_KEY_TRANSACT_RAW,
                               IOCTL_KEY_QUERY_INFO,
                               IOCTL_KEY_PROBE,
                               IOCTL_KEY_NOTIFY_CHANGE,
                               IOCTL_KEY_TRANSACT_EX,
                               TARVIK_KEY_CTL_CODE(5),
                               TARVIK_KEY_CTL_CODE(0x19)};

class ControlTest : public OpenKeyTest {
 protected:
  // A started key and a handle on its first enabled interface.
  void Open(const sim::usb::KeyConfig& config = sim::usb::PrimaryKey()) {
    key_ = PlugAndStart(config);
    OpenInterface(config.productId == 0x0013 ? GUID_KEY_INTERFACE_SECONDARY
                                             : GUID_KEY_INTERFACE_PRIMARY);
  }
};

TEST_F(ControlTest, NothingIsServedOutsideStarted) {
  TARVIK_WHITE_BOX();
  Open();
  ASSERT_EQ(STATUS_SUCCESS, sim::pnp::QueryStop(key_.pdo));
  ASSERT_EQ(STATUS_SUCCESS, sim::pnp::Stop(key_.pdo));
  ClearWire(key_);
  for (ULONG code : kAllCodes) {
    auto io = Send(code, Bytes(16, 0x01), 64);
    EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, io.Status) << std::hex << code;
    EXPECT_EQ(0u, io.Information);
  }
  EXPECT_TRUE(Wire(key_).empty());
  EXPECT_EQ(1, Record(key_).OutstandingIo());
}

TEST_F(ControlTest, UnknownCodesAreRefusedOnAStartedKey) {
  Open();
  for (ULONG code : {TARVIK_KEY_CTL_CODE(5), TARVIK_KEY_CTL_CODE(0x13), TARVIK_KEY_CTL_CODE(0x19)})
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, Send(code, {1}, 8).Status);
  EXPECT_TRUE(Wire(key_).empty());
}

// Buffer rules at their boundaries, and what reaches the key.
struct BufferCase {
  const char* name;
  ULONG code;
  Bytes in;
  ULONG out;
  NTSTATUS status;
  ULONG information;
  std::vector<Kind> wire;
};

class BufferRules : public ControlTest, public ::testing::WithParamInterface<BufferCase> {};

TEST_P(BufferRules, StatusBytesAndWire) {
  const auto& p = GetParam();
  Open();
  if (p.code == IOCTL_KEY_READ_INTERRUPT) {
    // A command first, so that the key has a report to send.
    ASSERT_EQ(STATUS_SUCCESS,
              Send(IOCTL_KEY_VENDOR_WRITE, {0x40, 0, 0, 0, 0, 0, 2, 0, 0x01, 0x33}, 0).Status);
    ClearWire(key_);
  }
  auto io = Send(p.code, p.in, p.out);
  EXPECT_EQ(p.status, io.Status);
  EXPECT_EQ(p.information, io.Information);
  EXPECT_EQ(p.wire, WireKinds(key_));
  EXPECT_EQ(0u, sim::pool::LiveCount(sim::faults::Tag("kv51")) +
                    sim::pool::LiveCount(sim::faults::Tag("kv71")) +
                    sim::pool::LiveCount(sim::faults::Tag("kv81")) +
                    sim::pool::LiveCount(sim::faults::Tag("kv91")));
}

const std::vector<Kind> kExchange = {Kind::VendorOut, Kind::Interrupt, Kind::VendorIn};
// Vendor read of 64 bytes at request 0 after an echo of 18 bytes: 20 bytes come back.
const Bytes kVendorRead64 = {0xC0, 0, 0, 0, 0, 0, 64, 0};

INSTANTIATE_TEST_SUITE_P(
    Codes, BufferRules,
    ::testing::Values(
        BufferCase{
            "ConfigDescriptor", IOCTL_KEY_GET_CONFIG_DESCRIPTOR, {}, 25, STATUS_SUCCESS, 25, {}},
        BufferCase{"ConfigDescriptorTooSmall",
                   IOCTL_KEY_GET_CONFIG_DESCRIPTOR,
                   {},
                   24,
                   STATUS_BUFFER_TOO_SMALL,
                   0,
                   {}},
        BufferCase{"ConfigDescriptorNoBuffer",
                   IOCTL_KEY_GET_CONFIG_DESCRIPTOR,
                   {},
                   0,
                   STATUS_INVALID_PARAMETER,
                   0,
                   {}},
        BufferCase{"ResetPort", IOCTL_KEY_RESET_PORT, {}, 0, STATUS_SUCCESS, 0, {Kind::ResetPort}},
        BufferCase{
            "ResetPipeWithoutPipe", IOCTL_KEY_RESET_PIPE, {}, 0, STATUS_INVALID_PARAMETER, 0, {}},
        BufferCase{"VendorWriteShortHeader",
                   IOCTL_KEY_VENDOR_WRITE,
                   Bytes(7),
                   0,
                   STATUS_INVALID_PARAMETER,
                   0,
                   {}},
        BufferCase{"VendorWritePayloadOneShort",
                   IOCTL_KEY_VENDOR_WRITE,
                   {0x40, 0, 0, 0, 0, 0, 3, 0, 1, 2},
                   0,
                   STATUS_INVALID_PARAMETER,
                   0,
                   {}},
        BufferCase{"VendorWrite",
                   IOCTL_KEY_VENDOR_WRITE,
                   {0x40, 0, 0, 0, 0, 0, 2, 0, 1, 2},
                   0,
                   STATUS_SUCCESS,
                   0,
                   {Kind::VendorOut}},
        BufferCase{"VendorReadNineBytes",
                   IOCTL_KEY_VENDOR_READ,
                   Bytes(9),
                   64,
                   STATUS_INVALID_PARAMETER,
                   0,
                   {}},
        BufferCase{
            "VendorReadNothingAsked", IOCTL_KEY_VENDOR_READ, Bytes(8), 64, STATUS_SUCCESS, 0, {}},
        BufferCase{"ReadInterruptShortOutput",
                   IOCTL_KEY_READ_INTERRUPT,
                   {},
                   7,
                   STATUS_INVALID_PARAMETER,
                   0,
                   {}},
        BufferCase{
            "ReadInterrupt", IOCTL_KEY_READ_INTERRUPT, {}, 8, STATUS_SUCCESS, 8, {Kind::Interrupt}},
        BufferCase{"InfoBlock", IOCTL_KEY_GET_INFO_BLOCK, {}, 64, STATUS_SUCCESS, 11, {}},
        BufferCase{
            "InfoBlockTooSmall", IOCTL_KEY_GET_INFO_BLOCK, {}, 10, STATUS_BUFFER_TOO_SMALL, 0, {}},
        BufferCase{"TransactShortHeader",
                   IOCTL_KEY_TRANSACT,
                   Bytes(7),
                   16,
                   STATUS_INVALID_PARAMETER,
                   0,
                   {}},
        BufferCase{
            "TransactRawEmpty", IOCTL_KEY_TRANSACT_RAW, {}, 16, STATUS_INVALID_PARAMETER, 0, {}},
        BufferCase{
            "TransactRaw", IOCTL_KEY_TRANSACT_RAW, {0x01, 0x55}, 16, STATUS_SUCCESS, 3, kExchange},
        BufferCase{
            "TransactExEmpty", IOCTL_KEY_TRANSACT_EX, {}, 16, STATUS_INVALID_PARAMETER, 0, {}},
        BufferCase{"ProbeAccepted", IOCTL_KEY_PROBE, {0xF1}, 0, STATUS_SUCCESS, 0, {}},
        BufferCase{"ProbeRefused", IOCTL_KEY_PROBE, {0x10}, 0, STATUS_INVALID_PARAMETER, 0, {}},
        BufferCase{"ProbeEmpty", IOCTL_KEY_PROBE, {}, 0, STATUS_INVALID_PARAMETER, 0, {}},
        BufferCase{"QueryInfoNothing", IOCTL_KEY_QUERY_INFO, {2}, 64, STATUS_SUCCESS, 0, {}},
        BufferCase{
            "QueryInfoSelector3", IOCTL_KEY_QUERY_INFO, {3}, 64, STATUS_INVALID_PARAMETER, 0, {}},
        BufferCase{"QueryInfo", IOCTL_KEY_QUERY_INFO, {1}, 64, STATUS_SUCCESS, 11, kExchange},
        BufferCase{"QueryInfoTooSmall",
                   IOCTL_KEY_QUERY_INFO,
                   {0},
                   10,
                   STATUS_BUFFER_TOO_SMALL,
                   0,
                   kExchange}),
    [](const auto& info) { return info.param.name; });

TEST_F(ControlTest, ProbeLooksOnlyAtTheLowFourBits) {
  Open();
  for (UCHAR b : {0x01, 0x11, 0xF1})
    EXPECT_EQ(STATUS_SUCCESS, Send(IOCTL_KEY_PROBE, {b, 0xFF}, 0).Status) << int(b);
  for (UCHAR b : {0x00, 0x02, 0x10, 0x0F})
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Send(IOCTL_KEY_PROBE, {b}, 0).Status) << int(b);
}

TEST_F(ControlTest, VendorWriteOfNothingSendsFourZeroBytes) {
  Open();
  ASSERT_EQ(STATUS_SUCCESS,
            Send(IOCTL_KEY_VENDOR_WRITE, {0x41, 1, 0x34, 0x12, 5, 0, 0, 0}, 0).Status);
  auto wire = Wire(key_);
  ASSERT_EQ(1u, wire.size());
  EXPECT_EQ(1, wire[0].requestTypeBits);
  EXPECT_EQ(1, wire[0].request);
  EXPECT_EQ(0x1234, wire[0].value);
  EXPECT_EQ(5, wire[0].index);
  EXPECT_EQ(Bytes(4, 0), wire[0].data);
}

TEST_F(ControlTest, VendorWriteReportsTheLastFailedWrite) {
  Open();
  sim::usb::AddFault(key_.pdo, {Kind::VendorOut, {0, 3}, STATUS_IO_DEVICE_ERROR});
  auto io = Send(IOCTL_KEY_VENDOR_WRITE, {0x40, 0, 0, 0, 0, 0, 1, 0, 9}, 0);
  EXPECT_EQ(STATUS_IO_DEVICE_ERROR, io.Status);  // nothing reached the key
  EXPECT_EQ((std::vector<Kind>{Kind::VendorOut, Kind::ResetPort, Kind::VendorOut, Kind::ResetPort,
                               Kind::VendorOut, Kind::ResetPort}),
            WireKinds(key_));
  // A reset that fails ends it with the reset's status.
  ClearWire(key_);
  sim::usb::AddFault(key_.pdo, {Kind::VendorOut, {0, 1}});
  sim::usb::AddFault(key_.pdo, {Kind::ResetPort, {0, 1}, STATUS_DEVICE_NOT_CONNECTED});
  EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED,
            Send(IOCTL_KEY_VENDOR_WRITE, {0x40, 0, 0, 0, 0, 0, 1, 0, 9}, 0).Status);
  EXPECT_EQ((std::vector<Kind>{Kind::VendorOut, Kind::ResetPort}), WireKinds(key_));
}

TEST_F(ControlTest, VendorReadLongerThanTheOutputReturnsNothing) {
  Open();
  ASSERT_EQ(STATUS_SUCCESS,
            Send(IOCTL_KEY_TRANSACT_RAW, Bytes(19, 0x01), 64).Status);  // 20-byte answer
  auto io = Send(IOCTL_KEY_VENDOR_READ, kVendorRead64, 16);
  EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, io.Status);
  EXPECT_TRUE(io.Output.empty());
  io = Send(IOCTL_KEY_VENDOR_READ, kVendorRead64, 20);
  EXPECT_EQ(STATUS_SUCCESS, io.Status);
  EXPECT_EQ(20u, io.Information);
}

TEST_F(ControlTest, TransactOnAPrimaryKeyTakesAHeader) {
  Open();
  // Variant selector 1, wValue 0x0102, wLength 5 with only 3 payload bytes: the payload is cut.
  auto io = Send(IOCTL_KEY_TRANSACT, {0, 1, 0x02, 0x01, 0, 0, 5, 0, 0x01, 0xAA, 0xBB}, 16);
  EXPECT_EQ(STATUS_SUCCESS, io.Status);
  EXPECT_EQ((Bytes{0xAA, 0xBB, 0x90, 0x00}), io.Output);
  auto wire = Wire(key_);
  ASSERT_EQ(3u, wire.size());
  EXPECT_EQ(1, wire[0].request);
  EXPECT_EQ(0x0102, wire[0].value);
  EXPECT_EQ((Bytes{0x01, 0xAA, 0xBB}), wire[0].data);
  EXPECT_EQ(1, wire[2].request);
  // Selector 0 with no payload: request 0 with four zero bytes.
  ClearWire(key_);
  EXPECT_EQ(STATUS_SUCCESS, Send(IOCTL_KEY_TRANSACT, {0, 0, 9, 9, 0, 0, 0, 0}, 16).Status);
  wire = Wire(key_);
  EXPECT_EQ(0, wire[0].request);
  EXPECT_EQ(0, wire[0].value);
  EXPECT_EQ(Bytes(4, 0), wire[0].data);
}

// Header byte 1 picks the exchange: 0 is request 0 (wValue 0 on the wire),
// any other value request 1 with the header's wValue, in both phases.
TEST_F(ControlTest, TransactRequestNumbersOnTheWire) {
  struct Number {
    UCHAR selector;
    UCHAR request;
    USHORT value;
  };
  const Number numbers[] = {
      {0, 0, 0}, {1, 1, 0x0102}, {2, 1, 0x0102}, {0x7F, 1, 0x0102}, {0xFF, 1, 0x0102}};
  Open();
  for (const Number& n : numbers) {
    SCOPED_TRACE(int(n.selector));
    ClearWire(key_);
    auto io = Send(IOCTL_KEY_TRANSACT, {0x40, n.selector, 0x02, 0x01, 0, 0, 2, 0, 0x01, 0xAA}, 16);
    EXPECT_EQ(STATUS_SUCCESS, io.Status);
    EXPECT_EQ((Bytes{0xAA, 0x90, 0x00}), io.Output);
    auto wire = Wire(key_);
    ASSERT_EQ(3u, wire.size());
    EXPECT_EQ(Kind::VendorOut, wire[0].kind);
    EXPECT_EQ(n.request, wire[0].request);
    EXPECT_EQ(n.value, wire[0].value);
    EXPECT_EQ((Bytes{0x01, 0xAA}), wire[0].data);
    EXPECT_EQ(Kind::VendorIn, wire[2].kind);
    EXPECT_EQ(n.request, wire[2].request);
    EXPECT_EQ(0, wire[2].value);
  }
}

TEST_F(ControlTest, TransactOnOtherFamiliesSendsTheRawInput) {
  Open(sim::usb::SecondaryKey());
  auto io = Send(IOCTL_KEY_TRANSACT, {}, 8);  // an OUT transfer without data
  EXPECT_EQ(STATUS_SUCCESS, io.Status);
  auto wire = Wire(key_);
  ASSERT_EQ(3u, wire.size());
  EXPECT_EQ(0u, wire[0].length);
  EXPECT_EQ((Bytes{0x67, 0x00}), io.Output);
  // A secondary key never queried has an empty block.
  EXPECT_EQ(0u, Send(IOCTL_KEY_GET_INFO_BLOCK, {}, 64).Information);
}

TEST_F(ControlTest, TransactExSendsItsFirstByteAsValue) {
  Open();
  auto io = Send(IOCTL_KEY_TRANSACT_EX, {0x7F}, 8);
  EXPECT_EQ(STATUS_SUCCESS, io.Status);
  auto wire = Wire(key_);
  EXPECT_EQ(1, wire[0].request);
  EXPECT_EQ(0x7F, wire[0].value);
  EXPECT_EQ(0u, wire[0].length);
}

TEST_F(ControlTest, ReadInterruptWithoutAPipe) {
  auto config = sim::usb::SecondaryKey();
  config.endpointCount = 0;
  Open(config);
  EXPECT_EQ(STATUS_INVALID_HANDLE, Send(IOCTL_KEY_READ_INTERRUPT, {}, 0).Status);
  EXPECT_TRUE(Wire(key_).empty());
}

TEST_F(ControlTest, FailedExchangesReturnNothing) {
  Open();
  sim::usb::AddFault(key_.pdo, {Kind::Interrupt, {0, 1}, STATUS_IO_DEVICE_ERROR});
  auto io = Send(IOCTL_KEY_TRANSACT_RAW, {0x01, 0x02}, 16);
  EXPECT_EQ(STATUS_IO_DEVICE_ERROR, io.Status);
  EXPECT_EQ(0u, io.Information);
  // A key that never reaches the announced length is given up on.
  auto never = sim::usb::SecondaryKey();
  never.announceExtra = 1;
  Key slow = PlugAndStart(never);
  auto open = client_->OpenInterface(Link(GUID_KEY_INTERFACE_SECONDARY), FILE_SHARE_READ);
  ASSERT_EQ(STATUS_SUCCESS, open.Status);
  ClearWire(slow);
  io = client_->DeviceIoControl(open.Handle, IOCTL_KEY_TRANSACT_RAW, {0x01}, 16);
  EXPECT_EQ(STATUS_IO_TIMEOUT, io.Status);
  EXPECT_EQ(0u, io.Information);
  // The write, the report, then 4096 reads of the answer and no more.
  auto wire = Wire(slow);
  EXPECT_EQ(4098u, wire.size());
  EXPECT_EQ(Kind::VendorOut, wire.front().kind);
  EXPECT_EQ(Kind::Interrupt, wire[1].kind);
  EXPECT_EQ(4096, std::count_if(wire.begin(), wire.end(),
                                [](const auto& r) { return r.kind == Kind::VendorIn; }));
  client_->Close(open.Handle);
}

TEST_F(ControlTest, NotifyReportsOnceInTheKeysLife) {
  TARVIK_WHITE_BOX();
  Open();
  std::vector<std::thread> threads;
  std::atomic<int> successes{0};
  for (int i = 0; i < 4; ++i)
    threads.emplace_back(
        [&] { successes += Send(IOCTL_KEY_NOTIFY_CHANGE, {}, 0).Status == STATUS_SUCCESS; });
  for (auto& t : threads)
    t.join();
  EXPECT_EQ(4, successes.load());
  sim::WaitForSystemThreads(std::chrono::seconds(5));
  EXPECT_EQ(STATUS_SUCCESS, Send(IOCTL_KEY_NOTIFY_CHANGE, {}, 0).Status);
  sim::WaitForSystemThreads(std::chrono::seconds(5));
  auto reports = sim::changes::Reports();
  ASSERT_EQ(1u, reports.size());
  EXPECT_EQ(key_.pdo, reports[0].Pdo);
  EXPECT_EQ(0, std::memcmp(&GUID_KEY_CHANGE_EVENT, &reports[0].Event, sizeof(GUID)));
  EXPECT_EQ(40, reports[0].Size);
  EXPECT_EQ(-1, reports[0].NameBufferOffset);
  ASSERT_FALSE(reports[0].Data.empty());
  EXPECT_EQ(0, reports[0].Data[0]);
  EXPECT_NE(nullptr, Record(key_).NotifyThread());
}

TEST_F(ControlTest, NotifyThreadThatCannotStart) {
  TARVIK_WHITE_BOX();
  Open();
  sim::faults::Fail(sim::faults::Kind::CreateSystemThread);
  EXPECT_NE(STATUS_SUCCESS, Send(IOCTL_KEY_NOTIFY_CHANGE, {}, 0).Status);
  EXPECT_EQ(nullptr, Record(key_).NotifyThread());
  EXPECT_EQ(STATUS_SUCCESS, Send(IOCTL_KEY_NOTIFY_CHANGE, {}, 0).Status);
}

// The answer-to-reset walk, on blocks as a key returns them.
struct WalkCase {
  const char* name;
  Bytes block;
  ULONG answer;  // bytes returned: the block, or one more with the check byte
};

class InfoWalk : public ControlTest, public ::testing::WithParamInterface<WalkCase> {};

TEST_P(InfoWalk, AnswerLengthAndCheckByte) {
  TARVIK_WHITE_BOX();
  const auto& p = GetParam();
  auto config = sim::usb::PrimaryKey();
  std::fill(std::begin(config.infoBlock), std::end(config.infoBlock), 0);
  std::copy(p.block.begin(), p.block.end(), config.infoBlock);
  config.infoBlockLength = static_cast<uint8_t>(p.block.size());
  Open(config);
  auto io = Send(IOCTL_KEY_QUERY_INFO, {0}, 65);
  ASSERT_EQ(STATUS_SUCCESS, io.Status);
  ASSERT_EQ(p.answer, io.Output.size());
  EXPECT_TRUE(std::equal(p.block.begin(), p.block.end(), io.Output.begin()));
  if (p.answer > p.block.size()) {
    UCHAR check = 0;
    for (size_t i = 1; i < p.block.size(); ++i)
      check ^= p.block[i];
    EXPECT_EQ(check, io.Output.back());
    // Exactly the block's length is too small once a check byte is due.
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL,
              Send(IOCTL_KEY_QUERY_INFO, {0}, static_cast<ULONG>(p.block.size())).Status);
  }
  EXPECT_EQ(p.answer,
            InfoBlockAnswerLength(Record(key_).InfoBlock(), Record(key_).InfoBlockLength()));
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, InfoWalk,
    ::testing::Values(
        WalkCase{"FourBytesNoWalk", {0x3B, 0x00, 0x01, 0x02}, 4},
        WalkCase{"NoInterfaceBytesOld", {0x3B, 0x00, 0x4B, 0x02, 0x05}, 6},
        WalkCase{"NoInterfaceBytesCurrent", {0x3B, 0x00, 0x4B, 0x03, 0x00}, 5},
        WalkCase{"TaAndTdOld", {0x3B, 0x90, 0x11, 0x01, 0x4B, 0x02, 0x05, 0x54}, 9},
        WalkCase{"TaAndTdCurrent", {0x3B, 0x90, 0x11, 0x01, 0x4B, 0x03, 0x00, 0x54}, 8},
        WalkCase{"ChainRunsOffTheBlock", {0x3B, 0x80, 0x80, 0x80, 0x80, 0x80}, 6},
        WalkCase{"VersionBeyondTheValidBytesIsZero", {0x3B, 0x00, 0x4B, 0x00, 0x00}, 6}),
    [](const auto& info) { return info.param.name; });

TEST(InfoWalkAlone, BytesBeyondTheBlockCountAsZero) {
  // A 62-byte block whose interface bytes run to byte 61: the version is made
  // of bytes 63 and 64, and byte 64 lies beyond the block.
  UCHAR block[InfoBlockSize] = {0x3B};
  for (ULONG i = 1; i < 58; ++i)
    block[i] = 0x80;  // TD after TD
  block[58] = 0x70;   // TA, TB, TC and no TD
  block[63] = 0x02;
  EXPECT_EQ(63u, InfoBlockAnswerLength(block, 62));  // version 0x0200: a check byte
  block[63] = 0x03;
  EXPECT_EQ(62u, InfoBlockAnswerLength(block, 62));  // version 0x0300
}

// Control codes that do no USB work, or none under TransferMutex, are served
// while an exchange holds the mutex: a key busy with one client's command
// still answers these at once.

struct FreeCode {
  const char* name;
  ULONG code;
  Bytes in;
  ULONG out;
  NTSTATUS status;
  ULONG_PTR information;
};

class CodesOutsideTheMutex : public OpenKeyTest {};

TEST_F(CodesOutsideTheMutex, AreServedWhileAnExchangeHoldsIt) {
  TARVIK_WHITE_BOX();
  const FreeCode codes[] = {
      {"Probe", IOCTL_KEY_PROBE, {0x01}, 0, STATUS_SUCCESS, 0},
      {"ConfigDescriptor", IOCTL_KEY_GET_CONFIG_DESCRIPTOR, {}, 1024, STATUS_SUCCESS, 25},
      {"ResetPipe", IOCTL_KEY_RESET_PIPE, {}, 0, STATUS_INVALID_PARAMETER, 0},
      {"QueryInfoNothing", IOCTL_KEY_QUERY_INFO, {0x02}, 64, STATUS_SUCCESS, 0},
  };
  key_ = PlugAndStart();
  OpenInterface(GUID_KEY_INTERFACE_PRIMARY);
  for (const FreeCode& c : codes) {
    SCOPED_TRACE(c.name);
    // The exchange's command write waits at the bus with the mutex held.
    sim::usb::HoldNext(key_.pdo, Kind::VendorOut);
    std::thread exchange([&] { Send(IOCTL_KEY_TRANSACT_RAW, {0x01, 0x42}, 16); });
    ASSERT_TRUE(sim::usb::WaitUntilHeld(key_.pdo));
    EXPECT_EQ(0, Record(key_).TransferMutexState());
    std::atomic<bool> done{false};
    sim::Client::Io io{};
    std::thread request([&] {
      io = Send(c.code, c.in, c.out);
      done = true;
    });
    for (int ms = 0; ms < 2000 && !done; ++ms)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(done.load()) << "it waited for the exchange";
    sim::usb::ReleaseHeld(key_.pdo);
    exchange.join();
    request.join();
    EXPECT_EQ(c.status, io.Status);
    EXPECT_EQ(c.information, io.Information);
    EXPECT_EQ(1, Record(key_).TransferMutexState());
  }
}

// Each control code's pool buffer carries its own tag: without pool for that
// tag the request fails before anything reaches the key.

struct TaggedBuffer {
  const char* name;
  ULONG code;
  Bytes in;
  ULONG out;
  ULONG tag;
};

class ControlCodePoolTags : public OpenKeyTest {};

TEST_F(ControlCodePoolTags, NoPoolForTheTagFailsBeforeTheKeyHearsAnything) {
  const TaggedBuffer cases[] = {
      {"VendorReadAnswer", IOCTL_KEY_VENDOR_READ, {0xC0, 0, 0, 0, 0, 0, 8, 0}, 8, Tag("kv71")},
      {"VendorWritePayload",
       IOCTL_KEY_VENDOR_WRITE,
       {0x40, 0, 0, 0, 0, 0, 1, 0, 0x02},
       0,
       Tag("kv51")},
      {"VendorWriteZeros", IOCTL_KEY_VENDOR_WRITE, {0x40, 0, 0, 0, 0, 0, 0, 0}, 0, Tag("kv61")},
      {"InterruptData", IOCTL_KEY_READ_INTERRUPT, {}, 8, Tag("kv81")},
      {"TransactPayload", IOCTL_KEY_TRANSACT, {0x40, 1, 0, 0, 0, 0, 1, 0, 0x02}, 16, Tag("kv91")},
      {"TransactZeros", IOCTL_KEY_TRANSACT, {0x40, 1, 0, 0, 0, 0, 0, 0}, 16, Tag("kvA1")},
  };
  key_ = PlugAndStart();
  OpenInterface(GUID_KEY_INTERFACE_PRIMARY);
  for (const TaggedBuffer& c : cases) {
    SCOPED_TRACE(c.name);
    ClearWire(key_);
    sim::faults::Fail(sim::faults::Kind::PoolAllocation, {}, c.tag);
    auto io = Send(c.code, c.in, c.out);
    sim::faults::ClearRules();
    EXPECT_EQ(static_cast<NTSTATUS>(0xC000009A), io.Status);
    EXPECT_EQ(0u, io.Information);
    EXPECT_TRUE(Wire(key_).empty());
  }
}

// The identification block as clients see it: read again by the query,
// served by the get, on keys of every family and after failed reads.

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
