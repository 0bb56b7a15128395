// Run-time library routines and the pageable-code check.
#include "sim/kernel/internal.h"

namespace {
// Object types: only their identity matters.
struct _OBJECT_TYPE_STUB {
  int kind;
};
_OBJECT_TYPE_STUB gThreadType{1}, gProcessType{2}, gEventType{3}, gFileType{4};
POBJECT_TYPE gThreadTypePtr = reinterpret_cast<POBJECT_TYPE>(&gThreadType);
POBJECT_TYPE gProcessTypePtr = reinterpret_cast<POBJECT_TYPE>(&gProcessType);
POBJECT_TYPE gEventTypePtr = reinterpret_cast<POBJECT_TYPE>(&gEventType);
POBJECT_TYPE gFileTypePtr = reinterpret_cast<POBJECT_TYPE>(&gFileType);
}  // namespace

POBJECT_TYPE* PsThreadType = &gThreadTypePtr;
POBJECT_TYPE* PsProcessType = &gProcessTypePtr;
POBJECT_TYPE* ExEventObjectType = &gEventTypePtr;
POBJECT_TYPE* IoFileObjectType = &gFileTypePtr;

namespace sim {

void CheckPagedCode(const char* Routine) {
  KIRQL irql = detail::Current().irql;
  if (irql > APC_LEVEL)
    detail::Violation(
        verifier::Check::PagedCodeAtRaisedIrql,
        std::string("pageable routine ") + Routine + " entered at IRQL " + std::to_string(irql));
}

}  // namespace sim

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
  if (!SourceString) {
    DestinationString->Length = DestinationString->MaximumLength = 0;
    return;
  }
  size_t n = 0;
  while (SourceString[n])
    ++n;
  if (n > 32766)
    n = 32766;
  DestinationString->Length = static_cast<USHORT>(n * sizeof(WCHAR));
  DestinationString->MaximumLength = static_cast<USHORT>(DestinationString->Length + sizeof(WCHAR));
}

VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  sim::detail::RequireIrql(sim::verifier::Check::IrqlDocumented, "RtlFreeUnicodeString",
                           PASSIVE_LEVEL);
  if (UnicodeString->Buffer)
    ExFreePool(UnicodeString->Buffer);
  UnicodeString->Buffer = nullptr;
  UnicodeString->Length = UnicodeString->MaximumLength = 0;
}
