// One entry per line of layout_fields.h, computed by the compiler of the side
// that includes this file: the win64 build with MinGW-w64's DDK headers, or
// the host with the simulated platform. Each entry is a pair of numbers:
//   LAYOUT_TYPE   sizeof, alignof
//   LAYOUT_FIELD  offset, size
//   LAYOUT_BITS   first bit (from the start of the structure), width in bits
//   LAYOUT_VALUE  value (as 64 bits), size
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "driver/wdk.h"

namespace layout {

// "TVLAYOUT", first in the table the win64 build writes.
constexpr uint64_t kMagic = 0x54554f59414c5654ull;

struct Entry {
  uint64_t first;
  uint64_t second;
};

template <class T>
struct Bytes {
  unsigned char b[sizeof(T)];
};

// Where a bit field lies: `value` has that field's bits set and no others.
template <class T>
constexpr Entry BitsOf(const T& value) {
  const Bytes<T> bytes = __builtin_bit_cast(Bytes<T>, value);
  Entry e{~0ull, 0};
  for (size_t i = 0; i < sizeof(T); ++i) {
    for (unsigned bit = 0; bit < 8; ++bit) {
      if ((bytes.b[i] >> bit) & 1) {
        if (e.first == ~0ull)
          e.first = i * 8 + bit;
        ++e.second;
      }
    }
  }
  return e;
}

}  // namespace layout

#define LAYOUT_ENTRY_TYPE(type) \
  ::layout::Entry {             \
    sizeof(type), alignof(type) \
  }
#define LAYOUT_ENTRY_FIELD(type, member)                                \
  ::layout::Entry {                                                     \
    offsetof(type, member), sizeof(static_cast<type*>(nullptr)->member) \
  }
#define LAYOUT_ENTRY_BITS(type, member) \
  ::layout::BitsOf([] {                 \
    type value{};                       \
    value.member = 0;                   \
    value.member = ~value.member;       \
    return value;                       \
  }())
#define LAYOUT_ENTRY_VALUE(name)                                    \
  ::layout::Entry {                                                 \
    static_cast<uint64_t>(static_cast<int64_t>(name)), sizeof(name) \
  }
