// The name of a parameterised image test case: its `fault` text with every
// character other than a letter or digit turned into '_' (GoogleTest allows
// nothing else in a case name).
#pragma once

#include <cctype>
#include <string>

namespace sim::test {

struct FaultCaseName {
  template <typename Info>
  std::string operator()(const Info& info) const {
    std::string name = info.param.fault;
    for (auto& c : name)
      if (!std::isalnum(static_cast<unsigned char>(c)))
        c = '_';
    return name;
  }
};

}  // namespace sim::test
