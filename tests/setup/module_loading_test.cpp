// newdev and cfgmgr32 come from the system folder only: a DLL of the same
// name in the program's folder (an installer's temporary folder, writable by
// the user) is never loaded, although the steps run with administrator
// rights. And the configuration manager's entry points are looked up one at
// a time, each tested before the next.
#include "tests/support/win32/setup_test.h"

namespace setup::test {
namespace {

using sim::win32::System;

struct PlantCase {
  const char* name;
  const char* module;
  bool systemCopyMissing;
  std::vector<std::string> args;
  DWORD code;
};

class PlantedModule : public SetupTest, public ::testing::WithParamInterface<PlantCase> {};

TEST_P(PlantedModule, IsNeverLoaded) {
  const auto& p = GetParam();
  sys().PutFile("C:\\pkg\\bus.inf", System::Inf("1.0", "System", {"Root\\A"}));
  sys().PlantModule(p.module);
  if (p.systemCopyMissing)
    sys().RemoveModule(p.module);
  Outcome run = Tool(p.args);
  EXPECT_EQ(p.code, run.Code());
  EXPECT_EQ(0, sys().PlantedLoads());
  ASSERT_EQ(1u, sys().Loads().size());
  const System::Load load = sys().Loads()[0];
  EXPECT_EQ(p.module, load.name);
  EXPECT_EQ(0x800u, load.flags);  // LOAD_LIBRARY_SEARCH_SYSTEM32 alone
  EXPECT_FALSE(load.fromProgramFolder);
}

INSTANTIATE_TEST_SUITE_P(
    Modules, PlantedModule,
    ::testing::Values(
        PlantCase{"CreateLoadsTheSystemNewdev",
                  "newdev",
                  false,
                  {"-c", "C:\\pkg\\bus.inf", "Root\\A"},
                  RESULT_SUCCESS},
        PlantCase{"CreateWithoutASystemNewdev",
                  "newdev",
                  true,
                  {"-c", "C:\\pkg\\bus.inf", "Root\\A"},
                  RESULT_MODULE_NOT_FOUND},
        PlantCase{"RescanLoadsTheSystemCfgmgr32", "cfgmgr32", false, {"-e"}, RESULT_SUCCESS},
        PlantCase{
            "RescanWithoutASystemCfgmgr32", "cfgmgr32", true, {"-e"}, RESULT_MODULE_NOT_FOUND}),
    [](const auto& info) { return info.param.name; });

// The audit names foreign code that was loaded: what a plain LoadLibraryW
// of a bare name would have done here.
TEST_F(SetupTest, TheSimulatedLoaderPrefersTheProgramFolderForABareName) {
  sys().PlantModule("newdev");
  HMODULE planted = LoadLibraryW(L"newdev");
  ASSERT_NE(nullptr, planted);
  EXPECT_EQ(1, sys().PlantedLoads());
  FreeLibrary(planted);
  EXPECT_EQ(std::vector<std::string>{"foreign code loaded: newdev from the program's folder"},
            sys().Audit());
  HMODULE system = LoadLibraryExW(L"newdev", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  ASSERT_NE(nullptr, system);
  EXPECT_NE(planted, system);
  FreeLibrary(system);
  EXPECT_EQ(1, sys().PlantedLoads());
  EXPECT_EQ(std::vector<std::string>(), sys().Audit());
}

struct LookupCase {
  const char* name;
  const char* missing;
  std::vector<std::string> lookups;  // in cfgmgr32, in order
  DWORD code;
};

class RescanLookups : public SetupTest, public ::testing::WithParamInterface<LookupCase> {};

TEST_P(RescanLookups, EachEntryPointIsTestedBeforeTheNext) {
  const auto& p = GetParam();
  if (p.missing)
    sys().RemoveEntryPoint("cfgmgr32", p.missing);
  EXPECT_EQ(p.code, Tool({"-e"}).Code());
  std::vector<std::string> lookups = sys().Lookups();
  ASSERT_GE(lookups.size(), 4u);  // SetDefaultDllDirectories and binding's three come first
  lookups.erase(lookups.begin(), lookups.begin() + 4);
  EXPECT_EQ(p.lookups, lookups);
}

INSTANTIATE_TEST_SUITE_P(
    Entries, RescanLookups,
    ::testing::Values(
        LookupCase{"Both", nullptr, {"CM_Locate_DevNodeW", "CM_Reenumerate_DevNode"}, 0},
        LookupCase{"NoLocate", "CM_Locate_DevNodeW", {"CM_Locate_DevNodeW"}, 3},
        LookupCase{"NoReenumerate",
                   "CM_Reenumerate_DevNode",
                   {"CM_Locate_DevNodeW", "CM_Reenumerate_DevNode"},
                   3}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace setup::test
