#include "tools/keysim/keys.h"

#include "tools/keysim/names.h"
#include "tools/keysim/options.h"
#include "tools/keysim/script.h"

namespace keysim {
namespace {

struct Family {
  const char* name;
  sim::usb::KeyConfig (*make)();
};

constexpr Family Families[] = {
    {"primary", sim::usb::PrimaryKey},
    {"legacy", sim::usb::LegacyPrimaryKey},
    {"secondary", sim::usb::SecondaryKey},
    {"unrecognised", sim::usb::UnrecognisedKey},
};

}  // namespace

std::optional<KeyDefinition> ParseKeyDefinition(const std::map<std::string, std::string>& options,
                                                std::string* error) {
  if (!OnlyKnown(options,
                 {"family", "vid", "pid", "rev", "interfaces", "pipes", "padding", "serial",
                  "secret", "info", "short-reads", "announce-extra", "pipe-flags", "completion"},
                 error))
    return std::nullopt;
  KeyDefinition d;
  auto family = options.find("family");
  const std::string familyName = family == options.end() ? "primary" : family->second;
  const Family* chosen = nullptr;
  for (const Family& f : Families)
    if (familyName == f.name)
      chosen = &f;
  if (!chosen) {
    *error = "family must be primary, legacy, secondary or unrecognised";
    return std::nullopt;
  }
  d.config = chosen->make();
  auto& c = d.config;
  if (!NumberOption(options, "vid", 0xFFFF, &c.vendorId, error) ||
      !NumberOption(options, "pid", 0xFFFF, &c.productId, error) ||
      !NumberOption(options, "rev", 0xFFFF, &c.bcdDevice, error) ||
      !NumberOption(options, "interfaces", keymodel::kMaxInterfaces, &c.interfaceCount, error) ||
      !NumberOption(options, "pipes", keymodel::kMaxEndpoints, &c.endpointCount, error) ||
      !NumberOption(options, "padding", keymodel::kMaxPadding, &c.vendorPadding, error) ||
      !NumberOption(options, "serial", 0xFFFFFFFF, &c.serial, error) ||
      !NumberOption(options, "secret", 0xFFFFFFFF, &c.secret, error) ||
      !NumberOption(options, "short-reads", 0xFFFF, &c.shortReads, error) ||
      !NumberOption(options, "announce-extra", 0xFFFF, &c.announceExtra, error) ||
      !NumberOption(options, "pipe-flags", 0xFFFFFFFF, &c.pipeFlags, error))
    return std::nullopt;
  for (uint32_t i = 1; i < c.endpointCount; ++i)
    c.endpoints[i] = {static_cast<uint8_t>(0x80 | (i + 1)), 0x02, 64, 0};  // bulk IN pipes
  auto info = options.find("info");
  if (info != options.end()) {
    std::optional<std::vector<uint8_t>> bytes = ParseHex(info->second);
    if (!bytes || bytes->size() > keymodel::kInfoBlockSize) {
      *error = "info must be at most 64 bytes of hex";
      return std::nullopt;
    }
    std::fill(std::begin(c.infoBlock), std::end(c.infoBlock), 0);
    std::copy(bytes->begin(), bytes->end(), c.infoBlock);
    c.infoBlockLength = static_cast<uint8_t>(bytes->size());
  }
  auto completion = options.find("completion");
  if (completion != options.end()) {
    if (completion->second == "pending") {
      d.completion = sim::usb::Completion::Pending;
    } else if (completion->second != "sync") {
      *error = "completion must be sync or pending";
      return std::nullopt;
    }
  }
  return d;
}

std::optional<UsbFault> ParseUsbFault(const std::string& kind,
                                      const std::map<std::string, std::string>& options,
                                      std::string* error) {
  if (!OnlyKnown(options, {"count", "skip", "status", "usbd", "halt"}, error))
    return std::nullopt;
  UsbFault fault;
  bool found = false;
  for (int k = 0; k < static_cast<int>(sim::usb::Kind::Other); ++k) {
    if (kind == sim::usb::KindName(static_cast<sim::usb::Kind>(k))) {
      fault.kind = static_cast<sim::usb::Kind>(k);
      found = true;
    }
  }
  if (!found) {
    *error = "unknown USB request kind '" + kind + "'";
    return std::nullopt;
  }
  uint32_t usbd = static_cast<uint32_t>(fault.usbdStatus);
  uint32_t halt = 0;
  if (!NumberOption(options, "count", 0xFFFFFFFF, &fault.rule.count, error) ||
      !NumberOption(options, "skip", 0xFFFFFFFF, &fault.rule.skip, error) ||
      !NumberOption(options, "usbd", 0xFFFFFFFF, &usbd, error) ||
      !NumberOption(options, "halt", 1, &halt, error))
    return std::nullopt;
  fault.usbdStatus = static_cast<USBD_STATUS>(usbd);
  fault.halt = halt != 0;
  if (!StatusOption(options, &fault.status, error))
    return std::nullopt;
  return fault;
}

std::unique_ptr<KeyHost> KeyHost::Create() {
  sim::usb::LoadBus();
  return std::unique_ptr<KeyHost>(new KeyHost());
}

PDEVICE_OBJECT KeyHost::Plug(const KeyDefinition& definition) {
  PDEVICE_OBJECT pdo = sim::usb::Plug(definition.config);
  if (pdo)
    sim::usb::SetCompletion(pdo, definition.completion);
  return pdo;
}

void KeyHost::Unplug(PDEVICE_OBJECT pdo) {
  sim::usb::Unplug(pdo);
}

void KeyHost::Removed(PDEVICE_OBJECT) {
  // The bus deletes the PDO of a key that has left it; one still plugged
  // stays the bus's until the end.
}

std::vector<std::string> KeyHost::TakeTrace(PDEVICE_OBJECT pdo, const std::string& name) {
  std::vector<std::string> lines;
  if (!pdo) {
    lines.push_back(name + " is not on the bus");
    return lines;
  }
  for (const auto& record : sim::usb::Trace(pdo))
    lines.push_back(record.Text());
  sim::usb::ClearTrace(pdo);
  if (lines.empty())
    lines.push_back("(nothing on the wire)");
  return lines;
}

void KeyHost::Fail(PDEVICE_OBJECT pdo, const UsbFault& fault) {
  sim::usb::AddFault(pdo, fault);
}

void KeyHost::ClearFaults(PDEVICE_OBJECT pdo) {
  sim::usb::ClearFaults(pdo);
}

}  // namespace keysim
