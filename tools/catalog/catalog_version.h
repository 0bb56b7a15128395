// Which catalog an OS list calls for. A version-1 catalog (SHA-1 members,
// CAT_MEMBERINFO) is what every Windows since XP reads; Windows 7 and older
// cannot read a version-2 catalog (SHA-256 members, CAT_MEMBERINFO2), so a
// version 2 is written only when every listed system is Windows 8 (NT 6.2) or
// later.
#pragma once

#include <string>

namespace catalog {

// The version (1 or 2) an OS attribute ("2:6.1,2:6.2,...": platform 2, NT, by
// kernel version major.minor) calls for; 0 when the list is malformed.
int CatalogVersionFor(const std::string& os_attr);

}  // namespace catalog
