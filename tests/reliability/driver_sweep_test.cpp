// Every fault point of every scenario, failed in turn.
#include <gtest/gtest.h>

#include <cstdio>

#include "driver/ioctl.h"
#include "sim/kernel/bench.h"
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

const Scenario kScenarios[] = {
    {"StartStopRestart", StartStopRestart},
    {"EachFamily", EachFamily},
    {"SurpriseRemoval", SurpriseRemoval},
    {"SleepAndWake", SleepAndWake},
};

class DriverSweep : public ::testing::TestWithParam<Scenario> {};

TEST_P(DriverSweep, EveryFaultPointLeavesACleanMachine) {
  Result result = Sweep(GetParam());
  std::printf("[ sweep    ] %s: %zu fault points\n", GetParam().name, result.points);
  EXPECT_GT(result.points, 0u);
  for (const auto& finding : result.findings)
    ADD_FAILURE() << finding;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, DriverSweep, ::testing::ValuesIn(kScenarios),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace tarvik::sweep
