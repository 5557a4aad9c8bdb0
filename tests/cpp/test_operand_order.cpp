// Of two NaNs, a product or a sum keeps the payload of the operand its
// formula writes first, in every build: the compiler may swap the operands of
// a plain `*` or `+`, and did in one build but not another. Each row puts NaN
// `first` where its formula's first operand goes and NaN `second` where the
// other goes, and every component it returns must carry `first`'s bits. Seven
// components reach both the four-lane loop and the one-by-one tail.
#include <gtest/gtest.h>

#include <bit>
#include <cctype>
#include <cstdint>
#include <functional>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "core/algebra.hpp"
#include "core/hebbian.hpp"
#include "engines/holo_swarm.hpp"
#include "engines/metacognition.hpp"
#include "engines/optimizer.hpp"
#include "engines/quantum_attention_head.hpp"

namespace tessarin {
namespace {

using V = std::vector<float>;
constexpr std::size_t kDim = 7;

V filled(float x) { return V(kDim, x); }

V swarm_after(const V& start, const V& role, const V& policy, const V& skill) {
    HoloSwarm swarm(kDim);
    swarm.set_swarm_vector(start);
    swarm.add_agent("r", role, "p", policy, "s", skill);
    return swarm.swarm_vector();
}

struct Row {
    const char* formula;
    std::function<V(float first, float second)> run;
};
void PrintTo(const Row& row, std::ostream* os) { *os << row.formula; }

const Row kRows[] = {
    {"hdc_bind: a * b", [](float x, float y) { return hdc_bind(filled(x), filled(y)); }},
    {"hdc_unbind: key * compound", [](float x, float y) { return hdc_unbind(filled(y), filled(x)); }},
    {"hebbian: pre * lr", [](float x, float y) { return hebbian(V{0.0f}, V{x}, V{1.0f}, y, 1); }},
    {"hebbian: post * t + w", [](float x, float y) { return hebbian(V{y}, V{1.0f}, V{x}, 1.0f, 1); }},
    {"add_agent: agent + swarm",
     [](float x, float y) { return swarm_after(filled(y), filled(x), filled(1.0f), filled(1.0f)); }},
    {"add_agent: role * (policy * skill)",
     [](float x, float y) { return swarm_after(filled(0.0f), filled(x), filled(y), filled(y)); }},
    {"add_agent: policy * skill",
     [](float x, float y) { return swarm_after(filled(0.0f), filled(1.0f), filled(x), filled(y)); }},
    {"add_paradox_trap: agent + swarm",
     [](float x, float y) {
         HoloSwarm swarm(kDim);
         swarm.set_swarm_vector(filled(y));
         swarm.add_paradox_trap({"a", "b"}, {filled(x), filled(1.0f)}, {filled(1.0f), filled(1.0f)});
         return swarm.swarm_vector();
     }},
    {"optimizer increase: value + delta",
     [](float x, float y) {
         Optimizer o;
         o.apply("learning_rate_increase", x, "");
         o.apply("learning_rate_increase", y, "");
         return V{o.learning_rate()};
     }},
    {"avg_resonance: sum + res",
     [](float x, float y) {
         Metacognition meta(1);
         meta.record(x, 0.0f, 0.0f, V{0.0f}, 0);
         meta.record(y, 0.0f, 0.0f, V{0.0f}, 0);
         return V{meta.avg_resonance()};
     }},
    // Two infinite keys give every weight inf / inf, the processor's default
    // NaN; the later value's product then meets the earlier one in the sum.
    {"quantum_attention: value * weight + out",
     [](float x, float y) {
         const float inf = std::numeric_limits<float>::infinity();
         return quantum_attention(kDim, V{1.0f}, std::vector<V>{{inf}, {inf}}, std::vector<V>{filled(y), filled(x)});
     }},
};

class OperandOrder : public ::testing::TestWithParam<Row> {};

TEST_P(OperandOrder, KeepsTheFirstOperandsNaN) {
#if !(defined(__GNUC__) && (defined(__x86_64__) || defined(__aarch64__)))
    GTEST_SKIP() << "the order of NaN operands is spelled out on x86-64 and aarch64 only";
#endif
    // Quiet NaNs of both signs with distinct payloads, in every pairing.
    const std::uint32_t nans[][2] = {
        {0x7FC0000AU, 0x7FC0000CU}, {0xFFC0000AU, 0x7FC0000CU}, {0x7FC0000AU, 0xFFC0000CU}, {0xFFC0000AU, 0xFFC0000CU}};
    for (const auto& [first, second] : nans) {
        const V out = GetParam().run(std::bit_cast<float>(first), std::bit_cast<float>(second));
        ASSERT_FALSE(out.empty());
        for (std::size_t i = 0; i < out.size(); ++i) {
            EXPECT_EQ(std::bit_cast<std::uint32_t>(out[i]), first)
                << std::hex << "first 0x" << first << ", second 0x" << second << ", component " << std::dec << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Formulas, OperandOrder, ::testing::ValuesIn(kRows), [](const auto& row) {
    std::string name;
    for (const char* c = row.param.formula; *c != '\0'; ++c) name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
    return name;
});

}  // namespace
}  // namespace tessarin
