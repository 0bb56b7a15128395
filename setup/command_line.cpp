// The program: one option with its arguments, one step, one record.
#include "setup/drv_pnp.h"
#include "setup/wide.h"

namespace {

enum class Step { Install, Create, Remove, Rescan, Uninstall, Delete, Versions, Service };

struct Option {
  WCHAR Letter;
  int Arguments;
  Step Run;
};

// Each option with the routine that does its work and the file that holds it.
constexpr Option Options[] = {
    {'c', 2, Step::Create},     // vkDrvPnp::InstallRootDevice, setup/device_steps.cpp
    {'d', 2, Step::Delete},     // vkDrvPnp::DeleteDriverFile, setup/inf_store.cpp
    {'e', 0, Step::Rescan},     // vkDrvPnp::RescanDevices, setup/device_steps.cpp
    {'g', 1, Step::Versions},   // vkDrvPnp::QueryInfVersions, setup/inf_versions.cpp
    {'i', 1, Step::Install},    // vkDrvPnp::CopyOemInf, setup/drv_pnp.cpp
    {'r', 1, Step::Remove},     // vkDrvPnp::RemoveDevices, setup/device_steps.cpp
    {'s', 3, Step::Service},    // vkDrvPnp::SetServiceValue, setup/service_value.cpp
    {'u', 1, Step::Uninstall},  // vkDrvPnp::UninstallOemInf, setup/inf_store.cpp
};

const Option* FindOption(LPCWSTR Text) {
  if (WideLength(Text) != 2 || Text[0] != '-') {
    return nullptr;
  }
  for (const Option& option : Options) {
    if (option.Letter == Text[1]) {
      return &option;
    }
  }
  return nullptr;
}

bool IsSpace(WCHAR c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// Signed decimal: leading white space, a sign, digits up to the first other
// character; no digits give 0; beyond the 32-bit range, the nearest end.
DWORD ParseServiceNumber(LPCWSTR Text) {
  DWORD i = 0;
  while (IsSpace(Text[i])) {
    ++i;
  }
  bool negative = false;
  if (Text[i] == '+' || Text[i] == '-') {
    negative = Text[i] == '-';
    ++i;
  }
  const long long limit = negative ? 2147483648LL : 2147483647LL;
  long long value = 0;
  for (; Text[i] >= '0' && Text[i] <= '9'; ++i) {
    value = value * 10 + (Text[i] - '0');
    if (value > limit) {
      value = limit;
    }
  }
  return static_cast<DWORD>(static_cast<LONG>(negative ? -value : value));
}

// Runs the step; true on success by the rule of each option.
bool RunStep(vkDrvPnp& Tool, const Option& Chosen, WCHAR** Args, VersionList* List) {
  switch (Chosen.Run) {
    case Step::Install:
      return Tool.CopyOemInf(Args[0]) != FALSE;
    case Step::Create:
      return Tool.InstallRootDevice(Args[1], Args[0]) != FALSE;
    case Step::Remove:
      return Tool.RemoveDevices(Args[0]) != FALSE;
    case Step::Rescan:
      return Tool.RescanDevices() != FALSE;
    case Step::Uninstall:
      return Tool.UninstallOemInf(Args[0]) != FALSE;
    case Step::Delete:
      return Tool.DeleteDriverFile(Args[0], Args[1][0] == 's') != FALSE;
    case Step::Versions:
      Tool.QueryInfVersions(Args[0], List);
      return Tool.ResultCode == RESULT_SUCCESS;
    case Step::Service:
      return Tool.SetServiceValue(Args[0], Args[1], ParseServiceNumber(Args[2])) != FALSE;
  }
  return false;
}

void ClearRecord(SetupResult* Record) {
  BYTE* bytes = reinterpret_cast<BYTE*>(Record);
  for (DWORD i = 0; i < sizeof(*Record); ++i) {
    bytes[i] = 0;
  }
}

void FillRecord(const vkDrvPnp& Tool, const Option* Chosen, bool Succeeded, const VersionList& List,
                SetupResult* Record) {
  if (!Succeeded) {
    Record->ResultCode = Tool.ResultCode;
    return;
  }
  Record->RebootRequired = Tool.RebootRequired;
  if (Chosen->Run == Step::Versions) {
    Record->PayloadLength = sizeof(VersionList);
    const BYTE* from = reinterpret_cast<const BYTE*>(&List);
    for (DWORD i = 0; i < SetupPayloadSize; ++i) {
      Record->Payload[i] = from[i];
    }
  }
}

}  // namespace

int SetupMain(int argc, WCHAR** argv) {
  RestrictDllSearch();  // before anything can load a DLL
  vkDrvPnp tool;
  SetupResult record;
  ClearRecord(&record);
  VersionList list;
  const Option* chosen = argc >= 2 ? FindOption(argv[1]) : nullptr;
  if (chosen == nullptr || argc - 2 != chosen->Arguments ||
      (chosen->Run == Step::Delete && argv[3][0] != 'i' && argv[3][0] != 's')) {
    record.ResultCode = RESULT_INVALID_PARAMETER;
  } else {
    FillRecord(tool, chosen, RunStep(tool, *chosen, argv + 2, &list), list, &record);
  }
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  if (output == INVALID_HANDLE_VALUE) {
    return -1;
  }
  DWORD written = 0;
  return WriteFile(output, &record, sizeof(record), &written, nullptr) ? 0 : -1;
}
