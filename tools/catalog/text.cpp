#include "tools/catalog/text.h"

namespace catalog {

std::vector<uint8_t> Utf16Be(const std::string& ascii) {
  std::vector<uint8_t> out;
  for (unsigned char c : ascii) {
    out.push_back(0);
    out.push_back(c);
  }
  return out;
}

std::vector<uint8_t> Utf16LeZ(const std::string& ascii) {
  std::vector<uint8_t> out;
  for (unsigned char c : ascii) {
    out.push_back(c);
    out.push_back(0);
  }
  out.push_back(0);
  out.push_back(0);
  return out;
}

namespace {
std::string FromUtf16(const uint8_t* data, size_t length, bool big_endian) {
  std::string out;
  for (size_t i = 0; i + 1 < length; i += 2) {
    unsigned unit = big_endian ? (data[i] << 8 | data[i + 1]) : (data[i] | data[i + 1] << 8);
    if (unit == 0)
      break;
    out.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
  }
  return out;
}
}  // namespace

std::string FromUtf16Le(const uint8_t* data, size_t length) {
  return FromUtf16(data, length, false);
}
std::string FromUtf16Be(const uint8_t* data, size_t length) {
  return FromUtf16(data, length, true);
}

}  // namespace catalog
