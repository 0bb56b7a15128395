// The key's firmware: descriptors, commands, answers, the answer report and
// recovery. See key_model.h for the wire formats.
#include "sim/usb/key_model.h"

namespace keymodel {
namespace {

void Copy(uint8_t* to, const uint8_t* from, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i)
    to[i] = from[i];
}

void Fill(uint8_t* to, uint8_t value, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i)
    to[i] = value;
}

uint32_t Min(uint32_t a, uint32_t b) {
  return a < b ? a : b;
}

void Put16(uint8_t* at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
}

uint8_t Rotl8(uint8_t value, unsigned by) {
  by &= 7;
  return static_cast<uint8_t>((value << by) | (value >> ((8 - by) & 7)));
}

constexpr uint32_t kDeviceDescriptorSize = 18;
constexpr uint32_t kHeaderSize = 9;
constexpr uint32_t kInterfaceSize = 9;
constexpr uint32_t kEndpointSize = 7;
constexpr uint32_t kPaddingHeader = 2;

uint32_t PaddingSize(const KeyConfig& c) {
  const uint32_t padding = Min(c.vendorPadding, kMaxPadding);
  return padding < kPaddingHeader ? 0 : padding;
}

// The byte at `offset` of the configuration descriptor set, computed without
// building the whole set anywhere.
uint8_t ConfigurationByte(const KeyConfig& c, uint32_t offset) {
  const uint32_t interfaces = c.Interfaces();
  const uint32_t endpoints = c.Endpoints();
  const uint32_t perInterface = kInterfaceSize + endpoints * kEndpointSize;
  const uint32_t total = kHeaderSize + interfaces * perInterface + PaddingSize(c);
  if (offset < kHeaderSize) {
    const uint8_t header[kHeaderSize] = {kHeaderSize,
                                         0x02,
                                         static_cast<uint8_t>(total),
                                         static_cast<uint8_t>(total >> 8),
                                         static_cast<uint8_t>(interfaces),
                                         1,
                                         0,
                                         0x80,
                                         50};
    return header[offset];
  }
  offset -= kHeaderSize;
  if (offset < interfaces * perInterface) {
    const uint32_t number = offset / perInterface;
    offset %= perInterface;
    if (offset < kInterfaceSize) {
      const uint8_t interface[kInterfaceSize] = {kInterfaceSize,
                                                 0x04,
                                                 static_cast<uint8_t>(number),
                                                 0,
                                                 static_cast<uint8_t>(endpoints),
                                                 c.interfaceClass,
                                                 0,
                                                 0,
                                                 0};
      return interface[offset];
    }
    offset -= kInterfaceSize;
    const Endpoint& e = c.endpoints[offset / kEndpointSize];
    const uint8_t endpoint[kEndpointSize] = {kEndpointSize,
                                             0x05,
                                             e.address,
                                             e.attributes,
                                             static_cast<uint8_t>(e.maxPacketSize),
                                             static_cast<uint8_t>(e.maxPacketSize >> 8),
                                             e.interval};
    return endpoint[offset % kEndpointSize];
  }
  // Vendor-specific descriptors (type 0xFF) of at most 255 bytes each.
  offset -= interfaces * perInterface;
  const uint32_t chunk = offset / 255;
  const uint32_t at = offset % 255;
  if (at == 0)
    return static_cast<uint8_t>(Min(255, PaddingSize(c) - chunk * 255));
  if (at == 1)
    return 0xFF;
  return static_cast<uint8_t>(offset);
}

}  // namespace

void MakeInfoBlock(KeyConfig* config, const uint8_t* historical, uint8_t count) {
  if (count > 15)
    count = 15;
  uint8_t* b = config->infoBlock;
  Fill(b, 0, kInfoBlockSize);
  uint32_t n = 0;
  b[n++] = 0x3B;                                // TS: direct convention
  b[n++] = static_cast<uint8_t>(0x90 | count);  // T0: TA1 and TD1 follow
  b[n++] = 0x11;                                // TA1
  b[n++] = 0x01;                                // TD1: protocol T=1, nothing follows
  Copy(b + n, historical, count);
  n += count;
  uint8_t check = 0;
  for (uint32_t i = 1; i < n; ++i)
    check ^= b[i];
  b[n++] = check;  // TCK
  config->infoBlockLength = static_cast<uint8_t>(n);
}

void Key::PowerOn(const KeyConfig& config) {
  config_ = config;
  Fill(memory_, 0, kMemorySize);
  answerLength_ = 0;
  readsOfAnswer_ = 0;
  sequence_ = 0;
  halted_ = false;
  reportReady_ = false;
}

uint32_t Key::ReadDeviceDescriptor(uint8_t* buffer, uint32_t length) const {
  uint8_t d[kDeviceDescriptorSize] = {kDeviceDescriptorSize, 0x01, 0x00, 0x02, 0xFF, 0, 0,
                                      config_.maxPacketSize0};
  Put16(d + 8, config_.vendorId);
  Put16(d + 10, config_.productId);
  Put16(d + 12, config_.bcdDevice);
  d[14] = 1;  // iManufacturer
  d[15] = 2;  // iProduct
  d[16] = 3;  // iSerialNumber
  d[17] = 1;  // bNumConfigurations
  const uint32_t count = Min(length, kDeviceDescriptorSize);
  Copy(buffer, d, count);
  return count;
}

