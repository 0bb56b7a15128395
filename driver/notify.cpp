// The change notification: a short-lived system thread reports the key's
// custom event once on its physical device object.
#include "driver/device_extension.h"
#include "driver/driver.h"
#include "driver/ioctl.h"

namespace {

constexpr USHORT NotificationVersion = 1;
constexpr LONG NoText = -1;

}  // namespace

VOID NTAPI NotifyThreadRoutine(PVOID StartContext) {
  auto* deviceObject = static_cast<PDEVICE_OBJECT>(StartContext);
  TARGET_DEVICE_CUSTOM_NOTIFICATION notification;
  RtlZeroMemory(&notification, sizeof(notification));
  notification.Version = NotificationVersion;
  notification.Size = sizeof(notification);
  notification.Event = GUID_KEY_CHANGE_EVENT;
  notification.FileObject = nullptr;
  notification.NameBufferOffset = NoText;
  notification.CustomDataBuffer[0] = 0;
  const NTSTATUS status = IoReportTargetDeviceChangeAsynchronous(
      GetDeviceExtension(deviceObject)->PhysicalDeviceObject, &notification, nullptr, nullptr);
  PsTerminateSystemThread(status);
}

// Starts the notification thread unless the device already has one. The
// test and the store happen under TransferMutex, so two requests never start
// two threads; the handle is a kernel handle, usable from the Plug and Play
// thread that waits for the thread and closes it.
NTSTATUS StartNotifyThread(PDEVICE_OBJECT DeviceObject) {
  DeviceExtension* extension = GetDeviceExtension(DeviceObject);
  KeWaitForSingleObject(&extension->TransferMutex, Executive, KernelMode, FALSE, nullptr);
  NTSTATUS status = STATUS_SUCCESS;
  if (extension->NotifyThread == nullptr) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle = nullptr;
    status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr,
                                  NotifyThreadRoutine, DeviceObject);
    InterlockedExchangePointer(&extension->NotifyThread, NT_SUCCESS(status) ? handle : nullptr);
  }
  KeReleaseMutex(&extension->TransferMutex, FALSE);
  return status;
}
