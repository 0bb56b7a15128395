// The simulated Windows follows the rules of Windows where a kinder reading
// of a call would hide a fault of its caller: registry paths, name folding
// and value order; the INF class query; install parameters after a removal;
// the driver update's matching; devices gone from the tree; the DLL search
// of system code; folders, trailing periods and short names in searches.
#include <cstring>

#include "tests/support/win32/setup_test.h"

namespace setup::test {
namespace {

using sim::win32::System;
using Device = System::Device;

std::string Text(const WCHAR* text) {
  std::string out;
  for (; *text; ++text)
    out.push_back(*text < 128 ? static_cast<char>(*text) : '?');
  return out;
}
std::u16string W(const std::string& text) {
  return sim::win32::U(text);
}
const WCHAR* P(const std::u16string& text) {
  return reinterpret_cast<const WCHAR*>(text.c_str());
}

// RegOpenKeyW below HKEY_LOCAL_MACHINE: names are separated by '\' alone; a
// run of separators is one, separators at the end are ignored, a leading
// one is refused with ERROR_BAD_PATHNAME (Wine: get_path_token in the
// server's registry.c; Windows: STATUS_OBJECT_PATH_SYNTAX_BAD for a
// relative name that begins with a separator). '/' is part of a name.
struct PathCase {
  const char* name;
  std::string path;
  LSTATUS status;
  std::string opened;  // the key opened, as the audit names it
};

class RegistryPath : public SetupTest, public ::testing::WithParamInterface<PathCase> {};

TEST_P(RegistryPath, ParsesAsWindows) {
  const auto& p = GetParam();
  sys().CreateKey("SYSTEM\\CurrentControlSet\\Services\\svc");
  sys().CreateKey("SYSTEM\\CurrentControlSet\\Services\\a/b");
  sys().CreateKey("SYSTEM\\CurrentControlSet\\Services\\sv\xE7");
  HKEY key = nullptr;
  const std::u16string path = W(p.path);
  EXPECT_EQ(p.status, RegOpenKeyW(HKEY_LOCAL_MACHINE, P(path), &key));
  if (p.status != ERROR_SUCCESS)
    return;
  EXPECT_EQ(std::vector<std::string>{"registry key " + p.opened + " not closed"}, sys().Audit());
  RegCloseKey(key);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, RegistryPath,
    ::testing::Values(PathCase{"Plain", "SYSTEM\\CurrentControlSet\\Services\\svc", ERROR_SUCCESS,
                               "system\\currentcontrolset\\services\\svc"},
                      PathCase{"TrailingSeparator", "SYSTEM\\CurrentControlSet\\Services\\",
                               ERROR_SUCCESS, "system\\currentcontrolset\\services"},
                      PathCase{"TwoTrailingSeparators", "SYSTEM\\CurrentControlSet\\Services\\\\",
                               ERROR_SUCCESS, "system\\currentcontrolset\\services"},
                      PathCase{"DoubledSeparator", "SYSTEM\\CurrentControlSet\\\\Services\\svc",
                               ERROR_SUCCESS, "system\\currentcontrolset\\services\\svc"},
                      PathCase{"LeadingSeparator", "\\SYSTEM\\CurrentControlSet",
                               ERROR_BAD_PATHNAME, ""},
                      PathCase{"SlashIsNoSeparator", "SYSTEM\\CurrentControlSet\\Services\\a/b",
                               ERROR_SUCCESS, "system\\currentcontrolset\\services\\a/b"},
                      PathCase{"SlashAsSeparatorFindsNothing", "SYSTEM/CurrentControlSet",
                               ERROR_FILE_NOT_FOUND, ""},
                      PathCase{"ParentOfAKey", "SYSTEM\\CurrentControlSet", ERROR_SUCCESS,
                               "system\\currentcontrolset"},
                      // Letters beyond ASCII fold by the system's upper-case table.
                      PathCase{"LatinSmallToCapital", "SYSTEM\\CurrentControlSet\\Services\\SV\xC7",
                               ERROR_SUCCESS, "system\\currentcontrolset\\services\\sv?"}),
    [](const auto& info) { return info.param.name; });

// Value names compare as key names do: by the system's upper-case table.
TEST_F(SetupTest, RegistryNamesFoldBeyondAscii) {
  struct Pair {
    char16_t stored, asked;
    bool same;
  };
  const Pair pairs[] = {{0xE9, 0xC9, true},
                        {0xFF, 0x178, true},
                        {0x101, 0x100, true},
                        {0x13A, 0x139, true},
                        {0x3B1, 0x391, true},
                        {0x3C2, 0x3A3, true},
                        {0x3AC, 0x386, true},
                        {0x430, 0x410, true},
                        {0x451, 0x401, true},
                        {0xFF41, 0xFF21, true},
                        {0xF7, 0xD7, false},   // division and multiplication
                                               // signs are no pair
                        {0x131, u'I', false},  // the dotless i has no capital of its own
                        {u'`', u'@', false}};
  const std::string key = "SYSTEM\\CurrentControlSet\\Services\\svc";
  for (const auto& p : pairs) {
    sys().PutValue(key, std::u16string(1, p.stored), REG_DWORD, {1, 0, 0, 0});
    HKEY k = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyW(HKEY_LOCAL_MACHINE, P(W(key)), &k));
    const std::u16string asked(1, p.asked);
    DWORD data = 0, size = sizeof(data);
    EXPECT_EQ(
        p.same ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND,
        RegQueryValueExW(k, P(asked), nullptr, nullptr, reinterpret_cast<BYTE*>(&data), &size))
        << std::hex << static_cast<unsigned>(p.stored);
    RegCloseKey(k);
  }
}

// No order is guaranteed ("values are not ordered": RegEnumValueW). The
// default is the order of creation; a test can choose the reverse.
TEST_F(SetupTest, ValueEnumerationFollowsTheChosenOrder) {
  const std::string key = "SYSTEM\\CurrentControlSet\\Services\\svc";
  sys().PutDword(key, "First", 1);
  sys().PutDword(key, "Second", 2);
  auto names = [&] {
    HKEY k = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyW(HKEY_LOCAL_MACHINE, P(W(key)), &k));
    std::vector<std::string> out;
    for (DWORD i = 0;; ++i) {
      WCHAR name[MAX_PATH];
      DWORD length = MAX_PATH;
      if (RegEnumValueW(k, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        break;
      out.push_back(Text(name));
    }
    RegCloseKey(k);
    return out;
  };
  EXPECT_EQ((std::vector<std::string>{"First", "Second"}), names());
  sys().SetValueOrder(System::ValueOrder::Reversed);
  EXPECT_EQ((std::vector<std::string>{"Second", "First"}), names());
}

// -s finds its value in either order; a value name too long for the
// enumeration's buffer fails the step only when it comes first.
TEST_F(SetupTest, ServiceValueInEitherEnumerationOrder) {
  const std::string key = "SYSTEM\\CurrentControlSet\\Services\\svc";
  sys().PutValue(key, W(std::string(260, 'L')), REG_DWORD, {0, 0, 0, 0});
  sys().PutDword(key, "Level", 1);
  EXPECT_EQ(RESULT_REG_ENUM_FAILED, Tool({"-s", "svc", "Level", "2"}).Code());
  sys().SetValueOrder(System::ValueOrder::Reversed);
  Outcome run = Tool({"-s", "svc", "Level", "1"});
  EXPECT_EQ(0u, run.Code());
  EXPECT_EQ(0u, run.Reboot());
}

// SetupDiGetINFClassW reads Class and ClassGuid from [Version] only; with a
// class GUID and no Class it succeeds with an empty name; a name too long
// fails, or under Wine's plan succeeds and leaves the buffer as it was.
struct InfClassCase {
  const char* name;
  std::string inf;
  bool wine;
  BOOL result;
  std::string className;  // "#" for the buffer as it was
};

class InfClass : public SetupTest, public ::testing::WithParamInterface<InfClassCase> {};

TEST_P(InfClass, AsWindowsOrWine) {
  const auto& p = GetParam();
  sys().PutFile("C:\\pkg\\x.inf", p.inf);
  sys().SetInfClassLeavesBuffer(p.wine);
  GUID guid;
  WCHAR name[32];
  for (auto& c : name)
    c = '#';
  EXPECT_EQ(p.result, SetupDiGetINFClassW(L"C:\\pkg\\x.inf", &guid, name, 32, nullptr));
  if (!p.result)
    return;
  std::string got;
  for (int i = 0; i < 32 && name[i] != 0; ++i)
    got.push_back(static_cast<char>(name[i]));
  EXPECT_EQ(p.className, p.className == "#" ? got.substr(0, 1) : got);
}

const std::string kVersion = "[Version]\r\nSignature=\"$Windows NT$\"\r\n";
const std::string kGuid = "ClassGuid={4D36E97D-E325-11CE-BFC1-08002BE10318}\r\n";

INSTANTIATE_TEST_SUITE_P(
    Infs, InfClass,
    ::testing::Values(
        InfClassCase{"Both", kVersion + "Class=System\r\n" + kGuid, false, TRUE, "System"},
        InfClassCase{"CommentedOut", kVersion + ";Class=USB\r\nClass = System ; bus\r\n" + kGuid,
                     false, TRUE, "System"},
        InfClassCase{"OtherSectionOnly", kVersion + kGuid + "[Strings]\r\nClass=USB\r\n", false,
                     TRUE, ""},
        InfClassCase{"GuidOnly", kVersion + kGuid, false, TRUE, ""},
        InfClassCase{"Neither", kVersion + "[Strings]\r\nClass=USB\r\n", false, FALSE, ""},
        InfClassCase{"TooLong", kVersion + "Class=" + std::string(40, 'C') + "\r\n" + kGuid, false,
                     FALSE, ""},
        InfClassCase{"TooLongUnderWine",
                     kVersion + "Class=" + std::string(40, 'C') + "\r\n" + kGuid, true, TRUE, "#"}),
    [](const auto& info) { return info.param.name; });

// DIF_REMOVE sets what the device's removal needs; the parameters read
// before it carry neither flag. A removed device (and every device below
// it) answers property reads with ERROR_NO_SUCH_DEVINST.
TEST_F(SetupTest, RemovalSetsItsFlagsAndTakesTheChildren) {
  Device parent{"ROOT\\BUS\\0", "System", {"Root\\Bus"}};
  parent.removeNeedsRestart = true;
  sys().AddDevice(parent);
  Device child{"BUS\\KEY\\1", "USB", {"Bus\\Key"}};
  child.parent = "root\\bus\\0";
  sys().AddDevice(child);
  HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
  SP_DEVINFO_DATA bus, key;
  bus.cbSize = key.cbSize = sizeof(SP_DEVINFO_DATA);
  ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &bus));
  ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 1, &key));
  SP_DEVINSTALL_PARAMS_W params;
  params.cbSize = sizeof(params);
  ASSERT_TRUE(SetupDiGetDeviceInstallParamsW(set, &bus, &params));
  EXPECT_EQ(0u, params.Flags);
  ASSERT_TRUE(SetupDiCallClassInstaller(DIF_REMOVE, set, &bus));
  ASSERT_TRUE(SetupDiGetDeviceInstallParamsW(set, &bus, &params));
  EXPECT_EQ(static_cast<DWORD>(DI_NEEDRESTART), params.Flags);
  DWORD required = 0;
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &key, SPDRP_HARDWAREID, nullptr, nullptr, 0,
                                                 &required));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_SUCH_DEVINST), GetLastError());
  EXPECT_FALSE(SetupDiCallClassInstaller(DIF_REMOVE, set, &key));
  EXPECT_TRUE(sys().Devices().empty());
  SetupDiDestroyDeviceInfoList(set);
}

