// USB configuration of the key: recognise it by its identity, select its
// first interface and keep what the exchanges need; undo it at stop; abort
// its open pipes when it goes away.
#include "driver/device_extension.h"
#include "driver/event_log.h"
#include "driver/driver.h"
#include "driver/family_interfaces.h"
#include "driver/key_transaction.h"
#include "driver/pool_tags.h"
#include "driver/pool_type.h"
#include "driver/usb_requests.h"

namespace {

constexpr ULONG DeviceDescriptorLength = 18;
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == DeviceDescriptorLength,
              "device descriptor is 18 bytes");
// First guess at the configuration descriptor's size; a longer one is read again.
constexpr ULONG InitialConfigurationLength = 521;

struct KeyIdentity {
  USHORT VendorId;
  USHORT ProductId;
  DeviceFamily Family;
};

// The keys this driver serves, first match wins.
constexpr KeyIdentity KeyIdentities[] = {
    {0x7E31, 0x5A3C, FamilyPrimary},
    {0x7E21, 0x0014, FamilyPrimary},
    {0x7E21, 0x0013, FamilySecondary},
};

template <typename T>
void FreeIfHeld(T*& Buffer) {
  if (Buffer != nullptr) {
    ExFreePool(Buffer);
    Buffer = nullptr;
  }
}

void BuildGetDescriptorRequest(PURB Urb, UCHAR DescriptorType, PVOID Buffer, ULONG Length) {
  RtlZeroMemory(Urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST));
  _URB_CONTROL_DESCRIPTOR_REQUEST& request = Urb->UrbControlDescriptorRequest;
  request.Hdr.Length = sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
  request.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  request.TransferBufferLength = Length;
  request.TransferBuffer = Buffer;
  request.TransferBufferMDL = nullptr;
  request.UrbLink = nullptr;
  request.Index = 0;
  request.DescriptorType = DescriptorType;
  request.LanguageId = 0;
}

PURB AllocateUrb(SIZE_T Size, ULONG Tag) {
  auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(DriverNonPagedPool, Size, Tag));
  if (urb != nullptr) {
    RtlZeroMemory(urb, Size);
  }
  return urb;
}

// Reads the device descriptor into a fresh copy kept in the record (also
// when the key turns out not to be one of ours) and identifies the key.
// Each step runs only if the one before succeeded; what the record did not
// take is freed at the one exit.
TARVIK_PAGED NTSTATUS ReadDeviceDescriptor(PDEVICE_OBJECT DeviceObject) {
  PAGED_CODE();
  DeviceExtension* extension = GetDeviceExtension(DeviceObject);
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  PUSB_DEVICE_DESCRIPTOR descriptor = nullptr;
  PURB urb = AllocateUrb(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), TagDeviceDescriptorUrb);
  if (urb != nullptr) {
    descriptor = static_cast<PUSB_DEVICE_DESCRIPTOR>(
        ExAllocatePoolWithTag(DriverNonPagedPool, DeviceDescriptorLength, TagDeviceDescriptor));
  }
  if (descriptor != nullptr) {
    // A short answer must not leave stale pool in the identity fields.
    RtlZeroMemory(descriptor, DeviceDescriptorLength);
    BuildGetDescriptorRequest(urb, USB_DEVICE_DESCRIPTOR_TYPE, descriptor, DeviceDescriptorLength);
    status = ReportIfFailed(DeviceObject, KeyEventStartDescriptor, SubmitUrb(DeviceObject, urb));
  }
  if (NT_SUCCESS(status)) {
    // A copy left by an earlier start that failed is replaced, not leaked.
    FreeIfHeld(extension->DeviceDescriptor);
    extension->DeviceDescriptor = descriptor;
    descriptor = nullptr;
    status = ReportIfFailed(DeviceObject, KeyEventUnknownKey,
                            IdentifyKey(DeviceObject, extension->DeviceDescriptor));
  }
  FreeIfHeld(descriptor);
  FreeIfHeld(urb);
  return status;
}

// Everything a start needs from the key, ending in Started.
TARVIK_PAGED NTSTATUS ConfigureKey(PDEVICE_OBJECT DeviceObject) {
  PAGED_CODE();
  DeviceExtension* extension = GetDeviceExtension(DeviceObject);
  NTSTATUS status = ReadDeviceDescriptor(DeviceObject);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  status = ReportIfFailed(DeviceObject, KeyEventStartConfiguration,
                          ReadConfigurationDescriptor(DeviceObject));
  if (!NT_SUCCESS(status)) {
    return status;
  }
  if (extension->Family == FamilyPrimary) {
    status = ReportIfFailed(DeviceObject, KeyEventStartConfiguration, ReadInfoBlock(DeviceObject));
    if (!NT_SUCCESS(status)) {
      return status;
    }
  }
  SetNewPnpState(extension, Started);
  return status;
}

