// The simulated Windows system of one test: files, the INF store, the
// registry, loaded modules, standard output and a fault plan for every call.
// Constructing a System makes it the one the Win32 functions act on.
#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "sim/win32/win32.h"

namespace sim::win32 {

struct State;

// UTF-16 from ASCII/UTF-8 test text, and back (ASCII only).
std::u16string U(const std::string& text);
std::string Narrow(const std::u16string& text);

class System {
 public:
  System();
  ~System();
  System(const System&) = delete;
  System& operator=(const System&) = delete;

  static constexpr const char* kWindows = "C:\\Windows";

  // Files, by full path; lookups ignore case, names keep the case they were made with.
  void PutFile(const std::string& path, const std::string& contents, bool readOnly = false);
  bool Exists(const std::string& path) const;
  std::string Contents(const std::string& path) const;
  void Lock(const std::string& path);  // in use: deleting it fails
  // Every file: full path (as created) and contents; every registry key with
  // its values rendered as text. For comparing a system before and after.
  std::map<std::string, std::string> FileSnapshot() const;
  std::map<std::string, std::string> RegistrySnapshot() const;
  // Names of the files in a folder, in the order a search reports them.
  std::vector<std::string> Files(const std::string& folder) const;

  // An INF text with the given DriverVer (none when empty) and class.
  static std::string Inf(const std::string& driverVer, const std::string& cls = "USB");
  // An INF in the store as SetupCopyOEMInfW leaves it: name.inf and its .pnf
  // recording the original name.
  void PutStoredInf(const std::string& name, const std::string& originalName,
                    const std::string& contents);

  // Registry below HKEY_LOCAL_MACHINE.
  struct Value {
    std::u16string name;
    DWORD type;
    std::vector<BYTE> data;
  };
  void CreateKey(const std::string& path);
  void PutValue(const std::string& key, const std::u16string& name, DWORD type,
                const std::vector<BYTE>& data);
  void PutDword(const std::string& key, const std::string& name, DWORD value);
  std::optional<Value> GetValue(const std::string& key, const std::string& name) const;
  std::vector<Value> Values(const std::string& key) const;

  // Modules: kernel32, setupapi and advapi32 are loaded; newdev and cfgmgr32
  // can be loaded. An entry point can be taken away, a module made missing.
  void RemoveEntryPoint(const std::string& module, const std::string& name);
  void RemoveModule(const std::string& module);

  // The device tree. A device has an instance ID, a setup class, a hardware-ID
  // list (absent when `hardwareIds` is empty and `noList` is set) and is
  // present or not.
  struct Device {
    std::string instanceId;
    std::string className;
    std::vector<std::string> hardwareIds;
    bool noList = false;
    bool present = true;
    bool removeNeedsReboot = false;  // its removal asks for a restart
    bool removeFails = false;
  };
  void AddDevice(const Device& device);
  std::vector<Device> Devices() const;
  // The driver update of newdev: its result and whether it asks for a restart.
  void SetDriverUpdate(bool succeeds, bool reboot);
  struct Update {
    std::string hardwareId, infPath;
    DWORD flags;
  };
  std::vector<Update> Updates() const;
  // What cfgmgr32 answers to the locate and re-enumerate requests.
  void SetConfigManager(CONFIGRET locate, CONFIGRET reenumerate);
  // Modules loaded at run time and not yet freed.
  int LoadedModules() const;

  // Standard output: captured; closed gives INVALID_HANDLE_VALUE.
  void CloseStdout();
  const std::vector<uint8_t>& Stdout() const;
  int StdoutWrites() const;

  // The fault plan: the nth call (1-based, counted from now) of a function
  // and the `count - 1` after it fail with `error`.
  void Fail(const std::string& function, DWORD error, int nth = 1, int count = 1);
  // Every Win32 call made, by name, in order.
  std::vector<std::string> Calls() const;

  State& state() { return *state_; }

 private:
  State* state_;
};

// The current system (aborts when there is none).
System& Current();

}  // namespace sim::win32
