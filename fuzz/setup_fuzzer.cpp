// The setup tool's command line together with the contents of the INF
// folder and a service key. Input: NUL-separated fields: the arguments,
// then, after an empty field, INF files as "name=contents" and registry
// values as "@name=number".
#include <cstdint>
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
  const std::string key = "SYSTEM\\CurrentControlSet\\Services\\svc";
  system.CreateKey(key);
  std::vector<std::u16string> args = {u"setup.exe"};
  bool files = false;
  for (const auto& f : fields) {
    if (!files && f.empty()) {
      files = true;
      continue;
    }
    if (!files) {
      args.push_back(sim::win32::U(f));
      continue;
    }
    const size_t eq = f.find('=');
    if (eq == std::string::npos || eq == 0)
      continue;
    if (f[0] == '@')
      system.PutDword(key, f.substr(1, eq - 1), static_cast<DWORD>(std::atoi(f.c_str() + eq + 1)));
    else if (f.find_first_of("\\/:") == std::string::npos)
      system.PutFile(std::string(sim::win32::System::kWindows) + "\\inf\\" + f.substr(0, eq),
                     f.substr(eq + 1));
  }
  std::vector<WCHAR*> argv;
  for (auto& a : args)
    argv.push_back(reinterpret_cast<WCHAR*>(a.data()));
  argv.push_back(nullptr);
  const int exit = SetupMain(static_cast<int>(args.size()), argv.data());
  // A record is always written, whole, in one write.
  if (exit != 0 || system.Stdout().size() != 524 || system.StdoutWrites() != 1)
    std::abort();
  return 0;
}
