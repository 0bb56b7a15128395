#include "tools/keysim/runner.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "driver/driver.h"
#include "driver/ioctl.h"
#include "sim/image/driver_under_test.h"
#include "sim/kernel/faults.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/verifier.h"
#include "tools/keysim/bus_requests.h"
#include "tools/keysim/names.h"
#include "tools/keysim/options.h"

namespace keysim {
namespace {

struct PnpVerb {
  const char* verb;
  NTSTATUS (*send)(PDEVICE_OBJECT pdo);
};

constexpr PnpVerb PnpVerbs[] = {
    {"start", sim::pnp::Start},
    {"query-stop", sim::pnp::QueryStop},
    {"cancel-stop", sim::pnp::CancelStop},
    {"stop", sim::pnp::Stop},
    {"query-remove", sim::pnp::QueryRemove},
    {"cancel-remove", sim::pnp::CancelRemove},
    {"surprise-remove", sim::pnp::SurpriseRemove},
    {"remove", sim::pnp::Remove},
};

const PnpVerb* FindPnpVerb(const std::string& verb) {
  for (const PnpVerb& entry : PnpVerbs) {
    if (verb == entry.verb) {
      return &entry;
    }
  }
  return nullptr;
}

struct InterfaceName {
  const char* name;
  const GUID* interfaceClass;
};

constexpr InterfaceName InterfaceNames[] = {
    {"primary", &GUID_KEY_INTERFACE_PRIMARY},
    {"secondary", &GUID_KEY_INTERFACE_SECONDARY},
    {"aux", &GUID_KEY_INTERFACE_AUX},
};

struct KernelFault {
  const char* name;
  sim::faults::Kind kind;
};

constexpr KernelFault KernelFaults[] = {
    {"thread", sim::faults::Kind::CreateSystemThread},
    {"power-request", sim::faults::Kind::RequestPowerIrp},
    {"build-request", sim::faults::Kind::BuildRequest},
    {"register-interface", sim::faults::Kind::RegisterInterface},
    {"interface-state", sim::faults::Kind::SetInterfaceState},
    {"attach", sim::faults::Kind::AttachDevice},
    {"create-device", sim::faults::Kind::CreateDevice},
};

// Share access by letters (r, w, d) or as a number.
std::optional<USHORT> ParseShare(const std::string& text) {
  if (text == "none") {
    return 0;
  }
  USHORT share = 0;
  bool letters = !text.empty();
  for (char c : text) {
    switch (c) {
      case 'r':
        share |= FILE_SHARE_READ;
        break;
      case 'w':
        share |= FILE_SHARE_WRITE;
        break;
      case 'd':
        share |= FILE_SHARE_DELETE;
        break;
      default:
        letters = false;
    }
  }
  if (letters) {
    return share;
  }
  std::optional<uint64_t> n = ParseNumber(text);
  if (!n || *n > 0xFFFF) {
    return std::nullopt;
  }
  return static_cast<USHORT>(*n);
}

std::string Option(const Step& step, const std::string& name, const std::string& fallback) {
  auto it = step.options.find(name);
  return it == step.options.end() ? fallback : it->second;
}

}  // namespace

Runner::Runner(std::ostream& out) : out_(out) {}

Runner::~Runner() = default;

const std::map<std::string, Runner::Handler>& Runner::Handlers() {
  static const std::map<std::string, Handler> handlers = [] {
    std::map<std::string, Handler> h = {
        {"key", &Runner::Key},
        {"plug", &Runner::Plug},
        {"unplug", &Runner::Unplug},
        {"capabilities", &Runner::Capabilities},
        {"power", &Runner::Power},
        {"open", &Runner::Open},
        {"close", &Runner::Close},
        {"read", &Runner::Read},
        {"write", &Runner::Write},
        {"ioctl", &Runner::Ioctl},
        {"fault", &Runner::Fault},
        {"trace", &Runner::Trace},
        {"bus", &Runner::Bus},
        {"system-control", &Runner::SystemControl},
        {"interfaces", &Runner::Interfaces},
        {"changes", &Runner::Changes},
        {"pool", &Runner::Pool},
        {"expect", &Runner::Expect},
    };
    for (const PnpVerb& verb : PnpVerbs) {
      h[verb.verb] = &Runner::Pnp;
    }
    return h;
  }();
  return handlers;
}

bool Runner::KnownKey(const std::string& name) const {
  return definitions_.count(name) != 0;
}

PDEVICE_OBJECT Runner::PdoOf(const std::string& name) const {
  auto it = plugged_.find(name);
  return it == plugged_.end() ? nullptr : it->second;
}

bool Runner::NamesOneKey(const Step& step) const {
  return step.words.size() == 1 && KnownKey(step.words[0]) && step.options.empty();
}

Runner::Outcome Runner::SendToKey(const Step& step, bool execute,
                                  NTSTATUS (*send)(PDEVICE_OBJECT pdo)) {
  Outcome o;
  if (!NamesOneKey(step)) {
    return Failed("usage: " + step.verb + " <key>");
  }
  if (!execute) {
    return o;
  }
  PDEVICE_OBJECT pdo = PdoOf(step.words[0]);
  if (pdo == nullptr) {
    return Failed("key is not plugged");
  }
  o.hasStatus = true;
  o.status = static_cast<uint32_t>(send(pdo));
  return o;
}

std::optional<ScriptError> Runner::Check(const std::vector<Step>& steps) {
  definitions_.clear();
  declaredHandles_.clear();
  for (const Step& step : steps) {
    auto it = Handlers().find(step.verb);
    if (it == Handlers().end()) {
      return ScriptError{step.line, "unknown step '" + step.verb + "'"};
    }
    Outcome outcome = (this->*(it->second))(step, false);
    if (!outcome.ok) {
      return ScriptError{step.line, outcome.error};
    }
  }
  definitions_.clear();
  declaredHandles_.clear();
  return std::nullopt;
}

int Runner::Run(const std::vector<Step>& steps) {
  sim::verifier::SetHook([this](const sim::verifier::Violation& v) {
    out_ << "  verifier: " << v.message << "\n";
    ++failures_;
  });
  host_ = KeyHost::Create();
  NTSTATUS loadStatus = STATUS_SUCCESS;
  driver_ = sim::image::LoadDriverUnderTest(u"Tarvik4v2", DriverEntry, &loadStatus);
  client_ = std::make_unique<sim::Client>("keysim");
  for (const Step& step : steps) {
    Outcome outcome = (this->*(Handlers().at(step.verb)))(step, true);
    out_ << step.line << ": " << step.text;
    if (outcome.hasStatus) {
      char value[16];
      std::snprintf(value, sizeof value, "0x%08X", outcome.status);
      out_ << " -> " << StatusName(outcome.status) << " (" << value << ")";
      haveLast_ = true;
      lastStatus_ = outcome.status;
    }
    if (outcome.hasBytes) {
      out_ << " bytes=" << outcome.bytes.size();
      if (!outcome.bytes.empty()) {
        out_ << " " << ToHex(outcome.bytes.data(), outcome.bytes.size());
      }
    }
    if (!outcome.ok) {
      out_ << " -> FAILED: " << outcome.error;
      ++failures_;
    }
    out_ << "\n";
    if (!outcome.note.empty()) {
      out_ << outcome.note;
    }
  }
  // The end of the scenario is the end of the machine: close what is open,
  // remove what is plugged, unload, and let the verifier audit the rest.
  client_.reset();
  sim::Shutdown();
  host_.reset();
  sim::verifier::CheckEndOfTest();
  sim::verifier::SetHook(nullptr);
  sim::ResetKernel();
  out_ << "end: " << (failures_ == 0 ? "ok" : std::to_string(failures_) + " failure(s)") << "\n";
  return failures_ == 0 ? 0 : 1;
}

Runner::Outcome Runner::Failed(std::string error) {
  Outcome o;
  o.ok = false;
  o.error = std::move(error);
  return o;
}

Runner::Outcome Runner::Key(const Step& step, bool execute) {
  Outcome o;
  if (step.words.size() != 1) {
    return Failed("usage: key <name> [option=value ...]");
  }
  std::optional<KeyDefinition> definition = ParseKeyDefinition(step.options, &o.error);
  if (!definition) {
    o.ok = false;
    return o;
  }
  definitions_[step.words[0]] = *definition;
  (void)execute;
  return o;
}

Runner::Outcome Runner::Plug(const Step& step, bool execute) {
  Outcome o;
  if (step.words.size() != 1 || !KnownKey(step.words[0])) {
    return Failed("usage: plug <key defined earlier>");
  }
  if (!execute) {
    return o;
  }
  PDEVICE_OBJECT pdo = host_->Plug(definitions_[step.words[0]]);
  plugged_[step.words[0]] = pdo;
  o.hasStatus = true;
  o.status = static_cast<uint32_t>(sim::pnp::AddDevice(driver_, pdo));
  PDEVICE_OBJECT top = pdo ? sim::pnp::Top(pdo) : nullptr;
  busViews_[step.words[0]] = BusView{pdo, top != pdo ? top : nullptr, 0};
  return o;
}

Runner::Outcome Runner::Unplug(const Step& step, bool execute) {
  Outcome o;
  if (step.words.size() != 1 || !KnownKey(step.words[0])) {
    return Failed("usage: unplug <key>");
  }
  if (!execute) {
    return o;
  }
  PDEVICE_OBJECT pdo = PdoOf(step.words[0]);
  if (pdo == nullptr) {
    return Failed("key is not plugged");
  }
  // The stack stays until Plug and Play removes it.
  host_->Unplug(pdo);
  return o;
}

Runner::Outcome Runner::Pnp(const Step& step, bool execute) {
  Outcome o = SendToKey(step, execute, FindPnpVerb(step.verb)->send);
  if (o.hasStatus && step.verb == "remove") {
    PDEVICE_OBJECT pdo = PdoOf(step.words[0]);
    plugged_.erase(step.words[0]);
    host_->Removed(pdo);
  }
  return o;
}

Runner::Outcome Runner::Capabilities(const Step& step, bool execute) {
  Outcome o;
  std::optional<uint64_t> size = ParseNumber(Option(step, "size", "64"));
  std::optional<uint64_t> version = ParseNumber(Option(step, "version", "1"));
  if (step.words.size() != 1 || !KnownKey(step.words[0]) || !size || *size > 0xFFFF || !version ||
      *version > 0xFFFF || !OnlyKnown(step.options, {"size", "version"}, &o.error)) {
    return Failed(o.error.empty() ? "usage: capabilities <key> [size=N] [version=N]" : o.error);
  }
  if (!execute) {
    return o;
  }
  PDEVICE_OBJECT pdo = PdoOf(step.words[0]);
  if (pdo == nullptr) {
    return Failed("key is not plugged");
  }
  DEVICE_CAPABILITIES caps{};
  sim::Result r = sim::pnp::QueryCapabilities(pdo, static_cast<USHORT>(*size),
                                              static_cast<USHORT>(*version), &caps);
  o.hasStatus = true;
  o.status = static_cast<uint32_t>(r.Status);
  std::string states = "  device states S0..S5:";
  for (int s = PowerSystemWorking; s <= PowerSystemShutdown; ++s) {
    states += " D" + std::to_string(static_cast<int>(caps.DeviceState[s]) - 1);
  }
  o.note = states + "\n";
  return o;
}

Runner::Outcome Runner::Power(const Step& step, bool execute) {
  Outcome o;
  // power <key> system|device set|query <state>
  if (step.words.size() != 4 || !KnownKey(step.words[0]) ||
      (step.words[1] != "system" && step.words[1] != "device") ||
      (step.words[2] != "set" && step.words[2] != "query")) {
    return Failed("usage: power <key> system|device set|query <S0..S5|D0..D3|number>");
  }
  bool system = step.words[1] == "system";
  std::optional<uint32_t> state =
      system ? SystemPowerState(step.words[3]) : DevicePowerState(step.words[3]);
  if (!state) {
    return Failed("bad power state '" + step.words[3] + "'");
  }
  if (!execute) {
    return o;
  }
  PDEVICE_OBJECT pdo = PdoOf(step.words[0]);
  if (pdo == nullptr) {
    return Failed("key is not plugged");
  }
  bool set = step.words[2] == "set";
  NTSTATUS status;
  if (system) {
    auto s = static_cast<SYSTEM_POWER_STATE>(*state);
    status = set ? sim::power::SetSystem(pdo, s) : sim::power::QuerySystem(pdo, s);
  } else {
    auto d = static_cast<DEVICE_POWER_STATE>(*state);
    status = set ? sim::power::SetDevice(pdo, d) : sim::power::QueryDevice(pdo, d);
  }
  o.hasStatus = true;
  o.status = static_cast<uint32_t>(status);
  return o;
}

Runner::Outcome Runner::Open(const Step& step, bool execute) {
  Outcome o;
  // open <handle> <key> [interface=primary|secondary|aux] [share=...]
  std::optional<USHORT> share = ParseShare(Option(step, "share", "rw"));
  std::string which = Option(step, "interface", "");
  const InterfaceName* named = nullptr;
  for (const InterfaceName& entry : InterfaceNames) {
    if (which == entry.name) {
      named = &entry;
    }
  }
  if (step.words.size() != 2 || !KnownKey(step.words[1]) || !share ||
      (!which.empty() && named == nullptr) ||
      !OnlyKnown(step.options, {"interface", "share"}, &o.error)) {
    return Failed(o.error.empty()
                      ? "usage: open <handle> <key> [interface=primary|secondary|aux] [share=rwd|N]"
                      : o.error);
  }
  declaredHandles_.push_back(step.words[0]);
  if (!execute) {
    return o;
  }
  PDEVICE_OBJECT pdo = PdoOf(step.words[1]);
  if (pdo == nullptr) {
    return Failed("key is not plugged");
  }
  // Without a named interface: the first enabled interface of the key.
  std::u16string link;
  for (const sim::interfaces::Interface& i : sim::interfaces::All()) {
    if (i.Pdo != pdo || (named != nullptr && !(i.Class == *named->interfaceClass))) {
      continue;
    }
    if (named != nullptr || i.Enabled) {
      link = i.SymbolicLink;
      break;
    }
  }
  sim::Client::Open opened{STATUS_OBJECT_NAME_NOT_FOUND, nullptr};
  if (!link.empty()) {
    opened = client_->OpenInterface(link, *share);
  }
  if (opened.Handle != nullptr) {
    handles_[step.words[0]] = opened.Handle;
  }
  o.hasStatus = true;
  o.status = static_cast<uint32_t>(opened.Status);
  return o;
}

namespace {

bool Declared(const std::vector<std::string>& handles, const std::string& name) {
  for (const std::string& h : handles) {
    if (h == name) {
      return true;
    }
  }
  return false;
}

}  // namespace

Runner::Outcome Runner::Close(const Step& step, bool execute) {
  Outcome o;
  if (step.words.size() != 1 || !Declared(declaredHandles_, step.words[0])) {
    return Failed("usage: close <handle opened earlier>");
  }
  if (!execute) {
    return o;
  }
  auto it = handles_.find(step.words[0]);
  if (it == handles_.end()) {
    return Failed("handle is not open");
  }
  o.hasStatus = true;
  o.status = static_cast<uint32_t>(client_->Close(it->second));
  handles_.erase(it);
  return o;
}

Runner::Outcome Runner::Read(const Step& step, bool execute) {
  Outcome o;
  std::optional<uint64_t> length =
      step.words.size() == 2 ? ParseNumber(step.words[1]) : std::nullopt;
  if (!length || *length > 0x100000 || !Declared(declaredHandles_, step.words[0])) {
    return Failed("usage: read <handle> <length>");
  }
  if (!execute) {
    return o;
  }
  auto it = handles_.find(step.words[0]);
  if (it == handles_.end()) {
    return Failed("handle is not open");
  }
  sim::Client::Io io = client_->Read(it->second, static_cast<ULONG>(*length));
  o.hasStatus = o.hasBytes = true;
  o.status = static_cast<uint32_t>(io.Status);
  o.bytes = io.Output;
  return o;
}

Runner::Outcome Runner::Write(const Step& step, bool execute) {
  Outcome o;
  std::optional<std::vector<uint8_t>> data =
      step.words.size() == 2 ? ParseHex(step.words[1]) : std::nullopt;
  if (!data || !Declared(declaredHandles_, step.words[0])) {
    return Failed("usage: write <handle> <hex bytes or ->");
  }
  if (!execute) {
    return o;
  }
  auto it = handles_.find(step.words[0]);
  if (it == handles_.end()) {
    return Failed("handle is not open");
  }
  sim::Client::Io io = client_->Write(it->second, *data);
  o.hasStatus = o.hasBytes = true;
  o.status = static_cast<uint32_t>(io.Status);
  o.bytes = io.Output;
  return o;
}

Runner::Outcome Runner::Ioctl(const Step& step, bool execute) {
  Outcome o;
  // ioctl <handle> <code> [in=<hex>] [out=<length>] [internal=1]
  // The code as a plain number: GCC at -O3 cannot see that an optional one
  // is always engaged where it is read.
  const std::optional<uint32_t> named =
      step.words.size() == 2 ? ControlCodeByName(step.words[1]) : std::nullopt;
  const bool haveCode = named.has_value();
  const uint32_t code = named.value_or(0);
  std::optional<std::vector<uint8_t>> input = ParseHex(Option(step, "in", "-"));
  std::optional<uint64_t> out = ParseNumber(Option(step, "out", "0"));
  std::string internal = Option(step, "internal", "0");
  if (!haveCode || !input || !out || *out > 0x100000 || (internal != "0" && internal != "1") ||
      step.words.empty() || !Declared(declaredHandles_, step.words[0]) ||
      !OnlyKnown(step.options, {"in", "out", "internal"}, &o.error)) {
    return Failed(o.error.empty()
                      ? "usage: ioctl <handle> <code name or number> [in=<hex>] [out=<length>]"
                      : o.error);
  }
  if (!execute) {
    return o;
  }
  auto it = handles_.find(step.words[0]);
  if (it == handles_.end()) {
    return Failed("handle is not open");
  }
  sim::Client::Io io =
      internal == "1"
          ? client_->InternalDeviceIoControl(it->second, code, *input, static_cast<ULONG>(*out))
          : client_->DeviceIoControl(it->second, code, *input, static_cast<ULONG>(*out));
  o.hasStatus = o.hasBytes = true;
  o.status = static_cast<uint32_t>(io.Status);
  o.bytes = io.Output;
  return o;
}

template <typename Parse, typename Plan>
Runner::Outcome Runner::KeyFault(const Step& step, bool execute, const char* usage, Parse parse,
                                 Plan plan) {
  Outcome o;
  if (step.words.size() != 3 || !KnownKey(step.words[1])) {
    return Failed(usage);
  }
  auto fault = parse(step.words[2], step.options, &o.error);
  if (!fault) {
    o.ok = false;
    return o;
  }
  if (execute) {
    PDEVICE_OBJECT pdo = PdoOf(step.words[1]);
    if (pdo == nullptr) {
      return Failed("key is not plugged");
    }
    plan(pdo, *fault);
  }
  return o;
}

Runner::Outcome Runner::Fault(const Step& step, bool execute) {
  Outcome o;
  if (step.words.empty()) {
    return Failed("usage: fault usb|pool|clear|<kernel fault> ...");
  }
  const std::string& what = step.words[0];
  std::optional<uint64_t> nth = ParseNumber(Option(step, "nth", "1"));
  std::optional<uint64_t> count = ParseNumber(Option(step, "count", "1"));
  if (!nth || *nth == 0 || !count || *count == 0) {
    return Failed("nth and count are numbers from 1");
  }
  // The nth call fails after n - 1 pass; counts beyond the rule's range fail every call.
  const uint64_t limit = sim::FaultRule::kEvery;
  const sim::FaultRule rule{static_cast<uint32_t>(std::min(*nth - 1, limit)),
                            static_cast<uint32_t>(std::min(*count, limit))};
  if (what == "clear") {
    if (execute) {
      sim::faults::ClearRules();
      for (const auto& [name, pdo] : plugged_) {
        host_->ClearFaults(pdo);
        sim::usb::ClearBusFaults(pdo);
      }
    }
    return o;
  }
  if (what == "pool") {
    // fault pool <tag> [nth=N] [count=N]
    if (step.words.size() != 2 || step.words[1].size() != 4 ||
        !OnlyKnown(step.options, {"nth", "count"}, &o.error)) {
      return Failed(o.error.empty() ? "usage: fault pool <four-character tag> [nth=N] [count=N]"
                                    : o.error);
    }
    if (execute) {
      const std::string& t = step.words[1];
      char tag[5] = {t[0], t[1], t[2], t[3], 0};
      sim::faults::Fail(sim::faults::Kind::PoolAllocation, rule, sim::faults::Tag(tag));
    }
    return o;
  }
  if (what == "usb") {
    // fault usb <key> <kind> [count=N] [status=...] and the kind's own options
    return KeyFault(step, execute, "usage: fault usb <key> <kind> [option=value ...]",
                    ParseUsbFault,
                    [this](PDEVICE_OBJECT pdo, const UsbFault& fault) { host_->Fail(pdo, fault); });
  }
  if (what == "bus") {
    // fault bus <key> <request> [type=] [state=] [count=] [skip=] [status=] [pending=1]
    return KeyFault(step, execute, "usage: fault bus <key> <request> [option=value ...]",
                    ParseBusFault, sim::usb::AddBusFault);
  }
  for (const KernelFault& entry : KernelFaults) {
    if (what == entry.name) {
      if (step.words.size() != 1 || !OnlyKnown(step.options, {"nth", "count"}, &o.error)) {
        return Failed(o.error.empty() ? "usage: fault " + what + " [nth=N] [count=N]" : o.error);
      }
      if (execute) {
        sim::faults::Fail(entry.kind, rule);
      }
      return o;
    }
  }
  return Failed("unknown fault '" + what + "'");
}

Runner::Outcome Runner::Trace(const Step& step, bool execute) {
  Outcome o;
  if (step.words.size() != 1 || !KnownKey(step.words[0])) {
    return Failed("usage: trace <key>");
  }
  if (!execute) {
    return o;
  }
  PDEVICE_OBJECT pdo = PdoOf(step.words[0]);
  for (const std::string& line : host_->TakeTrace(pdo, step.words[0])) {
    o.note += "  " + line + "\n";
  }
  return o;
}

Runner::Outcome Runner::Bus(const Step& step, bool execute) {
  Outcome o;
  if (!NamesOneKey(step)) {
    return Failed("usage: bus <key>");
  }
  if (!execute) {
    return o;
  }
  auto it = busViews_.find(step.words[0]);
  if (it == busViews_.end()) {
    o.note = "  " + step.words[0] + " was never plugged\n";
    return o;
  }
  BusView& view = it->second;
  for (const std::string& line : BusLines(view.pdo, view.fdo, &view.mark)) {
    o.note += "  " + line + "\n";
  }
  return o;
}

Runner::Outcome Runner::SystemControl(const Step& step, bool execute) {
  return SendToKey(step, execute, SendSystemControl);
}

Runner::Outcome Runner::Interfaces(const Step& step, bool execute) {
  Outcome o;
  if (!step.words.empty() || !step.options.empty()) {
    return Failed("usage: interfaces");
  }
  if (!execute) {
    return o;
  }
  for (const sim::interfaces::Interface& i : sim::interfaces::All()) {
    std::string key = "?";
    for (const auto& [name, pdo] : plugged_) {
      key = pdo == i.Pdo ? name : key;
    }
    std::string which = "?";
    for (const InterfaceName& entry : InterfaceNames) {
      which = i.Class == *entry.interfaceClass ? entry.name : which;
    }
    o.note += "  " + key + " " + which + (i.Enabled ? " enabled" : " disabled") + "\n";
  }
  return o;
}

Runner::Outcome Runner::Changes(const Step& step, bool execute) {
  Outcome o;
  if (!step.words.empty() || !step.options.empty()) {
    return Failed("usage: changes");
  }
  if (!execute) {
    return o;
  }
  // Reports come from the driver's own threads: let them finish first.
  sim::WaitForSystemThreads(std::chrono::seconds(10));
  for (const sim::changes::Report& r : sim::changes::Reports()) {
    std::string key = "?";
    for (const auto& [name, pdo] : plugged_) {
      key = pdo == r.Pdo ? name : key;
    }
    bool keyEvent = r.Event == GUID_KEY_CHANGE_EVENT;
    o.note += "  " + key + (keyEvent ? " key-change-event" : " other-event") +
              " size=" + std::to_string(r.Size) + " data=" + ToHex(r.Data.data(), r.Data.size()) +
              "\n";
  }
  return o;
}

Runner::Outcome Runner::Pool(const Step& step, bool execute) {
  Outcome o;
  if (!step.words.empty() || !step.options.empty()) {
    return Failed("usage: pool");
  }
  if (!execute) {
    return o;
  }
  o.note = "  live allocations: " + std::to_string(sim::pool::LiveCount()) + "\n";
  return o;
}

Runner::Outcome Runner::Expect(const Step& step, bool execute) {
  Outcome o;
  std::optional<uint32_t> want =
      step.words.size() == 1 ? StatusByName(step.words[0]) : std::nullopt;
  if (!want) {
    return Failed("usage: expect <status name or number>");
  }
  if (!execute) {
    return o;
  }
  if (!haveLast_ || lastStatus_ != *want) {
    return Failed("previous status was " + (haveLast_ ? StatusName(lastStatus_) : "none"));
  }
  return o;
}

}  // namespace keysim
