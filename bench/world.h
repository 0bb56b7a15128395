// A machine for benchmarks: the simulated kernel with the USB bus and the
// driver loaded, keys plugged and started, one client with a handle per key.
#pragma once
#include <memory>
#include <vector>

#include "sim/kernel/harness.h"
#include "sim/usb/bus.h"

namespace tarvik::bench {

class World {
 public:
  // `keys` primary keys; with `timing`, the bus charges USB frame times.
  World(int keys, const sim::usb::Timing& timing);
  ~World();
  World(const World&) = delete;
  World& operator=(const World&) = delete;

  // One exchange on key `k`; the status and the number of bytes returned.
  NTSTATUS Exchange(int k, ULONG code, const std::vector<UCHAR>& input, ULONG output,
                    ULONG_PTR* returned = nullptr);
  int Keys() const { return static_cast<int>(handles_.size()); }
  // Pool allocations made so far (every ExAllocatePoolWithTag call).
  uint64_t Allocations() const;

 private:
  std::unique_ptr<sim::Client> client_;
  std::vector<PDEVICE_OBJECT> pdos_;
  std::vector<HANDLE> handles_;
};

// Exchanges per second one key can make at most under the timing model,
// back to back: each exchange's report waits for a polling boundary that
// comes after the previous answer's IN transfer and the command's OUT
// transfer, a frame each.
double WireLimit(const sim::usb::Timing& timing, uint8_t interval);

}  // namespace tarvik::bench
