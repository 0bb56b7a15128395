#include "fuzz/machine.h"

#include <cstdio>
#include <cstdlib>

#include "driver/driver.h"
#include "sim/kernel/clock.h"
#include "sim/kernel/verifier.h"

namespace tarvik::fuzz {

Machine::Machine() {
  sim::ResetKernel();
  // An interrupt read of a key with nothing to report waits out its 5 s
  // bound: on a fast clock that is 50 us, not 5 s of every run.
  sim::clock::SetRate(100000);
  sim::verifier::SetHook([](const sim::verifier::Violation& v) {
    std::fprintf(stderr, "verifier: %s\n", v.message.c_str());
    std::abort();
  });
  sim::usb::LoadBus();
  driver_ = sim::LoadDriver(u"Tarvik4v2", DriverEntry);
  client_ = std::make_unique<sim::Client>("fuzz");
}

Machine::~Machine() {
  client_.reset();
  sim::Shutdown();
  sim::verifier::CheckEndOfTest();
  sim::verifier::SetHook(nullptr);
  sim::ResetKernel();
}

PDEVICE_OBJECT Machine::Plug(const sim::usb::KeyConfig& config, PDEVICE_OBJECT* pdo) {
  *pdo = sim::usb::Plug(config);
  if (!NT_SUCCESS(sim::pnp::AddDevice(driver_, *pdo)))
    return nullptr;
  return sim::pnp::Top(*pdo);
}

}  // namespace tarvik::fuzz