uint16_t Key::ConfigurationLength() const {
  return static_cast<uint16_t>(
      kHeaderSize + config_.Interfaces() * (kInterfaceSize + config_.Endpoints() * kEndpointSize) +
      PaddingSize(config_));
}

uint32_t Key::ReadConfigurationDescriptor(uint8_t* buffer, uint32_t length) const {
  const uint32_t count = Min(length, ConfigurationLength());
  for (uint32_t i = 0; i < count; ++i)
    buffer[i] = ConfigurationByte(config_, i);
  return count;
}

void Key::Answer(const uint8_t* bytes, uint32_t count, uint8_t sw1, uint8_t sw2) {
  count = Min(count, kMaxAnswer);
  Copy(answer_, bytes, count);
  answer_[count] = sw1;
  answer_[count + 1] = sw2;
  answerLength_ = count + 2;
}

void Key::Execute(const uint8_t* data, uint32_t length) {
  if (length == 0) {
    Answer(nullptr, 0, 0x67, 0x00);
    return;
  }
  const uint8_t* args = data + 1;
  const uint32_t argc = length - 1;
  switch (data[0]) {
    case kEcho:
      Answer(args, argc, 0x90, 0x00);
      return;
    case kSerial: {
      const uint8_t s[4] = {
          static_cast<uint8_t>(config_.serial), static_cast<uint8_t>(config_.serial >> 8),
          static_cast<uint8_t>(config_.serial >> 16), static_cast<uint8_t>(config_.serial >> 24)};
      Answer(s, 4, 0x90, 0x00);
      return;
    }
    case kMemoryRead:
      if (argc != 2)
        return Answer(nullptr, 0, 0x67, 0x00);
      if (static_cast<uint32_t>(args[0]) + args[1] > kMemorySize)
        return Answer(nullptr, 0, 0x6A, 0x82);
      return Answer(memory_ + args[0], args[1], 0x90, 0x00);
    case kMemoryWrite:
      if (argc < 1)
        return Answer(nullptr, 0, 0x67, 0x00);
      if (args[0] + (argc - 1) > kMemorySize)
        return Answer(nullptr, 0, 0x6A, 0x82);
      Copy(memory_ + args[0], args + 1, argc - 1);
      return Answer(nullptr, 0, 0x90, 0x00);
    case kChallenge: {
      if (argc != 8)
        return Answer(nullptr, 0, 0x67, 0x00);
      uint8_t r[8];
      for (unsigned i = 0; i < 8; ++i) {
        const uint8_t s = static_cast<uint8_t>(config_.secret >> (8 * (i % 4)));
        r[i] = Rotl8(static_cast<uint8_t>(args[i] ^ s), i % 7 + 1) ^ args[(i + 3) % 8];
      }
      return Answer(r, 8, 0x90, 0x00);
    }
    default:
      return Answer(nullptr, 0, 0x6D, 0x00);
  }
}

Outcome Key::VendorOut(uint8_t request, uint16_t value, const uint8_t* data, uint32_t length) {
  if (halted_ || request > 1)
    return Outcome::Stall;
  ++sequence_;
  readsOfAnswer_ = 0;
  reportReady_ = !config_.silent;
  if (request == 1 && value == 2) {
    answerLength_ = config_.infoBlockLength;
    Copy(answer_, config_.infoBlock, answerLength_);
  } else {
    Execute(data, length);
  }
  return Outcome::Ok;
}

Outcome Key::VendorIn(uint8_t request, uint8_t* buffer, uint32_t length, uint32_t* returned) {
  *returned = 0;
  if (halted_ || request > 1)
    return Outcome::Stall;
  uint32_t available = answerLength_;
  if (readsOfAnswer_ < config_.shortReads)
    available /= 2;
  ++readsOfAnswer_;
  *returned = Min(length, available);
  Copy(buffer, answer_, *returned);
  return Outcome::Ok;
}

Outcome Key::InterruptIn(uint8_t* buffer, uint32_t length, uint32_t* returned) {
  *returned = 0;
  if (halted_)
    return Outcome::Stall;
  if (!reportReady_)
    return Outcome::Nak;
  reportReady_ = false;
  uint8_t report[kReportSize] = {kReportId, sequence_};
  const uint32_t announced = answerLength_ + config_.announceExtra;
  Put16(report + 2, static_cast<uint16_t>(announced > 0xFFFF ? 0xFFFF : announced));
  *returned = Min(length, kReportSize);
  Copy(buffer, report, *returned);
  return Outcome::Ok;
}

void Key::PortReset() {
  halted_ = false;
  reportReady_ = false;
  answerLength_ = 0;
  readsOfAnswer_ = 0;
}

}  // namespace keymodel
