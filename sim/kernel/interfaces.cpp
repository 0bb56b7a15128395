// Device interfaces, target-device-change reports and invalidations.
#include <algorithm>
#include <cstdio>

#include "sim/kernel/harness.h"
#include "sim/kernel/faults.h"
#include "sim/kernel/internal.h"
#include "sim/kernel/pool.h"

namespace sim::detail {
namespace {

struct InterfaceEntry {
  std::u16string link;
  GUID cls;
  PDEVICE_OBJECT pdo;
  bool enabled;
};

std::mutex gMutex;
std::vector<InterfaceEntry> gInterfaces;  // registration order
std::vector<changes::Report> gReports;

std::u16string Ascii(const char* s) {
  std::u16string out;
  while (*s)
    out += static_cast<char16_t>(*s++);
  return out;
}

std::u16string GuidString(const GUID& g) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return Ascii(buffer);
}

// False, and reported, when `device` is not a PDO.
bool RequirePdo(const char* routine, PDEVICE_OBJECT device) {
  bool pdo = false;
  if (IsLiveDevice(device)) {
    std::lock_guard<std::mutex> lock(DeviceLock());
    pdo = device->DeviceObjectExtension->Pdo;
  }
  if (!pdo)
    Violation(Check::InvalidCall, std::string(routine) + " on device object " +
                                      Hex(reinterpret_cast<uintptr_t>(device)) +
                                      ", which is not a PDO");
  return pdo;
}

bool SameLink(const std::u16string& a, const std::u16string& b) {
  auto upper = [](char16_t c) { return c >= u'a' && c <= u'z' ? char16_t(c - 32) : c; };
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [&](char16_t x, char16_t y) { return upper(x) == upper(y); });
}

}  // namespace

void ResetInterfaces() {
  std::lock_guard<std::mutex> lock(gMutex);
  gInterfaces.clear();
  gReports.clear();
}

void DisableInterfacesOf(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> lock(gMutex);
  for (auto& entry : gInterfaces)
    if (entry.pdo == pdo)
      entry.enabled = false;
}

}  // namespace sim::detail

using namespace sim;
using namespace sim::detail;

namespace sim::interfaces {

std::u16string ToString(const UNICODE_STRING& string) {
  if (!string.Buffer)
    return {};
  return std::u16string(reinterpret_cast<const char16_t*>(string.Buffer),
                        string.Length / sizeof(WCHAR));
}

std::vector<Interface> All() {
  std::lock_guard<std::mutex> lock(gMutex);
  std::vector<Interface> out;
  for (const auto& e : gInterfaces)
    out.push_back(Interface{e.link, e.cls, e.pdo, e.enabled});
  return out;
}

std::vector<std::u16string> Enabled(const GUID& interfaceClass) {
  std::lock_guard<std::mutex> lock(gMutex);
  std::vector<std::u16string> out;
  for (const auto& e : gInterfaces)
    if (e.enabled && e.cls == interfaceClass)
      out.push_back(e.link);
  return out;
}

bool IsEnabled(const std::u16string& symbolicLink) {
  std::lock_guard<std::mutex> lock(gMutex);
  for (const auto& e : gInterfaces)
    if (SameLink(e.link, symbolicLink))
      return e.enabled;
  return false;
}

// The PDO behind an enabled interface, or null.
PDEVICE_OBJECT EnabledPdo(const std::u16string& symbolicLink) {
  std::lock_guard<std::mutex> lock(gMutex);
  for (const auto& e : gInterfaces)
    if (SameLink(e.link, symbolicLink) && e.enabled)
      return e.pdo;
  return nullptr;
}

}  // namespace sim::interfaces

namespace sim::changes {

std::vector<Report> Reports() {
  std::lock_guard<std::mutex> lock(gMutex);
  return gReports;
}

}  // namespace sim::changes

NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject,
                                         CONST GUID* InterfaceClassGuid,
                                         PUNICODE_STRING ReferenceString,
                                         PUNICODE_STRING SymbolicLinkName) {
  RequireIrql(Check::IrqlIoPassive3, "IoRegisterDeviceInterface", PASSIVE_LEVEL);
  if (!RequirePdo("IoRegisterDeviceInterface", PhysicalDeviceObject))
    return STATUS_INVALID_DEVICE_REQUEST;
  // A planned status that is a success (an informational one) is returned
  // after the registration has been done, as a routine that succeeds with it.
  NTSTATUS result = STATUS_SUCCESS;
  if (faults::ShouldFail(faults::Kind::RegisterInterface)) {
    result = faults::FailureStatus(STATUS_INSUFFICIENT_RESOURCES);
    if (!NT_SUCCESS(result))
      return result;
  }
  ULONG ordinal;
  {
    std::lock_guard<std::mutex> lock(DeviceLock());
    ordinal = PhysicalDeviceObject->DeviceObjectExtension->Ordinal;
  }
  char instance[48];
  std::snprintf(instance, sizeof instance, "\\??\\SIM#KEY&%04X#%u&0&%u#",
                static_cast<unsigned>(ordinal), static_cast<unsigned>(ordinal),
                static_cast<unsigned>(ordinal));
  std::u16string link = Ascii(instance) + GuidString(*InterfaceClassGuid);
  if (ReferenceString && ReferenceString->Length)
    link += u"\\" + interfaces::ToString(*ReferenceString);
  {
    std::lock_guard<std::mutex> lock(gMutex);
    bool known = false;
    for (const auto& e : gInterfaces)
      if (SameLink(e.link, link))
        known = true;
    if (!known)
      gInterfaces.push_back(InterfaceEntry{link, *InterfaceClassGuid, PhysicalDeviceObject, false});
  }
  // The caller owns the name and frees it with RtlFreeUnicodeString.
  size_t bytes = (link.size() + 1) * sizeof(WCHAR);
  auto* buffer = static_cast<PWSTR>(AllocateSystemPool(bytes, pool::kInterfaceNameTag));
  std::memcpy(buffer, link.data(), link.size() * sizeof(WCHAR));
  buffer[link.size()] = 0;
  SymbolicLinkName->Buffer = buffer;
  SymbolicLinkName->Length = static_cast<USHORT>(link.size() * sizeof(WCHAR));
  SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes);
  return result;
}

NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
  RequireIrql(Check::IrqlIoPassive1, "IoSetDeviceInterfaceState", PASSIVE_LEVEL);
  if (!SymbolicLinkName || !SymbolicLinkName->Buffer)
    return STATUS_INVALID_PARAMETER;
  if (faults::ShouldFail(faults::Kind::SetInterfaceState))
    return faults::FailureStatus(STATUS_INSUFFICIENT_RESOURCES);
  std::u16string link = interfaces::ToString(*SymbolicLinkName);
  std::lock_guard<std::mutex> lock(gMutex);
  for (auto& e : gInterfaces) {
    if (!SameLink(e.link, link))
      continue;
    if (e.enabled == (Enable != FALSE))
      return Enable ? STATUS_OBJECT_NAME_EXISTS : STATUS_OBJECT_NAME_NOT_FOUND;
    e.enabled = Enable != FALSE;
    return STATUS_SUCCESS;
  }
  return STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS NTAPI IoReportTargetDeviceChangeAsynchronous(PDEVICE_OBJECT PhysicalDeviceObject,
                                                      PVOID NotificationStructure,
                                                      PDEVICE_CHANGE_COMPLETE_CALLBACK Callback,
                                                      PVOID Context) {
  RequireIrql(Check::IrqlDocumented, "IoReportTargetDeviceChangeAsynchronous", DISPATCH_LEVEL);
  if (!RequirePdo("IoReportTargetDeviceChangeAsynchronous", PhysicalDeviceObject))
    return STATUS_INVALID_DEVICE_REQUEST;
  auto* n = static_cast<PTARGET_DEVICE_CUSTOM_NOTIFICATION>(NotificationStructure);
  const size_t header = FIELD_OFFSET(TARGET_DEVICE_CUSTOM_NOTIFICATION, CustomDataBuffer);
  if (n->Size < header)
    return STATUS_INVALID_DEVICE_REQUEST;
  changes::Report report;
  report.Pdo = PhysicalDeviceObject;
  report.Event = n->Event;
  report.Version = n->Version;
  report.Size = n->Size;
  report.NameBufferOffset = n->NameBufferOffset;
  report.Data.assign(n->CustomDataBuffer, n->CustomDataBuffer + (n->Size - header));
  {
    std::lock_guard<std::mutex> lock(gMutex);
    gReports.push_back(std::move(report));
  }
  if (Callback)
    QueueSystemWork([Callback, Context] { Callout(EntryKind::Callback, 0, Callback, Context); });
  return STATUS_PENDING;
}

// The PnP manager's answer to these (a new query) is left to the test that
// drives the device's Plug and Play requests.
VOID NTAPI IoInvalidateDeviceRelations(PDEVICE_OBJECT, DEVICE_RELATION_TYPE) {}
