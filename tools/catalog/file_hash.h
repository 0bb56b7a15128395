// The hash a catalog lists for a file: for a PE image (a driver, a program)
// the Authenticode image hash, which leaves out the header's checksum field,
// the certificate table's directory entry and the certificate table itself, so
// that embedding a signature does not change it; for any other file (the INF)
// the hash of every byte.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <openssl/evp.h>

namespace catalog {

enum class HashKind { kFlat, kPeImage };

struct FileHash {
  HashKind kind = HashKind::kFlat;
  std::vector<uint8_t> digest;
};

// The byte ranges of a PE image that its Authenticode hash covers, in order.
// Returns false when `data` is no well-formed PE image.
struct Range {
  size_t offset;
  size_t length;
};
bool PeHashedRanges(const std::vector<uint8_t>& data, std::vector<Range>* ranges);

// Hashes `data` with `md` (SHA-1 or SHA-256) as a catalog does.
FileHash HashForCatalog(const std::vector<uint8_t>& data, const EVP_MD* md);

// Upper-case hex, as catalogs spell a member's tag.
std::string Hex(const std::vector<uint8_t>& bytes);

}  // namespace catalog
