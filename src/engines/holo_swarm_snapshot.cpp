// Swarm state: the swarm vector (its own length: it may have been replaced by
// one of another length), then the registry in order, each agent as its role,
// policy and skill, each a name and a row (dim is the header's).
#include "engines/holo_swarm.hpp"

namespace tessarin {

SnapshotBytes HoloSwarm::snapshot() const { return snapshot_engine(*this, kSnapshotKind, dim_); }
void HoloSwarm::snapshot_to(const SnapshotSink& sink, std::size_t piece_bytes) const {
    stream_engine_snapshot(*this, kSnapshotKind, dim_, sink, piece_bytes);
}
HoloSwarm HoloSwarm::from_snapshot(SnapshotView bytes) {
    return engine_from_snapshot<HoloSwarm>(bytes, kSnapshotKind);
}

void HoloSwarm::write_state(SnapshotWriter& w) const {
    w.floats(swarm_);
    w.u64(role_names_.size());
    for (std::size_t k = 0; k < role_names_.size(); ++k) {
        for (const auto& [names, rows] : {std::pair{&role_names_, &role_vectors_}, std::pair{&policy_names_, &policy_vectors_},
                                          std::pair{&skill_names_, &skill_vectors_}}) {
            w.string((*names)[k]);
            w.row(*rows, k, dim_);
        }
    }
}

HoloSwarm HoloSwarm::read_state(SnapshotReader& r, std::uint64_t dim) {
    // Built empty and given dim afterwards: the swarm vector read is the one
    // allocation of its size.
    HoloSwarm s(0);
    s.dim_ = dim;
    s.swarm_ = r.floats("swarm vector");
    // An agent is at least three name lengths and three row tags.
    const std::uint64_t n = r.count("agent count", 27);
    for (std::vector<std::string>* names : {&s.role_names_, &s.policy_names_, &s.skill_names_}) {
        names->reserve(static_cast<std::size_t>(n));
    }
    for (std::uint64_t k = 0; k < n; ++k) {
        for (const auto& [names, rows] : {std::pair{&s.role_names_, &s.role_vectors_}, std::pair{&s.policy_names_, &s.policy_vectors_},
                                          std::pair{&s.skill_names_, &s.skill_vectors_}}) {
            names->push_back(r.string("agent name"));
            r.row(*rows, dim, "agent vector");
        }
    }
    return s;
}

}  // namespace tessarin
