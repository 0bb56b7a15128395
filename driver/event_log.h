// Entries in the System event log (the error log) for what a support engineer
// needs to see: a key that stopped answering, a port reset that failed, a
// start that failed (and at which step), a device that is not one of our keys.
// Each entry carries its own message (driver/messages.mc), the final status
// and the key's identity; at most one entry of a kind is written for a key a
// minute, so that a client that keeps failing cannot flood the log. Nothing
// here changes what the caller does: an entry that cannot be allocated is
// simply not written. Any IRQL up to DISPATCH_LEVEL.
#pragma once

#include "driver/wdk.h"

enum KeyEvent : ULONG {
  KeyEventNoAnswer = 0,            // an interrupt read or transfer reached its bound
  KeyEventPortResetFailed = 1,     // IOCTL_INTERNAL_USB_RESET_PORT failed
  KeyEventStartDescriptor = 2,     // start: the device descriptor could not be read
  KeyEventStartConfiguration = 3,  // start: the key could not be configured
  KeyEventStartInterfaces = 4,     // start: the device interfaces could not be enabled
  KeyEventUnknownKey = 5,          // the device is not in the identity table
  KeyEventKinds = 6,
};

// The shortest time between two entries of one kind for one key: a minute,
// in milliseconds.
constexpr ULONG KeyEventInterval = 60 * 1000;

// Writes the entry of `Event` with `Status`, unless one of that kind was
// written for this key within KeyEventInterval.
void ReportKeyEvent(PDEVICE_OBJECT DeviceObject, KeyEvent Event, NTSTATUS Status);
// For the call sites: reports `Event` when `Status` is a failure; returns `Status`.
NTSTATUS ReportIfFailed(PDEVICE_OBJECT DeviceObject, KeyEvent Event, NTSTATUS Status);
// Reports KeyEventNoAnswer when `Status` is STATUS_IO_TIMEOUT; returns `Status`.
NTSTATUS ReportIfTimedOut(PDEVICE_OBJECT DeviceObject, NTSTATUS Status);
