// UTF-16 as catalogs store text: BMPString (big-endian) for names, and
// little-endian with a terminating NUL for values and member tags.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace catalog {

std::vector<uint8_t> Utf16Be(const std::string& ascii);
std::vector<uint8_t> Utf16LeZ(const std::string& ascii);
// Back to text: stops at a NUL; non-ASCII units come out as '?'.
std::string FromUtf16Le(const uint8_t* data, size_t length);
std::string FromUtf16Be(const uint8_t* data, size_t length);

}  // namespace catalog
