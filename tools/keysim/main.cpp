// keysim: runs a scenario of Plug and Play, power and client steps against
// the real driver on the simulated kernel and USB bus, one result line per
// step. Usage: keysim [scenario-file]   (standard input without one)
#include <fstream>
#include <iostream>
#include <sstream>

#include "tools/keysim/runner.h"

int main(int argc, char** argv) {
  if (argc > 2) {
    std::cerr << "usage: keysim [scenario-file]\n";
    return 2;
  }
  std::stringstream text;
  if (argc == 2) {
    std::ifstream file(argv[1]);
    if (!file) {
      std::cerr << "keysim: cannot read " << argv[1] << "\n";
      return 2;
    }
    text << file.rdbuf();
  } else {
    text << std::cin.rdbuf();
  }
  const std::vector<keysim::Step> steps = keysim::SplitScript(text.str());
  keysim::Runner runner(std::cout);
  if (auto error = runner.Check(steps)) {
    std::cerr << "line " << error->line << ": " << error->message << "\n";
    return 2;
  }
  return runner.Run(steps);
}
