// The models of an INF and the install sections they name, as Windows finds
// them on x64; the rule that the models are decorated for it.
#include <set>

#include "tools/infcheck/inf_rules.h"
#include "tools/infcheck/target_os.h"

namespace infcheck {
namespace {

// The decorations of a manufacturer line for amd64 ("NTamd64", "NTamd64.10.0"):
// x64 Windows takes the one that best matches the running system, so each
// names a models section Windows may install from.
std::vector<std::string> Amd64Decorations(const InfLine& line) {
  std::vector<std::string> decorations;
  for (size_t i = 1; i < line.fields.size(); ++i)
    if (ReadTargetOs(line.fields[i]).architecture == "amd64")
      decorations.push_back(line.fields[i]);
  return decorations;
}

}  // namespace

std::string ResolveInstall(const InfFile& inf, const std::string& name) {
  for (const std::string& candidate : {name + ".NTamd64", name + ".NT", name})
    if (inf.Find(candidate))
      return candidate;
  return "";
}

std::vector<Model> Models(const InfFile& inf) {
  std::vector<Model> models;
  std::set<std::string> seen;  // sections of one name are one section
  for (const InfLine* manufacturer : inf.Lines("Manufacturer")) {
    if (manufacturer->fields.empty())
      continue;
    for (const std::string& decoration : Amd64Decorations(*manufacturer)) {
      const std::string section = manufacturer->fields[0] + "." + decoration;
      if (!seen.insert(Lower(section)).second)
        continue;
      for (const InfLine* line : inf.Lines(section)) {
        if (!line->hasKey || line->fields.size() < 2 || line->fields[0].empty())
          continue;
        Model model{line, section, line->fields[0], ResolveInstall(inf, line->fields[0]), {}};
        for (size_t i = 1; i < line->fields.size(); ++i)
          if (!line->fields[i].empty())
            model.hardwareIds.push_back(line->fields[i]);
        models.push_back(model);
      }
    }
  }
  return models;
}

void CheckModels(const InfFile& inf, std::vector<Finding>* out) {
  const auto manufacturers = inf.Lines("Manufacturer");
  if (manufacturers.empty()) {
    out->push_back({"models-ntamd64", 0, "no [Manufacturer] entry: nothing to install"});
    return;
  }
  for (const InfLine* line : manufacturers) {
    if (Amd64Decorations(*line).empty())
      out->push_back({"models-ntamd64", line->number,
                      "the models of '" + line->text + "' are not decorated for NTamd64"});
  }
}

}  // namespace infcheck
