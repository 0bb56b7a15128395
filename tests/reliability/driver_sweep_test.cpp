// Every fault point of every scenario, failed in turn.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "driver/driver.h"
#include "driver/ioctl.h"
#include "sim/kernel/harness.h"
#include "tests/reliability/sweep.h"

namespace tarvik::sweep {
namespace {

void StartStopRestart(Machine& m) {
  auto key = m.Plug(sim::usb::PrimaryKey());
  if (!key.fdo)
    return;
  sim::pnp::QueryCapabilities(key.pdo, sizeof(DEVICE_CAPABILITIES), 1, nullptr);
  if (!NT_SUCCESS(sim::pnp::Start(key.pdo)))
    return;
  if (NT_SUCCESS(sim::pnp::QueryStop(key.pdo))) {
    sim::pnp::Stop(key.pdo);
    sim::pnp::Start(key.pdo);
  }
  sim::pnp::QueryStop(key.pdo);
  sim::pnp::CancelStop(key.pdo);
}

void EachFamily(Machine& m) {
  for (auto config :
       {sim::usb::LegacyPrimaryKey(), sim::usb::SecondaryKey(), sim::usb::UnrecognisedKey()}) {
    auto key = m.Plug(config);
    if (key.fdo)
      sim::pnp::Start(key.pdo);
  }
}

void SurpriseRemoval(Machine& m) {
  auto key = m.Plug(sim::usb::PrimaryKey());
  if (!key.fdo)
    return;
  sim::pnp::Start(key.pdo);
  sim::usb::Unplug(key.pdo);
  sim::pnp::SurpriseRemove(key.pdo);
  sim::pnp::Remove(key.pdo);
}

void SleepAndWake(Machine& m) {
  auto key = m.Plug(sim::usb::PrimaryKey());
  if (!key.fdo)
    return;
  DEVICE_CAPABILITIES caps{};
  sim::pnp::QueryCapabilities(key.pdo, sizeof(caps), 1, &caps);
  if (!NT_SUCCESS(sim::pnp::Start(key.pdo)))
    return;
  sim::power::QuerySystem(key.pdo, PowerSystemSleeping3);
  sim::power::SetSystem(key.pdo, PowerSystemSleeping3);
  sim::power::SetSystem(key.pdo, PowerSystemWorking);
  sim::power::SetSystem(key.pdo, PowerSystemHibernate);
  sim::power::SetSystem(key.pdo, PowerSystemWorking);
}

struct Exchange {
  ULONG code;
  std::vector<UCHAR> input;
  ULONG output;
};

const Exchange kTypical[] = {
    {IOCTL_KEY_GET_CONFIG_DESCRIPTOR, {}, 64},
    {IOCTL_KEY_RESET_PORT, {}, 0},
    {IOCTL_KEY_RESET_PIPE, {}, 0},
    {IOCTL_KEY_VENDOR_WRITE, {0x40, 0, 0, 0, 0, 0, 2, 0, 1, 2}, 0},
    {IOCTL_KEY_VENDOR_WRITE, {0x40, 1, 0, 0, 0, 0, 0, 0}, 0},
    {IOCTL_KEY_VENDOR_READ, {0xC0, 0, 0, 0, 0, 0, 16, 0}, 16},
    {IOCTL_KEY_READ_INTERRUPT, {}, 8},
    {IOCTL_KEY_GET_INFO_BLOCK, {}, 64},
    {IOCTL_KEY_TRANSACT, {0, 1, 2, 0, 0, 0, 2, 0, 1, 5}, 16},
    {IOCTL_KEY_TRANSACT, {0, 0, 0, 0, 0, 0, 0, 0}, 16},
    {IOCTL_KEY_TRANSACT_RAW, {0x01, 0x11, 0x22}, 16},
    {IOCTL_KEY_QUERY_INFO, {0}, 65},
    {IOCTL_KEY_PROBE, {0x01}, 0},
    {IOCTL_KEY_NOTIFY_CHANGE, {}, 0},
    {IOCTL_KEY_TRANSACT_EX, {0x07, 0x02}, 16},
};

// A primary key plugged, started and opened; a null handle when a step failed.
HANDLE OpenStartedPrimary(Machine& m, Machine::Key& key) {
  key = m.Plug(sim::usb::PrimaryKey());
  if (!key.fdo || !NT_SUCCESS(sim::pnp::Start(key.pdo)))
    return nullptr;
  return m.Open(GUID_KEY_INTERFACE_PRIMARY);
}

void ControlCodes(Machine& m) {
  Machine::Key key;
  HANDLE h = OpenStartedPrimary(m, key);
  if (!h)
    return;
  for (const Exchange& e : kTypical)
    m.Control(h, e.code, e.input, e.output);
  sim::WaitForSystemThreads(std::chrono::seconds(5));
  m.client().Close(h);
}

void SurpriseRemovalWithHandleOpen(Machine& m) {
  auto key = m.Plug(sim::usb::SecondaryKey());
  if (!key.fdo || !NT_SUCCESS(sim::pnp::Start(key.pdo)))
    return;
  HANDLE h = m.Open(GUID_KEY_INTERFACE_SECONDARY);
  if (h)
    m.client().DeviceIoControl(h, IOCTL_KEY_TRANSACT_RAW, {0x02}, 16);
  sim::usb::Unplug(key.pdo);
  sim::pnp::SurpriseRemove(key.pdo);
  if (h) {
    m.client().DeviceIoControl(h, IOCTL_KEY_TRANSACT_RAW, {0x02}, 16);
    m.client().Close(h);
  }
  sim::pnp::Remove(key.pdo);
}

// A removal that arrives while an exchange waits at the bus.
void RemovalWithRequestInFlight(Machine& m) {
  Machine::Key key;
  HANDLE h = OpenStartedPrimary(m, key);
  if (!h)
    return;
  sim::usb::HoldNext(key.pdo, sim::usb::Kind::VendorIn);
  std::thread exchange([&] {
    m.client().DeviceIoControl(h, IOCTL_KEY_TRANSACT_RAW, {0x01, 0x42}, 16);
  });
  const bool held = sim::usb::WaitUntilHeld(key.pdo, 500);
  std::thread removal([&] {
    if (NT_SUCCESS(sim::pnp::QueryRemove(key.pdo)))
      sim::pnp::Remove(key.pdo);
  });
  if (held) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    sim::usb::ReleaseHeld(key.pdo);
  }
  exchange.join();
  removal.join();
  m.client().Close(h);
}

const Scenario kScenarios[] = {
    {"ControlCodes", ControlCodes},
    {"SurpriseRemovalWithHandleOpen", SurpriseRemovalWithHandleOpen},
    {"RemovalWithRequestInFlight", RemovalWithRequestInFlight},
    {"StartStopRestart", StartStopRestart},
    {"EachFamily", EachFamily},
    {"SurpriseRemoval", SurpriseRemoval},
    {"SleepAndWake", SleepAndWake},
};

class DriverSweep : public ::testing::TestWithParam<Scenario> {};

size_t gTotalRuns = 0;

TEST_P(DriverSweep, EveryFaultPointLeavesACleanMachine) {
  Result result = Sweep(GetParam());
  gTotalRuns += result.points;
  std::printf("[ sweep    ] %s: %zu fault points (%zu runs so far)\n", GetParam().name,
              result.points, gTotalRuns);
  EXPECT_GT(result.points, 0u);
  for (const auto& finding : result.findings)
    ADD_FAILURE() << finding;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, DriverSweep, ::testing::ValuesIn(kScenarios),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace tarvik::sweep
