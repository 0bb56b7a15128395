// The INFs of this build: x64 Windows reads the models section that the
// [Manufacturer] decoration names (Windows 7 and later); Wine 8 reads
// [Models.NTamd64] whatever OS version the decoration names. No decoration
// names that copy, so Windows never reads it, and both list the same models.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "tools/infcheck/inf_file.h"

namespace infcheck {
namespace {

std::vector<std::string> Texts(const std::vector<const InfLine*>& lines) {
  std::vector<std::string> texts;
  for (const InfLine* line : lines)
    texts.push_back(line->text);
  return texts;
}

class PackageModels : public ::testing::TestWithParam<const char*> {};

TEST_P(PackageModels, WineReadsTheModelsWindowsReads) {
  std::ifstream in(std::string(TARVIK_PACKAGE_INF_DIR) + "/" + GetParam() + ".inf",
                   std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  ASSERT_FALSE(text.str().empty()) << GetParam();
  const InfFile inf = InfFile::Parse(text.str());
  const auto manufacturer = inf.Lines("Manufacturer");
  ASSERT_EQ(1u, manufacturer.size());
  EXPECT_EQ((std::vector<std::string>{"Models", "NTamd64.6.1"}), manufacturer[0]->fields);
  const auto windows = Texts(inf.Lines("Models.NTamd64.6.1"));
  const auto wine = Texts(inf.Lines("Models.NTamd64"));
  EXPECT_FALSE(windows.empty());
  EXPECT_EQ(windows, wine);
}

INSTANTIATE_TEST_SUITE_P(Inf, PackageModels, ::testing::Values("Tarvik4v2", "vkeybus"));

}  // namespace
}  // namespace infcheck
