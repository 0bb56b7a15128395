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

namespace {

// Pairs of a block where the capital is even and the small letter odd, or
// the other way round.
struct PairBlock {
  char16_t first, last;
  bool smallIsOdd;
};
constexpr PairBlock kPairs[] = {
    {0x0100, 0x012F, true}, {0x0132, 0x0137, true},  {0x0139, 0x0148, false},
    {0x014A, 0x0177, true}, {0x0179, 0x017E, false}, {0x01DE, 0x01EF, true},
    {0x01F8, 0x021F, true}, {0x0460, 0x0481, true},  {0x048A, 0x04BF, true},
    {0x04D0, 0x052F, true}, {0x1E00, 0x1E95, true},  {0x1EA0, 0x1EFF, true},
};

// Runs of small letters a fixed distance above their capitals.
struct ShiftBlock {
  char16_t first, last;
  char16_t distance;
};
constexpr ShiftBlock kShifts[] = {
    {u'a', u'z', 0x20},     {0x00E0, 0x00F6, 0x20}, {0x00F8, 0x00FE, 0x20}, {0x03B1, 0x03C1, 0x20},
    {0x03C3, 0x03CB, 0x20}, {0x03AD, 0x03AF, 0x25}, {0x03CD, 0x03CE, 0x3F}, {0x0430, 0x044F, 0x20},
    {0x0450, 0x045F, 0x50}, {0x0561, 0x0586, 0x30}, {0x24D0, 0x24E9, 0x1A}, {0xFF41, 0xFF5A, 0x20},
};

System* gCurrent = nullptr;

}  // namespace

// The system's upper-case table for the letters of the scripts a name is
// likely to hold: Latin with its extensions, Greek, Cyrillic, Armenian,
// circled and full-width letters. Letters without a single capital (the
// dotless i, the long s, the sharp s) stay as they are, as in the table
// Windows compares names with.
char16_t Upcase(char16_t c) {
  for (const auto& b : kShifts)
    if (c >= b.first && c <= b.last)
      return static_cast<char16_t>(c - b.distance);
  for (const auto& b : kPairs)
    if (c >= b.first && c <= b.last && ((c & 1) != 0) == b.smallIsOdd)
      return static_cast<char16_t>(c - 1);
  switch (c) {
    case 0x00FF:
      return 0x0178;
    case 0x03AC:
      return 0x0386;
    case 0x03C2:
      return 0x03A3;
    case 0x03CC:
      return 0x038C;
    default:
      return c;
  }
}

std::u16string Lower(const std::u16string& text) {
  std::u16string out = text;
  for (auto& c : out) {
    c = Upcase(c);
    if (c >= u'A' && c <= u'Z')
      c = static_cast<char16_t>(c - u'A' + u'a');
  }
  return out;
}

std::u16string NormalPath(const std::u16string& path) {
  std::u16string out;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find_first_of(u"\\/", start);
    const bool last = end == std::u16string::npos;
    if (last)
      end = path.size();
    std::u16string part = path.substr(start, end - start);
    const bool dots = part.find_first_not_of(u'.') == std::u16string::npos;
    if (!dots && part.find_first_of(u"*?") == std::u16string::npos) {
      if (last) {
        while (!part.empty() && (part.back() == u'.' || part.back() == u' '))
          part.pop_back();
      } else if (part.back() == u'.') {
        part.pop_back();
      }
    }
    out += part;
    if (last)
      break;
    out.push_back(path[end]);
    start = end + 1;
  }
  return out;
}

std::u16string FileKey(const std::u16string& path) {
  return Lower(NormalPath(path));
}

const File* FindFile(const std::u16string& path) {
  auto it = S().files.find(FileKey(path));
  return it == S().files.end() || it->second.folder ? nullptr : &it->second;
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
      {u"kernel32", {"GetSystemWindowsDirectoryW", "SetDefaultDllDirectories"}, true},
      {u"setupapi", {"SetupQueryInfOriginalFileInformationW", "SetupCopyOEMInfW"}, true},
      {u"newdev", {"UpdateDriverForPlugAndPlayDevicesW"}, true},
      {u"cfgmgr32", {"CM_Locate_DevNodeW", "CM_Reenumerate_DevNode"}, true},
      {u"wintrust", {}, true},
  };
  CreateKey("SYSTEM\\CurrentControlSet\\Services");
}

