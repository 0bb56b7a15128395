// advapi32 on the simulated system: the registry below HKEY_LOCAL_MACHINE.
#include <cstring>

#include "sim/win32/state.h"

using namespace sim::win32;

namespace {

// The values of an open key for a call of `function`; null, with the status
// the call returns, when the plan fails it or the key is not open.
std::vector<System::Value>* Values(const char* function, HKEY key, LSTATUS* status) {
  if (!Enter(function)) {
    *status = static_cast<LSTATUS>(S().lastError);
    return nullptr;
  }
  *status = ERROR_INVALID_HANDLE;
  auto it = S().openKeys.find(static_cast<int>(reinterpret_cast<intptr_t>(key)));
  if (it == S().openKeys.end()) {
    Violation("a registry key used that is not open");
    return nullptr;
  }
  auto values = S().keys.find(it->second);
  return values == S().keys.end() ? nullptr : &values->second;
}

// A path below a key as the registry parses it: names separated by '\\'
// alone ('/' is a character of a name), a run of separators taken as one
// and separators at the end ignored (a path of two names with two
// separators between them and one after names the second key below the
// first); a path that begins with a separator is refused with
// ERROR_BAD_PATHNAME (Windows: STATUS_OBJECT_PATH_SYNTAX_BAD for a relative
// name; Wine's server, get_path_token: STATUS_OBJECT_PATH_INVALID). Names
// compare as the registry compares them, by the system's upper-case table.
bool ParseKeyPath(const std::u16string& path, std::u16string* key) {
  if (!path.empty() && path[0] == u'\\')
    return false;
  key->clear();
  size_t start = 0;
  while (start < path.size()) {
    size_t end = path.find(u'\\', start);
    if (end == std::u16string::npos)
      end = path.size();
    if (end > start) {
      if (!key->empty())
        key->push_back(u'\\');
      *key += Lower(path.substr(start, end - start));
    }
    start = end + 1;
  }
  return true;
}

// The value at an enumeration index, in the order the system chose.
const System::Value& ValueAt(const std::vector<System::Value>& values, DWORD index) {
  return S().valueOrder == System::ValueOrder::Reversed ? values[values.size() - 1 - index]
                                                        : values[index];
}

}  // namespace

LSTATUS WINAPI RegOpenKeyW(HKEY key, LPCWSTR subKey, PHKEY result) {
  if (!Enter("RegOpenKeyW"))
    return static_cast<LSTATUS>(S().lastError);
  if (key != HKEY_LOCAL_MACHINE || !result)
    return ERROR_INVALID_HANDLE;
  std::u16string path;
  if (!ParseKeyPath(FromW(subKey), &path))
    return ERROR_BAD_PATHNAME;
  if (path.empty())
    S().keys[path];  // the key itself
  else if (!S().keys.count(path))
    return ERROR_FILE_NOT_FOUND;
  const int id = S().nextKey++;
  S().openKeys[id] = path;
  *result = reinterpret_cast<HKEY>(static_cast<intptr_t>(id));
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegEnumValueW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength, LPDWORD,
                             LPDWORD type, LPBYTE data, LPDWORD dataLength) {
  LSTATUS status;
  auto* values = Values("RegEnumValueW", key, &status);
  if (!values)
    return status;
  if (index >= values->size())
    return ERROR_NO_MORE_ITEMS;
  const auto& v = ValueAt(*values, index);
  if (!name || !nameLength || v.name.size() + 1 > *nameLength)
    return ERROR_MORE_DATA;
  ToW(v.name, name, *nameLength);
  *nameLength = static_cast<DWORD>(v.name.size());
  if (type)
    *type = v.type;
  if (dataLength) {
    if (data && *dataLength >= v.data.size())
      std::memcpy(data, v.data.data(), v.data.size());
    *dataLength = static_cast<DWORD>(v.data.size());
  }
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD, LPDWORD type, LPBYTE data,
                                LPDWORD dataLength) {
  LSTATUS status;
  auto* values = Values("RegQueryValueExW", key, &status);
  if (!values)
    return status;
  const System::Value* v = FindValue(*values, FromW(valueName));
  if (!v)
    return ERROR_FILE_NOT_FOUND;
  if (type)
    *type = v->type;
  if (data && dataLength && *dataLength < v->data.size()) {
    *dataLength = static_cast<DWORD>(v->data.size());
    return ERROR_MORE_DATA;
  }
  if (data && !v->data.empty())
    std::memcpy(data, v->data.data(), v->data.size());
  if (dataLength)
    *dataLength = static_cast<DWORD>(v->data.size());
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD, DWORD type, const BYTE* data,
                              DWORD dataLength) {
  LSTATUS status;
  auto* values = Values("RegSetValueExW", key, &status);
  if (!values)
    return status;
  SetValue(values, {FromW(valueName), type, std::vector<BYTE>(data, data + dataLength)});
  return ERROR_SUCCESS;
}

// A failed close still releases the key (see System::Audit).
LSTATUS WINAPI RegCloseKey(HKEY key) {
  const bool failed = !Enter("RegCloseKey");
  if (!S().openKeys.erase(static_cast<int>(reinterpret_cast<intptr_t>(key)))) {
    Violation("RegCloseKey of a key that is not open");
    return ERROR_INVALID_HANDLE;
  }
  return failed ? static_cast<LSTATUS>(S().lastError) : ERROR_SUCCESS;
}
