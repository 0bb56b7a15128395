#include "tools/catalog/inf_package.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <sstream>

namespace catalog {
namespace {

using Section = std::vector<std::pair<std::string, std::string>>;  // key (may be empty), value

std::string Trim(const std::string& s) {
  size_t begin = s.find_first_not_of(" \t\r");
  if (begin == std::string::npos)
    return "";
  size_t end = s.find_last_not_of(" \t\r");
  return s.substr(begin, end - begin + 1);
}

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

// Drops a comment that starts outside quotes.
std::string StripComment(const std::string& line) {
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '"')
      quoted = !quoted;
    if (line[i] == ';' && !quoted)
      return line.substr(0, i);
  }
  return line;
}

std::string Unquote(const std::string& s) {
  std::string t = Trim(s);
  if (t.size() >= 2 && t.front() == '"' && t.back() == '"')
    return t.substr(1, t.size() - 2);
  return t;
}

std::vector<std::string> SplitList(const std::string& s) {
  std::vector<std::string> out;
  std::stringstream in(s);
  std::string item;
  while (std::getline(in, item, ','))
    out.push_back(Unquote(item));
  return out;
}

// Section names are case-insensitive: the map is keyed by the lower-case name.
std::map<std::string, Section> ParseSections(const std::string& text) {
  std::map<std::string, Section> sections;
  Section* current = nullptr;
  std::stringstream in(text);
  std::string raw;
  while (std::getline(in, raw)) {
    std::string line = Trim(StripComment(raw));
    if (line.empty())
      continue;
    if (line.front() == '[' && line.back() == ']') {
      current = &sections[Lower(Trim(line.substr(1, line.size() - 2)))];
      continue;
    }
    if (!current)
      continue;
    size_t eq = line.find('=');
    if (eq == std::string::npos) {
      current->emplace_back("", line);
    } else {
      current->emplace_back(Trim(line.substr(0, eq)), Trim(line.substr(eq + 1)));
    }
  }
  return sections;
}

const Section* Find(const std::map<std::string, Section>& sections, const std::string& name) {
  auto it = sections.find(Lower(name));
  return it == sections.end() ? nullptr : &it->second;
}

std::string ValueOf(const Section& section, const std::string& key) {
  for (const auto& [k, v] : section) {
    if (Lower(k) == Lower(key))
      return Unquote(v);
  }
  return "";
}

void AddUnique(std::vector<std::string>* list, const std::string& item) {
  if (std::find(list->begin(), list->end(), item) == list->end())
    list->push_back(item);
}

// A [Manufacturer] line `%Name%=Models,NTamd64` names the section Models.NTamd64
// for 64-bit Windows (and Models itself for undecorated entries).
std::vector<std::string> ModelSections(const Section& manufacturer) {
  std::vector<std::string> names;
  for (const auto& [key, value] : manufacturer) {
    std::vector<std::string> parts = SplitList(value);
    if (parts.empty() || parts[0].empty())
      continue;
    bool decorated = false;
    for (size_t i = 1; i < parts.size(); ++i) {
      if (Lower(parts[i]).rfind("ntamd64", 0) == 0) {
        names.push_back(parts[0] + "." + parts[i]);
        decorated = true;
      }
    }
    if (!decorated)
      names.push_back(parts[0]);
  }
  return names;
}

}  // namespace

bool ReadInfPackage(const std::string& text, InfPackage* package, std::string* error) {
  std::map<std::string, Section> sections = ParseSections(text);
  const Section* version = Find(sections, "Version");
  if (!version) {
    *error = "no [Version] section";
    return false;
  }
  package->catalog_file = ValueOf(*version, "CatalogFile.NTamd64");
  if (package->catalog_file.empty())
    package->catalog_file = ValueOf(*version, "CatalogFile");
  if (package->catalog_file.empty()) {
    *error = "[Version] names no CatalogFile";
    return false;
  }
  for (const char* name : {"SourceDisksFiles", "SourceDisksFiles.amd64"}) {
    if (const Section* files = Find(sections, name)) {
      for (const auto& [key, value] : *files)
        AddUnique(&package->files, key.empty() ? value : key);
    }
  }
  if (package->files.empty()) {
    *error = "[SourceDisksFiles] names no file";
    return false;
  }
  const Section* manufacturer = Find(sections, "Manufacturer");
  if (!manufacturer) {
    *error = "no [Manufacturer] section";
    return false;
  }
  for (const std::string& name : ModelSections(*manufacturer)) {
    const Section* models = Find(sections, name);
    if (!models) {
      *error = "models section [" + name + "] is missing";
      return false;
    }
    for (const auto& [key, value] : *models) {
      std::vector<std::string> parts = SplitList(value);
      for (size_t i = 1; i < parts.size(); ++i) {
        if (!parts[i].empty())
          AddUnique(&package->hardware_ids, Lower(parts[i]));
      }
    }
  }
  if (package->hardware_ids.empty()) {
    *error = "the models name no hardware ID";
    return false;
  }
  return true;
}

}  // namespace catalog
