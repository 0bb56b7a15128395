// The key model: what the key's firmware does, as seen from the USB link.
//
// Freestanding code: no exceptions, no standard library, no static
// constructors, no allocation. A Key lives in memory its host hands it (the
// simulated bus driver here; a virtual bus driver in a real kernel). The host
// serialises calls on one Key.
//
// Identity and configuration
//   An 18-byte device descriptor with the configured idVendor, idProduct and
//   bcdDevice; one configuration whose interfaces (0 to 2) each carry the
//   configured endpoints, optionally followed by a vendor-specific descriptor
//   of `vendorPadding` bytes (type 0xFF) so that wTotalLength can exceed any
//   first guess of the host.
//
// Commands
//   A vendor OUT control transfer to the device with bRequest 0, or bRequest 1
//   with any wValue, carries one command; a vendor IN control transfer with
//   bRequest 0 or 1 returns the answer to the last command, as often as it is
//   asked, until the next command. Any other bRequest is stalled. Byte 0 of a
//   command is its code; every answer but the identification block ends with a
//   two-byte status word: 90 00 done, 67 00 wrong length, 6A 82 address out of
//   range, 6D 00 unknown command.
//
//     01 <bytes...>          echo          answer: <bytes...> 90 00
//     02                     serial number answer: 4 bytes, little-endian, 90 00
//     03 <addr> <count>      memory read   answer: <count bytes of memory> 90 00
//     04 <addr> <bytes...>   memory write  answer: 90 00
//     05 <8 bytes>           challenge     answer: 8 response bytes, 90 00, where
//                                          r[i] = rotl8(c[i] ^ s[i % 4], i % 7 + 1) ^ c[(i + 3) %
//                                          8] and s is the key's 32-bit secret, little-endian
//   The memory is 256 bytes, zero at power-on. bRequest 1 with wValue 2 (the
//   four command bytes are ignored) asks for the identification block: an
//   ISO/IEC 7816-3 answer-to-reset of up to 64 bytes, answered without status.
//
// Answer signal
//   On its first pipe the key sends an 8-byte report: A5, a sequence number
//   counting commands, the answer length (16 bits, little-endian, plus the
//   configured `announceExtra`), then four zero bytes. Each command queues
//   one report (a newer command replaces one not yet read); with none queued
//   the endpoint NAKs, and the transfer waits on the bus until there is one.
//   A `silent` key never reports: its interrupt endpoint NAKs for ever.
//   A port reset drops a report not yet read.
//
// Answer behaviours
//   `shortReads` N: the first N IN reads of each answer return only half of
//   it (rounded down); later reads return it whole.
//
// Recovery
//   Halt() makes the key stall every transfer until its port is reset. A
//   port reset clears the halt and any pending answer; memory survives.
#pragma once
#include <stddef.h>
#include <stdint.h>

namespace keymodel {

constexpr uint32_t kMaxEndpoints = 4;
constexpr uint32_t kMaxInterfaces = 2;
constexpr uint32_t kInfoBlockSize = 64;
constexpr uint32_t kMemorySize = 256;
constexpr uint32_t kMaxAnswer = 1024;
constexpr uint32_t kMaxPadding = 2048;
constexpr uint32_t kReportSize = 8;
constexpr uint8_t kReportId = 0xA5;

enum Command : uint8_t {
  kEcho = 0x01,
  kSerial = 0x02,
  kMemoryRead = 0x03,
  kMemoryWrite = 0x04,
  kChallenge = 0x05,
};

struct Endpoint {
  uint8_t address;     // bit 7: IN
  uint8_t attributes;  // 3: interrupt, 2: bulk
  uint16_t maxPacketSize;
  uint8_t interval;
};

struct KeyConfig {
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  uint16_t bcdDevice = 0;
  uint8_t maxPacketSize0 = 8;
  uint8_t interfaceCount = 1;  // 0: a configuration without an interface
  uint8_t endpointCount = 1;   // endpoints of each interface
  Endpoint endpoints[kMaxEndpoints] = {{0x81, 0x03, 8, 10}, {}, {}, {}};
  uint8_t interfaceClass = 0xFF;
  uint16_t vendorPadding = 0;
  uint8_t infoBlock[kInfoBlockSize] = {};
  uint8_t infoBlockLength = 0;
  uint32_t serial = 0;
  uint32_t secret = 0;
  uint32_t pipeFlags = 0;  // what the bus reports in PipeFlags after selection
  uint16_t shortReads = 0;
  uint16_t announceExtra = 0;
  bool silent = false;  // never sends an interrupt report

  // The interfaces, and the endpoints of each, that the key has.
  uint32_t Interfaces() const {
    return interfaceCount < kMaxInterfaces ? interfaceCount : kMaxInterfaces;
  }
  uint32_t Endpoints() const {
    return endpointCount < kMaxEndpoints ? endpointCount : kMaxEndpoints;
  }
};

// Fills `config` with an identification block: a direct-convention
// answer-to-reset whose historical bytes are `historical` (at most 15 bytes).
void MakeInfoBlock(KeyConfig* config, const uint8_t* historical, uint8_t count);

enum class Outcome : uint8_t { Ok, Stall, Nak };

class Key {
 public:
  void PowerOn(const KeyConfig& config);
  const KeyConfig& Config() const { return config_; }

  uint32_t ReadDeviceDescriptor(uint8_t* buffer, uint32_t length) const;
  uint32_t ReadConfigurationDescriptor(uint8_t* buffer, uint32_t length) const;
  uint16_t ConfigurationLength() const;

  Outcome VendorOut(uint8_t request, uint16_t value, const uint8_t* data, uint32_t length);
  Outcome VendorIn(uint8_t request, uint8_t* buffer, uint32_t length, uint32_t* returned);
  Outcome InterruptIn(uint8_t* buffer, uint32_t length, uint32_t* returned);

  void PortReset();
  void Halt() { halted_ = true; }
  bool Halted() const { return halted_; }
  // Whether the interrupt endpoint has a report to send.
  bool ReportReady() const { return reportReady_ && !halted_; }

 private:
  void Answer(const uint8_t* bytes, uint32_t count, uint8_t sw1, uint8_t sw2);
  void Execute(const uint8_t* data, uint32_t length);

  KeyConfig config_;
  uint8_t memory_[kMemorySize];
  uint8_t answer_[kMaxAnswer + 2];
  uint32_t answerLength_;
  uint32_t readsOfAnswer_;
  uint8_t sequence_;
  bool halted_;
  bool reportReady_;
};

}  // namespace keymodel
