#include "tools/infcheck/copied_files.h"

namespace infcheck {
namespace {

std::string Destination(const InfFile& inf, const std::string& list) {
  const InfLine* line = list.empty() ? nullptr : inf.Key("DestinationDirs", list);
  if (!line)
    line = inf.Key("DestinationDirs", "DefaultDestDir");
  return line && !line->fields.empty() ? line->fields[0] : std::string();
}

}  // namespace

std::vector<CopiedFile> CopiedFiles(const InfFile& inf, const std::string& installSection) {
  std::vector<CopiedFile> files;
  for (const InfLine* copy : inf.Lines(installSection)) {
    if (!copy->hasKey || !SameName(copy->key, "CopyFiles"))
      continue;
    for (const auto& field : copy->fields) {
      if (field.empty())
        continue;
      if (field[0] == '@') {
        files.push_back({copy, "", field.substr(1), field.substr(1), Destination(inf, "")});
        continue;
      }
      for (const InfLine* entry : inf.Lines(field)) {
        if (entry->fields.empty() || entry->fields[0].empty())
          continue;
        const std::string& target = entry->fields[0];
        const std::string source =
            entry->fields.size() > 1 && !entry->fields[1].empty() ? entry->fields[1] : target;
        files.push_back({entry, field, target, source, Destination(inf, field)});
      }
    }
  }
  return files;
}

}  // namespace infcheck
