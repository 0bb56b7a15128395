// Reading a TargetOSVersion decoration (target_os.h).
#include "tools/infcheck/target_os.h"

#include <cstdlib>
#include <vector>

#include "tools/infcheck/inf_file.h"

namespace infcheck {
namespace {

constexpr const char* kArchitectures[] = {"", "x86", "amd64", "ia64", "arm", "arm64"};

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t from = 0;
  for (size_t at = text.find(separator); at != std::string::npos;
       from = at + 1, at = text.find(separator, from))
    parts.push_back(text.substr(from, at - from));
  parts.push_back(text.substr(from));
  return parts;
}

bool Decimal(const std::string& text, unsigned* value) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  *value = static_cast<unsigned>(std::strtoul(text.c_str(), nullptr, 10));
  return true;
}

// ProductType and SuiteMask are written in hexadecimal (0x0000001) or decimal.
bool Number(const std::string& text, unsigned* value) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    const std::string digits = text.substr(2);
    if (digits.size() > 8 ||
        digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
      return false;
    *value = static_cast<unsigned>(std::strtoul(digits.c_str(), nullptr, 16));
    return true;
  }
  return Decimal(text, value);
}

}  // namespace

TargetOs ReadTargetOs(const std::string& decoration) {
  TargetOs os;
  const std::vector<std::string> parts = Split(Lower(decoration), '.');
  if (parts[0].rfind("nt", 0) != 0)
    return os;
  os.nt = true;
  os.architecture = parts[0].substr(2);
  bool known = false;
  for (const char* architecture : kArchitectures)
    known = known || os.architecture == architecture;
  if (!known) {
    os.fault = "names no architecture Windows knows ('" + os.architecture + "')";
    return os;
  }
  // Major, minor, product type, suite mask, build number.
  if (parts.size() > 6) {
    os.fault = "has more fields than major.minor.product.suite.build";
    return os;
  }
  const char* names[] = {"",          "OSMajorVersion", "OSMinorVersion", "ProductType",
                         "SuiteMask", "BuildNumber"};
  unsigned values[6] = {};
  for (size_t i = 1; i < parts.size(); ++i) {
    if (parts[i].empty())
      continue;
    const bool ok =
        (i == 3 || i == 4) ? Number(parts[i], &values[i]) : Decimal(parts[i], &values[i]);
    if (!ok) {
      os.fault = std::string("has a ") + names[i] + " that is no number ('" + parts[i] + "')";
      return os;
    }
  }
  // VER_NT_WORKSTATION, VER_NT_DOMAIN_CONTROLLER, VER_NT_SERVER (0: none
  // given); any other product type matches no system.
  if (values[3] > 3) {
    os.fault = "has a ProductType that is none of 1, 2, 3 ('" + parts[3] + "')";
    return os;
  }
  os.readable = true;
  os.hasVersion = parts.size() > 1 && !parts[1].empty();
  os.major = values[1];
  os.minor = parts.size() > 2 ? values[2] : 0;
  if (!os.hasVersion && parts.size() > 2 && !parts[2].empty()) {
    os.readable = false;
    os.fault = "has an OSMinorVersion without an OSMajorVersion";
  }
  return os;
}

}  // namespace infcheck
