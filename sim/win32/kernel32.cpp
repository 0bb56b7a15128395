// kernel32 on the simulated system: errors, modules, standard output, files
// and local memory.
#include <cstdlib>
#include <cstring>

#include "sim/win32/state.h"

using namespace sim::win32;

namespace {

HANDLE const kStdout = reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x5D0));

constexpr DWORD kSearchFlags = LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS |
                               LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS;

// A module's name as the module list holds it: lower case, no ".dll".
std::u16string ModuleName(const std::u16string& name) {
  std::u16string n = Lower(name);
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

// The 8.3 name a volume that makes short names gives a long name that is
// not one already: up to six units of the stem, "~1", and the first three
// units of the extension, upper case ("x.infx" is "X~1.INF").
std::u16string ShortName(const std::u16string& name) {
  const size_t dot = name.find_last_of(u'.');
  const std::u16string stem = dot == std::u16string::npos ? name : name.substr(0, dot);
  const std::u16string ext = dot == std::u16string::npos ? u"" : name.substr(dot + 1);
  const bool fits = stem.size() >= 1 && stem.size() <= 8 && ext.size() <= 3 &&
                    (stem + ext).find_first_of(u". +,;=[]") == std::u16string::npos;
  if (fits)
    return u"";
  std::u16string out;
  for (char16_t c : stem)
    if (c != u' ' && c != u'.' && out.size() < 6)
      out.push_back(Upcase(c));
  out += u"~1";
  if (!ext.empty()) {
    out.push_back(u'.');
    for (size_t i = 0; i < ext.size() && i < 3; ++i)
      out.push_back(Upcase(ext[i]));
  }
  return out;
}

// A search matches the long name or the short name ("*.htm" finds
// "page.html" through "PAGE~1.HTM": FindFirstFileW searches both).
bool NameMatches(const std::u16string& pattern, const std::u16string& name) {
  if (Matches(pattern, name))
    return true;
  const std::u16string shortName = S().shortNames ? ShortName(name) : u"";
  return !shortName.empty() && Matches(pattern, shortName);
}

bool HasWildcards(const std::u16string& s) {
  return s.find_first_of(u"*?") != std::u16string::npos;
}

void Fill(LPWIN32_FIND_DATAW data, const File& file) {
  std::u16string dir, name;
  SplitPath(file.path, &dir, &name);
  std::memset(data, 0, sizeof(*data));
  data->dwFileAttributes = file.folder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
  ToW(name, data->cFileName, MAX_PATH);
  if (S().shortNames)
    ToW(ShortName(name), data->cAlternateFileName, 14);
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
  Module* m = FindModule(ModuleName(FromW(name)));
  return m ? reinterpret_cast<HMODULE>(m) : Fail<HMODULE>(ERROR_MOD_NOT_FOUND, nullptr);
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name) {
  if (!Enter("GetProcAddress"))
    return nullptr;
  auto* m = reinterpret_cast<Module*>(module);
  S().lookups.push_back(name ? name : "(null)");
  if (!m || !name || !m->entries.count(name))
    return Fail<FARPROC>(ERROR_PROC_NOT_FOUND, nullptr);
  return FindEntryPoint(name);
}

// A bare name (no folder) is looked for in the program's folder first and
// then in the system folder (the default search order), unless the flags of
// the load, or failing those the directories given to
// SetDefaultDllDirectories, leave the program's folder out. A name with a
// folder is not searched for.
HMODULE sim::win32::LoadModule(const std::u16string& text, DWORD flags,
                               std::vector<System::Load>* loads) {
  if (text.find_first_of(u"\\/:") != std::u16string::npos)
    return Fail<HMODULE>(ERROR_MOD_NOT_FOUND, nullptr);
  const std::u16string base = ModuleName(text);
  const DWORD search = (flags & kSearchFlags) != 0 ? flags & kSearchFlags : S().dllDirectories;
  const bool programFolder =
      search == 0 ||
      (search & (LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS)) != 0;
  Module* found = nullptr;
  if (programFolder) {
    for (auto& m : S().modules)
      if (m.name == base && m.present && m.planted)
        found = &m;
  }
  if (!found)
    found = FindModule(base);
  loads->push_back({Narrow(text), flags, found && found->planted});
  if (!found)
    return Fail<HMODULE>(ERROR_MOD_NOT_FOUND, nullptr);
  if (found->planted) {
    S().plantedLoads++;
    Violation("foreign code loaded: " + Narrow(text) + " from the program's folder");
  }
  found->references++;
  return reinterpret_cast<HMODULE>(found);
}

HMODULE WINAPI LoadLibraryW(LPCWSTR name) {
  if (!Enter("LoadLibraryW"))
    return nullptr;
  return LoadModule(FromW(name), 0, &S().loads);
}

HMODULE WINAPI LoadLibraryExW(LPCWSTR name, HANDLE file, DWORD flags) {
  if (!Enter("LoadLibraryExW"))
    return nullptr;
  if (file != nullptr || (flags & ~kSearchFlags) != 0 || !name)
    return Fail<HMODULE>(ERROR_INVALID_PARAMETER, nullptr);
  return LoadModule(FromW(name), flags, &S().loads);
}

// Only the LOAD_LIBRARY_SEARCH_* directories, at least one
// (SetDefaultDllDirectories: ERROR_INVALID_PARAMETER otherwise).
BOOL WINAPI SetDefaultDllDirectories(DWORD directoryFlags) {
  if (!Enter("SetDefaultDllDirectories"))
    return FALSE;
  if (directoryFlags == 0 || (directoryFlags & ~kSearchFlags) != 0)
    return Fail(ERROR_INVALID_PARAMETER);
  S().dllDirectories = directoryFlags;
  return TRUE;
}

// A failed unload still gives the reference back (see System::Audit).
BOOL WINAPI FreeLibrary(HMODULE module) {
  const bool failed = !Enter("FreeLibrary");
  auto* m = reinterpret_cast<Module*>(module);
  if (!m || m->references == 0) {
    Violation("FreeLibrary of a module without a reference");
    return Fail(ERROR_INVALID_HANDLE);
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
  if (file != kStdout || !S().stdoutOpen)
    return Fail(ERROR_INVALID_HANDLE);
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
  SplitPath(NormalPath(FromW(pattern)), &dir, &name);
  Search search;
  for (const auto& [key, file] : S().files) {
    std::u16string fileDir, fileName;
    SplitPath(file.path, &fileDir, &fileName);
    if (Lower(fileDir) == Lower(dir) && NameMatches(name, fileName))
      search.names.push_back(file);
  }
  if (search.names.empty())
    return Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
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
    return Fail(ERROR_INVALID_HANDLE);
  }
  if (it->second.next >= it->second.names.size())
    return Fail(ERROR_NO_MORE_FILES);
  Fill(data, it->second.names[it->second.next++]);
  return TRUE;
}

// A failed close still releases the handle (see System::Audit).
BOOL WINAPI FindClose(HANDLE handle) {
  const bool failed = !Enter("FindClose");
  if (!S().searches.erase(static_cast<int>(reinterpret_cast<intptr_t>(handle)))) {
    Violation("FindClose of a search handle that is not open");
    return Fail(ERROR_INVALID_HANDLE);
  }
  return failed ? FALSE : TRUE;
}

BOOL WINAPI DeleteFileW(LPCWSTR path) {
  if (!Enter("DeleteFileW"))
    return FALSE;
  const std::u16string p = FromW(path);
  std::u16string dir, name;
  SplitPath(p, &dir, &name);
  if (HasWildcards(name))
    return Fail(ERROR_INVALID_NAME);
  auto it = S().files.find(FileKey(p));
  if (it == S().files.end())
    return Fail(ERROR_FILE_NOT_FOUND);
  if (it->second.readOnly || it->second.folder)  // a folder is no file to delete
    return Fail(ERROR_ACCESS_DENIED);
  if (it->second.locked)
    return Fail(ERROR_SHARING_VIOLATION);
  S().files.erase(it);
  return TRUE;
}

// Fixed blocks of exactly the size asked for; without LMEM_ZEROINIT they
// hold a pattern, never zeros.
HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes) {
  if (!Enter("LocalAlloc"))
    return nullptr;
  if (flags & ~static_cast<UINT>(LMEM_ZEROINIT))  // only fixed memory is modelled
    return Fail<HLOCAL>(ERROR_INVALID_PARAMETER, nullptr);
  void* block = std::malloc(bytes ? bytes : 1);
  std::memset(block, (flags & LMEM_ZEROINIT) ? 0 : 0xA5, bytes);
  S().heap[block] = bytes;
  return block;
}

HLOCAL WINAPI LocalFree(HLOCAL memory) {
  if (!memory)
    return nullptr;
  auto it = S().heap.find(memory);
  if (it == S().heap.end()) {
    Violation("LocalFree of a block that is not allocated");
    return Fail(ERROR_INVALID_HANDLE, memory);
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
