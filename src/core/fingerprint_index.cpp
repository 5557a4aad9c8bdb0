#include "core/fingerprint_index.hpp"

#include <algorithm>
#include <bit>

namespace tessarin {
namespace {

// Fingerprints may share their low bits (a sign fold of structured vectors
// often does), so the entry comes from the top bits of a multiplicative hash.
constexpr std::uint64_t kSpread = 0x9E3779B97F4A7C15ULL;
constexpr std::size_t kFirstEntries = 16;

}  // namespace

std::size_t FingerprintIndex::find(std::uint64_t fingerprint) const {
    const std::size_t mask = table_.size() - 1;
    const int shift = 64 - std::countr_zero(table_.size());
    std::size_t i = static_cast<std::size_t>((fingerprint * kSpread) >> shift) & mask;
    while (table_[i].newest != 0 && table_[i].fingerprint != fingerprint) i = (i + 1) & mask;
    return i;
}

void FingerprintIndex::rehash(std::size_t entries) {
    std::vector<Entry> old(entries, Entry{0, 0});
    old.swap(table_);
    for (const Entry& e : old) {
        if (e.newest != 0) table_[find(e.fingerprint)] = e;
    }
}

void FingerprintIndex::reserve_one() {
    if (older_.size() == older_.capacity()) older_.reserve(std::max<std::size_t>(kFirstEntries, 2 * older_.capacity()));
    // Room for one more distinct fingerprint within three quarters of the table.
    if (4 * (distinct_ + 1) > 3 * table_.size()) rehash(std::max(kFirstEntries, 2 * table_.size()));
}

void FingerprintIndex::add(std::uint64_t fingerprint) noexcept {
    Entry& e = table_[find(fingerprint)];
    if (e.newest == 0) {
        e.fingerprint = fingerprint;
        ++distinct_;
    }
    older_.push_back(e.newest);  // within capacity
    e.newest = older_.size();
}

std::vector<std::uint64_t> FingerprintIndex::records(std::uint64_t fingerprint) const {
    std::vector<std::uint64_t> out;
    if (table_.empty()) return out;
    for (std::uint64_t r = table_[find(fingerprint)].newest; r != 0; r = older_[r - 1]) out.push_back(r - 1);
    std::reverse(out.begin(), out.end());
    return out;
}

std::size_t FingerprintIndex::bytes_held() const {
    return table_.capacity() * sizeof(Entry) + older_.capacity() * sizeof(std::uint64_t);
}

}  // namespace tessarin
