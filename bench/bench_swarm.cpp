// Resonator quality and cost on swarms of random bipolar agents.
//
// Quality: every agent is factorised with its true role name and a policy
// guess that agrees with its true policy in 100 %, 80 % or 60 % of the
// components; the table gives how often the true policy and skill come back
// after one and after three iterations. Cost: resonate with 0, 1 and 3
// iterations against one plain resonance pass over both codebooks, which is
// the floor an iteration cannot go below (its two codebook cleanups).
//
// The program fails (exit status 1) if a true-policy guess does not bring
// every agent back after one iteration.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "core/algebra.hpp"
#include "core/generators.hpp"
#include "engines/holo_swarm.hpp"

namespace {

using tessarin::HoloSwarm;
using tessarin::Hypervector;

constexpr std::uint64_t kDim = 10000;
constexpr std::array<std::uint64_t, 2> kAgentCounts{10, 100};
constexpr std::array<std::uint64_t, 3> kAgreementPercent{100, 80, 60};
constexpr std::array<std::uint64_t, 2> kIterations{1, 3};
// The guess used for timing; the cost does not depend on how good it is.
constexpr std::uint64_t kTimedAgreementPercent = 80;
// Coprime with kDim, so j -> j * kFlipStride mod kDim visits every component.
constexpr std::uint64_t kFlipStride = 7919;
constexpr std::uint64_t kSeedBase = 0x5A12'0000;

std::string numbered(const char* prefix, std::uint64_t i) {
    std::string s(prefix);
    s += std::to_string(i);
    return s;
}

struct Population {
    HoloSwarm swarm{kDim};
    std::vector<Hypervector> policies;
    std::vector<Hypervector> skills;
};

Population make_population(std::uint64_t agents) {
    Population pop;
    for (std::uint64_t a = 0; a < agents; ++a) {
        Hypervector policy = tessarin::lcg_bipolar_stream(kSeedBase + 3 * a + 1, kDim);
        Hypervector skill = tessarin::lcg_bipolar_stream(kSeedBase + 3 * a + 2, kDim);
        pop.swarm.add_agent(numbered("role", a), tessarin::lcg_bipolar_stream(kSeedBase + 3 * a, kDim),
                            numbered("policy", a), policy, numbered("skill", a), skill);
        pop.policies.push_back(std::move(policy));
        pop.skills.push_back(std::move(skill));
    }
    return pop;
}

const Population& population(std::uint64_t agents) {
    static std::map<std::uint64_t, Population> cache;
    auto it = cache.find(agents);
    if (it == cache.end()) it = cache.emplace(agents, make_population(agents)).first;
    return it->second;
}

// The policy with exactly (100 - percent) % of its components flipped, spread
// over the whole vector.
Hypervector policy_guess(const Hypervector& policy, std::uint64_t percent) {
    const std::uint64_t flips = kDim * (100 - percent) / 100;
    Hypervector guess = policy;
    for (std::uint64_t j = 0; j < kDim; ++j) {
        if (j * kFlipStride % kDim < flips) guess[j] = -guess[j];
    }
    return guess;
}

void BM_CodebookPass(benchmark::State& state) {
    const Population& pop = population(static_cast<std::uint64_t>(state.range(0)));
    const Hypervector probe = tessarin::lcg_bipolar_stream(kSeedBase - 1, kDim);
    for (auto _ : state) {
        for (const Hypervector& c : pop.policies) benchmark::DoNotOptimize(tessarin::resonance(probe, c));
        for (const Hypervector& c : pop.skills) benchmark::DoNotOptimize(tessarin::resonance(probe, c));
    }
}
BENCHMARK(BM_CodebookPass)->Arg(kAgentCounts[0])->Arg(kAgentCounts[1])->Unit(benchmark::kMicrosecond);

void BM_Resonate(benchmark::State& state) {
    const Population& pop = population(static_cast<std::uint64_t>(state.range(0)));
    const auto iterations = static_cast<std::uint64_t>(state.range(1));
    const Hypervector guess = policy_guess(pop.policies[0], kTimedAgreementPercent);
    for (auto _ : state) benchmark::DoNotOptimize(pop.swarm.resonate("role0", guess, {}, iterations));
}
BENCHMARK(BM_Resonate)
    ->ArgsProduct({{kAgentCounts[0], kAgentCounts[1]}, {0, 1, 3}})
    ->Unit(benchmark::kMicrosecond);

// Keeps the mean CPU time of every run, by name, for the ratios: on a shared
// machine it is steadier than wall time.
class RecordingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred && run.iterations > 0) {
                seconds[run.benchmark_name()] = run.cpu_accumulated_time / static_cast<double>(run.iterations);
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> seconds;
};

