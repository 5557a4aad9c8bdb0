#include "engines/multi_hop_reasoner.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <string>

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

std::vector<MultiHopReasoner::Result> MultiHopReasoner::direct_matches(std::span<const float> scores) {
    std::vector<Result> admitted;
    for (std::size_t k = 0; k < scores.size(); ++k) {
        if (scores[k] > kDirectThreshold) admitted.emplace_back(k, scores[k]);
    }
    return admitted;
}

std::vector<float> MultiHopReasoner::scores(HvView query) const {
    // Divided by the query's length, so that a fact shorter than the query
    // scores lower.
    std::vector<float> all(facts_.size());
    resonances(query, facts_, all);
    return all;
}

std::vector<float> MultiHopReasoner::scores(HvView query, std::span<const std::uint64_t> facts) const {
    for (const std::uint64_t k : facts) {
        if (k >= facts_.size()) throw std::out_of_range("no fact " + std::to_string(k));
    }
    std::vector<float> some;
    some.reserve(facts.size());
    for (const std::uint64_t k : facts) some.push_back(resonance(query, facts_, static_cast<std::size_t>(k)));
    return some;
}

std::vector<std::uint64_t> MultiHopReasoner::follow_links(std::span<const std::uint64_t> frontier,
                                                          std::vector<char>& visited) const {
    // No adjacency index: each frontier node scans the whole link list.
    CancelPoll poll;
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
                next.push_back(neighbour);
                seen = 1;
            }
        });
    }
    return next;
}

void MultiHopReasoner::rank_results(std::vector<Result>& results) {
    // Scores have no order once one of them is NaN.
    if (std::any_of(results.begin(), results.end(), [](const Result& r) { return std::isnan(r.second); })) {
        fault(kUnwrapNone);
    }
    std::stable_sort(results.begin(), results.end(),
                     [](const Result& x, const Result& y) { return x.second > y.second; });
}

std::vector<MultiHopReasoner::Result> MultiHopReasoner::reason(HvView query, std::uint64_t hops) const {
    // A fact reached through a link later reports the score it has here.
    const std::vector<float> all = scores(query);
    std::vector<Result> results = direct_matches(all);
    std::vector<char> visited(facts_.size(), 0);
    std::vector<std::uint64_t> frontier;
    for (const Result& r : results) {
        frontier.push_back(r.first);
        visited[static_cast<std::size_t>(r.first)] = 1;
    }
    // An empty frontier ends the search, so a huge `hops` costs nothing extra.
    for (std::uint64_t round = 0; round < hops && !frontier.empty(); ++round) {
        frontier = follow_links(frontier, visited);
        for (const std::uint64_t k : frontier) results.emplace_back(k, all[static_cast<std::size_t>(k)]);
    }
    rank_results(results);
    return results;
}

}  // namespace tessarin
