// The virtual key bus: a root-enumerated bus driver that stands in for the
// USB hub when no key is at hand. Each plugged key is a child PDO with USB
// hardware IDs whose URBs the key model answers, through the same port code
// as the simulated bus on the host. An interrupt transfer that the key NAKs
// stays pending, cancelable, until the key has a report or the transfer is
// cancelled, aborted, reset away or the key leaves, as on the host.
#include <ntddk.h>
#include <initguid.h>
// initguid before the interface class
#include "sim/fault_rule.h"
#include "sim/usb/port.h"
#include "sim/usb/waiting_transfers.h"
#include "tools/vkeybus/vkeybus_ioctl.h"

extern "C" {
#include <usbioctl.h>
}

// Placement: what runs only at PASSIVE_LEVEL in Plug and Play lies in PAGE,
// out of line so that GCC copies none of it into a resident caller; what
// takes a spin lock, completes requests or serves URBs (which may come at
// DISPATCH_LEVEL) stays resident, and out of line where pageable code calls
// it; the entry routine lies in INIT, freed once it has returned.
#define VKEYBUS_PAGED __attribute__((section("PAGE"), noinline))
#define VKEYBUS_INIT __attribute__((section("INIT")))
#define VKEYBUS_RESIDENT __attribute__((noinline))

namespace {

constexpr ULONG kTag = 0x4256564B;  // "KVVB"
constexpr ULONG kMaxKeys = 16;

struct Child;

struct Common {
  bool IsBus;
};

struct Bus {
  Common Kind;
  PDEVICE_OBJECT Self;
  PDEVICE_OBJECT Lower;
  PDEVICE_OBJECT Pdo;
  UNICODE_STRING Interface;
  KSPIN_LOCK Lock;  // guards Children
  Child* Children[kMaxKeys];
};

struct Fault {
  ULONG Kind;
  sim::FaultRule Rule;
  NTSTATUS Status;
};

struct Child {
  Common Kind;
  PDEVICE_OBJECT Self;
  Bus* Parent;
  ULONG Port;
  bool Present;
  KSPIN_LOCK Lock;  // guards the port, the fault plan and Waiting
  Fault Plan;
  keyport::WaitingTransfers Waiting;  // interrupt transfers the key NAKs
  USHORT IdVendor;                    // in the PnP IDs
  USHORT IdProduct;
  keyport::Port Key;
};

NTSTATUS Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information = 0) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

NTSTATUS PassDown(PDEVICE_OBJECT Lower, PIRP Irp) {
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(Lower, Irp);
}

NTSTATUS NTAPI SetEventRoutine(PDEVICE_OBJECT, PIRP, PVOID Context) {
  KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

VKEYBUS_PAGED NTSTATUS ForwardAndWait(PDEVICE_OBJECT Lower, PIRP Irp) {
  PAGED_CODE();
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, SetEventRoutine, &event, TRUE, TRUE, TRUE);
  NTSTATUS status = IoCallDriver(Lower, Irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = Irp->IoStatus.Status;
  }
  return status;
}

// ---- A child: the key's PDO ------------------------------------------------

// "USB\VID_xxxx&PID_yyyy" with "&REV_zzzz" when asked, as UTF-16 into To.
VKEYBUS_PAGED ULONG WriteId(WCHAR* To, const Child* Key, bool Revision) {
  PAGED_CODE();
  static const char hex[] = "0123456789ABCDEF";
  const char* parts[] = {"USB\\VID_", "&PID_", "&REV_"};
  const unsigned values[] = {Key->IdVendor, Key->IdProduct, Key->Key.Key().Config().bcdDevice};
  ULONG n = 0;
  for (int p = 0; p < (Revision ? 3 : 2); ++p) {
    for (const char* s = parts[p]; *s; ++s)
      To[n++] = static_cast<WCHAR>(*s);
    for (int shift = 12; shift >= 0; shift -= 4)
      To[n++] = static_cast<WCHAR>(hex[(values[p] >> shift) & 15]);
  }
  To[n++] = 0;
  return n;
}

