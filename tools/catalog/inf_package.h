// What a catalog needs to know about a driver package, read from its INF:
// the catalog's file name, the files the package copies and the hardware IDs
// its models name.
#pragma once

#include <string>
#include <vector>

namespace catalog {

struct InfPackage {
  std::string catalog_file;               // [Version] CatalogFile (or CatalogFile.NTamd64)
  std::vector<std::string> files;         // [SourceDisksFiles] names, in INF order, no repeats
  std::vector<std::string> hardware_ids;  // models' hardware and compatible IDs, lower case
};

// Reads INF text. On failure returns false and says why in `error`.
bool ReadInfPackage(const std::string& text, InfPackage* package, std::string* error);

}  // namespace catalog
