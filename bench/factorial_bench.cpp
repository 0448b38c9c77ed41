// Speed of the factorial loop, per digit step, and of a whole run of the program, for N = 3248.
#include "factorial.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

// Digit steps of the loop for N = 3248: the digit counts of 0! .. 3247! added up.
constexpr double steps_for_max_n = 15089623.0;

void factorial_loop(benchmark::State& state)
{
    std::int32_t a[capacity + 1]; // on the stack, as in the program
    std::int32_t c[capacity + 1];
    for (auto _ : state) {
        a[0] = 1;
        a[1] = 1;
        for (std::int32_t k = 1; k <= max_n; ++k) {
            multiply_pass(a, c, k);
        }
        benchmark::DoNotOptimize(c);
        benchmark::ClobberMemory();
    }
    state.counters["ns_per_step"] =
        benchmark::Counter(steps_for_max_n, benchmark::Counter::kIsIterationInvariantRate |
                                                benchmark::Counter::kInvert);
}
// The loop is bound by the latency of its carry chain; the fastest of the repetitions is the
// figure least disturbed by the rest of the machine.
BENCHMARK(factorial_loop)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(10)
    ->ComputeStatistics("min",
                        [](const std::vector<double>& v) {
                            return *std::min_element(v.begin(), v.end());
                        })
    ->ReportAggregatesOnly(true);

// The program as a user runs it: process start, read, compute, write, exit.
void whole_process(benchmark::State& state)
{
    const auto dir = std::filesystem::temp_directory_path() / "factorial_bench";
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "input.txt") << max_n << '\n';
    const std::string command = "cd '" + dir.string() + "' && '" FACTORIAL_PROGRAM "'";
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0) {
            state.SkipWithError("the program failed");
            break;
        }
    }
    std::filesystem::remove_all(dir);
}
BENCHMARK(whole_process)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
