#include "core/scan.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <functional>
#include <vector>

#include "core/cancel.hpp"
#include "core/fault.hpp"
#include "core/scan_kernels.hpp"
#include "core/simd_target.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#include <xmmintrin.h>
#endif

namespace tessarin {
namespace scan_detail {
namespace {

template <Factors Order>
inline float product(float q, float r) {
    if constexpr (Order == Factors::query_first) {
        return mul_in_order(q, r);
    } else {
        return mul_in_order(r, q);
    }
}

// The portable kernels, and the order every other target reproduces: lane
// by lane, each sum in index order.
template <bool Packed>
float row_at(const void* rows, std::uint64_t j, std::size_t k) {
    if constexpr (Packed) {
        // +1.0f with the lane's sign bit: no branch on random bits.
        constexpr std::uint32_t kPlusOneBits = 0x3F800000U;
        const auto* words = static_cast<const std::uint64_t*>(rows);
        const auto sign = static_cast<std::uint32_t>((words[(j / 64) * kLanes + k] >> (j % 64)) & 1U);
        return std::bit_cast<float>(kPlusOneBits | (sign << 31));
    } else {
        return static_cast<const float*>(rows)[j * kLanes + k];
    }
}

// The 16 sums live in locals rather than in the group, so that the compiler
// need not store and reload them after every add.
template <bool Packed, Factors Order>
void lanes_in_order(const float* q, BlockGroup& g, std::size_t b, std::uint32_t live, std::uint64_t j0,
                    std::uint64_t j1) {
    std::array<float, kLanes> acc;
    std::copy(std::begin(g.sums[b]), std::end(g.sums[b]), acc.begin());
    const void* rows = g.rows[b];
    for (std::uint64_t j = j0; j < j1; ++j) {
        const float qj = q[j];
        for (std::size_t k = 0; k < kLanes; ++k) {
            if (((live >> k) & 1U) != 0) acc[k] = add_in_order(acc[k], product<Order>(qj, row_at<Packed>(rows, j, k)));
        }
    }
    std::copy(acc.begin(), acc.end(), std::begin(g.sums[b]));
}

template <bool Packed>
void masked_scalar(const float* q, BlockGroup& g, std::size_t b, std::uint32_t live, std::uint64_t j0,
                   std::uint64_t j1, bool record_first) {
    if (record_first) {
        lanes_in_order<Packed, Factors::record_first>(q, g, b, live, j0, j1);
    } else {
        lanes_in_order<Packed, Factors::query_first>(q, g, b, live, j0, j1);
    }
}

template <bool Packed>
void lockstep_scalar(const float* q, BlockGroup& g, std::size_t first, std::size_t count, std::uint64_t j0,
                     std::uint64_t j1, bool record_first) {
    constexpr std::uint32_t kEveryLane = (1U << kLanes) - 1;
    for (std::size_t b = first; b < first + count; ++b) masked_scalar<Packed>(q, g, b, kEveryLane, j0, j1, record_first);
}

}  // namespace

static void count_block_portable(const std::uint64_t* words, const std::uint64_t* query, std::uint64_t columns,
                                 std::uint64_t last, std::uint64_t* counts) {
    for (std::size_t k = 0; k < kLanes; ++k) counts[k] = 0;
    for (std::uint64_t c = 0; c < columns; ++c) {
        const std::uint64_t keep = c + 1 < columns ? ~std::uint64_t{0} : last;
        for (std::size_t k = 0; k < kLanes; ++k) {
            counts[k] += static_cast<std::uint64_t>(std::popcount((words[c * kLanes + k] ^ query[c]) & keep));
        }
    }
}

TargetKernels scalar_scan_kernels() {
    return {{lockstep_scalar<true>, masked_scalar<true>},
            {lockstep_scalar<false>, masked_scalar<false>},
            nullptr,
            count_block_portable,
            nullptr};
}

}  // namespace scan_detail

namespace {

using scan_detail::BlockGroup;
using scan_detail::kGroupBlocks;
using scan_detail::kLanes;
using scan_detail::ScanKernels;
using scan_detail::TargetKernels;

TargetKernels kernels_for(SimdTarget t) {
    switch (t) {
#if defined(__x86_64__)
        case SimdTarget::avx512pop:
            return scan_detail::avx512pop_scan_kernels();
        case SimdTarget::avx512:
            return scan_detail::avx512_scan_kernels();
        case SimdTarget::avx2:
            return scan_detail::avx2_scan_kernels();
#endif
        default:
            return scan_detail::scalar_scan_kernels();
    }
}

// Components a kernel advances per call over a store: long enough that the
// call costs nothing, short enough that a group's pass can be interrupted
// within a few microseconds. A multiple of 64, so that every range starts at
// a word of the sign-bit blocks.
constexpr std::uint64_t kStoreChunk = 4096;
static_assert(kStoreChunk % RowStore::kWordBits == 0);
// Over separate rows each range is first copied into a lane-major scratch.
// Ranges of 1,024 components read each row in stretches of 4 KiB, which the
// hardware prefetcher follows well even with 128 rows in a group (shorter
// stretches were markedly slower once the rows outgrew the caches), while
// the scratch of a whole group (512 KiB at most) stays in the second-level
// cache.
constexpr std::uint64_t kScratchChunk = 1024;

// Sets a block's lane ends (each lane's length cut to the query's) and its
// shortest and longest end.
void set_lane_ends(BlockGroup& g, std::size_t b, const std::uint64_t* lengths, std::size_t used,
                   std::uint64_t query_length) {
    std::uint64_t common = query_length;
    std::uint64_t longest = 0;
    for (std::size_t k = 0; k < kLanes; ++k) {
        const std::uint64_t end = k < used ? std::min(lengths[k], query_length) : 0;
        g.end[b][k] = end;
        if (k < used) {
            common = std::min(common, end);
            longest = std::max(longest, end);
        }
    }
    g.common[b] = common;
    g.longest[b] = longest;
}

std::uint64_t group_longest(const BlockGroup& g) {
    std::uint64_t longest = 0;
    for (std::size_t b = 0; b < g.count; ++b) longest = std::max(longest, g.longest[b]);
    return longest;
}

// Advances a group over components [from, to): every block in step up to
// the shortest lane of any of them, then each block on its own, unmasked up
// to its own shortest lane and masked from one lane's end to the next.
void advance_range(const ScanKernels& kernels, const float* query, BlockGroup& g, std::uint64_t from,
                   std::uint64_t to, bool record_first) {
    const float* q = query + from;
    std::uint64_t together = to;
    for (std::size_t b = 0; b < g.count; ++b) together = std::min(together, std::clamp(g.common[b], from, to));
    if (together > from) kernels.lockstep(q, g, 0, g.count, 0, together - from, record_first);
    for (std::size_t b = 0; b < g.count; ++b) {
        const std::uint64_t common = std::clamp(g.common[b], together, to);
        const std::uint64_t longest = std::clamp(g.longest[b], together, to);
        if (common > together) kernels.lockstep(q, g, b, 1, together - from, common - from, record_first);
        for (std::uint64_t i = common; i < longest;) {
            std::uint32_t live = 0;
            std::uint64_t next = longest;
            for (std::size_t k = 0; k < kLanes; ++k) {
                if (g.end[b][k] > i) {
                    live |= 1U << k;
                    next = std::min(next, g.end[b][k]);
                }
            }
            kernels.masked(q, g, b, live, i - from, next - from, record_first);
            i = next;
        }
    }
}

// Advances every sum of a group over the whole query, `chunk` components at
// a time; `point_rows(from, to)` sets the group's row pointers (and fills a
// scratch, if any) for each range. Every scan, whatever its target, passes
// through this loop between ranges (a few microseconds apart at most), so a
// request to stop needs checking in this one place only.
template <class PointRows>
void advance_group(const ScanKernels& kernels, const float* query, BlockGroup& g, bool record_first,
                   std::uint64_t chunk, CancelPoll& poll, PointRows point_rows) {
    const std::uint64_t longest = group_longest(g);
    for (std::uint64_t from = 0; from < longest; from += chunk) {
        // A range costs about a nanosecond per block and component on the
        // narrower targets; the scan stops here when asked to.
        poll.tick(std::min(longest - from, chunk) * g.count);
        const std::uint64_t to = std::min(longest, from + chunk);
        point_rows(from, to);
        advance_range(kernels, query, g, from, to, record_first);
    }
}

template <class Block, class Data>
void scan_blocks(float start, HvView query, const RowStore& rows, const std::vector<Block>& blocks, bool packed,
                 const ScanKernels& kernels, bool record_first, std::span<float> out, CancelPoll& poll, Data data) {
    if (blocks.empty()) return;
    RecordsOfKind records(rows, packed);
    BlockGroup g;
    for (std::size_t first = 0; first < blocks.size(); first += kGroupBlocks) {
        g.count = std::min(kGroupBlocks, blocks.size() - first);
        for (std::size_t b = 0; b < g.count; ++b) {
            const RowStore::LaneLengths& lengths = blocks[first + b].lengths;
            std::array<std::uint64_t, kLanes> lane_lengths{};
            for (std::size_t k = 0; k < lengths.used(); ++k) lane_lengths[k] = lengths.of(k);
            set_lane_ends(g, b, lane_lengths.data(), lengths.used(), query.size());
            std::fill(std::begin(g.sums[b]), std::end(g.sums[b]), start);
        }
        advance_group(kernels, query.data(), g, record_first, kStoreChunk, poll, [&](std::uint64_t from, std::uint64_t) {
            // A block shorter than the range is not read; it gets no pointer past its end.
            for (std::size_t b = 0; b < g.count; ++b) {
                g.rows[b] = from < g.longest[b] ? data(blocks[first + b], from) : nullptr;
            }
        });
        for (std::size_t b = 0; b < g.count; ++b) {
            const std::size_t used = blocks[first + b].lengths.used();
            for (std::size_t k = 0; k < used; ++k) out[records.next()] = g.sums[b][k];
        }
    }
}

// An exactly bipolar query against sign-bit rows: every product is +1 or -1
// and every partial sum a whole number no larger than m in magnitude, which a
// float holds exactly while m <= 2^24. The ordered sum is then m - 2d for the
// d components where the signs differ, whatever the start value (the first
// product replaces a zero of either sign, and a sum that returns to zero is
// +0.0f), so counting differing bits gives the very same bits as adding. A
// record with no component in common keeps the start value.
constexpr std::uint64_t kExactCountLimit = std::uint64_t{1} << 24;

// The query's signs as words, and how many of its components are negative
// below any point (for lanes that end before the part of the query a block
// covers: their missing bits count as zeros, which differ from exactly the
// query's set bits there).
class QuerySigns {
public:
    explicit QuerySigns(HvView query) : words_((query.size() + 63) / 64, 0), below_(words_.size() + 1, 0) {
        for (std::size_t i = 0; i < query.size(); ++i) {
            if (std::signbit(query[i])) words_[i / 64] |= std::uint64_t{1} << (i % 64);
        }
        for (std::size_t c = 0; c < words_.size(); ++c) {
            below_[c + 1] = below_[c] + static_cast<std::uint64_t>(std::popcount(words_[c]));
        }
    }
    const std::uint64_t* words() const { return words_.data(); }
    std::uint64_t set_below(std::uint64_t i) const {
        const std::uint64_t rest = i % 64;
        return below_[i / 64] +
               (rest != 0 ? static_cast<std::uint64_t>(std::popcount(words_[i / 64] & ((std::uint64_t{1} << rest) - 1)))
                          : 0);
    }

private:
    std::vector<std::uint64_t> words_;
    std::vector<std::uint64_t> below_;
};

// The components a block's count covers for a query of this length: the
// query's, cut to the block's words.
std::uint64_t covered_by(const RowStore::PackedBlock& b, std::uint64_t query_length) {
    return std::min(query_length, (b.lengths.longest() + RowStore::kWordBits - 1) / RowStore::kWordBits * 64);
}

// The mask of the last column a count covers.
std::uint64_t last_column_mask(std::uint64_t covered) {
    const std::uint64_t rest = covered % 64;
    return rest != 0 ? (std::uint64_t{1} << rest) - 1 : ~std::uint64_t{0};
}

// One sign-bit block's scores from its lanes' counts of differing bits over
// the `covered` components; record r's score goes to out[r - base].
void scores_from_counts(float start, const RowStore::LaneLengths& lengths, const QuerySigns& q,
                        std::uint64_t query_length, std::uint64_t covered, const std::uint64_t* differ,
                        RecordsOfKind& records, std::span<float> out, std::uint64_t base = 0) {
    // A full block whose lanes share one length and hold consecutive records
    // (the usual case) in one sweep.
    if (lengths.used() == kLanes && lengths.one_length()) {
        const std::uint64_t first = records.take_consecutive(kLanes);
        if (first != RecordsOfKind::kScattered) {
            const std::uint64_t length = lengths.of(0);
            const std::uint64_t m = std::min(query_length, length);
            float* o = out.data() + (first - base);
            if (m == 0) {
                std::fill_n(o, kLanes, start);
                return;
            }
            // Counts and m are at most 2^24, so 32-bit arithmetic holds them
            // and the conversions run four lanes at a time.
            const auto beyond =
                static_cast<std::int32_t>(length < covered ? q.set_below(covered) - q.set_below(length) : 0);
            const auto m32 = static_cast<std::int32_t>(m);
            for (std::size_t k = 0; k < kLanes; ++k) {
                o[k] = static_cast<float>(m32 - 2 * (static_cast<std::int32_t>(differ[k]) - beyond));
            }
            return;
        }
    }
    for (std::size_t k = 0; k < lengths.used(); ++k) {
        const std::uint64_t length = lengths.of(k);
        const std::uint64_t m = std::min(query_length, length);
        const std::uint64_t record = records.next();
        if (m == 0) {
            out[record - base] = start;
            continue;
        }
        const std::uint64_t d = length < covered ? differ[k] - (q.set_below(covered) - q.set_below(length)) : differ[k];
        out[record - base] = static_cast<float>(static_cast<std::int64_t>(m) - 2 * static_cast<std::int64_t>(d));
    }
}

void count_block(float start, const RowStore::PackedBlock& b, const QuerySigns& q, std::uint64_t query_length,
                 scan_detail::CountBlock count, RecordsOfKind& records, std::span<float> out, std::uint64_t base = 0) {
    const std::uint64_t covered = covered_by(b, query_length);
    alignas(64) std::array<std::uint64_t, kLanes> differ{};
    if (covered != 0) count(b.words(), q.words(), (covered + 63) / 64, last_column_mask(covered), differ.data());
    scores_from_counts(start, b.lengths, q, query_length, covered, differ.data(), records, out, base);
}

// Blocks ahead of the one being counted whose words are fetched early. A
// block is counted in less time than memory takes to deliver it, and the
// hardware prefetcher alone leaves the count about 20 % short of a plain
// streaming read over a million records at dim 1,024; four blocks ahead
// (8 KiB there) measured best, eight no better.
constexpr std::size_t kPrefetchBlocks = 4;

void prefetch_words(const RowStore::PackedBlock& b) {
    const auto* p = reinterpret_cast<const char*>(b.words());
    const std::size_t bytes = b.size * sizeof(std::uint64_t);
    for (std::size_t at = 0; at < bytes; at += 64) __builtin_prefetch(p + at);
}

bool count_packed_scores(float start, HvView query, const RowStore& rows, std::span<float> out,
                         scan_detail::CountBlock count, CancelPoll& poll) {
    if (query.size() > kExactCountLimit || !is_exactly_bipolar(query)) return false;
    const std::vector<RowStore::PackedBlock>& blocks = rows.packed_blocks();
    if (blocks.empty()) return true;
    const QuerySigns q(query);
    RecordsOfKind records(rows, true);
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        if (i + kPrefetchBlocks < blocks.size()) prefetch_words(blocks[i + kPrefetchBlocks]);
        // About a nanosecond per 8 bytes of words read.
        poll.tick(std::min<std::uint64_t>(query.size(), blocks[i].lengths.longest()) / 32 + 1);
        count_block(start, blocks[i], q, query.size(), count, records, out);
    }
    return true;
}

void scan_float_blocks(float start, HvView query, const RowStore& rows, const TargetKernels& kernels, bool record_first,
                       std::span<float> out, CancelPoll& poll) {
    scan_blocks(start, query, rows, rows.float_blocks(), false, kernels.floats, record_first, out, poll,
                [](const RowStore::FloatBlock& b, std::uint64_t from) -> const void* {
                    return b.values.data() + from * kLanes;
                });
}

void scan_store(float start, HvView query, const RowStore& rows, std::span<float> out, Factors order) {
    if (out.size() < rows.size()) fault("ordered_dots: output shorter than the number of records");
    const TargetKernels kernels = kernels_for(active_simd_target());
    const bool record_first = order == Factors::record_first;
    CancelPoll poll;
    if (!count_packed_scores(start, query, rows, out, kernels.count, poll)) {
        scan_blocks(start, query, rows, rows.packed_blocks(), true, kernels.packed, record_first, out, poll,
                    [](const RowStore::PackedBlock& b, std::uint64_t from) -> const void* {
                        return b.words() + from / RowStore::kWordBits * kLanes;
                    });
    }
    scan_float_blocks(start, query, rows, kernels, record_first, out, poll);
}

// The exactly bipolar queries of a scan (up to kExactCountLimit components),
// counted against sign-bit blocks. Queries of one length (the usual case) are
// counted together, each column of a block read once for all of them;
// otherwise every counted query is counted against the block's words while
// they are in the first-level cache.
class CountedQueries {
public:
    CountedQueries(float start, std::span<const HvView> queries, const RowStore& rows, const TargetKernels& kernels)
        : start_(start), count_(kernels.count), count_many_(kernels.count_many) {
        for (std::size_t i = 0; i < queries.size(); ++i) {
            const HvView q = queries[i];
            if (q.size() > kExactCountLimit || !is_exactly_bipolar(q)) continue;
            counted_.push_back(i);
            lengths_.push_back(q.size());
            signs_.emplace_back(q);
            records_.emplace_back(rows, true);
        }
        if (counted_.empty()) return;
        together_ = count_many_ != nullptr && std::all_of(lengths_.begin(), lengths_.end(),
                                                          [&](std::uint64_t n) { return n == lengths_.front(); });
        for (const QuerySigns& q : signs_) query_words_.push_back(q.words());
        differ_.resize(counted_.size() * kLanes);
    }