// UpdateDriverForPlugAndPlayDevicesW: the INF path must name a file
// (ERROR_FILE_NOT_FOUND) and some device of the system must have the ID as
// a whole entry, letters folded (ERROR_NO_SUCH_DEVINST).
struct UpdateCase {
  const char* name;
  std::string id, inf;
  BOOL result;
  DWORD error;
};

class DriverUpdate : public SetupTest, public ::testing::WithParamInterface<UpdateCase> {};

TEST_P(DriverUpdate, MatchesWholeIds) {
  const auto& p = GetParam();
  sys().PutFile("C:\\pkg\\bus.inf", System::Inf("1.0", "System", {"Root\\AccDev"}));
  sys().PutFolder("C:\\pkg\\dir.inf");
  sys().AddDevice({"ROOT\\SYSTEM\\0000", "System", {"Other", "Root\\AccDev"}});
  Device gone{"ROOT\\SYSTEM\\0001", "System", {"Root\\Gone"}};
  gone.vanishes = true;
  sys().AddDevice(gone);
  SetupDiDestroyDeviceInfoList(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES));
  SetLastError(0);
  const std::u16string id = W(p.id), inf = W(p.inf);
  BOOL reboot = FALSE;
  EXPECT_EQ(p.result, UpdateDriverForPlugAndPlayDevicesW(nullptr, P(id), P(inf), 1, &reboot));
  EXPECT_EQ(p.error, GetLastError());
}