// Client software finds the key through these; stop leaves them enabled.
TARVIK_PAGED NTSTATUS EnableFamilyInterfaces(DeviceExtension* Extension, NTSTATUS Status) {
  PAGED_CODE();
  for (ULONG slot = 0; slot < FamilyInterfaceSlots; ++slot) {
    PUNICODE_STRING name = FamilyInterfaceName(Extension, slot);
    if (name == nullptr) {
      break;
    }
    Status = IoSetDeviceInterfaceState(name, TRUE);
    if (!NT_SUCCESS(Status)) {
      break;
    }
  }
  return Status;
}

// Keeps the selected interface, pipes included, for AbortPipes.
TARVIK_PAGED void KeepInterfaceInfo(DeviceExtension* Extension,
                                    const USBD_INTERFACE_INFORMATION* Interface) {
  PAGED_CODE();
  FreeIfHeld(Extension->InterfaceInfo);
  auto* copy = static_cast<PUSBD_INTERFACE_INFORMATION>(
      ExAllocatePoolWithTag(DriverNonPagedPool, Interface->Length, TagInterfaceInfo));
  if (copy != nullptr) {
    RtlCopyMemory(copy, Interface, Interface->Length);
  }
  Extension->InterfaceInfo = copy;
}

// Pipe entries that the kept copy really holds, whatever NumberOfPipes claims.
ULONG PipesInCopy(const USBD_INTERFACE_INFORMATION* Interface) {
  const ULONG header = FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes);
  if (Interface->Length < header) {
    return 0;
  }
  const ULONG room = (Interface->Length - header) / sizeof(USBD_PIPE_INFORMATION);
  return Interface->NumberOfPipes < room ? Interface->NumberOfPipes : room;
}

void BuildAbortPipeRequest(PURB Urb, USBD_PIPE_HANDLE PipeHandle) {
  Urb->UrbPipeRequest.Hdr.Length = sizeof(_URB_PIPE_REQUEST);
  Urb->UrbPipeRequest.Hdr.Function = URB_FUNCTION_ABORT_PIPE;
  Urb->UrbPipeRequest.PipeHandle = PipeHandle;
}

}  // namespace

TARVIK_PAGED NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject) {
  PAGED_CODE();
  const NTSTATUS status = ConfigureKey(DeviceObject);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  return ReportIfFailed(DeviceObject, KeyEventStartInterfaces,
                        EnableFamilyInterfaces(GetDeviceExtension(DeviceObject), status));
}

// Resident, and called from the pageable start path rather than copied into it.
TARVIK_RESIDENT NTSTATUS IdentifyKey(PDEVICE_OBJECT DeviceObject,
                                     PUSB_DEVICE_DESCRIPTOR DeviceDescriptorBuffer) {
  DeviceExtension* extension = GetDeviceExtension(DeviceObject);
  NTSTATUS status = STATUS_DEVICE_DATA_ERROR;
  extension->Family = FamilyUnrecognised;
  for (const KeyIdentity& identity : KeyIdentities) {
    if (identity.VendorId == DeviceDescriptorBuffer->idVendor &&
        identity.ProductId == DeviceDescriptorBuffer->idProduct) {
      extension->Family = identity.Family;
      status = STATUS_SUCCESS;
      break;
    }
  }
  extension->DeviceRevision = DeviceDescriptorBuffer->bcdDevice;
  return status;
}

TARVIK_PAGED NTSTATUS ReadConfigurationDescriptor(PDEVICE_OBJECT DeviceObject) {
  PAGED_CODE();
  DeviceExtension* extension = GetDeviceExtension(DeviceObject);
  PURB urb = AllocateUrb(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), TagConfigDescriptorUrb);
  if (urb == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  // The loop ends: the size grows strictly and wTotalLength has 16 bits.
  ULONG size = InitialConfigurationLength;
  NTSTATUS status;
  for (;;) {
    // Replaces a copy left by an earlier failed start, or the buffer that was too small.
    FreeIfHeld(extension->ConfigurationDescriptor);
    extension->ConfigurationDescriptor = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(
        ExAllocatePoolWithTag(DriverNonPagedPool, size, TagConfigDescriptor));
    if (extension->ConfigurationDescriptor == nullptr) {
      status = STATUS_INSUFFICIENT_RESOURCES;
      break;
    }
    // What the key did not send reads as zero, never as stale pool.
    RtlZeroMemory(extension->ConfigurationDescriptor, size);
    BuildGetDescriptorRequest(urb, USB_CONFIGURATION_DESCRIPTOR_TYPE,
                              extension->ConfigurationDescriptor, size);
    status = SubmitUrb(DeviceObject, urb);
    if (urb->UrbControlDescriptorRequest.TransferBufferLength == 0 ||
        extension->ConfigurationDescriptor->wTotalLength <= size) {
      break;
    }
    size = extension->ConfigurationDescriptor->wTotalLength;
  }
  // The one exit for the request, whatever ended the loop.
  ExFreePool(urb);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  return SelectConfiguration(DeviceObject, extension->ConfigurationDescriptor);
}