    // The queries counted, by their position among all the queries.
    const std::vector<std::size_t>& indices() const { return counted_; }

    // The next sign-bit block's scores (blocks in order): the score of record
    // r against query i (a counted one) goes to out[i * stride + r - base].
    void count(const RowStore::PackedBlock& block, std::span<float> out, std::size_t stride, std::uint64_t base,
               CancelPoll& poll) {
        if (together_) {
            const std::uint64_t length = lengths_.front();
            poll.tick(counted_.size() * (std::min<std::uint64_t>(length, block.lengths.longest()) / 32 + 1));
            const std::uint64_t covered = covered_by(block, length);
            std::fill(differ_.begin(), differ_.end(), 0);
            if (covered != 0) {
                count_many_(block.words(), query_words_.data(), counted_.size(), (covered + 63) / 64,
                            last_column_mask(covered), differ_.data());
            }
            for (std::size_t c = 0; c < counted_.size(); ++c) {
                scores_from_counts(start_, block.lengths, signs_[c], length, covered, differ_.data() + c * kLanes,
                                   records_[c], out.subspan(counted_[c] * stride, stride), base);
            }
            return;
        }
        for (std::size_t c = 0; c < counted_.size(); ++c) {
            poll.tick(std::min<std::uint64_t>(lengths_[c], block.lengths.longest()) / 32 + 1);
            count_block(start_, block, signs_[c], lengths_[c], count_, records_[c],
                        out.subspan(counted_[c] * stride, stride), base);
        }
    }

private:
    float start_;
    scan_detail::CountBlock count_;
    scan_detail::CountBlockMany count_many_;
    std::vector<std::size_t> counted_;
    std::vector<std::uint64_t> lengths_;
    std::vector<QuerySigns> signs_;
    std::vector<RecordsOfKind> records_;
    std::vector<const std::uint64_t*> query_words_;
    std::vector<std::uint64_t> differ_;
    bool together_ = false;
};

void scan_store_many(float start, std::span<const HvView> queries, const RowStore& rows, std::span<float> out,
                     Factors order) {
    const std::size_t n = rows.size();
    if (n != 0 && out.size() / n < queries.size()) {
        fault("ordered_dots_many: output shorter than the queries times the records");
    }
    const TargetKernels kernels = kernels_for(active_simd_target());
    const bool record_first = order == Factors::record_first;
    CancelPoll poll;
    CountedQueries counted(start, queries, rows, kernels);
    std::size_t next = 0;
    for (std::size_t i = 0; i < queries.size(); ++i) {
        if (next < counted.indices().size() && counted.indices()[next] == i) {
            ++next;
            continue;
        }
        scan_store(start, queries[i], rows, out.subspan(i * n, n), order);
    }
    if (counted.indices().empty()) return;
    const std::vector<RowStore::PackedBlock>& blocks = rows.packed_blocks();
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        if (b + kPrefetchBlocks < blocks.size()) prefetch_words(blocks[b + kPrefetchBlocks]);
        counted.count(blocks[b], out, n, 0, poll);
    }
    for (const std::size_t i : counted.indices()) {
        scan_float_blocks(start, queries[i], rows, kernels, record_first, out.subspan(i * n, n), poll);
    }
}

