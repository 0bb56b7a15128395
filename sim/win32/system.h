// The simulated Windows system of one test: files, the INF store, the
// registry, loaded modules, standard output and a fault plan for every call.
// Constructing a System makes it the one the Win32 functions act on.
#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "sim/fault_rule.h"
#include "sim/win32/inf_models.h"
#include "sim/win32/win32.h"

namespace sim::win32 {

struct State;

// UTF-16 from ASCII/UTF-8 test text, and back (ASCII only).
std::u16string U(const std::string& text);
std::string Narrow(const std::u16string& text);
// A hardware-ID list as the bytes of a multi-string, and back (up to the
// empty string that ends it, or the end of the bytes).
std::vector<BYTE> MultiString(const std::vector<std::string>& strings);
std::vector<std::string> FromMultiString(const std::vector<BYTE>& bytes);

class System {
 public:
  System();
  ~System();
  System(const System&) = delete;
  System& operator=(const System&) = delete;

  static constexpr const char* kWindows = "C:\\Windows";
  // The Windows directory that GetSystemWindowsDirectoryW reports and under
  // which the INF store lives (kWindows unless a test chooses another).
  void SetWindowsDirectory(const std::string& path);
  std::string WindowsDirectory() const;
  // The folder setup.exe was started from: an installer's temporary folder.
  static constexpr const char* kProgramFolder = "C:\\Users\\Setup\\AppData\\Local\\Temp\\pkg";

  // Files, by full path; lookups ignore case, names keep the case they were made with.
  void PutFile(const std::string& path, const std::string& contents, bool readOnly = false);
  bool Exists(const std::string& path) const;
  void Lock(const std::string& path);  // in use: deleting it fails
  // A folder: searches report it with FILE_ATTRIBUTE_DIRECTORY, DeleteFileW
  // refuses it with ERROR_ACCESS_DENIED.
  void PutFolder(const std::string& path);
  // 8.3 short names, which a search matches as well as the long name (as on
  // a volume that makes them, the default for the system volume).
  void SetShortNames(bool on);
  // Every file: full path (as created) and contents; every registry key with
  // its values rendered as text. For comparing a system before and after.
  std::map<std::string, std::string> FileSnapshot() const;
  std::map<std::string, std::string> RegistrySnapshot() const;
  // Names of the files in a folder, in the order a search reports them.
  std::vector<std::string> Files(const std::string& folder) const;

  // An INF text with the given DriverVer (none when empty) and class, whose
  // models for x64 Windows 7 and later name the hardware IDs.
  static std::string Inf(const std::string& driverVer, const std::string& cls = "USB",
                         const std::vector<std::string>& hardwareIds = {});
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
  // The order RegEnumValueW reports a key's values in. Windows guarantees
  // none ("values are not ordered": RegEnumValueW); the default is the order
  // they were created in, which is what a key shows in practice.
  enum class ValueOrder { Created, Reversed };
  void SetValueOrder(ValueOrder order);

  // Modules: kernel32 and setupapi are loaded; newdev, cfgmgr32 and wintrust
  // can be loaded from the system folder. Each offers the entry points the
  // tool looks up. An entry point can be taken away, a
  // module made missing.
  void RemoveEntryPoint(const std::string& module, const std::string& name);
  void RemoveModule(const std::string& module);
  // A DLL of that name placed in the program's folder. A bare name given to
  // LoadLibraryW (or LoadLibraryExW without a search flag) finds it before
  // the system's own, as Windows' search order has it; loading it runs
  // foreign code, which the audit reports.
  void PlantModule(const std::string& module);
  int PlantedLoads() const;
  struct Load {
    std::string name;
    DWORD flags;  // LoadLibraryExW's; 0 for LoadLibraryW
    bool fromProgramFolder;
  };
  std::vector<Load> Loads() const;
  // Loads made by system code on the tool's behalf (the driver update loads
  // "wintrust").
  std::vector<Load> SystemLoads() const;
  // What SetDefaultDllDirectories was given (0: never called).
  DWORD DefaultDllDirectories() const;
  // Entry points looked up with GetProcAddress, in order.
  std::vector<std::string> Lookups() const;

