// Pool tags of the driver: four characters in memory order, one per purpose.
#pragma once

#include "driver/wdk.h"

constexpr ULONG MakePoolTag(char a, char b, char c, char d) {
  return static_cast<ULONG>(static_cast<UCHAR>(a)) |
         (static_cast<ULONG>(static_cast<UCHAR>(b)) << 8) |
         (static_cast<ULONG>(static_cast<UCHAR>(c)) << 16) |
         (static_cast<ULONG>(static_cast<UCHAR>(d)) << 24);
}

// Configuration (start, stop, removal).
constexpr ULONG TagInterfaceInfo = MakePoolTag('k', 'v', '1', '0');
constexpr ULONG TagConfigDescriptorUrb = MakePoolTag('k', 'v', '2', '0');
constexpr ULONG TagConfigDescriptor = MakePoolTag('k', 'v', '3', '0');
constexpr ULONG TagDeviceDescriptorUrb = MakePoolTag('k', 'v', '4', '0');
constexpr ULONG TagDeviceDescriptor = MakePoolTag('k', 'v', '5', '0');
constexpr ULONG TagUnconfigureUrb = MakePoolTag('k', 'v', '6', '0');
constexpr ULONG TagAbortPipeUrb = MakePoolTag('k', 'v', '7', '0');

// USB requests and control requests.
constexpr ULONG TagResetPipeUrb = MakePoolTag('k', 'v', '1', '1');
constexpr ULONG TagVendorOutUrb = MakePoolTag('k', 'v', '2', '1');
constexpr ULONG TagVendorInUrb = MakePoolTag('k', 'v', '3', '1');
constexpr ULONG TagInterruptUrb = MakePoolTag('k', 'v', '4', '1');
constexpr ULONG TagVendorWritePayload = MakePoolTag('k', 'v', '5', '1');
constexpr ULONG TagVendorWriteZeros = MakePoolTag('k', 'v', '6', '1');
constexpr ULONG TagVendorReadBuffer = MakePoolTag('k', 'v', '7', '1');
constexpr ULONG TagInterruptBuffer = MakePoolTag('k', 'v', '8', '1');
constexpr ULONG TagTransactPayload = MakePoolTag('k', 'v', '9', '1');
constexpr ULONG TagTransactZeros = MakePoolTag('k', 'v', 'A', '1');
constexpr ULONG TagResetAbortUrb = MakePoolTag('k', 'v', 'B', '1');