// Separate rows go through the float kernel: each range of components is
// first copied lane-major into a scratch group, kGroupBlocks * kLanes rows
// at a time (on a target that can transpose them cheaply; otherwise one row
// after another).
void scan_rows(float start, HvView query, std::span<const Hypervector> rows, std::span<float> out, Factors order) {
    if (out.size() < rows.size()) fault("ordered_dots: output shorter than the number of records");
    if (rows.empty()) return;
    constexpr std::size_t kGroupRows = kGroupBlocks * kLanes;
    const TargetKernels kernels = kernels_for(active_simd_target());
    CancelPoll poll;
    if (kernels.interleave == nullptr) {
        for (std::size_t k = 0; k < rows.size(); ++k) {
            poll.tick(std::min(query.size(), rows[k].size()));
            out[k] = ordered_dot(start, query, rows[k], order);
        }
        return;
    }
    const bool record_first = order == Factors::record_first;
    // Sized for the first group and range, which are the largest.
    const std::size_t chunk = std::clamp<std::size_t>(query.size(), 1, kScratchChunk);
    const std::size_t block_floats = kLanes * chunk;
    const std::size_t first_group_blocks = std::min(kGroupBlocks, (rows.size() + kLanes - 1) / kLanes);
    std::vector<float> scratch(first_group_blocks * block_floats, 0.0f);
    BlockGroup g;
    for (std::size_t first = 0; first < rows.size(); first += kGroupRows) {
        const std::size_t n = std::min(kGroupRows, rows.size() - first);
        g.count = (n + kLanes - 1) / kLanes;
        for (std::size_t b = 0; b < g.count; ++b) {
            std::array<std::uint64_t, kLanes> lengths{};
            const std::size_t used = std::min(kLanes, n - b * kLanes);
            for (std::size_t k = 0; k < used; ++k) lengths[k] = rows[first + b * kLanes + k].size();
            set_lane_ends(g, b, lengths.data(), used, query.size());
            std::fill(std::begin(g.sums[b]), std::end(g.sums[b]), start);
            g.rows[b] = scratch.data() + b * block_floats;
        }
        advance_group(kernels.floats, query.data(), g, record_first, chunk, poll, [&](std::uint64_t from, std::uint64_t to) {
            for (std::size_t b = 0; b < g.count; ++b) {
                float* block = scratch.data() + b * block_floats;
                const std::size_t used = std::min(kLanes, n - b * kLanes);
                std::array<const float*, kLanes> lane_rows{};
                for (std::size_t k = 0; k < used; ++k) lane_rows[k] = rows[first + b * kLanes + k].data();
                if (used == kLanes && g.common[b] >= to) {
                    kernels.interleave(lane_rows.data(), from, to - from, block);
                    continue;
                }
                // A partial block, or lanes that end within the range: lane by
                // lane, each up to its own end.
                for (std::size_t k = 0; k < used; ++k) {
                    const std::uint64_t stop = std::clamp(g.end[b][k], from, to);
                    for (std::uint64_t i = from; i < stop; ++i) block[(i - from) * kLanes + k] = lane_rows[k][i];
                }
            }
        });
        for (std::size_t j = 0; j < n; ++j) out[first + j] = g.sums[j / kLanes][j % kLanes];
    }
}

