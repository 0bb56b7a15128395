// Systematic fault sweeps: run a scenario once to learn its fault points
// (every kernel resource request and every USB request on the wire), then
// once per point with that point failed, on a fresh machine each time, and
// audit what is left: verifier silent, pool empty, every request completed,
// the outstanding count back to its base, the device removable.
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/kernel/harness.h"
#include "sim/kernel/faults.h"
#include "sim/usb/bus.h"

namespace tarvik::sweep {

// The machine a scenario runs on: bus and driver loaded, one client.
class Machine {
 public:
  struct Key {
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT fdo = nullptr;  // null when AddDevice failed
  };
  Key Plug(const sim::usb::KeyConfig& config);
  // Opens the first enabled interface of the class (null handle on failure).
  HANDLE Open(const GUID& interfaceClass);
  sim::Client& client() { return *client_; }
  PDRIVER_OBJECT driver() const { return driver_; }
  std::vector<Key>& keys() { return keys_; }
  // A control request through the client, its status kept for the audit.
  NTSTATUS Control(HANDLE handle, ULONG code, const std::vector<UCHAR>& input, ULONG output);
  const std::vector<NTSTATUS>& statuses() const { return statuses_; }

  Machine();
  ~Machine();

 private:
  PDRIVER_OBJECT driver_ = nullptr;
  std::unique_ptr<sim::Client> client_;
  std::vector<Key> keys_;
  std::vector<NTSTATUS> statuses_;
};

struct Scenario {
  const char* name;
  std::function<void(Machine&)> run;
};

// One fault point: a kernel call (kind and ordinal) or a USB request (kind and
// how many requests of that kind on that key went before it).
struct Point {
  bool usb = false;
  sim::faults::Kind kernelKind{};
  uint64_t ordinal = 0;
  ULONG tag = 0;  // for pool allocations
  sim::usb::Kind usbKind{};
  size_t key = 0;
  ULONG skip = 0;
  std::string Describe() const;
};

struct Result {
  size_t points = 0;
  std::vector<std::string> findings;  // "<point>: <what went wrong>"
};

// Runs the scenario clean, then once per fault point.
Result Sweep(const Scenario& scenario);

}  // namespace tarvik::sweep
