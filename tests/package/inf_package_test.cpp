// What the catalog writer reads from an INF: the catalog's name, the files and
// the hardware IDs, and the INFs it refuses.
#include "tools/catalog/inf_package.h"

#include <gtest/gtest.h>

namespace {

using catalog::InfPackage;
using catalog::ReadInfPackage;
using Strings = std::vector<std::string>;

constexpr char kHeader[] =
    "[Version]\nSignature=\"$Windows NT$\"\nCatalogFile=key.cat\n"
    "[SourceDisksFiles]\nkey.sys=1\n";

struct Case {
  const char* name;
  std::string text;
  std::string catalog;
  Strings files;
  Strings ids;
};

TEST(InfPackage, ReadsCatalogFilesAndHardwareIds) {
  const Case cases[] = {
      {"decorated models, compatible IDs, lower case",
       std::string(kHeader) + "[Manufacturer]\n%V%=Models,NTamd64\n[Models.NTamd64]\n"
                              "%K%=Install,USB\\VID_7E31&PID_5A3C,USB\\Class_FF\n%K%=Install, "
                              "USB\\VID_7E21&PID_0014\n",
       "key.cat",
       {"key.sys"},
       {"usb\\vid_7e31&pid_5a3c", "usb\\class_ff", "usb\\vid_7e21&pid_0014"}},
      {"an undecorated models section, a repeated ID once",
       std::string(kHeader) +
           "[Manufacturer]\n%V%=Models\n[models]\n%A%=I,Root\\Bus\n%B%=I,root\\bus\n",
       "key.cat",
       {"key.sys"},
       {"root\\bus"}},
      {"the amd64 catalog name first; comments, quotes and case",
       "[version]\nCatalogFile=all.cat\ncatalogfile.ntamd64 = \"x64.cat\" ; 64-bit\n"
       "[SourceDisksFiles]\na.sys = 1 ; driver\nb.dll=1\na.sys=1\n"
       "[SourceDisksFiles.amd64]\nc.exe=1\n"
       "[Manufacturer]\n\"Vendor;Inc\"=M,NTamd64.10.0\n[M.NTamd64.10.0]\n%D%=I,PCI\\VEN_1\n",
       "x64.cat",
       {"a.sys", "b.dll", "c.exe"},
       {"pci\\ven_1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    InfPackage package;
    std::string error;
    ASSERT_TRUE(ReadInfPackage(c.text, &package, &error)) << error;
    EXPECT_EQ(package.catalog_file, c.catalog);
    EXPECT_EQ(package.files, c.files);
    EXPECT_EQ(package.hardware_ids, c.ids);
  }
}

TEST(InfPackage, RefusesAnInfWithoutWhatACatalogNeeds) {
  const std::string models = "[Manufacturer]\n%V%=M,NTamd64\n[M.NTamd64]\n%K%=I,USB\\VID_1\n";
  const std::pair<std::string, std::string> cases[] = {
      {"[Strings]\nA=b\n", "no [Version] section"},
      {"[Version]\nSignature=x\n[SourceDisksFiles]\na.sys=1\n" + models,
       "[Version] names no CatalogFile"},
      {"[Version]\nCatalogFile=a.cat\n" + models, "[SourceDisksFiles] names no file"},
      {"[Version]\nCatalogFile=a.cat\n[SourceDisksFiles]\na.sys=1\n", "no [Manufacturer] section"},
      {"[Version]\nCatalogFile=a.cat\n[SourceDisksFiles]\na.sys=1\n[Manufacturer]\n%V%=M,NTamd64\n"
       "[M]\n%K%=I,USB\\VID_1\n",
       "models section [M.NTamd64] is missing"},
      {"[Version]\nCatalogFile=a.cat\n[SourceDisksFiles]\na.sys=1\n[Manufacturer]\n%V%=M,NTamd64\n"
       "[M.NTamd64]\n%K%=I\n",
       "the models name no hardware ID"},
  };
  for (const auto& [text, want] : cases) {
    SCOPED_TRACE(want);
    InfPackage package;
    std::string error;
    EXPECT_FALSE(ReadInfPackage(text, &package, &error));
    EXPECT_EQ(error, want);
  }
}

}  // namespace