template <Factors Order>
float dot_one(float start, HvView query, HvView record) {
    const std::size_t m = std::min(query.size(), record.size());
    float acc = start;
    for (std::size_t i = 0; i < m; ++i) acc = add_in_order(acc, scan_detail::product<Order>(query[i], record[i]));
    return acc;
}

template <class Rows>
void dots_over(float start, HvView query, const Rows& rows, float length, std::span<float> out, Factors order) {
    ordered_dots(start, query, rows, out, order);
    for (float& s : out.first(rows.size())) s = s / length;
}

// The ordered dot from +0.0f over v's length, mapped to [0, 1]: the one
// place a scan's dots become resonances.
float dot_to_resonance(float dot, float length) { return resonance_of(dot / length); }
void dots_to_resonances(HvView v, std::span<float> dots) {
    const float length = static_cast<float>(v.size());
    for (float& s : dots) s = dot_to_resonance(s, length);
}

template <class Rows>
void resonances_of_rows(HvView v, const Rows& rows, std::span<float> out) {
    ordered_dots(0.0f, v, rows, out, Factors::query_first);
    dots_to_resonances(v, out.first(rows.size()));
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
    scan_store(start, query, rows, out, order);
}

void ordered_dots_many(float start, std::span<const HvView> queries, const RowStore& rows, std::span<float> out,
                       Factors order) {
    scan_store_many(start, queries, rows, out, order);
}

