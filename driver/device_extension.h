// The per-device record of Tarvik4v2 and its operations.
#pragma once

#include "driver/event_log.h"
#include "driver/wdk.h"

// Where a key stands in its Plug and Play life.
enum PnpState : ULONG {
  NotStarted = 0,
  Started = 1,
  Stopped = 2,
  PendingStop = 3,
  PendingRemove = 4,
  SurpriseRemoved = 5,
  Removed = 6,
};

// Decided from the USB identity at every start.
enum DeviceFamily : ULONG {
  FamilyPrimary = 0,
  FamilySecondary = 1,
  FamilyUnrecognised = 2,
};

constexpr ULONG InfoBlockSize = 64;

// One record per key, owned by the device object; the fields keep this order.
struct DeviceExtension {
  UNICODE_STRING InterfaceNamePrimary;
  UNICODE_STRING InterfaceNameSecondary;
  UNICODE_STRING InterfaceNameAux;
  PDEVICE_OBJECT LowerDeviceObject;
  PDEVICE_OBJECT PhysicalDeviceObject;
  DeviceFamily Family;
  ULONG DeviceRevision;
  KSPIN_LOCK StateLock;
  PnpState DevicePnpState;
  PnpState PreviousPnpState;
  KSPIN_LOCK IoCountLock;
  LONG OutstandingIo;
  KEVENT RemoveEvent;
  KEVENT StopEvent;
  // Serialises exchanges with the key. It must stay a kernel mutex: a request
  // built with IoBuildDeviceIoControlRequest finishes with a special kernel
  // APC to the thread that built it (it copies the status block and sets the
  // event), and the exchange waits for its requests while holding this
  // mutex. A kernel mutex holds back only normal kernel APCs (its owner is in
  // a critical region); a fast mutex (APC_LEVEL) or a guarded region would
  // hold back the special one too, and the wait would never end (WDK,
  // "Disabling APCs" and "Critical Regions and Guarded Regions").
  KMUTEX TransferMutex;
  ULONG DevicePower;  // a DEVICE_POWER_STATE, kept as the 32-bit number requests carry
  PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;
  USBD_CONFIGURATION_HANDLE ConfigurationHandle;
  PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;
  PUSBD_INTERFACE_INFORMATION InterfaceInfo;
  DEVICE_CAPABILITIES DeviceCapabilities;
  USBD_PIPE_HANDLE InterruptPipe;
  ULONG OpenPipeCount;
  UCHAR InfoBlock[InfoBlockSize];
  ULONG InfoBlockLength;
  HANDLE NotifyThread;
  ULONG ShareAccessMask;
  ULONG OpenHandleCount;
  // Interrupt reads in progress (under InterruptReadLock); InterruptReadsIdle
  // is signalled while there are none. A port reset waits for it.
  KSPIN_LOCK InterruptReadLock;
  ULONG InterruptReadsPending;
  KEVENT InterruptReadsIdle;
  // Port resets in progress (under InterruptReadLock); no new interrupt read
  // starts while there is one. NoPortReset is signalled while there are none.
  ULONG PortResetsPending;
  KEVENT NoPortReset;
  // The unconfigure request that a query-stop sets aside, so that the stop
  // after it cannot fail for want of pool.
  PURB ReservedUnconfigureUrb;
  LONG volatile EventLogTimes[KeyEventKinds];  // when each event was last logged (event_log.cpp)
};

static_assert(sizeof(DEVICE_CAPABILITIES) == 64, "DEVICE_CAPABILITIES is 64 bytes");

inline DeviceExtension* GetDeviceExtension(PDEVICE_OBJECT DeviceObject) {
  return static_cast<DeviceExtension*>(DeviceObject->DeviceExtension);
}

// Record operations: any IRQL up to DISPATCH_LEVEL, any thread.
void SetNewPnpState(DeviceExtension* Extension, PnpState NewState);
// DevicePnpState as readers outside StateLock see it.
PnpState CurrentPnpState(DeviceExtension* Extension);
void RestorePnpState(DeviceExtension* Extension);
LONG IoIncrement(DeviceExtension* Extension);
LONG IoDecrement(DeviceExtension* Extension);
