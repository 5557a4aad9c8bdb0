#include "engines/hkvc.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <ranges>
#include <span>

#include "core/best_match.hpp"
#include "core/cancel.hpp"
#include "core/fault.hpp"
#include "core/siphash.hpp"
#include "core/sincos.hpp"

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

// Component i: the phase of the digest of the prefix's message followed by i.
// The prefix is hashed once; the indices are finished several at a time.
Hypervector indexed_phases(const SipHasher13& prefix, std::uint64_t dim) {
    Hypervector out = zeroed<float>(dim);
    map_indexed_digests(prefix, std::span(out), phase_from_hash);
    return out;
}

// Components per call of the many-lane sine/cosine. The buffers live on the
// stack, so that adding to the accumulators cannot fail once an entry is in.
constexpr std::size_t kTrigChunk = 256;

// use(i, sin(phase_at(i)), cos(phase_at(i))) for every i < n, in index order.
template <class PhaseAt, class Use>
void for_each_sincos(std::size_t n, PhaseAt phase_at, Use use) {
    std::array<float, kTrigChunk> a;
    std::array<float, kTrigChunk> s;
    std::array<float, kTrigChunk> c;
    for (std::size_t begin = 0; begin < n; begin += kTrigChunk) {
        const std::size_t len = std::min(kTrigChunk, n - begin);
        for (std::size_t j = 0; j < len; ++j) a[j] = phase_at(begin + j);
        sincos_many(std::span(a.data(), len), s, c);
        for (std::size_t j = 0; j < len; ++j) use(begin + j, s[j], c[j]);
    }
}

// Sum over i of the real part of acc[i] * exp(-i * phase_at(i)), summed in
// index order from +0.0f: both products, then their sum, then the running total.
template <class PhaseAt>
float project(std::span<const std::complex<float>> acc, PhaseAt phase_at) {
    float sum = 0.0f;
    for_each_sincos(acc.size(), phase_at,
                    [&](std::size_t i, float s, float c) { sum = sum + phasor_term(s, c, acc[i]); });
    return sum;
}

// Adds exp(i * phase_at(i)) to every component of acc.
template <class PhaseAt>
void accumulate(std::span<std::complex<float>> acc, PhaseAt phase_at) {
    for_each_sincos(acc.size(), phase_at, [&](std::size_t i, float s, float c) {
        acc[i] = {acc[i].real() + c, acc[i].imag() + s};
    });
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
    Hypervector out = zeroed<float>(dim);
    for (std::size_t i = 0; i < out.size(); ++i) {
        const std::uint64_t t = h ^ (std::uint64_t{i} * kGoldenGamma);
        out[i] = phase_from_hash(t + std::rotl(t, kProbeRotation));
    }
    return out;
}

HKVC::HKVC(std::uint64_t dim)
    : dim_(dim), composite_(zeroed<Phasor>(dim)), pos_memory_(zeroed<Phasor>(dim)) {}

void HKVC::store(std::string_view key, std::string value, std::uint64_t position) {
    Hypervector kp = string_phases(key, dim_);
    const Hypervector vp = string_phases(value, dim_);
    const Hypervector pb = position_basis(position, dim_);

    // Value block, entry and index first, the writes last: they cannot fail,
    // so an allocation failure leaves no half-stored entry behind. A block
    // left by such a failure is simply used by the next store.
    const std::uint64_t index = entries_.size();
    const std::size_t lane = index % kPhaseLanes;
    if (value_blocks_.size() == index / kPhaseLanes) value_blocks_.push_back(zeroed<float>(kPhaseLanes * dim_));
    entries_.push_back(Entry{std::move(value), std::move(kp)});
    try {
        key_index_[string_digest(key)].push_back(index);
    } catch (...) {
        entries_.pop_back();
        throw;
    }
    Hypervector& block = value_blocks_[index / kPhaseLanes];
    for (std::size_t i = 0; i < vp.size(); ++i) block[i * kPhaseLanes + lane] = vp[i];
    const Entry& e = entries_.back();
    accumulate(composite_, [&](std::size_t i) { return e.key_phases[i] + vp[i]; });
    accumulate(pos_memory_, [&](std::size_t i) { return pb[i]; });
}

float HKVC::value_projection(HvView qp, std::uint64_t entry) const {
    const Hypervector& block = value_blocks_[entry / kPhaseLanes];
    const std::size_t lane = entry % kPhaseLanes;
    return project(composite_, [&](std::size_t i) { return qp[i] + block[i * kPhaseLanes + lane]; });
}

float HKVC::key_resonance(HvView stored_kp, HvView qp) const {
    float sum = 0.0f;
    for_each_sincos(qp.size(), [&](std::size_t i) { return stored_kp[i] - qp[i]; },
                    [&](std::size_t, float, float c) { sum = sum + c; });
    return sum / static_cast<float>(dim_);
}

float HKVC::recall_denominator() const { return static_cast<float>(count()) * static_cast<float>(dim_); }

float HKVC::recall_score(HvView qp, std::uint64_t entry) const {
    return value_projection(qp, entry) / recall_denominator();
}

std::pair<std::string, float> HKVC::query(std::string_view query_key) const {
    if (entries_.empty()) return {std::string(), 0.0f};
    const Hypervector qp = string_phases(query_key, dim_);

    if (const auto e = direct_match(query_key, &qp)) {
        return {entries_[*e].value, non_negative(recall_score(qp, *e))};
    }

    // The recall scores, a block of entries per pass over the query.
    // (A block left by a failed store lies beyond the last entry and is skipped.)
    const std::size_t blocks = (count() + kPhaseLanes - 1) / kPhaseLanes;
    std::vector<float> scores = zeroed<float>(blocks * kPhaseLanes);
    const float denominator = recall_denominator();
    CancelPoll poll;
    for (std::size_t b = 0; b < blocks; ++b) {
        poll.tick(kPhaseLanes * dim_);  // about a nanosecond per entry and component
        const std::span<float, kPhaseLanes> lanes(scores.data() + b * kPhaseLanes, kPhaseLanes);
        phasor_projection_lanes(qp, value_blocks_[b], composite_, lanes, count() - b * kPhaseLanes);
        for (float& s : lanes) s = s / denominator;
    }
    const Match best = best_score(std::span(scores).first(count()), kBelowEveryScore);
    return {entries_[best.index].value, non_negative(best.score)};
}

std::optional<std::uint64_t> HKVC::direct_match(std::string_view key, const Hypervector* qp) const {
    // Only the entries stored under the same digest are checked, so the cost
    // does not grow with the cache; the phase row is made only when some are.
    const auto it = key_index_.find(string_digest(key));
    if (it == key_index_.end()) return std::nullopt;
    Hypervector own;
    if (qp == nullptr) {
        own = string_phases(key, dim_);
        qp = &own;
    }
    // A key stored many times is checked as many times: a row of cosines each.
    CancelPoll poll;
    const Match best = best_match(it->second, kBelowEveryScore, [&](std::uint64_t e) {
        poll.tick(dim_ + 1);
        return key_resonance(entries_[e].key_phases, *qp);
    });
    if (!(best.score > kResonanceThreshold)) return std::nullopt;
    return best.index;
}

std::uint64_t HKVC::stored_under(std::string_view key) const {
    const auto it = key_index_.find(string_digest(key));
    return it == key_index_.end() ? 0 : it->second.size();
}

std::optional<std::string> HKVC::lookup(std::string_view key) const {
    const auto e = direct_match(key);
    if (!e) return std::nullopt;
    return entries_[*e].value;
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
