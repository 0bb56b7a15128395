// [Version]: signature, provider, DriverVer, CatalogFile, PnpLockdown.
#include <cstdlib>
#include <regex>

#include "tools/infcheck/inf_rules.h"

namespace infcheck {
namespace {

const InfLine* VersionKey(const InfFile& inf, const char* key) {
  return inf.Key("Version", key);
}

std::string Value(const InfLine* line) {
  return line && !line->fields.empty() ? line->fields[0] : std::string();
}

bool LeapYear(int y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

// "MM/DD/YYYY,w.x.y.z": a calendar date, four numbers of at most 65535.
std::string DriverVerFault(const InfLine& line) {
  if (line.fields.size() != 2)
    return "is not a date and a version (MM/DD/YYYY,w.x.y.z)";
  std::smatch date;
  const std::string& d = line.fields[0];
  if (!std::regex_match(d, date, std::regex("([0-9]{2})/([0-9]{2})/([0-9]{4})")))
    return "date '" + d + "' is not MM/DD/YYYY";
  const int month = std::atoi(date[1].str().c_str());
  const int day = std::atoi(date[2].str().c_str());
  const int year = std::atoi(date[3].str().c_str());
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1 ||
      day > kDays[month - 1] + (month == 2 && LeapYear(year) ? 1 : 0) || year < 1980)
    return "date '" + d + "' is not a day of the calendar";
  std::smatch version;
  const std::string& v = line.fields[1];
  if (!std::regex_match(v, version,
                        std::regex("([0-9]{1,5})\\.([0-9]{1,5})\\.([0-9]{1,5})\\.([0-9]{1,5})")))
    return "version '" + v + "' is not four numbers w.x.y.z";
  for (int i = 1; i <= 4; ++i)
    if (std::atoi(version[i].str().c_str()) > 65535)
      return "version '" + v + "' has a number above 65535";
  return "";
}

}  // namespace

void CheckVersion(const InfFile& inf, std::vector<Finding>* out) {
  const InfSection* version = inf.Find("Version");
  if (!version) {
    out->push_back({"signature", 0, "no [Version] section"});
    return;
  }
  const InfLine* signature = VersionKey(inf, "Signature");
  if (!signature || !SameName(Value(signature), "$Windows NT$"))
    out->push_back({"signature", signature ? signature->number : version->number,
                    "Signature must be \"$Windows NT$\""});
  const InfLine* provider = VersionKey(inf, "Provider");
  if (!provider || Value(provider).empty())
    out->push_back({"provider", provider ? provider->number : version->number, "no Provider"});
  const InfLine* driverVer = VersionKey(inf, "DriverVer");
  if (!driverVer)
    out->push_back({"driver-ver", version->number, "no DriverVer"});
  else if (const std::string fault = DriverVerFault(*driverVer); !fault.empty())
    out->push_back({"driver-ver", driverVer->number, "DriverVer " + fault});
  const InfLine* catalog = VersionKey(inf, "CatalogFile.NTamd64");
  if (!catalog)
    catalog = VersionKey(inf, "CatalogFile");
  const std::string cat = Value(catalog);
  if (cat.size() < 5 || !SameName(cat.substr(cat.size() - 4), ".cat") ||
      cat.find_first_of("\\/:") != std::string::npos)
    out->push_back({"catalog-file", catalog ? catalog->number : version->number,
                    "CatalogFile must name a .cat file beside the INF"});
  const InfLine* lockdown = VersionKey(inf, "PnpLockdown");
  if (Value(lockdown) != "1")
    out->push_back(
        {"pnp-lockdown", lockdown ? lockdown->number : version->number, "PnpLockdown must be 1"});
}

}  // namespace infcheck
