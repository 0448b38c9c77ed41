// Speed of the factorial loop, per digit step, and of a whole run of the program, for N = 3248.
// The loop is measured beside a copy of it that divides signed, so that one run gives the ratio
// on the machine it runs on; absolute times differ from machine to machine.
#include "factorial.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

// Digit steps of the loop for N = 3248: the digit counts of 0! .. 3247! added up.
constexpr double steps_for_max_n = 15089623.0;

// multiply_pass with the division done on the signed digits, the baseline.
void multiply_pass_signed(std::int32_t a[], std::int32_t c[], std::int32_t k)
{
    c[0] = a[0];
    const std::int32_t d = c[0];
    std::int32_t carry = 0;
    for (std::int32_t i = 1; i <= d; ++i) {
        const std::int32_t t = a[i] * k + carry;
        c[i] = t % 10;
        carry = t / 10;
    }
    while (carry > 0) {
        c[0] = c[0] + 1;
        c[c[0]] = carry % 10;
        carry = carry / 10;
    }
    for (std::int32_t i = 0; i <= c[0]; ++i) {
        a[i] = c[i];
    }
}

template <void (*pass)(std::int32_t[], std::int32_t[], std::int32_t)>
void factorial_loop(benchmark::State& state)
{
    std::int32_t a[capacity + 1]; // on the stack, as in the program
    std::int32_t c[capacity + 1];
    for (auto _ : state) {
        a[0] = 1;
        a[1] = 1;
        for (std::int32_t k = 1; k <= max_n; ++k) {
            pass(a, c, k);
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
void repeated(benchmark::internal::Benchmark* b)
{
    b->Unit(benchmark::kMillisecond)
        ->Repetitions(10)
        ->ComputeStatistics(
            "min",
            [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); })
        ->ReportAggregatesOnly(true);
}
BENCHMARK(factorial_loop<multiply_pass>)->Name("factorial_loop")->Apply(repeated);
BENCHMARK(factorial_loop<multiply_pass_signed>)->Name("factorial_loop_signed")->Apply(repeated);

// The program as a user runs it: process start, read, compute, write, exit. Each run of the
// benchmark works in a folder of its own.
void whole_process(benchmark::State& state)
{
    std::filesystem::path dir;
    std::random_device random;
    do {
        dir = std::filesystem::temp_directory_path() /
              ("factorial_bench." + std::to_string(random()));
    } while (!std::filesystem::create_directory(dir));
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

// The processor, by name and by family and model: one name can cover generations that differ.
std::string cpu_model()
{
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string name = "unknown";
    std::string family = "?";
    std::string model = "?";
    // The first processor's lines, "key<tabs>: value", up to the blank line that ends them.
    for (std::string line; std::getline(cpuinfo, line) && !line.empty();) {
        const auto start = line.find(": ");
        const std::string value = start == std::string::npos ? "" : line.substr(start + 2);
        if (line.rfind("model name", 0) == 0) {
            name = value;
        } else if (line.rfind("cpu family", 0) == 0) {
            family = value;
        } else if (line.rfind("model\t", 0) == 0) {
            model = value;
        }
    }
    return name + " (family " + family + ", model " + model + ")";
}

} // namespace

int main(int argc, char** argv)
{
    benchmark::AddCustomContext("cpu", cpu_model());
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}
