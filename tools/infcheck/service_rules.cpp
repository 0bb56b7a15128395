// Services: each install section's .Services section installs the device's
// service (AddService with flag 0x2), and the service's binary is the file the
// install section copies, in the folder it copies it to.
#include <cstdlib>
#include <regex>

#include "tools/infcheck/copied_files.h"
#include "tools/infcheck/inf_rules.h"
#include "tools/infcheck/install_models.h"

namespace infcheck {
namespace {

constexpr unsigned long kAssociateService = 0x2;  // SPSVCINST_ASSOCSERVICE

void CheckBinary(const InfFile& inf, const std::string& install, const InfLine& addService,
                 std::vector<Finding>* out) {
  const std::string service = addService.fields.size() > 2 ? addService.fields[2] : "";
  if (service.empty() || !inf.Find(service))
    return;  // the sections rule names a missing one
  const InfLine* binary = inf.Key(service, "ServiceBinary");
  if (!binary || binary->fields.empty()) {
    out->push_back({"service-binary", addService.number, "[" + service + "] has no ServiceBinary"});
    return;
  }
  std::smatch path;
  const std::string& text = binary->fields[0];
  if (!std::regex_match(text, path, std::regex("%([0-9]+)%\\\\([^\\\\]+)"))) {
    out->push_back(
        {"service-binary", binary->number, "ServiceBinary " + text + " is not %dirid%\\file"});
    return;
  }
  for (const auto& copy : CopiedFiles(inf, install)) {
    if (!SameName(copy.target, path[2].str()))
      continue;
    if (copy.destination != path[1].str())
      out->push_back({"service-binary", binary->number,
                      "ServiceBinary " + text + " is in %" + path[1].str() + "%, but [" + install +
                          "] copies it to %" + copy.destination + "%"});
    return;
  }
  out->push_back({"service-binary", binary->number,
                  "ServiceBinary " + text + " is not a file [" + install + "] copies"});
}

}  // namespace

void CheckServices(const InfFile& inf, std::vector<Finding>* out) {
  for (const auto& model : FirstModelOfEachInstall(inf)) {
    const std::string services = model.resolved + ".Services";
    bool associated = false;
    for (const InfLine* line : inf.Lines(services)) {
      if (!line->hasKey || !SameName(line->key, "AddService"))
        continue;
      const std::string flags = line->fields.size() > 1 ? line->fields[1] : "0";
      if (std::strtoul(flags.c_str(), nullptr, 0) & kAssociateService)
        associated = true;
      CheckBinary(inf, model.resolved, *line, out);
    }
    if (!associated)
      out->push_back(
          {"service-binary", model.line->number,
           "[" + services + "] installs no service for the device (AddService, flag 0x2)"});
  }
}

}  // namespace infcheck
