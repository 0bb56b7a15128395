// The models x64 Windows reads from an INF (inf_models.h).
#include "sim/win32/inf_models.h"

#include <cctype>
#include <cstdlib>
#include <map>
#include <tuple>

namespace sim::win32 {

std::string Lower(std::string s) {
  for (auto& c : s)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string Trim(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t\r");
  const size_t e = s.find_last_not_of(" \t\r");
  return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

namespace {

// The fields of a line's value: commas outside quotes separate, quotes go.
std::vector<std::string> Fields(const std::string& value) {
  std::vector<std::string> fields(1);
  bool quoted = false;
  for (char c : value) {
    if (c == '"')
      quoted = !quoted;
    else if (c == ',' && !quoted)
      fields.emplace_back();
    else
      fields.back() += c;
  }
  for (auto& f : fields)
    f = Trim(f);
  return fields;
}

// Lines by lower-case section name (sections of one name are one), each the
// value's fields: after '=' when the line has a key, else the whole line.
std::map<std::string, std::vector<std::vector<std::string>>> Sections(const std::string& text) {
  std::map<std::string, std::vector<std::vector<std::string>>> sections;
  std::vector<std::vector<std::string>>* current = nullptr;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos)
      end = text.size();
    std::string line;
    bool quoted = false;
    for (size_t i = start; i < end; ++i) {
      if (text[i] == '"')
        quoted = !quoted;
      if (text[i] == ';' && !quoted)
        break;
      line += text[i];
    }
    start = end + 1;
    line = Trim(line);
    if (line.empty())
      continue;
    if (line[0] == '[') {
      const size_t close = line.find(']');
      current =
          close == std::string::npos ? nullptr : &sections[Lower(Trim(line.substr(1, close - 1)))];
      continue;
    }
    if (!current)
      continue;
    const size_t equals = line.find('=');
    current->push_back(Fields(equals == std::string::npos ? line : line.substr(equals + 1)));
  }
  return sections;
}

bool Number(const std::string& text, int base, unsigned* value) {
  if (text.empty() || text.size() > 10)
    return false;
  char* end = nullptr;
  *value = static_cast<unsigned>(std::strtoul(text.c_str(), &end, base));
  return *end == 0 && std::isxdigit(static_cast<unsigned char>(text[0]));
}

// How closely the decoration matches the system (higher is closer), or false
// when it does not match at all.
bool Match(const std::string& decoration, const OsVersion& os,
           std::tuple<unsigned, unsigned, unsigned, int>* closeness) {
  std::vector<std::string> parts;
  std::string lower = Lower(decoration);
  for (size_t from = 0, dot;; from = dot + 1) {
    dot = lower.find('.', from);
    parts.push_back(lower.substr(from, dot == std::string::npos ? dot : dot - from));
    if (dot == std::string::npos)
      break;
  }
  if (parts[0] != "ntamd64" || parts.size() > 6)
    return false;
  unsigned v[6] = {};
  for (size_t i = 1; i < parts.size(); ++i) {
    const std::string& p = parts[i];
    if (p.empty())
      continue;
    const bool hex = (i == 3 || i == 4) && p.size() > 2 && p[0] == '0' && p[1] == 'x';
    if (!Number(hex ? p.substr(2) : p, hex ? 16 : 10, &v[i]))
      return false;
  }
  const unsigned major = v[1], minor = v[2], product = v[3], suite = v[4], build = v[5];
  if (std::make_tuple(major, minor) > std::make_tuple(os.major, os.minor))
    return false;
  if (build && (std::make_tuple(major, minor) == std::make_tuple(os.major, os.minor)) &&
      build > os.build)
    return false;
  if (product && product != os.productType)
    return false;
  if (suite && (os.suiteMask & suite) != suite)
    return false;
  // A later version matches more closely; at one version, one that also
  // names the product type or suite.
  *closeness = std::make_tuple(major, minor, build, (product ? 1 : 0) + (suite ? 1 : 0));
  return true;
}

// The models sections read, one per manufacturer entry that has a match,
// as named.
std::vector<std::string> InfModelsSections(const std::string& text, const OsVersion& os) {
  std::vector<std::string> names;
  const auto sections = Sections(text);
  const auto manufacturer = sections.find("manufacturer");
  if (manufacturer == sections.end())
    return names;
  for (const auto& entry : manufacturer->second) {
    std::string best;
    std::tuple<unsigned, unsigned, unsigned, int> closest{};
    for (size_t i = 1; i < entry.size(); ++i) {
      std::tuple<unsigned, unsigned, unsigned, int> closeness;
      if (Match(entry[i], os, &closeness) && (best.empty() || closeness > closest)) {
        best = entry[0] + "." + entry[i];
        closest = closeness;
      }
    }
    if (!best.empty() && !entry[0].empty())
      names.push_back(best);
  }
  return names;
}

}  // namespace

std::vector<std::string> InfModelIds(const std::string& text, const OsVersion& os) {
  std::vector<std::string> ids;
  const auto sections = Sections(text);
  for (const std::string& name : InfModelsSections(text, os)) {
    const auto models = sections.find(Lower(name));
    if (models == sections.end())
      continue;
    for (const auto& line : models->second)
      for (size_t i = 1; i < line.size(); ++i)
        if (!line[i].empty())
          ids.push_back(line[i]);
  }
  return ids;
}

}  // namespace sim::win32
