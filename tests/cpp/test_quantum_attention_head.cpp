#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "core/fault.hpp"
#include "engines/quantum_attention_head.hpp"

namespace tessarin {
namespace {

using V = Hypervector;
using Vs = std::vector<Hypervector>;

const V kQuery{1, 1, 1, 1, 1, 1, 1, 1};
// Agreement with kQuery in 4, 6 and 7 of 8 components, and its negation.
const V kHalf{1, -1, 1, -1, 1, -1, 1, -1};
const V kThreeQuarters{1, 1, 1, 1, 1, 1, -1, -1};
const V kSevenEighths{1, 1, 1, 1, 1, 1, 1, -1};
const V kNegated{-1, -1, -1, -1, -1, -1, -1, -1};

TEST(QuantumAttention, SingleKeyReturnsItsValueWhole) {
    // Neither the key, the query nor dim take part: not even dim 0.
    const V value{4.5f, -2.0f, 7.0f};
    EXPECT_EQ(quantum_attention(8, kQuery, Vs{kNegated}, Vs{value}), value);
    EXPECT_EQ(quantum_attention(0, V{}, Vs{V{}}, Vs{value}), value);
}

TEST(QuantumAttention, OnlyTheMatchingKeyContributes) {
    const V value_a{1, 2, 3, 4, 5, 6, 7, 8};
    const V value_b{9, 9, 9, 9, 9, 9, 9, 9};
    EXPECT_EQ(quantum_attention(8, kQuery, Vs{kQuery, kHalf}, Vs{value_a, value_b}), value_a);
    // The one contributing value is cut to dim or padded with zeros.
    EXPECT_EQ(quantum_attention(3, kQuery, Vs{kHalf, kQuery}, Vs{value_b, value_a}), (V{1, 2, 3}));
    EXPECT_EQ(quantum_attention(10, kQuery, Vs{kQuery, kHalf}, Vs{value_a, value_b}),
              (V{1, 2, 3, 4, 5, 6, 7, 8, 0, 0}));
}

TEST(QuantumAttention, EqualKeysAverageTheirValues) {
    const V a{1, 2, 3, -4};
    const V b{3, 2, 1, 4};
    const V q{1, -1, 1, -1};
    EXPECT_EQ(quantum_attention(4, q, Vs{q, q}, Vs{a, b}), (V{2, 2, 2, 0}));
    // A shorter value only reaches its own components.
    EXPECT_EQ(quantum_attention(4, q, Vs{q, q}, Vs{a, V{3}}), (V{2, 1, 1.5f, -2}));
}

class QuantumAttentionSilent : public ::testing::TestWithParam<Vs> {};

TEST_P(QuantumAttentionSilent, NoKeyAboveThreeQuartersGivesZeros) {
    const Vs& keys = GetParam();
    const Vs values(keys.size(), V{5, 5, 5, 5, 5, 5, 5, 5});
    EXPECT_EQ(quantum_attention(6, kQuery, keys, values), V(6, 0.0f));
}

INSTANTIATE_TEST_SUITE_P(Keys, QuantumAttentionSilent,
                         ::testing::Values(Vs{kHalf, kThreeQuarters}, Vs{kNegated, kNegated, kHalf},
                                           Vs{V{}, V{}}, Vs{kThreeQuarters, V(8, 0.0f)}));

TEST(QuantumAttention, EmptyQueryGivesZeros) {
    EXPECT_EQ(quantum_attention(3, V{}, Vs{kQuery, kQuery}, Vs{kQuery, kQuery}), V(3, 0.0f));
}

struct Mismatch {
    std::size_t keys;
    std::size_t values;
};

class QuantumAttentionFault : public ::testing::TestWithParam<Mismatch> {};

TEST_P(QuantumAttentionFault, EmptyOrUnequalListsFault) {
    const Vs keys(GetParam().keys, kQuery);
    const Vs values(GetParam().values, kQuery);
    try {
        quantum_attention(8, kQuery, keys, values);
        FAIL() << "no fault";
    } catch (const Fault& f) {
        EXPECT_STREQ(f.what(), "assertion failed: !keys.is_empty() && keys.len() == values.len()");
    }
}

INSTANTIATE_TEST_SUITE_P(Lists, QuantumAttentionFault,
                         ::testing::Values(Mismatch{0, 0}, Mismatch{2, 3}, Mismatch{1, 0}, Mismatch{0, 1},
                                           Mismatch{3, 2}));

TEST(QuantumAttention, ImpossibleDimIsAFaultNotACrash) {
    EXPECT_THROW(quantum_attention(std::numeric_limits<std::uint64_t>::max(), kQuery, Vs{kQuery, kQuery},
                                   Vs{kQuery, kQuery}),
                 Fault);
}

TEST(QuantumAttentionHead, ComputeUsesDimAndIgnoresQubits) {
    // Amplitudes 1 and 0.5 mix both values; the qubit count plays no part.
    const Vs keys{kQuery, kSevenEighths};
    const Vs values{V{1, 2, 3, 4}, V{-1, 0.5f, 8}};
    const V want = quantum_attention(3, kQuery, keys, values);
    EXPECT_EQ(QuantumAttentionHead(3, 1).compute(kQuery, keys, values), want);
    EXPECT_EQ(QuantumAttentionHead(3, 1000).compute(kQuery, keys, values), want);
}

}  // namespace
}  // namespace tessarin
