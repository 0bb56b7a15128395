// Command exchanges with the key.
#pragma once

#include "driver/usb_requests.h"

// Read-phase repetitions before a key that never returns the announced answer
// length is given up on with STATUS_IO_TIMEOUT. A build for fuzzing may take
// fewer, so that such a key costs an input a few reads and not thousands.
#ifndef TARVIK_KEY_TRANSACTION_MAX_READS
#define TARVIK_KEY_TRANSACTION_MAX_READS 4096
#endif
constexpr ULONG KeyTransactionMaxReads = TARVIK_KEY_TRANSACTION_MAX_READS;
// Answer capacities above this are clamped: wLength carries 16 bits.
constexpr ULONG KeyTransactionMaxInLength = 65535;

// Writes a command with up to three attempts, resetting the port after each
// failed one so that the key accepts the next. Returns the status of a reset
// that failed, or STATUS_SUCCESS; *LastWrite receives the last attempt's
// status (a success when one got through).
NTSTATUS WriteWithRetries(PDEVICE_OBJECT DeviceObject, const SetupPacket* Packet, PVOID Data,
                          NTSTATUS* LastWrite);

NTSTATUS KeyTransaction(PDEVICE_OBJECT DeviceObject, ULONG Variant, USHORT OutValue, PVOID OutData,
                        USHORT OutLength, PVOID InBuffer, ULONG InLength, PULONG Returned);
NTSTATUS ReadInfoBlock(PDEVICE_OBJECT DeviceObject);
