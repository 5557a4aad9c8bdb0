// A cache, a swarm and the generation engine used from C++.
//
// Every result is deterministic, so the program knows what it must print: it
// checks its results against the values the Python module gives for the same
// inputs and exits with status 1 on any difference.
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "core/generators.hpp"
#include "engines/hkvc.hpp"
#include "engines/holo_gen_engine.hpp"
#include "engines/holo_swarm.hpp"

namespace {

int failures = 0;

void check(bool ok, std::string_view what) {
    std::printf("%s  %.*s\n", ok ? "ok      " : "MISMATCH", static_cast<int>(what.size()), what.data());
    failures += ok ? 0 : 1;
}

// 64-bit FNV-1a over the components' bytes: a short fingerprint of a whole
// sign vector that is easy to compute in any language.
std::uint64_t fnv1a(const tessarin::SignVector& v) {
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (std::int8_t c : v) {
        h ^= static_cast<std::uint8_t>(c);
        h *= 0x100000001b3ULL;
    }
    return h;
}

void cache() {
    tessarin::HKVC cache(1024);
    cache.store("capital:france", "paris", 0);
    cache.store("capital:italy", "rome", 1);
    cache.store("capital:spain", "madrid", 2);

    // A stored key is found exactly; an unknown one recalls the stored value
    // that best explains it, with a low score.
    const auto [exact, exact_score] = cache.query("capital:italy");
    std::printf("query(capital:italy)   = (%s, %a)\n", exact.c_str(), static_cast<double>(exact_score));
    check(exact == "rome" && exact_score == 0x1.5974p-2f, "cache: stored key");

    const auto [recalled, recall_score] = cache.query("capital:germany");
    std::printf("query(capital:germany) = (%s, %a)\n", recalled.c_str(), static_cast<double>(recall_score));
    check(recalled == "paris" && recall_score == 0x1.1ca43ep-7f, "cache: unknown key");
}

void swarm() {
    constexpr std::uint64_t dim = 1024;
    const auto hv = [](std::string_view name) { return tessarin::string_hypervector(name, dim); };
    tessarin::HoloSwarm swarm(dim);
    swarm.add_agent("scout", hv("scout"), "explore", hv("explore"), "map", hv("map"));
    swarm.add_agent("guard", hv("guard"), "hold", hv("hold"), "watch", hv("watch"));

    // Factorising the guard out of the superposition, starting from the
    // scout's policy as a wrong guess.
    const auto [role, policy, skill, similarity] = swarm.resonate("guard", hv("explore"), hv("map"), 5);
    std::printf("resonate(guard) = (%s, %s, %s, %a)\n", role.c_str(), policy.c_str(), skill.c_str(),
                static_cast<double>(similarity));
    check(role == "guard" && policy == "hold" && skill == "watch" && similarity == 0x1.ff8p-1f,
          "swarm: resonator");
}

void generation() {
    const tessarin::HoloGenEngine gen(256);

    const tessarin::SignVector pixel = gen.generate_pixel_geometry(3, 4, 7);
    const tessarin::SignVector first(pixel.begin(), pixel.begin() + 8);
    std::printf("pixel (3, 4) of frame 7: fnv1a %#llx\n", static_cast<unsigned long long>(fnv1a(pixel)));
    check(first == tessarin::SignVector{-1, -1, -1, 1, -1, 1, -1, -1}, "generation: pixel code prefix");
    check(fnv1a(pixel) == 0x5622a92920f9c0f5ULL, "generation: pixel code");

    const tessarin::SignVector counterfactual = gen.simulate_counterfactual(std::string("storm"), std::string("calm"));
    std::printf("counterfactual storm x calm: fnv1a %#llx\n",
                static_cast<unsigned long long>(fnv1a(counterfactual)));
    check(fnv1a(counterfactual) == 0xfa42455597db1fb9ULL, "generation: counterfactual of two texts");
}

}  // namespace

int main() {
    cache();
    swarm();
    generation();
    if (failures != 0) {
        std::printf("%d result(s) differ from the expected values\n", failures);
        return 1;
    }
    return 0;
}
