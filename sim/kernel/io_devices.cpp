// Driver objects, device objects and device stacks.
#include <algorithm>
#include <cstdlib>

#include "sim/kernel/harness.h"
#include "sim/kernel/faults.h"
#include "sim/kernel/internal.h"

namespace sim::detail {
namespace {

std::mutex gDeviceLock;
std::vector<PDRIVER_OBJECT> gDrivers;  // in load order
ULONG gNextDeviceOrdinal = 0;
std::map<std::u16string, PDEVICE_OBJECT> gDeviceNames;
std::map<PDRIVER_OBJECT, std::function<void()>> gUnloaded;  // drivers loaded from an image

// The image of a driver that is gone is no longer used.
void ReleaseImage(PDRIVER_OBJECT driver) {
  std::function<void()> unloaded;
  {
    std::lock_guard<std::mutex> lock(gDeviceLock);
    auto it = gUnloaded.find(driver);
    if (it == gUnloaded.end())
      return;
    unloaded = std::move(it->second);
    gUnloaded.erase(it);
  }
  unloaded();
}

void DestroyDevice(void* body) {
  auto* device = static_cast<PDEVICE_OBJECT>(body);
  delete device->DeviceObjectExtension;
  device->DeviceObjectExtension = nullptr;
}

void DestroyDriver(void* body) {
  auto* driver = static_cast<PDRIVER_OBJECT>(body);
  delete[] driver->DriverName.Buffer;
  delete driver->DriverExtension;
}

std::string Describe(PDEVICE_OBJECT device) {
  return "device object " + Hex(reinterpret_cast<uintptr_t>(device));
}

}  // namespace

std::mutex& DeviceLock() {
  return gDeviceLock;
}

PDEVICE_OBJECT BottomOf(PDEVICE_OBJECT device) {
  while (device->DeviceObjectExtension && device->DeviceObjectExtension->AttachedTo)
    device = device->DeviceObjectExtension->AttachedTo;
  return device;
}

PDEVICE_OBJECT TopOf(PDEVICE_OBJECT device) {
  while (device->AttachedDevice)
    device = device->AttachedDevice;
  return device;
}

bool IsLiveDevice(PDEVICE_OBJECT device) {
  ObjectKind kind;
  return device && IsLiveObject(device, &kind) && kind == ObjectKind::Device;
}

NTSTATUS DefaultDispatch(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

std::vector<PDRIVER_OBJECT> LoadedDrivers() {
  std::lock_guard<std::mutex> lock(gDeviceLock);
  return gDrivers;
}

void ResetDrivers() {
  std::map<PDRIVER_OBJECT, std::function<void()>> unloaded;
  {
    std::lock_guard<std::mutex> lock(gDeviceLock);
    gDrivers.clear();
    gDeviceNames.clear();
    gNextDeviceOrdinal = 0;
    unloaded.swap(gUnloaded);
  }
  for (auto& [driver, release] : unloaded)
    release();
}

}  // namespace sim::detail

using namespace sim;
using namespace sim::detail;

namespace sim {

PDRIVER_OBJECT LoadDriver(const std::u16string& name, PDRIVER_INITIALIZE entry, NTSTATUS* status) {
  return LoadDriver(name, entry, status, DriverImage{nullptr, 0, nullptr});
}

PDRIVER_OBJECT LoadDriver(const std::u16string& name, PDRIVER_INITIALIZE entry, NTSTATUS* status,
                          DriverImage image) {
  auto* driver = static_cast<PDRIVER_OBJECT>(
      CreateObject(ObjectKind::Driver, sizeof(DRIVER_OBJECT), DestroyDriver));
  driver->Type = IO_TYPE_DRIVER;
  driver->Size = sizeof(DRIVER_OBJECT);
  driver->DriverExtension = new DRIVER_EXTENSION{};
  driver->DriverExtension->DriverObject = driver;
  std::u16string full = u"\\Driver\\" + name;
  auto* buffer = new WCHAR[full.size() + 1];
  std::copy(full.begin(), full.end(), buffer);
  buffer[full.size()] = 0;
  driver->DriverName.Buffer = buffer;
  driver->DriverName.Length = static_cast<USHORT>(full.size() * sizeof(WCHAR));
  driver->DriverName.MaximumLength = static_cast<USHORT>(driver->DriverName.Length + sizeof(WCHAR));
  driver->DriverInit = entry;
  driver->DriverStart = image.Start;
  driver->DriverSize = image.Size;
  if (image.Unloaded) {
    std::lock_guard<std::mutex> lock(gDeviceLock);
    gUnloaded[driver] = std::move(image.Unloaded);
  }
  for (auto& slot : driver->MajorFunction)
    slot = DefaultDispatch;

  std::u16string registry = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + name;
  UNICODE_STRING registryPath;
  registryPath.Buffer = reinterpret_cast<PWSTR>(registry.data());
  registryPath.Length = static_cast<USHORT>(registry.size() * sizeof(WCHAR));
  registryPath.MaximumLength = registryPath.Length;

  NTSTATUS result;
  {
    InProcess system(SystemProcess());
    result = Callout(EntryKind::DriverEntry, 0, entry, driver, &registryPath);
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
      Violation(Check::DispatchIrqlChanged,
                "DriverEntry returned at IRQL " + std::to_string(KeGetCurrentIrql()));
  }
  if (status)
    *status = result;
  if (!NT_SUCCESS(result)) {
    ObfDereferenceObject(driver);
    ReleaseImage(driver);
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(gDeviceLock);
  gDrivers.push_back(driver);
  return driver;
}

void UnloadDriver(PDRIVER_OBJECT driver) {
  {
    std::lock_guard<std::mutex> lock(gDeviceLock);
    auto it = std::find(gDrivers.begin(), gDrivers.end(), driver);
    if (it == gDrivers.end())
      return;
    gDrivers.erase(it);
  }
  if (driver->DriverUnload) {
    InProcess system(SystemProcess());
    Callout(EntryKind::Unload, 0, driver->DriverUnload, driver);
  }
  std::u16string name = interfaces::ToString(driver->DriverName);
  for (PDEVICE_OBJECT d = driver->DeviceObject; d; d = d->NextDevice)
    Violation(Check::ObjectLeak, Describe(d) + " of driver " +
                                     std::string(name.begin(), name.end()) +
                                     " still exists when the driver unloads");
  AuditUnload(driver);
  ObfDereferenceObject(driver);
  ReleaseImage(driver);
}

}  // namespace sim

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                              ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject) {
  RequireIrql(Check::IrqlIoPassive1, "IoCreateDevice", PASSIVE_LEVEL);
  *DeviceObject = nullptr;
  if (faults::ShouldFail(faults::Kind::CreateDevice))
    return STATUS_INSUFFICIENT_RESOURCES;
  size_t extensionOffset = (sizeof(DEVICE_OBJECT) + 15) & ~size_t(15);
  auto* device = static_cast<PDEVICE_OBJECT>(
      CreateObject(ObjectKind::Device, extensionOffset + DeviceExtensionSize, DestroyDevice));
  auto* ext = new _DEVOBJ_EXTENSION{};
  ext->DeviceObject = device;
  std::u16string name = DeviceName ? interfaces::ToString(*DeviceName) : std::u16string();
  {
    std::lock_guard<std::mutex> lock(gDeviceLock);
    ext->Ordinal = ++gNextDeviceOrdinal;
    if (name.empty() && (DeviceCharacteristics & FILE_AUTOGENERATED_DEVICE_NAME)) {
      char buffer[32];
      std::snprintf(buffer, sizeof buffer, "%08X", static_cast<unsigned>(ext->Ordinal));
      name = u"\\Device\\";
      for (char* c = buffer; *c; ++c)
        name += static_cast<char16_t>(*c);
    }
    if (!name.empty()) {
      if (gDeviceNames.count(name)) {
        delete ext;
        // Not yet visible to anyone: free it directly.
        gDeviceLock.unlock();
        ObfDereferenceObject(device);
        gDeviceLock.lock();
        return STATUS_OBJECT_NAME_COLLISION;
      }
      gDeviceNames[name] = device;
    }
    ext->Name = name;
    device->Type = IO_TYPE_DEVICE;
    device->Size = static_cast<USHORT>(extensionOffset + DeviceExtensionSize);
    device->DriverObject = DriverObject;
    device->DeviceExtension =
        DeviceExtensionSize ? reinterpret_cast<char*>(device) + extensionOffset : nullptr;
    device->DeviceType = DeviceType;
    device->Characteristics = DeviceCharacteristics & ~FILE_AUTOGENERATED_DEVICE_NAME;
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0) |
                    (name.empty() ? 0 : DO_DEVICE_HAS_NAME);
    device->StackSize = 1;
    device->DeviceObjectExtension = ext;
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
  }
  KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);
  InitializeListHead(&device->Queue.ListEntry);
  *DeviceObject = device;
  return STATUS_SUCCESS;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  RequireIrql(Check::IrqlIoApcLte, "IoDeleteDevice", APC_LEVEL);
  if (!IsLiveDevice(DeviceObject)) {
    Violation(Check::DeviceDeletedTwice,
              "IoDeleteDevice on " + Describe(DeviceObject) + ", which no longer exists");
    return;
  }
  {
    std::unique_lock<std::mutex> lock(gDeviceLock);
    auto* ext = DeviceObject->DeviceObjectExtension;
    if (ext->Deleted) {
      lock.unlock();
      Violation(Check::DeviceDeletedTwice,
                "IoDeleteDevice on " + Describe(DeviceObject) + " twice");
      return;
    }
    PDEVICE_OBJECT bottom = BottomOf(DeviceObject);
    bool surprise = bottom->DeviceObjectExtension->SurpriseRemoved;
    // A bus driver may delete its PDO on removal while the stack above is
    // still detaching; a device must itself be detached from what is below it.
    bool attached = ext->AttachedTo != nullptr;
    lock.unlock();
    if (surprise)
      Violation(Check::DeleteDuringSurpriseRemoval,
                "IoDeleteDevice on " + Describe(DeviceObject) +
                    " after surprise removal, before the remove request");
    if (attached)
      Violation(Check::DeleteWhileAttached, "IoDeleteDevice on " + Describe(DeviceObject) +
                                                ", which is still attached to a lower device");
    lock.lock();
    if (ext->AttachedTo) {
      // Keep the stack walkable after the finding: take the device out of it.
      PDEVICE_OBJECT lower = ext->AttachedTo;
      PDEVICE_OBJECT upper = DeviceObject->AttachedDevice;
      lower->AttachedDevice = upper;
      if (upper)
        upper->DeviceObjectExtension->AttachedTo = lower;
      DeviceObject->AttachedDevice = nullptr;
      ext->AttachedTo = nullptr;
    }
    ext->Deleted = true;
    // A device still below another stays in memory until it is detached from.
    if (DeviceObject->AttachedDevice) {
      ext->HeldForDetach = true;
      ObfReferenceObject(DeviceObject);
    }
    if (!ext->Name.empty())
      gDeviceNames.erase(ext->Name);
    PDRIVER_OBJECT driver = DeviceObject->DriverObject;
    for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link; link = &(*link)->NextDevice) {
      if (*link == DeviceObject) {
        *link = DeviceObject->NextDevice;
        break;
      }
    }
    DeviceObject->NextDevice = nullptr;
  }
  ObfDereferenceObject(DeviceObject);
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                 PDEVICE_OBJECT TargetDevice) {
  RequireIrql(Check::IrqlDocumented, "IoAttachDeviceToDeviceStack", DISPATCH_LEVEL);
  if (faults::ShouldFail(faults::Kind::AttachDevice))
    return nullptr;
  std::unique_lock<std::mutex> lock(gDeviceLock);
  if (SourceDevice->DeviceObjectExtension->AttachedTo) {
    lock.unlock();
    Violation(Check::InvalidCall,
              "IoAttachDeviceToDeviceStack: " + Describe(SourceDevice) + " is already attached");
    return nullptr;
  }
  PDEVICE_OBJECT top = TopOf(TargetDevice);
  if (top->DeviceObjectExtension->Deleted)
    return nullptr;
  top->AttachedDevice = SourceDevice;
  SourceDevice->DeviceObjectExtension->AttachedTo = top;
  SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
  SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
  SourceDevice->SectorSize = top->SectorSize;
  return top;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  RequireIrql(Check::IrqlIoPassive3, "IoDetachDevice", PASSIVE_LEVEL);
  std::unique_lock<std::mutex> lock(gDeviceLock);
  PDEVICE_OBJECT upper = TargetDevice->AttachedDevice;
  if (!upper) {
    lock.unlock();
    Violation(Check::InvalidCall,
              "IoDetachDevice: nothing is attached to " + Describe(TargetDevice));
    return;
  }
  if (BottomOf(TargetDevice)->DeviceObjectExtension->SurpriseRemoved) {
    lock.unlock();
    Violation(Check::DetachDuringSurpriseRemoval,
              "IoDetachDevice from " + Describe(TargetDevice) +
                  " after surprise removal, before the remove request");
    lock.lock();
  }
  TargetDevice->AttachedDevice = nullptr;
  upper->DeviceObjectExtension->AttachedTo = nullptr;
  bool release = TargetDevice->DeviceObjectExtension->HeldForDetach;
  TargetDevice->DeviceObjectExtension->HeldForDetach = false;
  lock.unlock();
  if (release)
    ObfDereferenceObject(TargetDevice);
}

PDEVICE_OBJECT NTAPI IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) {
  std::lock_guard<std::mutex> lock(gDeviceLock);
  return TopOf(DeviceObject);
}

PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_OBJECT top;
  {
    std::lock_guard<std::mutex> lock(gDeviceLock);
    top = TopOf(DeviceObject);
  }
  ObfReferenceObject(top);
  return top;
}
