// The USBD library routines the driver imports: descriptor parsing and the
// select-configuration request builder.
#include <cstring>

#include "sim/kernel/version.h"
#include "sim/usb/usb.h"

extern "C" PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer,
                                                              ULONG TotalLength,
                                                              PVOID StartPosition,
                                                              LONG DescriptorType) {
  PUCHAR end = static_cast<PUCHAR>(DescriptorBuffer) + TotalLength;
  PUCHAR p = static_cast<PUCHAR>(StartPosition);
  while (p + sizeof(USB_COMMON_DESCRIPTOR) <= end) {
    auto* common = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(p);
    if (common->bLength < sizeof(USB_COMMON_DESCRIPTOR) || p + common->bLength > end)
      return nullptr;  // malformed: never walk past it
    if (DescriptorType == -1 || common->bDescriptorType == DescriptorType)
      return common;
    p += common->bLength;
  }
  return nullptr;
}

extern "C" PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol) {
  PUCHAR end =
      reinterpret_cast<PUCHAR>(ConfigurationDescriptor) + ConfigurationDescriptor->wTotalLength;
  PVOID position = StartPosition;
  for (;;) {
    auto* found =
        USBD_ParseDescriptors(ConfigurationDescriptor, ConfigurationDescriptor->wTotalLength,
                              position, USB_INTERFACE_DESCRIPTOR_TYPE);
    if (!found)
      return nullptr;
    auto* interface = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(found);
    if (reinterpret_cast<PUCHAR>(interface) + sizeof(USB_INTERFACE_DESCRIPTOR) > end)
      return nullptr;
    const bool matches =
        (InterfaceNumber == -1 || interface->bInterfaceNumber == InterfaceNumber) &&
        (AlternateSetting == -1 || interface->bAlternateSetting == AlternateSetting) &&
        (InterfaceClass == -1 || interface->bInterfaceClass == InterfaceClass) &&
        (InterfaceSubClass == -1 || interface->bInterfaceSubClass == InterfaceSubClass) &&
        (InterfaceProtocol == -1 || interface->bInterfaceProtocol == InterfaceProtocol);
    if (matches)
      return interface;
    position = reinterpret_cast<PUCHAR>(found) + found->bLength;
  }
}

extern "C" PURB NTAPI
USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                  PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
  // The URB carries one USBD_INTERFACE_INFORMATION per listed interface, each
  // followed by one USBD_PIPE_INFORMATION per endpoint.
  const size_t head = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
  size_t size = head;
  ULONG count = 0;
  for (auto* entry = InterfaceList; entry->InterfaceDescriptor; ++entry, ++count)
    size += GET_USBD_INTERFACE_SIZE(entry->InterfaceDescriptor->bNumEndpoints);
  if (count == 0)
    return nullptr;
  if (size < sizeof(struct _URB_SELECT_CONFIGURATION))
    size = sizeof(struct _URB_SELECT_CONFIGURATION);

  // The library's own block, from the pool the system offers for data.
  const POOL_TYPE type = sim::os::HasNxPool() ? NonPagedPoolNx : NonPagedPool;
  auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(type, size, sim::usb::kUsbdTag));
  if (!urb)
    return nullptr;
  std::memset(urb, 0, size);
  urb->UrbHeader.Length = static_cast<USHORT>(size);
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;

  auto* info = &urb->UrbSelectConfiguration.Interface;
  for (auto* entry = InterfaceList; entry->InterfaceDescriptor; ++entry) {
    const auto* descriptor = entry->InterfaceDescriptor;
    info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(descriptor->bNumEndpoints));
    info->InterfaceNumber = descriptor->bInterfaceNumber;
    info->AlternateSetting = descriptor->bAlternateSetting;
    info->Class = descriptor->bInterfaceClass;
    info->SubClass = descriptor->bInterfaceSubClass;
    info->Protocol = descriptor->bInterfaceProtocol;
    info->NumberOfPipes = descriptor->bNumEndpoints;
    for (ULONG i = 0; i < info->NumberOfPipes; ++i)
      info->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    entry->Interface = info;
    info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(info) +
                                                         info->Length);
  }
  return urb;
}
