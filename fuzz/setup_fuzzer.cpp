// The setup tool's command line together with the contents of the INF
// folder, a service key and the device tree. Input: NUL-separated fields:
// the arguments, then, after an empty field, INF files as "name=contents",
// registry values as "@name=number", devices as "#" followed by the raw bytes
// of their hardware-ID property (any length, odd ones too; a byte 1 stands
// for 0) or "^" for a device below the one before (removed with it) or "~"
// for one that leaves the tree once a set lists it, "&path" for a key below
// the Services key (separators and all), "!" for Wine's class query (a
// class name that does not fit leaves the buffer as it was), and "%folder"
// for a Windows directory of C:\folder. C:\pkg\bus.inf has models for
// Root\B and Root\N. DLLs named newdev, cfgmgr32 and wintrust lie in the
// program's folder, and every file that a path cut at a ".inf" of the Windows
// directory would name exists. Every run must write
// one whole record, delete nothing outside the INF and drivers folders,
// change no key but the one service key -s names, name no device from an
// empty class name, and leave the system clean by its audit: nothing open,
// nothing misused, no foreign code.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "setup/drv_pnp.h"
#include "sim/win32/system.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> fields(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0)
      fields.emplace_back();
    else
      fields.back().push_back(static_cast<char>(data[i]));
  }
  sim::win32::System system;
  system.PlantModule("newdev");
  system.PlantModule("cfgmgr32");
  system.PlantModule("wintrust");
  system.PutFile("C:\\pkg\\bus.inf",
                 sim::win32::System::Inf("1.0", "System", {"Root\\B", "Root\\N"}));
  const std::string key = "SYSTEM\\CurrentControlSet\\Services\\svc";
  system.CreateKey(key);
  std::vector<std::u16string> args = {u"setup.exe"};
  bool files = false;
  int devices = 0;
  for (const auto& f : fields) {
    if (!files && f.empty()) {
      files = true;
      continue;
    }
    if (!files) {
      args.push_back(sim::win32::U(f));
      continue;
    }
    if (!f.empty() && (f[0] == '#' || f[0] == '^' || f[0] == '~')) {
      sim::win32::System::Device device{"R\\" + std::to_string(devices++), "System", {}};
      for (size_t i = 1; i < f.size(); ++i)
        device.property.push_back(f[i] == 1 ? 0 : static_cast<BYTE>(f[i]));
      device.noList = f.size() == 1;
      if (f[0] == '^' && devices > 1)
        device.parent = "R\\" + std::to_string(devices - 2);
      device.vanishes = f[0] == '~';
      system.AddDevice(device);
      continue;
    }
    if (f == "!") {
      system.SetInfClassLeavesBuffer(true);
      continue;
    }
    if (!f.empty() && f[0] == '&') {
      system.CreateKey("SYSTEM\\CurrentControlSet\\Services\\" + f.substr(1));
      continue;
    }
    if (!f.empty() && f[0] == '%' && f.find_first_of("*?") == std::string::npos) {
      system.SetWindowsDirectory("C:\\" + f.substr(1));
      continue;
    }
    const size_t eq = f.find('=');
    if (eq == std::string::npos || eq == 0)
      continue;
    if (f[0] == '@')
      system.PutDword(key, f.substr(1, eq - 1), static_cast<DWORD>(std::atoi(f.c_str() + eq + 1)));
    else if (f.find_first_of("\\/:") == std::string::npos)
      system.PutFile(system.WindowsDirectory() + "\\inf\\" + f.substr(0, eq), f.substr(eq + 1));
  }
  // Bait: what a precompiled-file rule that cut the whole path would delete.
  const std::string windows = system.WindowsDirectory();
  for (size_t at = windows.find(".inf"); at != std::string::npos; at = windows.find(".inf", at + 1))
    system.PutFile(windows.substr(0, at) + ".pnf", "bait");
  const auto before = system.FileSnapshot();
  const auto keysBefore = system.RegistrySnapshot();
  std::vector<WCHAR*> argv;
  for (auto& a : args)
    argv.push_back(reinterpret_cast<WCHAR*>(a.data()));
  argv.push_back(nullptr);
  const int exit = SetupMain(static_cast<int>(args.size()), argv.data());
  // A record is always written, whole, in one write.
  if (exit != 0 || system.Stdout().size() != 524 || system.StdoutWrites() != 1)
    std::abort();
  // Only files of the INF and drivers folders may go.
  const auto after = system.FileSnapshot();
  auto lower = [](std::string text) {
    for (auto& c : text)
      c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
  };
  const std::string inf = lower(windows + "\\inf\\");
  const std::string drivers = lower(windows + "\\system32\\drivers\\");
  for (const auto& [path, contents] : before) {
    const std::string p = lower(path);
    if (!after.count(path) && p.rfind(inf, 0) != 0 && p.rfind(drivers, 0) != 0) {
      std::fprintf(stderr, "deleted outside the INF and drivers folders: %s\n", path.c_str());
      std::abort();
    }
  }
  // -s writes only under the key of a service name that is no path.
  const std::string service =
      args.size() == 5 && args[1] == u"-s" ? sim::win32::Narrow(args[2]) : "";
  const std::string serviceKey =
      service.empty() || service.find_first_of("\\/") != std::string::npos
          ? std::string()
          : lower("system\\currentcontrolset\\services\\" + service);
  const auto keysAfter = system.RegistrySnapshot();
  for (const auto& [name, values] : keysAfter) {
    if (name != serviceKey && (!keysBefore.count(name) || keysBefore.at(name) != values)) {
      std::fprintf(stderr, "registry key changed: %s\n", name.c_str());
      std::abort();
    }
  }
  // A device is never named from a class name that was not written.
  for (const auto& device : system.Devices()) {
    if (device.className.empty()) {
      std::fprintf(stderr, "device named from no class name: %s\n", device.instanceId.c_str());
      std::abort();
    }
  }
  const std::vector<std::string> audit = system.Audit();
  for (const auto& finding : audit)
    std::fprintf(stderr, "audit: %s\n", finding.c_str());
  if (!audit.empty())
    std::abort();
  return 0;
}