VKEYBUS_PAGED NTSTATUS QueryId(Child* Key, PIRP Irp) {
  PAGED_CODE();
  const BUS_QUERY_ID_TYPE type = IoGetCurrentIrpStackLocation(Irp)->Parameters.QueryId.IdType;
  auto* text = static_cast<WCHAR*>(ExAllocatePoolWithTag(PagedPool, 128 * sizeof(WCHAR), kTag));
  if (text == nullptr)
    return Complete(Irp, STATUS_INSUFFICIENT_RESOURCES);
  ULONG n = 0;
  switch (type) {
    case BusQueryDeviceID:
      n = WriteId(text, Key, false);
      break;
    case BusQueryHardwareIDs:
      n = WriteId(text, Key, true);
      n += WriteId(text + n, Key, false);
      text[n++] = 0;
      break;
    case BusQueryCompatibleIDs: {
      const char* ids[] = {"USB\\Class_FF&SubClass_00&Prot_00", "USB\\Class_FF"};
      for (const char* id : ids) {
        for (const char* s = id; *s; ++s)
          text[n++] = static_cast<WCHAR>(*s);
        text[n++] = 0;
      }
      text[n++] = 0;
      break;
    }
    case BusQueryInstanceID: {
      const char* prefix = "KEY";
      for (const char* s = prefix; *s; ++s)
        text[n++] = static_cast<WCHAR>(*s);
      text[n++] = static_cast<WCHAR>('0' + Key->Port / 10);
      text[n++] = static_cast<WCHAR>('0' + Key->Port % 10);
      text[n++] = 0;
      break;
    }
    default:
      ExFreePool(text);
      return Complete(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
  }
  return Complete(Irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(text));
}

// ---- Transfers the key NAKs ---------------------------------------------------
//
// They wait in Key->Waiting; those that end are gathered on a local list and
// completed once the key's lock is free.

void CompleteAll(PLIST_ENTRY Done) {
  while (!IsListEmpty(Done)) {
    PIRP irp = CONTAINING_RECORD(RemoveHeadList(Done), IRP, Tail.Overlay.ListEntry);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
}

// Gathers a transfer that ended for CompleteAll.
struct Gather {
  PLIST_ENTRY Done;
  void operator()(PIRP Irp, keyport::Outcome Outcome, ULONG) const {
    Irp->IoStatus.Status = Outcome.status;
    Irp->IoStatus.Information = 0;
    InsertTailList(Done, &Irp->Tail.Overlay.ListEntry);
  }
};

VOID NTAPI CancelWaiting(PDEVICE_OBJECT Device, PIRP Irp) {
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  auto* key = static_cast<Child*>(Device->DeviceExtension);
  KIRQL irql;
  KeAcquireSpinLock(&key->Lock, &irql);
  const bool waited = key->Waiting.Remove(Irp);
  KeReleaseSpinLock(&key->Lock, irql);
  if (!waited)
    return;
  keyport::Port::Fail(keyport::UrbOf(Irp), keyport::kCancelled);
  Complete(Irp, keyport::kCancelled.status);
}

void EndAllWaiting(Child* Key, keyport::Outcome Outcome) {
  LIST_ENTRY done;
  InitializeListHead(&done);
  KIRQL irql;
  KeAcquireSpinLock(&Key->Lock, &irql);
  Key->Waiting.End(Outcome, nullptr, Gather{&done});
  KeReleaseSpinLock(&Key->Lock, irql);
  CompleteAll(&done);
}

NTSTATUS ChildPnp(Child* Key, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      return Complete(Irp, STATUS_SUCCESS);
    case IRP_MN_SURPRISE_REMOVAL:
      EndAllWaiting(Key, keyport::kDeviceGone);
      return Complete(Irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE: {
      EndAllWaiting(Key, keyport::kDeviceGone);
      Complete(Irp, STATUS_SUCCESS);
      KIRQL irql;
      KeAcquireSpinLock(&Key->Parent->Lock, &irql);
      const bool gone = !Key->Present;
      if (gone)
        Key->Parent->Children[Key->Port] = nullptr;
      KeReleaseSpinLock(&Key->Parent->Lock, irql);
      if (gone)
        IoDeleteDevice(Key->Self);
      return STATUS_SUCCESS;
    }
    case IRP_MN_QUERY_ID:
      return QueryId(Key, Irp);
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
      caps->Removable = TRUE;
      caps->SurpriseRemovalOK = TRUE;
      caps->UniqueID = TRUE;
      caps->Address = Key->Port;
      caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
      for (int s = PowerSystemSleeping1; s < POWER_SYSTEM_MAXIMUM; ++s)
        caps->DeviceState[s] = s <= PowerSystemSleeping3 ? PowerDeviceD2 : PowerDeviceD3;
      return Complete(Irp, STATUS_SUCCESS);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS: {
      if (stack->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation)
        return Complete(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
      auto* relations = static_cast<PDEVICE_RELATIONS>(
          ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kTag));
      if (relations == nullptr)
        return Complete(Irp, STATUS_INSUFFICIENT_RESOURCES);
      relations->Count = 1;
      relations->Objects[0] = Key->Self;
      ObReferenceObject(Key->Self);
      return Complete(Irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(relations));
    }
    default:
      return Complete(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
  }
}

// The fault plan's kinds, by the URB they match.
bool Matches(ULONG Kind, PIO_STACK_LOCATION Stack) {
  const ULONG code = Stack->Parameters.DeviceIoControl.IoControlCode;
  if (code == IOCTL_INTERNAL_USB_RESET_PORT)
    return Kind == 3;
  auto* urb = static_cast<PURB>(Stack->Parameters.Others.Argument1);
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_VENDOR_DEVICE:
      return Kind == (USBD_TRANSFER_DIRECTION_FLAG(urb->UrbControlVendorClassRequest.TransferFlags)
                          ? 1u
                          : 0u);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      return Kind == 2;
    default:
      return false;
  }
}

NTSTATUS ChildInternalControl(Child* Key, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  if (code != IOCTL_INTERNAL_USB_SUBMIT_URB && code != IOCTL_INTERNAL_USB_RESET_PORT)
    return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST);
  auto* urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
  if (code == IOCTL_INTERNAL_USB_SUBMIT_URB && urb == nullptr)
    return Complete(Irp, STATUS_INVALID_PARAMETER);
  LIST_ENTRY done;
  InitializeListHead(&done);
  KIRQL irql;
  KeAcquireSpinLock(&Key->Lock, &irql);
  keyport::Outcome outcome;
  if (Key->Key.Plugged() && Matches(Key->Plan.Kind, stack) && Key->Plan.Rule.Take()) {
    outcome = {Key->Plan.Status, USBD_STATUS_STALL_PID};
    if (urb != nullptr && code == IOCTL_INTERNAL_USB_SUBMIT_URB)
      keyport::Port::Fail(urb, outcome);
  } else {
    outcome = code == IOCTL_INTERNAL_USB_RESET_PORT ? Key->Key.Reset() : Key->Key.Submit(urb);
  }
  if (outcome.status == STATUS_PENDING) {
    const bool waits = Key->Waiting.Wait(Irp, CancelWaiting);
    KeReleaseSpinLock(&Key->Lock, irql);
    if (!waits) {
      keyport::Port::Fail(urb, keyport::kCancelled);
      Complete(Irp, keyport::kCancelled.status);
    }
    return STATUS_PENDING;
  }
  Key->Waiting.After(Key->Key, code == IOCTL_INTERNAL_USB_RESET_PORT ? nullptr : urb,
                     outcome.status, CancelWaiting, Gather{&done});
  KeReleaseSpinLock(&Key->Lock, irql);
  CompleteAll(&done);
  return Complete(Irp, outcome.status);
}

// ---- The bus ------------------------------------------------------------------

VKEYBUS_RESIDENT NTSTATUS ReportChildren(Bus* Self, PIRP Irp) {
  KIRQL irql;
  KeAcquireSpinLock(&Self->Lock, &irql);
  ULONG count = 0;
  for (Child* c : Self->Children)
    count += c != nullptr && c->Present;
  const SIZE_T size = sizeof(DEVICE_RELATIONS) + sizeof(PDEVICE_OBJECT) * (count ? count - 1 : 0);
  auto* relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(NonPagedPool, size, kTag));
  if (relations != nullptr) {
    relations->Count = 0;
    for (Child* c : Self->Children) {
      if (c != nullptr && c->Present) {
        relations->Objects[relations->Count++] = c->Self;
        ObReferenceObject(c->Self);
      }
    }
  }
  KeReleaseSpinLock(&Self->Lock, irql);
  if (relations == nullptr)
    return Complete(Irp, STATUS_INSUFFICIENT_RESOURCES);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
  return PassDown(Self->Lower, Irp);
}

