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
  S().lookups.push_back(name ? name : "(null)");
  if (!m || !name || !m->entries.count(name)) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return FindEntryPoint(name);
}

namespace {

// A bare name (no folder) is looked for in the program's folder first and
// then in the system folder, unless the caller asks for the system folder
// only. A name with a folder is not searched for.
HMODULE LoadModule(LPCWSTR name, DWORD flags) {
  const std::u16string text = FromW(name);
  if (text.find_first_of(u"\\/:") != std::u16string::npos) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  const std::u16string base = ModuleName(name);
  Module* found = nullptr;
  if (!(flags & LOAD_LIBRARY_SEARCH_SYSTEM32)) {
    for (auto& m : S().modules)
      if (m.name == base && m.present && m.planted)
        found = &m;
  }
  if (!found)
    found = FindModule(base);
  S().loads.push_back({Narrow(text), flags, found && found->planted});
  if (!found) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  if (found->planted) {
    S().plantedLoads++;
    Violation("foreign code loaded: " + Narrow(text) + " from the program's folder");
  }
  found->references++;
  return reinterpret_cast<HMODULE>(found);
}

}  // namespace

HMODULE WINAPI LoadLibraryW(LPCWSTR name) {
  if (!Enter("LoadLibraryW"))
    return nullptr;
  return LoadModule(name, 0);
}

HMODULE WINAPI LoadLibraryExW(LPCWSTR name, HANDLE file, DWORD flags) {
  if (!Enter("LoadLibraryExW"))
    return nullptr;
  constexpr DWORD known = LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_APPLICATION_DIR;
  if (file != nullptr || (flags & ~known) != 0 || !name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return LoadModule(name, flags);
}

// A failed unload still gives the reference back (see System::Audit).
BOOL WINAPI FreeLibrary(HMODULE module) {
  const bool failed = !Enter("FreeLibrary");
  auto* m = reinterpret_cast<Module*>(module);
  if (!m || m->references == 0) {
    Violation("FreeLibrary of a module without a reference");
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  m->references--;
  return failed ? FALSE : TRUE;
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
    Violation("FindNextFileW on a search handle that is not open");
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

// A failed close still releases the handle (see System::Audit).
BOOL WINAPI FindClose(HANDLE handle) {
  const bool failed = !Enter("FindClose");
  if (!S().searches.erase(static_cast<int>(reinterpret_cast<intptr_t>(handle)))) {
    Violation("FindClose of a search handle that is not open");
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return failed ? FALSE : TRUE;
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

// Fixed blocks of exactly the size asked for; without LMEM_ZEROINIT they
// hold a pattern, never zeros.
HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes) {
  if (!Enter("LocalAlloc"))
    return nullptr;
  if (flags & ~static_cast<UINT>(LMEM_ZEROINIT)) {  // only fixed memory is modelled
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  void* block = std::malloc(bytes ? bytes : 1);
  std::memset(block, (flags & LMEM_ZEROINIT) ? 0 : 0xA5, bytes);
  S().heap[block] = HeapBlock{bytes, flags};
  return block;
}

HLOCAL WINAPI LocalFree(HLOCAL memory) {
  if (!memory)
    return nullptr;
  auto it = S().heap.find(memory);
  if (it == S().heap.end()) {
    Violation("LocalFree of a block that is not allocated");
    SetLastError(ERROR_INVALID_HANDLE);
    return memory;
  }
  std::free(memory);
  S().heap.erase(it);
  return nullptr;
}

UINT WINAPI GetSystemWindowsDirectoryW(LPWSTR buffer, UINT size) {
  if (!Enter("GetSystemWindowsDirectoryW"))
    return 0;
  const std::u16string dir = S().windowsDir;
  if (!buffer || size <= dir.size())
    return static_cast<UINT>(dir.size() + 1);
  ToW(dir, buffer, size);
  return static_cast<UINT>(dir.size());
}
