#include "engines/hkvc.hpp"
#include "python/classes.hpp"

namespace tessarin::py {
namespace {

using C = ClassBuilder<HKVC, "PyHKVC(dim)">;

}  // namespace

const ClassDef hkvc_class = C::define(
    C::init<std::uint64_t>(),
    C::method<"store($self, key, value, position)", &HKVC::store,
              "Store a key-value pair (Patent §6.3.2):\n"
              "composite += exp(i · (key_phases + val_phases))  — binds key↔value\n"
              "pos_memory += exp(i · position_basis(pos))        — tracks positions\n"
              "key_index[hash(key)] ← entry index                 — O(1) lookup">(),
    C::method<"query($self, query_key)", &HKVC::query,
              "Query the cache (Patent §6.3.4 + §6.1 CBS):\n"
              "1. O(1) HashMap lookup by key hash → small candidate set\n"
              "2. Among candidates, match by key phase resonance → exact value\n"
              "3. Fallback: holographic recall from composite for approximate matches\n"
              "Returns (best_value, best_score)">(),
    C::method<"count($self)", &HKVC::count, "Number of stored entries">(),
    C::method<"position_score($self, position)", &HKVC::position_score,
              "Check recency bias: score for a specific position should be ≈equal for all positions\n"
              "because all entries contribute unit complex numbers">(),
    C::method<"accumulator_magnitude($self)", &HKVC::accumulator_magnitude,
              "Export state as raw accumulator magnitudes for inspection">());

}  // namespace tessarin::py
