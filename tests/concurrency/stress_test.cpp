// Many client threads over several keys while Plug and Play and power
// requests run alongside; ends with surprise removal and removal. Every
// request completes exactly once, answers are right, nothing leaks. Beside
// them, threads on a key that never reports make interrupt reads and
// exchanges that can only end at their bound, while the kernel's clock is
// moved on whenever a timed wait is under way.
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
#include "sim/kernel/clock.h"
#include "tests/support/driver/driver_test.h"

namespace tarvik::test {
namespace {

constexpr int kKeys = 4;
constexpr int kThreads = 16;
constexpr int kIdleThreads = 2;  // on the key that never reports

uint64_t FromEnvironment(const char* name, uint64_t fallback) {
  const char* value = std::getenv(name);
  return value ? std::strtoull(value, nullptr, 10) : fallback;
}

struct Counts {
  std::atomic<uint64_t> issued{0};
  std::atomic<uint64_t> completed{0};
  std::atomic<uint64_t> succeeded{0};
  std::atomic<uint64_t> refused{0};   // the key was not started at that moment
  std::atomic<uint64_t> wrong{0};     // a success with a wrong answer, or an unexpected status
  std::atomic<uint64_t> timedOut{0};  // requests to the silent key that ended at their bound
};

bool Refused(NTSTATUS status) {
  return status == STATUS_INVALID_DEVICE_STATE || status == STATUS_DELETE_PENDING ||
         status == STATUS_DEVICE_NOT_CONNECTED;
}

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
      const auto kind = random() % 16;
      const bool probe = kind < 2;
      const bool vendorWrite = kind == 2;
      const bool vendorRead = kind == 3;
      counts.issued++;
      sim::Client::Io io;
      if (probe) {
        io = client.DeviceIoControl(handle, IOCTL_KEY_PROBE, {0x01}, 0);
      } else if (vendorWrite) {
        // The command alone, as a raw vendor write; its answer is left to whoever reads next.
        std::vector<UCHAR> write = {0x40, 0, 0, 0, 0, 0, static_cast<UCHAR>(command.size()), 0};
        for (UCHAR b : command)  // (an insert trips GCC 12's -Warray-bounds at -O3)
          write.push_back(b);
        io = client.DeviceIoControl(handle, IOCTL_KEY_VENDOR_WRITE, write, 0);
      } else if (vendorRead) {
        io =
            client.DeviceIoControl(handle, IOCTL_KEY_VENDOR_READ, {0xC0, 0, 0, 0, 0, 0, 64, 0}, 64);
      } else {
        io = client.DeviceIoControl(handle, IOCTL_KEY_TRANSACT_RAW, command, 64);
      }
      counts.completed++;
      if (io.Status == STATUS_SUCCESS) {
        counts.succeeded++;
        std::vector<UCHAR> expected(command.begin() + 1, command.end());
        expected.push_back(0x90);
        expected.push_back(0x00);
        // A vendor read returns the last answer of whatever exchange came before it.
        const bool exchange = !probe && !vendorWrite && !vendorRead;
        if ((exchange && io.Output != expected) || (vendorRead && io.Output.empty()))
          counts.wrong++;
      } else if (Refused(io.Status)) {
        counts.refused++;
      } else {
        counts.wrong++;
      }
    }
  }

  // A thread on the key that never reports: interrupt reads and exchanges,
  // each of which can only end at its bound, until the other clients are done.
  void IdleClient(sim::Client& client, HANDLE handle, int index,
                  const std::atomic<bool>& clientsDone, Counts& counts) {
    for (uint64_t i = 0; !clientsDone || i < 4; ++i) {
      const bool read = (i + index) % 2 == 0;
      counts.issued++;
      auto io = read ? client.DeviceIoControl(handle, IOCTL_KEY_READ_INTERRUPT, {}, 8)
                     : client.DeviceIoControl(handle, IOCTL_KEY_TRANSACT_RAW, {0x01, 0x5A}, 16);
      counts.completed++;
      if (io.Status == STATUS_IO_TIMEOUT && io.Information == 0)
        counts.timedOut++;
      else if (Refused(io.Status))
        counts.refused++;
      else
        counts.wrong++;
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
  auto silentConfig = sim::usb::SecondaryKey();
  silentConfig.silent = true;
  Key silent = PlugAndStart(silentConfig);
  sim::usb::SetCompletion(silent.pdo, GetParam());
  auto silentLinks = sim::interfaces::Enabled(GUID_KEY_INTERFACE_SECONDARY);
  ASSERT_EQ(1u, silentLinks.size());
  sim::Client client("stress");
  std::vector<HANDLE> handles;
  for (int t = 0; t < kThreads; ++t) {
    auto open = client.OpenInterface(links[t % kKeys], FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_EQ(STATUS_SUCCESS, open.Status);
    handles.push_back(open.Handle);
  }
  std::vector<HANDLE> idleHandles;
  for (int t = 0; t < kIdleThreads; ++t) {
    auto open = client.OpenInterface(silentLinks[0], FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_EQ(STATUS_SUCCESS, open.Status);
    idleHandles.push_back(open.Handle);
  }

  Counts counts;
  std::atomic<bool> clientsDone{false};
  std::atomic<bool> idleDone{false};
  std::atomic<uint64_t> cycles{0};
  // The kernel's clock: a quarter of a second on per 10 ms while a timed
  // wait is under way, so that a bound of 5 s takes about 200 ms.
  std::thread ticker([&] {
    while (!idleDone) {
      if (sim::clock::TimedWaiters() > 0)
        sim::clock::AdvanceMs(250);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  // Plug and Play and power cycles on the keys, one request per key at a time.
  std::thread pnp([&] {
    std::mt19937 random(7);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(soak);
    while (!clientsDone || std::chrono::steady_clock::now() < until) {
      // Now and then the silent key, whose drain waits for its idle requests.
      const auto pick = random() % (kKeys + 1);
      const Key& key = pick < static_cast<unsigned>(kKeys) ? keys[pick] : silent;
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
  Counts idleCounts;
  std::vector<std::thread> idleThreads;
  for (int t = 0; t < kIdleThreads; ++t)
    idleThreads.emplace_back(
        [&, t] { IdleClient(client, idleHandles[t], t, clientsDone, idleCounts); });
  for (auto& thread : threads)
    thread.join();
  clientsDone = true;
  pnp.join();
  for (auto& thread : idleThreads)
    thread.join();
  idleDone = true;
  ticker.join();

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
  for (HANDLE handle : idleHandles)
    EXPECT_EQ(STATUS_SUCCESS, client.Close(handle));
  Unplug(silent);

  std::printf("[ stress   ] %llu exchanges: %llu succeeded, %llu refused; %llu PnP/power cycles\n",
              static_cast<unsigned long long>(counts.completed.load()),
              static_cast<unsigned long long>(counts.succeeded.load()),
              static_cast<unsigned long long>(counts.refused.load()),
              static_cast<unsigned long long>(cycles.load()));
  EXPECT_EQ(total / kThreads * kThreads, counts.issued.load());
  EXPECT_EQ(counts.issued.load(), counts.completed.load());
  EXPECT_EQ(0u, counts.wrong.load());
  EXPECT_EQ(0u, counts.timedOut.load());  // a key that answers is never cut short
  EXPECT_GT(counts.succeeded.load(), 0u);
  std::printf("[ stress   ] silent key: %llu requests, %llu ended at their bound, %llu refused\n",
              static_cast<unsigned long long>(idleCounts.completed.load()),
              static_cast<unsigned long long>(idleCounts.timedOut.load()),
              static_cast<unsigned long long>(idleCounts.refused.load()));
  EXPECT_EQ(idleCounts.issued.load(), idleCounts.completed.load());
  EXPECT_EQ(0u, idleCounts.wrong.load());
  EXPECT_GE(idleCounts.timedOut.load(), 4u);
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