void ordered_dots(float start, HvView query, std::span<const Hypervector> rows, std::span<float> out,
                  Factors order) {
    scan_rows(start, query, rows, out, order);
}

void ordered_dots_over(float start, HvView query, const RowStore& rows, float length, std::span<float> out,
                       Factors order) {
    dots_over(start, query, rows, length, out, order);
}

void ordered_dots_over(float start, HvView query, std::span<const Hypervector> rows, float length,
                       std::span<float> out, Factors order) {
    dots_over(start, query, rows, length, out, order);
}

float ordered_dot(float start, HvView query, const RowStore& rows, std::size_t k, Factors order) {
    const RowStore::Slot s = rows.slot(k);
    const std::uint64_t m = std::min<std::uint64_t>(query.size(), rows.row_length(k));
    const void* block = s.packed ? static_cast<const void*>(rows.packed_blocks()[s.block].words())
                                 : static_cast<const void*>(rows.float_blocks()[s.block].values.data());
    const auto row_at = s.packed ? scan_detail::row_at<true> : scan_detail::row_at<false>;
    float acc = start;
    for (std::uint64_t i = 0; i < m; ++i) {
        const float r = row_at(block, i, s.lane);
        acc = add_in_order(acc, order == Factors::query_first ? mul_in_order(query[i], r) : mul_in_order(r, query[i]));
    }
    return acc;
}

