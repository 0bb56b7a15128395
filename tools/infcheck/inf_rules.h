// The rules an INF of ours must pass before Windows is asked to install it;
// README.md beside this file lists them with what each one enforces.
#pragma once
#include <string>
#include <vector>

#include "tools/infcheck/inf_file.h"

namespace infcheck {

struct Finding {
  std::string rule;  // the rule's name in README.md
  int line;          // 0 when the fault has no line (something missing)
  std::string message;
};

// Every rule over one INF, in the order of README.md.
std::vector<Finding> Check(const InfFile& inf);

// The rule groups (one file each).
void CheckSyntax(const InfFile& inf, std::vector<Finding>* out);
void CheckVersion(const InfFile& inf, std::vector<Finding>* out);
void CheckClass(const InfFile& inf, std::vector<Finding>* out);
void CheckModels(const InfFile& inf, std::vector<Finding>* out);
void CheckOsFloor(const InfFile& inf, std::vector<Finding>* out);
void CheckFiles(const InfFile& inf, std::vector<Finding>* out);
void CheckServices(const InfFile& inf, std::vector<Finding>* out);
void CheckStrings(const InfFile& inf, std::vector<Finding>* out);
void CheckSections(const InfFile& inf, std::vector<Finding>* out);

// What the rule groups share: the install sections the models name, as
// Windows resolves them for x64 (name.NTamd64, else name.NT, else name).
struct Model {
  const InfLine* line;        // in the models section
  std::string modelsSection;  // decorated
  std::string install;        // as written
  std::string resolved;       // the section found, "" when none
  std::vector<std::string> hardwareIds;
};
std::vector<Model> Models(const InfFile& inf);
std::string ResolveInstall(const InfFile& inf, const std::string& name);

}  // namespace infcheck
