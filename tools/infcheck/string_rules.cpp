// Strings: every %token% outside [Strings] is a key of [Strings]; %% is a
// percent sign and %<number>% a folder (dirid).
#include <cctype>
#include <set>

#include "tools/infcheck/inf_rules.h"

namespace infcheck {
namespace {

bool Digits(const std::string& text) {
  for (char c : text)
    if (!std::isdigit(static_cast<unsigned char>(c)))
      return false;
  return true;
}

bool IsStringsSection(const std::string& name) {
  const std::string lower = Lower(name);
  return lower == "strings" || lower.rfind("strings.", 0) == 0;
}

}  // namespace

void CheckStrings(const InfFile& inf, std::vector<Finding>* out) {
  for (const auto& section : inf.Sections()) {
    if (IsStringsSection(section.name))
      continue;
    for (const auto& line : section.lines) {
      std::set<std::string> reported;
      for (size_t open = line.text.find('%'); open != std::string::npos;) {
        const size_t close = line.text.find('%', open + 1);
        if (close == std::string::npos) {
          out->push_back({"strings", line.number, "a % is not closed"});
          break;
        }
        const std::string token = line.text.substr(open + 1, close - open - 1);
        if (!token.empty() && !Digits(token) && !inf.Key("Strings", token) &&
            reported.insert(Lower(token)).second)
          out->push_back({"strings", line.number, "%" + token + "% is not in [Strings]"});
        open = line.text.find('%', close + 1);
      }
    }
  }
}

}  // namespace infcheck
