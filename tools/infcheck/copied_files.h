// The files an install section copies, with the folder each one goes to.
#pragma once
#include <string>
#include <vector>

#include "tools/infcheck/inf_file.h"

namespace infcheck {

struct CopiedFile {
  const InfLine* line;      // the entry (or the CopyFiles line of an @file)
  std::string list;         // the CopyFiles list section, "" for @file
  std::string target;       // the name it gets
  std::string source;       // the name on the source disk
  std::string destination;  // DestinationDirs' dirid of the list, else DefaultDestDir
};

std::vector<CopiedFile> CopiedFiles(const InfFile& inf, const std::string& installSection);

}  // namespace infcheck
