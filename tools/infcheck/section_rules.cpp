// Sections: every section a line names exists, and a line before the first
// section or an unclosed quote or header is a fault of syntax.
#include "tools/infcheck/inf_rules.h"

namespace infcheck {
namespace {

// Directives whose fields are all section names (CopyFiles' @file excepted).
constexpr const char* kListDirectives[] = {
    "CopyFiles",  "AddReg",          "DelReg",  "DelFiles",    "RenFiles",   "BitReg",
    "UpdateInis", "UpdateIniFields", "Ini2Reg", "AddProperty", "DelProperty"};

void Require(const InfFile& inf, const InfLine& line, const std::string& name,
             std::vector<Finding>* out) {
  if (!name.empty() && !inf.Find(name))
    out->push_back({"sections", line.number, "[" + name + "] is named here but missing"});
}

}  // namespace

void CheckSyntax(const InfFile& inf, std::vector<Finding>* out) {
  for (const auto& fault : inf.Faults())
    out->push_back({"syntax", fault.number, fault.message});
}

void CheckSections(const InfFile& inf, std::vector<Finding>* out) {
  for (const InfLine* manufacturer : inf.Lines("Manufacturer")) {
    const auto& f = manufacturer->fields;
    if (f.empty())
      continue;
    if (f.size() == 1)
      Require(inf, *manufacturer, f[0], out);
    for (size_t i = 1; i < f.size(); ++i)
      Require(inf, *manufacturer, f[0] + "." + f[i], out);
  }
  for (const auto& model : Models(inf))
    if (model.resolved.empty())
      out->push_back({"sections", model.line->number,
                      "[" + model.install + "] (or .NTamd64, .NT) is named here but missing"});
  for (const auto& section : inf.Sections()) {
    for (const auto& line : section.lines) {
      if (!line.hasKey)
        continue;
      for (const char* directive : kListDirectives) {
        if (!SameName(line.key, directive))
          continue;
        for (const auto& field : line.fields)
          if (!field.empty() && field[0] != '@')
            Require(inf, line, field, out);
      }
      if (SameName(line.key, "AddService")) {
        for (size_t i = 2; i < 4 && i < line.fields.size(); ++i)
          Require(inf, line, line.fields[i], out);
      }
      if (SameName(line.key, "AddInterface") && line.fields.size() > 2)
        Require(inf, line, line.fields[2], out);
    }
  }
}

std::vector<Finding> Check(const InfFile& inf) {
  std::vector<Finding> findings;
  CheckSyntax(inf, &findings);
  CheckVersion(inf, &findings);
  CheckClass(inf, &findings);
  CheckModels(inf, &findings);
  CheckOsFloor(inf, &findings);
  CheckFiles(inf, &findings);
  CheckServices(inf, &findings);
  CheckStrings(inf, &findings);
  CheckSections(inf, &findings);
  return findings;
}

}  // namespace infcheck
