#include "core/item_memory.hpp"

#include <string>

#include "core/cancel.hpp"
#include "core/fault.hpp"

namespace tessarin {

ItemMemory::ItemMemory(std::uint64_t dim) : dim_(dim) {
    if (dim == 0) throw InputError("dim must be at least 1");
}

void ItemMemory::require_dim(const FloatTable& t, const char* what) const {
    if (t.dim != dim_) {
        throw InputError(std::string(what) + " have " + std::to_string(t.dim) + " components but the memory holds " +
                         std::to_string(dim_));
    }
}

std::uint64_t ItemMemory::add(const FloatTable& rows) {
    require_dim(rows, "rows");
    const std::uint64_t first = rows_.size();
    CancelPoll poll;
    try {
        for (std::uint64_t i = 0; i < rows.count; ++i) {
            rows_.push_back(rows.row(i));
            poll.tick(dim_);
        }
    } catch (...) {
        // All or nothing: a batch stopped part way (memory, Ctrl-C) is undone.
        while (rows_.size() > first) rows_.pop_back();
        throw;
    }
    return first;
}

FloatTable ItemMemory::resonances(const FloatTable& queries) const {
    require_dim(queries, "queries");
    return resonance_table(queries, rows_);
}

TopK ItemMemory::search(const FloatTable& queries, std::uint64_t k) const { return top_k(resonances(queries), k); }

Hypervector ItemMemory::row(std::uint64_t i) const {
    if (i >= rows_.size()) index_out_of_bounds(rows_.size(), i);
    return rows_.row(static_cast<std::size_t>(i));
}

}  // namespace tessarin
