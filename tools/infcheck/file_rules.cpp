// Files: every file a CopyFiles list of an install section copies is in
// [SourceDisksFiles] with its disk in [SourceDisksNames].
#include "tools/infcheck/copied_files.h"
#include "tools/infcheck/inf_rules.h"
#include "tools/infcheck/install_models.h"

namespace infcheck {
namespace {

// An entry of the section or of its x64 decoration.
const InfLine* PlatformKey(const InfFile& inf, const std::string& section, const std::string& key) {
  if (const InfLine* line = inf.Key(section + ".amd64", key))
    return line;
  return inf.Key(section, key);
}

}  // namespace

void CheckFiles(const InfFile& inf, std::vector<Finding>* out) {
  for (const auto& model : FirstModelOfEachInstall(inf)) {
    for (const auto& copy : CopiedFiles(inf, model.resolved)) {
      const InfLine* source = PlatformKey(inf, "SourceDisksFiles", copy.source);
      if (!source) {
        out->push_back({"source-disks", copy.line->number,
                        copy.source + " is copied but not in [SourceDisksFiles]"});
        continue;
      }
      const std::string disk = source->fields.empty() ? std::string() : source->fields[0];
      if (disk.empty() || !PlatformKey(inf, "SourceDisksNames", disk))
        out->push_back({"source-disks", source->number,
                        copy.source + " is on disk '" + disk + "', not in [SourceDisksNames]"});
    }
  }
}

}  // namespace infcheck
