// The answer-to-reset walk alone: any block, any valid length.
// Input: the length byte, then up to 64 bytes of block.
#include <cstdint>
#include <cstdlib>

#include "driver/device_extension.h"
#include "driver/query_info.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1)
    return 0;
  UCHAR block[InfoBlockSize] = {};
  const size_t count = size - 1 < InfoBlockSize ? size - 1 : InfoBlockSize;
  for (size_t i = 0; i < count; ++i)
    block[i] = data[1 + i];
  const ULONG length = data[0] % (InfoBlockSize + 1);
  const ULONG answer = InfoBlockAnswerLength(block, length);
  if (answer != length && answer != length + 1)
    std::abort();  // the block, or the block and its check byte
  InfoBlockCheckByte(block, length);
  return 0;
}
