// Reads a catalog back: its members and attributes. The tests use it to look
// at what the writer produced, beside the independent readers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace catalog {

struct CatalogMember {
  std::string tag;                 // the member's tag as stored
  std::vector<uint8_t> tag_bytes;  // its bytes (UTF-16LE)
  std::string file;                // its "File" attribute
  std::string os_attr;             // its "OSAttr" attribute
  long file_flags = -1;            // the flags of its name-value attributes
  long os_attr_flags = -1;
  std::string member_info;                 // the OID of its member-information attribute
  std::vector<uint8_t> member_info_value;  // that attribute's value, DER
  std::string subject_guid;                // the SIP that checks it (CAT_MEMBERINFO only)
  std::string data_type;                   // the indirect data's type OID
  std::string algorithm;                   // the digest's algorithm OID
  std::vector<uint8_t> digest;
};

struct CatalogContents {
  std::string subject_usage;
  std::string subject_algorithm;
  size_t signers = 0;
  std::vector<CatalogMember> members;
  std::vector<std::pair<std::string, std::string>> attributes;  // name, value
  std::vector<long> attribute_flags;                            // of each attribute
};

bool ReadCatalog(const std::vector<uint8_t>& der, CatalogContents* contents, std::string* error);

}  // namespace catalog
