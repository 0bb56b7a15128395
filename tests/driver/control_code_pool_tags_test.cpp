// Each control code's pool buffer carries its own tag: without pool for that
// tag the request fails before anything reaches the key.
#include <gtest/gtest.h>

#include "sim/kernel/faults.h"
#include "tests/support/driver/open_key_test.h"

namespace tarvik::test {
namespace {

using sim::faults::Tag;
using Bytes = std::vector<UCHAR>;

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

}  // namespace
}  // namespace tarvik::test
