// The layout table as the Windows compiler and MinGW-w64's DDK headers give
// it, kept in the object's section .layout. The build copies that section out
// (objcopy -O binary) for the host's layout test; nothing here ever runs.
#include "tests/layout/layout_table.h"

namespace {

#define LAYOUT_TYPE(type) LAYOUT_ENTRY_TYPE(type),
#define LAYOUT_FIELD(type, member) LAYOUT_ENTRY_FIELD(type, member),
#define LAYOUT_BITS(type, member) LAYOUT_ENTRY_BITS(type, member),
#define LAYOUT_VALUE(name) LAYOUT_ENTRY_VALUE(name),
constexpr layout::Entry kEntries[] = {
#include "tests/layout/layout_fields.h"
};
constexpr size_t kCount = sizeof(kEntries) / sizeof(kEntries[0]);

struct Table {
  uint64_t magic;
  uint64_t count;
  layout::Entry entries[kCount];
};

constexpr Table MakeTable() {
  Table table{layout::kMagic, kCount, {}};
  for (size_t i = 0; i < kCount; ++i)
    table.entries[i] = kEntries[i];
  return table;
}

__attribute__((section(".layout"), used)) const Table kTable = MakeTable();

}  // namespace
