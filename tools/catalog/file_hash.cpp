#include "tools/catalog/file_hash.h"

#include <memory>

namespace catalog {
namespace {

uint32_t Le16(const std::vector<uint8_t>& d, size_t at) {
  return static_cast<uint32_t>(d[at] | d[at + 1] << 8);
}
uint32_t Le32(const std::vector<uint8_t>& d, size_t at) {
  return static_cast<uint32_t>(d[at]) | static_cast<uint32_t>(d[at + 1]) << 8 |
         static_cast<uint32_t>(d[at + 2]) << 16 | static_cast<uint32_t>(d[at + 3]) << 24;
}

constexpr uint32_t kOptionalMagicPe32 = 0x10b;
constexpr uint32_t kOptionalMagicPe32Plus = 0x20b;
constexpr uint32_t kSecurityDirectory = 4;

}  // namespace

bool PeHashedRanges(const std::vector<uint8_t>& data, std::vector<Range>* ranges) {
  if (data.size() < 0x40 || data[0] != 'M' || data[1] != 'Z')
    return false;
  size_t pe = Le32(data, 0x3c);
  if (pe > data.size() || data.size() - pe < 24 + 2)
    return false;
  if (Le32(data, pe) != 0x00004550)
    return false;  // "PE\0\0"
  size_t optional = pe + 24;
  uint32_t magic = Le16(data, optional);
  size_t directories;
  if (magic == kOptionalMagicPe32) {
    directories = optional + 96;
  } else if (magic == kOptionalMagicPe32Plus) {
    directories = optional + 112;
  } else {
    return false;
  }
  size_t checksum = optional + 64;
  size_t rva_count_at = directories - 4;
  if (directories > data.size())
    return false;
  if (Le32(data, rva_count_at) <= kSecurityDirectory)
    return false;
  size_t security = directories + 8 * kSecurityDirectory;
  if (security + 8 > data.size())
    return false;
  uint32_t size_of_headers = Le32(data, optional + 60);
  if (size_of_headers < security + 8 || size_of_headers > data.size())
    return false;

  // The certificate table sits at the end of the file; everything before it
  // is hashed but the two fields that signing rewrites.
  size_t end = data.size();
  uint32_t table_offset = Le32(data, security);
  uint32_t table_size = Le32(data, security + 4);
  if (table_size != 0) {
    if (table_offset < size_of_headers || table_offset > data.size() ||
        table_size > data.size() - table_offset) {
      return false;
    }
    end = table_offset;
  }
  ranges->clear();
  ranges->push_back({0, checksum});
  ranges->push_back({checksum + 4, security - (checksum + 4)});
  ranges->push_back({security + 8, end - (security + 8)});
  return true;
}

FileHash HashForCatalog(const std::vector<uint8_t>& data, const EVP_MD* md) {
  FileHash hash;
  std::vector<Range> ranges;
  if (PeHashedRanges(data, &ranges)) {
    hash.kind = HashKind::kPeImage;
  } else {
    ranges = {{0, data.size()}};
  }
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  EVP_DigestInit_ex(ctx.get(), md, nullptr);
  for (const Range& r : ranges)
    EVP_DigestUpdate(ctx.get(), data.data() + r.offset, r.length);
  hash.digest.resize(static_cast<size_t>(EVP_MD_get_size(md)));
  unsigned int length = 0;
  EVP_DigestFinal_ex(ctx.get(), hash.digest.data(), &length);
  hash.digest.resize(length);
  return hash;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (uint8_t b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 15]);
  }
  return out;
}

}  // namespace catalog
