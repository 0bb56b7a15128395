// The simulated Windows the setup tests run on is as strict as Windows:
// memory is not zeroed unless asked, properties keep their exact bytes, and
// the audit names everything a run leaves open or misuses.
#include <cstring>

#include "tests/support/win32/setup_test.h"

namespace setup::test {
namespace {

using sim::win32::System;

TEST_F(SetupTest, LocalMemoryIsZeroedOnlyWhenAsked) {
  auto* plain = static_cast<BYTE*>(LocalAlloc(LMEM_FIXED, 8));
  auto* zeroed = static_cast<BYTE*>(LocalAlloc(LPTR, 8));
  ASSERT_NE(nullptr, plain);
  ASSERT_NE(nullptr, zeroed);
  for (int i = 0; i < 8; ++i) {
    EXPECT_NE(0, plain[i]) << i;
    EXPECT_EQ(0, zeroed[i]) << i;
  }
  EXPECT_EQ(nullptr, LocalFree(plain));
  EXPECT_EQ(std::vector<std::string>{"heap block of 8 bytes not freed"}, sys().Audit());
  EXPECT_EQ(nullptr, LocalFree(zeroed));
  EXPECT_EQ(zeroed, LocalFree(zeroed));  // twice
  EXPECT_EQ(std::vector<std::string>{"LocalFree of a block that is not allocated"}, sys().Audit());
}

// A list written without its closing NUL reads back without it, at its
// exact size.
TEST_F(SetupTest, HardwareIdPropertiesKeepTheirExactBytes) {
  sys().AddDevice({"R\\1", "System", {"Root\\A"}});
  HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
  SP_DEVINFO_DATA data;
  data.cbSize = sizeof(data);
  ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));
  const BYTE unterminated[] = {'X', 0, 'Y', 0, 'Z'};
  ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, unterminated, 5));
  DWORD required = 0;
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, nullptr, nullptr, 0,
                                                 &required));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  EXPECT_EQ(5u, required);
  BYTE buffer[8];
  std::memset(buffer, 0xEE, sizeof(buffer));
  DWORD type = 0;
  ASSERT_TRUE(
      SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, &type, buffer, 8, &required));
  EXPECT_EQ(static_cast<DWORD>(REG_MULTI_SZ), type);
  EXPECT_EQ(0, std::memcmp(buffer, unterminated, 5));
  EXPECT_EQ(0xEE, buffer[5]);  // nothing written after the stored bytes
  EXPECT_EQ((std::vector<BYTE>{'X', 0, 'Y', 0, 'Z'}), sys().Devices()[0].property);
  SetupDiDestroyDeviceInfoList(set);
  EXPECT_EQ(std::vector<std::string>(), sys().Audit());
}

TEST_F(SetupTest, TheAuditNamesWhatIsLeftOpen) {
  sys().AddDevice({"R\\1", "System", {"Root\\A"}});
  sys().PutFile(InfFolder() + "a.inf", "x");
  sys().CreateKey("SYSTEM\\CurrentControlSet\\Services\\svc");
  HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(L"C:\\Windows\\inf\\*.inf", &found);
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS,
            RegOpenKeyW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\svc", &key));
  HMODULE newdev = LoadLibraryExW(L"newdev", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  void* block = LocalAlloc(LPTR, 3);
  EXPECT_EQ((std::vector<std::string>{
                "device information set 1 not destroyed (1 elements)", "search handle 1 not closed",
                "registry key system\\currentcontrolset\\services\\svc not closed",
                "module newdev left loaded (1 references)", "heap block of 3 bytes not freed"}),
            sys().Audit());
  SetupDiDestroyDeviceInfoList(set);
  FindClose(search);
  RegCloseKey(key);
  FreeLibrary(newdev);
  LocalFree(block);
  EXPECT_EQ(std::vector<std::string>(), sys().Audit());
  // Released handles cannot be used or released again.
  SP_DEVINFO_DATA data;
  data.cbSize = sizeof(data);
  EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &data));
  EXPECT_FALSE(FindClose(search));
  EXPECT_NE(ERROR_SUCCESS, RegCloseKey(key));
  EXPECT_FALSE(FreeLibrary(newdev));
  EXPECT_EQ((std::vector<std::string>{"a device information set used that is not open",
                                      "FindClose of a search handle that is not open",
                                      "RegCloseKey of a key that is not open",
                                      "FreeLibrary of a module without a reference"}),
            sys().Audit());
}

// A release that the fault plan fails reports the failure but consumes the
// handle: nothing is left for the audit, and the caller cannot retry.
TEST_F(SetupTest, AFailedReleaseStillConsumesTheHandle) {
  HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
  sys().Fail("SetupDiDestroyDeviceInfoList", ERROR_ACCESS_DENIED);
  EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
  EXPECT_EQ(std::vector<std::string>(), sys().Audit());
}

}  // namespace
}  // namespace setup::test
