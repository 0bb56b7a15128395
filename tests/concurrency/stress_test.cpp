// Many client threads over several keys while Plug and Play and power
// requests run alongside; ends with surprise removal and removal. Every
// request completes exactly once, answers are right, nothing leaks.
//
// TARVIK_STRESS_EXCHANGES sets the number of exchanges (default 100000);
// TARVIK_SOAK_SECONDS keeps the PnP and power cycles going at least that long.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <random>
#include <thread>

#include "driver/driver.h"
#include "driver/ioctl.h"
#include "tests/support/driver/driver_test.h"

namespace tarvik::test {
namespace {

constexpr int kKeys = 4;
constexpr int kThreads = 16;

uint64_t FromEnvironment(const char* name, uint64_t fallback) {
  const char* value = std::getenv(name);
  return value ? std::strtoull(value, nullptr, 10) : fallback;
}

struct Counts {
  std::atomic<uint64_t> issued{0};
  std::atomic<uint64_t> completed{0};
  std::atomic<uint64_t> succeeded{0};
  std::atomic<uint64_t> refused{0};  // the key was not started at that moment
  std::atomic<uint64_t> wrong{0};    // a success with a wrong answer, or an unexpected status
};

class Stress : public DriverTest, public ::testing::WithParamInterface<sim::usb::Completion> {
 protected:
  // One client thread: exchanges with random payloads on its key.
  void Client(sim::Client& client, HANDLE handle, uint32_t seed, uint64_t exchanges,
              Counts& counts) {
    std::mt19937 random(seed);
    for (uint64_t i = 0; i < exchanges; ++i) {
      std::vector<UCHAR> command = {0x01};  // echo
      const size_t length = random() % 24;
      for (size_t b = 0; b < length; ++b)
        command.push_back(static_cast<UCHAR>(random()));
      const bool probe = random() % 8 == 0;
      counts.issued++;
      auto io = probe ? client.DeviceIoControl(handle, IOCTL_KEY_PROBE, {0x01}, 0)
                      : client.DeviceIoControl(handle, IOCTL_KEY_TRANSACT_RAW, command, 64);
      counts.completed++;
      if (io.Status == STATUS_SUCCESS) {
        counts.succeeded++;
        std::vector<UCHAR> expected(command.begin() + 1, command.end());
        expected.push_back(0x90);
        expected.push_back(0x00);
        if (!probe && io.Output != expected)
          counts.wrong++;
      } else if (io.Status == STATUS_INVALID_DEVICE_STATE || io.Status == STATUS_DELETE_PENDING ||
                 io.Status == STATUS_DEVICE_NOT_CONNECTED) {
        counts.refused++;
      } else {
        counts.wrong++;
      }
    }
  }
};

TEST_P(Stress, ClientsWithPnpAndPowerAlongside) {
  const uint64_t total = FromEnvironment("TARVIK_STRESS_EXCHANGES", 100000);
  const uint64_t soak = FromEnvironment("TARVIK_SOAK_SECONDS", 0);
  std::vector<Key> keys;
  for (int k = 0; k < kKeys; ++k) {
    keys.push_back(PlugAndStart());
    sim::usb::SetCompletion(keys.back().pdo, GetParam());
  }
  auto links = sim::interfaces::Enabled(GUID_KEY_INTERFACE_PRIMARY);
  ASSERT_EQ(static_cast<size_t>(kKeys), links.size());
  sim::Client client("stress");
  std::vector<HANDLE> handles;
  for (int t = 0; t < kThreads; ++t) {
    auto open = client.OpenInterface(links[t % kKeys], FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_EQ(STATUS_SUCCESS, open.Status);
    handles.push_back(open.Handle);
  }

  Counts counts;
  std::atomic<bool> clientsDone{false};
  std::atomic<uint64_t> cycles{0};
  // Plug and Play and power cycles on the keys, one request per key at a time.
  std::thread pnp([&] {
    std::mt19937 random(7);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(soak);
    while (!clientsDone || std::chrono::steady_clock::now() < until) {
      const Key& key = keys[random() % kKeys];
      switch (random() % 4) {
        case 0:
          if (sim::pnp::QueryStop(key.pdo) == STATUS_SUCCESS)
            sim::pnp::CancelStop(key.pdo);
          break;
        case 1:
          if (sim::pnp::QueryStop(key.pdo) == STATUS_SUCCESS) {
            sim::pnp::Stop(key.pdo);
            EXPECT_TRUE(NT_SUCCESS(sim::pnp::Start(key.pdo)));
          }
          break;
        case 2:
          if (sim::power::QuerySystem(key.pdo, PowerSystemSleeping3) == STATUS_SUCCESS) {
            sim::power::SetSystem(key.pdo, PowerSystemSleeping3);
            sim::power::SetSystem(key.pdo, PowerSystemWorking);
          }
          break;
        default:
          std::this_thread::yield();
          break;
      }
      cycles++;
      // Leave the clients some started time between two cycles.
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back(
        [&, t] { Client(client, handles[t], 1000 + t, total / kThreads, counts); });
  for (auto& thread : threads)
    thread.join();
  clientsDone = true;
  pnp.join();

  // The end: every key pulled out with its handles still open.
  for (auto& key : keys) {
    sim::usb::Unplug(key.pdo);
    EXPECT_EQ(STATUS_SUCCESS, sim::pnp::SurpriseRemove(key.pdo));
  }
  for (int t = 0; t < kThreads; ++t) {
    auto io = client.DeviceIoControl(handles[t], IOCTL_KEY_TRANSACT_RAW, {0x01}, 8);
    EXPECT_NE(STATUS_SUCCESS, io.Status);
    EXPECT_EQ(STATUS_SUCCESS, client.Close(handles[t]));
  }
  for (auto& key : keys)
    EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Remove(key.pdo));

  std::printf("[ stress   ] %llu exchanges: %llu succeeded, %llu refused; %llu PnP/power cycles\n",
              static_cast<unsigned long long>(counts.completed.load()),
              static_cast<unsigned long long>(counts.succeeded.load()),
              static_cast<unsigned long long>(counts.refused.load()),
              static_cast<unsigned long long>(cycles.load()));
  EXPECT_EQ(total / kThreads * kThreads, counts.issued.load());
  EXPECT_EQ(counts.issued.load(), counts.completed.load());
  EXPECT_EQ(0u, counts.wrong.load());
  EXPECT_GT(counts.succeeded.load(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Completion, Stress,
                         ::testing::Values(sim::usb::Completion::Synchronous,
                                           sim::usb::Completion::Pending),
                         [](const auto& info) {
                           return info.param == sim::usb::Completion::Synchronous ? "Synchronous"
                                                                                  : "Pending";
                         });

}  // namespace
}  // namespace tarvik::test