void print_cost(const std::map<std::string, double>& seconds) {
    std::printf("\nresonate CPU time against one resonance pass over both codebooks (dim %llu)\n",
                static_cast<unsigned long long>(kDim));
    std::printf("%8s %12s %10s %10s %10s %14s\n", "agents", "pass (us)", "0 iter", "1 iter", "3 iter",
                "per iteration");
    for (const std::uint64_t agents : kAgentCounts) {
        const std::string n = std::to_string(agents);
        const auto pass = seconds.find("BM_CodebookPass/" + n);
        const auto r0 = seconds.find("BM_Resonate/" + n + "/0");
        const auto r1 = seconds.find("BM_Resonate/" + n + "/1");
        const auto r3 = seconds.find("BM_Resonate/" + n + "/3");
        if (pass == seconds.end() || r0 == seconds.end() || r1 == seconds.end() || r3 == seconds.end()) continue;
        const double base = pass->second;
        std::printf("%8llu %12.1f %10.2f %10.2f %10.2f %14.2f\n", static_cast<unsigned long long>(agents),
                    base * 1e6, r0->second / base, r1->second / base, r3->second / base,
                    (r3->second - r1->second) / 2.0 / base);
    }
}

// Prints the recovery table; returns false if a true-policy guess failed to
// bring an agent back after one iteration.
bool print_recovery() {
    std::printf("\nrecovery rate (policy / skill / both), dim %llu\n", static_cast<unsigned long long>(kDim));
    std::printf("%8s %10s %24s %24s\n", "agents", "agreement", "after 1 iteration", "after 3 iterations");
    bool exact_guess_recovers = true;
    for (const std::uint64_t agents : kAgentCounts) {
        const Population& pop = population(agents);
        for (const std::uint64_t percent : kAgreementPercent) {
            std::printf("%8llu %9llu%%", static_cast<unsigned long long>(agents),
                        static_cast<unsigned long long>(percent));
            for (const std::uint64_t iterations : kIterations) {
                std::uint64_t policy_ok = 0, skill_ok = 0, both_ok = 0;
                for (std::uint64_t a = 0; a < agents; ++a) {
                    const auto [role, policy, skill, score] = pop.swarm.resonate(
                        numbered("role", a), policy_guess(pop.policies[a], percent), {}, iterations);
                    const bool p = policy == numbered("policy", a), s = skill == numbered("skill", a);
                    policy_ok += p;
                    skill_ok += s;
                    both_ok += p && s;
                }
                const double n = static_cast<double>(agents);
                std::printf("   %6.1f / %5.1f / %5.1f", 100.0 * static_cast<double>(policy_ok) / n,
                            100.0 * static_cast<double>(skill_ok) / n, 100.0 * static_cast<double>(both_ok) / n);
                if (percent == 100 && iterations == 1 && both_ok != agents) exact_guess_recovers = false;
            }
            std::printf("\n");
        }
    }
    if (!exact_guess_recovers) std::printf("FAILED: a true-policy guess lost an agent after one iteration\n");
    return exact_guess_recovers;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    print_cost(reporter.seconds);
    return print_recovery() ? 0 : 1;
}
