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
#include <vector>

namespace tessarin {

class FingerprintIndex {
public:
    // Makes room for one more record, so that the next add() cannot fail
    // (strong guarantee: on std::bad_alloc nothing changed).
    void reserve_one();
    // Files record size() under `fingerprint`. Call reserve_one() first.
    void add(std::uint64_t fingerprint) noexcept;
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
    // The entry holding `fingerprint`, or the free entry where it would go.
    std::size_t find(std::uint64_t fingerprint) const;
    void rehash(std::size_t entries);

    std::vector<Entry> table_;          // a power of two of entries, or none
    std::vector<std::uint64_t> older_;  // per record: the previous record + 1 with its fingerprint, 0 for none
    std::size_t distinct_ = 0;
};

}  // namespace tessarin
