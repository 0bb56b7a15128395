// The inside of a simulated system, shared by the Win32 functions.
#pragma once
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "sim/win32/system.h"

namespace sim::win32 {

struct File {
  std::u16string path;  // as created
  std::string contents;
  bool readOnly;
  bool locked;
  bool folder = false;
};

struct Module {
  std::u16string name;  // lower case, no extension
  std::set<std::string> entries;
  bool present;
  bool planted = false;  // a file in the program's folder, not the system's module
  int references = 0;    // taken by LoadLibrary*, given back by FreeLibrary
};

struct PlannedFailure {
  std::string function;
  DWORD error;
  sim::FaultRule rule;
};

struct Search {
  std::vector<File> names;  // as they were when the search began
  size_t next = 0;
};

struct DeviceSet {
  std::vector<size_t> members;  // indexes into State::devices; removed members stay
  bool list = false;            // a device information list of one class
  size_t elements = 0;          // elements created in this list
};

struct State {
  std::u16string windowsDir = U(System::kWindows);
  std::vector<System::Device> devices;
  std::vector<bool> gone;  // removed from the tree
  std::map<int, DeviceSet> sets;
  int nextSet = 1;
  bool updateSucceeds = true;
  bool updateReboot = false;
  OsVersion os;
  std::vector<System::Load> systemLoads;
  DWORD dllDirectories = 0;         // SetDefaultDllDirectories; 0: the default order
  std::vector<DWORD> installFlags;  // by device: what its removal set
  bool infClassLeavesBuffer = false;
  bool shortNames = true;
  System::ValueOrder valueOrder = System::ValueOrder::Created;
  std::vector<System::Update> updates;
  CONFIGRET locate = CR_SUCCESS;
  CONFIGRET reenumerate = CR_SUCCESS;
  std::vector<System::ConfigCall> configCalls;
  std::vector<System::ClassDevsCall> classDevsCalls;
  std::vector<System::PropertyRead> propertyReads;
  std::vector<System::CopyOemCall> copyOemCalls;
  std::vector<System::Load> loads;
  std::vector<std::string> lookups;
  int plantedLoads = 0;
  int generated = 0;
  std::map<std::u16string, File> files;  // by lower-case path: searches report in this order
  std::map<std::u16string, std::vector<System::Value>> keys;
  std::deque<Module> modules;  // stable: a module handle points at its entry
  std::map<int, std::u16string> openKeys;
  int nextKey = 1;
  std::map<int, Search> searches;
  int nextSearch = 1;
  std::map<void*, size_t> heap;  // LocalAlloc's blocks and their sizes
  bool stdoutOpen = true;
  std::vector<uint8_t> stdoutBytes;
  int stdoutWrites = 0;
  std::vector<PlannedFailure> faults;
  std::vector<std::string> calls;
  std::vector<std::string> violations;  // misuse seen since the last audit
  DWORD lastError = 0;
};

State& S();
// Records the call; false (with the last error set) when the plan fails it.
bool Enter(const char* function);
// Sets the last error and gives what the caller returns on failure: FALSE
// unless given another value (a null or invalid handle).
template <typename T = BOOL>
T Fail(DWORD error, T failure = FALSE) {
  SetLastError(error);
  return failure;
}
// Loads a module by bare name as Windows' search order has it: the flags of
// LoadLibraryExW, else those of SetDefaultDllDirectories, else the program's
// folder before the system's. Recorded in `loads`.
HMODULE LoadModule(const std::u16string& name, DWORD flags, std::vector<System::Load>* loads);
// A value of a key by name, letters folded as the registry folds them; null
// when there is none.
const System::Value* FindValue(const std::vector<System::Value>& values,
                               const std::u16string& name);
// Replaces the value of that name (which keeps the case it was created
// with) or adds it.
void SetValue(std::vector<System::Value>* values, const System::Value& value);
// Records a misuse of the platform, reported by the next audit.
void Violation(const std::string& what);
// Names compared as Windows compares them: by the upper-case table of the
// system (not ASCII alone), rendered in lower case for ASCII letters.
std::u16string Lower(const std::u16string& text);
char16_t Upcase(char16_t c);
// A Win32 path as the system normalises it before it reaches the file
// system: a trailing period of a folder name dropped, trailing periods and
// spaces of the last name dropped (not when it holds a wildcard).
std::u16string NormalPath(const std::u16string& path);
// The key of a Win32 path in State::files.
std::u16string FileKey(const std::u16string& path);
// A file (not a folder) by its Win32 path; null when there is none.
const File* FindFile(const std::u16string& path);
// A [Version] key of an INF text: case-insensitive; comments and quotes dropped.
bool VersionKey(const std::string& text, const std::string& key, std::string* value);
void SplitPath(const std::u16string& path, std::u16string* dir, std::u16string* name);
std::u16string FromW(const WCHAR* text);
bool ToW(const std::u16string& text, WCHAR* buffer, size_t capacity);
// The Windows directory followed by "\inf\".
std::u16string InfFolder();

}  // namespace sim::win32
