// Cognitive-parameter optimizer: seven named parameters changed by named
// actions, each nudging one parameter and bounding the result, with every
// action undoable one step at a time back to the last 100 actions.
//
// Costs: every member is O(1); the history holds at most 100 snapshots of the
// seven floats. Only apply allocates (the snapshot), and on std::bad_alloc it
// changes nothing; nothing else fails and nothing polls.
//
// Threads: a plain object without locks. Const members change nothing and may
// run concurrently; apply and rollback need every other use excluded.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>

#include "core/bounded_history.hpp"
#include "core/snapshot.hpp"

namespace tessarin {

struct CognitiveParams {
    float learning_rate = 0.5f;
    float attention_weight = 0.5f;
    float momentum = 0.5f;
    float excitation_bias = 0.5f;
    float inhibition_bias = 0.3f;
    float identity_lr = 0.01f;
    float exploration_rate = 0.3f;

    friend bool operator==(const CognitiveParams&, const CognitiveParams&) = default;
};

inline constexpr std::size_t kParamCount = 7;
inline constexpr std::size_t kOptimizerHistoryLimit = 100;

class Optimizer {
public:
    using NamedParams = std::array<std::pair<const char*, float>, kParamCount>;

    Optimizer() = default;

    // Records a snapshot of all seven parameters, then applies `action` if it
    // names one; an unknown action changes nothing but the history. `reason`
    // documents the caller's intent and has no effect.
    void apply(std::string_view action, float delta, std::string_view reason);
    // Restores the newest snapshot and forgets it; no-op on an empty history.
    void rollback();

    // The parameter whose field name is exactly `name`.
    std::optional<float> get(std::string_view name) const;
    // All seven (field name, value) pairs, in field order.
    NamedParams get_params() const;

    const CognitiveParams& params() const { return params_; }
    float learning_rate() const { return params_.learning_rate; }
    std::size_t history_size() const { return param_history_.size(); }

    // The whole state as bytes and back, bit for bit (core/snapshot.hpp).
    SnapshotBytes snapshot() const;
    void snapshot_to(const SnapshotSink& sink, std::size_t piece_bytes = kSnapshotPieceBytes) const;
    static constexpr SnapshotKind kSnapshotKind = SnapshotKind::optimizer;
    static Optimizer from_snapshot(SnapshotView bytes);
    void write_state(SnapshotWriter& w) const;
    static Optimizer read_state(SnapshotReader& r, std::uint64_t dim);

private:
    BoundedHistory<CognitiveParams, kOptimizerHistoryLimit> param_history_;
    CognitiveParams params_;
};

}  // namespace tessarin