INSTANTIATE_TEST_SUITE_P(
    Ids, DriverUpdate,
    ::testing::Values(
        UpdateCase{"WholeId", "Root\\AccDev", "C:\\pkg\\bus.inf", TRUE, 0},
        UpdateCase{"OtherCase", "ROOT\\accdev", "C:\\pkg\\bus.inf", TRUE, 0},
        UpdateCase{"Prefix", "Root\\Acc", "C:\\pkg\\bus.inf", FALSE, ERROR_NO_SUCH_DEVINST},
        UpdateCase{"Longer", "Root\\AccDev2", "C:\\pkg\\bus.inf", FALSE, ERROR_NO_SUCH_DEVINST},
        UpdateCase{"RemovedDevice", "Root\\Gone", "C:\\pkg\\bus.inf", FALSE, ERROR_NO_SUCH_DEVINST},
        UpdateCase{"NoInf", "Root\\AccDev", "C:\\pkg\\none.inf", FALSE, ERROR_FILE_NOT_FOUND},
        UpdateCase{"FolderForInf", "Root\\AccDev", "C:\\pkg\\dir.inf", FALSE,
                   ERROR_FILE_NOT_FOUND}),
    [](const auto& info) { return info.param.name; });

// A bare name loaded by system code follows the search order: the program's
// folder first, unless SetDefaultDllDirectories left it out; a load's own
// flags come before the default directories.
struct SearchCase {
  const char* name;
  DWORD defaults;  // 0: SetDefaultDllDirectories not called
  DWORD flags;
  bool planted;
};

