// The per-target kernels behind the scans of scan.hpp (internal to the core).
//
// A kernel advances the sums of one group of blocks over a range of query
// components. Blocks are RowStore's layout: 16 lanes, either one 64-bit sign
// word per lane per 64 components (words[c * kLanes + k], bit j: component
// 64c + j of lane k, set for -1.0f) or 16 floats per component. Running several blocks in one pass over the query
// keeps enough independent sums in flight to hide the latency of each add,
// and each query component is broadcast once for all of them.
//
// The x86 kernels live in files compiled for AVX2 or AVX-512 alone. So that no
// inline function compiled for a wider instruction set can be merged by the
// linker with the baseline copy, this header holds plain data and declarations
// only, and those files use nothing but intrinsics and their own helpers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessarin::scan_detail {

inline constexpr std::size_t kLanes = 16;
// Eight blocks (128 records) per pass over the query.
inline constexpr std::size_t kGroupBlocks = 8;

struct BlockGroup {
    std::size_t count = 0;  // blocks in the group, 1..kGroupBlocks
    // Each block's data at the first component of the range being advanced.
    const void* rows[kGroupBlocks] = {};
    // Per lane: the component at which its sum stops (its length cut to the
    // query's; 0 for an unused lane).
    std::uint64_t end[kGroupBlocks][kLanes] = {};
    // Per block: the shortest and the longest end over its used lanes. Below
    // `common` every lane adds; from there to `longest` only the lanes that
    // have not ended do (adding even a zero could turn a -0.0f into +0.0f).
    std::uint64_t common[kGroupBlocks] = {};
    std::uint64_t longest[kGroupBlocks] = {};
    // The running sums, lane by lane: the start value before the first range.
    alignas(64) float sums[kGroupBlocks][kLanes] = {};
};

// Every target supplies two kernels per kind of block; scan.cpp decides which
// lanes run over which components (the ragged ends are worked out once,
// there), the kernels only add.
//
// `query` and every g.rows[b] point at component `from` of the range being
// advanced; j0 and j1 count from there. For sign-bit blocks `from` is a
// multiple of 64 and g.rows[b] points at the block's words of column
// from / 64. Products are q * r, or r * q when
// `record_first`; each sum is acc + product, in index order.
struct ScanKernels {
    // Blocks first .. first+count-1 of `g`, every lane, components [j0, j1).
    void (*lockstep)(const float* query, BlockGroup& g, std::size_t first, std::size_t count, std::uint64_t j0,
                     std::uint64_t j1, bool record_first);
    // Block b, only the lanes whose bits are set in `live`, components [j0, j1).
    void (*masked)(const float* query, BlockGroup& g, std::size_t b, std::uint32_t live, std::uint64_t j0,
                   std::uint64_t j1, bool record_first);
};

// Copies components [from, from + n) of kLanes separate rows into a block
// laid out like a float block: out[j * kLanes + k] = rows[k][from + j]. Every
// row must have at least from + n components. Moves bits only.
using InterleaveRows = void (*)(const float* const* rows, std::uint64_t from, std::uint64_t n, float* out);

// The components where each lane of a sign-bit block differs from a bipolar
// query's signs (query[c]: components 64c .. 64c+63, set for -1.0f):
// counts[k] = the sum over c < columns of
//   popcount((words[c * kLanes + k] ^ query[c]) & (c + 1 < columns ? ~0 : last)).
// columns >= 1.
using CountBlock = void (*)(const std::uint64_t* words, const std::uint64_t* query, std::uint64_t columns,
                            std::uint64_t last, std::uint64_t* counts);

// The same for `count` queries of one length at once: counts[i * kLanes + k]
// for queries[i]. Each column of the block is read once for all of them.
using CountBlockMany = void (*)(const std::uint64_t* words, const std::uint64_t* const* queries, std::size_t count,
                                std::uint64_t columns, std::uint64_t last, std::uint64_t* counts);

struct TargetKernels {
    ScanKernels packed;  // one 64-bit sign word per lane per 64 components
    ScanKernels floats;  // 16 floats per component
    // Null where transposing separate rows costs more than it saves (without
    // vector registers): those are then scored one at a time.
    InterleaveRows interleave;
    CountBlock count;
    // Null where counting query after query with `count` is as fast.
    CountBlockMany count_many;
};
#if defined(__x86_64__)
// 8 x 8 tiles transposed in registers; AVX2 only, so the AVX-512 target uses it too.
void interleave_rows_avx2(const float* const* rows, std::uint64_t from, std::uint64_t n, float* out);
#endif

#if defined(__x86_64__)
// With the processor's population count, one word at a time; AVX2 only, so
// the AVX-512 target uses it too.
void count_block_popcnt(const std::uint64_t* words, const std::uint64_t* query, std::uint64_t columns,
                        std::uint64_t last, std::uint64_t* counts);
#endif

TargetKernels scalar_scan_kernels();
#if defined(__x86_64__)
TargetKernels avx2_scan_kernels();
TargetKernels avx512_scan_kernels();
TargetKernels avx512pop_scan_kernels();
#endif

}  // namespace tessarin::scan_detail
