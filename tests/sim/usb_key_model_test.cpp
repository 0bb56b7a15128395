// The key model and the USBD routines: what the driver relies on from the
// key and from the USB library.
#include <gtest/gtest.h>

#include <vector>

#include "sim/usb/bus.h"
#include "tests/support/kernel/kernel_test.h"

namespace {

using keymodel::Key;
using keymodel::Outcome;
using Bytes = std::vector<uint8_t>;

Bytes Exchange(Key& key, const Bytes& command, uint8_t request = 0, uint16_t value = 0) {
  EXPECT_EQ(Outcome::Ok,
            key.VendorOut(request, value, command.data(), static_cast<uint32_t>(command.size())));
  uint8_t buffer[1100];
  uint32_t returned = 0;
  EXPECT_EQ(Outcome::Ok, key.VendorIn(request, buffer, sizeof(buffer), &returned));
  return Bytes(buffer, buffer + returned);
}

uint16_t Announced(Key& key) {
  uint8_t report[8];
  uint32_t returned = 0;
  EXPECT_EQ(Outcome::Ok, key.InterruptIn(report, sizeof(report), &returned));
  EXPECT_EQ(8u, returned);
  EXPECT_EQ(keymodel::kReportId, report[0]);
  return static_cast<uint16_t>(report[2] | report[3] << 8);
}

struct CommandCase {
  const char* name;
  Bytes command;
  Bytes answer;
};

class KeyCommands : public ::testing::TestWithParam<CommandCase> {};

TEST_P(KeyCommands, AnswerAndAnnouncedLength) {
  Key key;
  auto config = sim::usb::PrimaryKey();
  config.serial = 0x12345678;
  key.PowerOn(config);
  Exchange(key, {0x04, 0x10, 0xDE, 0xAD});  // memory the read cases see
  const Bytes answer = Exchange(key, GetParam().command);
  EXPECT_EQ(GetParam().answer, answer);
  EXPECT_EQ(answer.size(), Announced(key));
}

INSTANTIATE_TEST_SUITE_P(
    Set, KeyCommands,
    ::testing::Values(CommandCase{"Echo", {0x01, 1, 2, 3}, {1, 2, 3, 0x90, 0x00}},
                      CommandCase{"Serial", {0x02}, {0x78, 0x56, 0x34, 0x12, 0x90, 0x00}},
                      CommandCase{"MemoryRead", {0x03, 0x0F, 4}, {0, 0xDE, 0xAD, 0, 0x90, 0x00}},
                      CommandCase{"MemoryReadPastEnd", {0x03, 0xFF, 2}, {0x6A, 0x82}},
                      CommandCase{"MemoryWritePastEnd", {0x04, 0xFF, 1, 2}, {0x6A, 0x82}},
                      CommandCase{"MemoryReadWrongLength", {0x03, 0x00}, {0x67, 0x00}},
                      CommandCase{"ChallengeWrongLength", {0x05, 1, 2}, {0x67, 0x00}},
                      CommandCase{"Empty", {}, {0x67, 0x00}},
                      CommandCase{"Unknown", {0x7F}, {0x6D, 0x00}}),
    [](const auto& info) { return info.param.name; });

TEST(KeyModel, ChallengeDependsOnTheSecret) {
  Key a, b;
  auto config = sim::usb::PrimaryKey();
  a.PowerOn(config);
  config.secret ^= 1;
  b.PowerOn(config);
  const Bytes challenge = {0x05, 1, 2, 3, 4, 5, 6, 7, 8};
  const Bytes first = Exchange(a, challenge);
  ASSERT_EQ(10u, first.size());
  EXPECT_EQ(first, Exchange(a, challenge));  // deterministic
  EXPECT_NE(first, Exchange(b, challenge));
}

TEST(KeyModel, IdentificationBlockIsAnAnswerToResetWithItsCheckByte) {
  Key key;
  key.PowerOn(sim::usb::PrimaryKey());
  const Bytes block = Exchange(key, {0, 0, 0, 0}, 1, 2);
  ASSERT_GE(block.size(), 5u);
  ASSERT_LE(block.size(), 64u);
  EXPECT_EQ(0x3B, block[0]);
  EXPECT_EQ(0x90, block[1] & 0xF0);  // TA1 and TD1
  uint8_t check = 0;
  for (size_t i = 1; i < block.size(); ++i)
    check ^= block[i];
  EXPECT_EQ(0, check);  // TCK makes the XOR from T0 on zero
  // The version in the second and third historical bytes.
  EXPECT_EQ(0x04, block[5]);
  EXPECT_EQ(0x00, block[6]);
}

TEST(KeyModel, ShortReadsThenWholeAnswer) {
  Key key;
  auto config = sim::usb::PrimaryKey();
  config.shortReads = 2;
  key.PowerOn(config);
  ASSERT_EQ(2u, Exchange(key, {0x01, 1, 2}).size());  // half of 4
  uint8_t buffer[16];
  uint32_t returned = 0;
  key.VendorIn(0, buffer, sizeof(buffer), &returned);
  EXPECT_EQ(2u, returned);
  key.VendorIn(0, buffer, sizeof(buffer), &returned);
  EXPECT_EQ(4u, returned);
  key.VendorIn(0, buffer, 3, &returned);  // never more than asked
  EXPECT_EQ(3u, returned);
}

TEST(KeyModel, AnnounceExtraNeverMatches) {
  Key key;
  auto config = sim::usb::PrimaryKey();
  config.announceExtra = 3;
  key.PowerOn(config);
  EXPECT_EQ(4u, Exchange(key, {0x01, 1, 2}).size());
  EXPECT_EQ(7, Announced(key));
}

// One report per command; with none queued the endpoint NAKs.
TEST(KeyModel, InterruptEndpointNaksUntilACommandIsTaken) {
  Key key;
  key.PowerOn(sim::usb::PrimaryKey());
  uint8_t report[8];
  uint32_t returned = 5;
  EXPECT_EQ(Outcome::Nak, key.InterruptIn(report, 8, &returned));  // nothing asked yet
  EXPECT_EQ(0u, returned);
  Exchange(key, {0x01, 1, 2});
  Exchange(key, {0x01, 1});  // the newer command's report replaces the older
  EXPECT_EQ(3, Announced(key));
  EXPECT_EQ(Outcome::Nak, key.InterruptIn(report, 8, &returned));  // read once only
  Exchange(key, {0x01});
  key.PortReset();  // a reset drops a report not yet read
  EXPECT_EQ(Outcome::Nak, key.InterruptIn(report, 8, &returned));
  auto config = sim::usb::SecondaryKey();
  config.silent = true;
  key.PowerOn(config);
  Exchange(key, {0x01});
  EXPECT_EQ(Outcome::Nak, key.InterruptIn(report, 8, &returned));  // never reports
}

TEST(KeyModel, HaltStallsUntilPortReset) {
  Key key;
  key.PowerOn(sim::usb::PrimaryKey());
  Exchange(key, {0x04, 0x00, 0x42});
  key.Halt();
  const uint8_t command[] = {0x01, 0x33};
  uint8_t buffer[8];
  uint32_t returned = 5;
  EXPECT_EQ(Outcome::Stall, key.VendorOut(0, 0, command, 2));
  EXPECT_EQ(Outcome::Stall, key.VendorIn(0, buffer, 8, &returned));
  EXPECT_EQ(0u, returned);
  EXPECT_EQ(Outcome::Stall, key.InterruptIn(buffer, 8, &returned));
  key.PortReset();
  EXPECT_EQ(Outcome::Ok, key.VendorIn(0, buffer, 8, &returned));
  EXPECT_EQ(0u, returned);  // the pending answer went with the reset
  EXPECT_EQ((Bytes{0x42, 0x90, 0x00}), Exchange(key, {0x03, 0x00, 1}));  // memory survived
  EXPECT_EQ(Outcome::Stall, key.VendorOut(2, 0, command, 2));            // only requests 0 and 1
}

struct LayoutCase {
  const char* name;
  uint8_t interfaces;
  uint8_t endpoints;
  uint16_t padding;
  uint16_t total;
};

class KeyConfiguration : public sim::test::KernelTest,
                         public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(KeyConfiguration, DescriptorsParseAndBuildTheSelectRequest) {
  const auto& p = GetParam();
  auto config = sim::usb::PrimaryKey();
  config.interfaceCount = p.interfaces;
  config.endpointCount = p.endpoints;
  config.endpoints[1] = {0x02, 0x02, 64, 0};
  config.vendorPadding = p.padding;
  Key key;
  key.PowerOn(config);
  ASSERT_EQ(p.total, key.ConfigurationLength());
  std::vector<uint8_t> buffer(p.total + 10, 0xEE);
  ASSERT_EQ(p.total, key.ReadConfigurationDescriptor(buffer.data(), buffer.size()));
  auto* c = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(buffer.data());
  EXPECT_EQ(p.total, c->wTotalLength);
  EXPECT_EQ(p.interfaces, c->bNumInterfaces);

  // Every descriptor in the set is well formed and the walk covers it exactly.
  size_t covered = 0;
  for (auto* d = USBD_ParseDescriptors(c, p.total, c, -1); d;
       d = USBD_ParseDescriptors(c, p.total, reinterpret_cast<PUCHAR>(d) + d->bLength, -1))
    covered += d->bLength;
  EXPECT_EQ(p.total, covered);

  auto* interface = USBD_ParseConfigurationDescriptorEx(c, c, -1, -1, -1, -1, -1);
  if (p.interfaces == 0) {
    EXPECT_EQ(nullptr, interface);
    return;
  }
  ASSERT_NE(nullptr, interface);
  EXPECT_EQ(0, interface->bInterfaceNumber);
  EXPECT_EQ(p.endpoints, interface->bNumEndpoints);
  EXPECT_EQ(p.interfaces > 1 ? 1 : -1,
            USBD_ParseConfigurationDescriptorEx(c, c, 1, -1, -1, -1, -1)
                ? USBD_ParseConfigurationDescriptorEx(c, c, 1, -1, -1, -1, -1)->bInterfaceNumber
                : -1);
  EXPECT_EQ(nullptr, USBD_ParseConfigurationDescriptorEx(c, c, -1, -1, 0x03, -1, -1));

  USBD_INTERFACE_LIST_ENTRY list[2] = {{interface, nullptr}, {nullptr, nullptr}};
  PURB urb = USBD_CreateConfigurationRequestEx(c, list);
  ASSERT_NE(nullptr, urb);
  EXPECT_EQ(URB_FUNCTION_SELECT_CONFIGURATION, urb->UrbHeader.Function);
  EXPECT_EQ(c, urb->UrbSelectConfiguration.ConfigurationDescriptor);
  ASSERT_EQ(&urb->UrbSelectConfiguration.Interface, list[0].Interface);
  EXPECT_EQ(GET_USBD_INTERFACE_SIZE(p.endpoints), list[0].Interface->Length);
  EXPECT_EQ(p.endpoints, list[0].Interface->NumberOfPipes);
  EXPECT_GE(urb->UrbHeader.Length, sizeof(_URB_SELECT_CONFIGURATION));
  EXPECT_EQ(1u, sim::pool::LiveCount(sim::usb::kUsbdTag));
  ExFreePool(urb);
}

INSTANTIATE_TEST_SUITE_P(Layouts, KeyConfiguration,
                         ::testing::Values(LayoutCase{"OneInterruptPipe", 1, 1, 0, 25},
                                           LayoutCase{"NoPipes", 1, 0, 0, 18},
                                           LayoutCase{"NoInterface", 0, 1, 0, 9},
                                           LayoutCase{"TwoInterfacesTwoPipes", 2, 2, 0, 55},
                                           LayoutCase{"Exactly521", 1, 1, 496, 521},
                                           LayoutCase{"Of600", 1, 1, 575, 600}),
                         [](const auto& info) { return info.param.name; });

}  // namespace
