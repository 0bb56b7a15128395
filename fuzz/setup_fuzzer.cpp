// The setup tool's command line together with the contents of the INF
// folder, a service key and the device tree. Input: NUL-separated fields:
// the arguments, then, after an empty field, INF files as "name=contents",
// registry values as "@name=number", devices as "#" followed by the raw bytes
// of their hardware-ID property (any length, odd ones too; a byte 1 stands
// for 0), and "%folder" for a Windows directory of C:\folder. DLLs named
// newdev and cfgmgr32 lie in the program's folder, and every file that a
// path cut at a ".inf" of the Windows directory would name exists. Every run
// must write one whole record, delete nothing outside the INF and drivers
// folders, and leave the system clean by its audit: nothing open, nothing
// misused, no foreign code.
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
  system.PutFile("C:\\pkg\\bus.inf", sim::win32::System::Inf("1.0", "System"));
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
    if (!f.empty() && f[0] == '#') {
      sim::win32::System::Device device{"R\\" + std::to_string(devices++), "System", {}};
      for (size_t i = 1; i < f.size(); ++i)
        device.property.push_back(f[i] == 1 ? 0 : static_cast<BYTE>(f[i]));
      device.noList = f.size() == 1;
      system.AddDevice(device);
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
  const std::vector<std::string> audit = system.Audit();
  for (const auto& finding : audit)
    std::fprintf(stderr, "audit: %s\n", finding.c_str());
  if (!audit.empty())
    std::abort();
  return 0;
}
