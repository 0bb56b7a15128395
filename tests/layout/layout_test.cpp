// The structures the driver shares with the kernel and the USB stack have, in
// the simulated platform, the layout the driver was compiled against for
// Windows: every field of layout_fields.h at the same offset with the same
// size as MinGW-w64's DDK headers give it (the win64 build writes that table
// to windows_layout.bin), and the sizes that Windows documents, literally.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/layout/layout_table.h"

namespace {

struct Named {
  const char* kind;
  const char* name;
  layout::Entry entry;
};

#define LAYOUT_TYPE(type) {"type", #type, LAYOUT_ENTRY_TYPE(type)},
#define LAYOUT_FIELD(type, member) {"field", #type "." #member, LAYOUT_ENTRY_FIELD(type, member)},
#define LAYOUT_BITS(type, member) {"bits", #type "." #member, LAYOUT_ENTRY_BITS(type, member)},
#define LAYOUT_VALUE(name) {"value", #name, LAYOUT_ENTRY_VALUE(name)},
const Named kHost[] = {
#include "tests/layout/layout_fields.h"
};
constexpr size_t kCount = sizeof(kHost) / sizeof(kHost[0]);

// The table of the win64 build: magic, count, then one pair per entry.
std::vector<layout::Entry> ReadWindowsTable(std::string* error) {
  std::vector<layout::Entry> entries;
  FILE* file = std::fopen(TARVIK_WINDOWS_LAYOUT, "rb");
  if (file == nullptr) {
    *error = std::string("no ") + TARVIK_WINDOWS_LAYOUT + " (build the win64 preset first)";
    return entries;
  }
  uint64_t header[2] = {};
  if (std::fread(header, sizeof(header), 1, file) != 1 || header[0] != layout::kMagic) {
    *error = std::string(TARVIK_WINDOWS_LAYOUT) + " is not a layout table";
  } else {
    entries.resize(header[1]);
    if (std::fread(entries.data(), sizeof(layout::Entry), entries.size(), file) != entries.size())
      *error = std::string(TARVIK_WINDOWS_LAYOUT) + " is cut short";
  }
  std::fclose(file);
  return entries;
}

const char* FirstLabel(const char* kind) {
  const std::string k = kind;
  return k == "type" ? "size" : k == "bits" ? "bit" : k == "value" ? "value" : "offset";
}
const char* SecondLabel(const char* kind) {
  return std::string(kind) == "type" ? "alignment" : std::string(kind) == "bits" ? "width" : "size";
}

// Where MinGW-w64's DDK headers leave Windows' layout, the simulation keeps
// Windows' and the test names both: what Windows has (sizes from the x64
// kernel's public symbols), and what the MinGW-w64 headers have, so that a
// change on either side is seen.
struct Deviation {
  const char* name;
  layout::Entry windows;
  layout::Entry mingw;
  const char* why;
};
const Deviation kMingwDeviations[] = {
    {"DEVICE_OBJECT",
     {336, 16},
     {328, 8},
     "Windows declares it DECLSPEC_ALIGN(MEMORY_ALLOCATION_ALIGNMENT); MinGW-w64 does not"},
    {"IRP",
     {208, 16},
     {208, 8},
     "Windows declares it DECLSPEC_ALIGN(MEMORY_ALLOCATION_ALIGNMENT); MinGW-w64 does not"},
};

const Deviation* DeviationOf(const Named& host) {
  if (std::string(host.kind) != "type")
    return nullptr;
  for (const Deviation& d : kMingwDeviations)
    if (std::string(d.name) == host.name)
      return &d;
  return nullptr;
}

bool Same(const layout::Entry& a, const layout::Entry& b) {
  return a.first == b.first && a.second == b.second;
}

std::string Describe(const char* kind, const layout::Entry& e) {
  return std::string(FirstLabel(kind)) + ' ' + std::to_string(e.first) + ", " + SecondLabel(kind) +
         ' ' + std::to_string(e.second);
}

TEST(Layout, EverySharedFieldLiesWhereTheWindowsHeadersPutIt) {
  std::string error;
  std::vector<layout::Entry> windows = ReadWindowsTable(&error);
  ASSERT_TRUE(error.empty()) << error;
  ASSERT_EQ(kCount, windows.size()) << "the two sides compiled different lists";
  int mismatches = 0;
  for (size_t i = 0; i < kCount; ++i) {
    const Named& host = kHost[i];
    if (const Deviation* d = DeviationOf(host)) {
      EXPECT_TRUE(Same(d->windows, host.entry))
          << host.name << ": " << Describe(host.kind, host.entry) << " in the simulation; "
          << Describe(host.kind, d->windows) << " on Windows (" << d->why << ")";
      EXPECT_TRUE(Same(d->mingw, windows[i]))
          << host.name << ": the MinGW-w64 headers now give " << Describe(host.kind, windows[i])
          << " (" << d->why << ")";
      continue;
    }
    if (Same(host.entry, windows[i]))
      continue;
    ++mismatches;
    ADD_FAILURE() << host.name << ": " << Describe(host.kind, host.entry) << " in the simulation; "
                  << Describe(host.kind, windows[i]) << " in the MinGW-w64 headers";
  }
  EXPECT_EQ(0, mismatches);
}

size_t IndexOfType(const char* name) {
  for (size_t i = 0; i < kCount; ++i)
    if (std::string(kHost[i].kind) == "type" && std::string(kHost[i].name) == name)
      return i;
  return kCount;
}

TEST(Layout, DocumentedSizesHoldOnBothSides) {
  std::string error;
  std::vector<layout::Entry> windows = ReadWindowsTable(&error);
  ASSERT_TRUE(error.empty()) << error;
  ASSERT_EQ(kCount, windows.size());
  const struct {
    const char* name;
    size_t size;
  } kDocumented[] = {
      {"struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST", 136},
      {"struct _URB_CONTROL_DESCRIPTOR_REQUEST", 136},
      {"struct _URB_BULK_OR_INTERRUPT_TRANSFER", 128},
      {"struct _URB_PIPE_REQUEST", 40},
      {"struct _URB_HEADER", 24},
      {"IO_STACK_LOCATION", 72},
      {"IRP", 208},
      {"DRIVER_OBJECT", 336},
      {"DEVICE_OBJECT", 336},
      {"FILE_OBJECT", 216},
      {"KEVENT", 24},
      {"KMUTEX", 56},
      {"KSPIN_LOCK", 8},
      {"DEVICE_CAPABILITIES", 64},
      // With one byte of custom data (CustomDataBuffer[1]).
      {"TARGET_DEVICE_CUSTOM_NOTIFICATION", 40},
      {"UNICODE_STRING", 16},
      {"IO_STATUS_BLOCK", 16},
      {"LARGE_INTEGER", 8},
      {"OBJECT_ATTRIBUTES", 48},
      {"POWER_STATE", 4},
      {"RTL_OSVERSIONINFOW", 276},
      // USB 2.0, chapter 9: each descriptor's bLength.
      {"USB_DEVICE_DESCRIPTOR", 18},
      {"USB_CONFIGURATION_DESCRIPTOR", 9},
      {"USB_INTERFACE_DESCRIPTOR", 9},
      {"USB_ENDPOINT_DESCRIPTOR", 7},
  };
  for (const auto& d : kDocumented) {
    size_t i = IndexOfType(d.name);
    ASSERT_LT(i, kCount) << d.name << " is not in the layout list";
    EXPECT_EQ(d.size, kHost[i].entry.first) << d.name << " in the simulation";
    if (DeviationOf(kHost[i]) == nullptr) {
      EXPECT_EQ(d.size, windows[i].first) << d.name << " in the MinGW-w64 headers";
    }
  }
}

}  // namespace
