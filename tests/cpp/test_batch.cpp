// Whole tables at once: codebooks, the ordered sum and bundle of many rows,
// resonance tables, the best k, and the item memory built on them. Each
// number must equal the single-row function's for that row, bit for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "core/batch.hpp"
#include "core/cancel.hpp"
#include "core/chacha.hpp"
#include "core/generators.hpp"
#include "core/fault.hpp"
#include "core/item_memory.hpp"
#include "core/simd_target.hpp"

namespace tessarin {
namespace {

using V = std::vector<float>;

std::uint32_t bits(float x) { return std::bit_cast<std::uint32_t>(x); }
float from_bits(std::uint32_t b) { return std::bit_cast<float>(b); }
const float kNaN = std::numeric_limits<float>::quiet_NaN();

FloatTable table(const std::vector<V>& rows) {
    FloatTable t;
    t.count = rows.size();
    t.dim = rows.empty() ? 0 : rows[0].size();
    for (const V& r : rows) t.values.insert(t.values.end(), r.begin(), r.end());
    return t;
}

V bipolar(std::mt19937& gen, std::size_t n) {
    V v(n);
    for (float& x : v) x = (gen() & 1U) != 0 ? -1.0f : 1.0f;
    return v;
}

// Ordinary numbers with NaNs of both signs and several payloads, both zeros
// and infinities mixed in.
V mixed(std::mt19937& gen, std::size_t n) {
    V v(n);
    for (float& x : v) {
        const std::uint32_t r = gen();
        switch (r % 10) {
            case 0: x = from_bits(0x7FC00000U | (r >> 12) | (r & 0x80000000U)); break;
            case 1: x = (r & 16U) != 0 ? 0.0f : -0.0f; break;
            case 2: x = (r & 16U) != 0 ? 1.0f : -1.0f; break;
            case 3: x = (r & 16U) != 0 ? std::numeric_limits<float>::infinity() : -1e30f; break;
            default: x = std::normal_distribution<float>(0.0f, 4.0f)(gen);
        }
    }
    return v;
}

TEST(Batch, StringRowsAreTheStringHypervectors) {
    const std::vector<std::string> texts{"", "alpha", "beta", std::string("nul\0inside", 10)};
    for (const std::uint64_t dim : {0ULL, 1ULL, 7ULL, 64ULL, 1001ULL}) {
        const FloatTable t = string_rows(texts, dim);
        ASSERT_EQ(t.count, texts.size());
        for (std::size_t i = 0; i < texts.size(); ++i) {
            const V expected = string_hypervector(texts[i], dim);
            EXPECT_EQ(V(t.row(i).begin(), t.row(i).end()), expected) << texts[i] << " " << dim;
        }
    }
}

TEST(Batch, RandomBipolarRowsDependOnlyOnSeedRowAndDim) {
    const FloatTable whole = random_bipolar_rows(10, 130, 42, 0);
    const FloatTable piece = random_bipolar_rows(3, 130, 42, 7);
    for (std::uint64_t i = 0; i < 3; ++i) {
        EXPECT_EQ(V(piece.row(i).begin(), piece.row(i).end()), V(whole.row(7 + i).begin(), whole.row(7 + i).end()));
    }
    for (const float x : whole.values) EXPECT_TRUE(bits(x) == bits(1.0f) || bits(x) == bits(-1.0f));
    EXPECT_NE(V(whole.row(0).begin(), whole.row(0).end()), V(whole.row(1).begin(), whole.row(1).end()));
    const FloatTable other_seed = random_bipolar_rows(1, 130, 43, 0);
    EXPECT_NE(V(other_seed.row(0).begin(), other_seed.row(0).end()), V(whole.row(0).begin(), whole.row(0).end()));
    // Reference value: the signs of row 0 of seed 0, low bit first. A change
    // here changes every codebook users have made.
    const FloatTable ref = random_bipolar_rows(1, 16, 0, 0);
    std::uint32_t signs = 0;
    for (std::size_t c = 0; c < 16; ++c) signs |= static_cast<std::uint32_t>(ref.values[c] < 0.0f) << c;
    EXPECT_EQ(signs, chacha_block(expand_seed(0), 0, 0, kChaCha12Rounds)[0] & 0xFFFFU);
    EXPECT_EQ(signs, 28543U);
    EXPECT_THROW(random_bipolar_rows(2, 64, 0, std::numeric_limits<std::uint64_t>::max()), InputError);
    EXPECT_THROW(random_bipolar_rows(1, 128, 0, std::uint64_t{1} << 63), InputError);
}

TEST(Batch, HugeTablesAreAllocationFailures) {
    EXPECT_THROW(zeroed_table<float>(std::uint64_t{1} << 40, std::uint64_t{1} << 40), std::bad_alloc);
    EXPECT_THROW(zeroed_table<float>(std::uint64_t{1} << 62, 1), std::bad_alloc);
}

TEST(Batch, OrderedRowSumStartsAtPositiveZeroAndKeepsRowOrder) {
    // 1e8 + 1 - 1e8 rounds the 1 away; the other order keeps it.
    EXPECT_EQ(ordered_row_sum(table({{1e8f}, {1.0f}, {-1e8f}}))[0], 0.0f);
    EXPECT_EQ(ordered_row_sum(table({{1e8f}, {-1e8f}, {1.0f}}))[0], 1.0f);
    // -0.0 + -0.0 is -0.0, but the sum starts at +0.0.
    EXPECT_EQ(bits(ordered_row_sum(table({{-0.0f}, {-0.0f}}))[0]), bits(0.0f));
    // Of two NaNs, the running sum's payload survives: the sum is the first operand.
    const float first = from_bits(0x7FC00001U);
    const float second = from_bits(0xFFC00002U);
    for (std::size_t dim : {1U, 4U, 5U, 9U}) {
        const V sum = ordered_row_sum(table({V(dim, first), V(dim, second)}));
        for (const float x : sum) EXPECT_EQ(bits(x), bits(first));
    }
    EXPECT_EQ(ordered_row_sum(table({})).size(), 0U);
    FloatTable no_rows;
    no_rows.dim = 3;
    EXPECT_EQ(bundle_rows(no_rows), V(3, 0.0f));
}

TEST(Batch, BundleOfTwoRowsIsHdcBundle) {
    std::mt19937 gen(7);
    for (std::size_t dim : {1U, 3U, 4U, 17U, 100U}) {
        const V a = mixed(gen, dim);
        const V b = mixed(gen, dim);
        const V got = bundle_rows(table({a, b}));
        const V expected = hdc_bundle(a, b);
        for (std::size_t j = 0; j < dim; ++j) EXPECT_EQ(bits(got[j]), bits(expected[j])) << a[j] << " " << b[j];
    }
    EXPECT_EQ(bundle_rows(table({{3.0f, -2.0f, kNaN, 1.0f}, {-1.0f, 1.0f, 1.0f, -1.0f}, {1.0f, 0.0f, 0.0f, 0.0f}})),
              (V{1.0f, -1.0f, 0.0f, 0.0f}));
}

// Records encoded at once equal the bundle (or the ordered sum) of their
// bindings made one by one, bit for bit: NaN payloads of both signs, both
// zeros and infinities included, across the widths the sums run in (chunks of
// 64 columns on AVX2 and wider, 32 and 4 on the baseline, single columns,
// blocks of 128) and on every target.
using BoundShape = std::tuple<std::size_t, std::size_t, std::size_t>;  // keys, values, dim
class BoundRowSums : public ::testing::TestWithParam<BoundShape> {};

TEST_P(BoundRowSums, EqualBundlesOfTheBindings) {
    const auto [key_count, value_count, dim] = GetParam();
    std::mt19937 gen(static_cast<unsigned>(key_count * 1000 + value_count * 10 + dim));
    std::vector<V> key_rows(key_count);
    std::vector<V> value_rows(value_count);
    for (V& r : key_rows) r = mixed(gen, dim);
    for (V& r : value_rows) r = mixed(gen, dim);
    constexpr std::uint64_t kItems = 5;
    IndexTable choices;
    choices.count = kItems;
    choices.dim = key_count;
    for (std::uint64_t n = 0; n < kItems * key_count; ++n) choices.values.push_back(gen() % value_count);
    for (const SimdTarget target : supported_simd_targets()) {
        const ScopedSimdTarget pinned(target);
        for (const bool sign : {true, false}) {
            FloatTable keys = table(key_rows);
            keys.dim = dim;  // also without keys
            const FloatTable got = bound_row_sums(keys, table(value_rows), choices, sign);
            ASSERT_EQ(got.count, kItems);
            ASSERT_EQ(got.dim, dim);
            for (std::uint64_t i = 0; i < kItems; ++i) {
                std::vector<V> bindings;
                for (std::size_t k = 0; k < key_count; ++k) {
                    const auto chosen = static_cast<std::size_t>(choices.row(i)[k]);
                    bindings.push_back(hdc_bind(key_rows[k], value_rows[chosen]));
                }
                FloatTable bound = table(bindings);
                bound.dim = dim;
                const V expected = sign ? bundle_rows(bound) : ordered_row_sum(bound);
                for (std::size_t j = 0; j < dim; ++j) {
                    EXPECT_EQ(bits(got.row(i)[j]), bits(expected[j]))
                        << simd_target_name(target) << " item " << i << " column " << j;
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, BoundRowSums,
                         ::testing::Combine(::testing::Values(0U, 1U, 3U, 64U), ::testing::Values(1U, 17U),
                                            ::testing::Values(1U, 3U, 4U, 37U, 103U, 131U, 300U)));

TEST(Batch, BoundRowSumsKeepTheKeysNaNAndStartAtPositiveZero) {
    const float key_nan = from_bits(0xFFC00001U);
    const float value_nan = from_bits(0x7FC00002U);
    IndexTable choices;
    choices.count = 1;
    choices.dim = 2;
    choices.values = {0, 0};
    for (const std::size_t dim : {1U, 4U, 32U, 33U}) {
        const FloatTable nan = bound_row_sums(table({V(dim, key_nan), V(dim, 1.0f)}), table({V(dim, value_nan)}),
                                              choices, false);
        for (const float x : nan.values) EXPECT_EQ(bits(x), bits(key_nan));
        // -0.0 * 1 + -0.0 * 1 is -0.0 added to -0.0, but the sum starts at +0.0.
        const FloatTable zero =
            bound_row_sums(table({V(dim, -0.0f), V(dim, -0.0f)}), table({V(dim, 1.0f)}), choices, false);
        for (const float x : zero.values) EXPECT_EQ(bits(x), bits(0.0f));
    }
}

TEST(Batch, BoundRowSumsRefuseChoicesOutsideTheValues) {
    IndexTable choices;
    choices.count = 2;
    choices.dim = 2;
    const FloatTable keys = table({{1.0f, 2.0f}, {3.0f, 4.0f}});
    const FloatTable values = table({{1.0f, 1.0f}, {-1.0f, 1.0f}});
    for (const std::int64_t bad : {std::int64_t{-1}, std::int64_t{2}, std::numeric_limits<std::int64_t>::min()}) {
        choices.values = {0, 1, 1, bad};
        EXPECT_THROW(bound_row_sums(keys, values, choices, true), InputError) << bad;
    }
    choices.values = {0, 1, 1, 0};
    EXPECT_THROW(bound_row_sums(keys, table({{1.0f, 1.0f, 1.0f}}), choices, true), InputError);
    choices.dim = 1;
    choices.values = {0, 1};
    EXPECT_THROW(bound_row_sums(keys, values, choices, true), InputError);
}

// The table scores every query in one pass over the stored rows (bipolar
// queries counted together, eight at a time on the population-count target),
// so each entry is checked against resonance() on every SIMD target: a float
// query, a NaN query, and more bipolar queries than one pass counts at once,
// over rows that span several sign words and blocks, of both kinds.
class ResonanceTableOnEveryTarget : public ::testing::TestWithParam<std::tuple<SimdTarget, std::size_t>> {};

TEST_P(ResonanceTableOnEveryTarget, EntriesAreResonances) {
    const ScopedSimdTarget pinned(std::get<0>(GetParam()));
    const std::size_t dim = std::get<1>(GetParam());
    std::mt19937 gen(11);
    std::vector<V> query_rows{mixed(gen, dim), V(dim, -kNaN)};
    for (int i = 0; i < 11; ++i) query_rows.push_back(bipolar(gen, dim));
    query_rows[5][dim / 2] = from_bits(0xFFC12345U);  // a NaN amid a bipolar query: scored as floats
    const FloatTable queries = table(query_rows);
    std::vector<V> rows;
    for (int j = 0; j < 70; ++j) rows.push_back(j % 5 == 3 ? mixed(gen, dim) : bipolar(gen, dim));
    RowStore store;
    for (const V& r : rows) store.push_back(r);
    const FloatTable from_table = resonance_table(queries, table(rows));
    const FloatTable from_store = resonance_table(queries, store);
    ASSERT_EQ(from_table.count, queries.count);
    ASSERT_EQ(from_table.dim, rows.size());
    for (std::uint64_t i = 0; i < queries.count; ++i) {
        for (std::size_t j = 0; j < rows.size(); ++j) {
            const float expected = resonance(queries.row(i), rows[j]);
            EXPECT_EQ(bits(from_table.row(i)[j]), bits(expected)) << i << " " << j;
            EXPECT_EQ(bits(from_store.row(i)[j]), bits(expected)) << i << " " << j;
        }
    }
    EXPECT_THROW(resonance_table(table({V(3, 1.0f)}), table({V(4, 1.0f)})), InputError);
}

INSTANTIATE_TEST_SUITE_P(Targets, ResonanceTableOnEveryTarget,
                         ::testing::Combine(::testing::ValuesIn(supported_simd_targets().begin(),
                                                                supported_simd_targets().end()),
                                            ::testing::Values(std::size_t{37}, std::size_t{200})));

TEST(Batch, TopKOrdersByScoreThenIndexWithNaNLast) {
    const FloatTable scores = table({{0.5f, kNaN, 0.9f, 0.5f, -kNaN, 0.9f, -1.0f}});
    struct Case {
        std::uint64_t k;
        std::vector<std::int64_t> indices;
    };
    for (const Case& c : {Case{0, {}}, Case{1, {2}}, Case{3, {2, 5, 0}}, Case{7, {2, 5, 0, 3, 6, 1, 4}},
                          Case{100, {2, 5, 0, 3, 6, 1, 4}}}) {
        const TopK best = top_k(scores, c.k);
        EXPECT_EQ(best.indices.values, c.indices) << c.k;
        ASSERT_EQ(best.scores.values.size(), c.indices.size());
        for (std::size_t r = 0; r < c.indices.size(); ++r) {
            EXPECT_EQ(bits(best.scores.values[r]), bits(scores.values[static_cast<std::size_t>(c.indices[r])]));
        }
    }
}

// Against a full sort, over many rows with many ties. Long rows and small k
// pass most scores over a stretch at a time, so the cases put ties with the
// heap's worst, NaN worsts (rows that open with NaNs), infinities and rising
// scores (every score an entrant) across the stretches' edges.
struct TopKCase {
    const char* name;
    std::uint64_t dim;
    std::uint64_t k;
    float (*score)(std::mt19937& gen, std::size_t column);
};

class TopKAgainstSort : public ::testing::TestWithParam<TopKCase> {};

TEST_P(TopKAgainstSort, EqualsAStableSort) {
    const TopKCase& c = GetParam();
    std::mt19937 gen(3);
    FloatTable many;
    many.count = 20;
    many.dim = c.dim;
    for (std::size_t i = 0; i < many.count; ++i) {
        for (std::size_t j = 0; j < c.dim; ++j) many.values.push_back(c.score(gen, j));
    }
    const std::uint64_t kept = std::min(c.k, c.dim);
    const TopK best = top_k(many, c.k);
    for (std::uint64_t i = 0; i < many.count; ++i) {
        std::vector<std::int64_t> order(c.dim);
        for (std::size_t j = 0; j < c.dim; ++j) order[j] = static_cast<std::int64_t>(j);
        const auto row = many.row(i);
        std::stable_sort(order.begin(), order.end(), [&](std::int64_t a, std::int64_t b) {
            const float x = row[static_cast<std::size_t>(a)];
            const float y = row[static_cast<std::size_t>(b)];
            if (std::isnan(x) || std::isnan(y)) return !std::isnan(x) && std::isnan(y);
            return x > y;
        });
        order.resize(kept);
        EXPECT_EQ(std::vector<std::int64_t>(best.indices.row(i).begin(), best.indices.row(i).end()), order) << i;
        for (std::size_t r = 0; r < kept; ++r) {
            EXPECT_EQ(bits(best.scores.row(i)[r]), bits(row[static_cast<std::size_t>(order[r])])) << i << " " << r;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TopKAgainstSort,
    ::testing::Values(
        TopKCase{"ties", 300, 25, [](std::mt19937& g, std::size_t) { return g() % 50 == 0 ? kNaN : float(g() % 20); }},
        TopKCase{"few_values_k1", 1000, 1, [](std::mt19937& g, std::size_t) { return float(g() % 3); }},
        TopKCase{"few_values_k3", 1001, 3,
                 [](std::mt19937& g, std::size_t) { return g() % 7 == 0 ? -kNaN : float(g() % 4); }},
        TopKCase{"nan_first", 700, 4,
                 [](std::mt19937& g, std::size_t j) { return j < 100 || g() % 3 == 0 ? kNaN : float(g() % 9); }},
        TopKCase{"all_nan", 100, 5, [](std::mt19937&, std::size_t) { return kNaN; }},
        TopKCase{"infinities", 500, 2,
                 [](std::mt19937& g, std::size_t) {
                     const float inf = std::numeric_limits<float>::infinity();
                     return g() % 2 == 0 ? -inf : (g() % 50 == 0 ? inf : float(g() % 5));
                 }},
        TopKCase{"rising", 400, 16, [](std::mt19937&, std::size_t j) { return float(j / 3); }},
        TopKCase{"k_above_n", 40, 100, [](std::mt19937& g, std::size_t) { return float(g() % 6); }}),
    [](const ::testing::TestParamInfo<TopKCase>& param) { return std::string(param.param.name); });

// Rows dealt out to several stores (any split that keeps each store's rows in
// their order in the whole): each store's best k, with its rows' indices in
// the whole, laid side by side, merge into the whole's best k exactly, for
// scores with many ties and NaNs of both signs.
TEST(Batch, MergedBestListsOfPartsAreTheBestOfTheWhole) {
    std::mt19937 gen(11);
    FloatTable whole;
    whole.count = 6;
    whole.dim = 200;
    for (std::size_t i = 0; i < 6 * 200; ++i) {
        const std::uint32_t r = gen();
        whole.values.push_back(r % 9 == 0 ? (r & 64U ? kNaN : -kNaN) : float(r % 7) * 0.5f);
    }
    for (const std::uint64_t parts : {1U, 2U, 3U, 7U}) {
        std::vector<std::vector<std::int64_t>> owned(parts);  // each part's rows, in order
        for (std::int64_t j = 0; j < 200; ++j) owned[gen() % parts].push_back(j);
        for (const std::uint64_t k : {0U, 1U, 5U, 40U, 300U}) {
            FloatTable scores{{}, whole.count, 0};
            IndexTable indices{{}, whole.count, 0};
            std::vector<TopK> best;
            for (const auto& rows : owned) {
                FloatTable part{{}, whole.count, rows.size()};
                for (std::uint64_t i = 0; i < whole.count; ++i) {
                    for (const std::int64_t j : rows) part.values.push_back(whole.row(i)[static_cast<std::size_t>(j)]);
                }
                best.push_back(top_k(part, k));
                scores.dim += best.back().scores.dim;
            }
            indices.dim = scores.dim;
            for (std::uint64_t i = 0; i < whole.count; ++i) {
                for (std::size_t p = 0; p < parts; ++p) {
                    for (std::size_t c = 0; c < best[p].scores.dim; ++c) {
                        scores.values.push_back(best[p].scores.row(i)[c]);
                        indices.values.push_back(owned[p][static_cast<std::size_t>(best[p].indices.row(i)[c])]);
                    }
                }
            }
            const TopK merged = merge_top_k(scores, indices, k);
            const TopK expected = top_k(whole, k);
            EXPECT_EQ(merged.indices.dim, expected.indices.dim) << parts << " " << k;
            EXPECT_EQ(merged.indices.values, expected.indices.values) << parts << " " << k;
            ASSERT_EQ(merged.scores.values.size(), expected.scores.values.size());
            for (std::size_t r = 0; r < merged.scores.values.size(); ++r) {
                EXPECT_EQ(bits(merged.scores.values[r]), bits(expected.scores.values[r])) << parts << " " << k;
            }
        }
    }
    EXPECT_THROW(merge_top_k(table({{1.0f, 2.0f}}), IndexTable{{0, 1, 2}, 1, 3}, 1), InputError);
}

TEST(ItemMemory, AddsAllOrNothingAndReadsRowsBackExactly) {
    EXPECT_THROW(ItemMemory(0), InputError);
    ItemMemory m(4);
    const V bip{1.0f, -1.0f, -1.0f, 1.0f};
    const V odd{-0.0f, kNaN, 1.0f, 2.5f};
    EXPECT_EQ(m.add(table({bip})), 0U);
    EXPECT_EQ(m.add(table({odd, bip})), 1U);
    EXPECT_THROW(m.add(table({V(5, 1.0f)})), InputError);
    EXPECT_EQ(m.size(), 3U);
    for (std::uint64_t i = 0; i < 3; ++i) {
        const V want = i == 1 ? odd : bip;
        const V got = m.row(i);
        ASSERT_EQ(got.size(), 4U);
        for (std::size_t j = 0; j < 4; ++j) EXPECT_EQ(bits(got[j]), bits(want[j]));
    }
    EXPECT_THROW(m.row(3), Fault);
}

TEST(ItemMemory, ScoresAreResonancesAndSearchRanksThem) {
    std::mt19937 gen(5);
    const std::size_t dim = 70;
    ItemMemory m(dim);
    std::vector<V> rows;
    for (int j = 0; j < 50; ++j) rows.push_back(j % 3 == 0 ? mixed(gen, dim) : bipolar(gen, dim));
    m.add(table(rows));
    V nan_query = bipolar(gen, dim);
    nan_query[3] = from_bits(0xFFC12345U);  // negative NaN: its sign must survive the -1.0 rows
    const FloatTable queries = table({bipolar(gen, dim), mixed(gen, dim), nan_query});
    const FloatTable scores = m.resonances(queries);
    for (std::uint64_t i = 0; i < queries.count; ++i) {
        for (std::size_t j = 0; j < rows.size(); ++j) {
            EXPECT_EQ(bits(scores.row(i)[j]), bits(resonance(queries.row(i), rows[j]))) << i << " " << j;
        }
    }
    const TopK best = m.search(queries, 5);
    const TopK expected = top_k(scores, 5);
    EXPECT_EQ(best.indices.values, expected.indices.values);
    EXPECT_THROW(m.resonances(table({V(dim + 1, 1.0f)})), InputError);
}

// A memory of several segments is searched a part at a time, every query
// keeping its best k across the parts: many equal scores (rows from a small
// pool) and NaN scores must still be ranked by record across the parts'
// edges, exactly as one top k over the whole table ranks them. Sign-bit rows
// with bipolar queries alone are counted in parts smaller than a segment (on
// every SIMD target, the scalar one counting query by query); float rows or
// queries make each segment one part.
class SegmentedSearch : public ::testing::TestWithParam<std::tuple<SimdTarget, std::uint64_t, bool>> {};

TEST_P(SegmentedSearch, EqualsTheBestKOfTheWholeTable) {
    const ScopedSimdTarget pinned(std::get<0>(GetParam()));
    const std::uint64_t k = std::get<1>(GetParam());
    const bool signs_only = std::get<2>(GetParam());
    const std::size_t dim = 5;
    std::mt19937 gen(17);
    std::vector<V> pool;
    for (int p = 0; p < 6; ++p) pool.push_back(p == 5 && !signs_only ? mixed(gen, dim) : bipolar(gen, dim));
    if (!signs_only) pool[4][1] = kNaN;
    std::vector<V> rows;
    for (std::uint64_t j = 0; j < 2 * ItemMemory::kSegmentRows + 777; ++j) rows.push_back(pool[gen() % pool.size()]);
    ItemMemory m(dim);
    m.add(table(rows));
    const FloatTable queries = table({bipolar(gen, dim), signs_only ? pool[1] : mixed(gen, dim), pool[0]});
    const FloatTable scores = m.resonances(queries);
    for (std::uint64_t i = 0; i < queries.count; ++i) {
        for (std::size_t j = 0; j < rows.size(); j += 997) {
            EXPECT_EQ(bits(scores.row(i)[j]), bits(resonance(queries.row(i), rows[j]))) << i << " " << j;
        }
    }
    const TopK best = m.search(queries, k);
    const TopK expected = top_k(scores, k);
    EXPECT_EQ(best.indices.values, expected.indices.values);
    ASSERT_EQ(best.scores.values.size(), expected.scores.values.size());
    for (std::size_t r = 0; r < best.scores.values.size(); ++r) {
        EXPECT_EQ(bits(best.scores.values[r]), bits(expected.scores.values[r])) << r;
    }
    for (const std::uint64_t j : {ItemMemory::kSegmentRows - 1, ItemMemory::kSegmentRows, rows.size() - 1}) {
        EXPECT_EQ(m.row(j), rows[j]) << j;
    }
}

INSTANTIATE_TEST_SUITE_P(K, SegmentedSearch,
                         ::testing::Combine(::testing::ValuesIn(supported_simd_targets().begin(),
                                                                supported_simd_targets().end()),
                                            ::testing::Values(0, 1, 7, ItemMemory::kSegmentRows + 5),
                                            ::testing::Bool()));

bool stop_now() { return true; }

TEST(ItemMemory, ACancelledAddAcrossSegmentsLeavesTheMemoryAsItWas) {
    const std::size_t dim = 4;
    std::mt19937 gen(23);
    ItemMemory m(dim);
    std::vector<V> first;
    for (int j = 0; j < 1000; ++j) first.push_back(bipolar(gen, dim));
    m.add(table(first));
    const FloatTable probe = table({bipolar(gen, dim)});
    const TopK before = m.search(probe, 3);
    // The hook is asked about every 2^20 units of work, a quarter of a
    // million rows of four components: past four segment edges.
    std::vector<V> batch(5 * ItemMemory::kSegmentRows, V(dim, 1.0f));
    connect_cancel_hook(&stop_now);
    EXPECT_THROW(m.add(table(batch)), Cancelled);
    connect_cancel_hook(nullptr);
    EXPECT_EQ(m.size(), 1000U);
    EXPECT_EQ(m.search(probe, 3).indices.values, before.indices.values);
    EXPECT_EQ(m.add(table(batch)), 1000U);
    EXPECT_EQ(m.size(), 1000U + batch.size());
    EXPECT_EQ(m.row(999), first[999]);
    EXPECT_EQ(m.row(1000 + ItemMemory::kSegmentRows), batch[0]);
}

// A result table's first touch of fresh pages is long work before any scan
// begins (a second for the 400 MB of 500 queries by 200,000 rows).
TEST(Batch, ZeroingALargeTableStopsWhenAsked) {
    connect_cancel_hook(&stop_now);
    EXPECT_THROW((void)zeroed_table<float>(2, kCancelPollInterval), Cancelled);
    connect_cancel_hook(nullptr);
}

TEST(ItemMemory, BipolarScoresStayExactPastTwoToTheTwentyFour) {
    // Beyond 2^24 components a count of differing bits no longer equals the
    // ordered float sum, which has started to round.
    const std::size_t dim = (std::size_t{1} << 24) + 5;
    std::mt19937 gen(9);
    V row = bipolar(gen, dim);
    V query(dim, 1.0f);
    ItemMemory m(dim);
    m.add(table({row}));
    EXPECT_EQ(bits(m.resonances(table({query})).values[0]), bits(resonance(query, row)));
}

}  // namespace
}  // namespace tessarin