TARVIK_PAGED NTSTATUS SelectConfiguration(PDEVICE_OBJECT DeviceObject,
                                          PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor) {
  PAGED_CODE();
  DeviceExtension* extension = GetDeviceExtension(DeviceObject);
  // The key's first interface, whatever its number, setting, class or protocol.
  PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor = USBD_ParseConfigurationDescriptorEx(
      ConfigurationDescriptor, ConfigurationDescriptor, -1, -1, -1, -1, -1);
  if (interfaceDescriptor == nullptr) {
    return STATUS_NO_SUCH_DEVICE;
  }
  USBD_INTERFACE_LIST_ENTRY interfaces[2] = {{interfaceDescriptor, nullptr}, {nullptr, nullptr}};
  PURB urb = USBD_CreateConfigurationRequestEx(ConfigurationDescriptor, interfaces);
  if (urb == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  NTSTATUS status = SubmitUrb(DeviceObject, urb);
  if (!NT_SUCCESS(status) || USBD_ERROR(urb->UrbHeader.Status)) {
    status = STATUS_UNSUCCESSFUL;
  } else {
    const _URB_SELECT_CONFIGURATION& selected = urb->UrbSelectConfiguration;
    extension->ConfigurationHandle = selected.ConfigurationHandle;
    // Without the copy the key still works; only AbortPipes has nothing to do later.
    KeepInterfaceInfo(extension, &selected.Interface);
    if (selected.Interface.NumberOfPipes > 0) {
      extension->InterruptPipe = selected.Interface.Pipes[0].PipeHandle;
    }
  }
  ExFreePool(urb);
  return status;
}

TARVIK_PAGED NTSTATUS ReserveUnconfigureRequest(PDEVICE_OBJECT DeviceObject) {
  PAGED_CODE();
  DeviceExtension* extension = GetDeviceExtension(DeviceObject);
  if (extension->ReservedUnconfigureUrb == nullptr) {
    extension->ReservedUnconfigureUrb =
        AllocateUrb(sizeof(_URB_SELECT_CONFIGURATION), TagUnconfigureUrb);
  }
  return extension->ReservedUnconfigureUrb != nullptr ? STATUS_SUCCESS
                                                      : STATUS_INSUFFICIENT_RESOURCES;
}

TARVIK_PAGED void ReleaseUnconfigureRequest(PDEVICE_OBJECT DeviceObject) {
  PAGED_CODE();
  FreeIfHeld(GetDeviceExtension(DeviceObject)->ReservedUnconfigureUrb);
}

TARVIK_PAGED NTSTATUS DeconfigureDevice(PDEVICE_OBJECT DeviceObject) {
  PAGED_CODE();
  DeviceExtension* extension = GetDeviceExtension(DeviceObject);
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  PURB urb = extension->ReservedUnconfigureUrb;
  extension->ReservedUnconfigureUrb = nullptr;
  if (urb == nullptr) {
    urb = AllocateUrb(sizeof(_URB_SELECT_CONFIGURATION), TagUnconfigureUrb);
  }
  if (urb != nullptr) {
    // A select-configuration without a descriptor returns the key to unconfigured.
    RtlZeroMemory(urb, sizeof(_URB_SELECT_CONFIGURATION));
    urb->UrbSelectConfiguration.Hdr.Length = sizeof(_URB_SELECT_CONFIGURATION);
    urb->UrbSelectConfiguration.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = nullptr;
    status = SubmitUrb(DeviceObject, urb);
    ExFreePool(urb);
  }
  // The copies go whatever the key answered: the next start reads them again.
  FreeIfHeld(extension->DeviceDescriptor);
  FreeIfHeld(extension->ConfigurationDescriptor);
  FreeIfHeld(extension->InterfaceInfo);
  extension->ConfigurationHandle = nullptr;
  extension->InterruptPipe = nullptr;
  return status;
}

TARVIK_PAGED NTSTATUS AbortPipes(PDEVICE_OBJECT DeviceObject) {
  PAGED_CODE();
  DeviceExtension* extension = GetDeviceExtension(DeviceObject);
  PUSBD_INTERFACE_INFORMATION info = extension->InterfaceInfo;
  if (info == nullptr) {
    return STATUS_SUCCESS;
  }
  NTSTATUS status = STATUS_SUCCESS;
  const ULONG pipes = PipesInCopy(info);
  for (ULONG i = 0; i < pipes; ++i) {
    USBD_PIPE_INFORMATION& pipe = info->Pipes[i];
    // PipeFlags is the pipe's open mark, as the select-configuration answer left it.
    if (pipe.PipeFlags == 0) {
      continue;
    }
    PURB urb = AllocateUrb(sizeof(_URB_PIPE_REQUEST), TagAbortPipeUrb);
    if (urb == nullptr) {
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    BuildAbortPipeRequest(urb, pipe.PipeHandle);
    status = SubmitUrb(DeviceObject, urb);
    ExFreePool(urb);
    if (NT_SUCCESS(status)) {
      pipe.PipeFlags = 0;
      --extension->OpenPipeCount;
    }
  }
  return status;
}