VKEYBUS_PAGED NTSTATUS BusPnp(Bus* Self, PIRP Irp) {
  PAGED_CODE();
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      ForwardAndWait(Self->Lower, Irp);
      IoSetDeviceInterfaceState(&Self->Interface, TRUE);
      return Complete(Irp, STATUS_SUCCESS);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (stack->Parameters.QueryDeviceRelations.Type == BusRelations)
        return ReportChildren(Self, Irp);
      return PassDown(Self->Lower, Irp);
    case IRP_MN_REMOVE_DEVICE: {
      IoSetDeviceInterfaceState(&Self->Interface, FALSE);
      RtlFreeUnicodeString(&Self->Interface);
      for (Child*& c : Self->Children) {
        if (c != nullptr) {
          IoDeleteDevice(c->Self);
          c = nullptr;
        }
      }
      Irp->IoStatus.Status = STATUS_SUCCESS;
      const NTSTATUS status = PassDown(Self->Lower, Irp);
      IoDetachDevice(Self->Lower);
      IoDeleteDevice(Self->Self);
      return status;
    }
    default:
      return PassDown(Self->Lower, Irp);
  }
}

keymodel::KeyConfig ConfigOf(const VkeyPlug& p) {
  keymodel::KeyConfig c;
  c.vendorId = p.VendorId;
  c.productId = p.ProductId;
  c.bcdDevice = p.Revision;
  c.interfaceCount = p.Interfaces;
  c.endpointCount = p.Pipes;
  c.vendorPadding = p.Padding;
  c.shortReads = p.ShortReads;
  c.announceExtra = p.AnnounceExtra;
  c.serial = p.Serial;
  c.secret = p.Secret;
  c.infoBlockLength = p.InfoLength > 64 ? 64 : p.InfoLength;
  for (ULONG i = 0; i < c.infoBlockLength; ++i)
    c.infoBlock[i] = p.Info[i];
  for (ULONG i = 1; i < keymodel::kMaxEndpoints; ++i)
    c.endpoints[i] = {static_cast<uint8_t>(0x80 | (i + 1)), 0x02, 64, 0};
  return c;
}

