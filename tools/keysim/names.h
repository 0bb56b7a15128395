// Names keysim prints and accepts: statuses, control codes, power states.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "sim/kernel/status_names.h"

namespace keysim {

// "STATUS_SUCCESS", or "0x........" for a status without a name.
using sim::StatusName;
// Looks a status up by name or number.
std::optional<uint32_t> StatusByName(const std::string& text);

// "IOCTL_KEY_TRANSACT_RAW" or the code in hex; and the reverse, by name, by
// the name without its IOCTL_KEY_ prefix (any case) or by number.
std::string ControlCodeName(uint32_t code);
std::optional<uint32_t> ControlCodeByName(const std::string& text);

// S0..S5 (working, sleep 1-3, hibernate, shutdown) and D0..D3, also by number.
std::optional<uint32_t> SystemPowerState(const std::string& text);
std::optional<uint32_t> DevicePowerState(const std::string& text);

}  // namespace keysim
