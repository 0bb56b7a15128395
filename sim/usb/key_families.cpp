// The key families the simulated bus plugs: the driver's own and one it does
// not know.
#include "sim/usb/bus.h"

namespace sim::usb {
namespace {

KeyConfig WithInfoBlock(KeyConfig c, uint8_t versionHigh, uint8_t versionLow) {
  const uint8_t historical[] = {0x4B, versionHigh, versionLow, 0x54, 0x56, 0x34};
  keymodel::MakeInfoBlock(&c, historical, sizeof(historical));
  return c;
}

KeyConfig Key(uint16_t vendor, uint16_t product, uint16_t revision) {
  KeyConfig c;
  c.vendorId = vendor;
  c.productId = product;
  c.bcdDevice = revision;
  c.serial = 0x4B000000u | static_cast<uint32_t>(product) << 8 | (revision >> 8);
  c.secret = 0x5EC2E7u ^ product;
  return c;
}

}  // namespace

KeyConfig PrimaryKey() {
  return WithInfoBlock(Key(0x7E31, 0x5A3C, 0x0400), 0x04, 0x00);
}
KeyConfig LegacyPrimaryKey() {
  return WithInfoBlock(Key(0x7E21, 0x0014, 0x0300), 0x02, 0x05);
}
KeyConfig SecondaryKey() {
  return WithInfoBlock(Key(0x7E21, 0x0013, 0x0100), 0x01, 0x00);
}
KeyConfig UnrecognisedKey() {
  return Key(0x7E21, 0x0015, 0x0100);
}
}  // namespace sim::usb
