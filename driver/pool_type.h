// The non-paged pool the driver allocates from.
#pragma once

#include "driver/wdk.h"

// NonPagedPoolNx where the system has it (Windows 8 and later), so that
// bytes that clients send never sit in executable memory; NonPagedPool
// before, where the non-executable pool is unknown. DriverEntry chooses once,
// before any device exists; nothing writes it afterwards.
extern POOL_TYPE DriverNonPagedPool;

// Asks the system which Windows it is and chooses (DriverEntry only).
void ChooseNonPagedPool();
