// Record numbers grouped by a 64-bit fingerprint, for records numbered 0, 1,
// 2, ... in the order they are added.
//
// Memory is what a million-record store can afford: one open-addressed table
// of (fingerprint, newest record) pairs, three eighths to three quarters full,
// and one link per record to the previous record with its fingerprint: 30 to
// 50 bytes per record when every fingerprint is distinct, 8 when they repeat.
// Adding is amortised O(1); a lookup is O(1) plus the records it returns.
//
// Const members change nothing and may run concurrently; the others need
// every other use excluded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tessarin {

class FingerprintIndex {
public:
    // Makes room for `more` records, so that the next adds of that many cannot
    // fail (strong guarantee: on std::bad_alloc nothing changed).
    void reserve(std::size_t more);
    void reserve_one() { reserve(1); }
    // Files record size() under `fingerprint`. Call reserve_one() first.
    void add(std::uint64_t fingerprint) noexcept;
    // Files the next records under `fingerprints`, in order, just as add()
    // one by one would (reserve room for them first), fetching each one's
    // table entry ahead of its turn: in a table larger than the cache an add
    // otherwise spends most of its time waiting for memory.
    void add(std::span<const std::uint64_t> fingerprints) noexcept;
    std::uint64_t size() const { return older_.size(); }
    // The records filed under `fingerprint`, oldest first.
    std::vector<std::uint64_t> records(std::uint64_t fingerprint) const;
    // Bytes held, counting capacity.
    std::size_t bytes_held() const;

private:
    struct Entry {
        std::uint64_t fingerprint;
        std::uint64_t newest;  // record + 1; 0 marks a free entry
    };
    // Where the search for `fingerprint` starts.
    std::size_t home(std::uint64_t fingerprint) const;
    // The entry holding `fingerprint`, or the free entry where it would go.
    std::size_t find(std::uint64_t fingerprint) const;
    void rehash(std::size_t entries);

    std::vector<Entry> table_;          // a power of two of entries, or none
    std::vector<std::uint64_t> older_;  // per record: the previous record + 1 with its fingerprint, 0 for none
    std::size_t distinct_ = 0;
};

}  // namespace tessarin
