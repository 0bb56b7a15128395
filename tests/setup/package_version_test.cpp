// The INFs this build stamped, installed and queried with -g on the simulated
// system: the installer sees the build's version and date.
//
// The expected texts come from the build (TARVIK_VERSION, TARVIK_DRIVER_DATE:
// the project version and the date CMake stamped), not from literals here: the
// project version is the one place a release changes, and what is under test
// is that it reaches the INFs, through the template, intact.
#include <fstream>
#include <regex>
#include <sstream>

#include "tests/support/win32/setup_test.h"

namespace setup::test {
namespace {

std::string Generated(const std::string& name) {
  std::ifstream in(std::string(TARVIK_PACKAGE_INF_DIR) + "/" + name, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

const std::string kDriverVer = std::string(TARVIK_DRIVER_DATE) + "," + TARVIK_VERSION;

TEST(BuildStamp, IsADateAndFourNumbers) {
  EXPECT_TRUE(
      std::regex_match(kDriverVer, std::regex("(0[1-9]|1[0-2])/(0[1-9]|[12][0-9]|3[01])/20[0-9]{2},"
                                              "[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+")))
      << kDriverVer;
}

class StampedInf : public SetupTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(StampedInf, CarriesTheBuildsDriverVer) {
  const std::string text = Generated(GetParam());
  ASSERT_FALSE(text.empty()) << "not generated: " << GetParam();
  EXPECT_NE(std::string::npos, text.find("\r\nDriverVer=" + kDriverVer + "\r\n")) << text;
  EXPECT_EQ(std::string::npos, text.find('@')) << "a placeholder left unstamped";
}

TEST_P(StampedInf, InstalledCopyReportsItThroughTheVersionQuery) {
  const std::string name = GetParam();
  sys().PutFile("C:\\pkg\\" + name, Generated(name));
  ASSERT_EQ(0u, Tool({"-i", "C:\\pkg\\" + name}).Code());
  Outcome run = Tool({"-g", name});
  EXPECT_EQ(0u, run.Code());
  EXPECT_EQ(516u, run.PayloadLength());
  ASSERT_EQ(1u, run.Count());
  // An entry holds 15 units: the date and the first numbers of the version.
  EXPECT_EQ(kDriverVer.substr(0, 15), run.Entry(0));
}

INSTANTIATE_TEST_SUITE_P(Packages, StampedInf, ::testing::Values("Tarvik4v2.inf", "vkeybus.inf"),
                         [](const auto& info) {
                           std::string n = info.param;
                           return n.substr(0, n.find('.'));
                         });

}  // namespace
}  // namespace setup::test