class DllSearch : public SetupTest, public ::testing::WithParamInterface<SearchCase> {};

TEST_P(DllSearch, FollowsTheOrderInForce) {
  const auto& p = GetParam();
  sys().PlantModule("wintrust");
  if (p.defaults) {
    ASSERT_TRUE(SetDefaultDllDirectories(p.defaults));
  }
  HMODULE module = LoadLibraryExW(L"wintrust", nullptr, p.flags);
  ASSERT_NE(nullptr, module);
  EXPECT_EQ(p.planted ? 1 : 0, sys().PlantedLoads());
  FreeLibrary(module);
  sys().Audit();
}

INSTANTIATE_TEST_SUITE_P(
    Orders, DllSearch,
    ::testing::Values(SearchCase{"Default", 0, 0, true},
                      SearchCase{"System32ByDefault", LOAD_LIBRARY_SEARCH_SYSTEM32, 0, false},
                      SearchCase{"DefaultDirsByDefault", LOAD_LIBRARY_SEARCH_DEFAULT_DIRS, 0, true},
                      SearchCase{"ApplicationDirOnTheLoad", LOAD_LIBRARY_SEARCH_SYSTEM32,
                                 LOAD_LIBRARY_SEARCH_APPLICATION_DIR, true},
                      SearchCase{"System32OnTheLoad", 0, LOAD_LIBRARY_SEARCH_SYSTEM32, false}),
    [](const auto& info) { return info.param.name; });

TEST_F(SetupTest, SetDefaultDllDirectoriesTakesSearchFlagsOnly) {
  EXPECT_FALSE(SetDefaultDllDirectories(0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  EXPECT_FALSE(SetDefaultDllDirectories(0x100));  // LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR
  EXPECT_EQ(0u, sys().DefaultDllDirectories());
  EXPECT_TRUE(SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32));
  EXPECT_EQ(static_cast<DWORD>(LOAD_LIBRARY_SEARCH_SYSTEM32), sys().DefaultDllDirectories());
}

// FindFirstFileW reports a folder with FILE_ATTRIBUTE_DIRECTORY and matches
// short names too; DeleteFileW refuses a folder; a path's last name loses
// its trailing periods and spaces ("File path formats on Windows systems":
// path normalization trims them).
TEST_F(SetupTest, SearchesAndDeletionsAsWindows) {
  sys().PutFolder("C:\\d\\sub.inf");
  sys().PutFile("C:\\d\\x.infx", "x");
  sys().PutFile("C:\\d\\a.inf", "a");
  WIN32_FIND_DATAW data;
  std::vector<std::pair<std::string, DWORD>> found;
  HANDLE search = FindFirstFileW(L"C:\\d\\*.inf", &data);
  ASSERT_NE(INVALID_HANDLE_VALUE, search);
  do {
    found.push_back({Text(data.cFileName), data.dwFileAttributes});
  } while (FindNextFileW(search, &data));
  FindClose(search);
  EXPECT_EQ((std::vector<std::pair<std::string, DWORD>>{{"a.inf", FILE_ATTRIBUTE_NORMAL},
                                                        {"sub.inf", FILE_ATTRIBUTE_DIRECTORY},
                                                        {"x.infx", FILE_ATTRIBUTE_NORMAL}}),
            found);
  search = FindFirstFileW(L"C:\\d\\x.infx", &data);
  ASSERT_NE(INVALID_HANDLE_VALUE, search);
  EXPECT_EQ("X~1.INF", Text(data.cAlternateFileName));
  FindClose(search);
  sys().SetShortNames(false);
  search = FindFirstFileW(L"C:\\d\\*x.inf", &data);
  EXPECT_EQ(INVALID_HANDLE_VALUE, search);

  EXPECT_FALSE(DeleteFileW(L"C:\\d\\sub.inf"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_TRUE(sys().Exists("C:\\d\\sub.inf"));
  search = FindFirstFileW(L"C:\\d\\a.inf. .", &data);
  ASSERT_NE(INVALID_HANDLE_VALUE, search);
  FindClose(search);
  EXPECT_TRUE(DeleteFileW(L"C:\\d\\a.inf "));
  EXPECT_FALSE(sys().Exists("C:\\d\\a.inf"));
}

}  // namespace
}  // namespace setup::test
