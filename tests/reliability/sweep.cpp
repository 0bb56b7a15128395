#include "tests/reliability/sweep.h"

#include <algorithm>
#include <map>
#include <mutex>

#include "driver/driver.h"
#include "sim/image/driver_under_test.h"
#include "sim/kernel/harness.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/verifier.h"
#include "tests/support/driver/record_view.h"

namespace tarvik::sweep {
namespace {

std::mutex gFindingsMutex;
std::vector<std::string>* gFindings = nullptr;

void Collect(const sim::verifier::Violation& v) {
  std::lock_guard<std::mutex> lock(gFindingsMutex);
  if (gFindings)
    gFindings->push_back(v.message);
}

// The buffers a control request allocates for itself.
bool IsControlBufferTag(ULONG tag) {
  for (const char* t : {"kv51", "kv61", "kv71", "kv81", "kv91", "kvA1"}) {
    char name[5] = {t[0], t[1], t[2], t[3], 0};
    if (tag == sim::faults::Tag(name))
      return true;
  }
  return false;
}

struct Run {
  std::vector<std::string> findings;
  std::vector<sim::faults::Point> kernelPoints;
  std::vector<std::vector<sim::usb::WireRecord>> wire;  // per key
};

// One run of the scenario on a fresh machine, with `point` failed (if any).
Run RunOnce(const Scenario& scenario, const Point* point) {
  Run run;
  sim::ResetKernel();
  {
    std::lock_guard<std::mutex> lock(gFindingsMutex);
    gFindings = &run.findings;
  }
  sim::verifier::SetHook(Collect);
  size_t base = 0;
  {
    Machine machine;
    base = sim::faults::Recorded().size();  // points of the scenario count from here
    if (point && !point->usb)
      sim::faults::Fail(point->kernelKind, {static_cast<uint32_t>(point->ordinal - 1)});
    if (point && point->usb) {
      // The USB fault is planned on the key once it is plugged.
      sim::usb::Fault fault;
      fault.kind = point->usbKind;
      fault.rule.skip = point->skip;
      fault.status = STATUS_UNSUCCESSFUL;
      fault.usbdStatus = USBD_STATUS_STALL_PID;
      sim::usb::PlanForPlug(point->key, fault);
    }
    scenario.run(machine);
    // A control request whose own buffer could not be allocated reports it.
    if (point && !point->usb && point->kernelKind == sim::faults::Kind::PoolAllocation &&
        IsControlBufferTag(point->tag)) {
      const auto& s = machine.statuses();
      if (std::find(s.begin(), s.end(), STATUS_INSUFFICIENT_RESOURCES) == s.end())
        run.findings.push_back("a control buffer allocation failed and no request reported it");
    }
    // Nothing is running any more: every device still there is back at its base.
    // The image's device extension is not the host build's record: its count
    // of requests in progress is read on the host build only.
    for (auto& key : machine.keys()) {
      if (!key.fdo || sim::image::OnImage() || !sim::usb::Exists(key.pdo) ||
          sim::pnp::Top(key.pdo) != key.fdo)
        continue;
      const LONG outstanding = test::Record(key.fdo).OutstandingIo();
      if (outstanding != 1)
        run.findings.push_back("OutstandingIo is " + std::to_string(outstanding) +
                               " after the scenario");
    }
  }
  // The end of the machine (removal of what is left) belongs to the scenario too.
  auto recorded = sim::faults::Recorded();
  run.kernelPoints.assign(recorded.begin() + static_cast<long>(base), recorded.end());
  // The machine is gone (every stack removed): the whole wire of every key.
  for (size_t k = 0; k < sim::usb::Plugs(); ++k)
    run.wire.push_back(sim::usb::TraceOfPlug(k));
  sim::verifier::CheckEndOfTest();
  sim::verifier::SetHook(nullptr);
  {
    std::lock_guard<std::mutex> lock(gFindingsMutex);
    gFindings = nullptr;
  }
  sim::ResetKernel();
  return run;
}

}  // namespace

Machine::Machine() {
  sim::usb::LoadBus();
  NTSTATUS status = STATUS_SUCCESS;
  driver_ = sim::image::LoadDriverUnderTest(u"Tarvik4v2", DriverEntry, &status);
  client_ = std::make_unique<sim::Client>("sweep");
}

Machine::~Machine() {
  client_.reset();
  sim::Shutdown();
}

Machine::Key Machine::Plug(const sim::usb::KeyConfig& config) {
  Key key;
  key.pdo = sim::usb::Plug(config);
  if (key.pdo && NT_SUCCESS(sim::pnp::AddDevice(driver_, key.pdo)))
    key.fdo = sim::pnp::Top(key.pdo);
  keys_.push_back(key);
  return key;
}

NTSTATUS Machine::Control(HANDLE handle, ULONG code, const std::vector<UCHAR>& input,
                          ULONG output) {
  const NTSTATUS status = client_->DeviceIoControl(handle, code, input, output).Status;
  statuses_.push_back(status);
  return status;
}

HANDLE Machine::Open(const GUID& interfaceClass) {
  auto links = sim::interfaces::Enabled(interfaceClass);
  if (links.empty())
    return nullptr;
  auto open = client_->OpenInterface(links[0], FILE_SHARE_READ | FILE_SHARE_WRITE);
  return NT_SUCCESS(open.Status) ? open.Handle : nullptr;
}

std::string Point::Describe() const {
  if (usb)
    return std::string("usb ") + sim::usb::KindName(usbKind) + " #" + std::to_string(skip + 1) +
           " on key " + std::to_string(key);
  return std::string(sim::faults::Name(kernelKind)) + " #" + std::to_string(ordinal);
}

Result Sweep(const Scenario& scenario) {
  Result result;
  Run clean = RunOnce(scenario, nullptr);
  for (const auto& f : clean.findings)
    result.findings.push_back("clean run: " + f);

  std::vector<Point> points;
  std::map<sim::faults::Kind, uint64_t> ordinals;
  for (const auto& p : clean.kernelPoints) {
    Point point;
    point.kernelKind = p.kind;
    point.ordinal = ++ordinals[p.kind];
    point.tag = p.tag;
    points.push_back(point);
  }
  for (size_t k = 0; k < clean.wire.size(); ++k) {
    std::map<sim::usb::Kind, ULONG> seen;
    for (const auto& record : clean.wire[k]) {
      Point point;
      point.usb = true;
      point.usbKind = record.kind;
      point.key = k;
      point.skip = seen[record.kind]++;
      points.push_back(point);
    }
  }
  result.points = points.size();
  for (const Point& point : points) {
    Run run = RunOnce(scenario, &point);
    for (const auto& f : run.findings)
      result.findings.push_back(point.Describe() + ": " + f);
  }
  return result;
}

}  // namespace tarvik::sweep
