#include "sim/kernel/error_log.h"

#include <cstring>
#include <map>
#include <mutex>

#include "sim/kernel/clock.h"
#include "sim/kernel/faults.h"
#include "sim/kernel/internal.h"

namespace sim {
namespace {

using verifier::Check;

std::mutex gMutex;
std::map<void*, std::pair<PVOID, size_t>> gOutstanding;  // entry -> I/O object, size
std::vector<errorlog::Entry> gWritten;

const size_t kHeader = FIELD_OFFSET(IO_ERROR_LOG_PACKET, DumpData);

bool IrqlAllowed(const char* routine) {
  if (KeGetCurrentIrql() <= DISPATCH_LEVEL)
    return true;
  detail::Violation(Check::InvalidCall, std::string(routine) + " at IRQL " +
                                            std::to_string(KeGetCurrentIrql()) +
                                            " (above DISPATCH_LEVEL)");
  return false;
}

// The insertion strings: NumberOfStrings NUL-terminated UTF-16 strings from
// StringOffset, all inside the entry. False when they overrun it.
bool ReadStrings(const uint8_t* entry, size_t size, const IO_ERROR_LOG_PACKET& packet,
                 std::vector<std::u16string>* strings) {
  size_t at = packet.StringOffset;
  for (USHORT i = 0; i < packet.NumberOfStrings; ++i) {
    std::u16string text;
    while (true) {
      if (at + 2 > size)
        return false;
      char16_t unit;
      std::memcpy(&unit, entry + at, 2);
      at += 2;
      if (unit == 0)
        break;
      text.push_back(unit);
    }
    strings->push_back(text);
  }
  return true;
}

}  // namespace

namespace errorlog {

std::vector<Entry> Written() {
  std::lock_guard<std::mutex> lock(gMutex);
  return gWritten;
}

size_t Outstanding() {
  std::lock_guard<std::mutex> lock(gMutex);
  return gOutstanding.size();
}

}  // namespace errorlog

namespace detail {

void ErrorLogEndOfTest() {
  std::lock_guard<std::mutex> lock(gMutex);
  for (const auto& [entry, owner] : gOutstanding) {
    Violation(Check::ErrorLogEntryLeak,
              "an entry of " + std::to_string(owner.second) + " bytes allocated and never written");
  }
}

void ResetErrorLog() {
  std::lock_guard<std::mutex> lock(gMutex);
  for (const auto& [entry, owner] : gOutstanding)
    delete[] static_cast<uint8_t*>(entry);
  gOutstanding.clear();
  gWritten.clear();
}

}  // namespace detail
}  // namespace sim

using namespace sim;

PVOID NTAPI IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize) {
  if (!IrqlAllowed("IoAllocateErrorLogEntry"))
    return nullptr;
  if (IoObject == nullptr) {
    detail::Violation(verifier::Check::InvalidCall, "IoAllocateErrorLogEntry with no I/O object");
    return nullptr;
  }
  if (EntrySize > ERROR_LOG_MAXIMUM_SIZE || EntrySize < sizeof(IO_ERROR_LOG_PACKET))
    return nullptr;
  if (faults::ShouldFail(faults::Kind::ErrorLogEntry))
    return nullptr;
  auto* entry = new uint8_t[EntrySize]();
  std::lock_guard<std::mutex> lock(gMutex);
  gOutstanding[entry] = {IoObject, EntrySize};
  return entry;
}

VOID NTAPI IoWriteErrorLogEntry(PVOID ElEntry) {
  if (!IrqlAllowed("IoWriteErrorLogEntry"))
    return;
  std::lock_guard<std::mutex> lock(gMutex);
  auto it = gOutstanding.find(ElEntry);
  if (it == gOutstanding.end()) {
    detail::Violation(verifier::Check::InvalidCall,
                      "IoWriteErrorLogEntry of an entry that is not allocated (written twice?)");
    return;
  }
  const auto* bytes = static_cast<const uint8_t*>(ElEntry);
  const size_t size = it->second.second;
  errorlog::Entry entry;
  entry.ioObject = it->second.first;
  entry.time = clock::Now();
  std::memcpy(&entry.packet, bytes, sizeof(IO_ERROR_LOG_PACKET));
  const IO_ERROR_LOG_PACKET& p = entry.packet;
  const bool dumpFits = kHeader + p.DumpDataSize <= size && p.DumpDataSize % sizeof(ULONG) == 0;
  const bool stringsAfterDump =
      p.NumberOfStrings == 0 || p.StringOffset >= kHeader + p.DumpDataSize;
  if (!dumpFits || !stringsAfterDump || !ReadStrings(bytes, size, p, &entry.strings)) {
    detail::Violation(verifier::Check::InvalidCall,
                      "IoWriteErrorLogEntry: the dump data or insertion strings overrun the "
                      "entry of " +
                          std::to_string(size) + " bytes");
  } else {
    entry.dumpData.resize(p.DumpDataSize / sizeof(ULONG));
    if (p.DumpDataSize != 0)
      std::memcpy(entry.dumpData.data(), bytes + kHeader, p.DumpDataSize);
    gWritten.push_back(entry);
  }
  // The I/O manager owns the entry from here on, and frees it.
  delete[] bytes;
  gOutstanding.erase(it);
}

LARGE_INTEGER NTAPI KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
  // 10 MHz: the virtual clock's 100 ns units.
  if (PerformanceFrequency != nullptr)
    PerformanceFrequency->QuadPart = 10 * 1000 * 1000;
  LARGE_INTEGER now;
  now.QuadPart = static_cast<LONGLONG>(clock::Now());
  return now;
}
