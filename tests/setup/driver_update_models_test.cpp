// The driver update reads the models x64 Windows reads on the running system
// (sim/win32/inf_models.h; WDK "INF Manufacturer section", "Combining
// platform extensions with operating system versions"): of the decorations of
// [Manufacturer] that match the system, the closest, and only sections a
// decoration names. Models that name none of the device's IDs leave the
// update no driver: ERROR_NO_COMPAT_DRIVERS.
#include <fstream>
#include <sstream>

#include "tests/support/win32/setup_test.h"

namespace setup::test {
namespace {

using sim::win32::OsVersion;
using sim::win32::System;

const OsVersion kVista{6, 0, 6002, 1, 0x100};
const OsVersion kSeven{6, 1, 7601, 1, 0x100};
const OsVersion kTen1511{10, 0, 10586, 1, 0x100};
const OsVersion kTen{10, 0, 19045, 1, 0x100};
const OsVersion kServer2019{10, 0, 17763, 3, 0x110};  // VER_NT_SERVER, terminal server

BOOL Update(const std::string& id, const std::string& inf) {
  const std::u16string i = sim::win32::U(id), p = sim::win32::U(inf);
  BOOL reboot = FALSE;
  SetLastError(0);
  return UpdateDriverForPlugAndPlayDevicesW(nullptr, reinterpret_cast<const WCHAR*>(i.c_str()),
                                            reinterpret_cast<const WCHAR*>(p.c_str()), 1, &reboot);
}

// An INF whose [Manufacturer] entry is "Models,<decorations>" ("" for none),
// followed by the sections as given.
std::string Inf(const std::string& decorations, const std::string& sections) {
  return "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=System\r\n"
         "ClassGuid={4D36E97D-E325-11CE-BFC1-08002BE10318}\r\n\r\n[Manufacturer]\r\n%V%=Models" +
         (decorations.empty() ? "" : "," + decorations) + "\r\n\r\n" + sections;
}

struct ModelsCase {
  const char* name;
  std::string inf;
  OsVersion os;
  DWORD error;  // 0: the update installs
};

void PrintTo(const ModelsCase& c, std::ostream* os) {
  *os << c.name;
}

class UpdateModels : public SetupTest, public ::testing::WithParamInterface<ModelsCase> {};

TEST_P(UpdateModels, ReadsTheModelsWindowsReads) {
  const auto& p = GetParam();
  sys().PutFile("C:\\pkg\\key.inf", p.inf);
  sys().AddDevice({"ROOT\\SYSTEM\\0000", "System", {"Root\\Key"}});
  sys().SetOsVersion(p.os);
  EXPECT_EQ(p.error == 0 ? TRUE : FALSE, Update("Root\\Key", "C:\\pkg\\key.inf"));
  EXPECT_EQ(p.error, GetLastError());
}

const std::string kKey = "%D%=Install,Root\\Key\r\n";
const std::string kOther = "%D%=Install,Root\\Other\r\n";

INSTANTIATE_TEST_SUITE_P(
    Decorations, UpdateModels,
    ::testing::Values(
        ModelsCase{"NoVersionOnVista", Inf("NTamd64", "[Models.NTamd64]\r\n" + kKey), kVista, 0},
        ModelsCase{"SevenOnSeven", Inf("NTamd64.6.1", "[Models.NTamd64.6.1]\r\n" + kKey), kSeven,
                   0},
        ModelsCase{"SevenOnTen", Inf("NTamd64.6.1", "[Models.NTamd64.6.1]\r\n" + kKey), kTen, 0},
        ModelsCase{"SevenOnVista", Inf("NTamd64.6.1", "[Models.NTamd64.6.1]\r\n" + kKey), kVista,
                   ERROR_NO_COMPAT_DRIVERS},
        ModelsCase{"MajorAloneIsMinorZero", Inf("NTamd64.6", "[Models.NTamd64.6]\r\n" + kKey),
                   kVista, 0},
        ModelsCase{"CaseOfNames",
                   Inf("ntamd64.6.1", "[MODELS.NTAMD64.6.1]\r\n%D%=Install,root\\key\r\n"), kTen,
                   0},
        // x64 reads no undecorated entry and no other platform's models.
        ModelsCase{"Undecorated", Inf("", "[Models]\r\n" + kKey), kTen, ERROR_NO_COMPAT_DRIVERS},
        ModelsCase{"OtherPlatform", Inf("NTx86.6.1", "[Models.NTx86.6.1]\r\n" + kKey), kTen,
                   ERROR_NO_COMPAT_DRIVERS},
        // A section no decoration names is never read.
        ModelsCase{
            "UnnamedSection",
            Inf("NTamd64.6.1", "[Models.NTamd64.6.1]\r\n" + kOther + "[Models.NTamd64]\r\n" + kKey),
            kTen, ERROR_NO_COMPAT_DRIVERS},
        // The closest of the matching decorations, in either order.
        ModelsCase{"LaterOnTen",
                   Inf("NTamd64.6.1,NTamd64.10.0",
                       "[Models.NTamd64.6.1]\r\n" + kOther + "[Models.NTamd64.10.0]\r\n" + kKey),
                   kTen, 0},
        ModelsCase{"LaterFirstOnTen",
                   Inf("NTamd64.10.0,NTamd64.6.1",
                       "[Models.NTamd64.6.1]\r\n" + kOther + "[Models.NTamd64.10.0]\r\n" + kKey),
                   kTen, 0},
        ModelsCase{"LaterOnSeven",
                   Inf("NTamd64.6.1,NTamd64.10.0",
                       "[Models.NTamd64.6.1]\r\n" + kOther + "[Models.NTamd64.10.0]\r\n" + kKey),
                   kSeven, ERROR_NO_COMPAT_DRIVERS},
        // Product type, suite mask and build number must be the system's.
        ModelsCase{"ServerOnWorkstation",
                   Inf("NTamd64.10.0.0x3", "[Models.NTamd64.10.0.0x3]\r\n" + kKey), kTen,
                   ERROR_NO_COMPAT_DRIVERS},
        ModelsCase{"ServerOnServer",
                   Inf("NTamd64.10.0.0x3", "[Models.NTamd64.10.0.0x3]\r\n" + kKey), kServer2019, 0},
        ModelsCase{"SuiteMissing",
                   Inf("NTamd64.10.0..0x10", "[Models.NTamd64.10.0..0x10]\r\n" + kKey), kTen,
                   ERROR_NO_COMPAT_DRIVERS},
        ModelsCase{"SuitePresent",
                   Inf("NTamd64.10.0..0x10", "[Models.NTamd64.10.0..0x10]\r\n" + kKey), kServer2019,
                   0},
        ModelsCase{"BuildReached",
                   Inf("NTamd64.10.0...14310", "[Models.NTamd64.10.0...14310]\r\n" + kKey), kTen,
                   0},
        ModelsCase{"BuildNotReached",
                   Inf("NTamd64.10.0...14310", "[Models.NTamd64.10.0...14310]\r\n" + kKey),
                   kTen1511, ERROR_NO_COMPAT_DRIVERS},
        ModelsCase{"Unreadable", Inf("NTamd64.6.x", "[Models.NTamd64.6.x]\r\n" + kKey), kTen,
                   ERROR_NO_COMPAT_DRIVERS}),
    [](const auto& info) { return info.param.name; });

// The packages of this build: Windows 7 to 11, not Vista.
struct PackageCase {
  const char* name;
  const char* inf;
  const char* id;
  OsVersion os;
  DWORD error;
};

void PrintTo(const PackageCase& c, std::ostream* os) {
  *os << c.name;
}

class PackageFloor : public SetupTest, public ::testing::WithParamInterface<PackageCase> {};

TEST_P(PackageFloor, InstallsFromWindowsSevenOn) {
  const auto& p = GetParam();
  std::ifstream in(std::string(TARVIK_PACKAGE_INF_DIR) + "/" + p.inf, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  ASSERT_FALSE(text.str().empty()) << p.inf;
  sys().PutFile("C:\\pkg\\package.inf", text.str());
  sys().AddDevice({"ROOT\\SYSTEM\\0000", "System", {p.id}});
  sys().SetOsVersion(p.os);
  EXPECT_EQ(p.error == 0 ? TRUE : FALSE, Update(p.id, "C:\\pkg\\package.inf"));
  EXPECT_EQ(p.error, GetLastError());
}

INSTANTIATE_TEST_SUITE_P(
    Packages, PackageFloor,
    ::testing::Values(PackageCase{"BusOnVista", "vkeybus.inf", "Root\\TarvikKeyBus", kVista,
                                  ERROR_NO_COMPAT_DRIVERS},
                      PackageCase{"BusOnSeven", "vkeybus.inf", "Root\\TarvikKeyBus", kSeven, 0},
                      PackageCase{"BusOnTen", "vkeybus.inf", "Root\\TarvikKeyBus", kTen, 0},
                      PackageCase{"KeyOnVista", "Tarvik4v2.inf", "USB\\VID_7E31&PID_5A3C", kVista,
                                  ERROR_NO_COMPAT_DRIVERS},
                      PackageCase{"KeyOnSeven", "Tarvik4v2.inf", "USB\\VID_7E31&PID_5A3C", kSeven,
                                  0},
                      PackageCase{"SecondaryOnServer", "Tarvik4v2.inf", "USB\\VID_7E21&PID_0013",
                                  kServer2019, 0}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace setup::test
