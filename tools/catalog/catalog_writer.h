// Writes a catalog: one member per file, each with its file name and OS
// attribute, and the catalog's own OS attribute and hardware IDs. The OS list
// picks the catalog's version (catalog_version.h): version 1 with SHA-1
// members while it names a system before Windows 8, version 2 with SHA-256
// members otherwise. The result is an unsigned PKCS#7 SignedData
// (DER) that a signing tool then gives a signer.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace catalog {

// Windows 7, 8, 8.1 and 10/11 (platform 2: NT, by kernel version).
inline constexpr char kOsAttrWindows7To11[] = "2:6.1,2:6.2,2:6.3,2:10.0";
// Windows 8 and later: a version-2 catalog.
inline constexpr char kOsAttrWindows8To11[] = "2:6.2,2:6.3,2:10.0";

struct MemberFile {
  std::string name;
  std::vector<uint8_t> data;
};

struct CatalogInput {
  std::vector<MemberFile> files;
  std::vector<std::string> hardware_ids;
  std::string os_attr = kOsAttrWindows7To11;
  std::time_t this_update = 0;
};

bool WriteCatalog(const CatalogInput& input, std::vector<uint8_t>* der, std::string* error);

}  // namespace catalog
