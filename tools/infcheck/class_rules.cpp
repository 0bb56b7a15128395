// The setup class: Class and ClassGuid name the same system-defined class, and
// the class suits the devices the models install.
#include "tools/infcheck/inf_rules.h"

namespace infcheck {
namespace {

struct KnownClass {
  const char* name;
  const char* guid;
};

// System-defined setup classes (devguid.h and the class list of the WDK docs).
constexpr KnownClass kClasses[] = {
    {"USBDevice", "{88BAE032-5A81-49F0-BC3D-A4FF138216D6}"},
    {"System", "{4D36E97D-E325-11CE-BFC1-08002BE10318}"},
    {"USB", "{36FC9E60-C465-11CF-8056-444553540000}"},
    {"HIDClass", "{745A17A0-74D3-11D0-B6FE-00A0C90F57DA}"},
    {"SmartCardReader", "{50DD5230-BA8A-11D1-BF5D-0000F805F530}"},
    {"Net", "{4D36E972-E325-11CE-BFC1-08002BE10318}"},
    {"Ports", "{4D36E978-E325-11CE-BFC1-08002BE10318}"},
};

// The class a device of an enumerator belongs in: a vendor device on USB in
// USBDevice (USB is the class of host controllers and hubs), a root-enumerated
// software device in System.
struct EnumeratorClass {
  const char* enumerator;
  const char* cls;
};
constexpr EnumeratorClass kEnumerators[] = {{"usb", "USBDevice"}, {"root", "System"}};

std::string Enumerator(const std::string& hardwareId) {
  const size_t slash = hardwareId.find('\\');
  return slash == std::string::npos ? std::string() : Lower(hardwareId.substr(0, slash));
}

}  // namespace

void CheckClass(const InfFile& inf, std::vector<Finding>* out) {
  const InfLine* cls = inf.Key("Version", "Class");
  const InfLine* guid = inf.Key("Version", "ClassGuid");
  if (!inf.Find("Version"))
    return;  // the signature rule names it
  const int at = inf.Find("Version")->number;
  if (!cls || !guid || cls->fields.empty() || guid->fields.empty()) {
    out->push_back({"class", cls ? cls->number : at, "Class and ClassGuid must both be given"});
    return;
  }
  const std::string& name = cls->fields[0];
  const KnownClass* known = nullptr;
  for (const auto& k : kClasses)
    if (SameName(k.guid, guid->fields[0]))
      known = &k;
  if (!known) {
    out->push_back(
        {"class", guid->number, "ClassGuid " + guid->fields[0] + " is no system-defined class"});
    return;
  }
  if (!SameName(known->name, name)) {
    out->push_back({"class", cls->number,
                    "Class " + name + " does not go with ClassGuid " + guid->fields[0] + " (" +
                        known->name + ")"});
    return;
  }
  for (const auto& model : Models(inf)) {
    for (const auto& id : model.hardwareIds) {
      for (const auto& e : kEnumerators) {
        if (Enumerator(id) == e.enumerator && !SameName(name, e.cls))
          out->push_back({"class-device", model.line->number,
                          id + " belongs in class " + e.cls + ", not " + name});
      }
    }
  }
}

}  // namespace infcheck
