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

std::size_t FingerprintIndex::home(std::uint64_t fingerprint) const {
    const int shift = 64 - std::countr_zero(table_.size());
    return static_cast<std::size_t>((fingerprint * kSpread) >> shift) & (table_.size() - 1);
}

std::size_t FingerprintIndex::find(std::uint64_t fingerprint) const {
    const std::size_t mask = table_.size() - 1;
    std::size_t i = home(fingerprint);
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

void FingerprintIndex::reserve(std::size_t more) {
    if (older_.capacity() - older_.size() < more) {
        older_.reserve(std::max({kFirstEntries, older_.size() + more, 2 * older_.capacity()}));
    }
    // Room for `more` more distinct fingerprints within three quarters of the table.
    std::size_t entries = std::max(kFirstEntries, table_.size());
    while (4 * (distinct_ + more) > 3 * entries) entries *= 2;
    if (entries != table_.size()) rehash(entries);
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

void FingerprintIndex::add(std::span<const std::uint64_t> fingerprints) noexcept {
    constexpr std::size_t kAhead = 8;
    for (std::size_t i = 0; i < fingerprints.size(); ++i) {
        if (i + kAhead < fingerprints.size()) __builtin_prefetch(&table_[home(fingerprints[i + kAhead])], 1);
        add(fingerprints[i]);
    }
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
