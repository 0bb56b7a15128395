#include "tools/catalog/catalog_version.h"

#include <cstdlib>

namespace catalog {
namespace {

bool Number(const std::string& text, long* value) {
  if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  *value = std::strtol(text.c_str(), nullptr, 10);
  return true;
}

// One entry, "2:major.minor"; false unless it names an NT version.
bool NtVersion(const std::string& entry, long* major, long* minor) {
  size_t colon = entry.find(':');
  size_t dot = entry.find('.', colon == std::string::npos ? 0 : colon);
  if (colon == std::string::npos || dot == std::string::npos || entry.substr(0, colon) != "2")
    return false;
  return Number(entry.substr(colon + 1, dot - colon - 1), major) &&
         Number(entry.substr(dot + 1), minor);
}

}  // namespace

int CatalogVersionFor(const std::string& os_attr) {
  bool all_windows8_or_later = true;
  size_t start = 0;
  while (true) {
    size_t comma = os_attr.find(',', start);
    std::string entry = os_attr.substr(start, comma == std::string::npos ? comma : comma - start);
    long major = 0, minor = 0;
    if (!NtVersion(entry, &major, &minor))
      return 0;
    if (major < 6 || (major == 6 && minor < 2))
      all_windows8_or_later = false;
    if (comma == std::string::npos)
      break;
    start = comma + 1;
  }
  return all_windows8_or_later ? 2 : 1;
}

}  // namespace catalog
