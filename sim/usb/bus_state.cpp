// The simulated bus's state: the one bus and its keys by PDO.
#include "sim/usb/bus_state.h"

#include <cstdio>
#include <cstdlib>

namespace sim::usb::internal {

Bus& TheBus() {
  static Bus bus;
  return bus;
}

KeyState* Find(PDEVICE_OBJECT pdo) {
  auto& bus = TheBus();
  auto it = bus.keys.find(pdo);
  return it == bus.keys.end() ? nullptr : it->second.get();
}

KeyState& Get(PDEVICE_OBJECT pdo) {
  KeyState* state = Find(pdo);
  if (!state) {
    std::fprintf(stderr, "sim::usb: %p is not a PDO of the bus\n", static_cast<void*>(pdo));
    std::abort();
  }
  return *state;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

}  // namespace sim::usb::internal
