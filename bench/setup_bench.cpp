// The setup tool's INF store steps against INF folders of growing size:
// -g reads every oem*.inf, -u searches the folder again for each copy it
// deletes.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "setup/drv_pnp.h"
#include "sim/win32/system.h"

namespace {

// An INF folder of `files` oem*.inf files, `copies` of which are installed
// copies of Tarvik4v2.inf.
void Fill(sim::win32::System& system, int files, int copies) {
  for (int i = 0; i < files; ++i) {
    const std::string original =
        i < copies ? "Tarvik4v2.inf" : "other" + std::to_string(i) + ".inf";
    system.PutStoredInf("oem" + std::to_string(i) + ".inf", original,
                        sim::win32::System::Inf("01/01/2026,1.0.0." + std::to_string(i)));
  }
}

int RunTool(const std::u16string& option, const std::u16string& name) {
  std::u16string program = u"setup.exe", o = option, n = name;
  WCHAR* argv[] = {reinterpret_cast<WCHAR*>(program.data()), reinterpret_cast<WCHAR*>(o.data()),
                   reinterpret_cast<WCHAR*>(n.data()), nullptr};
  return SetupMain(3, argv);
}

void BM_Versions(benchmark::State& state) {
  sim::win32::System system;
  Fill(system, static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  for (auto _ : state)
    benchmark::DoNotOptimize(RunTool(u"-g", u"Tarvik4v2.inf"));
  state.counters["files"] = static_cast<double>(state.range(0));
  state.counters["copies"] = static_cast<double>(state.range(1));
}
BENCHMARK(BM_Versions)->ArgsProduct({{10, 100, 1000}, {1, 10}})->Unit(benchmark::kMicrosecond);

void BM_Uninstall(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    auto* system = new sim::win32::System;
    Fill(*system, static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    state.ResumeTiming();
    benchmark::DoNotOptimize(RunTool(u"-u", u"Tarvik4v2.inf"));
    state.PauseTiming();
    delete system;
    state.ResumeTiming();
  }
  state.counters["files"] = static_cast<double>(state.range(0));
  state.counters["copies"] = static_cast<double>(state.range(1));
}
BENCHMARK(BM_Uninstall)->ArgsProduct({{10, 100, 1000}, {1, 10}})->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
