// The kernel-mode image loader against the small images of tests/pe/images:
// what it refuses and why, how it maps and binds a good image, and what it
// reports when an image runs code it should not (INIT after DriverEntry, an
// unloaded image, a fault inside the image).
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <regex>
#include <sstream>
#include <thread>

#include "sim/image/bug_check.h"
#include "sim/image/image.h"
#include "sim/image/loader.h"
#include "sim/image/pe_file.h"
#include "tests/support/image/fault_case_name.h"
#include "tests/support/kernel/kernel_test.h"

namespace {

using sim::image::Image;

std::string TinyImage(const std::string& name) {
  return std::string(TARVIK_TEST_IMAGES) + "/" + name + ".sys";
}

std::vector<uint8_t> Bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A copy of ok.sys with one header field changed, its checksum made right
// again so that the change is the only fault.
std::string PatchedCopy(const std::string& name, size_t fieldFromPe, std::vector<uint8_t> value) {
  auto bytes = Bytes(TinyImage("ok"));
  uint32_t pe = 0;
  sim::image::Read32(bytes, 0x3C, &pe);
  std::copy(value.begin(), value.end(), bytes.begin() + pe + fieldFromPe);
  sim::image::PeFile file;
  std::string path = ::testing::TempDir() + name + ".sys";
  {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  }
  EXPECT_EQ("", sim::image::ReadPeFile(path, &file));
  uint32_t sum = sim::image::ComputeChecksum(file.bytes, file.checksumOffset);
  std::memcpy(&bytes[file.checksumOffset], &sum, 4);
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  return path;
}

// Offsets from the PE signature: machine in the file header, subsystem in
// the optional header.
constexpr size_t kMachine = 4;
constexpr size_t kSubsystem = 4 + 20 + 68;

struct Refusal {
  const char* fault;
  std::function<std::string()> image;
  const char* reason;  // regular expression
  NTSTATUS status;
};

const Refusal kRefusals[] = {
    {"unknown import", [] { return TinyImage("forbidden_import"); },
     "forbidden_import\\.sys: imports what the kernel does not export: NDIS\\.SYS!NdisGetVersion$",
     static_cast<NTSTATUS>(0xC000007A)},
    {"wrong machine",
     [] {
       return PatchedCopy("x86", kMachine, {0x4C, 0x01});
     },
     "x86\\.sys: machine x86 \\(0x14c\\) is not x64 \\(0x8664\\)$",
     static_cast<NTSTATUS>(0xC000007B)},
    {"not native",
     [] {
       return PatchedCopy("gui", kSubsystem, {0x02, 0x00});
     },
     "gui\\.sys: subsystem 2 is not native \\(1\\)$", static_cast<NTSTATUS>(0xC000007B)},
    {"bad checksum", [] { return TinyImage("bad_checksum"); },
     "bad_checksum\\.sys: header checksum 0x[0-9a-f]+ does not match the file's 0x[0-9a-f]+$",
     static_cast<NTSTATUS>(0xC000007B)},
    {"writable and executable", [] { return TinyImage("wx"); },
     "wx\\.sys: section \\.wx is both writable and executable$", static_cast<NTSTATUS>(0xC000007B)},
    {"section alignment", [] { return TinyImage("unaligned"); },
     "unaligned\\.sys: section alignment 0x200 is not the page size$",
     static_cast<NTSTATUS>(0xC000007B)},
};

class LoaderRefusal : public sim::test::KernelTest,
                      public ::testing::WithParamInterface<Refusal> {};

TEST_P(LoaderRefusal, NamesTheFaultAndLoadsNothing) {
  const Refusal& r = GetParam();
  std::string path = r.image();
  std::string refusal;
  EXPECT_EQ(nullptr, sim::image::MapImage(path, &refusal));
  EXPECT_TRUE(std::regex_search(refusal, std::regex(r.reason))) << refusal;

  sim::test::ExpectViolations violations;
  NTSTATUS status = STATUS_SUCCESS;
  EXPECT_EQ(nullptr, sim::image::LoadImageDriver(path, &status));
  EXPECT_EQ(r.status, status);
  ASSERT_EQ(1u, violations.Count(sim::verifier::Check::ImageRefused));
  EXPECT_EQ("ImageRefused: " + refusal, violations.All()[0].message);
}

INSTANTIATE_TEST_SUITE_P(Images, LoaderRefusal, ::testing::ValuesIn(kRefusals),
                         sim::test::FaultCaseName());

// The protections of the image's pages as /proc/self/maps shows them.
std::vector<std::string> Protections(const Image* image) {
  std::ifstream maps("/proc/self/maps");
  std::vector<std::string> found;
  std::string line;
  auto begin = reinterpret_cast<uintptr_t>(image->base);
  while (std::getline(maps, line)) {
    uintptr_t from = 0, to = 0;
    char perms[5] = {};
    if (sscanf(line.c_str(), "%lx-%lx %4s", &from, &to, perms) != 3)
      continue;
    if (from >= begin && to <= begin + image->size)
      for (uintptr_t page = from; page < to; page += 0x1000)
        found.push_back(std::string(perms, 3));
  }
  return found;
}

class Loader : public sim::test::KernelTest {};

TEST_F(Loader, MapsAwayFromThePreferredBaseAppliesRelocationsAndProtectsEachSection) {
  std::string refusal;
  Image* image = sim::image::MapImage(TinyImage("ok"), &refusal);
  ASSERT_NE(nullptr, image) << refusal;
  EXPECT_NE(0x140000000u, reinterpret_cast<uintptr_t>(image->base));
  // Headers, .text, PAGE, INIT, .rdata, .pdata, .xdata, .edata, .idata (the import
  // address table the loader fills), .reloc.
  EXPECT_EQ((std::vector<std::string>{"r--", "r-x", "r-x", "r-x", "r--", "r--", "r--", "r--", "rw-",
                                      "r--"}),
            Protections(image));

  NTSTATUS status = STATUS_UNSUCCESSFUL;
  PDRIVER_OBJECT driver = sim::image::StartImage(image, u"ok", &status);
  ASSERT_EQ(STATUS_SUCCESS, status);
  // DriverEntry copied Pageable from a table of absolute addresses: right
  // only if the table was relocated.
  EXPECT_EQ(sim::image::RoutineAddress(image, "Pageable"),
            reinterpret_cast<void*>(driver->MajorFunction[IRP_MJ_CREATE]));
  EXPECT_EQ(sim::image::RoutineAddress(image, "Unload"),
            reinterpret_cast<void*>(driver->DriverUnload));
  EXPECT_EQ(image->base, driver->DriverStart);
  // INIT is gone once DriverEntry has returned.
  EXPECT_EQ("---", Protections(image)[3]);
  EXPECT_EQ("ok.sys!Pageable+0x4", sim::image::Describe(image->base + 0x2014));

  sim::UnloadDriver(driver);
  for (const auto& p : Protections(image))
    EXPECT_EQ("---", p) << "the image stays reserved but unmapped after unload";
}

using LoaderDeath = Loader;

TEST_F(LoaderDeath, CallIntoInitAfterDriverEntryIsAPageFaultNamingTheRoutine) {
  EXPECT_EXIT(
      {
        PDRIVER_OBJECT driver = sim::image::LoadImageDriver(TinyImage("init_called_late"));
        sim::UnloadDriver(driver);
      },
      ::testing::ExitedWithCode(sim::image::kBugCheckExitStatus),
      "STOP: 0x00000050 PAGE_FAULT_IN_NONPAGED_AREA .*\n"
      ".*INIT was called after DriverEntry returned.* in init_called_late\\.sys!InitOnly\\+0x0\n");
}

TEST_F(LoaderDeath, SystemThreadLeftInAnUnloadedImageIsReported) {
  EXPECT_EXIT(
      {
        PDRIVER_OBJECT driver = sim::image::LoadImageDriver(TinyImage("thread_left"));
        sim::UnloadDriver(driver);
        std::this_thread::sleep_for(std::chrono::seconds(5));
      },
      ::testing::ExitedWithCode(sim::image::kBugCheckExitStatus),
      "STOP: 0x000000ce DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS .*\n"
      ".*unloaded driver was called.* in thread_left\\.sys!Sleeper\\+0x[0-9a-f]+");
}

using ReadThrough = LONG(__attribute__((ms_abi)) *)(volatile LONG*);

TEST_F(LoaderDeath, FaultInsideTheImageIsTheBugCheckForItsIrql) {
  std::string refusal;
  Image* image = sim::image::MapImage(TinyImage("reads_through"), &refusal);
  ASSERT_NE(nullptr, image) << refusal;
  auto read = reinterpret_cast<ReadThrough>(sim::image::RoutineAddress(image, "ReadThrough"));
  ASSERT_NE(nullptr, read);
  volatile LONG value = 7;
  EXPECT_EQ(7, read(&value));
  EXPECT_EXIT(read(nullptr), ::testing::ExitedWithCode(sim::image::kBugCheckExitStatus),
              "STOP: 0x00000050 PAGE_FAULT_IN_NONPAGED_AREA \\(0x0000000000000000, "
              "0x0000000000000000, .*\n.*invalid read in reads_through\\.sys!ReadThrough\\+0x0");
  EXPECT_EXIT(
      {
        KeRaiseIrqlToDpcLevel();
        read(nullptr);
      },
      ::testing::ExitedWithCode(sim::image::kBugCheckExitStatus),
      "STOP: 0x000000d1 DRIVER_IRQL_NOT_LESS_OR_EQUAL \\(0x0000000000000000, "
      "0x0000000000000002, .*\n.*invalid read at raised IRQL in reads_through\\.sys!ReadThrough");
}

// A fault outside every image is not the loader's: it goes on to the handler
// installed before (the sanitizer's, or the default action), never to a bug
// check.
TEST_F(LoaderDeath, FaultOutsideTheImageGoesToThePreviousHandler) {
  std::string refusal;
  ASSERT_NE(nullptr, sim::image::MapImage(TinyImage("ok"), &refusal)) << refusal;
  auto notABugCheck = [](int status) {
    return !(WIFEXITED(status) && WEXITSTATUS(status) == sim::image::kBugCheckExitStatus) &&
           !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  };
  EXPECT_EXIT(
      {
        volatile int* nowhere = nullptr;
        *nowhere = 1;
      },
      notABugCheck, "");
}

}  // namespace
