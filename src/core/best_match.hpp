// Best-match scan over scored candidates.
//
// The best is replaced only by a strictly greater score, so ties keep the
// earliest candidate and a NaN score never wins. Scans differ in their start
// score (the floor a candidate has to beat), so it is a parameter. One call of
// the score per candidate, nothing allocated; to score many stored records,
// compute their scores with one scan (scan.hpp) and take best_score of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ranges>
#include <span>

#include "core/algebra.hpp"

namespace tessarin {

// Start scores of the best-match scans. A normalised score or a resonance of
// bipolar vectors never falls below -1, so a scan starting at -2 takes its
// first real candidate; scans that only accept positive scores start at -1.
inline constexpr float kBelowEveryScore = -2.0f;
inline constexpr float kBelowEveryPositiveScore = -1.0f;

// `candidates` yields candidate ids (convertible to std::uint64_t) in scan
// order; `score_of(id)` gives each one's score. With no candidate beating
// `start`, the result is {0, start}.
template <std::ranges::input_range Candidates, class ScoreOf>
Match best_match(Candidates&& candidates, float start, ScoreOf&& score_of) {
    Match best{0, start};
    for (const auto id : candidates) {
        const float s = score_of(id);
        if (s > best.score) best = Match{static_cast<std::uint64_t>(id), s};
    }
    return best;
}

// The best of precomputed scores, candidate k scoring scores[k].
inline Match best_score(std::span<const float> scores, float start) {
    return best_match(std::views::iota(std::size_t{0}, scores.size()), start,
                      [&](std::size_t k) { return scores[k]; });
}

}  // namespace tessarin
