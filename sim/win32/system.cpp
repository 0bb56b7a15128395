// The simulated Windows system: state, test-side operations, fault plan.
#include "sim/win32/system.h"

#include <cstdio>
#include <cstdlib>

#include "sim/win32/state.h"

namespace sim::win32 {

std::u16string U(const std::string& text) {
  std::u16string out;
  for (unsigned char c : text)
    out.push_back(c);
  return out;
}

std::string Narrow(const std::u16string& text) {
  std::string out;
  for (char16_t c : text)
    out.push_back(c < 128 ? static_cast<char>(c) : '?');
  return out;
}

std::u16string Lower(const std::u16string& text) {
  std::u16string out = text;
  for (auto& c : out)
    if (c >= u'A' && c <= u'Z')
      c = static_cast<char16_t>(c - u'A' + u'a');
  return out;
}

namespace {
System* gCurrent = nullptr;
}

System& Current() {
  if (!gCurrent) {
    std::fprintf(stderr, "sim::win32: no System in this test\n");
    std::abort();
  }
  return *gCurrent;
}

State& S() {
  return Current().state();
}

System::System() : state_(new State) {
  gCurrent = this;
  state_->modules = {
      {u"kernel32",
       {"GetSystemWindowsDirectoryW", "GetModuleHandleW", "GetProcAddress", "LoadLibraryW",
        "FreeLibrary"},
       true},
      {u"setupapi",
       {"SetupQueryInfOriginalFileInformationW", "SetupCopyOEMInfW", "SetupGetInfInformationW",
        "SetupQueryInfVersionInformationW"},
       true},
      {u"advapi32", {"RegOpenKeyW", "RegEnumValueW", "RegQueryValueExW", "RegSetValueExW"}, true},
      {u"newdev", {"UpdateDriverForPlugAndPlayDevicesW"}, true},
      {u"cfgmgr32", {"CM_Locate_DevNodeW", "CM_Reenumerate_DevNode"}, true},
  };
  CreateKey("SYSTEM\\CurrentControlSet\\Services");
}

System::~System() {
  if (gCurrent == this)
    gCurrent = nullptr;
  delete state_;
}

void System::PutFile(const std::string& path, const std::string& contents, bool readOnly) {
  state_->files[Lower(U(path))] = File{U(path), contents, readOnly, false};
}

bool System::Exists(const std::string& path) const {
  return state_->files.count(Lower(U(path))) > 0;
}

std::string System::Contents(const std::string& path) const {
  auto it = state_->files.find(Lower(U(path)));
  return it == state_->files.end() ? std::string() : it->second.contents;
}

std::map<std::string, std::string> System::FileSnapshot() const {
  std::map<std::string, std::string> files;
  for (const auto& [key, file] : state_->files)
    files[Narrow(file.path)] = file.contents;
  return files;
}

std::map<std::string, std::string> System::RegistrySnapshot() const {
  std::map<std::string, std::string> keys;
  for (const auto& [key, values] : state_->keys) {
    std::string text;
    for (const auto& v : values) {
      text += Narrow(v.name) + ":" + std::to_string(v.type) + ":";
      for (BYTE b : v.data)
        text += std::to_string(b) + ",";
      text += ";";
    }
    keys[Narrow(key)] = text;
  }
  return keys;
}

void System::Lock(const std::string& path) {
  auto it = state_->files.find(Lower(U(path)));
  if (it != state_->files.end())
    it->second.locked = true;
}

std::vector<std::string> System::Files(const std::string& folder) const {
  std::vector<std::string> names;
  for (const auto& [key, file] : state_->files) {
    std::u16string dir, name;
    SplitPath(file.path, &dir, &name);
    if (Lower(dir) == Lower(U(folder)))
      names.push_back(Narrow(name));
  }
  return names;
}

std::string System::Inf(const std::string& driverVer, const std::string& cls) {
  std::string text = "; test package\r\n[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=" + cls +
                     "\r\nClassGuid={36FC9E60-C465-11CF-8056-444553540000}\r\n";
  if (!driverVer.empty())
    text += "DriverVer=" + driverVer + "\r\n";
  return text + "\r\n[Manufacturer]\r\n%Vendor%=Models,NTamd64\r\n";
}

void System::PutStoredInf(const std::string& name, const std::string& originalName,
                          const std::string& contents) {
  const std::string folder = std::string(kWindows) + "\\inf\\";
  PutFile(folder + name, contents);
  const std::string stem = name.substr(0, name.rfind('.'));
  PutFile(folder + stem + ".pnf", "PNF\noriginal=" + originalName + "\n");
}

void System::CreateKey(const std::string& path) {
  state_->keys[Lower(U(path))];
}

void System::PutValue(const std::string& key, const std::u16string& name, DWORD type,
                      const std::vector<BYTE>& data) {
  auto& values = state_->keys[Lower(U(key))];
  for (auto& v : values) {
    if (Lower(v.name) == Lower(name)) {
      v.type = type;
      v.data = data;
      return;
    }
  }
  values.push_back({name, type, data});
}

void System::PutDword(const std::string& key, const std::string& name, DWORD value) {
  PutValue(key, U(name), REG_DWORD,
           {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8), static_cast<BYTE>(value >> 16),
            static_cast<BYTE>(value >> 24)});
}

