#include "engines/multi_hop_reasoner.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "core/cancel.hpp"
#include "core/fault.hpp"
#include "core/scan.hpp"

namespace tessarin {
namespace {

// A fact must resonate strictly above this to be admitted at hop 0; after
// hop 0, links admit facts whatever their score.
constexpr float kDirectThreshold = 0.6f;

// Cost of comparing one link's ends with a frontier fact, in cancellation units.
constexpr std::uint64_t kUnitsPerLink = 1;

}  // namespace

std::uint64_t MultiHopReasoner::add_fact(Hypervector fact) {
    facts_.push_back(fact);
    return facts_.size() - 1;
}

void MultiHopReasoner::add_link(std::uint64_t a, std::uint64_t b) { links_.emplace_back(a, b); }

void MultiHopReasoner::reset() {
    // Swapping with empty vectors also returns their storage.
    facts_.clear();
    std::vector<std::pair<std::uint64_t, std::uint64_t>>().swap(links_);
}

std::vector<MultiHopReasoner::Result> MultiHopReasoner::reason(HvView query, std::uint64_t hops) const {
    std::vector<Result> results;
    std::vector<char> visited(facts_.size(), 0);
    std::vector<std::uint64_t> frontier;

    // Every fact's resonance with the query, divided by the query's length so
    // that a fact shorter than the query scores lower. A fact reached through
    // a link later reports the same score.
    std::vector<float> scores(facts_.size());
    resonances(query, facts_, scores);

    for (std::size_t k = 0; k < facts_.size(); ++k) {
        const float s = scores[k];
        if (s > kDirectThreshold) {
            results.emplace_back(k, s);
            frontier.push_back(k);
            visited[k] = 1;
        }
    }

    // No adjacency index: each frontier node scans the whole link list. An
    // empty frontier ends the search, so a huge `hops` costs nothing extra.
    CancelPoll poll;
    for (std::uint64_t round = 0; round < hops && !frontier.empty(); ++round) {
        std::vector<std::uint64_t> next;
        for (const std::uint64_t k : frontier) {
            for_each_block(poll, links_.size(), kUnitsPerLink, [&](std::size_t first, std::size_t last) {
                for (std::size_t l = first; l < last; ++l) {
                    const auto& [a, b] = links_[l];
                    std::uint64_t neighbour = 0;
                    if (a == k) {
                        neighbour = b;
                    } else if (b == k) {
                        neighbour = a;
                    } else {
                        continue;
                    }
                    char& seen = checked_at(visited, neighbour);
                    if (seen) continue;
                    results.emplace_back(neighbour, scores[static_cast<std::size_t>(neighbour)]);
                    next.push_back(neighbour);
                    seen = 1;
                }
            });
        }
        frontier = std::move(next);
    }

    // Scores have no order once one of them is NaN.
    if (std::any_of(results.begin(), results.end(), [](const Result& r) { return std::isnan(r.second); })) {
        fault(kUnwrapNone);
    }
    std::stable_sort(results.begin(), results.end(),
                     [](const Result& x, const Result& y) { return x.second > y.second; });
    return results;
}

}  // namespace tessarin
