// Planned answers of the simulated bus to the requests that reach it from
// above: Plug and Play, power and system control, answered at once or, when
// pending, later after the bus returned STATUS_PENDING.
#pragma once
#include <optional>

#include "sim/usb/pdo_pnp_power.h"

namespace sim::test {

inline sim::usb::BusFault BusAnswer(UCHAR major, UCHAR minor, NTSTATUS status,
                                    bool pending = false) {
  sim::usb::BusFault f;
  f.major = major;
  f.minor = minor;
  f.status = status;
  f.pending = pending;
  return f;
}

// The answer to the set-power requests for a device power state: every one,
// or only those for `state`.
inline sim::usb::BusFault DevicePowerAnswer(NTSTATUS status, bool pending,
                                            std::optional<ULONG> state = std::nullopt) {
  sim::usb::BusFault f = BusAnswer(IRP_MJ_POWER, IRP_MN_SET_POWER, status, pending);
  f.powerType = DevicePowerState;
  f.powerState = state;
  return f;
}

}  // namespace sim::test
