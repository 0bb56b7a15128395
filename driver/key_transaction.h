// Command exchanges with the key.
#pragma once

#include "driver/wdk.h"

// Read-phase repetitions before a key that never returns the announced answer
// length is given up on with STATUS_IO_TIMEOUT.
constexpr ULONG KeyTransactionMaxReads = 4096;
// Answer capacities above this are clamped: wLength carries 16 bits.
constexpr ULONG KeyTransactionMaxInLength = 65535;

NTSTATUS KeyTransaction(PDEVICE_OBJECT DeviceObject, ULONG Variant, USHORT OutValue,
                        PVOID OutData, USHORT OutLength, PVOID InBuffer, ULONG InLength,
                        PULONG Returned);
NTSTATUS ReadInfoBlock(PDEVICE_OBJECT DeviceObject);
