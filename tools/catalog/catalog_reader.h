// Reads a catalog back: its members and attributes. The tests use it to look
// at what the writer produced, beside the independent readers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace catalog {

struct CatalogMember {
  std::string tag;           // the member's tag as stored
  std::string file;          // its "File" attribute
  std::string os_attr;       // its "OSAttr" attribute
  std::string subject_guid;  // the SIP that checks it
  std::string data_type;     // the indirect data's type OID
  std::string algorithm;     // the digest's algorithm OID
  std::vector<uint8_t> digest;
};

struct CatalogContents {
  std::string subject_usage;
  std::string subject_algorithm;
  size_t signers = 0;
  std::vector<CatalogMember> members;
  std::vector<std::pair<std::string, std::string>> attributes;  // name, value
};

bool ReadCatalog(const std::vector<uint8_t>& der, CatalogContents* contents, std::string* error);

}  // namespace catalog
