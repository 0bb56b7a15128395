// Runs a keysim scenario: the real driver on the simulated kernel, below it
// the simulated USB bus with one key model per plugged key.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "sim/kernel/harness.h"
#include "tools/keysim/keys.h"
#include "tools/keysim/script.h"

namespace keysim {

class Runner {
 public:
  explicit Runner(std::ostream& out);
  ~Runner();

  // Checks every step without running any; the first malformed one is returned.
  std::optional<ScriptError> Check(const std::vector<Step>& steps);
  // Runs the steps in order, one result line each. Returns the process exit
  // code: 0, or 1 when an `expect` failed or the verifier reported a fault.
  int Run(const std::vector<Step>& steps);

 private:
  struct Outcome {
    bool ok = true;     // false: the step itself was malformed
    std::string error;  // why, when not ok
    bool hasStatus = false;
    uint32_t status = 0;
    bool hasBytes = false;
    std::vector<uint8_t> bytes;  // output bytes, printed in hex
    std::string note;            // anything else worth a word
  };
  using Handler = Outcome (Runner::*)(const Step&, bool execute);
  static Outcome Failed(std::string error);
  static const std::map<std::string, Handler>& Handlers();

  Outcome Key(const Step& step, bool execute);
  Outcome Plug(const Step& step, bool execute);
  Outcome Unplug(const Step& step, bool execute);
  Outcome Pnp(const Step& step, bool execute);
  Outcome Capabilities(const Step& step, bool execute);
  Outcome Power(const Step& step, bool execute);
  Outcome Open(const Step& step, bool execute);
  Outcome Close(const Step& step, bool execute);
  Outcome Read(const Step& step, bool execute);
  Outcome Write(const Step& step, bool execute);
  Outcome Ioctl(const Step& step, bool execute);
  Outcome Fault(const Step& step, bool execute);
  Outcome Trace(const Step& step, bool execute);
  Outcome Bus(const Step& step, bool execute);
  Outcome SystemControl(const Step& step, bool execute);
  Outcome Interfaces(const Step& step, bool execute);
  Outcome Changes(const Step& step, bool execute);
  Outcome Pool(const Step& step, bool execute);
  Outcome Expect(const Step& step, bool execute);

  // Names given by `key` and `open`, known while checking as well.
  bool KnownKey(const std::string& name) const;
  PDEVICE_OBJECT PdoOf(const std::string& name) const;
  // `<verb> <key>` and nothing else, naming a key defined earlier.
  bool NamesOneKey(const Step& step) const;
  // A `<verb> <key>` step that sends one request to the plugged key and
  // shows its status.
  Outcome SendToKey(const Step& step, bool execute, NTSTATUS (*send)(PDEVICE_OBJECT pdo));
  // `fault <what> <key> <name> [option=value ...]` for faults planned on one
  // key: `parse(name, options, &error)` reads the fault, and when the step
  // runs `plan(pdo, fault)` puts it on the plugged key.
  template <typename Parse, typename Plan>
  Outcome KeyFault(const Step& step, bool execute, const char* usage, Parse parse, Plan plan);

  std::ostream& out_;
  std::unique_ptr<KeyHost> host_;
  std::unique_ptr<sim::Client> client_;
  PDRIVER_OBJECT driver_ = nullptr;
  std::map<std::string, KeyDefinition> definitions_;
  std::map<std::string, PDEVICE_OBJECT> plugged_;
  // What the `bus` step shows of a key, also after its removal.
  struct BusView {
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT fdo = nullptr;  // ours, while AddDevice had made one
    uint64_t mark = 0;             // shown up to this sequence number
  };
  std::map<std::string, BusView> busViews_;
  std::map<std::string, HANDLE> handles_;
  std::vector<std::string> declaredHandles_;
  bool haveLast_ = false;
  uint32_t lastStatus_ = 0;
  int failures_ = 0;
};

}  // namespace keysim
