// Started keys with an open handle each, kept on one machine from one input
// to the next. Loading the driver, plugging and starting a key and opening a
// handle cost more than most inputs' requests; an input whose key is of the
// configuration of a kept key runs on that key, as the inputs before left it;
// a key of a new configuration is plugged beside the others, up to kMaxKeys.
//
// Each input is still judged alone: at its end the machine must be as the
// input found it (no pool block the input allocated still live, no request
// alive, no system thread running, the handle open, the key plugged, not
// halted and not waiting with a transfer). An input that leaves anything else has the
// machine torn down before it returns: close, remove, unload and the
// end-of-test audit, so a finding is reported against that input. When the
// input's key is the newest one, its own close and remove are enough, provided
// they leave no request alive and free every block allocated since the key was
// plugged. The machine is also rebuilt when a key of a new configuration finds
// kMaxKeys kept, every kRebuildEvery inputs, and torn down at exit.
//
// What a kept key still carries from the inputs before: the key's memory,
// its answer to the last command and its report sequence; the driver's copy
// of the identification block as the last query read it, and when it last
// logged each event. A finding on a machine that served earlier inputs says
// so; such an input is then also run alone.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "fuzz/machine.h"

namespace tarvik::fuzz {

class KeptKey {
 public:
  static constexpr size_t kRebuildEvery = 1000;
  static constexpr size_t kMaxKeys = 16;

  KeptKey() = default;
  ~KeptKey() { Finish(); }
  KeptKey(const KeptKey&) = delete;
  KeptKey& operator=(const KeptKey&) = delete;

  // A handle to a started key of `config` whose interface is of
  // `interfaceClass`: a kept one of the same configuration, otherwise a new
  // one. Null when the key does not start or the interface does not open
  // (the key is then removed at Release).
  HANDLE Acquire(const sim::usb::KeyConfig& config, const GUID& interfaceClass);
  PDEVICE_OBJECT pdo() const { return keys_[current_].pdo; }
  sim::Client& client() { return machine_->client(); }

  // The end of an input: keeps the machine when the input left it as it
  // found it, otherwise tears it down now.
  void Release();

  // The full teardown and audit, and what happened to the machines, printed.
  // Also run at exit when the fuzzer ends without destroying the KeptKey
  // (registered once the simulated kernel's own objects exist, so that it
  // runs before they are destroyed). The destructor runs it too.
  void Finish();

  // What happened to the machines.
  struct Counts {
    uint64_t inputs = 0;
    uint64_t reused = 0;
    uint64_t builds = 0;
    uint64_t plugged = 0;  // keys plugged beside others kept
    uint64_t full = 0;     // rebuilt for a key of a new configuration, kMaxKeys kept
    uint64_t periodic = 0;
    uint64_t retired = 0;    // the newest key alone removed after an input that changed it
    uint64_t leftState = 0;  // torn down after an input that changed the machine
  };
  const Counts& counts() const { return counts_; }

 private:
  struct Key {
    sim::usb::KeyConfig config;
    PDEVICE_OBJECT pdo;
    HANDLE handle;      // null when the key did not start or open
    bool stack;         // AddDevice built a stack on the PDO
    uint64_t poolMark;  // allocations made before the key was plugged
  };
  void Build();
  bool AddKey(const sim::usb::KeyConfig& config, const GUID& interfaceClass);
  void TearDown();
  bool RetireNewest();
  bool LeftAsFound() const;

  std::unique_ptr<Machine> machine_;
  std::vector<Key> keys_;
  size_t current_ = 0;     // the key of the current input
  uint64_t poolMark_ = 0;  // allocations made before the current input
  size_t inputsOnMachine_ = 0;
  Counts counts_;
};

}  // namespace tarvik::fuzz
