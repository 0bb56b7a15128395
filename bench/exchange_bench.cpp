// What one exchange costs the CPU, how close a key gets to what its USB link
// allows, and whether keys or threads slow each other down.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "bench/world.h"
#include "driver/ioctl.h"
#include "sim/image/driver_under_test.h"

namespace tarvik::bench {
namespace {

const std::vector<UCHAR> kEcho = {0x01, 0x11, 0x22, 0x33, 0x44};

void Check(benchmark::State& state, NTSTATUS status) {
  if (!NT_SUCCESS(status))
    state.SkipWithError("exchange failed");
}

// CPU cost of a command exchange with a key that answers at once.
void BM_TransactRaw(benchmark::State& state) {
  World world(1, {});
  const uint64_t before = world.Allocations();
  for (auto _ : state)
    Check(state, world.Exchange(0, IOCTL_KEY_TRANSACT_RAW, kEcho, 16));
  state.counters["allocations/exchange"] =
      static_cast<double>(world.Allocations() - before) / state.iterations();
}
BENCHMARK(BM_TransactRaw);

// The dispatch frame alone: a control code that sends nothing to the key.
void BM_Probe(benchmark::State& state) {
  World world(1, {});
  const uint64_t before = world.Allocations();
  for (auto _ : state)
    Check(state, world.Exchange(0, IOCTL_KEY_PROBE, {0x01}, 0));
  state.counters["allocations/exchange"] =
      static_cast<double>(world.Allocations() - before) / state.iterations();
}
BENCHMARK(BM_Probe);

sim::usb::Timing FullSpeed() {
  sim::usb::Timing t;
  t.enabled = true;
  return t;
}

// Exchanges per second on one full-speed key against the link's own limit.
void BM_WireEfficiency(benchmark::State& state) {
  const auto timing = FullSpeed();
  World world(1, timing);
  Check(state, world.Exchange(0, IOCTL_KEY_TRANSACT_RAW, kEcho, 16));  // align to the link
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state)
    Check(state, world.Exchange(0, IOCTL_KEY_TRANSACT_RAW, kEcho, 16));
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  const double rate = state.iterations() / elapsed.count();
  const double limit = WireLimit(timing, sim::usb::PrimaryKey().endpoints[0].interval);
  state.counters["exchanges/s"] = rate;
  state.counters["wire_limit/s"] = limit;
  state.counters["efficiency"] = rate / limit;
}
BENCHMARK(BM_WireEfficiency)->UseRealTime()->Unit(benchmark::kMillisecond);

// Runs `threadsPerKey` client threads on each of `keys` keys for `seconds`;
// returns the exchanges each thread completed.
std::vector<uint64_t> Drive(World& world, int threadsPerKey, double seconds) {
  const int threads = world.Keys() * threadsPerKey;
  std::vector<uint64_t> counts(threads);
  std::atomic<bool> stop{false};
  std::atomic<bool> failed{false};
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&, t] {
      while (!stop.load()) {
        if (!NT_SUCCESS(world.Exchange(t % world.Keys(), IOCTL_KEY_TRANSACT_RAW, kEcho, 16)))
          failed = true;
        ++counts[t];
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  for (auto& th : pool)
    th.join();
  if (failed)
    counts.clear();
  return counts;
}

double Sum(const std::vector<uint64_t>& v) {
  double s = 0;
  for (uint64_t x : v)
    s += static_cast<double>(x);
  return s;
}

// 1, 2, 4 and 8 keys with two client threads each: aggregate throughput
// against keys times the figure of one key.
void BM_Scaling(benchmark::State& state) {
  const int keys = static_cast<int>(state.range(0));
  const double seconds = 0.5;
  double single;
  {
    World one(1, FullSpeed());  // one machine at a time: the kernel is global
    single = Sum(Drive(one, 2, seconds)) / seconds;
  }
  World world(keys, FullSpeed());
  double aggregate = 0;
  for (auto _ : state) {
    auto counts = Drive(world, 2, seconds);
    if (counts.empty())
      state.SkipWithError("exchange failed");
    aggregate = Sum(counts) / seconds;
  }
  state.counters["exchanges/s"] = aggregate;
  state.counters["one_key/s"] = single;
  state.counters["scaling"] = aggregate / (keys * single);
}
BENCHMARK(BM_Scaling)
    ->Arg(1)
    ->Arg(2)
    ->Arg(4)
    ->Arg(8)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// Eight client threads on one key: the exchange mutex serialises them; the
// throughput matches one thread's and no thread starves. Fairness is the
// fewest exchanges any thread made over the most: the mutex goes to its
// waiters in turn, so within one exchange of each other.
void BM_Contention(benchmark::State& state) {
  const double seconds = 0.5;
  World world(1, FullSpeed());
  const double single = Sum(Drive(world, 1, seconds)) / seconds;
  std::vector<uint64_t> counts;
  for (auto _ : state)
    counts = Drive(world, 8, seconds);
  if (counts.empty()) {
    state.SkipWithError("exchange failed");
    return;
  }
  state.counters["exchanges/s"] = Sum(counts) / seconds;
  state.counters["one_thread/s"] = single;
  state.counters["ratio"] = Sum(counts) / seconds / single;
  const auto fewest = static_cast<double>(*std::min_element(counts.begin(), counts.end()));
  const auto most = static_cast<double>(*std::max_element(counts.begin(), counts.end()));
  state.counters["min_thread"] = fewest;
  state.counters["max_thread"] = most;
  state.counters["fairness"] = most > 0 ? fewest / most : 0;
}
BENCHMARK(BM_Contention)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tarvik::bench

// Usage: exchange_bench [--image PATH] [benchmark flags]. With --image the
// driver is the Windows image at PATH (the shipped Tarvik4v2.sys) loaded by
// the simulation's image loader instead of the host build.
int main(int argc, char** argv) {
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--image") == 0) {
      if (i + 1 == argc) {
        std::fprintf(stderr, "exchange_bench: --image needs a path\n");
        return 2;
      }
      sim::image::UseImage(argv[++i]);
    } else if (std::strncmp(argv[i], "--image=", 8) == 0) {
      sim::image::UseImage(argv[i] + 8);
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
  benchmark::AddCustomContext("driver", sim::image::OnImage()
                                            ? "image " + sim::image::ImageUnderTest()
                                            : std::string("host build"));
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv))
    return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
