// What setup does where Windows (or Wine) differs from the kindest reading
// of its calls: service names that are paths, class names that were never
// written, restarts asked for either way, devices that vanish during a walk,
// IDs that only begin with the one asked for, DLLs that system code loads on
// the tool's behalf, folders and oddly named files in the INF folder.
#include <algorithm>

#include "tests/support/win32/setup_test.h"

namespace setup::test {
namespace {

using sim::win32::System;
using Device = System::Device;

const std::string kServices = "SYSTEM\\CurrentControlSet\\Services";

// A service name that is empty or holds '\' or '/' names no service: the
// registry would take it as a path, to the Services key itself or to a key
// below another service. It is refused before any registry call.
struct ServiceNameCase {
  const char* name;
  std::string service;
  std::string keyReached;  // the key the name would reach, made to exist
};

class ServiceName : public SetupTest, public ::testing::WithParamInterface<ServiceNameCase> {};

TEST_P(ServiceName, IsRefusedBeforeAnyRegistryCall) {
  const auto& p = GetParam();
  sys().CreateKey(p.keyReached);
  const auto before = sys().RegistrySnapshot();
  Outcome run = Tool({"-s", p.service, "V", "1"});
  EXPECT_EQ(RESULT_INVALID_PARAMETER, run.Code());
  EXPECT_EQ(before, sys().RegistrySnapshot());
  const auto calls = sys().Calls();
  EXPECT_EQ(0, std::count(calls.begin(), calls.end(), "RegOpenKeyW"));
}

INSTANTIATE_TEST_SUITE_P(
    Names, ServiceName,
    ::testing::Values(ServiceNameCase{"Empty", "", kServices},
                      ServiceNameCase{"Backslash", "\\", kServices},
                      ServiceNameCase{"TwoBackslashes", "\\\\", kServices},
                      ServiceNameCase{"BackslashInside", "Tarvik4v2\\Parameters",
                                      kServices + "\\Tarvik4v2\\Parameters"},
                      ServiceNameCase{"LeadingBackslash", "\\Tarvik4v2", kServices + "\\Tarvik4v2"},
                      ServiceNameCase{"TrailingBackslash", "Tarvik4v2\\",
                                      kServices + "\\Tarvik4v2"},
                      ServiceNameCase{"Slash", "Tarvik/4v2", kServices + "\\Tarvik/4v2"}),
    [](const auto& info) { return info.param.name; });

// Names that are valid, in letters beyond ASCII, reach their key whatever
// their case: the registry folds them with the system's upper-case table.
TEST_F(SetupTest, AServiceNameBeyondAsciiReachesItsKeyInAnyCase) {
  sys().CreateKey(kServices + "\\Caf\xE9\xD1");             // CaféÑ
  Outcome run = Tool({"-s", "CAF\xC9\xF1", "Level", "2"});  // CAFÉñ
  EXPECT_EQ(0u, run.Code());
  EXPECT_EQ(1u, run.Reboot());
  EXPECT_TRUE(sys().GetValue(kServices + "\\Caf\xE9\xD1", "Level"));
}

// -c names the new device from the INF's class name. A call that succeeds
// without a name (a class GUID and no Class line; under Wine also a Class
// too long for the buffer, which is then left as it was) gives 776 and
// creates nothing.
struct ClassNameCase {
  const char* name;
  std::string inf;
  bool wine;
};

class UnwrittenClassName : public SetupTest, public ::testing::WithParamInterface<ClassNameCase> {};

TEST_P(UnwrittenClassName, IsAFailedClassQuery) {
  const auto& p = GetParam();
  sys().PutFile("C:\\pkg\\x.inf", p.inf);
  sys().SetInfClassLeavesBuffer(p.wine);
  Outcome run = Tool({"-c", "C:\\pkg\\x.inf", "Root\\X"});
  EXPECT_EQ(RESULT_GET_INF_CLASS_FAILED, run.Code());
  EXPECT_TRUE(sys().Devices().empty());
  EXPECT_TRUE(sys().Updates().empty());
}

const std::string kGuidOnly =
    "[Version]\r\nSignature=\"$Windows "
    "NT$\"\r\nClassGuid={4D36E97D-E325-11CE-BFC1-08002BE10318}\r\n";

INSTANTIATE_TEST_SUITE_P(
    Infs, UnwrittenClassName,
    ::testing::Values(ClassNameCase{"GuidWithoutClass", kGuidOnly, false},
                      ClassNameCase{"GuidWithoutClassUnderWine", kGuidOnly, true},
                      ClassNameCase{"ClassOf40UnitsUnderWine",
                                    System::Inf("1.0", std::string(40, 'C')), true},
                      ClassNameCase{"EmptyClassLine", kGuidOnly + "Class=\r\n", false},
                      // A Class line outside [Version] is no class name.
                      ClassNameCase{"ClassOnlyInAnotherSection",
                                    kGuidOnly + "[Strings]\r\nClass=System\r\n", false}),
    [](const auto& info) { return info.param.name; });

// -r reports a restart when a removal sets either flag.
struct RestartCase {
  const char* name;
  bool reboot, restart;
  DWORD expected;
};

class RemovalRestart : public SetupTest, public ::testing::WithParamInterface<RestartCase> {};

TEST_P(RemovalRestart, EitherFlagAsksForIt) {
  const auto& p = GetParam();
  Device device{"R\\1", "System", {"Root\\A"}};
  device.removeNeedsReboot = p.reboot;
  device.removeNeedsRestart = p.restart;
  sys().AddDevice(device);
  Outcome run = Tool({"-r", "Root\\A"});
  EXPECT_EQ(0u, run.Code());
  EXPECT_EQ(p.expected, run.Reboot());
  EXPECT_TRUE(sys().Devices().empty());
}

INSTANTIATE_TEST_SUITE_P(Flags, RemovalRestart,
                         ::testing::Values(RestartCase{"Neither", false, false, 0},
                                           RestartCase{"NeedReboot", true, false, 1},
                                           RestartCase{"NeedRestart", false, true, 1},
                                           RestartCase{"Both", true, true, 1}),
                         [](const auto& info) { return info.param.name; });

// A member of the set that left the tree during the walk is skipped as a
// device without a list is: a child removed with its parent, or a device
// that went away between the set's building and its reading.
TEST_F(SetupTest, RemoveSkipsAChildRemovedWithItsParent) {
  sys().AddDevice({"ROOT\\BUS\\0", "System", {"Root\\Bus"}});
  Device child{"BUS\\KEY\\1", "USB", {"Root\\Bus\\Key"}};
  child.parent = "ROOT\\BUS\\0";
  sys().AddDevice(child);
  sys().AddDevice({"ROOT\\BUS\\1", "System", {"Root\\Bus"}});
  Outcome run = Tool({"-r", "Root\\Bus"});
  EXPECT_EQ(0u, run.Code());
  EXPECT_TRUE(sys().Devices().empty());
}

TEST_F(SetupTest, CreateSkipsADeviceThatVanishedDuringTheWalk) {
  sys().PutFile("C:\\pkg\\bus.inf",
                System::Inf("1.0", "System", {"Root\\A", "Root\\Acc", "Root\\Bus"}));
  Device gone{"ROOT\\SYSTEM\\0009", "System", {"Root\\Other"}};
  gone.vanishes = true;
  sys().AddDevice(gone);
  Outcome run = Tool({"-c", "C:\\pkg\\bus.inf", "Root\\Bus"});
  EXPECT_EQ(0u, run.Code());
  ASSERT_EQ(1u, sys().Devices().size());
  EXPECT_EQ(std::vector<std::string>{"Root\\Bus"}, sys().Devices()[0].hardwareIds);
}

// -c counts a device as existing only when an entry of its list is the ID
// itself: the driver update installs on whole IDs, so a device whose entry
// merely begins with the ID would leave it nothing to install on. -r keeps
// removing every device whose entry begins with the ID.
TEST_F(SetupTest, CreateLooksForTheWholeIdRemoveForItsBeginning) {
  sys().PutFile("C:\\pkg\\bus.inf",
                System::Inf("1.0", "System", {"Root\\A", "Root\\Acc", "Root\\Bus"}));
  sys().AddDevice({"ROOT\\SYSTEM\\0000", "System", {"Root\\AccDev"}});
  Outcome run = Tool({"-c", "C:\\pkg\\bus.inf", "Root\\Acc"});
  EXPECT_EQ(0u, run.Code());
  ASSERT_EQ(2u, sys().Devices().size());
  EXPECT_EQ(std::vector<std::string>{"Root\\Acc"}, sys().Devices()[1].hardwareIds);
  run = Tool({"-r", "ROOT\\ACC"});
  EXPECT_EQ(0u, run.Code());
  EXPECT_TRUE(sys().Devices().empty());
}

// The driver update loads modules of its own by bare name. setup restricts
// the DLL search to the system folder before anything runs, so a DLL of
// that name in the program's folder is not loaded; on a system without
// SetDefaultDllDirectories the tool goes on with the default order.
TEST_F(SetupTest, ModulesLoadedForTheToolComeFromTheSystemFolder) {
  sys().PutFile("C:\\pkg\\bus.inf",
                System::Inf("1.0", "System", {"Root\\A", "Root\\Acc", "Root\\Bus"}));
  sys().PlantModule("wintrust");
  Outcome run = Tool({"-c", "C:\\pkg\\bus.inf", "Root\\A"});
  EXPECT_EQ(0u, run.Code());
  EXPECT_EQ(static_cast<DWORD>(LOAD_LIBRARY_SEARCH_SYSTEM32), sys().DefaultDllDirectories());
  ASSERT_EQ(1u, sys().SystemLoads().size());
  EXPECT_EQ("wintrust", sys().SystemLoads()[0].name);
  EXPECT_FALSE(sys().SystemLoads()[0].fromProgramFolder);
  EXPECT_EQ(0, sys().PlantedLoads());
}

TEST_F(SetupTest, WithoutSetDefaultDllDirectoriesTheToolGoesOn) {
  ExpectCleanRuns(false);
  sys().PutFile("C:\\pkg\\bus.inf",
                System::Inf("1.0", "System", {"Root\\A", "Root\\Acc", "Root\\Bus"}));
  sys().RemoveEntryPoint("kernel32", "SetDefaultDllDirectories");
  sys().PlantModule("wintrust");
  Outcome run = Tool({"-c", "C:\\pkg\\bus.inf", "Root\\A"});
  EXPECT_EQ(0u, run.Code());
  EXPECT_EQ(0u, sys().DefaultDllDirectories());
  EXPECT_EQ(std::vector<std::string>{"foreign code loaded: wintrust from the program's folder"},
            run.audit);
}

// The INF folder as Windows presents it: a folder is no installed copy, a
// name with trailing periods or spaces names the file without them, and
// "oem*.inf" also finds "oem5.infx" through its short name OEM5~1.INF.
TEST_F(SetupTest, AFolderNamedLikeTheInfIsNoInstalledCopy) {
  sys().PutFolder(InfFolder() + "Tarvik4v2.inf");
  sys().PutStoredInf("oem2.inf", "Tarvik4v2.inf", System::Inf("2.0"));
  Outcome run = Tool({"-u", "Tarvik4v2.inf"});
  EXPECT_EQ(0u, run.Code());
  EXPECT_EQ(std::vector<std::string>{"Tarvik4v2.inf"}, sys().Files(InfFolder().substr(0, 14)));
  run = Tool({"-d", "Tarvik4v2.inf", "i"});
  EXPECT_EQ(0u, run.Code());
  EXPECT_TRUE(sys().Exists(InfFolder() + "Tarvik4v2.inf"));
}

struct TrailingCase {
  const char* name;
  std::vector<std::string> args;
  std::vector<std::string> left;  // files left in the folder
};

class TrailingCharacters : public SetupTest, public ::testing::WithParamInterface<TrailingCase> {};

TEST_P(TrailingCharacters, NameTheFileWithoutThem) {
  const auto& p = GetParam();
  sys().PutFile(InfFolder() + "Tarvik4v2.inf", System::Inf("1.0"));
  sys().PutFile(InfFolder() + "Tarvik4v2.pnf", "PNF");
  sys().PutFile(DriversFolder() + "Tarvik4v2.sys", "MZ");
  EXPECT_EQ(0u, Tool(p.args).Code());
  std::vector<std::string> left = sys().Files(InfFolder().substr(0, 14));
  for (const auto& f : sys().Files(DriversFolder().substr(0, DriversFolder().size() - 1)))
    left.push_back(f);
  EXPECT_EQ(p.left, left);
}

INSTANTIATE_TEST_SUITE_P(
    Names, TrailingCharacters,
    ::testing::Values(
        TrailingCase{"InfWithAPeriod", {"-d", "Tarvik4v2.inf.", "i"}, {"Tarvik4v2.sys"}},
        TrailingCase{"InfWithPeriodsAndSpaces", {"-d", "Tarvik4v2.inf . ", "i"}, {"Tarvik4v2.sys"}},
        TrailingCase{
            "DriverWithASpace", {"-d", "Tarvik4v2.sys ", "s"}, {"Tarvik4v2.inf", "Tarvik4v2.pnf"}},
        TrailingCase{"UninstallWithAPeriod", {"-u", "Tarvik4v2.inf."}, {"Tarvik4v2.sys"}}),
    [](const auto& info) { return info.param.name; });

// The store names its copies oemN.inf. A file that the pattern reports only
// through its short name is no copy, whatever its precompiled file says.
TEST_F(SetupTest, AFileFoundOnlyThroughItsShortNameIsNoCopy) {
  sys().PutFile(InfFolder() + "oem5.infx", System::Inf("5.0"));
  sys().PutFile(InfFolder() + "oem5.pnf", "PNF\noriginal=Tarvik4v2.inf\n");
  sys().PutStoredInf("oem2.inf", "Tarvik4v2.inf", System::Inf("2.0"));
  Outcome run = Tool({"-g", "Tarvik4v2.inf"});
  EXPECT_EQ(0u, run.Code());
  EXPECT_EQ(1u, run.Count());
  EXPECT_EQ("2.0", run.Entry(0));
  EXPECT_EQ(0u, Tool({"-u", "Tarvik4v2.inf"}).Code());
  EXPECT_EQ((std::vector<std::string>{"oem5.infx", "oem5.pnf"}),
            sys().Files(InfFolder().substr(0, 14)));
}

}  // namespace
}  // namespace setup::test
