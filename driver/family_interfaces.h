// Which device interfaces belong to each key family: enabled in this order at
// start, disabled at surprise removal and removal.
#pragma once

#include "driver/device_extension.h"

constexpr ULONG FamilyInterfaceSlots = 2;

struct FamilyInterfaces {
  // Null where the family has no interface in that slot.
  UNICODE_STRING DeviceExtension::*Names[FamilyInterfaceSlots];
};

constexpr FamilyInterfaces InterfacesByFamily[] = {
    {{&DeviceExtension::InterfaceNamePrimary, &DeviceExtension::InterfaceNameAux}},  // primary
    {{&DeviceExtension::InterfaceNameSecondary, nullptr}},                           // secondary
    {{nullptr, nullptr}},                                                            // unrecognised
};

static_assert(sizeof(InterfacesByFamily) / sizeof(InterfacesByFamily[0]) == FamilyUnrecognised + 1,
              "one row per family");

// The interface name in `Slot` for the key's family, or null.
inline PUNICODE_STRING FamilyInterfaceName(DeviceExtension* Extension, ULONG Slot) {
  if (Extension->Family > FamilyUnrecognised) {
    return nullptr;
  }
  UNICODE_STRING DeviceExtension::*name = InterfacesByFamily[Extension->Family].Names[Slot];
  return name == nullptr ? nullptr : &(Extension->*name);
}