std::optional<System::Value> System::GetValue(const std::string& key,
                                              const std::string& name) const {
  auto it = state_->keys.find(Lower(U(key)));
  if (it == state_->keys.end())
    return std::nullopt;
  for (const auto& v : it->second)
    if (Lower(v.name) == Lower(U(name)))
      return v;
  return std::nullopt;
}

std::vector<System::Value> System::Values(const std::string& key) const {
  auto it = state_->keys.find(Lower(U(key)));
  return it == state_->keys.end() ? std::vector<Value>() : it->second;
}

void System::RemoveEntryPoint(const std::string& module, const std::string& name) {
  for (auto& m : state_->modules)
    if (m.name == Lower(U(module)))
      m.entries.erase(name);
}

void System::RemoveModule(const std::string& module) {
  for (auto& m : state_->modules)
    if (m.name == Lower(U(module)))
      m.present = false;
}

void System::AddDevice(const Device& device) {
  state_->devices.push_back(device);
  state_->gone.push_back(false);
}

std::vector<System::Device> System::Devices() const {
  std::vector<Device> live;
  for (size_t i = 0; i < state_->devices.size(); ++i)
    if (!state_->gone[i])
      live.push_back(state_->devices[i]);
  return live;
}

void System::SetDriverUpdate(bool succeeds, bool reboot) {
  state_->updateSucceeds = succeeds;
  state_->updateReboot = reboot;
}

std::vector<System::Update> System::Updates() const {
  return state_->updates;
}

void System::SetConfigManager(CONFIGRET locate, CONFIGRET reenumerate) {
  state_->locate = locate;
  state_->reenumerate = reenumerate;
}

int System::LoadedModules() const {
  return state_->loaded;
}

void System::CloseStdout() {
  state_->stdoutOpen = false;
}
const std::vector<uint8_t>& System::Stdout() const {
  return state_->stdoutBytes;
}
int System::StdoutWrites() const {
  return state_->stdoutWrites;
}

void System::Fail(const std::string& function, DWORD error, int nth, int count) {
  state_->faults.push_back({function, error, nth, count});
}

std::vector<std::string> System::Calls() const {
  return state_->calls;
}

bool Enter(const char* function) {
  State& s = S();
  s.calls.push_back(function);
  for (auto& f : s.faults) {
    if (f.function != function || f.count <= 0)
      continue;
    if (--f.nth > 0)
      continue;
    --f.count;
    f.nth = 1;
    s.lastError = f.error;
    return false;
  }
  return true;
}

void SplitPath(const std::u16string& path, std::u16string* dir, std::u16string* name) {
  const size_t slash = path.find_last_of(u"\\/");
  *dir = slash == std::u16string::npos ? std::u16string() : path.substr(0, slash);
  *name = slash == std::u16string::npos ? path : path.substr(slash + 1);
}

std::u16string FromW(const WCHAR* text) {
  std::u16string out;
  if (text)
    for (const WCHAR* p = text; *p; ++p)
      out.push_back(static_cast<char16_t>(*p));
  return out;
}

bool ToW(const std::u16string& text, WCHAR* buffer, size_t capacity) {
  if (text.size() + 1 > capacity)
    return false;
  for (size_t i = 0; i < text.size(); ++i)
    buffer[i] = static_cast<WCHAR>(text[i]);
  buffer[text.size()] = 0;
  return true;
}

}  // namespace sim::win32
