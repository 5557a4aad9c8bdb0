// The cache's arithmetic one entry and one component at a time, with the C
// library's sine and cosine: the order every scan and every SIMD target must
// reproduce bit for bit. The tests compare with it; the benchmarks time it as
// the one-entry loop the block scan replaced.
#pragma once

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <ranges>
#include <string>
#include <utility>
#include <vector>

#include "core/best_match.hpp"
#include "engines/hkvc.hpp"

namespace tessarin {

class OneEntryCache {
public:
    explicit OneEntryCache(std::uint64_t dim) : dim_(dim), composite_(dim), pos_(dim) {}

    void store(const std::string& key, const std::string& value, std::uint64_t position) {
        const Hypervector kp = string_phases(key, dim_);
        const Hypervector vp = string_phases(value, dim_);
        const Hypervector pb = position_basis(position, dim_);
        for (std::size_t i = 0; i < dim_; ++i) {
            const float a = kp[i] + vp[i];
            composite_[i] = {composite_[i].real() + std::cos(a), composite_[i].imag() + std::sin(a)};
            pos_[i] = {pos_[i].real() + std::cos(pb[i]), pos_[i].imag() + std::sin(pb[i])};
        }
        values_.emplace_back(value, vp);
    }

    float recall(HvView qp, std::size_t e) const {
        float sum = 0.0f;
        for (std::size_t i = 0; i < dim_; ++i) {
            const float a = qp[i] + values_[e].second[i];
            sum = sum + (std::sin(a) * composite_[i].imag() + std::cos(a) * composite_[i].real());
        }
        return sum / (static_cast<float>(values_.size()) * static_cast<float>(dim_));
    }

    // The fallback's answer: first strictly greatest recall, floor -2.
    std::pair<std::string, float> recall_best(const std::string& query_key) const {
        const Hypervector qp = string_phases(query_key, dim_);
        const Match m = best_match(std::views::iota(std::size_t{0}, values_.size()), -2.0f,
                                   [&](std::size_t e) { return recall(qp, e); });
        return {values_[m.index].first, std::max(m.score, 0.0f)};
    }

    float position_score(std::uint64_t position) const {
        const Hypervector p = position_probe_phases(position, dim_);
        float sum = 0.0f;
        for (std::size_t i = 0; i < dim_; ++i) {
            sum = sum + (std::sin(p[i]) * pos_[i].imag() + std::cos(p[i]) * pos_[i].real());
        }
        return sum / static_cast<float>(values_.size());
    }

private:
    std::uint64_t dim_;
    std::vector<std::complex<float>> composite_;
    std::vector<std::complex<float>> pos_;
    std::vector<std::pair<std::string, Hypervector>> values_;
};

}  // namespace tessarin
