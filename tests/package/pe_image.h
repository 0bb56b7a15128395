// A minimal PE image for the hash tests: headers up to 0x200, then filler,
// and optionally a certificate table at the end.
#pragma once

#include <cstdint>
#include <vector>

namespace test_pe {

inline void Put32(std::vector<uint8_t>* d, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    (*d)[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// magic 0x20b (PE32+) or 0x10b (PE32); `size` bytes of image, then the
// certificate table at `table` (`table_size` bytes, 0 for none).
inline std::vector<uint8_t> Image(uint16_t magic, size_t size, uint32_t table,
                                  uint32_t table_size) {
  std::vector<uint8_t> d(size + table_size);
  for (size_t i = 0; i < d.size(); ++i)
    d[i] = static_cast<uint8_t>(i * 7 + 3);
  d[0] = 'M';
  d[1] = 'Z';
  Put32(&d, 0x3c, 0x80);
  Put32(&d, 0x80, 0x00004550);
  const size_t optional = 0x98;
  d[optional] = static_cast<uint8_t>(magic);
  d[optional + 1] = static_cast<uint8_t>(magic >> 8);
  Put32(&d, optional + 60, 0x200);  // SizeOfHeaders
  const size_t directories = optional + (magic == 0x20b ? 112 : 96);
  Put32(&d, directories - 4, 16);  // NumberOfRvaAndSizes
  Put32(&d, directories + 32, table);
  Put32(&d, directories + 36, table_size);
  return d;
}

}  // namespace test_pe
