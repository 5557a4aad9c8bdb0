#include "engines/hkvc.hpp"

#include "companion/companion.hpp"
#include "companion/engine_results.hpp"

namespace tessarin::py {
namespace {

using E = HKVC;
using C = ClassBuilder<E, "KeyValueCache(dim)",
                       "A holographic key-value cache: tessarin_hdc.PyHKVC with arrays out, len(), get() and `in`.\n"
                       "Answers equal PyHKVC's for the same calls, bit for bit.",
                       Threading::Shared, "tessarin">;

// The recall scan: a sine and cosine per entry and component.
std::uint64_t recall_units(const E& e) { return saturating_product(e.count() + 1, e.dim()); }
// Three rows of keyed digests and two of sines and cosines.
std::uint64_t store_units(const E& e) { return saturating_product(8, e.dim()); }
// The key's digest; when entries are stored under it, the key's row of keyed
// digests and a row of cosines for each of them (usually one).
std::uint64_t lookup_units(const E& e, std::string_view key) {
    const std::uint64_t checks = e.stored_under(key);
    if (checks == 0) return key.size();
    return saturating_sum(saturating_product(saturating_sum(checks, 4), e.dim()), key.size());
}

// The engine's part runs apart from the default, which is only ever handed
// back with the interpreter lock held.
Ref get(const E& e, std::string_view key, Ref fallback) {
    std::optional<std::string> value = C::engine_work(lookup_units(e, key), [&] { return e.lookup(key); });
    if (value) return to_python(*value);
    return fallback;
}

}  // namespace

const ClassDef key_value_cache_class = C::define(
    C::constructor<&sized_engine<E>>(),
    C::long_method<"store($self, key, value, position)", &E::store,
                   "Adds an entry (a key stored again is a second entry; nothing is overwritten).",
                   WorkOf<&store_units>{}>(),
    C::long_method<"query($self, query_key)", &E::query,
                   "(value, score): the stored key's first value when it is found directly, else the holographic "
                   "recall's best value; ('', 0.0) when empty.",
                   WorkOf<&recall_units>{}>(),
    C::method<"get($self, key, default=None)", &get,
              "The value query(key) gives when it finds the key itself (the first stored value of a repeated "
              "key), else default. Never scans: flat in the number of entries. With dim 0 no key is ever "
              "found.">(),
    C::method<"count($self)", &E::count, "Number of stored entries.">(),
    C::method<"position_score($self, position)", &E::position_score,
              "The mean projection of a position's probe onto the position accumulator.">(),
    C::method<"accumulator_magnitude($self)", +[](const E& e) { return as_array(e.accumulator_magnitude()); },
              "|composite[i]| for every component, as a float32 array.">(),
    C::contains<&E::contains, "key", &lookup_units>(),
    C::length<&E::count>(),
    C::repr<+[](const E& e) { return engine_repr("KeyValueCache", e.dim(), "entries", e.count()); }>(),
    C::snapshots<&E::snapshot_to, &E::from_snapshot>());

}  // namespace tessarin::py
