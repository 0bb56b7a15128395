// The driver's entries in the System event log: one per event with its own
// message, the final status and the key's identity; at most one of a kind per
// key a minute; an entry that cannot be allocated changes nothing else. The
// messages are read from the message table windmc compiled for the image.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <thread>

#include "driver/usb_requests.h"
#include "sim/kernel/clock.h"
#include "sim/kernel/error_log.h"
#include "sim/kernel/faults.h"
#include "tests/support/driver/driver_test.h"
#include "tests/support/driver/record_view.h"

namespace tarvik::test {
namespace {

using sim::usb::Kind;

// The message table resource (MESSAGE_RESOURCE_DATA): blocks of IDs, each
// entry a length, flags (1: UTF-16) and the text.
std::map<uint32_t, std::u16string> MessageTable() {
  std::ifstream in(TARVIK_MESSAGE_TABLE, std::ios::binary);
  std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto u32 = [&](size_t at) {
    uint32_t v = 0;
    std::memcpy(&v, data.data() + at, 4);
    return v;
  };
  auto u16 = [&](size_t at) { return static_cast<uint16_t>(data[at] | data[at + 1] << 8); };
  std::map<uint32_t, std::u16string> table;
  if (data.size() < 4)
    return table;
  for (uint32_t block = 0; block < u32(0); ++block) {
    const size_t at = 4 + block * 12;
    size_t entry = u32(at + 8);
    for (uint32_t id = u32(at); id <= u32(at + 4); ++id) {
      const uint16_t length = u16(entry);
      EXPECT_EQ(1, u16(entry + 2)) << "UTF-16 text";
      std::u16string text;
      for (size_t i = entry + 4; i + 1 < entry + length; i += 2) {
        if (u16(i) == 0)
          break;
        text.push_back(u16(i));
      }
      table[id] = text;
      entry += length;
    }
  }
  return table;
}

struct Expected {
  uint32_t id;
  const char16_t* text;
};

constexpr Expected kNoAnswer{
    0xC0040001,
    u"The key %2 did not answer within the time allowed, and the request was cancelled.\n"};
constexpr Expected kPortReset{0xC0040002, u"The USB port of the key %2 could not be reset.\n"};
constexpr Expected kDescriptor{
    0xC0040003, u"The key %2 could not be started: its device descriptor could not be read.\n"};
constexpr Expected kConfiguration{
    0xC0040004, u"The key %2 could not be started: it could not be configured.\n"};
constexpr Expected kInterfaces{0xC0040005,
                               u"The key %2 could not be started: its interfaces for applications "
                               u"could not be enabled.\n"};
constexpr Expected kUnknown{
    0xC0040006, u"The device %2 is not a key this driver serves; it was not started.\n"};

class EventLog : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    sim::clock::SetRate(0);  // only the test moves the clock
  }
  // The one entry written since `from`, with its message, status and identity.
  void ExpectEntry(size_t index, const Expected& event, NTSTATUS status, const Key& key,
                   const std::u16string& identity, ULONG ids, ULONG revision) {
    auto written = sim::errorlog::Written();
    ASSERT_LT(index, written.size());
    const auto& e = written[index];
    EXPECT_EQ(event.id, static_cast<uint32_t>(e.packet.ErrorCode));
    EXPECT_EQ(event.text, MessageTable()[event.id]);
    EXPECT_EQ(status, e.packet.FinalStatus);
    EXPECT_EQ(key.fdo, e.ioObject);
    EXPECT_EQ(std::vector<std::u16string>{identity}, e.strings);
    EXPECT_EQ((std::vector<ULONG>{ids, revision}), e.dumpData);
  }
};

TEST_F(EventLog, APortResetThatFailsIsLoggedOnceAMinute) {
  Key key = PlugAndStart();
  for (int i = 0; i < 3; ++i) {
    sim::usb::AddFault(key.pdo, {Kind::ResetPort, {0, 1}, STATUS_DEVICE_NOT_CONNECTED});
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, ResetPort(key.fdo));
  }
  ASSERT_EQ(1u, sim::errorlog::Written().size());
  ExpectEntry(0, kPortReset, STATUS_DEVICE_NOT_CONNECTED, key, u"VID_7E31&PID_5A3C REV_0400",
              0x7E315A3C, 0x0400);
  sim::clock::AdvanceMs(59999);
  sim::usb::AddFault(key.pdo, {Kind::ResetPort, {0, 1}, STATUS_IO_DEVICE_ERROR});
  EXPECT_EQ(STATUS_IO_DEVICE_ERROR, ResetPort(key.fdo));
  EXPECT_EQ(1u, sim::errorlog::Written().size()) << "within the minute";
  sim::clock::AdvanceMs(1);
  sim::usb::AddFault(key.pdo, {Kind::ResetPort, {0, 1}, STATUS_IO_DEVICE_ERROR});
  EXPECT_EQ(STATUS_IO_DEVICE_ERROR, ResetPort(key.fdo));
  ASSERT_EQ(2u, sim::errorlog::Written().size()) << "a minute later";
  ExpectEntry(1, kPortReset, STATUS_IO_DEVICE_ERROR, key, u"VID_7E31&PID_5A3C REV_0400", 0x7E315A3C,
              0x0400);
  // A reset that succeeds writes nothing.
  sim::clock::AdvanceMs(60000);
  EXPECT_EQ(STATUS_SUCCESS, ResetPort(key.fdo));
  EXPECT_EQ(2u, sim::errorlog::Written().size());
}