  // The device tree. A device has an instance ID, a setup class, a hardware-ID
  // list (absent when `hardwareIds` is empty and `noList` is set) and is
  // present or not.
  struct Device {
    std::string instanceId;
    std::string className;
    std::vector<std::string> hardwareIds;
    bool noList = false;
    bool present = true;
    bool removeNeedsReboot = false;  // its removal sets DI_NEEDREBOOT
    bool removeFails = false;
    bool removeNeedsRestart = false;  // its removal sets DI_NEEDRESTART
    std::string parent{};             // instance ID: removed with its parent
    bool vanishes = false;            // gone from the tree once a set lists it
    bool inProfile = true;            // part of the current hardware profile
    // The SPDRP_HARDWAREID property exactly as stored; built from
    // hardwareIds when a device is added with it empty (and a list).
    std::vector<BYTE> property{};
  };
  void AddDevice(const Device& device);
  std::vector<Device> Devices() const;
  // The driver update of newdev: its result and whether it asks for a restart.
  // It installs on the devices of the tree that have the hardware ID as a
  // whole entry of their list (letters folded); none gives
  // ERROR_NO_SUCH_DEVINST, an INF path that names no file ERROR_FILE_NOT_FOUND,
  // an INF whose models for this system (inf_models.h) name none of those
  // devices' IDs ERROR_NO_COMPAT_DRIVERS.
  void SetDriverUpdate(bool succeeds, bool reboot);
  // The Windows version the system runs (Windows 10 22H2 workstation unless set).
  void SetOsVersion(const OsVersion& os);
  // SetupDiGetINFClassW as Wine has it: an INF with a class GUID succeeds
  // even when its class name does not fit, and then leaves the name buffer
  // as it was. (With a class GUID and no class name both give an empty name.)
  void SetInfClassLeavesBuffer(bool on);
  struct Update {
    std::string hardwareId, infPath;
    DWORD flags;
    int openSets;  // device information sets open while the update ran
  };
  std::vector<Update> Updates() const;
  // What cfgmgr32 answers to the locate and re-enumerate requests.
  void SetConfigManager(CONFIGRET locate, CONFIGRET reenumerate);
  // The node CM_Locate_DevNodeW gives for the root of the device tree.
  static constexpr DEVINST kRootNode = 0x5A01;
  struct ConfigCall {
    std::string function;  // "locate" or "reenumerate"
    DEVINST node;          // reenumerate: the node passed
    bool withId;           // locate: an instance ID was given
    DWORD flags;
  };
  std::vector<ConfigCall> ConfigCalls() const;
  // SetupDiGetClassDevsW calls: their flags, and whether a class, an
  // enumerator or a window was given.
  struct ClassDevsCall {
    DWORD flags;
    bool classGuid, enumerator, parent;
  };
  std::vector<ClassDevsCall> ClassDevsCalls() const;
  // SetupDiGetDeviceRegistryPropertyW calls: the buffer size passed and, for
  // a buffer that is a heap block, that block's size and whether it was all
  // zero when the call began (-1 and false for no buffer).
  struct PropertyRead {
    DWORD size;
    long long blockSize;
    bool zeroed;
  };
  std::vector<PropertyRead> PropertyReads() const;
  // SetupCopyOEMInfW calls, with every argument that is not the source.
  struct CopyOemCall {
    std::string source;
    bool mediaLocation;
    DWORD mediaType, copyStyle;
    bool destination;
    DWORD destinationSize;
    bool requiredSize, component;
  };
  std::vector<CopyOemCall> CopyOemCalls() const;
  // Modules loaded at run time and not yet freed.
  int LoadedModules() const;

  // The audit, like a driver verifier's, at the end of a run: every device
  // information set (with its elements), search handle, registry key,
  // loaded module and heap block still open, and every misuse seen since the
  // last audit (a handle used after its release, a block freed twice, foreign
  // code loaded). Empty when the run left the system clean. A release that
  // the fault plan fails still consumes its handle, as the handle table
  // does on Windows: the caller cannot release it again.
  std::vector<std::string> Audit();

  // Standard output: captured; closed gives INVALID_HANDLE_VALUE.
  void CloseStdout();
  const std::vector<uint8_t>& Stdout() const;
  int StdoutWrites() const;

  // The fault plan: calls of a function from now on fail with `error` by
  // `rule`. The plans for the function count a call in the order they were
  // made, up to the first that fails it.
  void Fail(const std::string& function, DWORD error, sim::FaultRule rule = {});
  // Every Win32 call made, by name, in order.
  std::vector<std::string> Calls() const;

  State& state() { return *state_; }

 private:
  State* state_;
};

// The current system (aborts when there is none).
System& Current();

}  // namespace sim::win32
