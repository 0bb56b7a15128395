// The models of an INF and the install sections they name, as Windows finds
// them on x64; the rule that the models are decorated for it.
#include "tools/infcheck/inf_rules.h"

namespace infcheck {
namespace {

// The decoration of a manufacturer line that x64 Windows takes: NTamd64,
// optionally followed by an OS version ("NTamd64.10.0").
std::string Amd64Decoration(const InfLine& line) {
  for (size_t i = 1; i < line.fields.size(); ++i) {
    const std::string d = Lower(line.fields[i]);
    if (d == "ntamd64" || d.rfind("ntamd64.", 0) == 0)
      return line.fields[i];
  }
  return "";
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
  for (const InfLine* manufacturer : inf.Lines("Manufacturer")) {
    if (manufacturer->fields.empty())
      continue;
    const std::string decoration = Amd64Decoration(*manufacturer);
    if (decoration.empty())
      continue;
    const std::string section = manufacturer->fields[0] + "." + decoration;
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
  return models;
}

void CheckModels(const InfFile& inf, std::vector<Finding>* out) {
  const auto manufacturers = inf.Lines("Manufacturer");
  if (manufacturers.empty()) {
    out->push_back({"models-ntamd64", 0, "no [Manufacturer] entry: nothing to install"});
    return;
  }
  for (const InfLine* line : manufacturers) {
    if (Amd64Decoration(*line).empty())
      out->push_back({"models-ntamd64", line->number,
                      "the models of '" + line->text + "' are not decorated for NTamd64"});
  }
}

}  // namespace infcheck
