// The IRQL a kernel routine may be called at. Each limit comes from the DDI
// compliance rule that states it (Windows' verifier stops with bug check 0xC4
// and the rule's code), or, for a routine no rule names, from its reference
// page (IrqlDocumented).
#include "sim/kernel/internal.h"

namespace sim::detail {

void RequireIrql(Check rule, const char* routine, KIRQL highest) {
  if (highest == PASSIVE_LEVEL)
    AuditPassiveOnlyCall(routine);
  const KIRQL irql = Current().irql;
  if (irql > highest)
    Violation(rule, std::string(routine) + " at IRQL " + std::to_string(irql) +
                        "; it may be called at IRQL " + std::to_string(highest) + " at most");
}

}  // namespace sim::detail
