// The one instance of each interface class and event GUID the driver uses.
#include "driver/wdk.h"

#if defined(_WIN32)
#include <initguid.h>
#endif

#include "driver/ioctl.h"
