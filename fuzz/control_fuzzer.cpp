// The control interface of a started key: any code, input and output length,
// with the key's answer behaviour, identification block and faults on the
// wire chosen by the input. The verifier checks every completion (Information
// never beyond the output buffer among them).
//
// Input: code selector, output length (3 bytes, little-endian), behaviour
// byte, fault byte, then the input buffer. Behaviour: 0x80 a key of the
// secondary family; bits 0x70 at 0x40 the input buffer (up to 64 bytes) is
// also the key's identification block instead of its family's (one input in
// eight: a key of its own, started for the input alone); 0x08 the key
// announces one byte more than it answers; 0x04 no endpoint; 0x03 short reads
// per answer. The input buffer may be followed by further requests on the same
// handle, each after the marker FE ED FA CE: code selector, output length
// (2 bytes, little-endian), input buffer.
//
// Started keys and their handles are kept from one input to the next, one per
// key configuration (fuzz/kept_key.h).
#include <algorithm>
#include <cstdint>
#include <vector>

#include "driver/driver.h"
#include "driver/ioctl.h"
#include "fuzz/kept_key.h"

namespace {

constexpr ULONG kCodes[] = {IOCTL_KEY_GET_CONFIG_DESCRIPTOR,
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
                            IOCTL_KEY_TRANSACT_EX,
                            TARVIK_KEY_CTL_CODE(0x005),
                            TARVIK_KEY_CTL_CODE(0x019)};

constexpr uint8_t kMarker[] = {0xFE, 0xED, 0xFA, 0xCE};

// The bytes from `begin` up to the next marker (or the end).
const uint8_t* SegmentEnd(const uint8_t* begin, const uint8_t* end) {
  return std::search(begin, end, kMarker, kMarker + sizeof kMarker);
}

constexpr sim::usb::Kind kFaultKinds[] = {sim::usb::Kind::VendorOut, sim::usb::Kind::VendorIn,
                                          sim::usb::Kind::Interrupt, sim::usb::Kind::ResetPort};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 6)
    return 0;
  const ULONG code = kCodes[data[0] % (sizeof(kCodes) / sizeof(kCodes[0]))];
  const ULONG out = (data[1] | data[2] << 8 | (data[3] & 0x01) << 16);  // up to 128 KiB
  const uint8_t behaviour = data[4];
  const uint8_t fault = data[5];
  const uint8_t* const end = data + size;
  const uint8_t* next = SegmentEnd(data + 6, end);
  std::vector<UCHAR> input(data + 6, next);

  auto config = (behaviour & 0x80) ? sim::usb::SecondaryKey() : sim::usb::PrimaryKey();
  config.shortReads = behaviour & 0x03;
  config.endpointCount = (behaviour & 0x04) ? 0 : 1;
  config.announceExtra = (behaviour & 0x08) ? 1 : 0;
  if ((behaviour & 0x70) == 0x40) {
    config.infoBlockLength = static_cast<uint8_t>(input.size() < 64 ? input.size() : 64);
    for (size_t i = 0; i < config.infoBlockLength; ++i)
      config.infoBlock[i] = input[i];
  }

  // Never destroyed: torn down at exit (KeptKey::Finish).
  static auto& kept = *new tarvik::fuzz::KeptKey;
  const GUID& cls = (behaviour & 0x80) ? GUID_KEY_INTERFACE_SECONDARY : GUID_KEY_INTERFACE_PRIMARY;
  const HANDLE handle = kept.Acquire(config, cls);
  if (handle) {
    if (fault & 0x80) {
      sim::usb::Fault f;
      f.kind = kFaultKinds[fault & 0x03];
      f.rule.count = 1 + ((fault >> 2) & 0x03);
      f.halt = (fault & 0x10) != 0;
      sim::usb::AddFault(kept.pdo(), f);
    }
    kept.client().DeviceIoControl(handle, code, input, out);
    while (next != end) {
      const uint8_t* const begin = next + sizeof kMarker;
      next = SegmentEnd(begin, end);
      if (next - begin < 3)
        continue;
      const ULONG moreCode = kCodes[begin[0] % (sizeof(kCodes) / sizeof(kCodes[0]))];
      const ULONG moreOut = begin[1] | begin[2] << 8;
      kept.client().DeviceIoControl(handle, moreCode, std::vector<UCHAR>(begin + 3, next), moreOut);
    }
  }
  kept.Release();
  return 0;
}
