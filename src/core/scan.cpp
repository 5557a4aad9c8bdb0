#include "core/scan.hpp"

#include <algorithm>
#include <array>

#include "core/simd_target.hpp"

namespace tessarin {
namespace {

constexpr std::size_t kLanes = RowStore::kLanes;
using Lanes = std::array<float, kLanes>;

template <Factors Order>
inline float product(float q, float r) {
    if constexpr (Order == Factors::query_first) {
        return q * r;
    } else {
        return r * q;
    }
}

// How far each lane of a block runs: its own length, cut to the query's.
template <class Block>
std::array<std::uint64_t, kLanes> lane_ends(const Block& b, std::uint64_t query_length) {
    std::array<std::uint64_t, kLanes> end{};
    for (std::size_t k = 0; k < b.used; ++k) end[k] = std::min(b.length[k], query_length);
    return end;
}

// One block, every lane in step. Up to the shortest lane no lane needs a
// check; past it, a lane that has ended simply stops adding (adding anything,
// even a zero, could turn its -0.0f into +0.0f).
template <Factors Order, class RowAt>
void block_sums(float start, const float* q, const std::array<std::uint64_t, kLanes>& end, std::size_t used,
                RowAt row_at, Lanes& acc) {
    acc.fill(start);
    std::uint64_t common = end[0];
    std::uint64_t longest = 0;
    for (std::size_t k = 0; k < used; ++k) {
        common = std::min(common, end[k]);
        longest = std::max(longest, end[k]);
    }
    for (std::uint64_t i = 0; i < common; ++i) {
        const float qi = q[i];
        for (std::size_t k = 0; k < kLanes; ++k) acc[k] = acc[k] + product<Order>(qi, row_at(i, k));
    }
    for (std::uint64_t i = common; i < longest; ++i) {
        const float qi = q[i];
        for (std::size_t k = 0; k < used; ++k) {
            if (i < end[k]) acc[k] = acc[k] + product<Order>(qi, row_at(i, k));
        }
    }
}

template <Factors Order>
void scan_store(float start, HvView query, const RowStore& rows, std::span<float> out) {
    Lanes acc{};
    const auto& packed = rows.packed_blocks();
    for (std::size_t b = 0; b < packed.size(); ++b) {
        const RowStore::PackedBlock& block = packed[b];
        const RowStore::SignWord* signs = block.signs.data();
        block_sums<Order>(start, query.data(), lane_ends(block, query.size()), block.used,
                          [signs](std::uint64_t i, std::size_t k) {
                              return ((signs[i] >> k) & 1U) != 0 ? -1.0f : 1.0f;
                          },
                          acc);
        for (std::size_t k = 0; k < block.used; ++k) out[rows.packed_records()[b * kLanes + k]] = acc[k];
    }
    const auto& floats = rows.float_blocks();
    for (std::size_t b = 0; b < floats.size(); ++b) {
        const RowStore::FloatBlock& block = floats[b];
        const float* values = block.values.data();
        block_sums<Order>(start, query.data(), lane_ends(block, query.size()), block.used,
                          [values](std::uint64_t i, std::size_t k) { return values[i * kLanes + k]; }, acc);
        for (std::size_t k = 0; k < block.used; ++k) out[rows.float_records()[b * kLanes + k]] = acc[k];
    }
}

template <Factors Order>
float dot_one(float start, HvView query, HvView record) {
    const std::size_t m = std::min(query.size(), record.size());
    float acc = start;
    for (std::size_t i = 0; i < m; ++i) acc = acc + product<Order>(query[i], record[i]);
    return acc;
}

void divide_all(std::span<float> out, float length) {
    for (float& s : out) s = s / length;
}

}  // namespace

float ordered_dot(float start, HvView query, HvView record, Factors order) {
    return order == Factors::query_first ? dot_one<Factors::query_first>(start, query, record)
                                         : dot_one<Factors::record_first>(start, query, record);
}

float ordered_dot_over(float start, HvView query, HvView record, float length, Factors order) {
    return ordered_dot(start, query, record, order) / length;
}

void ordered_dots(float start, HvView query, const RowStore& rows, std::span<float> out, Factors order) {
    if (order == Factors::query_first) {
        scan_store<Factors::query_first>(start, query, rows, out);
    } else {
        scan_store<Factors::record_first>(start, query, rows, out);
    }
}

void ordered_dots(float start, HvView query, std::span<const Hypervector> rows, std::span<float> out,
                  Factors order) {
    for (std::size_t k = 0; k < rows.size(); ++k) out[k] = ordered_dot(start, query, rows[k], order);
}

void ordered_dots_over(float start, HvView query, const RowStore& rows, float length, std::span<float> out,
                       Factors order) {
    ordered_dots(start, query, rows, out, order);
    divide_all(out, length);
}

void ordered_dots_over(float start, HvView query, std::span<const Hypervector> rows, float length,
                       std::span<float> out, Factors order) {
    ordered_dots(start, query, rows, out, order);
    divide_all(out, length);
}

}  // namespace tessarin

namespace tessarin {

float ordered_dot(float start, HvView query, const RowStore& rows, std::size_t k, Factors order) {
    const RowStore::Slot& s = rows.slots()[k];
    const std::uint64_t m = std::min<std::uint64_t>(query.size(), rows.row_length(k));
    float acc = start;
    if (s.packed) {
        const RowStore::SignWord* signs = rows.packed_blocks()[s.block].signs.data();
        for (std::uint64_t i = 0; i < m; ++i) {
            const float r = ((signs[i] >> s.lane) & 1U) != 0 ? -1.0f : 1.0f;
            acc = acc + (order == Factors::query_first ? query[i] * r : r * query[i]);
        }
    } else {
        const float* values = rows.float_blocks()[s.block].values.data() + s.lane;
        for (std::uint64_t i = 0; i < m; ++i) {
            const float r = values[i * RowStore::kLanes];
            acc = acc + (order == Factors::query_first ? query[i] * r : r * query[i]);
        }
    }
    return acc;
}

}  // namespace tessarin

namespace tessarin {

void resonances(HvView v, const RowStore& rows, std::span<float> out) {
    ordered_dots_over(0.0f, v, rows, static_cast<float>(v.size()), out);
    for (float& s : out) s = resonance_of(s);
}

void resonances(HvView v, std::span<const Hypervector> rows, std::span<float> out) {
    ordered_dots_over(0.0f, v, rows, static_cast<float>(v.size()), out);
    for (float& s : out) s = resonance_of(s);
}

}  // namespace tessarin
