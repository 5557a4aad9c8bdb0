// The row store and the many-record scans. Every SIMD target this processor
// has is forced in turn and must give, bit for bit, the one-record loop's
// scores: NaN payloads and signs, -0.0f, ragged lanes and all.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/row_store.hpp"
#include "core/scan.hpp"
#include "core/simd_target.hpp"
#include "expect_fault.hpp"

namespace tessarin {
namespace {

using V = std::vector<float>;

std::uint32_t bits(float x) { return std::bit_cast<std::uint32_t>(x); }
float from_bits(std::uint32_t b) { return std::bit_cast<float>(b); }

// Values that tell orders apart: NaNs of many payloads and both signs
// (quiet and signalling), infinities, both zeros, subnormals, +-1 and
// ordinary numbers.
float special(std::mt19937& gen) {
    const std::uint32_t r = gen();
    switch (r % 12) {
        case 0: return from_bits(0x7FC00000U | (r >> 9) | (r & 0x80000000U));        // quiet NaN
        case 1: return from_bits(0x7F800001U | ((r >> 10) & 0x3FFFFFU) | (r << 31));  // signalling NaN
        case 2: return (r & 16U) != 0 ? std::numeric_limits<float>::infinity() : -std::numeric_limits<float>::infinity();
        case 3: return (r & 16U) != 0 ? 0.0f : -0.0f;
        case 4: return from_bits((r >> 9) | (r & 0x80000000U));  // subnormal
        case 5: return (r & 16U) != 0 ? 1.0f : -1.0f;
        default: return std::normal_distribution<float>(0.0f, 8.0f)(gen);
    }
}

V bipolar(std::mt19937& gen, std::size_t n) {
    V v(n);
    for (float& x : v) x = (gen() & 1U) != 0 ? -1.0f : 1.0f;
    return v;
}

// Mostly ordinary numbers, so that sums stay finite long enough to compare
// something, with a sprinkling of special values.
V general(std::mt19937& gen, std::size_t n) {
    V v(n);
    for (float& x : v) x = gen() % 16 == 0 ? special(gen) : std::normal_distribution<float>(0.0f, 1.0f)(gen);
    return v;
}

struct Case {
    V query;
    std::vector<V> rows;
    RowStore store;
};

// `count` rows, about half bipolar, most as long as `row_len` and the rest
// ragged around the query's length; now and then a row pushed and popped
// again, so that later rows reuse a lane that held something else.
Case make_case(std::mt19937& gen, std::size_t query_len, std::size_t count, std::size_t row_len,
               bool ragged = true) {
    Case c;
    c.query = general(gen, query_len);
    if (gen() % 3 == 0) c.query = bipolar(gen, query_len);
    for (std::size_t r = 0; r < count; ++r) {
        if (gen() % 5 == 0) {
            c.store.push_back(gen() % 2 == 0 ? bipolar(gen, row_len + 9) : general(gen, row_len + 9));
            c.store.pop_back();
        }
        const std::size_t n = ragged && gen() % 4 == 0 ? gen() % (query_len + 6) : row_len;
        c.rows.push_back(gen() % 2 == 0 ? bipolar(gen, n) : general(gen, n));
        c.store.push_back(c.rows.back());
    }
    return c;
}

void expect_scores_match(const Case& c, const std::string& what) {
    // A stored row's resonance alone, as the scan of every row gives it.
    V all(c.rows.size());
    resonances(c.query, c.store, all);
    for (std::size_t k = 0; k < c.rows.size(); ++k) {
        ASSERT_EQ(bits(resonance(c.query, c.store, k)), bits(all[k])) << what << " resonance of record " << k;
    }
    for (const float start : {0.0f, -0.0f}) {
        for (const Factors order : {Factors::query_first, Factors::record_first}) {
            V from_store(c.rows.size(), 7.0f);
            V from_rows(c.rows.size(), 7.0f);
            ordered_dots(start, c.query, c.store, from_store, order);
            ordered_dots(start, c.query, c.rows, from_rows, order);
            for (std::size_t k = 0; k < c.rows.size(); ++k) {
                const std::uint32_t want = bits(ordered_dot(start, c.query, c.rows[k], order));
                ASSERT_EQ(bits(from_store[k]), want) << what << " store record " << k << " start " << start
                                                     << " record_first " << (order == Factors::record_first);
                ASSERT_EQ(bits(from_rows[k]), want) << what << " rows record " << k << " start " << start
                                                    << " record_first " << (order == Factors::record_first);
                ASSERT_EQ(bits(ordered_dot(start, c.query, c.store, k, order)), want) << what << " stored record " << k;
            }
            // Several queries in one pass: the query, its signs as a bipolar
            // query, and the query again.
            V signs(c.query.size());
            for (std::size_t i = 0; i < signs.size(); ++i) signs[i] = std::signbit(c.query[i]) ? -1.0f : 1.0f;
            const HvView queries[] = {c.query, signs, c.query};
            const std::size_t n = c.rows.size();
            V many(std::size(queries) * n, 7.0f);
            ordered_dots_many(start, queries, c.store, many, order);
            for (std::size_t i = 0; i < std::size(queries); ++i) {
                V one(n);
                ordered_dots(start, queries[i], c.store, one, order);
                for (std::size_t k = 0; k < n; ++k) {
                    ASSERT_EQ(bits(many[i * n + k]), bits(one[k])) << what << " query " << i << " record " << k;
                }
            }
        }
    }
}

class EveryTarget : public ::testing::TestWithParam<SimdTarget> {};

TEST_P(EveryTarget, ScansMatchTheOneRecordLoop) {
    const ScopedSimdTarget pinned(GetParam());
    std::mt19937 gen(12345);
    // Query lengths and record counts each run through 0..70 (partial blocks,
    // lanes ending before, at and after the query).
    for (std::size_t n = 0; n <= 70; ++n) {
        const std::size_t qlen = (n * 53) % 71;
        expect_scores_match(make_case(gen, n, (n * 37) % 71, n + gen() % 3), "qlen " + std::to_string(n));
        expect_scores_match(make_case(gen, qlen, n, qlen - std::min<std::size_t>(qlen, gen() % 3)),
                            "records " + std::to_string(n));
    }
    // Several groups of blocks, and queries longer than one pass of a kernel.
    expect_scores_match(make_case(gen, 1000, 300, 1000), "300 records at 1000");
    expect_scores_match(make_case(gen, 4200, 150, 4150), "150 records at 4200");
    expect_scores_match(make_case(gen, 20, 2100, 20), "2100 records at 20");
    // Rows of one length: whole blocks of separate rows are transposed in tiles.
    expect_scores_match(make_case(gen, 77, 40, 80, false), "40 even records at 77");
}

// Of two NaNs a product or a sum keeps the first operand's payload, so the
// factor order and "sum first" must survive compilation in every target.
TEST_P(EveryTarget, NaNPayloadsFollowOperandOrder) {
    const ScopedSimdTarget pinned(GetParam());
    const float q0 = from_bits(0x7FC00011U);
    const float r0 = from_bits(0xFFC00022U);
    const float q1 = from_bits(0xFFC00033U);
    const float r1 = from_bits(0x7FC00044U);
    const struct {
        V query, row;
        Factors order;
        float want;
    } cases[] = {
        {{q0}, {r0}, Factors::query_first, q0},
        {{q0}, {r0}, Factors::record_first, r0},
        // The running sum is already NaN: it wins over the product's NaN.
        {{q0, q1}, {1.0f, r1}, Factors::query_first, q0},
        {{q0, q1}, {1.0f, r1}, Factors::record_first, q0},
        {{1.0f, q1}, {r0, r1}, Factors::record_first, r0},
    };
    for (const auto& c : cases) {
        const std::vector<V> rows(17, c.row);  // a full block and one more
        RowStore store;
        for (const V& r : rows) store.push_back(r);
        V out(rows.size());
        EXPECT_EQ(bits(ordered_dot(0.0f, c.query, c.row, c.order)), bits(c.want));
        ordered_dots(0.0f, c.query, store, out, c.order);
        for (const float s : out) EXPECT_EQ(bits(s), bits(c.want));
        ordered_dots(0.0f, c.query, rows, out, c.order);
        for (const float s : out) EXPECT_EQ(bits(s), bits(c.want));
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, EveryTarget, ::testing::ValuesIn(supported_simd_targets().begin(),
                                                                   supported_simd_targets().end()),
                         [](const auto& target) { return std::string(simd_target_name(target.param)); });

TEST(Scan, OverDividesEveryScore) {
    const std::vector<V> rows = {{1.0f, 1.0f, 1.0f}, {2.0f, -0.0f}, {}};
    RowStore store;
    for (const V& r : rows) store.push_back(r);
    V from_store(3);
    V from_rows(3);
    ordered_dots_over(-0.0f, V{1.0f, 2.0f, 4.0f}, store, 3.0f, from_store);
    ordered_dots_over(-0.0f, V{1.0f, 2.0f, 4.0f}, rows, 3.0f, from_rows);
    for (const V& got : {from_store, from_rows}) {
        EXPECT_EQ(got[0], 7.0f / 3.0f);
        EXPECT_EQ(got[1], 2.0f / 3.0f);
        EXPECT_EQ(bits(got[2]), bits(-0.0f));
    }
}

TEST(Scan, OutputShorterThanTheRecordsIsAFault) {
    const std::vector<V> rows(3, V{1.0f});
    RowStore store;
    for (const V& r : rows) store.push_back(r);
    V out(2);
    const std::string message = "ordered_dots: output shorter than the number of records";
    expect_fault([&] { ordered_dots(0.0f, V{1.0f}, store, out); }, message);
    expect_fault([&] { ordered_dots_over(0.0f, V{1.0f}, rows, 1.0f, out); }, message);
    const V plus{1.0f};
    const V minus{-1.0f};
    const HvView two[] = {plus, minus};
    V five(5);
    expect_fault([&] { ordered_dots_many(0.0f, two, store, five); },
                 "ordered_dots_many: output shorter than the queries times the records");
}

// ---- RowStore -----------------------------------------------------------

TEST(RowStore, KeepsOnlyExactlyBipolarRowsAsSignsAndReadsEveryRowBackExactly) {
    const float nan = from_bits(0xFFC12345U);
    const struct {
        V row;
        bool packed;
    } cases[] = {
        {{}, true},
        {{1.0f, -1.0f, -1.0f}, true},
        {{1.0f, -0.0f}, false},
        {{-1.0f, nan}, false},
        {{1.0f, std::nextafter(1.0f, 2.0f)}, false},
        {{-1.0f, -std::numeric_limits<float>::infinity()}, false},
        // Past the first few components, and across a 64-component word.
        {{1.0f, -1.0f, 1.0f, 1.0f, -1.0f, 1.0f, -0.0f, 1.0f, -1.0f}, false},
        {{-1.0f, 1.0f, -1.0f, -1.0f, 1.0f, -1.0f, 1.0f, nan, 1.0f}, false},
        {V(70, -1.0f), true},
    };
    RowStore store;
    for (int round = 0; round < 3; ++round) {
        for (const auto& c : cases) store.push_back(c.row);
    }
    store.push_back(V{1.0f, 1.0f});
    store.pop_back();
    store.push_back(V{0.5f, 0.5f, 0.5f});
    store.pop_back();
    // A copy holds its own words: it reads back alike once the original is gone.
    const RowStore copy = store;
    store.clear();
    EXPECT_EQ(store.components(), 0u);
    ASSERT_EQ(copy.size(), 3 * std::size(cases));
    std::uint64_t components = 0;
    for (const auto& c : cases) components += 3 * c.row.size();
    EXPECT_EQ(copy.components(), components);
    for (std::size_t k = 0; k < copy.size(); ++k) {
        const auto& c = cases[k % std::size(cases)];
        EXPECT_EQ(copy.is_packed(k), c.packed) << k;
        EXPECT_EQ(copy.row_length(k), c.row.size());
        const V back = copy.row(k);
        ASSERT_EQ(back.size(), c.row.size());
        for (std::size_t i = 0; i < back.size(); ++i) EXPECT_EQ(bits(back[i]), bits(c.row[i])) << k << "," << i;
    }
    // Empty rows alone never give a block sign words (and there may be no
    // chunk at all): copying such a store must not look for them, and the
    // copy must still take rows of its own.
    RowStore empty_rows;
    empty_rows.push_back(V{});
    RowStore copy_of_empty = empty_rows;
    EXPECT_TRUE(copy_of_empty.is_packed(0));
    copy_of_empty.push_back(V(70, -1.0f));
    EXPECT_EQ(copy_of_empty.row(0).size(), 0u);
    EXPECT_EQ(copy_of_empty.row(1), V(70, -1.0f));
}

// At dim 10,000, sign bits cost an eighth of a byte per component, kept once
// (rounded up to whole 64-bit words), and float rows four bytes; the block
// tables add a few bytes per entry (up to twice that just after a table has
// grown). Sign words are held in chunks that double up to 1 MiB, so a small
// store may hold up to as many again, reserved but never touched.
TEST(RowStore, BytesPerEntry) {
    constexpr std::size_t kDim = 10000;
    constexpr std::size_t kEntries = 160;
    std::mt19937 gen(3);
    RowStore packed;
    RowStore floats;
    for (std::size_t r = 0; r < kEntries; ++r) {
        packed.push_back(bipolar(gen, kDim));
        floats.push_back(general(gen, kDim));
    }
    const double packed_per_entry = static_cast<double>(packed.bytes_held()) / kEntries;
    const double float_per_entry = static_cast<double>(floats.bytes_held()) / kEntries;
    EXPECT_LT(packed_per_entry, 2 * ((kDim + 63) / 64 * 8) + 16.0);
    EXPECT_LT(float_per_entry, kDim * 4 + 16.0);
    RecordProperty("packed_bytes_per_entry", std::to_string(packed_per_entry));
    RecordProperty("float_bytes_per_entry", std::to_string(float_per_entry));
}

}  // namespace
}  // namespace tessarin