NTSTATUS Plug(Bus* Self, PDRIVER_OBJECT Driver, const VkeyPlug& Request, ULONG* Port) {
  PDEVICE_OBJECT pdo = nullptr;
  NTSTATUS status = IoCreateDevice(Driver, sizeof(Child), nullptr, FILE_DEVICE_BUS_EXTENDER,
                                   FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
  if (!NT_SUCCESS(status))
    return status;
  auto* key = static_cast<Child*>(pdo->DeviceExtension);
  RtlZeroMemory(key, sizeof(*key));
  key->Kind.IsBus = false;
  key->Self = pdo;
  key->Parent = Self;
  key->Present = true;
  KeInitializeSpinLock(&key->Lock);
  key->Waiting.Init();
  key->Key.Plug(ConfigOf(Request));
  key->IdVendor = Request.IdVendor ? Request.IdVendor : Request.VendorId;
  key->IdProduct = Request.IdProduct ? Request.IdProduct : Request.ProductId;
  pdo->Flags |= DO_POWER_PAGABLE;
  pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  KIRQL irql;
  KeAcquireSpinLock(&Self->Lock, &irql);
  ULONG port = kMaxKeys;
  for (ULONG i = 0; i < kMaxKeys && port == kMaxKeys; ++i)
    if (Self->Children[i] == nullptr)
      port = i;
  if (port < kMaxKeys) {
    key->Port = port;
    Self->Children[port] = key;
  }
  KeReleaseSpinLock(&Self->Lock, irql);
  if (port == kMaxKeys) {
    IoDeleteDevice(pdo);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  *Port = port;
  IoInvalidateDeviceRelations(Self->Pdo, BusRelations);
  return STATUS_SUCCESS;
}

NTSTATUS BusControl(Bus* Self, PDEVICE_OBJECT Device, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  const ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
  void* buffer = Irp->AssociatedIrp.SystemBuffer;
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_VKEYBUS_PLUG: {
      if (buffer == nullptr || in < sizeof(VkeyPlug) || out < sizeof(ULONG))
        return Complete(Irp, STATUS_INVALID_PARAMETER);
      VkeyPlug request = *static_cast<VkeyPlug*>(buffer);
      ULONG port = 0;
      const NTSTATUS status = Plug(Self, Device->DriverObject, request, &port);
      if (NT_SUCCESS(status))
        *static_cast<ULONG*>(buffer) = port;
      return Complete(Irp, status, NT_SUCCESS(status) ? sizeof(ULONG) : 0);
    }
    case IOCTL_VKEYBUS_UNPLUG:
    case IOCTL_VKEYBUS_FAULT: {
      if (buffer == nullptr || in < sizeof(ULONG))
        return Complete(Irp, STATUS_INVALID_PARAMETER);
      const bool unplug = stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_VKEYBUS_UNPLUG;
      if (!unplug && in < sizeof(VkeyFault))
        return Complete(Irp, STATUS_INVALID_PARAMETER);
      const ULONG port = *static_cast<ULONG*>(buffer);
      LIST_ENTRY gone;
      InitializeListHead(&gone);
      KIRQL irql;
      KeAcquireSpinLock(&Self->Lock, &irql);
      Child* key = port < kMaxKeys ? Self->Children[port] : nullptr;
      if (key != nullptr && key->Present) {
        KIRQL inner;
        KeAcquireSpinLock(&key->Lock, &inner);
        if (unplug) {
          key->Present = false;
          key->Key.Unplug();
          key->Waiting.End(keyport::kDeviceGone, nullptr, Gather{&gone});
        } else {
          const VkeyFault* f = static_cast<VkeyFault*>(buffer);
          key->Plan = {f->Kind, {0, static_cast<uint32_t>(f->Count)}, f->Status};
        }
        KeReleaseSpinLock(&key->Lock, inner);
      }
      KeReleaseSpinLock(&Self->Lock, irql);
      CompleteAll(&gone);
      if (key == nullptr)
        return Complete(Irp, STATUS_NO_SUCH_DEVICE);
      if (unplug)
        IoInvalidateDeviceRelations(Self->Pdo, BusRelations);
      return Complete(Irp, STATUS_SUCCESS);
    }
    default:
      return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT Device, PIRP Irp) {
  auto* common = static_cast<Common*>(Device->DeviceExtension);
  const UCHAR major = IoGetCurrentIrpStackLocation(Irp)->MajorFunction;
  if (common->IsBus) {
    Bus* self = reinterpret_cast<Bus*>(common);
    switch (major) {
      case IRP_MJ_PNP:
        return BusPnp(self, Irp);
      case IRP_MJ_POWER:
        PoStartNextPowerIrp(Irp);
        IoSkipCurrentIrpStackLocation(Irp);
        return PoCallDriver(self->Lower, Irp);
      case IRP_MJ_CREATE:
      case IRP_MJ_CLOSE:
      case IRP_MJ_CLEANUP:
        return Complete(Irp, STATUS_SUCCESS);
      case IRP_MJ_DEVICE_CONTROL:
        return BusControl(self, Device, Irp);
      default:
        return PassDown(self->Lower, Irp);
    }
  }
  Child* key = reinterpret_cast<Child*>(common);
  switch (major) {
    case IRP_MJ_PNP:
      return ChildPnp(key, Irp);
    case IRP_MJ_POWER: {
      PoStartNextPowerIrp(Irp);
      const UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
      if (minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER)
        return Complete(Irp, STATUS_SUCCESS);
      return Complete(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
    }
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
      return ChildInternalControl(key, Irp);
    default:
      return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

VKEYBUS_PAGED NTSTATUS NTAPI AddBus(PDRIVER_OBJECT Driver, PDEVICE_OBJECT Pdo) {
  PAGED_CODE();
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status = IoCreateDevice(Driver, sizeof(Bus), nullptr, FILE_DEVICE_BUS_EXTENDER,
                                   FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &fdo);
  if (!NT_SUCCESS(status))
    return status;
  auto* self = static_cast<Bus*>(fdo->DeviceExtension);
  RtlZeroMemory(self, sizeof(*self));
  self->Kind.IsBus = true;
  self->Self = fdo;
  self->Pdo = Pdo;
  KeInitializeSpinLock(&self->Lock);
  status = IoRegisterDeviceInterface(Pdo, &GUID_VKEYBUS_CONTROL, nullptr, &self->Interface);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(fdo);
    return status;
  }
  self->Lower = IoAttachDeviceToDeviceStack(fdo, Pdo);
  if (self->Lower == nullptr) {
    RtlFreeUnicodeString(&self->Interface);
    IoDeleteDevice(fdo);
    return STATUS_NO_SUCH_DEVICE;
  }
  fdo->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

VKEYBUS_PAGED VOID NTAPI Unload(PDRIVER_OBJECT) {
  PAGED_CODE();
}

}  // namespace

extern "C" VKEYBUS_INIT NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING) {
  for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i)
    Driver->MajorFunction[i] = Dispatch;
  Driver->DriverExtension->AddDevice = AddBus;
  Driver->DriverUnload = Unload;
  return STATUS_SUCCESS;
}
