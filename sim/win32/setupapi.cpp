// setupapi on the simulated system: the INF store and INF queries.
#include <cstring>

#include "sim/win32/state.h"

using namespace sim::win32;

namespace {

bool IsInf(const std::string& text) {
  return Lower(text).find("[version]") != std::string::npos;
}

std::u16string InfoPath(PSP_INF_INFORMATION info) {
  return FromW(reinterpret_cast<const WCHAR*>(info->VersionData));
}

std::u16string PnfOf(const std::u16string& path) {
  const size_t dot = path.find_last_of(u'.');
  return (dot == std::u16string::npos ? path : path.substr(0, dot)) + u".pnf";
}

}  // namespace

bool sim::win32::VersionKey(const std::string& text, const std::string& key, std::string* value) {
  bool inVersion = false;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos)
      end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    const size_t comment = line.find(';');
    if (comment != std::string::npos)
      line = line.substr(0, comment);
    line = Trim(line);
    if (line.empty())
      continue;
    if (line[0] == '[') {
      inVersion = Lower(line) == "[version]";
      continue;
    }
    const size_t eq = line.find('=');
    if (!inVersion || eq == std::string::npos || Lower(Trim(line.substr(0, eq))) != Lower(key))
      continue;
    std::string v = Trim(line.substr(eq + 1));
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"')
      v = v.substr(1, v.size() - 2);
    *value = v;
    return true;
  }
  return false;
}

BOOL WINAPI SetupGetInfInformationW(LPCVOID infSpec, DWORD control, PSP_INF_INFORMATION buffer,
                                    DWORD size, PDWORD required) {
  if (!Enter("SetupGetInfInformationW"))
    return FALSE;
  const std::u16string path = FromW(static_cast<const WCHAR*>(infSpec));
  const File* file = FindFile(path);
  if (control != INFINFO_INF_NAME_IS_ABSOLUTE || !file)
    return Fail(ERROR_FILE_NOT_FOUND);
  if (!IsInf(file->contents))
    return Fail(ERROR_INVALID_DATA);
  const DWORD need =
      static_cast<DWORD>(offsetof(SP_INF_INFORMATION, VersionData) + (path.size() + 1) * 2);
  if (required)
    *required = need;
  if (!buffer && size == 0)
    return TRUE;
  if (!buffer || size < need)
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  buffer->InfStyle = 2;  // INF_STYLE_WIN4
  buffer->InfCount = 1;
  ToW(path, reinterpret_cast<WCHAR*>(buffer->VersionData), path.size() + 1);
  return TRUE;
}

BOOL WINAPI SetupQueryInfOriginalFileInformationW(PSP_INF_INFORMATION info, UINT index,
                                                  PSP_ALTPLATFORM_INFO,
                                                  PSP_ORIGINAL_FILE_INFO_W original) {
  if (!Enter("SetupQueryInfOriginalFileInformationW"))
    return FALSE;
  if (!info || index != 0 || !original || original->cbSize != sizeof(SP_ORIGINAL_FILE_INFO_W))
    return Fail(ERROR_INVALID_PARAMETER);
  const std::u16string path = InfoPath(info);
  std::u16string dir, name;
  SplitPath(path, &dir, &name);
  // A copy in the store keeps its original name in its precompiled file.
  if (const File* pnf = FindFile(PnfOf(path))) {
    const size_t at = pnf->contents.find("original=");
    if (at != std::string::npos) {
      const size_t end = pnf->contents.find('\n', at);
      name = U(pnf->contents.substr(at + 9, end - at - 9));
    }
  }
  ToW(name, original->OriginalInfName, MAX_PATH);
  original->OriginalCatalogName[0] = 0;
  return TRUE;
}

BOOL WINAPI SetupQueryInfVersionInformationW(PSP_INF_INFORMATION info, UINT index, PCWSTR key,
                                             PWSTR buffer, DWORD size, PDWORD required) {
  if (!Enter("SetupQueryInfVersionInformationW"))
    return FALSE;
  const File* file = info && index == 0 ? FindFile(InfoPath(info)) : nullptr;
  std::string value;
  if (!file || !key || !VersionKey(file->contents, Narrow(FromW(key)), &value))
    return Fail(ERROR_LINE_NOT_FOUND);
  if (required)
    *required = static_cast<DWORD>(value.size() + 1);
  if (!buffer || !ToW(U(value), buffer, size))
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  return TRUE;
}

BOOL WINAPI SetupCopyOEMInfW(PCWSTR source, PCWSTR mediaLocation, DWORD mediaType, DWORD copyStyle,
                             PWSTR destination, DWORD destinationSize, PDWORD required,
                             PWSTR* component) {
  if (!Enter("SetupCopyOEMInfW"))
    return FALSE;
  S().copyOemCalls.push_back({Narrow(FromW(source)), mediaLocation != nullptr, mediaType, copyStyle,
                              destination != nullptr, destinationSize, required != nullptr,
                              component != nullptr});

  const File* file = FindFile(FromW(source));
  if (!file)
    return Fail(ERROR_FILE_NOT_FOUND);
  if (mediaType != SPOST_PATH || !IsInf(file->contents))
    return Fail(ERROR_INVALID_DATA);
  std::u16string dir, original;
  SplitPath(file->path, &dir, &original);
  // The same package already in the store is not copied again.
  std::u16string stored;
  for (const auto& [key, f] : S().files) {
    std::u16string fdir, fname;
    SplitPath(f.path, &fdir, &fname);
    if (Lower(fdir + u"\\") == Lower(InfFolder()) && f.contents == file->contents &&
        Lower(fname).rfind(u"oem", 0) == 0)
      stored = fname;
  }
  if (stored.empty()) {
    for (int n = 0; stored.empty(); ++n) {
      const std::u16string candidate = u"oem" + U(std::to_string(n)) + u".inf";
      if (!FindFile(InfFolder() + candidate))
        stored = candidate;
    }
    const std::string contents = file->contents;
    S().files[Lower(InfFolder() + stored)] = File{InfFolder() + stored, contents, false, false};
    const std::u16string pnf = PnfOf(InfFolder() + stored);
    S().files[Lower(pnf)] = File{pnf, "PNF\noriginal=" + Narrow(original) + "\n", false, false};
  }
  const std::u16string full = InfFolder() + stored;
  if (required)
    *required = static_cast<DWORD>(full.size() + 1);
  if (destination && !ToW(full, destination, destinationSize))
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  if (destination && component)
    *component = destination + (full.size() - stored.size());
  return TRUE;
}
