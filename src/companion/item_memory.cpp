#include "core/item_memory.hpp"

#include "companion/companion.hpp"

namespace tessarin::py {
namespace {

using C = ClassBuilder<ItemMemory, "ItemMemory(dim)",
                       "An exact search store of rows of one length (an item memory, or clean-up memory).\n"
                       "Every score is tessarin_hdc.resonance(query, row) bit for bit; exactly bipolar rows are\n"
                       "kept as bits.",
                       Threading::Shared, "tessarin">;

ArrayResult<float> stored_row(const ItemMemory& memory, std::int64_t i) {
    if (i < 0 || static_cast<std::uint64_t>(i) >= memory.size()) {
        raise(PyExc_IndexError, "row index " + std::to_string(i) + " out of range for " +
                                    std::to_string(memory.size()) + " rows");
    }
    return as_array(memory.row(static_cast<std::uint64_t>(i)));
}

// Units of work of a scan: one per component of every query against every row.
std::uint64_t scan_work(const ItemMemory& memory, const FloatTable& queries) {
    return saturating_product(saturating_product(queries.count, memory.dim()), memory.size());
}

}  // namespace

const ClassDef item_memory_class = C::define(
    C::constructor<+[](Count dim) { return ItemMemory(dim.value); }>(),
    C::long_method<"add($self, rows)", &ItemMemory::add,
                   "Appends one row or a batch of rows, each of length dim; returns the index of the first.",
                   +[](const ItemMemory& m, const FloatTable& rows) {
                       return saturating_product(rows.count, m.dim());
                   }>(),
    C::long_method<"resonances($self, queries)", &ItemMemory::resonances,
                   "Entry (i, j) is resonance(queries[i], row j), as a (Q, len(self)) float32 array.", &scan_work>(),
    C::long_method<"search($self, queries, k)",
                   +[](const ItemMemory& m, const FloatTable& queries, Count k) { return m.search(queries, k.value); },
                   "The best min(k, len(self)) rows of each query: (scores, indices), each (Q, min(k, len(self))),\n"
                   "by score descending then index ascending; NaN scores come last.",
                   +[](const ItemMemory& m, const FloatTable& queries, const Count&) {
                       return scan_work(m, queries);
                   }>(),
    C::method<"get($self, i)", &stored_row, "Row i exactly as it was added.">(),
    C::property<"dim", &ItemMemory::dim>(),
    C::length<&ItemMemory::size>(),
    C::snapshots<&ItemMemory::snapshot_to, &ItemMemory::from_snapshot>());

}  // namespace tessarin::py
