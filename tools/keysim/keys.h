// Keys in keysim scenarios: their definitions (`key` lines), the USB faults
// a scenario can plan (`fault usb`), and the host that plugs them into the
// simulated bus.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/usb/bus.h"

namespace keysim {

struct KeyDefinition {
  sim::usb::KeyConfig config;
  sim::usb::Completion completion = sim::usb::Completion::Synchronous;
};

// key <name> [family=primary|legacy|secondary|unrecognised] [vid=] [pid=]
//   [rev=] [interfaces=] [pipes=] [padding=] [serial=] [secret=] [info=hex]
//   [short-reads=] [announce-extra=] [pipe-flags=] [completion=sync|pending]
std::optional<KeyDefinition> ParseKeyDefinition(const std::map<std::string, std::string>& options,
                                                std::string* error);

// fault usb <key> <kind> [count=] [skip=] [status=] [usbd=] [halt=1], where
// kind is one of the wire kinds: get-descriptor, select-configuration,
// unconfigure, vendor-out, vendor-in, interrupt, abort-pipe, reset-pipe,
// reset-port.
using UsbFault = sim::usb::Fault;
std::optional<UsbFault> ParseUsbFault(const std::string& kind,
                                      const std::map<std::string, std::string>& options,
                                      std::string* error);

class KeyHost {
 public:
  static std::unique_ptr<KeyHost> Create();
  PDEVICE_OBJECT Plug(const KeyDefinition& definition);
  void Unplug(PDEVICE_OBJECT pdo);
  // The PnP manager removed the stack on `pdo`.
  void Removed(PDEVICE_OBJECT pdo);
  // The requests that reached the key since the last call, one line each.
  std::vector<std::string> TakeTrace(PDEVICE_OBJECT pdo, const std::string& name);
  void Fail(PDEVICE_OBJECT pdo, const UsbFault& fault);
  void ClearFaults(PDEVICE_OBJECT pdo);

 private:
  KeyHost() = default;
};

}  // namespace keysim