void resonances(HvView v, const RowStore& rows, std::span<float> out) { resonances_of_rows(v, rows, out); }

float resonance(HvView v, const RowStore& rows, std::size_t k) {
    return dot_to_resonance(ordered_dot(0.0f, v, rows, k, Factors::query_first), static_cast<float>(v.size()));
}

void resonances(HvView v, std::span<const Hypervector> rows, std::span<float> out) {
    resonances_of_rows(v, rows, out);
}

void resonances_many(std::span<const HvView> queries, const RowStore& rows, std::span<float> out) {
    ordered_dots_many(0.0f, queries, rows, out, Factors::query_first);
    const std::size_t n = rows.size();
    for (std::size_t i = 0; i < queries.size(); ++i) dots_to_resonances(queries[i], out.subspan(i * n, n));
}

void resonances_many_in_parts(std::span<const HvView> queries, const RowStore& rows, std::size_t part_rows,
                              std::vector<float>& part, const std::function<void(std::uint64_t, std::uint64_t)>& take) {
    const std::size_t n = rows.size();
    const std::size_t part_blocks = std::max<std::size_t>(1, part_rows / kLanes);
    const TargetKernels kernels = kernels_for(active_simd_target());
    CountedQueries counted(0.0f, queries, rows, kernels);
    // Only a store of sign bits alone, every query counted, has its records
    // in block order (block b holds records 16b ... 16b + 15), so that a run
    // of blocks is a run of records; anything else is scored whole.
    CancelPoll poll;
    if (n <= part_blocks * kLanes || !rows.float_blocks().empty() || counted.indices().size() != queries.size()) {
        resize_in_blocks(poll, part, queries.size() * n);
        resonances_many(queries, rows, part);
        take(0, n);
        return;
    }
    const std::vector<RowStore::PackedBlock>& blocks = rows.packed_blocks();
    for (std::size_t first_block = 0; first_block < blocks.size(); first_block += part_blocks) {
        const std::size_t end_block = std::min(blocks.size(), first_block + part_blocks);
        const std::uint64_t first = first_block * kLanes;
        const std::uint64_t count = std::min<std::uint64_t>(n, end_block * kLanes) - first;
        part.resize(queries.size() * count);
        for (std::size_t b = first_block; b < end_block; ++b) {
            if (b + kPrefetchBlocks < blocks.size()) prefetch_words(blocks[b + kPrefetchBlocks]);
            counted.count(blocks[b], part, count, first, poll);
        }
        for (std::size_t i = 0; i < queries.size(); ++i) dots_to_resonances(queries[i], std::span(part).subspan(i * count, count));
        take(first, count);
    }
}

