// The install sections the per-section rules look at: each section that a
// model resolves to, once (names compared without case), with the first
// model that names it.
#pragma once
#include <set>
#include <string>
#include <vector>

#include "tools/infcheck/inf_rules.h"

namespace infcheck {

inline std::vector<Model> FirstModelOfEachInstall(const InfFile& inf) {
  std::vector<Model> first;
  std::set<std::string> seen;
  for (auto& model : Models(inf)) {
    if (!model.resolved.empty() && seen.insert(Lower(model.resolved)).second)
      first.push_back(std::move(model));
  }
  return first;
}

}  // namespace infcheck
