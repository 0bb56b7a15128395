// infcheck: checks INF files against the rules in README.md.
//   infcheck FILE.inf...
// Prints FILE:LINE: RULE: message for every fault and exits 1 when there is
// one, 2 when a file cannot be read, 0 when every file passes.
#include <cstdio>
#include <fstream>
#include <sstream>

#include "tools/infcheck/inf_rules.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: infcheck FILE.inf...\n");
    return 2;
  }
  int result = 0;
  for (int i = 1; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "infcheck: cannot read %s\n", argv[i]);
      return 2;
    }
    std::ostringstream text;
    text << in.rdbuf();
    const auto findings = infcheck::Check(infcheck::InfFile::Parse(text.str()));
    for (const auto& f : findings)
      std::printf("%s:%d: %s: %s\n", argv[i], f.line, f.rule.c_str(), f.message.c_str());
    if (findings.empty())
      std::printf("%s: ok\n", argv[i]);
    else
      result = 1;
  }
  return result;
}
