// keysim: runs a scenario of Plug and Play, power and client steps against
// the real driver on the simulated kernel and USB bus, one result line per
// step. Usage: keysim [--image PATH] [scenario-file]   (standard input
// without one). With --image the driver is the Windows image at PATH (the
// shipped Tarvik4v2.sys) loaded by the simulation's image loader, instead of
// the host build (the environment variable TARVIK_IMAGE does the same).
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "sim/image/driver_under_test.h"
#include "tools/keysim/runner.h"

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "--image") == 0) {
    sim::image::UseImage(argv[2]);
    argv += 2;
    argc -= 2;
  }
  if (argc > 2 || (argc == 2 && std::strcmp(argv[1], "--image") == 0)) {
    std::cerr << "usage: keysim [--image PATH] [scenario-file]\n";
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
