#include "engines/hkvc.hpp"

#include <bit>
#include <cmath>
#include <cstddef>
#include <ranges>
#include <span>

#include "core/best_match.hpp"
#include "core/fault.hpp"
#include "core/siphash.hpp"

namespace tessarin {
namespace {

// 2^-64 is exact in a float; pi is the float nearest to it (0x40490FDB).
constexpr float kTwoPowMinus64 = 0x1p-64f;
constexpr float kPi = 3.14159274f;

// The Weyl-sequence increment that spreads one position digest over the
// probe components.
constexpr std::uint64_t kGoldenGamma = 0x9E3779B97F4A7C15ULL;
constexpr int kProbeRotation = 21;

// A candidate's key phases must agree with the query's better than this for
// the exact path to answer; below it the holographic recall decides.
constexpr float kResonanceThreshold = 0.5f;

// Best-match scans start below every possible normalised score.
constexpr float kNoMatch = -2.0f;

template <class DigestAt>
Hypervector phases_from_digests(std::uint64_t dim, DigestAt digest_at) {
    Hypervector out = zeroed<float>(dim);
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = phase_from_hash(digest_at(std::uint64_t{i}));
    return out;
}

// Component i: the phase of the digest of the prefix's message followed by i.
// The prefix is hashed once; the indices are finished several at a time.
Hypervector indexed_phases(const SipHasher13& prefix, std::uint64_t dim) {
    Hypervector out = zeroed<float>(dim);
    map_indexed_digests(prefix, std::span(out), phase_from_hash);
    return out;
}

// Sum over i of the real part of acc[i] * exp(-i * phase_at(i)), summed in
// index order from +0.0f: both products, then their sum, then the running total.
template <class PhaseAt>
float project(std::span<const std::complex<float>> acc, PhaseAt phase_at) {
    float sum = 0.0f;
    for (std::size_t i = 0; i < acc.size(); ++i) {
        const float a = phase_at(i);
        sum = sum + (std::sin(a) * acc[i].imag() + std::cos(a) * acc[i].real());
    }
    return sum;
}

// Adds exp(i * phase_at(i)) to every component of acc.
template <class PhaseAt>
void accumulate(std::span<std::complex<float>> acc, PhaseAt phase_at) {
    for (std::size_t i = 0; i < acc.size(); ++i) {
        const float a = phase_at(i);
        acc[i] = {acc[i].real() + std::cos(a), acc[i].imag() + std::sin(a)};
    }
}

// Scores are reported as non-negative; a NaN score reports 0.
float non_negative(float score) { return score > 0.0f ? score : 0.0f; }

}  // namespace

float phase_from_hash(std::uint64_t h) {
    const auto f = static_cast<float>(h);
    return ((f * kTwoPowMinus64) * 2.0f) * kPi;
}

Hypervector string_phases(std::string_view s, std::uint64_t dim) {
    return indexed_phases(SipHasher13{}.write_counted(s), dim);
}

Hypervector position_basis(std::uint64_t pos, std::uint64_t dim) {
    return indexed_phases(SipHasher13{}.write_u64(pos), dim);
}

Hypervector position_probe_phases(std::uint64_t pos, std::uint64_t dim) {
    const std::uint64_t h = siphash13_u64(pos);
    return phases_from_digests(dim, [h](std::uint64_t i) {
        const std::uint64_t t = h ^ (i * kGoldenGamma);
        return t + std::rotl(t, kProbeRotation);
    });
}

HKVC::HKVC(std::uint64_t dim)
    : dim_(dim), composite_(zeroed<Phasor>(dim)), pos_memory_(zeroed<Phasor>(dim)) {}

void HKVC::store(std::string_view key, std::string value, std::uint64_t position) {
    Hypervector kp = string_phases(key, dim_);
    Hypervector vp = string_phases(value, dim_);
    const Hypervector pb = position_basis(position, dim_);

    // Entry and index first, accumulators last: the accumulation cannot fail,
    // so an allocation failure leaves no half-stored entry behind.
    const std::uint64_t index = entries_.size();
    entries_.push_back(Entry{std::move(value), std::move(vp), std::move(kp)});
    try {
        key_index_[string_digest(key)].push_back(index);
    } catch (...) {
        entries_.pop_back();
        throw;
    }
    const Entry& e = entries_.back();
    accumulate(composite_, [&](std::size_t i) { return e.key_phases[i] + e.val_phases[i]; });
    accumulate(pos_memory_, [&](std::size_t i) { return pb[i]; });
}

float HKVC::value_projection(HvView qp, HvView vp) const {
    return project(composite_, [&](std::size_t i) { return qp[i] + vp[i]; });
}

float HKVC::key_resonance(HvView stored_kp, HvView qp) const {
    float sum = 0.0f;
    for (std::size_t i = 0; i < qp.size(); ++i) sum = sum + std::cos(stored_kp[i] - qp[i]);
    return sum / static_cast<float>(dim_);
}

float HKVC::recall_score(HvView qp, HvView vp) const {
    const float denominator = static_cast<float>(count()) * static_cast<float>(dim_);
    return value_projection(qp, vp) / denominator;
}

std::pair<std::string, float> HKVC::query(std::string_view query_key) const {
    if (entries_.empty()) return {std::string(), 0.0f};
    const Hypervector qp = string_phases(query_key, dim_);

    // Exact path: only the entries stored under the same digest are checked,
    // so its cost does not grow with the cache.
    if (const auto it = key_index_.find(string_digest(query_key)); it != key_index_.end()) {
        const Match best = best_match(it->second, kNoMatch, [&](std::uint64_t e) {
            return key_resonance(entries_[e].key_phases, qp);
        });
        if (best.score > kResonanceThreshold) {
            const Entry& e = entries_[best.index];
            return {e.value, non_negative(recall_score(qp, e.val_phases))};
        }
    }

    const Match best = best_match(std::views::iota(std::uint64_t{0}, count()), kNoMatch,
                                  [&](std::uint64_t e) { return recall_score(qp, entries_[e].val_phases); });
    return {entries_[best.index].value, non_negative(best.score)};
}

float HKVC::position_score(std::uint64_t position) const {
    if (entries_.empty()) return 0.0f;
    const Hypervector p = position_probe_phases(position, dim_);
    return project(pos_memory_, [&](std::size_t i) { return p[i]; }) / static_cast<float>(count());
}

std::vector<float> HKVC::accumulator_magnitude() const {
    std::vector<float> out = zeroed<float>(dim_);
    for (std::size_t i = 0; i < out.size(); ++i) {
        const float re = composite_[i].real();
        const float im = composite_[i].imag();
        out[i] = std::sqrt(re * re + im * im);
    }
    return out;
}

}  // namespace tessarin
