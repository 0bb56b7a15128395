// The driver's ways of handling a request, one of each, for Plug and Play,
// power, system control and the client's requests alike. Resident: power
// requests use them, and pageable dispatch routines call them rather than
// copying them into PAGE.
#pragma once

#include "driver/wdk.h"

struct DeviceExtension;

// Sets the event given as context and keeps the request for its sender.
IO_COMPLETION_ROUTINE IrpCompletionRoutine;

// Hands the request to the lower drivers as it is; it is theirs from here on.
NTSTATUS PassDown(DeviceExtension* Extension, PIRP Irp);

// This driver has done its part: success (and Information, no data unless
// given) goes down with the request.
NTSTATUS PassDownWithSuccess(DeviceExtension* Extension, PIRP Irp, ULONG_PTR Information = 0);

// Sends the request down and waits until the lower drivers have completed it;
// it comes back through IrpCompletionRoutine, still ours to complete. Returns
// their status.
NTSTATUS ForwardAndWait(DeviceExtension* Extension, PIRP Irp);

// Completes the request here with Status (and Information, no data unless
// given); returns Status.
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information = 0);
