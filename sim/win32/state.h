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
};

struct Module {
  std::u16string name;  // lower case, no extension
  std::set<std::string> entries;
  bool present;
  bool planted = false;  // a file in the program's folder, not the system's module
  int references = 0;    // taken by LoadLibrary*, given back by FreeLibrary
};

struct FaultRule {
  std::string function;
  DWORD error;
  int nth;
  int count;
};

struct Search {
  std::vector<std::u16string> names;
  size_t next = 0;
};

struct DeviceSet {
  std::vector<size_t> members;  // indexes into State::devices; removed members stay
  bool list = false;            // a device information list of one class
  size_t elements = 0;          // elements created in this list
};

struct HeapBlock {
  size_t size;
  UINT flags;
};

struct State {
  std::u16string windowsDir = U(System::kWindows);
  std::vector<System::Device> devices;
  std::vector<bool> gone;  // removed from the tree
  std::map<int, DeviceSet> sets;
  int nextSet = 1;
  bool updateSucceeds = true;
  bool updateReboot = false;
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
  std::map<void*, HeapBlock> heap;
  bool stdoutOpen = true;
  std::vector<uint8_t> stdoutBytes;
  int stdoutWrites = 0;
  std::vector<FaultRule> faults;
  std::vector<std::string> calls;
  std::vector<std::string> violations;  // misuse seen since the last audit
  DWORD lastError = 0;
};

State& S();
// Records the call; false (with the last error set) when the plan fails it.
bool Enter(const char* function);
// Records a misuse of the platform, reported by the next audit.
void Violation(const std::string& what);
std::u16string Lower(const std::u16string& text);
void SplitPath(const std::u16string& path, std::u16string* dir, std::u16string* name);
std::u16string FromW(const WCHAR* text);
bool ToW(const std::u16string& text, WCHAR* buffer, size_t capacity);
// The Windows directory followed by "\inf\".
std::u16string InfFolder();

}  // namespace sim::win32