namespace {

// out[i] = op(a[i], b[i]) through `lanes` four components at a time and
// `one` for the rest. Loads come before the store, so out may alias a or b.
template <class Lanes, class One>
void each_in_order(HvView a, HvView b, std::span<float> out, Lanes lanes, One one) {
    const std::size_t n = out.size();
    std::size_t i = 0;
#if defined(__x86_64__) && defined(__GNUC__)
    for (; i + 4 <= n; i += 4) _mm_storeu_ps(&out[i], lanes(_mm_loadu_ps(&a[i]), _mm_loadu_ps(&b[i])));
#else
    (void)lanes;
#endif
    for (; i < n; ++i) out[i] = one(a[i], b[i]);
}

#if !(defined(__x86_64__) && defined(__GNUC__))
struct NoLanes {};
constexpr NoLanes mul_lanes_in_order{};
constexpr NoLanes add_lanes_in_order{};
#endif

}  // namespace

void multiply_each_in_order(HvView a, HvView b, std::span<float> out) {
    each_in_order(a, b, out, [](auto x, auto y) { return mul_lanes_in_order(x, y); }, mul_in_order);
}

void add_each_in_order(HvView a, HvView b, std::span<float> out) {
    each_in_order(a, b, out, [](auto x, auto y) { return add_lanes_in_order(x, y); }, add_in_order);
}

void scale_add_each_in_order(HvView x, float w, std::span<float> out) {
#if defined(__x86_64__) && defined(__GNUC__)
    const __m128 wide = _mm_set1_ps(w);
    const auto lanes = [wide](__m128 xs, __m128 acc) { return add_lanes_in_order(mul_lanes_in_order(xs, wide), acc); };
#else
    const NoLanes lanes{};
#endif
    each_in_order(x, out, out, lanes, [w](float xi, float acc) { return add_in_order(mul_in_order(xi, w), acc); });
}

}  // namespace tessarin
