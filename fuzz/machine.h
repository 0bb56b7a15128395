// The machine every fuzzer runs its input on: a fresh simulated kernel with
// the USB bus and the driver, audited at the end of each input. A verifier
// finding aborts, so the fuzzer reports it as a crash with its input.
#pragma once
#include <memory>

#include "sim/kernel/harness.h"
#include "sim/usb/bus.h"

namespace tarvik::fuzz {

class Machine {
 public:
  Machine();
  ~Machine();
  // Plugs a key and runs AddDevice; null when AddDevice failed.
  PDEVICE_OBJECT Plug(const sim::usb::KeyConfig& config, PDEVICE_OBJECT* pdo);
  sim::Client& client() { return *client_; }

 private:
  PDRIVER_OBJECT driver_ = nullptr;
  std::unique_ptr<sim::Client> client_;
};

}  // namespace tarvik::fuzz
