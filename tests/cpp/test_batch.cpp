// Whole tables at once: codebooks, the ordered sum and bundle of many rows,
// resonance tables, the best k, and the item memory built on them. Each
// number must equal the single-row function's for that row, bit for bit.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/batch.hpp"
#include "core/chacha.hpp"
#include "core/generators.hpp"
#include "core/fault.hpp"
#include "core/item_memory.hpp"

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

TEST(Batch, ResonanceTableEntriesAreResonances) {
    std::mt19937 gen(11);
    const std::size_t dim = 37;
    const FloatTable queries = table({mixed(gen, dim), bipolar(gen, dim), V(dim, -kNaN)});
    std::vector<V> rows;
    for (int j = 0; j < 40; ++j) rows.push_back(j % 2 == 0 ? bipolar(gen, dim) : mixed(gen, dim));
    RowStore store;
    for (const V& r : rows) store.push_back(r);
    const FloatTable from_table = resonance_table(queries, table(rows));
    const FloatTable from_store = resonance_table(queries, store);
    ASSERT_EQ(from_table.count, 3U);
    ASSERT_EQ(from_table.dim, rows.size());
    for (std::uint64_t i = 0; i < 3; ++i) {
        for (std::size_t j = 0; j < rows.size(); ++j) {
            const float expected = resonance(queries.row(i), rows[j]);
            EXPECT_EQ(bits(from_table.row(i)[j]), bits(expected)) << i << " " << j;
            EXPECT_EQ(bits(from_store.row(i)[j]), bits(expected)) << i << " " << j;
        }
    }
    EXPECT_THROW(resonance_table(table({V(3, 1.0f)}), table({V(4, 1.0f)})), InputError);
}

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
    // Against a full sort, over many rows with many ties.
    std::mt19937 gen(3);
    FloatTable many;
    many.count = 20;
    many.dim = 300;
    for (std::size_t i = 0; i < 20 * 300; ++i) many.values.push_back(gen() % 50 == 0 ? kNaN : float(gen() % 20));
    const TopK best = top_k(many, 25);
    for (std::uint64_t i = 0; i < many.count; ++i) {
        std::vector<std::int64_t> order(300);
        for (std::size_t j = 0; j < 300; ++j) order[j] = static_cast<std::int64_t>(j);
        const auto row = many.row(i);
        std::stable_sort(order.begin(), order.end(), [&](std::int64_t a, std::int64_t b) {
            const float x = row[static_cast<std::size_t>(a)];
            const float y = row[static_cast<std::size_t>(b)];
            if (std::isnan(x) || std::isnan(y)) return !std::isnan(x) && std::isnan(y);
            return x > y;
        });
        order.resize(25);
        EXPECT_EQ(std::vector<std::int64_t>(best.indices.row(i).begin(), best.indices.row(i).end()), order);
    }
}

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
