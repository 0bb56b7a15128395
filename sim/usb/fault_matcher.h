// The failures planned for a device's requests, in the order they were
// planned, each with its FaultRule.
#pragma once
#include <vector>

namespace sim::usb {

// Looks for the first planned failure that `matches` the request: that one
// alone counts it. While its rule still lets requests pass, this one passes
// and no later plan is looked at; otherwise it is copied to `*taken`, and
// dropped once its rule is spent.
template <typename Planned, typename Matches>
bool TakePlannedFault(std::vector<Planned>& plan, Matches matches, Planned* taken) {
  for (auto it = plan.begin(); it != plan.end(); ++it) {
    if (!matches(*it))
      continue;
    if (!it->rule.Take())
      return false;
    *taken = *it;
    if (it->rule.Spent())
      plan.erase(it);
    return true;
  }
  return false;
}

}  // namespace sim::usb
