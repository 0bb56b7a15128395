// The kernel's C run-time exports, with the Windows x64 convention.
#include "sim/kernel/crt.h"

#include <string.h>

namespace sim::crt {

PVOID NTAPI Memcpy(PVOID Destination, PCVOID Source, SIZE_T Count) {
  return memcpy(Destination, Source, Count);
}

PVOID NTAPI Memmove(PVOID Destination, PCVOID Source, SIZE_T Count) {
  return memmove(Destination, Source, Count);
}

PVOID NTAPI Memset(PVOID Destination, int Fill, SIZE_T Count) {
  return memset(Destination, Fill, Count);
}

int NTAPI Memcmp(PCVOID Buffer1, PCVOID Buffer2, SIZE_T Count) {
  return memcmp(Buffer1, Buffer2, Count);
}

}  // namespace sim::crt
