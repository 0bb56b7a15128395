// The answer-to-reset walk of the identification block (ISO/IEC 7816-3
// layout): TS, T0, then the interface bytes that T0 and each TDi announce
// with bits 0x10 (TA), 0x20 (TB), 0x40 (TC) and 0x80 (TD). The version sits
// in the two bytes after the first historical byte; keys below 3.00 get the
// check byte TCK appended.
#include "driver/query_info.h"

#include "driver/device_extension.h"

namespace {

constexpr ULONG ShortestWalkedBlock = 5;
constexpr ULONG FirstCheckedVersion = 0x0300;
constexpr UCHAR InterfaceByteBits[] = {0x10, 0x20, 0x40};
constexpr UCHAR MoreInterfaceBytes = 0x80;

UCHAR ByteAt(const UCHAR* Block, ULONG Index) {
  return Index < InfoBlockSize ? Block[Index] : 0;
}

}  // namespace

ULONG InfoBlockAnswerLength(const UCHAR* Block, ULONG Length) {
  if (Length < ShortestWalkedBlock) {
    return Length;
  }
  ULONG i = 1;
  for (;;) {
    const UCHAR format = ByteAt(Block, i);
    for (UCHAR bit : InterfaceByteBits) {
      if (format & bit) {
        ++i;
      }
    }
    if (!(format & MoreInterfaceBytes)) {
      const ULONG version = (static_cast<ULONG>(ByteAt(Block, i + 2)) << 8) | ByteAt(Block, i + 3);
      return version < FirstCheckedVersion ? Length + 1 : Length;
    }
    ++i;
    if (i > Length - 4) {
      return Length;
    }
  }
}

UCHAR InfoBlockCheckByte(const UCHAR* Block, ULONG Length) {
  UCHAR check = 0;
  for (ULONG i = 1; i < Length; ++i) {
    check ^= ByteAt(Block, i);
  }
  return check;
}
