// The failures planned for a device's requests, in the order they were
// planned: each lets `skip` matching requests pass first, then fails the
// next `count` of them.
#pragma once
#include <vector>

namespace sim::usb {

// Looks for the first planned failure that `matches` the request. While it
// still has requests to let pass, this one passes (one fewer to skip) and
// no later plan is looked at; otherwise it is copied to `*taken`, counted
// down and dropped at zero.
template <typename Planned, typename Matches>
bool TakePlannedFault(std::vector<Planned>& plan, Matches matches, Planned* taken) {
  for (auto it = plan.begin(); it != plan.end(); ++it) {
    if (!matches(*it))
      continue;
    if (it->skip > 0) {
      --it->skip;
      return false;
    }
    *taken = *it;
    if (--it->count == 0)
      plan.erase(it);
    return true;
  }
  return false;
}

}  // namespace sim::usb
