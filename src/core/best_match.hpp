// Best-match scan over scored candidates.
//
// The best is replaced only by a strictly greater score, so ties keep the
// earliest candidate and a NaN score never wins. Scans differ in their start
// score (the floor a candidate has to beat), so it is a parameter.
#pragma once

#include <cstdint>
#include <ranges>

#include "core/algebra.hpp"

namespace tessarin {

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

}  // namespace tessarin
