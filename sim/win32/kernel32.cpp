// kernel32 on the simulated system: errors, modules, standard output, files
// and local memory.
#include <cstdlib>
#include <cstring>

#include "sim/win32/state.h"

using namespace sim::win32;

namespace {

constexpr DWORD kErrorInvalidName = 123;
HANDLE const kStdout = reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x5D0));

std::u16string ModuleName(LPCWSTR name) {
  std::u16string n = Lower(FromW(name));
  if (n.size() > 4 && n.compare(n.size() - 4, 4, u".dll") == 0)
    n.resize(n.size() - 4);
  return n;
}

Module* FindModule(const std::u16string& name) {
  for (auto& m : S().modules)
    if (m.name == name && m.present)
      return &m;
  return nullptr;
}

// Case-insensitive wildcard match of a file name: '*' any run, '?' one unit.
bool Matches(const std::u16string& pattern, const std::u16string& name) {
  size_t p = 0, n = 0, star = std::u16string::npos, mark = 0;
  while (n < name.size()) {
    if (p < pattern.size() &&
        (pattern[p] == u'?' || Lower(pattern.substr(p, 1)) == Lower(name.substr(n, 1)))) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == u'*') {
      star = p++;
      mark = n;
    } else if (star != std::u16string::npos) {
      p = star + 1;
      n = ++mark;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == u'*')
    ++p;
  return p == pattern.size();
}

bool HasWildcards(const std::u16string& s) {
  return s.find_first_of(u"*?") != std::u16string::npos;
}

void Fill(LPWIN32_FIND_DATAW data, const std::u16string& name) {
  std::memset(data, 0, sizeof(*data));
  data->dwFileAttributes = FILE_ATTRIBUTE_NORMAL;
  ToW(name, data->cFileName, MAX_PATH);
}

}  // namespace

DWORD WINAPI GetLastError() {
  return S().lastError;
}
void WINAPI SetLastError(DWORD error) {
  S().lastError = error;
}

FARPROC FindEntryPoint(const std::string& name);

HMODULE WINAPI GetModuleHandleW(LPCWSTR name) {
  if (!Enter("GetModuleHandleW"))
    return nullptr;
  Module* m = FindModule(ModuleName(name));
  if (!m) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<HMODULE>(m);
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name) {
  if (!Enter("GetProcAddress"))
    return nullptr;
  auto* m = reinterpret_cast<Module*>(module);
  if (!m || !name || !m->entries.count(name)) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return FindEntryPoint(name);
}

HMODULE WINAPI LoadLibraryW(LPCWSTR name) {
  if (!Enter("LoadLibraryW"))
    return nullptr;
  Module* m = FindModule(ModuleName(name));
  if (!m) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  S().loaded++;
  return reinterpret_cast<HMODULE>(m);
}

BOOL WINAPI FreeLibrary(HMODULE module) {
  if (!Enter("FreeLibrary"))
    return FALSE;
  if (!module)
    return FALSE;
  S().loaded--;
  return TRUE;
}

HANDLE WINAPI GetStdHandle(DWORD which) {
  if (!Enter("GetStdHandle"))
    return INVALID_HANDLE_VALUE;
  if (which != STD_OUTPUT_HANDLE || !S().stdoutOpen)
    return INVALID_HANDLE_VALUE;
  return kStdout;
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD length, LPDWORD written, LPOVERLAPPED) {
  if (!Enter("WriteFile"))
    return FALSE;
  if (file != kStdout || !S().stdoutOpen) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  S().stdoutBytes.insert(S().stdoutBytes.end(), bytes, bytes + length);
  S().stdoutWrites++;
  if (written)
    *written = length;
  return TRUE;
}

HANDLE WINAPI FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data) {
  if (!Enter("FindFirstFileW"))
    return INVALID_HANDLE_VALUE;
  std::u16string dir, name;
  SplitPath(FromW(pattern), &dir, &name);
  Search search;
  for (const auto& [key, file] : S().files) {
    std::u16string fileDir, fileName;
    SplitPath(file.path, &fileDir, &fileName);
    if (Lower(fileDir) == Lower(dir) && Matches(name, fileName))
      search.names.push_back(fileName);
  }
  if (search.names.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  Fill(data, search.names[0]);
  search.next = 1;
  const int id = S().nextSearch++;
  S().searches[id] = search;
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(id));
}

BOOL WINAPI FindNextFileW(HANDLE handle, LPWIN32_FIND_DATAW data) {
  if (!Enter("FindNextFileW"))
    return FALSE;
  auto it = S().searches.find(static_cast<int>(reinterpret_cast<intptr_t>(handle)));
  if (it == S().searches.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (it->second.next >= it->second.names.size()) {
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  Fill(data, it->second.names[it->second.next++]);
  return TRUE;
}

BOOL WINAPI FindClose(HANDLE handle) {
  if (!Enter("FindClose"))
    return FALSE;
  return S().searches.erase(static_cast<int>(reinterpret_cast<intptr_t>(handle))) ? TRUE : FALSE;
}

BOOL WINAPI DeleteFileW(LPCWSTR path) {
  if (!Enter("DeleteFileW"))
    return FALSE;
  const std::u16string p = FromW(path);
  std::u16string dir, name;
  SplitPath(p, &dir, &name);
  if (HasWildcards(name)) {
    SetLastError(kErrorInvalidName);
    return FALSE;
  }
  auto it = S().files.find(Lower(p));
  if (it == S().files.end()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  if (it->second.readOnly) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (it->second.locked) {
    SetLastError(ERROR_SHARING_VIOLATION);
    return FALSE;
  }
  S().files.erase(it);
  return TRUE;
}

HLOCAL WINAPI LocalAlloc(UINT, SIZE_T bytes) {
  if (!Enter("LocalAlloc"))
    return nullptr;
  return std::calloc(1, bytes ? bytes : 1);  // LPTR: fixed and zeroed
}

HLOCAL WINAPI LocalFree(HLOCAL memory) {
  std::free(memory);
  return nullptr;
}

UINT WINAPI GetSystemWindowsDirectoryW(LPWSTR buffer, UINT size) {
  if (!Enter("GetSystemWindowsDirectoryW"))
    return 0;
  const std::u16string dir = U(System::kWindows);
  if (!buffer || size <= dir.size())
    return static_cast<UINT>(dir.size() + 1);
  ToW(dir, buffer, size);
  return static_cast<UINT>(dir.size());
}
