// keysim's side of the requests that reach the bus driver (Plug and Play,
// power, system control): the faults a scenario plans for them (`fault bus`)
// and the lines that show them (`bus`), with the driver's calls to the power
// manager in between.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "sim/usb/bus.h"

namespace keysim {

// fault bus <key> <request> [type=system|device] [state=S0..S5|D0..D3|N]
//   [count=] [skip=] [status=] [pending=1], where request is a Plug and Play
// request (start, query-stop, cancel-stop, stop, query-remove,
// cancel-remove, surprise-remove, remove, capabilities), a power request
// (set-power, query-power, wait-wake) or system-control.
std::optional<sim::usb::BusFault> ParseBusFault(const std::string& request,
                                                const std::map<std::string, std::string>& options,
                                                std::string* error);

// A system-control (WMI) request for all data, as WMI sends it
// (STATUS_NOT_SUPPORTED preset), to the top of the stack on `pdo`.
NTSTATUS SendSystemControl(PDEVICE_OBJECT pdo);

// What reached the bus on `pdo` and what `fdo` told or asked the power
// manager after sequence number `*mark`, one line each; `*mark` moves on.
std::vector<std::string> BusLines(PDEVICE_OBJECT pdo, PDEVICE_OBJECT fdo, uint64_t* mark);

}  // namespace keysim