TEST_F(EventLog, TheLimitIsPerKeyAndPerKind) {
  TARVIK_WHITE_BOX();
  Key a = PlugAndStart();
  Key b = PlugAndStart(sim::usb::SecondaryKey());
  for (const Key* key : {&a, &b, &a}) {
    sim::usb::AddFault(key->pdo, {Kind::ResetPort, {0, 1}, STATUS_DEVICE_NOT_CONNECTED});
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, ResetPort(key->fdo));
  }
  ASSERT_EQ(2u, sim::errorlog::Written().size());
  ExpectEntry(1, kPortReset, STATUS_DEVICE_NOT_CONNECTED, b, u"VID_7E21&PID_0013 REV_0100",
              0x7E210013, 0x0100);
  // Another kind for the same key is not held back by the reset's entry.
  UCHAR buffer[8];
  ULONG returned = 0;
  std::thread reader([&] {
    EXPECT_EQ(STATUS_IO_TIMEOUT, ReadInterruptPipe(a.fdo, buffer, sizeof(buffer), &returned));
  });
  ASSERT_TRUE(sim::usb::WaitUntilWaiting(a.pdo, 1));
  ASSERT_TRUE(sim::clock::WaitUntilTimedWaiters(1));
  sim::clock::AdvanceMs(5001);
  reader.join();
  ASSERT_EQ(3u, sim::errorlog::Written().size());
  ExpectEntry(2, kNoAnswer, STATUS_IO_TIMEOUT, a, u"VID_7E31&PID_5A3C REV_0400", 0x7E315A3C,
              0x0400);
}

TEST_F(EventLog, AFailedAllocationChangesNothingElse) {
  TARVIK_WHITE_BOX();
  Key key = PlugAndStart();
  ClearWire(key);
  sim::faults::Fail(sim::faults::Kind::ErrorLogEntry);
  sim::usb::AddFault(key.pdo, {Kind::ResetPort, {0, 1}, STATUS_DEVICE_NOT_CONNECTED});
  EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, ResetPort(key.fdo));
  EXPECT_TRUE(sim::errorlog::Written().empty());
  EXPECT_EQ(0u, sim::errorlog::Outstanding());
  EXPECT_EQ((std::vector<Kind>{Kind::ResetPort}), WireKinds(key));
  EXPECT_EQ(Started, Record(key).DevicePnpState());
  // Nothing was logged, so the next failure is, within the minute.
  sim::usb::AddFault(key.pdo, {Kind::ResetPort, {0, 1}, STATUS_DEVICE_NOT_CONNECTED});
  EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, ResetPort(key.fdo));
  EXPECT_EQ(1u, sim::errorlog::Written().size());
}

TEST_F(EventLog, AKeyNotInTheIdentityTable) {
  Key key = Plug(sim::usb::UnrecognisedKey());
  EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, sim::pnp::Start(key.pdo));
  ASSERT_EQ(1u, sim::errorlog::Written().size()) << "no start entry beside it";
  ExpectEntry(0, kUnknown, STATUS_DEVICE_DATA_ERROR, key, u"VID_7E21&PID_0015 REV_0100", 0x7E210015,
              0x0100);
}

TEST_F(EventLog, AStartThatFailsSaysWhere) {
  {
    Key key = Plug();
    sim::usb::AddFault(key.pdo, {Kind::GetDescriptor, {0, 1}, STATUS_IO_DEVICE_ERROR});
    EXPECT_EQ(STATUS_IO_DEVICE_ERROR, sim::pnp::Start(key.pdo));
    ASSERT_EQ(1u, sim::errorlog::Written().size());
    // Nothing of the key was read.
    ExpectEntry(0, kDescriptor, STATUS_IO_DEVICE_ERROR, key, u"(identity not read)", 0, 0);
    Unplug(key);
  }
  {
    Key key = Plug();
    sim::usb::AddFault(
        key.pdo,
        {Kind::SelectConfiguration, {0, 1}, STATUS_SUCCESS, USBD_STATUS_INVALID_PARAMETER});
    EXPECT_EQ(STATUS_UNSUCCESSFUL, sim::pnp::Start(key.pdo));
    ASSERT_EQ(2u, sim::errorlog::Written().size());
    ExpectEntry(1, kConfiguration, STATUS_UNSUCCESSFUL, key, u"VID_7E31&PID_5A3C REV_0400",
                0x7E315A3C, 0x0400);
    Unplug(key);
  }
  {
    Key key = Plug();
    sim::faults::FailWith(sim::faults::Kind::SetInterfaceState, {}, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, sim::pnp::Start(key.pdo));
    ASSERT_EQ(3u, sim::errorlog::Written().size());
    ExpectEntry(2, kInterfaces, STATUS_OBJECT_NAME_NOT_FOUND, key, u"VID_7E31&PID_5A3C REV_0400",
                0x7E315A3C, 0x0400);
  }
}

TEST_F(EventLog, AStartThatSucceedsLogsNothing) {
  PlugAndStart();
  PlugAndStart(sim::usb::SecondaryKey());
  EXPECT_TRUE(sim::errorlog::Written().empty());
}

TEST(EventMessages, EveryEventHasItsText) {
  const auto table = MessageTable();
  EXPECT_EQ(6u, table.size());
  for (const Expected& e :
       {kNoAnswer, kPortReset, kDescriptor, kConfiguration, kInterfaces, kUnknown}) {
    ASSERT_EQ(1u, table.count(e.id)) << std::hex << e.id;
    EXPECT_EQ(e.text, table.at(e.id));
  }
}

}  // namespace
}  // namespace tarvik::test
