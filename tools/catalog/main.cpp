// tarvik_catalog: the catalog of a driver package, from its INF.
//   tarvik_catalog describe INF              the catalog's name, the files, the hardware IDs
//   tarvik_catalog make INF FOLDER OUTPUT [OSATTR]
//                                            writes the catalog of the INF and of the files
//                                            it names (read from FOLDER) to OUTPUT, for the
//                                            systems OSATTR lists (Windows 7 to 11 unless
//                                            given), which pick the catalog's version
//   tarvik_catalog list CATALOG              the members and attributes of a catalog
// The catalog's time is SOURCE_DATE_EPOCH when set, so that a build can be repeated.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/catalog/catalog_reader.h"
#include "tools/catalog/catalog_writer.h"
#include "tools/catalog/file_hash.h"
#include "tools/catalog/inf_package.h"

namespace {

bool ReadFile(const std::string& path, std::vector<uint8_t>* data) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    return false;
  data->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

std::string BaseName(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "tarvik_catalog: %s\n", message.c_str());
  return 1;
}

bool LoadInf(const std::string& path, catalog::InfPackage* package, std::string* error) {
  std::vector<uint8_t> text;
  if (!ReadFile(path, &text)) {
    *error = "cannot read " + path;
    return false;
  }
  if (!catalog::ReadInfPackage(std::string(text.begin(), text.end()), package, error)) {
    *error = path + ": " + *error;
    return false;
  }
  return true;
}

int Describe(const std::string& inf) {
  catalog::InfPackage package;
  std::string error;
  if (!LoadInf(inf, &package, &error))
    return Fail(error);
  std::printf("catalog %s\n", package.catalog_file.c_str());
  for (const std::string& f : package.files)
    std::printf("file %s\n", f.c_str());
  for (const std::string& id : package.hardware_ids)
    std::printf("hwid %s\n", id.c_str());
  return 0;
}

int Make(const std::string& inf, const std::string& folder, const std::string& output,
         const std::string& os_attr) {
  catalog::InfPackage package;
  std::string error;
  if (!LoadInf(inf, &package, &error))
    return Fail(error);
  catalog::CatalogInput input;
  input.hardware_ids = package.hardware_ids;
  input.os_attr = os_attr;
  const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
  input.this_update =
      epoch ? static_cast<std::time_t>(std::strtoll(epoch, nullptr, 10)) : std::time(nullptr);
  catalog::MemberFile self{BaseName(inf), {}};
  if (!ReadFile(inf, &self.data))
    return Fail("cannot read " + inf);
  input.files.push_back(self);
  for (const std::string& name : package.files) {
    catalog::MemberFile file{name, {}};
    if (!ReadFile(folder + "/" + name, &file.data)) {
      return Fail("cannot read " + folder + "/" + name + ", named by " + inf);
    }
    input.files.push_back(file);
  }
  std::vector<uint8_t> der;
  if (!catalog::WriteCatalog(input, &der, &error))
    return Fail(error);
  std::ofstream out(output, std::ios::binary);
  out.write(reinterpret_cast<const char*>(der.data()), static_cast<std::streamsize>(der.size()));
  if (!out.flush())
    return Fail("cannot write " + output);
  return 0;
}

int List(const std::string& path) {
  std::vector<uint8_t> der;
  if (!ReadFile(path, &der))
    return Fail("cannot read " + path);
  catalog::CatalogContents contents;
  std::string error;
  if (!catalog::ReadCatalog(der, &contents, &error))
    return Fail(path + ": " + error);
  std::printf("signers %zu\n", contents.signers);
  std::printf("subject %s\n", contents.subject_algorithm.c_str());
  for (const auto& m : contents.members) {
    std::printf("member %s %s %s %s %s\n", m.file.c_str(), m.algorithm.c_str(), m.data_type.c_str(),
                m.tag.c_str(), catalog::Hex(m.digest).c_str());
  }
  for (const auto& [name, value] : contents.attributes) {
    std::printf("attribute %s %s\n", name.c_str(), value.c_str());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 2 && args[0] == "describe")
    return Describe(args[1]);
  if ((args.size() == 4 || args.size() == 5) && args[0] == "make") {
    return Make(args[1], args[2], args[3],
                args.size() == 5 ? args[4] : catalog::kOsAttrWindows7To11);
  }
  if (args.size() == 2 && args[0] == "list")
    return List(args[1]);
  std::fprintf(
      stderr,
      "usage: tarvik_catalog describe INF | make INF FOLDER OUTPUT [OSATTR] | list CATALOG\n");
  return 2;
}
