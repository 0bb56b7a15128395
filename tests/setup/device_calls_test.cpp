// What -c, -r, -e and -i hand the system: the device set's flags, the
// hardware-ID property buffer, the new device's list, the configuration
// manager's requests, the INF copy's arguments; and the order in which -c
// checks, builds and releases.
#include "tests/support/win32/setup_test.h"

namespace setup::test {
namespace {

using sim::win32::System;
using Device = System::Device;

const std::string kInf = "C:\\pkg\\bus.inf";

class DeviceCalls : public SetupTest {
 protected:
  void SetUp() override {
    SetupTest::SetUp();
    sys().PutFile(kInf, System::Inf("1.0", "System",
                                    {"Root\\A", "Root\\B", "Root\\Existing", "Root\\New",
                                     "Root\\NewBus", "Root\\" + std::string(254, 'x')}));
  }
  std::vector<std::string> Ids() {
    std::vector<std::string> ids;
    for (const auto& d : sys().Devices())
      ids.push_back(d.instanceId);
    return ids;
  }
};

std::vector<BYTE> Utf16(const std::string& text) {
  std::vector<BYTE> bytes;
  for (unsigned char c : text) {
    bytes.push_back(c);
    bytes.push_back(0);
  }
  return bytes;
}

TEST_F(DeviceCalls, TheDeviceSetHoldsAllClassesOfTheCurrentProfile) {
  Device elsewhere{"R\\OTHER", "System", {"Root\\A"}};
  elsewhere.inProfile = false;
  sys().AddDevice(elsewhere);
  // A device of another hardware profile is not one of this system's: -c
  // creates one and -r leaves it alone.
  EXPECT_EQ(0u, Tool({"-c", kInf, "Root\\A"}).Code());
  EXPECT_EQ((std::vector<std::string>{"R\\OTHER", "ROOT\\System\\0"}), Ids());
  EXPECT_EQ(0u, Tool({"-r", "Root\\A"}).Code());
  EXPECT_EQ(std::vector<std::string>{"R\\OTHER"}, Ids());
  ASSERT_EQ(2u, sys().ClassDevsCalls().size());
  for (const auto& call : sys().ClassDevsCalls()) {
    EXPECT_EQ(0xCu, call.flags);  // DIGCF_ALLCLASSES | DIGCF_PROFILE
    EXPECT_FALSE(call.classGuid);
    EXPECT_FALSE(call.enumerator);
    EXPECT_FALSE(call.parent);
  }
}

struct BufferCase {
  const char* name;
  std::vector<BYTE> property;
  DWORD blockSize;  // the zero-filled block of the second call
};

class PropertyBuffer : public DeviceCalls, public ::testing::WithParamInterface<BufferCase> {};

// The size is asked first; the list is then read into a zero-filled block
// that ends in a whole NUL unit after the reported bytes, with exactly the
// reported size as the buffer size.
TEST_P(PropertyBuffer, ZeroFilledLargerAndGivenTheReportedSize) {
  const auto& p = GetParam();
  Device d{"R\\1", "System", {}};
  d.property = p.property;
  sys().AddDevice(d);
  EXPECT_EQ(0u, Tool({"-r", "Root\\A"}).Code());
  ASSERT_EQ(2u, sys().PropertyReads().size());
  const auto first = sys().PropertyReads()[0];
  EXPECT_EQ(0u, first.size);
  EXPECT_EQ(-1, first.blockSize);  // no buffer
  const auto second = sys().PropertyReads()[1];
  EXPECT_EQ(p.property.size(), second.size);
  EXPECT_EQ(p.blockSize, second.blockSize);
  EXPECT_TRUE(second.zeroed);
}

std::vector<BYTE> Odd(std::vector<BYTE> bytes) {
  bytes.push_back('Z');
  return bytes;
}

INSTANTIATE_TEST_SUITE_P(Sizes, PropertyBuffer,
                         ::testing::Values(
                             // 24 bytes: "Root\Other", NUL, NUL; the block is 26.
                             BufferCase{"Even", sim::win32::MultiString({"Root\\Other"}), 26},
                             // 21 bytes, a list without terminators and a half unit: the block is
                             // 24, so that the half unit and a whole NUL unit follow inside it.
                             BufferCase{"Odd", Odd(Utf16("Root\\Other")), 24},
                             BufferCase{"One", {'R'}, 4}),
                         [](const auto& info) { return info.param.name; });

// A list of odd length whose last whole unit begins the hardware ID still
// matches: the half unit after it makes one more unit of that entry.
TEST_F(DeviceCalls, AnOddLengthListIsReadWithinItsBlock) {
  Device d{"R\\1", "System", {}};
  d.property = Odd(Utf16("Root\\A"));
  sys().AddDevice(d);
  sys().AddDevice({"R\\2", "System", {"Root\\B"}});
  EXPECT_EQ(0u, Tool({"-r", "Root\\A"}).Code());
  EXPECT_EQ(std::vector<std::string>{"R\\2"}, Ids());
}

TEST_F(DeviceCalls, TheNewDeviceHoldsExactlyItsIdAndTwoNuls) {
  EXPECT_EQ(0u, Tool({"-c", kInf, "Root\\NewBus"}).Code());
  ASSERT_EQ(1u, sys().Devices().size());
  std::vector<BYTE> expected = Utf16("Root\\NewBus");
  expected.insert(expected.end(), {0, 0, 0, 0});
  EXPECT_EQ(26u, expected.size());  // (11 + 2) x 2
  EXPECT_EQ(expected, sys().Devices()[0].property);
}

// Hardware IDs up to 259 units are taken; a longer one is refused before
// any call to the device installer.
TEST_F(DeviceCalls, HardwareIdLimit) {
  const std::string longest = "Root\\" + std::string(254, 'x');
  EXPECT_EQ(0u, Tool({"-c", kInf, longest}).Code());
  ASSERT_EQ(1u, sys().Devices().size());
  EXPECT_EQ(522u, sys().Devices()[0].property.size());  // (259 + 2) x 2
  const size_t before = sys().Calls().size();
  EXPECT_EQ(RESULT_INVALID_PARAMETER, Tool({"-c", kInf, longest + "y"}).Code());
  const auto calls = sys().Calls();
  for (size_t i = before; i < calls.size(); ++i)
    EXPECT_NE(0u, calls[i].rfind("SetupDi", 0)) << calls[i];
  EXPECT_EQ(1u, sys().Devices().size());
}

// -c keeps its device set, or the list of the device it created, until the
// end: the driver update runs with it open.
TEST_F(DeviceCalls, TheSetIsReleasedAtTheEnd) {
  sys().AddDevice({"R\\1", "System", {"Root\\Existing"}});
  EXPECT_EQ(0u, Tool({"-c", kInf, "Root\\Existing"}).Code());
  EXPECT_EQ(0u, Tool({"-c", kInf, "Root\\New"}).Code());
  ASSERT_EQ(2u, sys().Updates().size());
  EXPECT_EQ(1, sys().Updates()[0].openSets);
  EXPECT_EQ(1, sys().Updates()[1].openSets);
}

TEST_F(DeviceCalls, RescanLocatesTheRootOnceAndReenumeratesThatNode) {
  EXPECT_EQ(0u, Tool({"-e"}).Code());
  const auto calls = sys().ConfigCalls();
  ASSERT_EQ(2u, calls.size());
  EXPECT_EQ("locate", calls[0].function);
  EXPECT_FALSE(calls[0].withId);
  EXPECT_EQ(0u, calls[0].flags);
  EXPECT_EQ("reenumerate", calls[1].function);
  EXPECT_EQ(0x5A01u, calls[1].node);
  EXPECT_EQ(0u, calls[1].flags);
}

TEST_F(DeviceCalls, NoRestartUnlessTheSystemAsksForOne) {
  sys().AddDevice({"R\\1", "System", {"Root\\A"}});
  sys().AddDevice({"R\\2", "System", {"root\\a"}, false, false});
  Outcome removed = Tool({"-r", "Root\\A"});
  EXPECT_EQ(0u, removed.Code());
  EXPECT_EQ(0u, removed.Reboot());
  EXPECT_TRUE(Ids().empty());
  sys().SetDriverUpdate(true, false);
  Outcome created = Tool({"-c", kInf, "Root\\A"});
  EXPECT_EQ(0u, created.Code());
  EXPECT_EQ(0u, created.Reboot());
  Outcome existing = Tool({"-c", kInf, "Root\\A"});
  EXPECT_EQ(0u, existing.Code());
  EXPECT_EQ(0u, existing.Reboot());
}

TEST_F(DeviceCalls, InstallCopiesWithNoStyleNoMediaAndNoName) {
  EXPECT_EQ(0u, Tool({"-i", kInf}).Code());
  ASSERT_EQ(1u, sys().CopyOemCalls().size());
  const auto call = sys().CopyOemCalls()[0];
  EXPECT_EQ(kInf, call.source);
  EXPECT_FALSE(call.mediaLocation);
  EXPECT_EQ(1u, call.mediaType);  // SPOST_PATH
  EXPECT_EQ(0u, call.copyStyle);
  EXPECT_FALSE(call.destination);
  EXPECT_EQ(0u, call.destinationSize);
  EXPECT_FALSE(call.requiredSize);
  EXPECT_FALSE(call.component);
}

// Only A to Z fold: the units just outside them, and letters beyond ASCII,
// compare by value.
struct FoldCase {
  const char* name;
  std::string id, entry;
  bool matches;
};

class Folding : public DeviceCalls, public ::testing::WithParamInterface<FoldCase> {};

TEST_P(Folding, OfExactlyAToZ) {
  const auto& p = GetParam();
  sys().AddDevice({"R\\1", "System", {p.entry}});
  EXPECT_EQ(0u, Tool({"-r", p.id}).Code());
  EXPECT_EQ(p.matches, Ids().empty());
}

INSTANTIATE_TEST_SUITE_P(Units, Folding,
                         ::testing::Values(FoldCase{"UpperAToLower", "R\\A", "r\\a", true},
                                           FoldCase{"LowerAToUpper", "r\\a", "R\\A", true},
                                           FoldCase{"UpperZToLower", "R\\Z", "r\\z", true},
                                           FoldCase{"LowerZToUpper", "r\\z", "R\\Z", true},
                                           FoldCase{"AtSignAndBacktick", "R\\@", "R\\`", false},
                                           FoldCase{"BacktickAndAtSign", "R\\`", "R\\@", false},
                                           FoldCase{"BracketAndBrace", "R\\[", "R\\{", false},
                                           FoldCase{"BraceAndBracket", "R\\{", "R\\[", false},
                                           FoldCase{"LatinCapitalAGrave", "R\\\xC0", "R\\\xE0",
                                                    false}),
                         [](const auto& info) { return info.param.name; });

struct ClassCase {
  const char* name;
  size_t units;
  DWORD code;
};

class ClassName : public DeviceCalls, public ::testing::WithParamInterface<ClassCase> {};

TEST_P(ClassName, FitsInThirtyTwoUnitsWithItsNul) {
  const auto& p = GetParam();
  sys().PutFile("C:\\pkg\\long.inf", System::Inf("1.0", std::string(p.units, 'C'), {"Root\\A"}));
  EXPECT_EQ(p.code, Tool({"-c", "C:\\pkg\\long.inf", "Root\\A"}).Code());
  EXPECT_EQ(p.code == 0 ? 1u : 0u, sys().Devices().size());
}

INSTANTIATE_TEST_SUITE_P(Lengths, ClassName,
                         ::testing::Values(ClassCase{"Units31", 31, 0},
                                           ClassCase{"Units32", 32, 776},
                                           ClassCase{"Units40", 40, 776}),
                         [](const auto& info) { return info.param.name; });

// A search that fails after some removals ends -r at once; what was
// removed stays removed and no restart is reported.
struct SearchFailure {
  const char* name;
  const char* function;
  uint32_t skip;  // calls of the function that succeed before one fails
  DWORD code;
};

class RemovalThenSearchFailure : public DeviceCalls,
                                 public ::testing::WithParamInterface<SearchFailure> {};

TEST_P(RemovalThenSearchFailure, KeepsTheRemovals) {
  const auto& p = GetParam();
  Device first{"R\\1", "System", {"Root\\A"}};
  first.removeNeedsReboot = true;
  sys().AddDevice(first);
  sys().AddDevice({"R\\2", "System", {"Root\\A"}});
  sys().AddDevice({"R\\3", "System", {"Root\\A"}});
  sys().Fail(p.function, ERROR_ACCESS_DENIED, {p.skip});
  Outcome run = Tool({"-r", "Root\\A"});
  EXPECT_EQ(p.code, run.Code());
  EXPECT_EQ(0u, run.Reboot());
  EXPECT_EQ((std::vector<std::string>{"R\\2", "R\\3"}), Ids());
  auto calls = sys().Calls();
  EXPECT_EQ(1, std::count(calls.begin(), calls.end(), "SetupDiCallClassInstaller"));
}

INSTANTIATE_TEST_SUITE_P(
    Calls, RemovalThenSearchFailure,
    ::testing::Values(SearchFailure{"Enumeration", "SetupDiEnumDeviceInfo", 1, 771},
                      // Two reads for each device: the second device's first read.
                      SearchFailure{"Property", "SetupDiGetDeviceRegistryPropertyW", 2, 769}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace setup::test