System::~System() {
  if (gCurrent == this)
    gCurrent = nullptr;
  for (auto& [block, size] : state_->heap)
    std::free(block);
  delete state_;
}

void System::SetWindowsDirectory(const std::string& path) {
  state_->windowsDir = U(path);
}

std::string System::WindowsDirectory() const {
  return Narrow(state_->windowsDir);
}

std::u16string InfFolder() {
  return S().windowsDir + u"\\inf\\";
}

void System::PutFile(const std::string& path, const std::string& contents, bool readOnly) {
  state_->files[Lower(U(path))] = File{U(path), contents, readOnly, false};
}

bool System::Exists(const std::string& path) const {
  return state_->files.count(Lower(U(path))) > 0;
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

void System::PutFolder(const std::string& path) {
  File folder{U(path), "", false, false};
  folder.folder = true;
  state_->files[Lower(U(path))] = folder;
}

void System::SetShortNames(bool on) {
  state_->shortNames = on;
}

void System::SetValueOrder(ValueOrder order) {
  state_->valueOrder = order;
}

void System::SetInfClassLeavesBuffer(bool on) {
  state_->infClassLeavesBuffer = on;
}

std::vector<System::Load> System::SystemLoads() const {
  return state_->systemLoads;
}

DWORD System::DefaultDllDirectories() const {
  return state_->dllDirectories;
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

std::string System::Inf(const std::string& driverVer, const std::string& cls,
                        const std::vector<std::string>& hardwareIds) {
  std::string text = "; test package\r\n[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=" + cls +
                     "\r\nClassGuid={36FC9E60-C465-11CF-8056-444553540000}\r\n";
  if (!driverVer.empty())
    text += "DriverVer=" + driverVer + "\r\n";
  text += "\r\n[Manufacturer]\r\n%Vendor%=Models,NTamd64.6.1\r\n\r\n[Models.NTamd64.6.1]\r\n";
  for (const std::string& id : hardwareIds)
    text += "%Device%=Install," + id + "\r\n";
  return text;
}

void System::PutStoredInf(const std::string& name, const std::string& originalName,
                          const std::string& contents) {
  const std::string folder = WindowsDirectory() + "\\inf\\";
  PutFile(folder + name, contents);
  const std::string stem = name.substr(0, name.rfind('.'));
  PutFile(folder + stem + ".pnf", "PNF\noriginal=" + originalName + "\n");
}

// A key with every key above it, as the registry holds them.
void System::CreateKey(const std::string& path) {
  std::u16string key;
  for (char16_t c : Lower(U(path)))
    if (c != u'\\' || (!key.empty() && key.back() != u'\\'))
      key.push_back(c);  // one separator between names, none first
  if (!key.empty() && key.back() == u'\\')
    key.pop_back();
  for (size_t at = key.find(u'\\'); at != std::u16string::npos; at = key.find(u'\\', at + 1))
    state_->keys[key.substr(0, at)];
  state_->keys[key];
}

void System::PutValue(const std::string& key, const std::u16string& name, DWORD type,
                      const std::vector<BYTE>& data) {
  CreateKey(key);
  SetValue(&state_->keys[Lower(U(key))], {name, type, data});
}

const System::Value* FindValue(const std::vector<System::Value>& values,
                               const std::u16string& name) {
  for (const auto& v : values)
    if (Lower(v.name) == Lower(name))
      return &v;
  return nullptr;
}

void SetValue(std::vector<System::Value>* values, const System::Value& value) {
  for (auto& v : *values) {
    if (Lower(v.name) == Lower(value.name)) {
      v.type = value.type;
      v.data = value.data;
      return;
    }
  }
  values->push_back(value);
}

void System::PutDword(const std::string& key, const std::string& name, DWORD value) {
  PutValue(key, U(name), REG_DWORD,
           {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8), static_cast<BYTE>(value >> 16),
            static_cast<BYTE>(value >> 24)});
}

std::optional<System::Value> System::GetValue(const std::string& key,
                                              const std::string& name) const {
  auto it = state_->keys.find(Lower(U(key)));
  const Value* v = it == state_->keys.end() ? nullptr : FindValue(it->second, U(name));
  return v ? std::optional<Value>(*v) : std::nullopt;
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

void System::PlantModule(const std::string& module) {
  const std::u16string name = Lower(U(module));
  PutFile(std::string(kProgramFolder) + "\\" + module + ".dll", "MZ");
  for (const auto& m : state_->modules) {
    if (m.name == name && !m.planted) {
      Module planted = m;
      planted.planted = true;
      planted.present = true;
      planted.references = 0;
      state_->modules.push_back(planted);
      return;
    }
  }
}

int System::PlantedLoads() const {
  return state_->plantedLoads;
}

std::vector<System::Load> System::Loads() const {
  return state_->loads;
}

std::vector<std::string> System::Lookups() const {
  return state_->lookups;
}

void System::AddDevice(const Device& device) {
  Device added = device;
  if (added.property.empty() && !added.noList)
    added.property = MultiString(added.hardwareIds);
  state_->devices.push_back(added);
  state_->gone.push_back(false);
  state_->installFlags.push_back(0);
}

std::vector<System::Device> System::Devices() const {
  std::vector<Device> live;
  for (size_t i = 0; i < state_->devices.size(); ++i) {
    if (state_->gone[i])
      continue;
    Device d = state_->devices[i];
    d.hardwareIds = FromMultiString(d.property);
    live.push_back(d);
  }
  return live;
}

std::vector<BYTE> MultiString(const std::vector<std::string>& strings) {
  std::vector<BYTE> bytes;
  for (const auto& s : strings) {
    for (char c : s) {
      bytes.push_back(static_cast<BYTE>(c));
      bytes.push_back(0);
    }
    bytes.push_back(0);
    bytes.push_back(0);
  }
  bytes.push_back(0);
  bytes.push_back(0);
  return bytes;
}

std::vector<std::string> FromMultiString(const std::vector<BYTE>& bytes) {
  std::vector<std::string> strings;
  std::string current;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const uint16_t unit = static_cast<uint16_t>(bytes[i] | bytes[i + 1] << 8);
    if (unit == 0) {
      if (current.empty())
        return strings;
      strings.push_back(current);
      current.clear();
    } else {
      current.push_back(unit < 128 ? static_cast<char>(unit) : '?');
    }
  }
  if (!current.empty())
    strings.push_back(current);  // a list that ends without its NUL
  return strings;
}

void System::SetOsVersion(const OsVersion& os) {
  state_->os = os;
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

std::vector<System::ConfigCall> System::ConfigCalls() const {
  return state_->configCalls;
}

std::vector<System::ClassDevsCall> System::ClassDevsCalls() const {
  return state_->classDevsCalls;
}

std::vector<System::PropertyRead> System::PropertyReads() const {
  return state_->propertyReads;
}

std::vector<System::CopyOemCall> System::CopyOemCalls() const {
  return state_->copyOemCalls;
}

int System::LoadedModules() const {
  int loaded = 0;
  for (const auto& m : state_->modules)
    loaded += m.references;
  return loaded;
}

std::vector<std::string> System::Audit() {
  std::vector<std::string> found = state_->violations;
  state_->violations.clear();
  for (const auto& [id, set] : state_->sets)
    found.push_back(std::string(set.list ? "device information list" : "device information set") +
                    " " + std::to_string(id) + " not destroyed (" +
                    std::to_string(set.list ? set.elements : set.members.size()) + " elements)");
  for (const auto& [id, search] : state_->searches)
    found.push_back("search handle " + std::to_string(id) + " not closed");
  for (const auto& [id, key] : state_->openKeys)
    found.push_back("registry key " + Narrow(key) + " not closed");
  for (const auto& m : state_->modules)
    if (m.references > 0)
      found.push_back("module " + Narrow(m.name) + " left loaded (" + std::to_string(m.references) +
                      " references)");
  for (const auto& [block, size] : state_->heap)
    found.push_back("heap block of " + std::to_string(size) + " bytes not freed");
  return found;
}

void Violation(const std::string& what) {
  S().violations.push_back(what);
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

void System::Fail(const std::string& function, DWORD error, sim::FaultRule rule) {
  state_->faults.push_back({function, error, rule});
}

std::vector<std::string> System::Calls() const {
  return state_->calls;
}

bool Enter(const char* function) {
  State& s = S();
  s.calls.push_back(function);
  for (auto& f : s.faults) {
    if (f.function != function || !f.rule.Take())
      continue;
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
