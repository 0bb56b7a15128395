#include "bench/world.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "driver/driver.h"
#include "driver/ioctl.h"
#include "sim/image/driver_under_test.h"
#include "sim/kernel/faults.h"
#include "sim/kernel/verifier.h"

namespace tarvik::bench {

namespace {
void Die(const char* what, NTSTATUS status) {
  std::fprintf(stderr, "benchmark set-up: %s failed with 0x%08X\n", what,
               static_cast<unsigned>(status));
  std::exit(1);
}
}  // namespace

World::World(int keys, const sim::usb::Timing& timing) {
  sim::ResetKernel();
  sim::verifier::SetHook([](const sim::verifier::Violation& v) {
    std::fprintf(stderr, "verifier: %s\n", v.message.c_str());
    std::abort();
  });
  sim::usb::LoadBus();
  NTSTATUS status = STATUS_SUCCESS;
  PDRIVER_OBJECT driver = sim::image::LoadDriverUnderTest(u"Tarvik4v2", DriverEntry, &status);
  if (!driver)
    Die("loading the driver", status);
  client_ = std::make_unique<sim::Client>("bench");
  for (int k = 0; k < keys; ++k) {
    PDEVICE_OBJECT pdo = sim::usb::Plug(sim::usb::PrimaryKey());
    if (!NT_SUCCESS(status = sim::pnp::AddDevice(driver, pdo)))
      Die("AddDevice", status);
    if (!NT_SUCCESS(status = sim::pnp::Start(pdo)))
      Die("start", status);
    sim::usb::SetTiming(pdo, timing);
    pdos_.push_back(pdo);
  }
  auto links = sim::interfaces::Enabled(GUID_KEY_INTERFACE_PRIMARY);
  for (int k = 0; k < keys; ++k) {
    auto open = client_->OpenInterface(links.at(k), FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (!NT_SUCCESS(open.Status))
      Die("opening the key", open.Status);
    handles_.push_back(open.Handle);
  }
}

World::~World() {
  for (HANDLE h : handles_)
    client_->Close(h);
  client_.reset();
  sim::Shutdown();
  sim::verifier::CheckEndOfTest();
  sim::verifier::SetHook(nullptr);
  sim::ResetKernel();
}

NTSTATUS World::Exchange(int k, ULONG code, const std::vector<UCHAR>& input, ULONG output,
                         ULONG_PTR* returned) {
  auto io = client_->DeviceIoControl(handles_.at(k), code, input, output);
  if (returned)
    *returned = io.Information;
  return io.Status;
}

uint64_t World::Allocations() const {
  return sim::faults::CallCount(sim::faults::Kind::PoolAllocation);
}

double WireLimit(const sim::usb::Timing& timing, uint8_t interval) {
  const double frame = timing.highSpeed ? 125e-6 : 1e-3;
  double period;
  if (timing.highSpeed) {
    period = 125e-6 * (1u << (interval < 1 ? 0 : (interval > 16 ? 15 : interval - 1)));
  } else {
    unsigned ms = 1;
    while (ms * 2 <= interval && ms < 32)
      ms *= 2;
    period = ms * 1e-3;
  }
  // From one report to the next: the IN transfer and the next command's OUT
  // transfer take a frame each, then the report waits for the first polling
  // boundary after them.
  const double cycle = (std::floor(2 * frame / period + 1e-9) + 1) * period;
  return 1.0 / cycle;
}

}  // namespace tarvik::bench
