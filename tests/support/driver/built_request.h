// Requests that some other kernel component builds and sends to the top of
// a key's stack, as WMI or a filter would: not through the Plug and Play
// manager, so they reach the driver in whatever state the key is.
#pragma once
#include "sim/kernel/wdm.h"

namespace tarvik::test {

// Builds an IRP with `major` and `minor` (status preset to
// STATUS_NOT_SUPPORTED; a capabilities query gets a capabilities block),
// sends it to `top` and waits for it; returns its final status.
NTSTATUS SendBuilt(PDEVICE_OBJECT top, UCHAR major, UCHAR minor);

}  // namespace tarvik::test
